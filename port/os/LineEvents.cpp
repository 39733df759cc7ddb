#include "port/os/LineEvents.h"

#include "port/os/ComOS.h"

namespace comfind {

uint32_t ModemEventsFromCounters(const TLineCounters& Before, const TLineCounters& After) {
  uint32_t Events = 0;
  if (After.Cts != Before.Cts) Events |= EV_CTS_;
  if (After.Dsr != Before.Dsr) Events |= EV_DSR_;
  if (After.Dcd != Before.Dcd) Events |= EV_RLSD_;
  if (After.Rng != Before.Rng) Events |= EV_RING_;
  return Events;
}

uint32_t ModemEventsFromLines(uint32_t Before, uint32_t After) {
  const uint32_t Changed = Before ^ After;
  uint32_t Events = 0;
  if (Changed & MS_CTS_ON_) Events |= EV_CTS_;
  if (Changed & MS_DSR_ON_) Events |= EV_DSR_;
  if (Changed & MS_RLSD_ON_) Events |= EV_RLSD_;
  if ((Changed & MS_RING_ON_) && !(After & MS_RING_ON_)) Events |= EV_RING_;
  return Events;
}

}  // namespace comfind
