// Port enumeration on Linux: the tty class of sysfs.
//
// Every tty the kernel knows appears in <sysfs>/class/tty, the virtual consoles and
// pseudo-terminals included; only those backed by a device (a "device" link) are serial ports.
// The 8250 driver registers a fixed number of slots (ttyS0..ttyS31 on most kernels) whether or
// not a UART answers behind them; the empty ones carry the port type 0 (PORT_UNKNOWN) and fail
// every open, so they are left out. Whether the "device" link points at the 8250 driver itself
// (older kernels) or at a serial-base "port" device (newer ones) does not matter: only
// serial-core ports have a "type" attribute, and none but a phantom reads 0 there.
//
// A Bluetooth RFCOMM port that is bound but not connected has no device behind it yet (the
// link appears with the connection), yet that is when a user wants to probe it: such a tty is
// known by the "address" and "channel" attributes the RFCOMM driver gives it.
//
// The active system consoles (<sysfs>/class/tty/console/active: "tty0 ttyS0") are left out: a
// search would write its probe into a serial console, at its own rate, over whatever a login
// prompt or the kernel prints there. Only the list leaves them out; a console named on purpose
// can still be opened. The details list keeps them, marked, so that a person sees why.
//
// The details come from the same tree: a USB adapter's product, manufacturer, serial number
// and ids from the USB device above the tty's device (the first directory up the chain with an
// "idVendor"); the driver from the tty's device, or, on kernels that put serial-base "port" and
// "ctrl" devices between a UART and its tty, from the first device above those; the by-id path
// from the links udev keeps in <dev>/serial/by-id. No udev library: sysfs and those links are
// what it reads too. The kernel gives USB strings in UTF-8; like every text of the system they
// are kept in code page 1251.
#include <algorithm>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <system_error>

#include "port/ComEnum.h"

namespace comfind {

namespace fs = std::filesystem;

namespace {

bool IsPhantomUart(const fs::path& Entry) {
  std::ifstream TypeFile(Entry / "type");
  if (!TypeFile) return false;  // not a serial-core port (USB, ACM ...): nothing to doubt
  long Type = -1;
  TypeFile >> Type;
  return TypeFile && Type == 0;
}

bool IsBoundRfcomm(const fs::path& Entry) {
  std::error_code Ignored;
  return fs::exists(Entry / "address", Ignored) && fs::exists(Entry / "channel", Ignored);
}

// The names of the active consoles; none when the kernel does not say.
std::set<std::string> ActiveConsoles(const fs::path& TtyClass) {
  std::set<std::string> Names;
  std::ifstream Active(TtyClass / "console" / "active");
  std::string Name;
  while (Active >> Name)
    Names.insert(Name);
  return Names;
}

struct TTty {
  std::string Name;
  fs::path Entry;  // <sysfs>/class/tty/<name>
  bool Console = false;
};

// The serial ports of the tty class, consoles included and marked, in natural order. False when
// the class cannot be read.
bool ScanTtys(const std::string& SysfsRoot, const std::string& DevRoot, std::vector<TTty>& Out) {
  std::error_code Error;
  const fs::path TtyClass = fs::path(SysfsRoot) / "class" / "tty";
  fs::directory_iterator It(TtyClass, Error);
  if (Error) return false;

  const std::set<std::string> Consoles = ActiveConsoles(TtyClass);
  std::vector<TTty> Found;
  for (; !Error && It != fs::directory_iterator(); It.increment(Error)) {
    const fs::path Entry = It->path();
    const std::string Name = Entry.filename().string();
    std::error_code Ignored;
    if (!fs::exists(Entry / "device", Ignored) && !IsBoundRfcomm(Entry)) continue;
    if (IsPhantomUart(Entry)) continue;
    // A container may see the host's sysfs without the device node; a name that cannot be
    // opened is no use in the list.
    if (!fs::exists(fs::path(DevRoot) / Name, Ignored)) continue;
    Found.push_back({Name, Entry, Consoles.count(Name) > 0});
  }
  if (Error) return false;  // the directory went away while being read
  // Natural order: ttyUSB2 before ttyUSB10. Stable, so names equal but for case keep the order
  // the directory gave.
  std::stable_sort(Found.begin(), Found.end(), [](const TTty& A, const TTty& B) {
    return CompareNaturalAscii(A.Name, B.Name) < 0;
  });
  Out = std::move(Found);
  return true;
}

// The first line of a sysfs attribute without its line end; empty when there is none.
std::string Attribute(const fs::path& File) {
  std::ifstream In(File);
  std::string Line;
  std::getline(In, Line);
  while (!Line.empty() && (Line.back() == '\n' || Line.back() == '\r' || Line.back() == ' '))
    Line.pop_back();
  return Line;
}

uint16_t HexId(const std::string& Text) {
  unsigned Value = 0;
  const auto [End, Error] = std::from_chars(Text.data(), Text.data() + Text.size(), Value, 16);
  return Error == std::errc() && End == Text.data() + Text.size() && Value <= 0xFFFF
             ? static_cast<uint16_t>(Value)
             : 0;
}

// Where a link in sysfs points, as a name: the last part of its target.
std::string LinkName(const fs::path& Link) {
  std::error_code Error;
  const fs::path Target = fs::read_symlink(Link, Error);
  return Error ? std::string() : Target.filename().string();
}

bool InSerialBase(const fs::path& Device) {
  std::error_code Error;
  const fs::path Subsystem = fs::read_symlink(Device / "subsystem", Error);
  return !Error && Subsystem.filename() == "serial-base";
}

// The UART types of the kernel's serial_core.h that a machine still has.
std::string UartType(const fs::path& Entry) {
  static const std::map<std::string, std::string> Types = {
      {"1", "8250 UART"},     {"2", "16450 UART"},   {"3", "16550 UART"},   {"4", "16550A UART"},
      {"5", "Cirrus UART"},   {"6", "16650 UART"},   {"7", "16650V2 UART"}, {"8", "16750 UART"},
      {"9", "Startech UART"}, {"10", "16C950 UART"}, {"11", "16654 UART"},  {"12", "16850 UART"}};
  const auto It = Types.find(Attribute(Entry / "type"));
  return It == Types.end() ? std::string() : It->second;
}

TComPortDetails DetailsOf(const TTty& Tty, const fs::path& SysfsRoot, const fs::path& DevRoot,
                          const std::map<std::string, std::string>& ByIdLinks) {
  TComPortDetails D;
  D.Name = Tty.Name;
  D.Path = (DevRoot / Tty.Name).string();
  D.Console = Tty.Console;
  if (const auto It = ByIdLinks.find(Tty.Name); It != ByIdLinks.end()) D.ByIdPath = It->second;

  std::error_code Error;
  const fs::path Devices = fs::weakly_canonical(SysfsRoot / "devices", Error);
  fs::path Device = fs::canonical(Tty.Entry / "device", Error);
  if (!Error) {
    fs::path Owner = Device;
    while (InSerialBase(Owner) && Owner.has_parent_path() && Owner.parent_path() != Owner)
      Owner = Owner.parent_path();
    D.Driver = LinkName(Owner / "driver");

    // Up to the USB device, never above the devices tree of this sysfs.
    for (fs::path P = Device; P != P.parent_path() && P != Devices; P = P.parent_path()) {
      if (!fs::exists(P / "idVendor", Error)) continue;
      D.VendorId = HexId(Attribute(P / "idVendor"));
      D.ProductId = HexId(Attribute(P / "idProduct"));
      D.Description = Utf8ToCp1251(Attribute(P / "product"));
      D.Manufacturer = Utf8ToCp1251(Attribute(P / "manufacturer"));
      D.SerialNumber = Utf8ToCp1251(Attribute(P / "serial"));
      break;
    }
    // A composite device names its serial function in the interface's own string.
    if (D.Description.empty()) {
      for (const fs::path& P : {Device, Device.parent_path()}) {
        D.Description = Utf8ToCp1251(Attribute(P / "interface"));
        if (!D.Description.empty()) break;
      }
    }
  }
  if (IsBoundRfcomm(Tty.Entry)) {
    D.Description = "Bluetooth " + Attribute(Tty.Entry / "address") + " channel " +
                    Attribute(Tty.Entry / "channel");
    if (D.Driver.empty()) D.Driver = "rfcomm";
  }
  if (D.Description.empty()) D.Description = UartType(Tty.Entry);
  if (D.Description.empty()) D.Description = D.Driver;
  return D;
}

// The by-id links of <dev>/serial/by-id, keyed by the name of the device they point to.
std::map<std::string, std::string> ByIdLinks(const std::string& DevRoot) {
  std::map<std::string, std::string> Links;
  std::error_code Error;
  const fs::path Dir = fs::path(DevRoot) / "serial" / "by-id";
  for (fs::directory_iterator It(Dir, Error); !Error && It != fs::directory_iterator();
       It.increment(Error)) {
    const std::string Target = LinkName(It->path());
    // Several links to one device (a second interface's name): the first in name order stays,
    // so the path shown does not change from one listing to the next.
    const std::string Path = It->path().string();
    if (Target.empty()) continue;
    auto [At, New] = Links.emplace(Target, Path);
    if (!New && Path < At->second) At->second = Path;
  }
  return Links;
}

}  // namespace

void ListComPortsFrom(TStrings& List, const std::string& SysfsRoot, const std::string& DevRoot) {
  std::vector<TTty> Ttys;
  if (!ScanTtys(SysfsRoot, DevRoot, Ttys)) return;  // unreadable: the caller's list stays
  TStringList Found;
  for (const TTty& Tty : Ttys)
    if (!Tty.Console) Found.Add(Tty.Name);
  List.Assign(&Found);
}

void ListComPorts(TStrings& List) {
  ListComPortsFrom(List, "/sys", "/dev");
}

bool ListComPortDetailsFrom(std::vector<TComPortDetails>& List, const std::string& SysfsRoot,
                            const std::string& DevRoot) {
  std::vector<TTty> Ttys;
  if (!ScanTtys(SysfsRoot, DevRoot, Ttys)) return false;
  const std::map<std::string, std::string> Links = ByIdLinks(DevRoot);
  std::vector<TComPortDetails> Found;
  for (const TTty& Tty : Ttys)
    Found.push_back(DetailsOf(Tty, SysfsRoot, DevRoot, Links));
  List = std::move(Found);
  return true;
}

bool ListComPortDetails(std::vector<TComPortDetails>& List) {
  return ListComPortDetailsFrom(List, "/sys", "/dev");
}

TComPortDetails FindComPortDetails(const std::vector<TComPortDetails>& List,
                                   const std::string& Port) {
  // A path names the device it leads to: /dev/ttyUSB0, or a by-id link to it.
  const bool IsPath = Port.find('/') != std::string::npos;
  std::error_code Error;
  const fs::path Device = IsPath ? fs::canonical(Port, Error) : fs::path();
  for (const TComPortDetails& D : List) {
    if (!IsPath) {
      if (D.Name == Port) return D;
      continue;
    }
    std::error_code Ignored;
    if (D.Path == Port || D.ByIdPath == Port ||
        (!Error && fs::canonical(D.Path, Ignored) == Device && !Ignored))
      return D;
  }
  TComPortDetails None;
  None.Name = Port;
  return None;
}

}  // namespace comfind
