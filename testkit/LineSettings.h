// The line settings the application's port asks of its device, as the device control block:
// 19200 baud, 8 data bits, no parity, one stop bit, DTR on, RTS off, no flow control. What a
// far end checks a device against, and what tests of the operating-system layer apply.
#pragma once

#include "port/os/ComOS.h"

namespace comfind {

TDCB ApplicationDCB();

}  // namespace comfind
