// The main loop waiting for a port's device itself (the event thread lends it its comm wait),
// and the event thread kept asleep from one open of a port to the next: the deliveries must be
// those of the thread's own loop, on the main thread, in the same order, and a close, a
// destruction, an external loop or a vanished device in the middle must neither hang nor lose
// anything.
#include <set>

#include "port/ComIdleWait.h"
#include "tests/support/PortAccess.h"
#include "tests/unit/port/PortFixture.h"

namespace comfind {

// The simulated device's ports are served by the main loop for the test's length, as the
// platform's ports are in the application.
class PortServedWaits : public SimPortTest {
 protected:
  void SetUp() override {
    SimPortTest::SetUp();
    Served = TComIdleWait::Attach(Sim);
    ASSERT_TRUE(Served) << "the loop has another idle wait";
  }
  void TearDown() override {
    SimPortTest::TearDown();
    Served.reset();
  }

  void OpenAndWait() {
    Port->Open();
    ASSERT_TRUE(Sim.WaitUntil([&] { return Sim.IsWaiting("COM7"); }, 10s));
  }
  // The events made since the calls were last cleared: the event thread's stop event (manual,
  // not set; made with the thread) and its comm wait's (manual, set; made by an open that
  // found none), in that order.
  std::pair<THandle, THandle> ThreadEvents() {
    THandle Stop = 0, Wait = 0;
    for (auto& C : CallsNamed("CreateEventA")) {
      if (C.Args == std::vector<uint32_t>{1u, 0u}) Stop = C.Handle;
      if (C.Args == std::vector<uint32_t>{1u, 1u}) Wait = C.Handle;
    }
    return {Stop, Wait};
  }
  // Whether any wait so far listed Handle.
  bool Waited(THandle Handle) {
    for (auto& C : CallsNamed("WaitForMultipleObjects"))
      for (size_t I = 3; I < C.Args.size(); ++I)
        if (C.Args[I] == Handle) return true;
    return false;
  }
  bool CleanedUp() {
    for (auto& C : CallsNamed("SetCommMask"))
      if (C.Args == std::vector<uint32_t>{0u}) return true;
    return false;
  }

  std::shared_ptr<TComIdleWait> Served;
};

// Every event of one completed wait reaches links and handlers on the main thread in the
// fixed order, and only the loop waits: the thread's own wait (on its stop event) never runs.
// smNone keeps its handlers on the event thread, which waits itself.
TEST_F(PortServedWaits, TheLoopDeliversEveryEventInTheFixedOrderOnTheMainThread) {
  // The thread of the first open serves the others: its stop event is made once, the wait's
  // whenever the last one went with the close.
  THandle Stop = 0, Wait = 0;
  for (TSyncMethod M : {smWindowSync, smThreadSync, smNone}) {
    SCOPED_TRACE(SyncName(M));
    Sim.ClearCalls();
    Log.Clear();
    std::set<std::thread::id> Threads;
    std::mutex ThreadsLock;
    TComLink Link;
    LogAllSlots(Link, Log, "L");
    Port->AddLink(&Link);
    LogAllEvents(*Port, Log);
    Port->OnRx80Full = [&](TObject*) {
      std::lock_guard<std::mutex> Lock(ThreadsLock);
      Threads.insert(std::this_thread::get_id());
      Log.Add("Rx80Full");
    };
    Port->SetSyncMethod(M);
    Port->SetEvents(TComEvents{evRing});
    OpenAndWait();
    const auto [MadeStop, MadeWait] = ThreadEvents();
    if (MadeStop) Stop = MadeStop;
    if (MadeWait) Wait = MadeWait;
    Sim.Feed("COM7", "xy");
    Sim.RaiseLineErrors("COM7", CE_FRAME_);
    Sim.SetModemStatus("COM7", MS_CTS_ON_ | MS_DSR_ON_ | MS_RLSD_ON_);
    Log.Clear();
    ASSERT_TRUE(Sim.CompleteWait("COM7", kAllEventBits));
    ASSERT_TRUE(Serve([&] { return Log.Contains("Rx80Full") && Sim.IsWaiting("COM7"); }));
    const std::vector<std::string> Expected = {
        "Error:1", "L.RxBusy:1", "RxChar:2", "L.TxBusy:0", "L.TxEmpty", "TxEmpty",
        "Break",   "L.Ring",     "Ring",     "L.CTS:1",    "CTS:1",     "L.DSR:1",
        "DSR:1",   "L.RxFlag",   "RxFlag",   "L.RLSD:1",   "RLSD:1",    "Rx80Full"};
    EXPECT_EQ(Log.Entries(), Expected);
    // A second wait completes the same way: the wait was issued again after the delivery.
    Log.Clear();
    ASSERT_TRUE(Sim.CompleteWait("COM7", EV_RING_));
    ASSERT_TRUE(Serve([&] { return Log.Contains("Ring"); }));
    ASSERT_NE(Wait, 0u);
    EXPECT_TRUE(Waited(Wait));
    EXPECT_EQ(Waited(Stop), M == smNone) << "the event thread waited for the device itself";
    {
      std::lock_guard<std::mutex> Lock(ThreadsLock);
      ASSERT_EQ(Threads.size(), 1u);
      EXPECT_EQ(*Threads.begin() == MainThread, M != smNone);
    }
    Port->Close();
    Port->RemoveLink(&Link);
    Sim.SetModemStatus("COM7", 0);
    EXPECT_EQ(Sim.InputQueue("COM7"), 0u) << "the close purged the driver's buffers";
  }
}

// A handler that closes the port ends the served delivery there; one that opens it again gets
// a wait of its own, served as before.
TEST_F(PortServedWaits, AHandlerMayCloseAndReopenThePort) {
  Port->SetSyncMethod(smWindowSync);
  Port->SetEvents(TComEvents{evRing});
  Port->SetTriggersOnRxChar(false);
  Port->OnRxBuf = [&](TObject*, const void*, int32_t) {
    Log.Add("RxBuf");
    Port->Close();
  };
  Port->OnTxEmpty = [&](TObject*) { Log.Add("TxEmpty"); };
  OpenAndWait();
  Sim.Feed("COM7", "k");
  ASSERT_TRUE(Sim.CompleteWait("COM7", EV_RXCHAR_ | EV_TXEMPTY_));
  ASSERT_TRUE(Serve([&] { return !Port->Connected(); }));
  EXPECT_EQ(Log.Entries(), std::vector<std::string>{"RxBuf"}) << "nothing after the close";
  Log.Clear();
  Port->OnRxBuf = [&](TObject*, const void*, int32_t) {
    Log.Add("RxBuf");
    Port->Close();
    Port->Open();
  };
  OpenAndWait();
  Sim.Feed("COM7", "m");
  ASSERT_TRUE(Sim.CompleteWait("COM7", EV_RXCHAR_));
  ASSERT_TRUE(Serve([&] { return Log.Contains("RxBuf") && Sim.IsWaiting("COM7"); }));
  EXPECT_TRUE(Port->Connected());
  Port->OnRxBuf = [&](TObject*, const void*, int32_t) { Log.Add("again"); };
  Sim.Feed("COM7", "n");
  ASSERT_TRUE(Sim.CompleteWait("COM7", EV_RXCHAR_));
  ASSERT_TRUE(Serve([&] { return Log.Contains("again"); }));
  Port->Close();
}

TEST_F(PortServedWaits, DestroyingThePortFromAServedDeliveryFreesEverything) {
  for (TSyncMethod M : {smWindowSync, smThreadSync}) {
    SCOPED_TRACE(SyncName(M));
    Log.Clear();
    if (!Port) {
      Port = std::make_unique<TComPort>(nullptr);
      Port->SetOS(&Sim);
      Port->SetPort_("COM7");
    }
    Port->SetSyncMethod(M);
    Port->SetEvents(TComEvents{evRing});
    Port->SetTriggersOnRxChar(false);
    Port->OnRxBuf = [&](TObject*, const void*, int32_t) {
      TCallLog& L = Log;
      Port.reset();
      L.Add("destroyed");
    };
    Port->OnTxEmpty = [&](TObject*) { Log.Add("next event"); };
    OpenAndWait();
    Sim.Feed("COM7", "k");
    ASSERT_TRUE(Sim.CompleteWait("COM7", EV_RXCHAR_ | EV_TXEMPTY_));
    ASSERT_TRUE(Serve([&] { return Log.Contains("destroyed") && Sim.OpenHandles() == 0; }));
    EXPECT_EQ(Log.Entries(), std::vector<std::string>{"destroyed"});
  }
}

// Another event loop takes over the main thread (the Qt window's): the event thread takes its
// wait back and the events still arrive; when the loop is its own again, it serves the next
// open's wait.
TEST_F(PortServedWaits, AnExternalLoopHandsTheWaitBackToTheEventThread) {
  Port->SetSyncMethod(smWindowSync);
  Port->SetEvents(TComEvents{evRxChar});
  Port->OnRxChar = [&](TObject*, int32_t N) { Log.Add("RxChar:" + std::to_string(N)); };
  OpenAndWait();
  const THandle Stop = ThreadEvents().first;
  std::atomic<int> Wakes{0};
  TMainLoop::Instance().SetWakeHook([&] { ++Wakes; });
  // The hand-back is posted to the main thread: served by the external loop's next turn.
  TMainLoop::Instance().ProcessMessages();
  Sim.ClearCalls();
  Sim.Feed("COM7", "ab");
  ASSERT_TRUE(Sim.WaitUntil([&] { return Wakes > 0; }, 10s)) << "the thread woke the loop";
  ASSERT_TRUE(Serve([&] { return Log.Contains("RxChar:2"); }));
  EXPECT_TRUE(Sim.WaitUntil([&] { return Waited(Stop); }, 10s)) << "the thread waits itself";
  Port->Close();
  TMainLoop::Instance().SetWakeHook(nullptr);
  Log.Clear();
  OpenAndWait();
  Sim.ClearCalls();
  Sim.Feed("COM7", "c");
  ASSERT_TRUE(Serve([&] { return Log.Contains("RxChar:1"); }));
  Port->Close();
}

// A device that vanishes fails the loop's wait: the port's wait ends once, without spinning,
// and the loop goes on serving the rest.
TEST_F(PortServedWaits, AVanishedDeviceEndsTheServedWaitWithoutSpinning) {
  CatchReports();
  Port->SetSyncMethod(smWindowSync);
  Port->SetEvents(TComEvents{evRxChar});
  OpenAndWait();
  Sim.ClearCalls();
  Sim.Vanish("COM7");
  ASSERT_TRUE(Serve([&] { return CleanedUp(); }));
  EXPECT_LE(CallsNamed("WaitCommEvent").size(), 2u);
  // The loop sleeps on its own again: a post wakes it, and the device is waited for no more.
  const size_t Waits = CallsNamed("WaitForMultipleObjects").size();
  bool Posted = false;
  TMainLoop::Instance().Post([&] { Posted = true; });
  ASSERT_TRUE(Serve([&] { return Posted; }));
  TMainLoop::Instance().ProcessMessagesFor(20ms);
  EXPECT_LE(CallsNamed("WaitForMultipleObjects").size(), Waits + 1);
  Port->Close();
  EXPECT_FALSE(Port->Connected());
}

// A port opened and closed in quick turns keeps its event thread asleep between the opens; a
// port destroyed while its thread sleeps ends it.
TEST_F(PortServedWaits, TheNextOpenReusesTheSleepingEventThread) {
  Port->SetSyncMethod(smNone);
  Port->SetEvents(TComEvents{evRxChar});
  std::mutex Lock;
  std::vector<std::thread::id> Ids;
  Port->OnRxChar = [&](TObject*, int32_t) {
    std::lock_guard<std::mutex> Guard(Lock);
    Ids.push_back(std::this_thread::get_id());
  };
  const auto Count = [&] {
    std::lock_guard<std::mutex> Guard(Lock);
    return Ids.size();
  };
  for (size_t Open = 1; Open <= 3; ++Open) {
    OpenAndWait();
    Sim.Feed("COM7", "z");
    ASSERT_TRUE(Sim.WaitUntil([&] { return Count() == Open; }, 10s));
    Port->Close();
  }
  std::lock_guard<std::mutex> Guard(Lock);
  EXPECT_NE(Ids[0], MainThread);
  EXPECT_EQ(Ids[1], Ids[0]);
  EXPECT_EQ(Ids[2], Ids[0]);
}

}  // namespace comfind
