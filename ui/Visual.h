// The main window's behaviour, free of any toolkit: the port list, the log of the exchange with
// the instrument, the result line and the search action, with the start-up, search, completion
// and device-change handlers. It keeps the window's state and shows it through a view
// (TVisualView): the Qt window on Linux and the Win32 window on Windows are two views of it,
// and the tests drive it through a fake one.
//
// Everything here runs on the main thread. The form catches no exception of its own: the views
// hand what escapes a handler to the main loop's default exception report (Guarded), which the
// programs route to ShowException, a message box.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "framework/Classes.h"
#include "framework/MainLoop.h"
#include "port/ComEnum.h"
#include "search/ParallelFind.h"
#include "search/ProbeReport.h"
#include "search/dmCom.h"

namespace comfind {

// Fills a list with port names, sorted as they are to be shown; leaves it untouched when the
// system's list cannot be read (ListComPorts is one).
using TPortListSource = std::function<void(TStrings&)>;
// Fills a list with what the system says of each port, as ListComPortDetails does (false, list
// untouched, when it cannot be read).
using TPortDetailsSource = std::function<bool(std::vector<TComPortDetails>&)>;

// The controls whose state the form sets. actFind stands for everything that triggers it (the
// button and the menu item).
enum TVisualControl : uint8_t { vcFind, vcChooseCom };

// The window's options, each a checkable item of the menu "Параметры", off at start:
//   voParallel  the search opens and probes every listed port at once (TParallelFind);
//   voProbeNew  a port that appears while the window is open is probed at once, alone, and
//               selected when it answers.
enum TVisualOption : uint8_t { voParallel, voProbeNew };

// What the form needs of a window. Texts are code page 1251; a view converts them once, at its
// toolkit's edge. The form calls these only with a changed state or new lines, never to poll.
class TVisualView {
 public:
  virtual ~TVisualView() = default;
  // cbChooseCom: replaces the items and selects Index (-1: nothing).
  virtual void ShowComboItems(const std::vector<std::string>& Items, int Index) = 0;
  virtual void ShowComboIndex(int Index) = 0;
  // memHistory: one line added at the end, or the whole log shown anew.
  virtual void AppendLogLine(const std::string& Line) = 0;
  virtual void ShowLog(const std::vector<std::string>& Lines) = 0;
  // lbRez.
  virtual void ShowRezCaption(const std::string& Text) = 0;
  virtual void ShowEnabled(TVisualControl Control, bool Enabled) = 0;
  // A message box over the window (the default exception report).
  virtual void ShowMessage(const std::string& Text) = 0;
  // The detail line of cbChooseCom (also its tooltip): what the system says of the selected
  // port and how its last probe ended; empty when there is nothing to say.
  virtual void ShowComboDetail(const std::string& Text) = 0;
  // The check mark of an option's menu item.
  virtual void ShowChecked(TVisualOption Option, bool Checked) = 0;
};

class TfmVisual : public TComponent {
 public:
  // Dm must outlive the form, View the form's last call into it (the form's destructor makes
  // none). Nothing is shown until FormCreate.
  // ListDetails: ListComPortDetails when not given.
  TfmVisual(TdmCom& Dm, TVisualView& View, TPortListSource ListPorts = nullptr,
            TPortDetailsSource ListDetails = nullptr);
  ~TfmVisual() override;
  std::string ClassName() const override { return "TfmVisual"; }

  // The creation handler: lists the ports, selects the first, sets the enabling. The view runs
  // it once its controls exist.
  void FormCreate(TObject* Sender);
  // The handler of actFind. Views call ExecuteFind, which runs it only while actFind is enabled,
  // as a disabled action never executes.
  void actFindExecute(TObject* Sender);
  void ExecuteFind();
  // The search's completion handler.
  void FindDone(TFindResult Result, uint8_t Index);
  // The WM_DEVICECHANGE handler: rebuilds the port list on event code 7 alone.
  void HandleDeviceChange(TMessage& Message);
  // From the view: the user selected item Index of cbChooseCom (-1: none).
  void cbChooseComChange(int Index);
  // From the view: the user checked or cleared an option's menu item.
  void SetOption(TVisualOption Option, bool Value);
  // The default exception report: a message box with the exception's text.
  void ShowException(std::exception_ptr E);

  // After FindDone has shown the result of a search (for the programs and the tests).
  TNotifyEvent OnSearchDone;

  // The window's state, as the view shows it.
  const std::vector<std::string>& ComboItems() const { return FItems; }
  int ComboIndex() const { return FItemIndex; }
  // The text of the selected item; empty when nothing is selected.
  std::string ComboText() const;
  bool Enabled(TVisualControl Control) const;
  const std::string& RezCaption() const { return FRezCaption; }
  const std::string& ComboDetail() const { return FComboDetail; }
  bool Option(TVisualOption Option) const { return FOptions[Option]; }
  // The lines of memHistory: the log the search appends to.
  TStrings& HistoryLines() { return FHistory; }

  // The text an escaped exception is reported with (code page 1251).
  static std::string ExceptionMessage(std::exception_ptr E);

  // The searches the options start: every listed port at once (voParallel), and the probe of
  // ports that appear (voProbeNew).
  TParallelFind& ParallelFind() { return FParallel; }
  TParallelFind& NewPortProbe() { return FNewPortProbe; }

 private:
  void SetRezCaption(const std::string& Text);
  void SetItems(std::vector<std::string> Items, int Index);
  void SetItemIndex(int Index);
  void SetEnabled(TVisualControl Control, bool Value);
  // The one enabling rule: the search and the port box are enabled exactly when ports are listed.
  void UpdateEnabled();
  void HistoryChanged();
  // Shows the detail line of the selected port when it has changed.
  void UpdateDetail();
  void ReadDetails();
  void PortDone(const TProbeReport& Report);
  // Probes ports that appeared, alone; later when a search or another such probe runs.
  void ProbeNewPorts(const std::vector<std::string>& Names);
  void NewPortDone(TFindResult Result, uint8_t Index, const std::vector<std::string>& Names);
  // Ends whatever search runs, so that a new one finds its ports free.
  void StopSearches();

  TdmCom& FDm;
  TVisualView& FView;
  TPortListSource FListPorts;
  TPortDetailsSource FListDetails;
  std::vector<std::string> FItems;
  int FItemIndex = -1;
  bool FFindEnabled = false;
  bool FComboEnabled = false;
  std::string FRezCaption;
  TStringList FHistory;
  size_t FShownLines = 0;
  bool FOptions[2] = {false, false};
  TParallelFind FParallel{nullptr};
  TParallelFind FNewPortProbe{nullptr};
  // The ports of the user's search, in the order it was given them (its index counts there).
  std::vector<std::string> FSearched;
  bool FSearching = false;
  // Ports that appeared while a search or a probe ran, to be probed when it is over.
  std::vector<std::string> FNewPorts;
  std::vector<TComPortDetails> FDetails;
  // How the last probe of each port ended, by the port's name.
  std::map<std::string, TProbeReport> FLastProbes;
  std::string FComboDetail;
  // Lets the completion handler given to a search find out whether the form still exists: a
  // search cut short by the end of the program must not call back into a destroyed form.
  std::shared_ptr<TfmVisual*> FSelf;
};

// Runs a handler that a toolkit calls; what escapes it goes to the main loop's default
// exception report, never through the toolkit's event loop.
void Guarded(const std::function<void()>& Handler);

}  // namespace comfind
