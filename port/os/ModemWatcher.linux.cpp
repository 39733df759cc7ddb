// The modem-line watcher of the POSIX layer: while the mask asks for CTS, DSR, RLSD or RING, a
// thread per handle sleeps in the kernel's TIOCMIWAIT (Linux) and raises the events of the
// lines that changed. Which lines changed comes from the driver's counters where it has them:
// the kernel counts a ring when RI has dropped again, so two snapshots of the lines, taken
// when the wait ends, would never see it. Drivers without the wait (pseudo-terminals) report
// no line events.
#include <signal.h>
#include <sys/ioctl.h>

#include "port/os/PosixComOS.h"

namespace comfind {

namespace posix {

namespace {

// The signal that interrupts a watcher blocked in TIOCMIWAIT, the only way to end that ioctl
// early. Its handler does nothing; it only makes the ioctl return EINTR.
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

}  // namespace

void TPosixComOS::StartWatcher(const PDevice& D) {
  const uint32_t ModemEvents = EV_CTS_ | EV_DSR_ | EV_RLSD_ | EV_RING_;
  if (!(D->Events.Mask() & ModemEvents) || D->WatcherRunning || D->NoModemWait || !D->Usable())
    return;
  if (D->Watcher.joinable()) D->Watcher.join();  // a watcher that ended on its own
  InstallWatcherSignal();
  D->WatcherRunning = true;
  D->WatcherStop = false;
  int Lines = 0;
  if (::ioctl(D->Fd, TIOCMGET, &Lines) == 0) D->ModemLines = Lines;
  // The counters as the watcher starts: what changes after this is reported.
  if (D->HasCounters) ReadLineCounters(D->Fd, D->ModemCounters);
  D->Watcher = std::thread(&TPosixComOS::WatchModemLines, this, D);
  D->WatcherThread = D->Watcher.native_handle();
}

void TPosixComOS::StopWatcher(TLock& L, TDeviceObject& D) {
  D.WatcherStop = true;
  // TIOCMIWAIT ends only for a line change, a hang-up or a signal. A signal sent just before
  // the watcher enters the ioctl would be lost, so it is repeated until the watcher is out;
  // this happens only when the mask drops the line events and at close, and only for drivers
  // that have the wait.
  while (D.WatcherRunning) {
    ::pthread_kill(D.WatcherThread, WatcherSignal());
    FDeviceQuiet.wait_for(L, std::chrono::milliseconds(5));
  }
  if (!D.Watcher.joinable()) return;
  std::thread Watcher = std::move(D.Watcher);
  L.unlock();
  Watcher.join();
  L.lock();
}

namespace {

uint32_t LineBits(int Lines) {
  uint32_t Bits = 0;
  if (Lines & TIOCM_CTS) Bits |= MS_CTS_ON_;
  if (Lines & TIOCM_DSR) Bits |= MS_DSR_ON_;
  if (Lines & TIOCM_RNG) Bits |= MS_RING_ON_;
  if (Lines & TIOCM_CD) Bits |= MS_RLSD_ON_;
  return Bits;
}

}  // namespace

void TPosixComOS::WatchModemLines(PDevice D) {
  const int Wanted = TIOCM_CTS | TIOCM_DSR | TIOCM_CD | TIOCM_RNG;
  TLock L(FLock);
  while (!D->WatcherStop && D->Usable()) {
    L.unlock();
    const int R = ::ioctl(D->Fd, TIOCMIWAIT, Wanted);
    const int Error = errno;
    TLineCounters Counters;
    const bool Counted = R == 0 && D->HasCounters && ReadLineCounters(D->Fd, Counters);
    int Lines = 0;
    const bool Read = R == 0 && !Counted && ::ioctl(D->Fd, TIOCMGET, &Lines) == 0;
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
    uint32_t Events = 0;
    if (Counted) {
      Events = ModemEventsFromCounters(D->ModemCounters, Counters);
      D->ModemCounters = Counters;
    } else if (Read) {
      Events = ModemEventsFromLines(LineBits(D->ModemLines), LineBits(Lines));
      D->ModemLines = Lines;
    }
    Raise(*D, Events);
  }
  D->WatcherRunning = false;
  FDeviceQuiet.notify_all();
}

}  // namespace posix

}  // namespace comfind
