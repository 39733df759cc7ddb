// The simulated device's side of the layer: the calls the port makes.
#include <algorithm>
#include <cstring>
#include <thread>

#include "port/os/SimDevice.h"

namespace comfind {

namespace {

thread_local uint32_t tLastError = 0;

std::string StripDevicePrefix(const std::string& FileName) {
  static const std::string Prefix = "\\\\.\\";
  if (FileName.compare(0, Prefix.size(), Prefix) == 0) return FileName.substr(Prefix.size());
  return FileName;
}

TSimComOS::TCall NewCall(const char* Name, THandle Handle = 0) {
  TSimComOS::TCall Call;
  Call.Name = Name;
  Call.Handle = Handle;
  return Call;
}

}  // namespace

TSimComOS::TSimComOS() : FEvents([this](THandle, bool) { Changed(); }) {}
TSimComOS::~TSimComOS() = default;

// --- Helpers (called with FLock held) ---------------------------------------------------------

std::shared_ptr<TSimComOS::TDevice> TSimComOS::DeviceByName(const std::string& Name) const {
  auto It = FDevices.find(Name);
  return It == FDevices.end() ? nullptr : It->second;
}

std::shared_ptr<TSimComOS::TDevice> TSimComOS::DeviceByHandle(THandle Handle) const {
  auto It = FDeviceHandles.find(Handle);
  return It == FDeviceHandles.end() ? nullptr : It->second;
}

std::shared_ptr<TSimComOS::TDevice> TSimComOS::LiveDevice(TCall& Call, THandle Handle) {
  uint32_t Error;
  if (Injected(Call.Name, Error)) {
    Fail(Call, Error);
    return nullptr;
  }
  auto D = DeviceByHandle(Handle);
  if (!D || D->Events.Vanished()) {
    Fail(Call, D ? D->Events.VanishError() : SIM_ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return D;
}

bool TSimComOS::Injected(const std::string& Call, uint32_t& Error) {
  auto It = FFailures.find(Call);
  if (It == FFailures.end()) return false;
  Error = It->second.Error;
  if (It->second.Times > 0 && --It->second.Times == 0) FFailures.erase(It);
  return true;
}

bool TSimComOS::Fail(TCall& Call, uint32_t Error) {
  tLastError = Error;
  Call.Result = false;
  Call.Error = Error;
  Record(std::move(Call));
  return false;
}

bool TSimComOS::Succeed(TCall& Call) {
  Call.Result = true;
  Record(std::move(Call));
  return true;
}

void TSimComOS::Record(TCall Call) {
  FCalls.push_back(std::move(Call));
  Changed();
}

void TSimComOS::Changed() {
  ++FChanges;
  FChangedCV.notify_all();
}

void TSimComOS::Raise(TDevice& Device, uint32_t Events) {
  TComCompletion Done;
  Device.Events.Raise(Events, Done);
  Complete(Done);
}

void TSimComOS::Complete(const TComCompletion& Done) {
  if (!Done.Record) return;
  WriteCompletion(Done);
  if (Done.Signal && Done.Record->hEvent) FEvents.Set(Done.Record->hEvent);
  Changed();
}

void TSimComOS::Complete(const std::vector<TComCompletion>& Done) {
  for (const auto& C : Done)
    Complete(C);
}

void TSimComOS::PumpWrites(TDevice& Device, bool Release) {
  const TTransferQueue::TSink Sink = [&](const char* Bytes, size_t Count, uint32_t&) -> int64_t {
    if (Device.HoldWrites && !Release) return 0;
    Device.Output.append(Bytes, Count);
    return static_cast<int64_t>(Count);
  };
  std::vector<TComCompletion> Ended;
  Device.Transfers.Pump(Sink, Ended);
  Complete(Ended);
  if (!Ended.empty()) Raise(Device, EV_TXEMPTY_);
}

TSimClock::time_point TSimComOS::PassTime() {
  const auto Now = TSimClock::now();
  TSimClock::time_point Next = kNoDeadline;
  for (auto& [H, D] : FDeviceHandles) {
    std::vector<TComCompletion> Ended;
    D->Transfers.Expire(D->Input, Now, Ended);
    Complete(Ended);
    Next = std::min(Next, D->Transfers.NextDeadline());
  }
  return Next;
}

bool TSimComOS::SleepUntil(std::unique_lock<std::mutex>& L, TSimClock::time_point End,
                           const std::function<bool()>& Done) {
  // Nothing but the waits ends a transfer at its deadline: the simulated device has no timer
  // of its own, and a deadline nobody waits for cannot be seen to pass. Done is asked once per
  // pass (it may take an auto-reset event).
  for (;;) {
    const TSimClock::time_point Next = PassTime();
    if (Done()) return true;
    if (TSimClock::now() >= End) return false;
    const TSimClock::time_point Until = std::min(End, Next);
    const uint64_t Seen = FChanges;
    if (Until == kNoDeadline) {
      FChangedCV.wait(L, [&] { return FChanges != Seen; });
    } else {
      FChangedCV.wait_until(L, Until, [&] { return FChanges != Seen; });
    }
  }
}

// --- TComOS ----------------------------------------------------------------------------------

THandle TSimComOS::CreateFileA(const std::string& FileName, uint32_t DesiredAccess,
                               uint32_t ShareMode, uint32_t CreationDisposition,
                               uint32_t FlagsAndAttributes) {
  std::lock_guard<std::mutex> L(FLock);
  TCall C = NewCall("CreateFileA");
  C.Text = FileName;
  C.Args = {DesiredAccess, ShareMode, CreationDisposition, FlagsAndAttributes};
  uint32_t Error;
  if (Injected(C.Name, Error)) return Fail(C, Error), INVALID_HANDLE_VALUE_;
  auto D = DeviceByName(StripDevicePrefix(FileName));
  if (!D || D->Events.Vanished()) {
    return Fail(C, SIM_ERROR_FILE_NOT_FOUND), INVALID_HANDLE_VALUE_;
  }
  // A serial device opens exclusively, whatever share mode is asked for.
  if (D->Open) return Fail(C, SIM_ERROR_ACCESS_DENIED), INVALID_HANDLE_VALUE_;
  D->Open = true;
  D->Events = TComEventCore(SIM_ERROR_INVALID_PARAMETER, SIM_ERROR_OPERATION_ABORTED);
  const THandle H = FNextHandle;
  FNextHandle += 4;
  FDeviceHandles[H] = D;
  C.Handle = H;
  Succeed(C);
  return H;
}

bool TSimComOS::CloseHandle(THandle Handle) {
  std::lock_guard<std::mutex> L(FLock);
  TCall C = NewCall("CloseHandle", Handle);
  uint32_t Error;
  if (Injected(C.Name, Error)) return Fail(C, Error);
  if (auto D = DeviceByHandle(Handle)) {
    C.Args = {1};
    TComCompletion Wait;
    D->Events.Close(Wait);
    Complete(Wait);
    std::vector<TComCompletion> Ended;
    D->Transfers.AbortReads(D->Input, Ended);
    D->Transfers.AbortWrites(Ended);
    Complete(Ended);
    Complete(D->Deferred);
    D->Deferred.clear();
    D->Open = false;
    FDeviceHandles.erase(Handle);
    return Succeed(C);
  }
  C.Args = {0};
  if (!FEvents.Remove(Handle)) return Fail(C, SIM_ERROR_INVALID_HANDLE);
  for (auto& [H, D] : FDeviceHandles) {
    if (D->Events.WaitEvent() == Handle) {
      D->Events.DropWait();
      FMisuses.push_back("the event of a pending WaitCommEvent on " + D->Name + " was closed");
    }
    if (std::erase_if(D->Deferred, [&](const auto& W) { return W.Record->hEvent == Handle; })) {
      FMisuses.push_back("the event of a cancelled WaitCommEvent on " + D->Name +
                         " was closed before the wait completed");
    }
    if (D->Transfers.Drop(Handle)) {
      FMisuses.push_back("the event of a pending transfer on " + D->Name + " was closed");
    }
  }
  return Succeed(C);
}

bool TSimComOS::SetupComm(THandle Handle, uint32_t InQueue, uint32_t OutQueue) {
  std::lock_guard<std::mutex> L(FLock);
  TCall C = NewCall("SetupComm", Handle);
  C.Args = {InQueue, OutQueue};
  auto D = LiveDevice(C, Handle);
  if (!D) return false;
  D->InSize = InQueue;
  D->OutSize = OutQueue;
  return Succeed(C);
}

bool TSimComOS::SetCommState(THandle Handle, const TDCB& DCB) {
  std::lock_guard<std::mutex> L(FLock);
  TCall C = NewCall("SetCommState", Handle);
  C.DCB = DCB;
  auto D = LiveDevice(C, Handle);
  if (!D) return false;
  D->DCB = DCB;
  return Succeed(C);
}

bool TSimComOS::SetCommTimeouts(THandle Handle, const TCommTimeouts& Timeouts) {
  std::lock_guard<std::mutex> L(FLock);
  TCall C = NewCall("SetCommTimeouts", Handle);
  C.Timeouts = Timeouts;
  auto D = LiveDevice(C, Handle);
  if (!D) return false;
  D->Timeouts = Timeouts;
  return Succeed(C);
}

bool TSimComOS::SetCommMask(THandle Handle, uint32_t EvtMask) {
  std::lock_guard<std::mutex> L(FLock);
  TCall C = NewCall("SetCommMask", Handle);
  C.Args = {EvtMask};
  auto D = LiveDevice(C, Handle);
  if (!D) return false;
  TComCompletion Ended;
  if (const uint32_t Error = D->Events.SetMask(EvtMask, Ended)) return Fail(C, Error);
  if (D->DeferCancel && Ended.Record) {
    D->Deferred.push_back(Ended);
  } else {
    Complete(Ended);
  }
  return Succeed(C);
}

bool TSimComOS::WaitCommEvent(THandle Handle, uint32_t* EvtMask, TOverlapped* Overlapped) {
  std::unique_lock<std::mutex> L(FLock);
  TCall C = NewCall("WaitCommEvent", Handle);
  uint32_t Error;
  if (Injected(C.Name, Error)) return Fail(C, Error);
  auto D = DeviceByHandle(Handle);
  if (!D) return Fail(C, SIM_ERROR_INVALID_HANDLE);
  TOverlapped Local;
  TOverlapped* Record = Overlapped ? Overlapped : &Local;
  TComCompletion Done;
  const uint32_t Result = D->Events.Wait(EvtMask, Record, Done);
  if (TComEventCore::Accepted(Result, Done)) {
    if (Record->hEvent) FEvents.Reset(Record->hEvent);
    StartRecord(*Record);
  }
  Complete(Done);
  if (Result == 0) return Succeed(C);
  if (Result != ERROR_IO_PENDING_) return Fail(C, Result);
  if (Overlapped) return Fail(C, ERROR_IO_PENDING_);
  // Without a record the call blocks until the wait completes, as on Win32.
  FChangedCV.wait(L, [&] { return Local.Internal != kRecordPending; });
  if (Local.Internal != 0) return Fail(C, static_cast<uint32_t>(Local.Internal));
  return Succeed(C);
}

bool TSimComOS::ReadFile(THandle Handle, void* Buffer, uint32_t Count, uint32_t* Read,
                         TOverlapped* Overlapped) {
  std::unique_lock<std::mutex> L(FLock);
  TCall C = NewCall("ReadFile", Handle);
  C.Args = {Count, Overlapped ? 1u : 0u};
  if (Read) *Read = 0;
  auto D = LiveDevice(C, Handle);
  if (!D) return false;
  if (Count > 0 && !Buffer) return Fail(C, SIM_ERROR_INVALID_PARAMETER);
  TOverlapped Local;
  TOverlapped* Record = Overlapped ? Overlapped : &Local;
  if (Record->hEvent) FEvents.Reset(Record->hEvent);
  StartRecord(*Record);
  TComCompletion Done;
  if (!D->Transfers.StartRead(Record, static_cast<char*>(Buffer), Count,
                              PlanRead(D->Timeouts, Count), D->Input, TSimClock::now(), Done)) {
    if (Overlapped) return Fail(C, ERROR_IO_PENDING_);
    SleepUntil(L, kNoDeadline, [&] { return Local.Internal != kRecordPending; });
    Done = TComCompletion{&Local, static_cast<uint32_t>(Local.Internal),
                          static_cast<uint32_t>(Local.InternalHigh), false};
  }
  Complete(Done);
  if (Done.Status != 0) return Fail(C, Done.Status);
  if (Read) *Read = Done.Count;
  return Succeed(C);
}

bool TSimComOS::WriteFile(THandle Handle, const void* Buffer, uint32_t Count, uint32_t* Written,
                          TOverlapped* Overlapped) {
  std::unique_lock<std::mutex> L(FLock);
  TCall C = NewCall("WriteFile", Handle);
  C.Args = {Count, Overlapped ? 1u : 0u};
  if (Count > 0 && Buffer) C.Text.assign(static_cast<const char*>(Buffer), Count);
  if (Written) *Written = 0;
  auto D = LiveDevice(C, Handle);
  if (!D) return false;
  if (Count > 0 && !Buffer) return Fail(C, SIM_ERROR_INVALID_PARAMETER);
  TOverlapped Local;
  TOverlapped* Record = Overlapped ? Overlapped : &Local;
  if (Record->hEvent) FEvents.Reset(Record->hEvent);
  StartRecord(*Record);
  const TTransferQueue::TSink Sink = [&](const char* Bytes, size_t N, uint32_t&) -> int64_t {
    if (D->HoldWrites) return 0;
    D->Output.append(Bytes, N);
    return static_cast<int64_t>(N);
  };
  TComCompletion Done;
  if (!D->Transfers.StartWrite(Record, static_cast<const char*>(Buffer), Count,
                               PlanWrite(D->Timeouts, Count), Sink, TSimClock::now(), Done)) {
    if (Overlapped) return Fail(C, ERROR_IO_PENDING_);
    SleepUntil(L, kNoDeadline, [&] { return Local.Internal != kRecordPending; });
    Done = TComCompletion{&Local, static_cast<uint32_t>(Local.Internal),
                          static_cast<uint32_t>(Local.InternalHigh), false};
  } else {
    Complete(Done);
    Raise(*D, EV_TXEMPTY_);
  }
  if (Done.Status != 0) return Fail(C, Done.Status);
  if (Written) *Written = Done.Count;
  return Succeed(C);
}

bool TSimComOS::GetOverlappedResult(THandle Handle, TOverlapped* Overlapped, uint32_t* Transferred,
                                    bool Wait) {
  std::unique_lock<std::mutex> L(FLock);
  TCall C = NewCall("GetOverlappedResult", Handle);
  C.Args = {Wait ? 1u : 0u};
  if (Transferred) *Transferred = 0;
  uint32_t Error;
  if (Injected(C.Name, Error)) return Fail(C, Error);
  if (!Overlapped) return Fail(C, SIM_ERROR_INVALID_PARAMETER);
  PassTime();
  if (Overlapped->Internal == kRecordPending) {
    // Only a running operation needs its device; a finished record answers by itself, as
    // Win32's does, also after the handle has closed.
    if (!DeviceByHandle(Handle)) return Fail(C, SIM_ERROR_INVALID_HANDLE);
    if (!Wait) return Fail(C, SIM_ERROR_IO_INCOMPLETE);
    SleepUntil(L, kNoDeadline, [&] { return Overlapped->Internal != kRecordPending; });
  }
  if (Overlapped->Internal != 0) return Fail(C, static_cast<uint32_t>(Overlapped->Internal));
  if (Transferred) *Transferred = static_cast<uint32_t>(Overlapped->InternalHigh);
  return Succeed(C);
}

bool TSimComOS::HasOverlappedIoCompleted_(const TOverlapped* Overlapped) {
  std::lock_guard<std::mutex> L(FLock);
  return Overlapped->Internal != kRecordPending;
}

bool TSimComOS::PurgeComm(THandle Handle, uint32_t Flags) {
  std::lock_guard<std::mutex> L(FLock);
  TCall C = NewCall("PurgeComm", Handle);
  C.Args = {Flags};
  auto D = LiveDevice(C, Handle);
  if (!D) return false;
  if (Flags & ~uint32_t{0x000F}) return Fail(C, SIM_ERROR_INVALID_PARAMETER);
  std::vector<TComCompletion> Ended;
  if (Flags & PURGE_TXABORT_) D->Transfers.AbortWrites(Ended);
  if (Flags & PURGE_RXABORT_) D->Transfers.AbortReads(D->Input, Ended);
  Complete(Ended);
  if (Flags & PURGE_RXCLEAR_) D->Input.clear();
  return Succeed(C);
}

bool TSimComOS::ClearCommError(THandle Handle, uint32_t* Errors, TComStat* Stat) {
  std::lock_guard<std::mutex> L(FLock);
  TCall C = NewCall("ClearCommError", Handle);
  uint32_t Error;
  if (Injected(C.Name, Error)) return Fail(C, Error);
  // Not LiveDevice: a vanished device may still owe the report of its loss (CE_IOE).
  auto D = DeviceByHandle(Handle);
  if (!D) return Fail(C, SIM_ERROR_INVALID_HANDLE);
  uint32_t Word = 0;
  if (const uint32_t Refused = D->Events.TakeErrors(Word)) return Fail(C, Refused);
  if (Errors) *Errors = Word;
  if (Stat) {
    *Stat = TComStat{};
    if (D->Events.Vanished()) return Succeed(C);
    Stat->cbInQue = static_cast<uint32_t>(D->Input.size());
    Stat->cbOutQue = static_cast<uint32_t>(D->Transfers.QueuedBytes());
  }
  return Succeed(C);
}

bool TSimComOS::GetCommModemStatus(THandle Handle, uint32_t* ModemStat) {
  std::lock_guard<std::mutex> L(FLock);
  TCall C = NewCall("GetCommModemStatus", Handle);
  auto D = LiveDevice(C, Handle);
  if (!D) return false;
  if (ModemStat) *ModemStat = D->ModemStatus;
  return Succeed(C);
}

THandle TSimComOS::CreateEventA(bool ManualReset, bool InitialState) {
  std::lock_guard<std::mutex> L(FLock);
  TCall C = NewCall("CreateEventA");
  C.Args = {ManualReset ? 1u : 0u, InitialState ? 1u : 0u};
  uint32_t Error;
  if (Injected(C.Name, Error)) return Fail(C, Error), THandle{0};
  const THandle H = FNextHandle;
  FNextHandle += 4;
  FEvents.Add(H, ManualReset, InitialState);
  C.Handle = H;
  Succeed(C);
  return H;
}

bool TSimComOS::SetEvent(THandle Event) {
  std::lock_guard<std::mutex> L(FLock);
  TCall C = NewCall("SetEvent", Event);
  uint32_t Error;
  if (Injected(C.Name, Error)) return Fail(C, Error);
  if (!FEvents.Set(Event)) return Fail(C, SIM_ERROR_INVALID_HANDLE);
  return Succeed(C);
}

bool TSimComOS::ResetEvent(THandle Event) {
  std::lock_guard<std::mutex> L(FLock);
  TCall C = NewCall("ResetEvent", Event);
  uint32_t Error;
  if (Injected(C.Name, Error)) return Fail(C, Error);
  if (!FEvents.Reset(Event)) return Fail(C, SIM_ERROR_INVALID_HANDLE);
  return Succeed(C);
}

uint32_t TSimComOS::WaitForMultipleObjects(uint32_t Count, const THandle* Handles,
                                           uint32_t Milliseconds) {
  return Wait(true, Count, Handles, Milliseconds);
}

uint32_t TSimComOS::WaitForSingleObject(THandle Handle, uint32_t Milliseconds) {
  return Wait(false, 1, &Handle, Milliseconds);
}

uint32_t TSimComOS::Wait(bool Multiple, uint32_t Count, const THandle* Handles,
                         uint32_t Milliseconds) {
  std::unique_lock<std::mutex> L(FLock);
  TCall C = NewCall(Multiple ? "WaitForMultipleObjects" : "WaitForSingleObject");
  if (Multiple) {
    C.Args = {Count, Milliseconds, WAIT_FAILED_};
    for (uint32_t I = 0; Handles && I < Count; ++I) {
      C.Args.push_back(static_cast<uint32_t>(Handles[I]));
    }
  } else {
    C.Handle = Handles[0];
    C.Args = {Milliseconds, WAIT_FAILED_};
  }
  auto Finish = [&](uint32_t Result, uint32_t Error) {
    C.Args[Multiple ? 2 : 1] = Result;
    if (Result == WAIT_FAILED_) {
      Fail(C, Error);
    } else {
      Succeed(C);
    }
    return Result;
  };
  uint32_t Error;
  if (Injected(C.Name, Error)) return Finish(WAIT_FAILED_, Error);
  if (Count == 0 || !Handles) return Finish(WAIT_FAILED_, SIM_ERROR_INVALID_PARAMETER);
  const auto Failing = [&](THandle Event) -> uint32_t {
    for (const auto& [H, D] : FDeviceHandles) {
      if (const uint32_t E = D->Events.FailingWait(Event)) return E;
    }
    return 0;
  };
  TEventTable::TLook Look;
  const auto Looked = [&] {
    Look = FEvents.Look(Count, Handles, Failing);
    return Look.Kind != TEventTable::TLook::kNothing;
  };
  const auto End = Milliseconds == INFINITE_
                       ? kNoDeadline
                       : TSimClock::now() + std::chrono::milliseconds(Milliseconds);
  PassTime();
  if (!Looked() && Milliseconds != 0) SleepUntil(L, End, Looked);
  switch (Look.Kind) {
    case TEventTable::TLook::kSignalled:
      return Finish(WAIT_OBJECT_0_ + Look.Index, 0);
    case TEventTable::TLook::kFailed:
      return Finish(WAIT_FAILED_, Look.Error);
    case TEventTable::TLook::kUnknownHandle:
      return Finish(WAIT_FAILED_, SIM_ERROR_INVALID_HANDLE);
    case TEventTable::TLook::kNothing:
      break;
  }
  return Finish(WAIT_TIMEOUT_, 0);
}

void TSimComOS::Sleep(uint32_t Milliseconds) {
  {
    std::lock_guard<std::mutex> L(FLock);
    TCall C = NewCall("Sleep");
    C.Args = {Milliseconds};
    Succeed(C);
  }
  if (Milliseconds == 0) {
    std::this_thread::yield();
  } else {
    std::this_thread::sleep_for(std::chrono::milliseconds(Milliseconds));
  }
}

uint32_t TSimComOS::GetLastError() {
  return tLastError;
}

void TSimComOS::SetLastError(uint32_t Error) {
  tLastError = Error;
}

}  // namespace comfind
