// How the probe of one port ended, in a form for scripts and the window's detail line. The log
// keeps the search's own words; this is the reason behind them (a port that "cannot be opened"
// may be missing, busy or refused to this user).
#pragma once

#include <cstdint>
#include <string>

#include "framework/Classes.h"

namespace comfind {

class EComPort;
class TComOS;

enum TProbeOutcome : uint8_t {
  poAnswered,  // the expected reply line came in time
  poSilent,    // the wait ran out without it (other lines may have come)
  poBusy,      // another program has the port open
  poDenied,    // this user may not open the port
  poMissing,   // there is no such device
  poVanished,  // the device went away during the probe
  poError,     // any other failure; the report carries the system's number and text
  poStopped    // the search ended before this port's wait did
};

struct TProbeReport {
  int Index = 0;     // the port's place in the searched list
  std::string Port;  // its name as the search was given it
  TProbeOutcome Outcome = poSilent;
  int64_t ErrorNumber = 0;   // the system's number for a failure, 0 otherwise
  std::string ErrorMessage;  // the system's text for it
  std::string Reply;         // every byte received while the port was probed
  double Milliseconds = 0;   // from the start of the open to the verdict
};

// Told of one port's outcome, once the port is closed and its verdict is in the log.
using TProbeDoneEvent = TEventHandler<const TProbeReport&>;

// The outcome's name in the machine-readable output: "answered", "silent", "busy", "denied",
// "missing", "vanished", "error", "stopped".
const char* ProbeOutcomeName(TProbeOutcome Outcome);

// Fills the failure part of Report from a port exception. Opened: the port had been opened
// when it failed (a missing device then has vanished). The number is read by the layer that
// left it (OS), so the simulated device and both platforms are told apart correctly.
void NoteProbeFailure(TProbeReport& Report, const TComOS& OS, const EComPort& E, bool Opened);

}  // namespace comfind
