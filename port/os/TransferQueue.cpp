#include "port/os/TransferQueue.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace comfind {

namespace {

uint64_t SaturatingMulAdd(uint64_t A, uint64_t B, uint64_t C) {
  constexpr uint64_t Max = std::numeric_limits<uint64_t>::max();
  if (A != 0 && B > (Max - C) / A) return Max;
  return A * B + C;
}

}  // namespace

TReadPlan PlanRead(const TCommTimeouts& Timeouts, uint32_t Count) {
  constexpr uint32_t MaxDword = 0xFFFFFFFF;
  TReadPlan Plan;
  const uint32_t Interval = Timeouts.ReadIntervalTimeout;
  const uint32_t Multiplier = Timeouts.ReadTotalTimeoutMultiplier;
  const uint32_t Constant = Timeouts.ReadTotalTimeoutConstant;
  if (Interval == MaxDword && Multiplier == 0 && Constant == 0) {
    Plan.ReturnAtOnce = true;
    return Plan;
  }
  if (Interval == MaxDword && Multiplier == MaxDword && Constant > 0 && Constant < MaxDword) {
    Plan.ReturnOnAny = true;
    Plan.TotalMs = Constant;
    return Plan;
  }
  Plan.TotalMs = SaturatingMulAdd(Multiplier, Count, Constant);
  Plan.IntervalMs = Interval;
  return Plan;
}

uint64_t PlanWrite(const TCommTimeouts& Timeouts, uint32_t Count) {
  return SaturatingMulAdd(Timeouts.WriteTotalTimeoutMultiplier, Count,
                          Timeouts.WriteTotalTimeoutConstant);
}

TTransferClock::time_point DeadlineAfter(TTransferClock::time_point Start, uint64_t Ms) {
  const auto Room =
      std::chrono::duration_cast<std::chrono::milliseconds>(kNoDeadline - Start).count();
  if (Ms >= static_cast<uint64_t>(Room)) return kNoDeadline;
  return Start + std::chrono::milliseconds(Ms);
}

// --- Reads -----------------------------------------------------------------------------------

bool TTransferQueue::Take(TRead& R, std::string& Input, TTransferClock::time_point Now) {
  const uint32_t N = static_cast<uint32_t>(std::min<size_t>(R.Count - R.Got, Input.size()));
  if (N > 0) {
    std::memcpy(R.Buffer + R.Got, Input.data(), N);
    Input.erase(0, N);
    R.Got += N;
    R.LastArrival = Now;
  }
  return R.Got == R.Count || R.Plan.ReturnAtOnce || (R.Plan.ReturnOnAny && R.Got > 0);
}

TTransferClock::time_point TTransferQueue::Deadline(const TRead& R) {
  TTransferClock::time_point Until = R.Total;
  if (R.Plan.IntervalMs && R.Got > 0)
    Until = std::min(Until, DeadlineAfter(R.LastArrival, R.Plan.IntervalMs));
  return Until;
}

void TTransferQueue::AdvanceReads(std::string& Input, TTransferClock::time_point Now,
                                  TCompletions& Done) {
  while (!FReads.empty()) {
    TRead& R = FReads.front();
    if (!R.Started) {
      R.Started = true;
      R.Total = R.Plan.TotalMs ? DeadlineAfter(Now, R.Plan.TotalMs) : kNoDeadline;
    }
    if (!Take(R, Input, Now)) return;
    Done.push_back({R.Record, 0, R.Got, true});
    FReads.pop_front();
  }
}

bool TTransferQueue::StartRead(TOverlapped* Record, char* Buffer, uint32_t Count,
                               const TReadPlan& Plan, std::string& Input,
                               TTransferClock::time_point Now, TComCompletion& Done) {
  FReads.push_back({Record, Buffer, Count, 0, Plan, false, kNoDeadline, Now});
  if (FReads.size() > 1) return false;
  TCompletions Ended;
  AdvanceReads(Input, Now, Ended);
  if (Ended.empty()) return false;
  Done = Ended.front();
  return true;
}

void TTransferQueue::Serve(std::string& Input, TTransferClock::time_point Now, TCompletions& Done) {
  AdvanceReads(Input, Now, Done);
}

// --- Writes ----------------------------------------------------------------------------------

bool TTransferQueue::Send(TWrite& W, const TSink& Sink, uint32_t& Error) {
  while (W.Sent < W.Count) {
    const int64_t N = Sink(W.Bytes + W.Sent, W.Count - W.Sent, Error);
    if (N < 0) return false;
    if (N == 0) break;
    W.Sent += static_cast<uint32_t>(N);
  }
  return true;
}

bool TTransferQueue::StartWrite(TOverlapped* Record, const char* Bytes, uint32_t Count,
                                uint64_t LimitMs, const TSink& Sink, TTransferClock::time_point Now,
                                TComCompletion& Done) {
  FWrites.push_back({Record, Bytes, Count, 0, LimitMs, false, kNoDeadline});
  if (FWrites.size() > 1) return false;
  TWrite& W = FWrites.front();
  W.Started = true;
  W.Deadline = LimitMs ? DeadlineAfter(Now, LimitMs) : kNoDeadline;
  uint32_t Error = 0;
  if (!Send(W, Sink, Error)) {
    Done = TComCompletion{Record, Error, 0, true};
  } else if (W.Sent == W.Count) {
    Done = TComCompletion{Record, 0, W.Count, true};
  } else {
    return false;
  }
  FWrites.pop_front();
  return true;
}

void TTransferQueue::Pump(const TSink& Sink, TCompletions& Done) {
  const auto Now = TTransferClock::now();
  while (!FWrites.empty()) {
    TWrite& W = FWrites.front();
    if (!W.Started) {
      W.Started = true;
      W.Deadline = W.LimitMs ? DeadlineAfter(Now, W.LimitMs) : kNoDeadline;
    }
    uint32_t Error = 0;
    if (!Send(W, Sink, Error)) {
      // The layer learns of the refusal from the sink and ends the rest its own way.
      Done.push_back({W.Record, Error, 0, true});
      FWrites.pop_front();
      return;
    }
    if (W.Sent < W.Count) return;
    Done.push_back({W.Record, 0, W.Count, true});
    FWrites.pop_front();
  }
}

size_t TTransferQueue::ReadsLack() const {
  size_t N = 0;
  for (const auto& R : FReads)
    N += R.Count - R.Got;
  return N;
}

size_t TTransferQueue::QueuedBytes() const {
  size_t N = 0;
  for (const auto& W : FWrites)
    N += W.Count - W.Sent;
  return N;
}

// --- Time and aborts -------------------------------------------------------------------------

void TTransferQueue::Expire(std::string& Input, TTransferClock::time_point Now,
                            TCompletions& Done) {
  while (!FReads.empty() && FReads.front().Started && Deadline(FReads.front()) <= Now) {
    // A timeout is a success with what arrived, as on Windows.
    Done.push_back({FReads.front().Record, 0, FReads.front().Got, true});
    FReads.pop_front();
    AdvanceReads(Input, Now, Done);
  }
  // A write that times out likewise ends successfully with what went out; the one behind it
  // starts its own clock when the layer next pumps.
  if (!FWrites.empty() && FWrites.front().Started && FWrites.front().Deadline <= Now) {
    Done.push_back({FWrites.front().Record, 0, FWrites.front().Sent, true});
    FWrites.pop_front();
    if (!FWrites.empty()) {
      FWrites.front().Started = true;
      FWrites.front().Deadline =
          FWrites.front().LimitMs ? DeadlineAfter(Now, FWrites.front().LimitMs) : kNoDeadline;
    }
  }
}

TTransferClock::time_point TTransferQueue::NextDeadline() const {
  TTransferClock::time_point Next = kNoDeadline;
  if (!FReads.empty() && FReads.front().Started) Next = Deadline(FReads.front());
  if (!FWrites.empty() && FWrites.front().Started) Next = std::min(Next, FWrites.front().Deadline);
  return Next;
}

void TTransferQueue::AbortReads(std::string& Input, TCompletions& Done) {
  // Only the oldest read can hold bytes.
  if (!FReads.empty() && FReads.front().Got)
    Input.insert(0, FReads.front().Buffer, FReads.front().Got);
  for (const auto& R : FReads)
    Done.push_back({R.Record, FAborted, 0, true});
  FReads.clear();
}

void TTransferQueue::AbortWrites(TCompletions& Done) {
  for (const auto& W : FWrites)
    Done.push_back({W.Record, FAborted, 0, true});
  FWrites.clear();
}

void TTransferQueue::Vanish(uint32_t Error, TCompletions& Done) {
  for (const auto& R : FReads) {
    if (R.Got > 0)
      Done.push_back({R.Record, 0, R.Got, true});
    else
      Done.push_back({R.Record, Error, 0, true});
  }
  FReads.clear();
  for (const auto& W : FWrites)
    Done.push_back({W.Record, Error, 0, true});
  FWrites.clear();
}

bool TTransferQueue::Drop(THandle Event) {
  const size_t Before = FReads.size() + FWrites.size();
  std::erase_if(FReads, [&](const TRead& R) { return R.Record->hEvent == Event; });
  std::erase_if(FWrites, [&](const TWrite& W) { return W.Record->hEvent == Event; });
  return FReads.size() + FWrites.size() != Before;
}

}  // namespace comfind
