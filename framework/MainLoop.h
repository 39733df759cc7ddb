// The main-thread loop: the one place where threads meet.
//
// One thread of the process is the main thread (the one that first touches the loop, or the
// one named by TMainLoop::Instance().AttachMainThread()). Every handler, property change, open
// and close runs there. Worker threads hand work to it in three ways:
//   - SendMessage_ to a TMessageWindow: the worker blocks until the main thread has picked the
//     message up and replied (ReplyMessage_, or the window procedure returning);
//   - Synchronize: the worker blocks until the call has finished on the main thread; an
//     exception it raised is raised again in the worker;
//   - Post: the worker does not wait.
// The main thread can wait for a worker's end while still serving sent messages and
// synchronised calls (WaitForThread), so a close from inside a handler never deadlocks.
//
// The loop runs either on its own (Run / ProcessMessages: CLI, tests, tools) or driven by
// another event loop: SetWakeHook() is called from any thread whenever work is queued or the
// next timer deadline moves, and that loop then calls ProcessPending() on the main thread.
// Running on its own, it sleeps on a condition variable, or in a TIdleWait that another layer
// installs (the serial ports' wait on their devices), so that what that layer waits for wakes
// the main thread itself instead of a thread of its own that would then wake the main thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "framework/Classes.h"

namespace comfind {

class TThread;
class TTimer;
class TMessageWindow;

// A sleep that another layer offers the loop for the times it has nothing to do: a wait on
// the loop's wake-up and on sources of that layer's own, which it serves on the main thread
// when they are ready.
class TIdleWait {
 public:
  virtual ~TIdleWait() = default;
  // Main thread, nothing queued: sleeps until Wake(), until Until (when UseUntil), or until a
  // source is ready, which it serves (running handlers) before it returns. False, at once,
  // when it has no source to wait for: the loop then sleeps on its own.
  virtual bool Sleep(std::chrono::steady_clock::time_point Until, bool UseUntil) = 0;
  // Any thread, under the loop's lock (so it must not call the loop): ends the Sleep under way
  // at once, or makes the next one return at once.
  virtual void Wake() = 0;
  // The loop has been handed to another event loop (a wake hook was set: true) or is its own
  // again (false). While it is another loop's, Sleep is not called: the sources must be waited
  // for elsewhere. Called outside the loop's lock, on the thread that changed the hook.
  virtual void Handover(bool External) = 0;
};

// A window message: number, two parameters and the result, as a window procedure sees it.
struct TMessage {
  uint32_t Msg = 0;
  uintptr_t WParam = 0;
  intptr_t LParam = 0;
  intptr_t Result = 0;
};

constexpr uint32_t WM_USER_ = 0x0400;

class TMainLoop {
 public:
  static TMainLoop& Instance();

  // Makes the calling thread the main thread (the first thread to use the loop otherwise).
  void AttachMainThread();
  bool IsMainThread() const;

  // --- from any thread
  void Post(std::function<void()> Work);
  // Runs Work on the main thread and waits for it to end; rethrows its exception here.
  // Called on the main thread it simply runs Work.
  void Synchronize(const std::function<void()>& Work);

  // --- on the main thread
  // Runs the loop until Terminate(); sleeps in the kernel when there is nothing to do.
  void Run();
  // Ends Run (also when called from another thread); Run returns at once while it is set.
  void Terminate();
  bool Terminated() const { return FTerminated; }
  void ResetTerminated() { FTerminated = false; }
  // Serves everything that is due now (sends, synchronised calls, posts, timers), then returns.
  void ProcessMessages();
  // Like ProcessMessages, but waits up to Timeout for something to serve first.
  void ProcessMessagesFor(std::chrono::milliseconds Timeout);
  // Serves the loop until Condition() holds or Timeout passes; true when it holds. For tests
  // and the CLI ("wait for a condition with a deadline", never a fixed sleep). Condition is
  // tested after every round and whenever the loop is woken (work queued, a TThread ending,
  // Wake()); a condition that another thread changes silently is seen within 50 ms.
  bool ProcessUntil(const std::function<bool()>& Condition, std::chrono::milliseconds Timeout);
  // For an external event loop: serves what is due and returns the time until the next
  // timer deadline (0 ms when work is already waiting again, -1 ms when no timer is enabled).
  std::chrono::milliseconds ProcessPending();
  // Waits for Thread's end while serving sent messages and synchronised calls (and nothing
  // else). On a worker thread it simply joins.
  void WaitForThread(TThread& Thread);

  // The default exception report: the handler set here (message box in the GUI) or a line on
  // stderr. The loop goes on afterwards. From a worker the report is posted to the main
  // thread (Sender must still exist when it runs there).
  void HandleException(TObject* Sender, std::exception_ptr E);
  void SetExceptionHandler(std::function<void(TObject*, std::exception_ptr)> Handler);

  // Called from any thread when work was queued or the timer schedule changed. Replacing or
  // clearing the hook returns only once no call of the old hook is still running, so its
  // owner may go away afterwards.
  void SetWakeHook(std::function<void()> Hook);
  // From any thread: wakes a waiting loop so that it looks again (ProcessUntil re-checks its
  // condition). Queuing work wakes it anyway.
  void Wake();

  // From any thread: offers Wait as the loop's sleep while it has nothing to do. False, and
  // nothing changes, when another one is installed.
  bool InstallIdleWait(std::shared_ptr<TIdleWait> Wait);
  // Takes Wait out again (nothing when it is not the one installed). A Sleep under way in it
  // runs to its end; no Wake reaches it once this has returned.
  void RemoveIdleWait(const TIdleWait* Wait);
  // Whether the loop is its own (no wake hook: no other event loop drives it).
  bool SelfDriven() const;
  // Main thread: serves sent messages and synchronised calls (and nothing else), as
  // WaitForThread does, until Done() holds. Done is tested under the loop's lock: whoever
  // makes it true from another thread calls Wake() afterwards. On another thread: tests Done
  // until it holds, sleeping on the same wake-ups.
  void ServeSentUntil(const std::function<bool()>& Done);
  // On the main thread: serves what other threads have sent to it so far (sends and
  // synchronised calls, not posted calls or timers), without waiting for more. Elsewhere:
  // nothing.
  void ServeSentSoFar();

 private:
  friend class TMessageWindow;
  friend class TTimer;
  friend class TThread;
  friend void ReplyMessage_(intptr_t Result);
  struct TSent;
  struct TPosted;
  struct TImpl;
  TMainLoop();
  ~TMainLoop();
  void CheckMainThread(const char* Operation) const;
  void Queue(TSent* Sent);
  void Queue(TPosted&& Posted);
  void Reply(TSent* Sent, intptr_t Result);
  bool ServeOneSent();
  void ServeSent();
  void Dispatch(TSent* Sent);
  void DeliverToWindow(const std::shared_ptr<std::function<void(TMessage&)>>& Proc,
                       TMessage& Message, TSent* Sent);
  void ServeTimers();
  bool NextTimerDeadline(std::chrono::steady_clock::time_point& Deadline) const;
  uint64_t Wakeups() const;
  void WaitForWork(std::chrono::steady_clock::time_point Until, bool UseUntil);
  void WaitForWork(std::chrono::steady_clock::time_point Until, bool UseUntil, uint64_t Seen);
  void ScheduleTimer(TTimer& Timer);
  void UnscheduleTimer(TTimer& Timer);
  void ThreadEnded(TThread& Thread);
  void WindowDestroyed(TMessageWindow& Window);
  void CallWakeHook();
  // Under the loop's lock: wakes the main thread wherever it sleeps.
  void WakeMainLocked();
  TImpl* FImpl;
  std::atomic<bool> FTerminated{false};
};

// A hidden window of the main thread: a window procedure that other threads reach through
// SendMessage_ (blocking until the procedure replies) or PostMessage_.
class TMessageWindow {
 public:
  // The procedure runs on the main thread. An exception leaving it goes to
  // TMainLoop::HandleException and the sender is released with the message's Result.
  using TWndProc = std::function<void(TMessage&)>;
  explicit TMessageWindow(TWndProc Proc);
  // Messages still queued for the window are answered with 0 and dropped.
  ~TMessageWindow();
  TMessageWindow(const TMessageWindow&) = delete;
  TMessageWindow& operator=(const TMessageWindow&) = delete;

  // From any thread. From a worker: blocks until the main thread has replied. On the main
  // thread: calls the procedure directly.
  intptr_t SendMessage_(uint32_t Msg, uintptr_t WParam, intptr_t LParam);
  void PostMessage_(uint32_t Msg, uintptr_t WParam, intptr_t LParam);

 private:
  friend class TMainLoop;
  // Shared so that a procedure that destroys its own window (a port closed from inside a
  // handler) keeps running on a live function object.
  std::shared_ptr<TWndProc> FProc;
};

// Inside a window procedure: whether the message being handled was sent by another thread
// that is still waiting for the reply.
bool InSendMessage_();
// Inside a window procedure: releases the sending thread at once with Result.
void ReplyMessage_(intptr_t Result);
// Default handling of a message nobody handles: result 0.
intptr_t DefWindowProc_(TMessage& Message);

enum TThreadPriority : uint8_t {
  tpIdle,
  tpLowest,
  tpLower,
  tpNormal,
  tpHigher,
  tpHighest,
  tpTimeCritical
};

// A thread object: created suspended, started with Start(), with a terminate flag and a body.
// A derived class whose body uses its own members must call WaitFor() in its own destructor
// (the base destructor runs after those members are gone).
class TThread : public TObject {
 public:
  TThread();
  ~TThread() override;
  std::string ClassName() const override { return "TThread"; }

  void Start();
  void Terminate() { FTerminated = true; }
  bool Terminated() const { return FTerminated; }
  // Waits for the body to end. On the main thread it keeps serving sends and synchronised
  // calls while it waits (TMainLoop::WaitForThread). Safe to call more than once.
  void WaitFor();
  bool Finished() const { return FFinished; }
  bool Started() const { return FStarted; }
  // Hands the object over to its own thread, which deletes it when the body has ended (at
  // once, here, when it already has). For an owner that goes away where it cannot wait for
  // the thread: on that thread itself, or while the thread is blocked in a synchronised call.
  // The caller must not touch the object afterwards.
  void FreeOnTerminate();
  // The exception that ended the body, or null. Read it after WaitFor().
  std::exception_ptr FatalException() const { return FFatalException; }
  // Kept for the callers that set it; the threads run at the scheduler's default priority
  // (raising it needs privileges a desktop user does not have).
  void SetPriority(TThreadPriority Value) { FPriority = Value; }
  TThreadPriority Priority() const { return FPriority; }

 protected:
  virtual void Execute() = 0;
  // Runs Method on the main thread while this thread waits; its exception is raised here.
  void Synchronize(const std::function<void()>& Method);

 private:
  friend class TMainLoop;
  void ThreadProc();
  std::thread FThread;
  std::exception_ptr FFatalException;
  std::atomic<bool> FTerminated{false};
  std::atomic<bool> FFinished{false};
  // Set by whichever comes first of the body's end and FreeOnTerminate; the second deletes.
  std::atomic<bool> FHandOver{false};
  bool FStarted = false;
  TThreadPriority FPriority = tpNormal;
};

// A main-thread timer: while Enabled, OnTimer fires every Interval milliseconds on the main
// thread through the loop. Disabling it (also from inside OnTimer) stops further ticks;
// enabling it or changing Interval starts a new interval. Create, change and destroy it on
// the main thread only.
class TTimer : public TComponent {
 public:
  explicit TTimer(TComponent* AOwner);
  ~TTimer() override;
  std::string ClassName() const override { return "TTimer"; }

  bool Enabled() const { return FEnabled; }
  void SetEnabled(bool Value);
  uint32_t Interval() const { return FInterval; }
  void SetInterval(uint32_t Value);
  TNotifyEvent OnTimer;

 private:
  friend class TMainLoop;
  void Reschedule();
  bool FEnabled = true;
  uint32_t FInterval = 1000;
  bool FScheduled = false;
  std::chrono::steady_clock::time_point FDeadline{};
};

}  // namespace comfind
