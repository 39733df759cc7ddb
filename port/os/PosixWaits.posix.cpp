// Event objects and waits in the POSIX layer: events are eventfds mirrored from the event
// table, the comm-event wait follows the shared core, and a thread that waits for the record of
// a pending comm wait sleeps in poll on the device itself, draining what arrives.
#include <poll.h>
#include <unistd.h>

#include <algorithm>

#include "port/os/PosixComOS.h"

namespace comfind {

namespace posix {

THandle TPosixComOS::CreateEventA(bool ManualReset, bool InitialState) {
  auto E = std::make_shared<TEventFd>();
  TLock L(FLock);
  const THandle H = NewHandle();
  FEventFds[H] = std::move(E);
  FEvents.Add(H, ManualReset, InitialState);
  return H;
}

bool TPosixComOS::SetEvent(THandle Event) {
  TLock L(FLock);
  return FEvents.Set(Event) ? true : Fail(EBADF);
}

bool TPosixComOS::ResetEvent(THandle Event) {
  TLock L(FLock);
  return FEvents.Reset(Event) ? true : Fail(EBADF);
}

bool TPosixComOS::SetCommMask(THandle Handle, uint32_t EvtMask) {
  TLock L(FLock);
  auto D = Device(Handle);
  if (!D) return Fail(EBADF);
  const bool TxWatched = D->Events.Mask() & EV_TXEMPTY_;
  TComCompletion Ended;
  if (const uint32_t Error = D->Events.SetMask(EvtMask, Ended))
    return Fail(static_cast<int>(Error));
  Complete(Ended);
  if (!TxWatched && (EvtMask & EV_TXEMPTY_)) ForgetDrainedOutput(*D);
  if (EvtMask & (EV_CTS_ | EV_DSR_ | EV_RLSD_ | EV_RING_)) {
    StartWatcher(D);
  } else {
    StopWatcher(L, *D);
  }
  WatchTxEmpty(*D);
  return true;
}

bool TPosixComOS::WaitCommEvent(THandle Handle, uint32_t* EvtMask, TOverlapped* Overlapped) {
  if (!Overlapped) {
    return Blocking(Handle, nullptr,
                    [&](TOverlapped* Record) { return WaitCommEvent(Handle, EvtMask, Record); });
  }
  TLock L(FLock);
  auto D = Device(Handle);
  if (!D) return Fail(EBADF);
  // Bytes that arrived since the last drain are not looked for here: they keep the device
  // readable, so the wait's first poll finds them at once, and a drain here would mostly end
  // in EAGAIN, one system call per wait for nothing.
  WatchTxEmpty(*D);
  TComCompletion Done;
  const uint32_t Result = D->Events.Wait(EvtMask, Overlapped, Done);
  if (TComEventCore::Accepted(Result, Done)) {
    FEvents.Reset(Overlapped->hEvent);
    StartRecord(*Overlapped);
  }
  Complete(Done);
  return Result == 0 ? true : Fail(static_cast<int>(Result));
}

uint32_t TPosixComOS::WaitForMultipleObjects(uint32_t Count, const THandle* Handles,
                                             uint32_t Milliseconds) {
  if (Count == 0 || !Handles) return Fail(EINVAL), WAIT_FAILED_;
  const TClock::time_point Until = Milliseconds == INFINITE_
                                       ? kNoDeadline
                                       : TClock::now() + std::chrono::milliseconds(Milliseconds);
  // Declared before the lock, so that an event closed while this thread polls its descriptor
  // has the descriptor closed here, after the lock is released.
  std::vector<std::shared_ptr<TEventFd>> Held;
  TLock L(FLock);
  const auto Failing = [&](THandle Event) -> uint32_t {
    for (const auto& [H, D] : FDevices) {
      if (const uint32_t Error = D->Events.FailingWait(Event)) return Error;
    }
    return 0;
  };
  bool LookedOnce = false;
  std::vector<pollfd> Fds;
  std::vector<PDevice> Polled;
  for (;;) {
    // Lowest index first: a stop event ahead of a completed wait wins, as on Windows.
    const auto Look = FEvents.Look(Count, Handles, Failing);
    switch (Look.Kind) {
      case TEventTable::TLook::kSignalled:
        return WAIT_OBJECT_0_ + Look.Index;
      case TEventTable::TLook::kFailed:
        return Fail(static_cast<int>(Look.Error)), WAIT_FAILED_;
      case TEventTable::TLook::kUnknownHandle:
        return Fail(EBADF), WAIT_FAILED_;
      case TEventTable::TLook::kNothing:
        break;
    }
    Fds.clear();
    Polled.clear();
    for (uint32_t I = 0; I < Count; ++I) {
      const auto& E = FEventFds.at(Handles[I]);
      if (!E->Open()) return Fail(errno), WAIT_FAILED_;
      if (std::find(Held.begin(), Held.end(), E) == Held.end()) Held.push_back(E);
      Fds.push_back({E->Fd, POLLIN, 0});
      // The device whose comm wait completes this event is driven from here.
      for (auto& [H, D] : FDevices) {
        if (D->Usable() && D->Events.WaitEvent() == Handles[I] &&
            std::find(Polled.begin(), Polled.end(), D) == Polled.end()) {
          Polled.push_back(D);
        }
      }
    }
    const size_t FirstDevice = Fds.size();
    for (auto& D : Polled) {
      // A full buffer is not drained until the application reads: poll only for a hang-up.
      const short Want = D->Buffer.size() < D->Room() ? POLLIN : 0;
      Fds.push_back({D->Fd, Want, 0});
      ++D->Pollers;
    }
    const int TimeoutMs = PollTimeout(Until);
    // A deadline that has passed still gets one look at the devices, so a zero timeout sees
    // bytes that are already in the kernel.
    if (TimeoutMs == 0 && LookedOnce) {
      for (auto& D : Polled)
        PollerDone(*D);
      return WAIT_TIMEOUT_;
    }
    LookedOnce = TimeoutMs == 0;
    for (auto& E : Held)
      E->BeforePoll();
    L.unlock();
    const int R = ::poll(Fds.data(), Fds.size(), TimeoutMs);
    const int PollError = errno;
    L.lock();
    for (auto& E : Held)
      --E->Pollers;
    for (size_t I = 0; I < Polled.size(); ++I) {
      TDeviceObject& D = *Polled[I];
      PollerDone(D);
      const short Got = Fds[FirstDevice + I].revents;
      if (!Got || !D.Usable()) continue;
      if (Got & (POLLHUP | POLLERR | POLLNVAL)) {
        // The bytes that came before a hang-up are all taken before the device goes.
        Drain(D);
        MarkVanished(D, EIO);
        continue;
      }
      DrainOnce(D);
      // The count that follows this wake-up (the port's at EV_RXCHAR) is what the read found;
      // bytes the kernel still holds wake the next wait at once.
      D.CountFresh = true;
    }
    if (R < 0 && PollError != EINTR) return Fail(PollError), WAIT_FAILED_;
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

}  // namespace posix

}  // namespace comfind
