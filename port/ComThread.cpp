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
  Start();
}

TComThread::~TComThread() {
  // Released without its close (a close that failed half-way): the session ends here.
  if (FServer) {
    FServer->Reclaim(*this);
    FServer.reset();
  }
  const bool Session = FStopEvent != 0;
  Quit();
  if (Session) {
    RequestStop();
    FOS->Sleep(0);
  }
  WaitFor();
  if (!Session) return;
  if (!FDetached && !FWaitFinished) FinishWait();
  // Closed here rather than by the body: a body that ended on its own (a failed wait) would
  // otherwise leave a closed handle for the SetEvent above.
  FOS->CloseHandle(FStopEvent);
  if (!FWait) return;
  if (!FDetached) {
    FComPort->FUnfinishedWaits.push_back(std::move(FWait));
  } else if (FOS->HasOverlappedIoCompleted_(&FWait->Overlapped)) {
    // A detached thread must not look at its port (which may be gone); the port has closed
    // the device, which ended the wait.
    FOS->CloseHandle(FWait->Overlapped.hEvent);
    FWait.reset();
  } else {
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
  FStopRequested = false;
  FArmed = false;
  FEmptyPasses = 0;
  FWaitFinished = false;
  FStopEvent = FOS->CreateEventA(true, false);
  SetPriority(P->FEventThreadPriority);
  FOS->SetCommMask(FHandle, EventsToMask(P->FEvents));
  FWait = std::make_unique<TComWaitRecord>();
  FWait->Overlapped.hEvent = FOS->CreateEventA(true, true);
  // The handlers run on the main thread anyway: where its loop can wait for the device
  // itself, it does, and this thread stays asleep.
  if (P->FSyncMethod != smNone && FWait->Overlapped.hEvent) {
    std::shared_ptr<TComIdleWait> Server = TComIdleWait::For(*FOS);
    if (Server && Server->CanServe()) {
      // A device that refuses the first wait ends the loop before it starts, as the thread's
      // first pass would.
      if (!Arm()) return FinishWait();
      if (Server->Lend(*this)) {
        FServer = std::move(Server);
        return;
      }
    }
  }
  RequestRun();
}

bool TComThread::End() {
  if (FServer) {
    // The loop served the wait and this thread sleeps: there is nothing to stop.
    FServer->Reclaim(*this);
    FServer.reset();
  } else if (FRunRequested || FRunning) {
    if (!CanWaitHere()) return false;
    RequestStop();
    FOS->Sleep(0);
    TMainLoop::Instance().ServeSentUntil([this] { return !FRunRequested && !FRunning; });
  }
  if (!FWaitFinished) FinishWait();
  FOS->CloseHandle(FStopEvent);
  FStopEvent = 0;
  if (FWait) FComPort->FUnfinishedWaits.push_back(std::move(FWait));
  {
    std::lock_guard<std::mutex> L(FLock);
    FSessionLive = false;
  }
  // Asleep without a session, the thread now counts down to its end.
  FChanged.notify_one();
  return true;
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
  if (!FWait) return;
  TComOS& OS = *FOS;
  TComWaitRecord& W = *FWait;
  if (!FDetached) {
    // Win32 completes the cancelled wait on its own time, not inside SetCommMask.
    if (OS.SetCommMask(FHandle, 0) && !OS.HasOverlappedIoCompleted_(&W.Overlapped))
      OS.WaitForSingleObject(W.Overlapped.hEvent, kCancelledWaitMs);
    OS.PurgeComm(FHandle, PURGE_TXCLEAR_ | PURGE_RXCLEAR_);
  }
  // A wait that has not ended (SetCommMask failed, or the bound passed) may still be written
  // by the system: the record stays, and the port frees it once the device is closed.
  if (OS.HasOverlappedIoCompleted_(&W.Overlapped)) {
    OS.CloseHandle(W.Overlapped.hEvent);
    FWait.reset();
  }
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
      // No open has wanted the thread for a while: a closed port keeps no thread.
      FExited = true;
      return;
    }
    if (FQuit && !FRunRequested) return;
    if (!FRunRequested) continue;  // a session began, and the main loop serves its wait
    FRunning = true;
    FRunRequested = false;
    L.unlock();
    try {
      RunLoop();
    } catch (...) {
      // A delivery raised (smThreadSync: raised again here; smNone: raised here). The wait
      // ends; the failure is shown on the main thread like any other.
      TMainLoop::Instance().Post(
          [E = std::current_exception()] { TMainLoop::Instance().HandleException(nullptr, E); });
    }
    // A loop that ended by itself (a failed wait, a delivery that raised) ends the thread, as
    // it always has: only a thread whose wait the close ended sleeps on for the next open.
    const bool Stopped = FStopRequested && !FDetached;
    L.lock();
    if (!Stopped) FExited = true;
    FRunning = false;
    L.unlock();
    // The close may be waiting for exactly this.
    TMainLoop::Instance().Wake();
    if (!Stopped) return;
    L.lock();
  }
}

void TComThread::RunLoop() {
  TComOS& OS = *FOS;
  // Also when a delivery raised (smThreadSync, smNone): a loop that ends must not leave its
  // wait request, its event or the driver's buffers behind.
  TScopeExit Cleanup([this] { FinishWait(); });
  if (!FWait || FStopRequested) return;
  TComWaitRecord& W = *FWait;
  const THandle WaitList[2] = {FStopEvent, W.Overlapped.hEvent};
  // A stop asked for during a delivery ends the loop before the next wait request: the
  // device may be closed by then (a close from inside the delivery).
  while (!FStopRequested) {
    // A request refused at once (not left pending) means the handle cannot wait any more;
    // the event may still be signalled from the last pass, so waiting would spin. A request
    // the main loop issued before it handed the wait back is still the one to wait for.
    if (!FArmed && !Arm()) break;
    const uint32_t R = OS.WaitForMultipleObjects(2, WaitList, INFINITE_);
    if (R != WAIT_OBJECT_0_ + 1) break;
    FArmed = false;
    uint32_t Unused = 0;
    if (OS.GetOverlappedResult(FHandle, &W.Overlapped, &Unused, false) && W.Mask != 0) {
      FEmptyPasses = 0;
      FEvents = MaskToEvents(W.Mask);
      if (!FEvents.Empty()) DispatchEvents();
    } else if (++FEmptyPasses >= kMaxEmptyPasses) {
      break;
    }
  }
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
