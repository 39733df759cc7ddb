// The event thread and the delivery of events on the simulated device: the thread each handler
// runs on, the fixed delivery order, the receive step, exceptions, closing from inside a
// handler and devices that stop waiting.
#include <set>

#include "tests/support/PortAccess.h"
#include "tests/unit/port/PortFixture.h"

namespace comfind {

namespace {

// Threads that ran a handler.
class TThreadLog {
 public:
  void Add() {
    std::lock_guard<std::mutex> Lock(FLock);
    FIds.insert(std::this_thread::get_id());
  }
  std::set<std::thread::id> Ids() {
    std::lock_guard<std::mutex> Lock(FLock);
    return FIds;
  }

 private:
  std::mutex FLock;
  std::set<std::thread::id> FIds;
};

}  // namespace

class PortEvents : public SimPortTest {
 protected:
  // Serves the loop (deliveries on the main thread) or waits on the simulator (deliveries on
  // the event thread) until Condition holds.
  bool WaitFor(TSyncMethod M, const std::function<bool()>& Condition) {
    if (M == smNone) return Sim.WaitUntil(Condition, 10s);
    return Serve(Condition);
  }
  // Opens and waits for the thread's first wait request.
  void OpenAndWait() {
    Port->Open();
    ASSERT_TRUE(Sim.WaitUntil([&] { return Sim.IsWaiting("COM7"); }, 10s));
  }
  size_t WaitRequests() { return CallsNamed("WaitCommEvent").size(); }
  // The thread has finished its clean-up (the mask cleared).
  bool ThreadCleanedUp() {
    for (auto& C : CallsNamed("SetCommMask"))
      if (C.Args == std::vector<uint32_t>{0u}) return true;
    return false;
  }
};

TEST_F(PortEvents, HandlersRunOnTheThreadTheSyncMethodNames) {
  for (TSyncMethod M : {smThreadSync, smWindowSync, smNone}) {
    SCOPED_TRACE(SyncName(M));
    Log.Clear();
    TThreadLog Threads;
    Port->SetSyncMethod(M);
    Port->SetEvents(TComEvents{evRxChar});
    Port->OnRxChar = [&](TObject* Sender, int32_t N) {
      EXPECT_EQ(Sender, Port.get());
      Threads.Add();
      Log.Add("RxChar:" + std::to_string(N));
    };
    OpenAndWait();
    Sim.Feed("COM7", "abc");
    ASSERT_TRUE(WaitFor(M, [&] { return Log.Contains("RxChar:3"); }));
    // Nobody read: the bytes wait in the driver and the next arrival reports the larger count.
    Sim.Feed("COM7", "de");
    ASSERT_TRUE(WaitFor(M, [&] { return Log.Contains("RxChar:5"); }));
    EXPECT_TRUE(CallsNamed("ReadFile").empty());
    Port->Close();
    EXPECT_EQ(Sim.InputQueue("COM7"), 0u) << "the thread purged the driver's buffers";
    const auto Ids = Threads.Ids();
    ASSERT_EQ(Ids.size(), 1u);
    if (M == smNone)
      EXPECT_NE(*Ids.begin(), MainThread);
    else
      EXPECT_EQ(*Ids.begin(), MainThread);
    Port->OnRxChar = nullptr;
  }
}

TEST_F(PortEvents, EveryEventIsDeliveredInTheFixedOrder) {
  for (TSyncMethod M : {smThreadSync, smWindowSync, smNone}) {
    SCOPED_TRACE(SyncName(M));
    Log.Clear();
    TComLink Link;
    LogAllSlots(Link, Log, "L");
    Port->AddLink(&Link);
    LogAllEvents(*Port, Log);
    Port->SetSyncMethod(M);
    // The device raises only rings on its own, so bytes, errors and signal changes set up
    // below stay quiet until the wait is completed with every event at once.
    Port->SetEvents(TComEvents{evRing});
    OpenAndWait();
    Sim.Feed("COM7", "xy");
    Sim.RaiseLineErrors("COM7", CE_FRAME_);
    Sim.SetModemStatus("COM7", MS_CTS_ON_ | MS_DSR_ON_ | MS_RLSD_ON_);
    Log.Clear();
    ASSERT_TRUE(Sim.CompleteWait("COM7", kAllEventBits));
    ASSERT_TRUE(WaitFor(M, [&] { return Log.Contains("Rx80Full"); }));
    const std::vector<std::string> Expected = {
        "Error:1", "L.RxBusy:1", "RxChar:2", "L.TxBusy:0", "L.TxEmpty", "TxEmpty",
        "Break",   "L.Ring",     "Ring",     "L.CTS:1",    "CTS:1",     "L.DSR:1",
        "DSR:1",   "L.RxFlag",   "RxFlag",   "L.RLSD:1",   "RLSD:1",    "Rx80Full"};
    EXPECT_EQ(Log.Entries(), Expected);
    Port->Close();
    Port->RemoveLink(&Link);
    Sim.SetModemStatus("COM7", 0);
  }
}

TEST_F(PortEvents, LineErrorsAreHandledBeforeTheBytesAreRead) {
  Port->SetSyncMethod(smWindowSync);
  Port->SetEvents(TComEvents{evRing});
  Port->SetTriggersOnRxChar(false);
  LogAllEvents(*Port, Log);
  OpenAndWait();
  Log.Clear();
  Sim.Feed("COM7", "q");
  Sim.RaiseLineErrors("COM7", CE_FRAME_ | CE_OVERRUN_);
  Sim.ClearCalls();
  ASSERT_TRUE(Sim.CompleteWait("COM7", EV_RXCHAR_ | EV_ERR_));
  ASSERT_TRUE(Serve([&] { return Log.Contains("RxBuf:q"); }));
  EXPECT_EQ(Log.Entries(), (std::vector<std::string>{"Error:5", "RxBuf:q"}));
  Port->Close();
}

TEST_F(PortEvents, ReceivedCharacterWithAnEmptyQueueDoesNothing) {
  TComLink Link;
  LogAllSlots(Link, Log, "L", true);
  Port->AddLink(&Link);
  LogAllEvents(*Port, Log);
  Port->SetSyncMethod(smThreadSync);
  Port->SetEvents(TComEvents{evRxChar});
  OpenAndWait();
  Log.Clear();
  const size_t Before = WaitRequests();
  ASSERT_TRUE(Sim.CompleteWait("COM7", EV_RXCHAR_));
  // Under thread synchronisation the thread waits again only after the delivery finished.
  ASSERT_TRUE(Serve([&] { return WaitRequests() > Before && Sim.IsWaiting("COM7"); }));
  EXPECT_EQ(Log.Size(), 0u);
  EXPECT_TRUE(CallsNamed("ReadFile").empty());
  // Bits the port never asks for are ignored.
  ASSERT_TRUE(Sim.CompleteWait("COM7", EV_PERR_ | 0x0800 | 0x1000));
  ASSERT_TRUE(Serve([&] { return WaitRequests() > Before + 1 && Sim.IsWaiting("COM7"); }));
  EXPECT_EQ(Log.Size(), 0u);
  Port->Close();
  Port->RemoveLink(&Link);
}

TEST_F(PortEvents, ReceivingLinksShareOneReadAfterOnRxBufAndOnRxCharStaysSilent) {
  TComLink A, Plain, B;
  const void* BlockA = nullptr;
  const void* BlockB = nullptr;
  LogAllSlots(A, Log, "A");
  LogAllSlots(B, Log, "B");
  A.OnRxBuf = [&](TObject*, const void* Buf, int32_t N) {
    BlockA = Buf;
    Log.Add("A.RxBuf:" + std::string(static_cast<const char*>(Buf), static_cast<size_t>(N)));
  };
  B.OnRxBuf = [&](TObject*, const void* Buf, int32_t N) {
    BlockB = Buf;
    Log.Add("B.RxBuf:" + std::string(static_cast<const char*>(Buf), static_cast<size_t>(N)));
  };
  Port->AddLink(&A);
  Port->AddLink(&Plain);
  Port->AddLink(&B);
  LogAllEvents(*Port, Log);
  Port->SetSyncMethod(smWindowSync);
  Port->SetEvents(TComEvents{evRxChar});
  OpenAndWait();
  Log.Clear();
  Sim.Feed("COM7", "hello");
  ASSERT_TRUE(Serve([&] { return Log.Contains("B.RxBuf:hello"); }));
  EXPECT_EQ(Log.Entries(),
            (std::vector<std::string>{"A.RxBusy:1", "B.RxBusy:1", "A.RxBusy:0", "B.RxBusy:0",
                                      "RxBuf:hello", "A.RxBuf:hello", "B.RxBuf:hello"}));
  EXPECT_EQ(BlockA, BlockB);
  const auto Reads = CallsNamed("ReadFile");
  ASSERT_EQ(Reads.size(), 1u);
  EXPECT_EQ(Reads[0].Args.at(0), 5u);
  Port->Close();
  Port->RemoveLink(&B);
  Port->RemoveLink(&Plain);
  Port->RemoveLink(&A);
}

TEST_F(PortEvents, StoredFalseWithoutLinksReadsForOnRxBufOnly) {
  LogAllEvents(*Port, Log);
  Port->SetTriggersOnRxChar(false);
  Port->SetSyncMethod(smWindowSync);
  Port->SetEvents(TComEvents{evRxChar});
  OpenAndWait();
  Log.Clear();
  Sim.Feed("COM7", std::string("a\0b", 3));
  ASSERT_TRUE(Serve([&] { return Log.Size() >= 1; }));
  EXPECT_EQ(Log.Entries(), (std::vector<std::string>{"RxBuf:" + std::string("a\0b", 3)}));
  EXPECT_EQ(Sim.InputQueue("COM7"), 0u);
  Port->Close();
}

namespace {

// A device whose driver reports more waiting bytes than a read then delivers (bytes taken by
// a purge or lost between the count and the read).
class TOverCountingSim : public TSimComOS {
 public:
  std::atomic<uint32_t> Extra{0};
  bool ClearCommError(THandle Handle, uint32_t* Errors, TComStat* Stat) override {
    const bool Ok = TSimComOS::ClearCommError(Handle, Errors, Stat);
    if (Ok && Stat->cbInQue > 0) Stat->cbInQue += Extra;
    return Ok;
  }
};

}  // namespace

TEST_F(PortEvents, AShortReadDeliversOnlyTheBytesRead) {
  TOverCountingSim Over;
  Over.AddDevice("COM5");
  Over.Extra = 4;
  {
    TComPort P(nullptr);
    P.SetOS(&Over);
    P.SetPort_("COM5");
    P.SetSyncMethod(smWindowSync);
    P.SetEvents(TComEvents{evRxChar});
    TComLink A;
    std::vector<std::string> Got;
    A.OnRxBuf = [&](TObject*, const void* Buf, int32_t N) {
      Got.push_back("A:" + std::string(static_cast<const char*>(Buf), static_cast<size_t>(N)));
    };
    P.OnRxBuf = [&](TObject*, const void* Buf, int32_t N) {
      Got.push_back("P:" + std::string(static_cast<const char*>(Buf), static_cast<size_t>(N)));
    };
    P.OnRxChar = [&](TObject*, int32_t N) { Got.push_back("C:" + std::to_string(N)); };
    P.AddLink(&A);
    P.Open();
    Over.Feed("COM5", "abc");
    ASSERT_TRUE(Serve([&] { return Got.size() >= 2; }));
    EXPECT_EQ(Got, (std::vector<std::string>{"P:abc", "A:abc"}));
    P.Close();
    P.RemoveLink(&A);
  }
  EXPECT_EQ(Over.OpenHandles(), 0u);
}

TEST_F(PortEvents, AFailingHandlerUnderWindowSyncIsReportedAndDeliveryGoesOn) {
  TComLink A, B;
  int Calls = 0;
  A.OnRxBuf = [&](TObject*, const void*, int32_t) {
    if (++Calls == 1) throw Exception("slot failed");
  };
  B.OnRxBuf = [&](TObject*, const void* Buf, int32_t N) {
    Log.Add("B:" + std::string(static_cast<const char*>(Buf), static_cast<size_t>(N)));
  };
  Port->AddLink(&A);
  Port->AddLink(&B);
  Port->SetSyncMethod(smWindowSync);
  Port->SetEvents(TComEvents{evRxChar});
  OpenAndWait();
  Sim.Feed("COM7", "1");
  ASSERT_TRUE(Serve([&] { return !LoopReportsNow().empty(); }));
  EXPECT_EQ(LoopReportsNow().at(0), "slot failed");
  EXPECT_EQ(LoopSenders.at(0), Port.get());
  EXPECT_EQ(Log.Size(), 0u) << "the failing slot ended that delivery";
  Sim.Feed("COM7", "2");
  ASSERT_TRUE(Serve([&] { return Log.Contains("B:2"); }));
  Port->Close();
  Port->RemoveLink(&B);
  Port->RemoveLink(&A);
}

TEST_F(PortEvents, AFailingHandlerOnTheThreadEndsTheLoopAndIsReported) {
  for (TSyncMethod M : {smThreadSync, smNone}) {
    SCOPED_TRACE(SyncName(M));
    Sim.ClearCalls();
    {
      std::lock_guard<std::mutex> Lock(LoopLock);
      LoopReports.clear();
    }
    Port->SetSyncMethod(M);
    Port->SetEvents(TComEvents{evRxChar});
    Port->OnRxChar = [](TObject*, int32_t) { throw Exception("handler failed"); };
    OpenAndWait();
    Sim.Feed("COM7", "z");
    // The clean-up runs although an exception ended the loop; the failure reaches the report.
    ASSERT_TRUE(Serve([&] { return ThreadCleanedUp() && !LoopReportsNow().empty(); }));
    EXPECT_EQ(LoopReportsNow().at(0), "handler failed");
    EXPECT_EQ(CallsNamed("PurgeComm").size(), 1u);
    EXPECT_EQ(WaitRequests(), 1u) << "no further wait request";
    EXPECT_TRUE(Port->Connected());
    Port->Close();
    Port->OnRxChar = nullptr;
  }
}

// --- closing from inside a handler

TEST_F(PortEvents, CloseFromALinkUnderWindowSyncCompletesTheDeliveryInFlight) {
  TComLink A, B;
  A.OnRxBuf = [&](TObject*, const void*, int32_t) {
    Log.Add("A");
    Port->Close();
    Log.Add("A closed");
  };
  B.OnRxBuf = [&](TObject*, const void* Buf, int32_t N) {
    Log.Add("B:" + std::string(static_cast<const char*>(Buf), static_cast<size_t>(N)));
  };
  Port->AddLink(&A);
  Port->AddLink(&B);
  Port->OnBeforeClose = [&](TObject*) { Log.Add("BeforeClose"); };
  Port->OnAfterClose = [&](TObject*) { Log.Add("AfterClose"); };
  Port->OnTxEmpty = [&](TObject*) {
    Log.Add(Port->Connected() ? "TxEmpty open" : "TxEmpty closed");
  };
  Port->SetSyncMethod(smWindowSync);
  Port->SetEvents(TComEvents{evRing});
  OpenAndWait();
  Sim.Feed("COM7", "OK\r\n");
  // One set with two events: the second message is sent while the first one's work (the
  // close) runs, and is served inside the close's wait for the thread.
  ASSERT_TRUE(Sim.CompleteWait("COM7", EV_RXCHAR_ | EV_TXEMPTY_));
  ASSERT_TRUE(Serve([&] { return Log.Contains("B:OK\r\n"); }));
  EXPECT_EQ(Log.Entries(), (std::vector<std::string>{"A", "BeforeClose", "TxEmpty open",
                                                     "AfterClose", "A closed", "B:OK\r\n"}));
  EXPECT_FALSE(Port->Connected());
  EXPECT_FALSE(TComPortTestAccess::ThreadCreated(*Port));
  EXPECT_EQ(TComPortTestAccess::NotifyWindow(*Port), nullptr);
  EXPECT_FALSE(Sim.IsOpen("COM7"));
  // After the close nothing reaches a handler.
  Log.Clear();
  Sim.Feed("COM7", "late");
  TMainLoop::Instance().ProcessMessages();
  EXPECT_EQ(Log.Size(), 0u);
  Port->RemoveLink(&B);
  Port->RemoveLink(&A);
}

TEST_F(PortEvents, CloseFromAHandlerUnderThreadSyncDoesNotDeadlock) {
  Port->SetSyncMethod(smThreadSync);
  Port->SetEvents(TComEvents{evRing});
  Port->OnRxChar = [&](TObject*, int32_t) {
    Log.Add("RxChar");
    Port->Close();
    Log.Add("closed");
  };
  Port->OnTxEmpty = [&](TObject*) { Log.Add("TxEmpty"); };
  Port->OnAfterClose = [&](TObject*) { Log.Add("AfterClose"); };
  for (int Round = 0; Round < 3; ++Round) {
    SCOPED_TRACE(Round);
    Log.Clear();
    OpenAndWait();
    Sim.Feed("COM7", "k");
    ASSERT_TRUE(Sim.CompleteWait("COM7", EV_RXCHAR_ | EV_TXEMPTY_));
    ASSERT_TRUE(Serve([&] { return Log.Contains("closed"); }));
    EXPECT_EQ(Log.Entries(), (std::vector<std::string>{"RxChar", "AfterClose", "closed"}))
        << "after the close no further event of the set reaches a handler";
    EXPECT_FALSE(Port->Connected());
    EXPECT_FALSE(Sim.IsOpen("COM7"));
  }
  // The port can be opened again and still hears the line.
  Port->OnRxChar = [&](TObject*, int32_t N) { Log.Add("again:" + std::to_string(N)); };
  Port->SetEvents(TComEvents{evRxChar});
  OpenAndWait();
  // The closes from inside the deliveries left the bytes of each round in the simulated
  // driver (no purge after a detached stop); they are counted with the new ones.
  Sim.Feed("COM7", "mm");
  ASSERT_TRUE(Serve([&] { return Log.Contains("again:5"); }));
  Port->Close();
}

TEST_F(PortEvents, CloseFromAHandlerOnTheEventThreadDoesNotDeadlock) {
  Port->SetSyncMethod(smNone);
  Port->SetEvents(TComEvents{evRxChar});
  Port->OnRxChar = [&](TObject*, int32_t) {
    Port->Close();
    Log.Add("closed");
  };
  OpenAndWait();
  Sim.Feed("COM7", "k");
  ASSERT_TRUE(Sim.WaitUntil([&] { return Log.Contains("closed"); }, 10s));
  EXPECT_FALSE(Port->Connected());
  // The thread ends on its own; destroying the port joins it (the fixture checks handles).
}

// A handler may destroy the port from inside its own delivery, under every synchronisation:
// nothing waits for the thread that waits for it, nothing joins the thread it runs on, and the
// rest of the delivery (a link after the handler, the next event of the set) does not touch the
// destroyed port. The thread frees itself when it ends, closing its events.
TEST_F(PortEvents, DestroyingThePortFromItsOwnDeliveryNeitherHangsNorEndsTheProcess) {
  for (TSyncMethod M : {smThreadSync, smWindowSync, smNone}) {
    SCOPED_TRACE(SyncName(M));
    Log.Clear();
    if (!Port) {
      Port = std::make_unique<TComPort>(nullptr);
      Port->SetOS(&Sim);
      Port->SetPort_("COM7");
    }
    Port->SetSyncMethod(M);
    // Waiting for a ring only, so that the bytes fed below do not end the wait on their own:
    // the test ends it with two events at once.
    Port->SetEvents(TComEvents{evRing});
    TComLink After;
    After.OnRxBuf = [&](TObject*, const void*, int32_t) { Log.Add("link after the handler"); };
    Port->AddLink(&After);
    Port->OnRxBuf = [&](TObject*, const void*, int32_t) {
      // The handler is part of the port: after the destruction it uses only what it took out
      // of its own closure before.
      TCallLog& L = Log;
      Port.reset();
      L.Add("destroyed");
    };
    Port->OnTxEmpty = [&](TObject*) { Log.Add("next event"); };
    OpenAndWait();
    Sim.Feed("COM7", "k");
    ASSERT_TRUE(Sim.CompleteWait("COM7", EV_RXCHAR_ | EV_TXEMPTY_));
    ASSERT_TRUE(WaitFor(M, [&] { return Log.Contains("destroyed"); }));
    // Every handle of the port and of its thread closed: the thread has ended and freed itself.
    ASSERT_TRUE(WaitFor(M, [&] { return Sim.OpenHandles() == 0; }));
    // Under window synchronisation the close inside the destruction serves the delivery in
    // flight, as any close from a handler does; the link after the destroying handler never
    // hears a port that is gone.
    const std::vector<std::string> Expected =
        M == smWindowSync ? std::vector<std::string>{"next event", "destroyed"}
                          : std::vector<std::string>{"destroyed"};
    EXPECT_EQ(Log.Entries(), Expected);
  }
}

TEST_F(PortEvents, CloseOnTheMainThreadServesASynchronisedDeliveryInFlight) {
  Port->SetSyncMethod(smThreadSync);
  Port->SetEvents(TComEvents{evRxChar});
  Port->OnRxChar = [&](TObject*, int32_t) { Log.Add(Port->Connected() ? "open" : "closed"); };
  Port->OnBeforeClose = [&](TObject*) { Log.Add("BeforeClose"); };
  Port->OnAfterClose = [&](TObject*) { Log.Add("AfterClose"); };
  OpenAndWait();
  Sim.Feed("COM7", "v");
  // The thread has taken the event and is on its way into the synchronised call; the main
  // thread closes without serving its loop first.
  ASSERT_TRUE(Sim.WaitUntil([&] { return !CallsNamed("GetOverlappedResult").empty(); }, 10s));
  Port->Close();
  EXPECT_EQ(Log.Entries(), (std::vector<std::string>{"BeforeClose", "open", "AfterClose"}));
}

// --- devices that stop waiting

TEST_F(PortEvents, AVanishedDeviceEndsTheLoopWithoutSpinning) {
  CatchReports();
  Port->SetSyncMethod(smWindowSync);
  Port->SetEvents(TComEvents{evRxChar});
  OpenAndWait();
  Sim.Vanish("COM7");
  ASSERT_TRUE(Sim.WaitUntil([&] { return ThreadCleanedUp(); }, 10s));
  EXPECT_LE(WaitRequests(), 2u);
  EXPECT_LE(CallsNamed("WaitForMultipleObjects").size(), 2u);
  // Closing works; the purge failure goes to the handler.
  Port->Close();
  EXPECT_FALSE(Port->Connected());
  EXPECT_FALSE(TComPortTestAccess::ThreadCreated(*Port));
}

// A port that listens for errors learns that its device went as an event, not as an
// exception: OnError with [ceIO] once; the thread then ends without spinning.
TEST_F(PortEvents, AVanishedDeviceIsToldOnceAsAnIOErrorToAPortThatListensForErrors) {
  for (const TSyncMethod M : {smWindowSync, smThreadSync, smNone}) {
    Port->SetSyncMethod(M);
    Port->SetEvents(TComEvents{evRxChar, evError});
    LogAllEvents(*Port, Log);
    Sim.AddDevice("COM7");
    OpenAndWait();
    Log.Clear();
    Sim.ClearCalls();
    Sim.Vanish("COM7");
    ASSERT_TRUE(WaitFor(M, [&] { return Log.Contains("Error:16") && ThreadCleanedUp(); }))
        << SyncName(M);
    EXPECT_EQ(Log.Entries(), std::vector<std::string>{"Error:16"}) << SyncName(M);
    EXPECT_LE(WaitRequests(), 2u) << SyncName(M);
    EXPECT_TRUE(LoopReportsNow().empty()) << SyncName(M);
    try {
      Port->Close();
    } catch (const EComPort& E) {
      EXPECT_EQ(E.ErrorCode(), CE_PurgeFailed);
    }
    EXPECT_FALSE(Port->Connected());
    Log.Clear();
  }
}

TEST_F(PortEvents, ARefusedWaitRequestEndsTheLoop) {
  Port->SetEvents(TComEvents{evRxChar});
  Sim.FailCall("WaitCommEvent", SIM_ERROR_INVALID_PARAMETER, -1);
  Port->Open();
  ASSERT_TRUE(Sim.WaitUntil([&] { return ThreadCleanedUp(); }, 10s));
  EXPECT_EQ(WaitRequests(), 1u);
  Sim.ClearFailures();
  Port->Close();
}

TEST_F(PortEvents, AFailedCompletionSkipsOnePassAndRepeatedFailuresEndTheLoop) {
  Port->SetSyncMethod(smThreadSync);
  Port->SetEvents(TComEvents{evRxChar});
  Port->OnRxChar = [&](TObject*, int32_t N) { Log.Add("RxChar:" + std::to_string(N)); };
  OpenAndWait();
  Sim.FailCall("GetOverlappedResult", SIM_ERROR_OPERATION_ABORTED, 1);
  Sim.Feed("COM7", "a");
  ASSERT_TRUE(Sim.WaitUntil([&] { return WaitRequests() == 2 && Sim.IsWaiting("COM7"); }, 10s));
  EXPECT_EQ(Log.Size(), 0u) << "the failed pass delivered nothing";
  Sim.Feed("COM7", "b");
  ASSERT_TRUE(Serve([&] { return Log.Contains("RxChar:2"); }));

  Sim.FailCall("GetOverlappedResult", SIM_ERROR_OPERATION_ABORTED, -1);
  Sim.Feed("COM7", "c");
  ASSERT_TRUE(Serve([&] { return Sim.IsWaiting("COM7") || ThreadCleanedUp(); }));
  Sim.Feed("COM7", "d");
  ASSERT_TRUE(Sim.WaitUntil([&] { return ThreadCleanedUp(); }, 10s));
  const size_t Requests = WaitRequests();
  EXPECT_LE(Requests, 5u);
  Sim.ClearFailures();
  Port->Close();
  EXPECT_EQ(Log.Entries(), (std::vector<std::string>{"RxChar:2"}));
}

// Win32 completes the wait that SetCommMask(0) cancels on its own time, and not at all while
// SetCommMask fails; only the close of the device then ends it. Its record must outlive it.
TEST_F(PortEvents, AWaitTheMaskCouldNotCancelIsFreedOnlyOnceTheDeviceIsClosed) {
  Port->SetEvents(TComEvents{evRxChar});
  OpenAndWait();
  Sim.FailCall("SetCommMask", SIM_ERROR_BAD_COMMAND);
  Sim.ClearCalls();
  Port->Close();
  EXPECT_EQ(Sim.Misuses(), std::vector<std::string>{});
  // The record's event is the last handle closed, after the device's close ended the wait.
  const auto Closes = CallsNamed("CloseHandle");
  ASSERT_FALSE(Closes.empty());
  EXPECT_EQ(Closes.back().Args, std::vector<uint32_t>{0u}) << "an event";
  bool DeviceFirst = false;
  for (size_t I = 0; I + 1 < Closes.size(); ++I)
    DeviceFirst = DeviceFirst || Closes[I].Args == std::vector<uint32_t>{1u};
  EXPECT_TRUE(DeviceFirst);
}

TEST_F(PortEvents, AWaitCancelledTooLateIsFreedOnlyOnceTheDeviceIsClosed) {
  Port->SetEvents(TComEvents{evRxChar});
  Sim.DeferCancelledWaits("COM7", true);  // completes only when the device closes
  OpenAndWait();
  Port->Close();  // the thread gives up waiting for it after its bound
  EXPECT_EQ(Sim.Misuses(), std::vector<std::string>{});
  EXPECT_FALSE(Port->Connected());
}

TEST_F(PortEvents, TheWindowIgnoresUnknownMessagesAndValues) {
  LogAllEvents(*Port, Log);
  Port->SetSyncMethod(smWindowSync);
  Port->SetEvents(TComEvents{evRxChar});
  OpenAndWait();
  Log.Clear();
  Sim.ClearCalls();
  ASSERT_NE(TComPortTestAccess::NotifyWindow(*Port), nullptr);
  EXPECT_EQ(TComPortTestAccess::NotifyWindow(*Port)->SendMessage_(CM_COMPORT, EV_PERR_, 0), 0);
  EXPECT_EQ(TComPortTestAccess::NotifyWindow(*Port)->SendMessage_(CM_COMPORT, 3, 0), 0);
  EXPECT_EQ(TComPortTestAccess::NotifyWindow(*Port)->SendMessage_(WM_USER_ + 7, EV_RING_, 0), 0);
  EXPECT_EQ(Log.Size(), 0u);
  // A known value does the event's work, here on the calling (main) thread.
  EXPECT_EQ(TComPortTestAccess::NotifyWindow(*Port)->SendMessage_(CM_COMPORT, EV_RING_, 0), 0);
  EXPECT_EQ(Log.Entries(), (std::vector<std::string>{"Ring"}));
  Port->Close();
}

TEST(PortMasks, EventsAndMasksConvertBothWays) {
  EXPECT_EQ(EventsToMask(TComEvents{}), 0u);
  EXPECT_EQ(EventsToMask(AllComEvents()), kAllEventBits);
  const std::pair<TComEvent, uint32_t> Table[] = {
      {evRxChar, 0x0001}, {evTxEmpty, 0x0004}, {evRxFlag, 0x0002}, {evRing, 0x0100},
      {evBreak, 0x0040},  {evCTS, 0x0008},     {evDSR, 0x0010},    {evError, 0x0080},
      {evRLSD, 0x0020},   {evRx80Full, 0x0400}};
  for (const auto& [Event, Mask] : Table) {
    EXPECT_EQ(EventsToMask(TComEvents{Event}), Mask) << int(Event);
    EXPECT_EQ(MaskToEvents(Mask), TComEvents{Event}) << int(Event);
  }
  EXPECT_EQ(MaskToEvents(0x0200 | 0x0800 | 0x1000 | 0xFFFF0000u), TComEvents{});
  EXPECT_EQ(MaskToEvents(kAllEventBits | 0x0200), AllComEvents());
}

}  // namespace comfind
