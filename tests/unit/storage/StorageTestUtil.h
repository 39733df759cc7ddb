// Helpers of the storage tests: a private temporary folder and a snapshot of every stored
// setting of a port.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "port/CPort.h"

// A fresh folder under the system's temporary folder, removed with everything in it.

namespace comfind {

class TTempDir {
 public:
  TTempDir() {
    std::random_device Rd;
    std::ostringstream Name;
    Name << "comfind-storage-" << std::hex << Rd() << Rd();
    FPath = std::filesystem::temp_directory_path() / Name.str();
    std::filesystem::create_directories(FPath);
  }
  ~TTempDir() {
    std::error_code Ec;
    std::filesystem::remove_all(FPath, Ec);
  }
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;

  const std::filesystem::path& Path() const { return FPath; }
  std::string File(const std::string& Name) const { return (FPath / Name).string(); }
  // Every entry of the folder by name, sorted.
  std::vector<std::string> Entries() const {
    std::vector<std::string> Names;
    for (const auto& E : std::filesystem::directory_iterator(FPath))
      Names.push_back(E.path().filename().string());
    std::sort(Names.begin(), Names.end());
    return Names;
  }

 private:
  std::filesystem::path FPath;
};

inline void WriteFileBytes(const std::string& FileName, const std::string& Bytes) {
  std::ofstream Out(FileName, std::ios::binary | std::ios::trunc);
  Out << Bytes;
}

inline std::string ReadFileBytes(const std::string& FileName) {
  std::ifstream In(FileName, std::ios::binary);
  std::ostringstream S;
  S << In.rdbuf();
  return S.str();
}

// Every setting the storage writes, taken from a port, comparable as a whole.
struct TPortSnapshot {
  std::string Port;
  TBaudRate BaudRate;
  int32_t CustomBaudRate;
  TStopBits StopBits;
  TDataBits DataBits;
  bool DiscardNull;
  char EventChar;
  TParityBits ParityBits;
  bool ParityCheck;
  bool ParityReplace;
  char ParityReplaceChar;
  int32_t OutputSize;
  int32_t InputSize;
  int32_t ReadInterval;
  int32_t ReadTotalConstant;
  int32_t ReadTotalMultiplier;
  int32_t WriteTotalConstant;
  int32_t WriteTotalMultiplier;
  TRTSFlowControl ControlRTS;
  TDTRFlowControl ControlDTR;
  bool DSRSensitivity;
  bool OutCTSFlow;
  bool OutDSRFlow;
  bool TxContinueOnXoff;
  bool XonXoffIn;
  bool XonXoffOut;
  char XoffChar;
  char XonChar;

  bool operator==(const TPortSnapshot&) const = default;
};

inline TPortSnapshot Snapshot(const TCustomComPort& P) {
  const TComFlowControl& F = P.FlowControl();
  const TComTimeouts& T = P.Timeouts();
  return {P.Port(),
          P.BaudRate(),
          P.CustomBaudRate(),
          P.StopBits(),
          P.DataBits(),
          P.DiscardNull(),
          P.EventChar(),
          P.Parity().Bits(),
          P.Parity().Check(),
          P.Parity().Replace(),
          P.Parity().ReplaceChar(),
          P.Buffer().OutputSize(),
          P.Buffer().InputSize(),
          T.ReadInterval(),
          T.ReadTotalConstant(),
          T.ReadTotalMultiplier(),
          T.WriteTotalConstant(),
          T.WriteTotalMultiplier(),
          F.ControlRTS(),
          F.ControlDTR(),
          F.DSRSensitivity(),
          F.OutCTSFlow(),
          F.OutDSRFlow(),
          F.TxContinueOnXoff(),
          F.XonXoffIn(),
          F.XonXoffOut(),
          F.XoffChar(),
          F.XonChar()};
}

// Readable differences for failure messages.
inline std::string Describe(const TPortSnapshot& S) {
  std::ostringstream O;
  O << "Port=" << S.Port << " BaudRate=" << int(S.BaudRate) << " Custom=" << S.CustomBaudRate
    << " Stop=" << int(S.StopBits) << " Data=" << int(S.DataBits)
    << " DiscardNull=" << S.DiscardNull << " EventChar=" << int(uint8_t(S.EventChar))
    << " Parity=" << int(S.ParityBits) << "/" << S.ParityCheck << "/" << S.ParityReplace << "/"
    << int(uint8_t(S.ParityReplaceChar)) << " Buffer=" << S.OutputSize << "/" << S.InputSize
    << " Timeouts=" << S.ReadInterval << "/" << S.ReadTotalConstant << "/" << S.ReadTotalMultiplier
    << "/" << S.WriteTotalConstant << "/" << S.WriteTotalMultiplier << " Flow=" << int(S.ControlRTS)
    << "/" << int(S.ControlDTR) << "/" << S.DSRSensitivity << S.OutCTSFlow << S.OutDSRFlow
    << S.TxContinueOnXoff << S.XonXoffIn << S.XonXoffOut << "/" << int(uint8_t(S.XoffChar)) << "/"
    << int(uint8_t(S.XonChar));
  return O.str();
}

// How GoogleTest shows a snapshot in a failure.
inline void PrintTo(const TPortSnapshot& S, std::ostream* Out) {
  *Out << Describe(S);
}

}  // namespace comfind
