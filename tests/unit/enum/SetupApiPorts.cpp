// The Windows port details read from SetupAPI answers recorded on real machines: adapters
// with and without serial numbers, the FTDI driver's own bus, one function of a composite
// device, an on-board UART, a Bluetooth link, a printer port, a localised name, and ports the
// registry lists that SetupAPI does not know. Runs on every platform (the reading needs no
// Windows), and under Wine with the cross-built tests.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "port/os/SetupApiPorts.h"

namespace comfind {

namespace {

std::vector<TSetupApiPort> Recorded() {
  std::vector<TSetupApiPort> D(9);
  D[0] = {"COM7",
          "USB Serial Port (COM7)",
          "USB Serial Port",
          "FTDI",
          {"FTDIBUS\\COMPORT&VID_0403&PID_6001"},
          "FTDISER",
          "FTDIBUS\\VID_0403+PID_6001+A50285BIA\\0000",
          "USB\\VID_0403&PID_6001\\A50285BI"};
  D[1] = {"COM3",
          "Arduino Uno (COM3)",
          "Arduino Uno",
          "Arduino LLC (www.arduino.cc)",
          {"USB\\VID_2341&PID_0043&REV_0001", "USB\\VID_2341&PID_0043"},
          "usbser",
          "USB\\VID_2341&PID_0043\\75735323430351D0A1E1",
          "USB\\ROOT_HUB30\\4&2A8B8F3&0&0"};
  // One function of a composite device: its own id is made up, its parent has the number.
  D[2] = {"COM12",
          "USB Serial Device (COM12)",
          "USB Serial Device",
          "Microsoft",
          {"USB\\VID_0483&PID_5740&REV_0200&MI_00", "USB\\VID_0483&PID_5740&MI_00"},
          "usbser",
          "USB\\VID_0483&PID_5740&MI_00\\6&1A2B3C4D&0&0000",
          "USB\\VID_0483&PID_5740\\205F3390544B"};
  // No serial number: Windows makes the instance id up.
  D[3] = {"COM5",
          "USB-SERIAL CH340 (COM5)",
          "USB-SERIAL CH340",
          "wch.cn",
          {"usb\\vid_1a86&pid_7523&rev_0264", "usb\\vid_1a86&pid_7523"},
          "CH341SER_A64",
          "USB\\VID_1A86&PID_7523\\5&2E4AF16B&0&3",
          "USB\\ROOT_HUB30\\4&2A8B8F3&0&0"};
  D[4] = {"COM1",
          "Communications Port (COM1)",
          "Communications Port",
          "(Standard port types)",
          {"ACPI\\VEN_PNP&DEV_0501", "ACPI\\PNP0501", "*PNP0501"},
          "Serial",
          "ACPI\\PNP0501\\1",
          "ACPI\\PNP0A08\\0"};
  D[5] = {
      "COM4",
      "Standard Serial over Bluetooth link (COM4)",
      "Standard Serial over Bluetooth link",
      "Microsoft",
      {"BTHENUM\\{00001101-0000-1000-8000-00805f9b34fb}_LOCALMFG&0002"},
      "BTHMODEM",
      "BTHENUM\\{00001101-0000-1000-8000-00805F9B34FB}_LOCALMFG&0002\\7&2C1E5F4B&0&000000000000_"
      "00000004",
      "BTH\\MS_BTHBRB\\6&1B2C3D4E&0&1"};
  D[6] = {"LPT1",
          "Printer Port (LPT1)",
          "Printer Port",
          "(Standard port types)",
          {"*PNP0400"},
          "Parport",
          "ACPI\\PNP0400\\1",
          ""};
  // A Russian Windows: the friendly name in the ANSI code page, 1251.
  D[7] = {"COM8",
          "\xCF\xEE\xF0\xF2 USB (COM8)",  // "Порт USB (COM8)"
          "\xCF\xEE\xF0\xF2 USB",
          "Prolific",
          {"USB\\VID_067B&PID_2303&REV_0300"},
          "Ser2pl",
          "USB\\VID_067B&PID_2303\\5&1F0A4C1D&0&2",
          ""};
  // A device of the class that has no port name (a multiport card's parent, a broken driver).
  D[8] = {"", "Multiport Serial Adapter", "", "Acme", {"PCI\\VEN_135C&DEV_0261"}, "", "", ""};
  return D;
}

int Textual(const std::string& A, const std::string& B) {
  return CompareTextAscii(A, B);
}

std::vector<std::string> NamesOf(const std::vector<TComPortDetails>& List) {
  std::vector<std::string> Names;
  for (const TComPortDetails& D : List)
    Names.push_back(D.Name);
  return Names;
}

}  // namespace

TEST(SetupApiPorts, RecordedAnswersGiveEachPortItsDetails) {
  // The registry lists a virtual port SetupAPI does not know, and COM7 in other letter case.
  const auto List = MergePortDetails(Recorded(), {"com7", "COM3", "COM20", "COM1"}, Textual);
  // Textual order, as the registry list is sorted; each name once; the printer port and the
  // nameless device are no serial ports.
  EXPECT_EQ(NamesOf(List), (std::vector<std::string>{"COM1", "COM12", "COM20", "COM3", "COM4",
                                                     "COM5", "COM7", "COM8"}));
  const struct {
    std::string Name, Description, Manufacturer, Serial, Driver;
    uint16_t Vid, Pid;
  } Want[] = {
      {"COM7", "USB Serial Port", "FTDI", "A50285BI", "FTDISER", 0x0403, 0x6001},
      {"COM3", "Arduino Uno", "Arduino LLC (www.arduino.cc)", "75735323430351D0A1E1", "usbser",
       0x2341, 0x0043},
      {"COM12", "USB Serial Device", "Microsoft", "205F3390544B", "usbser", 0x0483, 0x5740},
      {"COM5", "USB-SERIAL CH340", "wch.cn", "", "CH341SER_A64", 0x1A86, 0x7523},
      {"COM1", "Communications Port", "(Standard port types)", "", "Serial", 0, 0},
      {"COM4", "Standard Serial over Bluetooth link", "Microsoft", "", "BTHMODEM", 0, 0},
      {"COM8", "\xCF\xEE\xF0\xF2 USB", "Prolific", "", "Ser2pl", 0x067B, 0x2303},
      {"COM20", "", "", "", "", 0, 0},
  };
  for (const auto& W : Want) {
    SCOPED_TRACE(W.Name);
    const auto It = std::find_if(List.begin(), List.end(),
                                 [&](const TComPortDetails& D) { return D.Name == W.Name; });
    ASSERT_NE(It, List.end());
    EXPECT_EQ(It->Path, "\\\\.\\" + W.Name);
    EXPECT_EQ(It->Description, W.Description);
    EXPECT_EQ(It->Manufacturer, W.Manufacturer);
    EXPECT_EQ(It->SerialNumber, W.Serial);
    EXPECT_EQ(It->Driver, W.Driver);
    EXPECT_EQ(It->VendorId, W.Vid);
    EXPECT_EQ(It->ProductId, W.Pid);
    EXPECT_EQ(It->ByIdPath, "");
    EXPECT_FALSE(It->Console);
  }
}

TEST(SetupApiPorts, WithoutSetupApiTheRegistryListStands) {
  const auto List = MergePortDetails({}, {"COM2", "COM10", "COM2"}, Textual);
  EXPECT_EQ(NamesOf(List), (std::vector<std::string>{"COM10", "COM2"}));
  for (const TComPortDetails& D : List)
    EXPECT_EQ(D.Description, "") << D.Name;
  EXPECT_TRUE(MergePortDetails({}, {}, Textual).empty());
}

TEST(SetupApiPorts, OddlyFormedIdsGiveNoIdsRatherThanWrongOnes) {
  std::vector<TSetupApiPort> D(4);
  // Too few hex digits, or none after the key; an FTDI id without the number's field.
  D[0] = {"COM1", "", "Plain", "", {"USB\\VID_04&PID_60"}, "", "USB\\VID_04\\X", ""};
  D[1] = {"COM2", "", "Plain", "", {"USB\\VID_&PID_"}, "", "FTDIBUS\\VID_0403+PID_6001\\0000", ""};
  // A friendly name without the port appended is the description as it stands.
  D[2] = {"COM3", "Modem line", "Other", "", {}, "", "USB\\VID_1234&PID_5678\\SN&1", ""};
  // A composite function whose parent has no number either.
  D[3] = {"COM4",
          "",
          "",
          "",
          {},
          "",
          "USB\\VID_1234&PID_5678&MI_02\\7&1&0&2",
          "USB\\VID_1234&PID_5678\\6&2&0&1"};
  const auto List = MergePortDetails(D, {}, Textual);
  ASSERT_EQ(List.size(), 4u);
  EXPECT_EQ(List[0].VendorId, 0);
  EXPECT_EQ(List[0].Description, "Plain");
  EXPECT_EQ(List[0].SerialNumber, "X");
  // The instance id stands in for hardware ids that give none.
  EXPECT_EQ(List[1].VendorId, 0x0403);
  EXPECT_EQ(List[1].SerialNumber, "");
  EXPECT_EQ(List[2].Description, "Modem line");
  EXPECT_EQ(List[2].VendorId, 0x1234);
  EXPECT_EQ(List[2].ProductId, 0x5678);
  EXPECT_EQ(List[2].SerialNumber, "");
  EXPECT_EQ(List[3].SerialNumber, "");
  EXPECT_EQ(List[3].VendorId, 0x1234);
}

}  // namespace comfind
