#include "search/ParallelFind.h"

#include <algorithm>

#include "port/CPort.h"
#include "port/packet/ComDataPacket.h"

namespace comfind {

struct TParallelFind::TProbe {
  enum TState : uint8_t { psIdle, psWaiting, psDone };
  int Index = 0;
  std::string Name;
  // The assembler is declared after the port so that it goes first: it unlinks itself from a
  // port that still exists.
  std::unique_ptr<TComPort> Port;
  std::unique_ptr<TComDataPacket> Pack;
  TState State = psIdle;
  bool Opened = false;
  bool OpenFailed = false;  // the port could not be opened or the probe not written
  std::vector<std::string> Block;
  TProbeReport Report;
  std::chrono::steady_clock::time_point Start;
};

namespace {

// The settings of the application's port, for a port of the same search: everything that
// decides how the line runs, nothing of its identity or its handlers.
void CopyPortSettings(const TCustomComPort& From, TCustomComPort& To) {
  To.SetOS(&From.OS());
  To.SetBaudRate(From.BaudRate());
  To.SetCustomBaudRate(From.CustomBaudRate());
  To.SetStopBits(From.StopBits());
  To.SetDataBits(From.DataBits());
  To.SetDiscardNull(From.DiscardNull());
  To.SetEventChar(From.EventChar());
  To.SetEvents(From.Events());
  To.SetBuffer(From.Buffer());
  To.SetParity(From.Parity());
  To.SetTimeouts(From.Timeouts());
  To.SetFlowControl(From.FlowControl());
  To.SetSyncMethod(From.SyncMethod());
  // The source reads false while its own assembler is linked; the copy gets its assembler
  // linked next, which needs the flag off as well.
  To.SetTriggersOnRxChar(false);
  To.SetCodePage(From.CodePage());
}

// As the data module's: a close that fails has still released the port, and the failure only
// tells a waiting port's report that its device went away.
void CloseReleased(TComPort& Port, TProbeReport* Report) {
  try {
    Port.Close();
  } catch (const EComPort& E) {
    if (Report) NoteProbeFailure(*Report, Port.OS(), E, true);
  }
}

}  // namespace

TParallelFind::TParallelFind(TComponent* AOwner) : TComponent(AOwner) {
  tmrWait = new TTimer(this);
  tmrWait->SetName("tmrWait");
  tmrWait->SetEnabled(false);
  tmrWait->OnTimer = TNotifyEvent(this, &TParallelFind::tmrWaitTimer);
}

TParallelFind::~TParallelFind() {
  tmrWait->SetEnabled(false);
  for (auto* List : {&FProbes, &FRetired})
    for (auto& P : *List)
      CloseReleased(*P->Port, nullptr);
}

std::vector<int> TParallelFind::FoundIndexes() const {
  std::vector<int> Found;
  for (const auto& P : FProbes)
    if (P->State == TProbe::psDone && P->Report.Outcome == poAnswered) Found.push_back(P->Index);
  return Found;
}

bool TParallelFind::AnyWaiting() const {
  return std::any_of(FProbes.begin(), FProbes.end(),
                     [](const auto& P) { return P->State == TProbe::psWaiting; });
}

void TParallelFind::ReleaseRetired() {
  if (FDepth == 0) FRetired.clear();
}

void TParallelFind::StartFind(const TStrings& Ports, TStrings& Log, TFindDoneEvent OnDone,
                              const TCustomComPort& Settings) {
  Stop();
  // The probes of the last search may be the ones whose delivery is calling us (a search
  // started from the completion handler): they are freed once that delivery has returned.
  for (auto& P : FProbes)
    FRetired.push_back(std::move(P));
  FProbes.clear();
  ReleaseRetired();
  if (Ports.Count() == 0) {
    OnDone(frNotFound, 0);
    return;
  }
  FLog = &Log;
  FOnFindDone = std::move(OnDone);
  FEnding = false;

  const int Count = std::min(Ports.Count(), TdmCom::MaxFindPorts);
  for (int I = 0; I < Count; ++I) {
    auto P = std::make_unique<TProbe>();
    P->Index = I;
    P->Name = Ports[I];
    P->Report.Index = I;
    P->Report.Port = P->Name;
    P->Port = std::make_unique<TComPort>(nullptr);
    CopyPortSettings(Settings, *P->Port);
    P->Port->SetPort_(P->Name);
    P->Pack = std::make_unique<TComDataPacket>(nullptr);
    P->Pack->SetComPort(P->Port.get());
    P->Pack->SetStopString("\r\n");
    TProbe* Raw = P.get();
    P->Pack->OnPacket = [this, Raw](TObject*, const std::string& Str) {
      PacketReceived(*Raw, Str);
    };
    FProbes.push_back(std::move(P));
  }

  const uint64_t Generation = ++FGeneration;
  FRunning = true;
  FOpening = true;
  {
    // Closing a port whose probe failed serves the other ports' deliveries, and a completion
    // handler run from one of them may start the next search: the probes in hand must then
    // outlive this loop, and the loop must not go on over the new search's list.
    ++FDepth;
    TScopeExit Leave([this] {
      --FDepth;
      ReleaseRetired();
    });
    for (size_t I = 0; I < FProbes.size(); ++I) {
      // An answer served that way may also have ended this search; the ports not yet opened
      // are then never probed, as in a sequential search the ports after the one that answered.
      if (Generation != FGeneration || !FRunning || FEnding) break;
      OpenAndProbe(*FProbes[I]);
    }
  }
  if (Generation != FGeneration) return;
  FOpening = false;
  if (!FRunning || FEnding) return;
  if (AnyWaiting()) {
    tmrWait->SetInterval(Timeout);
    tmrWait->SetEnabled(true);
  } else {
    Complete();
  }
}

void TParallelFind::OpenAndProbe(TProbe& P) {
  P.Start = std::chrono::steady_clock::now();
  P.Block = {FindText::Separator, P.Name};
  bool Failed = false;
  try {
    P.Port->Open();
    P.Opened = true;
    P.Pack->ResetBuffer();
    P.Block.push_back(">" + ProbeCommand);
    P.State = TProbe::psWaiting;
    P.Port->WriteText(ProbeCommand + "\r\n");
  } catch (const EComPort& E) {
    Failed = true;
    NoteProbeFailure(P.Report, P.Port->OS(), E, P.Opened);
  }
  if (Failed) {
    P.OpenFailed = true;
    FinishProbe(P, vdOpenFailed);
  }
}

void TParallelFind::PacketReceived(TProbe& P, const std::string& Str) {
  // Lines that come after the port's verdict (the rest of the block that held the answer, or
  // a delivery served while the port was being closed) belong to no probe.
  if (P.State != TProbe::psWaiting) return;
  ++FDepth;
  TScopeExit Leave([this] {
    --FDepth;
    ReleaseRetired();
  });
  P.Block.push_back("<" + Str);
  P.Report.Reply += Str + P.Pack->StopString();
  if (FEnding || UpperCaseAscii(Str) != UpperCaseAscii(ExpectedReply)) return;
  if (FindAll) {
    FinishProbe(P, vdFound);
    // While ports are still being opened, StartFind completes the search once they all are.
    if (!FOpening && !AnyWaiting()) Complete();
    return;
  }
  // The search is over: the ports still waiting are closed first, so that the answering
  // port's block ends the log as its verdict ends a sequential search.
  FEnding = true;
  tmrWait->SetEnabled(false);
  Settle(P);
  StopWaiting();
  FinishProbe(P, vdFound);
  Complete();
}

void TParallelFind::tmrWaitTimer(TObject*) {
  ++FDepth;
  TScopeExit Leave([this] {
    --FDepth;
    ReleaseRetired();
  });
  tmrWait->SetEnabled(false);
  // Closing one port serves the deliveries of the others: from here on their lines are logged,
  // as they came, but the wait they answer has ended.
  FEnding = true;
  for (auto& P : FProbes)
    if (P->State == TProbe::psWaiting) FinishProbe(*P, vdNotFound);
  Complete();
}

void TParallelFind::Settle(TProbe& P) {
  if (P.State == TProbe::psDone) return;
  P.State = TProbe::psDone;
  P.Report.Milliseconds =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - P.Start).count();
}

void TParallelFind::FinishProbe(TProbe& P, TVerdict Verdict) {
  Settle(P);
  TProbeReport* CloseNotes = nullptr;
  switch (Verdict) {
    case vdFound:
      P.Report.Outcome = poAnswered;
      break;
    case vdNotFound:
    case vdStopped:
      P.Report.Outcome = Verdict == vdNotFound ? poSilent : poStopped;
      P.Report.Reply += P.Pack->Buffer();
      // A waiting port whose close fails lost its device while it waited.
      CloseNotes = &P.Report;
      break;
    case vdOpenFailed:
      break;  // the failure is noted already
  }
  CloseReleased(*P.Port, CloseNotes);
  switch (Verdict) {
    case vdFound:
      P.Block.push_back(FindText::FoundOn + P.Name);
      break;
    case vdNotFound:
      P.Block.push_back(FindText::NotFoundOn + P.Name);
      break;
    case vdOpenFailed:
      P.Block.push_back(FindText::OpenFailed);
      break;
    case vdStopped:
      P.Block.push_back(FindText::Stopped + P.Name);
      break;
  }
  for (const std::string& Line : P.Block)
    FLog->Add(Line);
  if (OnPortDone) {
    const TProbeDoneEvent PortDone = OnPortDone;
    const TProbeReport Report = P.Report;
    PortDone(Report);
  }
}

void TParallelFind::StopWaiting() {
  for (auto& P : FProbes)
    if (P->State == TProbe::psWaiting) FinishProbe(*P, vdStopped);
}

void TParallelFind::Stop() {
  if (!FRunning) return;
  FEnding = true;
  tmrWait->SetEnabled(false);
  StopWaiting();
  FRunning = false;
}

void TParallelFind::Complete() {
  if (!FRunning) return;
  FRunning = false;
  tmrWait->SetEnabled(false);
  TFindResult Result = frNotFound;
  int Index = static_cast<int>(FProbes.size()) - 1;
  const std::vector<int> Found = FoundIndexes();
  if (!Found.empty()) {
    Result = frFound;
    Index = Found.front();
  } else if (FProbes.back()->OpenFailed) {
    Result = frOpenFailed;
  }
  // The handler may start the next search, which replaces the handler while it runs.
  const TFindDoneEvent Done = FOnFindDone;
  Done(Result, static_cast<uint8_t>(Index));
}

}  // namespace comfind
