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
  TOverlapped Overlapped;
  Overlapped.hEvent = OS.CreateEventA(true, true);
  // Outlives the loop: clearing the mask below completes the pending wait, which writes it.
  uint32_t Mask = 0;
  // A wait request the system still holds: it will write Mask and the record when it ends.
  bool Pending = false;
  // Also when a delivery raised (smThreadSync, smNone): a thread that ends must not leave its
  // wait request, its event or the driver's buffers behind.
  TScopeExit cleanup([&] {
    if (!FDetached) {
      // Win32 completes the cancelled wait on its own time, not inside SetCommMask: Mask and
      // the record live on this thread's stack and must outlive that completion, or the
      // system writes into a stack that is gone.
      if (OS.SetCommMask(FHandle, 0) && Pending)
        OS.WaitForSingleObject(Overlapped.hEvent, kCancelledWaitMs);
      OS.PurgeComm(FHandle, PURGE_TXCLEAR_ | PURGE_RXCLEAR_);
    }
    OS.CloseHandle(Overlapped.hEvent);
  });
  const THandle WaitList[2] = {FStopEvent, Overlapped.hEvent};
  int emptyPasses = 0;
  // A stop asked for during a delivery ends the loop before the next wait request: the
  // device may be closed by then (a close from inside the delivery).
  while (!FStopRequested) {
    Mask = 0;
    // A request refused at once (not left pending) means the handle cannot wait any more;
    // the event may still be signalled from the last pass, so waiting would spin.
    if (!OS.WaitCommEvent(FHandle, &Mask, &Overlapped)) {
      if (OS.GetLastError() != ERROR_IO_PENDING_) break;
      Pending = true;
    }
    const uint32_t r = OS.WaitForMultipleObjects(2, WaitList, INFINITE_);
    if (r != WAIT_OBJECT_0_ + 1) break;
    Pending = false;
    uint32_t unused = 0;
    if (OS.GetOverlappedResult(FHandle, &Overlapped, &unused, false) && Mask != 0) {
      emptyPasses = 0;
      FEvents = MaskToEvents(Mask);
      if (!FEvents.Empty()) DispatchEvents();
    } else if (++emptyPasses >= kMaxEmptyPasses) {
      break;
    }
  }
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
