// Which events a change of the modem lines makes: from the driver's counters (a ring is a pulse
// that only the counters see) and, where a driver has none, from two snapshots of the lines.
#include <gtest/gtest.h>

#include "port/os/ComOS.h"
#include "port/os/LineEvents.h"

namespace comfind {

namespace {

TEST(LineEvents, TheCountersTellEveryLineThatMovedPulsesIncluded) {
  struct TCase {
    const char* What;
    TLineCounters After;  // from all zero
    uint32_t Events;
  };
  auto With = [](uint32_t Cts, uint32_t Dsr, uint32_t Rng, uint32_t Dcd) {
    TLineCounters C;
    C.Cts = Cts;
    C.Dsr = Dsr;
    C.Rng = Rng;
    C.Dcd = Dcd;
    return C;
  };
  const TCase Cases[] = {
      {"nothing", With(0, 0, 0, 0), 0},
      {"a ring: RI up and down again before anyone looked", With(0, 0, 1, 0), EV_RING_},
      {"CTS up", With(1, 0, 0, 0), EV_CTS_},
      {"a CTS pulse: the line reads as before", With(2, 0, 0, 0), EV_CTS_},
      {"DSR and DCD", With(0, 1, 0, 1), EV_DSR_ | EV_RLSD_},
  };
  for (const auto& C : Cases)
    EXPECT_EQ(ModemEventsFromCounters(TLineCounters{}, C.After), C.Events) << C.What;
  TLineCounters Errors;
  Errors.Frame = Errors.Overrun = Errors.Parity = Errors.Brk = 5;
  EXPECT_EQ(ModemEventsFromCounters(TLineCounters{}, Errors), 0u) << "line errors are no lines";
}

TEST(LineEvents, SnapshotsTellTheLinesThatDifferAndARingWhenRIDrops) {
  EXPECT_EQ(ModemEventsFromLines(0, MS_CTS_ON_ | MS_RLSD_ON_), uint32_t{EV_CTS_ | EV_RLSD_});
  EXPECT_EQ(ModemEventsFromLines(MS_DSR_ON_, 0), uint32_t{EV_DSR_});
  EXPECT_EQ(ModemEventsFromLines(0, MS_RING_ON_), 0u) << "RI rising is not yet a ring";
  EXPECT_EQ(ModemEventsFromLines(MS_RING_ON_, 0), uint32_t{EV_RING_});
  EXPECT_EQ(ModemEventsFromLines(MS_CTS_ON_, MS_CTS_ON_), 0u);
}

}  // namespace

}  // namespace comfind
