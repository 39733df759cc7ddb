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
  } catch (const Exception& e) {
    return e.Message();
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "Unknown exception";
  }
}

// One line for a terminal: the text is code page 1251, line breaks inside a message (the
// system's error texts carry CR LF) become a space, other control bytes are shown as \xNN.
std::string ReportLine(const std::string& Text) {
  std::string clean;
  bool lastBreak = false;
  for (char c : Text) {
    const auto b = static_cast<unsigned char>(c);
    if (b == '\r' || b == '\n') {
      if (!lastBreak) clean += ' ';
      lastBreak = true;
      continue;
    }
    lastBreak = false;
    if (b < 0x20 || b == 0x7F)
      clean += Format("\\x%02X", b);
    else
      clean += c;
  }
  while (!clean.empty() && clean.back() == ' ')
    clean.pop_back();
  return "Exception: " + Cp1251ToUtf8(clean) + "\n";
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// TMainLoop

TMainLoop& TMainLoop::Instance() {
  // Never destroyed: worker threads ending during static destruction still find it whole.
  static TMainLoop* const loop = new TMainLoop();
  return *loop;
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
  std::shared_ptr<TImpl::THook> hook;
  {
    std::lock_guard<std::mutex> lock(FImpl->Lock);
    hook = FImpl->WakeHook;
    if (!hook) return;
    ++hook->Running;
  }
  struct TDone {
    TImpl* Impl;
    TImpl::THook* Hook;
    bool Outer;
    ~TDone() {
      GInWakeHook = Outer;
      std::lock_guard<std::mutex> lock(Impl->Lock);
      if (--Hook->Running == 0) Impl->HookIdle.notify_all();
    }
  } done{FImpl, hook.get(), GInWakeHook};
  // Called outside the lock: another loop's hook may take its own locks or call back in.
  GInWakeHook = true;
  hook->Call();
}

void TMainLoop::WakeMainLocked() {
  FImpl->MainWake.notify_all();
  if (FImpl->Sleeper) FImpl->Sleeper->Wake();
}

void TMainLoop::Queue(TSent* Sent) {
  {
    std::lock_guard<std::mutex> lock(FImpl->Lock);
    FImpl->Sent.push_back(Sent);
    WakeMainLocked();
  }
  CallWakeHook();
}

void TMainLoop::Queue(TPosted&& Posted) {
  {
    std::lock_guard<std::mutex> lock(FImpl->Lock);
    Posted.Serial = FImpl->NextSerial++;
    FImpl->Posted.push_back(std::move(Posted));
    WakeMainLocked();
  }
  CallWakeHook();
}

void TMainLoop::Reply(TSent* Sent, intptr_t Result) {
  std::lock_guard<std::mutex> lock(FImpl->Lock);
  Sent->Result = Result;
  Sent->Done = true;
  // Notified under the lock: the worker cannot wake, return and destroy Released before
  // notify_one has finished with it.
  Sent->Released.notify_one();
}

void TMainLoop::Post(std::function<void()> Work) {
  TPosted posted;
  posted.Work = std::move(Work);
  Queue(std::move(posted));
}

void TMainLoop::Synchronize(const std::function<void()>& Work) {
  if (IsMainThread()) {
    Work();
    return;
  }
  TSent sent;
  sent.Work = &Work;
  Queue(&sent);
  {
    std::unique_lock<std::mutex> lock(FImpl->Lock);
    sent.Released.wait(lock, [&] { return sent.Done; });
  }
  if (sent.Error) std::rethrow_exception(sent.Error);
}

bool TMainLoop::ServeOneSent() {
  TSent* sent;
  std::shared_ptr<std::function<void(TMessage&)>> proc;
  {
    std::lock_guard<std::mutex> lock(FImpl->Lock);
    if (FImpl->Sent.empty()) return false;
    sent = FImpl->Sent.front();
    FImpl->Sent.pop_front();
    if (sent->Window) proc = sent->Window->FProc;
  }
  if (sent->Window) {
    // The procedure works on a copy: once it replies, the sender's record may be gone.
    TMessage message = sent->Message;
    DeliverToWindow(proc, message, sent);
  } else {
    Dispatch(sent);
  }
  return true;
}

void TMainLoop::ServeSent() {
  while (ServeOneSent()) {
  }
}

void TMainLoop::Dispatch(TSent* Sent) {
  // Not a message: InSendMessage_ and ReplyMessage_ inside refer to no message at all.
  TFrameScope scope(nullptr);
  try {
    (*Sent->Work)();
  } catch (...) {
    Sent->Error = std::current_exception();
  }
  Reply(Sent, 0);
}

void TMainLoop::DeliverToWindow(const std::shared_ptr<std::function<void(TMessage&)>>& Proc,
                                TMessage& Message, TSent* Sent) {
  std::exception_ptr error;
  {
    TFrameScope scope(Sent);
    try {
      if (Proc && *Proc) (*Proc)(Message);
    } catch (...) {
      error = std::current_exception();
    }
    if (Sent && !scope.Frame.Replied) {
      scope.Frame.Replied = true;
      Reply(Sent, Message.Result);
    }
  }
  // Reported after the sender is released: a report that waits for the user (a message box)
  // must not hold the sending thread.
  if (error) HandleException(nullptr, error);
}

void TMainLoop::ProcessMessages() {
  CheckMainThread("ProcessMessages");
  ServeSent();
  // Only what was posted before this round: work that posts more work must not keep the
  // round going for ever.
  uint64_t limit;
  {
    std::lock_guard<std::mutex> lock(FImpl->Lock);
    limit = FImpl->NextSerial;
  }
  for (;;) {
    TPosted posted;
    std::shared_ptr<std::function<void(TMessage&)>> proc;
    {
      std::lock_guard<std::mutex> lock(FImpl->Lock);
      if (FImpl->Posted.empty() || FImpl->Posted.front().Serial >= limit) break;
      posted = std::move(FImpl->Posted.front());
      FImpl->Posted.pop_front();
      if (posted.Window) proc = posted.Window->FProc;
    }
    if (posted.Window) {
      DeliverToWindow(proc, posted.Message, nullptr);
    } else {
      TFrameScope scope(nullptr);
      try {
        if (posted.Work) posted.Work();
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
  std::lock_guard<std::mutex> lock(FImpl->Lock);
  return FImpl->Wakeups;
}

void TMainLoop::WaitForWork(TClock::time_point Until, bool UseUntil) {
  WaitForWork(Until, UseUntil, Wakeups());
}

void TMainLoop::WaitForWork(TClock::time_point Until, bool UseUntil, uint64_t Seen) {
  TClock::time_point timer;
  const bool hasTimer = NextTimerDeadline(timer);
  std::unique_lock<std::mutex> lock(FImpl->Lock);
  const uint64_t seen = Seen;
  auto ready = [&] {
    return !FImpl->Sent.empty() || !FImpl->Posted.empty() || FImpl->Wakeups != seen || FTerminated;
  };
  if (hasTimer && (!UseUntil || timer < Until)) {
    Until = timer;
    UseUntil = true;
  }
  if (FImpl->IdleWait && !FImpl->WakeHook) {
    if (ready()) return;
    // Nested sleeps (a handler the wait runs serves the loop itself) share one sleeper.
    std::shared_ptr<TIdleWait> wait = FImpl->IdleWait;
    std::shared_ptr<TIdleWait> outer = std::exchange(FImpl->Sleeper, wait);
    lock.unlock();
    bool slept;
    {
      TScopeExit awake([&] {
        lock.lock();
        if (FImpl->Sleeper == wait) FImpl->Sleeper = outer;
      });
      slept = wait->Sleep(Until, UseUntil);
    }
    if (slept) return;
  }
  if (UseUntil)
    FImpl->MainWake.wait_until(lock, Until, ready);
  else
    FImpl->MainWake.wait(lock, ready);
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
    std::lock_guard<std::mutex> lock(FImpl->Lock);
    FTerminated = true;
    ++FImpl->Wakeups;
    WakeMainLocked();
  }
  CallWakeHook();
}

void TMainLoop::Wake() {
  {
    std::lock_guard<std::mutex> lock(FImpl->Lock);
    ++FImpl->Wakeups;
    WakeMainLocked();
  }
  CallWakeHook();
}

bool TMainLoop::InstallIdleWait(std::shared_ptr<TIdleWait> Wait) {
  std::lock_guard<std::mutex> lock(FImpl->Lock);
  if (FImpl->IdleWait) return FImpl->IdleWait == Wait;
  FImpl->IdleWait = std::move(Wait);
  // A main thread asleep on the condition variable sleeps in the new wait from its next round.
  ++FImpl->Wakeups;
  FImpl->MainWake.notify_all();
  return true;
}

void TMainLoop::RemoveIdleWait(const TIdleWait* Wait) {
  std::lock_guard<std::mutex> lock(FImpl->Lock);
  if (!Wait || FImpl->IdleWait.get() != Wait) return;
  FImpl->IdleWait.reset();
  // A main thread asleep in it must come out: what it would wait for is now waited for
  // elsewhere, and its wake-ups go to the condition variable from now on.
  if (FImpl->Sleeper.get() == Wait) FImpl->Sleeper->Wake();
  FImpl->Sleeper.reset();
}

bool TMainLoop::SelfDriven() const {
  std::lock_guard<std::mutex> lock(FImpl->Lock);
  return !FImpl->WakeHook;
}

void TMainLoop::ServeSentUntil(const std::function<bool()>& Done) {
  const bool main = IsMainThread();
  for (;;) {
    // Only sends and synchronised calls: the other thread may be blocked in one of them,
    // while a posted call or a timer could run code that does not expect to run here (inside
    // a close).
    if (main) ServeSent();
    std::unique_lock<std::mutex> lock(FImpl->Lock);
    if (Done()) return;
    FImpl->MainWake.wait(lock, [&] { return Done() || (main && !FImpl->Sent.empty()); });
    if (Done()) return;
  }
}

void TMainLoop::ProcessMessagesFor(std::chrono::milliseconds Timeout) {
  CheckMainThread("ProcessMessagesFor");
  WaitForWork(TClock::now() + Timeout, true);
  ProcessMessages();
}

bool TMainLoop::ProcessUntil(const std::function<bool()>& Condition,
                             std::chrono::milliseconds Timeout) {
  CheckMainThread("ProcessUntil");
  const auto deadline = TClock::now() + Timeout;
  for (;;) {
    // Counted before the condition is tested: a wake that comes between the test and the
    // wait is not lost.
    const uint64_t seen = Wakeups();
    if (Condition()) return true;
    ProcessMessages();
    if (Condition()) return true;
    const auto now = TClock::now();
    if (now >= deadline) return false;
    WaitForWork(std::min(deadline, now + kConditionRecheck), true, seen);
  }
}

std::chrono::milliseconds TMainLoop::ProcessPending() {
  CheckMainThread("ProcessPending");
  ProcessMessages();
  {
    std::lock_guard<std::mutex> lock(FImpl->Lock);
    // Work posted during this round is due at once.
    if (!FImpl->Posted.empty() || !FImpl->Sent.empty()) return std::chrono::milliseconds(0);
  }
  TClock::time_point next;
  if (!NextTimerDeadline(next)) return std::chrono::milliseconds(-1);
  const auto now = TClock::now();
  if (next <= now) return std::chrono::milliseconds(0);
  // Rounded up, so that the caller does not wake a moment before the deadline and find
  // nothing due.
  return std::chrono::ceil<std::chrono::milliseconds>(next - now);
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
  std::lock_guard<std::mutex> lock(FImpl->Lock);
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
  std::shared_ptr<std::function<void(TObject*, std::exception_ptr)>> handler;
  {
    std::lock_guard<std::mutex> lock(FImpl->Lock);
    handler = FImpl->ExceptionHandler;
  }
  if (handler && *handler) {
    try {
      (*handler)(Sender, E);
      return;
    } catch (...) {
      // A failing report must not end the loop; fall back to the plain line.
      E = std::current_exception();
    }
  }
  const std::string line = ReportLine(ExceptionText(E));
  std::fputs(line.c_str(), stderr);
  std::fflush(stderr);
}

void TMainLoop::SetExceptionHandler(std::function<void(TObject*, std::exception_ptr)> Handler) {
  auto shared =
      Handler
          ? std::make_shared<std::function<void(TObject*, std::exception_ptr)>>(std::move(Handler))
          : nullptr;
  std::lock_guard<std::mutex> lock(FImpl->Lock);
  FImpl->ExceptionHandler = std::move(shared);
}

void TMainLoop::SetWakeHook(std::function<void()> Hook) {
  std::shared_ptr<TImpl::THook> hook;
  if (Hook) {
    hook = std::make_shared<TImpl::THook>();
    hook->Call = std::move(Hook);
  }
  std::unique_lock<std::mutex> lock(FImpl->Lock);
  std::shared_ptr<TImpl::THook> old = std::move(FImpl->WakeHook);
  const bool external = static_cast<bool>(hook);
  FImpl->WakeHook = std::move(hook);
  // Replaced from inside a hook call, the thread would wait for itself.
  if (old && !GInWakeHook) FImpl->HookIdle.wait(lock, [&] { return old->Running == 0; });
  // The idle wait learns whether the loop still sleeps in it; told outside the lock, since it
  // may hand what it waits for back to threads of its own.
  std::shared_ptr<TIdleWait> idle = FImpl->IdleWait;
  lock.unlock();
  if (idle && static_cast<bool>(old) != external) idle->Handover(external);
}

// --- timers (main thread only)

bool TMainLoop::NextTimerDeadline(TClock::time_point& Deadline) const {
  bool found = false;
  for (TTimer* timer : FImpl->Timers) {
    if (!found || timer->FDeadline < Deadline) Deadline = timer->FDeadline;
    found = true;
  }
  return found;
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
  auto& timers = FImpl->Timers;
  timers.erase(std::remove(timers.begin(), timers.end(), &Timer), timers.end());
  Timer.FScheduled = false;
  CallWakeHook();
}

void TMainLoop::ServeTimers() {
  const auto now = TClock::now();
  std::vector<TTimer*> due;
  for (TTimer* timer : FImpl->Timers)
    if (timer->FDeadline <= now) due.push_back(timer);
  std::stable_sort(due.begin(), due.end(),
                   [](TTimer* a, TTimer* b) { return a->FDeadline < b->FDeadline; });
  for (TTimer* timer : due) {
    // An earlier tick may have destroyed, stopped or restarted this one.
    auto& timers = FImpl->Timers;
    if (std::find(timers.begin(), timers.end(), timer) == timers.end()) continue;
    if (timer->FDeadline > now) continue;
    // Next interval counted from now: a loop that was held up does not fire a burst of
    // ticks to catch up.
    timer->FDeadline = now + std::chrono::milliseconds(timer->FInterval);
    // A copy: the handler may destroy its own timer.
    const TNotifyEvent handler = timer->OnTimer;
    if (!handler) continue;
    TFrameScope scope(nullptr);
    try {
      handler(timer);
    } catch (...) {
      HandleException(timer, std::current_exception());
    }
  }
}

void TMainLoop::WindowDestroyed(TMessageWindow& Window) {
  std::lock_guard<std::mutex> lock(FImpl->Lock);
  auto& sent = FImpl->Sent;
  for (auto it = sent.begin(); it != sent.end();) {
    if ((*it)->Window == &Window) {
      TSent* s = *it;
      it = sent.erase(it);
      s->Result = 0;
      s->Done = true;
      s->Released.notify_one();
    } else {
      ++it;
    }
  }
  auto& posted = FImpl->Posted;
  posted.erase(std::remove_if(posted.begin(), posted.end(),
                              [&](const TPosted& p) { return p.Window == &Window; }),
               posted.end());
}

// ---------------------------------------------------------------------------------------------
// TMessageWindow

TMessageWindow::TMessageWindow(TWndProc Proc)
    : FProc(std::make_shared<TWndProc>(std::move(Proc))) {}

TMessageWindow::~TMessageWindow() {
  TMainLoop::Instance().WindowDestroyed(*this);
}

intptr_t TMessageWindow::SendMessage_(uint32_t Msg, uintptr_t WParam, intptr_t LParam) {
  TMainLoop& loop = TMainLoop::Instance();
  TMessage message{Msg, WParam, LParam, 0};
  if (loop.IsMainThread()) {
    auto proc = FProc;
    loop.DeliverToWindow(proc, message, nullptr);
    return message.Result;
  }
  TMainLoop::TSent sent;
  sent.Window = this;
  sent.Message = message;
  loop.Queue(&sent);
  std::unique_lock<std::mutex> lock(loop.FImpl->Lock);
  sent.Released.wait(lock, [&] { return sent.Done; });
  return sent.Result;
}

void TMessageWindow::PostMessage_(uint32_t Msg, uintptr_t WParam, intptr_t LParam) {
  TMainLoop::TPosted posted;
  posted.Window = this;
  posted.Message = TMessage{Msg, WParam, LParam, 0};
  TMainLoop::Instance().Queue(std::move(posted));
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

// ---------------------------------------------------------------------------------------------
// TThread

TThread::TThread() = default;

TThread::~TThread() {
  // Reached with the body still running only when a derived class did not wait in its own
  // destructor; the wait here at least keeps the thread from outliving its object.
  if (FThread.joinable()) {
    Terminate();
    WaitFor();
  }
}

void TThread::Start() {
  if (FStarted) throw Exception("Cannot call Start on a running or finished thread");
  FThread = std::thread([this] { ThreadProc(); });
  FStarted = true;
}

void TThread::ThreadProc() {
  try {
    Execute();
  } catch (...) {
    // Kept for the owner (FatalException) instead of ending the process.
    FFatalException = std::current_exception();
  }
  // Taken before the end is announced: once it is, an owner that waits may delete the object.
  const bool Orphaned = FHandOver.exchange(true);
  TMainLoop::Instance().ThreadEnded(*this);
  if (Orphaned) {
    FThread.detach();
    delete this;
  }
}

void TThread::FreeOnTerminate() {
  // The body has ended already (or is past the point where it looks): delete it here; the
  // destructor joins a thread that has finished or is about to.
  if (FHandOver.exchange(true)) delete this;
}

void TThread::WaitFor() {
  TMainLoop::Instance().WaitForThread(*this);
}

void TThread::Synchronize(const std::function<void()>& Method) {
  TMainLoop::Instance().Synchronize(Method);
}

// ---------------------------------------------------------------------------------------------
// TTimer

TTimer::TTimer(TComponent* AOwner) : TComponent(AOwner) {
  Reschedule();
}

TTimer::~TTimer() {
  TMainLoop::Instance().UnscheduleTimer(*this);
}

void TTimer::SetEnabled(bool Value) {
  if (Value == FEnabled) return;
  FEnabled = Value;
  Reschedule();
}

void TTimer::SetInterval(uint32_t Value) {
  if (Value == FInterval) return;
  FInterval = Value;
  Reschedule();
}

void TTimer::Reschedule() {
  TMainLoop& loop = TMainLoop::Instance();
  if (FEnabled && FInterval > 0)
    loop.ScheduleTimer(*this);
  else
    loop.UnscheduleTimer(*this);
}

}  // namespace comfind
