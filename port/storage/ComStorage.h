// Where a port's settings can be stored: an ini-file section or a registry key, and the text
// forms the stored values take.
//
// The port's StoreToIniFile / LoadFromIniFile / StoreToRegistry / LoadFromRegistry (CPort.h)
// write and read the groups its StoredProps selects through the two abstract objects below.
// Concrete objects: TDiskIniFile (port/IniFile.h), TMemoryRegistry and TWin32Registry
// (port/Registry.h). SaveComPortSettings / LoadComPortSettings are the one-call form for a
// program that keeps a port's settings in an ini file.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "framework/Classes.h"
#include "port/ComSettings.h"

namespace comfind {

class TCustomComPort;

// An ini file: sections of key=value lines. Errors are raised as EIniFileException. Threads: one
// at a time.
class TIniFile : public TObject {
 public:
  std::string ClassName() const override { return "TIniFile"; }
  // The value of Ident in Section, or Default when the key is absent.
  virtual std::string ReadString(const std::string& Section, const std::string& Ident,
                                 const std::string& Default) = 0;
  virtual void WriteString(const std::string& Section, const std::string& Ident,
                           const std::string& Value) = 0;
  // The value as an integer, or Default when the key is absent or its value is no integer.
  virtual int32_t ReadInteger(const std::string& Section, const std::string& Ident,
                              int32_t Default) = 0;
  virtual void WriteInteger(const std::string& Section, const std::string& Ident,
                            int32_t Value) = 0;
};

// An ini file that cannot be read or written, or a key or section it cannot hold.
class EIniFileException : public Exception {
 public:
  using Exception::Exception;
};

// A registry key already opened by the caller; values are named directly in it. Errors are
// raised as ERegistryException. Threads: one at a time.
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

// A registry value of the wrong type, or a key the system refuses to read or write.
class ERegistryException : public Exception {
 public:
  using Exception::Exception;
};

// Text forms of stored values.
// Boolean: "Yes" / "No"; only "YES" in any ASCII letter case reads as true.
std::string BoolToText(bool Value);
bool TextToBool(std::string_view Text);
// Character: codes 33..127 as the character itself, all others as '#' and the decimal code
// (13 -> "#13"). Reading: "" -> 0; no leading '#' -> the first character; "#" alone -> '#';
// otherwise the low 8 bits of the decimal number after '#', or 0 when it is not a number.
std::string CharToText(char Value);
char TextToChar(std::string_view Text);
// "Disable", "Enable", "Handshake" (and "Toggle" for RTS); unknown texts read as Disable.
std::string DTRControlToText(TDTRFlowControl Value);
TDTRFlowControl TextToDTRControl(std::string_view Text);
std::string RTSControlToText(TRTSFlowControl Value);
TRTSFlowControl TextToRTSControl(std::string_view Text);

// Every storage group.
constexpr TStoredProps AllStoredProps() {
  return TStoredProps{spBasic, spFlowControl, spBuffer, spTimeouts, spParity, spOthers};
}

// Writes the given groups of ComPort's settings into the ini file FileName, in the section
// named after the port component (ComPort.Name()). Other sections, keys and comments of the
// file are kept; the file is replaced in one step, so a failure leaves the old file whole.
// Raises EIniFileException when the file cannot be read or written.
void SaveComPortSettings(TCustomComPort& ComPort, const std::string& FileName,
                         TStoredProps Groups = AllStoredProps());
// Reads the given groups back from that section through the port's setters; keys absent from
// the section leave their settings as they are (except a custom rate without "CustomBaudRate",
// which becomes 9600). Raises EIniFileException when the file does not exist or cannot be
// read, and whatever a setter raises (EComPort on an open port whose device refuses a
// setting); the settings loaded before the failing key stay loaded.
void LoadComPortSettings(TCustomComPort& ComPort, const std::string& FileName,
                         TStoredProps Groups = AllStoredProps());

}  // namespace comfind
