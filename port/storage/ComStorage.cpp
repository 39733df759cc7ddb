// The port's settings storage: the stored keys, their order and text forms, and the four
// storage operations of the port.
#include "port/storage/ComStorage.h"

#include <array>
#include <charconv>
#include <limits>

#include "port/CPort.h"
#include "port/storage/IniFile.h"

// ---------------------------------------------------------------------------------------------
// Text forms

namespace comfind {

namespace {

constexpr std::array<const char*, 3> DTRTexts = {"Disable", "Enable", "Handshake"};
constexpr std::array<const char*, 4> RTSTexts = {"Disable", "Enable", "Handshake", "Toggle"};

template <typename E, size_t N>
E TextToValue(std::string_view Text, const std::array<const char*, N>& Texts, E Default) {
  const std::string Upper = UpperCaseAscii(Text);
  for (size_t I = 0; I < N; ++I)
    if (Upper == UpperCaseAscii(Texts[I])) return static_cast<E>(I);
  return Default;
}

// A decimal integer with an optional sign filling the whole text, within 32 bits.
bool ParseDecimal(std::string_view Text, int32_t& Value) {
  if (!Text.empty() && Text.front() == '+') {
    Text.remove_prefix(1);
    if (Text.empty() || Text.front() < '0' || Text.front() > '9') return false;
  }
  int64_t Wide = 0;
  const char* End = Text.data() + Text.size();
  auto [Ptr, Ec] = std::from_chars(Text.data(), End, Wide);
  if (Ec != std::errc() || Ptr != End) return false;
  if (Wide < std::numeric_limits<int32_t>::min() || Wide > std::numeric_limits<int32_t>::max())
    return false;
  Value = static_cast<int32_t>(Wide);
  return true;
}

}  // namespace

std::string BoolToText(bool Value) {
  return Value ? "Yes" : "No";
}

bool TextToBool(std::string_view Text) {
  return UpperCaseAscii(Text) == "YES";
}

std::string CharToText(char Value) {
  const unsigned Code = static_cast<unsigned char>(Value);
  if (Code >= 33 && Code <= 127) return std::string(1, Value);
  std::string Text = "#";
  Text += std::to_string(Code);
  return Text;
}

char TextToChar(std::string_view Text) {
  if (Text.empty()) return 0;
  if (Text.front() != '#' || Text.size() == 1) return Text.front();
  int32_t Code = 0;
  if (!ParseDecimal(Text.substr(1), Code)) return 0;
  return static_cast<char>(static_cast<uint8_t>(static_cast<uint32_t>(Code) & 0xFF));
}

// A value outside its table (a byte cast from storage) yields an empty text, not a read past it.
std::string DTRControlToText(TDTRFlowControl Value) {
  return Value < DTRTexts.size() ? DTRTexts[Value] : std::string();
}

TDTRFlowControl TextToDTRControl(std::string_view Text) {
  return TextToValue(Text, DTRTexts, dtrDisable);
}

std::string RTSControlToText(TRTSFlowControl Value) {
  return Value < RTSTexts.size() ? RTSTexts[Value] : std::string();
}

TRTSFlowControl TextToRTSControl(std::string_view Text) {
  return TextToValue(Text, RTSTexts, rtsDisable);
}

// ---------------------------------------------------------------------------------------------
// The storage operations
//
// One list of keys serves all four operations: storing hands each value to a writer, loading
// asks a reader for each value and assigns it through the property's setter at once, so a
// failing key leaves the keys before it written or applied and the later ones untouched.

namespace {

class TSettingsWriter {
 public:
  virtual void WriteString(const char* Key, const std::string& Value) = 0;
  virtual void WriteInteger(const char* Key, int32_t Value) = 0;

 protected:
  ~TSettingsWriter() = default;
};

// Current is the property's value as it stands, in its stored form: the ini file's default,
// so that an absent key changes nothing. The registry has no defaults.
class TSettingsReader {
 public:
  virtual std::string ReadString(const char* Key, const std::string& Current) = 0;
  virtual int32_t ReadInteger(const char* Key, int32_t Current) = 0;

 protected:
  ~TSettingsReader() = default;
};

class TIniWriter final : public TSettingsWriter {
 public:
  TIniWriter(TIniFile& IniFile, const std::string& Section) : FIni(IniFile), FSection(Section) {}
  void WriteString(const char* Key, const std::string& Value) override {
    FIni.WriteString(FSection, Key, Value);
  }
  void WriteInteger(const char* Key, int32_t Value) override {
    FIni.WriteInteger(FSection, Key, Value);
  }

 private:
  TIniFile& FIni;
  const std::string FSection;
};

class TIniReader final : public TSettingsReader {
 public:
  TIniReader(TIniFile& IniFile, const std::string& Section) : FIni(IniFile), FSection(Section) {}
  std::string ReadString(const char* Key, const std::string& Current) override {
    return FIni.ReadString(FSection, Key, Current);
  }
  int32_t ReadInteger(const char* Key, int32_t Current) override {
    return FIni.ReadInteger(FSection, Key, Current);
  }

 private:
  TIniFile& FIni;
  const std::string FSection;
};

class TRegWriter final : public TSettingsWriter {
 public:
  explicit TRegWriter(TRegistry& Reg) : FReg(Reg) {}
  void WriteString(const char* Key, const std::string& Value) override {
    FReg.WriteString(Key, Value);
  }
  void WriteInteger(const char* Key, int32_t Value) override { FReg.WriteInteger(Key, Value); }

 private:
  TRegistry& FReg;
};

class TRegReader final : public TSettingsReader {
 public:
  explicit TRegReader(TRegistry& Reg) : FReg(Reg) {}
  std::string ReadString(const char* Key, const std::string&) override {
    return FReg.ReadString(Key);
  }
  int32_t ReadInteger(const char* Key, int32_t) override { return FReg.ReadInteger(Key); }

 private:
  TRegistry& FReg;
};

// An absent "CustomBaudRate" in an ini file means the constructor's rate, not the current one.
constexpr int32_t DefaultCustomBaudRate = 9600;

void StoreSettings(const TCustomComPort& P, TSettingsWriter& W) {
  const TStoredProps Props = P.StoredProps();
  if (Props.Contains(spBasic)) {
    W.WriteString("Port", P.Port());
    W.WriteString("BaudRate", BaudRateToText(P.BaudRate()));
    if (P.BaudRate() == brCustom) W.WriteInteger("CustomBaudRate", P.CustomBaudRate());
    W.WriteString("StopBits", StopBitsToText(P.StopBits()));
    W.WriteString("DataBits", DataBitsToText(P.DataBits()));
    W.WriteString("Parity", ParityToText(P.Parity().Bits()));
    W.WriteString("FlowControl", FlowControlToText(P.FlowControl().FlowControl()));
  }
  if (Props.Contains(spOthers)) {
    W.WriteString("EventChar", CharToText(P.EventChar()));
    W.WriteString("DiscardNull", BoolToText(P.DiscardNull()));
  }
  if (Props.Contains(spParity)) {
    const TComParity& Par = P.Parity();
    W.WriteString("Parity.Check", BoolToText(Par.Check()));
    W.WriteString("Parity.Replace", BoolToText(Par.Replace()));
    W.WriteString("Parity.ReplaceChar", CharToText(Par.ReplaceChar()));
  }
  if (Props.Contains(spBuffer)) {
    W.WriteInteger("Buffer.OutputSize", P.Buffer().OutputSize());
    W.WriteInteger("Buffer.InputSize", P.Buffer().InputSize());
  }
  if (Props.Contains(spTimeouts)) {
    const TComTimeouts& T = P.Timeouts();
    W.WriteInteger("Timeouts.ReadInterval", T.ReadInterval());
    W.WriteInteger("Timeouts.ReadTotalConstant", T.ReadTotalConstant());
    W.WriteInteger("Timeouts.ReadTotalMultiplier", T.ReadTotalMultiplier());
    W.WriteInteger("Timeouts.WriteTotalConstant", T.WriteTotalConstant());
    W.WriteInteger("Timeouts.WriteTotalMultiplier", T.WriteTotalMultiplier());
  }
  if (Props.Contains(spFlowControl)) {
    const TComFlowControl& F = P.FlowControl();
    W.WriteString("FlowControl.ControlRTS", RTSControlToText(F.ControlRTS()));
    W.WriteString("FlowControl.ControlDTR", DTRControlToText(F.ControlDTR()));
    W.WriteString("FlowControl.DSRSensitivity", BoolToText(F.DSRSensitivity()));
    W.WriteString("FlowControl.OutCTSFlow", BoolToText(F.OutCTSFlow()));
    W.WriteString("FlowControl.OutDSRFlow", BoolToText(F.OutDSRFlow()));
    W.WriteString("FlowControl.TxContinueOnXoff", BoolToText(F.TxContinueOnXoff()));
    W.WriteString("FlowControl.XonXoffIn", BoolToText(F.XonXoffIn()));
    W.WriteString("FlowControl.XonXoffOut", BoolToText(F.XonXoffOut()));
    W.WriteString("FlowControl.XoffChar", CharToText(F.XoffChar()));
    W.WriteString("FlowControl.XonChar", CharToText(F.XonChar()));
  }
}

// Each value is assigned as soon as it is read, so that on an open port it takes effect at once
// and a later key sees the state the earlier ones produced ("CustomBaudRate" is read only when
// the loaded "BaudRate" is Custom; the single flow-control keys override the combined mode).
void LoadSettings(TCustomComPort& P, TSettingsReader& R) {
  const TStoredProps Props = P.StoredProps();
  if (Props.Contains(spBasic)) {
    P.SetPort_(R.ReadString("Port", P.Port()));
    P.SetBaudRate(TextToBaudRate(R.ReadString("BaudRate", BaudRateToText(P.BaudRate()))));
    if (P.BaudRate() == brCustom)
      P.SetCustomBaudRate(R.ReadInteger("CustomBaudRate", DefaultCustomBaudRate));
    P.SetStopBits(TextToStopBits(R.ReadString("StopBits", StopBitsToText(P.StopBits()))));
    P.SetDataBits(TextToDataBits(R.ReadString("DataBits", DataBitsToText(P.DataBits()))));
    P.Parity().SetBits(TextToParity(R.ReadString("Parity", ParityToText(P.Parity().Bits()))));
    TComFlowControl& F = P.FlowControl();
    F.SetFlowControl(
        TextToFlowControl(R.ReadString("FlowControl", FlowControlToText(F.FlowControl()))));
  }
  if (Props.Contains(spOthers)) {
    P.SetEventChar(TextToChar(R.ReadString("EventChar", CharToText(P.EventChar()))));
    P.SetDiscardNull(TextToBool(R.ReadString("DiscardNull", BoolToText(P.DiscardNull()))));
  }
  if (Props.Contains(spParity)) {
    TComParity& Par = P.Parity();
    Par.SetCheck(TextToBool(R.ReadString("Parity.Check", BoolToText(Par.Check()))));
    Par.SetReplace(TextToBool(R.ReadString("Parity.Replace", BoolToText(Par.Replace()))));
    Par.SetReplaceChar(
        TextToChar(R.ReadString("Parity.ReplaceChar", CharToText(Par.ReplaceChar()))));
  }
  if (Props.Contains(spBuffer)) {
    TComBuffer& B = P.Buffer();
    B.SetOutputSize(R.ReadInteger("Buffer.OutputSize", B.OutputSize()));
    B.SetInputSize(R.ReadInteger("Buffer.InputSize", B.InputSize()));
  }
  if (Props.Contains(spTimeouts)) {
    TComTimeouts& T = P.Timeouts();
    T.SetReadInterval(R.ReadInteger("Timeouts.ReadInterval", T.ReadInterval()));
    T.SetReadTotalConstant(R.ReadInteger("Timeouts.ReadTotalConstant", T.ReadTotalConstant()));
    T.SetReadTotalMultiplier(
        R.ReadInteger("Timeouts.ReadTotalMultiplier", T.ReadTotalMultiplier()));
    T.SetWriteTotalConstant(R.ReadInteger("Timeouts.WriteTotalConstant", T.WriteTotalConstant()));
    T.SetWriteTotalMultiplier(
        R.ReadInteger("Timeouts.WriteTotalMultiplier", T.WriteTotalMultiplier()));
  }
  if (Props.Contains(spFlowControl)) {
    TComFlowControl& F = P.FlowControl();
    F.SetControlRTS(
        TextToRTSControl(R.ReadString("FlowControl.ControlRTS", RTSControlToText(F.ControlRTS()))));
    F.SetControlDTR(
        TextToDTRControl(R.ReadString("FlowControl.ControlDTR", DTRControlToText(F.ControlDTR()))));
    F.SetDSRSensitivity(
        TextToBool(R.ReadString("FlowControl.DSRSensitivity", BoolToText(F.DSRSensitivity()))));
    F.SetOutCTSFlow(TextToBool(R.ReadString("FlowControl.OutCTSFlow", BoolToText(F.OutCTSFlow()))));
    F.SetOutDSRFlow(TextToBool(R.ReadString("FlowControl.OutDSRFlow", BoolToText(F.OutDSRFlow()))));
    F.SetTxContinueOnXoff(
        TextToBool(R.ReadString("FlowControl.TxContinueOnXoff", BoolToText(F.TxContinueOnXoff()))));
    F.SetXonXoffIn(TextToBool(R.ReadString("FlowControl.XonXoffIn", BoolToText(F.XonXoffIn()))));
    F.SetXonXoffOut(TextToBool(R.ReadString("FlowControl.XonXoffOut", BoolToText(F.XonXoffOut()))));
    F.SetXoffChar(TextToChar(R.ReadString("FlowControl.XoffChar", CharToText(F.XoffChar()))));
    F.SetXonChar(TextToChar(R.ReadString("FlowControl.XonChar", CharToText(F.XonChar()))));
  }
}

}  // namespace

void TCustomComPort::StoreToRegistry(TRegistry& Reg) {
  TRegWriter W(Reg);
  StoreSettings(*this, W);
}

void TCustomComPort::StoreToIniFile(TIniFile& IniFile) {
  TIniWriter W(IniFile, Name());
  StoreSettings(*this, W);
}

void TCustomComPort::LoadFromRegistry(TRegistry& Reg) {
  TRegReader R(Reg);
  LoadSettings(*this, R);
}

void TCustomComPort::LoadFromIniFile(TIniFile& IniFile) {
  TIniReader R(IniFile, Name());
  LoadSettings(*this, R);
}

// ---------------------------------------------------------------------------------------------
// Settings files

namespace {

// Runs the storage with the caller's choice of groups and gives the port its own back after.
class TStoredPropsScope {
 public:
  TStoredPropsScope(TCustomComPort& ComPort, TStoredProps Groups)
      : FComPort(ComPort), FSaved(ComPort.StoredProps()) {
    FComPort.SetStoredProps(Groups);
  }
  ~TStoredPropsScope() { FComPort.SetStoredProps(FSaved); }
  TStoredPropsScope(const TStoredPropsScope&) = delete;
  TStoredPropsScope& operator=(const TStoredPropsScope&) = delete;

 private:
  TCustomComPort& FComPort;
  TStoredProps FSaved;
};

}  // namespace

void SaveComPortSettings(TCustomComPort& ComPort, const std::string& FileName,
                         TStoredProps Groups) {
  TDiskIniFile IniFile(FileName);
  TStoredPropsScope Scope(ComPort, Groups);
  // One write of the whole section: a value the file cannot hold leaves the file as it was,
  // not half stored.
  IniFile.BeginUpdate();
  ComPort.StoreToIniFile(IniFile);
  IniFile.EndUpdate();
}

void LoadComPortSettings(TCustomComPort& ComPort, const std::string& FileName,
                         TStoredProps Groups) {
  // Without the file every key would be "absent" and the load would quietly do nothing (or
  // reset a custom rate to 9600): a mistyped name must not pass for a loaded configuration.
  if (!TDiskIniFile::Exists(FileName))
    throw EIniFileException("Cannot read \"" + FileName + "\": no such file");
  TDiskIniFile IniFile(FileName);
  TStoredPropsScope Scope(ComPort, Groups);
  ComPort.LoadFromIniFile(IniFile);
}

}  // namespace comfind
