#include "search/ProbeReport.h"

#include "port/ComErrors.h"
#include "port/os/ComOS.h"

namespace comfind {

const char* ProbeOutcomeName(TProbeOutcome Outcome) {
  switch (Outcome) {
    case poAnswered:
      return "answered";
    case poSilent:
      return "silent";
    case poBusy:
      return "busy";
    case poDenied:
      return "denied";
    case poMissing:
      return "missing";
    case poVanished:
      return "vanished";
    case poError:
      return "error";
    case poStopped:
      return "stopped";
  }
  return "error";
}

void NoteProbeFailure(TProbeReport& Report, const TComOS& OS, const EComPort& E, bool Opened) {
  // A report without a system number (a transfer on a port that is not open) has only the
  // component's own message to give.
  const int32_t Number = E.WinErrorCode();
  Report.ErrorNumber = Number;
  Report.ErrorMessage = Number > 0 ? SysErrorMessage(static_cast<uint32_t>(Number)) : E.Message();
  if (Number <= 0) {
    Report.Outcome = poError;
    return;
  }
  switch (OS.ClassifyError(static_cast<uint32_t>(Number), Opened)) {
    case cfMissing:
      Report.Outcome = poMissing;
      break;
    case cfBusy:
      Report.Outcome = poBusy;
      break;
    case cfDenied:
      Report.Outcome = poDenied;
      break;
    case cfVanished:
      Report.Outcome = poVanished;
      break;
    case cfOther:
      Report.Outcome = poError;
      break;
  }
}

}  // namespace comfind
