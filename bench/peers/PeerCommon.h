// What every C++ receiver of the serial benchmark shares: its command line, the clock the
// driver compares with, and the lines it prints for the driver.
//
// A receiver is started by bench_serial as  <program> MODE ARGS...  and opens the given device
// (the slave side of a pseudo-terminal) the way its library is meant to be used:
//   throughput DEV LINES   count CR LF lines in the line handler; after LINES of them print
//                          "done <steady ns> <lines> <lines of the wrong length>"
//   latency DEV ROUNDS     answer every received line with the probe line, until the line
//                          "BYE" (the port stays open until every reply has been read)
//   flood DEV              take lines until one ends with "END", then print "done <lines>"
//   search DEV...          probe the devices in turn (open, probe, 500 ms for "OK"), then
//                          print "search <found 0|1> <index> <ns from start to result>"
//   openclose DEV CYCLES   open, write the probe, close, CYCLES times; "cycles <n> <ns>"
//   idle DEV SECONDS       keep the port open and waiting; "cpu <process CPU ns>"
// Every mode that keeps a port open prints "ready" once it is.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

namespace peer {

inline constexpr char Probe[] = "TRG0000000010000\r\n";
inline constexpr int LineLength = 18;  // the driver's lines without their CR LF
inline constexpr int SearchWaitMs = 500;

struct TArgs {
  std::string Mode;
  std::vector<std::string> Devices;
  long long Count = 0;
};

inline TArgs ParseArgs(int argc, char** argv) {
  TArgs A;
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s MODE DEVICE... [COUNT]\n", argv[0]);
    std::exit(2);
  }
  A.Mode = argv[1];
  if (A.Mode == "search") {
    for (int I = 2; I < argc; ++I)
      A.Devices.push_back(argv[I]);
  } else {
    A.Devices.push_back(argv[2]);
    if (argc > 3) A.Count = std::atoll(argv[3]);
  }
  return A;
}

// The driver's clock: steady_clock is CLOCK_MONOTONIC on Linux, as time.monotonic_ns is.
inline long long NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// CPU time of the whole process, every thread included.
inline long long CpuNs() {
  return static_cast<long long>(std::clock()) * (1000000000LL / CLOCKS_PER_SEC);
}

inline void Say(const std::string& Line) {
  std::fputs((Line + "\n").c_str(), stdout);
  std::fflush(stdout);
}

inline bool IsOk(const std::string& Line) {
  return Line.size() == 2 && (Line[0] == 'O' || Line[0] == 'o') &&
         (Line[1] == 'K' || Line[1] == 'k');
}

inline bool IsBye(const std::string& Line) {
  return Line == "BYE";
}

inline bool EndsWithEnd(const std::string& Line) {
  return Line.size() >= 3 && Line.compare(Line.size() - 3, 3, "END") == 0;
}

// Cuts CR LF lines out of blocks as they arrive; a CR LF may be split over two blocks.
template <typename F>
class TLineSplitter {
 public:
  explicit TLineSplitter(F OnLine) : FOnLine(OnLine) {}
  void Feed(const char* P, size_t N) {
    // Resume one byte early: a CR at the end of the last block may pair with an LF now.
    const size_t From = FCarry.empty() ? 0 : FCarry.size() - 1;
    FCarry.append(P, N);
    size_t Start = 0;
    for (;;) {
      const size_t End = FCarry.find("\r\n", Start > From ? Start : From);
      if (End == std::string::npos) break;
      FOnLine(FCarry.substr(Start, End - Start));
      Start = End + 2;
    }
    FCarry.erase(0, Start);
  }
  size_t Pending() const { return FCarry.size(); }

 private:
  F FOnLine;
  std::string FCarry;
};

}  // namespace peer
