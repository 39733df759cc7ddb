// The port's four storage operations: which keys each group writes and in which order, the
// round trip of every setting through an ini file and a registry key, the ini defaults, the
// registry's absence rules, where an error stops the operation, and the settings-file calls.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "StorageTestUtil.h"
#include "port/CPort.h"
#include "port/storage/IniFile.h"
#include "port/storage/Registry.h"

namespace comfind {

namespace {

using Keys = std::vector<std::string>;

std::unique_ptr<TComPort> NewPort(const std::string& Name = "cpStore") {
  auto P = std::make_unique<TComPort>(nullptr);
  P->SetName(Name);
  return P;
}

// Every setting away from its constructor value, and characters at the edges of their forms.
void SetEverything(TCustomComPort& P) {
  P.SetPort_("COM12");
  P.SetBaudRate(brCustom);
  P.SetCustomBaudRate(250000);
  P.SetStopBits(sbOne5StopBits);
  P.SetDataBits(dbSeven);
  P.SetDiscardNull(true);
  P.SetEventChar('#');
  P.Parity().SetBits(prMark);
  P.Parity().SetCheck(true);
  P.Parity().SetReplace(true);
  P.Parity().SetReplaceChar(13);
  P.Buffer().SetOutputSize(4096);
  P.Buffer().SetInputSize(2048);
  P.Timeouts().SetReadInterval(7);
  P.Timeouts().SetReadTotalConstant(11);
  P.Timeouts().SetReadTotalMultiplier(13);
  P.Timeouts().SetWriteTotalConstant(-1);
  P.Timeouts().SetWriteTotalMultiplier(17);
  TComFlowControl& F = P.FlowControl();
  F.SetControlRTS(rtsToggle);
  F.SetControlDTR(dtrHandshake);
  F.SetDSRSensitivity(true);
  F.SetOutCTSFlow(true);
  F.SetOutDSRFlow(true);
  F.SetTxContinueOnXoff(true);
  F.SetXonXoffIn(true);
  F.SetXonXoffOut(false);
  F.SetXoffChar(static_cast<char>(200));
  F.SetXonChar(' ');
}

const Keys BasicKeys = {"Port", "BaudRate", "StopBits", "DataBits", "Parity", "FlowControl"};
const Keys OthersKeys = {"EventChar", "DiscardNull"};
const Keys ParityKeys = {"Parity.Check", "Parity.Replace", "Parity.ReplaceChar"};
const Keys BufferKeys = {"Buffer.OutputSize", "Buffer.InputSize"};
const Keys TimeoutKeys = {"Timeouts.ReadInterval", "Timeouts.ReadTotalConstant",
                          "Timeouts.ReadTotalMultiplier", "Timeouts.WriteTotalConstant",
                          "Timeouts.WriteTotalMultiplier"};
const Keys FlowKeys = {"FlowControl.ControlRTS",     "FlowControl.ControlDTR",
                       "FlowControl.DSRSensitivity", "FlowControl.OutCTSFlow",
                       "FlowControl.OutDSRFlow",     "FlowControl.TxContinueOnXoff",
                       "FlowControl.XonXoffIn",      "FlowControl.XonXoffOut",
                       "FlowControl.XoffChar",       "FlowControl.XonChar"};

Keys Concat(std::initializer_list<Keys> Parts) {
  Keys All;
  for (const Keys& P : Parts)
    All.insert(All.end(), P.begin(), P.end());
  return All;
}

// The settings of one group copied from From into To.
void CopyGroup(TPortSnapshot& To, const TPortSnapshot& From, TStoredProp Group) {
  switch (Group) {
    case spBasic:
      To.Port = From.Port;
      To.BaudRate = From.BaudRate;
      To.CustomBaudRate = From.CustomBaudRate;
      To.StopBits = From.StopBits;
      To.DataBits = From.DataBits;
      To.ParityBits = From.ParityBits;
      break;
    case spOthers:
      To.EventChar = From.EventChar;
      To.DiscardNull = From.DiscardNull;
      break;
    case spParity:
      To.ParityCheck = From.ParityCheck;
      To.ParityReplace = From.ParityReplace;
      To.ParityReplaceChar = From.ParityReplaceChar;
      break;
    case spBuffer:
      To.OutputSize = From.OutputSize;
      To.InputSize = From.InputSize;
      break;
    case spTimeouts:
      To.ReadInterval = From.ReadInterval;
      To.ReadTotalConstant = From.ReadTotalConstant;
      To.ReadTotalMultiplier = From.ReadTotalMultiplier;
      To.WriteTotalConstant = From.WriteTotalConstant;
      To.WriteTotalMultiplier = From.WriteTotalMultiplier;
      break;
    case spFlowControl:
      To.ControlRTS = From.ControlRTS;
      To.ControlDTR = From.ControlDTR;
      To.DSRSensitivity = From.DSRSensitivity;
      To.OutCTSFlow = From.OutCTSFlow;
      To.OutDSRFlow = From.OutDSRFlow;
      To.TxContinueOnXoff = From.TxContinueOnXoff;
      To.XonXoffIn = From.XonXoffIn;
      To.XonXoffOut = From.XonXoffOut;
      To.XoffChar = From.XoffChar;
      To.XonChar = From.XonChar;
      break;
  }
}

const TStoredProp AllGroups[] = {spBasic, spFlowControl, spBuffer, spTimeouts, spParity, spOthers};

// Two ways to round-trip a port, run by the same tests.
struct TTarget {
  const char* Name;
  std::function<void(TCustomComPort& From, TCustomComPort& To, Keys& Written)> RoundTrip;
};

void IniRoundTrip(TCustomComPort& From, TCustomComPort& To, Keys& Written) {
  TTempDir Dir;
  const std::string File = Dir.File("port.ini");
  {
    TDiskIniFile Ini(File);
    From.StoreToIniFile(Ini);
    Written = Ini.Contents().Keys(From.Name());
  }
  TDiskIniFile Ini(File);
  To.LoadFromIniFile(Ini);
}

void RegistryRoundTrip(TCustomComPort& From, TCustomComPort& To, Keys& Written) {
  TMemoryRegistry Reg;
  From.StoreToRegistry(Reg);
  Written = Reg.ValueNames();
  To.LoadFromRegistry(Reg);
}

class PortStorageRoundTrip : public testing::TestWithParam<TTarget> {};

}  // namespace

// ---------------------------------------------------------------------------------------------
// Round trips (ini file and registry alike)

TEST_P(PortStorageRoundTrip, EverySettingOfEveryGroupSurvives) {
  auto From = NewPort();
  SetEverything(*From);
  From->SetStoredProps(AllStoredProps());
  auto To = NewPort();
  To->SetStoredProps(AllStoredProps());
  Keys Written;
  GetParam().RoundTrip(*From, *To, Written);
  EXPECT_EQ(Snapshot(*To), Snapshot(*From)) << Describe(Snapshot(*To)) << "\n"
                                            << Describe(Snapshot(*From));
  // Groups in their fixed order, whatever the order of the set's members.
  Keys Basic = BasicKeys;
  Basic.insert(Basic.begin() + 2, "CustomBaudRate");
  EXPECT_EQ(Written, Concat({Basic, OthersKeys, ParityKeys, BufferKeys, TimeoutKeys, FlowKeys}));
}

TEST_P(PortStorageRoundTrip, EachGroupAloneWritesAndReadsOnlyItsOwnKeys) {
  const std::pair<TStoredProp, Keys> Groups[] = {
      {spBasic, Concat({{"Port", "BaudRate", "CustomBaudRate"},
                        {"StopBits", "DataBits", "Parity", "FlowControl"}})},
      {spOthers, OthersKeys},
      {spParity, ParityKeys},
      {spBuffer, BufferKeys},
      {spTimeouts, TimeoutKeys},
      {spFlowControl, FlowKeys},
  };
  for (const auto& [Group, ExpectedKeys] : Groups) {
    SCOPED_TRACE(testing::Message() << "group " << int(Group));
    auto From = NewPort();
    SetEverything(*From);
    From->SetStoredProps({Group});
    auto To = NewPort();
    To->SetStoredProps({Group});
    TPortSnapshot Expected = Snapshot(*To);
    CopyGroup(Expected, Snapshot(*From), Group);
    Keys Written;
    GetParam().RoundTrip(*From, *To, Written);
    EXPECT_EQ(Written, ExpectedKeys);
    // The combined flow-control mode of a custom setting changes nothing on its own.
    EXPECT_EQ(Snapshot(*To), Expected) << Describe(Snapshot(*To)) << "\n" << Describe(Expected);
  }
}

TEST_P(PortStorageRoundTrip, NoGroupsWriteAndReadNothing) {
  auto From = NewPort();
  SetEverything(*From);
  From->SetStoredProps({});
  auto To = NewPort();
  To->SetStoredProps({});
  const TPortSnapshot Fresh = Snapshot(*To);
  Keys Written = {"sentinel"};
  GetParam().RoundTrip(*From, *To, Written);
  EXPECT_TRUE(Written.empty());
  EXPECT_EQ(Snapshot(*To), Fresh);
}

TEST_P(PortStorageRoundTrip, TheBasicFlowControlModeCarriesTheHandshakeFields) {
  for (TFlowControl Mode : {fcHardware, fcSoftware}) {
    auto From = NewPort();
    From->FlowControl().SetFlowControl(Mode);
    auto To = NewPort();
    To->FlowControl().SetControlRTS(rtsEnable);
    Keys Written;
    GetParam().RoundTrip(*From, *To, Written);
    EXPECT_EQ(Written, BasicKeys);
    EXPECT_EQ(To->FlowControl().FlowControl(), Mode);
    EXPECT_EQ(Snapshot(*To), Snapshot(*From));
  }
}

TEST_P(PortStorageRoundTrip, TheSingleFlowControlKeysDecideOverTheCombinedMode) {
  // Stored as "Hardware" by the basic group, then overridden key by key.
  auto From = NewPort();
  From->SetStoredProps({spBasic, spFlowControl});
  From->FlowControl().SetFlowControl(fcHardware);
  auto To = NewPort();
  To->SetStoredProps({spBasic, spFlowControl});
  To->FlowControl().SetFlowControl(fcSoftware);
  Keys Written;
  GetParam().RoundTrip(*From, *To, Written);
  EXPECT_EQ(To->FlowControl().FlowControl(), fcHardware);
  EXPECT_EQ(Snapshot(*To), Snapshot(*From));
}

INSTANTIATE_TEST_SUITE_P(Targets, PortStorageRoundTrip,
                         testing::Values(TTarget{"IniFile", IniRoundTrip},
                                         TTarget{"Registry", RegistryRoundTrip}),
                         [](const testing::TestParamInfo<TTarget>& Info) {
                           return std::string(Info.param.Name);
                         });

// ---------------------------------------------------------------------------------------------
// What is written

TEST(PortStoreToIniFile, TheBasicGroupAsAFileShowsIt) {
  TTempDir Dir;
  auto P = NewPort("cpCheck");
  P->SetPort_("COM7");
  P->SetBaudRate(br19200);
  TDiskIniFile Ini(Dir.File("basic.ini"));
  P->StoreToIniFile(Ini);
  EXPECT_EQ(ReadFileBytes(Dir.File("basic.ini")),
            "[cpCheck]\r\n"
            "Port=COM7\r\n"
            "BaudRate=19200\r\n"
            "StopBits=1\r\n"
            "DataBits=8\r\n"
            "Parity=None\r\n"
            "FlowControl=None\r\n");
}

namespace {
// A key that refuses to take one named value.
class TRefusingRegistry : public TMemoryRegistry {
 public:
  explicit TRefusingRegistry(std::string Refused) : FRefused(std::move(Refused)) {}
  void SetValue(const std::string& Name, uint32_t Type, const std::string& Data) override {
    if (Name == FRefused) throw ERegistryException("Access is denied");
    TMemoryRegistry::SetValue(Name, Type, Data);
  }

 private:
  std::string FRefused;
};
}  // namespace

TEST(PortStoreToRegistry, AValueThatCannotBeWrittenStopsTheStoreThere) {
  auto P = NewPort();
  P->SetStoredProps({spBasic, spBuffer, spTimeouts});
  TRefusingRegistry Reg("Buffer.InputSize");
  EXPECT_THROW(P->StoreToRegistry(Reg), ERegistryException);
  EXPECT_EQ(Reg.ValueNames(), Concat({BasicKeys, {"Buffer.OutputSize"}}));
}

// ---------------------------------------------------------------------------------------------
// Loading from an ini file: absent keys leave settings alone

TEST(PortLoadFromIniFile, AbsentKeysLeaveTheirSettingsAsTheyAre) {
  auto P = NewPort("cpCheck");
  P->SetStoredProps(AllStoredProps());
  SetEverything(*P);
  const TPortSnapshot Before = Snapshot(*P);
  TTempDir Dir;
  WriteFileBytes(Dir.File("s.ini"),
                 "[cpCheck]\n"
                 "DataBits=5\n"
                 "Buffer.InputSize=1025\n"
                 "Buffer.OutputSize=lots\n"
                 "[Other]\n"
                 "Port=COM99\n"
                 "StopBits=2\n");
  TDiskIniFile Ini(Dir.File("s.ini"));
  P->LoadFromIniFile(Ini);
  TPortSnapshot Expected = Before;
  Expected.DataBits = dbFive;
  // Assigned through the setter, which lowers an odd size.
  Expected.InputSize = 1024;
  // The one key whose absence does not keep the current value: a custom rate without its
  // number is the constructor's 9600.
  Expected.CustomBaudRate = 9600;
  EXPECT_EQ(Snapshot(*P), Expected) << Describe(Snapshot(*P));
}

TEST(PortLoadFromIniFile, AnEmptySectionChangesNothingAtAll) {
  auto P = NewPort("cpCheck");
  P->SetStoredProps(AllStoredProps());
  SetEverything(*P);
  P->SetBaudRate(br56000);
  const TPortSnapshot Before = Snapshot(*P);
  TTempDir Dir;
  TDiskIniFile Ini(Dir.File("absent.ini"));
  P->LoadFromIniFile(Ini);
  EXPECT_EQ(Snapshot(*P), Before);
}

TEST(PortLoadFromIniFile, CustomBaudRateDefaultsTo9600AndIsReadOnlyForACustomRate) {
  TTempDir Dir;
  const std::string File = Dir.File("rate.ini");
  auto Load = [&](const std::string& Text, TBaudRate Rate, int32_t Custom) {
    WriteFileBytes(File, Text);
    auto P = NewPort("cp");
    P->SetBaudRate(Rate);
    P->SetCustomBaudRate(Custom);
    TDiskIniFile Ini(File);
    P->LoadFromIniFile(Ini);
    return std::make_pair(P->BaudRate(), P->CustomBaudRate());
  };
  // Custom without a rate: the constructor's rate, not the one the port had.
  EXPECT_EQ(Load("[cp]\nBaudRate=custom\n", br9600, 115200), std::make_pair(brCustom, 9600));
  EXPECT_EQ(Load("[cp]\nBaudRate=Custom\nCustomBaudRate=31250\n", br9600, 1),
            std::make_pair(brCustom, 31250));
  // A rate beside a standard "BaudRate" is not read.
  EXPECT_EQ(Load("[cp]\nBaudRate=600\nCustomBaudRate=31250\n", brCustom, 777),
            std::make_pair(br600, 777));
  // No "BaudRate": the port's own custom rate setting stands, and so the rate is read.
  EXPECT_EQ(Load("[cp]\nCustomBaudRate=31250\n", brCustom, 777), std::make_pair(brCustom, 31250));
  EXPECT_EQ(Load("[cp]\n", brCustom, 777), std::make_pair(brCustom, 9600));
  // An unknown rate text reads as 9600 baud.
  EXPECT_EQ(Load("[cp]\nBaudRate=fast\nCustomBaudRate=5\n", br300, 777),
            std::make_pair(br9600, 777));
}

TEST(PortLoadFromIniFile, HandWrittenFormsAreRead) {
  auto P = NewPort("cp");
  P->SetStoredProps(AllStoredProps());
  TTempDir Dir;
  WriteFileBytes(Dir.File("hand.ini"),
                 "[CP]\r\n"
                 "baudrate = 115200\r\n"
                 "Parity=EVEN\r\n"
                 "EventChar=#10\r\n"
                 "DiscardNull=yes\r\n"
                 "Parity.Check=True\r\n"
                 "Parity.ReplaceChar=AB\r\n"
                 "Timeouts.ReadInterval=0x10\r\n"
                 "FlowControl.ControlRTS=handshake\r\n"
                 "FlowControl.OutCTSFlow=YES\r\n"
                 "FlowControl.XonChar=#300\r\n"
                 "FlowControl.XoffChar=#x\r\n");
  TDiskIniFile Ini(Dir.File("hand.ini"));
  P->LoadFromIniFile(Ini);
  EXPECT_EQ(P->BaudRate(), br115200);
  EXPECT_EQ(P->Parity().Bits(), prEven);
  EXPECT_EQ(P->EventChar(), '\n');
  EXPECT_TRUE(P->DiscardNull());
  EXPECT_FALSE(P->Parity().Check());
  EXPECT_EQ(P->Parity().ReplaceChar(), 'A');
  EXPECT_EQ(P->Timeouts().ReadInterval(), 16);
  EXPECT_EQ(P->FlowControl().FlowControl(), fcHardware);
  EXPECT_EQ(P->FlowControl().XonChar(), 44);
  EXPECT_EQ(P->FlowControl().XoffChar(), 0);
}

// ---------------------------------------------------------------------------------------------
// Loading from the registry: no defaults

TEST(PortLoadFromRegistry, AbsentTextValuesReadAsEmptyText) {
  auto P = NewPort();
  P->SetStoredProps({spBasic, spOthers, spParity, spFlowControl});
  SetEverything(*P);
  P->SetBaudRate(br300);
  TMemoryRegistry Reg;
  P->LoadFromRegistry(Reg);
  EXPECT_EQ(P->Port(), "");
  // No "BaudRate": the fallback 9600, so no "CustomBaudRate" is asked for (it would throw).
  EXPECT_EQ(P->BaudRate(), br9600);
  EXPECT_EQ(P->CustomBaudRate(), 250000);
  EXPECT_EQ(P->StopBits(), sbOneStopBit);
  EXPECT_EQ(P->DataBits(), dbEight);
  EXPECT_EQ(P->Parity().Bits(), prNone);
  EXPECT_EQ(P->EventChar(), 0);
  EXPECT_FALSE(P->DiscardNull());
  EXPECT_FALSE(P->Parity().Check());
  EXPECT_FALSE(P->Parity().Replace());
  EXPECT_EQ(P->Parity().ReplaceChar(), 0);
  const TComFlowControl& F = P->FlowControl();
  EXPECT_EQ(F.ControlRTS(), rtsDisable);
  EXPECT_EQ(F.ControlDTR(), dtrDisable);
  EXPECT_FALSE(F.DSRSensitivity() || F.OutCTSFlow() || F.OutDSRFlow() || F.TxContinueOnXoff() ||
               F.XonXoffIn() || F.XonXoffOut());
  EXPECT_EQ(F.XonChar(), 0);
  EXPECT_EQ(F.XoffChar(), 0);
}

TEST(PortLoadFromRegistry, AMissingIntegerStopsTheLoadAtThatValue) {
  auto Source = NewPort();
  Source->SetStoredProps({spBasic, spBuffer, spTimeouts});
  SetEverything(*Source);
  TMemoryRegistry Reg;
  Source->StoreToRegistry(Reg);
  ASSERT_TRUE(Reg.DeleteValue("Buffer.OutputSize"));

  auto P = NewPort();
  P->SetStoredProps({spBasic, spBuffer, spTimeouts});
  TPortSnapshot Expected = Snapshot(*P);
  CopyGroup(Expected, Snapshot(*Source), spBasic);
  EXPECT_THROW(P->LoadFromRegistry(Reg), ERegistryException);
  EXPECT_EQ(Snapshot(*P), Expected) << Describe(Snapshot(*P));
}

TEST(PortLoadFromRegistry, AValueOfTheWrongTypeStopsTheLoadAtThatValue) {
  auto Source = NewPort();
  Source->SetStoredProps(AllStoredProps());
  SetEverything(*Source);
  TMemoryRegistry Reg;
  Source->StoreToRegistry(Reg);

  {  // An integer stored as binary, in the middle of the timeouts.
    TMemoryRegistry Bad = Reg;
    Bad.SetValue("Timeouts.ReadTotalMultiplier", rvBinary, std::string("\x0D\0\0\0", 4));
    auto P = NewPort();
    P->SetStoredProps(AllStoredProps());
    EXPECT_THROW(P->LoadFromRegistry(Bad), ERegistryException);
    EXPECT_EQ(P->Timeouts().ReadInterval(), 7);
    EXPECT_EQ(P->Timeouts().ReadTotalConstant(), 11);
    EXPECT_EQ(P->Timeouts().ReadTotalMultiplier(), 0);
    EXPECT_EQ(P->Timeouts().WriteTotalConstant(), 1000);
    EXPECT_EQ(P->FlowControl().ControlRTS(), rtsDisable);
  }
  {  // A text stored as an integer.
    TMemoryRegistry Bad = Reg;
    Bad.WriteInteger("Parity", 3);
    auto P = NewPort();
    P->SetStoredProps(AllStoredProps());
    EXPECT_THROW(P->LoadFromRegistry(Bad), ERegistryException);
    EXPECT_EQ(P->DataBits(), dbSeven);
    EXPECT_EQ(P->Parity().Bits(), prNone);
    EXPECT_FALSE(P->DiscardNull());
  }
  {  // An integer stored as text.
    TMemoryRegistry Bad = Reg;
    Bad.WriteString("CustomBaudRate", "250000");
    auto P = NewPort();
    P->SetStoredProps(AllStoredProps());
    EXPECT_THROW(P->LoadFromRegistry(Bad), ERegistryException);
    EXPECT_EQ(P->BaudRate(), brCustom);
    EXPECT_EQ(P->CustomBaudRate(), 9600);
    EXPECT_EQ(P->StopBits(), sbOneStopBit);
  }
}

// ---------------------------------------------------------------------------------------------
// The settings file of a program

TEST(ComPortSettingsFile, SaveKeepsForeignSectionsAndCommentsAndLoadRestoresEverything) {
  TTempDir Dir;
  const std::string File = Dir.File("comfind.ini");
  const std::string Foreign =
      "; written by hand\r\n"
      "[Window]\r\n"
      "Left=10\r\n"
      "\r\n"
      "[cpCheck]\r\n"
      "; the bench instrument\r\n"
      "Port=COM3\r\n"
      "Operator=Ivanov\r\n"
      "weird line without equals\r\n"
      "\r\n"
      "# last words\r\n"
      "[Zeta]\r\n"
      "Port=COM4\r\n";
  WriteFileBytes(File, Foreign);

  auto P = NewPort("cpCheck");
  SetEverything(*P);
  SaveComPortSettings(*P, File);
  EXPECT_EQ(P->StoredProps(), TStoredProps{spBasic}) << "the port's own groups are given back";

  const std::string Saved = ReadFileBytes(File);
  const TIniText Text(Saved);
  EXPECT_EQ(Text.Sections(), (std::vector<std::string>{"Window", "cpCheck", "Zeta"}));
  EXPECT_EQ(Text.ReadString("Window", "Left", ""), "10");
  EXPECT_EQ(Text.ReadString("Zeta", "Port", ""), "COM4");
  EXPECT_EQ(Text.ReadString("cpCheck", "Operator", ""), "Ivanov");
  EXPECT_EQ(Text.ReadString("cpCheck", "Port", ""), "COM12");
  for (const char* Line : {"; written by hand\r\n", "; the bench instrument\r\n",
                           "weird line without equals\r\n", "# last words\r\n"})
    EXPECT_NE(Saved.find(Line), std::string::npos) << Line;
  // New keys go after the section's last key; the lines around them stay where they were.
  EXPECT_EQ(Saved.find("[Window]\r\nLeft=10\r\n\r\n[cpCheck]\r\n; the bench instrument\r\n"
                       "Port=COM12\r\nOperator=Ivanov\r\nBaudRate=Custom\r\n"),
            std::string("; written by hand\r\n").size());
  const std::string Tail =
      "FlowControl.XonChar=#32\r\nweird line without equals\r\n\r\n# last words\r\n"
      "[Zeta]\r\nPort=COM4\r\n";
  ASSERT_GE(Saved.size(), Tail.size());
  EXPECT_EQ(Saved.substr(Saved.size() - Tail.size()), Tail);
  EXPECT_EQ(Dir.Entries(), std::vector<std::string>{"comfind.ini"});

  auto Q = NewPort("cpCheck");
  LoadComPortSettings(*Q, File);
  EXPECT_EQ(Snapshot(*Q), Snapshot(*P)) << Describe(Snapshot(*Q));
  EXPECT_EQ(Q->StoredProps(), TStoredProps{spBasic});
}

TEST(ComPortSettingsFile, ChosenGroupsOnly) {
  TTempDir Dir;
  const std::string File = Dir.File("t.ini");
  auto P = NewPort("cpCheck");
  SetEverything(*P);
  SaveComPortSettings(*P, File, {spTimeouts});
  EXPECT_EQ(TIniText(ReadFileBytes(File)).Keys("cpCheck"), TimeoutKeys);
  auto Q = NewPort("cpCheck");
  LoadComPortSettings(*Q, File, {spBasic});
  EXPECT_EQ(Snapshot(*Q), Snapshot(*NewPort()));
  LoadComPortSettings(*Q, File);
  EXPECT_EQ(Q->Timeouts().ReadTotalMultiplier(), 13);
}

TEST(ComPortSettingsFile, AValueTheFileCannotHoldLeavesTheFileAsItWas) {
  TTempDir Dir;
  const std::string File = Dir.File("s.ini");
  WriteFileBytes(File, "[cpCheck]\nPort=COM3\n");
  auto P = NewPort("cpCheck");
  P->SetStoredProps({spOthers});
  SetEverything(*P);
  P->SetPort_("COM5\r\n[Injected]\r\nX=1");
  EXPECT_THROW(SaveComPortSettings(*P, File), EIniFileException);
  EXPECT_EQ(ReadFileBytes(File), "[cpCheck]\nPort=COM3\n");
  EXPECT_EQ(P->StoredProps(), TStoredProps{spOthers});
  EXPECT_EQ(Dir.Entries(), std::vector<std::string>{"s.ini"});
}

TEST(ComPortSettingsFile, MissingAndUnreadableFiles) {
  TTempDir Dir;
  auto P = NewPort("cpCheck");
  SetEverything(*P);
  const TPortSnapshot Before = Snapshot(*P);
  // Asking for settings from a file that is not there is a mistake worth hearing about.
  EXPECT_THROW(LoadComPortSettings(*P, Dir.File("none.ini")), EIniFileException);
  EXPECT_EQ(Snapshot(*P), Before);
  EXPECT_FALSE(std::filesystem::exists(Dir.File("none.ini")));
  EXPECT_THROW(LoadComPortSettings(*P, Dir.Path().string()), EIniFileException);
  EXPECT_THROW(SaveComPortSettings(*P, Dir.File("no/such/folder.ini")), EIniFileException);
}

}  // namespace comfind
