#include "ui/qt/QtMainLoop.h"

#include <QApplication>
#include <QMessageBox>
#include <QMetaObject>
#include <QWidget>

#include "framework/Classes.h"
#include "framework/MainLoop.h"

namespace comfind {

TQtMainLoop::TQtMainLoop(QObject* Parent) : QObject(Parent), FReport(&ShowExceptionBox) {
  FTimer.setSingleShot(true);
  // Timers of the loop are milliseconds apart (the search waits 500 ms): a coarse Qt timer
  // could fire a little early and find nothing due.
  FTimer.setTimerType(Qt::PreciseTimer);
  connect(&FTimer, &QTimer::timeout, this, &TQtMainLoop::Drain);

  TMainLoop& Loop = TMainLoop::Instance();
  Loop.AttachMainThread();
  Loop.SetExceptionHandler([this](TObject* Sender, std::exception_ptr E) {
    if (FReport) FReport(Sender, E);
  });
  Loop.SetWakeHook([this] { Wake(); });
  // Work may have been queued before the hook was in place.
  Wake();
}

TQtMainLoop::~TQtMainLoop() {
  TMainLoop& Loop = TMainLoop::Instance();
  Loop.SetWakeHook(nullptr);
  Loop.SetExceptionHandler(nullptr);
}

// Any thread. One queued drain at a time is enough: it serves everything due when it runs, and
// the flag is cleared before it starts, so work queued while it runs queues the next one.
void TQtMainLoop::Wake() {
  if (FQueued.exchange(true)) return;
  QMetaObject::invokeMethod(this, &TQtMainLoop::Drain, Qt::QueuedConnection);
}

void TQtMainLoop::Drain() {
  FQueued = false;
  const auto Next = TMainLoop::Instance().ProcessPending();
  if (Next.count() < 0) {
    FTimer.stop();
  } else if (Next.count() == 0) {
    Wake();
  } else {
    FTimer.start(static_cast<int>(std::min<long long>(Next.count(), 24LL * 3600 * 1000)));
  }
}

void TQtMainLoop::ShowExceptionBox(TObject*, std::exception_ptr E) {
  QString Text;
  try {
    std::rethrow_exception(E);
  } catch (const Exception& Ex) {
    Text = QString::fromStdString(Cp1251ToUtf8(Ex.Message()));
  } catch (const std::exception& Ex) {
    Text = QString::fromLocal8Bit(Ex.what());
  } catch (...) {
    Text = QStringLiteral("Unknown exception");
  }
  QMessageBox::critical(QApplication::activeWindow(), QApplication::applicationDisplayName(), Text);
}

}  // namespace comfind
