// The worker thread and the timer, the main loop's clients: a thread's end is announced to the
// loop (ThreadEnded) and waited for through it (WaitForThread); a timer is an entry of the
// loop's schedule.
#include <thread>

#include "framework/MainLoop.h"

namespace comfind {

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
  TMainLoop& Loop = TMainLoop::Instance();
  if (FEnabled && FInterval > 0)
    Loop.ScheduleTimer(*this);
  else
    Loop.UnscheduleTimer(*this);
}

}  // namespace comfind
