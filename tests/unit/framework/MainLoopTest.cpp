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
    std::lock_guard<std::mutex> lock(FLock);
    FSet = true;
    FChanged.notify_all();
  }
  bool IsSet() {
    std::lock_guard<std::mutex> lock(FLock);
    return FSet;
  }
  bool WaitFor(std::chrono::milliseconds Timeout) {
    std::unique_lock<std::mutex> lock(FLock);
    return FChanged.wait_for(lock, Timeout, [&] { return FSet; });
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
  TSignal workerReturned;
  std::atomic<intptr_t> result{-1};
  std::thread::id procThread;
  TMessage seen;
  bool inSendBefore = false, inSendAfter = true, releasedWhileWorking = false, procDone = false;
  TMessageWindow window([&](TMessage& M) {
    procThread = std::this_thread::get_id();
    seen = M;
    inSendBefore = InSendMessage_();
    ReplyMessage_(7);
    inSendAfter = InSendMessage_();
    ReplyMessage_(8);  // only the first reply counts
    // The sender must be running again while the main thread is still in here.
    releasedWhileWorking = workerReturned.WaitFor(kDeadline);
    M.Result = 99;  // too late to matter
    procDone = true;
  });
  std::thread worker([&] {
    result = window.SendMessage_(WM_USER_ + 1, 4, -5);
    workerReturned.Set();
  });
  ASSERT_TRUE(Loop().ProcessUntil([&] { return procDone; }, kDeadline));
  worker.join();
  EXPECT_TRUE(releasedWhileWorking);
  EXPECT_EQ(result, 7);
  EXPECT_EQ(procThread, std::this_thread::get_id());
  EXPECT_EQ(seen.Msg, WM_USER_ + 1);
  EXPECT_EQ(seen.WParam, 4u);
  EXPECT_EQ(seen.LParam, -5);
  EXPECT_TRUE(inSendBefore);
  EXPECT_FALSE(inSendAfter);
  EXPECT_FALSE(InSendMessage_());
}

TEST_F(MainLoopTest, WithoutReplyTheSenderWaitsForTheProcedureAndGetsItsResult) {
  std::atomic<bool> workerReturned{false};
  bool returnedBeforeProcEnded = true;
  std::atomic<intptr_t> result{-1};
  TMessageWindow window([&](TMessage& M) {
    M.Result = static_cast<intptr_t>(M.WParam) * 2;
    returnedBeforeProcEnded = workerReturned;
  });
  std::thread worker([&] {
    result = window.SendMessage_(WM_USER_, 21, 0);
    workerReturned = true;
    Loop().Wake();
  });
  ASSERT_TRUE(Loop().ProcessUntil([&] { return workerReturned.load(); }, kDeadline));
  worker.join();
  EXPECT_EQ(result, 42);
  EXPECT_FALSE(returnedBeforeProcEnded);

  // On the main thread the procedure is called directly, not as a message from elsewhere.
  bool inSend = true;
  TMessageWindow direct([&](TMessage& M) {
    inSend = InSendMessage_();
    M.Result = DefWindowProc_(M) + 5;
  });
  EXPECT_EQ(direct.SendMessage_(WM_USER_, 0, 0), 5);
  EXPECT_FALSE(inSend);
}

TEST_F(MainLoopTest, PostedMessagesAndCallsRunInOrderAndAreNotSends) {
  std::vector<std::string> order;
  TMessageWindow window([&](TMessage& M) {
    order.push_back("msg" + std::to_string(M.WParam) + (InSendMessage_() ? " sent" : ""));
    M.Result = 1;
  });
  Loop().Post([&] { order.push_back("call1"); });
  window.PostMessage_(WM_USER_, 1, 0);
  std::thread worker([&] {
    window.PostMessage_(WM_USER_, 2, 0);
    Loop().Post([&] { order.push_back("call2"); });
  });
  worker.join();
  Loop().Post([&] { order.push_back("call3"); });
  EXPECT_TRUE(order.empty());  // nothing runs before the loop is served
  Loop().ProcessMessages();
  EXPECT_EQ(order, (std::vector<std::string>{"call1", "msg1", "msg2", "call2", "call3"}));

  // Work that posts more work is served one round at a time, so a round always ends.
  int rounds = 0;
  std::function<void()> again = [&] {
    ++rounds;
    Loop().Post(again);
  };
  Loop().Post(again);
  Loop().ProcessMessages();
  EXPECT_EQ(rounds, 1);
  Loop().ProcessMessages();
  EXPECT_EQ(rounds, 2);
  // Leave nothing behind that refers to this test's locals.
  Loop().Post([&] { again = [] {}; });
  Loop().ProcessMessages();
  Loop().ProcessMessages();
}

TEST_F(MainLoopTest, ExceptionInAProcedureIsReportedAndTheSenderIsReleased) {
  std::vector<std::string> reports;
  TObject marker;
  TObject* reportSender = &marker;
  Loop().SetExceptionHandler([&](TObject* Sender, std::exception_ptr E) {
    reportSender = Sender;
    try {
      std::rethrow_exception(E);
    } catch (const Exception& e) {
      reports.push_back(e.Message());
    }
  });
  int calls = 0;
  TMessageWindow window([&](TMessage& M) {
    ++calls;
    M.Result = 5;
    if (M.WParam == 1) throw Exception("bad message");
  });
  std::atomic<intptr_t> first{-1}, second{-1};
  std::atomic<bool> done{false};
  std::thread worker([&] {
    first = window.SendMessage_(WM_USER_, 1, 0);
    second = window.SendMessage_(WM_USER_, 2, 0);
    done = true;
    Loop().Wake();
  });
  ASSERT_TRUE(Loop().ProcessUntil([&] { return done.load(); }, kDeadline));
  worker.join();
  EXPECT_EQ(first, 5);
  EXPECT_EQ(second, 5);  // the loop went on
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(reports, (std::vector<std::string>{"bad message"}));
  EXPECT_EQ(reportSender, nullptr);
}

TEST_F(MainLoopTest, DestroyingAWindowAnswersItsQueuedMessagesWithZero) {
  std::atomic<int> procCalls{0};
  auto window = std::make_unique<TMessageWindow>([&](TMessage& M) {
    ++procCalls;
    M.Result = 1;
  });
  TMessageWindow* target = window.get();
  target->PostMessage_(WM_USER_, 0, 0);
  TSignal queued;
  Loop().SetWakeHook([&] { queued.Set(); });
  std::atomic<intptr_t> result{-1};
  TSignal returned;
  std::thread worker([&] {
    result = target->SendMessage_(WM_USER_, 0, 0);
    returned.Set();
  });
  ASSERT_TRUE(queued.WaitFor(kDeadline));  // the send is in the queue, nobody serves it
  window.reset();
  ASSERT_TRUE(returned.WaitFor(kDeadline));
  worker.join();
  EXPECT_EQ(result, 0);
  Loop().ProcessMessages();  // the posted message went with the window
  EXPECT_EQ(procCalls, 0);
}

TEST_F(MainLoopTest, AProcedureMayDestroyItsOwnWindow) {
  std::unique_ptr<TMessageWindow> window;
  std::string captured = "still here";
  std::string seenAfter;
  window = std::make_unique<TMessageWindow>([&, captured](TMessage&) {
    window.reset();
    seenAfter = captured;  // the procedure's own state outlives the window
  });
  TMessageWindow* target = window.get();
  std::atomic<bool> done{false};
  std::thread worker([&] {
    target->SendMessage_(WM_USER_, 0, 0);
    done = true;
    Loop().Wake();
  });
  ASSERT_TRUE(Loop().ProcessUntil([&] { return done.load(); }, kDeadline));
  worker.join();
  EXPECT_TRUE(window == nullptr);
  EXPECT_EQ(seenAfter, "still here");
}

// --- synchronised calls and threads

TEST_F(MainLoopTest, SynchronizeRunsOnTheMainThreadAndRaisesItsExceptionInTheWorker) {
  const auto mainId = std::this_thread::get_id();
  std::thread::id ranOn;
  std::string caught;
  bool workerIsMain = true;
  TLambdaThread thread([&](TLambdaThread& Self) {
    workerIsMain = Loop().IsMainThread();
    Self.Synchronize([&] { ranOn = std::this_thread::get_id(); });
    try {
      Self.Synchronize([] { throw EConvertError("sync failed"); });
    } catch (const EConvertError& e) {
      caught = e.Message();
    }
  });
  thread.Start();
  ASSERT_TRUE(Loop().ProcessUntil([&] { return thread.Finished(); }, kDeadline));
  thread.WaitFor();
  EXPECT_FALSE(workerIsMain);
  EXPECT_TRUE(Loop().IsMainThread());
  EXPECT_EQ(ranOn, mainId);
  EXPECT_EQ(caught, "sync failed");
  EXPECT_EQ(thread.FatalException(), nullptr);

  // On the main thread it simply runs, exceptions and all.
  bool ran = false;
  Loop().Synchronize([&] { ran = true; });
  EXPECT_TRUE(ran);
  EXPECT_THROW(Loop().Synchronize([] { throw Exception("direct"); }), Exception);
}

TEST_F(MainLoopTest, ThreadLifecycleKeepsTheBodysExceptionAndJoinsExactlyOnce) {
  TLambdaThread failing([](TLambdaThread&) { throw Exception("body failed"); });
  EXPECT_FALSE(failing.Started());
  failing.WaitFor();  // never started: nothing to wait for
  failing.Start();
  EXPECT_TRUE(failing.Started());
  EXPECT_THROW(failing.Start(), Exception);
  failing.WaitFor();
  failing.WaitFor();
  EXPECT_TRUE(failing.Finished());
  ASSERT_NE(failing.FatalException(), nullptr);
  try {
    std::rethrow_exception(failing.FatalException());
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "body failed");
  }

  // A finished thread that nobody waited for is joined by the base destructor (otherwise the
  // process would end in std::terminate).
  struct TOneShot : TThread {
    std::atomic<int>* Runs;
    explicit TOneShot(std::atomic<int>* ARuns) : Runs(ARuns) {}
    void Execute() override { ++*Runs; }
  };
  std::atomic<int> runs{0};
  auto oneShot = std::make_unique<TOneShot>(&runs);
  oneShot->Start();
  ASSERT_TRUE(Loop().ProcessUntil([&] { return oneShot->Finished(); }, kDeadline));
  oneShot.reset();
  EXPECT_EQ(runs, 1);

  TLambdaThread terminated([](TLambdaThread& Self) { EXPECT_TRUE(Self.Terminated()); });
  terminated.Terminate();
  terminated.Start();
  terminated.WaitFor();
  EXPECT_TRUE(terminated.Finished());
}

TEST_F(MainLoopTest, WaitForServesSendsAndSynchronisedCallsButNotPosts) {
  int procCalls = 0;
  bool procInSend = false;
  TMessageWindow window([&](TMessage& M) {
    ++procCalls;
    procInSend = InSendMessage_();
    M.Result = 11;
  });
  bool posted = false, synced = false;
  intptr_t result = 0;
  TLambdaThread thread([&](TLambdaThread& Self) {
    Loop().Post([&] { posted = true; });
    // Both block this thread until the main thread serves them; the main thread is inside
    // WaitFor and nowhere else.
    result = window.SendMessage_(WM_USER_ + 1, 0, 0);
    Self.Synchronize([&] { synced = true; });
  });
  thread.Start();
  thread.WaitFor();
  EXPECT_TRUE(thread.Finished());
  EXPECT_EQ(procCalls, 1);
  EXPECT_TRUE(procInSend);
  EXPECT_EQ(result, 11);
  EXPECT_TRUE(synced);
  EXPECT_FALSE(posted);  // a post may run code that does not expect to run inside a close
  Loop().ProcessMessages();
  EXPECT_TRUE(posted);
}

// The port's close from inside an event handler: the handler replies, then waits for the
// event thread, whose next delivery is already on its way.
TEST_F(MainLoopTest, WaitingForTheSenderFromInsideItsOwnMessageCompletesTheNextDelivery) {
  std::vector<std::string> log;
  std::unique_ptr<TLambdaThread> thread;
  TMessageWindow window([&](TMessage& M) {
    if (M.WParam == 1) {
      ReplyMessage_(0);
      log.push_back("1 begin");
      thread->Terminate();
      thread->WaitFor();
      log.push_back("1 end");
    } else {
      log.push_back(std::to_string(M.WParam) + (InSendMessage_() ? " sent" : " direct"));
    }
  });
  thread = std::make_unique<TLambdaThread>([&](TLambdaThread& Self) {
    window.SendMessage_(WM_USER_ + 1, 1, 0);
    window.SendMessage_(WM_USER_ + 1, 2, 0);
    Self.Synchronize([&] { log.push_back("sync"); });
  });
  thread->Start();
  ASSERT_TRUE(
      Loop().ProcessUntil([&] { return thread->Finished() && log.size() == 4; }, kDeadline));
  EXPECT_EQ(log, (std::vector<std::string>{"1 begin", "2 sent", "sync", "1 end"}));
  thread.reset();
}

// --- timers

TEST_F(MainLoopTest, TimerTicksEveryIntervalOnTheMainThreadAndNeverEarly) {
  TTimer timer(nullptr);
  timer.SetEnabled(false);
  timer.SetInterval(20);
  int ticks = 0;
  bool onMain = true;
  timer.OnTimer = [&](TObject* Sender) {
    EXPECT_EQ(Sender, &timer);
    onMain = onMain && Loop().IsMainThread();
    ++ticks;
  };
  const auto start = TClock::now();
  timer.SetEnabled(true);
  ASSERT_TRUE(Loop().ProcessUntil([&] { return ticks >= 3; }, kDeadline));
  EXPECT_GE(TClock::now() - start, 60ms);
  EXPECT_TRUE(onMain);
}

TEST_F(MainLoopTest, DisablingInsideTheTickStopsTheTimer) {
  TTimer timer(nullptr);
  timer.SetInterval(5);
  int ticks = 0;
  timer.OnTimer = [&](TObject*) {
    ++ticks;
    timer.SetEnabled(false);
  };
  ASSERT_TRUE(Loop().ProcessUntil([&] { return ticks == 1; }, kDeadline));
  EXPECT_EQ(Loop().ProcessPending(), -1ms);  // nothing scheduled any more
  // A second timer measures the time in which the first would have ticked many times.
  TTimer clock(nullptr);
  clock.SetInterval(10);
  int clockTicks = 0;
  clock.OnTimer = [&](TObject*) { ++clockTicks; };
  ASSERT_TRUE(Loop().ProcessUntil([&] { return clockTicks >= 5; }, kDeadline));
  EXPECT_EQ(ticks, 1);
}

TEST_F(MainLoopTest, EnablingOrChangingTheIntervalStartsAFreshInterval) {
  TTimer timer(nullptr);
  timer.SetInterval(400);
  timer.OnTimer = [](TObject*) {};
  // Let some of the interval pass, measured by another timer that stops itself.
  TTimer half(nullptr);
  half.SetInterval(200);
  bool halfDone = false;
  half.OnTimer = [&](TObject*) {
    halfDone = true;
    half.SetEnabled(false);
  };
  ASSERT_TRUE(Loop().ProcessUntil([&] { return halfDone; }, kDeadline));
  timer.SetEnabled(false);
  EXPECT_EQ(Loop().ProcessPending(), -1ms);
  timer.SetEnabled(true);
  auto left = Loop().ProcessPending();
  EXPECT_GT(left, 300ms);
  EXPECT_LE(left, 400ms);
  timer.SetInterval(1000);
  left = Loop().ProcessPending();
  EXPECT_GT(left, 900ms);
  EXPECT_LE(left, 1000ms);
  timer.SetInterval(0);  // no interval, no ticks
  EXPECT_EQ(Loop().ProcessPending(), -1ms);
}

TEST_F(MainLoopTest, DestroyedTimersNeverTickAndTickExceptionsAreReported) {
  auto* a = new TTimer(nullptr);
  auto* b = new TTimer(nullptr);
  a->SetInterval(1);
  b->SetInterval(1);
  int ticks = 0;
  // Whichever ticks first destroys the other, possibly when both are already due.
  a->OnTimer = [&](TObject*) {
    ++ticks;
    delete b;
    b = nullptr;
    a->SetEnabled(false);
  };
  b->OnTimer = [&](TObject*) {
    ++ticks;
    delete a;
    a = nullptr;
    b->SetEnabled(false);
  };
  ASSERT_TRUE(Loop().ProcessUntil([&] { return ticks >= 1; }, kDeadline));
  EXPECT_EQ(Loop().ProcessPending(), -1ms);
  delete a;
  delete b;

  // A tick may destroy its own timer.
  auto* self = new TTimer(nullptr);
  self->SetInterval(1);
  int selfTicks = 0;
  self->OnTimer = [&](TObject* Sender) {
    delete static_cast<TTimer*>(Sender);
    ++selfTicks;  // the handler's captures are still there
  };
  ASSERT_TRUE(Loop().ProcessUntil([&] { return selfTicks == 1; }, kDeadline));
  EXPECT_EQ(Loop().ProcessPending(), -1ms);

  // A timer owned by a component goes with its owner.
  auto* owner = new TDataModule(nullptr);
  auto* owned = new TTimer(owner);
  owned->SetInterval(1);
  delete owner;
  EXPECT_EQ(Loop().ProcessPending(), -1ms);

  // A tick that raises goes to the report and the timer keeps ticking.
  std::vector<TObject*> senders;
  Loop().SetExceptionHandler(
      [&](TObject* Sender, std::exception_ptr) { senders.push_back(Sender); });
  TTimer failing(nullptr);
  failing.SetInterval(2);
  failing.OnTimer = [](TObject*) { throw Exception("tick failed"); };
  ASSERT_TRUE(Loop().ProcessUntil([&] { return senders.size() >= 3; }, kDeadline));
  EXPECT_EQ(senders[0], &failing);
  EXPECT_EQ(ticks, 1);
}

// --- driving the loop

TEST_F(MainLoopTest, RunSleepsUntilWorkArrivesAndEndsOnTerminate) {
  const auto mainId = std::this_thread::get_id();
  std::vector<int> order;
  std::thread::id ranOn;
  TSignal stopWatchdog;
  std::thread watchdog([&] {
    // Only a hang reaches this; it ends Run so that the test fails instead of hanging.
    if (!stopWatchdog.WaitFor(kDeadline)) Loop().Terminate();
  });
  std::thread worker([&] {
    Loop().Post([&] { order.push_back(1); });
    Loop().Post([&] {
      order.push_back(2);
      ranOn = std::this_thread::get_id();
      Loop().Terminate();
    });
  });
  Loop().Run();
  stopWatchdog.Set();
  watchdog.join();
  worker.join();
  EXPECT_TRUE(Loop().Terminated());
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
  EXPECT_EQ(ranOn, mainId);

  // The main thread's operations refuse to run anywhere else.
  bool refused = false;
  std::thread stranger([&] {
    try {
      Loop().ProcessMessages();
    } catch (const Exception&) {
      refused = true;
    }
  });
  stranger.join();
  EXPECT_TRUE(refused);
}

TEST_F(MainLoopTest, AnExternalLoopDrivenByTheWakeHookServesWorkAndTimers) {
  const auto mainId = std::this_thread::get_id();
  std::mutex lock;
  std::condition_variable woken;
  uint64_t wakes = 0;
  std::atomic<bool> hookFromWorker{false};
  Loop().SetWakeHook([&] {
    if (std::this_thread::get_id() != mainId) hookFromWorker = true;
    std::lock_guard<std::mutex> guard(lock);
    ++wakes;
    woken.notify_all();
  });
  EXPECT_EQ(Loop().ProcessPending(), -1ms);

  std::vector<int> served;
  bool synced = false;
  TTimer timer(nullptr);
  timer.SetInterval(15);
  int ticks = 0;
  timer.OnTimer = [&](TObject*) { ++ticks; };
  TLambdaThread thread([&](TLambdaThread& Self) {
    for (int i = 0; i < 3; ++i)
      Loop().Post([&, i] { served.push_back(i); });
    Self.Synchronize([&] { synced = true; });
  });
  thread.Start();

  // A stand-in for another toolkit's loop: sleep until the hook or the returned deadline.
  const auto deadline = TClock::now() + kDeadline;
  for (;;) {
    uint64_t seen;
    {
      std::lock_guard<std::mutex> guard(lock);
      seen = wakes;
    }
    const auto next = Loop().ProcessPending();
    if ((served.size() == 3 && synced && ticks >= 3) || TClock::now() > deadline) break;
    ASSERT_NE(next, -1ms);  // the timer is enabled
    std::unique_lock<std::mutex> guard(lock);
    woken.wait_for(guard, next, [&] { return wakes != seen; });
  }
  thread.WaitFor();
  EXPECT_EQ(served, (std::vector<int>{0, 1, 2}));
  EXPECT_TRUE(synced);
  EXPECT_GE(ticks, 3);
  EXPECT_TRUE(hookFromWorker);
  const auto next = Loop().ProcessPending();
  EXPECT_GE(next, 0ms);
  EXPECT_LE(next, 15ms);
}

TEST_F(MainLoopTest, ClearingTheWakeHookWaitsForACallUnderWay) {
  TSignal entered, release;
  std::atomic<bool> hookFinished{false};
  Loop().SetWakeHook([&] {
    if (Loop().IsMainThread()) return;
    entered.Set();
    release.WaitFor(kDeadline);
    hookFinished = true;
  });
  std::thread worker([] { Loop().Post([] {}); });
  ASSERT_TRUE(entered.WaitFor(kDeadline));
  std::thread releaser([&] { release.Set(); });
  Loop().SetWakeHook(nullptr);  // the hook's owner could go away after this
  EXPECT_TRUE(hookFinished);
  releaser.join();
  worker.join();
}

// --- the idle wait another layer offers

// A stand-in for the serial ports' wait: sleeps on a condition variable until woken or until
// a source it serves is made ready, and counts what the loop asks of it.
class TFakeIdleWait : public TIdleWait {
 public:
  bool Sleep(TClock::time_point Until, bool UseUntil) override {
    std::function<void()> work;
    {
      std::lock_guard<std::mutex> lock(FLock);
      if (FIdle) return false;
    }
    {
      std::unique_lock<std::mutex> lock(FLock);
      ++FSleeps;
      FAsleep = true;
      FChanged.notify_all();
      auto due = [&] { return FWoken || static_cast<bool>(FSource); };
      if (UseUntil)
        FChanged.wait_until(lock, Until, due);
      else
        FChanged.wait(lock, due);
      FAsleep = false;
      FWoken = false;
      work = std::move(FSource);
      FSource = nullptr;
    }
    if (work) work();
    return true;
  }
  void Wake() override {
    std::lock_guard<std::mutex> lock(FLock);
    ++FWakes;
    FWoken = true;
    FChanged.notify_all();
  }
  void Handover(bool External) override {
    std::lock_guard<std::mutex> lock(FLock);
    FHandovers.push_back(External);
  }
  // Without sources, Sleep declines and the loop sleeps on its own.
  void SetIdle(bool Idle) {
    std::lock_guard<std::mutex> lock(FLock);
    FIdle = Idle;
  }
  // A source becomes ready: Sleep runs Work on the main thread.
  void Ready(std::function<void()> Work) {
    std::lock_guard<std::mutex> lock(FLock);
    FSource = std::move(Work);
    FChanged.notify_all();
  }
  // Until the loop sleeps in it for the Count-th time.
  bool WaitAsleep(int Count = 1) {
    std::unique_lock<std::mutex> lock(FLock);
    return FChanged.wait_for(lock, kDeadline, [&] { return FAsleep && FSleeps >= Count; });
  }
  int Sleeps() {
    std::lock_guard<std::mutex> lock(FLock);
    return FSleeps;
  }
  int Wakes() {
    std::lock_guard<std::mutex> lock(FLock);
    return FWakes;
  }
  std::vector<bool> Handovers() {
    std::lock_guard<std::mutex> lock(FLock);
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
  std::vector<std::string> log;
  std::thread worker([&] {
    ASSERT_TRUE(Wait->WaitAsleep(1));
    Loop().Post([&] { log.push_back("posted"); });
    // Asleep again: the post has been served.
    ASSERT_TRUE(Wait->WaitAsleep(2));
    Loop().Terminate();
  });
  Loop().Run();
  worker.join();
  EXPECT_EQ(log, (std::vector<std::string>{"posted"}));
  EXPECT_GE(Wait->Sleeps(), 2);
  EXPECT_GE(Wait->Wakes(), 2);
}

TEST_F(IdleWaitTest, ItsSourcesAreServedOnTheMainThreadInsideTheLoop) {
  ASSERT_TRUE(Loop().InstallIdleWait(Wait));
  const auto mainId = std::this_thread::get_id();
  std::atomic<bool> onMain{false};
  std::thread worker([&] {
    ASSERT_TRUE(Wait->WaitAsleep());
    Wait->Ready([&] { onMain = std::this_thread::get_id() == mainId; });
  });
  EXPECT_TRUE(Loop().ProcessUntil([&] { return onMain.load(); }, kDeadline));
  worker.join();
}

TEST_F(IdleWaitTest, RemovingItWakesItAndTheLoopSleepsOnItsOwnAgain) {
  ASSERT_TRUE(Loop().InstallIdleWait(Wait));
  std::atomic<bool> done{false};
  std::thread worker([&] {
    ASSERT_TRUE(Wait->WaitAsleep());
    Loop().RemoveIdleWait(Wait.get());
    // From now on the fake is never slept in again, so only the loop's own sleep can hear this.
    Loop().Post([&] { done = true; });
  });
  EXPECT_TRUE(Loop().ProcessUntil([&] { return done.load(); }, kDeadline));
  worker.join();
  const int sleeps = Wait->Sleeps();
  Loop().ProcessMessagesFor(5ms);
  EXPECT_EQ(Wait->Sleeps(), sleeps);
  EXPECT_TRUE(Loop().InstallIdleWait(Wait)) << "the place is free again";
}

TEST_F(IdleWaitTest, WithNothingToWaitForItDeclinesAndTheLoopSleepsOnItsOwn) {
  ASSERT_TRUE(Loop().InstallIdleWait(Wait));
  Wait->SetIdle(true);
  std::atomic<bool> done{false};
  std::thread worker([&] {
    std::this_thread::yield();
    Loop().Post([&] { done = true; });
  });
  EXPECT_TRUE(Loop().ProcessUntil([&] { return done.load(); }, kDeadline));
  worker.join();
  EXPECT_EQ(Wait->Sleeps(), 0);
}

TEST_F(IdleWaitTest, AnExternalLoopTakesItsPlaceAndItIsToldSo) {
  ASSERT_TRUE(Loop().InstallIdleWait(Wait));
  EXPECT_TRUE(Loop().SelfDriven());
  Loop().SetWakeHook([] {});
  EXPECT_FALSE(Loop().SelfDriven());
  Loop().SetWakeHook([] {});  // another hook: still another loop's, nothing to tell
  const int sleeps = Wait->Sleeps();
  Loop().ProcessMessagesFor(5ms);
  EXPECT_EQ(Wait->Sleeps(), sleeps) << "not slept in while another loop drives this one";
  Loop().SetWakeHook(nullptr);
  EXPECT_TRUE(Loop().SelfDriven());
  EXPECT_EQ(Wait->Handovers(), (std::vector<bool>{true, false}));
}

TEST_F(MainLoopTest, ServeSentUntilServesSendsButNotPostsUntilTheConditionHolds) {
  TMessageWindow window([](TMessage& M) { M.Result = 5; });
  std::atomic<bool> done{false};
  bool posted = false;
  intptr_t result = 0;
  std::thread worker([&] {
    Loop().Post([&] { posted = true; });
    result = window.SendMessage_(WM_USER_ + 1, 0, 0);
    done = true;
    Loop().Wake();
  });
  Loop().ServeSentUntil([&] { return done.load(); });
  worker.join();
  EXPECT_EQ(result, 5);
  EXPECT_FALSE(posted);
  Loop().ProcessMessages();
  EXPECT_TRUE(posted);
}

TEST_F(MainLoopTest, DefaultReportIsOneLineOnStderrAndTheLoopGoesOn) {
  bool after = false;
  testing::internal::CaptureStderr();
  Loop().Post([] { throw Exception("boom"); });
  Loop().Post([&] { after = true; });
  // Code page 1251 "Ошибка", a CR LF inside, and a control byte.
  Loop().Post([] { throw Exception("\xCE\xF8\xE8\xE1\xEA\xE0\r\nline 2\x07"); });
  Loop().Post([] { throw 42; });
  Loop().ProcessMessages();
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(after);
  EXPECT_EQ(err,
            "Exception: boom\n"
            "Exception: \xD0\x9E\xD1\x88\xD0\xB8\xD0\xB1\xD0\xBA\xD0\xB0 line 2\\x07\n"
            "Exception: Unknown exception\n");

  // A report from a worker is made on the main thread; a handler that fails falls back to
  // the plain line.
  std::thread::id reportedOn;
  Loop().SetExceptionHandler([&](TObject*, std::exception_ptr) {
    reportedOn = std::this_thread::get_id();
    throw Exception("report failed");
  });
  std::thread worker(
      [] { Loop().HandleException(nullptr, std::make_exception_ptr(Exception("from worker"))); });
  worker.join();
  testing::internal::CaptureStderr();
  Loop().ProcessMessages();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Exception: report failed\n");
  EXPECT_EQ(reportedOn, std::this_thread::get_id());
}

}  // namespace

}  // namespace comfind
