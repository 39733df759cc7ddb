#include "port/os/SimComOS.h"

#include <algorithm>
#include <cstring>
#include <thread>

namespace comfind {

namespace {

// Overlapped.Internal while the operation runs (Win32 keeps the same value there).
constexpr uintptr_t kPending = 0x103;
// The input size assumed for EV_RX80FULL before SetupComm has named one.
constexpr uint32_t kDefaultInputSize = 4096;

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

struct TSimComOS::TDevice {
  std::string Name;
  bool Open = false;
  bool Vanished = false;
  uint32_t VanishError = 0;
  std::string Input;
  std::string Output;
  size_t Taken = 0;
  uint32_t ModemStatus = 0;
  uint32_t ErrorWord = 0;
  uint32_t Mask = 0;
  uint32_t History = 0;  // events of the mask that occurred while no wait was pending
  TDCB DCB{};
  TCommTimeouts Timeouts{};
  uint32_t InSize = 0;
  uint32_t OutSize = 0;
  // The pending WaitCommEvent, if any.
  bool Waiting = false;
  uint32_t* WaitMask = nullptr;
  TOverlapped* WaitRecord = nullptr;
  // The event of a wait that failed because the device vanished: waits on it fail.
  THandle FailedWaitEvent = 0;
  struct THeldWrite {
    std::string Bytes;
    TOverlapped* Record;
  };
  bool HoldWrites = false;
  std::vector<THeldWrite> Held;
};

struct TSimComOS::TEvent {
  bool ManualReset = false;
  bool Signalled = false;
};

TSimComOS::TSimComOS() = default;
TSimComOS::~TSimComOS() = default;

// --- The test's side -------------------------------------------------------------------------

void TSimComOS::AddDevice(const std::string& Name) {
  std::lock_guard<std::mutex> L(FLock);
  auto& Slot = FDevices[Name];
  if (Slot && !Slot->Vanished) return;
  Slot = std::make_shared<TDevice>();
  Slot->Name = Name;
  Changed();
}

void TSimComOS::Vanish(const std::string& Name, uint32_t Error) {
  std::lock_guard<std::mutex> L(FLock);
  auto D = DeviceByName(Name);
  if (!D || D->Vanished) return;
  D->Vanished = true;
  D->VanishError = Error;
  if (D->Waiting) {
    // The record fails, but its event is not signalled: a waiter learns of the loss from the
    // wait itself, which fails, instead of being woken into a loop that cannot succeed.
    D->Waiting = false;
    D->WaitRecord->Internal = Error;
    D->WaitRecord->InternalHigh = 0;
    D->FailedWaitEvent = D->WaitRecord->hEvent;
  }
  for (auto& W : D->Held)
    Complete(W.Record, Error, 0);
  D->Held.clear();
  Changed();
}

void TSimComOS::FailCall(const std::string& Call, uint32_t Error, int Times) {
  std::lock_guard<std::mutex> L(FLock);
  if (Times == 0) {
    FFailures.erase(Call);
  } else {
    FFailures[Call] = TFailure{Error, Times};
  }
}

void TSimComOS::ClearFailures() {
  std::lock_guard<std::mutex> L(FLock);
  FFailures.clear();
}

void TSimComOS::Feed(const std::string& Name, const std::string& Bytes) {
  std::lock_guard<std::mutex> L(FLock);
  auto D = DeviceByName(Name);
  if (!D || Bytes.empty()) return;
  const size_t Before = D->Input.size();
  D->Input += Bytes;
  uint32_t Events = EV_RXCHAR_;
  if (Bytes.find(D->DCB.EvtChar) != std::string::npos) Events |= EV_RXFLAG_;
  const size_t Size = D->InSize ? D->InSize : kDefaultInputSize;
  const size_t Threshold = Size * 8 / 10;
  if (Before < Threshold && D->Input.size() >= Threshold) Events |= EV_RX80FULL_;
  Raise(*D, Events);
  Changed();
}

std::string TSimComOS::Written(const std::string& Name) const {
  std::lock_guard<std::mutex> L(FLock);
  auto D = DeviceByName(Name);
  return D ? D->Output : std::string();
}

std::string TSimComOS::TakeWritten(const std::string& Name) {
  std::lock_guard<std::mutex> L(FLock);
  auto D = DeviceByName(Name);
  if (!D) return {};
  std::string New = D->Output.substr(D->Taken);
  D->Taken = D->Output.size();
  return New;
}

size_t TSimComOS::InputQueue(const std::string& Name) const {
  std::lock_guard<std::mutex> L(FLock);
  auto D = DeviceByName(Name);
  return D ? D->Input.size() : 0;
}

void TSimComOS::SetModemStatus(const std::string& Name, uint32_t ModemStatus) {
  std::lock_guard<std::mutex> L(FLock);
  auto D = DeviceByName(Name);
  if (!D) return;
  const uint32_t Changes = D->ModemStatus ^ ModemStatus;
  D->ModemStatus = ModemStatus;
  uint32_t Events = 0;
  if (Changes & MS_CTS_ON_) Events |= EV_CTS_;
  if (Changes & MS_DSR_ON_) Events |= EV_DSR_;
  if (Changes & MS_RLSD_ON_) Events |= EV_RLSD_;
  if ((Changes & MS_RING_ON_) && (ModemStatus & MS_RING_ON_)) Events |= EV_RING_;
  Raise(*D, Events);
  Changed();
}

void TSimComOS::RaiseLineErrors(const std::string& Name, uint32_t Errors) {
  std::lock_guard<std::mutex> L(FLock);
  auto D = DeviceByName(Name);
  if (!D) return;
  D->ErrorWord |= Errors;
  uint32_t Events = 0;
  if (Errors & (CE_FRAME_ | CE_OVERRUN_ | CE_RXPARITY_)) Events |= EV_ERR_;
  if (Errors & CE_BREAK_) Events |= EV_BREAK_;
  Raise(*D, Events);
  Changed();
}

void TSimComOS::RaiseEvents(const std::string& Name, uint32_t Events) {
  std::lock_guard<std::mutex> L(FLock);
  auto D = DeviceByName(Name);
  if (!D) return;
  Raise(*D, Events);
  Changed();
}

bool TSimComOS::CompleteWait(const std::string& Name, uint32_t Mask) {
  std::lock_guard<std::mutex> L(FLock);
  auto D = DeviceByName(Name);
  if (!D || !D->Waiting) return false;
  CompletePendingWait(*D, Mask, 0);
  Changed();
  return true;
}

void TSimComOS::HoldWrites(const std::string& Name, bool Hold) {
  std::lock_guard<std::mutex> L(FLock);
  auto D = DeviceByName(Name);
  if (D) D->HoldWrites = Hold;
}

void TSimComOS::ReleaseWrites(const std::string& Name) {
  std::lock_guard<std::mutex> L(FLock);
  auto D = DeviceByName(Name);
  if (!D || D->Held.empty()) return;
  for (auto& W : D->Held) {
    D->Output += W.Bytes;
    Complete(W.Record, 0, static_cast<uint32_t>(W.Bytes.size()));
  }
  D->Held.clear();
  Raise(*D, EV_TXEMPTY_);
  Changed();
}

bool TSimComOS::IsOpen(const std::string& Name) const {
  std::lock_guard<std::mutex> L(FLock);
  auto D = DeviceByName(Name);
  return D && D->Open;
}

bool TSimComOS::IsWaiting(const std::string& Name) const {
  std::lock_guard<std::mutex> L(FLock);
  auto D = DeviceByName(Name);
  return D && D->Waiting;
}

TDCB TSimComOS::State(const std::string& Name) const {
  std::lock_guard<std::mutex> L(FLock);
  auto D = DeviceByName(Name);
  return D ? D->DCB : TDCB{};
}

TCommTimeouts TSimComOS::Timeouts(const std::string& Name) const {
  std::lock_guard<std::mutex> L(FLock);
  auto D = DeviceByName(Name);
  return D ? D->Timeouts : TCommTimeouts{};
}

uint32_t TSimComOS::Mask(const std::string& Name) const {
  std::lock_guard<std::mutex> L(FLock);
  auto D = DeviceByName(Name);
  return D ? D->Mask : 0;
}

uint32_t TSimComOS::InputSize(const std::string& Name) const {
  std::lock_guard<std::mutex> L(FLock);
  auto D = DeviceByName(Name);
  return D ? D->InSize : 0;
}

uint32_t TSimComOS::OutputSize(const std::string& Name) const {
  std::lock_guard<std::mutex> L(FLock);
  auto D = DeviceByName(Name);
  return D ? D->OutSize : 0;
}

size_t TSimComOS::OpenHandles() const {
  std::lock_guard<std::mutex> L(FLock);
  return FDeviceHandles.size() + FEvents.size();
}

std::vector<TSimComOS::TCall> TSimComOS::Calls() const {
  std::lock_guard<std::mutex> L(FLock);
  return FCalls;
}

std::vector<TSimComOS::TCall> TSimComOS::Calls(const std::string& Name) const {
  std::lock_guard<std::mutex> L(FLock);
  std::vector<TCall> Out;
  for (const auto& C : FCalls) {
    if (C.Name == Name) Out.push_back(C);
  }
  return Out;
}

std::vector<std::string> TSimComOS::DeviceCallNames() const {
  static const char* const kEventCalls[] = {"CreateEventA",        "SetEvent",
                                            "ResetEvent",          "WaitForMultipleObjects",
                                            "WaitForSingleObject", "Sleep"};
  std::lock_guard<std::mutex> L(FLock);
  std::vector<std::string> Out;
  for (const auto& C : FCalls) {
    bool EventCall = std::any_of(std::begin(kEventCalls), std::end(kEventCalls),
                                 [&](const char* N) { return C.Name == N; });
    // A CloseHandle of an event is an event call too.
    if (C.Name == "CloseHandle" && C.Args.size() == 1 && C.Args[0] == 0) EventCall = true;
    if (!EventCall) Out.push_back(C.Name);
  }
  return Out;
}

void TSimComOS::ClearCalls() {
  std::lock_guard<std::mutex> L(FLock);
  FCalls.clear();
}

bool TSimComOS::WaitUntil(const std::function<bool()>& Condition,
                          std::chrono::milliseconds Deadline) {
  const auto End = std::chrono::steady_clock::now() + Deadline;
  for (;;) {
    uint64_t Seen;
    {
      std::lock_guard<std::mutex> L(FLock);
      Seen = FChanges;
    }
    if (Condition()) return true;
    std::unique_lock<std::mutex> L(FLock);
    if (!FChangedCV.wait_until(L, End, [&] { return FChanges != Seen; })) {
      L.unlock();
      return Condition();
    }
  }
}

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
  if (!D || D->Vanished) {
    Fail(Call, D ? D->VanishError : SIM_ERROR_INVALID_HANDLE);
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
  const uint32_t Hit = Events & Device.Mask;
  if (!Hit || Device.Vanished) return;
  if (Device.Waiting) {
    CompletePendingWait(Device, Hit | Device.History, 0);
    Device.History = 0;
  } else {
    Device.History |= Hit;
  }
}

void TSimComOS::CompletePendingWait(TDevice& Device, uint32_t Mask, uint32_t Status) {
  Device.Waiting = false;
  if (Device.WaitMask) *Device.WaitMask = Status == 0 ? Mask : 0;
  TOverlapped* Record = Device.WaitRecord;
  Device.WaitMask = nullptr;
  Device.WaitRecord = nullptr;
  Complete(Record, Status, 0);
}

void TSimComOS::Complete(TOverlapped* Overlapped, uint32_t Status, uint32_t Count) {
  if (!Overlapped) return;
  Overlapped->Internal = Status;
  Overlapped->InternalHigh = Count;
  if (Overlapped->hEvent) SignalEvent(Overlapped->hEvent);
  Changed();
}

void TSimComOS::SignalEvent(THandle Event) {
  auto It = FEvents.find(Event);
  if (It != FEvents.end()) It->second->Signalled = true;
  Changed();
}

void TSimComOS::ResetEventLocked(THandle Event) {
  auto It = FEvents.find(Event);
  if (It != FEvents.end()) It->second->Signalled = false;
}

bool TSimComOS::EventSignalled(THandle Event, bool Consume) {
  auto It = FEvents.find(Event);
  if (It == FEvents.end() || !It->second->Signalled) return false;
  if (Consume && !It->second->ManualReset) It->second->Signalled = false;
  return true;
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
  if (!D || D->Vanished) return Fail(C, SIM_ERROR_FILE_NOT_FOUND), INVALID_HANDLE_VALUE_;
  // A serial device opens exclusively, whatever share mode is asked for.
  if (D->Open) return Fail(C, SIM_ERROR_ACCESS_DENIED), INVALID_HANDLE_VALUE_;
  D->Open = true;
  D->History = 0;
  D->Mask = 0;
  D->ErrorWord = 0;
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
    if (D->Waiting) CompletePendingWait(*D, 0, SIM_ERROR_OPERATION_ABORTED);
    for (auto& W : D->Held)
      Complete(W.Record, SIM_ERROR_OPERATION_ABORTED, 0);
    D->Held.clear();
    D->Open = false;
    D->FailedWaitEvent = 0;
    FDeviceHandles.erase(Handle);
    return Succeed(C);
  }
  C.Args = {0};
  if (FEvents.erase(Handle)) return Succeed(C);
  return Fail(C, SIM_ERROR_INVALID_HANDLE);
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
  D->Mask = EvtMask;
  D->History = 0;
  if (D->Waiting) CompletePendingWait(*D, 0, 0);
  return Succeed(C);
}

bool TSimComOS::WaitCommEvent(THandle Handle, uint32_t* EvtMask, TOverlapped* Overlapped) {
  std::unique_lock<std::mutex> L(FLock);
  TCall C = NewCall("WaitCommEvent", Handle);
  uint32_t Error;
  if (Injected(C.Name, Error)) return Fail(C, Error);
  auto D = DeviceByHandle(Handle);
  if (!D) return Fail(C, SIM_ERROR_INVALID_HANDLE);
  if (!EvtMask) return Fail(C, SIM_ERROR_INVALID_PARAMETER);
  if (D->Vanished) {
    if (Overlapped && Overlapped->hEvent) {
      ResetEventLocked(Overlapped->hEvent);
      Overlapped->Internal = D->VanishError;
      D->FailedWaitEvent = Overlapped->hEvent;
    }
    return Fail(C, D->VanishError);
  }
  if (D->Waiting || D->Mask == 0) return Fail(C, SIM_ERROR_INVALID_PARAMETER);
  TOverlapped Local;
  TOverlapped* Record = Overlapped ? Overlapped : &Local;
  if (Record->hEvent) ResetEventLocked(Record->hEvent);
  Record->Internal = kPending;
  Record->InternalHigh = 0;
  if (D->History & D->Mask) {
    *EvtMask = D->History & D->Mask;
    D->History = 0;
    Complete(Record, 0, 0);
    return Succeed(C);
  }
  D->Waiting = true;
  D->WaitMask = EvtMask;
  D->WaitRecord = Record;
  if (Overlapped) {
    Fail(C, ERROR_IO_PENDING_);
    return false;
  }
  // Without a record the call blocks until the wait completes, as on Win32.
  FChangedCV.wait(L, [&] { return Local.Internal != kPending; });
  if (Local.Internal != 0) return Fail(C, static_cast<uint32_t>(Local.Internal));
  return Succeed(C);
}

bool TSimComOS::ReadFile(THandle Handle, void* Buffer, uint32_t Count, uint32_t* Read,
                         TOverlapped* Overlapped) {
  std::lock_guard<std::mutex> L(FLock);
  TCall C = NewCall("ReadFile", Handle);
  C.Args = {Count, Overlapped ? 1u : 0u};
  if (Read) *Read = 0;
  auto D = LiveDevice(C, Handle);
  if (!D) return false;
  if (Count > 0 && !Buffer) return Fail(C, SIM_ERROR_INVALID_PARAMETER);
  const uint32_t N = static_cast<uint32_t>(std::min<size_t>(Count, D->Input.size()));
  if (N) std::memcpy(Buffer, D->Input.data(), N);
  D->Input.erase(0, N);
  if (Read) *Read = N;
  if (Overlapped) {
    if (Overlapped->hEvent) ResetEventLocked(Overlapped->hEvent);
    Complete(Overlapped, 0, N);
  }
  return Succeed(C);
}

bool TSimComOS::WriteFile(THandle Handle, const void* Buffer, uint32_t Count, uint32_t* Written,
                          TOverlapped* Overlapped) {
  std::lock_guard<std::mutex> L(FLock);
  TCall C = NewCall("WriteFile", Handle);
  C.Args = {Count, Overlapped ? 1u : 0u};
  if (Count > 0 && Buffer) C.Text.assign(static_cast<const char*>(Buffer), Count);
  if (Written) *Written = 0;
  auto D = LiveDevice(C, Handle);
  if (!D) return false;
  if (Count > 0 && !Buffer) return Fail(C, SIM_ERROR_INVALID_PARAMETER);
  if (Overlapped && Overlapped->hEvent) ResetEventLocked(Overlapped->hEvent);
  if (D->HoldWrites && Overlapped) {
    Overlapped->Internal = kPending;
    Overlapped->InternalHigh = 0;
    D->Held.push_back({C.Text, Overlapped});
    Fail(C, ERROR_IO_PENDING_);
    return false;
  }
  D->Output += C.Text;
  if (Written) *Written = Count;
  Complete(Overlapped, 0, Count);
  Raise(*D, EV_TXEMPTY_);
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
  if (!DeviceByHandle(Handle)) return Fail(C, SIM_ERROR_INVALID_HANDLE);
  if (Overlapped->Internal == kPending) {
    if (!Wait) return Fail(C, SIM_ERROR_IO_INCOMPLETE);
    FChangedCV.wait(L, [&] { return Overlapped->Internal != kPending; });
  }
  if (Overlapped->Internal != 0) return Fail(C, static_cast<uint32_t>(Overlapped->Internal));
  if (Transferred) *Transferred = static_cast<uint32_t>(Overlapped->InternalHigh);
  return Succeed(C);
}

bool TSimComOS::PurgeComm(THandle Handle, uint32_t Flags) {
  std::lock_guard<std::mutex> L(FLock);
  TCall C = NewCall("PurgeComm", Handle);
  C.Args = {Flags};
  auto D = LiveDevice(C, Handle);
  if (!D) return false;
  if (Flags & ~uint32_t{0x000F}) return Fail(C, SIM_ERROR_INVALID_PARAMETER);
  if (Flags & PURGE_TXABORT_) {
    for (auto& W : D->Held)
      Complete(W.Record, SIM_ERROR_OPERATION_ABORTED, 0);
    D->Held.clear();
  }
  if (Flags & PURGE_RXCLEAR_) D->Input.clear();
  return Succeed(C);
}

bool TSimComOS::ClearCommError(THandle Handle, uint32_t* Errors, TComStat* Stat) {
  std::lock_guard<std::mutex> L(FLock);
  TCall C = NewCall("ClearCommError", Handle);
  auto D = LiveDevice(C, Handle);
  if (!D) return false;
  if (Errors) *Errors = D->ErrorWord;
  D->ErrorWord = 0;
  if (Stat) {
    *Stat = TComStat{};
    Stat->cbInQue = static_cast<uint32_t>(D->Input.size());
    for (const auto& W : D->Held)
      Stat->cbOutQue += static_cast<uint32_t>(W.Bytes.size());
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
  auto E = std::make_shared<TEvent>();
  E->ManualReset = ManualReset;
  E->Signalled = InitialState;
  FEvents[H] = E;
  C.Handle = H;
  Succeed(C);
  return H;
}

bool TSimComOS::SetEvent(THandle Event) {
  std::lock_guard<std::mutex> L(FLock);
  TCall C = NewCall("SetEvent", Event);
  uint32_t Error;
  if (Injected(C.Name, Error)) return Fail(C, Error);
  if (!FEvents.count(Event)) return Fail(C, SIM_ERROR_INVALID_HANDLE);
  SignalEvent(Event);
  return Succeed(C);
}

bool TSimComOS::ResetEvent(THandle Event) {
  std::lock_guard<std::mutex> L(FLock);
  TCall C = NewCall("ResetEvent", Event);
  uint32_t Error;
  if (Injected(C.Name, Error)) return Fail(C, Error);
  if (!FEvents.count(Event)) return Fail(C, SIM_ERROR_INVALID_HANDLE);
  ResetEventLocked(Event);
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
  const auto End = std::chrono::steady_clock::now() + std::chrono::milliseconds(Milliseconds);
  for (;;) {
    for (uint32_t I = 0; I < Count; ++I) {
      if (!FEvents.count(Handles[I])) return Finish(WAIT_FAILED_, SIM_ERROR_INVALID_HANDLE);
      if (EventSignalled(Handles[I], true)) return Finish(WAIT_OBJECT_0_ + I, 0);
      for (const auto& [H, D] : FDeviceHandles) {
        if (D->Vanished && D->FailedWaitEvent == Handles[I]) {
          return Finish(WAIT_FAILED_, D->VanishError);
        }
      }
    }
    if (Milliseconds == 0) return Finish(WAIT_TIMEOUT_, 0);
    const uint64_t Seen = FChanges;
    if (Milliseconds == INFINITE_) {
      FChangedCV.wait(L, [&] { return FChanges != Seen; });
    } else if (!FChangedCV.wait_until(L, End, [&] { return FChanges != Seen; })) {
      // One last look: a signal and the deadline may have met.
      for (uint32_t I = 0; I < Count; ++I) {
        if (EventSignalled(Handles[I], true)) return Finish(WAIT_OBJECT_0_ + I, 0);
      }
      return Finish(WAIT_TIMEOUT_, 0);
    }
  }
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
