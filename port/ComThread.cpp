// The event thread of a port, the delivery of its events, the per-event work, the open and
// close notifications and the event dispatchers.
#include <exception>
#include <memory>
#include <utility>

#include "port/CPort.h"

namespace comfind {

namespace {

// The event thread running on this thread, if any: a port closed from inside a delivery on
// its own event thread must not wait for that thread.
thread_local const TComThread* tCurrentComThread = nullptr;

struct TEventEntry {
  TComEvent Event;
  uint32_t Mask;
};

// Bit order of the set: value n at bit n.
constexpr TEventEntry kMaskTable[] = {
    {evRxChar, EV_RXCHAR_}, {evTxEmpty, EV_TXEMPTY_},  {evRxFlag, EV_RXFLAG_}, {evRing, EV_RING_},
    {evBreak, EV_BREAK_},   {evCTS, EV_CTS_},          {evDSR, EV_DSR_},       {evError, EV_ERR_},
    {evRLSD, EV_RLSD_},     {evRx80Full, EV_RX80FULL_}};

// Delivery order: line errors first, so OnError fires before the bytes that came with them
// are read; the rest as the signals are usually looked at.
constexpr TEventEntry kDeliveryOrder[] = {
    {evError, EV_ERR_}, {evRxChar, EV_RXCHAR_},    {evTxEmpty, EV_TXEMPTY_}, {evBreak, EV_BREAK_},
    {evRing, EV_RING_}, {evCTS, EV_CTS_},          {evDSR, EV_DSR_},         {evRxFlag, EV_RXFLAG_},
    {evRLSD, EV_RLSD_}, {evRx80Full, EV_RX80FULL_}};

// Waits that end without a result this many times in a row mean the device no longer waits
// (a vanished adapter): the loop ends instead of spinning on it.
constexpr int kMaxEmptyPasses = 2;
// How long the end of the thread waits for a cancelled comm wait to complete. Windows (and Wine,
// which polls every millisecond) completes it promptly; the bound only keeps a close from
// hanging on a driver that never does.
constexpr uint32_t kCancelledWaitMs = 5000;

}  // namespace

uint32_t EventsToMask(TComEvents Events) {
  uint32_t Mask = 0;
  for (const auto& E : kMaskTable)
    if (Events.Contains(E.Event)) Mask |= E.Mask;
  return Mask;
}

TComEvents MaskToEvents(uint32_t Mask) {
  TComEvents Events;
  for (const auto& E : kMaskTable)
    if (Mask & E.Mask) Events.Include(E.Event);
  return Events;
}

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
  for (const auto& E : kDeliveryOrder)
    if (FEvents.Contains(E.Event)) Window->SendMessage_(CM_COMPORT, E.Mask, 0);
}

void TComThread::DeliverEvents() {
  TCustomComPort* P = FComPort;
  for (const auto& E : kDeliveryOrder) {
    if (!FEvents.Contains(E.Event)) continue;
    // A handler closed the port: nothing more of this set reaches a handler.
    if (FDetached || !P->Connected()) return;
    switch (E.Event) {
      case evError:
        P->HandleError();
        break;
      case evRxChar:
        P->HandleRxChar();
        break;
      case evTxEmpty:
        P->HandleTxEmpty();
        break;
      case evBreak:
        P->HandleBreak();
        break;
      case evRing:
        P->HandleRing();
        break;
      case evCTS:
        P->HandleCTSChange();
        break;
      case evDSR:
        P->HandleDSRChange();
        break;
      case evRxFlag:
        P->HandleRxFlag();
        break;
      case evRLSD:
        P->HandleRLSDChange();
        break;
      case evRx80Full:
        P->HandleRx80Full();
        break;
    }
  }
}

// ---------------------------------------------------------------------------------------------
// The hidden window's procedure (smWindowSync)

void TCustomComPort::WindowMethod(TMessage& Message) {
  if (Message.Msg != CM_COMPORT) {
    Message.Result = DefWindowProc_(Message);
    return;
  }
  // Release the event thread first: it must be free to wait again (or to end, when the work
  // below closes the port) while the work runs.
  if (InSendMessage_()) ReplyMessage_(0);
  try {
    if (FConnected) {
      switch (Message.WParam) {
        case EV_RXCHAR_:
          HandleRxChar();
          break;
        case EV_TXEMPTY_:
          HandleTxEmpty();
          break;
        case EV_RXFLAG_:
          HandleRxFlag();
          break;
        case EV_RING_:
          HandleRing();
          break;
        case EV_BREAK_:
          HandleBreak();
          break;
        case EV_CTS_:
          HandleCTSChange();
          break;
        case EV_DSR_:
          HandleDSRChange();
          break;
        case EV_ERR_:
          HandleError();
          break;
        case EV_RLSD_:
          HandleRLSDChange();
          break;
        case EV_RX80FULL_:
          HandleRx80Full();
          break;
        default:
          break;
      }
    }
  } catch (...) {
    TMainLoop::Instance().HandleException(this, std::current_exception());
  }
  Message.Result = 0;
}

// ---------------------------------------------------------------------------------------------
// Per-event work

void TCustomComPort::HandleRxChar() {
  int32_t Count = InputQueueCount();
  if (Count > 0) NotifyLinks(&TComLink::OnRxBusy, true);
  if (Count > 0 && !TriggersOnRxChar()) {
    // One read, one block for everybody; the block goes with the scope, also when a handler
    // raises.
    std::unique_ptr<char[]> Block;
    int32_t Got = 0;
    bool Read = false;
    auto ReadOnce = [&] {
      Block = std::make_unique<char[]>(static_cast<size_t>(Count));
      Got = ReadBytes(Block.get(), Count);
      // The read may end early (a timeout, a purge): only the bytes it delivered exist.
      if (Got < 0) Got = 0;
      if (Got > Count) Got = Count;
      if (Got > 0) DoRxBuf(Block.get(), Got);
      Read = true;
    };
    const size_t LinkCount = FLinks.size();
    for (size_t i = 0; i < LinkCount && i < FLinks.size(); ++i) {
      TComLink* Link = FLinks[i];
      if (!Link->OnRxBuf) continue;
      if (!Read) ReadOnce();
      if (Got > 0) Link->OnRxBuf(this, Block.get(), Got);
    }
    if (!Read && !FTriggersOnRxChar) ReadOnce();
    if (Read) Count = 0;
  }
  if (Count > 0) DoRxChar(Count);
}

void TCustomComPort::HandleTxEmpty() {
  NotifyLinks(&TComLink::OnTxBusy, false);
  NotifyLinks(&TComLink::OnTxEmpty);
  DoTxEmpty();
}

void TCustomComPort::HandleRxFlag() {
  NotifyLinks(&TComLink::OnRxFlag);
  DoRxFlag();
}

void TCustomComPort::HandleRing() {
  NotifyLinks(&TComLink::OnRing);
  DoRing();
}

void TCustomComPort::HandleBreak() {
  DoBreak();
}

void TCustomComPort::HandleRx80Full() {
  DoRx80Full();
}

void TCustomComPort::HandleCTSChange() {
  const bool On = GetModemSignals().Contains(msCTS);
  NotifyLinks(&TComLink::OnCTSChange, On);
  DoCTSChange(On);
}

void TCustomComPort::HandleDSRChange() {
  const bool On = GetModemSignals().Contains(msDSR);
  NotifyLinks(&TComLink::OnDSRChange, On);
  DoDSRChange(On);
}

void TCustomComPort::HandleRLSDChange() {
  const bool On = GetModemSignals().Contains(msRLSD);
  NotifyLinks(&TComLink::OnRLSDChange, On);
  DoRLSDChange(On);
}

void TCustomComPort::HandleError() {
  const TComErrors Errors = GetLineErrors();
  if (!Errors.Empty()) DoError(Errors);
}

// ---------------------------------------------------------------------------------------------
// Open and close notifications

void TCustomComPort::HandleBeforeOpen() {
  DoBeforeOpen();
}

void TCustomComPort::HandleAfterOpen() {
  NotifyLinks(&TComLink::OnConnChange, true);
  DoAfterOpen();
  HandleCTSChange();
  HandleDSRChange();
  HandleRLSDChange();
}

void TCustomComPort::HandleBeforeClose() {
  NotifyLinks(&TComLink::OnCTSChange, false);
  NotifyLinks(&TComLink::OnDSRChange, false);
  NotifyLinks(&TComLink::OnRLSDChange, false);
  DoCTSChange(false);
  DoDSRChange(false);
  DoRLSDChange(false);
  DoBeforeClose();
}

void TCustomComPort::HandleAfterClose() {
  NotifyLinks(&TComLink::OnConnChange, false);
  DoAfterClose();
}

// ---------------------------------------------------------------------------------------------
// Dispatchers

void TCustomComPort::DoAfterClose() {
  OnAfterClose(this);
}
void TCustomComPort::DoAfterOpen() {
  OnAfterOpen(this);
}
void TCustomComPort::DoBeforeClose() {
  OnBeforeClose(this);
}
void TCustomComPort::DoBeforeOpen() {
  OnBeforeOpen(this);
}
void TCustomComPort::DoRxChar(int32_t Count) {
  OnRxChar(this, Count);
}
void TCustomComPort::DoRxBuf(const void* Buffer, int32_t Count) {
  OnRxBuf(this, Buffer, Count);
}
void TCustomComPort::DoTxEmpty() {
  OnTxEmpty(this);
}
void TCustomComPort::DoBreak() {
  OnBreak(this);
}
void TCustomComPort::DoRing() {
  OnRing(this);
}
void TCustomComPort::DoRxFlag() {
  OnRxFlag(this);
}
void TCustomComPort::DoCTSChange(bool OnOff) {
  OnCTSChange(this, OnOff);
}
void TCustomComPort::DoDSRChange(bool OnOff) {
  OnDSRChange(this, OnOff);
}
void TCustomComPort::DoError(TComErrors Errors) {
  OnError(this, Errors);
}
void TCustomComPort::DoRLSDChange(bool OnOff) {
  OnRLSDChange(this, OnOff);
}
void TCustomComPort::DoRx80Full() {
  OnRx80Full(this);
}

}  // namespace comfind
