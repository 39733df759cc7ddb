// The rules of one device's comm-event wait as the Win32 serial driver keeps them, for the
// layers that emulate it (the POSIX layer and the simulated device), so that both follow one
// set of rules and the port's unit tests, which run on the simulated device, test the rules the
// real backend runs:
//   - SetCommMask names the events that count. It forgets the events remembered so far and ends
//     a pending wait at once, successfully, with mask 0.
//   - One WaitCommEvent at a time. With events of the mask remembered it completes at once with
//     them; otherwise it stays pending until an event of the mask occurs and then completes
//     with it and with any others of the mask that came at the same time. A second wait while
//     one is pending, and a wait with mask 0, are refused (invalid parameter).
//   - Events of the mask that occur while no wait is pending are remembered for the next one.
//   - Line errors accumulate in the error word that ClearCommError hands over and clears; a
//     frame, overrun or parity error raises EV_ERR, a break EV_BREAK.
//   - A device that vanishes refuses everything after, before it looks at any argument (the
//     Windows driver of a removed device fails each request so), and events that would still
//     arrive are dropped. When the mask holds EV_ERR the loss is told once: the pending wait,
//     or else the next one, completes with EV_ERR, and the next ClearCommError succeeds with
//     CE_IOE; everything after fails. Otherwise the pending wait fails.
//   - Closing the handle ends a pending wait with the abort error.
// Pure: the core takes no lock, never waits and signals nothing. Each call says which record
// the layer must complete; the layer does it under the lock it holds around the call.
#pragma once

#include <cstdint>

#include "port/os/ComOS.h"
#include "port/os/Completion.h"

namespace comfind {

class TComEventCore {
 public:
  // The error numbers of the layer: a refused argument, and an operation ended by a close.
  TComEventCore(uint32_t InvalidParameter, uint32_t Aborted)
      : FInvalidParameter(InvalidParameter), FAborted(Aborted) {}

  uint32_t Mask() const { return FMask; }
  bool Waiting() const { return FRecord != nullptr; }
  // The event of the pending wait's record; 0 when no wait is pending.
  THandle WaitEvent() const { return FRecord ? FRecord->hEvent : 0; }
  bool Vanished() const { return FVanished; }
  uint32_t VanishError() const { return FVanishError; }

  // SetCommMask: 0, or the error number it fails with. Ended: the wait it ended.
  uint32_t SetMask(uint32_t Mask, TComCompletion& Ended);
  // WaitCommEvent on Record: 0 when it completed at once (*EvtMask written), ERROR_IO_PENDING_
  // while pending, or the error number it is refused with. The layer marks the record running
  // (StartRecord) and resets its event whenever the result is not a refusal; Done then holds
  // what to complete at once (the completion, or the failure of a vanished device).
  uint32_t Wait(uint32_t* EvtMask, TOverlapped* Record, TComCompletion& Done);
  // Whether the result of Wait accepted the request (so the record was started).
  static bool Accepted(uint32_t Result, const TComCompletion& Done) {
    return Result == 0 || Result == ERROR_IO_PENDING_ || Done.Record != nullptr;
  }
  // Events occurred (EV_ bits); those of the mask complete the pending wait or are remembered.
  void Raise(uint32_t Events, TComCompletion& Done);
  // Completes the pending wait with exactly Mask, whatever the mask is (a test's way to see how
  // a port treats bits it never asked for). False when no wait is pending.
  bool CompleteWith(uint32_t Mask, TComCompletion& Done);
  // Line errors occurred (CE_ bits).
  void AddLineErrors(uint32_t Errors, TComCompletion& Done);
  // ClearCommError's error word, cleared by the call: 0, or the error number it fails with.
  uint32_t TakeErrors(uint32_t& Errors);
  // The device is gone, with Error as the number every later call fails with.
  void Vanish(uint32_t Error, TComCompletion& Done);
  // The handle closes.
  void Close(TComCompletion& Done);
  // Forgets the pending wait without writing its record or its mask, whose owner has let
  // them go (the simulated device's answer to that fault, which it reports).
  void DropWait() {
    FRecord = nullptr;
    FEvtMask = nullptr;
  }
  // The error a wait on Event must end with at once (the event of a wait that failed because
  // the device vanished: it is never signalled), or 0.
  uint32_t FailingWait(THandle Event) const {
    return FVanished && Event && Event == FFailedWaitEvent ? FVanishError : 0;
  }

 private:
  // Ends the pending wait: mask written, record handed back for completion.
  void EndWait(uint32_t Mask, uint32_t Status, bool Signal, TComCompletion& Done);

  uint32_t FInvalidParameter;
  uint32_t FAborted;
  uint32_t FMask = 0;
  uint32_t FHistory = 0;
  uint32_t FErrors = 0;
  uint32_t* FEvtMask = nullptr;
  TOverlapped* FRecord = nullptr;
  bool FVanished = false;
  uint32_t FVanishError = 0;
  // The loss still to be told: by a wait (EV_ERR), by ClearCommError (CE_IOE).
  bool FVanishEventOwed = false;
  bool FVanishErrorsOwed = false;
  THandle FFailedWaitEvent = 0;
};

}  // namespace comfind
