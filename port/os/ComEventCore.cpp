#include "port/os/ComEventCore.h"

namespace comfind {

void TComEventCore::EndWait(uint32_t Mask, uint32_t Status, bool Signal, TComCompletion& Done) {
  if (!FRecord) return;
  *FEvtMask = Mask;
  Done = TComCompletion{FRecord, Status, 0, Signal};
  FRecord = nullptr;
  FEvtMask = nullptr;
}

uint32_t TComEventCore::SetMask(uint32_t Mask, TComCompletion& Ended) {
  if (FVanished) return FVanishError;
  FMask = Mask;
  FHistory = 0;
  EndWait(0, 0, true, Ended);
  return 0;
}

uint32_t TComEventCore::Wait(uint32_t* EvtMask, TOverlapped* Record, TComCompletion& Done) {
  if (!EvtMask || !Record) return FInvalidParameter;
  if (FVanished && FVanishEventOwed) {
    FVanishEventOwed = false;
    *EvtMask = EV_ERR_;
    Done = TComCompletion{Record, 0, 0, true};
    return 0;
  }
  if (FVanished) {
    // The record fails with its event left unsignalled, and a wait on that event fails too.
    FFailedWaitEvent = Record->hEvent;
    Done = TComCompletion{Record, FVanishError, 0, false};
    return FVanishError;
  }
  if (FRecord || FMask == 0) return FInvalidParameter;
  if (const uint32_t Remembered = FHistory & FMask) {
    FHistory = 0;
    *EvtMask = Remembered;
    Done = TComCompletion{Record, 0, 0, true};
    return 0;
  }
  FRecord = Record;
  FEvtMask = EvtMask;
  FFailedWaitEvent = 0;
  return ERROR_IO_PENDING_;
}

void TComEventCore::Raise(uint32_t Events, TComCompletion& Done) {
  const uint32_t Hit = Events & FMask;
  if (!Hit || FVanished) return;
  if (FRecord) {
    const uint32_t All = Hit | FHistory;
    FHistory = 0;
    EndWait(All, 0, true, Done);
  } else {
    FHistory |= Hit;
  }
}

bool TComEventCore::CompleteWith(uint32_t Mask, TComCompletion& Done) {
  if (!FRecord) return false;
  EndWait(Mask, 0, true, Done);
  return true;
}

void TComEventCore::AddLineErrors(uint32_t Errors, TComCompletion& Done) {
  if (FVanished || !Errors) return;
  FErrors |= Errors;
  uint32_t Events = 0;
  if (Errors & (CE_FRAME_ | CE_OVERRUN_ | CE_RXPARITY_)) Events |= EV_ERR_;
  if (Errors & CE_BREAK_) Events |= EV_BREAK_;
  Raise(Events, Done);
}

uint32_t TComEventCore::TakeErrors(uint32_t& Errors) {
  Errors = 0;
  if (FVanished && !FVanishErrorsOwed) return FVanishError;
  FVanishErrorsOwed = false;
  Errors = FErrors;
  FErrors = 0;
  return 0;
}

void TComEventCore::Vanish(uint32_t Error, TComCompletion& Done) {
  if (FVanished) return;
  FVanished = true;
  FVanishError = Error;
  if (FMask & EV_ERR_) {
    // Told as an I/O error, once, to a port that listens for errors.
    FErrors |= CE_IOE_;
    FVanishErrorsOwed = true;
    if (FRecord)
      EndWait(EV_ERR_, 0, true, Done);
    else
      FVanishEventOwed = true;
    return;
  }
  if (FRecord) {
    FFailedWaitEvent = FRecord->hEvent;
    EndWait(0, Error, false, Done);
  }
}

void TComEventCore::Close(TComCompletion& Done) {
  EndWait(0, FAborted, true, Done);
  FFailedWaitEvent = 0;
}

}  // namespace comfind
