// The search over every port at once, on the simulated device: each port's block of the log,
// written whole when its verdict is known; the end at the first answer, or with FindAll at the
// last verdict; the reasons; one shared wait; and searches started from its own handlers.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "framework/MainLoop.h"
#include "port/os/SimComOS.h"
#include "search/ParallelFind.h"
#include "search/dmCom.h"

namespace comfind {

using namespace std::chrono_literals;

namespace {

using TLines = std::vector<std::string>;

const std::string Sep = FindText::Separator;
const std::string Echo = FindText::ProbeEcho;

TLines Opened(const std::string& N, const TLines& Received, const std::string& Verdict) {
  TLines L{Sep, N, Echo};
  L.insert(L.end(), Received.begin(), Received.end());
  L.push_back(Verdict + N);
  return L;
}
TLines Unopened(const std::string& N) {
  return {Sep, N, FindText::OpenFailed};
}
TLines Join(std::initializer_list<TLines> Parts) {
  TLines All;
  for (const TLines& P : Parts)
    All.insert(All.end(), P.begin(), P.end());
  return All;
}

class ParallelSearch : public testing::Test {
 protected:
  ParallelSearch() {
    TMainLoop::Instance().AttachMainThread();
    Dm.cpCheck->SetOS(&Sim);
    Finder.Timeout = 200;
    Finder.OnPortDone = [this](const TProbeReport& R) { Reports.push_back(R); };
  }

  TFindDoneEvent Handler() {
    return [this](TFindResult R, uint8_t I) { Done.push_back({R, I}); };
  }
  void Start(const TLines& Names) {
    TStringList Ports;
    Ports.SetItems(Names);
    Finder.StartFind(Ports, Log, Handler(), *Dm.cpCheck);
  }
  bool WaitDone(size_t Count = 1) {
    return TMainLoop::Instance().ProcessUntil([&] { return Done.size() >= Count; }, 20s);
  }
  // Each port's outcome, in the order the reports came.
  std::vector<std::pair<std::string, TProbeOutcome>> Outcomes() const {
    std::vector<std::pair<std::string, TProbeOutcome>> O;
    for (const TProbeReport& R : Reports)
      O.push_back({R.Port, R.Outcome});
    return O;
  }

  TSimComOS Sim;  // outlives the ports, which close through it
  TdmCom Dm{nullptr};
  TParallelFind Finder{nullptr};
  TStringList Log;
  std::vector<TProbeReport> Reports;
  std::vector<std::pair<TFindResult, int>> Done;
};

}  // namespace

TEST_F(ParallelSearch, TheFirstAnswerEndsItAndTheWaitingPortsSaySo) {
  for (const char* N : {"COM2", "COM3", "COM4", "COM5"})
    Sim.AddDevice(N);
  TComPort Other(nullptr);  // another program holds COM2
  Other.SetOS(&Sim);
  Other.SetPort_("COM2");
  Other.Open();
  Start({"COM1", "COM2", "COM3", "COM4", "COM5"});
  // Every port that opened has its probe, all before any reply; the unopenable ones are logged.
  for (const char* N : {"COM3", "COM4", "COM5"})
    EXPECT_EQ(Sim.Written(N), FindText::Probe) << N;
  EXPECT_EQ(Log.Items(), Join({Unopened("COM1"), Unopened("COM2")}));
  EXPECT_TRUE(Finder.Running());
  EXPECT_TRUE(Finder.tmrWait->Enabled());

  Sim.Feed("COM4", "ERR\r\n");
  ASSERT_TRUE(TMainLoop::Instance().ProcessUntil([&] { return Sim.InputQueue("COM4") == 0; }, 10s));
  Sim.Feed("COM5", "ok\r\n");
  ASSERT_TRUE(WaitDone());
  EXPECT_EQ(Done[0], std::make_pair(frFound, 4));
  // The ports still waiting first, then the answering port's block ends the log.
  EXPECT_EQ(Log.Items(),
            Join({Unopened("COM1"), Unopened("COM2"), Opened("COM3", {}, FindText::Stopped),
                  Opened("COM4", {"<ERR"}, FindText::Stopped),
                  Opened("COM5", {"<ok"}, FindText::FoundOn)}));
  EXPECT_EQ(Outcomes(), (std::vector<std::pair<std::string, TProbeOutcome>>{{"COM1", poMissing},
                                                                            {"COM2", poBusy},
                                                                            {"COM3", poStopped},
                                                                            {"COM4", poStopped},
                                                                            {"COM5", poAnswered}}));
  EXPECT_EQ(Reports[3].Reply, "ERR\r\n");
  EXPECT_EQ(Finder.FoundIndexes(), std::vector<int>{4});
  EXPECT_FALSE(Finder.Running());
  EXPECT_FALSE(Finder.tmrWait->Enabled());
  for (const char* N : {"COM3", "COM4", "COM5"})
    EXPECT_FALSE(Sim.IsOpen(N)) << N;
  Other.Close();
  // A closed port's event thread keeps its two events while it sleeps for the next open.
  EXPECT_TRUE(TMainLoop::Instance().ProcessUntil([&] { return Sim.OpenHandles() == 0; }, 10s));
}

TEST_F(ParallelSearch, FindAllWaitsForEveryVerdictInOneSharedWait) {
  TLines Names;
  for (int I = 1; I <= 20; ++I) {
    Names.push_back("COM" + std::to_string(I));
    Sim.AddDevice(Names.back());
  }
  Names.push_back("COM99");  // missing, and last
  Finder.FindAll = true;
  Finder.Timeout = 300;
  // One wait for all of them: when the first silent port gets its verdict, every port that
  // opened has long had its probe (one port after another, the next would not have one yet).
  bool AllProbedBeforeAVerdict = true;
  Finder.OnPortDone = [&](const TProbeReport& R) {
    Reports.push_back(R);
    if (R.Outcome != poSilent) return;
    for (int I = 1; I <= 20; ++I)
      AllProbedBeforeAVerdict &= Sim.Written("COM" + std::to_string(I)) == FindText::Probe;
  };
  Start(Names);
  Sim.Feed("COM17", "OK\r\n");
  Sim.Feed("COM3", "Ok\r\nOK\r\n");  // a second "OK" of the same port counts once
  Sim.Vanish("COM9");
  ASSERT_TRUE(WaitDone());
  EXPECT_TRUE(AllProbedBeforeAVerdict);
  EXPECT_EQ(Done[0], std::make_pair(frFound, 2));  // the first in the list that answered
  EXPECT_EQ(Finder.FoundIndexes(), (std::vector<int>{2, 16}));
  ASSERT_EQ(Reports.size(), 21u);
  EXPECT_EQ(Reports[0].Port, "COM99");
  // The two answers come as they are served, the silent ports at the end of the wait in their
  // list order, the vanished one among them.
  std::vector<std::string> Answered{Reports[1].Port, Reports[2].Port};
  std::sort(Answered.begin(), Answered.end());
  EXPECT_EQ(Answered, (std::vector<std::string>{"COM17", "COM3"}));
  int Silent = 0;
  for (size_t I = 3; I < Reports.size(); ++I) {
    if (Reports[I].Port == "COM9") {
      EXPECT_EQ(Reports[I].Outcome, poVanished);
    } else {
      EXPECT_EQ(Reports[I].Outcome, poSilent) << Reports[I].Port;
      ++Silent;
    }
    if (I > 3) {
      EXPECT_LT(Reports[I - 1].Index, Reports[I].Index);
    }
  }
  EXPECT_EQ(Silent, 17);
  // Every block whole and in one piece: each port's lines stand together.
  EXPECT_EQ(Log.Count(), 3 + 2 * 5 + 18 * 4);
  for (int I = 0; I < Log.Count(); ++I)
    if (Log[I] == Sep) {
      EXPECT_EQ(Log[I + 1].rfind("COM", 0), 0u) << I;
    }
  EXPECT_EQ(Log.Items().back(), FindText::NotFoundOn + std::string("COM20"));
  // A closed port's event thread keeps its two events while it sleeps for the next open.
  EXPECT_TRUE(TMainLoop::Instance().ProcessUntil([&] { return Sim.OpenHandles() == 0; }, 10s));
}

TEST_F(ParallelSearch, NothingAnswersTheLastPortsOwnResultDecides) {
  Sim.AddDevice("COM1");
  Start({"COM1", "COM2"});
  ASSERT_TRUE(WaitDone());
  EXPECT_EQ(Done[0], std::make_pair(frOpenFailed, 1));
  EXPECT_EQ(Log.Items(), Join({Unopened("COM2"), Opened("COM1", {}, FindText::NotFoundOn)}));

  // No port opens at all: the completion comes before StartFind returns.
  Done.clear();
  Log.Clear();
  Start({"COM8", "COM9"});
  ASSERT_EQ(Done.size(), 1u);
  EXPECT_EQ(Done[0], std::make_pair(frOpenFailed, 1));
  EXPECT_EQ(Log.Items(), Join({Unopened("COM8"), Unopened("COM9")}));

  Done.clear();
  Start({});
  EXPECT_EQ(Done, (std::vector<std::pair<TFindResult, int>>{{frNotFound, 0}}));
}

TEST_F(ParallelSearch, StopClosesTheWaitingPortsWithoutACompletion) {
  Sim.AddDevice("COM1");
  Sim.AddDevice("COM2");
  Start({"COM1", "COM2"});
  Sim.Feed("COM2", "12");
  ASSERT_TRUE(TMainLoop::Instance().ProcessUntil([&] { return Sim.InputQueue("COM2") == 0; }, 10s));
  Finder.Stop();
  EXPECT_TRUE(Done.empty());
  EXPECT_EQ(Log.Items(),
            Join({Opened("COM1", {}, FindText::Stopped), Opened("COM2", {}, FindText::Stopped)}));
  ASSERT_EQ(Reports.size(), 2u);
  EXPECT_EQ(Reports[1].Reply, "12");  // half a line is still what the port sent
  // A closed port's event thread keeps its two events while it sleeps for the next open.
  EXPECT_TRUE(TMainLoop::Instance().ProcessUntil([&] { return Sim.OpenHandles() == 0; }, 10s));
  // Nothing more comes from the stopped search.
  EXPECT_FALSE(Finder.Running());
  EXPECT_FALSE(Finder.tmrWait->Enabled());
}

TEST_F(ParallelSearch, PortsTakeTheDataModulesSettings) {
  Dm.cpCheck->SetBaudRate(brCustom);
  Dm.cpCheck->SetCustomBaudRate(250000);
  Dm.cpCheck->Timeouts().SetReadInterval(7);
  Finder.ProbeCommand = "PING";
  Sim.AddDevice("COM1");
  Start({"COM1"});
  EXPECT_EQ(Sim.State("COM1").BaudRate, 250000u);
  EXPECT_EQ(Sim.State("COM1").Flags, 0x0011u);  // DTR on, RTS off, no handshake
  EXPECT_EQ(Sim.Timeouts("COM1").ReadIntervalTimeout, 7u);
  EXPECT_EQ(Sim.Written("COM1"), "PING\r\n");
  EXPECT_FALSE(Dm.cpCheck->Connected());  // the data module's own port stays closed
  EXPECT_EQ(Log.Count(), 0);              // the block waits for its verdict
  Finder.Stop();
  EXPECT_EQ(Log.Items(), (TLines{Sep, "COM1", ">PING", FindText::Stopped + std::string("COM1")}));
}

TEST_F(ParallelSearch, AnAnswerServedWhileAnotherPortClosesEndsTheSearchThere) {
  for (const char* N : {"COM1", "COM2", "COM3", "COM4"})
    Sim.AddDevice(N);
  // COM2's probe is held until COM1's reply waits to be served, then aborted: the close of
  // COM2 serves COM1's reply, which ends the search before COM3 is opened. The completion
  // handler starts the next search from inside all that.
  Sim.HoldWrites("COM2", true);
  std::mutex Lock;
  std::condition_variable Changed;
  bool Queued = false;
  TMainLoop::Instance().SetWakeHook([&] {
    if (TMainLoop::Instance().IsMainThread()) return;
    std::lock_guard<std::mutex> L(Lock);
    Queued = true;
    Changed.notify_all();
  });
  std::thread Far([&] {
    if (!Sim.WaitUntil([&] { return Sim.Calls("WriteFile").size() == 2; }, 20s)) return;
    Sim.Feed("COM1", "OK\r\n");
    {
      std::unique_lock<std::mutex> L(Lock);
      if (!Changed.wait_for(L, 20s, [&] { return Queued; })) return;
    }
    for (const auto& Call : Sim.Calls("CreateFileA"))
      if (Call.Text.find("COM2") != std::string::npos) Sim.PurgeComm(Call.Handle, PURGE_TXABORT_);
  });
  TStringList First, Next;
  First.SetItems({"COM1", "COM2", "COM3"});
  Next.SetItems({"COM4"});
  Finder.StartFind(
      First, Log,
      [&](TFindResult R, uint8_t I) {
        Done.push_back({R, I});
        if (Done.size() == 1) Finder.StartFind(Next, Log, Handler(), *Dm.cpCheck);
      },
      *Dm.cpCheck);
  Far.join();
  TMainLoop::Instance().SetWakeHook(nullptr);
  ASSERT_TRUE(WaitDone(2));
  EXPECT_EQ(Done[0], std::make_pair(frFound, 0));
  EXPECT_EQ(Done[1], std::make_pair(frNotFound, 0));
  EXPECT_EQ(Sim.Calls("CreateFileA").size(), 3u);  // COM1, COM2, then the next search's COM4
  EXPECT_EQ(Log.Items(), Join({Opened("COM1", {"<OK"}, FindText::FoundOn),
                               {Sep, "COM2", Echo, FindText::OpenFailed},
                               Opened("COM4", {}, FindText::NotFoundOn)}));
  ASSERT_EQ(Reports.size(), 3u);
  EXPECT_EQ(Reports[1].Port, "COM2");
  EXPECT_EQ(Reports[1].Outcome, poError);
  EXPECT_EQ(Reports[1].ErrorNumber, SIM_ERROR_OPERATION_ABORTED);
  // A closed port's event thread keeps its two events while it sleeps for the next open.
  EXPECT_TRUE(TMainLoop::Instance().ProcessUntil([&] { return Sim.OpenHandles() == 0; }, 10s));
}

}  // namespace comfind
