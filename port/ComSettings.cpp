#include "port/ComSettings.h"

#include <array>
#include <cstddef>

namespace comfind {

namespace {

// Stores a changed value and reports whether it changed, so every setter reads as "if changed,
// tell the port".
template <typename T>
bool Store(T& Field, T Value) {
  if (Field == Value) return false;
  Field = Value;
  return true;
}

// Driver queues are sized in pairs of bytes; an odd size is lowered rather than raised so a
// size never grows past what the caller asked for. A negative odd size has remainder -1 under
// C++'s truncating division and is kept as given.
int32_t EvenBufferSize(int32_t Value) {
  return Value % 2 == 1 ? Value - 1 : Value;
}

constexpr std::array<const char*, 16> BaudRateTexts = {
    "Custom", "110",   "300",   "600",   "1200",  "2400",   "4800",   "9600",
    "14400",  "19200", "38400", "56000", "57600", "115200", "128000", "256000"};
constexpr std::array<int32_t, 16> BaudRateValues = {0,     110,    300,    600,   1200,  2400,
                                                    4800,  9600,   14400,  19200, 38400, 56000,
                                                    57600, 115200, 128000, 256000};
constexpr std::array<const char*, 3> StopBitsTexts = {"1", "1.5", "2"};
constexpr std::array<const char*, 4> DataBitsTexts = {"5", "6", "7", "8"};
constexpr std::array<const char*, 5> ParityTexts = {"None", "Odd", "Even", "Mark", "Space"};
constexpr std::array<const char*, 4> FlowControlTexts = {"Hardware", "Software", "None", "Custom"};

// A value outside its table (a byte cast from storage or a stream) yields an empty text instead
// of a read past the table.
template <size_t N>
std::string TableText(const std::array<const char*, N>& Table, unsigned Index) {
  return Index < N ? std::string(Table[Index]) : std::string();
}

// The first entry, in declaration order, whose text equals Text with ASCII letters folded; no
// trimming and no partial match, so "9600 " is not "9600".
template <typename E, size_t N>
E TableValue(const std::array<const char*, N>& Table, std::string_view Text, E Default) {
  const std::string Wanted = UpperCaseAscii(Text);
  for (size_t I = 0; I < N; ++I) {
    if (UpperCaseAscii(Table[I]) == Wanted) return static_cast<E>(I);
  }
  return Default;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// TComTimeouts

void TComTimeouts::Changed() {
  if (ComPort()) ComPort()->ApplyTimeoutSettings();
}

void TComTimeouts::SetReadInterval(int32_t Value) {
  if (Store(FReadInterval, Value)) Changed();
}

void TComTimeouts::SetReadTotalMultiplier(int32_t Value) {
  if (Store(FReadTotalM, Value)) Changed();
}

void TComTimeouts::SetReadTotalConstant(int32_t Value) {
  if (Store(FReadTotalC, Value)) Changed();
}

void TComTimeouts::SetWriteTotalMultiplier(int32_t Value) {
  if (Store(FWriteTotalM, Value)) Changed();
}

void TComTimeouts::SetWriteTotalConstant(int32_t Value) {
  if (Store(FWriteTotalC, Value)) Changed();
}

// Fields are copied without setters: the destination's port is not told here, because the
// port's own setter that takes a whole object applies the group once afterwards.
void TComTimeouts::AssignTo(TPersistent* Dest) const {
  auto* D = dynamic_cast<TComTimeouts*>(Dest);
  if (!D) {
    TComSettingsObject::AssignTo(Dest);
    return;
  }
  D->FReadInterval = FReadInterval;
  D->FReadTotalM = FReadTotalM;
  D->FReadTotalC = FReadTotalC;
  D->FWriteTotalM = FWriteTotalM;
  D->FWriteTotalC = FWriteTotalC;
}

// ---------------------------------------------------------------------------------------------
// TComFlowControl

void TComFlowControl::Changed() {
  if (ComPort()) ComPort()->ApplyLineSettings();
}

TFlowControl TComFlowControl::FlowControl() const {
  if (FControlRTS == rtsHandshake && FOutCTSFlow && !FXonXoffIn && !FXonXoffOut) return fcHardware;
  if (FControlRTS == rtsDisable && !FOutCTSFlow && FXonXoffIn && FXonXoffOut) return fcSoftware;
  if (FControlRTS == rtsDisable && !FOutCTSFlow && !FXonXoffIn && !FXonXoffOut) return fcNone;
  return fcCustom;
}

// Writes the four summary fields directly and applies the line settings once, even when
// nothing changed: four setter calls would push the control block to the device four times,
// passing through combinations the caller never asked for.
void TComFlowControl::SetFlowControl(TFlowControl Value) {
  if (Value == fcHardware || Value == fcSoftware || Value == fcNone) {
    FControlRTS = rtsDisable;
    FOutCTSFlow = false;
    FXonXoffIn = false;
    FXonXoffOut = false;
    if (Value == fcHardware) {
      FControlRTS = rtsHandshake;
      FOutCTSFlow = true;
    } else if (Value == fcSoftware) {
      FXonXoffIn = true;
      FXonXoffOut = true;
    }
  }
  Changed();
}

void TComFlowControl::SetOutCTSFlow(bool Value) {
  if (Store(FOutCTSFlow, Value)) Changed();
}

void TComFlowControl::SetOutDSRFlow(bool Value) {
  if (Store(FOutDSRFlow, Value)) Changed();
}

void TComFlowControl::SetControlDTR(TDTRFlowControl Value) {
  if (Store(FControlDTR, Value)) Changed();
}

void TComFlowControl::SetControlRTS(TRTSFlowControl Value) {
  if (Store(FControlRTS, Value)) Changed();
}

void TComFlowControl::SetXonXoffOut(bool Value) {
  if (Store(FXonXoffOut, Value)) Changed();
}

void TComFlowControl::SetXonXoffIn(bool Value) {
  if (Store(FXonXoffIn, Value)) Changed();
}

void TComFlowControl::SetDSRSensitivity(bool Value) {
  if (Store(FDSRSensitivity, Value)) Changed();
}

void TComFlowControl::SetTxContinueOnXoff(bool Value) {
  if (Store(FTxContinueOnXoff, Value)) Changed();
}

void TComFlowControl::SetXonChar(char Value) {
  if (Store(FXonChar, Value)) Changed();
}

void TComFlowControl::SetXoffChar(char Value) {
  if (Store(FXoffChar, Value)) Changed();
}

void TComFlowControl::AssignTo(TPersistent* Dest) const {
  auto* D = dynamic_cast<TComFlowControl*>(Dest);
  if (!D) {
    TComSettingsObject::AssignTo(Dest);
    return;
  }
  D->FOutCTSFlow = FOutCTSFlow;
  D->FOutDSRFlow = FOutDSRFlow;
  D->FControlDTR = FControlDTR;
  D->FControlRTS = FControlRTS;
  D->FXonXoffOut = FXonXoffOut;
  D->FXonXoffIn = FXonXoffIn;
  D->FDSRSensitivity = FDSRSensitivity;
  D->FTxContinueOnXoff = FTxContinueOnXoff;
  D->FXonChar = FXonChar;
  D->FXoffChar = FXoffChar;
}

// ---------------------------------------------------------------------------------------------
// TComParity

void TComParity::Changed() {
  if (ComPort()) ComPort()->ApplyLineSettings();
}

void TComParity::SetBits(TParityBits Value) {
  if (Store(FBits, Value)) Changed();
}

void TComParity::SetCheck(bool Value) {
  if (Store(FCheck, Value)) Changed();
}

void TComParity::SetReplace(bool Value) {
  if (Store(FReplace, Value)) Changed();
}

void TComParity::SetReplaceChar(char Value) {
  if (Store(FReplaceChar, Value)) Changed();
}

void TComParity::AssignTo(TPersistent* Dest) const {
  auto* D = dynamic_cast<TComParity*>(Dest);
  if (!D) {
    TComSettingsObject::AssignTo(Dest);
    return;
  }
  D->FBits = FBits;
  D->FCheck = FCheck;
  D->FReplace = FReplace;
  D->FReplaceChar = FReplaceChar;
}

// ---------------------------------------------------------------------------------------------
// TComBuffer

void TComBuffer::Changed() {
  if (ComPort()) ComPort()->ApplyBufferSizes();
}

// The unchanged-value test compares with the stored, already even size, so setting 1025 over
// 1024 still counts as a change and re-applies the same sizes.
void TComBuffer::SetInputSize(int32_t Value) {
  if (!Store(FInputSize, Value)) return;
  FInputSize = EvenBufferSize(FInputSize);
  Changed();
}

void TComBuffer::SetOutputSize(int32_t Value) {
  if (!Store(FOutputSize, Value)) return;
  FOutputSize = EvenBufferSize(FOutputSize);
  Changed();
}

void TComBuffer::AssignTo(TPersistent* Dest) const {
  auto* D = dynamic_cast<TComBuffer*>(Dest);
  if (!D) {
    TComSettingsObject::AssignTo(Dest);
    return;
  }
  D->FInputSize = FInputSize;
  D->FOutputSize = FOutputSize;
}

// ---------------------------------------------------------------------------------------------
// Text forms

std::string BaudRateToText(TBaudRate Value) {
  return TableText(BaudRateTexts, Value);
}
std::string StopBitsToText(TStopBits Value) {
  return TableText(StopBitsTexts, Value);
}
std::string DataBitsToText(TDataBits Value) {
  return TableText(DataBitsTexts, Value);
}
std::string ParityToText(TParityBits Value) {
  return TableText(ParityTexts, Value);
}
std::string FlowControlToText(TFlowControl Value) {
  return TableText(FlowControlTexts, Value);
}

TBaudRate TextToBaudRate(std::string_view Text) {
  return TableValue(BaudRateTexts, Text, br9600);
}
TStopBits TextToStopBits(std::string_view Text) {
  return TableValue(StopBitsTexts, Text, sbOneStopBit);
}
TDataBits TextToDataBits(std::string_view Text) {
  return TableValue(DataBitsTexts, Text, dbEight);
}
TParityBits TextToParity(std::string_view Text) {
  return TableValue(ParityTexts, Text, prNone);
}
TFlowControl TextToFlowControl(std::string_view Text) {
  return TableValue(FlowControlTexts, Text, fcCustom);
}

int32_t BaudRateValue(TBaudRate Value) {
  return Value < BaudRateValues.size() ? BaudRateValues[Value] : 0;
}

}  // namespace comfind
