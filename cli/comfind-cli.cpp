// comfind-cli: the instrument search without a window. It prints, as UTF-8 lines, exactly the
// lines the window's log receives for the same search, each as soon as it is appended.
// Exit status: 0 found, 1 not found (or the search failed), 2 bad usage, 130 interrupted.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "cli/Console.h"
#include "cli/Output.h"
#include "framework/Classes.h"
#include "framework/MainLoop.h"
#include "port/ComEnum.h"
#include "port/storage/ComStorage.h"
#include "search/LogText.h"
#include "search/ParallelFind.h"
#include "search/PortText.h"
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
    "       comfind-cli --list [--long | --json]\n"
    "\n"
    "Finds the serial port a measuring instrument is attached to. Each PORT is opened in turn\n"
    "at 19200 baud, 8 data bits, no parity, one stop bit; the probe \"TRG0000000010000\" CR LF is\n"
    "sent and the reply line \"OK\" awaited for 500 ms. The first port that answers ends the\n"
    "search. With no PORT the machine's serial ports are searched, in the order --list shows.\n"
    "\n"
    "A PORT is a device name under /dev (ttyUSB0) or an absolute path (/dev/pts/3,\n"
    "/dev/serial/by-id/...); on Windows a name such as COM7. At most 256 ports are searched at\n"
    "once.\n"
    "\n"
    "The output is the search log, one line per line, in UTF-8: every line sent (\">\"), every\n"
    "line received (\"<\") and a verdict for every port. Bytes below 0x20, 0x7F, 0x98 and the\n"
    "backslash in received text are shown as \\xHH.\n"
    "\n"
    "Options:\n"
    "  --list                print the machine's serial ports, one per line, and exit\n"
    "  --long                with --list: a table with each port's USB ids, serial number,\n"
    "                        driver, description, manufacturer and /dev/serial/by-id path\n"
    "  --json                print one JSON document instead of the log: with --list the ports\n"
    "                        and their details, otherwise every port searched with its details,\n"
    "                        outcome, reply and time, and the verdict (see the manual page)\n"
    "  --parallel            open and probe every port at the same time, with one shared wait;\n"
    "                        the search ends as soon as a port answers (the ports still waiting\n"
    "                        are closed, their log blocks say so)\n"
    "  --all                 wait for every port's verdict and report every port that answered\n"
    "                        (implies --parallel)\n"
    "  --probe TEXT          send TEXT (CR LF follows) instead of TRG0000000010000; \\xHH in\n"
    "                        TEXT stands for the byte HH, \\\\ for a backslash\n"
    "  --expect TEXT         the reply line that counts instead of OK (ASCII letters compared\n"
    "                        without regard to case; \\xHH and \\\\ as for --probe)\n"
    "  --timeout MS          wait MS milliseconds for the reply instead of 500 (1 to 600000)\n"
    "  --baud N              open the ports at N bits per second instead of 19200\n"
    "  --demo                search three virtual ports that this program creates itself: a\n"
    "                        silent one, one that answers with a line of noise, and one with\n"
    "                        the simulated instrument (the machine's own ports are not touched;\n"
    "                        not on Windows)\n"
    "  --load-settings FILE  read the port's settings from the ini file FILE before the search\n"
    "                        (section [cpCheck]); what the file lacks keeps its usual value, and\n"
    "                        --baud, given too, wins over the file's rate\n"
    "  --save-settings FILE  write the port's settings to the ini file FILE after the search;\n"
    "                        when the instrument was found, Port is the port it was found on\n"
    "  --help                show this text and exit\n"
    "  --                    every later argument is a PORT\n"
    "\n"
    "Ctrl+C during a search closes the port and ends the program.\n"
    "\n"
    "Exit status: 0 found (with --all: at least one port answered), 1 not found (also when the\n"
    "last port could not be opened, or the search failed), 2 bad usage, 130 interrupted.\n";

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
  bool Long = false;
  bool Json = false;
  bool Demo = false;
  bool Parallel = false;
  bool All = false;
  bool HasProbe = false;
  bool HasExpect = false;
  std::string Probe;
  std::string Expect;
  uint32_t TimeoutMs = 0;  // 0: not given
  int32_t Baud = 0;        // 0: not given
  std::string LoadSettings;
  std::string SaveSettings;
  std::vector<std::string> Ports;
};

// TEXT of --probe and --expect: its bytes as they stand, except \xHH (any byte) and \\.
bool Unescape(const std::string& Text, std::string& Bytes) {
  auto Hex = [](char C) {
    if (C >= '0' && C <= '9') return C - '0';
    if (C >= 'a' && C <= 'f') return C - 'a' + 10;
    if (C >= 'A' && C <= 'F') return C - 'A' + 10;
    return -1;
  };
  Bytes.clear();
  for (size_t I = 0; I < Text.size(); ++I) {
    if (Text[I] != '\\') {
      Bytes += Text[I];
    } else if (I + 1 < Text.size() && Text[I + 1] == '\\') {
      Bytes += '\\';
      ++I;
    } else if (I + 3 < Text.size() && Text[I + 1] == 'x' && Hex(Text[I + 2]) >= 0 &&
               Hex(Text[I + 3]) >= 0) {
      Bytes += static_cast<char>(Hex(Text[I + 2]) * 16 + Hex(Text[I + 3]));
      I += 3;
    } else {
      return false;
    }
  }
  return true;
}

// A whole decimal number between Min and Max.
bool ParseNumber(const std::string& Text, int64_t Min, int64_t Max, int64_t& Value) {
  if (Text.empty() || Text.size() > 12) return false;
  Value = 0;
  for (const char C : Text) {
    if (C < '0' || C > '9') return false;
    Value = Value * 10 + (C - '0');
  }
  return Value >= Min && Value <= Max;
}

// Returns an empty text when the arguments are good, the problem otherwise.
std::string ParseArguments(int argc, char** argv, TArguments& Args) {
  bool OptionsEnded = false;
  bool SearchOptions = false;  // an option that only a search takes
  for (int I = 1; I < argc; ++I) {
    const std::string Arg = argv[I];
    auto Value = [&](std::string& Into) {
      if (I + 1 >= argc) return false;
      Into = argv[++I];
      return true;
    };
    std::string Text;
    if (OptionsEnded || Arg.empty() || Arg[0] != '-') {
      Args.Ports.push_back(Arg);
    } else if (Arg == "--") {
      OptionsEnded = true;
    } else if (Arg == "--help" || Arg == "-h") {
      Args.Help = true;
    } else if (Arg == "--list") {
      Args.List = true;
    } else if (Arg == "--long") {
      Args.Long = true;
    } else if (Arg == "--json") {
      Args.Json = true;
    } else if (Arg == "--demo") {
      Args.Demo = true;
    } else if (Arg == "--parallel") {
      Args.Parallel = SearchOptions = true;
    } else if (Arg == "--all") {
      Args.All = Args.Parallel = SearchOptions = true;
    } else if (Arg == "--probe" || Arg == "--expect") {
      if (!Value(Text)) return Arg + " needs a text";
      std::string& Into = Arg == "--probe" ? Args.Probe : Args.Expect;
      if (!Unescape(Text, Into))
        return "bad escape in " + Arg + " text (\\xHH for a byte, \\\\ for a backslash)";
      (Arg == "--probe" ? Args.HasProbe : Args.HasExpect) = SearchOptions = true;
    } else if (Arg == "--timeout") {
      int64_t N = 0;
      if (!Value(Text) || !ParseNumber(Text, 1, 600000, N))
        return "--timeout needs a number of milliseconds from 1 to 600000";
      Args.TimeoutMs = static_cast<uint32_t>(N);
      SearchOptions = true;
    } else if (Arg == "--baud") {
      int64_t N = 0;
      if (!Value(Text) || !ParseNumber(Text, 1, 100000000, N))
        return "--baud needs a rate in bits per second";
      Args.Baud = static_cast<int32_t>(N);
      SearchOptions = true;
    } else if (Arg == "--load-settings" || Arg == "--save-settings") {
      if (!Value(Arg == "--load-settings" ? Args.LoadSettings : Args.SaveSettings))
        return Arg + " needs a file name";
      SearchOptions = true;
    } else {
      return "unknown option " + Arg;
    }
  }
  if (Args.Help) return {};
  if (Args.List && (Args.Demo || !Args.Ports.empty() || SearchOptions))
    return "--list takes no ports, no --demo and no search options";
  if (Args.Long && !Args.List) return "--long goes with --list";
  if (Args.Long && Args.Json) return "--long and --json do not go together";
  if (Args.Demo && !Args.Ports.empty()) return "--demo takes no ports";
  if (Args.Ports.size() > static_cast<size_t>(TdmCom::MaxFindPorts))
    return "at most " + std::to_string(TdmCom::MaxFindPorts) + " ports can be searched at once";
  return {};
}

// The bits per second of a port's rate setting.
int32_t BitsPerSecond(const TComPort& Port) {
  return Port.BaudRate() == brCustom ? Port.CustomBaudRate() : BaudRateValue(Port.BaudRate());
}

void SetBitsPerSecond(TComPort& Port, int32_t Rate) {
  Port.SetCustomBaudRate(Rate);
  for (int B = br110; B <= br256000; ++B) {
    if (BaudRateValue(static_cast<TBaudRate>(B)) == Rate) {
      Port.SetBaudRate(static_cast<TBaudRate>(B));
      return;
    }
  }
  Port.SetBaudRate(brCustom);
}

// The run of one search: the data module (whose port holds the settings), the search over all
// ports at once when it is asked for, the log that prints itself, and how it ended.
class TCliSearch {
 public:
  // Json: the log is kept for the document instead of being printed.
  explicit TCliSearch(bool Json) : FJson(Json) {
    FLog.OnChange = [this](TObject*) {
      if (FJson) return;
      while (FPrinted < FLog.Count())
        PrintLine(FLog[FPrinted++]);
    };
    FDataModule.OnPortDone = TProbeDoneEvent(this, &TCliSearch::PortDone);
    FParallel.OnPortDone = TProbeDoneEvent(this, &TCliSearch::PortDone);
  }

  TdmCom& DataModule() { return FDataModule; }
  TParallelFind& Parallel() { return FParallel; }

  // Runs the search over Ports and returns the exit status.
  int Run(const TStrings& Ports, bool AllAtOnce) {
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
      if (AllAtOnce)
        FParallel.StartFind(Ports, FLog, TFindDoneEvent(this, &TCliSearch::FindDone),
                            *FDataModule.cpCheck);
      else
        FDataModule.StartFind(Ports, FLog, TFindDoneEvent(this, &TCliSearch::FindDone));
    } catch (...) {
      Loop.HandleException(nullptr, std::current_exception());
    }
    if (!FDone && !FFailed) Loop.Run();

    // Whatever ended the run, the ports are closed before the program goes; a failing close is
    // reported like any other failure. A port stopped in the middle of its wait is reported so.
    try {
      if (AllAtOnce) {
        FParallel.Stop();
      } else {
        FDataModule.tmrFind->SetEnabled(false);
        if (!FDone && FDataModule.cpCheck->Connected())
          FReports.push_back(FDataModule.ProbeSoFar());
        FDataModule.cpCheck->Close();
      }
    } catch (...) {
      Loop.HandleException(nullptr, std::current_exception());
    }
    Loop.SetExceptionHandler(nullptr);
    if (FInterrupted && !FDone) return ExitInterrupted;
    if (FFailed || !FDone) return ExitNotFound;
    return FResult == frFound ? ExitFound : ExitNotFound;
  }

  bool Found() const { return FDone && !FFailed && FResult == frFound; }
  bool Interrupted() const { return FInterrupted && !FDone; }
  bool Failed() const { return FFailed; }
  const TStrings& Log() const { return FLog; }
  const std::vector<TProbeReport>& Reports() const { return FReports; }
  // The ports that answered, in the order they were searched.
  std::vector<std::string> FoundPorts() const {
    std::vector<const TProbeReport*> Answered;
    for (const TProbeReport& R : FReports)
      if (R.Outcome == poAnswered) Answered.push_back(&R);
    std::stable_sort(
        Answered.begin(), Answered.end(),
        [](const TProbeReport* A, const TProbeReport* B) { return A->Index < B->Index; });
    std::vector<std::string> Names;
    for (const TProbeReport* R : Answered)
      Names.push_back(R->Port);
    return Names;
  }

 private:
  void FindDone(TFindResult Result, uint8_t) {
    FDone = true;
    FResult = Result;
    if (Result != frFound) FLog.Add(FindText::NotFound);
    TMainLoop::Instance().Terminate();
  }

  void PortDone(const TProbeReport& Report) {
    FReports.push_back(Report);
    if (Report.Outcome == poDenied) HintAtPermissions(Report.Port);
  }

  // A port refused for want of rights looks to the user like a port that is not there; the
  // usual cause on Linux has a usual remedy, said once per run and kept off stdout, which
  // carries only the log.
  void HintAtPermissions(const std::string& Port) {
    if (FHinted) return;
    std::string Path;
    PortPermissionDenied(Port, Path);
    FHinted = true;
    std::fflush(stdout);
    std::fprintf(stderr,
                 "comfind-cli: permission denied on %s: serial devices belong to the group "
                 "'dialout'; add your user to it (sudo adduser $USER dialout) and log in again.\n",
                 Path.c_str());
  }

  bool FJson;
  TdmCom FDataModule{nullptr};
  TParallelFind FParallel{nullptr};
  TStringList FLog;
  int FPrinted = 0;
  std::vector<TProbeReport> FReports;
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

void PrintText(const std::string& Utf8) {
  std::fwrite(Utf8.data(), 1, Utf8.size(), stdout);
  std::fflush(stdout);
}

int ListPorts(const TArguments& Args) {
  if (!Args.Long && !Args.Json) {
    TStringList Names;
    ListComPorts(Names);
    for (const std::string& Name : Names.Items())
      PrintLine(Name);
    return ExitFound;
  }
  std::vector<TComPortDetails> Details;
  ListComPortDetails(Details);
  if (Args.Json) {
    PrintText(PortListJson(Details));
  } else {
    for (const std::string& Line : PortTable(Details))
      PrintLine(Line);
  }
  return ExitFound;
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
  if (Args.List) return ListPorts(Args);

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

  TCliSearch Search(Args.Json);
  TdmCom& Dm = Search.DataModule();
  TComPort& Port = *Dm.cpCheck;
  if (!Args.LoadSettings.empty()) {
    try {
      LoadComPortSettings(Port, Args.LoadSettings);
    } catch (...) {
      Report(std::current_exception());
      return ExitUsage;
    }
  }
  if (Args.Baud != 0) SetBitsPerSecond(Port, Args.Baud);
  if (Args.HasProbe) Dm.ProbeCommand = Search.Parallel().ProbeCommand = Args.Probe;
  if (Args.HasExpect) Dm.ExpectedReply = Search.Parallel().ExpectedReply = Args.Expect;
  if (Args.TimeoutMs != 0) {
    Dm.tmrFind->SetInterval(Args.TimeoutMs);
    Search.Parallel().Timeout = Args.TimeoutMs;
  }
  Search.Parallel().FindAll = Args.All;
  const std::string StoredPort = Port.Port();

  const int Status = Search.Run(Ports, Args.Parallel);

  if (Args.Json) {
    TSearchSummary S;
    S.Parallel = Args.Parallel;
    S.All = Args.All;
    S.Probe = Dm.ProbeCommand + "\r\n";
    S.Expect = Dm.ExpectedReply;
    S.TimeoutMs = Dm.tmrFind->Interval();
    S.Baud = BitsPerSecond(Port);
    S.Reports = Search.Reports();
    S.Found = Search.FoundPorts();
    S.Verdict = Search.Interrupted() ? "interrupted"
                : Search.Failed()    ? "failed"
                : Search.Found()     ? "found"
                                     : "not found";
    S.ExitStatus = Status;
    S.Log = Search.Log().Items();
    std::vector<TComPortDetails> Details;
    ListComPortDetails(Details);
    PrintText(SearchJson(S, Details));
  }
  if (Status == ExitInterrupted || Args.SaveSettings.empty()) return Status;

  // A search that found nothing leaves the name of its last port behind, which is no port
  // worth keeping; the search over all ports at once leaves the data module's port alone.
  const std::vector<std::string> Found = Search.FoundPorts();
  Port.SetPort_(Search.Found() && !Found.empty() ? Found.front() : StoredPort);
  try {
    SaveComPortSettings(Port, Args.SaveSettings);
  } catch (...) {
    Report(std::current_exception());
    return ExitNotFound;
  }
  return Status;
}
