// Which comm events a change of the modem input lines makes. A driver with line counters
// (TIOCGICOUNT) says how often each line changed, so a pulse shorter than the wait that
// noticed it still counts; a driver without them only shows the lines as they are now, and two
// snapshots are compared. Pure, so the rule is tested without a device.
#pragma once

#include <cstdint>

namespace comfind {

// The driver's counters of line events: each counts transitions or errors since the driver
// started, so two readings tell what happened in between.
struct TLineCounters {
  uint32_t Cts = 0;
  uint32_t Dsr = 0;
  uint32_t Rng = 0;  // counted on the trailing edge of a ring, when RI has dropped again
  uint32_t Dcd = 0;
  uint32_t Frame = 0;
  uint32_t Overrun = 0;
  uint32_t Parity = 0;
  uint32_t Brk = 0;
  uint32_t BufOverrun = 0;
};

// EV_CTS, EV_DSR, EV_RLSD and EV_RING for the lines whose counters moved.
uint32_t ModemEventsFromCounters(const TLineCounters& Before, const TLineCounters& After);

// The same from two snapshots of the lines (MS_CTS_ON_, MS_DSR_ON_, MS_RING_ON_, MS_RLSD_ON_).
// A ring counts when RI drops, as UARTs and the kernel count it; a pulse between the two
// snapshots is invisible here.
uint32_t ModemEventsFromLines(uint32_t Before, uint32_t After);

}  // namespace comfind
