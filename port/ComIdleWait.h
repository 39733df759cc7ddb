// The main loop's idle sleep in the serial layer's own wait.
//
// An event thread that waits for its port's device and then wakes the main thread puts two
// threads and two hand-offs between the device and every handler. When the main loop has
// nothing else to do it can wait for the device itself: this is the sleep it then takes, in the
// operating-system layer's WaitForMultipleObjects on its own wake-up event and on the comm-wait
// records that event threads lend it. A record that completes is served on the main thread at
// once: its events are delivered there in the port's order, as the hidden window or the
// synchronised call would have delivered them, and the wait is issued again.
//
// The event thread keeps the wait as its own: it made the record, gets it back whenever the
// loop cannot serve it (another event loop drives the main thread, the device refuses the
// next wait) and ends it at the close. While lent, the thread sleeps and costs nothing.
//
// Threads: everything but Wake runs on the main thread.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <vector>

#include "framework/MainLoop.h"
#include "port/os/ComOS.h"

namespace comfind {

class TComThread;

class TComIdleWait final : public TIdleWait, public std::enable_shared_from_this<TComIdleWait> {
 public:
  // The idle wait for the ports of OS, installed in the main loop; null when the loop cannot
  // take it (another layer's is installed). The platform's layer has one from its first use
  // on; another layer (the simulated device) only while one made by Attach exists.
  static std::shared_ptr<TComIdleWait> For(TComOS& OS);
  // Makes the ports of OS served by the loop for as long as the result is held (tests on
  // the simulated device); the last hold must end on the main thread. Null when the loop has
  // another idle wait.
  static std::shared_ptr<TComIdleWait> Attach(TComOS& OS);

  explicit TComIdleWait(TComOS& OS);
  ~TComIdleWait() override;
  TComIdleWait(const TComIdleWait&) = delete;
  TComIdleWait& operator=(const TComIdleWait&) = delete;

  // Whether a wait lent now would be served: the loop is its own and the list has room.
  bool CanServe() const;
  // Serves Thread's armed comm wait from now on. False when it cannot (CanServe).
  bool Lend(TComThread& Thread);
  // Thread's wait is no longer served; nothing when it is not. Also from inside its delivery.
  void Reclaim(TComThread& Thread);

  // TIdleWait
  bool Sleep(std::chrono::steady_clock::time_point Until, bool UseUntil) override;
  void Wake() override;
  void Handover(bool External) override;

 private:
  friend class TComThread;
  struct TEntry {
    TComThread* Thread = nullptr;
    // Reclaimed: the thread (and its port) may be gone; a delivery under way must not touch it.
    bool Gone = false;
    // Its delivery is running and its wait is not armed again yet: a loop run inside one of
    // its handlers serves the other ports, not this one (its handlers never nest).
    bool Busy = false;
  };
  using PEntry = std::shared_ptr<TEntry>;

  bool Install();
  // The wake-up event exists while waits are lent: a loop with none sleeps on its own, and a
  // closed port leaves no descriptor behind.
  bool OpenWakeEvent();
  void CloseWakeEvent();
  void Serve(const PEntry& Entry);
  // Takes the failing waits out after a wait that failed as a whole: each is handed back to
  // its thread, whose own wait then ends on the failure.
  void DropFailing();
  void HandBackAll();
  // Main thread: out of the loop for good; the lent waits go back to their threads.
  void Uninstall();

  TComOS& FOS;
  // Guards the wake-up event against Wake on other threads while it is made or closed.
  std::mutex FWakeLock;
  THandle FWakeEvent = 0;
  // Wake sets the event only while Sleep is in the system's wait, so that the wake-ups of a
  // busy loop cost no system call.
  std::atomic<bool> FPolling{false};
  std::atomic<bool> FWoken{false};
  // Main thread only.
  std::vector<PEntry> FEntries;
  bool FInstalled = false;
  bool FExternal = false;
};

}  // namespace comfind
