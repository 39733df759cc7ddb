// What the tests look at inside a port: state that callers of the library have no business
// with, reached through the port's one friend for tests.
#pragma once

#include "port/CPort.h"
#include "port/ComThread.h"

namespace comfind {

struct TComPortTestAccess {
  static bool ThreadCreated(const TCustomComPort& P) { return P.FThreadCreated; }
  static bool HasRxBufLink(const TCustomComPort& P) { return P.FHasRxBufLink; }
  static TMessageWindow* NotifyWindow(const TCustomComPort& P) { return P.FNotifyWindow.get(); }
  static int LinkCount(const TCustomComPort& P) { return static_cast<int>(P.FLinks.size()); }
  static int32_t UpdateCount(const TCustomComPort& P) { return P.FUpdateCount; }
  static TDCB BuildDCB(const TCustomComPort& P) { return P.BuildDCB(); }
  // The event thread runs the open's wait itself and sleeps in it (neither arming it nor
  // delivering).
  static bool ThreadAsleepInWait(const TCustomComPort& P) {
    return P.FEventThread && P.FEventThread->FRunning && !P.FEventThread->FBusy;
  }
};

}  // namespace comfind
