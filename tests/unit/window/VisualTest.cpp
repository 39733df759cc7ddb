// The main window's behaviour on a fake view, the same on every platform: start-up, the
// enabling rule, searches over the simulated device, device changes, the log and the report of
// an escaped exception. After every step the view must show exactly the form's state.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "framework/MainLoop.h"
#include "port/os/SimComOS.h"
#include "search/dmCom.h"
#include "ui/DeviceNotice.h"
#include "ui/Visual.h"
#include "ui/VisualText.h"

using namespace comfind;
using namespace std::chrono_literals;

namespace {

using Names = std::vector<std::string>;

// "Внимание, устройство в выбранном COM-порту было удалено"
const std::string PortRemoved =
    "\xC2\xED\xE8\xEC\xE0\xED\xE8\xE5, \xF3\xF1\xF2\xF0\xEE\xE9\xF1\xF2\xE2\xEE \xE2 "
    "\xE2\xFB\xE1\xF0\xE0\xED\xED\xEE\xEC COM-\xEF\xEE\xF0\xF2\xF3 \xE1\xFB\xEB\xEE "
    "\xF3\xE4\xE0\xEB\xE5\xED\xEE";

// Keeps what the form shows, as a window would, and counts how the log reached it.
class TFakeView : public TVisualView {
 public:
  Names Items;
  int Index = -1;
  Names Log;
  std::string Rez;
  bool FindEnabled = true;  // a fresh window's controls are enabled until told otherwise
  bool ComboEnabled = true;
  Names Messages;
  int LogAppends = 0;
  int LogRewrites = 0;

  void ShowComboItems(const Names& NewItems, int NewIndex) override {
    Items = NewItems;
    Index = NewIndex;
  }
  void ShowComboIndex(int NewIndex) override { Index = NewIndex; }
  void AppendLogLine(const std::string& Line) override {
    Log.push_back(Line);
    ++LogAppends;
  }
  void ShowLog(const Names& Lines) override {
    Log = Lines;
    ++LogRewrites;
  }
  void ShowRezCaption(const std::string& Text) override { Rez = Text; }
  void ShowEnabled(TVisualControl Control, bool Enabled) override {
    (Control == vcFind ? FindEnabled : ComboEnabled) = Enabled;
  }
  void ShowMessage(const std::string& Text) override { Messages.push_back(Text); }
  std::string Detail;
  bool Checked[2] = {true, true};  // unknown until the form says
  void ShowComboDetail(const std::string& Text) override { Detail = Text; }
  void ShowChecked(TVisualOption Option, bool Value) override { Checked[Option] = Value; }
};

// The data module on the simulated device and the form over a port list the test controls.
class VisualTest : public testing::Test {
 protected:
  VisualTest() {
    TMainLoop::Instance().AttachMainThread();
    Dm->cpCheck->SetOS(&Sim);
  }
  ~VisualTest() override {
    Form.reset();
    Dm.reset();
  }

  // Creates the form over Initial and runs its creation handler, as a view does.
  TfmVisual& Create(Names Initial) {
    Ports = std::move(Initial);
    Form = std::make_unique<TfmVisual>(
        *Dm, View,
        [this](TStrings& List) {
          if (Readable) List.SetItems(Ports);
        },
        [this](std::vector<TComPortDetails>& List) {
          if (!Readable) return false;
          List = Details;
          return true;
        });
    Form->OnSearchDone = [this](TObject*) { ++Searches; };
    Form->FormCreate(Form.get());
    return *Form;
  }

  void DeviceChange(uintptr_t Code = DBT_DEVNODES_CHANGED_) {
    TMessage M;
    M.Msg = WM_DEVICECHANGE_;
    M.WParam = Code;
    Form->HandleDeviceChange(M);
  }

  // The user picks the port Name in the box.
  void Choose(const std::string& Name) {
    for (size_t I = 0; I < View.Items.size(); ++I)
      if (View.Items[I] == Name) {
        View.Index = static_cast<int>(I);
        Form->cbChooseComChange(View.Index);
      }
  }

  bool WaitSearches(int Count) {
    return TMainLoop::Instance().ProcessUntil([&] { return Searches >= Count; }, 10s);
  }
  // Answers the next probe written to Name.
  bool Answer(const std::string& Name) {
    if (!TMainLoop::Instance().ProcessUntil([&] { return !Sim.TakeWritten(Name).empty(); }, 10s))
      return false;
    Sim.Feed(Name, "OK\r\n");
    return true;
  }

  // The view shows the form's state, all of it.
  void ExpectViewMatchesForm() const {
    EXPECT_EQ(View.Items, Form->ComboItems());
    EXPECT_EQ(View.Index, Form->ComboIndex());
    EXPECT_EQ(View.Rez, Form->RezCaption());
    EXPECT_EQ(View.Log, Form->HistoryLines().Items());
    EXPECT_EQ(View.FindEnabled, Form->Enabled(vcFind));
    EXPECT_EQ(View.ComboEnabled, Form->Enabled(vcChooseCom));
    EXPECT_EQ(View.Detail, Form->ComboDetail());
    for (TVisualOption O : {voParallel, voProbeNew})
      EXPECT_EQ(View.Checked[O], Form->Option(O));
  }
  void ExpectEnabled(bool Find, bool Combo) const {
    EXPECT_EQ(Form->Enabled(vcFind), Find);
    EXPECT_EQ(Form->Enabled(vcChooseCom), Combo);
    ExpectViewMatchesForm();
  }

  Names Ports;
  std::vector<TComPortDetails> Details;  // what the system says of the ports
  bool Readable = true;  // false: the sources leave the lists untouched, as unreadable ones
  TSimComOS Sim;         // outlives the module, whose port closes through it
  std::unique_ptr<TdmCom> Dm = std::make_unique<TdmCom>(nullptr);
  TFakeView View;
  std::unique_ptr<TfmVisual> Form;
  int Searches = 0;
};

Names SilentBlock(const std::string& Port) {
  return {FindText::Separator, Port, FindText::ProbeEcho, FindText::NotFoundOn + Port};
}

}  // namespace

TEST_F(VisualTest, StartUpListsThePortsAndSetsTheEnabling) {
  TfmVisual& W = Create({});
  EXPECT_TRUE(W.ComboItems().empty());
  EXPECT_EQ(W.ComboIndex(), -1);
  EXPECT_EQ(W.ComboText(), "");
  ExpectEnabled(false, false);
  EXPECT_TRUE(View.Log.empty());
  EXPECT_EQ(View.Rez, VisualText::Ready);
  // A disabled action does not execute.
  W.ExecuteFind();
  EXPECT_TRUE(View.Log.empty());

  View = TFakeView();
  TfmVisual& W2 = Create({"COM1", "COM10", "COM2"});
  EXPECT_EQ(View.Items, (Names{"COM1", "COM10", "COM2"}));  // the source's order
  EXPECT_EQ(W2.ComboText(), "COM1");
  ExpectEnabled(true, true);
}

TEST_F(VisualTest, DeviceChangeRefreshesTheList) {
  struct TCase {
    const char* Name;
    Names Before;
    std::string Chosen;  // empty: nothing selected
    Names After;
    bool Unreadable;
    std::string Selected;
    bool Warned;
  };
  const TCase Cases[] = {
      {"same ports",
       {"COM1", "COM2", "COM3"},
       "COM2",
       {"COM1", "COM2", "COM3"},
       false,
       "COM2",
       false},
      {"selected removed, others remain",
       {"COM1", "COM2", "COM3"},
       "COM2",
       {"COM1", "COM3"},
       false,
       "COM1",
       true},
      {"only port removed", {"COM4"}, "COM4", {}, false, "", true},
      {"list unreadable", {"COM1", "COM2"}, "COM1", {}, true, "", true},
      {"first port arrives", {}, "", {"ttyUSB0"}, false, "ttyUSB0", false},
      {"new port beside the chosen one",
       {"COM1", "COM3", "COM5"},
       "COM5",
       {"COM1", "COM3", "COM4", "COM5", "COM6"},
       false,
       "COM4",
       false},
      {"chosen removed and new added",
       {"COM1", "COM2"},
       "COM2",
       {"COM1", "COM7"},
       false,
       "COM7",
       true},
      {"still empty", {}, "", {}, false, "", false},
  };
  for (const TCase& C : Cases) {
    SCOPED_TRACE(C.Name);
    View = TFakeView();
    Readable = true;
    TfmVisual& W = Create(C.Before);
    if (!C.Chosen.empty()) Choose(C.Chosen);
    const std::string Rez = W.RezCaption();
    Ports = C.After;
    Readable = !C.Unreadable;

    DeviceChange();

    EXPECT_EQ(W.ComboItems(), C.After);
    EXPECT_EQ(W.ComboText(), C.Selected);
    EXPECT_EQ(W.ComboIndex() < 0, C.Selected.empty());
    if (C.Warned) {
      EXPECT_EQ(W.HistoryLines().Items(), Names{PortRemoved});
      EXPECT_EQ(W.RezCaption(), PortRemoved);
    } else {
      EXPECT_TRUE(W.HistoryLines().Items().empty());
      EXPECT_EQ(W.RezCaption(), Rez);
    }
    ExpectEnabled(!C.After.empty(), !C.After.empty());
  }
}

TEST_F(VisualTest, OnlyTheDevNodesChangedCodeRefreshesAndTheLogOnlyGrows) {
  TfmVisual& W = Create({"COM1", "COM2"});
  Choose("COM2");
  Ports = {"COM3"};
  // Arrival, removal complete, query remove, configuration changed ...
  for (uintptr_t Code : {0x8000u, 0x8004u, 0x8001u, 0x0018u, 0x0000u, 0x0107u}) {
    DeviceChange(Code);
    EXPECT_EQ(W.ComboItems(), (Names{"COM1", "COM2"}));
    EXPECT_EQ(W.ComboText(), "COM2");
  }
  EXPECT_TRUE(View.Log.empty());
  W.HistoryLines().Add("earlier line");
  DeviceChange();
  EXPECT_EQ(W.ComboItems(), Names{"COM3"});
  Ports = {};
  DeviceChange();
  EXPECT_EQ(View.Log, (Names{"earlier line", PortRemoved, PortRemoved}));
  ExpectEnabled(false, false);
}

TEST_F(VisualTest, SearchFindsTheInstrumentOnTheThirdPort) {
  for (const char* N : {"COM1", "COM2", "COM3"})
    Sim.AddDevice(N);
  TfmVisual& W = Create({"COM1", "COM2", "COM3"});

  W.ExecuteFind();
  // Searching: the first probe is out and waits; only the search is disabled.
  EXPECT_EQ(View.Rez, FindText::Searching);
  EXPECT_EQ(View.Log,
            (Names{FindText::Searching, FindText::Separator, "COM1", FindText::ProbeEcho}));
  ExpectEnabled(false, true);
  W.ExecuteFind();  // disabled: no second search
  EXPECT_EQ(View.Log.size(), 4u);

  // The user picks another port meanwhile; the search still visits all three.
  Choose("COM2");
  ASSERT_TRUE(Answer("COM3"));
  ASSERT_TRUE(WaitSearches(1));

  EXPECT_EQ(W.ComboIndex(), 2);
  EXPECT_EQ(W.RezCaption(), FindText::FoundOn + std::string("COM3"));
  Names Expected{FindText::Searching};
  for (const Names& Block : {SilentBlock("COM1"), SilentBlock("COM2")})
    Expected.insert(Expected.end(), Block.begin(), Block.end());
  Expected.insert(Expected.end(), {FindText::Separator, "COM3", FindText::ProbeEcho, "<OK",
                                   FindText::FoundOn + std::string("COM3")});
  EXPECT_EQ(View.Log, Expected);
  ExpectEnabled(true, true);

  // A second search appends; nothing is cleared.
  W.ExecuteFind();
  ASSERT_TRUE(Answer("COM3"));
  ASSERT_TRUE(WaitSearches(2));
  ASSERT_EQ(View.Log.size(), 2 * Expected.size());
  EXPECT_EQ(Names(View.Log.begin() + Expected.size(), View.Log.end()), Expected);
  ExpectViewMatchesForm();
}

TEST_F(VisualTest, ALastPortThatCannotBeOpenedEndsAsNotFound) {
  Sim.AddDevice("COM1");
  TfmVisual& W = Create({"COM1", "COM9"});
  W.ExecuteFind();
  ASSERT_TRUE(WaitSearches(1));
  const Names& Log = View.Log;
  ASSERT_GE(Log.size(), 4u);
  EXPECT_EQ(Names(Log.end() - 4, Log.end()),
            (Names{FindText::Separator, "COM9", FindText::OpenFailed, FindText::NotFound}));
  EXPECT_EQ(W.RezCaption(), FindText::NotFound);
  EXPECT_EQ(W.ComboText(), "COM1");  // the selection stays where the user left it
  ExpectEnabled(true, true);
}

TEST_F(VisualTest, NoPortOpensCompletesWithinTheClick) {
  TfmVisual& W = Create({"COM8", "COM9"});
  W.ExecuteFind();
  EXPECT_EQ(Searches, 1);
  EXPECT_EQ(View.Log.back(), FindText::NotFound);
  ExpectEnabled(true, true);
}

TEST_F(VisualTest, ADeviceChangeDuringTheSearchLeavesItsPortsAlone) {
  for (const char* N : {"COM1", "COM2", "COM3"})
    Sim.AddDevice(N);
  TfmVisual& W = Create({"COM1", "COM2", "COM3"});
  W.ExecuteFind();
  ExpectEnabled(false, true);

  // A port appears in front of the others while the first one is probed: the search may be
  // started again, and the new port is selected.
  Ports = {"COM0", "COM1", "COM2", "COM3"};
  DeviceChange();
  ExpectEnabled(true, true);
  EXPECT_EQ(W.ComboText(), "COM0");

  ASSERT_TRUE(Answer("COM3"));
  ASSERT_TRUE(WaitSearches(1));
  // The answer came from the third port of the search, which the box now lists fourth.
  EXPECT_EQ(View.Log.back(), FindText::FoundOn + std::string("COM3"));
  EXPECT_EQ(W.ComboText(), "COM3");
  EXPECT_EQ(W.ComboIndex(), 3);
  ExpectEnabled(true, true);
}

TEST_F(VisualTest, ASearchEndingAfterItsPortsVanishedLeavesTheSearchDisabled) {
  Sim.AddDevice("COM1");
  TfmVisual& W = Create({"COM1"});
  W.ExecuteFind();
  Ports = {};
  DeviceChange();
  ExpectEnabled(false, false);
  ASSERT_TRUE(WaitSearches(1));
  EXPECT_EQ(W.RezCaption(), FindText::NotFound);
  // Nothing is left to search: "Найти" and the port box stay disabled.
  ExpectEnabled(false, false);
  W.ExecuteFind();
  EXPECT_EQ(View.Log.back(), FindText::NotFound);
}

TEST_F(VisualTest, TheLogReachesTheViewLineByLine) {
  TfmVisual& W = Create({"COM1"});
  TStrings& Log = W.HistoryLines();
  constexpr int Lines = 5000;
  for (int I = 0; I < Lines; ++I)
    Log.Add("line " + std::to_string(I));
  EXPECT_EQ(View.LogAppends, Lines);
  EXPECT_EQ(View.LogRewrites, 0);
  Log.Insert(Log.Count(), "inserted at the end");
  EXPECT_EQ(View.LogAppends, Lines + 1);
  // Any other change shows the whole log anew.
  Log.Insert(0, "inserted first");
  EXPECT_EQ(View.LogRewrites, 1);
  Log.Delete(1);
  EXPECT_EQ(View.LogRewrites, 2);
  Log.Add("last");
  EXPECT_EQ(View.LogAppends, Lines + 2);
  EXPECT_EQ(View.Log.front(), "inserted first");
  EXPECT_EQ(View.Log.back(), "last");
  ExpectViewMatchesForm();
}

TEST_F(VisualTest, AnEscapedExceptionIsShownInAMessageBox) {
  TfmVisual& W = Create({"COM1"});
  TMainLoop& Loop = TMainLoop::Instance();
  Loop.SetExceptionHandler([&W](TObject*, std::exception_ptr E) { W.ShowException(E); });
  // "Ошибка порта" in code page 1251
  Guarded([] { throw Exception("\xCE\xF8\xE8\xE1\xEA\xE0 \xEF\xEE\xF0\xF2\xE0"); });
  Guarded([] { throw std::runtime_error("out of handles"); });
  Guarded([] { throw 42; });
  Loop.SetExceptionHandler(nullptr);
  EXPECT_EQ(View.Messages, (Names{"\xCE\xF8\xE8\xE1\xEA\xE0 \xEF\xEE\xF0\xF2\xE0", "out of handles",
                                  "Unknown exception"}));
  // The window keeps its state and goes on.
  ExpectEnabled(true, true);
}

// --- The options of the menu "Параметры" and the port box's detail line

namespace {

// "последний опрос: " and the outcome's words.
std::string LastProbe(const char* Words) {
  return std::string(VisualText::LastProbe) + Words;
}

Names Block(const std::string& Port, const Names& Received, const std::string& Verdict) {
  Names L{FindText::Separator, Port, FindText::ProbeEcho};
  L.insert(L.end(), Received.begin(), Received.end());
  L.push_back(Verdict + Port);
  return L;
}

}  // namespace

TEST_F(VisualTest, TheDetailLineTellsThePortsApartAndWhyTheirLastProbeEnded) {
  Details.resize(2);
  Details[0].Name = "COM1";
  Details[0].Description = "FT232R USB UART";
  Details[0].Manufacturer = "FTDI";
  Details[0].SerialNumber = "A50285BI";
  Details[0].ByIdPath = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";
  Details[1].Name = "COM2";
  Details[1].Description = "16550A UART";
  Details[1].Console = true;
  for (const char* N : {"COM2", "COM3"})
    Sim.AddDevice(N);
  TComPort Other(nullptr);  // another program holds COM2
  Other.SetOS(&Sim);
  Other.SetPort_("COM2");
  Other.Open();

  TfmVisual& W = Create({"COM1", "COM2", "COM3"});
  const std::string Ftdi = "FT232R USB UART; FTDI; " + std::string(VisualText::SerialNumber) +
                           "A50285BI; " + Details[0].ByIdPath;
  EXPECT_EQ(View.Detail, Ftdi);
  Choose("COM2");
  EXPECT_EQ(View.Detail, "16550A UART; " + std::string(VisualText::Console));
  Choose("COM3");
  EXPECT_EQ(View.Detail, "");  // the system says nothing of it

  // COM1 is missing, COM2 busy, COM3 answers; each port's reason shows when it is selected.
  W.ExecuteFind();
  ASSERT_TRUE(Answer("COM3"));
  ASSERT_TRUE(WaitSearches(1));
  EXPECT_EQ(View.Detail, LastProbe(VisualText::Answered));
  Choose("COM1");
  EXPECT_EQ(View.Detail, Ftdi + "; " + LastProbe(VisualText::Missing));
  Choose("COM2");
  EXPECT_EQ(View.Detail, "16550A UART; " + std::string(VisualText::Console) + "; " +
                             LastProbe(VisualText::Busy));
  ExpectViewMatchesForm();
  Other.Close();

  // The details follow the devices: a device change reads them afresh.
  Details[1].Console = false;
  DeviceChange();
  EXPECT_EQ(View.Detail, "16550A UART; " + LastProbe(VisualText::Busy));
  ExpectViewMatchesForm();
}

TEST_F(VisualTest, TheOptionsAreOffAtStartAndFollowTheirMenuItems) {
  TfmVisual& W = Create({"COM1"});
  EXPECT_FALSE(View.Checked[voParallel]);
  EXPECT_FALSE(View.Checked[voProbeNew]);
  W.SetOption(voParallel, true);
  EXPECT_TRUE(View.Checked[voParallel]);
  EXPECT_FALSE(View.Checked[voProbeNew]);
  W.SetOption(voProbeNew, true);
  W.SetOption(voParallel, false);
  EXPECT_FALSE(View.Checked[voParallel]);
  EXPECT_TRUE(View.Checked[voProbeNew]);
  ExpectViewMatchesForm();
}

TEST_F(VisualTest, WithTheParallelOptionEveryPortIsProbedAtOnce) {
  for (const char* N : {"COM1", "COM2", "COM3"})
    Sim.AddDevice(N);
  TfmVisual& W = Create({"COM1", "COM2", "COM3"});
  W.SetOption(voParallel, true);
  W.ExecuteFind();
  // Every probe is out before any port has answered; the data module's port stays closed.
  for (const char* N : {"COM1", "COM2", "COM3"})
    EXPECT_EQ(Sim.Written(N), FindText::Probe) << N;
  EXPECT_FALSE(Dm->cpCheck->Connected());
  EXPECT_EQ(View.Log, (Names{FindText::Searching}));
  ExpectEnabled(false, true);
  Sim.Feed("COM2", "OK\r\n");
  ASSERT_TRUE(WaitSearches(1));
  EXPECT_EQ(W.ComboText(), "COM2");
  EXPECT_EQ(W.RezCaption(), FindText::FoundOn + std::string("COM2"));
  Names Expected{FindText::Searching};
  for (const Names& B : {Block("COM1", {}, FindText::Stopped), Block("COM3", {}, FindText::Stopped),
                         Block("COM2", {"<OK"}, FindText::FoundOn)})
    Expected.insert(Expected.end(), B.begin(), B.end());
  EXPECT_EQ(View.Log, Expected);
  EXPECT_EQ(View.Detail, LastProbe(VisualText::Answered));
  Choose("COM1");
  EXPECT_EQ(View.Detail, LastProbe(VisualText::Stopped));
  ExpectEnabled(true, true);

  // Back to one port after another: the data module's search again.
  W.SetOption(voParallel, false);
  W.ExecuteFind();
  EXPECT_TRUE(Dm->cpCheck->Connected());
  // COM2 holds only the earlier probe: one port after another, COM1 comes first.
  EXPECT_EQ(Sim.Written("COM2"), FindText::Probe);
  ASSERT_TRUE(WaitSearches(2));
}

TEST_F(VisualTest, ANewPortIsProbedAloneAndSelectedWhenItAnswers) {
  for (const char* N : {"COM1", "COM2", "COM3", "COM4"})
    Sim.AddDevice(N);
  TfmVisual& W = Create({"COM1", "COM2"});
  W.SetOption(voProbeNew, true);
  View.Log.clear();
  W.HistoryLines().Clear();

  Ports = {"COM1", "COM2", "COM3"};
  DeviceChange();
  // The new port takes the selection, as always; its probe is out at once, and only its.
  EXPECT_EQ(W.ComboText(), "COM3");
  EXPECT_EQ(Sim.Written("COM3"), FindText::Probe);
  EXPECT_EQ(Sim.Written("COM1"), "");
  EXPECT_EQ(Sim.Written("COM2"), "");
  Choose("COM1");  // the user looks elsewhere meanwhile
  Sim.Feed("COM3", "ok\r\n");
  ASSERT_TRUE(TMainLoop::Instance().ProcessUntil([&] { return W.ComboText() == "COM3"; }, 10s));
  EXPECT_EQ(W.RezCaption(), FindText::FoundOn + std::string("COM3"));
  EXPECT_EQ(View.Log, Block("COM3", {"<ok"}, FindText::FoundOn));
  EXPECT_EQ(View.Detail, LastProbe(VisualText::Answered));
  EXPECT_EQ(Searches, 0);  // no search of the user's ran
  ExpectEnabled(true, true);

  // A silent new port is only logged; the result line keeps what it showed.
  Ports = {"COM1", "COM2", "COM3", "COM4"};
  DeviceChange();
  ASSERT_TRUE(TMainLoop::Instance().ProcessUntil([&] { return !W.NewPortProbe().Running(); }, 10s));
  const Names Silent = Block("COM4", {}, FindText::NotFoundOn);
  EXPECT_EQ(Names(View.Log.end() - 4, View.Log.end()), Silent);
  EXPECT_EQ(W.RezCaption(), FindText::FoundOn + std::string("COM3"));

  // With the option off, a new port is only listed.
  W.SetOption(voProbeNew, false);
  Sim.AddDevice("COM5");
  Ports.push_back("COM5");
  DeviceChange();
  EXPECT_EQ(W.ComboText(), "COM5");
  EXPECT_FALSE(W.NewPortProbe().Running());
  EXPECT_EQ(Sim.Written("COM5"), "");
  ExpectViewMatchesForm();
}

TEST_F(VisualTest, APortThatAppearsDuringASearchIsProbedAfterIt) {
  for (const char* N : {"COM1", "COM2"})
    Sim.AddDevice(N);
  TfmVisual& W = Create({"COM1"});
  W.SetOption(voProbeNew, true);
  W.ExecuteFind();
  Ports = {"COM1", "COM2"};
  DeviceChange();
  // Its block would fall between the lines of COM1's: it waits for the search's end.
  EXPECT_EQ(Sim.Written("COM2"), "");
  ASSERT_TRUE(WaitSearches(1));
  EXPECT_EQ(Sim.Written("COM2"), FindText::Probe);
  Sim.Feed("COM2", "OK\r\n");
  ASSERT_TRUE(TMainLoop::Instance().ProcessUntil([&] { return !W.NewPortProbe().Running(); }, 10s));
  Names Expected{FindText::Searching};
  for (const Names& B : {Block("COM1", {}, FindText::NotFoundOn), Names{FindText::NotFound},
                         Block("COM2", {"<OK"}, FindText::FoundOn)})
    Expected.insert(Expected.end(), B.begin(), B.end());
  EXPECT_EQ(View.Log, Expected);
  EXPECT_EQ(W.ComboText(), "COM2");
  EXPECT_EQ(W.RezCaption(), FindText::FoundOn + std::string("COM2"));

  // A search the user starts while a new port is probed takes that port over: the probe ends
  // first, its block saying so.
  Sim.AddDevice("COM3");
  Ports = {"COM1", "COM2", "COM3"};
  DeviceChange();
  ASSERT_TRUE(W.NewPortProbe().Running());
  W.ExecuteFind();
  EXPECT_FALSE(W.NewPortProbe().Running());
  const size_t At = Expected.size();
  const Names Cut = Block("COM3", {}, FindText::Stopped);
  ASSERT_GE(View.Log.size(), At + Cut.size() + 1);
  EXPECT_EQ(Names(View.Log.begin() + At, View.Log.begin() + At + Cut.size()), Cut);
  EXPECT_EQ(View.Log[At + Cut.size()], FindText::Searching);
  ASSERT_TRUE(WaitSearches(2));
  ExpectViewMatchesForm();
}

// One refresh with the option "probe new ports" on or off: which ports are probed, which port
// ends selected, what the result line and the log say. The device-change rules stay as they
// are; the probe only adds its blocks after them and, when a new port answers, the selection.
TEST_F(VisualTest, WhatARefreshProbesAndSelectsWithTheProbeNewOption) {
  struct TCase {
    const char* Name;
    bool ProbeNew;
    Names Before, After;
    std::string Selected;  // the user's port before the refresh
    Names Answering;       // new ports that answer when probed
    Names Probed;          // the ports a probe was written to, in the order of the list
    std::string Selection;
    bool Warned;     // the warning of a removed port
    bool Found;      // the result line names Selection
    Names Verdicts;  // the log's last line of each probed port's block, in the order logged
  };
  const std::string Found = FindText::FoundOn, Silent = FindText::NotFoundOn;
  const TCase Cases[] = {
      {"option off",
       false,
       {"COM1"},
       {"COM1", "COM2"},
       "COM1",
       {"COM2"},
       {},
       "COM2",
       false,
       false,
       {}},
      {"answers",
       true,
       {"COM1"},
       {"COM1", "COM2"},
       "COM1",
       {"COM2"},
       {"COM2"},
       "COM2",
       false,
       true,
       {Found + "COM2"}},
      // The new port keeps the selection the refresh gave it; the result line stays.
      {"silent",
       true,
       {"COM1"},
       {"COM1", "COM2"},
       "COM1",
       {},
       {"COM2"},
       "COM2",
       false,
       false,
       {Silent + "COM2"}},
      {"only a removal",
       true,
       {"COM1", "COM2"},
       {"COM1"},
       "COM1",
       {},
       {},
       "COM1",
       false,
       false,
       {}},
      {"the user's port replaced",
       true,
       {"COM1", "COM2"},
       {"COM1", "COM3"},
       "COM2",
       {"COM3"},
       {"COM3"},
       "COM3",
       true,
       true,
       {Found + "COM3"}},
      // Two ports appear at once: probed together; the one that answers is selected although
      // the refresh gave the selection to the first.
      {"two at once",
       true,
       {"COM1"},
       {"COM1", "COM2", "COM3"},
       "COM1",
       {"COM3"},
       {"COM2", "COM3"},
       "COM3",
       false,
       true,
       {FindText::Stopped + std::string("COM2"), Found + "COM3"}},
  };
  for (const char* N : {"COM1", "COM2", "COM3"})
    Sim.AddDevice(N);
  for (const TCase& C : Cases) {
    SCOPED_TRACE(C.Name);
    for (const char* N : {"COM1", "COM2", "COM3"})
      Sim.TakeWritten(N);
    TfmVisual& W = Create(C.Before);
    // Where a port answers, its answer ends the probe, and a short wait would race with the
    // answer on a busy machine; only a probe of silent ports waits for its verdict.
    W.NewPortProbe().Timeout = C.Answering.empty() ? 100 : 10000;
    W.SetOption(voProbeNew, C.ProbeNew);
    Choose(C.Selected);
    const size_t Logged = View.Log.size();

    Ports = C.After;
    DeviceChange();
    for (const std::string& N : C.Answering)
      if (C.ProbeNew) Sim.Feed(N, "OK\r\n");
    ASSERT_TRUE(
        TMainLoop::Instance().ProcessUntil([&] { return !W.NewPortProbe().Running(); }, 10s));

    Names Probed;
    for (const std::string& N : C.After)
      if (Sim.TakeWritten(N) == FindText::Probe) Probed.push_back(N);
    EXPECT_EQ(Probed, C.Probed);
    EXPECT_EQ(W.ComboText(), C.Selection);
    // An answer outranks the warning, which stays in the log.
    EXPECT_EQ(W.RezCaption(), C.Found    ? Found + C.Selection
                              : C.Warned ? PortRemoved
                                         : std::string(VisualText::Ready));
    const Names Added(View.Log.begin() + static_cast<long>(Logged), View.Log.end());
    Names Verdicts;
    for (const std::string& Line : Added)
      if (Line.rfind(Found, 0) == 0 || Line.rfind(Silent, 0) == 0 ||
          Line.rfind(FindText::Stopped, 0) == 0)
        Verdicts.push_back(Line);
    EXPECT_EQ(Verdicts, C.Verdicts);
    EXPECT_EQ(!Added.empty() && Added.front() == PortRemoved, C.Warned);
    EXPECT_EQ(Searches, 0);
    ExpectViewMatchesForm();
    Form.reset();
    View = TFakeView();
  }
}
