// The reads and writes of one device as the Win32 serial driver runs them, for the layers that
// emulate it (the POSIX layer and the simulated device): the read and write timeouts, the
// order of transfers, partial results, aborts and closes. Pure: the layer supplies the bytes
// that arrived, a sink that takes bytes to send and the time, and completes the records the
// queue hands back, under the lock it holds around every call.
//
// Rules:
//   - Reads complete in the order they were started; only the oldest takes bytes. A read ends
//     when it has its count, at once with what is there when the timeouts say so, with the
//     first bytes when they say so, or successfully with what it has at its deadline (the
//     total, or the interval after the last byte).
//   - Writes go out in the order they were started; one ends when all its bytes were taken by
//     the sink, or successfully with what went out at its deadline.
//   - An abort (PurgeComm, CloseHandle) ends the pending transfers with the abort error; bytes
//     an aborted read had taken go back to the input, so an abort loses nothing received.
//   - A device that vanishes ends them too: a read that has bytes succeeds with them, every
//     other transfer fails with the device's error.
// A transfer that can end at once ends inside its start, as Win32 allows, so the common case
// never waits for anyone.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "port/os/ComOS.h"
#include "port/os/Completion.h"

namespace comfind {

using TTransferClock = std::chrono::steady_clock;
constexpr TTransferClock::time_point kNoDeadline = TTransferClock::time_point::max();

// How a read of Count bytes ends under a set of timeouts, as Win32 defines them.
struct TReadPlan {
  bool ReturnAtOnce = false;  // take what is waiting, never wait
  bool ReturnOnAny = false;   // return as soon as at least one byte is there
  uint64_t TotalMs = 0;       // limit for the whole read; 0 = none
  uint64_t IntervalMs = 0;    // limit between two bytes once the first arrived; 0 = none
};
TReadPlan PlanRead(const TCommTimeouts& Timeouts, uint32_t Count);

// The limit for a write of Count bytes in milliseconds; 0 = none.
uint64_t PlanWrite(const TCommTimeouts& Timeouts, uint32_t Count);

// A deadline Ms after Start, saturating (a Win32 total can reach 2^64 ms).
TTransferClock::time_point DeadlineAfter(TTransferClock::time_point Start, uint64_t Ms);

class TTransferQueue {
 public:
  using TCompletions = std::vector<TComCompletion>;
  // Takes up to Count bytes to send and returns how many it took (0: none now); -1 with Error
  // set when the device refuses them for good.
  using TSink = std::function<int64_t(const char* Bytes, size_t Count, uint32_t& Error)>;

  // The layer's error number for an aborted transfer.
  explicit TTransferQueue(uint32_t Aborted) : FAborted(Aborted) {}

  // Starts a read of Count bytes into Buffer, which stays the caller's until the read ends.
  // Takes from Input what the rules allow; true when the read ended at once (Done).
  bool StartRead(TOverlapped* Record, char* Buffer, uint32_t Count, const TReadPlan& Plan,
                 std::string& Input, TTransferClock::time_point Now, TComCompletion& Done);
  // New bytes are in Input: the pending reads take them, oldest first.
  void Serve(std::string& Input, TTransferClock::time_point Now, TCompletions& Done);
  bool ReadsPending() const { return !FReads.empty(); }
  // Bytes the pending reads still lack.
  size_t ReadsLack() const;

  // Starts a write of Count bytes from Bytes, which stay the caller's until the write ends;
  // LimitMs as PlanWrite gives it. Sends at once through Sink when no write is ahead of it;
  // true when the write ended at once (Done).
  bool StartWrite(TOverlapped* Record, const char* Bytes, uint32_t Count, uint64_t LimitMs,
                  const TSink& Sink, TTransferClock::time_point Now, TComCompletion& Done);
  // The device can take bytes: the pending writes send, oldest first.
  void Pump(const TSink& Sink, TCompletions& Done);
  bool WritesPending() const { return !FWrites.empty(); }
  // Bytes of pending writes not yet sent.
  size_t QueuedBytes() const;

  // Ends the transfers whose deadline has passed (a read behind an expired one may then take
  // from Input); NextDeadline is the earliest deadline still ahead. A transfer's timeouts run
  // from the moment it is the oldest of its kind, as a driver starts them when it takes the
  // request up.
  void Expire(std::string& Input, TTransferClock::time_point Now, TCompletions& Done);
  TTransferClock::time_point NextDeadline() const;

  // PurgeComm's aborts; Input takes back what aborted reads had taken.
  void AbortReads(std::string& Input, TCompletions& Done);
  void AbortWrites(TCompletions& Done);
  // The device vanished with Error.
  void Vanish(uint32_t Error, TCompletions& Done);
  // Forgets the pending transfers whose record carries Event, without writing them: their
  // owner has let them go (the simulated device's answer to that fault, which it reports).
  // True when there were any.
  bool Drop(THandle Event);

 private:
  struct TRead {
    TOverlapped* Record;
    char* Buffer;
    uint32_t Count;
    uint32_t Got;
    TReadPlan Plan;
    bool Started;                      // the oldest read: its timeouts run
    TTransferClock::time_point Total;  // kNoDeadline: none
    TTransferClock::time_point LastArrival;
  };
  struct TWrite {
    TOverlapped* Record;
    const char* Bytes;
    uint32_t Count;
    uint32_t Sent;
    uint64_t LimitMs;
    bool Started;
    TTransferClock::time_point Deadline;  // kNoDeadline: none
  };
  // Takes bytes from Input into R; true when R may end now.
  static bool Take(TRead& R, std::string& Input, TTransferClock::time_point Now);
  static TTransferClock::time_point Deadline(const TRead& R);
  // Sends what Sink takes of W; false when the sink failed (Error set).
  static bool Send(TWrite& W, const TSink& Sink, uint32_t& Error);
  // Lets the oldest reads take from Input and ends those that may end.
  void AdvanceReads(std::string& Input, TTransferClock::time_point Now, TCompletions& Done);

  uint32_t FAborted;
  std::deque<TRead> FReads;
  std::deque<TWrite> FWrites;
};

}  // namespace comfind
