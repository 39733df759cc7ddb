// The port's side of its events: which work each event does, the hidden window's procedure
// that runs that work on the main thread (smWindowSync), the work itself, the open and close
// notifications and the dispatchers that call the handlers.
#include <atomic>
#include <exception>
#include <memory>
#include <vector>

#include "port/CPort.h"

namespace comfind {

const TCustomComPort::TEventRoute TCustomComPort::EventRoutes[10] = {
    {evError, EV_ERR_, &TCustomComPort::HandleError},
    {evRxChar, EV_RXCHAR_, &TCustomComPort::HandleRxChar},
    {evTxEmpty, EV_TXEMPTY_, &TCustomComPort::HandleTxEmpty},
    {evBreak, EV_BREAK_, &TCustomComPort::HandleBreak},
    {evRing, EV_RING_, &TCustomComPort::HandleRing},
    {evCTS, EV_CTS_, &TCustomComPort::HandleCTSChange},
    {evDSR, EV_DSR_, &TCustomComPort::HandleDSRChange},
    {evRxFlag, EV_RXFLAG_, &TCustomComPort::HandleRxFlag},
    {evRLSD, EV_RLSD_, &TCustomComPort::HandleRLSDChange},
    {evRx80Full, EV_RX80FULL_, &TCustomComPort::HandleRx80Full}};

uint32_t EventsToMask(TComEvents Events) {
  uint32_t Mask = 0;
  for (const auto& R : TCustomComPort::EventRoutes)
    if (Events.Contains(R.Event)) Mask |= R.Mask;
  return Mask;
}

TComEvents MaskToEvents(uint32_t Mask) {
  TComEvents Events;
  for (const auto& R : TCustomComPort::EventRoutes)
    if (Mask & R.Mask) Events.Include(R.Event);
  return Events;
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
      for (const auto& R : EventRoutes) {
        if (R.Mask != Message.WParam) continue;
        (this->*R.Handle)();
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

// A handler may destroy the port (links and handlers are called out to): after each call out,
// the work goes on only while the port still exists.

void TCustomComPort::HandleRxChar() {
  const std::shared_ptr<const std::atomic<bool>> Alive = FAlive;
  int32_t Count = InputQueueCount();
  if (Count > 0 && !NotifyLinks(&TComLink::OnRxBusy, true)) return;
  if (Count > 0 && !TriggersOnRxChar()) {
    // One read, one block for everybody; the block goes with the scope, also when a handler
    // raises or destroys the port.
    std::unique_ptr<char[]> Block;
    int32_t Got = 0;
    bool Read = false;
    auto ReadOnce = [&] {
      // Not zeroed first: the read writes what the links are given, and a flood's block is
      // tens of KiB.
      Block = std::make_unique_for_overwrite<char[]>(static_cast<size_t>(Count));
      Got = ReadBytes(Block.get(), Count);
      // The read may end early (a timeout, a purge): only the bytes it delivered exist.
      if (Got < 0) Got = 0;
      if (Got > Count) Got = Count;
      Read = true;
      if (Got > 0) DoRxBuf(Block.get(), Got);
      return static_cast<bool>(*Alive);
    };
    // The links registered when the block arrived, each while it is still registered: a link
    // that unregisters (itself or another) does not take the block from the ones after it.
    const std::vector<TComLink*> Snapshot = FLinks;
    for (TComLink* Link : Snapshot) {
      if (!Linked(Link) || !Link->OnRxBuf) continue;
      if (!Read && !ReadOnce()) return;
      if (Got <= 0) continue;
      Link->OnRxBuf(this, Block.get(), Got);
      if (!*Alive) return;
    }
    if (!Read && !FTriggersOnRxChar && !ReadOnce()) return;
    if (Read) Count = 0;
  }
  if (Count > 0) DoRxChar(Count);
}

void TCustomComPort::HandleTxEmpty() {
  if (!NotifyLinks(&TComLink::OnTxBusy, false)) return;
  if (!NotifyLinks(&TComLink::OnTxEmpty)) return;
  DoTxEmpty();
}

void TCustomComPort::HandleRxFlag() {
  if (!NotifyLinks(&TComLink::OnRxFlag)) return;
  DoRxFlag();
}

void TCustomComPort::HandleRing() {
  if (!NotifyLinks(&TComLink::OnRing)) return;
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
  NoteReported(msCTS, On);
  if (!NotifyLinks(&TComLink::OnCTSChange, On)) return;
  DoCTSChange(On);
}

void TCustomComPort::HandleDSRChange() {
  const bool On = GetModemSignals().Contains(msDSR);
  NoteReported(msDSR, On);
  if (!NotifyLinks(&TComLink::OnDSRChange, On)) return;
  DoDSRChange(On);
}

void TCustomComPort::HandleRLSDChange() {
  const bool On = GetModemSignals().Contains(msRLSD);
  NoteReported(msRLSD, On);
  if (!NotifyLinks(&TComLink::OnRLSDChange, On)) return;
  DoRLSDChange(On);
}

void TCustomComPort::HandleError() {
  const TComErrors Errors = GetLineErrors();
  if (!Errors.Empty()) DoError(Errors);
}

// ---------------------------------------------------------------------------------------------
// Open and close notifications

bool TCustomComPort::HandleBeforeOpen() {
  const std::shared_ptr<const std::atomic<bool>> Alive = FAlive;
  DoBeforeOpen();
  return *Alive;
}

bool TCustomComPort::HandleAfterOpen() {
  const std::shared_ptr<const std::atomic<bool>> Alive = FAlive;
  if (!NotifyLinks(&TComLink::OnConnChange, true)) return false;
  DoAfterOpen();
  if (!*Alive) return false;
  HandleCTSChange();
  if (!*Alive) return false;
  HandleDSRChange();
  if (!*Alive) return false;
  HandleRLSDChange();
  return *Alive;
}

void TCustomComPort::NoteReported(TModemSignal Line, bool On) {
  const uint8_t Bit = static_cast<uint8_t>(1u << Line);
  if (On)
    FReportedOn.fetch_or(Bit);
  else
    FReportedOn.fetch_and(static_cast<uint8_t>(~Bit));
}

bool TCustomComPort::HandleBeforeClose() {
  const std::shared_ptr<const std::atomic<bool>> Alive = FAlive;
  // The lines go off with the port, unread; a line already reported off has nothing to report.
  const TModemSignals On = TModemSignals::FromBits(FReportedOn.exchange(0));
  struct TLine {
    TModemSignal Signal;
    TComSignalEvent TComLink::*Slot;
    void (TCustomComPort::*Dispatch)(bool);
  };
  static const TLine Lines[3] = {{msCTS, &TComLink::OnCTSChange, &TCustomComPort::DoCTSChange},
                                 {msDSR, &TComLink::OnDSRChange, &TCustomComPort::DoDSRChange},
                                 {msRLSD, &TComLink::OnRLSDChange, &TCustomComPort::DoRLSDChange}};
  for (const auto& L : Lines)
    if (On.Contains(L.Signal) && !NotifyLinks(L.Slot, false)) return false;
  for (const auto& L : Lines) {
    if (!On.Contains(L.Signal)) continue;
    (this->*L.Dispatch)(false);
    if (!*Alive) return false;
  }
  DoBeforeClose();
  return *Alive;
}

bool TCustomComPort::HandleAfterClose() {
  const std::shared_ptr<const std::atomic<bool>> Alive = FAlive;
  if (!NotifyLinks(&TComLink::OnConnChange, false)) return false;
  DoAfterClose();
  return *Alive;
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
