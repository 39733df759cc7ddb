// The event thread of a port: its sessions, its wait loop, the wait it lends the main loop,
// and the hand-over of each set of events by the port's SyncMethod. The work of each event is
// the port's (ComEvents.cpp).
#include "port/ComThread.h"

#include <exception>
#include <memory>
#include <utility>

#include "port/CPort.h"

namespace comfind {

namespace {

// The event thread running on this thread, if any: a port closed from inside a delivery on
// its own event thread must not wait for that thread.
thread_local const TComThread* tCurrentComThread = nullptr;

// Waits that end without a result this many times in a row mean the device no longer waits
// (a vanished adapter): the loop ends instead of spinning on it.
constexpr int kMaxEmptyPasses = 2;
// How long the end of the wait waits for a cancelled comm wait to complete. Windows (and Wine,
// which polls every millisecond) completes it promptly; the bound only keeps a close from
// hanging on a driver that never does.
constexpr uint32_t kCancelledWaitMs = 5000;

}  // namespace

// ---------------------------------------------------------------------------------------------
// The port's side

TComThread::TComThread(TCustomComPort* AComPort) : FComPort(AComPort), FOS(AComPort->FOS) {
  // One stop event for all sessions, closed only after the thread has ended: a close that
  // does not wait for the thread must not close an event the thread may still be waiting on.
  FStopEvent = FOS->CreateEventA(true, false);
  Start();
}

TComThread::~TComThread() {
  // Released without its close (a close that failed half-way): the session ends here.
  if (FServer) {
    FServer->Reclaim(*this);
    FServer.reset();
  }
  bool Session = false;
  {
    std::lock_guard<std::mutex> L(FLock);
    Session = FSessionLive;
  }
  Quit();
  if (Session) {
    RequestStop();
    FOS->Sleep(0);
  }
  WaitFor();
  if (Session && !FDetached && !FWaitFinished) FinishWait();
  ReleaseEvents();
  if (!FWait) return;
  if (!FDetached) {
    FComPort->FUnfinishedWaits.push_back(std::move(FWait));
  } else {
    // A detached thread must not look at its port (which may be gone), and the system may
    // still write the record.
    [[maybe_unused]] TComWaitRecord* Kept = FWait.release();
  }
}

bool TComThread::Adopt() {
  std::lock_guard<std::mutex> L(FLock);
  if (FExited || FQuit || FDetached) return false;
  FSessionLive = true;
  return true;
}

void TComThread::Begin() {
  TCustomComPort* P = FComPort;
  FHandle = P->FHandle;
  {
    // A loop of the last session that has not noticed its end yet sees a new number and
    // leaves without touching the wait again.
    std::lock_guard<std::mutex> L(FLock);
    ++FSession;
    FStopRequested = false;
  }
  FArmed = false;
  FEmptyPasses = 0;
  FWaitFinished = false;
  FOS->ResetEvent(FStopEvent);
  SetPriority(P->FEventThreadPriority);
  FOS->SetCommMask(FHandle, EventsToMask(P->FEvents));
  // The record of the last session serves this one (it ended with that session); one whose
  // end could not be seen went to the port, and one without an event is made anew.
  if (FWait && !FWait->Overlapped.hEvent) FWait.reset();
  if (!FWait) {
    FWait = std::make_unique<TComWaitRecord>();
    FWait->Overlapped.hEvent = FOS->CreateEventA(true, true);
  }
  // The wait is issued here, wherever it is served: the thread then only has to sleep in it,
  // so a close that comes at once finds it asleep (or not yet started) and need not wait for
  // it. A device that refuses the first wait ends the loop before it starts, as the thread's
  // first pass would.
  if (FWait->Overlapped.hEvent && !Arm()) return FinishWait();
  // The handlers run on the main thread anyway: where its loop can wait for the device
  // itself, it does, and this thread stays asleep.
  if (P->FSyncMethod != smNone && FWait->Overlapped.hEvent) {
    std::shared_ptr<TComIdleWait> Server = TComIdleWait::For(*FOS);
    if (Server && Server->Lend(*this)) {
      FServer = std::move(Server);
      return;
    }
  }
  RequestRun();
}

bool TComThread::End() {
  bool Stopped = false;
  if (FServer) {
    // The loop served the wait and this thread sleeps: there is nothing to stop.
    FServer->Reclaim(*this);
    FServer.reset();
  } else {
    std::unique_lock<std::mutex> L(FLock);
    if (FRunRequested) {
      // The thread has not taken the wait yet (an open closed again at once, as a search's
      // ports are): it never will, so there is nothing to stop and nothing to wait for.
      FRunRequested = false;
    } else if (FRunning) {
      if (FBusy && !CanWaitHere()) return false;
      FStopRequested = true;
      // Seen together with the stop: the thread parks for the next open straight away.
      FSessionLive = false;
      Stopped = true;
      // A thread in its wait delivers nothing more once it sees the stop (it checks under
      // this lock before it touches the wait again), so the close need not wait for it; only
      // one that is arming the wait or delivering is waited for.
      const bool Wait = FBusy;
      FCloserWaits = Wait;
      L.unlock();
      FOS->SetEvent(FStopEvent);
      if (Wait) {
        FOS->Sleep(0);
        TMainLoop::Instance().ServeSentUntil([this] { return !FBusy; });
        L.lock();
        FCloserWaits = false;
      }
    }
    if (L.owns_lock()) L.unlock();
    // What other threads have sent to the main thread so far is served, as a close that waits
    // for its thread serves it: a delivery another port has queued comes before whatever
    // follows the close.
    TMainLoop::Instance().ServeSentSoFar();
  }
  if (!FWaitFinished) FinishWait();
  if (FWait && !FOS->HasOverlappedIoCompleted_(&FWait->Overlapped)) {
    // The wait could not be seen to end: the record goes to the port, which frees it once the
    // device is closed, and the thread must be out of its wait on the record's event first.
    WaitForLoopEnd();
    FComPort->FUnfinishedWaits.push_back(std::move(FWait));
  }
  bool Exited = false;
  bool Idle = false;
  {
    std::lock_guard<std::mutex> L(FLock);
    Exited = FExited;
    Idle = !FRunning;
    FSessionLive = false;
  }
  if (Exited) {
    // A thread that has ended (its wait failed for good) serves no other open: the port keeps
    // nothing of it but the object.
    ReleaseEvents();
  } else if (Idle && !Stopped) {
    // The thread did not wait on the record this time (the main loop served it, or the close
    // came first): it goes, with the descriptor the layer may have made for its event, and
    // the next open makes another. Only a record the thread may still be waiting on is kept.
    ReleaseRecord();
  }
  if (Stopped) return true;
  // Asleep without a session, the thread now counts down to its end.
  FChanged.notify_one();
  return true;
}

void TComThread::WaitForLoopEnd() {
  {
    std::lock_guard<std::mutex> L(FLock);
    if (!FRunning) return;
    FCloserWaits = true;
  }
  TMainLoop::Instance().ServeSentUntil([this] { return !FRunning; });
  std::lock_guard<std::mutex> L(FLock);
  FCloserWaits = false;
}

void TComThread::ReleaseEvents() {
  if (FStopEvent) FOS->CloseHandle(FStopEvent);
  FStopEvent = 0;
  ReleaseRecord();
}

void TComThread::ReleaseRecord() {
  if (FWait && FOS->HasOverlappedIoCompleted_(&FWait->Overlapped)) {
    FOS->CloseHandle(FWait->Overlapped.hEvent);
    FWait.reset();
  }
}

void TComThread::Detach() {
  FDetached = true;
  Quit();
  RequestStop();
}

void TComThread::Quit() {
  {
    std::lock_guard<std::mutex> L(FLock);
    FQuit = true;
  }
  FChanged.notify_one();
}

void TComThread::RequestStop() {
  FStopRequested = true;
  FOS->SetEvent(FStopEvent);
}

void TComThread::RequestRun() {
  {
    std::lock_guard<std::mutex> L(FLock);
    FRunRequested = true;
  }
  FChanged.notify_one();
}

bool TComThread::CanWaitHere() const {
  return tCurrentComThread != this && !FSyncDelivering;
}

// ---------------------------------------------------------------------------------------------
// The wait, wherever it is served

bool TComThread::Arm() {
  TComWaitRecord& W = *FWait;
  W.Mask = 0;
  if (!FOS->WaitCommEvent(FHandle, &W.Mask, &W.Overlapped) &&
      FOS->GetLastError() != ERROR_IO_PENDING_)
    return false;
  FArmed = true;
  return true;
}

void TComThread::FinishWait() {
  FWaitFinished = true;
  FArmed = false;
  if (!FWait || FDetached) return;
  TComOS& OS = *FOS;
  TComWaitRecord& W = *FWait;
  // Win32 completes the cancelled wait on its own time, not inside SetCommMask. The record
  // stays for the next session; one whose wait has not ended (SetCommMask failed, or the bound
  // passed) may still be written by the system, and the close hands it to the port.
  if (OS.SetCommMask(FHandle, 0) && !OS.HasOverlappedIoCompleted_(&W.Overlapped))
    OS.WaitForSingleObject(W.Overlapped.hEvent, kCancelledWaitMs);
  OS.PurgeComm(FHandle, PURGE_TXCLEAR_ | PURGE_RXCLEAR_);
}

// ---------------------------------------------------------------------------------------------
// This thread

void TComThread::Execute() {
  tCurrentComThread = this;
  std::unique_lock<std::mutex> L(FLock);
  for (;;) {
    const auto Due = [this] { return FRunRequested || FQuit; };
    if (FSessionLive) {
      FChanged.wait(L, [&] { return Due() || !FSessionLive; });
    } else if (!FChanged.wait_for(L, std::chrono::milliseconds(kParkMs),
                                  [&] { return Due() || FSessionLive; })) {
      // No open has wanted the thread for a while: a closed port keeps no thread, and none of
      // its events (no open can take the thread any more, so nobody else uses them).
      FExited = true;
      L.unlock();
      ReleaseEvents();
      return;
    }
    if (FQuit && !FRunRequested) return;
    if (!FRunRequested) continue;  // a session began, and the main loop serves its wait
    FRunning = true;
    FRunRequested = false;
    // The open has issued the wait (and it is not stopped): the thread is not busy from here,
    // so a close that comes while it is still on its way into the wait need not wait for it.
    const bool Ready = FArmed && !FStopRequested;
    FBusy = !Ready;
    const uint64_t Session = FSession;
    L.unlock();
    const bool Stopped = RunLoop(Session, Ready) && !FDetached;
    L.lock();
    FBusy = false;
    FRunning = false;
    // A loop that ended by itself (a failed wait, a delivery that raised) ends the thread, as
    // it always has: only a thread whose wait the close ended sleeps on for the next open.
    if (!Stopped) FExited = true;
    const bool Waited = FCloserWaits;
    L.unlock();
    if (Waited) TMainLoop::Instance().Wake();
    if (!Stopped) return;
    L.lock();
  }
}

bool TComThread::RunLoop(uint64_t Session, bool Ready) {
  bool Stopped = false;
  try {
    Stopped = WaitLoop(Session, Ready);
  } catch (...) {
    // A delivery raised (smThreadSync: raised again here; smNone: raised here). The wait
    // ends; the failure is shown on the main thread like any other.
    TMainLoop::Instance().Post(
        [E = std::current_exception()] { TMainLoop::Instance().HandleException(nullptr, E); });
  }
  // A loop that ends by itself (also when a delivery raised) must not leave its wait request
  // or the driver's buffers behind; after a stop the close does that.
  if (!Stopped) FinishWait();
  return Stopped;
}

bool TComThread::WaitLoop(uint64_t Session, bool Ready) {
  TComOS& OS = *FOS;
  if (!FWait) return false;
  // The record and the stop event stay with the thread while it lives: a close may take the
  // session over meanwhile, but not these.
  TComWaitRecord& W = *FWait;
  const THandle WaitList[2] = {FStopEvent, W.Overlapped.hEvent};
  for (;; Ready = false) {
    if (!Ready) {
      // A stop asked for during a delivery ends the loop before the next wait request: the
      // device may be closed by then (a close from inside the delivery).
      if (FStopRequested) return true;
      // A request refused at once (not left pending) means the handle cannot wait any more;
      // the event may still be signalled from the last pass, so waiting would spin. A request
      // the main loop issued before it handed the wait back is still the one to wait for.
      if (!FArmed && !Arm()) return false;
      if (!LetGo()) return true;
    }
    const uint32_t R = OS.WaitForMultipleObjects(2, WaitList, INFINITE_);
    if (!TakeUp(Session)) return true;
    if (R != WAIT_OBJECT_0_ + 1) return false;
    FArmed = false;
    uint32_t Unused = 0;
    if (OS.GetOverlappedResult(FHandle, &W.Overlapped, &Unused, false) && W.Mask != 0) {
      FEmptyPasses = 0;
      FEvents = MaskToEvents(W.Mask);
      if (!FEvents.Empty()) DispatchEvents();
    } else if (++FEmptyPasses >= kMaxEmptyPasses) {
      return false;
    }
  }
}

bool TComThread::LetGo() {
  bool Waited = false;
  bool Go = false;
  {
    std::lock_guard<std::mutex> L(FLock);
    FBusy = false;
    Waited = FCloserWaits;
    Go = !FStopRequested;
  }
  if (Waited) TMainLoop::Instance().Wake();
  return Go;
}

bool TComThread::TakeUp(uint64_t Session) {
  std::lock_guard<std::mutex> L(FLock);
  // Stopped while it waited: the close has taken the wait over (and may have begun the next
  // session), so the result is not this thread's any more.
  if (FStopRequested || FSession != Session) return false;
  FBusy = true;
  return true;
}

void TCustomComPort::ReleaseUnfinishedWaits() {
  for (auto& W : FUnfinishedWaits) {
    // The device is closed, which ends every wait on it; the system writes the record then.
    if (!OS().HasOverlappedIoCompleted_(&W->Overlapped))
      OS().WaitForSingleObject(W->Overlapped.hEvent, kCancelledWaitMs);
    if (OS().HasOverlappedIoCompleted_(&W->Overlapped)) {
      OS().CloseHandle(W->Overlapped.hEvent);
      W.reset();
    } else {
      // A driver that never ends the wait keeps its record: a few bytes lost for good are
      // better than memory the system writes after it was freed.
      [[maybe_unused]] TComWaitRecord* Kept = W.release();
    }
  }
  FUnfinishedWaits.clear();
}

void TComThread::DispatchEvents() {
  switch (FComPort->FSyncMethod) {
    case smThreadSync:
      Synchronize([this] {
        FSyncDelivering = true;
        TScopeExit Done([this] { FSyncDelivering = false; });
        DeliverEvents();
      });
      break;
    case smWindowSync:
      SendEventMessages();
      break;
    case smNone:
      DeliverEvents();
      break;
  }
}

void TComThread::SendEventMessages() {
  TMessageWindow* Window = FComPort->FNotifyWindow.get();
  if (!Window) return;
  for (const auto& R : TCustomComPort::EventRoutes)
    if (FEvents.Contains(R.Event)) Window->SendMessage_(CM_COMPORT, R.Mask, 0);
}

void TComThread::DeliverEvents() {
  TCustomComPort* P = FComPort;
  for (const auto& R : TCustomComPort::EventRoutes) {
    if (!FEvents.Contains(R.Event)) continue;
    // A handler closed the port: nothing more of this set reaches a handler.
    if (FDetached || !P->Connected()) return;
    (P->*R.Handle)();
  }
}

// ---------------------------------------------------------------------------------------------
// The wait lent to the main loop

THandle TComThread::LentEvent() const {
  return FWait->Overlapped.hEvent;
}

void TComThread::ServeLent(TComIdleWait::TEntry& Entry) {
  TComWaitRecord& W = *FWait;
  FArmed = false;
  uint32_t Unused = 0;
  if (!FOS->GetOverlappedResult(FHandle, &W.Overlapped, &Unused, false) || W.Mask == 0) {
    // As in the thread's own loop: an empty pass waits again, repeated ones end the wait.
    if (++FEmptyPasses >= kMaxEmptyPasses || !Arm()) EndLentWait();
    return;
  }
  FEmptyPasses = 0;
  FEvents = MaskToEvents(W.Mask);
  const TComEvents Events = FEvents;
  TCustomComPort* P = FComPort;
  const TSyncMethod Sync = P->FSyncMethod;
  // A handler may close the port (the entry is then reclaimed), open it again (a new entry),
  // or destroy it with this thread: after each handler the delivery goes on only while the
  // port lives and this is still its wait.
  const std::shared_ptr<const std::atomic<bool>> Alive = P->FAlive;
  std::exception_ptr Error;
  for (const auto& R : TCustomComPort::EventRoutes) {
    if (!Events.Contains(R.Event)) continue;
    if (!*Alive || Entry.Gone || !P->Connected()) return;
    try {
      (P->*R.Handle)();
    } catch (...) {
      // smWindowSync: what the hidden window's procedure does, and the next event follows.
      if (Sync == smWindowSync) {
        TMainLoop::Instance().HandleException(P, std::current_exception());
        continue;
      }
      // smThreadSync: what the thread's loop does when a synchronised delivery raises.
      Error = std::current_exception();
      break;
    }
  }
  if (!*Alive || Entry.Gone) return;
  if (Error) {
    EndLentWait();
    TMainLoop::Instance().Post([Error] { TMainLoop::Instance().HandleException(nullptr, Error); });
    return;
  }
  if (!Arm()) EndLentWait();
}

void TComThread::HandBack() {
  if (FServer) {
    FServer->Reclaim(*this);
    FServer.reset();
  }
  RequestRun();
}

void TComThread::EndLentWait() {
  if (FServer) {
    FServer->Reclaim(*this);
    FServer.reset();
  }
  FinishWait();
  // As the thread's own loop ending by itself ends the thread.
  {
    std::lock_guard<std::mutex> L(FLock);
    FExited = true;
    FQuit = true;
  }
  FChanged.notify_one();
}

}  // namespace comfind
