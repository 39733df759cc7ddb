// Reading SetupAPI's answers about the ports class into port details.
//
// Windows names a USB device instance "USB\VID_vvvv&PID_pppp\<serial number>" when the device
// reports a serial number, and makes up an instance id with '&' in it when it does not; one
// interface of a composite device ("...&MI_01\...") carries the made-up id and its parent the
// serial number. The FTDI driver enumerates its ports on a bus of its own,
// "FTDIBUS\VID_vvvv+PID_pppp+<serial number><port letter>\0000", the letter (A for the first
// port of the chip) appended to the serial number printed on the adapter.
#include "port/os/SetupApiPorts.h"

#include <algorithm>
#include <cctype>

namespace comfind {

namespace {

std::vector<std::string> Split(const std::string& Text, char Separator) {
  std::vector<std::string> Parts;
  size_t From = 0;
  for (;;) {
    const size_t At = Text.find(Separator, From);
    Parts.push_back(Text.substr(From, At == std::string::npos ? std::string::npos : At - From));
    if (At == std::string::npos) return Parts;
    From = At + 1;
  }
}

bool IsHex(char C) {
  return std::isxdigit(static_cast<unsigned char>(C)) != 0;
}

// The four hex digits after Key ("VID_") in Id, letter case ignored; false when there are none.
bool IdAfter(const std::string& Id, const std::string& Key, uint16_t& Value) {
  const std::string Upper = UpperCaseAscii(Id);
  for (size_t At = Upper.find(Key); At != std::string::npos; At = Upper.find(Key, At + 1)) {
    const size_t From = At + Key.size();
    if (From + 4 > Upper.size() || !std::all_of(Upper.begin() + static_cast<long>(From),
                                                Upper.begin() + static_cast<long>(From + 4), IsHex))
      continue;
    Value = static_cast<uint16_t>(std::stoul(Upper.substr(From, 4), nullptr, 16));
    return true;
  }
  return false;
}

std::string UsbSerialNumber(const std::string& InstanceId, const std::string& ParentInstanceId,
                            bool MayAskParent) {
  const std::vector<std::string> Parts = Split(InstanceId, '\\');
  if (Parts.size() != 3) return {};
  const std::string Bus = UpperCaseAscii(Parts[0]);
  if (Bus == "FTDIBUS") {
    const std::vector<std::string> Fields = Split(Parts[1], '+');
    if (Fields.size() < 3 || Fields[2].size() < 2) return {};
    std::string Serial = Fields[2];
    const char Letter = Serial.back();
    if (Letter >= 'A' && Letter <= 'D') Serial.pop_back();
    return Serial;
  }
  if (Bus != "USB") return {};
  if (UpperCaseAscii(Parts[1]).find("&MI_") != std::string::npos)
    return MayAskParent ? UsbSerialNumber(ParentInstanceId, std::string(), false) : std::string();
  return Parts[2].find('&') == std::string::npos ? Parts[2] : std::string();
}

// "USB Serial Port (COM7)" without the port name Windows appends.
std::string Describe(const TSetupApiPort& Device) {
  const std::string Suffix = " (" + Device.PortName + ")";
  const std::string& Name = Device.FriendlyName;
  if (Name.size() > Suffix.size() &&
      SameTextAscii(std::string_view(Name).substr(Name.size() - Suffix.size()), Suffix))
    return Name.substr(0, Name.size() - Suffix.size());
  return Name.empty() ? Device.DeviceDesc : Name;
}

TComPortDetails DetailsOf(const TSetupApiPort& Device) {
  TComPortDetails D;
  D.Name = Device.PortName;
  D.Description = Describe(Device);
  D.Manufacturer = Device.Manufacturer;
  D.Driver = Device.Service;
  D.SerialNumber = UsbSerialNumber(Device.InstanceId, Device.ParentInstanceId, true);
  std::vector<std::string> Ids = Device.HardwareIds;
  Ids.push_back(Device.InstanceId);
  Ids.push_back(Device.ParentInstanceId);
  for (const std::string& Id : Ids) {
    uint16_t Vid = 0, Pid = 0;
    if (IdAfter(Id, "VID_", Vid) && IdAfter(Id, "PID_", Pid)) {
      D.VendorId = Vid;
      D.ProductId = Pid;
      break;
    }
  }
  return D;
}

bool IsSerialPortName(const std::string& Name) {
  // The ports class holds the printer ports too.
  return !Name.empty() && CompareTextAscii(std::string_view(Name).substr(0, 3), "LPT") != 0;
}

}  // namespace

std::vector<TComPortDetails> MergePortDetails(
    const std::vector<TSetupApiPort>& Devices, const std::vector<std::string>& RegistryNames,
    const std::function<int(const std::string&, const std::string&)>& Compare) {
  std::vector<TComPortDetails> Details;
  auto Known = [&](const std::string& Name) {
    return std::any_of(Details.begin(), Details.end(),
                       [&](const TComPortDetails& D) { return SameTextAscii(D.Name, Name); });
  };
  for (const TSetupApiPort& Device : Devices)
    if (IsSerialPortName(Device.PortName) && !Known(Device.PortName))
      Details.push_back(DetailsOf(Device));
  for (const std::string& Name : RegistryNames) {
    if (Name.empty() || Known(Name)) continue;
    TComPortDetails D;
    D.Name = Name;
    Details.push_back(D);
  }
  for (TComPortDetails& D : Details)
    D.Path = "\\\\.\\" + D.Name;
  std::stable_sort(Details.begin(), Details.end(),
                   [&](const TComPortDetails& A, const TComPortDetails& B) {
                     return Compare(A.Name, B.Name) < 0;
                   });
  return Details;
}

}  // namespace comfind
