// The event thread of a port: its wait loop and the hand-over of each set of events by the
// port's SyncMethod. The work of each event is the port's (ComEvents.cpp).
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
// How long the end of the thread waits for a cancelled comm wait to complete. Windows (and Wine,
// which polls every millisecond) completes it promptly; the bound only keeps a close from
// hanging on a driver that never does.
constexpr uint32_t kCancelledWaitMs = 5000;

}  // namespace

// ---------------------------------------------------------------------------------------------
// TComThread

TComThread::TComThread(TCustomComPort* AComPort)
    : FComPort(AComPort), FOS(AComPort->FOS), FHandle(AComPort->FHandle) {
  FStopEvent = FOS->CreateEventA(true, false);
  FComPort = AComPort;
  SetPriority(AComPort->FEventThreadPriority);
  FOS->SetCommMask(FHandle, EventsToMask(AComPort->FEvents));
  try {
    Start();
  } catch (...) {
    FOS->CloseHandle(FStopEvent);
    throw;
  }
}

TComThread::~TComThread() {
  RequestStop();
  FOS->Sleep(0);
  WaitFor();
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

void TComThread::RequestStop() {
  FStopRequested = true;
  FOS->SetEvent(FStopEvent);
}

bool TComThread::CanWaitHere() const {
  return tCurrentComThread != this && !FSyncDelivering;
}

void TComThread::Execute() {
  tCurrentComThread = this;
  try {
    RunLoop();
  } catch (...) {
    // A delivery raised (smThreadSync: raised again here; smNone: raised here). The loop and
    // the thread end; the failure is shown on the main thread like any other.
    TMainLoop::Instance().Post(
        [E = std::current_exception()] { TMainLoop::Instance().HandleException(nullptr, E); });
  }
}

void TComThread::RunLoop() {
  TComOS& OS = *FOS;
  FWait = std::make_unique<TComWaitRecord>();
  TComWaitRecord& W = *FWait;
  W.Overlapped.hEvent = OS.CreateEventA(true, true);
  // Also when a delivery raised (smThreadSync, smNone): a thread that ends must not leave its
  // wait request, its event or the driver's buffers behind.
  TScopeExit cleanup([&] {
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
  });
  const THandle WaitList[2] = {FStopEvent, W.Overlapped.hEvent};
  int emptyPasses = 0;
  // A stop asked for during a delivery ends the loop before the next wait request: the
  // device may be closed by then (a close from inside the delivery).
  while (!FStopRequested) {
    W.Mask = 0;
    // A request refused at once (not left pending) means the handle cannot wait any more;
    // the event may still be signalled from the last pass, so waiting would spin.
    if (!OS.WaitCommEvent(FHandle, &W.Mask, &W.Overlapped) &&
        OS.GetLastError() != ERROR_IO_PENDING_)
      break;
    const uint32_t r = OS.WaitForMultipleObjects(2, WaitList, INFINITE_);
    if (r != WAIT_OBJECT_0_ + 1) break;
    uint32_t unused = 0;
    if (OS.GetOverlappedResult(FHandle, &W.Overlapped, &unused, false) && W.Mask != 0) {
      emptyPasses = 0;
      FEvents = MaskToEvents(W.Mask);
      if (!FEvents.Empty()) DispatchEvents();
    } else if (++emptyPasses >= kMaxEmptyPasses) {
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
        TScopeExit done([this] { FSyncDelivering = false; });
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

}  // namespace comfind
