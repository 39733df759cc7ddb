// comfind-cli: the instrument search without a window. It prints, as UTF-8 lines, exactly the
// lines the window's log receives for the same search, each as soon as it is appended.
// Exit status: 0 found, 1 not found (or the search failed), 2 bad usage, 130 interrupted.
#include <cstdio>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "cli/Console.h"
#include "framework/Classes.h"
#include "framework/MainLoop.h"
#include "port/ComEnum.h"
#include "port/storage/ComStorage.h"
#include "search/LogText.h"
#include "search/dmCom.h"
#include "tools/DemoPorts.h"

namespace comfind {

namespace {

constexpr int ExitFound = 0;
constexpr int ExitNotFound = 1;
constexpr int ExitUsage = 2;
constexpr int ExitInterrupted = 130;

const char HelpText[] =
    "Usage: comfind-cli [OPTION...] [PORT...]\n"
    "\n"
    "Finds the serial port a measuring instrument is attached to. Each PORT is opened in turn\n"
    "at 19200 baud, 8 data bits, no parity, one stop bit; the probe \"TRG0000000010000\" CR LF is\n"
    "sent and the reply line \"OK\" awaited for 500 ms. The first port that answers ends the\n"
    "search. With no PORT the machine's serial ports are searched, in the order --list shows.\n"
    "\n"
    "A PORT is a device name under /dev (ttyUSB0) or an absolute path (/dev/pts/3); on Windows\n"
    "a name such as COM7. At most 256 ports are searched at once.\n"
    "\n"
    "The output is the search log, one line per line, in UTF-8: every line sent (\">\"), every\n"
    "line received (\"<\") and a verdict for every port. Bytes below 0x20, 0x7F, 0x98 and the\n"
    "backslash in received text are shown as \\xHH.\n"
    "\n"
    "Options:\n"
    "  --list                print the machine's serial ports, one per line, and exit\n"
    "  --demo                search three virtual ports that this program creates itself: a\n"
    "                        silent one, one that answers with a line of noise, and one with\n"
    "                        the simulated instrument (the machine's own ports are not touched;\n"
    "                        not on Windows)\n"
    "  --load-settings FILE  read the port's settings from the ini file FILE before the search\n"
    "                        (section [cpCheck]); what the file lacks keeps its usual value\n"
    "  --save-settings FILE  write the port's settings to the ini file FILE after the search;\n"
    "                        when the instrument was found, Port is the port it was found on\n"
    "  --help                show this text and exit\n"
    "  --                    every later argument is a PORT\n"
    "\n"
    "Ctrl+C during a search closes the port and ends the program.\n"
    "\n"
    "Exit status: 0 found, 1 not found (also when the last port could not be opened, or the\n"
    "search failed), 2 bad usage, 130 interrupted.\n";

void PrintLine(const std::string& Line) {
  const std::string Text = LogLineToUtf8(Line) + "\n";
  std::fwrite(Text.data(), 1, Text.size(), stdout);
  std::fflush(stdout);
}

int Usage(const std::string& Problem) {
  std::fprintf(stderr, "comfind-cli: %s\nTry 'comfind-cli --help'.\n", Problem.c_str());
  return ExitUsage;
}

struct TArguments {
  bool Help = false;
  bool List = false;
  bool Demo = false;
  std::string LoadSettings;
  std::string SaveSettings;
  std::vector<std::string> Ports;
};

// Returns an empty text when the arguments are good, the problem otherwise.
std::string ParseArguments(int argc, char** argv, TArguments& Args) {
  bool OptionsEnded = false;
  for (int I = 1; I < argc; ++I) {
    const std::string Arg = argv[I];
    if (OptionsEnded || Arg.empty() || Arg[0] != '-') {
      Args.Ports.push_back(Arg);
    } else if (Arg == "--") {
      OptionsEnded = true;
    } else if (Arg == "--help" || Arg == "-h") {
      Args.Help = true;
    } else if (Arg == "--list") {
      Args.List = true;
    } else if (Arg == "--demo") {
      Args.Demo = true;
    } else if (Arg == "--load-settings" || Arg == "--save-settings") {
      if (I + 1 >= argc) return Arg + " needs a file name";
      (Arg == "--load-settings" ? Args.LoadSettings : Args.SaveSettings) = argv[++I];
    } else {
      return "unknown option " + Arg;
    }
  }
  if (Args.Help) return {};
  if (Args.List && (Args.Demo || !Args.Ports.empty())) return "--list takes no ports and no --demo";
  if (Args.Demo && !Args.Ports.empty()) return "--demo takes no ports";
  if (Args.Ports.size() > static_cast<size_t>(TdmCom::MaxFindPorts))
    return "at most " + std::to_string(TdmCom::MaxFindPorts) + " ports can be searched at once";
  return {};
}

// The run of one search: the data module, the log that prints itself, and how it ended.
class TCliSearch {
 public:
  TCliSearch() {
    FLog.OnChange = [this](TObject*) {
      while (FPrinted < FLog.Count()) {
        const std::string& Line = FLog[FPrinted++];
        PrintLine(Line);
        if (Line == FindText::OpenFailed) HintAtPermissions();
      }
    };
  }

  TdmCom& DataModule() { return FDataModule; }

  // Runs the search over Ports and returns the exit status.
  int Run(const TStrings& Ports) {
    TMainLoop& Loop = TMainLoop::Instance();
    // An exception the search lets travel is shown as the default report shows it (the
    // rethrow hands it back to that report) and ends the run.
    Loop.SetExceptionHandler([this, &Loop](TObject*, std::exception_ptr E) {
      FFailed = true;
      Loop.Terminate();
      std::rethrow_exception(E);
    });
    TInterruptWatch Watch([this, &Loop] {
      Loop.Post([this, &Loop] {
        FInterrupted = true;
        Loop.Terminate();
      });
    });

    FLog.Add(FindText::Searching);
    try {
      FDataModule.StartFind(Ports, FLog, TFindDoneEvent(this, &TCliSearch::FindDone));
    } catch (...) {
      Loop.HandleException(nullptr, std::current_exception());
    }
    if (!FDone && !FFailed) Loop.Run();

    // Whatever ended the run, the port is closed before the program goes; a failing close is
    // reported like any other failure.
    try {
      FDataModule.tmrFind->SetEnabled(false);
      FDataModule.cpCheck->Close();
    } catch (...) {
      Loop.HandleException(nullptr, std::current_exception());
    }
    Loop.SetExceptionHandler(nullptr);
    if (FInterrupted && !FDone) return ExitInterrupted;
    if (FFailed || !FDone) return ExitNotFound;
    return FResult == frFound ? ExitFound : ExitNotFound;
  }

  bool Found() const { return FDone && !FFailed && FResult == frFound; }

 private:
  void FindDone(TFindResult Result, uint8_t) {
    FDone = true;
    FResult = Result;
    if (Result != frFound) FLog.Add(FindText::NotFound);
    TMainLoop::Instance().Terminate();
  }

  // A port refused for want of rights looks to the user like a port that is not there; the
  // usual cause on Linux has a usual remedy, said once per run and kept off stdout, which
  // carries only the log.
  void HintAtPermissions() {
    if (FHinted || FDataModule.FindIndex() >= FDataModule.FindPorts().Count()) return;
    std::string Path;
    if (!PortPermissionDenied(FDataModule.FindPorts()[FDataModule.FindIndex()], Path)) return;
    FHinted = true;
    std::fflush(stdout);
    std::fprintf(stderr,
                 "comfind-cli: permission denied on %s: serial devices belong to the group "
                 "'dialout'; add your user to it (sudo adduser $USER dialout) and log in again.\n",
                 Path.c_str());
  }

  TdmCom FDataModule{nullptr};
  TStringList FLog;
  int FPrinted = 0;
  bool FHinted = false;
  bool FDone = false;
  bool FFailed = false;
  bool FInterrupted = false;
  TFindResult FResult = frNotFound;
};

// Reports a failure outside the search (settings files, virtual ports) the way the default
// exception report does.
void Report(std::exception_ptr E) {
  TMainLoop::Instance().HandleException(nullptr, E);
}

}  // namespace

}  // namespace comfind

using namespace comfind;

int main(int argc, char** argv) {
  PrepareUtf8Console();
  TMainLoop::Instance().AttachMainThread();

  TArguments Args;
  const std::string Problem = ParseArguments(argc, argv, Args);
  if (!Problem.empty()) return Usage(Problem);
  if (Args.Help) {
    std::fputs(HelpText, stdout);
    return 0;
  }

  if (Args.List) {
    TStringList Names;
    ListComPorts(Names);
    for (const std::string& Name : Names.Items())
      PrintLine(Name);
    return 0;
  }

  TStringList Ports;
  std::unique_ptr<TDemoPorts> Demo;
  if (Args.Demo) {
    if (!TDemoPorts::Available())
      return Usage("--demo needs pseudo-terminals, which this system does not have");
    try {
      Demo = std::make_unique<TDemoPorts>();
    } catch (...) {
      Report(std::current_exception());
      return ExitNotFound;
    }
    Demo->GetNames(Ports);
  } else if (!Args.Ports.empty()) {
    Ports.SetItems(Args.Ports);
  } else {
    ListComPorts(Ports);
    if (Ports.Count() > TdmCom::MaxFindPorts)
      return Usage("the machine lists more than " + std::to_string(TdmCom::MaxFindPorts) +
                   " serial ports; name the ones to search");
  }

  TCliSearch Search;
  TComPort& Port = *Search.DataModule().cpCheck;
  if (!Args.LoadSettings.empty()) {
    try {
      LoadComPortSettings(Port, Args.LoadSettings);
    } catch (...) {
      Report(std::current_exception());
      return ExitUsage;
    }
  }
  const std::string StoredPort = Port.Port();

  const int Status = Search.Run(Ports);
  if (Status == ExitInterrupted || Args.SaveSettings.empty()) return Status;

  // A search that found nothing leaves the name of its last port behind, which is no port
  // worth keeping.
  if (!Search.Found()) Port.SetPort_(StoredPort);
  try {
    SaveComPortSettings(Port, Args.SaveSettings);
  } catch (...) {
    Report(std::current_exception());
    return ExitNotFound;
  }
  return Status;
}
