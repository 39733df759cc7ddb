// The port list following devices: HandleDeviceChange over lists the test makes up.
#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

#include "tests/gui/GuiTest.h"

using Names = std::vector<std::string>;
Q_DECLARE_METATYPE(Names)

namespace comfind {

class TDeviceChangeTest : public QObject {
  Q_OBJECT

 private slots:
  void Refresh_data() {
    QTest::addColumn<Names>("Before");
    QTest::addColumn<QString>("Chosen");  // empty: nothing selected
    QTest::addColumn<Names>("After");     // {"<unreadable>"}: the list cannot be read
    QTest::addColumn<QString>("Selected");
    QTest::addColumn<bool>("Warned");

    QTest::newRow("same ports") << Names{"COM1", "COM2", "COM3"} << "COM2"
                                << Names{"COM1", "COM2", "COM3"} << "COM2" << false;
    QTest::newRow("selected removed, others remain")
        << Names{"COM1", "COM2", "COM3"} << "COM2" << Names{"COM1", "COM3"} << "COM1" << true;
    QTest::newRow("only port removed") << Names{"COM4"} << "COM4" << Names{} << "" << true;
    QTest::newRow("list unreadable")
        << Names{"COM1", "COM2"} << "COM1" << Names{"<unreadable>"} << "" << true;
    QTest::newRow("first port arrives") << Names{} << "" << Names{"ttyUSB0"} << "ttyUSB0" << false;
    QTest::newRow("new port beside the chosen one")
        << Names{"COM1", "COM3", "COM5"} << "COM5" << Names{"COM1", "COM3", "COM4", "COM5", "COM6"}
        << "COM4" << false;
    QTest::newRow("chosen removed and new added")
        << Names{"COM1", "COM2"} << "COM2" << Names{"COM1", "COM7"} << "COM7" << true;
    QTest::newRow("still empty") << Names{} << "" << Names{} << "" << false;
  }

  void Refresh() {
    QFETCH(Names, Before);
    QFETCH(QString, Chosen);
    QFETCH(Names, After);
    QFETCH(QString, Selected);
    QFETCH(bool, Warned);

    TWindowUnderTest T(Before);
    TfmVisual& W = *T.Window;
    if (!Chosen.isEmpty()) W.cbChooseCom->setCurrentIndex(W.cbChooseCom->findText(Chosen));
    const std::string Rez = W.RezCaption();
    if (After == Names{"<unreadable>"}) {
      T.Readable = false;
      After.clear();
    } else {
      T.Ports = After;
    }

    T.DeviceChange();

    QCOMPARE(T.Items(), After);
    QCOMPARE(W.cbChooseCom->currentText(), Selected);
    QCOMPARE(W.cbChooseCom->currentIndex() < 0, Selected.isEmpty());
    if (Warned) {
      QCOMPARE(T.Log(), Names{GuiText::PortRemoved});
      QCOMPARE(W.RezCaption(), std::string(GuiText::PortRemoved));
      QCOMPARE(W.lbRez->text(), Ui(GuiText::PortRemoved));
    } else {
      QVERIFY(T.Log().empty());
      QCOMPARE(W.RezCaption(), Rez);
    }
    const bool Enabled = !After.empty();
    QCOMPARE(W.actFind->isEnabled(), Enabled);
    QCOMPARE(W.butFind->isEnabled(), Enabled);
    QCOMPARE(W.Action11->isEnabled(), Enabled);
    QCOMPARE(W.cbChooseCom->isEnabled(), Enabled);
  }

  void OnlyTheDevNodesChangedCodeRefreshes() {
    TWindowUnderTest T({"COM1", "COM2"});
    T.Window->cbChooseCom->setCurrentIndex(1);
    T.Ports = {"COM3"};
    // Arrival, removal complete, query remove, configuration changed ...
    for (uintptr_t Code : {0x8000u, 0x8004u, 0x8001u, 0x0018u, 0x0000u, 0x0107u}) {
      T.DeviceChange(Code);
      QCOMPARE(T.Items(), (Names{"COM1", "COM2"}));
      QCOMPARE(T.Window->ComboText(), std::string("COM2"));
    }
    QVERIFY(T.Log().empty());
    T.DeviceChange(7);
    QCOMPARE(T.Items(), (Names{"COM3"}));
  }

  void TheLogOnlyGrows() {
    TWindowUnderTest T({"COM1", "COM2"});
    T.Window->HistoryLines().Add("earlier line");
    T.Ports = {"COM2"};
    T.DeviceChange();
    T.Ports = {};
    T.DeviceChange();
    QCOMPARE(T.Log(), (Names{"earlier line", GuiText::PortRemoved, GuiText::PortRemoved}));
    QCOMPARE(T.Window->memHistory->toPlainText(), QStringLiteral("earlier line\n") +
                                                      Ui(GuiText::PortRemoved) + QLatin1Char('\n') +
                                                      Ui(GuiText::PortRemoved));
  }
};
COMFIND_GUI_TEST(TDeviceChangeTest);

}  // namespace comfind

#include "DeviceChangeTest.moc"
