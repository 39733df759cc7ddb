// The port list following devices: HandleDeviceChange over lists the test makes up.
#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

#include "tests/gui/GuiTest.h"

using Names = std::vector<std::string>;

namespace {

// Selects Name in the window's box as a user would.
void Choose(TWindowUnderTest& T, const std::string& Name) {
  const int I = T.Window->cbChooseCom->findText(Ui(Name));
  QVERIFY(I >= 0);
  T.Window->cbChooseCom->setCurrentIndex(I);
}

void VerifySearchEnabled(TfmVisual& W, bool Enabled) {
  QCOMPARE(W.actFind->isEnabled(), Enabled);
  QCOMPARE(W.butFind->isEnabled(), Enabled);
  QCOMPARE(W.Action11->isEnabled(), Enabled);
  QCOMPARE(W.cbChooseCom->isEnabled(), Enabled);
}

}  // namespace

class TDeviceChangeTest : public QObject {
  Q_OBJECT

 private slots:
  void OnlyTheDevNodesChangedCodeRefreshes() {
    TWindowUnderTest T({"COM1", "COM2"});
    Choose(T, "COM2");
    const std::string Rez = T.Window->RezCaption();
    T.Ports = {"COM3"};
    // Arrival, removal complete, query remove, configuration changed ...
    for (uintptr_t Code : {0x8000u, 0x8004u, 0x8001u, 0x0018u, 0x0000u, 0x0107u}) {
      T.DeviceChange(Code);
      QCOMPARE(T.Items(), (Names{"COM1", "COM2"}));
      QCOMPARE(T.Window->ComboText(), std::string("COM2"));
    }
    QVERIFY(T.Log().empty());
    QCOMPARE(T.Window->RezCaption(), Rez);
    T.DeviceChange(7);
    QCOMPARE(T.Items(), (Names{"COM3"}));
  }

  void TheSamePortsKeepTheSelectionQuietly() {
    TWindowUnderTest T({"COM1", "COM2", "COM3"});
    Choose(T, "COM2");
    const std::string Rez = T.Window->RezCaption();
    T.DeviceChange();
    QCOMPARE(T.Items(), (Names{"COM1", "COM2", "COM3"}));
    QCOMPARE(T.Window->ComboText(), std::string("COM2"));
    QVERIFY(T.Log().empty());
    QCOMPARE(T.Window->RezCaption(), Rez);
    VerifySearchEnabled(*T.Window, true);
  }

  void TheSelectedPortVanishingWarnsAndSelectsTheFirst() {
    TWindowUnderTest T({"COM1", "COM2", "COM3"});
    Choose(T, "COM2");
    T.Ports = {"COM1", "COM3"};
    T.DeviceChange();
    QCOMPARE(T.Window->cbChooseCom->currentIndex(), 0);
    QCOMPARE(T.Window->ComboText(), std::string("COM1"));
    QCOMPARE(T.Log(), (Names{GuiText::PortRemoved}));
    QCOMPARE(T.Window->RezCaption(), std::string(GuiText::PortRemoved));
    QCOMPARE(T.Window->lbRez->text(), Ui(GuiText::PortRemoved));
    VerifySearchEnabled(*T.Window, true);
  }

  void TheOnlyPortVanishingDisablesTheSearch() {
    TWindowUnderTest T({"COM4"});
    T.Ports.clear();
    T.DeviceChange();
    QCOMPARE(T.Window->cbChooseCom->count(), 0);
    QCOMPARE(T.Window->cbChooseCom->currentIndex(), -1);
    QCOMPARE(T.Log(), (Names{GuiText::PortRemoved}));
    QCOMPARE(T.Window->RezCaption(), std::string(GuiText::PortRemoved));
    VerifySearchEnabled(*T.Window, false);

    // A second empty refresh has nothing selected to lose: no second warning.
    T.DeviceChange();
    QCOMPARE(T.Log().size(), 1u);
  }

  void AnUnreadableListActsAsNoPorts() {
    TWindowUnderTest T({"COM1", "COM2"});
    T.Readable = false;
    T.DeviceChange();
    QCOMPARE(T.Window->cbChooseCom->count(), 0);
    QCOMPARE(T.Log(), (Names{GuiText::PortRemoved}));
    VerifySearchEnabled(*T.Window, false);
  }

  void AFirstPortArrivingIsSelectedQuietly() {
    TWindowUnderTest T({});
    const std::string Rez = T.Window->RezCaption();
    T.Ports = {"ttyUSB0"};
    T.DeviceChange();
    QCOMPARE(T.Window->ComboText(), std::string("ttyUSB0"));
    VerifySearchEnabled(*T.Window, true);
    QVERIFY(T.Log().empty());
    QCOMPARE(T.Window->RezCaption(), Rez);
  }

  void ANewPortTakesTheSelectionFromAPortStillThere() {
    TWindowUnderTest T({"COM1", "COM3", "COM5"});
    Choose(T, "COM5");
    T.Ports = {"COM1", "COM3", "COM4", "COM5", "COM6"};
    T.DeviceChange();
    // The first new one in list order.
    QCOMPARE(T.Window->ComboText(), std::string("COM4"));
    QVERIFY(T.Log().empty());
  }

  void RemovedAndAddedInOneRefreshWarnsAndSelectsTheNewPort() {
    TWindowUnderTest T({"COM1", "COM2"});
    Choose(T, "COM2");
    T.Ports = {"COM1", "COM7"};
    T.DeviceChange();
    QCOMPARE(T.Log(), (Names{GuiText::PortRemoved}));
    QCOMPARE(T.Window->RezCaption(), std::string(GuiText::PortRemoved));
    QCOMPARE(T.Window->ComboText(), std::string("COM7"));
  }

  void TheLogOnlyGrows() {
    TWindowUnderTest T({"COM1", "COM2"});
    Choose(T, "COM1");
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

#include "DeviceChangeTest.moc"
