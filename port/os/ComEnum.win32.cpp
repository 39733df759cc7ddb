// Port enumeration on Windows: the values of HARDWARE\DEVICEMAP\SERIALCOMM, each one port whose
// name is the value's data. The details come from SetupAPI's devices of the ports class (the
// reading of its answers is SetupApiPorts.cpp); a port the registry lists and SetupAPI does not
// know (an older driver, or SetupAPI refusing) is still listed, by its name alone.
#include <windows.h>
// After <windows.h>, which they build on.
#include <cfgmgr32.h>
#include <setupapi.h>

#include <string>
#include <string_view>
#include <vector>

#include "port/ComEnum.h"
#include "port/os/SetupApiPorts.h"

namespace comfind {

namespace {

constexpr DWORD NameCapacity = 256;
constexpr DWORD DataCapacity = 256;

// Closes the key on every way out, an exception from the list's Sort or Assign included.
class TKeyGuard {
 public:
  explicit TKeyGuard(HKEY Key) : FKey(Key) {}
  ~TKeyGuard() { RegCloseKey(FKey); }
  TKeyGuard(const TKeyGuard&) = delete;
  TKeyGuard& operator=(const TKeyGuard&) = delete;

 private:
  HKEY FKey;
};

// The ports class, GUID_DEVCLASS_PORTS of <devguid.h> (which would need INITGUID here).
constexpr GUID kPortsClass = {
    0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

int ComparePortNames(const std::string& A, const std::string& B) {
  const int R = CompareStringA(LOCALE_USER_DEFAULT, NORM_IGNORECASE, A.data(),
                               static_cast<int>(A.size()), B.data(), static_cast<int>(B.size()));
  return R == 0 ? 0 : R - CSTR_EQUAL;  // 0: the comparison failed; keep the order read
}

// The values of the SERIALCOMM key (or its stand-in); false when it cannot be opened.
bool ReadSerialComm(const std::string& KeyPath, std::vector<std::string>& Names) {
  HKEY Key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, KeyPath.c_str(), 0, KEY_READ, &Key) != ERROR_SUCCESS)
    return false;
  TKeyGuard Guard(Key);
  char Name[NameCapacity];
  BYTE Data[DataCapacity];
  for (DWORD Index = 0;; ++Index) {
    // Both capacities are in-out: the call leaves the lengths of the last value in them.
    DWORD NameLen = NameCapacity;
    DWORD DataLen = DataCapacity;
    DWORD Type = 0;
    if (RegEnumValueA(Key, Index, Name, &NameLen, nullptr, &Type, Data, &DataLen) != ERROR_SUCCESS)
      break;  // no more values, or one that does not fit: keep what was read so far
    // The data ends in its NUL; a length of 0 or 1 is an empty name.
    const DWORD Chars = DataLen > 0 ? DataLen - 1 : 0;
    Names.push_back(std::string(reinterpret_cast<const char*>(Data), Chars));
  }
  return true;
}

// A property of a device as SetupAPI stores it; empty when the device has none.
std::vector<char> DeviceProperty(HDEVINFO Set, SP_DEVINFO_DATA& Info, DWORD Property) {
  DWORD Type = 0, Size = 0;
  SetupDiGetDeviceRegistryPropertyA(Set, &Info, Property, &Type, nullptr, 0, &Size);
  if (Size == 0) return {};
  std::vector<char> Data(Size + 2, '\0');  // room for the NULs a sloppy driver left out
  if (!SetupDiGetDeviceRegistryPropertyA(Set, &Info, Property, &Type,
                                         reinterpret_cast<BYTE*>(Data.data()), Size, &Size))
    return {};
  return Data;
}

std::string TextProperty(HDEVINFO Set, SP_DEVINFO_DATA& Info, DWORD Property) {
  const std::vector<char> Data = DeviceProperty(Set, Info, Property);
  return Data.empty() ? std::string() : std::string(Data.data());
}

// A REG_MULTI_SZ property: texts one after another, each ended by a NUL, an empty one last.
std::vector<std::string> TextListProperty(HDEVINFO Set, SP_DEVINFO_DATA& Info, DWORD Property) {
  const std::vector<char> Data = DeviceProperty(Set, Info, Property);
  std::vector<std::string> Texts;
  for (size_t At = 0; At < Data.size() && Data[At] != '\0';) {
    Texts.emplace_back(Data.data() + At);
    At += Texts.back().size() + 1;
  }
  return Texts;
}

std::string PortNameOf(HDEVINFO Set, SP_DEVINFO_DATA& Info) {
  const HKEY Key = SetupDiOpenDevRegKey(Set, &Info, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
  if (Key == reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE)) return {};
  TKeyGuard Guard(Key);
  char Data[DataCapacity] = {};
  DWORD Size = sizeof Data - 1;
  DWORD Type = 0;
  if (RegQueryValueExA(Key, "PortName", nullptr, &Type, reinterpret_cast<BYTE*>(Data), &Size) !=
          ERROR_SUCCESS ||
      Type != REG_SZ)
    return {};
  return std::string(Data);
}

std::string InstanceIdOf(DEVINST Instance) {
  char Id[MAX_DEVICE_ID_LEN + 1] = {};
  return CM_Get_Device_IDA(Instance, Id, MAX_DEVICE_ID_LEN, 0) == CR_SUCCESS ? std::string(Id)
                                                                             : std::string();
}

// The present devices of the ports class; none when SetupAPI refuses.
std::vector<TSetupApiPort> ReadPortsClass() {
  std::vector<TSetupApiPort> Ports;
  const HDEVINFO Set = SetupDiGetClassDevsA(&kPortsClass, nullptr, nullptr, DIGCF_PRESENT);
  if (Set == INVALID_HANDLE_VALUE) return Ports;
  for (DWORD Index = 0;; ++Index) {
    SP_DEVINFO_DATA Info{};
    Info.cbSize = sizeof Info;
    if (!SetupDiEnumDeviceInfo(Set, Index, &Info)) break;
    TSetupApiPort P;
    P.PortName = PortNameOf(Set, Info);
    P.FriendlyName = TextProperty(Set, Info, SPDRP_FRIENDLYNAME);
    P.DeviceDesc = TextProperty(Set, Info, SPDRP_DEVICEDESC);
    P.Manufacturer = TextProperty(Set, Info, SPDRP_MFG);
    P.HardwareIds = TextListProperty(Set, Info, SPDRP_HARDWAREID);
    P.Service = TextProperty(Set, Info, SPDRP_SERVICE);
    P.InstanceId = InstanceIdOf(Info.DevInst);
    DEVINST Parent = 0;
    if (CM_Get_Parent(&Parent, Info.DevInst, 0) == CR_SUCCESS)
      P.ParentInstanceId = InstanceIdOf(Parent);
    Ports.push_back(std::move(P));
  }
  SetupDiDestroyDeviceInfoList(Set);
  return Ports;
}

}  // namespace

void ListComPortsFrom(TStrings& List, const std::string& SysfsRoot, const std::string&) {
  std::vector<std::string> Names;
  if (!ReadSerialComm(SysfsRoot, Names)) return;
  TStringList Found;
  Found.SetItems(std::move(Names));
  Found.Sort(ComparePortNames);
  List.Assign(&Found);
}

void ListComPorts(TStrings& List) {
  ListComPortsFrom(List, "HARDWARE\\DEVICEMAP\\SERIALCOMM", std::string());
}

bool ListComPortDetailsFrom(std::vector<TComPortDetails>& List, const std::string& SysfsRoot,
                            const std::string&) {
  std::vector<std::string> Names;
  const bool Listed = ReadSerialComm(SysfsRoot, Names);
  const std::vector<TSetupApiPort> Devices = ReadPortsClass();
  if (!Listed && Devices.empty()) return false;
  List = MergePortDetails(Devices, Names, ComparePortNames);
  return true;
}

bool ListComPortDetails(std::vector<TComPortDetails>& List) {
  return ListComPortDetailsFrom(List, "HARDWARE\\DEVICEMAP\\SERIALCOMM", std::string());
}

TComPortDetails FindComPortDetails(const std::vector<TComPortDetails>& List,
                                   const std::string& Port) {
  // "\\.\COM7" names COM7; port names are not case-sensitive on Windows.
  std::string_view Name = Port;
  if (Name.substr(0, 4) == "\\\\.\\") Name.remove_prefix(4);
  for (const TComPortDetails& D : List)
    if (SameTextAscii(D.Name, Name)) return D;
  TComPortDetails None;
  None.Name = Port;
  return None;
}

}  // namespace comfind
