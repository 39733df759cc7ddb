// What the emulating layers (POSIX, the simulated device) share about overlapped records: the
// value that marks a record as still running, and the completion of a record that the pure
// rules (ComEventCore.h, TransferQueue.h) hand back to the layer, which writes it and signals
// the record's event under its own lock.
#pragma once

#include <cstdint>

#include "port/os/ComOS.h"

namespace comfind {

// TOverlapped::Internal while the operation runs (Win32 keeps STATUS_PENDING there).
constexpr uintptr_t kRecordPending = 0x103;

// One record to complete.
struct TComCompletion {
  TOverlapped* Record = nullptr;  // null: nothing to complete
  uint32_t Status = 0;            // 0, or the error number the operation failed with
  uint32_t Count = 0;             // bytes transferred
  // Whether to signal the record's event. A wait that failed because its device vanished is
  // not signalled: its waiter learns of the loss from the failed wait instead of being woken
  // into a loop that cannot succeed.
  bool Signal = true;
};

// Marks a record as running: the layer does this when it accepts an operation on it.
inline void StartRecord(TOverlapped& Record) {
  Record.Internal = kRecordPending;
  Record.InternalHigh = 0;
}

// Writes a completion into its record; the layer signals the event afterwards when asked to.
inline void WriteCompletion(const TComCompletion& Done) {
  if (!Done.Record) return;
  Done.Record->Internal = Done.Status;
  Done.Record->InternalHigh = Done.Count;
}

}  // namespace comfind
