// instrument-sim: a simulated measuring instrument on a pseudo-terminal (or a given device).
// Prints the device path on its first line, then one line per line received and per piece sent.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tools/InstrumentSim.h"

namespace comfind {

namespace {

int SignalPipe[2] = {-1, -1};

void OnSignal(int) {
  const int Saved = errno;
  const char Byte = 0;
  [[maybe_unused]] ssize_t N = ::write(SignalPipe[1], &Byte, 1);
  errno = Saved;
}

void Usage(FILE* To) {
  std::fputs(
      "Usage: instrument-sim [OPTION...]\n"
      "A simulated instrument: it answers every line it receives (the probe\n"
      "\"TRG0000000010000\" CR LF) with \"OK\" CR LF.\n"
      "\n"
      "It creates a pseudo-terminal and prints the path of its slave side on the first line;\n"
      "point the search at that path. Then it prints \"rx ...\" for every line received (with\n"
      "the line settings the other side set) and \"tx ...\" for every piece sent. It runs until\n"
      "it is interrupted (Ctrl+C) or terminated.\n"
      "\n"
      "  --device PATH  serve PATH (a serial device, one end of a pair) instead of a new\n"
      "                 pseudo-terminal; it is set to raw 19200 8N1\n"
      "  --reply TEXT   answer TEXT instead of OK (\\r, \\n, \\\\ and \\xHH are understood)\n"
      "  --no-crlf      do not end the answer with CR LF\n"
      "  --delay MS     wait MS milliseconds before answering\n"
      "  --pieces N     send the answer (CR LF included) in N pieces\n"
      "  --gap MS       pause MS milliseconds between two pieces\n"
      "  --noise TEXT   send the line TEXT (CR LF appended) before the answer\n"
      "  --silent       never answer (a --noise line is still sent)\n"
      "  --help         show this text\n",
      To);
}

bool Unescape(const char* Text, std::string& Out) {
  Out.clear();
  for (const char* P = Text; *P; ++P) {
    if (*P != '\\') {
      Out += *P;
      continue;
    }
    ++P;
    switch (*P) {
      case 'r':
        Out += '\r';
        break;
      case 'n':
        Out += '\n';
        break;
      case '\\':
        Out += '\\';
        break;
      case 'x': {
        char Hex[3] = {P[1], P[1] ? P[2] : '\0', '\0'};
        char* End = nullptr;
        const long Value = std::strtol(Hex, &End, 16);
        if (!Hex[0] || !Hex[1] || End != Hex + 2) return false;
        Out += static_cast<char>(Value);
        P += 2;
        break;
      }
      default:
        return false;
    }
  }
  return true;
}

bool ParseMs(const char* Text, int& Out) {
  char* End = nullptr;
  errno = 0;
  const long Value = std::strtol(Text, &End, 10);
  if (errno || End == Text || *End || Value < 0 || Value > 3600000) return false;
  Out = static_cast<int>(Value);
  return true;
}

}  // namespace

}  // namespace comfind

using namespace comfind;

int main(int argc, char** argv) {
  TSimOptions Options;
  std::string Device;
  for (int I = 1; I < argc; ++I) {
    const std::string Arg = argv[I];
    const bool HasValue = I + 1 < argc;
    bool Ok = true;
    if (Arg == "--help" || Arg == "-h") {
      Usage(stdout);
      return 0;
    } else if (Arg == "--no-crlf") {
      Options.LineEnd = false;
    } else if (Arg == "--silent") {
      Options.Silent = true;
    } else if (Arg == "--device" && HasValue) {
      Device = argv[++I];
    } else if (Arg == "--reply" && HasValue) {
      Ok = Unescape(argv[++I], Options.Reply);
    } else if (Arg == "--noise" && HasValue) {
      Ok = Unescape(argv[++I], Options.Noise);
    } else if (Arg == "--delay" && HasValue) {
      Ok = ParseMs(argv[++I], Options.DelayMs);
    } else if (Arg == "--gap" && HasValue) {
      Ok = ParseMs(argv[++I], Options.GapMs);
    } else if (Arg == "--pieces" && HasValue) {
      Ok = ParseMs(argv[++I], Options.Pieces) && Options.Pieces > 0;
    } else {
      Ok = false;
    }
    if (!Ok) {
      std::fprintf(stderr, "instrument-sim: bad argument: %s\n", Arg.c_str());
      Usage(stderr);
      return 2;
    }
  }

  if (::pipe2(SignalPipe, O_CLOEXEC) != 0) {
    std::perror("instrument-sim: pipe");
    return 1;
  }
  struct sigaction Action {};
  Action.sa_handler = OnSignal;
  sigemptyset(&Action.sa_mask);
  ::sigaction(SIGINT, &Action, nullptr);
  ::sigaction(SIGTERM, &Action, nullptr);
  ::signal(SIGPIPE, SIG_IGN);

  try {
    TSimPort Port(Options, Device);
    Port.OnLog = [](const std::string& Line) {
      std::printf("%s\n", Line.c_str());
      std::fflush(stdout);
    };
    std::printf("%s\n", Port.Path().c_str());
    std::fflush(stdout);
    ServeSimPorts({&Port}, SignalPipe[0]);
  } catch (const std::exception& E) {
    std::fprintf(stderr, "instrument-sim: %s\n", E.what());
    return 1;
  }
  return 0;
}
