// The main loop's idle sleep in the serial layer's wait (ComIdleWait.h).
#include "port/ComIdleWait.h"

#include <algorithm>
#include <mutex>
#include <utility>

#include "port/ComThread.h"

namespace comfind {

namespace {

// WaitForMultipleObjects takes at most 64 handles on Windows; one is the wake-up event.
constexpr size_t kMaxServed = 63;

std::mutex& RegistryLock() {
  static std::mutex* const Lock = new std::mutex;
  return *Lock;
}

// The layers whose ports the loop serves. The platform's idle wait is never destroyed (like
// the layer itself), so that ports closing during the process's exit still find it.
struct TRegistry {
  std::shared_ptr<TComIdleWait> Platform;
  std::vector<std::pair<TComOS*, std::weak_ptr<TComIdleWait>>> Attached;
};
TRegistry& Registry() {
  static TRegistry* const R = new TRegistry;
  return *R;
}

}  // namespace

std::shared_ptr<TComIdleWait> TComIdleWait::For(TComOS& OS) {
  std::lock_guard<std::mutex> Lock(RegistryLock());
  TRegistry& R = Registry();
  if (&OS == &TComOS::Default()) {
    if (!R.Platform) R.Platform = std::make_shared<TComIdleWait>(OS);
    return R.Platform->Install() ? R.Platform : nullptr;
  }
  // An earlier one out of service may still be held by a port: the one in service counts.
  for (auto& [Layer, Wait] : R.Attached)
    if (Layer == &OS)
      if (auto W = Wait.lock(); W && W->FInstalled) return W;
  return nullptr;
}

std::shared_ptr<TComIdleWait> TComIdleWait::Attach(TComOS& OS) {
  std::lock_guard<std::mutex> Lock(RegistryLock());
  auto W = std::make_shared<TComIdleWait>(OS);
  if (!W->Install()) return nullptr;
  auto& Attached = Registry().Attached;
  Attached.erase(std::remove_if(Attached.begin(), Attached.end(),
                                [](const auto& A) { return A.second.expired(); }),
                 Attached.end());
  Attached.emplace_back(&OS, W);
  // The loop holds the idle wait as well, so the caller's hold is a separate one whose end
  // takes it out of the loop; ports that still hold it find it out of service.
  return std::shared_ptr<TComIdleWait>(W.get(), [W](TComIdleWait*) { W->Uninstall(); });
}

TComIdleWait::TComIdleWait(TComOS& OS) : FOS(OS) {}

TComIdleWait::~TComIdleWait() {
  // Every lent wait holds its idle wait: none is left by now.
  TMainLoop::Instance().RemoveIdleWait(this);
  CloseWakeEvent();
}

bool TComIdleWait::Install() {
  if (!FInstalled) FInstalled = TMainLoop::Instance().InstallIdleWait(shared_from_this());
  return FInstalled;
}

bool TComIdleWait::OpenWakeEvent() {
  std::lock_guard<std::mutex> Lock(FWakeLock);
  if (FWakeEvent) return true;
  // Auto-reset: the wait that wakes on it takes the signal with it.
  const THandle Event = FOS.CreateEventA(false, false);
  if (Event == 0 || Event == INVALID_HANDLE_VALUE_) return false;
  FWakeEvent = Event;
  return true;
}

void TComIdleWait::CloseWakeEvent() {
  std::lock_guard<std::mutex> Lock(FWakeLock);
  if (!FWakeEvent) return;
  FOS.CloseHandle(FWakeEvent);
  FWakeEvent = 0;
}

bool TComIdleWait::CanServe() const {
  return FInstalled && !FExternal && FEntries.size() < kMaxServed &&
         TMainLoop::Instance().SelfDriven() && TMainLoop::Instance().IsMainThread();
}

bool TComIdleWait::Lend(TComThread& Thread) {
  if (!CanServe() || !OpenWakeEvent()) return false;
  auto E = std::make_shared<TEntry>();
  E->Thread = &Thread;
  FEntries.push_back(std::move(E));
  return true;
}

void TComIdleWait::Reclaim(TComThread& Thread) {
  for (auto It = FEntries.begin(); It != FEntries.end(); ++It) {
    if ((*It)->Thread != &Thread) continue;
    (*It)->Gone = true;
    FEntries.erase(It);
    if (FEntries.empty()) CloseWakeEvent();
    return;
  }
}

void TComIdleWait::Wake() {
  FWoken = true;
  if (!FPolling) return;
  std::lock_guard<std::mutex> Lock(FWakeLock);
  if (FWakeEvent) FOS.SetEvent(FWakeEvent);
}

void TComIdleWait::Handover(bool External) {
  if (!TMainLoop::Instance().IsMainThread()) {
    // The list is the main thread's; the new loop runs the post.
    TMainLoop::Instance().Post([W = shared_from_this(), External] { W->Handover(External); });
    return;
  }
  FExternal = External;
  // Another loop drives the main thread from now on and never sleeps here: the threads wait
  // for their devices themselves again.
  if (External) HandBackAll();
}

void TComIdleWait::HandBackAll() {
  const std::vector<PEntry> Entries = FEntries;
  for (const PEntry& E : Entries)
    if (!E->Gone) E->Thread->HandBack();
}

bool TComIdleWait::Sleep(std::chrono::steady_clock::time_point Until, bool UseUntil) {
  if (FEntries.empty()) return false;
  uint32_t Ms = INFINITE_;
  if (UseUntil) {
    const auto Left =
        std::chrono::ceil<std::chrono::milliseconds>(Until - std::chrono::steady_clock::now());
    Ms = static_cast<uint32_t>(std::clamp<int64_t>(Left.count(), 0, INFINITE_ - 1));
  }
  // The records first, from the one after the last served: a wait that ends on several gives
  // the lowest index, and a device that is always ready must not starve the others. The
  // wake-up comes last: queued work is served after each delivery anyway.
  std::vector<THandle> Handles;
  std::vector<PEntry> Listed;
  Handles.reserve(FEntries.size() + 1);
  Listed.reserve(FEntries.size());
  for (const PEntry& E : FEntries) {
    if (E->Busy) continue;
    Handles.push_back(E->Thread->LentEvent());
    Listed.push_back(E);
  }
  Handles.push_back(FWakeEvent);
  FPolling = true;
  if (FWoken.exchange(false)) Ms = 0;
  const uint32_t R =
      FOS.WaitForMultipleObjects(static_cast<uint32_t>(Handles.size()), Handles.data(), Ms);
  FPolling = false;
  FWoken = false;
  if (R == WAIT_FAILED_) {
    DropFailing();
    return true;
  }
  if (R >= WAIT_OBJECT_0_ && R - WAIT_OBJECT_0_ < Listed.size()) Serve(Listed[R - WAIT_OBJECT_0_]);
  return true;
}

void TComIdleWait::Serve(const PEntry& E) {
  // To the end of the list: the others come first next time.
  auto It = std::find(FEntries.begin(), FEntries.end(), E);
  if (It == FEntries.end()) return;
  std::rotate(It, It + 1, FEntries.end());
  E->Busy = true;
  E->Thread->ServeLent(*E);
  if (!E->Gone) E->Busy = false;
}

void TComIdleWait::DropFailing() {
  const std::vector<PEntry> Entries = FEntries;
  bool Found = false;
  for (const PEntry& E : Entries) {
    if (E->Gone) continue;
    if (FOS.WaitForSingleObject(E->Thread->LentEvent(), 0) != WAIT_FAILED_) continue;
    Found = true;
    E->Thread->EndLentWait();
  }
  if (Found) return;
  // The wake-up event itself fails: nothing can be waited for here any more.
  Uninstall();
}

void TComIdleWait::Uninstall() {
  // The loop sleeps on its own again, and the threads wait for their devices themselves.
  HandBackAll();
  TMainLoop::Instance().RemoveIdleWait(this);
  FInstalled = false;
}

}  // namespace comfind
