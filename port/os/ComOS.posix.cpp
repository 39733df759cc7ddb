// The POSIX layer's calls on a device: opening, configuring and closing it, reads, writes and
// their results, purges and the status queries. PosixComOS.h says how the layer is built.
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <thread>

#include "port/os/PosixComOS.h"
#include "port/os/TermiosMap.h"

namespace comfind {

namespace posix {

namespace {

thread_local uint32_t tLastError = 0;

}  // namespace

TPosixComOS::TPosixComOS()
    : FEvents([this](THandle Event, bool Signalled) {
        // Only a thread asleep in poll needs to hear of it; a reset is caught up with before
        // the next poll (TEventFd).
        if (Signalled) FEventFds.at(Event)->Signal();
      }) {}

uint32_t TPosixComOS::GetLastError() {
  return tLastError;
}

void TPosixComOS::SetLastError(uint32_t Error) {
  tLastError = Error;
}

bool TPosixComOS::Fail(int Error) {
  tLastError = static_cast<uint32_t>(Error);
  return false;
}

PDevice TPosixComOS::Device(THandle Handle) const {
  auto It = FDevices.find(Handle);
  return It == FDevices.end() ? nullptr : It->second;
}

void TPosixComOS::LockForFork() {
  FLock.lock();
}

void TPosixComOS::UnlockAfterFork(bool Child) {
  if (Child && FTransfersStarted) {
    // Only the forking thread lives on in the child: the transfer thread is started anew
    // there, with a wake-up descriptor of the child's own.
    ::close(FWakeFd);
    FWakeFd = -1;
    FTransfersStarted = false;
  }
  FLock.unlock();
}

bool TPosixComOS::Blocking(THandle Handle, uint32_t* Count,
                           const std::function<bool(TOverlapped*)>& Start) {
  TOverlapped Record;
  Record.hEvent = CreateEventA(true, false);
  if (!Record.hEvent) return false;
  bool Ok = Start(&Record);
  if (Ok) {
    if (Count) *Count = static_cast<uint32_t>(Record.InternalHigh);
  } else if (tLastError == ERROR_IO_PENDING_) {
    Ok = GetOverlappedResult(Handle, &Record, Count, true);
  }
  const uint32_t Error = tLastError;
  CloseHandle(Record.hEvent);
  tLastError = Error;
  return Ok;
}

// --- Open and close ---------------------------------------------------------------------------

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
  D->PseudoTerminal = IsPseudoTerminalSlave(Before.st_rdev);
  // Until the device is the layer's, a failure closes the descriptor (and hands back the
  // tty's exclusive flag) here.
  auto Refuse = [&](int Error) {
    CloseDescriptor(*D);
    return Fail(Error), INVALID_HANDLE_VALUE_;
  };
  struct stat After {};
  if (::fstat(Fd, &After) != 0 || !S_ISCHR(After.st_mode) || After.st_rdev != Before.st_rdev ||
      !::isatty(Fd)) {
    return Refuse(ENOTTY);
  }
  // flock before TIOCEXCL: a loser must not touch the tty's exclusive flag, which belongs to
  // the winner. The flock also stops root, whom TIOCEXCL lets through.
  if (::flock(Fd, LOCK_EX | LOCK_NB) != 0) return Refuse(errno == EWOULDBLOCK ? EBUSY : errno);
  D->Exclusive = ::ioctl(Fd, TIOCEXCL) == 0;
  // Only now, as the device's owner: a refused opener must not put back anything.
  SaveLine(Fd, D->Saved);
  if (!D->Saved.Valid) return Refuse(errno);
  // Raw from the start, as a Windows driver is, whatever mode the last user left behind; the
  // rate and framing stay until SetCommState. Built on the saved settings and set in one call.
  const TLineRecord Found = SavedRecord(D->Saved);
  TLineSettings Raw;
  Raw.Tio = TermiosFromRecord(Found);
  MakeRaw(Raw.Tio);
  Raw.Rate = Found.Rate;
  Raw.CustomRate = Found.CustomRate;
  D->Line = RecordFromSettings(Raw);
  if (int Error = SetLine(Fd, D->Line)) return Refuse(Error);
  D->HasCounters = !D->PseudoTerminal && ReadLineCounters(Fd, D->Counters);
  TLock L(FLock);
  const THandle H = NewHandle();
  FDevices[H] = D;
  return H;
}

namespace {

// Output still queued gets the time it needs at the line's rate for as long as it drains, as a
// Windows driver lets it drain at its close; a line that does not move (CTS held low, XOFF
// received) is not waited for.
void LetOutputDrain(int Fd, uint32_t Rate) {
  int Queued = 0;
  if (::ioctl(Fd, TIOCOUTQ, &Queued) != 0) return;
  while (Queued > 0) {
    const uint64_t Ms = static_cast<uint64_t>(Queued) * 10 * 1000 / std::max<uint32_t>(Rate, 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(std::clamp<uint64_t>(Ms + 5, 10, 1000)));
    int Left = 0;
    if (::ioctl(Fd, TIOCOUTQ, &Left) != 0 || Left >= Queued) return;
    Queued = Left;
  }
}

}  // namespace

void TPosixComOS::CloseDescriptor(TDeviceObject& D) {
  HandBackDevice(D);
  if (D.Fd < 0) return;
  ::close(D.Fd);
  D.Fd = -1;
}

void TPosixComOS::HandBackDevice(TDeviceObject& D) {
  if (D.Fd < 0) return;
  if (D.Saved.Valid) {
    if (!D.OutputFlushed) {
      if (!D.PseudoTerminal) LetOutputDrain(D.Fd, D.Rate);
      ::tcflush(D.Fd, TCOFLUSH);
    }
    RestoreLine(D.Fd, D.Saved);
  }
  // Exclusivity is a flag on the tty, not on our descriptor: clear it, or the next opener
  // (of a tty someone else still holds) would be refused.
  if (D.Exclusive) ::ioctl(D.Fd, TIOCNXCL);
}

bool TPosixComOS::CloseHandle(THandle Handle) {
  // Declared before the lock: a closed event's descriptor closes after the lock is released.
  std::shared_ptr<TEventFd> ClosedEvent;
  PDevice D;
  {
    TLock L(FLock);
    if (FEvents.Remove(Handle)) {
      auto It = FEventFds.find(Handle);
      ClosedEvent = std::move(It->second);
      FEventFds.erase(It);
      return true;
    }
    D = Device(Handle);
    if (!D) return Fail(EBADF);
    FDevices.erase(Handle);
    D->Closed = true;
    TComCompletion Wait;
    D->Events.Close(Wait);
    Complete(Wait);
    std::vector<TComCompletion> Ended;
    D->Transfers.AbortReads(D->Buffer, Ended);
    D->Transfers.AbortWrites(Ended);
    Complete(Ended);
    // Whoever polls the descriptor is woken by now (its wait ended, or the transfer thread by
    // this kick) and must be out before it closes: a descriptor closed under a poll may be
    // reused by the process and polled by mistake.
    if (FTransfersStarted) KickTransfers();
    StopWatcher(L, *D);
  }
  // The device's own clean-up does not need the pollers out (they leave a closed device
  // alone), so it runs while they wake: a closing thread seldom has to wait for them.
  HandBackDevice(*D);
  {
    TLock L(FLock);
    FDeviceQuiet.wait(L, [&] { return D->Pollers == 0; });
  }
  ::close(D->Fd);
  D->Fd = -1;
  return true;
}

// --- Configuration ----------------------------------------------------------------------------

bool TPosixComOS::SetupComm(THandle Handle, uint32_t InQueue, uint32_t) {
  // The kernel's output buffer has a fixed size; only the input size is ours to choose.
  TLock L(FLock);
  auto D = Device(Handle);
  if (!D) return Fail(EBADF);
  if (!D->Usable()) return Fail(static_cast<int>(D->Events.VanishError()));
  if (InQueue) D->InSize = std::clamp<uint32_t>(InQueue, 16, kMaxInputSize);
  return true;
}

bool TPosixComOS::SetCommState(THandle Handle, const TDCB& DCB) {
  TLock L(FLock);
  auto D = Device(Handle);
  if (!D) return Fail(EBADF);
  if (!D->Usable()) return Fail(static_cast<int>(D->Events.VanishError()));
  TLineSettings S;
  if (int Error = DcbToLineSettings(DCB, TermiosFromRecord(D->Line), S)) return Fail(Error);
  // One call for everything, the rate included: two would pass the line through a setting
  // nobody asked for (38400 before a custom rate), garble bytes in flight, and leave it there
  // when the second failed.
  const TLineRecord Record = RecordFromSettings(S);
  if (int Error = SetLine(D->Fd, Record)) return Fail(Error);
  D->Line = Record;
  // The lines: a driver without them (a pseudo-terminal) refuses these; that is not a failure.
  auto Line = [&](int Bit, bool On) {
    if (D->PseudoTerminal || ::ioctl(D->Fd, On ? TIOCMBIS : TIOCMBIC, &Bit) == 0) return 0;
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
  if (!D->Usable()) return Fail(static_cast<int>(D->Events.VanishError()));
  D->Timeouts = Timeouts;
  return true;
}

// --- Transfers --------------------------------------------------------------------------------

PDevice TPosixComOS::StartTransfer(THandle Handle, const void* Buffer, uint32_t Count,
                                   TOverlapped& Record) {
  PDevice D = Device(Handle);
  if (!D) return Fail(EBADF), nullptr;
  if (Count > 0 && !Buffer) return Fail(EINVAL), nullptr;
  FEvents.Reset(Record.hEvent);
  StartRecord(Record);
  if (!D->Usable()) {
    // Accepted and ended at once, as Windows ends a transfer on a removed device.
    const uint32_t Error = D->Events.VanishError();
    Complete(TComCompletion{&Record, Error, 0, true});
    return Fail(static_cast<int>(Error)), nullptr;
  }
  return D;
}

bool TPosixComOS::ReadFile(THandle Handle, void* Buffer, uint32_t Count, uint32_t* Read,
                           TOverlapped* Overlapped) {
  if (Read) *Read = 0;
  if (!Overlapped) {
    return Blocking(Handle, Read, [&](TOverlapped* Record) {
      return ReadFile(Handle, Buffer, Count, nullptr, Record);
    });
  }
  TLock L(FLock);
  const PDevice D = StartTransfer(Handle, Buffer, Count, *Overlapped);
  if (!D) return false;
  // What the kernel holds counts as waiting; counted bytes already in the buffer are not
  // drained for, which would only end in EAGAIN. Each drain takes about what the reads lack:
  // bytes drained beyond it would be moved to the buffer's front when the read takes its own.
  bool KernelMayHoldMore =
      D->Buffer.size() < Count && Drain(*D, D->Transfers.ReadsLack() + Count - D->Buffer.size());
  TComCompletion Done;
  if (D->Transfers.StartRead(Overlapped, static_cast<char*>(Buffer), Count,
                             PlanRead(D->Timeouts, Count), D->Buffer, TClock::now(), Done)) {
    Complete(Done);
  } else {
    // A read larger than the buffer takes it in passes while the kernel has more.
    while (KernelMayHoldMore && Overlapped->Internal == kRecordPending)
      KernelMayHoldMore = Drain(*D, D->Transfers.ReadsLack());
  }
  if (Overlapped->Internal == kRecordPending) {
    KickTransfers();
    return Fail(ERROR_IO_PENDING_);
  }
  if (Overlapped->Internal != 0) return Fail(static_cast<int>(Overlapped->Internal));
  if (Read) *Read = static_cast<uint32_t>(Overlapped->InternalHigh);
  return true;
}

bool TPosixComOS::WriteFile(THandle Handle, const void* Buffer, uint32_t Count, uint32_t* Written,
                            TOverlapped* Overlapped) {
  if (Written) *Written = 0;
  if (!Overlapped) {
    return Blocking(Handle, Written, [&](TOverlapped* Record) {
      return WriteFile(Handle, Buffer, Count, nullptr, Record);
    });
  }
  TLock L(FLock);
  const PDevice D = StartTransfer(Handle, Buffer, Count, *Overlapped);
  if (!D) return false;
  bool Refused = false;
  const TTransferQueue::TSink Sink = [&](const char* Bytes, size_t N, uint32_t& Error) {
    return Send(*D, Bytes, N, Error, Refused);
  };
  TComCompletion Done;
  if (!D->Transfers.StartWrite(Overlapped, static_cast<const char*>(Buffer), Count,
                               PlanWrite(D->Timeouts, Count), Sink, TClock::now(), Done)) {
    KickTransfers();
    return Fail(ERROR_IO_PENDING_);
  }
  Complete(Done);
  if (Refused) {
    MarkVanished(*D, static_cast<int>(Done.Status));
    return Fail(static_cast<int>(Done.Status));
  }
  WatchTxEmpty(*D);
  if (Written) *Written = Done.Count;
  return true;
}

bool TPosixComOS::GetOverlappedResult(THandle Handle, TOverlapped* Overlapped,
                                      uint32_t* Transferred, bool Wait) {
  if (Transferred) *Transferred = 0;
  if (!Overlapped) return Fail(EINVAL);
  TLock L(FLock);
  if (Overlapped->Internal == kRecordPending) {
    // Only a running operation needs its device; a finished record answers by itself, as
    // Win32's does, also after the handle has closed.
    if (!Device(Handle)) return Fail(EBADF);
    if (!Wait) return Fail(EINPROGRESS);
    L.unlock();
    if (WaitForSingleObject(Overlapped->hEvent, INFINITE_) == WAIT_FAILED_) return false;
    L.lock();
  }
  if (Overlapped->Internal != 0) return Fail(static_cast<int>(Overlapped->Internal));
  if (Transferred) *Transferred = static_cast<uint32_t>(Overlapped->InternalHigh);
  return true;
}

bool TPosixComOS::HasOverlappedIoCompleted_(const TOverlapped* Overlapped) {
  TLock L(FLock);
  return Overlapped->Internal != kRecordPending;
}

bool TPosixComOS::PurgeComm(THandle Handle, uint32_t Flags) {
  TLock L(FLock);
  auto D = Device(Handle);
  if (!D) return Fail(EBADF);
  if (Flags & ~uint32_t{PURGE_TXABORT_ | PURGE_RXABORT_ | PURGE_TXCLEAR_ | PURGE_RXCLEAR_}) {
    return Fail(EINVAL);
  }
  if (!D->Usable()) return Fail(static_cast<int>(D->Events.VanishError()));
  std::vector<TComCompletion> Ended;
  if (Flags & PURGE_TXABORT_) D->Transfers.AbortWrites(Ended);
  if (Flags & PURGE_RXABORT_) D->Transfers.AbortReads(D->Buffer, Ended);
  Complete(Ended);
  // What the kernel still holds to send belongs to writes that Windows would still count as
  // pending, so aborting them discards it too; left there it would hold the close behind a
  // stalled line.
  // One flush for both directions where both need one.
  const bool Out = (Flags & (PURGE_TXABORT_ | PURGE_TXCLEAR_)) && !D->OutputFlushed;
  const bool In = Flags & PURGE_RXCLEAR_;
  if ((Out || In) && ::tcflush(D->Fd, Out && In ? TCIOFLUSH : Out ? TCOFLUSH : TCIFLUSH) != 0)
    return Fail(errno);
  if (Flags & (PURGE_TXABORT_ | PURGE_TXCLEAR_)) {
    D->TxPending = false;
    D->OutputFlushed = true;
  }
  if (In) D->Buffer.clear();
  return true;
}

bool TPosixComOS::ClearCommError(THandle Handle, uint32_t* Errors, TComStat* Stat) {
  TLock L(FLock);
  auto D = Device(Handle);
  if (!D) return Fail(EBADF);
  // Right after a wake-up, the count is what its read found: bytes the kernel still holds wake
  // the next wait at once, and reading on here would wait in the kernel for each refill of
  // the line discipline. A full buffer gets no further wake-up, so its count adds what the
  // kernel holds. Only the first count is spared, so a caller that counts in a loop still
  // sees every byte that arrives.
  const bool Full = D->CountFresh ? D->Buffer.size() >= D->Room() : Drain(*D);
  D->CountFresh = false;
  CheckCounters(*D);
  uint32_t Word = 0;
  if (const uint32_t Error = D->Events.TakeErrors(Word)) return Fail(static_cast<int>(Error));
  if (Errors) *Errors = Word;
  if (Stat) {
    *Stat = TComStat{};
    if (!D->Usable()) return true;  // the report of a vanished device's loss: nothing queued
    // The kernel's counts cost an ioctl each and are usually known: a drain that was not
    // stopped by a full buffer has left nothing behind, and with no write since the output
    // queue was last seen empty there is nothing queued.
    int InKernel = 0, OutKernel = 0;
    if (Full && ::ioctl(D->Fd, FIONREAD, &InKernel) != 0) InKernel = 0;
    if (D->TxPending) OutKernel = OutputQueued(*D);
    // Seen empty while nobody watches for EV_TXEMPTY: later counts need not ask again.
    if (D->TxPending && OutKernel <= 0 && !(D->Events.Mask() & EV_TXEMPTY_) &&
        !D->Transfers.WritesPending()) {
      D->TxPending = false;
    }
    Stat->cbInQue = static_cast<uint32_t>(D->Buffer.size() + std::max(InKernel, 0));
    Stat->cbOutQue = static_cast<uint32_t>(D->Transfers.QueuedBytes() +
                                           static_cast<size_t>(std::max(OutKernel, 0)));
  }
  return true;
}

bool TPosixComOS::GetCommModemStatus(THandle Handle, uint32_t* ModemStat) {
  TLock L(FLock);
  auto D = Device(Handle);
  if (!D) return Fail(EBADF);
  if (!D->Usable()) return Fail(static_cast<int>(D->Events.VanishError()));
  int Lines = 0;
  if (!D->PseudoTerminal && ::ioctl(D->Fd, TIOCMGET, &Lines) != 0) {
    // A driver without modem lines: all off.
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

}  // namespace posix

TComOS& TComOS::Default() {
  // Never destroyed: ports held in statics may still close their devices during exit.
  static posix::TPosixComOS* OS = [] {
    auto* Layer = new posix::TPosixComOS;
    // A fork while another thread holds the layer's lock would leave the child's copy locked
    // for good; the lock is taken around the fork, and the child forgets the threads it lacks.
    static posix::TPosixComOS* Forking = Layer;
    ::pthread_atfork([] { Forking->LockForFork(); }, [] { Forking->UnlockAfterFork(false); },
                     [] { Forking->UnlockAfterFork(true); });
    return Layer;
  }();
  return *OS;
}

std::string SysErrorMessage(uint32_t Error) {
  char Buf[256];
  // The GNU strerror_r returns its text (possibly a static one), not a status.
  return ::strerror_r(static_cast<int>(Error), Buf, sizeof Buf);
}

}  // namespace comfind
