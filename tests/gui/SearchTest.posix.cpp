// A search from the window over pseudo-terminals, clicked and read in the widgets: the
// instrument on the third port, the enabling while it runs, and a second search from the menu
// that appends to the log. (The search's behaviour in every case is tested on the form itself.)
#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QSocketNotifier>
#include <QTest>
#include <memory>

#include "testkit/Pty.h"
#include "tests/gui/GuiTest.h"

namespace comfind {

using Names = std::vector<std::string>;

namespace {

// The far end of a pseudo-terminal, served on the main thread: it swallows what the port
// writes and, when it plays the instrument, answers each probe with "OK" CR LF.
class TFarEnd {
 public:
  explicit TFarEnd(bool Instrument) : FInstrument(Instrument) {
    FNotifier = std::make_unique<QSocketNotifier>(FPty.MasterFd(), QSocketNotifier::Read);
    QObject::connect(FNotifier.get(), &QSocketNotifier::activated, [this] { Serve(); });
  }
  std::string Name() const { return FPty.SlavePath(); }
  int Probes() const { return FProbes; }

 private:
  void Serve() {
    FReceived += FPty.ReadAvailable();
    for (size_t At; (At = FReceived.find(FindText::Probe)) != std::string::npos;) {
      FReceived.erase(0, At + sizeof FindText::Probe - 1);
      ++FProbes;
      if (FInstrument) FPty.Write("OK\r\n");
    }
  }
  TPty FPty;
  bool FInstrument;
  std::unique_ptr<QSocketNotifier> FNotifier;
  std::string FReceived;
  int FProbes = 0;
};

// The log block of one port that stayed silent.
Names SilentBlock(const std::string& Port) {
  return {FindText::Separator, Port, FindText::ProbeEcho, FindText::NotFoundOn + Port};
}

QString Shown(const QLabel* Label) {
  QString Text = Label->text();
  return Text.remove(QChar(0x2060));
}

// Starts a search with Start and waits for its result (which may come before Start returns).
bool Search(TQtVisual& W, const std::function<void()>& Start) {
  QSignalSpy Done(&W, &TQtVisual::SearchFinished);
  Start();
  return Done.count() > 0 || Done.wait(20000);
}

}  // namespace

class TWindowSearchTest : public QObject {
  Q_OBJECT

 private slots:
  void FindsTheInstrumentOnTheThirdPort() {
    TFarEnd Silent1(false), Silent2(false), Instrument(true);
    const std::string P1 = Silent1.Name(), P2 = Silent2.Name(), P3 = Instrument.Name();
    TWindowUnderTest T({P1, P2, P3});
    TQtVisual& W = *T.Window;
    W.show();
    QVERIFY(QTest::qWaitForWindowExposed(&W));
    QSignalSpy Done(&W, &TQtVisual::SearchFinished);

    QTest::mouseClick(W.butFind, Qt::LeftButton);
    // Searching: the first probe is out and waits; only the search is disabled.
    QCOMPARE(T.Form().RezCaption(), std::string(FindText::Searching));
    QCOMPARE(Shown(W.lbRez), Ui(FindText::Searching));
    QCOMPARE(T.Log(), (Names{FindText::Searching, FindText::Separator, P1, FindText::ProbeEcho}));
    QVERIFY(!W.actFind->isEnabled());
    QVERIFY(!W.butFind->isEnabled());
    QVERIFY(!W.Action11->isEnabled());
    QVERIFY(W.cbChooseCom->isEnabled());
    QVERIFY(W.actFileExit->isEnabled());
    QVERIFY(W.butExit->isEnabled());

    // The user picks another port meanwhile; the search still visits all three.
    W.cbChooseCom->setCurrentIndex(1);
    QVERIFY(Done.wait(20000));

    QCOMPARE(W.cbChooseCom->currentIndex(), 2);
    QCOMPARE(T.Form().RezCaption(), FindText::FoundOn + P3);
    QCOMPARE(Shown(W.lbRez), Ui(FindText::FoundOn + P3));
    Names Expected{FindText::Searching};
    for (const auto& Block : {SilentBlock(P1), SilentBlock(P2)})
      Expected.insert(Expected.end(), Block.begin(), Block.end());
    for (const std::string& Line :
         {std::string(FindText::Separator), P3, std::string(FindText::ProbeEcho),
          std::string("<OK"), FindText::FoundOn + P3})
      Expected.push_back(Line);
    QCOMPARE(T.Log(), Expected);
    QCOMPARE(W.memHistory->toPlainText().split(QLatin1Char('\n')).size(),
             qsizetype(Expected.size()));
    QVERIFY(W.actFind->isEnabled());
    QVERIFY(W.butFind->isEnabled());
    QVERIFY(W.Action11->isEnabled());
    QCOMPARE(Silent1.Probes() + Silent2.Probes() + Instrument.Probes(), 3);

    // A second search, from the menu item: appended, nothing cleared.
    QVERIFY(Search(W, [&W] { W.Action11->trigger(); }));
    QCOMPARE(T.Log().size(), 2 * Expected.size());
    QVERIFY(std::equal(Expected.begin(), Expected.end(), T.Log().begin()));
    QVERIFY(std::equal(Expected.begin(), Expected.end(), T.Log().begin() + Expected.size()));
    QCOMPARE(W.memHistory->toPlainText().split(QLatin1Char('\n')).size(),
             qsizetype(2 * Expected.size()));
  }
};
COMFIND_GUI_TEST(TWindowSearchTest);

}  // namespace comfind

#include "SearchTest.posix.moc"
