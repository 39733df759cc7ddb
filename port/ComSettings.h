// The vocabulary in which a serial port is configured: its enumerations and sets, the four
// settings objects every port owns (timeouts, flow control, parity, driver buffers), the
// derived flow-control mode and the text forms of the enumerations.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "framework/Classes.h"

// Enumerations: one byte each, numbered from 0 in declaration order.

namespace comfind {

enum TBaudRate : uint8_t {
  brCustom,
  br110,
  br300,
  br600,
  br1200,
  br2400,
  br4800,
  br9600,
  br14400,
  br19200,
  br38400,
  br56000,
  br57600,
  br115200,
  br128000,
  br256000
};
enum TStopBits : uint8_t { sbOneStopBit, sbOne5StopBits, sbTwoStopBits };
enum TDataBits : uint8_t { dbFive, dbSix, dbSeven, dbEight };
enum TParityBits : uint8_t { prNone, prOdd, prEven, prMark, prSpace };
enum TDTRFlowControl : uint8_t { dtrDisable, dtrEnable, dtrHandshake };
enum TRTSFlowControl : uint8_t { rtsDisable, rtsEnable, rtsHandshake, rtsToggle };
enum TFlowControl : uint8_t { fcHardware, fcSoftware, fcNone, fcCustom };
enum TComEvent : uint8_t {
  evRxChar,
  evTxEmpty,
  evRxFlag,
  evRing,
  evBreak,
  evCTS,
  evDSR,
  evError,
  evRLSD,
  evRx80Full
};
enum TComError : uint8_t {
  ceFrame,
  ceRxParity,
  ceOverrun,
  ceBreak,
  ceIO,
  ceMode,
  ceRxOver,
  ceTxFull
};
enum TSyncMethod : uint8_t { smThreadSync, smWindowSync, smNone };
enum TStoredProp : uint8_t { spBasic, spFlowControl, spBuffer, spTimeouts, spParity, spOthers };

// A set over an enumeration: value n is bit n.
template <typename E, typename Bits>
class TSet {
 public:
  constexpr TSet() = default;
  constexpr TSet(std::initializer_list<E> Values) {
    for (E V : Values)
      FBits |= Bit(V);
  }
  static constexpr TSet FromBits(Bits Value) {
    TSet S;
    S.FBits = Value;
    return S;
  }
  constexpr Bits ToBits() const { return FBits; }
  constexpr bool Contains(E V) const { return (FBits & Bit(V)) != 0; }
  constexpr bool Empty() const { return FBits == 0; }
  constexpr TSet& Include(E V) {
    FBits |= Bit(V);
    return *this;
  }
  constexpr TSet& Exclude(E V) {
    FBits &= static_cast<Bits>(~Bit(V));
    return *this;
  }
  constexpr bool operator==(const TSet&) const = default;

 private:
  static constexpr Bits Bit(E V) { return static_cast<Bits>(Bits{1} << static_cast<unsigned>(V)); }
  Bits FBits = 0;
};

using TComEvents = TSet<TComEvent, uint16_t>;
using TComErrors = TSet<TComError, uint8_t>;
using TStoredProps = TSet<TStoredProp, uint8_t>;

constexpr TComEvents AllComEvents() {
  return TComEvents{evRxChar, evTxEmpty, evRxFlag, evRing, evBreak,
                    evCTS,    evDSR,     evError,  evRLSD, evRx80Full};
}

// The settings objects tell their port to apply a changed group through this interface; the
// port object implements it. Each apply does nothing while the port is closed, loading,
// designing or inside an update.
class IComSettingsOwner {
 public:
  virtual void ApplyTimeoutSettings() = 0;
  virtual void ApplyLineSettings() = 0;
  virtual void ApplyBufferSizes() = 0;

 protected:
  ~IComSettingsOwner() = default;
};

// Base of the four settings objects: a persistent object that knows its (not owned) port.
// Setters store a changed value (no range check) and then ask the port, if set, to apply the
// group; an unchanged value does nothing. Assign copies fields from an object of the same class
// without running setters or telling either port, and raises EConvertError for any other class.
// Main thread only.
class TComSettingsObject : public TPersistent {
 public:
  IComSettingsOwner* ComPort() const { return FComPort; }
  void SetComPort(IComSettingsOwner* Value) { FComPort = Value; }

 private:
  IComSettingsOwner* FComPort = nullptr;
};

// Read and write timeouts in milliseconds, copied one to one into the platform's timeout
// record (-1 reaches it as 0xFFFFFFFF). A change asks the port for the timeout application.
class TComTimeouts : public TComSettingsObject {
 public:
  std::string ClassName() const override { return "TComTimeouts"; }
  int32_t ReadInterval() const { return FReadInterval; }
  int32_t ReadTotalMultiplier() const { return FReadTotalM; }
  int32_t ReadTotalConstant() const { return FReadTotalC; }
  int32_t WriteTotalMultiplier() const { return FWriteTotalM; }
  int32_t WriteTotalConstant() const { return FWriteTotalC; }
  void SetReadInterval(int32_t Value);
  void SetReadTotalMultiplier(int32_t Value);
  void SetReadTotalConstant(int32_t Value);
  void SetWriteTotalMultiplier(int32_t Value);
  void SetWriteTotalConstant(int32_t Value);

 protected:
  void AssignTo(TPersistent* Dest) const override;

 private:
  void Changed();
  int32_t FReadInterval = -1;
  int32_t FReadTotalM = 0;
  int32_t FReadTotalC = 0;
  int32_t FWriteTotalM = 100;
  int32_t FWriteTotalC = 1000;
};

// Handshake settings. FlowControl is a summary of ControlRTS, OutCTSFlow, XonXoffIn and
// XonXoffOut; setting it writes those four fields directly and asks for the line application
// once, even when nothing changed (fcCustom changes nothing). A change asks for the line
// application.
class TComFlowControl : public TComSettingsObject {
 public:
  std::string ClassName() const override { return "TComFlowControl"; }
  TFlowControl FlowControl() const;
  void SetFlowControl(TFlowControl Value);
  bool OutCTSFlow() const { return FOutCTSFlow; }
  bool OutDSRFlow() const { return FOutDSRFlow; }
  TDTRFlowControl ControlDTR() const { return FControlDTR; }
  TRTSFlowControl ControlRTS() const { return FControlRTS; }
  bool XonXoffOut() const { return FXonXoffOut; }
  bool XonXoffIn() const { return FXonXoffIn; }
  bool DSRSensitivity() const { return FDSRSensitivity; }
  bool TxContinueOnXoff() const { return FTxContinueOnXoff; }
  char XonChar() const { return FXonChar; }
  char XoffChar() const { return FXoffChar; }
  void SetOutCTSFlow(bool Value);
  void SetOutDSRFlow(bool Value);
  void SetControlDTR(TDTRFlowControl Value);
  void SetControlRTS(TRTSFlowControl Value);
  void SetXonXoffOut(bool Value);
  void SetXonXoffIn(bool Value);
  void SetDSRSensitivity(bool Value);
  void SetTxContinueOnXoff(bool Value);
  void SetXonChar(char Value);
  void SetXoffChar(char Value);

 protected:
  void AssignTo(TPersistent* Dest) const override;

 private:
  void Changed();
  bool FOutCTSFlow = false;
  bool FOutDSRFlow = false;
  TDTRFlowControl FControlDTR = dtrDisable;
  TRTSFlowControl FControlRTS = rtsDisable;
  bool FXonXoffOut = false;
  bool FXonXoffIn = false;
  bool FDSRSensitivity = false;
  bool FTxContinueOnXoff = false;
  char FXonChar = 17;
  char FXoffChar = 19;
};

// Parity bits, checking and replacement of bytes received with a parity error.
class TComParity : public TComSettingsObject {
 public:
  std::string ClassName() const override { return "TComParity"; }
  TParityBits Bits() const { return FBits; }
  bool Check() const { return FCheck; }
  bool Replace() const { return FReplace; }
  char ReplaceChar() const { return FReplaceChar; }
  void SetBits(TParityBits Value);
  void SetCheck(bool Value);
  void SetReplace(bool Value);
  void SetReplaceChar(char Value);

 protected:
  void AssignTo(TPersistent* Dest) const override;

 private:
  void Changed();
  TParityBits FBits = prNone;
  bool FCheck = false;
  bool FReplace = false;
  char FReplaceChar = 0;
};

// The driver's receive and transmit queue sizes. Odd sizes are lowered to even ones (a
// negative odd size is kept). A change asks for the buffer-size application.
class TComBuffer : public TComSettingsObject {
 public:
  std::string ClassName() const override { return "TComBuffer"; }
  int32_t InputSize() const { return FInputSize; }
  int32_t OutputSize() const { return FOutputSize; }
  void SetInputSize(int32_t Value);
  void SetOutputSize(int32_t Value);

 protected:
  void AssignTo(TPersistent* Dest) const override;

 private:
  void Changed();
  int32_t FInputSize = 1024;
  int32_t FOutputSize = 1024;
};

// Text forms of the enumerations. Text to value compares ASCII-upper-cased texts exactly and
// falls back to a default (br9600, sbOneStopBit, dbEight, prNone, fcCustom) when none matches.
// Value to text gives an empty text for a value outside the enumeration.
std::string BaudRateToText(TBaudRate Value);
std::string StopBitsToText(TStopBits Value);
std::string DataBitsToText(TDataBits Value);
std::string ParityToText(TParityBits Value);
std::string FlowControlToText(TFlowControl Value);
TBaudRate TextToBaudRate(std::string_view Text);
TStopBits TextToStopBits(std::string_view Text);
TDataBits TextToDataBits(std::string_view Text);
TParityBits TextToParity(std::string_view Text);
TFlowControl TextToFlowControl(std::string_view Text);

// The number of bits per second a TBaudRate names (0 for brCustom and out-of-range values).
int32_t BaudRateValue(TBaudRate Value);

}  // namespace comfind
