// The event objects of a layer that emulates Win32's (POSIX, the simulated device): manual- or
// auto-reset events, signalled or not, and the rule by which a wait for any of several handles
// picks one. Pure bookkeeping: it takes no lock (the layer holds its own around every call),
// never waits (the layer sleeps its own way: poll on eventfds, a condition variable) and owns
// no descriptor. Handle numbers are the layer's; the table only remembers them.
#pragma once

#include <cstdint>
#include <functional>
#include <map>

#include "port/os/ComOS.h"

namespace comfind {

class TEventTable {
 public:
  // Told of every change of an event's state (not of a SetEvent that finds it set already),
  // so that the layer can mirror the state where its waiters sleep.
  using TOnChange = std::function<void(THandle Event, bool Signalled)>;
  explicit TEventTable(TOnChange OnChange = {});

  // A new event under a number the layer chose. An initially signalled event reports the
  // change like any SetEvent.
  void Add(THandle Event, bool ManualReset, bool InitialState);
  // False when the handle is no event of the table.
  bool Remove(THandle Event);
  bool Contains(THandle Event) const { return FEvents.count(Event) != 0; }
  bool Set(THandle Event);
  bool Reset(THandle Event);
  bool Signalled(THandle Event) const;
  size_t Size() const { return FEvents.size(); }

  // One look of a wait for any of Handles, as WaitForMultipleObjects takes it.
  struct TLook {
    enum TKind { kSignalled, kFailed, kNothing, kUnknownHandle } Kind = kNothing;
    uint32_t Index = 0;  // kSignalled: the handle's index
    uint32_t Error = 0;  // kFailed: the error number the wait fails with
  };
  // Every handle must be an event of the table (else kUnknownHandle, and nothing is taken).
  // Then the handles are looked at lowest index first: a signalled one wins (an auto-reset
  // event is reset by being taken); one that Failing gives an error number for (the event of
  // a comm wait whose device vanished) ends the wait with that error.
  TLook Look(uint32_t Count, const THandle* Handles,
             const std::function<uint32_t(THandle)>& Failing = {});

 private:
  struct TEvent {
    bool ManualReset = false;
    bool Signalled = false;
  };
  void Change(THandle Event, TEvent& E, bool Signalled);

  TOnChange FOnChange;
  std::map<THandle, TEvent> FEvents;
};

}  // namespace comfind
