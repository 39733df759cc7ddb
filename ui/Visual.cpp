#include "ui/Visual.h"

#include <algorithm>

#include "port/ComEnum.h"
#include "ui/DeviceNotice.h"
#include "ui/VisualText.h"

namespace comfind {

TfmVisual::TfmVisual(TdmCom& Dm, TVisualView& View, TPortListSource ListPorts)
    : TComponent(nullptr),
      FDm(Dm),
      FView(View),
      FListPorts(std::move(ListPorts)),
      FRezCaption(VisualText::Ready),
      FSelf(std::make_shared<TfmVisual*>(this)) {
  SetName("fmVisual");
  if (!FListPorts) FListPorts = [](TStrings& List) { ListComPorts(List); };
  FHistory.OnChange = [this](TObject*) { HistoryChanged(); };
}

TfmVisual::~TfmVisual() {
  *FSelf = nullptr;
  FHistory.OnChange = nullptr;
}

void TfmVisual::FormCreate(TObject*) {
  TStringList Ports;
  FListPorts(Ports);
  SetItems(Ports.Items(), Ports.Count() > 0 ? 0 : -1);
  FView.ShowRezCaption(FRezCaption);
  UpdateEnabled();
}

void TfmVisual::actFindExecute(TObject*) {
  SetRezCaption(FindText::Searching);
  FHistory.Add(FindText::Searching);
  SetEnabled(vcFind, false);
  TStringList Ports;
  Ports.SetItems(FItems);
  std::weak_ptr<TfmVisual*> Self = FSelf;
  FDm.StartFind(Ports, FHistory, TFindDoneEvent([Self](TFindResult Result, uint8_t Index) {
                  if (auto Form = Self.lock(); Form && *Form) (*Form)->FindDone(Result, Index);
                }));
}

void TfmVisual::ExecuteFind() {
  if (FFindEnabled) actFindExecute(this);
}

void TfmVisual::FindDone(TFindResult Result, uint8_t Index) {
  if (Result == frFound) {
    // The index counts in the list the search was given. A device change during the search
    // may have rebuilt the list since, so the port is looked up by its name; with the list
    // unchanged this is item Index itself.
    const TStrings& Searched = FDm.FindPorts();
    int Item = Index;
    std::string Name;
    if (Index < Searched.Count()) {
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
  OnSearchDone(this);
}

void TfmVisual::HandleDeviceChange(TMessage& Message) {
  if (Message.WParam != DBT_DEVNODES_CHANGED_) return;
  const std::vector<std::string> OldList = FItems;
  const std::string OldSelection = ComboText();

  TStringList NewList;
  FListPorts(NewList);
  std::vector<std::string> Items = NewList.Items();

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
}

void TfmVisual::cbChooseComChange(int Index) {
  FItemIndex = Index >= 0 && Index < static_cast<int>(FItems.size()) ? Index : -1;
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
}

void TfmVisual::SetItemIndex(int Index) {
  if (Index == FItemIndex) return;
  FItemIndex = Index;
  FView.ShowComboIndex(Index);
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
