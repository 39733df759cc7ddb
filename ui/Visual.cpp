#include "ui/Visual.h"

#include <algorithm>

#include "port/ComEnum.h"
#include "ui/DeviceNotice.h"
#include "ui/VisualText.h"

namespace comfind {

namespace {

// Why a port's last probe ended as it did, for the detail line.
std::string ProbeText(const TProbeReport& Report) {
  switch (Report.Outcome) {
    case poAnswered:
      return VisualText::Answered;
    case poSilent:
      return VisualText::Silent;
    case poBusy:
      return VisualText::Busy;
    case poDenied:
      return VisualText::Denied;
    case poMissing:
      return VisualText::Missing;
    case poVanished:
      return VisualText::Vanished;
    case poError:
      return VisualText::Error + Report.ErrorMessage;
    case poStopped:
      return VisualText::Stopped;
  }
  return {};
}

}  // namespace

TfmVisual::TfmVisual(TdmCom& Dm, TVisualView& View, TPortListSource ListPorts,
                     TPortDetailsSource ListDetails)
    : TComponent(nullptr),
      FDm(Dm),
      FView(View),
      FListPorts(std::move(ListPorts)),
      FListDetails(std::move(ListDetails)),
      FRezCaption(VisualText::Ready),
      FSelf(std::make_shared<TfmVisual*>(this)) {
  SetName("fmVisual");
  if (!FListPorts) FListPorts = [](TStrings& List) { ListComPorts(List); };
  if (!FListDetails)
    FListDetails = [](std::vector<TComPortDetails>& List) { return ListComPortDetails(List); };
  FHistory.OnChange = [this](TObject*) { HistoryChanged(); };
  for (TParallelFind* Search : {&FParallel, &FNewPortProbe})
    Search->OnPortDone = TProbeDoneEvent(this, &TfmVisual::PortDone);
  FDm.OnPortDone = TProbeDoneEvent(this, &TfmVisual::PortDone);
}

TfmVisual::~TfmVisual() {
  *FSelf = nullptr;
  FHistory.OnChange = nullptr;
  // The data module outlives the form; its search must not report to it any more.
  FDm.OnPortDone = nullptr;
  FParallel.OnPortDone = nullptr;
  FNewPortProbe.OnPortDone = nullptr;
}

void TfmVisual::FormCreate(TObject*) {
  TStringList Ports;
  FListPorts(Ports);
  ReadDetails();
  SetItems(Ports.Items(), Ports.Count() > 0 ? 0 : -1);
  FView.ShowRezCaption(FRezCaption);
  for (TVisualOption O : {voParallel, voProbeNew})
    FView.ShowChecked(O, FOptions[O]);
  UpdateEnabled();
}

void TfmVisual::actFindExecute(TObject*) {
  // Before the search's first line: a probe of a new port cut short logs its block here.
  StopSearches();
  FNewPorts.clear();  // the search goes over every listed port, the new ones too
  SetRezCaption(FindText::Searching);
  FHistory.Add(FindText::Searching);
  SetEnabled(vcFind, false);
  FSearched = FItems;
  FSearching = true;
  TStringList Ports;
  Ports.SetItems(FItems);
  std::weak_ptr<TfmVisual*> Self = FSelf;
  TFindDoneEvent Done([Self](TFindResult Result, uint8_t Index) {
    if (auto Form = Self.lock(); Form && *Form) (*Form)->FindDone(Result, Index);
  });
  if (FOptions[voParallel])
    FParallel.StartFind(Ports, FHistory, Done, *FDm.cpCheck);
  else
    FDm.StartFind(Ports, FHistory, Done);
}

void TfmVisual::StopSearches() {
  // A probe of a new port holds that port; the search is about to open every port.
  FNewPortProbe.Stop();
  FParallel.Stop();
  // The one-by-one search has no stop of its own: a search started over it closes its port
  // first, and the search over every port at once needs that port closed as well.
  if (FOptions[voParallel] && FDm.cpCheck->Connected()) {
    FDm.tmrFind->SetEnabled(false);
    try {
      FDm.cpCheck->Close();
    } catch (const EComPort&) {
      // The port is released even when its purge fails (a device that went away).
    }
  }
}

void TfmVisual::ExecuteFind() {
  if (FFindEnabled) actFindExecute(this);
}

void TfmVisual::FindDone(TFindResult Result, uint8_t Index) {
  if (Result == frFound) {
    // The index counts in the list the search was given. A device change during the search
    // may have rebuilt the list since, so the port is looked up by its name; with the list
    // unchanged this is item Index itself.
    const std::vector<std::string>& Searched = FSearched;
    int Item = Index;
    std::string Name;
    if (Index < Searched.size()) {
      Name = Searched[Index];
      const auto It = std::find(FItems.begin(), FItems.end(), Name);
      Item = It == FItems.end() ? -1 : static_cast<int>(It - FItems.begin());
    }
    if (Item >= 0 && Item < static_cast<int>(FItems.size())) {
      SetItemIndex(Item);
      Name = ComboText();
    }
    SetRezCaption(std::string(FindText::FoundOn) + Name);
  } else {
    SetRezCaption(FindText::NotFound);
    FHistory.Add(FindText::NotFound);
  }
  // The search ends ready for the next one only where a port is left to search: a device
  // change during the search may have emptied the list.
  UpdateEnabled();
  FSearching = false;
  OnSearchDone(this);
  // Ports that appeared during the search are probed now, when their blocks no longer fall
  // between the lines of another port's.
  if (!FNewPorts.empty()) ProbeNewPorts({});
}

void TfmVisual::HandleDeviceChange(TMessage& Message) {
  if (Message.WParam != DBT_DEVNODES_CHANGED_) return;
  const std::vector<std::string> OldList = FItems;
  const std::string OldSelection = ComboText();

  TStringList NewList;
  FListPorts(NewList);
  std::vector<std::string> Items = NewList.Items();
  ReadDetails();
  std::vector<std::string> Appeared;
  for (const std::string& Name : Items)
    if (std::find(OldList.begin(), OldList.end(), Name) == OldList.end()) Appeared.push_back(Name);

  const auto Kept = std::find(Items.begin(), Items.end(), OldSelection);
  int Index;
  bool Removed = false;
  if (!OldSelection.empty() && Kept != Items.end()) {
    Index = static_cast<int>(Kept - Items.begin());
  } else {
    Index = Items.empty() ? -1 : 0;
    Removed = !OldSelection.empty();
  }
  if (!Items.empty()) {
    // A port that has just appeared takes the selection, even from the user's port.
    for (size_t I = 0; I < Items.size(); ++I) {
      if (std::find(OldList.begin(), OldList.end(), Items[I]) == OldList.end()) {
        Index = static_cast<int>(I);
        break;
      }
    }
  }
  SetItems(std::move(Items), Index);
  if (Removed) {
    FHistory.Add(VisualText::PortRemoved);
    SetRezCaption(VisualText::PortRemoved);
  }
  UpdateEnabled();
  if (FOptions[voProbeNew] && !Appeared.empty()) ProbeNewPorts(Appeared);
}

void TfmVisual::cbChooseComChange(int Index) {
  FItemIndex = Index >= 0 && Index < static_cast<int>(FItems.size()) ? Index : -1;
  UpdateDetail();
}

void TfmVisual::SetOption(TVisualOption Option, bool Value) {
  if (FOptions[Option] == Value) return;
  FOptions[Option] = Value;
  FView.ShowChecked(Option, Value);
  // Ports waiting for their probe wait no longer once nobody wants them probed.
  if (Option == voProbeNew && !Value) FNewPorts.clear();
}

void TfmVisual::ProbeNewPorts(const std::vector<std::string>& Names) {
  for (const std::string& Name : Names)
    if (std::find(FNewPorts.begin(), FNewPorts.end(), Name) == FNewPorts.end())
      FNewPorts.push_back(Name);
  if (FSearching || FNewPortProbe.Running()) return;
  // Only those still listed: a port may have gone again while it waited.
  std::vector<std::string> Probe;
  for (const std::string& Name : FNewPorts)
    if (std::find(FItems.begin(), FItems.end(), Name) != FItems.end()) Probe.push_back(Name);
  FNewPorts.clear();
  if (Probe.empty()) return;
  TStringList Ports;
  Ports.SetItems(Probe);
  std::weak_ptr<TfmVisual*> Self = FSelf;
  FNewPortProbe.StartFind(Ports, FHistory,
                          TFindDoneEvent([Self, Probe](TFindResult Result, uint8_t Index) {
                            if (auto Form = Self.lock(); Form && *Form)
                              (*Form)->NewPortDone(Result, Index, Probe);
                          }),
                          *FDm.cpCheck);
}

void TfmVisual::NewPortDone(TFindResult Result, uint8_t Index,
                            const std::vector<std::string>& Names) {
  // A port that stays silent is only logged: the result line keeps the user's last search.
  if (Result == frFound && Index < Names.size()) {
    const auto It = std::find(FItems.begin(), FItems.end(), Names[Index]);
    if (It != FItems.end()) {
      SetItemIndex(static_cast<int>(It - FItems.begin()));
      SetRezCaption(std::string(FindText::FoundOn) + Names[Index]);
    }
  }
  if (!FNewPorts.empty()) ProbeNewPorts({});
}

void TfmVisual::PortDone(const TProbeReport& Report) {
  FLastProbes[Report.Port] = Report;
  UpdateDetail();
}

void TfmVisual::ReadDetails() {
  std::vector<TComPortDetails> Details;
  if (FListDetails(Details)) FDetails = std::move(Details);
}

void TfmVisual::UpdateDetail() {
  std::string Text;
  if (FItemIndex >= 0 && FItemIndex < static_cast<int>(FItems.size())) {
    const std::string& Name = FItems[FItemIndex];
    const TComPortDetails D = FindComPortDetails(FDetails, Name);
    std::vector<std::string> Parts;
    if (!D.Description.empty()) Parts.push_back(D.Description);
    if (!D.Manufacturer.empty() && D.Manufacturer != D.Description) Parts.push_back(D.Manufacturer);
    if (!D.SerialNumber.empty()) Parts.push_back(VisualText::SerialNumber + D.SerialNumber);
    if (!D.ByIdPath.empty()) Parts.push_back(D.ByIdPath);
    if (D.Console) Parts.push_back(VisualText::Console);
    if (const auto It = FLastProbes.find(Name); It != FLastProbes.end())
      Parts.push_back(VisualText::LastProbe + ProbeText(It->second));
    for (const std::string& Part : Parts)
      Text += (Text.empty() ? "" : "; ") + Part;
  }
  if (Text == FComboDetail) return;
  FComboDetail = Text;
  FView.ShowComboDetail(Text);
}

void TfmVisual::ShowException(std::exception_ptr E) {
  FView.ShowMessage(ExceptionMessage(E));
}

std::string TfmVisual::ComboText() const {
  return FItemIndex < 0 ? std::string() : FItems[FItemIndex];
}

bool TfmVisual::Enabled(TVisualControl Control) const {
  return Control == vcFind ? FFindEnabled : FComboEnabled;
}

std::string TfmVisual::ExceptionMessage(std::exception_ptr E) {
  try {
    std::rethrow_exception(E);
  } catch (const Exception& Ex) {
    return Ex.Message();
  } catch (const std::exception& Ex) {
    return Ex.what();
  } catch (...) {
    return "Unknown exception";
  }
}

void TfmVisual::SetRezCaption(const std::string& Text) {
  FRezCaption = Text;
  FView.ShowRezCaption(Text);
}

void TfmVisual::SetItems(std::vector<std::string> Items, int Index) {
  FItems = std::move(Items);
  FItemIndex = Index;
  FView.ShowComboItems(FItems, FItemIndex);
  UpdateDetail();
}

void TfmVisual::SetItemIndex(int Index) {
  if (Index == FItemIndex) return;
  FItemIndex = Index;
  FView.ShowComboIndex(Index);
  UpdateDetail();
}

void TfmVisual::SetEnabled(TVisualControl Control, bool Value) {
  bool& Field = Control == vcFind ? FFindEnabled : FComboEnabled;
  Field = Value;
  FView.ShowEnabled(Control, Value);
}

void TfmVisual::UpdateEnabled() {
  SetEnabled(vcFind, !FItems.empty());
  SetEnabled(vcChooseCom, FFindEnabled);
}

// A log left open all day holds thousands of lines: each new one goes to the view on its own,
// and only a change other than an append shows the whole log again.
void TfmVisual::HistoryChanged() {
  if (FHistory.LastChangeAppended() && static_cast<size_t>(FHistory.Count()) == FShownLines + 1)
    FView.AppendLogLine(FHistory[FHistory.Count() - 1]);
  else
    FView.ShowLog(FHistory.Items());
  FShownLines = static_cast<size_t>(FHistory.Count());
}

void Guarded(const std::function<void()>& Handler) {
  try {
    Handler();
  } catch (...) {
    TMainLoop::Instance().HandleException(nullptr, std::current_exception());
  }
}

}  // namespace comfind
