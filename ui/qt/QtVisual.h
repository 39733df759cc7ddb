// The main window on Qt 6 Widgets: the controls of the form laid out as designed, showing the
// state of the form's logic (TfmVisual) and handing it the user's actions and the device-change
// notices.
//
// Everything here runs on the main thread.
#pragma once

#include <QMainWindow>
#include <memory>

#include "ui/Visual.h"

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

class TQtVisual : public QMainWindow, public TVisualView {
  Q_OBJECT

 public:
  // Creates the window and its controls and runs the form's FormCreate. Dm must outlive the
  // window.
  explicit TQtVisual(TdmCom& Dm, TPortListSource ListPorts = nullptr, QWidget* Parent = nullptr,
                     TPortDetailsSource ListDetails = nullptr);
  ~TQtVisual() override;

  TfmVisual& Form() { return *FForm; }

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
  // The menu "Параметры" with the options' checkable items, and the port box's detail line.
  QMenu* mnuOptions;
  QAction* actParallel;
  QAction* actProbeNew;
  QLabel* lbPortDetail;

  // TVisualView
  void ShowComboItems(const std::vector<std::string>& Items, int Index) override;
  void ShowComboIndex(int Index) override;
  void AppendLogLine(const std::string& Line) override;
  void ShowLog(const std::vector<std::string>& Lines) override;
  void ShowRezCaption(const std::string& Text) override;
  void ShowEnabled(TVisualControl Control, bool Enabled) override;
  void ShowMessage(const std::string& Text) override;
  void ShowComboDetail(const std::string& Text) override;
  void ShowChecked(TVisualOption Option, bool Checked) override;

 signals:
  // After the form has shown the result of a search.
  void SearchFinished();

 protected:
  void keyPressEvent(QKeyEvent* Event) override;
  bool eventFilter(QObject* Watched, QEvent* Event) override;

 private:
  void CreateControls();
  void PlacePortDetail();
  void ScrollHistoryToEnd();

  std::unique_ptr<TfmVisual> FForm;
  // Set while the form sets the port box, whose own signals are then no user's choice.
  bool FShowingCombo = false;
};

}  // namespace comfind
