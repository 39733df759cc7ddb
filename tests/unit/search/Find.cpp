// The instrument search on the simulated device: the log it writes, line for line, the result
// and index it completes with, and the state it leaves the port and the timer in.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "framework/MainLoop.h"
#include "port/os/SimComOS.h"
#include "port/packet/ComDataPacket.h"
#include "search/dmCom.h"

namespace comfind {

using namespace std::chrono_literals;

namespace {

const std::string Sep = FindText::Separator;
const std::string Echo = FindText::ProbeEcho;
const std::string FoundOn = FindText::FoundOn;
const std::string NotFoundOn = FindText::NotFoundOn;
const std::string OpenFailed = FindText::OpenFailed;

struct TDone {
  TFindResult Result;
  int Index;
  bool PortOpen;      // the port's state when the handler ran
  bool TimerEnabled;  // the timer's state when the handler ran
};

class SearchTest : public testing::Test {
 protected:
  SearchTest() {
    TMainLoop::Instance().AttachMainThread();
    Dm.cpCheck->SetOS(&Sim);
  }

  TFindDoneEvent Handler() {
    return [this](TFindResult Result, uint8_t Index) {
      Done.push_back({Result, Index, Dm.cpCheck->Connected(), Dm.tmrFind->Enabled()});
    };
  }

  void Start(const std::vector<std::string>& Names) {
    TStringList Ports;
    Ports.SetItems(Names);
    Dm.StartFind(Ports, Log, Handler());
  }

  // Serves the main loop until the search has completed (or a generous deadline passes).
  bool WaitDone(size_t Count = 1) {
    return TMainLoop::Instance().ProcessUntil([&] { return Done.size() >= Count; }, 10s);
  }
  // Serves the main loop until the port has read everything fed to Name.
  bool WaitConsumed(const std::string& Name) {
    return TMainLoop::Instance().ProcessUntil([&] { return Sim.InputQueue(Name) == 0; }, 10s);
  }

  std::vector<std::string> Lines() const { return Log.Items(); }

  TSimComOS Sim;  // outlives the module, whose port closes through it
  std::unique_ptr<TdmCom> Owner = std::make_unique<TdmCom>(nullptr);
  TdmCom& Dm = *Owner;
  TStringList Log;
  std::vector<TDone> Done;
};

}  // namespace

TEST_F(SearchTest, StoredFormConfiguresThePortAssemblerAndTimer) {
  TComPort& P = *Dm.cpCheck;
  EXPECT_FALSE(P.Connected());
  EXPECT_FALSE(P.Loading());
  EXPECT_EQ(P.BaudRate(), br19200);
  EXPECT_EQ(P.Port(), "COM7");
  EXPECT_EQ(P.Events(), TComEvents{evRxChar});
  EXPECT_EQ(P.SyncMethod(), smWindowSync);
  EXPECT_FALSE(P.TriggersOnRxChar());
  EXPECT_EQ(P.FlowControl().FlowControl(), fcNone);
  EXPECT_EQ(P.StoredProps(), TStoredProps{spBasic});
  EXPECT_EQ(Dm.ComDataPack->ComPort(), &P);
  EXPECT_EQ(Dm.ComDataPack->StopString(), "\r\n");
  EXPECT_EQ(Dm.ComDataPack->StartString(), "");
  EXPECT_EQ(Dm.ComDataPack->Size(), 0);
  EXPECT_FALSE(Dm.ComDataPack->IncludeStrings());
  EXPECT_FALSE(Dm.ComDataPack->Loading());
  EXPECT_FALSE(Dm.tmrFind->Enabled());
  EXPECT_EQ(Dm.tmrFind->Interval(), 500u);

  // What reaches the device when a probe opens the port: 19200 8N1, DTR on, RTS off, no
  // handshake, the read timeouts of the stored form, and only the received-character event.
  Sim.AddDevice("COM1");
  Start({"COM1"});
  ASSERT_TRUE(Sim.IsOpen("COM1"));
  const TDCB Dcb = Sim.State("COM1");
  EXPECT_EQ(Dcb.BaudRate, 19200u);
  EXPECT_EQ(Dcb.Flags, 0x0011u);
  EXPECT_EQ(Dcb.ByteSize, 8);
  EXPECT_EQ(Dcb.Parity, 0);
  EXPECT_EQ(Dcb.StopBits, 0);
  EXPECT_EQ(Dcb.XonLim, 256);
  const TCommTimeouts T = Sim.Timeouts("COM1");
  EXPECT_EQ(T.ReadIntervalTimeout, 5u);
  EXPECT_EQ(T.ReadTotalTimeoutMultiplier, 500u);
  EXPECT_EQ(T.ReadTotalTimeoutConstant, 25u);
  EXPECT_EQ(T.WriteTotalTimeoutMultiplier, 100u);
  EXPECT_EQ(T.WriteTotalTimeoutConstant, 1000u);
  ASSERT_TRUE(Sim.WaitUntil([&] { return Sim.Mask("COM1") == EV_RXCHAR_; }, 10s));
  EXPECT_EQ(Sim.Written("COM1"), "TRG0000000010000\r\n");
}

TEST_F(SearchTest, PortThatCannotOpenThenPortThatAnswers) {
  Sim.AddDevice("COM2");  // COM1 does not exist
  Start({"COM1", "COM2"});
  EXPECT_TRUE(Done.empty());
  EXPECT_TRUE(Dm.cpCheck->Connected());
  EXPECT_TRUE(Dm.tmrFind->Enabled());
  Sim.Feed("COM2", "OK\r\n");
  ASSERT_TRUE(WaitDone());
  EXPECT_EQ(Lines(), (std::vector<std::string>{Sep, "COM1", OpenFailed, Sep, "COM2", Echo, "<OK",
                                               FoundOn + "COM2"}));
  ASSERT_EQ(Done.size(), 1u);
  EXPECT_EQ(Done[0].Result, frFound);
  EXPECT_EQ(Done[0].Index, 1);
  EXPECT_FALSE(Done[0].PortOpen);
  EXPECT_FALSE(Done[0].TimerEnabled);
  EXPECT_FALSE(Sim.IsOpen("COM2"));
  EXPECT_EQ(Sim.Written("COM2"), "TRG0000000010000\r\n");
}

TEST_F(SearchTest, RepliesThatCount) {
  struct TCase {
    const char* What;
    std::vector<std::string> Blocks;
    std::vector<std::string> Received;  // the "<" lines expected
  } Cases[] = {
      {"lower case", {"ok\r\n"}, {"<ok"}},
      {"mixed case", {"oK\r\n"}, {"<oK"}},
      {"in pieces", {"O", "K\r", "\n"}, {"<OK"}},
      {"after a noise line", {"ERR 5\r\n", "OK\r\n"}, {"<ERR 5", "<OK"}},
      {"after a noise line in one block", {"\xC1\x01x\r\nOK\r\n"}, {"<\xC1\x01x", "<OK"}},
  };
  for (const TCase& C : Cases) {
    SCOPED_TRACE(C.What);
    Log.Clear();
    Done.clear();
    Sim.AddDevice("COM3");
    Start({"COM3"});
    for (size_t I = 0; I < C.Blocks.size(); ++I) {
      Sim.Feed("COM3", C.Blocks[I]);
      if (I + 1 < C.Blocks.size()) {
        ASSERT_TRUE(WaitConsumed("COM3"));
      }
    }
    ASSERT_TRUE(WaitDone());
    std::vector<std::string> Expected{Sep, "COM3", Echo};
    Expected.insert(Expected.end(), C.Received.begin(), C.Received.end());
    Expected.push_back(FoundOn + "COM3");
    EXPECT_EQ(Lines(), Expected);
    ASSERT_EQ(Done.size(), 1u);
    EXPECT_EQ(Done[0].Result, frFound);
    EXPECT_EQ(Done[0].Index, 0);
  }
}

TEST_F(SearchTest, RepliesThatDoNotCountLeaveTheWaitToTheTimer) {
  // Each line is logged as received; none ends the wait, so the port ends not found.
  Sim.AddDevice("COM4");
  Start({"COM4"});
  Sim.Feed("COM4", " OK\r\nOK \r\nOKK\r\n\r\nOK");  // the last "OK" has no line end
  ASSERT_TRUE(WaitDone());
  EXPECT_EQ(Lines(), (std::vector<std::string>{Sep, "COM4", Echo, "< OK", "<OK ", "<OKK", "<",
                                               NotFoundOn + "COM4"}));
  ASSERT_EQ(Done.size(), 1u);
  EXPECT_EQ(Done[0].Result, frNotFound);
  EXPECT_EQ(Done[0].Index, 0);
  EXPECT_FALSE(Done[0].PortOpen);
  EXPECT_FALSE(Done[0].TimerEnabled);
}

TEST_F(SearchTest, ThreeSilentPortsEndNotFoundOnTheLast) {
  for (const char* N : {"COM1", "COM2", "COM3"})
    Sim.AddDevice(N);
  const auto Begin = std::chrono::steady_clock::now();
  Start({"COM1", "COM2", "COM3"});
  ASSERT_TRUE(WaitDone());
  const auto Took = std::chrono::steady_clock::now() - Begin;
  std::vector<std::string> Expected;
  for (const char* N : {"COM1", "COM2", "COM3"})
    Expected.insert(Expected.end(), {Sep, N, Echo, NotFoundOn + N});
  EXPECT_EQ(Lines(), Expected);
  ASSERT_EQ(Done.size(), 1u);
  EXPECT_EQ(Done[0].Result, frNotFound);
  EXPECT_EQ(Done[0].Index, 2);
  // Three waits of 500 ms; the bound only catches a wait that never ends on its own.
  EXPECT_LT(Took, 8s);
  for (const char* N : {"COM1", "COM2", "COM3"}) {
    EXPECT_FALSE(Sim.IsOpen(N)) << N;
    EXPECT_EQ(Sim.Written(N), "TRG0000000010000\r\n") << N;
  }
}

TEST_F(SearchTest, FailuresToOpenOrWrite) {
  // COM1 silent, COM2 refuses the write, COM3 missing: the last port's own result is reported.
  Sim.AddDevice("COM1");
  Sim.AddDevice("COM2");
  Start({"COM1", "COM2", "COM3"});
  ASSERT_TRUE(Done.empty());
  Sim.FailCall("WriteFile", SIM_ERROR_BAD_COMMAND);
  ASSERT_TRUE(WaitDone());
  EXPECT_EQ(Lines(), (std::vector<std::string>{Sep, "COM1", Echo, NotFoundOn + "COM1", Sep, "COM2",
                                               Echo, OpenFailed, Sep, "COM3", OpenFailed}));
  ASSERT_EQ(Done.size(), 1u);
  EXPECT_EQ(Done[0].Result, frOpenFailed);
  EXPECT_EQ(Done[0].Index, 2);
  EXPECT_FALSE(Done[0].PortOpen);
  EXPECT_FALSE(Sim.IsOpen("COM2"));
}

TEST_F(SearchTest, NoPortOpensCompletesInsideStartFind) {
  Start({"COM8", "COM9"});
  ASSERT_EQ(Done.size(), 1u);
  EXPECT_EQ(Done[0].Result, frOpenFailed);
  EXPECT_EQ(Done[0].Index, 1);
  EXPECT_EQ(Lines(), (std::vector<std::string>{Sep, "COM8", OpenFailed, Sep, "COM9", OpenFailed}));
}

TEST_F(SearchTest, EmptyListCompletesAtOnceAndChangesNothing) {
  Start({"COM8"});  // a first search, so there is a copy and an index to keep
  Log.SetItems({"before"});
  TStringList Empty;
  Dm.StartFind(Empty, Log, Handler());
  ASSERT_EQ(Done.size(), 2u);
  EXPECT_EQ(Done[1].Result, frNotFound);
  EXPECT_EQ(Done[1].Index, 0);
  EXPECT_EQ(Lines(), std::vector<std::string>{"before"});
  EXPECT_EQ(Dm.FindPorts().Items(), std::vector<std::string>{"COM8"});
}

TEST_F(SearchTest, SearchVisitsItsOwnCopyOfTheList) {
  Sim.AddDevice("COM1");
  Sim.AddDevice("COM2");
  TStringList Ports;
  Ports.SetItems({"COM1", "COM2"});
  Dm.StartFind(Ports, Log, Handler());
  Ports.Clear();
  Ports.Add("COM9");
  ASSERT_TRUE(TMainLoop::Instance().ProcessUntil([&] { return Sim.IsOpen("COM2"); }, 10s));
  Sim.Feed("COM2", "OK\r\n");
  ASSERT_TRUE(WaitDone());
  ASSERT_EQ(Done.size(), 1u);
  EXPECT_EQ(Done[0].Result, frFound);
  EXPECT_EQ(Done[0].Index, 1);
  EXPECT_EQ(Lines().back(), FoundOn + "COM2");
}

TEST_F(SearchTest, SecondSearchReplacesTheRunningOne) {
  Sim.AddDevice("COM1");
  Sim.AddDevice("COM2");
  bool FirstDone = false;
  TStringList First;
  First.SetItems({"COM1"});
  Dm.StartFind(First, Log, [&](TFindResult, uint8_t) { FirstDone = true; });
  ASSERT_TRUE(Sim.IsOpen("COM1"));

  // The new search closes COM1 as it renames the port, probes COM2 and logs to its own log.
  TStringList Log2;
  TStringList Second;
  Second.SetItems({"COM2"});
  Dm.StartFind(Second, Log2, Handler());
  EXPECT_FALSE(Sim.IsOpen("COM1"));
  EXPECT_TRUE(Sim.IsOpen("COM2"));
  Sim.Feed("COM1", "OK\r\n");  // too late for the first search: its port is closed
  Sim.Feed("COM2", "OK\r\n");
  ASSERT_TRUE(WaitDone());
  EXPECT_FALSE(FirstDone);
  EXPECT_EQ(Lines(), (std::vector<std::string>{Sep, "COM1", Echo}));
  EXPECT_EQ(Log2.Items(), (std::vector<std::string>{Sep, "COM2", Echo, "<OK", FoundOn + "COM2"}));
  ASSERT_EQ(Done.size(), 1u);
  EXPECT_EQ(Done[0].Result, frFound);
  EXPECT_EQ(Done[0].Index, 0);
}

// A search restarted while another runs judges every port of its own list by its own probe:
// a first port that cannot be opened (missing, or the running search's device vanished so that
// its close fails) gets its name and the open-failed verdict, and the next port is probed; the
// running search's timer does not end the new search.
TEST_F(SearchTest, ARestartedSearchWithAFailingFirstPortGoesOnWithTheNext) {
  for (bool Vanished : {false, true}) {
    SCOPED_TRACE(Vanished ? "the running search's device vanished" : "the first port is missing");
    Sim.AddDevice("COM1");
    Sim.AddDevice("COM2");
    Start({"COM1"});
    ASSERT_TRUE(Sim.IsOpen("COM1"));
    if (Vanished) Sim.Vanish("COM1");
    TStringList Log2;
    TStringList Second;
    Second.SetItems({"COM9", "COM2"});
    Done.clear();
    Dm.StartFind(Second, Log2, Handler());
    Sim.Feed("COM2", "OK\r\n");
    ASSERT_TRUE(WaitDone());
    EXPECT_EQ(Log2.Items(), (std::vector<std::string>{Sep, "COM9", OpenFailed, Sep, "COM2", Echo,
                                                      "<OK", FoundOn + "COM2"}));
    ASSERT_EQ(Done.size(), 1u);
    EXPECT_EQ(Done[0].Result, frFound);
    EXPECT_EQ(Done[0].Index, 1);
    EXPECT_FALSE(Dm.tmrFind->Enabled()) << "no timer left to end a port of the new search";
  }
}

TEST_F(SearchTest, SecondSearchOnTheSamePortProbesAgainAndCompletesOnce) {
  Sim.AddDevice("COM1");
  Start({"COM1"});
  Start({"COM1"});  // the port is closed and opened again; the probe is written again
  EXPECT_EQ(Sim.Written("COM1"), "TRG0000000010000\r\nTRG0000000010000\r\n");
  EXPECT_TRUE(Dm.tmrFind->Enabled());
  ASSERT_TRUE(WaitDone());
  ASSERT_EQ(Done.size(), 1u);
  EXPECT_EQ(Done[0].Result, frNotFound);
  EXPECT_EQ(Lines(),
            (std::vector<std::string>{Sep, "COM1", Echo, Sep, "COM1", Echo, NotFoundOn + "COM1"}));
}

TEST_F(SearchTest, LinesAfterTheAnswerInTheSameBlockAreNotPartOfTheSearch) {
  // The block that ends the probe also holds more lines: the search completes once, and
  // nothing is logged after its verdict.
  Sim.AddDevice("COM1");
  Start({"COM1"});
  Sim.Feed("COM1", "OK\r\nOK\r\nlate\r\n");
  ASSERT_TRUE(WaitDone());
  ASSERT_EQ(Done.size(), 1u);
  EXPECT_EQ(Lines(), (std::vector<std::string>{Sep, "COM1", Echo, "<OK", FoundOn + "COM1"}));
}

TEST_F(SearchTest, NextSearchStartedFromTheCompletionHandler) {
  // A caller that searches again as soon as one search ends (from inside the packet handler
  // that ended it) gets a working second search.
  Sim.AddDevice("COM1");
  Sim.AddDevice("COM2");
  TStringList Next;
  Next.SetItems({"COM2"});
  bool Restarted = false;
  TStringList First;
  First.SetItems({"COM1"});
  Dm.StartFind(First, Log, [&](TFindResult Result, uint8_t) {
    EXPECT_EQ(Result, frFound);
    Restarted = true;
    Dm.StartFind(Next, Log, Handler());
  });
  Sim.Feed("COM1", "OK\r\n");
  ASSERT_TRUE(TMainLoop::Instance().ProcessUntil([&] { return Restarted; }, 10s));
  Sim.Feed("COM2", "ok\r\n");
  ASSERT_TRUE(WaitDone());
  EXPECT_EQ(Done[0].Result, frFound);
  EXPECT_EQ(Lines().back(), FoundOn + "COM2");
}

TEST_F(SearchTest, OnlyPortExceptionsAreCaught) {
  Sim.AddDevice("COM1");
  Sim.AddDevice("COM2");
  // A port exception raised while the port opens counts as a port that cannot be opened ...
  Dm.cpCheck->OnAfterOpen = [](TObject*) { throw EComPort(CE_OpenFailed, 5); };
  Start({"COM1"});
  ASSERT_EQ(Done.size(), 1u);
  EXPECT_EQ(Done[0].Result, frOpenFailed);
  EXPECT_FALSE(Dm.cpCheck->Connected());

  // ... any other exception leaves StartFind, and the search stops without completing.
  Log.Clear();
  Dm.cpCheck->OnAfterOpen = [](TObject*) { throw std::runtime_error("out of handles"); };
  EXPECT_THROW(Start({"COM2", "COM1"}), std::runtime_error);
  EXPECT_EQ(Done.size(), 1u);
  EXPECT_EQ(Lines(), (std::vector<std::string>{Sep, "COM2"}));
  EXPECT_FALSE(Dm.tmrFind->Enabled());
  Dm.cpCheck->OnAfterOpen = nullptr;
}

TEST_F(SearchTest, ListLongerThanTheIndexCanAddressIsCut) {
  // Nothing exists, so every port fails at once: the search visits the first 256 names,
  // and the index it reports is the last one it visited.
  std::vector<std::string> Names;
  for (int I = 0; I < 300; ++I)
    Names.push_back("NOPE" + std::to_string(I));
  Start(Names);
  ASSERT_EQ(Done.size(), 1u);
  EXPECT_EQ(Done[0].Result, frOpenFailed);
  EXPECT_EQ(Done[0].Index, 255);
  EXPECT_EQ(Dm.FindPorts().Count(), TdmCom::MaxFindPorts);
  EXPECT_EQ(Log.Count(), 3 * 256);
  EXPECT_EQ(Lines()[3 * 255 + 1], "NOPE255");

  // Exactly 256 names are all visited.
  Names.resize(256);
  Done.clear();
  Start(Names);
  ASSERT_EQ(Done.size(), 1u);
  EXPECT_EQ(Done[0].Index, 255);
}

TEST_F(SearchTest, DestroyingTheModuleDuringASearchClosesThePort) {
  Sim.AddDevice("COM1");
  Start({"COM1"});
  ASSERT_TRUE(Sim.IsOpen("COM1"));
  Owner.reset();
  EXPECT_FALSE(Sim.IsOpen("COM1"));
  EXPECT_EQ(Sim.OpenHandles(), 0u);
  EXPECT_TRUE(Done.empty());
}

}  // namespace comfind
