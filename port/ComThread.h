// The event thread of an open port.
//
// Threads: created and destroyed by the port on the thread that owns it (the main thread),
// which also starts and ends each open's wait (Begin, End); its body runs on its own thread and
// only waits and hands events over.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "framework/MainLoop.h"
#include "port/ComIdleWait.h"
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

// The event thread of a port: waits for the events of the port's Events set and the stop
// event, and has the port do each event's work by its SyncMethod. The body never raises: a
// failed wait, a device that keeps failing or an exception from a delivery ends the wait (the
// port then hears nothing until it is reopened).
//
// Each open of the port is a session of the thread (Begin to End). Where the main loop can
// wait for the device itself (smWindowSync and smThreadSync on the framework's own loop), the
// thread lends its wait to the loop's idle wait (ComIdleWait.h) and sleeps: the device then
// wakes the main thread directly and the events are delivered there in the same order. It
// takes the wait back whenever the loop cannot serve it. Between sessions the thread sleeps
// too, so that the next open of the same port costs no new thread; one left without a session
// for kParkMs ends by itself.
class TComThread : public TThread {
 public:
  // Starts the thread, asleep until the port's open gives it a session.
  explicit TComThread(TCustomComPort* AComPort);
  // Ends a session left under way and the thread, and waits for it (serving deliveries in
  // flight when called on the main thread).
  ~TComThread() override;
  std::string ClassName() const override { return "TComThread"; }

  // How long a thread without a session waits for the next open before it ends.
  static constexpr uint32_t kParkMs = 2000;

 protected:
  void Execute() override;

 private:
  friend class TCustomComPort;
  friend class TComIdleWait;
  friend struct TComPortTestAccess;

  // --- the port's side, on the thread that owns it
  // Takes the thread for a new session; false when it has ended for want of one.
  bool Adopt();
  // The open's part: creates the stop event, sets the device's event mask, makes the wait's
  // record and has the wait served, by the main loop where it can, by this thread otherwise.
  void Begin();
  // The close's part: ends the wait (clears the mask, purges, frees the record once its wait
  // has ended) and closes the stop event; the thread sleeps on, for the next open. False,
  // with nothing done, when the calling thread cannot wait for this one (a close from inside
  // its own delivery): the port then lets it go with Detach.
  bool End();
  // Stops a thread whose session End could not end: it ends as soon as its delivery returns,
  // without touching the device again.
  void Detach();
  // Ends a thread without a session (the port is going away).
  void Quit();
  // Closes the stop event and frees the wait's record when its wait has ended, once no session
  // can use them any more (the thread has ended, or ends for want of a session).
  void ReleaseEvents();
  // The record alone, when its wait has ended.
  void ReleaseRecord();

  // --- the idle wait's side (main thread), while the wait is lent
  THandle LentEvent() const;
  // The lent wait has completed: delivers its events here and arms it again.
  void ServeLent(TComIdleWait::TEntry& Entry);
  // The loop cannot serve the wait any more: this thread waits for it again.
  void HandBack();
  // The lent wait failed for good: it ends as the thread's own loop would end.
  void EndLentWait();

  // --- this thread's side
  // The wait loop of one session and its clean-up; true when the close stopped it.
  // Ready: the wait is issued and given over (the thread is not busy): the first pass goes
  // straight into it.
  bool RunLoop(uint64_t Session, bool Ready);
  bool WaitLoop(uint64_t Session, bool Ready);
  // Before the thread sleeps in its wait: the wait and the device are the close's from now on
  // (false when a stop is already asked for). After it: takes them back; false when the
  // session has been stopped meanwhile.
  bool LetGo();
  bool TakeUp(uint64_t Session);
  void DispatchEvents();
  void SendEventMessages();
  void DeliverEvents();

  // Issues the comm wait; false when the device refuses it at once.
  bool Arm();
  // The end of a wait loop: clears the mask (ending a wait still pending), purges the driver's
  // buffers and frees the record once its wait is known to have ended.
  void FinishWait();
  void RequestStop();
  void RequestRun();
  // The close's wait for the thread to leave its wait loop (the record must not go to the port
  // while the thread may still wait on its event).
  void WaitForLoopEnd();
  // Whether the calling thread may wait for this thread's end: not when it is this thread,
  // nor when it is the main thread running this thread's synchronised delivery.
  bool CanWaitHere() const;

  TCustomComPort* FComPort;
  TComOS* FOS;

  // The session: set by Begin on the port's thread, used by this thread only while it is busy
  // (FBusy, taken and given back under FLock), and by the main thread otherwise.
  // The device handle is taken once: a detached thread must never look at the port again.
  THandle FHandle = INVALID_HANDLE_VALUE_;
  THandle FStopEvent = 0;  // the thread's, for all its sessions
  TComEvents FEvents;
  // The comm wait, kept from one session to the next; one whose end could not be seen goes to
  // the port, which frees it once the device is closed.
  std::unique_ptr<TComWaitRecord> FWait;
  // A wait request is issued and its result not yet taken.
  bool FArmed = false;
  int FEmptyPasses = 0;
  // FinishWait has run for this session.
  bool FWaitFinished = false;
  // The main loop's idle wait that serves the wait (main thread only).
  std::shared_ptr<TComIdleWait> FServer;

  std::atomic<bool> FStopRequested{false};
  // Set when the port closed from inside this thread's own delivery and could not wait: the
  // device is closed under it, so its clean-up leaves the device alone.
  std::atomic<bool> FDetached{false};
  // Main thread only: true while DeliverEvents runs there for this thread (smThreadSync).
  bool FSyncDelivering = false;

  // What the port asks of the sleeping thread.
  std::mutex FLock;
  std::condition_variable FChanged;
  bool FSessionLive = false;               // between Adopt and End
  std::atomic<bool> FRunRequested{false};  // the wait is this thread's: run the loop
  std::atomic<bool> FRunning{false};       // inside the wait loop
  // Inside the wait loop and not asleep in its wait: arming it, delivering, or ending it. The
  // close waits for such a thread; one asleep in its wait only hears the stop.
  std::atomic<bool> FBusy{false};
  bool FCloserWaits = false;  // the close waits for FBusy or FRunning to clear
  uint64_t FSession = 0;      // counts the sessions (Begin)
  bool FQuit = false;
  bool FExited = false;  // ended for want of a session
};

// The event message of window synchronisation: WM_USER_ + 1, wParam = one event's mask value.
constexpr uint32_t CM_COMPORT = WM_USER_ + 1;

// An event set as the EV_ bits of the comm mask, and back (bits outside the ten events are
// dropped).
uint32_t EventsToMask(TComEvents Events);
TComEvents MaskToEvents(uint32_t Mask);

}  // namespace comfind
