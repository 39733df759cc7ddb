#include "ui/Visual.h"

#include <QAction>
#include <QComboBox>
#include <QCoreApplication>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>

#include "port/ComEnum.h"
#include "ui/AlignPanel.h"
#include "ui/DeviceNotice.h"
#include "ui/ImageBox.h"
#include "ui/Logo.h"

namespace comfind {

namespace {

// "Выбор порта"
constexpr char TextChoosePort[] = "\xC2\xFB\xE1\xEE\xF0 \xEF\xEE\xF0\xF2\xE0";
// "Найти"
constexpr char TextFind[] = "\xCD\xE0\xE9\xF2\xE8";
// "&Выход"
constexpr char TextExit[] = "&\xC2\xFB\xF5\xEE\xE4";
// "Файл"
constexpr char TextFile[] = "\xD4\xE0\xE9\xEB";
// "Внимание, устройство в выбранном COM-порту было удалено"
constexpr char TextPortRemoved[] =
    "\xC2\xED\xE8\xEC\xE0\xED\xE8\xE5, \xF3\xF1\xF2\xF0\xEE\xE9\xF1\xF2\xE2\xEE \xE2 "
    "\xE2\xFB\xE1\xF0\xE0\xED\xED\xEE\xEC COM-\xEF\xEE\xF0\xF2\xF3 \xE1\xFB\xEB\xEE "
    "\xF3\xE4\xE0\xEB\xE5\xED\xEE";
// "comfind — поиск прибора на COM-порту"
constexpr char TextCaption[] =
    "comfind \x97 \xEF\xEE\xE8\xF1\xEA \xEF\xF0\xE8\xE1\xEE\xF0\xE0 \xED\xE0 "
    "COM-\xEF\xEE\xF0\xF2\xF3";
// "Нажмите «Найти»: программа опросит все порты списка"
constexpr char TextReady[] =
    "\xCD\xE0\xE6\xEC\xE8\xF2\xE5 \xAB\xCD\xE0\xE9\xF2\xE8\xBB: \xEF\xF0\xEE\xE3\xF0\xE0\xEC\xEC"
    "\xE0 \xEE\xEF\xF0\xEE\xF1\xE8\xF2 \xE2\xF1\xE5 \xEF\xEE\xF0\xF2\xFB \xF1\xEF\xE8\xF1\xEA\xE0";
// "Поиск измерительного прибора на COM-портах.
//
//  Каждый порт списка открывается на 19200 бод (8N1); прибору посылается команда опроса, и
//  500 мс ожидается ответ «OK». Весь обмен виден в журнале слева."
constexpr char TextInfo[] =
    "\xCF\xEE\xE8\xF1\xEA \xE8\xE7\xEC\xE5\xF0\xE8\xF2\xE5\xEB\xFC\xED\xEE\xE3\xEE "
    "\xEF\xF0\xE8\xE1\xEE\xF0\xE0 \xED\xE0 COM-\xEF\xEE\xF0\xF2\xE0\xF5.\n\n"
    "\xCA\xE0\xE6\xE4\xFB\xE9 \xEF\xEE\xF0\xF2 \xF1\xEF\xE8\xF1\xEA\xE0 "
    "\xEE\xF2\xEA\xF0\xFB\xE2\xE0\xE5\xF2\xF1\xFF \xED\xE0 19200 \xE1\xEE\xE4 (8N1); "
    "\xEF\xF0\xE8\xE1\xEE\xF0\xF3 \xEF\xEE\xF1\xFB\xEB\xE0\xE5\xF2\xF1\xFF "
    "\xEA\xEE\xEC\xE0\xED\xE4\xE0 \xEE\xEF\xF0\xEE\xF1\xE0, \xE8 500 \xEC\xF1 "
    "\xEE\xE6\xE8\xE4\xE0\xE5\xF2\xF1\xFF \xEE\xF2\xE2\xE5\xF2 \xABOK\xBB. "
    "\xC2\xE5\xF1\xFC \xEE\xE1\xEC\xE5\xED \xE2\xE8\xE4\xE5\xED \xE2 "
    "\xE6\xF3\xF0\xED\xE0\xEB\xE5 \xF1\xEB\xE5\xE2\xE0.";

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

TfmVisual::TfmVisual(TdmCom& Dm, TPortListSource ListPorts, QWidget* Parent)
    : QMainWindow(Parent), FDm(Dm), FListPorts(std::move(ListPorts)) {
  if (!FListPorts) FListPorts = [](TStrings& List) { ListComPorts(List); };
  FHistory.OnChange = [this](TObject*) { ShowHistory(); };
  CreateControls();
  FormCreate(this);
}

TfmVisual::~TfmVisual() {
  FHistory.OnChange = nullptr;
}

void TfmVisual::CreateControls() {
  setObjectName(QStringLiteral("fmVisual"));
  setWindowTitle(Ui(TextCaption));
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
  actFind = new QAction(Ui(TextFind), this);
  actFind->setObjectName(QStringLiteral("actFind"));
  connect(actFind, &QAction::triggered, this,
          [this] { Guarded([this] { actFindExecute(actFind); }); });
  actFileExit = new QAction(Ui(TextExit), this);
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
  N1 = MainMenu->addMenu(Ui(TextFile));
  N1->setObjectName(QStringLiteral("N1"));
  N1->menuAction()->setShortcut(QKeySequence(Qt::Key_F2));
  Action11 = actFind;
  N1->addAction(Action11);
  N2 = N1->addSeparator();
  N2->setText(QStringLiteral("-"));
  N3 = actFileExit;
  N1->addAction(N3);
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

  GroupBox1 = new QGroupBox(Ui(TextChoosePort));
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
  memInfo->setPlainText(Ui(TextInfo));
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

  SetRezCaption(TextReady);
}

void TfmVisual::SetRezCaption(const std::string& Text) {
  FRezCaption = Text;
  // Word wrap would also break a device path after its slashes ("/dev/pts/2"): only the
  // blanks between words may end a line.
  QString Shown = Ui(Text);
  Shown.replace(QLatin1Char('/'), QStringLiteral("/\u2060"));
  lbRez->setText(Shown);
}

void TfmVisual::ComboItems(TStrings& Items) const {
  std::vector<std::string> Names;
  Names.reserve(cbChooseCom->count());
  for (int I = 0; I < cbChooseCom->count(); ++I)
    Names.push_back(cbChooseCom->itemData(I).toByteArray().toStdString());
  Items.SetItems(std::move(Names));
}

std::string TfmVisual::ComboText() const {
  const int I = cbChooseCom->currentIndex();
  return I < 0 ? std::string() : cbChooseCom->itemData(I).toByteArray().toStdString();
}

void TfmVisual::FillCombo(const TStrings& Items) {
  cbChooseCom->clear();
  for (const std::string& Name : Items.Items())
    cbChooseCom->addItem(Ui(Name), QByteArray::fromStdString(Name));
}

int TfmVisual::ComboIndexOf(const std::string& Name) const {
  for (int I = 0; I < cbChooseCom->count(); ++I)
    if (cbChooseCom->itemData(I).toByteArray().toStdString() == Name) return I;
  return -1;
}

void TfmVisual::UpdateEnabled() {
  actFind->setEnabled(cbChooseCom->count() > 0);
  cbChooseCom->setEnabled(actFind->isEnabled());
}

void TfmVisual::FormCreate(QObject*) {
  TStringList Ports;
  FListPorts(Ports);
  FillCombo(Ports);
  cbChooseCom->setCurrentIndex(cbChooseCom->count() > 0 ? 0 : -1);
  UpdateEnabled();
}

void TfmVisual::actFindExecute(QObject*) {
  SetRezCaption(FindText::Searching);
  FHistory.Add(FindText::Searching);
  actFind->setEnabled(false);
  TStringList Ports;
  ComboItems(Ports);
  // Bound through a guard: a search still running when the window goes (the program
  // closing mid-search) must not call back into a destroyed window.
  QPointer<TfmVisual> Self(this);
  FDm.StartFind(Ports, FHistory, TFindDoneEvent([Self](TFindResult Result, uint8_t Index) {
                  if (Self) Self->FindDone(Result, Index);
                }));
}

void TfmVisual::FindDone(TFindResult Result, uint8_t Index) {
  if (Result == frFound) {
    // The index counts in the list the search was given. A device change during the search
    // may have rebuilt the box since, so the port is looked up by its name; with the list
    // unchanged this is item Index itself.
    const TStrings& Searched = FDm.FindPorts();
    int Item = Index;
    std::string Name;
    if (Index < Searched.Count()) {
      Name = Searched[Index];
      Item = ComboIndexOf(Name);
    }
    if (Item >= 0 && Item < cbChooseCom->count()) {
      cbChooseCom->setCurrentIndex(Item);
      Name = ComboText();
    }
    SetRezCaption(std::string(FindText::FoundOn) + Name);
  } else {
    SetRezCaption(FindText::NotFound);
    FHistory.Add(FindText::NotFound);
  }
  actFind->setEnabled(true);
  emit SearchFinished();
}

void TfmVisual::HandleDeviceChange(TMessage& Message) {
  if (Message.WParam != DBT_DEVNODES_CHANGED_) return;
  TStringList OldList;  // released on every way out
  ComboItems(OldList);
  const std::string OldSelection = ComboText();

  TStringList NewList;
  FListPorts(NewList);
  FillCombo(NewList);

  const int Kept = ComboIndexOf(OldSelection);
  if (Kept >= 0) {
    cbChooseCom->setCurrentIndex(Kept);
  } else {
    cbChooseCom->setCurrentIndex(cbChooseCom->count() > 0 ? 0 : -1);
    if (!OldSelection.empty()) {
      FHistory.Add(TextPortRemoved);
      SetRezCaption(TextPortRemoved);
    }
  }
  UpdateEnabled();
  if (!actFind->isEnabled()) return;

  for (int I = 0; I < cbChooseCom->count(); ++I) {
    if (OldList.IndexOf(cbChooseCom->itemData(I).toByteArray().toStdString()) < 0) {
      cbChooseCom->setCurrentIndex(I);
      break;
    }
  }
}

void TfmVisual::ShowHistory() {
  const std::vector<std::string>& Lines = FHistory.Items();
  size_t Same = 0;
  while (Same < Lines.size() && Same < FShown.size() && Lines[Same] == FShown[Same])
    ++Same;
  if (Same == FShown.size()) {
    // The common case: lines appended at the end.
    for (size_t I = Same; I < Lines.size(); ++I)
      memHistory->appendPlainText(Ui(Lines[I]));
  } else {
    QString Text;
    for (size_t I = 0; I < Lines.size(); ++I) {
      if (I) Text += QLatin1Char('\n');
      Text += Ui(Lines[I]);
    }
    memHistory->setPlainText(Text);
  }
  FShown = Lines;
  memHistory->verticalScrollBar()->setValue(memHistory->verticalScrollBar()->maximum());
}

void TfmVisual::keyPressEvent(QKeyEvent* Event) {
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

void TfmVisual::Guarded(const std::function<void()>& Handler) {
  try {
    Handler();
  } catch (...) {
    TMainLoop::Instance().HandleException(nullptr, std::current_exception());
  }
}

}  // namespace comfind
