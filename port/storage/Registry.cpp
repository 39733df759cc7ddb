// The registry value rules shared by every registry key, and the in-memory key.
#include "port/storage/Registry.h"

#include <algorithm>

namespace comfind {

namespace {

std::string TypeName(uint32_t Type) {
  switch (Type) {
    case rvNone:
      return "REG_NONE";
    case rvSz:
      return "REG_SZ";
    case rvExpandSz:
      return "REG_EXPAND_SZ";
    case rvBinary:
      return "REG_BINARY";
    case rvDword:
      return "REG_DWORD";
    case rvMultiSz:
      return "REG_MULTI_SZ";
    case rvQword:
      return "REG_QWORD";
    default:
      return std::string("type ").append(std::to_string(Type));
  }
}

[[noreturn]] void WrongType(const std::string& Name, uint32_t Type, const char* Wanted) {
  throw ERegistryException("Registry value \"" + Name + "\" is " + TypeName(Type) + ", not " +
                           Wanted);
}

}  // namespace

void TRegistryKey::WriteString(const std::string& Name, const std::string& Value) {
  std::string Data = Value;
  Data.push_back('\0');
  SetValue(Name, rvSz, Data);
}

void TRegistryKey::WriteInteger(const std::string& Name, int32_t Value) {
  // REG_DWORD is little-endian whatever the machine is.
  const uint32_t U = static_cast<uint32_t>(Value);
  std::string Data(4, '\0');
  for (int I = 0; I < 4; ++I)
    Data[I] = static_cast<char>((U >> (8 * I)) & 0xFF);
  SetValue(Name, rvDword, Data);
}

std::string TRegistryKey::ReadString(const std::string& Name) {
  TRegValue V;
  if (!QueryValue(Name, V) || V.Data.empty()) return std::string();
  if (V.Type != rvSz && V.Type != rvExpandSz) WrongType(Name, V.Type, "a text");
  // Values written by other programs need not end with a NUL, or may hold several.
  const size_t Nul = V.Data.find('\0');
  if (Nul != std::string::npos) V.Data.resize(Nul);
  return V.Data;
}

int32_t TRegistryKey::ReadInteger(const std::string& Name) {
  TRegValue V;
  if (!QueryValue(Name, V))
    throw ERegistryException("Registry value \"" + Name + "\" does not exist");
  if (V.Type != rvDword) WrongType(Name, V.Type, "an integer");
  // A REG_DWORD of another size is what a careless writer leaves; its bytes mean nothing.
  if (V.Data.size() != 4)
    throw ERegistryException("Registry value \"" + Name + "\" is a REG_DWORD of " +
                             std::to_string(V.Data.size()) + " bytes");
  uint32_t U = 0;
  for (int I = 0; I < 4; ++I)
    U |= static_cast<uint32_t>(static_cast<uint8_t>(V.Data[I])) << (8 * I);
  return static_cast<int32_t>(U);
}

// ---------------------------------------------------------------------------------------------

bool TMemoryRegistry::TNameLess::operator()(const std::string& A, const std::string& B) const {
  return CompareTextAscii(A, B) < 0;
}

bool TMemoryRegistry::QueryValue(const std::string& Name, TRegValue& Value) {
  auto It = FValues.find(Name);
  if (It == FValues.end()) return false;
  Value = It->second;
  return true;
}

void TMemoryRegistry::SetValue(const std::string& Name, uint32_t Type, const std::string& Data) {
  auto [It, Inserted] = FValues.insert_or_assign(Name, TRegValue{Type, Data});
  if (Inserted) FOrder.push_back(Name);
}

bool TMemoryRegistry::DeleteValue(const std::string& Name) {
  if (FValues.erase(Name) == 0) return false;
  FOrder.erase(std::find_if(FOrder.begin(), FOrder.end(),
                            [&](const std::string& N) { return SameTextAscii(N, Name); }));
  return true;
}

bool TMemoryRegistry::ValueExists(const std::string& Name) const {
  return FValues.count(Name) != 0;
}

std::vector<std::string> TMemoryRegistry::ValueNames() const {
  return FOrder;
}

void TMemoryRegistry::Clear() {
  FValues.clear();
  FOrder.clear();
}

}  // namespace comfind
