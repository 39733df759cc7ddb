#include "framework/MainLoop.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace comfind {

using TClock = std::chrono::steady_clock;

// A call a worker hands over and waits for: a sent window message or a synchronised call.
// It lives on the waiting worker's stack, so the main thread must not touch it once Done is
// set (the worker may already have returned).
struct TMainLoop::TSent {
  TMessageWindow* Window = nullptr;  // null for a synchronised call
  TMessage Message;
  const std::function<void()>* Work = nullptr;
  std::exception_ptr Error;
  intptr_t Result = 0;
  bool Done = false;
  std::condition_variable Released;
};

// Work that nobody waits for: a posted call or a posted window message.
struct TMainLoop::TPosted {
  uint64_t Serial = 0;
  std::function<void()> Work;
  TMessageWindow* Window = nullptr;
  TMessage Message;
};

struct TMainLoop::TImpl {
  // The wake hook with the number of its calls under way, so that replacing it can wait for
  // them: the hook's owner may go away as soon as it has replaced it.
  struct THook {
    std::function<void()> Call;
    int Running = 0;
  };

  std::mutex Lock;
  // Only the main thread sleeps on it: Run, ProcessMessagesFor, ProcessUntil, WaitForThread
  // (and a worker in ServeSentUntil; every wake-up is notify_all).
  std::condition_variable MainWake;
  // The sleep another layer offers for idle times, and the one the main thread is in now
  // (only then does a wake-up have to reach it).
  std::shared_ptr<TIdleWait> IdleWait;
  std::shared_ptr<TIdleWait> Sleeper;
  std::deque<TSent*> Sent;
  std::deque<TPosted> Posted;
  uint64_t NextSerial = 0;
  uint64_t Wakeups = 0;
  std::shared_ptr<THook> WakeHook;
  std::condition_variable HookIdle;
  std::shared_ptr<std::function<void(TObject*, std::exception_ptr)>> ExceptionHandler;
  std::atomic<std::thread::id> MainThread;
  // Main thread only, like the timers themselves.
  std::vector<TTimer*> Timers;
};

namespace {

// The window procedure being run on this thread, innermost first; procedures can nest when a
// procedure waits for a thread or sends to a window itself.
struct TFrame {
  void* Sent;  // the waiting sender's TSent; null unless the message came from another thread
  bool Replied;
  TFrame* Outer;
};

thread_local TFrame* GFrame = nullptr;
thread_local bool GInWakeHook = false;

struct TFrameScope {
  TFrame Frame;
  explicit TFrameScope(void* Sent) : Frame{Sent, false, GFrame} { GFrame = &Frame; }
  ~TFrameScope() { GFrame = Frame.Outer; }
  TFrameScope(const TFrameScope&) = delete;
  TFrameScope& operator=(const TFrameScope&) = delete;
};

// An arbitrary condition may be changed by a worker without a word to the loop; there is
// nothing to wait on for it, so ProcessUntil looks again at this period when nothing wakes it.
constexpr std::chrono::milliseconds kConditionRecheck{50};

std::string ExceptionText(std::exception_ptr E) {
  try {
    std::rethrow_exception(E);
  } catch (const Exception& Error) {
    return Error.Message();
  } catch (const std::exception& Error) {
    return Error.what();
  } catch (...) {
    return "Unknown exception";
  }
}

// One line for a terminal: the text is code page 1251, line breaks inside a message (the
// system's error texts carry CR LF) become a space, other control bytes are shown as \xNN.
std::string ReportLine(const std::string& Text) {
  std::string Clean;
  bool LastBreak = false;
  for (char C : Text) {
    const auto B = static_cast<unsigned char>(C);
    if (B == '\r' || B == '\n') {
      if (!LastBreak) Clean += ' ';
      LastBreak = true;
      continue;
    }
    LastBreak = false;
    if (B < 0x20 || B == 0x7F)
      Clean += Format("\\x%02X", B);
    else
      Clean += C;
  }
  while (!Clean.empty() && Clean.back() == ' ')
    Clean.pop_back();
  return "Exception: " + Cp1251ToUtf8(Clean) + "\n";
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// TMainLoop

TMainLoop& TMainLoop::Instance() {
  // Never destroyed: worker threads ending during static destruction still find it whole.
  static TMainLoop* const Loop = new TMainLoop();
  return *Loop;
}

TMainLoop::TMainLoop() : FImpl(new TImpl) {
  FImpl->MainThread = std::this_thread::get_id();
}

TMainLoop::~TMainLoop() {
  delete FImpl;
}

void TMainLoop::AttachMainThread() {
  FImpl->MainThread = std::this_thread::get_id();
}

bool TMainLoop::IsMainThread() const {
  return FImpl->MainThread.load() == std::this_thread::get_id();
}

void TMainLoop::CheckMainThread(const char* Operation) const {
  if (!IsMainThread()) throw Exception(Format("%s must be called on the main thread", Operation));
}

void TMainLoop::CallWakeHook() {
  std::shared_ptr<TImpl::THook> Hook;
  {
    std::lock_guard<std::mutex> Lock(FImpl->Lock);
    Hook = FImpl->WakeHook;
    if (!Hook) return;
    ++Hook->Running;
  }
  struct TDone {
    TImpl* Impl;
    TImpl::THook* Hook;
    bool Outer;
    ~TDone() {
      GInWakeHook = Outer;
      std::lock_guard<std::mutex> Lock(Impl->Lock);
      if (--Hook->Running == 0) Impl->HookIdle.notify_all();
    }
  } Done{FImpl, Hook.get(), GInWakeHook};
  // Called outside the lock: another loop's hook may take its own locks or call back in.
  GInWakeHook = true;
  Hook->Call();
}

void TMainLoop::WakeMainLocked() {
  FImpl->MainWake.notify_all();
  if (FImpl->Sleeper) FImpl->Sleeper->Wake();
}

void TMainLoop::Queue(TSent* Sent) {
  {
    std::lock_guard<std::mutex> Lock(FImpl->Lock);
    FImpl->Sent.push_back(Sent);
    WakeMainLocked();
  }
  CallWakeHook();
}

void TMainLoop::Queue(TPosted&& Posted) {
  {
    std::lock_guard<std::mutex> Lock(FImpl->Lock);
    Posted.Serial = FImpl->NextSerial++;
    FImpl->Posted.push_back(std::move(Posted));
    WakeMainLocked();
  }
  CallWakeHook();
}

void TMainLoop::Reply(TSent* Sent, intptr_t Result) {
  std::lock_guard<std::mutex> Lock(FImpl->Lock);
  Sent->Result = Result;
  Sent->Done = true;
  // Notified under the lock: the worker cannot wake, return and destroy Released before
  // notify_one has finished with it.
  Sent->Released.notify_one();
}

void TMainLoop::Post(std::function<void()> Work) {
  TPosted Posted;
  Posted.Work = std::move(Work);
  Queue(std::move(Posted));
}

void TMainLoop::Synchronize(const std::function<void()>& Work) {
  if (IsMainThread()) {
    Work();
    return;
  }
  TSent Sent;
  Sent.Work = &Work;
  Queue(&Sent);
  {
    std::unique_lock<std::mutex> Lock(FImpl->Lock);
    Sent.Released.wait(Lock, [&] { return Sent.Done; });
  }
  if (Sent.Error) std::rethrow_exception(Sent.Error);
}

bool TMainLoop::ServeOneSent() {
  TSent* Sent;
  std::shared_ptr<std::function<void(TMessage&)>> Proc;
  {
    std::lock_guard<std::mutex> Lock(FImpl->Lock);
    if (FImpl->Sent.empty()) return false;
    Sent = FImpl->Sent.front();
    FImpl->Sent.pop_front();
    if (Sent->Window) Proc = Sent->Window->FProc;
  }
  if (Sent->Window) {
    // The procedure works on a copy: once it replies, the sender's record may be gone.
    TMessage Message = Sent->Message;
    DeliverToWindow(Proc, Message, Sent);
  } else {
    Dispatch(Sent);
  }
  return true;
}

void TMainLoop::ServeSent() {
  while (ServeOneSent()) {
  }
}

void TMainLoop::Dispatch(TSent* Sent) {
  // Not a message: InSendMessage_ and ReplyMessage_ inside refer to no message at all.
  TFrameScope Scope(nullptr);
  try {
    (*Sent->Work)();
  } catch (...) {
    Sent->Error = std::current_exception();
  }
  Reply(Sent, 0);
}

void TMainLoop::DeliverToWindow(const std::shared_ptr<std::function<void(TMessage&)>>& Proc,
                                TMessage& Message, TSent* Sent) {
  std::exception_ptr Error;
  {
    TFrameScope Scope(Sent);
    try {
      if (Proc && *Proc) (*Proc)(Message);
    } catch (...) {
      Error = std::current_exception();
    }
    if (Sent && !Scope.Frame.Replied) {
      Scope.Frame.Replied = true;
      Reply(Sent, Message.Result);
    }
  }
  // Reported after the sender is released: a report that waits for the user (a message box)
  // must not hold the sending thread.
  if (Error) HandleException(nullptr, Error);
}

void TMainLoop::ProcessMessages() {
  CheckMainThread("ProcessMessages");
  ServeSent();
  // Only what was posted before this round: work that posts more work must not keep the
  // round going for ever.
  uint64_t Limit;
  {
    std::lock_guard<std::mutex> Lock(FImpl->Lock);
    Limit = FImpl->NextSerial;
  }
  for (;;) {
    TPosted Posted;
    std::shared_ptr<std::function<void(TMessage&)>> Proc;
    {
      std::lock_guard<std::mutex> Lock(FImpl->Lock);
      if (FImpl->Posted.empty() || FImpl->Posted.front().Serial >= Limit) break;
      Posted = std::move(FImpl->Posted.front());
      FImpl->Posted.pop_front();
      if (Posted.Window) Proc = Posted.Window->FProc;
    }
    if (Posted.Window) {
      DeliverToWindow(Proc, Posted.Message, nullptr);
    } else {
      TFrameScope Scope(nullptr);
      try {
        if (Posted.Work) Posted.Work();
      } catch (...) {
        HandleException(nullptr, std::current_exception());
      }
    }
    ServeSent();
  }
  ServeTimers();
  ServeSent();
}

uint64_t TMainLoop::Wakeups() const {
  std::lock_guard<std::mutex> Lock(FImpl->Lock);
  return FImpl->Wakeups;
}

void TMainLoop::WaitForWork(TClock::time_point Until, bool UseUntil) {
  WaitForWork(Until, UseUntil, Wakeups());
}

void TMainLoop::WaitForWork(TClock::time_point Until, bool UseUntil, uint64_t Seen) {
  TClock::time_point Timer;
  const bool HasTimer = NextTimerDeadline(Timer);
  std::unique_lock<std::mutex> Lock(FImpl->Lock);
  auto Ready = [&] {
    return !FImpl->Sent.empty() || !FImpl->Posted.empty() || FImpl->Wakeups != Seen || FTerminated;
  };
  if (HasTimer && (!UseUntil || Timer < Until)) {
    Until = Timer;
    UseUntil = true;
  }
  if (FImpl->IdleWait && !FImpl->WakeHook) {
    if (Ready()) return;
    // Nested sleeps (a handler the wait runs serves the loop itself) share one sleeper.
    std::shared_ptr<TIdleWait> Idle = FImpl->IdleWait;
    std::shared_ptr<TIdleWait> Outer = std::exchange(FImpl->Sleeper, Idle);
    Lock.unlock();
    bool Slept;
    {
      TScopeExit Awake([&] {
        Lock.lock();
        if (FImpl->Sleeper == Idle) FImpl->Sleeper = Outer;
      });
      Slept = Idle->Sleep(Until, UseUntil);
    }
    if (Slept) return;
  }
  if (UseUntil)
    FImpl->MainWake.wait_until(Lock, Until, Ready);
  else
    FImpl->MainWake.wait(Lock, Ready);
}

void TMainLoop::Run() {
  CheckMainThread("Run");
  while (!FTerminated) {
    ProcessMessages();
    if (FTerminated) break;
    WaitForWork({}, false);
  }
}

void TMainLoop::Terminate() {
  {
    std::lock_guard<std::mutex> Lock(FImpl->Lock);
    FTerminated = true;
    ++FImpl->Wakeups;
    WakeMainLocked();
  }
  CallWakeHook();
}

void TMainLoop::Wake() {
  {
    std::lock_guard<std::mutex> Lock(FImpl->Lock);
    ++FImpl->Wakeups;
    WakeMainLocked();
  }
  CallWakeHook();
}

bool TMainLoop::InstallIdleWait(std::shared_ptr<TIdleWait> Wait) {
  std::lock_guard<std::mutex> Lock(FImpl->Lock);
  if (FImpl->IdleWait) return FImpl->IdleWait == Wait;
  FImpl->IdleWait = std::move(Wait);
  // A main thread asleep on the condition variable sleeps in the new wait from its next round.
  ++FImpl->Wakeups;
  FImpl->MainWake.notify_all();
  return true;
}

void TMainLoop::RemoveIdleWait(const TIdleWait* Wait) {
  std::lock_guard<std::mutex> Lock(FImpl->Lock);
  if (!Wait || FImpl->IdleWait.get() != Wait) return;
  FImpl->IdleWait.reset();
  // A main thread asleep in it must come out: what it would wait for is now waited for
  // elsewhere, and its wake-ups go to the condition variable from now on.
  if (FImpl->Sleeper.get() == Wait) FImpl->Sleeper->Wake();
  FImpl->Sleeper.reset();
}

bool TMainLoop::SelfDriven() const {
  std::lock_guard<std::mutex> Lock(FImpl->Lock);
  return !FImpl->WakeHook;
}

void TMainLoop::ServeSentUntil(const std::function<bool()>& Done) {
  const bool Main = IsMainThread();
  for (;;) {
    // Only sends and synchronised calls: the other thread may be blocked in one of them,
    // while a posted call or a timer could run code that does not expect to run here (inside
    // a close).
    if (Main) ServeSent();
    std::unique_lock<std::mutex> Lock(FImpl->Lock);
    if (Done()) return;
    FImpl->MainWake.wait(Lock, [&] { return Done() || (Main && !FImpl->Sent.empty()); });
    if (Done()) return;
  }
}

void TMainLoop::ServeSentSoFar() {
  if (IsMainThread()) ServeSent();
}

void TMainLoop::ProcessMessagesFor(std::chrono::milliseconds Timeout) {
  CheckMainThread("ProcessMessagesFor");
  WaitForWork(TClock::now() + Timeout, true);
  ProcessMessages();
}

bool TMainLoop::ProcessUntil(const std::function<bool()>& Condition,
                             std::chrono::milliseconds Timeout) {
  CheckMainThread("ProcessUntil");
  const auto Deadline = TClock::now() + Timeout;
  for (;;) {
    // Counted before the condition is tested: a wake that comes between the test and the
    // wait is not lost.
    const uint64_t Seen = Wakeups();
    if (Condition()) return true;
    ProcessMessages();
    if (Condition()) return true;
    const auto Now = TClock::now();
    if (Now >= Deadline) return false;
    WaitForWork(std::min(Deadline, Now + kConditionRecheck), true, Seen);
  }
}

std::chrono::milliseconds TMainLoop::ProcessPending() {
  CheckMainThread("ProcessPending");
  ProcessMessages();
  {
    std::lock_guard<std::mutex> Lock(FImpl->Lock);
    // Work posted during this round is due at once.
    if (!FImpl->Posted.empty() || !FImpl->Sent.empty()) return std::chrono::milliseconds(0);
  }
  TClock::time_point Next;
  if (!NextTimerDeadline(Next)) return std::chrono::milliseconds(-1);
  const auto Now = TClock::now();
  if (Next <= Now) return std::chrono::milliseconds(0);
  // Rounded up, so that the caller does not wake a moment before the deadline and find
  // nothing due.
  return std::chrono::ceil<std::chrono::milliseconds>(Next - Now);
}

void TMainLoop::WaitForThread(TThread& Thread) {
  if (!IsMainThread()) {
    if (Thread.FThread.joinable()) Thread.FThread.join();
    return;
  }
  if (!Thread.FThread.joinable()) return;
  ServeSentUntil([&] { return Thread.FFinished.load(); });
  Thread.FThread.join();
}

void TMainLoop::ThreadEnded(TThread& Thread) {
  std::lock_guard<std::mutex> Lock(FImpl->Lock);
  // Under the loop's lock, so that WaitForThread cannot test the flag, miss this and sleep.
  Thread.FFinished = true;
  ++FImpl->Wakeups;  // ProcessUntil often waits for exactly this
  WakeMainLocked();
}

void TMainLoop::HandleException(TObject* Sender, std::exception_ptr E) {
  if (!E) return;
  if (!IsMainThread()) {
    // The report (a message box in the window) belongs to the main thread.
    Post([this, Sender, E] { HandleException(Sender, E); });
    return;
  }
  std::shared_ptr<std::function<void(TObject*, std::exception_ptr)>> Handler;
  {
    std::lock_guard<std::mutex> Lock(FImpl->Lock);
    Handler = FImpl->ExceptionHandler;
  }
  if (Handler && *Handler) {
    try {
      (*Handler)(Sender, E);
      return;
    } catch (...) {
      // A failing report must not end the loop; fall back to the plain line.
      E = std::current_exception();
    }
  }
  const std::string Line = ReportLine(ExceptionText(E));
  std::fputs(Line.c_str(), stderr);
  std::fflush(stderr);
}

void TMainLoop::SetExceptionHandler(std::function<void(TObject*, std::exception_ptr)> Handler) {
  auto Shared =
      Handler
          ? std::make_shared<std::function<void(TObject*, std::exception_ptr)>>(std::move(Handler))
          : nullptr;
  std::lock_guard<std::mutex> Lock(FImpl->Lock);
  FImpl->ExceptionHandler = std::move(Shared);
}

void TMainLoop::SetWakeHook(std::function<void()> Hook) {
  std::shared_ptr<TImpl::THook> Entry;
  if (Hook) {
    Entry = std::make_shared<TImpl::THook>();
    Entry->Call = std::move(Hook);
  }
  std::unique_lock<std::mutex> Lock(FImpl->Lock);
  std::shared_ptr<TImpl::THook> Old = std::move(FImpl->WakeHook);
  const bool External = static_cast<bool>(Entry);
  FImpl->WakeHook = std::move(Entry);
  // Replaced from inside a hook call, the thread would wait for itself.
  if (Old && !GInWakeHook) FImpl->HookIdle.wait(Lock, [&] { return Old->Running == 0; });
  // The idle wait learns whether the loop still sleeps in it; told outside the lock, since it
  // may hand what it waits for back to threads of its own.
  std::shared_ptr<TIdleWait> Idle = FImpl->IdleWait;
  Lock.unlock();
  if (Idle && static_cast<bool>(Old) != External) Idle->Handover(External);
}

// --- timers (main thread only)

bool TMainLoop::NextTimerDeadline(TClock::time_point& Deadline) const {
  bool Found = false;
  for (TTimer* Timer : FImpl->Timers) {
    if (!Found || Timer->FDeadline < Deadline) Deadline = Timer->FDeadline;
    Found = true;
  }
  return Found;
}

void TMainLoop::ScheduleTimer(TTimer& Timer) {
  Timer.FDeadline = TClock::now() + std::chrono::milliseconds(Timer.FInterval);
  if (!Timer.FScheduled) {
    FImpl->Timers.push_back(&Timer);
    Timer.FScheduled = true;
  }
  // An external loop may be sleeping towards an older deadline: tell it.
  CallWakeHook();
}

void TMainLoop::UnscheduleTimer(TTimer& Timer) {
  if (!Timer.FScheduled) return;
  auto& Timers = FImpl->Timers;
  Timers.erase(std::remove(Timers.begin(), Timers.end(), &Timer), Timers.end());
  Timer.FScheduled = false;
  CallWakeHook();
}

void TMainLoop::ServeTimers() {
  const auto Now = TClock::now();
  std::vector<TTimer*> Due;
  for (TTimer* Timer : FImpl->Timers)
    if (Timer->FDeadline <= Now) Due.push_back(Timer);
  std::stable_sort(Due.begin(), Due.end(),
                   [](TTimer* a, TTimer* b) { return a->FDeadline < b->FDeadline; });
  for (TTimer* Timer : Due) {
    // An earlier tick may have destroyed, stopped or restarted this one.
    auto& Timers = FImpl->Timers;
    if (std::find(Timers.begin(), Timers.end(), Timer) == Timers.end()) continue;
    if (Timer->FDeadline > Now) continue;
    // Next interval counted from now: a loop that was held up does not fire a burst of
    // ticks to catch up.
    Timer->FDeadline = Now + std::chrono::milliseconds(Timer->FInterval);
    // A copy: the handler may destroy its own timer.
    const TNotifyEvent Handler = Timer->OnTimer;
    if (!Handler) continue;
    TFrameScope Scope(nullptr);
    try {
      Handler(Timer);
    } catch (...) {
      HandleException(Timer, std::current_exception());
    }
  }
}

void TMainLoop::WindowDestroyed(TMessageWindow& Window) {
  std::lock_guard<std::mutex> Lock(FImpl->Lock);
  auto& Sent = FImpl->Sent;
  for (auto It = Sent.begin(); It != Sent.end();) {
    if ((*It)->Window == &Window) {
      TSent* S = *It;
      It = Sent.erase(It);
      S->Result = 0;
      S->Done = true;
      S->Released.notify_one();
    } else {
      ++It;
    }
  }
  auto& Posted = FImpl->Posted;
  Posted.erase(std::remove_if(Posted.begin(), Posted.end(),
                              [&](const TPosted& p) { return p.Window == &Window; }),
               Posted.end());
}

// ---------------------------------------------------------------------------------------------
// TMessageWindow

TMessageWindow::TMessageWindow(TWndProc Proc)
    : FProc(std::make_shared<TWndProc>(std::move(Proc))) {}

TMessageWindow::~TMessageWindow() {
  TMainLoop::Instance().WindowDestroyed(*this);
}

intptr_t TMessageWindow::SendMessage_(uint32_t Msg, uintptr_t WParam, intptr_t LParam) {
  TMainLoop& Loop = TMainLoop::Instance();
  TMessage Message{Msg, WParam, LParam, 0};
  if (Loop.IsMainThread()) {
    auto Proc = FProc;
    Loop.DeliverToWindow(Proc, Message, nullptr);
    return Message.Result;
  }
  TMainLoop::TSent Sent;
  Sent.Window = this;
  Sent.Message = Message;
  Loop.Queue(&Sent);
  std::unique_lock<std::mutex> Lock(Loop.FImpl->Lock);
  Sent.Released.wait(Lock, [&] { return Sent.Done; });
  return Sent.Result;
}

void TMessageWindow::PostMessage_(uint32_t Msg, uintptr_t WParam, intptr_t LParam) {
  TMainLoop::TPosted Posted;
  Posted.Window = this;
  Posted.Message = TMessage{Msg, WParam, LParam, 0};
  TMainLoop::Instance().Queue(std::move(Posted));
}

bool InSendMessage_() {
  return GFrame && GFrame->Sent && !GFrame->Replied;
}

void ReplyMessage_(intptr_t Result) {
  if (!GFrame || !GFrame->Sent || GFrame->Replied) return;
  GFrame->Replied = true;
  TMainLoop::Instance().Reply(static_cast<TMainLoop::TSent*>(GFrame->Sent), Result);
}

intptr_t DefWindowProc_(TMessage&) {
  return 0;
}

}  // namespace comfind
