// A key of the real Windows registry for the port's settings storage.
#include <windows.h>

#include <string>

#include "port/storage/Registry.h"

namespace comfind {

namespace {

std::string SystemMessage(LONG Code) {
  char* Text = nullptr;
  const DWORD Len = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(Code), 0, reinterpret_cast<LPSTR>(&Text), 0, nullptr);
  std::string Result;
  if (Len != 0 && Text != nullptr) {
    Result.assign(Text, Len);
    while (!Result.empty() && (Result.back() == '\n' || Result.back() == '\r' ||
                               Result.back() == ' ' || Result.back() == '.'))
      Result.pop_back();
  }
  if (Text != nullptr) LocalFree(Text);
  if (Result.empty()) Result = "error " + std::to_string(Code);
  return Result;
}

[[noreturn]] void Fail(const std::string& What, LONG Code) {
  throw ERegistryException(What + ": " + SystemMessage(Code) + " (" + std::to_string(Code) + ")");
}

HKEY RootHandle(TRegRootKey Root) {
  switch (Root) {
    case rkClassesRoot:
      return HKEY_CLASSES_ROOT;
    case rkCurrentUser:
      return HKEY_CURRENT_USER;
    case rkLocalMachine:
      return HKEY_LOCAL_MACHINE;
    case rkUsers:
      return HKEY_USERS;
    case rkCurrentConfig:
      return HKEY_CURRENT_CONFIG;
  }
  throw ERegistryException("Unknown registry root key");
}

}  // namespace

TWin32Registry::TWin32Registry(void* Key) : FKey(Key), FOwnsKey(false) {}

TWin32Registry::TWin32Registry(TRegRootKey Root, const std::string& Path, TRegAccess Access) {
  HKEY Key = nullptr;
  LONG Rc;
  if (Access == raReadWrite)
    Rc = RegCreateKeyExA(RootHandle(Root), Path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                         KEY_READ | KEY_WRITE, nullptr, &Key, nullptr);
  else
    Rc = RegOpenKeyExA(RootHandle(Root), Path.c_str(), 0, KEY_READ, &Key);
  if (Rc != ERROR_SUCCESS) Fail("Cannot open registry key \"" + Path + "\"", Rc);
  FKey = Key;
  FOwnsKey = true;
}

TWin32Registry::~TWin32Registry() {
  if (FOwnsKey && FKey != nullptr) RegCloseKey(static_cast<HKEY>(FKey));
}

bool TWin32Registry::DeleteKeyTree(TRegRootKey Root, const std::string& Path) {
  // An empty path would name the root key itself and empty it.
  if (Path.empty()) throw ERegistryException("Refusing to delete a registry root key");
  const LONG Rc = RegDeleteTreeA(RootHandle(Root), Path.c_str());
  if (Rc == ERROR_FILE_NOT_FOUND) return false;
  if (Rc != ERROR_SUCCESS) Fail("Cannot delete registry key \"" + Path + "\"", Rc);
  // Older registry redirectors leave the emptied key itself behind; it goes too.
  const LONG Rc2 = RegDeleteKeyA(RootHandle(Root), Path.c_str());
  if (Rc2 != ERROR_SUCCESS && Rc2 != ERROR_FILE_NOT_FOUND)
    Fail("Cannot delete registry key \"" + Path + "\"", Rc2);
  return true;
}

bool TWin32Registry::QueryValue(const std::string& Name, TRegValue& Value) {
  const HKEY Key = static_cast<HKEY>(FKey);
  // Another program may change the value between asking its size and reading it; ask again
  // until the buffer is large enough.
  DWORD Type = REG_NONE;
  DWORD Size = 0;
  LONG Rc = RegQueryValueExA(Key, Name.c_str(), nullptr, &Type, nullptr, &Size);
  for (;;) {
    if (Rc == ERROR_FILE_NOT_FOUND) return false;
    if (Rc != ERROR_SUCCESS) Fail("Cannot read registry value \"" + Name + "\"", Rc);
    std::string Data(Size, '\0');
    DWORD Got = Size;
    Rc = RegQueryValueExA(Key, Name.c_str(), nullptr, &Type,
                          Got != 0 ? reinterpret_cast<BYTE*>(Data.data()) : nullptr, &Got);
    if (Rc == ERROR_MORE_DATA) {
      Size = Got;
      Rc = ERROR_SUCCESS;
      continue;
    }
    if (Rc == ERROR_SUCCESS) {
      Data.resize(Got);
      Value.Type = Type;
      Value.Data = std::move(Data);
      return true;
    }
  }
}

void TWin32Registry::SetValue(const std::string& Name, uint32_t Type, const std::string& Data) {
  const LONG Rc =
      RegSetValueExA(static_cast<HKEY>(FKey), Name.c_str(), 0, Type,
                     reinterpret_cast<const BYTE*>(Data.data()), static_cast<DWORD>(Data.size()));
  if (Rc != ERROR_SUCCESS) Fail("Cannot write registry value \"" + Name + "\"", Rc);
}

}  // namespace comfind
