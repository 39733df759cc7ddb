// The state of an open device in the POSIX layer: received bytes, line errors, the output
// queue, a device that vanishes, and the thread that drives pending transfers.
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstring>

#include "port/os/PosixComOS.h"

namespace comfind {

namespace posix {

int PollTimeout(TClock::time_point Until) {
  if (Until == kNoDeadline) return -1;
  const auto Left = std::chrono::ceil<std::chrono::milliseconds>(Until - TClock::now()).count();
  return static_cast<int>(std::clamp<int64_t>(Left, 0, 1 << 30));
}

bool Unsupported(int Error) {
  return Error == ENOTTY || Error == EINVAL || Error == ENOSYS || Error == EOPNOTSUPP ||
         Error == 515 /* ENOIOCTLCMD leaking from some drivers */;
}

bool TEventFd::Open() {
  if (Fd < 0) Fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  return Fd >= 0;
}

void TEventFd::BeforePoll() {
  if (FdSet) {
    uint64_t Value;
    [[maybe_unused]] ssize_t N = ::read(Fd, &Value, sizeof Value);
    FdSet = false;
  }
  ++Pollers;
}

void TEventFd::Signal() {
  if (Pollers == 0 || FdSet) return;
  const uint64_t Value = 1;
  [[maybe_unused]] ssize_t N = ::write(Fd, &Value, sizeof Value);
  FdSet = true;
}

TEventFd::~TEventFd() {
  if (Fd >= 0) ::close(Fd);
}

void TPosixComOS::Complete(const TComCompletion& Done) {
  if (!Done.Record) return;
  WriteCompletion(Done);
  if (Done.Signal && Done.Record->hEvent) FEvents.Set(Done.Record->hEvent);
}

void TPosixComOS::Complete(const std::vector<TComCompletion>& Done) {
  for (const auto& C : Done)
    Complete(C);
}

void TPosixComOS::Raise(TDeviceObject& D, uint32_t Events) {
  TComCompletion Done;
  D.Events.Raise(Events, Done);
  Complete(Done);
}

void TPosixComOS::MarkVanished(TDeviceObject& D, int Error) {
  if (!D.Usable()) return;
  TComCompletion Wait;
  D.Events.Vanish(static_cast<uint32_t>(Error), Wait);
  Complete(Wait);
  std::vector<TComCompletion> Ended;
  D.Transfers.Vanish(static_cast<uint32_t>(Error), Ended);
  Complete(Ended);
}

bool TPosixComOS::Drain(TDeviceObject& D, size_t Want) {
  D.CountFresh = false;
  if (!D.Usable()) return false;
  const size_t Before = D.Buffer.size();
  uint32_t Events = 0;
  bool Got = false;
  int Lost = 0;
  size_t Taken = 0;
  bool KernelEmpty = false;
  const size_t Enough = std::min(Want, kDrainPerPass);
  if (!FDrainBlock) FDrainBlock = std::make_unique_for_overwrite<char[]>(kDrainPerPass);
  char* const Chunk = FDrainBlock.get();
  while (D.Buffer.size() < D.Room() && Taken < Enough) {
    const size_t Ask = std::min(kDrainPerPass, D.Room() - D.Buffer.size());
    const ssize_t N = ::read(D.Fd, Chunk, Ask);
    if (N > 0) {
      Taken += static_cast<size_t>(N);
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
      // A terminal's read returns all its line discipline holds: one that did not fill it
      // means the kernel is empty now, and a further read would only end in EAGAIN. Later
      // bytes wake the next poll. A full one may have more behind it (kLineDisciplineRoom).
      if (static_cast<size_t>(N) < std::min(Ask, kLineDisciplineRoom)) {
        KernelEmpty = true;
        break;
      }
    } else if (N == 0) {
      // With VMIN 1 a terminal reads 0 only after a hang-up.
      Lost = EIO;
      break;
    } else if (errno == EINTR) {
      continue;
    } else {
      if (errno != EAGAIN) Lost = errno;
      KernelEmpty = errno == EAGAIN;
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
  // The bytes that came before a hang-up still go to the reads waiting for them.
  std::vector<TComCompletion> Ended;
  D.Transfers.Serve(D.Buffer, TClock::now(), Ended);
  Complete(Ended);
  if (Lost) MarkVanished(D, Lost);
  return D.Usable() && !KernelEmpty && Lost == 0 &&
         (D.Buffer.size() >= D.Room() || Taken >= Enough);
}

void TPosixComOS::CheckCounters(TDeviceObject& D) {
  if (!D.HasCounters || !D.Usable()) return;
  TLineCounters Now;
  if (!ReadLineCounters(D.Fd, Now)) return;
  uint32_t Errors = 0;
  if (Now.Frame != D.Counters.Frame) Errors |= CE_FRAME_;
  if (Now.Parity != D.Counters.Parity) Errors |= CE_RXPARITY_;
  if (Now.Overrun != D.Counters.Overrun) Errors |= CE_OVERRUN_;
  if (Now.BufOverrun != D.Counters.BufOverrun) Errors |= CE_RXOVER_;
  if (Now.Brk != D.Counters.Brk) Errors |= CE_BREAK_;
  D.Counters = Now;
  TComCompletion Done;
  D.Events.AddLineErrors(Errors, Done);
  Complete(Done);
}

void TPosixComOS::CheckTxEmpty(TDeviceObject& D) {
  if (!D.TxPending || !D.Usable() || D.Transfers.WritesPending()) return;
  // Nobody can want the event: the queue is not looked at (an ioctl after every write). The
  // output stays marked, so a mask that asks for the event later still gets it.
  if (!(D.Events.Mask() & EV_TXEMPTY_)) return;
  if (OutputQueued(D) <= 0) {
    D.TxPending = false;
    Raise(D, EV_TXEMPTY_);
  }
}

int TPosixComOS::OutputQueued(TDeviceObject& D) {
  int Queued = 0;
  if (D.PseudoTerminal || ::ioctl(D.Fd, TIOCOUTQ, &Queued) != 0) return 0;
  return Queued;
}

void TPosixComOS::ForgetDrainedOutput(TDeviceObject& D) {
  if (D.TxPending && D.Usable() && !D.Transfers.WritesPending() && OutputQueued(D) <= 0)
    D.TxPending = false;
}

void TPosixComOS::WatchTxEmpty(TDeviceObject& D) {
  CheckTxEmpty(D);
  if (D.TxPending && D.Usable() && (D.Events.Mask() & EV_TXEMPTY_)) KickTransfers();
}

int TPosixComOS::TxRecheckMs(TDeviceObject& D) {
  int Queued = 0;
  if (::ioctl(D.Fd, TIOCOUTQ, &Queued) != 0) Queued = 1;
  const uint64_t Ms = static_cast<uint64_t>(Queued) * 10 * 1000 / std::max<uint32_t>(D.Rate, 1);
  return static_cast<int>(std::clamp<uint64_t>(Ms, 2, 100));
}

int64_t TPosixComOS::Send(TDeviceObject& D, const char* Bytes, size_t Count, uint32_t& Error,
                          bool& Refused) {
  for (;;) {
    const ssize_t N = ::write(D.Fd, Bytes, Count);
    if (N > 0) {
      D.TxPending = true;
      D.OutputFlushed = false;
    }
    if (N >= 0) return N;
    if (errno == EINTR) continue;
    if (errno == EAGAIN) return 0;
    Error = static_cast<uint32_t>(errno);
    Refused = true;
    return -1;
  }
}

void TPosixComOS::PumpWrites(TDeviceObject& D) {
  if (!D.Usable()) return;
  uint32_t RefusedWith = 0;
  bool Refused = false;
  const TTransferQueue::TSink Sink = [&](const char* Bytes, size_t Count, uint32_t& Error) {
    const int64_t N = Send(D, Bytes, Count, Error, Refused);
    if (Refused) RefusedWith = Error;
    return N;
  };
  std::vector<TComCompletion> Ended;
  D.Transfers.Pump(Sink, Ended);
  Complete(Ended);
  if (Refused) MarkVanished(D, static_cast<int>(RefusedWith));
  CheckTxEmpty(D);
}

// --- The transfer thread ---------------------------------------------------------------------
// One thread for the layer drives what cannot end at once: it sleeps in poll on the devices
// with pending transfers and on an eventfd that wakes it, ends transfers at their deadlines and
// re-checks an output queue that has not drained yet.

void TPosixComOS::KickTransfers() {
  if (!FTransfersStarted) {
    FWakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (FWakeFd < 0) return;
    // Detached: it ends by itself once nothing is pending, and a later transfer starts it
    // anew, so a program that never has a transfer wait keeps no thread for it.
    std::thread(&TPosixComOS::TransferLoop, this).detach();
    FTransfersStarted = true;
    return;
  }
  const uint64_t One = 1;
  [[maybe_unused]] ssize_t N = ::write(FWakeFd, &One, sizeof One);
}

void TPosixComOS::PollerDone(TDeviceObject& D) {
  if (--D.Pollers == 0 && D.Closed) FDeviceQuiet.notify_all();
}

void TPosixComOS::TransferLoop() {
  TLock L(FLock);
  const int WakeFd = FWakeFd;
  std::vector<PDevice> Polled;
  std::vector<pollfd> Fds;
  for (;;) {
    Polled.clear();
    Fds.assign(1, pollfd{WakeFd, POLLIN, 0});
    const auto Now = TClock::now();
    TClock::time_point Next = kNoDeadline;
    for (auto& [H, D] : FDevices) {
      if (!D->Usable()) continue;
      std::vector<TComCompletion> Ended;
      D->Transfers.Expire(D->Buffer, Now, Ended);
      Complete(Ended);
      CheckTxEmpty(*D);
      Next = std::min(Next, D->Transfers.NextDeadline());
      if (D->TxPending && !D->Transfers.WritesPending() && (D->Events.Mask() & EV_TXEMPTY_)) {
        Next = std::min(Next, Now + std::chrono::milliseconds(TxRecheckMs(*D)));
      }
      short Want = 0;
      // A full buffer takes nothing more until the application reads; a pending read cannot
      // coexist with it, since the read takes from the buffer first.
      if (D->Transfers.ReadsPending() && D->Buffer.size() < D->Room()) Want |= POLLIN;
      if (D->Transfers.WritesPending()) Want |= POLLOUT;
      if (!Want) continue;
      Fds.push_back({D->Fd, Want, 0});
      Polled.push_back(D);
      ++D->Pollers;
    }
    if (Polled.empty() && Next == kNoDeadline) {
      // Nothing pending: the thread ends, and its wake-up descriptor is closed outside the lock.
      FTransfersStarted = false;
      FWakeFd = -1;
      L.unlock();
      ::close(WakeFd);
      return;
    }
    L.unlock();
    ::poll(Fds.data(), Fds.size(), PollTimeout(Next));
    L.lock();
    uint64_t Value;
    [[maybe_unused]] ssize_t N = ::read(WakeFd, &Value, sizeof Value);
    for (size_t I = 0; I < Polled.size(); ++I) {
      TDeviceObject& D = *Polled[I];
      PollerDone(D);
      const short Got = Fds[I + 1].revents;
      if (!Got || !D.Usable()) continue;
      if (Got & POLLIN) DrainOnce(D);
      if (Got & (POLLHUP | POLLERR | POLLNVAL)) {
        Drain(D);
        MarkVanished(D, EIO);
        continue;
      }
      if (Got & POLLOUT) PumpWrites(D);
    }
  }
}

}  // namespace posix

}  // namespace comfind
