// Port enumeration on Windows: the values of HARDWARE\DEVICEMAP\SERIALCOMM, each one port whose
// name is the value's data.
#include <windows.h>

#include <string>

#include "port/ComEnum.h"

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

}  // namespace

void ListComPortsFrom(TStrings& List, const std::string& SysfsRoot, const std::string&) {
  HKEY Key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, SysfsRoot.c_str(), 0, KEY_READ, &Key) != ERROR_SUCCESS)
    return;
  TKeyGuard Guard(Key);

  TStringList Found;
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
    Found.Add(std::string(reinterpret_cast<const char*>(Data), Chars));
  }

  Found.Sort([](const std::string& A, const std::string& B) {
    const int R = CompareStringA(LOCALE_USER_DEFAULT, NORM_IGNORECASE, A.data(),
                                 static_cast<int>(A.size()), B.data(), static_cast<int>(B.size()));
    return R == 0 ? 0 : R - CSTR_EQUAL;  // 0: the comparison failed; keep the order read
  });
  List.Assign(&Found);
}

void ListComPorts(TStrings& List) {
  ListComPortsFrom(List, "HARDWARE\\DEVICEMAP\\SERIALCOMM", std::string());
}

}  // namespace comfind
