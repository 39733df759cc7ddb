// The test's side of the simulated device: devices appearing and vanishing, bytes and line
// changes from the far end, failures to inject, and what the port did to the device.
#include <algorithm>

#include "port/os/SimDevice.h"

namespace comfind {

// --- The test's side -------------------------------------------------------------------------

void TSimComOS::AddDevice(const std::string& Name) {
  std::lock_guard<std::mutex> L(FLock);
  auto& Slot = FDevices[Name];
  if (Slot && !Slot->Events.Vanished()) return;
  Slot = std::make_shared<TDevice>();
  Slot->Name = Name;
  Changed();
}

void TSimComOS::Vanish(const std::string& Name, uint32_t Error) {
  std::lock_guard<std::mutex> L(FLock);
  auto D = DeviceByName(Name);
  if (!D || D->Events.Vanished()) return;
  TComCompletion Wait;
  D->Events.Vanish(Error, Wait);
  Complete(Wait);
  std::vector<TComCompletion> Ended;
  D->Transfers.Vanish(Error, Ended);
  Complete(Ended);
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
  const size_t Size = D->InSize ? D->InSize : kSimDefaultInputSize;
  const size_t Threshold = Size * 8 / 10;
  if (Before < Threshold && D->Input.size() >= Threshold) Events |= EV_RX80FULL_;
  Raise(*D, Events);
  std::vector<TComCompletion> Ended;
  D->Transfers.Serve(D->Input, TSimClock::now(), Ended);
  Complete(Ended);
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
  TComCompletion Done;
  D->Events.AddLineErrors(Errors, Done);
  Complete(Done);
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
  TComCompletion Done;
  if (!D || !D->Events.CompleteWith(Mask, Done)) return false;
  Complete(Done);
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
  if (!D || !D->Transfers.WritesPending()) return;
  PumpWrites(*D, true);
  Changed();
}

void TSimComOS::DeferCancelledWaits(const std::string& Name, bool Defer) {
  std::lock_guard<std::mutex> L(FLock);
  auto D = DeviceByName(Name);
  if (D) D->DeferCancel = Defer;
}

void TSimComOS::CompleteDeferredWaits(const std::string& Name) {
  std::lock_guard<std::mutex> L(FLock);
  auto D = DeviceByName(Name);
  if (!D) return;
  Complete(D->Deferred);
  D->Deferred.clear();
}

std::vector<std::string> TSimComOS::Misuses() const {
  std::lock_guard<std::mutex> L(FLock);
  return FMisuses;
}

bool TSimComOS::IsOpen(const std::string& Name) const {
  std::lock_guard<std::mutex> L(FLock);
  auto D = DeviceByName(Name);
  return D && D->Open;
}

bool TSimComOS::IsWaiting(const std::string& Name) const {
  std::lock_guard<std::mutex> L(FLock);
  auto D = DeviceByName(Name);
  return D && D->Events.Waiting();
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
  return D ? D->Events.Mask() : 0;
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
  return FDeviceHandles.size() + FEvents.Size();
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
  static const char* const EventCalls[] = {"CreateEventA",        "SetEvent",
                                           "ResetEvent",          "WaitForMultipleObjects",
                                           "WaitForSingleObject", "Sleep"};
  std::lock_guard<std::mutex> L(FLock);
  std::vector<std::string> Out;
  for (const auto& C : FCalls) {
    bool EventCall = std::any_of(std::begin(EventCalls), std::end(EventCalls),
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
  const auto End = TSimClock::now() + Deadline;
  for (;;) {
    uint64_t Seen;
    {
      std::lock_guard<std::mutex> L(FLock);
      Seen = FChanges;
    }
    if (Condition()) return true;
    std::unique_lock<std::mutex> L(FLock);
    if (!SleepUntil(L, End, [&] { return FChanges != Seen; })) {
      L.unlock();
      return Condition();
    }
  }
}

}  // namespace comfind
