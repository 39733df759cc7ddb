// The main-thread loop: sends, synchronised calls, posts, timers, waiting for threads, the
// external-loop hook and the exception report.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "framework/MainLoop.h"

namespace comfind {

namespace {

using namespace std::chrono_literals;
using TClock = std::chrono::steady_clock;

// Upper bound for anything that should happen promptly; only a hang gets near it.
constexpr auto kDeadline = std::chrono::milliseconds(10000);

TMainLoop& Loop() {
  return TMainLoop::Instance();
}

// A one-shot signal between threads that does not go through the loop.
class TSignal {
 public:
  void Set() {
    std::lock_guard<std::mutex> Lock(FLock);
    FSet = true;
    FChanged.notify_all();
  }
  bool IsSet() {
    std::lock_guard<std::mutex> Lock(FLock);
    return FSet;
  }
  bool WaitFor(std::chrono::milliseconds Timeout) {
    std::unique_lock<std::mutex> Lock(FLock);
    return FChanged.wait_for(Lock, Timeout, [&] { return FSet; });
  }

 private:
  std::mutex FLock;
  std::condition_variable FChanged;
  bool FSet = false;
};

// A thread whose body is a function; it waits for its body in its own destructor, as every
// derived thread must.
class TLambdaThread : public TThread {
 public:
  explicit TLambdaThread(std::function<void(TLambdaThread&)> Body) : FBody(std::move(Body)) {}
  ~TLambdaThread() override { WaitFor(); }
  using TThread::Synchronize;

 protected:
  void Execute() override { FBody(*this); }

 private:
  std::function<void(TLambdaThread&)> FBody;
};

class MainLoopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Loop().AttachMainThread();
    Loop().ResetTerminated();
  }
  void TearDown() override {
    Loop().SetWakeHook(nullptr);
    Loop().SetExceptionHandler(nullptr);
    Loop().ProcessMessages();
    Loop().ResetTerminated();
  }
};

// --- sent messages

TEST_F(MainLoopTest, ReplyMessageReleasesTheSenderWhileTheProcedureGoesOn) {
  TSignal WorkerReturned;
  std::atomic<intptr_t> Answer{-1};
  std::thread::id ProcThread;
  TMessage Seen;
  bool InSendBefore = false, InSendAfter = true, ReleasedWhileWorking = false, ProcDone = false;
  TMessageWindow Window([&](TMessage& M) {
    ProcThread = std::this_thread::get_id();
    Seen = M;
    InSendBefore = InSendMessage_();
    ReplyMessage_(7);
    InSendAfter = InSendMessage_();
    ReplyMessage_(8);  // only the first reply counts
    // The sender must be running again while the main thread is still in here.
    ReleasedWhileWorking = WorkerReturned.WaitFor(kDeadline);
    M.Result = 99;  // too late to matter
    ProcDone = true;
  });
  std::thread Worker([&] {
    Answer = Window.SendMessage_(WM_USER_ + 1, 4, -5);
    WorkerReturned.Set();
  });
  ASSERT_TRUE(Loop().ProcessUntil([&] { return ProcDone; }, kDeadline));
  Worker.join();
  EXPECT_TRUE(ReleasedWhileWorking);
  EXPECT_EQ(Answer, 7);
  EXPECT_EQ(ProcThread, std::this_thread::get_id());
  EXPECT_EQ(Seen.Msg, WM_USER_ + 1);
  EXPECT_EQ(Seen.WParam, 4u);
  EXPECT_EQ(Seen.LParam, -5);
  EXPECT_TRUE(InSendBefore);
  EXPECT_FALSE(InSendAfter);
  EXPECT_FALSE(InSendMessage_());
}

TEST_F(MainLoopTest, WithoutReplyTheSenderWaitsForTheProcedureAndGetsItsResult) {
  std::atomic<bool> WorkerReturned{false};
  bool ReturnedBeforeProcEnded = true;
  std::atomic<intptr_t> Answer{-1};
  TMessageWindow Window([&](TMessage& M) {
    M.Result = static_cast<intptr_t>(M.WParam) * 2;
    ReturnedBeforeProcEnded = WorkerReturned;
  });
  std::thread Worker([&] {
    Answer = Window.SendMessage_(WM_USER_, 21, 0);
    WorkerReturned = true;
    Loop().Wake();
  });
  ASSERT_TRUE(Loop().ProcessUntil([&] { return WorkerReturned.load(); }, kDeadline));
  Worker.join();
  EXPECT_EQ(Answer, 42);
  EXPECT_FALSE(ReturnedBeforeProcEnded);

  // On the main thread the procedure is called directly, not as a message from elsewhere.
  bool InSend = true;
  TMessageWindow Direct([&](TMessage& M) {
    InSend = InSendMessage_();
    M.Result = DefWindowProc_(M) + 5;
  });
  EXPECT_EQ(Direct.SendMessage_(WM_USER_, 0, 0), 5);
  EXPECT_FALSE(InSend);
}

TEST_F(MainLoopTest, PostedMessagesAndCallsRunInOrderAndAreNotSends) {
  std::vector<std::string> Order;
  TMessageWindow Window([&](TMessage& M) {
    Order.push_back("msg" + std::to_string(M.WParam) + (InSendMessage_() ? " sent" : ""));
    M.Result = 1;
  });
  Loop().Post([&] { Order.push_back("call1"); });
  Window.PostMessage_(WM_USER_, 1, 0);
  std::thread Worker([&] {
    Window.PostMessage_(WM_USER_, 2, 0);
    Loop().Post([&] { Order.push_back("call2"); });
  });
  Worker.join();
  Loop().Post([&] { Order.push_back("call3"); });
  EXPECT_TRUE(Order.empty());  // nothing runs before the loop is served
  Loop().ProcessMessages();
  EXPECT_EQ(Order, (std::vector<std::string>{"call1", "msg1", "msg2", "call2", "call3"}));

  // Work that posts more work is served one round at a time, so a round always ends.
  int Rounds = 0;
  std::function<void()> Again = [&] {
    ++Rounds;
    Loop().Post(Again);
  };
  Loop().Post(Again);
  Loop().ProcessMessages();
  EXPECT_EQ(Rounds, 1);
  Loop().ProcessMessages();
  EXPECT_EQ(Rounds, 2);
  // Leave nothing behind that refers to this test's locals.
  Loop().Post([&] { Again = [] {}; });
  Loop().ProcessMessages();
  Loop().ProcessMessages();
}

TEST_F(MainLoopTest, ExceptionInAProcedureIsReportedAndTheSenderIsReleased) {
  std::vector<std::string> Reports;
  TObject Marker;
  TObject* ReportSender = &Marker;
  Loop().SetExceptionHandler([&](TObject* Sender, std::exception_ptr E) {
    ReportSender = Sender;
    try {
      std::rethrow_exception(E);
    } catch (const Exception& Error) {
      Reports.push_back(Error.Message());
    }
  });
  int Calls = 0;
  TMessageWindow Window([&](TMessage& M) {
    ++Calls;
    M.Result = 5;
    if (M.WParam == 1) throw Exception("bad message");
  });
  std::atomic<intptr_t> First{-1}, Second{-1};
  std::atomic<bool> Done{false};
  std::thread Worker([&] {
    First = Window.SendMessage_(WM_USER_, 1, 0);
    Second = Window.SendMessage_(WM_USER_, 2, 0);
    Done = true;
    Loop().Wake();
  });
  ASSERT_TRUE(Loop().ProcessUntil([&] { return Done.load(); }, kDeadline));
  Worker.join();
  EXPECT_EQ(First, 5);
  EXPECT_EQ(Second, 5);  // the loop went on
  EXPECT_EQ(Calls, 2);
  EXPECT_EQ(Reports, (std::vector<std::string>{"bad message"}));
  EXPECT_EQ(ReportSender, nullptr);
}

TEST_F(MainLoopTest, DestroyingAWindowAnswersItsQueuedMessagesWithZero) {
  std::atomic<int> ProcCalls{0};
  auto Window = std::make_unique<TMessageWindow>([&](TMessage& M) {
    ++ProcCalls;
    M.Result = 1;
  });
  TMessageWindow* Target = Window.get();
  Target->PostMessage_(WM_USER_, 0, 0);
  TSignal Queued;
  Loop().SetWakeHook([&] { Queued.Set(); });
  std::atomic<intptr_t> Result{-1};
  TSignal Returned;
  std::thread Worker([&] {
    Result = Target->SendMessage_(WM_USER_, 0, 0);
    Returned.Set();
  });
  ASSERT_TRUE(Queued.WaitFor(kDeadline));  // the send is in the queue, nobody serves it
  Window.reset();
  ASSERT_TRUE(Returned.WaitFor(kDeadline));
  Worker.join();
  EXPECT_EQ(Result, 0);
  Loop().ProcessMessages();  // the posted message went with the window
  EXPECT_EQ(ProcCalls, 0);
}

TEST_F(MainLoopTest, AProcedureMayDestroyItsOwnWindow) {
  std::unique_ptr<TMessageWindow> Window;
  std::string Captured = "still here";
  std::string SeenAfter;
  Window = std::make_unique<TMessageWindow>([&, Captured](TMessage&) {
    Window.reset();
    SeenAfter = Captured;  // the procedure's own state outlives the window
  });
  TMessageWindow* Target = Window.get();
  std::atomic<bool> Done{false};
  std::thread Worker([&] {
    Target->SendMessage_(WM_USER_, 0, 0);
    Done = true;
    Loop().Wake();
  });
  ASSERT_TRUE(Loop().ProcessUntil([&] { return Done.load(); }, kDeadline));
  Worker.join();
  EXPECT_TRUE(Window == nullptr);
  EXPECT_EQ(SeenAfter, "still here");
}

// --- synchronised calls and threads

TEST_F(MainLoopTest, SynchronizeRunsOnTheMainThreadAndRaisesItsExceptionInTheWorker) {
  const auto MainId = std::this_thread::get_id();
  std::thread::id RanOn;
  std::string Caught;
  bool WorkerIsMain = true;
  TLambdaThread Thread([&](TLambdaThread& Self) {
    WorkerIsMain = Loop().IsMainThread();
    Self.Synchronize([&] { RanOn = std::this_thread::get_id(); });
    try {
      Self.Synchronize([] { throw EConvertError("sync failed"); });
    } catch (const EConvertError& E) {
      Caught = E.Message();
    }
  });
  Thread.Start();
  ASSERT_TRUE(Loop().ProcessUntil([&] { return Thread.Finished(); }, kDeadline));
  Thread.WaitFor();
  EXPECT_FALSE(WorkerIsMain);
  EXPECT_TRUE(Loop().IsMainThread());
  EXPECT_EQ(RanOn, MainId);
  EXPECT_EQ(Caught, "sync failed");
  EXPECT_EQ(Thread.FatalException(), nullptr);

  // On the main thread it simply runs, exceptions and all.
  bool Ran = false;
  Loop().Synchronize([&] { Ran = true; });
  EXPECT_TRUE(Ran);
  EXPECT_THROW(Loop().Synchronize([] { throw Exception("direct"); }), Exception);
}

TEST_F(MainLoopTest, ThreadLifecycleKeepsTheBodysExceptionAndJoinsExactlyOnce) {
  TLambdaThread Failing([](TLambdaThread&) { throw Exception("body failed"); });
  EXPECT_FALSE(Failing.Started());
  Failing.WaitFor();  // never started: nothing to wait for
  Failing.Start();
  EXPECT_TRUE(Failing.Started());
  EXPECT_THROW(Failing.Start(), Exception);
  Failing.WaitFor();
  Failing.WaitFor();
  EXPECT_TRUE(Failing.Finished());
  ASSERT_NE(Failing.FatalException(), nullptr);
  try {
    std::rethrow_exception(Failing.FatalException());
  } catch (const Exception& E) {
    EXPECT_EQ(E.Message(), "body failed");
  }

  // A finished thread that nobody waited for is joined by the base destructor (otherwise the
  // process would end in std::terminate).
  struct TOneShot : TThread {
    std::atomic<int>* Runs;
    explicit TOneShot(std::atomic<int>* ARuns) : Runs(ARuns) {}
    void Execute() override { ++*Runs; }
  };
  std::atomic<int> Runs{0};
  auto OneShot = std::make_unique<TOneShot>(&Runs);
  OneShot->Start();
  ASSERT_TRUE(Loop().ProcessUntil([&] { return OneShot->Finished(); }, kDeadline));
  OneShot.reset();
  EXPECT_EQ(Runs, 1);

  TLambdaThread Terminated([](TLambdaThread& Self) { EXPECT_TRUE(Self.Terminated()); });
  Terminated.Terminate();
  Terminated.Start();
  Terminated.WaitFor();
  EXPECT_TRUE(Terminated.Finished());
}

TEST_F(MainLoopTest, WaitForServesSendsAndSynchronisedCallsButNotPosts) {
  int ProcCalls = 0;
  bool ProcInSend = false;
  TMessageWindow Window([&](TMessage& M) {
    ++ProcCalls;
    ProcInSend = InSendMessage_();
    M.Result = 11;
  });
  bool Posted = false, Synced = false;
  intptr_t Result = 0;
  TLambdaThread Thread([&](TLambdaThread& Self) {
    Loop().Post([&] { Posted = true; });
    // Both block this thread until the main thread serves them; the main thread is inside
    // WaitFor and nowhere else.
    Result = Window.SendMessage_(WM_USER_ + 1, 0, 0);
    Self.Synchronize([&] { Synced = true; });
  });
  Thread.Start();
  Thread.WaitFor();
  EXPECT_TRUE(Thread.Finished());
  EXPECT_EQ(ProcCalls, 1);
  EXPECT_TRUE(ProcInSend);
  EXPECT_EQ(Result, 11);
  EXPECT_TRUE(Synced);
  EXPECT_FALSE(Posted);  // a post may run code that does not expect to run inside a close
  Loop().ProcessMessages();
  EXPECT_TRUE(Posted);
}

// The port's close from inside an event handler: the handler replies, then waits for the
// event thread, whose next delivery is already on its way.
TEST_F(MainLoopTest, WaitingForTheSenderFromInsideItsOwnMessageCompletesTheNextDelivery) {
  std::vector<std::string> Log;
  std::unique_ptr<TLambdaThread> Thread;
  TMessageWindow Window([&](TMessage& M) {
    if (M.WParam == 1) {
      ReplyMessage_(0);
      Log.push_back("1 begin");
      Thread->Terminate();
      Thread->WaitFor();
      Log.push_back("1 end");
    } else {
      Log.push_back(std::to_string(M.WParam) + (InSendMessage_() ? " sent" : " direct"));
    }
  });
  Thread = std::make_unique<TLambdaThread>([&](TLambdaThread& Self) {
    Window.SendMessage_(WM_USER_ + 1, 1, 0);
    Window.SendMessage_(WM_USER_ + 1, 2, 0);
    Self.Synchronize([&] { Log.push_back("sync"); });
  });
  Thread->Start();
  ASSERT_TRUE(
      Loop().ProcessUntil([&] { return Thread->Finished() && Log.size() == 4; }, kDeadline));
  EXPECT_EQ(Log, (std::vector<std::string>{"1 begin", "2 sent", "sync", "1 end"}));
  Thread.reset();
}

// --- timers

TEST_F(MainLoopTest, TimerTicksEveryIntervalOnTheMainThreadAndNeverEarly) {
  TTimer Timer(nullptr);
  Timer.SetEnabled(false);
  Timer.SetInterval(20);
  int Ticks = 0;
  bool OnMain = true;
  Timer.OnTimer = [&](TObject* Sender) {
    EXPECT_EQ(Sender, &Timer);
    OnMain = OnMain && Loop().IsMainThread();
    ++Ticks;
  };
  const auto Start = TClock::now();
  Timer.SetEnabled(true);
  ASSERT_TRUE(Loop().ProcessUntil([&] { return Ticks >= 3; }, kDeadline));
  EXPECT_GE(TClock::now() - Start, 60ms);
  EXPECT_TRUE(OnMain);
}

TEST_F(MainLoopTest, DisablingInsideTheTickStopsTheTimer) {
  TTimer Timer(nullptr);
  Timer.SetInterval(5);
  int Ticks = 0;
  Timer.OnTimer = [&](TObject*) {
    ++Ticks;
    Timer.SetEnabled(false);
  };
  ASSERT_TRUE(Loop().ProcessUntil([&] { return Ticks == 1; }, kDeadline));
  EXPECT_EQ(Loop().ProcessPending(), -1ms);  // nothing scheduled any more
  // A second timer measures the time in which the first would have ticked many times.
  TTimer Clock(nullptr);
  Clock.SetInterval(10);
  int ClockTicks = 0;
  Clock.OnTimer = [&](TObject*) { ++ClockTicks; };
  ASSERT_TRUE(Loop().ProcessUntil([&] { return ClockTicks >= 5; }, kDeadline));
  EXPECT_EQ(Ticks, 1);
}

TEST_F(MainLoopTest, EnablingOrChangingTheIntervalStartsAFreshInterval) {
  TTimer Timer(nullptr);
  Timer.SetInterval(400);
  Timer.OnTimer = [](TObject*) {};
  // Let some of the interval pass, measured by another timer that stops itself.
  TTimer Half(nullptr);
  Half.SetInterval(200);
  bool HalfDone = false;
  Half.OnTimer = [&](TObject*) {
    HalfDone = true;
    Half.SetEnabled(false);
  };
  ASSERT_TRUE(Loop().ProcessUntil([&] { return HalfDone; }, kDeadline));
  Timer.SetEnabled(false);
  EXPECT_EQ(Loop().ProcessPending(), -1ms);
  Timer.SetEnabled(true);
  auto Left = Loop().ProcessPending();
  EXPECT_GT(Left, 300ms);
  EXPECT_LE(Left, 400ms);
  Timer.SetInterval(1000);
  Left = Loop().ProcessPending();
  EXPECT_GT(Left, 900ms);
  EXPECT_LE(Left, 1000ms);
  Timer.SetInterval(0);  // no interval, no ticks
  EXPECT_EQ(Loop().ProcessPending(), -1ms);
}

TEST_F(MainLoopTest, DestroyedTimersNeverTickAndTickExceptionsAreReported) {
  auto* A = new TTimer(nullptr);
  auto* B = new TTimer(nullptr);
  A->SetInterval(1);
  B->SetInterval(1);
  int Ticks = 0;
  // Whichever ticks first destroys the other, possibly when both are already due.
  A->OnTimer = [&](TObject*) {
    ++Ticks;
    delete B;
    B = nullptr;
    A->SetEnabled(false);
  };
  B->OnTimer = [&](TObject*) {
    ++Ticks;
    delete A;
    A = nullptr;
    B->SetEnabled(false);
  };
  ASSERT_TRUE(Loop().ProcessUntil([&] { return Ticks >= 1; }, kDeadline));
  EXPECT_EQ(Loop().ProcessPending(), -1ms);
  delete A;
  delete B;

  // A tick may destroy its own timer.
  auto* Self = new TTimer(nullptr);
  Self->SetInterval(1);
  int SelfTicks = 0;
  Self->OnTimer = [&](TObject* Sender) {
    delete static_cast<TTimer*>(Sender);
    ++SelfTicks;  // the handler's captures are still there
  };
  ASSERT_TRUE(Loop().ProcessUntil([&] { return SelfTicks == 1; }, kDeadline));
  EXPECT_EQ(Loop().ProcessPending(), -1ms);

  // A timer owned by A component goes with its owner.
  auto* Owner = new TDataModule(nullptr);
  auto* Owned = new TTimer(Owner);
  Owned->SetInterval(1);
  delete Owner;
  EXPECT_EQ(Loop().ProcessPending(), -1ms);

  // A tick that raises goes to the report and the timer keeps ticking.
  std::vector<TObject*> Senders;
  Loop().SetExceptionHandler(
      [&](TObject* Sender, std::exception_ptr) { Senders.push_back(Sender); });
  TTimer Failing(nullptr);
  Failing.SetInterval(2);
  Failing.OnTimer = [](TObject*) { throw Exception("tick failed"); };
  ASSERT_TRUE(Loop().ProcessUntil([&] { return Senders.size() >= 3; }, kDeadline));
  EXPECT_EQ(Senders[0], &Failing);
  EXPECT_EQ(Ticks, 1);
}

// --- driving the loop

TEST_F(MainLoopTest, RunSleepsUntilWorkArrivesAndEndsOnTerminate) {
  const auto MainId = std::this_thread::get_id();
  std::vector<int> Order;
  std::thread::id RanOn;
  TSignal StopWatchdog;
  std::thread Watchdog([&] {
    // Only a hang reaches this; it ends Run so that the test fails instead of hanging.
    if (!StopWatchdog.WaitFor(kDeadline)) Loop().Terminate();
  });
  std::thread Worker([&] {
    Loop().Post([&] { Order.push_back(1); });
    Loop().Post([&] {
      Order.push_back(2);
      RanOn = std::this_thread::get_id();
      Loop().Terminate();
    });
  });
  Loop().Run();
  StopWatchdog.Set();
  Watchdog.join();
  Worker.join();
  EXPECT_TRUE(Loop().Terminated());
  EXPECT_EQ(Order, (std::vector<int>{1, 2}));
  EXPECT_EQ(RanOn, MainId);

  // The main thread's operations refuse to run anywhere else.
  bool Refused = false;
  std::thread Stranger([&] {
    try {
      Loop().ProcessMessages();
    } catch (const Exception&) {
      Refused = true;
    }
  });
  Stranger.join();
  EXPECT_TRUE(Refused);
}

TEST_F(MainLoopTest, AnExternalLoopDrivenByTheWakeHookServesWorkAndTimers) {
  const auto MainId = std::this_thread::get_id();
  std::mutex Lock;
  std::condition_variable Woken;
  uint64_t Wakes = 0;
  std::atomic<bool> HookFromWorker{false};
  Loop().SetWakeHook([&] {
    if (std::this_thread::get_id() != MainId) HookFromWorker = true;
    std::lock_guard<std::mutex> Guard(Lock);
    ++Wakes;
    Woken.notify_all();
  });
  EXPECT_EQ(Loop().ProcessPending(), -1ms);

  std::vector<int> Served;
  bool Synced = false;
  TTimer Timer(nullptr);
  Timer.SetInterval(15);
  int Ticks = 0;
  Timer.OnTimer = [&](TObject*) { ++Ticks; };
  TLambdaThread Thread([&](TLambdaThread& Self) {
    for (int I = 0; I < 3; ++I)
      Loop().Post([&, I] { Served.push_back(I); });
    Self.Synchronize([&] { Synced = true; });
  });
  Thread.Start();

  // A stand-in for another toolkit's loop: sleep until the hook or the returned deadline.
  const auto Deadline = TClock::now() + kDeadline;
  for (;;) {
    uint64_t Seen;
    {
      std::lock_guard<std::mutex> Guard(Lock);
      Seen = Wakes;
    }
    const auto Next = Loop().ProcessPending();
    if ((Served.size() == 3 && Synced && Ticks >= 3) || TClock::now() > Deadline) break;
    ASSERT_NE(Next, -1ms);  // the timer is enabled
    std::unique_lock<std::mutex> Guard(Lock);
    Woken.wait_for(Guard, Next, [&] { return Wakes != Seen; });
  }
  Thread.WaitFor();
  EXPECT_EQ(Served, (std::vector<int>{0, 1, 2}));
  EXPECT_TRUE(Synced);
  EXPECT_GE(Ticks, 3);
  EXPECT_TRUE(HookFromWorker);
  const auto Next = Loop().ProcessPending();
  EXPECT_GE(Next, 0ms);
  EXPECT_LE(Next, 15ms);
}

TEST_F(MainLoopTest, ClearingTheWakeHookWaitsForACallUnderWay) {
  TSignal Entered, Release;
  std::atomic<bool> HookFinished{false};
  Loop().SetWakeHook([&] {
    if (Loop().IsMainThread()) return;
    Entered.Set();
    Release.WaitFor(kDeadline);
    HookFinished = true;
  });
  std::thread Worker([] { Loop().Post([] {}); });
  ASSERT_TRUE(Entered.WaitFor(kDeadline));
  std::thread Releaser([&] { Release.Set(); });
  Loop().SetWakeHook(nullptr);  // the hook's owner could go away after this
  EXPECT_TRUE(HookFinished);
  Releaser.join();
  Worker.join();
}

// --- the idle wait another layer offers

// A stand-in for the serial ports' wait: sleeps on a condition variable until woken or until
// a source it serves is made ready, and counts what the loop asks of it.
class TFakeIdleWait : public TIdleWait {
 public:
  bool Sleep(TClock::time_point Until, bool UseUntil) override {
    std::function<void()> Work;
    {
      std::lock_guard<std::mutex> Lock(FLock);
      if (FIdle) return false;
    }
    {
      std::unique_lock<std::mutex> Lock(FLock);
      ++FSleeps;
      FAsleep = true;
      FChanged.notify_all();
      auto Due = [&] { return FWoken || static_cast<bool>(FSource); };
      if (UseUntil)
        FChanged.wait_until(Lock, Until, Due);
      else
        FChanged.wait(Lock, Due);
      FAsleep = false;
      FWoken = false;
      Work = std::move(FSource);
      FSource = nullptr;
    }
    if (Work) Work();
    return true;
  }
  void Wake() override {
    std::lock_guard<std::mutex> Lock(FLock);
    ++FWakes;
    FWoken = true;
    FChanged.notify_all();
  }
  void Handover(bool External) override {
    std::lock_guard<std::mutex> Lock(FLock);
    FHandovers.push_back(External);
  }
  // Without sources, Sleep declines and the loop sleeps on its own.
  void SetIdle(bool Idle) {
    std::lock_guard<std::mutex> Lock(FLock);
    FIdle = Idle;
  }
  // A source becomes ready: Sleep runs Work on the main thread.
  void Ready(std::function<void()> Work) {
    std::lock_guard<std::mutex> Lock(FLock);
    FSource = std::move(Work);
    FChanged.notify_all();
  }
  // Until the loop sleeps in it for the Count-th time.
  bool WaitAsleep(int Count = 1) {
    std::unique_lock<std::mutex> Lock(FLock);
    return FChanged.wait_for(Lock, kDeadline, [&] { return FAsleep && FSleeps >= Count; });
  }
  int Sleeps() {
    std::lock_guard<std::mutex> Lock(FLock);
    return FSleeps;
  }
  int Wakes() {
    std::lock_guard<std::mutex> Lock(FLock);
    return FWakes;
  }
  std::vector<bool> Handovers() {
    std::lock_guard<std::mutex> Lock(FLock);
    return FHandovers;
  }

 private:
  std::mutex FLock;
  std::condition_variable FChanged;
  bool FAsleep = false;
  bool FWoken = false;
  bool FIdle = false;
  int FSleeps = 0;
  int FWakes = 0;
  std::function<void()> FSource;
  std::vector<bool> FHandovers;
};

class IdleWaitTest : public MainLoopTest {
 protected:
  void TearDown() override {
    Loop().RemoveIdleWait(Wait.get());
    MainLoopTest::TearDown();
  }
  std::shared_ptr<TFakeIdleWait> Wait = std::make_shared<TFakeIdleWait>();
};

TEST_F(IdleWaitTest, TheLoopSleepsInItAndWorkFromAnyThreadWakesIt) {
  ASSERT_TRUE(Loop().InstallIdleWait(Wait));
  EXPECT_TRUE(Loop().InstallIdleWait(Wait)) << "installing the same one again is no conflict";
  EXPECT_FALSE(Loop().InstallIdleWait(std::make_shared<TFakeIdleWait>()));
  std::vector<std::string> Log;
  std::thread Worker([&] {
    ASSERT_TRUE(Wait->WaitAsleep(1));
    Loop().Post([&] { Log.push_back("posted"); });
    // Asleep again: the post has been served.
    ASSERT_TRUE(Wait->WaitAsleep(2));
    Loop().Terminate();
  });
  Loop().Run();
  Worker.join();
  EXPECT_EQ(Log, (std::vector<std::string>{"posted"}));
  EXPECT_GE(Wait->Sleeps(), 2);
  EXPECT_GE(Wait->Wakes(), 2);
}

TEST_F(IdleWaitTest, ItsSourcesAreServedOnTheMainThreadInsideTheLoop) {
  ASSERT_TRUE(Loop().InstallIdleWait(Wait));
  const auto MainId = std::this_thread::get_id();
  std::atomic<bool> OnMain{false};
  std::thread Worker([&] {
    ASSERT_TRUE(Wait->WaitAsleep());
    Wait->Ready([&] { OnMain = std::this_thread::get_id() == MainId; });
  });
  EXPECT_TRUE(Loop().ProcessUntil([&] { return OnMain.load(); }, kDeadline));
  Worker.join();
}

TEST_F(IdleWaitTest, RemovingItWakesItAndTheLoopSleepsOnItsOwnAgain) {
  ASSERT_TRUE(Loop().InstallIdleWait(Wait));
  std::atomic<bool> Done{false};
  std::thread Worker([&] {
    ASSERT_TRUE(Wait->WaitAsleep());
    Loop().RemoveIdleWait(Wait.get());
    // From now on the fake is never slept in again, so only the loop's own sleep can hear this.
    Loop().Post([&] { Done = true; });
  });
  EXPECT_TRUE(Loop().ProcessUntil([&] { return Done.load(); }, kDeadline));
  Worker.join();
  const int Sleeps = Wait->Sleeps();
  Loop().ProcessMessagesFor(5ms);
  EXPECT_EQ(Wait->Sleeps(), Sleeps);
  EXPECT_TRUE(Loop().InstallIdleWait(Wait)) << "the place is free again";
}

TEST_F(IdleWaitTest, WithNothingToWaitForItDeclinesAndTheLoopSleepsOnItsOwn) {
  ASSERT_TRUE(Loop().InstallIdleWait(Wait));
  Wait->SetIdle(true);
  std::atomic<bool> Done{false};
  std::thread Worker([&] {
    std::this_thread::yield();
    Loop().Post([&] { Done = true; });
  });
  EXPECT_TRUE(Loop().ProcessUntil([&] { return Done.load(); }, kDeadline));
  Worker.join();
  EXPECT_EQ(Wait->Sleeps(), 0);
}

TEST_F(IdleWaitTest, AnExternalLoopTakesItsPlaceAndItIsToldSo) {
  ASSERT_TRUE(Loop().InstallIdleWait(Wait));
  EXPECT_TRUE(Loop().SelfDriven());
  Loop().SetWakeHook([] {});
  EXPECT_FALSE(Loop().SelfDriven());
  Loop().SetWakeHook([] {});  // another hook: still another loop's, nothing to tell
  const int Sleeps = Wait->Sleeps();
  Loop().ProcessMessagesFor(5ms);
  EXPECT_EQ(Wait->Sleeps(), Sleeps) << "not slept in while another loop drives this one";
  Loop().SetWakeHook(nullptr);
  EXPECT_TRUE(Loop().SelfDriven());
  EXPECT_EQ(Wait->Handovers(), (std::vector<bool>{true, false}));
}

TEST_F(MainLoopTest, ServeSentUntilServesSendsButNotPostsUntilTheConditionHolds) {
  TMessageWindow Window([](TMessage& M) { M.Result = 5; });
  std::atomic<bool> Done{false};
  bool Posted = false;
  intptr_t Result = 0;
  std::thread Worker([&] {
    Loop().Post([&] { Posted = true; });
    Result = Window.SendMessage_(WM_USER_ + 1, 0, 0);
    Done = true;
    Loop().Wake();
  });
  Loop().ServeSentUntil([&] { return Done.load(); });
  Worker.join();
  EXPECT_EQ(Result, 5);
  EXPECT_FALSE(Posted);
  Loop().ProcessMessages();
  EXPECT_TRUE(Posted);
}

TEST_F(MainLoopTest, DefaultReportIsOneLineOnStderrAndTheLoopGoesOn) {
  bool After = false;
  testing::internal::CaptureStderr();
  Loop().Post([] { throw Exception("boom"); });
  Loop().Post([&] { After = true; });
  // Code page 1251 "Ошибка", a CR LF inside, and a control byte.
  Loop().Post([] { throw Exception("\xCE\xF8\xE8\xE1\xEA\xE0\r\nline 2\x07"); });
  Loop().Post([] { throw 42; });
  Loop().ProcessMessages();
  const std::string Err = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(After);
  EXPECT_EQ(Err,
            "Exception: boom\n"
            "Exception: \xD0\x9E\xD1\x88\xD0\xB8\xD0\xB1\xD0\xBA\xD0\xB0 line 2\\x07\n"
            "Exception: Unknown exception\n");

  // A report from a worker is made on the main thread; a handler that fails falls back to
  // the plain line.
  std::thread::id ReportedOn;
  Loop().SetExceptionHandler([&](TObject*, std::exception_ptr) {
    ReportedOn = std::this_thread::get_id();
    throw Exception("report failed");
  });
  std::thread Worker(
      [] { Loop().HandleException(nullptr, std::make_exception_ptr(Exception("from worker"))); });
  Worker.join();
  testing::internal::CaptureStderr();
  Loop().ProcessMessages();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Exception: report failed\n");
  EXPECT_EQ(ReportedOn, std::this_thread::get_id());
}

}  // namespace

}  // namespace comfind
