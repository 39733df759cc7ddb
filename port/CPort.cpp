// The port object: construction, settings, open and close, the device control block, error
// reporting, transfers, modem signals and links. The event thread is in ComThread.cpp, the
// work of each event in ComEvents.cpp, the storage operations in storage/ComStorage.cpp.
#include "port/CPort.h"

#include <cstring>
#include <exception>
#include <utility>

// ---------------------------------------------------------------------------------------------
// Construction and destruction

namespace comfind {

TCustomComPort::TCustomComPort(TComponent* AOwner) : TComponent(AOwner), FOS(&TComOS::Default()) {
  FLinks.clear();
  FTriggersOnRxChar = true;
  FEventThreadPriority = tpNormal;
  FBaudRate = br9600;
  FCustomBaudRate = 9600;
  FPort = "COM1";
  FStopBits = sbOneStopBit;
  FDataBits = dbEight;
  FEvents = AllComEvents();
  FHandle = INVALID_HANDLE_VALUE_;
  FStoredProps = TStoredProps{spBasic};
  FParity.SetComPort(this);
  FFlowControl.SetComPort(this);
  FTimeouts.SetComPort(this);
  FBuffer.SetComPort(this);
  FCodePage = 0;
}

TCustomComPort::~TCustomComPort() {
  try {
    Close();
  } catch (...) {
    // A destructor cannot pass the failure on; show it and release what the close left.
    TMainLoop::Instance().HandleException(this, std::current_exception());
  }
  ReleaseAfterFailedClose();
  // Linked components unregister themselves when told of the destruction; they must find the
  // port whole, so tell them before anything of it is taken apart.
  Destroying();
  *FAlive = false;
  // The thread kept for the next open goes with the port. A thread that cannot be waited for
  // here (the port is destroyed from inside its delivery: on that thread, or in a synchronised
  // call it is blocked in) frees itself when its body ends; it looks at the port no more.
  if (FEventThread) FRetiredThreads.push_back(std::move(FEventThread));
  for (auto& Thread : FRetiredThreads) {
    if (Thread->CanWaitHere()) {
      Thread.reset();
    } else {
      Thread->Quit();
      Thread.release()->FreeOnTerminate();
    }
  }
  // Waits whose device could not be closed: freed if they have ended, kept otherwise.
  ReleaseUnfinishedWaits();
}

void TCustomComPort::ReleaseAfterFailedClose() {
  FreeSyncRecord();
  if (!FConnected && !FThreadCreated && !FNotifyWindow) return;
  FEventThread.reset();
  FThreadCreated = false;
  FNotifyWindow.reset();
  CloseDevice();
  FConnected = false;
}

void TCustomComPort::SetOS(TComOS* Value) {
  FOS = Value ? Value : &TComOS::Default();
}

// ---------------------------------------------------------------------------------------------
// Open and close

void TCustomComPort::SetConnected(bool Value) {
  if (Loading() || Designing()) {
    FConnected = Value;
    return;
  }
  if (Value == FConnected) return;
  if (Value)
    Open();
  else
    Close();
}

void TCustomComPort::Loaded() {
  TComponent::Loaded();
  if (FConnected && !Designing()) {
    FConnected = false;
    try {
      Open();
    } catch (...) {
      TMainLoop::Instance().HandleException(this, std::current_exception());
    }
  }
}

void TCustomComPort::Open() {
  if (FConnected || Designing()) return;
  ReapThreads();
  if (!HandleBeforeOpen()) return;
  OpenDevice();
  // With an OnException handler the failed open has been reported and has returned. Going on
  // would mark a port open that has no device; every later step would fail and the event
  // thread would wait on a handle that cannot wait. The open stops here instead, closed.
  if (FHandle == INVALID_HANDLE_VALUE_) return;
  FConnected = true;
  try {
    ApplySettings();
  } catch (...) {
    CloseDevice();
    FConnected = false;
    throw;
  }
  if (FEvents.Empty()) {
    FThreadCreated = false;
    // A port that hears no events keeps no thread, not even one from an earlier open.
    FEventThread.reset();
  } else {
    try {
      // The window must exist before the thread can send to it.
      if (FSyncMethod == smWindowSync)
        FNotifyWindow = std::make_unique<TMessageWindow>([this](TMessage& M) { WindowMethod(M); });
      // The thread of the last open, asleep since its close, serves this one too: a port
      // opened and closed in quick turns (a search) does not pay for a thread each time.
      if (!FEventThread || !FEventThread->Adopt()) {
        FEventThread.reset();
        FEventThread = std::make_unique<TComThread>(this);
        FEventThread->Adopt();
      }
      FThreadCreated = true;
      FEventThread->Begin();
    } catch (...) {
      FEventThread.reset();
      FThreadCreated = false;
      FNotifyWindow.reset();
      CloseDevice();
      FConnected = false;
      throw;
    }
  }
  HandleAfterOpen();
}

void TCustomComPort::Close() {
  // A handler that runs while the close waits for the event thread may close again: the
  // close already under way finishes the job.
  if (!FConnected || Designing() || FClosing) return;
  FClosing = true;
  // A handler that destroys the port ends the close here: the destructor has released it.
  const std::shared_ptr<const std::atomic<bool>> Alive = FAlive;
  TScopeExit Reset([this, Alive] {
    if (*Alive) FClosing = false;
  });
  if (!HandleBeforeClose()) return;
  // A purge that fails (a device that has vanished fails every call) must not keep the port
  // open for good: no later close could succeed either, and the port would hold the thread and
  // the descriptor until it is destroyed. The close releases everything and raises afterwards.
  std::exception_ptr PurgeFailure;
  try {
    AbortTransfers();
  } catch (const EComPort&) {
    PurgeFailure = std::current_exception();
  }
  if (FThreadCreated) {
    StopEventThread();
    FThreadCreated = false;
    // Only after the thread has ended: no message can be on its way to the window any more.
    if (FSyncMethod == smWindowSync) FNotifyWindow.reset();
  }
  FreeSyncRecord();
  CloseDevice();
  FConnected = false;
  HandleAfterClose();
  if (PurgeFailure) std::rethrow_exception(PurgeFailure);
}

void TCustomComPort::StopEventThread() {
  if (!FEventThread) return;
  // Ended, the thread sleeps on for the next open.
  if (FEventThread->End()) return;
  // The close comes from inside this thread's own delivery (a synchronised call it is
  // blocked in, or a handler running on it): waiting for its end here would wait for
  // ourselves. Stop it instead; it ends as soon as the delivery returns, without touching the
  // device again, and is joined at the next open or when the port goes.
  FEventThread->Detach();
  FRetiredThreads.push_back(std::move(FEventThread));
}

void TCustomComPort::ReapThreads() {
  for (auto It = FRetiredThreads.begin(); It != FRetiredThreads.end();) {
    if ((*It)->CanWaitHere())
      It = FRetiredThreads.erase(It);
    else
      ++It;
  }
}

void TCustomComPort::OpenDevice() {
  FHandle = OS().CreateFileA("\\\\.\\" + FPort, GENERIC_READ_WRITE_, 0, OPEN_EXISTING_,
                             FILE_FLAG_OVERLAPPED_);
  if (FHandle == INVALID_HANDLE_VALUE_) ReportError(CE_OpenFailed, OS().GetLastError());
}

void TCustomComPort::CloseDevice() {
  if (FHandle != INVALID_HANDLE_VALUE_ && OS().CloseHandle(FHandle)) {
    FHandle = INVALID_HANDLE_VALUE_;
    ReleaseUnfinishedWaits();
  }
}

// ---------------------------------------------------------------------------------------------
// Applying settings

bool TCustomComPort::CanApply() const {
  return FConnected && FUpdateCount == 0 && !Designing() && !Loading();
}

void TCustomComPort::ApplySettings() {
  ApplyBufferSizes();
  ApplyLineSettings();
  ApplyTimeoutSettings();
}

void TCustomComPort::ApplyBufferSizes() {
  if (!CanApply()) return;
  if (!OS().SetupComm(FHandle, static_cast<uint32_t>(FBuffer.InputSize()),
                      static_cast<uint32_t>(FBuffer.OutputSize())))
    ReportError(CE_SetupComFailed, OS().GetLastError());
}

void TCustomComPort::ApplyTimeoutSettings() {
  if (!CanApply()) return;
  TCommTimeouts T;
  T.ReadIntervalTimeout = static_cast<uint32_t>(FTimeouts.ReadInterval());
  T.ReadTotalTimeoutMultiplier = static_cast<uint32_t>(FTimeouts.ReadTotalMultiplier());
  T.ReadTotalTimeoutConstant = static_cast<uint32_t>(FTimeouts.ReadTotalConstant());
  T.WriteTotalTimeoutMultiplier = static_cast<uint32_t>(FTimeouts.WriteTotalMultiplier());
  T.WriteTotalTimeoutConstant = static_cast<uint32_t>(FTimeouts.WriteTotalConstant());
  if (!OS().SetCommTimeouts(FHandle, T)) ReportError(CE_TimeoutsFailed, OS().GetLastError());
}

void TCustomComPort::ApplyLineSettings() {
  if (!CanApply()) return;
  if (!OS().SetCommState(FHandle, BuildDCB())) ReportError(CE_SetStateFailed, OS().GetLastError());
}

TDCB TCustomComPort::BuildDCB() const {
  // Built from the settings alone: what the device held before must not leak into the port.
  TDCB D;
  D.DCBlength = 28;
  D.BaudRate =
      static_cast<uint32_t>(FBaudRate == brCustom ? FCustomBaudRate : BaudRateValue(FBaudRate));
  uint32_t F = DCB_BINARY_;
  const bool Replace = FParity.Check() && FParity.Replace();
  if (FParity.Check()) F |= DCB_PARITY_;
  if (FFlowControl.OutCTSFlow()) F |= DCB_OUTX_CTS_FLOW_;
  if (FFlowControl.OutDSRFlow()) F |= DCB_OUTX_DSR_FLOW_;
  switch (FFlowControl.ControlDTR()) {
    case dtrDisable:
      break;
    case dtrEnable:
      F |= DCB_DTR_CONTROL_ENABLE_;
      break;
    case dtrHandshake:
      F |= DCB_DTR_CONTROL_HANDSHAKE_;
      break;
  }
  if (FFlowControl.DSRSensitivity()) F |= DCB_DSR_SENSITIVITY_;
  if (FFlowControl.TxContinueOnXoff()) F |= DCB_TX_CONTINUE_ON_XOFF_;
  if (FFlowControl.XonXoffOut()) F |= DCB_OUTX_;
  if (FFlowControl.XonXoffIn()) F |= DCB_INX_;
  if (Replace) F |= DCB_ERROR_CHAR_;
  if (FDiscardNull) F |= DCB_NULL_;
  switch (FFlowControl.ControlRTS()) {
    case rtsDisable:
      break;
    case rtsEnable:
      F |= DCB_RTS_CONTROL_ENABLE_;
      break;
    case rtsHandshake:
      F |= DCB_RTS_CONTROL_HANDSHAKE_;
      break;
    case rtsToggle:
      F |= DCB_RTS_CONTROL_TOGGLE_;
      break;
  }
  D.Flags = F;
  const int32_t Limit = FBuffer.InputSize() / 4;
  D.XonLim = static_cast<uint16_t>(Limit);
  D.XoffLim = static_cast<uint16_t>(Limit);
  D.ByteSize = static_cast<uint8_t>(5 + static_cast<int>(FDataBits));
  D.Parity = static_cast<uint8_t>(FParity.Bits());
  D.StopBits = static_cast<uint8_t>(FStopBits);
  D.XonChar = FFlowControl.XonChar();
  D.XoffChar = FFlowControl.XoffChar();
  D.ErrorChar = Replace ? FParity.ReplaceChar() : 0;
  D.EofChar = 0;
  D.EvtChar = FEventChar;
  return D;
}

void TCustomComPort::BeginUpdate() {
  ++FUpdateCount;
}

void TCustomComPort::EndUpdate() {
  if (FUpdateCount <= 0) return;
  if (--FUpdateCount == 0) ApplySettings();
}

// ---------------------------------------------------------------------------------------------
// Property setters

void TCustomComPort::SetBaudRate(TBaudRate Value) {
  if (Value == FBaudRate) return;
  FBaudRate = Value;
  ApplyLineSettings();
}

void TCustomComPort::SetCustomBaudRate(int32_t Value) {
  if (Value == FCustomBaudRate) return;
  FCustomBaudRate = Value;
  ApplyLineSettings();
}

void TCustomComPort::SetPort_(const std::string& Value) {
  if (Value == FPort) return;
  FPort = Value;
  if (FConnected && !Loading() && !Designing()) {
    Close();
    Open();
  }
}

void TCustomComPort::SetStopBits(TStopBits Value) {
  if (Value == FStopBits) return;
  FStopBits = Value;
  ApplyLineSettings();
}

void TCustomComPort::SetDataBits(TDataBits Value) {
  if (Value == FDataBits) return;
  FDataBits = Value;
  ApplyLineSettings();
}

void TCustomComPort::SetDiscardNull(bool Value) {
  if (Value == FDiscardNull) return;
  FDiscardNull = Value;
  ApplyLineSettings();
}

void TCustomComPort::SetEventChar(char Value) {
  if (Value == FEventChar) return;
  FEventChar = Value;
  ApplyLineSettings();
}

void TCustomComPort::SetBuffer(const TComBuffer& Value) {
  FBuffer.Assign(&Value);
  ApplyBufferSizes();
}

void TCustomComPort::SetParity(const TComParity& Value) {
  FParity.Assign(&Value);
  ApplyLineSettings();
}

void TCustomComPort::SetTimeouts(const TComTimeouts& Value) {
  FTimeouts.Assign(&Value);
  ApplyTimeoutSettings();
}

void TCustomComPort::SetFlowControl(const TComFlowControl& Value) {
  FFlowControl.Assign(&Value);
  ApplyLineSettings();
}

void TCustomComPort::SetSyncMethod(TSyncMethod Value) {
  if (Value == FSyncMethod) return;
  if (FConnected && !Loading() && !Designing()) {
    ReportError(CE_ConnChangeProp, 0);
    return;
  }
  FSyncMethod = Value;
}

bool TCustomComPort::TriggersOnRxChar() const {
  return FTriggersOnRxChar && !FHasRxBufLink;
}

void TCustomComPort::SetTriggersOnRxChar(bool Value) {
  if (FHasRxBufLink) ReportError(CE_HasLink, 0);
  FTriggersOnRxChar = Value;
}

// ---------------------------------------------------------------------------------------------
// Errors

void TCustomComPort::ReportError(uint16_t Code, int64_t Number) {
  if (!OnException) {
    if (Number > 0) throw EComPort(Code, Number);
    throw EComPort(Code);
  }
  std::string WinMessage;
  if (Number > 0) WinMessage = comfind::WinMessage(OS().GetLastError());
  OnException(this, static_cast<TComExceptions>(Code), ComErrorMessage(Code), Number, WinMessage);
}

// ---------------------------------------------------------------------------------------------
// Transfers

void TCustomComPort::CreateOverlapped(PComOverlapped& AsyncPtr) {
  AsyncPtr = nullptr;
  const THandle Event = OS().CreateEventA(true, true);
  // A record without an event could not tell when a transfer has ended: the wait would fail
  // while the system still owns the record, and freeing it then would free memory the system
  // writes into. No record is made; the transfers that were to use it report the null record.
  if (Event == 0 || Event == INVALID_HANDLE_VALUE_) {
    ReportError(CE_InvalidAsync, OS().GetLastError());
    return;
  }
  auto* Rec = new TComOverlapped;
  Rec->Overlapped = TOverlapped{};
  Rec->Overlapped.hEvent = Event;
  Rec->Kind = ioWrite;
  Rec->Data = nullptr;
  Rec->Size = 0;
  AsyncPtr = Rec;
}

void TCustomComPort::FreeOverlapped(PComOverlapped& AsyncPtr) {
  if (!AsyncPtr) return;
  if (AsyncPtr->Overlapped.hEvent) OS().CloseHandle(AsyncPtr->Overlapped.hEvent);
  delete[] AsyncPtr->Data;
  delete AsyncPtr;
  AsyncPtr = nullptr;
}

namespace {

// A transfer that could not start leaves its record's event as the failed call left it (Win32
// may have reset it). Signal it, keeping the caller's last error, so that a wait for its
// completion returns at once instead of forever.
void ReleaseRecord(TComOS& OS, PComOverlapped Rec) {
  const uint32_t Err = OS.GetLastError();
  OS.SetEvent(Rec->Overlapped.hEvent);
  OS.SetLastError(Err);
}

}  // namespace

int32_t TCustomComPort::StartWrite(const void* Buffer, int32_t Count, PComOverlapped AsyncPtr) {
  if (!AsyncPtr) {
    ReportError(CE_InvalidAsync, 0);
    return 0;  // nothing to carry the write
  }
  if (FHandle == INVALID_HANDLE_VALUE_) {
    ReleaseRecord(OS(), AsyncPtr);
    ReportError(CEPortNotOpen, kPortNotOpenNumber);
    return 0;  // no device to write to
  }
  if (Count < 0) Count = 0;
  AsyncPtr->Kind = ioWrite;
  delete[] AsyncPtr->Data;
  AsyncPtr->Data = nullptr;
  AsyncPtr->Size = 0;
  if (Count > 0) {
    AsyncPtr->Data = new char[static_cast<size_t>(Count)];
    std::memcpy(AsyncPtr->Data, Buffer, static_cast<size_t>(Count));
  }
  AsyncPtr->Size = Count;
  uint32_t Written = 0;
  // From the record's copy: a write that stays pending outlives the caller's buffer, which the
  // caller may let go as soon as the start returns.
  const void* Bytes = Count > 0 ? AsyncPtr->Data : Buffer;
  const bool Ok = OS().WriteFile(FHandle, Bytes, static_cast<uint32_t>(Count), &Written,
                                 &AsyncPtr->Overlapped) ||
                  OS().GetLastError() == ERROR_IO_PENDING_;
  if (!Ok) {
    ReleaseRecord(OS(), AsyncPtr);
    ReportError(CE_WriteFailed, OS().GetLastError());
  }
  NotifyLinks(&TComLink::OnTxBusy, true);
  return static_cast<int32_t>(Written);
}

int32_t TCustomComPort::StartWriteText(const std::string& Str, PComOverlapped AsyncPtr) {
  if (Str.empty()) return 0;
  return StartWrite(Str.data(), static_cast<int32_t>(Str.size()), AsyncPtr);
}

int32_t TCustomComPort::StartRead(void* Buffer, int32_t Count, PComOverlapped AsyncPtr) {
  if (!AsyncPtr) {
    ReportError(CE_InvalidAsync, 0);
    return 0;
  }
  AsyncPtr->Kind = ioRead;
  // A record that carried a write before must not report that write's bytes when this read
  // completes.
  delete[] AsyncPtr->Data;
  AsyncPtr->Data = nullptr;
  AsyncPtr->Size = 0;
  if (FHandle == INVALID_HANDLE_VALUE_) {
    ReleaseRecord(OS(), AsyncPtr);
    ReportError(CEPortNotOpen, kPortNotOpenNumber);
    return 0;
  }
  if (Count < 0) Count = 0;
  uint32_t Read = 0;
  const bool Ok =
      OS().ReadFile(FHandle, Buffer, static_cast<uint32_t>(Count), &Read, &AsyncPtr->Overlapped) ||
      OS().GetLastError() == ERROR_IO_PENDING_;
  if (!Ok) {
    ReleaseRecord(OS(), AsyncPtr);
    ReportError(CE_ReadFailed, OS().GetLastError());
  }
  return static_cast<int32_t>(Read);
}

int32_t TCustomComPort::WaitForCompletion(PComOverlapped AsyncPtr) {
  if (!AsyncPtr) {
    ReportError(CE_InvalidAsync, 0);
    return 0;
  }
  uint32_t Transferred = 0;
  const bool Ok =
      OS().WaitForSingleObject(AsyncPtr->Overlapped.hEvent, INFINITE_) == WAIT_OBJECT_0_ &&
      OS().GetOverlappedResult(FHandle, &AsyncPtr->Overlapped, &Transferred, false);
  if (!Ok)
    ReportError(AsyncPtr->Kind == ioWrite ? CE_WriteFailed : CE_ReadFailed, OS().GetLastError());
  if (AsyncPtr->Kind == ioRead) {
    // Counting what is left costs the device a look (on POSIX a read that ends in EAGAIN) on
    // every read; it is taken only for a link that listens.
    if (AnyLinkHas(&TComLink::OnRxBusy) && InputQueueCount() == 0)
      NotifyLinks(&TComLink::OnRxBusy, false);
  } else if (AsyncPtr->Data) {
    NotifyLinks(&TComLink::OnTxBuf, static_cast<const void*>(AsyncPtr->Data), AsyncPtr->Size);
  }
  return static_cast<int32_t>(Transferred);
}

PComOverlapped TCustomComPort::AcquireSyncRecord() {
  PComOverlapped Rec = nullptr;
  // One record per open serves the synchronous transfers one after another: an event made and
  // closed for each line written or block read cost more than the transfer. A transfer on
  // another thread at the same time (an smNone handler) gets a record of its own.
  if (FConnected && !FSyncRecordBusy.exchange(true)) {
    if (!FSyncRecord) CreateOverlapped(FSyncRecord);
    if (FSyncRecord) return FSyncRecord;
    FSyncRecordBusy = false;
    return nullptr;  // reported (OnException took it)
  }
  CreateOverlapped(Rec);
  return Rec;
}

void TCustomComPort::ReleaseSyncRecord(PComOverlapped& Rec) {
  // A transfer left pending (a link's slot raised after the start) completes before its
  // record is used again or freed: the system writes into the record until then.
  if (!OS().HasOverlappedIoCompleted_(&Rec->Overlapped))
    OS().WaitForSingleObject(Rec->Overlapped.hEvent, INFINITE_);
  if (Rec == FSyncRecord) {
    FSyncRecordBusy = false;
    Rec = nullptr;
  } else {
    FreeOverlapped(Rec);
  }
}

void TCustomComPort::FreeSyncRecord() {
  // Not while a transfer uses it (only another thread's, which the caller of a close owns).
  if (!FSyncRecord || FSyncRecordBusy.exchange(true)) return;
  FreeOverlapped(FSyncRecord);
  FSyncRecordBusy = false;
}

int32_t TCustomComPort::WriteText(std::string Str) {
  PComOverlapped Rec = AcquireSyncRecord();
  if (!Rec) return 0;  // reported (OnException took it)
  TScopeExit Release([this, &Rec] { ReleaseSyncRecord(Rec); });
  StartWriteText(Str, Rec);
  return WaitForCompletion(Rec);
}

int32_t TCustomComPort::ReadBytes(void* Buffer, int32_t Count) {
  PComOverlapped Rec = AcquireSyncRecord();
  if (!Rec) return 0;  // reported (OnException took it)
  TScopeExit Release([this, &Rec] { ReleaseSyncRecord(Rec); });
  StartRead(Buffer, Count, Rec);
  return WaitForCompletion(Rec);
}

void TCustomComPort::AbortTransfers() {
  if (!OS().PurgeComm(FHandle, PURGE_TXABORT_ | PURGE_RXABORT_))
    ReportError(CE_PurgeFailed, OS().GetLastError());
}

int32_t TCustomComPort::InputQueueCount() {
  uint32_t Errors = 0;
  TComStat Stat;
  if (!OS().ClearCommError(FHandle, &Errors, &Stat))
    ReportError(CE_ClearComFailed, OS().GetLastError());
  return static_cast<int32_t>(Stat.cbInQue);
}

TModemSignals TCustomComPort::GetModemSignals() {
  uint32_t Status = 0;
  if (!OS().GetCommModemStatus(FHandle, &Status))
    ReportError(CE_ModemStatFailed, OS().GetLastError());
  TModemSignals S;
  if (Status & MS_CTS_ON_) S.Include(msCTS);
  if (Status & MS_DSR_ON_) S.Include(msDSR);
  if (Status & MS_RING_ON_) S.Include(msRing);
  if (Status & MS_RLSD_ON_) S.Include(msRLSD);
  return S;
}

TComErrors TCustomComPort::GetLineErrors() {
  uint32_t Errors = 0;
  TComStat Stat;
  if (!OS().ClearCommError(FHandle, &Errors, &Stat))
    ReportError(CE_ClearComFailed, OS().GetLastError());
  TComErrors E;
  if (Errors & CE_FRAME_) E.Include(ceFrame);
  if ((Errors & CE_RXPARITY_) && FParity.Check()) E.Include(ceRxParity);
  if (Errors & CE_OVERRUN_) E.Include(ceOverrun);
  if (Errors & CE_BREAK_) E.Include(ceBreak);
  if (Errors & CE_IOE_) E.Include(ceIO);
  if (Errors & CE_MODE_) E.Include(ceMode);
  if (Errors & CE_RXOVER_) E.Include(ceRxOver);
  if (Errors & CE_TXFULL_) E.Include(ceTxFull);
  return E;
}

// ---------------------------------------------------------------------------------------------
// Links

void TCustomComPort::AddLink(TComLink* Link) {
  if (!Link || Linked(Link)) {
    ReportError(CE_RegFailed, 0);
    return;
  }
  FLinks.push_back(Link);
  FHasRxBufLink = false;
  for (TComLink* L : FLinks)
    FHasRxBufLink = FHasRxBufLink || L->OnRxBuf.Assigned();
}

bool TCustomComPort::Linked(const TComLink* Link) const {
  for (const TComLink* L : FLinks)
    if (L == Link) return true;
  return false;
}

void TCustomComPort::RemoveLink(TComLink* Link) {
  auto It = FLinks.begin();
  while (It != FLinks.end() && *It != Link)
    ++It;
  if (It == FLinks.end())
    ReportError(CE_RegFailed, 0);
  else
    FLinks.erase(It);
  FHasRxBufLink = false;
  for (TComLink* L : FLinks)
    FHasRxBufLink = FHasRxBufLink || L->OnRxBuf.Assigned();
}

}  // namespace comfind
