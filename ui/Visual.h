// The main window: the port list, the log of the exchange with the instrument, the result in
// large type and the actions that start a search and end the program. It lists the ports
// through a list source (the machine's ports by default, the demo ports, or a test's list),
// starts searches on the data module and follows device changes (HandleDeviceChange).
//
// Everything here runs on the main thread. The window catches no exception of its own: one
// that escapes a handler goes to the main loop's default exception report.
#pragma once

#include <QMainWindow>
#include <QPointer>
#include <functional>
#include <string>

#include "framework/Classes.h"
#include "framework/MainLoop.h"
#include "search/dmCom.h"

class QAction;
class QComboBox;
class QGroupBox;
class QLabel;
class QMenu;
class QMenuBar;
class QPlainTextEdit;
class QPushButton;

namespace comfind {

class TAlignPanel;
class TImageBox;

// Fills a list with port names, sorted as they are to be shown; leaves it untouched when the
// system's list cannot be read (ListComPorts is one).
using TPortListSource = std::function<void(TStrings&)>;

class TfmVisual : public QMainWindow {
  Q_OBJECT

 public:
  // Creates the window and its controls and runs FormCreate. Dm must outlive the window.
  explicit TfmVisual(TdmCom& Dm, TPortListSource ListPorts = nullptr, QWidget* Parent = nullptr);
  ~TfmVisual() override;

  // Controls, named as designed.
  QPlainTextEdit* memHistory;
  TAlignPanel* pnlManagement;
  QPushButton* butFind;
  TAlignPanel* Panel1;
  QPushButton* butExit;
  QGroupBox* GroupBox1;
  QComboBox* cbChooseCom;
  TAlignPanel* pnlResult;
  TAlignPanel* pnlLogo;
  QPlainTextEdit* memInfo;
  TImageBox* imgLogo;
  QLabel* lbRez;
  // Actions (alMain) and the menu (MainMenu: N1 holding Action11, N2, N3).
  QAction* actFind;
  QAction* actFileExit;
  QMenuBar* MainMenu;
  QMenu* N1;
  QAction* Action11;
  QAction* N2;
  QAction* N3;

  // The lines of memHistory: the log the search appends to.
  TStrings& HistoryLines() { return FHistory; }
  // The caption of lbRez and the items of cbChooseCom, as code page 1251 text.
  const std::string& RezCaption() const { return FRezCaption; }
  void ComboItems(TStrings& Items) const;
  std::string ComboText() const;

  void FormCreate(QObject* Sender);
  void actFindExecute(QObject* Sender);
  void FindDone(TFindResult Result, uint8_t Index);
  // The WM_DEVICECHANGE handler: rebuilds the port list on event code 7 alone.
  void HandleDeviceChange(TMessage& Message);

 signals:
  // After FindDone has shown the result of a search.
  void SearchFinished();

 protected:
  void keyPressEvent(QKeyEvent* Event) override;

 private:
  void CreateControls();
  void SetRezCaption(const std::string& Text);
  void FillCombo(const TStrings& Items);
  int ComboIndexOf(const std::string& Name) const;
  void UpdateEnabled();
  void ShowHistory();
  // Runs a handler that Qt calls; what escapes it goes to the default exception report,
  // never through Qt's event loop.
  void Guarded(const std::function<void()>& Handler);

  TdmCom& FDm;
  TPortListSource FListPorts;
  TStringList FHistory;
  std::vector<std::string> FShown;
  std::string FRezCaption;
};

}  // namespace comfind
