// The instrument search over every port at once. Each port is opened and probed at the same
// time, through a port object and a packet assembler of its own configured as the data
// module's port, and one wait serves them all: a rig of thirty adapters is searched in about
// the time of one. A port that cannot be opened costs nothing.
//
// The log gets the lines of the one-by-one search, each port's block (separator, name, probe,
// replies, verdict) written whole when its verdict is known, so it reads like a sequential log.
// The search ends the moment a port answers: the ports still waiting are closed and their
// blocks end with FindText::Stopped, then the answering port's block ends the log. With FindAll
// it waits for every port's verdict instead.
//
// Threads: everything runs on the main thread, as the data module's search does; replies come
// through the ports' window synchronisation, the wait through the main loop's timer.
// Errors: a port exception while a port is opened or probed is that port's verdict; every other
// exception leaves StartFind or the handler it was raised in.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "framework/Classes.h"
#include "framework/MainLoop.h"
#include "search/ProbeReport.h"
#include "search/dmCom.h"

namespace comfind {

class TCustomComPort;

class TParallelFind : public TComponent {
 public:
  explicit TParallelFind(TComponent* AOwner);
  // Closes every port still open, without logging (the log may be gone by now).
  ~TParallelFind() override;
  std::string ClassName() const override { return "TParallelFind"; }

  // Starts a search over Ports (copied; only the first TdmCom::MaxFindPorts names), each port
  // taking Settings' line settings, flow control, timeouts, buffer sizes, events,
  // synchronisation and operating-system layer. Returns once every probe has been written and
  // the shared wait runs, or after OnDone has run (no port could be opened, or one answered
  // while others were being opened). OnDone gets frFound with the index of the first port in
  // Ports that answered; otherwise the last port's own result (frOpenFailed or frNotFound)
  // with the last index. An empty list calls OnDone(frNotFound, 0) and logs nothing. A search
  // started while one runs stops that one first (Stop).
  void StartFind(const TStrings& Ports, TStrings& Log, TFindDoneEvent OnDone,
                 const TCustomComPort& Settings);
  // Ends a running search without calling its OnDone: the ports still waiting are closed and
  // their blocks logged, ending with FindText::Stopped. Nothing happens when none runs.
  void Stop();
  bool Running() const { return FRunning; }

  // Wait for every port's verdict instead of ending at the first answer.
  bool FindAll = false;
  // As the data module's: the command written (CR LF follows it) and the reply that counts.
  std::string ProbeCommand = "TRG0000000010000";
  std::string ExpectedReply = "OK";
  // The shared wait, in milliseconds from the moment the last probe has been written.
  uint32_t Timeout = 500;
  // Told of each port's outcome once its block is in the log.
  TProbeDoneEvent OnPortDone;

  // The indexes (in the searched list) of the ports that answered in the last search.
  std::vector<int> FoundIndexes() const;

  TTimer* tmrWait = nullptr;

 private:
  struct TProbe;
  enum TVerdict : uint8_t { vdFound, vdNotFound, vdOpenFailed, vdStopped };

  void OpenAndProbe(TProbe& P);
  void PacketReceived(TProbe& P, const std::string& Str);
  void tmrWaitTimer(TObject* Sender);
  // Ends one port: settles its outcome, closes it, logs its block and reports it.
  void FinishProbe(TProbe& P, TVerdict Verdict);
  // Marks a port done and fixes its time; no line of it is logged or judged afterwards.
  void Settle(TProbe& P);
  // Closes the ports still waiting and logs their blocks as stopped.
  void StopWaiting();
  void Complete();
  bool AnyWaiting() const;
  // Frees the probes of earlier searches once no delivery of theirs can be on the stack.
  void ReleaseRetired();

  std::vector<std::unique_ptr<TProbe>> FProbes;
  std::vector<std::unique_ptr<TProbe>> FRetired;
  TStrings* FLog = nullptr;
  TFindDoneEvent FOnFindDone;
  bool FRunning = false;
  bool FOpening = false;     // StartFind is still opening and probing the ports
  bool FEnding = false;      // the wait is over: lines are still logged, none is judged
  int FDepth = 0;            // handlers and openings in progress
  uint64_t FGeneration = 0;  // counts the searches started
};

}  // namespace comfind
