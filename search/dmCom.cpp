#include "search/dmCom.h"

#include "port/packet/ComDataPacket.h"

namespace comfind {

TdmCom::TdmCom(TComponent* AOwner) : TDataModule(AOwner) {
  SetName("dmCom");
  cpCheck = new TComPort(this);
  cpCheck->SetName("cpCheck");
  ComDataPack = new TComDataPacket(this);
  ComDataPack->SetName("ComDataPack");
  tmrFind = new TTimer(this);
  tmrFind->SetName("tmrFind");

  // The stored form: every component takes its values while loading, so no setter opens,
  // applies or resets anything, and only then hears Loaded().
  cpCheck->BeginLoading();
  ComDataPack->BeginLoading();
  tmrFind->BeginLoading();

  cpCheck->SetBaudRate(br19200);
  cpCheck->SetPort_("COM7");
  cpCheck->Parity().SetBits(prNone);
  cpCheck->SetStopBits(sbOneStopBit);
  cpCheck->SetDataBits(dbEight);
  cpCheck->SetEvents(TComEvents{evRxChar});
  cpCheck->FlowControl().SetOutCTSFlow(false);
  cpCheck->FlowControl().SetOutDSRFlow(false);
  cpCheck->FlowControl().SetControlDTR(dtrEnable);
  cpCheck->FlowControl().SetControlRTS(rtsDisable);
  cpCheck->FlowControl().SetXonXoffOut(false);
  cpCheck->FlowControl().SetXonXoffIn(false);
  cpCheck->Timeouts().SetReadInterval(5);
  cpCheck->Timeouts().SetReadTotalMultiplier(500);
  cpCheck->Timeouts().SetReadTotalConstant(25);
  cpCheck->SetStoredProps(TStoredProps{spBasic});
  cpCheck->SetTriggersOnRxChar(false);
  cpCheck->SetSyncMethod(smWindowSync);

  ComDataPack->SetComPort(cpCheck);
  ComDataPack->SetStopString("\r\n");

  tmrFind->SetEnabled(false);
  tmrFind->SetInterval(500);
  tmrFind->OnTimer = TNotifyEvent(this, &TdmCom::tmrFindTimer);

  cpCheck->Loaded();
  ComDataPack->Loaded();
  tmrFind->Loaded();
}

namespace {

// Close releases the device even when its purge fails (a device that vanished refuses it) and
// raises only afterwards. The port is closed either way, so that report must neither end the
// search in the middle of a list nor leave a destructor. A probe's report may learn from it
// that the device went away while the port waited.
void CloseReleased(TComPort& Port, TProbeReport* Report = nullptr) {
  try {
    Port.Close();
  } catch (const EComPort& E) {
    if (Report) NoteProbeFailure(*Report, Port.OS(), E, true);
  }
}

double MillisecondsSince(std::chrono::steady_clock::time_point Start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - Start)
      .count();
}

}  // namespace

TdmCom::~TdmCom() {
  // The timer must not tick into a half-destroyed module, and the port closes while the
  // assembler is still linked to it.
  tmrFind->SetEnabled(false);
  CloseReleased(*cpCheck);
}

void TdmCom::AddLog(const std::string& Line) {
  FLog->Add(Line);
}

void TdmCom::StartFind(const TStrings& Ports, TStrings& Log, TFindDoneEvent OnDone) {
  if (Ports.Count() == 0) {
    OnDone(frNotFound, 0);
    return;
  }
  // Rebinding the handler while it runs (a search started from the completion handler of a
  // search that an "OK" ended) would destroy the code that is executing; it is bound to the
  // same code then anyway.
  if (FPacketDepth == 0) ComDataPack->OnPacket = TComStrEvent(this, &TdmCom::ComDataPackFind);
  FOnFindDone = std::move(OnDone);
  // The index of the port being probed is one byte wide: a longer list is cut to the names it
  // can address, so every index the completion handler gets still names the caller's port.
  std::vector<std::string> Names = Ports.Items();
  if (Names.size() > static_cast<size_t>(MaxFindPorts)) Names.resize(MaxFindPorts);
  FFindPorts.SetItems(std::move(Names));
  FLog = &Log;
  FFindIndex = 0;
  // A search started while another runs: the running one's timer must not end the new first
  // port, and its port is closed here, where a failed close (a device that vanished fails the
  // purge) cannot escape, so that every open of the new search happens inside the probe's
  // guarded block and is judged as that port's.
  tmrFind->SetEnabled(false);
  CloseReleased(*cpCheck);
  ProbePort();
}

void TdmCom::ProbePort() {
  const std::string Name = FFindPorts[FFindIndex];
  FReport = TProbeReport();
  FReport.Index = FFindIndex;
  FReport.Port = Name;
  FProbeStart = std::chrono::steady_clock::now();
  AddLog(FindText::Separator);
  // The port is closed here (StartFind and FinishPort close it), so naming it opens nothing.
  cpCheck->SetPort_(Name);
  AddLog(Name);
  bool Failed = false;
  bool Opened = false;
  try {
    cpCheck->SetConnected(true);
    Opened = true;
    ComDataPack->ResetBuffer();
    AddLog(">" + ProbeCommand);
    cpCheck->WriteText(ProbeCommand + "\r\n");
    // The wait starts now that the write has completed. The timer may still run from a search
    // restarted during this one; stopping it first makes the 500 ms start afresh.
    tmrFind->SetEnabled(false);
    tmrFind->SetEnabled(true);
  } catch (const EComPort& E) {
    Failed = true;
    NoteProbeFailure(FReport, cpCheck->OS(), E, Opened);
  }
  if (Failed) FinishPort(frOpenFailed);
}

void TdmCom::ComDataPackFind(TObject*, const std::string& Str) {
  // A block can hold more lines than the one that ended the probe; they reach this handler after
  // FinishPort has closed the port. They belong to no probe: logging them would put them after
  // the verdict, and a second "OK" would complete the search twice.
  if (!cpCheck->Connected()) return;
  ++FPacketDepth;
  try {
    AddLog("<" + Str);
    FReport.Reply += Str + ComDataPack->StopString();
    if (UpperCaseAscii(Str) == UpperCaseAscii(ExpectedReply)) FinishPort(frFound);
  } catch (...) {
    --FPacketDepth;
    throw;
  }
  --FPacketDepth;
}

TProbeReport TdmCom::ProbeSoFar() const {
  TProbeReport Report = FReport;
  Report.Outcome = poStopped;
  Report.Milliseconds = MillisecondsSince(FProbeStart);
  Report.Reply += ComDataPack->Buffer();
  return Report;
}

void TdmCom::tmrFindTimer(TObject*) {
  FinishPort(frNotFound);
}

void TdmCom::FinishPort(TFindResult Result) {
  tmrFind->SetEnabled(false);
  FReport.Milliseconds = MillisecondsSince(FProbeStart);
  if (Result == frFound) {
    FReport.Outcome = poAnswered;
  } else if (Result == frNotFound) {
    FReport.Outcome = poSilent;
    // A line the wait ended in the middle of; the assembler drops it at the next reset.
    FReport.Reply += ComDataPack->Buffer();
  }
  // A silent port whose close fails has vanished while it waited; the other verdicts stand.
  CloseReleased(*cpCheck, Result == frNotFound ? &FReport : nullptr);
  switch (Result) {
    case frFound:
      AddLog(FindText::FoundOn + FFindPorts[FFindIndex]);
      break;
    case frOpenFailed:
      AddLog(FindText::OpenFailed);
      break;
    case frNotFound:
      AddLog(FindText::NotFoundOn + FFindPorts[FFindIndex]);
      break;
  }
  if (OnPortDone) {
    // Copies: the handler may start the next search, which replaces both.
    const TProbeDoneEvent PortDone = OnPortDone;
    const TProbeReport Report = FReport;
    PortDone(Report);
  }
  if (Result != frFound && FFindIndex < FFindPorts.Count() - 1) {
    ++FFindIndex;
    ProbePort();
    return;
  }
  // The handler may start the next search, which replaces FOnFindDone while it runs.
  const TFindDoneEvent Done = FOnFindDone;
  Done(Result, FFindIndex);
}

}  // namespace comfind
