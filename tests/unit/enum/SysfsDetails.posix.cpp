// Port details over fabricated sysfs and /dev trees laid out as the kernel and udev lay them
// out: a USB serial adapter, a USB modem-class device, on-board UARTs behind old and new
// serial-core layouts, a bound Bluetooth port and the console. Also how a port named by path
// or by-id link finds its details.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "port/ComEnum.h"

namespace comfind {

namespace fs = std::filesystem;

namespace {

class TFakeSysfs {
 public:
  TFakeSysfs() {
    std::random_device Rd;
    FRoot = fs::temp_directory_path() / ("comfind-details-" + std::to_string(Rd()));
    fs::create_directories(Sys() / "class" / "tty");
    fs::create_directories(Dev());
  }
  ~TFakeSysfs() {
    std::error_code Ignored;
    fs::remove_all(FRoot, Ignored);
  }
  fs::path Sys() const { return FRoot / "sys"; }
  fs::path Dev() const { return FRoot / "dev"; }

  // A device directory under sys/devices, with its driver and subsystem links (relative, as
  // sysfs makes them) and attribute files.
  fs::path Device(const std::string& Path, const std::string& Bus, const std::string& Driver,
                  const std::vector<std::pair<std::string, std::string>>& Files = {}) {
    const fs::path Dir = Sys() / "devices" / Path;
    fs::create_directories(Dir);
    fs::create_directories(Sys() / "bus" / Bus / "drivers");
    if (!fs::exists(Dir / "subsystem"))
      fs::create_directory_symlink(fs::relative(Sys() / "bus" / Bus, Dir), Dir / "subsystem");
    if (!Driver.empty() && !fs::is_symlink(Dir / "driver")) {
      fs::create_directories(Sys() / "bus" / Bus / "drivers" / Driver);
      fs::create_directory_symlink(fs::relative(Sys() / "bus" / Bus / "drivers" / Driver, Dir),
                                   Dir / "driver");
    }
    for (const auto& [Name, Text] : Files)
      std::ofstream(Dir / Name) << Text << "\n";
    return Dir;
  }
  // The tty class entry and the /dev node; Device empty for a tty without a device link.
  void Tty(const std::string& Name, const fs::path& Device,
           const std::vector<std::pair<std::string, std::string>>& Files = {}) {
    const fs::path Entry = Sys() / "class" / "tty" / Name;
    fs::create_directories(Entry);
    if (!Device.empty())
      fs::create_directory_symlink(fs::relative(Device, Entry), Entry / "device");
    for (const auto& [File, Text] : Files)
      std::ofstream(Entry / File) << Text << "\n";
    std::ofstream(Dev() / Name).put('\0');
  }
  // A udev by-id link to a node of this /dev.
  void ById(const std::string& Link, const std::string& Name) {
    fs::create_directories(Dev() / "serial" / "by-id");
    fs::create_symlink(fs::path("..") / ".." / Name, Dev() / "serial" / "by-id" / Link);
  }
  void Consoles(const std::string& Active) {
    fs::create_directories(Sys() / "class" / "tty" / "console");
    std::ofstream(Sys() / "class" / "tty" / "console" / "active") << Active << "\n";
  }

  std::vector<TComPortDetails> Details() const {
    std::vector<TComPortDetails> List;
    EXPECT_TRUE(ListComPortDetailsFrom(List, Sys().string(), Dev().string()));
    return List;
  }

  // A machine with one of every kind.
  void Populate() {
    const std::string Hub = "pci0000:00/0000:00:14.0/usb1";
    // An FTDI adapter: the tty's device is the usb-serial port below the interface.
    Device(Hub + "/1-1", "usb", "usb",
           {{"idVendor", "0403"},
            {"idProduct", "6001"},
            {"product", "FT232R USB UART"},
            {"manufacturer", "FTDI"},
            {"serial", "A50285BI"}});
    Device(Hub + "/1-1/1-1:1.0", "usb", "ftdi_sio");
    Tty("ttyUSB0", Device(Hub + "/1-1/1-1:1.0/ttyUSB0", "usb-serial", "ftdi_sio"));
    ById("usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0", "ttyUSB0");
    // A second adapter of the same kind: only the serial number and by-id path tell them apart.
    Device(Hub + "/1-2", "usb", "usb",
           {{"idVendor", "0403"},
            {"idProduct", "6001"},
            {"product", "FT232R USB UART"},
            {"manufacturer", "FTDI"},
            {"serial", "A9K2LQ7X"}});
    Device(Hub + "/1-2/1-2:1.0", "usb", "ftdi_sio");
    Tty("ttyUSB10", Device(Hub + "/1-2/1-2:1.0/ttyUSB10", "usb-serial", "ftdi_sio"));
    ById("usb-FTDI_FT232R_USB_UART_A9K2LQ7X-if00-port0", "ttyUSB10");
    // A modem-class device of a composite gadget: the tty's device is the interface, which
    // names the function; the device has no product string, and its name is UTF-8.
    Device(Hub + "/1-3", "usb", "usb",
           {{"idVendor", "2341"}, {"idProduct", "8036"}, {"manufacturer", "Завод"}});
    Tty("ttyACM0", Device(Hub + "/1-3/1-3:1.0", "usb", "cdc_acm", {{"interface", "CDC Serial"}}));
    // On-board UARTs: a kernel with serial-base port and ctrl devices between the UART and its
    // tty, and one without.
    Device("pnp0/00:00", "pnp", "serial", {{"id", "PNP0501"}});
    Device("pnp0/00:00/00:00:0", "serial-base", "ctrl");
    Tty("ttyS0", Device("pnp0/00:00/00:00:0/00:00:0.0", "serial-base", "port"), {{"type", "4"}});
    Tty("ttyS1", Device("platform/serial8250", "platform", "serial8250"), {{"type", "4"}});
    Tty("ttyS2", Device("platform/serial8250", "platform", "serial8250"), {{"type", "0"}});
    // A Bluetooth port bound but not connected.
    Tty("rfcomm0", fs::path(), {{"address", "00:1A:7D:DA:71:13"}, {"channel", "1"}});
    Tty("tty1", fs::path());
    Consoles("tty0 ttyS0");
  }

 private:
  fs::path FRoot;
};

TComPortDetails Named(const std::vector<TComPortDetails>& List, const std::string& Name) {
  for (const TComPortDetails& D : List)
    if (D.Name == Name) return D;
  ADD_FAILURE() << "no details for " << Name;
  return {};
}

}  // namespace

TEST(PortDetails, EveryKindOfPortTellsWhatItIs) {
  TFakeSysfs M;
  M.Populate();
  const auto List = M.Details();
  std::vector<std::string> Order;
  for (const TComPortDetails& D : List)
    Order.push_back(D.Name);
  // ListComPorts' order, the console kept in its place; the phantom UART is still left out.
  EXPECT_EQ(Order, (std::vector<std::string>{"rfcomm0", "ttyACM0", "ttyS0", "ttyS1", "ttyUSB0",
                                             "ttyUSB10"}));
  const std::string ById = (M.Dev() / "serial" / "by-id").string() + "/";
  const struct {
    std::string Name, Description, Manufacturer, Serial, Driver, ByIdPath;
    uint16_t Vid, Pid;
    bool Console;
  } Want[] = {
      {"ttyUSB0", "FT232R USB UART", "FTDI", "A50285BI", "ftdi_sio",
       ById + "usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0", 0x0403, 0x6001, false},
      {"ttyUSB10", "FT232R USB UART", "FTDI", "A9K2LQ7X", "ftdi_sio",
       ById + "usb-FTDI_FT232R_USB_UART_A9K2LQ7X-if00-port0", 0x0403, 0x6001, false},
      // The manufacturer in code page 1251, as every text of the system.
      {"ttyACM0", "CDC Serial", "\xC7\xE0\xE2\xEE\xE4", "", "cdc_acm", "", 0x2341, 0x8036, false},
      {"ttyS0", "16550A UART", "", "", "serial", "", 0, 0, true},
      {"ttyS1", "16550A UART", "", "", "serial8250", "", 0, 0, false},
      {"rfcomm0", "Bluetooth 00:1A:7D:DA:71:13 channel 1", "", "", "rfcomm", "", 0, 0, false},
  };
  for (const auto& W : Want) {
    SCOPED_TRACE(W.Name);
    const TComPortDetails D = Named(List, W.Name);
    EXPECT_EQ(D.Path, (M.Dev() / W.Name).string());
    EXPECT_EQ(D.Description, W.Description);
    EXPECT_EQ(D.Manufacturer, W.Manufacturer);
    EXPECT_EQ(D.SerialNumber, W.Serial);
    EXPECT_EQ(D.Driver, W.Driver);
    EXPECT_EQ(D.ByIdPath, W.ByIdPath);
    EXPECT_EQ(D.VendorId, W.Vid);
    EXPECT_EQ(D.ProductId, W.Pid);
    EXPECT_EQ(D.Console, W.Console);
  }

  // The plain list is the same minus the console.
  TStringList Names;
  ListComPortsFrom(Names, M.Sys().string(), M.Dev().string());
  EXPECT_EQ(Names.Items(),
            (std::vector<std::string>{"rfcomm0", "ttyACM0", "ttyS1", "ttyUSB0", "ttyUSB10"}));
}

TEST(PortDetails, APortNamedByPathOrByIdLinkFindsItsDetails) {
  TFakeSysfs M;
  M.Populate();
  const auto List = M.Details();
  const std::string Link =
      (M.Dev() / "serial" / "by-id" / "usb-FTDI_FT232R_USB_UART_A9K2LQ7X-if00-port0").string();
  for (const std::string& Port : {std::string("ttyUSB10"), (M.Dev() / "ttyUSB10").string(), Link})
    EXPECT_EQ(FindComPortDetails(List, Port).SerialNumber, "A9K2LQ7X") << Port;
  // Names are case-sensitive here; an unknown port keeps its name and nothing else.
  for (const std::string& Port :
       {std::string("TTYUSB10"), std::string("/dev/pts/3"), (M.Dev() / "ttyUSB1").string()}) {
    const TComPortDetails D = FindComPortDetails(List, Port);
    EXPECT_EQ(D.Name, Port);
    EXPECT_EQ(D.SerialNumber, "");
    EXPECT_EQ(D.Path, "");
  }
}

TEST(PortDetails, AnUnreadableTreeLeavesTheListAlone) {
  TFakeSysfs M;
  std::vector<TComPortDetails> List(1);
  List[0].Name = "kept";
  EXPECT_FALSE(ListComPortDetailsFrom(List, (M.Sys() / "absent").string(), M.Dev().string()));
  ASSERT_EQ(List.size(), 1u);
  EXPECT_EQ(List[0].Name, "kept");
  // A by-id folder that is missing or holds a dangling link costs nothing.
  M.Tty("ttyUSB0", M.Device("usb1/1-1/1-1:1.0/ttyUSB0", "usb-serial", "pl2303"));
  fs::create_directories(M.Dev() / "serial" / "by-id");
  fs::create_symlink("../../ttyUSB9", M.Dev() / "serial" / "by-id" / "usb-gone");
  const auto Found = M.Details();
  ASSERT_EQ(Found.size(), 1u);
  EXPECT_EQ(Found[0].ByIdPath, "");
  EXPECT_EQ(Found[0].Driver, "pl2303");
  EXPECT_EQ(Found[0].Description, "pl2303");  // no USB device above it: the driver says it
}

}  // namespace comfind
