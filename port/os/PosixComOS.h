// TPosixComOS: the operating-system layer on Linux: termios, poll and eventfd. This header is
// the layer's inside, shared by its files, one per job:
//   ComOS.posix.cpp        opening, configuring and closing a device, reads and writes;
//   PosixWaits.posix.cpp   event objects, the comm-event wait and the waits on handles;
//   PosixDevice.posix.cpp  the state of an open device: received bytes, line errors, the
//                          output queue, a device that vanishes, and the transfer thread;
//   ModemWatcher.linux.cpp the modem-line watcher;
//   KernelSerial.linux.cpp the kernel's serial records (the only file that includes them).
// The rules of the comm-event wait, of event objects and of transfers are the pure cores
// (ComEventCore.h, EventTable.h, TransferQueue.h) that the simulated device runs too.
//
// Handles are the layer's own numbers, not descriptors, so a closed handle can never alias a
// descriptor the process reuses. All state sits behind one lock (FLock). Nothing blocks while
// holding it, and no descriptor is closed under it: a device's close may wait on its driver.
//
// Overlapped records: Record.Internal holds kRecordPending while an operation runs, then 0 or
// the errno of the failure; Record.InternalHigh the count.
//
// Closing a handle neither stalls the layer nor waits for a line that does not move: the
// descriptor closes outside the lock, output still queued gets the time it needs at the set
// rate only while it drains, and what remains is discarded first, so the tty's own closing
// wait (up to 30 s behind a CTS held low) has nothing to wait for. The line settings the
// device had before the open are put back. PurgeComm's PURGE_TXABORT_ and PURGE_TXCLEAR_
// discard what the kernel still holds to send: on Windows those bytes would still belong to
// pending writes.
//
// Reads and writes that can end at once end inside ReadFile and WriteFile, in the caller, as
// Win32 allows. The others stay pending (ERROR_IO_PENDING_) and one transfer thread for the
// whole layer drives them: it sleeps in poll on the devices with pending transfers and on an
// eventfd that wakes it, ends transfers at their deadlines, and re-checks an output queue that
// has not drained yet (EV_TXEMPTY). It starts when something is pending and ends when nothing
// is any more.
// PurgeComm and CloseHandle end pending transfers with ECANCELED.
//
// WaitCommEvent stays pending until an event; whoever waits on its record's event
// (WaitForMultipleObjects, WaitForSingleObject, GetOverlappedResult with Wait) sleeps in poll
// on the device and the events, so a received byte wakes the event thread without a hand-off
// between threads.
//
// Received bytes are drained from the kernel into a bounded buffer per handle, which ReadFile
// and ClearCommError's cbInQue see. That is how "new bytes arrived" becomes an edge, as
// EV_RXCHAR is on Windows: old bytes sitting unread in the buffer raise nothing, and a
// level-triggered poll never spins on them. A full buffer stops the draining (the device is
// then polled for hang-ups only) until the application reads. The buffer holds at least
// kMinDrainRoom whatever the SetupComm input size: each drained block costs the application a
// wake and a hand-off between its threads, and at 1 KiB per block that hand-off, not the line,
// limited what a port could receive. cbInQue can therefore exceed the input size, as it can
// on Windows, whose drivers treat that size as a recommendation.
//
// Events, as far as POSIX reports them; each only when it is in the mask, and remembered until
// the next WaitCommEvent when no wait is pending, as the Windows driver does:
//   EV_RXCHAR    new bytes drained from the kernel (see above).
//   EV_RXFLAG    the DCB's event character among the new bytes.
//   EV_RX80FULL  the buffer crossing 80% of the input size.
//   EV_TXEMPTY   emulated: no write is pending and the kernel's output queue (TIOCOUTQ) is
//                empty. While it is not yet empty the transfer thread re-checks after the time
//                the queue needs at the set rate (bounded between 2 and 100 ms): a timed
//                sleep, no spin. The queue is looked at only while the mask asks for the event
//                (output written before the mask did raises it only if it has not left yet),
//                and never on a pseudo-terminal, which has none.
//   EV_ERR,      from the driver's line counters (TIOCGICOUNT: frame, parity, overrun, break),
//   EV_BREAK     compared whenever bytes are drained or ClearCommError runs; a break also
//                delivers a NUL byte, which wakes the drain. Drivers without the counters
//                (pseudo-terminals) report none.
//   EV_CTS, EV_DSR, EV_RLSD, EV_RING   a watcher thread per handle sleeps in the kernel's
//                TIOCMIWAIT while the mask asks for them; drivers without it (pseudo-terminals)
//                report none.
//   EV_PERR and the rest: never.
// A device that vanishes (hang-up, POLLERR, EIO: a USB adapter pulled out, the master of a
// pseudo-terminal closed) fails its pending wait; a wait on that record's event then returns
// WAIT_FAILED_ with the errno (EIO), and every later call on the handle except CloseHandle
// fails, so no thread spins on a dead device.
#pragma once

#include <pthread.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "port/os/ComEventCore.h"
#include "port/os/ComOS.h"
#include "port/os/EventTable.h"
#include "port/os/KernelSerial.h"
#include "port/os/TransferQueue.h"

namespace comfind {

namespace posix {

using TClock = std::chrono::steady_clock;
using TLock = std::unique_lock<std::mutex>;

constexpr uint32_t kDefaultInputSize = 4096;
constexpr uint32_t kMaxInputSize = 16u << 20;
constexpr uint32_t kMinDrainRoom = 64u << 10;
// A terminal's line discipline holds at most this much (Linux's n_tty: 4 KiB less one byte)
// while a flood waits behind it in the tty's own buffers. A read that returns less found it not
// full, and so found the kernel empty; one that returns this much or more (the tty's buffers
// move bytes in while the read copies) may have more behind it.
constexpr size_t kLineDisciplineRoom = 4095;
// What one drain takes at most from a device that keeps delivering, and what one read asks for:
// the layer's lock is held throughout, and other ports' calls wait for it. The rest stays
// counted in the kernel.
constexpr size_t kDrainPerPass = 64u << 10;

// Milliseconds left until a deadline for poll: -1 for none, 0 when it has passed.
int PollTimeout(TClock::time_point Until);

// ioctls that a driver lacks fail with one of these; for the optional ones (modem lines,
// counters) that means "not there", not an error.
bool Unsupported(int Error);

// The eventfd behind an event object. Shared by the waiters that poll it, so that it closes
// with the last of them, outside the layer's lock.
//
// The event's state lives in the event table; the descriptor only has to tell a thread asleep
// in poll that the event was set. So it is made when a thread first polls the event, written
// only when the event is set while a thread polls it, and read empty only before the next
// poll: most events (a transfer's, a stop event that is never needed) never cost a system call
// beyond their state changes in memory. The fields are the layer's, under its lock.
struct TEventFd {
  int Fd = -1;
  bool FdSet = false;  // the descriptor is readable
  int Pollers = 0;     // threads in poll on it now
  // Makes the descriptor on first use; false (errno set) when the system has none to give.
  bool Open();
  // A thread is about to poll it: the descriptor must be readable exactly when the event is
  // set from now on (it is not set now, or the wait would not poll).
  void BeforePoll();
  // The event was set: a thread in poll must wake.
  void Signal();
  TEventFd() = default;
  ~TEventFd();
  TEventFd(const TEventFd&) = delete;
  TEventFd& operator=(const TEventFd&) = delete;
};

struct TDeviceObject {
  int Fd = -1;
  bool Exclusive = false;  // we set the tty's exclusive flag (and must clear it)
  TSavedLine Saved;        // the settings it had before the open, put back at the close
  bool Closed = false;
  std::string Buffer;
  uint32_t InSize = kDefaultInputSize;
  // How many bytes the buffer may hold before the draining stops.
  size_t Room() const { return std::max<size_t>(InSize, kMinDrainRoom); }
  TCommTimeouts Timeouts{};
  TComEventCore Events{EINVAL, ECANCELED};
  TTransferQueue Transfers{ECANCELED};
  bool DiscardNull = false;
  char EvtChar = 0;
  uint32_t Rate = 9600;
  // Bytes went to the kernel and have not been seen to leave it yet (EV_TXEMPTY not raised for
  // them). While the mask has no EV_TXEMPTY nobody looks after a write: that costs an ioctl.
  bool TxPending = false;
  // A pseudo-terminal: its output never waits in the kernel, and it has no modem lines and no
  // line counters, so the calls that ask for them would only fail.
  bool PseudoTerminal = false;
  // The kernel's output queue was flushed and nothing has been written since: another flush
  // (the purges and the close make up to three in a row) has nothing to discard.
  bool OutputFlushed = false;
  // The settings last set on the line (the device is ours alone while open): SetCommState
  // builds on them instead of reading them back.
  TLineRecord Line;
  // The last drain came with a wake-up of a wait, and no count has been taken since: the next
  // ClearCommError may count without draining again.
  bool CountFresh = false;
  // Line counters (TIOCGICOUNT), when the driver has them: the error counters as the line
  // errors were last looked at, the line counters as the modem watcher last saw them.
  bool HasCounters = false;
  TLineCounters Counters{};
  TLineCounters ModemCounters{};
  // Modem-line watcher.
  std::thread Watcher;
  pthread_t WatcherThread{};
  bool WatcherRunning = false;
  bool WatcherStop = false;
  bool NoModemWait = false;  // the driver has no TIOCMIWAIT
  int ModemLines = 0;
  // Threads in poll on Fd: the descriptor closes only once they are out.
  int Pollers = 0;

  bool Usable() const { return !Closed && !Events.Vanished(); }
};
using PDevice = std::shared_ptr<TDeviceObject>;

class TPosixComOS final : public TComOS {
 public:
  TPosixComOS();

  THandle CreateFileA(const std::string& FileName, uint32_t DesiredAccess, uint32_t ShareMode,
                      uint32_t CreationDisposition, uint32_t FlagsAndAttributes) override;
  bool CloseHandle(THandle Handle) override;
  bool SetupComm(THandle Handle, uint32_t InQueue, uint32_t OutQueue) override;
  bool SetCommState(THandle Handle, const TDCB& DCB) override;
  bool SetCommTimeouts(THandle Handle, const TCommTimeouts& Timeouts) override;
  bool SetCommMask(THandle Handle, uint32_t EvtMask) override;
  bool WaitCommEvent(THandle Handle, uint32_t* EvtMask, TOverlapped* Overlapped) override;
  bool ReadFile(THandle Handle, void* Buffer, uint32_t Count, uint32_t* Read,
                TOverlapped* Overlapped) override;
  bool WriteFile(THandle Handle, const void* Buffer, uint32_t Count, uint32_t* Written,
                 TOverlapped* Overlapped) override;
  bool GetOverlappedResult(THandle Handle, TOverlapped* Overlapped, uint32_t* Transferred,
                           bool Wait) override;
  bool HasOverlappedIoCompleted_(const TOverlapped* Overlapped) override;
  bool PurgeComm(THandle Handle, uint32_t Flags) override;
  bool ClearCommError(THandle Handle, uint32_t* Errors, TComStat* Stat) override;
  bool GetCommModemStatus(THandle Handle, uint32_t* ModemStat) override;
  THandle CreateEventA(bool ManualReset, bool InitialState) override;
  bool SetEvent(THandle Event) override;
  bool ResetEvent(THandle Event) override;
  uint32_t WaitForMultipleObjects(uint32_t Count, const THandle* Handles,
                                  uint32_t Milliseconds) override;
  uint32_t WaitForSingleObject(THandle Handle, uint32_t Milliseconds) override;
  void Sleep(uint32_t Milliseconds) override;
  uint32_t GetLastError() override;
  void SetLastError(uint32_t Error) override;

  // Around fork(): the lock is held across it, so that the child's copy is not left locked by
  // a thread the child does not have; the child then forgets the transfer thread.
  void LockForFork();
  void UnlockAfterFork(bool Child);

 private:
  static bool Fail(int Error);
  PDevice Device(THandle Handle) const;
  THandle NewHandle() {
    const THandle H = FNextHandle;
    FNextHandle += 4;
    return H;
  }
  // Runs an operation that takes a record on a private one and waits for it: the forms of
  // ReadFile, WriteFile and WaitCommEvent called without a record.
  bool Blocking(THandle Handle, uint32_t* Count, const std::function<bool(TOverlapped*)>& Start);
  // Ends a device's close outside the lock, once nothing uses its descriptor any more: what is
  // still queued gets its time while it moves, the rest is discarded, the settings from before
  // the open are put back, then the descriptor closes.
  void CloseDescriptor(TDeviceObject& D);
  // The part of it that leaves the descriptor open: the device handed back as it was found.
  void HandBackDevice(TDeviceObject& D);

  // All of these run with FLock held.
  // The start both transfers share: the device, its record started and its event reset; null
  // when the call fails (a record refused by a vanished device is completed with its error).
  PDevice StartTransfer(THandle Handle, const void* Buffer, uint32_t Count, TOverlapped& Record);
  void Complete(const TComCompletion& Done);
  void Complete(const std::vector<TComCompletion>& Done);
  void Raise(TDeviceObject& D, uint32_t Events);
  void MarkVanished(TDeviceObject& D, int Error);
  // Moves what the kernel holds into the buffer and hands it to pending reads; true when it
  // stopped before it saw the kernel empty (the buffer full, kDrainPerPass or about Want bytes
  // taken), so the kernel may still hold bytes.
  bool Drain(TDeviceObject& D, size_t Want = kDrainPerPass);
  // What a wake-up of a poll on the device takes: one read. The device stays readable while
  // the kernel holds more, so the next poll returns at once; meanwhile the tty moves the next
  // bytes in while the caller works on these. Reading on at once would instead wait in the
  // kernel for each refill of the line discipline.
  void DrainOnce(TDeviceObject& D) { Drain(D, 1); }
  void CheckCounters(TDeviceObject& D);
  void CheckTxEmpty(TDeviceObject& D);
  // What the kernel holds to send (0 when it cannot tell).
  int OutputQueued(TDeviceObject& D);
  // Output written while the mask had no EV_TXEMPTY: if it has left already, it left before the
  // event was asked for and raises nothing; if not, the event comes when it does.
  void ForgetDrainedOutput(TDeviceObject& D);
  int TxRecheckMs(TDeviceObject& D);
  // Hands bytes of pending writes to the kernel as far as it takes them.
  void PumpWrites(TDeviceObject& D);
  // Raises EV_TXEMPTY when the output has drained, or has the transfer thread look again later.
  void WatchTxEmpty(TDeviceObject& D);
  // The sink of a device's writes: the kernel, without blocking. Refused records the refusal.
  int64_t Send(TDeviceObject& D, const char* Bytes, size_t Count, uint32_t& Error, bool& Refused);
  // Wakes the transfer thread (starting it the first time), so it looks at the devices again.
  void KickTransfers();
  void TransferLoop();
  void PollerDone(TDeviceObject& D);
  // The modem-line watcher (ModemWatcher.linux.cpp).
  void StartWatcher(const PDevice& D);
  void StopWatcher(TLock& L, TDeviceObject& D);
  void WatchModemLines(PDevice D);

  mutable std::mutex FLock;
  // Signalled when a device's pollers or watcher are gone.
  std::condition_variable FDeviceQuiet;
  THandle FNextHandle = 0x100;
  std::map<THandle, PDevice> FDevices;
  TEventTable FEvents;
  std::map<THandle, std::shared_ptr<TEventFd>> FEventFds;
  bool FTransfersStarted = false;
  int FWakeFd = -1;
  // The drains' reads land here (kDrainPerPass bytes, made at the first drain).
  std::unique_ptr<char[]> FDrainBlock;
};

}  // namespace posix

}  // namespace comfind
