// The framework's main-thread loop driven by Qt's: timers, work from other threads, the hidden
// window's sends and the default exception report, all served while Qt's loop runs.
#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <thread>

#include "framework/MainLoop.h"
#include "tests/gui/GuiTest.h"
#include "ui/qt/QtMainLoop.h"

namespace comfind {

class TQtLoopTest : public QObject {
  Q_OBJECT

  TQtMainLoop* Loop() { return QApplication::instance()->findChild<TQtMainLoop*>(); }

 private slots:
  void TimersTickOnTheMainThreadAtTheirInterval() {
    TTimer Timer(nullptr);
    int Ticks = 0;
    bool OnMain = true;
    Timer.SetInterval(50);
    Timer.OnTimer = [&](TObject*) {
      OnMain = OnMain && TMainLoop::Instance().IsMainThread();
      if (++Ticks == 3) Timer.SetEnabled(false);
    };
    QElapsedTimer Clock;
    Clock.start();
    Timer.SetEnabled(true);
    QTRY_COMPARE_WITH_TIMEOUT(Ticks, 3, 10000);
    // Never early: three intervals have passed.
    QVERIFY(Clock.elapsed() >= 150 - 5);
    QVERIFY(OnMain);
    // Disabled from its own handler: no fourth tick however long the loop runs on.
    QTimer Later;
    Later.setSingleShot(true);
    Later.start(200);
    QTRY_VERIFY(!Later.isActive());
    QCOMPARE(Ticks, 3);
  }

  void WorkFromOtherThreadsIsServedByQtsLoop() {
    std::atomic<bool> PostedRan{false}, SyncReturned{false};
    std::atomic<int> SyncOnMain{0};
    std::thread Worker([&] {
      TMainLoop::Instance().Post([&] { PostedRan = TMainLoop::Instance().IsMainThread(); });
      TMainLoop::Instance().Synchronize(
          [&] { SyncOnMain = TMainLoop::Instance().IsMainThread() ? 1 : 2; });
      SyncReturned = true;
    });
    QTRY_VERIFY_WITH_TIMEOUT(SyncReturned.load(), 10000);
    Worker.join();
    QTRY_VERIFY(PostedRan.load());
    QCOMPARE(SyncOnMain.load(), 1);
  }

  void ASendFromAWorkerIsAnsweredOnTheMainThread() {
    bool OnMain = false;
    TMessageWindow Window([&OnMain](TMessage& M) {
      OnMain = TMainLoop::Instance().IsMainThread();
      M.Result = static_cast<intptr_t>(M.WParam * 2);
    });
    std::atomic<intptr_t> Result{-1};
    std::thread Worker([&] { Result = Window.SendMessage_(WM_USER_ + 1, 21, 0); });
    QTRY_COMPARE_WITH_TIMEOUT(Result.load(), intptr_t(42), 10000);
    Worker.join();
    QVERIFY(OnMain);
  }

  void AnEscapedExceptionIsReportedAndTheLoopGoesOn() {
    QVERIFY(Loop());
    std::vector<std::string> Reports;
    Loop()->SetReport([&Reports](TObject*, std::exception_ptr E) {
      try {
        std::rethrow_exception(E);
      } catch (const std::exception& Ex) {
        Reports.push_back(Ex.what());
      }
    });
    bool After = false;
    TMainLoop::Instance().Post([] { throw Exception("first failure"); });
    TMainLoop::Instance().Post([&After] { After = true; });
    QTRY_VERIFY(After);
    Loop()->SetReport(&TQtMainLoop::ShowExceptionBox);
    QCOMPARE(Reports, (std::vector<std::string>{"first failure"}));
  }

  void TheDefaultReportIsAMessageBoxWithTheDecodedText() {
    QVERIFY(Loop());
    QString Seen;
    QTimer Closer;
    connect(&Closer, &QTimer::timeout, [&Seen] {
      if (auto* Box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
        Seen = Box->text();
        Box->accept();
      }
    });
    Closer.start(20);
    bool After = false;
    // "Ошибка порта" in code page 1251
    TMainLoop::Instance().Post(
        [] { throw Exception("\xCE\xF8\xE8\xE1\xEA\xE0 \xEF\xEE\xF0\xF2\xE0"); });
    TMainLoop::Instance().Post([&After] { After = true; });
    QTRY_VERIFY_WITH_TIMEOUT(After, 10000);
    QCOMPARE(Seen, QString::fromUtf8("Ошибка порта"));
  }
};
COMFIND_GUI_TEST(TQtLoopTest);

}  // namespace comfind

#include "LoopTest.moc"
