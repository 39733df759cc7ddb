// comfind: the window that finds the port a measuring instrument is attached to.
//
//   comfind                     the machine's serial ports
//   comfind --demo              virtual ports with a simulated instrument on the third
//   comfind --autostart         start a search as soon as the window shows
//   comfind --screenshot FILE   after the first search, save a picture of the window and end
#include <QApplication>
#include <QCommandLineParser>
#include <QTimer>
#include <cstdio>
#include <memory>

#include "framework/MainLoop.h"
#include "port/ComEnum.h"
#include "search/dmCom.h"
#include "tools/DemoPorts.h"
#include "ui/qt/DeviceWatch.h"
#include "ui/qt/QtMainLoop.h"
#include "ui/qt/QtVisual.h"

using namespace comfind;

int main(int argc, char** argv) {
  QApplication Application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("comfind"));
  QApplication::setApplicationDisplayName(QStringLiteral("comfind"));
  QApplication::setApplicationVersion(QStringLiteral("0.1.0"));
  // Beside the program; nothing opens it yet.
  Application.setProperty("HelpFile",
                          QApplication::applicationDirPath() + QStringLiteral("/Help.chm"));

  QCommandLineParser Options;
  Options.addHelpOption();
  Options.addVersionOption();
  const QCommandLineOption Demo(
      QStringLiteral("demo"), QStringLiteral("Search virtual ports with a simulated instrument."));
  const QCommandLineOption Autostart(QStringLiteral("autostart"),
                                     QStringLiteral("Start a search when the window shows."));
  const QCommandLineOption Screenshot(
      QStringLiteral("screenshot"),
      QStringLiteral("After the first search, save the window as a PNG file and quit."),
      QStringLiteral("file"));
  Options.addOptions({Demo, Autostart, Screenshot});
  Options.process(Application);

  TQtMainLoop Loop;

  std::unique_ptr<TDemoPorts> DemoPorts;
  TPortListSource ListPorts;  // the machine's ports
  if (Options.isSet(Demo)) {
    try {
      DemoPorts = std::make_unique<TDemoPorts>();
    } catch (const std::exception& E) {
      std::fprintf(stderr, "comfind: the demo ports cannot be created: %s\n", E.what());
      return 1;
    }
    ListPorts = [&DemoPorts](TStrings& List) { DemoPorts->GetNames(List); };
  }

  // The data module first: the window's creation lists the ports and may start a search.
  auto dmCom = std::make_unique<TdmCom>(nullptr);
  auto fmVisual = std::make_unique<TQtVisual>(*dmCom, ListPorts);
  // An exception that escapes a handler is shown in a message box over the window.
  Loop.SetReport(
      [&fmVisual](TObject*, std::exception_ptr E) { fmVisual->Form().ShowException(E); });
  TDeviceWatch Watch(fmVisual.get(), [&fmVisual](TMessage& Message) {
    Guarded([&] { fmVisual->Form().HandleDeviceChange(Message); });
  });

  int ExitCode = 0;
  if (Options.isSet(Screenshot)) {
    const QString File = Options.value(Screenshot);
    QObject::connect(fmVisual.get(), &TQtVisual::SearchFinished, fmVisual.get(),
                     [&fmVisual, &ExitCode, File] {
                       // After the result has been painted.
                       QTimer::singleShot(50, fmVisual.get(), [&fmVisual, &ExitCode, File] {
                         if (!fmVisual->grab().save(File, "PNG")) {
                           std::fprintf(stderr, "comfind: cannot write %s\n", qPrintable(File));
                           ExitCode = 1;
                         }
                         QApplication::quit();
                       });
                     });
  }
  fmVisual->show();
  if (Options.isSet(Autostart) || Options.isSet(Screenshot))
    QTimer::singleShot(0, fmVisual.get(), [&fmVisual] {
      if (fmVisual->Form().Enabled(vcFind))
        fmVisual->actFind->trigger();
      else
        emit fmVisual->SearchFinished();  // no ports: the picture shows the empty window
    });

  const int Result = QApplication::exec();
  // A search cut short by the end of the program leaves the port open: close it while the
  // window that the search reports to still exists.
  try {
    dmCom->tmrFind->SetEnabled(false);
    dmCom->cpCheck->Close();
  } catch (...) {
    TMainLoop::Instance().HandleException(nullptr, std::current_exception());
  }
  Loop.SetReport(&TQtMainLoop::ShowExceptionBox);
  fmVisual.reset();
  dmCom.reset();
  return ExitCode ? ExitCode : Result;
}
