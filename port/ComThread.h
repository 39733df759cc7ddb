// The event thread of an open port.
//
// Threads: created, started and destroyed by the port on the thread that owns it (the main
// thread); its body runs on its own thread and only waits and hands events over.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "framework/MainLoop.h"
#include "port/ComSettings.h"
#include "port/os/ComOS.h"

namespace comfind {

class TCustomComPort;

// The record and mask of the event thread's comm wait. The system writes them when the wait
// ends, and a cancelled wait may end after the thread does (Win32 completes it on its own
// time, and not at all while SetCommMask fails), so they live on the heap, apart from the
// thread's stack, until the wait is known to have ended.
struct TComWaitRecord {
  TOverlapped Overlapped;
  uint32_t Mask = 0;
};

// The event thread of an open port: waits in the kernel for the events of the port's Events
// set and the stop event, and has the port do each event's work by its SyncMethod.
// The body never raises: a failed wait, a device that keeps failing or an exception from a
// delivery ends the loop (the port then hears nothing until it is reopened).
class TComThread : public TThread {
 public:
  // Creates the stop event, sets the device's event mask and starts the thread.
  explicit TComThread(TCustomComPort* AComPort);
  // Sets the stop event and waits for the body to end (serving deliveries in flight when
  // called on the main thread).
  ~TComThread() override;
  std::string ClassName() const override { return "TComThread"; }

 protected:
  void Execute() override;

 private:
  friend class TCustomComPort;
  void DispatchEvents();
  void SendEventMessages();
  void DeliverEvents();
  void RunLoop();
  void RequestStop();
  // Whether the calling thread may wait for this thread's end: not when it is this thread,
  // nor when it is the main thread running this thread's synchronised delivery.
  bool CanWaitHere() const;

  TCustomComPort* FComPort;
  THandle FStopEvent;
  TComEvents FEvents;
  TComOS* FOS;
  // The device handle, taken once: a detached thread must never look at the port again.
  THandle FHandle;
  std::atomic<bool> FStopRequested{false};
  // Set when the port closed from inside this thread's own delivery and could not wait: the
  // device is closed under it, so its clean-up leaves the device alone.
  std::atomic<bool> FDetached{false};
  // Main thread only: true while DeliverEvents runs there for this thread (smThreadSync).
  bool FSyncDelivering = false;
  // The comm wait; left set by the body only when its end could not be seen, and then handed
  // to the port, which frees it once the device is closed.
  std::unique_ptr<TComWaitRecord> FWait;
};

// The event message of window synchronisation: WM_USER_ + 1, wParam = one event's mask value.
constexpr uint32_t CM_COMPORT = WM_USER_ + 1;

// An event set as the EV_ bits of the comm mask, and back (bits outside the ten events are
// dropped).
uint32_t EventsToMask(TComEvents Events);
TComEvents MaskToEvents(uint32_t Mask);

}  // namespace comfind
