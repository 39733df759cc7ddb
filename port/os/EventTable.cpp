#include "port/os/EventTable.h"

#include <utility>

namespace comfind {

TEventTable::TEventTable(TOnChange OnChange) : FOnChange(std::move(OnChange)) {}

void TEventTable::Change(THandle Event, TEvent& E, bool Signalled) {
  if (E.Signalled == Signalled) return;
  E.Signalled = Signalled;
  if (FOnChange) FOnChange(Event, Signalled);
}

void TEventTable::Add(THandle Event, bool ManualReset, bool InitialState) {
  TEvent& E = FEvents[Event];
  E = TEvent{ManualReset, false};
  if (InitialState) Change(Event, E, true);
}

bool TEventTable::Remove(THandle Event) {
  return FEvents.erase(Event) != 0;
}

bool TEventTable::Set(THandle Event) {
  auto It = FEvents.find(Event);
  if (It == FEvents.end()) return false;
  Change(Event, It->second, true);
  return true;
}

bool TEventTable::Reset(THandle Event) {
  auto It = FEvents.find(Event);
  if (It == FEvents.end()) return false;
  Change(Event, It->second, false);
  return true;
}

bool TEventTable::Signalled(THandle Event) const {
  auto It = FEvents.find(Event);
  return It != FEvents.end() && It->second.Signalled;
}

TEventTable::TLook TEventTable::Look(uint32_t Count, const THandle* Handles,
                                     const std::function<uint32_t(THandle)>& Failing) {
  TLook Result;
  for (uint32_t I = 0; I < Count; ++I) {
    if (!Contains(Handles[I])) {
      Result.Kind = TLook::kUnknownHandle;
      return Result;
    }
  }
  for (uint32_t I = 0; I < Count; ++I) {
    TEvent& E = FEvents[Handles[I]];
    if (E.Signalled) {
      if (!E.ManualReset) Change(Handles[I], E, false);
      Result.Kind = TLook::kSignalled;
      Result.Index = I;
      return Result;
    }
    if (const uint32_t Error = Failing ? Failing(Handles[I]) : 0) {
      Result.Kind = TLook::kFailed;
      Result.Error = Error;
      return Result;
    }
  }
  return Result;
}

}  // namespace comfind
