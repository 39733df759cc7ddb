// Where a port's settings can be stored: an ini-file section or a registry key.
#pragma once

#include <cstdint>
#include <string>

#include "framework/Classes.h"

// An ini file: sections of key=value lines.
class TIniFile : public TObject {
 public:
  std::string ClassName() const override { return "TIniFile"; }
  virtual std::string ReadString(const std::string& Section, const std::string& Ident,
                                 const std::string& Default) = 0;
  virtual void WriteString(const std::string& Section, const std::string& Ident,
                           const std::string& Value) = 0;
  virtual int32_t ReadInteger(const std::string& Section, const std::string& Ident,
                              int32_t Default) = 0;
  virtual void WriteInteger(const std::string& Section, const std::string& Ident,
                            int32_t Value) = 0;
};

// A registry key already opened by the caller; values are named directly in it.
class TRegistry : public TObject {
 public:
  std::string ClassName() const override { return "TRegistry"; }
  // REG_SZ: the text followed by a NUL.
  virtual void WriteString(const std::string& Name, const std::string& Value) = 0;
  // REG_DWORD: 4 bytes.
  virtual void WriteInteger(const std::string& Name, int32_t Value) = 0;
  // Absent or empty: the empty text. Not REG_SZ/REG_EXPAND_SZ: ERegistryException. The text
  // ends at its first NUL.
  virtual std::string ReadString(const std::string& Name) = 0;
  // Absent or not REG_DWORD: ERegistryException.
  virtual int32_t ReadInteger(const std::string& Name) = 0;
};

class ERegistryException : public Exception {
 public:
  using Exception::Exception;
};
