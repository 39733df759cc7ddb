// The Qt window as a view of the form: what the form decides shows in the widgets (port box,
// log, result label, greyed actions), the user's choice in the port box reaches the form, and
// the log stays quick however long it grows.
#include <QAction>
#include <QComboBox>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <QTextBlock>

#include "tests/gui/GuiTest.h"
#include "ui/VisualText.h"
#include "ui/qt/AlignPanel.h"

namespace {

// "Внимание, устройство в выбранном COM-порту было удалено"
const std::string PortRemoved =
    "\xC2\xED\xE8\xEC\xE0\xED\xE8\xE5, \xF3\xF1\xF2\xF0\xEE\xE9\xF1\xF2\xE2\xEE \xE2 "
    "\xE2\xFB\xE1\xF0\xE0\xED\xED\xEE\xEC COM-\xEF\xEE\xF0\xF2\xF3 \xE1\xFB\xEB\xEE "
    "\xF3\xE4\xE0\xEB\xE5\xED\xEE";

QStringList ComboTexts(const QComboBox* Box) {
  QStringList Texts;
  for (int I = 0; I < Box->count(); ++I)
    Texts << Box->itemText(I);
  return Texts;
}

}  // namespace

class TViewTest : public QObject {
  Q_OBJECT

 private slots:
  void ADeviceChangeShowsInTheWidgets() {
    TWindowUnderTest T({"COM1", "COM2", "COM3"});
    TQtVisual& W = *T.Window;
    W.cbChooseCom->setCurrentIndex(1);  // as the user would
    QCOMPARE(T.Form().ComboText(), std::string("COM2"));

    T.Ports = {"COM1", "COM3"};
    T.DeviceChange();
    QCOMPARE(ComboTexts(W.cbChooseCom), (QStringList{"COM1", "COM3"}));
    QCOMPARE(W.cbChooseCom->currentText(), QStringLiteral("COM1"));
    QCOMPARE(W.lbRez->text(), Ui(PortRemoved));
    QCOMPARE(W.memHistory->toPlainText(), Ui(PortRemoved));
    QVERIFY(W.butFind->isEnabled());
    QVERIFY(W.cbChooseCom->isEnabled());

    T.Ports = {};
    T.DeviceChange();
    QCOMPARE(W.cbChooseCom->count(), 0);
    QCOMPARE(W.cbChooseCom->currentIndex(), -1);
    QCOMPARE(W.memHistory->toPlainText(), Ui(PortRemoved) + QLatin1Char('\n') + Ui(PortRemoved));
    QVERIFY(!W.actFind->isEnabled());
    QVERIFY(!W.butFind->isEnabled());
    QVERIFY(!W.Action11->isEnabled());
    QVERIFY(!W.cbChooseCom->isEnabled());
    QVERIFY(W.butExit->isEnabled());

    T.Ports = {"ttyUSB0"};
    T.DeviceChange();
    QCOMPARE(W.cbChooseCom->currentText(), QStringLiteral("ttyUSB0"));
    QVERIFY(W.butFind->isEnabled());
    QVERIFY(W.Action11->isEnabled());
    QVERIFY(W.cbChooseCom->isEnabled());
  }

  // A window left open all day: thousands of lines, each appended on its own. Appending the
  // whole history again for every line took minutes at this size; the bound only catches that.
  void TheLogGrowsLineByLine() {
    TWindowUnderTest T({"COM1"});
    TQtVisual& W = *T.Window;
    W.show();
    QVERIFY(QTest::qWaitForWindowExposed(&W));
    TStrings& Log = T.Form().HistoryLines();
    constexpr int Lines = 30000;
    QElapsedTimer Clock;
    Clock.start();
    for (int I = 0; I < Lines; ++I)
      Log.Add("<line " + std::to_string(I) + " of the exchange with the instrument");
    const qint64 Took = Clock.elapsed();
    QVERIFY2(Took < 20000, qPrintable(QStringLiteral("%1 lines took %2 ms").arg(Lines).arg(Took)));
    QCOMPARE(W.memHistory->blockCount(), Lines);
    QCOMPARE(W.memHistory->document()->lastBlock().text(),
             QStringLiteral("<line %1 of the exchange with the instrument").arg(Lines - 1));
    // The newest line is in view.
    QCOMPARE(W.memHistory->verticalScrollBar()->value(),
             W.memHistory->verticalScrollBar()->maximum());
  }

  void TheOptionsAndTheDetailLine() {
    TWindowUnderTest T({"COM1", "COM2"});
    TQtVisual& W = *T.Window;
    // The menu items reach the form; the form's state shows in their check marks.
    W.actParallel->trigger();
    QVERIFY(T.Form().Option(voParallel));
    QVERIFY(W.actParallel->isChecked());
    W.actParallel->trigger();
    QVERIFY(!T.Form().Option(voParallel));
    T.Form().SetOption(voProbeNew, true);
    QVERIFY(W.actProbeNew->isChecked());

    // The detail line and the port box's tooltip follow the selected port's last probe.
    QCOMPARE(W.lbPortDetail->text(), QString());
    T.Form().ExecuteFind();  // neither port exists here: both cannot be opened
    QTRY_COMPARE_WITH_TIMEOUT(W.butFind->isEnabled(), true, 10000);
    const QString Missing = Ui(std::string(VisualText::LastProbe) + VisualText::Missing);
    QCOMPARE(W.lbPortDetail->text(), Missing);
    QCOMPARE(W.cbChooseCom->toolTip(), Missing);
    // It lies right of the port box and stops short of the exit button.
    QVERIFY(W.lbPortDetail->geometry().left() > W.GroupBox1->geometry().right());
    QVERIFY(W.lbPortDetail->geometry().right() < W.Panel1->geometry().left());
  }
};
COMFIND_GUI_TEST(TViewTest);

#include "ViewTest.moc"
