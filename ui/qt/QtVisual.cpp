#include "ui/qt/QtVisual.h"

#include <QAction>
#include <QComboBox>
#include <QCoreApplication>
#include <QEvent>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalBlocker>
#include <algorithm>
#include <utility>

#include "ui/VisualText.h"
#include "ui/qt/AlignPanel.h"
#include "ui/qt/ImageBox.h"
#include "ui/qt/Logo.h"

namespace comfind {

namespace {

QString Ui(const std::string& Cp1251) {
  return QString::fromStdString(Cp1251ToUtf8(Cp1251));
}

// Windows' faces first; where they are missing, the nearest metric-compatible sans serif.
QFont DesignFont(QStringList Families, int PixelHeight) {
  Families << QStringLiteral("Liberation Sans") << QStringLiteral("Arimo")
           << QStringLiteral("DejaVu Sans");
  QFont Font;
  Font.setFamilies(Families);
  Font.setPixelSize(PixelHeight);
  return Font;
}

// A button that shows an action: its caption, hint and enabled state, and triggers it.
void BindButton(QPushButton* Button, QAction* Action) {
  auto Sync = [Button, Action] {
    Button->setText(Action->text());
    Button->setToolTip(Action->toolTip() == Action->iconText() ? QString() : Action->toolTip());
    Button->setStatusTip(Action->statusTip());
    Button->setEnabled(Action->isEnabled());
  };
  Sync();
  QObject::connect(Action, &QAction::changed, Button, Sync);
  QObject::connect(Button, &QPushButton::clicked, Action, &QAction::trigger);
}

}  // namespace

TQtVisual::TQtVisual(TdmCom& Dm, TPortListSource ListPorts, QWidget* Parent,
                     TPortDetailsSource ListDetails)
    : QMainWindow(Parent) {
  CreateControls();
  FForm = std::make_unique<TfmVisual>(Dm, *this, std::move(ListPorts), std::move(ListDetails));
  FForm->OnSearchDone = [this](TObject*) { emit SearchFinished(); };
  FForm->FormCreate(FForm.get());
}

// The form goes first: it may still speak to the controls, never after its destruction.
TQtVisual::~TQtVisual() {
  FForm.reset();
}

void TQtVisual::CreateControls() {
  setObjectName(QStringLiteral("fmVisual"));
  setWindowTitle(Ui(VisualText::Caption));
  setWindowIcon(QIcon(QPixmap::fromImage(DrawLogo(64))));
  setFont(
      DesignFont({QStringLiteral("MS Sans Serif"), QStringLiteral("Microsoft Sans Serif")}, 11));
  setBackgroundRole(QPalette::Button);  // clBtnFace
  // The designed size is the outer one, frame and caption of a Windows 10 window included
  // (8 pixels each side and at the bottom, 31 for the caption); Qt sizes the inside.
  move(442, 118);
  resize(785 - 16, 771 - 31 - 8);
  setMinimumSize(700 - 16, 600 - 31 - 8);

  // Actions
  actFind = new QAction(Ui(VisualText::Find), this);
  actFind->setObjectName(QStringLiteral("actFind"));
  connect(actFind, &QAction::triggered, this,
          [this] { Guarded([this] { FForm->ExecuteFind(); }); });
  actFileExit = new QAction(Ui(VisualText::Exit), this);
  actFileExit->setObjectName(QStringLiteral("actFileExit"));
  actFileExit->setShortcut(QKeySequence(Qt::ALT | Qt::Key_F4));
  // "Exit|Quits the application": the short hint pops up, the long one goes to a status line.
  actFileExit->setToolTip(QStringLiteral("Exit"));
  actFileExit->setStatusTip(QStringLiteral("Quits the application"));
  actFileExit->setProperty("category", QStringLiteral("File"));
  actFileExit->setProperty("imageIndex", 43);  // the image list is empty: no glyph shows
  connect(actFileExit, &QAction::triggered, this, [] { QCoreApplication::quit(); });
  addAction(actFind);
  addAction(actFileExit);

  // Menu
  MainMenu = new QMenuBar(this);
  MainMenu->setObjectName(QStringLiteral("MainMenu"));
  N1 = MainMenu->addMenu(Ui(VisualText::File));
  N1->setObjectName(QStringLiteral("N1"));
  N1->menuAction()->setShortcut(QKeySequence(Qt::Key_F2));
  Action11 = actFind;
  N1->addAction(Action11);
  N2 = N1->addSeparator();
  N2->setText(QStringLiteral("-"));
  N3 = actFileExit;
  N1->addAction(N3);
  // The options beside the designed menu, which they leave as it was: checkable, off at start.
  mnuOptions = MainMenu->addMenu(Ui(VisualText::Options));
  mnuOptions->setObjectName(QStringLiteral("mnuOptions"));
  actParallel = mnuOptions->addAction(Ui(VisualText::ParallelItem));
  actParallel->setObjectName(QStringLiteral("actParallel"));
  actProbeNew = mnuOptions->addAction(Ui(VisualText::ProbeNewItem));
  actProbeNew->setObjectName(QStringLiteral("actProbeNew"));
  const std::pair<QAction*, TVisualOption> Options[] = {{actParallel, voParallel},
                                                        {actProbeNew, voProbeNew}};
  for (const auto& [Action, Option] : Options) {
    Action->setCheckable(true);
    connect(Action, &QAction::triggered, this, [this, Which = Option](bool Checked) {
      Guarded([&] { FForm->SetOption(Which, Checked); });
    });
  }
  setMenuBar(MainMenu);
  // F2 opens the menu, as its access key would.
  connect(N1->menuAction(), &QAction::triggered, this, [this] {
    const QRect Title = MainMenu->actionGeometry(N1->menuAction());
    N1->popup(MainMenu->mapToGlobal(Title.bottomLeft()));
  });

  // Client area: the log fills what the bottom and right panels leave.
  auto* Client = new TAlignPanel(this);
  Client->setObjectName(QStringLiteral("ClientArea"));
  setCentralWidget(Client);

  memHistory = new QPlainTextEdit;
  memHistory->setObjectName(QStringLiteral("memHistory"));
  memHistory->setReadOnly(true);
  memHistory->setFrameStyle(QFrame::NoFrame);
  memHistory->setFocusPolicy(Qt::ClickFocus);  // not a tab stop
  // Long lines wrap at the edge, as the log memo always did.
  memHistory->setLineWrapMode(QPlainTextEdit::WidgetWidth);

  pnlManagement = new TAlignPanel;
  pnlManagement->setObjectName(QStringLiteral("pnlManagement"));
  pnlManagement->resize(785, 66);
  pnlManagement->SetBevelLowered(true);
  pnlManagement->setMinimumWidth(500);

  butFind = new QPushButton;
  butFind->setObjectName(QStringLiteral("butFind"));
  pnlManagement->AddAt(butFind, 8, 26, 81, 25);
  BindButton(butFind, actFind);

  Panel1 = new TAlignPanel;
  Panel1->setObjectName(QStringLiteral("Panel1"));
  Panel1->resize(96, 66);
  pnlManagement->AddAligned(Panel1, TAlign::alRight);
  butExit = new QPushButton;
  butExit->setObjectName(QStringLiteral("butExit"));
  Panel1->AddAt(butExit, 8, 26, 83, 25);
  BindButton(butExit, actFileExit);
  butExit->setDefault(true);

  GroupBox1 = new QGroupBox(Ui(VisualText::ChoosePort));
  GroupBox1->setObjectName(QStringLiteral("GroupBox1"));
  pnlManagement->AddAt(GroupBox1, 100, 9, 137, 49);
  // The caption sits in the frame's top edge, as on Windows, not above a flat panel.
  GroupBox1->setStyleSheet(QStringLiteral(
      "QGroupBox { border: 1px solid palette(mid); border-radius: 2px; margin-top: 6px; }"
      "QGroupBox::title { subcontrol-origin: margin; left: 7px; padding: 0 2px; }"));
  cbChooseCom = new QComboBox(GroupBox1);
  cbChooseCom->setObjectName(QStringLiteral("cbChooseCom"));
  cbChooseCom->setEditable(false);  // choice from the list only
  cbChooseCom->setGeometry(16, 20, 105, 21);
  cbChooseCom->setFocusPolicy(Qt::StrongFocus);
  connect(cbChooseCom, &QComboBox::currentIndexChanged, this, [this](int Index) {
    if (FForm && !FShowingCombo) FForm->cbChooseComChange(Index);
  });

  // The port box's detail line: right of the port box, up to the exit button's panel.
  lbPortDetail = new QLabel(pnlManagement);
  lbPortDetail->setObjectName(QStringLiteral("lbPortDetail"));
  lbPortDetail->setWordWrap(true);
  lbPortDetail->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  lbPortDetail->setTextInteractionFlags(Qt::TextSelectableByMouse);
  pnlManagement->installEventFilter(this);
  PlacePortDetail();

  pnlResult = new TAlignPanel;
  pnlResult->setObjectName(QStringLiteral("pnlResult"));
  pnlResult->resize(369, 600);
  pnlResult->SetBorderWidth(5);

  pnlLogo = new TAlignPanel;
  pnlLogo->setObjectName(QStringLiteral("pnlLogo"));
  pnlLogo->resize(369, 128);
  pnlLogo->SetBorderWidth(5);

  memInfo = new QPlainTextEdit;
  memInfo->setObjectName(QStringLiteral("memInfo"));
  memInfo->resize(200, 118);
  memInfo->setReadOnly(true);
  memInfo->setFrameStyle(QFrame::NoFrame);
  memInfo->setFocusPolicy(Qt::StrongFocus);
  memInfo->setPlainText(Ui(VisualText::Info));
  memInfo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  memInfo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  QPalette InfoPalette = memInfo->palette();
  InfoPalette.setColor(QPalette::Base, InfoPalette.color(QPalette::Button));  // clBtnFace
  memInfo->setPalette(InfoPalette);
  pnlLogo->AddAligned(memInfo, TAlign::alLeft);

  imgLogo = new TImageBox;
  imgLogo->setObjectName(QStringLiteral("imgLogo"));
  imgLogo->resize(125, 118);
  imgLogo->SetPicture(DrawLogo(256));
  pnlLogo->AddAligned(imgLogo, TAlign::alRight);

  lbRez = new QLabel;
  lbRez->setObjectName(QStringLiteral("lbRez"));
  lbRez->resize(359, 176);
  lbRez->setAlignment(Qt::AlignCenter);
  lbRez->setWordWrap(true);
  lbRez->setFont(DesignFont({QStringLiteral("Segoe UI")}, 31));
  QPalette RezPalette = lbRez->palette();
  RezPalette.setColor(QPalette::WindowText, Qt::black);
  lbRez->setPalette(RezPalette);

  pnlResult->AddAligned(pnlLogo, TAlign::alTop);
  pnlResult->AddAligned(lbRez, TAlign::alTop);

  Client->AddAligned(memHistory, TAlign::alClient);
  Client->AddAligned(pnlManagement, TAlign::alBottom);
  Client->AddAligned(pnlResult, TAlign::alRight);

  // Tab order: the management panel (find, the exit panel, the port box), then the result
  // panel's information text. The log is no tab stop.
  setTabOrder(butFind, butExit);
  setTabOrder(butExit, cbChooseCom);
  setTabOrder(cbChooseCom, memInfo);
}

void TQtVisual::ShowComboItems(const std::vector<std::string>& Items, int Index) {
  FShowingCombo = true;
  cbChooseCom->clear();
  for (const std::string& Name : Items)
    cbChooseCom->addItem(Ui(Name), QByteArray::fromStdString(Name));
  cbChooseCom->setCurrentIndex(Index);
  FShowingCombo = false;
}

void TQtVisual::ShowComboIndex(int Index) {
  FShowingCombo = true;
  cbChooseCom->setCurrentIndex(Index);
  FShowingCombo = false;
}

void TQtVisual::AppendLogLine(const std::string& Line) {
  memHistory->appendPlainText(Ui(Line));
  ScrollHistoryToEnd();
}

void TQtVisual::ShowLog(const std::vector<std::string>& Lines) {
  QString Text;
  for (size_t I = 0; I < Lines.size(); ++I) {
    if (I) Text += QLatin1Char('\n');
    Text += Ui(Lines[I]);
  }
  memHistory->setPlainText(Text);
  ScrollHistoryToEnd();
}

void TQtVisual::ScrollHistoryToEnd() {
  memHistory->verticalScrollBar()->setValue(memHistory->verticalScrollBar()->maximum());
}

void TQtVisual::ShowRezCaption(const std::string& Text) {
  // Word wrap would also break a device path after its slashes ("/dev/pts/2"): only the
  // blanks between words may end a line.
  QString Shown = Ui(Text);
  Shown.replace(QLatin1Char('/'), QStringLiteral("/\u2060"));
  lbRez->setText(Shown);
}

void TQtVisual::ShowEnabled(TVisualControl Control, bool Enabled) {
  switch (Control) {
    case vcFind:
      actFind->setEnabled(Enabled);
      break;
    case vcChooseCom:
      cbChooseCom->setEnabled(Enabled);
      break;
  }
}

void TQtVisual::ShowMessage(const std::string& Text) {
  QMessageBox::critical(this, QCoreApplication::applicationName(), Ui(Text));
}

void TQtVisual::PlacePortDetail() {
  const int Left = 245, Right = pnlManagement->width() - 96 - 8;
  lbPortDetail->setGeometry(Left, 9, std::max(0, Right - Left), 49);
}

bool TQtVisual::eventFilter(QObject* Watched, QEvent* Event) {
  if (Watched == pnlManagement && Event->type() == QEvent::Resize) PlacePortDetail();
  return QMainWindow::eventFilter(Watched, Event);
}

void TQtVisual::ShowComboDetail(const std::string& Text) {
  lbPortDetail->setText(Ui(Text));
  cbChooseCom->setToolTip(Ui(Text));
}

void TQtVisual::ShowChecked(TVisualOption Option, bool Checked) {
  QAction* Action = Option == voParallel ? actParallel : actProbeNew;
  const QSignalBlocker Quiet(Action);
  Action->setChecked(Checked);
}

void TQtVisual::keyPressEvent(QKeyEvent* Event) {
  // Enter presses the default button, or the focused button, unless the focused control takes
  // Enter itself (the memos; a combo box's open list never lets it get here).
  if ((Event->key() == Qt::Key_Return || Event->key() == Qt::Key_Enter) &&
      (Event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
    QWidget* Focus = focusWidget();
    if (qobject_cast<QPlainTextEdit*>(Focus)) return;
    QPushButton* Target = qobject_cast<QPushButton*>(Focus);
    if (!Target) Target = butExit;
    if (Target->isEnabled()) Target->click();
    return;
  }
  QMainWindow::keyPressEvent(Event);
}

}  // namespace comfind
