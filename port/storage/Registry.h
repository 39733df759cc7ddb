// Registry objects for the port's settings storage.
//
// TRegistryKey puts the rules of the four TRegistry operations (value types, absence, sizes)
// in one place over two raw operations, so the in-memory key used by tests and non-Windows
// builds and the real Windows key behave alike. All operations run on the caller's thread;
// a key object is not shared between threads. Failures raise ERegistryException.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "port/storage/ComStorage.h"

// Registry value types, numbered as the Windows registry numbers them.

namespace comfind {

enum TRegValueType : uint32_t {
  rvNone = 0,
  rvSz = 1,
  rvExpandSz = 2,
  rvBinary = 3,
  rvDword = 4,
  rvMultiSz = 7,
  rvQword = 11,
};

// One value as the registry holds it: its type number and its bytes.
struct TRegValue {
  uint32_t Type = rvNone;
  std::string Data;
};

class TRegistryKey : public TRegistry {
 public:
  std::string ClassName() const override { return "TRegistryKey"; }
  void WriteString(const std::string& Name, const std::string& Value) final;
  void WriteInteger(const std::string& Name, int32_t Value) final;
  std::string ReadString(const std::string& Name) final;
  int32_t ReadInteger(const std::string& Name) final;

  // The raw value: false when the key has no value of that name. Other failures raise.
  virtual bool QueryValue(const std::string& Name, TRegValue& Value) = 0;
  // Creates or replaces the value with exactly these bytes and this type.
  virtual void SetValue(const std::string& Name, uint32_t Type, const std::string& Data) = 0;
};

// A registry key held in memory. Value names compare ignoring ASCII letter case, as the
// registry's do. Any type and any bytes can be planted with SetValue.
class TMemoryRegistry : public TRegistryKey {
 public:
  std::string ClassName() const override { return "TMemoryRegistry"; }
  bool QueryValue(const std::string& Name, TRegValue& Value) override;
  void SetValue(const std::string& Name, uint32_t Type, const std::string& Data) override;
  bool DeleteValue(const std::string& Name);
  bool ValueExists(const std::string& Name) const;
  // The value names in the order they were first written.
  std::vector<std::string> ValueNames() const;
  void Clear();

 private:
  struct TNameLess {
    bool operator()(const std::string& A, const std::string& B) const;
  };
  std::map<std::string, TRegValue, TNameLess> FValues;
  std::vector<std::string> FOrder;
};

// The predefined root keys of the Windows registry.
enum TRegRootKey : uint8_t {
  rkClassesRoot,
  rkCurrentUser,
  rkLocalMachine,
  rkUsers,
  rkCurrentConfig,
};

enum TRegAccess : uint8_t {
  raRead,       // open an existing key for reading
  raReadWrite,  // open the key for reading and writing, creating it (and its parents) if needed
};

// A key of the real Windows registry (Windows builds only: defined in
// port/os/Registry.win32.cpp). Texts pass through the ANSI code page.
class TWin32Registry : public TRegistryKey {
 public:
  // Uses a key the caller opened (an HKEY); the caller keeps it and closes it.
  explicit TWin32Registry(void* Key);
  // Opens Root\Path; raises ERegistryException when it cannot. The key is closed on
  // destruction.
  TWin32Registry(TRegRootKey Root, const std::string& Path, TRegAccess Access);
  ~TWin32Registry() override;
  TWin32Registry(const TWin32Registry&) = delete;
  TWin32Registry& operator=(const TWin32Registry&) = delete;

  std::string ClassName() const override { return "TWin32Registry"; }
  // Deletes Root\Path with its subkeys and values; false when it did not exist. Raises
  // ERegistryException on other failures.
  static bool DeleteKeyTree(TRegRootKey Root, const std::string& Path);
  bool QueryValue(const std::string& Name, TRegValue& Value) override;
  void SetValue(const std::string& Name, uint32_t Type, const std::string& Data) override;
  void* Key() const { return FKey; }

 private:
  void* FKey = nullptr;
  bool FOwnsKey = false;
};

}  // namespace comfind
