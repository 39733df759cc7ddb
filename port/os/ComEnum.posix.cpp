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
// can still be opened.
#include <algorithm>
#include <filesystem>
#include <fstream>
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

}  // namespace

void ListComPortsFrom(TStrings& List, const std::string& SysfsRoot, const std::string& DevRoot) {
  std::error_code Error;
  const fs::path TtyClass = fs::path(SysfsRoot) / "class" / "tty";
  fs::directory_iterator It(TtyClass, Error);
  if (Error) return;  // unreadable: the caller's list stays as it was

  const std::set<std::string> Consoles = ActiveConsoles(TtyClass);
  TStringList Found;
  for (; !Error && It != fs::directory_iterator(); It.increment(Error)) {
    const fs::path Entry = It->path();
    const std::string Name = Entry.filename().string();
    std::error_code Ignored;
    if (!fs::exists(Entry / "device", Ignored) && !IsBoundRfcomm(Entry)) continue;
    if (IsPhantomUart(Entry)) continue;
    if (Consoles.count(Name)) continue;
    // A container may see the host's sysfs without the device node; a name that cannot be
    // opened is no use in the list.
    if (!fs::exists(fs::path(DevRoot) / Name, Ignored)) continue;
    Found.Add(Name);
  }
  if (Error) return;  // the directory went away while being read: keep the caller's list

  // Textual order, as the Windows list sorts: ttyS10 before ttyS2.
  Found.Sort([](const std::string& A, const std::string& B) { return CompareTextAscii(A, B); });
  List.Assign(&Found);
}

void ListComPorts(TStrings& List) {
  ListComPortsFrom(List, "/sys", "/dev");
}

}  // namespace comfind
