// TPosixComOS: the operating-system layer on POSIX systems (Linux): termios, poll and eventfd.
//
// Handles are the layer's own numbers, not descriptors, so a closed handle can never alias a
// descriptor the process reuses. Every object sits behind one lock; nothing blocks while
// holding it: blocking happens in poll, outside the lock, on the device and on eventfds.
//
// Overlapped records: reads and writes run in the calling thread until the timeouts end them,
// then complete synchronously (return true, store the count in the record, signal its event),
// which Win32 allows. WaitCommEvent is the one operation that stays pending; it is driven by
// whoever waits on its record's event (WaitForMultipleObjects, WaitForSingleObject,
// GetOverlappedResult with Wait): that thread sleeps in poll on the device and the events.
// Record.Internal holds 0x103 while pending, then 0 or the errno of the failure;
// Record.InternalHigh the count.
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
//   EV_TXEMPTY   emulated: a write has handed its last byte to the kernel and the kernel's
//                output queue (TIOCOUTQ) is empty. When it is not yet empty, a pending wait
//                that asks for EV_TXEMPTY re-checks after the time the queue needs at the set
//                rate (bounded between 2 and 100 ms): a timed sleep, no spin.
//   EV_ERR,      from the driver's line counters (TIOCGICOUNT: frame, parity, overrun, buffer
//   EV_BREAK     overrun, break), compared whenever bytes are drained or ClearCommError runs;
//                a break also delivers a NUL byte, which wakes the drain. Drivers without the
//                counters (pseudo-terminals) report none.
//   EV_CTS, EV_DSR, EV_RLSD, EV_RING   a watcher thread per handle sleeps in the kernel's
//                TIOCMIWAIT while the mask asks for them; drivers without it (pseudo-terminals)
//                report none.
//   EV_PERR and the rest: never.
// A device that vanishes (hang-up, POLLERR, EIO: a USB adapter pulled out, the master of a
// pseudo-terminal closed) fails its pending wait; a wait on that record's event then returns
// WAIT_FAILED_ with the errno (EIO), and every later call on the handle except CloseHandle
// fails, so no thread spins on a dead device.
#include "port/os/ComOS.h"
#include "port/os/TermiosMap.h"
#include "port/os/TransferQueue.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace comfind {

namespace {

using TClock = std::chrono::steady_clock;
// "No deadline".
constexpr TClock::time_point kNever = TClock::time_point::max();

// A deadline Ms after Start, saturating (a Win32 total can reach 2^64 ms).
TClock::time_point After(TClock::time_point Start, uint64_t Ms) {
  const auto Room = std::chrono::duration_cast<std::chrono::milliseconds>(kNever - Start).count();
  if (Ms >= static_cast<uint64_t>(Room)) return kNever;
  return Start + std::chrono::milliseconds(Ms);
}

// Milliseconds left until a deadline for poll: -1 for none, 0 when it has passed.
int PollTimeout(TClock::time_point Until) {
  if (Until == kNever) return -1;
  const auto Left = std::chrono::ceil<std::chrono::milliseconds>(Until - TClock::now()).count();
  return static_cast<int>(std::clamp<int64_t>(Left, 0, 1 << 30));
}

constexpr uintptr_t kPending = 0x103;
constexpr uint32_t kDefaultInputSize = 4096;
constexpr uint32_t kMaxInputSize = 16u << 20;
constexpr uint32_t kMinDrainRoom = 64u << 10;

thread_local uint32_t tLastError = 0;

constexpr tcflag_t kCBAUD = 0010017;
constexpr tcflag_t kBOTHER = 0010000;
constexpr int kIBSHIFT = 16;

// ioctls that a driver lacks fail with one of these; for the optional ones (modem lines,
// counters) that means "not there", not an error.
bool Unsupported(int Error) {
  return Error == ENOTTY || Error == EINVAL || Error == ENOSYS || Error == EOPNOTSUPP ||
         Error == 515 /* ENOIOCTLCMD leaking from some drivers */;
}

// The signal that interrupts a modem watcher blocked in TIOCMIWAIT, the only way to end that
// ioctl early. Its handler does nothing; it only makes the ioctl return EINTR.
int WatcherSignal() {
  return SIGRTMAX - 3;
}
void InstallWatcherSignal() {
  static std::once_flag Once;
  std::call_once(Once, [] {
    struct sigaction Action {};
    Action.sa_handler = [](int) {};
    sigemptyset(&Action.sa_mask);
    Action.sa_flags = 0;  // no SA_RESTART: the ioctl must return
    sigaction(WatcherSignal(), &Action, nullptr);
  });
}

struct TEventObject {
  int Fd = -1;
  bool ManualReset = false;
  bool Signalled = false;
  ~TEventObject() {
    if (Fd >= 0) ::close(Fd);
  }
};

// A read or write blocked in poll, so that PurgeComm and CloseHandle can end it.
struct TInFlight {
  bool IsRead = false;
  bool Aborted = false;
  int WakeFd = -1;
};

struct TDeviceObject {
  int Fd = -1;
  bool Exclusive = false;  // we set the tty's exclusive flag (and must clear it)
  bool Closed = false;
  bool Vanished = false;
  int VanishErrno = 0;
  std::string Buffer;
  uint32_t InSize = kDefaultInputSize;
  // How many bytes the buffer may hold before the draining stops (see the top of the file).
  size_t Room() const { return std::max(InSize, kMinDrainRoom); }
  TCommTimeouts Timeouts{};
  uint32_t Mask = 0;
  uint32_t History = 0;
  uint32_t ErrorWord = 0;
  bool DiscardNull = false;
  char EvtChar = 0;
  uint32_t Rate = 9600;
  bool TxPending = false;
  // The pending WaitCommEvent.
  bool Waiting = false;
  uint32_t* WaitMask = nullptr;
  TOverlapped* WaitRecord = nullptr;
  THandle FailedWaitEvent = 0;
  // Line counters (TIOCGICOUNT), when the driver has them.
  bool HasCounters = false;
  serial_icounter_struct Counters{};
  // Modem-line watcher.
  std::thread Watcher;
  bool WatcherRunning = false;
  bool WatcherStop = false;
  bool NoModemWait = false;  // the driver has no TIOCMIWAIT
  int ModemLines = 0;
  std::vector<TInFlight*> InFlight;

  ~TDeviceObject() {
    if (Fd >= 0) {
      // Exclusivity is a flag on the tty, not on our descriptor: clear it, or the next opener
      // (of a tty someone else still holds) would be refused.
      if (Exclusive) ::ioctl(Fd, TIOCNXCL);
      ::close(Fd);
    }
  }
};

class TPosixComOS final : public TComOS {
 public:
  ~TPosixComOS() override;

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
  uint32_t GetLastError() override { return tLastError; }
  void SetLastError(uint32_t Error) override { tLastError = Error; }

 private:
  using TLock = std::unique_lock<std::mutex>;

  static bool Fail(int Error) {
    tLastError = static_cast<uint32_t>(Error);
    return false;
  }
  std::shared_ptr<TDeviceObject> Device(THandle Handle) const;
  THandle NewHandle() {
    const THandle H = FNextHandle;
    FNextHandle += 4;
    return H;
  }

  // All of these run with FLock held.
  void Signal(THandle Event);
  void Reset(THandle Event);
  bool Consume(THandle Event);
  void Complete(TOverlapped* Record, int Error, uint32_t Count);
  void Raise(TDeviceObject& D, uint32_t Events);
  void MarkVanished(TDeviceObject& D, int Error);
  bool Drain(TDeviceObject& D);
  void CheckCounters(TDeviceObject& D);
  void CheckTxEmpty(TDeviceObject& D);
  void AbortInFlight(TDeviceObject& D, bool Reads, bool Writes);
  int TxRecheckMs(TDeviceObject& D);
  void StartWatcher(const std::shared_ptr<TDeviceObject>& D);
  void StopWatcher(TLock& L, TDeviceObject& D);
  void WatchModemLines(std::shared_ptr<TDeviceObject> D);

  // Sleeps in poll for a blocked read or write; false when aborted (errno in Error).
  enum class TWake { Ready, Timeout, Aborted, Vanished };
  TWake BlockOn(TLock& L, TDeviceObject& D, bool IsRead, short Events, TClock::time_point Until);

  mutable std::mutex FLock;
  THandle FNextHandle = 0x100;
  std::map<THandle, std::shared_ptr<TDeviceObject>> FDevices;
  std::map<THandle, std::shared_ptr<TEventObject>> FEvents;
};

TPosixComOS::~TPosixComOS() {
  TLock L(FLock);
  for (auto& [H, D] : FDevices)
    StopWatcher(L, *D);
}

std::shared_ptr<TDeviceObject> TPosixComOS::Device(THandle Handle) const {
  auto It = FDevices.find(Handle);
  return It == FDevices.end() ? nullptr : It->second;
}

// --- Events ---------------------------------------------------------------------------------

void TPosixComOS::Signal(THandle Event) {
  auto It = FEvents.find(Event);
  if (It == FEvents.end() || It->second->Signalled) return;
  It->second->Signalled = true;
  const uint64_t One = 1;
  [[maybe_unused]] ssize_t N = ::write(It->second->Fd, &One, sizeof One);
}

void TPosixComOS::Reset(THandle Event) {
  auto It = FEvents.find(Event);
  if (It == FEvents.end() || !It->second->Signalled) return;
  It->second->Signalled = false;
  uint64_t Value;
  [[maybe_unused]] ssize_t N = ::read(It->second->Fd, &Value, sizeof Value);
}

bool TPosixComOS::Consume(THandle Event) {
  auto It = FEvents.find(Event);
  if (It == FEvents.end() || !It->second->Signalled) return false;
  if (!It->second->ManualReset) Reset(Event);
  return true;
}

THandle TPosixComOS::CreateEventA(bool ManualReset, bool InitialState) {
  auto E = std::make_shared<TEventObject>();
  E->Fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (E->Fd < 0) return Fail(errno), THandle{0};
  E->ManualReset = ManualReset;
  TLock L(FLock);
  const THandle H = NewHandle();
  FEvents[H] = E;
  if (InitialState) Signal(H);
  return H;
}

bool TPosixComOS::SetEvent(THandle Event) {
  TLock L(FLock);
  if (!FEvents.count(Event)) return Fail(EBADF);
  Signal(Event);
  return true;
}

bool TPosixComOS::ResetEvent(THandle Event) {
  TLock L(FLock);
  if (!FEvents.count(Event)) return Fail(EBADF);
  Reset(Event);
  return true;
}

void TPosixComOS::Complete(TOverlapped* Record, int Error, uint32_t Count) {
  if (!Record) return;
  Record->Internal = static_cast<uintptr_t>(Error);
  Record->InternalHigh = Count;
  if (Record->hEvent) Signal(Record->hEvent);
}

// --- Device state (FLock held) ----------------------------------------------------------------

void TPosixComOS::Raise(TDeviceObject& D, uint32_t Events) {
  const uint32_t Hit = Events & D.Mask;
  if (!Hit) return;
  if (D.Waiting) {
    D.Waiting = false;
    *D.WaitMask = Hit | D.History;
    D.History = 0;
    TOverlapped* Record = D.WaitRecord;
    D.WaitRecord = nullptr;
    D.WaitMask = nullptr;
    Complete(Record, 0, 0);
  } else {
    D.History |= Hit;
  }
}

void TPosixComOS::MarkVanished(TDeviceObject& D, int Error) {
  if (D.Vanished) return;
  D.Vanished = true;
  D.VanishErrno = Error;
  if (D.Waiting) {
    // The record fails but its event stays unsignalled: the waiter learns of the loss from
    // its wait, which fails, instead of being woken into a loop that cannot succeed.
    D.Waiting = false;
    D.WaitRecord->Internal = static_cast<uintptr_t>(Error);
    D.FailedWaitEvent = D.WaitRecord->hEvent;
    D.WaitRecord = nullptr;
    D.WaitMask = nullptr;
  }
  AbortInFlight(D, true, true);
}

// Returns true when it stopped because the buffer is full, so the kernel may still hold bytes.
bool TPosixComOS::Drain(TDeviceObject& D) {
  if (D.Vanished || D.Closed) return false;
  const size_t Before = D.Buffer.size();
  uint32_t Events = 0;
  bool Got = false;
  char Chunk[4096];
  while (D.Buffer.size() < D.Room()) {
    const size_t Want = std::min(sizeof Chunk, D.Room() - D.Buffer.size());
    const ssize_t N = ::read(D.Fd, Chunk, Want);
    if (N > 0) {
      if (D.DiscardNull) {
        for (ssize_t I = 0; I < N; ++I) {
          if (Chunk[I] == 0) continue;
          if (Chunk[I] == D.EvtChar) Events |= EV_RXFLAG_;
          D.Buffer.push_back(Chunk[I]);
          Got = true;
        }
      } else {
        if (!(Events & EV_RXFLAG_) && std::memchr(Chunk, D.EvtChar, static_cast<size_t>(N))) {
          Events |= EV_RXFLAG_;
        }
        D.Buffer.append(Chunk, static_cast<size_t>(N));
        Got = true;
      }
      // A terminal's read returns all it holds: a short one means the kernel is empty now,
      // and a further read would only end in EAGAIN. Later bytes wake the next poll.
      if (static_cast<size_t>(N) < Want) break;
    } else if (N == 0) {
      // With VMIN 1 a terminal reads 0 only after a hang-up.
      MarkVanished(D, EIO);
      break;
    } else if (errno == EINTR) {
      continue;
    } else {
      if (errno != EAGAIN) MarkVanished(D, errno);
      break;
    }
  }
  if (Got) {
    Events |= EV_RXCHAR_;
    const size_t Threshold = static_cast<size_t>(D.InSize) * 8 / 10;
    if (Before < Threshold && D.Buffer.size() >= Threshold) Events |= EV_RX80FULL_;
  }
  CheckCounters(D);
  Raise(D, Events);
  return !D.Vanished && D.Buffer.size() >= D.Room();
}

void TPosixComOS::CheckCounters(TDeviceObject& D) {
  if (!D.HasCounters || D.Vanished) return;
  serial_icounter_struct Now{};
  if (::ioctl(D.Fd, TIOCGICOUNT, &Now) != 0) return;
  uint32_t Errors = 0;
  if (Now.frame != D.Counters.frame) Errors |= CE_FRAME_;
  if (Now.parity != D.Counters.parity) Errors |= CE_RXPARITY_;
  if (Now.overrun != D.Counters.overrun) Errors |= CE_OVERRUN_;
  if (Now.buf_overrun != D.Counters.buf_overrun) Errors |= CE_RXOVER_;
  if (Now.brk != D.Counters.brk) Errors |= CE_BREAK_;
  D.Counters = Now;
  if (!Errors) return;
  D.ErrorWord |= Errors;
  uint32_t Events = 0;
  if (Errors & (CE_FRAME_ | CE_RXPARITY_ | CE_OVERRUN_ | CE_RXOVER_)) Events |= EV_ERR_;
  if (Errors & CE_BREAK_) Events |= EV_BREAK_;
  Raise(D, Events);
}

void TPosixComOS::CheckTxEmpty(TDeviceObject& D) {
  if (!D.TxPending || D.Vanished) return;
  int Queued = 0;
  if (::ioctl(D.Fd, TIOCOUTQ, &Queued) != 0 || Queued <= 0) {
    D.TxPending = false;
    Raise(D, EV_TXEMPTY_);
  }
}

int TPosixComOS::TxRecheckMs(TDeviceObject& D) {
  int Queued = 0;
  if (::ioctl(D.Fd, TIOCOUTQ, &Queued) != 0) Queued = 1;
  const uint64_t Ms = static_cast<uint64_t>(Queued) * 10 * 1000 / std::max<uint32_t>(D.Rate, 1);
  return static_cast<int>(std::clamp<uint64_t>(Ms, 2, 100));
}

void TPosixComOS::AbortInFlight(TDeviceObject& D, bool Reads, bool Writes) {
  for (TInFlight* Op : D.InFlight) {
    if ((Op->IsRead && Reads) || (!Op->IsRead && Writes)) {
      Op->Aborted = true;
      const uint64_t One = 1;
      [[maybe_unused]] ssize_t N = ::write(Op->WakeFd, &One, sizeof One);
    }
  }
}

// --- Modem-line watcher ---------------------------------------------------------------------

void TPosixComOS::StartWatcher(const std::shared_ptr<TDeviceObject>& D) {
  const uint32_t ModemEvents = EV_CTS_ | EV_DSR_ | EV_RLSD_ | EV_RING_;
  if (!(D->Mask & ModemEvents) || D->WatcherRunning || D->NoModemWait || D->Vanished) return;
  if (D->Watcher.joinable()) D->Watcher.join();  // a watcher that ended on its own
  InstallWatcherSignal();
  D->WatcherRunning = true;
  D->WatcherStop = false;
  int Lines = 0;
  if (::ioctl(D->Fd, TIOCMGET, &Lines) == 0) D->ModemLines = Lines;
  D->Watcher = std::thread(&TPosixComOS::WatchModemLines, this, D);
}

void TPosixComOS::StopWatcher(TLock& L, TDeviceObject& D) {
  if (!D.Watcher.joinable()) return;
  D.WatcherStop = true;
  std::thread Watcher = std::move(D.Watcher);
  const pthread_t Native = Watcher.native_handle();
  // TIOCMIWAIT ends only for a line change, a hang-up or a signal. A signal sent just before
  // the watcher enters the ioctl would be lost, so it is repeated until the watcher is out;
  // this happens only at close and only for drivers that have the wait.
  while (D.WatcherRunning) {
    ::pthread_kill(Native, WatcherSignal());
    L.unlock();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    L.lock();
  }
  L.unlock();
  Watcher.join();
  L.lock();
}

void TPosixComOS::WatchModemLines(std::shared_ptr<TDeviceObject> D) {
  const int Wanted = TIOCM_CTS | TIOCM_DSR | TIOCM_CD | TIOCM_RNG;
  TLock L(FLock);
  while (!D->WatcherStop && !D->Vanished && !D->Closed) {
    L.unlock();
    const int R = ::ioctl(D->Fd, TIOCMIWAIT, Wanted);
    const int Error = errno;
    int Lines = 0;
    const bool Read = R == 0 && ::ioctl(D->Fd, TIOCMGET, &Lines) == 0;
    L.lock();
    if (R != 0) {
      if (Error == EINTR) continue;
      if (Unsupported(Error)) {
        D->NoModemWait = true;
      } else {
        MarkVanished(*D, Error);
      }
      break;
    }
    if (!Read) continue;
    const int Changed = Lines ^ D->ModemLines;
    D->ModemLines = Lines;
    uint32_t Events = 0;
    if (Changed & TIOCM_CTS) Events |= EV_CTS_;
    if (Changed & TIOCM_DSR) Events |= EV_DSR_;
    if (Changed & TIOCM_CD) Events |= EV_RLSD_;
    if (Changed & TIOCM_RNG) Events |= EV_RING_;
    Raise(*D, Events);
  }
  D->WatcherRunning = false;
}

// --- Open and close ---------------------------------------------------------------------------

// Whether a character device may be opened as a serial port, judged without opening it:
// opening some devices acts by itself (a watchdog starts counting), so sysfs is asked for the
// device's class first. Devices sysfs does not list (pseudo-terminal slaves) are left to the
// isatty check after the open. The controlling terminal, the consoles and the pseudo-terminal
// multiplexer are terminals but no ports: putting them into raw mode would take the user's
// own terminal.
int CheckTerminalDevice(dev_t Device) {
  const unsigned Major = major(Device), Minor = minor(Device);
  if (Major == 5 || (Major == 4 && Minor < 64)) return ENOTTY;
  const std::string Link =
      "/sys/dev/char/" + std::to_string(Major) + ":" + std::to_string(Minor) + "/subsystem";
  char Target[PATH_MAX];
  const ssize_t N = ::readlink(Link.c_str(), Target, sizeof Target - 1);
  if (N <= 0) return 0;
  const std::string_view Class(Target, static_cast<size_t>(N));
  const size_t Slash = Class.rfind('/');
  return Class.substr(Slash == std::string_view::npos ? 0 : Slash + 1) == "tty" ? 0 : ENOTTY;
}

THandle TPosixComOS::CreateFileA(const std::string& FileName, uint32_t, uint32_t, uint32_t,
                                 uint32_t) {
  std::string Path;
  if (int Error = DevicePath(FileName, Path)) return Fail(Error), INVALID_HANDLE_VALUE_;
  // Look before opening: opening some device nodes has effects of its own, so only a
  // character device is opened at all.
  struct stat Before {};
  if (::stat(Path.c_str(), &Before) != 0) return Fail(errno), INVALID_HANDLE_VALUE_;
  if (!S_ISCHR(Before.st_mode)) return Fail(ENOTTY), INVALID_HANDLE_VALUE_;
  if (int Error = CheckTerminalDevice(Before.st_rdev)) return Fail(Error), INVALID_HANDLE_VALUE_;
  const int Fd = ::open(Path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (Fd < 0) return Fail(errno), INVALID_HANDLE_VALUE_;
  auto D = std::make_shared<TDeviceObject>();
  D->Fd = Fd;
  struct stat After {};
  if (::fstat(Fd, &After) != 0 || !S_ISCHR(After.st_mode) || After.st_rdev != Before.st_rdev ||
      !::isatty(Fd)) {
    return Fail(ENOTTY), INVALID_HANDLE_VALUE_;
  }
  // flock before TIOCEXCL: a loser must not touch the tty's exclusive flag, which belongs to
  // the winner. The flock also stops root, whom TIOCEXCL lets through.
  if (::flock(Fd, LOCK_EX | LOCK_NB) != 0) {
    return Fail(errno == EWOULDBLOCK ? EBUSY : errno), INVALID_HANDLE_VALUE_;
  }
  D->Exclusive = ::ioctl(Fd, TIOCEXCL) == 0;
  // Raw from the start, as a Windows driver is, whatever mode the last user left behind; the
  // rate and framing stay until SetCommState.
  termios Tio{};
  if (::tcgetattr(Fd, &Tio) != 0) return Fail(errno), INVALID_HANDLE_VALUE_;
  MakeRaw(Tio);
  if (::tcsetattr(Fd, TCSANOW, &Tio) != 0) return Fail(errno), INVALID_HANDLE_VALUE_;
  D->HasCounters = ::ioctl(Fd, TIOCGICOUNT, &D->Counters) == 0;
  TLock L(FLock);
  const THandle H = NewHandle();
  FDevices[H] = D;
  return H;
}

bool TPosixComOS::CloseHandle(THandle Handle) {
  TLock L(FLock);
  if (FEvents.erase(Handle)) return true;
  auto D = Device(Handle);
  if (!D) return Fail(EBADF);
  FDevices.erase(Handle);
  D->Closed = true;
  if (D->Waiting) {
    D->Waiting = false;
    *D->WaitMask = 0;
    Complete(D->WaitRecord, ECANCELED, 0);
  }
  AbortInFlight(*D, true, true);
  StopWatcher(L, *D);
  // The descriptor closes with the last reference: a thread still in poll on it keeps it
  // valid until it returns, so it can never poll a reused descriptor.
  return true;
}

// --- Configuration ----------------------------------------------------------------------------

bool TPosixComOS::SetupComm(THandle Handle, uint32_t InQueue, uint32_t) {
  // The kernel's output buffer has a fixed size; only the input size is ours to choose.
  TLock L(FLock);
  auto D = Device(Handle);
  if (!D) return Fail(EBADF);
  if (D->Vanished) return Fail(D->VanishErrno);
  if (InQueue) D->InSize = std::clamp<uint32_t>(InQueue, 16, kMaxInputSize);
  return true;
}

bool TPosixComOS::SetCommState(THandle Handle, const TDCB& DCB) {
  TLock L(FLock);
  auto D = Device(Handle);
  if (!D) return Fail(EBADF);
  if (D->Vanished) return Fail(D->VanishErrno);
  termios Current{};
  if (::tcgetattr(D->Fd, &Current) != 0) return Fail(errno);
  TLineSettings S;
  if (int Error = DcbToLineSettings(DCB, Current, S)) return Fail(Error);
  if (::tcsetattr(D->Fd, TCSANOW, &S.Tio) != 0) return Fail(errno);
  if (S.CustomRate) {
    TKernelTermios2 T2{};
    if (::ioctl(D->Fd, kTCGETS2, &T2) != 0) return Fail(errno);
    T2.c_cflag &= ~(kCBAUD | (kCBAUD << kIBSHIFT));
    T2.c_cflag |= kBOTHER | (kBOTHER << kIBSHIFT);
    T2.c_ispeed = S.Rate;
    T2.c_ospeed = S.Rate;
    if (::ioctl(D->Fd, kTCSETS2, &T2) != 0) return Fail(errno);
  }
  // The lines: a pseudo-terminal has none and refuses these; that is not a failure.
  auto Line = [&](int Bit, bool On) {
    if (::ioctl(D->Fd, On ? TIOCMBIS : TIOCMBIC, &Bit) == 0) return 0;
    return Unsupported(errno) ? 0 : errno;
  };
  if (int Error = Line(TIOCM_DTR, S.DTR)) return Fail(Error);
  if (!S.RTSByKernel) {
    if (int Error = Line(TIOCM_RTS, S.RTS)) return Fail(Error);
  }
  D->DiscardNull = S.DiscardNull;
  D->EvtChar = DCB.EvtChar;
  D->Rate = S.Rate;
  return true;
}

bool TPosixComOS::SetCommTimeouts(THandle Handle, const TCommTimeouts& Timeouts) {
  TLock L(FLock);
  auto D = Device(Handle);
  if (!D) return Fail(EBADF);
  if (D->Vanished) return Fail(D->VanishErrno);
  D->Timeouts = Timeouts;
  return true;
}

bool TPosixComOS::SetCommMask(THandle Handle, uint32_t EvtMask) {
  TLock L(FLock);
  auto D = Device(Handle);
  if (!D) return Fail(EBADF);
  if (D->Vanished) return Fail(D->VanishErrno);
  D->Mask = EvtMask;
  D->History = 0;
  if (D->Waiting) {
    D->Waiting = false;
    *D->WaitMask = 0;
    TOverlapped* Record = D->WaitRecord;
    D->WaitRecord = nullptr;
    D->WaitMask = nullptr;
    Complete(Record, 0, 0);
  }
  if (EvtMask & (EV_CTS_ | EV_DSR_ | EV_RLSD_ | EV_RING_)) {
    StartWatcher(D);
  } else {
    StopWatcher(L, *D);
  }
  return true;
}

// --- Waits ------------------------------------------------------------------------------------

bool TPosixComOS::WaitCommEvent(THandle Handle, uint32_t* EvtMask, TOverlapped* Overlapped) {
  if (!Overlapped) {
    // Blocking form: the same wait on a private record.
    TOverlapped Record;
    Record.hEvent = CreateEventA(true, false);
    if (!Record.hEvent) return false;
    bool Ok = WaitCommEvent(Handle, EvtMask, &Record);
    if (!Ok && tLastError == ERROR_IO_PENDING_) {
      uint32_t Ignored;
      Ok = GetOverlappedResult(Handle, &Record, &Ignored, true);
    }
    const uint32_t Error = tLastError;
    CloseHandle(Record.hEvent);
    tLastError = Error;
    return Ok;
  }
  TLock L(FLock);
  auto D = Device(Handle);
  if (!D) return Fail(EBADF);
  if (!EvtMask) return Fail(EINVAL);
  if (D->Waiting || D->Mask == 0) return Fail(EINVAL);
  Reset(Overlapped->hEvent);
  Overlapped->Internal = kPending;
  Overlapped->InternalHigh = 0;
  Drain(*D);
  CheckTxEmpty(*D);
  if (D->Vanished) {
    Overlapped->Internal = static_cast<uintptr_t>(D->VanishErrno);
    D->FailedWaitEvent = Overlapped->hEvent;
    return Fail(D->VanishErrno);
  }
  if (D->History & D->Mask) {
    *EvtMask = D->History & D->Mask;
    D->History = 0;
    Complete(Overlapped, 0, 0);
    return true;
  }
  D->Waiting = true;
  D->WaitMask = EvtMask;
  D->WaitRecord = Overlapped;
  D->FailedWaitEvent = 0;
  return Fail(ERROR_IO_PENDING_);
}

uint32_t TPosixComOS::WaitForMultipleObjects(uint32_t Count, const THandle* Handles,
                                             uint32_t Milliseconds) {
  if (Count == 0 || !Handles) return Fail(EINVAL), WAIT_FAILED_;
  const TClock::time_point Until =
      Milliseconds == INFINITE_ ? kNever : TClock::now() + std::chrono::milliseconds(Milliseconds);
  TLock L(FLock);
  bool LookedOnce = false;
  for (;;) {
    // Lowest index first: a stop event ahead of a completed wait wins, as on Windows.
    std::vector<pollfd> Fds;
    std::vector<std::shared_ptr<TEventObject>> HeldEvents;
    std::vector<std::shared_ptr<TDeviceObject>> Polled;
    int TimerMs = -1;
    for (uint32_t I = 0; I < Count; ++I) {
      auto E = FEvents.find(Handles[I]);
      if (E == FEvents.end()) return Fail(EBADF), WAIT_FAILED_;
      if (Consume(Handles[I])) return WAIT_OBJECT_0_ + I;
      for (auto& [H, D] : FDevices) {
        if (D->Vanished && D->FailedWaitEvent == Handles[I]) {
          return Fail(D->VanishErrno), WAIT_FAILED_;
        }
        if (D->Waiting && D->WaitRecord->hEvent == Handles[I] &&
            std::find(Polled.begin(), Polled.end(), D) == Polled.end()) {
          Polled.push_back(D);
        }
      }
      HeldEvents.push_back(E->second);
      Fds.push_back({E->second->Fd, POLLIN, 0});
    }
    const size_t FirstDevice = Fds.size();
    for (auto& D : Polled) {
      // A full buffer is not drained until the application reads: poll only for a hang-up.
      const short Want = D->Buffer.size() < D->Room() ? POLLIN : 0;
      Fds.push_back({D->Fd, Want, 0});
      if (D->TxPending && (D->Mask & EV_TXEMPTY_)) {
        const int Ms = TxRecheckMs(*D);
        TimerMs = TimerMs < 0 ? Ms : std::min(TimerMs, Ms);
      }
    }
    int TimeoutMs = PollTimeout(Until);
    // A deadline that has passed still gets one look at the devices, so a zero timeout sees
    // bytes that are already in the kernel.
    if (TimeoutMs == 0 && LookedOnce) return WAIT_TIMEOUT_;
    LookedOnce = TimeoutMs == 0;
    if (TimerMs >= 0) TimeoutMs = TimeoutMs < 0 ? TimerMs : std::min(TimeoutMs, TimerMs);
    L.unlock();
    const int R = ::poll(Fds.data(), Fds.size(), TimeoutMs);
    const int PollError = errno;
    L.lock();
    if (R < 0 && PollError != EINTR) return Fail(PollError), WAIT_FAILED_;
    for (size_t I = 0; I < Polled.size(); ++I) {
      TDeviceObject& D = *Polled[I];
      const short Got = Fds[FirstDevice + I].revents;
      if (Got) Drain(D);
      if (Got & (POLLHUP | POLLERR | POLLNVAL)) MarkVanished(D, EIO);
      CheckTxEmpty(D);
    }
  }
}

uint32_t TPosixComOS::WaitForSingleObject(THandle Handle, uint32_t Milliseconds) {
  return WaitForMultipleObjects(1, &Handle, Milliseconds);
}

void TPosixComOS::Sleep(uint32_t Milliseconds) {
  if (Milliseconds == 0) {
    std::this_thread::yield();
  } else {
    std::this_thread::sleep_for(std::chrono::milliseconds(Milliseconds));
  }
}

bool TPosixComOS::GetOverlappedResult(THandle Handle, TOverlapped* Overlapped,
                                      uint32_t* Transferred, bool Wait) {
  if (Transferred) *Transferred = 0;
  if (!Overlapped) return Fail(EINVAL);
  TLock L(FLock);
  if (!Device(Handle)) return Fail(EBADF);
  if (Overlapped->Internal == kPending) {
    if (!Wait) return Fail(EINPROGRESS);
    L.unlock();
    if (WaitForSingleObject(Overlapped->hEvent, INFINITE_) == WAIT_FAILED_) return false;
    L.lock();
  }
  if (Overlapped->Internal != 0) return Fail(static_cast<int>(Overlapped->Internal));
  if (Transferred) *Transferred = static_cast<uint32_t>(Overlapped->InternalHigh);
  return true;
}

TPosixComOS::TWake TPosixComOS::BlockOn(TLock& L, TDeviceObject& D, bool IsRead, short Events,
                                        TClock::time_point Until) {
  const int TimeoutMs = PollTimeout(Until);
  if (TimeoutMs == 0) return TWake::Timeout;
  TInFlight Op;
  Op.IsRead = IsRead;
  Op.WakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (Op.WakeFd < 0) return TWake::Aborted;
  D.InFlight.push_back(&Op);
  pollfd Fds[2] = {{D.Fd, Events, 0}, {Op.WakeFd, POLLIN, 0}};
  L.unlock();
  const int R = ::poll(Fds, 2, TimeoutMs);
  L.lock();
  D.InFlight.erase(std::find(D.InFlight.begin(), D.InFlight.end(), &Op));
  ::close(Op.WakeFd);
  if (Op.Aborted || D.Closed) return TWake::Aborted;
  if (R > 0 && (Fds[0].revents & (POLLHUP | POLLERR | POLLNVAL))) {
    if (IsRead) Drain(D);
    MarkVanished(D, EIO);
    return TWake::Vanished;
  }
  return R == 0 ? TWake::Timeout : TWake::Ready;
}

// --- Transfers --------------------------------------------------------------------------------

bool TPosixComOS::ReadFile(THandle Handle, void* Buffer, uint32_t Count, uint32_t* Read,
                           TOverlapped* Overlapped) {
  if (Read) *Read = 0;
  TLock L(FLock);
  auto D = Device(Handle);
  if (!D) return Fail(EBADF);
  if (Count > 0 && !Buffer) return Fail(EINVAL);
  if (Overlapped) {
    Reset(Overlapped->hEvent);
    Overlapped->Internal = kPending;
    Overlapped->InternalHigh = 0;
  }
  auto Finish = [&](int Error, uint32_t Got) {
    if (Read) *Read = Error ? 0 : Got;
    Complete(Overlapped, Error, Got);
    return Error ? Fail(Error) : true;
  };
  char* Out = static_cast<char*>(Buffer);
  uint32_t Got = 0;
  // Takes what the buffer and the kernel hold, in passes of at most a full buffer, without
  // blocking. Counted bytes are already in the buffer: draining then would only end in EAGAIN.
  auto Take = [&] {
    const uint32_t Before = Got;
    bool KernelMayHoldMore = true;
    while (Got < Count && KernelMayHoldMore) {
      KernelMayHoldMore = D->Buffer.size() < Count - Got && Drain(*D);
      const uint32_t N = static_cast<uint32_t>(std::min<size_t>(Count - Got, D->Buffer.size()));
      if (N == 0) break;
      std::memcpy(Out + Got, D->Buffer.data(), N);
      D->Buffer.erase(0, N);
      Got += N;
    }
    return Got - Before;
  };
  if (D->Vanished) return Finish(D->VanishErrno, 0);
  Take();
  const TReadPlan Plan = PlanRead(D->Timeouts, Count);
  const auto Start = TClock::now();
  auto LastArrival = Start;
  while (Got < Count && !Plan.ReturnAtOnce && !(Plan.ReturnOnAny && Got > 0)) {
    if (D->Vanished) break;
    TClock::time_point Until = kNever;
    if (Plan.TotalMs) Until = After(Start, Plan.TotalMs);
    if (Plan.IntervalMs && Got > 0) Until = std::min(Until, After(LastArrival, Plan.IntervalMs));
    const TWake Wake = BlockOn(L, *D, true, POLLIN, Until);
    if (Wake == TWake::Aborted) {
      // Bytes already taken go back, so an abort loses nothing that was received.
      if (Got) D->Buffer.insert(0, Out, Got);
      return Finish(ECANCELED, 0);
    }
    if (Take() > 0) LastArrival = TClock::now();
    if (Wake == TWake::Timeout) break;
  }
  if (D->Vanished && Got == 0) return Finish(D->VanishErrno, 0);
  return Finish(0, Got);
}

bool TPosixComOS::WriteFile(THandle Handle, const void* Buffer, uint32_t Count, uint32_t* Written,
                            TOverlapped* Overlapped) {
  if (Written) *Written = 0;
  TLock L(FLock);
  auto D = Device(Handle);
  if (!D) return Fail(EBADF);
  if (Count > 0 && !Buffer) return Fail(EINVAL);
  if (Overlapped) {
    Reset(Overlapped->hEvent);
    Overlapped->Internal = kPending;
    Overlapped->InternalHigh = 0;
  }
  auto Finish = [&](int Error, uint32_t Sent) {
    if (Written) *Written = Error ? 0 : Sent;
    Complete(Overlapped, Error, Sent);
    return Error ? Fail(Error) : true;
  };
  if (D->Vanished) return Finish(D->VanishErrno, 0);
  const char* In = static_cast<const char*>(Buffer);
  const uint64_t LimitMs = PlanWrite(D->Timeouts, Count);
  const TClock::time_point Until = LimitMs ? After(TClock::now(), LimitMs) : kNever;
  uint32_t Sent = 0;
  while (Sent < Count) {
    const ssize_t N = ::write(D->Fd, In + Sent, Count - Sent);
    if (N > 0) {
      Sent += static_cast<uint32_t>(N);
      continue;
    }
    if (N < 0 && errno == EINTR) continue;
    if (N < 0 && errno != EAGAIN) {
      MarkVanished(*D, errno);
      return Finish(D->VanishErrno, 0);
    }
    const TWake Wake = BlockOn(L, *D, false, POLLOUT, Until);
    if (Wake == TWake::Aborted) return Finish(ECANCELED, 0);
    if (Wake == TWake::Vanished) return Finish(D->VanishErrno, 0);
    if (Wake == TWake::Timeout) break;  // Win32: success with what went out
  }
  if (Sent > 0) {
    D->TxPending = true;
    CheckTxEmpty(*D);
  }
  return Finish(0, Sent);
}

bool TPosixComOS::PurgeComm(THandle Handle, uint32_t Flags) {
  TLock L(FLock);
  auto D = Device(Handle);
  if (!D) return Fail(EBADF);
  if (Flags & ~uint32_t{PURGE_TXABORT_ | PURGE_RXABORT_ | PURGE_TXCLEAR_ | PURGE_RXCLEAR_}) {
    return Fail(EINVAL);
  }
  if (D->Vanished) return Fail(D->VanishErrno);
  AbortInFlight(*D, Flags & PURGE_RXABORT_, Flags & PURGE_TXABORT_);
  if ((Flags & PURGE_TXCLEAR_) && ::tcflush(D->Fd, TCOFLUSH) != 0) return Fail(errno);
  if (Flags & PURGE_RXCLEAR_) {
    if (::tcflush(D->Fd, TCIFLUSH) != 0) return Fail(errno);
    D->Buffer.clear();
  }
  return true;
}

bool TPosixComOS::ClearCommError(THandle Handle, uint32_t* Errors, TComStat* Stat) {
  TLock L(FLock);
  auto D = Device(Handle);
  if (!D) return Fail(EBADF);
  const bool Full = Drain(*D);
  if (D->Vanished) return Fail(D->VanishErrno);
  CheckCounters(*D);
  if (Errors) *Errors = D->ErrorWord;
  D->ErrorWord = 0;
  if (Stat) {
    *Stat = TComStat{};
    // The kernel's counts cost an ioctl each and are usually known: a drain that was not
    // stopped by a full buffer has left nothing behind, and with no write since the output
    // queue was last seen empty there is nothing queued.
    int InKernel = 0, OutKernel = 0;
    if (Full && ::ioctl(D->Fd, FIONREAD, &InKernel) != 0) InKernel = 0;
    if (D->TxPending && ::ioctl(D->Fd, TIOCOUTQ, &OutKernel) != 0) OutKernel = 0;
    Stat->cbInQue = static_cast<uint32_t>(D->Buffer.size() + std::max(InKernel, 0));
    Stat->cbOutQue = static_cast<uint32_t>(std::max(OutKernel, 0));
  }
  return true;
}

bool TPosixComOS::GetCommModemStatus(THandle Handle, uint32_t* ModemStat) {
  TLock L(FLock);
  auto D = Device(Handle);
  if (!D) return Fail(EBADF);
  if (D->Vanished) return Fail(D->VanishErrno);
  int Lines = 0;
  if (::ioctl(D->Fd, TIOCMGET, &Lines) != 0) {
    // A pseudo-terminal has no modem lines: all off.
    if (!Unsupported(errno)) return Fail(errno);
    Lines = 0;
  }
  uint32_t Status = 0;
  if (Lines & TIOCM_CTS) Status |= MS_CTS_ON_;
  if (Lines & TIOCM_DSR) Status |= MS_DSR_ON_;
  if (Lines & TIOCM_RNG) Status |= MS_RING_ON_;
  if (Lines & TIOCM_CD) Status |= MS_RLSD_ON_;
  if (ModemStat) *ModemStat = Status;
  return true;
}

}  // namespace

TComOS& TComOS::Default() {
  // Never destroyed: ports held in statics may still close their devices during exit.
  static TPosixComOS* OS = new TPosixComOS;
  return *OS;
}

std::string SysErrorMessage(uint32_t Error) {
  char Buf[256];
  // The GNU strerror_r returns its text (possibly a static one), not a status.
  return ::strerror_r(static_cast<int>(Error), Buf, sizeof Buf);
}

}  // namespace comfind
