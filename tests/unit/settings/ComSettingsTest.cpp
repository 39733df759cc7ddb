// The settings objects: their starting values, which apply a change asks the port for, the odd
// buffer-size rule, the flow-control summary, copying between objects and the text forms.
#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "port/ComSettings.h"

namespace comfind {

namespace {

// Stands in for the port: counts each kind of apply it is asked for.
class CountingOwner final : public IComSettingsOwner {
 public:
  void ApplyTimeoutSettings() override { ++Timeouts; }
  void ApplyLineSettings() override { ++Line; }
  void ApplyBufferSizes() override { ++Buffer; }
  int Total() const { return Timeouts + Line + Buffer; }
  int Timeouts = 0;
  int Line = 0;
  int Buffer = 0;
};

enum class Apply { Timeouts, Line, Buffer };

int Count(const CountingOwner& O, Apply Kind) {
  switch (Kind) {
    case Apply::Timeouts:
      return O.Timeouts;
    case Apply::Line:
      return O.Line;
    case Apply::Buffer:
      return O.Buffer;
  }
  return -1;
}

// One property of a settings object: a setter that writes a value different from the
// constructor's, and a check that the object holds it.
struct PropertyCase {
  std::string Name;
  std::function<void()> SetNew;
  std::function<bool()> HoldsNew;
};

// Sets every property twice and checks that only the first, changing write asks the owner, and
// asks it for the right group exactly once.
void ExpectOneApplyPerChange(CountingOwner& Owner, Apply Kind,
                             const std::vector<PropertyCase>& Cases) {
  for (const PropertyCase& C : Cases) {
    SCOPED_TRACE(C.Name);
    const int Before = Count(Owner, Kind);
    const int TotalBefore = Owner.Total();
    ASSERT_FALSE(C.HoldsNew()) << "the new value must differ from the constructor's";
    C.SetNew();
    EXPECT_TRUE(C.HoldsNew());
    EXPECT_EQ(Count(Owner, Kind), Before + 1);
    EXPECT_EQ(Owner.Total(), TotalBefore + 1) << "a different group was applied";
    C.SetNew();
    EXPECT_EQ(Owner.Total(), TotalBefore + 1) << "an unchanged value reached the port";
  }
}

// Every field, for comparing two objects of a class as a whole.
auto Fields(const TComTimeouts& T) {
  return std::tuple(T.ReadInterval(), T.ReadTotalMultiplier(), T.ReadTotalConstant(),
                    T.WriteTotalMultiplier(), T.WriteTotalConstant());
}
auto Fields(const TComFlowControl& F) {
  return std::tuple(F.OutCTSFlow(), F.OutDSRFlow(), F.ControlDTR(), F.ControlRTS(), F.XonXoffOut(),
                    F.XonXoffIn(), F.DSRSensitivity(), F.TxContinueOnXoff(), F.XonChar(),
                    F.XoffChar());
}
auto Fields(const TComParity& P) {
  return std::tuple(P.Bits(), P.Check(), P.Replace(), P.ReplaceChar());
}
auto Fields(const TComBuffer& B) {
  return std::tuple(B.InputSize(), B.OutputSize());
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Vocabulary

TEST(ComSettingsVocabulary, EnumerationsAreOneByteAndSetsUseBitN) {
  static_assert(sizeof(TBaudRate) == 1 && sizeof(TComEvent) == 1 && sizeof(TStoredProp) == 1);
  EXPECT_EQ(br256000, 15);
  EXPECT_EQ(evRx80Full, 9);
  EXPECT_EQ(ceTxFull, 7);
  EXPECT_EQ(spOthers, 5);
  EXPECT_EQ((TComEvents{evRxChar, evRx80Full}.ToBits()), 0x0201);
  EXPECT_EQ(AllComEvents().ToBits(), 0x03FF);
  EXPECT_EQ((TComErrors{ceFrame, ceTxFull}.ToBits()), 0x81);
  TStoredProps Props{spBasic, spOthers};
  EXPECT_EQ(Props.ToBits(), 0x21);
  Props.Exclude(spBasic).Include(spParity);
  EXPECT_TRUE(Props.Contains(spParity));
  EXPECT_FALSE(Props.Contains(spBasic));
  EXPECT_EQ(TStoredProps::FromBits(0x30), (TStoredProps{spParity, spOthers}));
}

// ---------------------------------------------------------------------------------------------
// Starting values

TEST(ComSettingsDefaults, FreshObjectsHoldTheConstructorValues) {
  EXPECT_EQ(Fields(TComTimeouts()), std::tuple(-1, 0, 0, 100, 1000));
  EXPECT_EQ(Fields(TComFlowControl()), std::tuple(false, false, dtrDisable, rtsDisable, false,
                                                  false, false, false, char(17), char(19)));
  EXPECT_EQ(TComFlowControl().FlowControl(), fcNone);
  EXPECT_EQ(Fields(TComParity()), std::tuple(prNone, false, false, char(0)));
  EXPECT_EQ(Fields(TComBuffer()), std::tuple(1024, 1024));
  EXPECT_EQ(TComTimeouts().ComPort(), nullptr);
  EXPECT_EQ(TComFlowControl().ClassName(), "TComFlowControl");
}

// ---------------------------------------------------------------------------------------------
// Setters and the owner

TEST(ComSettingsSetters, TimeoutChangesAskForTheTimeoutApplyOnce) {
  CountingOwner Owner;
  TComTimeouts T;
  T.SetComPort(&Owner);
  ExpectOneApplyPerChange(
      Owner, Apply::Timeouts,
      {{"ReadInterval", [&] { T.SetReadInterval(0); }, [&] { return T.ReadInterval() == 0; }},
       {"ReadTotalMultiplier", [&] { T.SetReadTotalMultiplier(-5); },
        [&] { return T.ReadTotalMultiplier() == -5; }},
       {"ReadTotalConstant", [&] { T.SetReadTotalConstant(INT32_MAX); },
        [&] { return T.ReadTotalConstant() == INT32_MAX; }},
       {"WriteTotalMultiplier", [&] { T.SetWriteTotalMultiplier(0); },
        [&] { return T.WriteTotalMultiplier() == 0; }},
       {"WriteTotalConstant", [&] { T.SetWriteTotalConstant(INT32_MIN); },
        [&] { return T.WriteTotalConstant() == INT32_MIN; }}});
  EXPECT_EQ(Owner.Timeouts, 5);
}

TEST(ComSettingsSetters, FlowControlAndParityChangesAskForTheLineApplyOnce) {
  CountingOwner Owner;
  TComFlowControl F;
  F.SetComPort(&Owner);
  ExpectOneApplyPerChange(
      Owner, Apply::Line,
      {{"OutCTSFlow", [&] { F.SetOutCTSFlow(true); }, [&] { return F.OutCTSFlow(); }},
       {"OutDSRFlow", [&] { F.SetOutDSRFlow(true); }, [&] { return F.OutDSRFlow(); }},
       {"ControlDTR", [&] { F.SetControlDTR(dtrHandshake); },
        [&] { return F.ControlDTR() == dtrHandshake; }},
       {"ControlRTS", [&] { F.SetControlRTS(rtsToggle); },
        [&] { return F.ControlRTS() == rtsToggle; }},
       {"XonXoffOut", [&] { F.SetXonXoffOut(true); }, [&] { return F.XonXoffOut(); }},
       {"XonXoffIn", [&] { F.SetXonXoffIn(true); }, [&] { return F.XonXoffIn(); }},
       {"DSRSensitivity", [&] { F.SetDSRSensitivity(true); }, [&] { return F.DSRSensitivity(); }},
       {"TxContinueOnXoff", [&] { F.SetTxContinueOnXoff(true); },
        [&] { return F.TxContinueOnXoff(); }},
       {"XonChar", [&] { F.SetXonChar('\0'); }, [&] { return F.XonChar() == '\0'; }},
       {"XoffChar", [&] { F.SetXoffChar('\xFF'); }, [&] { return F.XoffChar() == '\xFF'; }}});

  TComParity P;
  P.SetComPort(&Owner);
  ExpectOneApplyPerChange(
      Owner, Apply::Line,
      {{"Bits", [&] { P.SetBits(prSpace); }, [&] { return P.Bits() == prSpace; }},
       {"Check", [&] { P.SetCheck(true); }, [&] { return P.Check(); }},
       {"Replace", [&] { P.SetReplace(true); }, [&] { return P.Replace(); }},
       {"ReplaceChar", [&] { P.SetReplaceChar('?'); }, [&] { return P.ReplaceChar() == '?'; }}});
  EXPECT_EQ(Owner.Line, 14);
}

TEST(ComSettingsSetters, BufferChangesAskForTheBufferApplyOnce) {
  CountingOwner Owner;
  TComBuffer B;
  B.SetComPort(&Owner);
  ExpectOneApplyPerChange(
      Owner, Apply::Buffer,
      {{"InputSize", [&] { B.SetInputSize(4096); }, [&] { return B.InputSize() == 4096; }},
       {"OutputSize", [&] { B.SetOutputSize(-2); }, [&] { return B.OutputSize() == -2; }}});
}

// ---------------------------------------------------------------------------------------------
// Odd buffer sizes

TEST(ComBufferSizes, OddPositiveSizesAreLoweredNegativeOnesKept) {
  struct Case {
    int32_t Given;
    int32_t Stored;
  };
  const Case Cases[] = {{1023, 1022},
                        {1, 0},
                        {0, 0},
                        {-3, -3},
                        {-1, -1},
                        {-4, -4},
                        {2048, 2048},
                        {INT32_MAX, INT32_MAX - 1},
                        {INT32_MIN, INT32_MIN}};
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Given);
    TComBuffer B;
    B.SetInputSize(C.Given);
    B.SetOutputSize(C.Given);
    EXPECT_EQ(B.InputSize(), C.Stored);
    EXPECT_EQ(B.OutputSize(), C.Stored);
  }
}

// The unchanged-value test looks at the stored (even) value, not at what was last asked for.
TEST(ComBufferSizes, ComparisonIsAgainstTheStoredEvenValue) {
  CountingOwner Owner;
  TComBuffer B;
  B.SetComPort(&Owner);

  B.SetInputSize(1024);  // the constructor value
  EXPECT_EQ(Owner.Buffer, 0);

  B.SetInputSize(1025);  // differs from 1024, is stored as 1024 and applied
  EXPECT_EQ(B.InputSize(), 1024);
  EXPECT_EQ(Owner.Buffer, 1);

  B.SetInputSize(1023);
  EXPECT_EQ(B.InputSize(), 1022);
  EXPECT_EQ(Owner.Buffer, 2);
  B.SetInputSize(1022);
  EXPECT_EQ(Owner.Buffer, 2);
  B.SetInputSize(1023);  // 1023 is not the stored 1022, so it counts as a change
  EXPECT_EQ(B.InputSize(), 1022);
  EXPECT_EQ(Owner.Buffer, 3);

  B.SetOutputSize(-3);
  B.SetOutputSize(-3);
  EXPECT_EQ(B.OutputSize(), -3);
  EXPECT_EQ(Owner.Buffer, 4);
  EXPECT_EQ(Owner.Line + Owner.Timeouts, 0);
}

// ---------------------------------------------------------------------------------------------
// Flow-control summary

TEST(ComFlowControlSummary, OnlyThreeCombinationsHaveANameTheRestAreCustom) {
  int Named = 0;
  for (TRTSFlowControl Rts : {rtsDisable, rtsEnable, rtsHandshake, rtsToggle}) {
    for (int Bits = 0; Bits < 8; ++Bits) {
      TComFlowControl F;
      F.SetControlRTS(Rts);
      F.SetOutCTSFlow(Bits & 1);
      F.SetXonXoffIn(Bits & 2);
      F.SetXonXoffOut(Bits & 4);
      const TFlowControl Mode = F.FlowControl();
      if (Mode != fcCustom) ++Named;
      if (Rts == rtsHandshake && Bits == 1) {
        EXPECT_EQ(Mode, fcHardware);
      } else if (Rts == rtsDisable && Bits == 6) {
        EXPECT_EQ(Mode, fcSoftware);
      } else if (Rts == rtsDisable && Bits == 0) {
        EXPECT_EQ(Mode, fcNone);
      } else {
        EXPECT_EQ(Mode, fcCustom) << "ControlRTS " << int(Rts) << " bits " << Bits;
      }
    }
  }
  EXPECT_EQ(Named, 3);
}

TEST(ComFlowControlSummary, SettingANamedModeRewritesTheFourFieldsAndAppliesOnce) {
  for (TFlowControl Mode : {fcHardware, fcSoftware, fcNone}) {
    SCOPED_TRACE(FlowControlToText(Mode));
    TComFlowControl F;
    // Start from a state every named mode has to undo.
    F.SetControlRTS(rtsToggle);
    F.SetOutCTSFlow(true);
    F.SetXonXoffIn(true);
    F.SetXonXoffOut(true);
    F.SetControlDTR(dtrEnable);
    F.SetOutDSRFlow(true);
    F.SetDSRSensitivity(true);
    F.SetTxContinueOnXoff(true);
    F.SetXonChar('a');
    F.SetXoffChar('b');
    CountingOwner Owner;
    F.SetComPort(&Owner);

    F.SetFlowControl(Mode);

    EXPECT_EQ(F.FlowControl(), Mode);
    EXPECT_EQ(F.ControlRTS(), Mode == fcHardware ? rtsHandshake : rtsDisable);
    EXPECT_EQ(F.OutCTSFlow(), Mode == fcHardware);
    EXPECT_EQ(F.XonXoffIn(), Mode == fcSoftware);
    EXPECT_EQ(F.XonXoffOut(), Mode == fcSoftware);
    // Nothing outside the four fields moves; DTR in particular stays on.
    EXPECT_EQ(F.ControlDTR(), dtrEnable);
    EXPECT_TRUE(F.OutDSRFlow());
    EXPECT_TRUE(F.DSRSensitivity());
    EXPECT_TRUE(F.TxContinueOnXoff());
    EXPECT_EQ(F.XonChar(), 'a');
    EXPECT_EQ(F.XoffChar(), 'b');
    // One apply for the whole switch, not one per field.
    EXPECT_EQ(Owner.Line, 1);
    EXPECT_EQ(Owner.Total(), 1);
  }
}

TEST(ComFlowControlSummary, SettingAModeAppliesEvenWhenNothingChanges) {
  CountingOwner Owner;
  TComFlowControl F;
  F.SetComPort(&Owner);
  F.SetFlowControl(fcNone);  // already fcNone
  EXPECT_EQ(Owner.Line, 1);

  F.SetControlRTS(rtsEnable);
  F.SetXonXoffIn(true);
  ASSERT_EQ(F.FlowControl(), fcCustom);
  Owner = CountingOwner();
  F.SetFlowControl(fcCustom);
  EXPECT_EQ(F.ControlRTS(), rtsEnable);
  EXPECT_TRUE(F.XonXoffIn());
  EXPECT_FALSE(F.XonXoffOut());
  EXPECT_FALSE(F.OutCTSFlow());
  EXPECT_EQ(Owner.Line, 1);
  EXPECT_EQ(Owner.Total(), 1);
}

// ---------------------------------------------------------------------------------------------
// Assign

// Source and destination each have a port; the copy must reach the destination's fields
// without moving its port and without either port hearing of it.
template <typename T>
static void ExpectQuietCopy(T& Source) {
  CountingOwner SourceOwner, DestOwner;
  T Dest;
  Source.SetComPort(&SourceOwner);
  Dest.SetComPort(&DestOwner);
  ASSERT_NE(Fields(Dest), Fields(Source));
  Dest.Assign(&Source);
  EXPECT_EQ(Fields(Dest), Fields(Source));
  EXPECT_EQ(Dest.ComPort(), &DestOwner);
  EXPECT_EQ(SourceOwner.Total() + DestOwner.Total(), 0);
}

TEST(ComSettingsAssign, CopiesEveryFieldWithoutTellingEitherPort) {
  TComTimeouts T;
  T.SetReadInterval(1);
  T.SetReadTotalMultiplier(2);
  T.SetReadTotalConstant(3);
  T.SetWriteTotalMultiplier(4);
  T.SetWriteTotalConstant(5);
  ExpectQuietCopy(T);

  TComFlowControl F;
  F.SetOutCTSFlow(true);
  F.SetOutDSRFlow(true);
  F.SetControlDTR(dtrEnable);
  F.SetControlRTS(rtsToggle);
  F.SetXonXoffOut(true);
  F.SetXonXoffIn(true);
  F.SetDSRSensitivity(true);
  F.SetTxContinueOnXoff(true);
  F.SetXonChar('1');
  F.SetXoffChar('2');
  ExpectQuietCopy(F);

  TComParity P;
  P.SetBits(prMark);
  P.SetCheck(true);
  P.SetReplace(true);
  P.SetReplaceChar('*');
  ExpectQuietCopy(P);

  TComBuffer B;
  B.SetInputSize(-3);
  B.SetOutputSize(8192);
  ExpectQuietCopy(B);
}

TEST(ComSettingsAssign, OtherClassesAreRefusedAndTheDestinationKept) {
  TComTimeouts T;
  T.SetReadInterval(42);
  TComParity P;
  try {
    T.Assign(&P);
    ADD_FAILURE() << "assigning a TComParity to a TComTimeouts did not raise";
  } catch (const EConvertError& E) {
    EXPECT_EQ(E.Message(), "Cannot assign a TComParity to a TComTimeouts");
  }
  EXPECT_EQ(T.ReadInterval(), 42);

  TComBuffer B;
  TComFlowControl F;
  F.SetFlowControl(fcHardware);
  try {
    F.Assign(&B);
    ADD_FAILURE() << "assigning a TComBuffer to a TComFlowControl did not raise";
  } catch (const EConvertError& E) {
    EXPECT_EQ(E.Message(), "Cannot assign a TComBuffer to a TComFlowControl");
  }
  EXPECT_EQ(F.FlowControl(), fcHardware);

  // A plain persistent object knows none of the settings classes either.
  TPersistent Plain;
  EXPECT_THROW(Plain.Assign(&B), EConvertError);
  EXPECT_THROW(B.Assign(&Plain), EConvertError);
}

// ---------------------------------------------------------------------------------------------
// Text forms

// The texts are what the settings storage writes, so the words are pinned; the numbers are
// checked against BaudRateValue below.
TEST(ComSettingsText, TablesHoldTheStoredTexts) {
  EXPECT_EQ(BaudRateToText(brCustom), "Custom");
  EXPECT_EQ(BaudRateToText(br256000), "256000");
  EXPECT_EQ(StopBitsToText(sbOne5StopBits), "1.5");
  EXPECT_EQ(DataBitsToText(dbFive), "5");
  const std::vector<std::string> Parity = {"None", "Odd", "Even", "Mark", "Space"};
  for (int V = 0; V < 5; ++V)
    EXPECT_EQ(ParityToText(TParityBits(V)), Parity[V]);
  const std::vector<std::string> Flow = {"Hardware", "Software", "None", "Custom"};
  for (int V = 0; V < 4; ++V)
    EXPECT_EQ(FlowControlToText(TFlowControl(V)), Flow[V]);
}

TEST(ComSettingsText, EveryValueSurvivesARoundTripInAnyLetterCase) {
  for (int V = 0; V < 16; ++V) {
    const std::string S = BaudRateToText(TBaudRate(V));
    EXPECT_EQ(TextToBaudRate(S), V) << S;
    EXPECT_EQ(TextToBaudRate(UpperCaseAscii(S)), V) << S;
  }
  for (int V = 0; V < 3; ++V)
    EXPECT_EQ(TextToStopBits(StopBitsToText(TStopBits(V))), V);
  for (int V = 0; V < 4; ++V)
    EXPECT_EQ(TextToDataBits(DataBitsToText(TDataBits(V))), V);
  for (int V = 0; V < 5; ++V)
    EXPECT_EQ(TextToParity(ParityToText(TParityBits(V))), V);
  for (int V = 0; V < 4; ++V)
    EXPECT_EQ(TextToFlowControl(FlowControlToText(TFlowControl(V))), V);
  EXPECT_EQ(TextToBaudRate("custom"), brCustom);
  EXPECT_EQ(TextToParity("EVEN"), prEven);
  EXPECT_EQ(TextToParity("sPaCe"), prSpace);
  EXPECT_EQ(TextToFlowControl("software"), fcSoftware);
}

TEST(ComSettingsText, NearMissesFallBackToTheDefault) {
  // No trimming: a blank or a line end makes the text unknown.
  EXPECT_EQ(TextToBaudRate("19200 "), br9600);
  EXPECT_EQ(TextToBaudRate("19200\r"), br9600);
  EXPECT_EQ(TextToBaudRate(""), br9600);
  // No partial or numeric match.
  EXPECT_EQ(TextToBaudRate("1920"), br9600);
  EXPECT_EQ(TextToBaudRate("192000"), br9600);
  EXPECT_EQ(TextToBaudRate(std::string_view("19200\0", 6)), br9600);
  EXPECT_EQ(TextToStopBits("1,5"), sbOneStopBit);
  EXPECT_EQ(TextToStopBits("2.0"), sbOneStopBit);
  EXPECT_EQ(TextToDataBits("9"), dbEight);
  EXPECT_EQ(TextToParity("Evens"), prNone);
  EXPECT_EQ(TextToFlowControl("Hard"), fcCustom);
  EXPECT_EQ(TextToFlowControl("RTS/CTS"), fcCustom);
}

// A byte read from outside (a stream, a cast) may lie outside the table.
TEST(ComSettingsText, OutOfRangeValuesGiveAnEmptyTextAndNoRate) {
  EXPECT_EQ(BaudRateToText(static_cast<TBaudRate>(16)), "");
  EXPECT_EQ(StopBitsToText(static_cast<TStopBits>(3)), "");
  EXPECT_EQ(DataBitsToText(static_cast<TDataBits>(255)), "");
  EXPECT_EQ(ParityToText(static_cast<TParityBits>(5)), "");
  EXPECT_EQ(FlowControlToText(static_cast<TFlowControl>(4)), "");
  EXPECT_EQ(BaudRateValue(static_cast<TBaudRate>(200)), 0);
}

TEST(ComSettingsText, BaudRateValueIsTheNumberInTheName) {
  EXPECT_EQ(BaudRateValue(brCustom), 0);
  for (int V = 1; V < 16; ++V) {
    EXPECT_EQ(std::to_string(BaudRateValue(TBaudRate(V))), BaudRateToText(TBaudRate(V)));
  }
  EXPECT_EQ(BaudRateValue(br19200), 19200);
}

}  // namespace comfind
