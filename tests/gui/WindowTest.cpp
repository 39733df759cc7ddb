// The window as it starts: port list and enabling, the designed layout, texts, shortcuts,
// the default button and the tab order.
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include "tests/gui/GuiTest.h"
#include "ui/VisualText.h"
#include "ui/qt/AlignPanel.h"
#include "ui/qt/ImageBox.h"

namespace comfind {

namespace {

// "Найти", "&Выход", "Файл", "Выбор порта"
const QString Find = Ui("\xCD\xE0\xE9\xF2\xE8");
const QString Exit = Ui("&\xC2\xFB\xF5\xEE\xE4");
const QString File = Ui("\xD4\xE0\xE9\xEB");
const QString ChoosePort = Ui("\xC2\xFB\xE1\xEE\xF0 \xEF\xEE\xF0\xF2\xE0");

// Geometry of W in the coordinates of its parent.
QRect Geo(QWidget* W) {
  return W->geometry();
}

}  // namespace

class TWindowStartTest : public QObject {
  Q_OBJECT

 private slots:
  void NoPortsDisablesTheSearchEverywhere() {
    TWindowUnderTest T({});
    TQtVisual& W = *T.Window;
    QCOMPARE(W.cbChooseCom->count(), 0);
    QCOMPARE(W.cbChooseCom->currentIndex(), -1);
    QVERIFY(!W.actFind->isEnabled());
    QVERIFY(!W.butFind->isEnabled());
    QVERIFY(!W.Action11->isEnabled());
    QVERIFY(!W.cbChooseCom->isEnabled());
    // Leaving stays possible.
    QVERIFY(W.actFileExit->isEnabled());
    QVERIFY(W.butExit->isEnabled());
    QVERIFY(T.Log().empty());
    QVERIFY(W.memHistory->toPlainText().isEmpty());
    QCOMPARE(W.lbRez->text(), Ui(VisualText::Ready));
  }

  void PortsAreListedInTheSourcesOrderWithTheFirstSelected() {
    TWindowUnderTest T({"COM1", "COM10", "COM2"});
    TQtVisual& W = *T.Window;
    QCOMPARE(W.cbChooseCom->count(), 3);
    QCOMPARE(W.cbChooseCom->itemText(1), QStringLiteral("COM10"));
    QCOMPARE(W.cbChooseCom->currentIndex(), 0);
    QVERIFY(W.actFind->isEnabled());
    QVERIFY(W.butFind->isEnabled());
    QVERIFY(W.Action11->isEnabled());
    QVERIFY(W.cbChooseCom->isEnabled());
    QVERIFY(!W.cbChooseCom->isEditable());
  }

  void ControlsSitWhereTheyWereDesigned() {
    TWindowUnderTest T({"COM1"});
    TQtVisual& W = *T.Window;
    W.show();
    QVERIFY(QTest::qWaitForWindowExposed(&W));
    for (QSize Client : {W.centralWidget()->size(), QSize(900, 700)}) {
      W.centralWidget()->resize(Client);
      const QRect C = W.centralWidget()->rect();
      // Bottom panel across the whole width, the result panel right above it, the log the rest.
      QCOMPARE(Geo(W.pnlManagement), QRect(0, C.height() - 66, C.width(), 66));
      QCOMPARE(Geo(W.pnlResult), QRect(C.width() - 369, 0, 369, C.height() - 66));
      QCOMPARE(Geo(W.memHistory), QRect(0, 0, C.width() - 369, C.height() - 66));
      // Inside the lowered bevel (one pixel).
      QCOMPARE(Geo(W.Panel1), QRect(C.width() - 1 - 96, 1, 96, 64));
      QCOMPARE(Geo(W.butFind), QRect(8, 26, 81, 25));
      QCOMPARE(Geo(W.butExit), QRect(8, 26, 83, 25));
      QCOMPARE(Geo(W.GroupBox1), QRect(100, 9, 137, 49));
      QCOMPARE(Geo(W.cbChooseCom), QRect(16, 20, 105, 21));
      // Border width 5 in the result and logo panels.
      QCOMPARE(Geo(W.pnlLogo), QRect(5, 5, 359, 128));
      QCOMPARE(Geo(W.lbRez), QRect(5, 133, 359, 176));
      QCOMPARE(Geo(W.memInfo), QRect(5, 5, 200, 118));
      QCOMPARE(Geo(W.imgLogo), QRect(359 - 5 - 125, 5, 125, 118));
    }
    QVERIFY(W.pnlManagement->minimumWidth() >= 500);
    QVERIFY(W.pnlManagement->frameShadow() == QFrame::Sunken);
  }

  void TextsFontsAndTheLogo() {
    TWindowUnderTest T({"COM1"});
    TQtVisual& W = *T.Window;
    QCOMPARE(W.actFind->text(), Find);
    QCOMPARE(W.butFind->text(), Find);
    QVERIFY(W.actFind->shortcut().isEmpty());
    QCOMPARE(W.actFileExit->text(), Exit);
    QCOMPARE(W.butExit->text(), Exit);
    QCOMPARE(W.actFileExit->shortcut(), QKeySequence(Qt::ALT | Qt::Key_F4));
    QCOMPARE(W.actFileExit->toolTip(), QStringLiteral("Exit"));
    QCOMPARE(W.actFileExit->statusTip(), QStringLiteral("Quits the application"));
    QCOMPARE(W.GroupBox1->title(), ChoosePort);

    // The menu "Файл" (F2), holding find, a separator and exit, without glyphs; beside it the
    // options, checkable and off.
    const QList<QAction*> Top = W.MainMenu->actions();
    QCOMPARE(Top.size(), 2);
    QCOMPARE(Top[1], W.mnuOptions->menuAction());
    QCOMPARE(W.mnuOptions->actions(), (QList<QAction*>{W.actParallel, W.actProbeNew}));
    for (QAction* A : W.mnuOptions->actions()) {
      QVERIFY(A->isCheckable());
      QVERIFY(!A->isChecked());
    }
    QCOMPARE(Top[0]->text(), File);
    QCOMPARE(Top[0]->shortcut(), QKeySequence(Qt::Key_F2));
    const QList<QAction*> Items = W.N1->actions();
    QCOMPARE(Items.size(), 3);
    QCOMPARE(Items[0], W.actFind);
    QVERIFY(Items[1]->isSeparator());
    QCOMPARE(Items[2], W.actFileExit);
    for (QAction* A : Items)
      QVERIFY(A->icon().isNull());

    QCOMPARE(W.lbRez->font().pixelSize(), 31);
    QVERIFY(W.lbRez->wordWrap());
    QCOMPARE(W.lbRez->alignment(), Qt::AlignCenter);
    QCOMPARE(W.font().pixelSize(), 11);
    QVERIFY(W.memHistory->isReadOnly());
    QVERIFY(W.memInfo->isReadOnly());
    QVERIFY(!W.memInfo->toPlainText().isEmpty());
    QVERIFY(!W.windowTitle().isEmpty());

    // The logo is drawn, centred and kept square.
    const QImage& Logo = W.imgLogo->Picture();
    QVERIFY(!Logo.isNull());
    QVERIFY(Logo.pixelColor(Logo.width() / 2, Logo.height() / 2).alpha() > 0);
    QCOMPARE(Logo.pixelColor(0, 0).alpha(), 0);  // transparent corner
    const QRect Drawn = W.imgLogo->PictureRect();
    QCOMPARE(Drawn.width(), Drawn.height());
    QVERIFY(std::abs(Drawn.center().x() - W.imgLogo->rect().center().x()) <= 1);
    QVERIFY(std::abs(Drawn.center().y() - W.imgLogo->rect().center().y()) <= 1);
  }

  void EnterPressesTheDefaultOrTheFocusedButton() {
    TWindowUnderTest T({"COM1"});
    TQtVisual& W = *T.Window;
    W.show();
    QVERIFY(QTest::qWaitForWindowExposed(&W));
    QVERIFY(W.butExit->isDefault());
    // Kept from quitting the test program; only the triggers are counted.
    W.actFileExit->disconnect();
    QSignalSpy Exit(W.actFileExit, &QAction::triggered);
    QSignalSpy Find(W.actFind, &QAction::triggered);
    W.actFind->disconnect(&W);

    W.cbChooseCom->setFocus();
    QTRY_VERIFY(W.cbChooseCom->hasFocus());
    QTest::keyClick(W.cbChooseCom, Qt::Key_Return);
    QCOMPARE(Exit.count(), 1);
    QCOMPARE(Find.count(), 0);

    W.butFind->setFocus();
    QTRY_VERIFY(W.butFind->hasFocus());
    QTest::keyClick(W.butFind, Qt::Key_Enter, Qt::KeypadModifier);
    QCOMPARE(Find.count(), 1);
    QCOMPARE(Exit.count(), 1);

    // The memos take Enter themselves.
    W.memInfo->setFocus();
    QTRY_VERIFY(W.memInfo->hasFocus());
    QTest::keyClick(W.memInfo, Qt::Key_Return);
    QCOMPARE(Exit.count(), 1);
    QCOMPARE(Find.count(), 1);
  }

  void TabWalksFindExitPortBoxAndInformation() {
    TWindowUnderTest T({"COM1"});
    TQtVisual& W = *T.Window;
    W.show();
    QVERIFY(QTest::qWaitForWindowExposed(&W));
    W.butFind->setFocus();
    QTRY_VERIFY(W.butFind->hasFocus());
    const QList<QWidget*> Expected{W.butExit, W.cbChooseCom, W.memInfo, W.butFind};
    for (QWidget* Next : Expected) {
      QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
      QTRY_COMPARE(QApplication::focusWidget(), Next);
    }
    QVERIFY(!(W.memHistory->focusPolicy() & Qt::TabFocus));
  }

  void AltF4EndsTheApplication() {
    TWindowUnderTest T({"COM1"});
    TQtVisual& W = *T.Window;
    W.show();
    QVERIFY(QTest::qWaitForWindowExposed(&W));
    bool TimedOut = false;
    QTimer::singleShot(0, &W, [&W] { QTest::keyClick(&W, Qt::Key_F4, Qt::AltModifier); });
    QTimer Guard;
    Guard.setSingleShot(true);
    connect(&Guard, &QTimer::timeout, [&TimedOut] {
      TimedOut = true;
      QApplication::exit(1);
    });
    Guard.start(20000);
    QCOMPARE(QApplication::exec(), 0);
    QVERIFY(!TimedOut);
  }

  void F2OpensTheFileMenu() {
    TWindowUnderTest T({"COM1"});
    TQtVisual& W = *T.Window;
    W.show();
    QVERIFY(QTest::qWaitForWindowExposed(&W));
    QTest::keyClick(&W, Qt::Key_F2);
    QTRY_VERIFY(W.N1->isVisible());
    W.N1->hide();
  }
};
COMFIND_GUI_TEST(TWindowStartTest);

}  // namespace comfind

#include "WindowTest.moc"
