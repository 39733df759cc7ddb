// Runs the framework's main-thread loop on Qt's event loop: queued work, sends from the port's
// event thread and the main-thread timers are served between Qt's own events, and the default
// exception report becomes a message box. Create one on the main thread after the
// QApplication; it detaches itself from the loop when destroyed.
#pragma once

#include <QObject>
#include <QTimer>
#include <atomic>
#include <exception>

namespace comfind {

class TObject;

class TQtMainLoop : public QObject {
  Q_OBJECT

 public:
  explicit TQtMainLoop(QObject* Parent = nullptr);
  ~TQtMainLoop() override;

  // The message box of the default exception report; tests replace it to see the report.
  using TReport = std::function<void(TObject* Sender, std::exception_ptr E)>;
  void SetReport(TReport Report) { FReport = std::move(Report); }
  static void ShowExceptionBox(TObject* Sender, std::exception_ptr E);

 private:
  void Wake();
  void Drain();

  QTimer FTimer;
  std::atomic<bool> FQueued{false};
  TReport FReport;
};

}  // namespace comfind
