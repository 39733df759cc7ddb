// port-events: the guest's side of the virtual-machine stage. It runs inside the machine, on
// the real 8250 and USB-serial drivers, and turns what a port does into lines of text that
// the host script reads back.
//
//   port-events listen PORT [--no-events] [--cts-flow] [--rate N]
//       Opens PORT (a name under /dev or an absolute path) at 19200 8N1, or at N bits per
//       second, with every event (none with --no-events), DTR on, RTS off, no flow control
//       (CTS output flow with --cts-flow), delivering on the main thread as the search's port
//       does. Prints "open" once open, then one line per event ("OnCTSChange 1", "OnRing",
//       "OnRxBuf 5", "OnError ceFrame", "OnException CE_PurgeFailed 5 5", "exception TEXT"
//       for what reaches the default report) and answers commands read from stdin, one a line:
//         write N        writes N bytes and prints "wrote N"
//         parity P       sets the parity (none, odd, even, mark, space) on the open port
//         signals        prints "signals cts=0 dsr=0 ring=0 rlsd=0" read from the device
//         state          prints "connected 0|1"
//         cpu            prints "cpu N" (milliseconds of processor time used so far)
//         close          prints "closing", closes, prints "closed N ms"
//         quit           closes if open and ends; so does the end of stdin
//   port-events termios PATH [RATE]
//       Prints the device's whole line settings as one line; with RATE first sets the
//       device to RATE in canonical mode with echo (a port as a program might leave it).
//   port-events closing-wait PATH CS
//       Sets how long the kernel lets a close wait for unsent output (centiseconds).
//
// Every line is flushed at once: the host acts on them as they come.
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "framework/MainLoop.h"
#include "port/CPort.h"
#include "port/os/KernelSerial.h"
#include "port/os/TermiosMap.h"

namespace comfind {
namespace {

void Say(const char* Format, ...) __attribute__((format(printf, 1, 2)));
void Say(const char* Format, ...) {
  va_list Args;
  va_start(Args, Format);
  std::vprintf(Format, Args);
  va_end(Args);
  std::putchar('\n');
  std::fflush(stdout);
}

int Usage() {
  std::fputs(
      "usage: port-events listen PORT [--no-events] [--cts-flow] [--rate N]\n"
      "       port-events termios PATH [RATE]\n"
      "       port-events closing-wait PATH CENTISECONDS\n",
      stderr);
  return 2;
}

bool ParseNumber(const char* Text, long Max, long& Out) {
  char* End = nullptr;
  errno = 0;
  Out = std::strtol(Text, &End, 10);
  return errno == 0 && End != Text && *End == 0 && Out >= 0 && Out <= Max;
}

long CpuMs() {
  rusage Usage{};
  ::getrusage(RUSAGE_SELF, &Usage);
  return (Usage.ru_utime.tv_sec + Usage.ru_stime.tv_sec) * 1000L +
         (Usage.ru_utime.tv_usec + Usage.ru_stime.tv_usec) / 1000L;
}

const char* ErrorName(TComError E) {
  static const char* const Names[] = {"ceFrame", "ceRxParity", "ceOverrun", "ceBreak",
                                      "ceIO",    "ceMode",     "ceRxOver",  "ceTxFull"};
  return E < sizeof Names / sizeof Names[0] ? Names[E] : "ce?";
}

const char* ExceptionName(TComExceptions Code) {
  static const char* const Names[] = {
      "CE_OpenFailed",     "CE_WriteFailed",    "CE_ReadFailed",      "CE_InvalidAsync",
      "CE_PurgeFailed",    "CE_AsyncCheck",     "CE_SetStateFailed",  "CE_TimeoutsFailed",
      "CE_SetupComFailed", "CE_ClearComFailed", "CE_ModemStatFailed", "CE_EscapeComFailed",
      "CE_TransmitFailed", "CE_ConnChangeProp", "CE_EnumPortsFailed", "CE_StoreFailed",
      "CE_LoadFailed",     "CE_RegFailed",      "CE_LedStateFailed",  "CE_ThreadCreated",
      "CE_WaitFailed",     "CE_HasLink",        "CE_RegError",        "CEPortNotOpen"};
  return Code >= 1 && Code <= 24 ? Names[Code - 1] : "CE_?";
}

// Reads command lines from stdin on a thread of its own and hands each to the main thread.
// It reads a byte at a time: the guest's shell reads its next command from the same stream
// after this program ends, and must find it there.
class TCommandReader {
 public:
  explicit TCommandReader(std::function<void(std::string)> OnLine) : FOnLine(std::move(OnLine)) {
    if (::pipe2(FStop, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
    FThread = std::thread([this] { Run(); });
  }
  ~TCommandReader() {
    const char Byte = 0;
    [[maybe_unused]] ssize_t N = ::write(FStop[1], &Byte, 1);
    FThread.join();
    ::close(FStop[0]);
    ::close(FStop[1]);
  }

 private:
  void Run() {
    std::string Line;
    for (;;) {
      pollfd Fds[2] = {{0, POLLIN, 0}, {FStop[0], POLLIN, 0}};
      if (::poll(Fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        break;
      }
      if (Fds[1].revents) return;
      char C;
      const ssize_t N = ::read(0, &C, 1);
      if (N < 0 && errno == EINTR) continue;
      if (N <= 0) break;
      if (C == '\r') continue;
      if (C != '\n') {
        Line += C;
        continue;
      }
      FOnLine(Line);
      Line.clear();
    }
    FOnLine("quit");
  }

  std::function<void(std::string)> FOnLine;
  int FStop[2] = {-1, -1};
  std::thread FThread;
};

struct TListenOptions {
  std::string Port;
  bool NoEvents = false;
  bool CtsFlow = false;
  long Rate = 19200;
};

void Hook(TComPort& Port) {
  Port.OnRxChar = [](TObject*, int32_t Count) { Say("OnRxChar %d", Count); };
  Port.OnRxBuf = [](TObject*, const void*, int32_t Count) { Say("OnRxBuf %d", Count); };
  Port.OnTxEmpty = [](TObject*) { Say("OnTxEmpty"); };
  Port.OnBreak = [](TObject*) { Say("OnBreak"); };
  Port.OnRing = [](TObject*) { Say("OnRing"); };
  Port.OnCTSChange = [](TObject*, bool On) { Say("OnCTSChange %d", On ? 1 : 0); };
  Port.OnDSRChange = [](TObject*, bool On) { Say("OnDSRChange %d", On ? 1 : 0); };
  Port.OnRLSDChange = [](TObject*, bool On) { Say("OnRLSDChange %d", On ? 1 : 0); };
  Port.OnRxFlag = [](TObject*) { Say("OnRxFlag"); };
  Port.OnRx80Full = [](TObject*) { Say("OnRx80Full"); };
  Port.OnError = [](TObject*, TComErrors Errors) {
    std::string Names;
    for (int E = ceFrame; E <= ceTxFull; ++E)
      if (Errors.Contains(static_cast<TComError>(E)))
        Names += std::string(" ") + ErrorName(static_cast<TComError>(E));
    Say("OnError%s", Names.c_str());
  };
  Port.OnException = [](TObject*, TComExceptions Code, const std::string&, int64_t WinError,
                        const std::string&) {
    Say("OnException %s %d %lld", ExceptionName(Code), static_cast<int>(Code),
        static_cast<long long>(WinError));
  };
  Port.OnBeforeClose = [](TObject*) { Say("OnBeforeClose"); };
  Port.OnAfterClose = [](TObject*) { Say("OnAfterClose"); };
}

bool ParseParity(const std::string& Text, TParityBits& Out) {
  static const struct {
    const char* Name;
    TParityBits Value;
  } Table[] = {
      {"none", prNone}, {"odd", prOdd}, {"even", prEven}, {"mark", prMark}, {"space", prSpace}};
  for (const auto& Entry : Table) {
    if (Text == Entry.Name) {
      Out = Entry.Value;
      return true;
    }
  }
  return false;
}

int Listen(const TListenOptions& Options) {
  TMainLoop& Loop = TMainLoop::Instance();
  Loop.AttachMainThread();
  Loop.SetExceptionHandler([](TObject*, std::exception_ptr E) {
    try {
      std::rethrow_exception(E);
    } catch (const std::exception& Ex) {
      Say("exception %s", Ex.what());
    } catch (...) {
      Say("exception (not a std::exception)");
    }
  });

  TComPort Port(nullptr);
  Port.SetPort_(Options.Port);
  if (Options.Rate == 19200) {
    Port.SetBaudRate(br19200);
  } else {
    Port.SetBaudRate(brCustom);
    Port.SetCustomBaudRate(static_cast<int32_t>(Options.Rate));
  }
  Port.SetDataBits(dbEight);
  Port.SetStopBits(sbOneStopBit);
  Port.Parity().SetBits(prNone);
  Port.FlowControl().SetFlowControl(fcNone);
  Port.FlowControl().SetControlDTR(dtrEnable);
  Port.FlowControl().SetControlRTS(rtsDisable);
  Port.FlowControl().SetOutCTSFlow(Options.CtsFlow);
  Port.SetEvents(Options.NoEvents ? TComEvents() : AllComEvents());
  Port.SetSyncMethod(smWindowSync);
  Hook(Port);

  try {
    Port.Open();
  } catch (const std::exception& E) {
    Say("exception %s", E.what());
    Say("not open");
    return 1;
  }
  if (!Port.Connected()) {
    Say("not open");
    return 1;
  }
  Say("open");

  auto Close = [&Port] {
    Say("closing");
    const auto Start = std::chrono::steady_clock::now();
    try {
      Port.Close();
    } catch (const std::exception& E) {
      Say("exception %s", E.what());
    }
    const auto Ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - Start)
                        .count();
    Say("closed %lld ms", static_cast<long long>(Ms));
  };

  auto Command = [&](const std::string& Line) {
    const size_t Space = Line.find(' ');
    const std::string Word = Line.substr(0, Space);
    const std::string Arg = Space == std::string::npos ? std::string() : Line.substr(Space + 1);
    long N = 0;
    TParityBits Parity = prNone;
    try {
      if (Word == "write" && ParseNumber(Arg.c_str(), 1 << 20, N)) {
        std::string Bytes(static_cast<size_t>(N), 'U');
        Say("wrote %d", Port.WriteText(Bytes));
      } else if (Word == "parity" && ParseParity(Arg, Parity)) {
        Port.Parity().SetBits(Parity);
        Say("parity %s", Arg.c_str());
      } else if (Word == "signals") {
        const TModemSignals S = Port.GetModemSignals();
        Say("signals cts=%d dsr=%d ring=%d rlsd=%d", S.Contains(msCTS), S.Contains(msDSR),
            S.Contains(msRing), S.Contains(msRLSD));
      } else if (Word == "state") {
        Say("connected %d", Port.Connected() ? 1 : 0);
      } else if (Word == "cpu") {
        Say("cpu %ld", CpuMs());
      } else if (Word == "close") {
        Close();
      } else if (Word == "quit") {
        if (Port.Connected()) Close();
        Loop.Terminate();
      } else {
        Say("unknown command: %s", Line.c_str());
      }
    } catch (const std::exception& E) {
      Say("exception %s", E.what());
    }
  };

  {
    TCommandReader Reader(
        [&Loop, &Command](std::string Line) { Loop.Post([&Command, Line] { Command(Line); }); });
    Loop.Run();
  }
  if (Port.Connected()) Close();
  return 0;
}

std::string Hex(const void* Data, size_t Size) {
  std::string Out;
  char Byte[4];
  for (size_t I = 0; I < Size; ++I) {
    std::snprintf(Byte, sizeof Byte, "%02x", static_cast<const unsigned char*>(Data)[I]);
    Out += Byte;
  }
  return Out;
}

// The device is opened without waiting for a carrier, and the exclusive flag a program may
// have left is honoured: a refusal is reported, not forced.
int OpenTty(const char* Path) {
  const int Fd = ::open(Path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (Fd < 0) std::fprintf(stderr, "port-events: open %s: %s\n", Path, std::strerror(errno));
  return Fd;
}

int Termios(const char* Path, const char* RateText) {
  const int Fd = OpenTty(Path);
  if (Fd < 0) return 1;
  if (RateText) {
    long Rate = 0;
    speed_t Speed = 0;
    if (!ParseNumber(RateText, 4000000, Rate) || !(Speed = StandardSpeed(Rate))) {
      ::close(Fd);
      return Usage();
    }
    termios Tio{};
    bool Ok = ::tcgetattr(Fd, &Tio) == 0;
    if (Ok) {
      Tio.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
      Tio.c_cflag |= CS8 | CREAD | HUPCL;
      Tio.c_lflag |= ICANON | ECHO | ISIG | IEXTEN;
      Tio.c_iflag |= ICRNL;
      Tio.c_oflag |= OPOST | ONLCR;
      Ok = ::cfsetspeed(&Tio, Speed) == 0 && ::tcsetattr(Fd, TCSANOW, &Tio) == 0;
    }
    if (!Ok) {
      std::fprintf(stderr, "port-events: setting %s: %s\n", Path, std::strerror(errno));
      ::close(Fd);
      return 1;
    }
  }
  // The rate as the kernel holds it, also where no Bxxx names it; the rest through termios.
  termios T{};
  const uint32_t Rate = LineRate(Fd);
  if (Rate == 0 || ::tcgetattr(Fd, &T) != 0) {
    std::fprintf(stderr, "port-events: reading %s: %s\n", Path, std::strerror(errno));
    ::close(Fd);
    return 1;
  }
  const int Bits = (T.c_cflag & CSIZE) == CS5   ? 5
                   : (T.c_cflag & CSIZE) == CS6 ? 6
                   : (T.c_cflag & CSIZE) == CS7 ? 7
                                                : 8;
  const char Parity = !(T.c_cflag & PARENB) ? 'N' : (T.c_cflag & PARODD) ? 'O' : 'E';
  Say("termios %u %d%c%d iflag=%x oflag=%x cflag=%x lflag=%x cc=%s", Rate, Bits, Parity,
      (T.c_cflag & CSTOPB) ? 2 : 1, T.c_iflag, T.c_oflag, T.c_cflag, T.c_lflag,
      Hex(T.c_cc, sizeof T.c_cc).c_str());
  ::close(Fd);
  return 0;
}

int ClosingWait(const char* Path, const char* CsText) {
  long Cs = 0;
  if (!ParseNumber(CsText, 65535, Cs)) return Usage();
  const int Fd = OpenTty(Path);
  if (Fd < 0) return 1;
  serial_struct S{};
  int Status = 0;
  if (::ioctl(Fd, TIOCGSERIAL, &S) != 0) {
    std::fprintf(stderr, "port-events: TIOCGSERIAL %s: %s\n", Path, std::strerror(errno));
    Status = 1;
  } else {
    S.closing_wait = static_cast<unsigned short>(Cs);
    if (::ioctl(Fd, TIOCSSERIAL, &S) != 0) {
      std::fprintf(stderr, "port-events: TIOCSSERIAL %s: %s\n", Path, std::strerror(errno));
      Status = 1;
    } else {
      Say("closing-wait %ld", Cs);
    }
  }
  ::close(Fd);
  return Status;
}

int Run(int argc, char** argv) {
  if (argc < 3) return Usage();
  const std::string Mode = argv[1];
  if (Mode == "termios" && argc <= 4) return Termios(argv[2], argc == 4 ? argv[3] : nullptr);
  if (Mode == "closing-wait" && argc == 4) return ClosingWait(argv[2], argv[3]);
  if (Mode != "listen") return Usage();
  TListenOptions Options;
  Options.Port = argv[2];
  for (int I = 3; I < argc; ++I) {
    const std::string Arg = argv[I];
    if (Arg == "--no-events") {
      Options.NoEvents = true;
    } else if (Arg == "--cts-flow") {
      Options.CtsFlow = true;
    } else if (Arg == "--rate" && I + 1 < argc && ParseNumber(argv[I + 1], 4000000, Options.Rate) &&
               Options.Rate > 0) {
      ++I;
    } else {
      return Usage();
    }
  }
  return Listen(Options);
}

}  // namespace
}  // namespace comfind

int main(int argc, char** argv) {
  return comfind::Run(argc, argv);
}
