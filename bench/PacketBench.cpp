// The packet assembler beside a plain memchr line splitter, both fed the same blocks.
//
// CrLfLines: the application's configuration (stop string CR LF, limit 1024) over short lines
// in 4 KiB blocks. SerialLines: the same over the lines of bench_serial's throughput figure (18
// characters and CR LF, too long for std::string's inline storage) in the blocks a
// pseudo-terminal's read returns (4095 bytes). NoStopFound: the worst case, a stop string that
// never completes (many CRs, no CR LF) with no buffer limit, in blocks of 1 to 64 bytes, for
// growing inputs; linear cost shows as a constant ns_per_byte.
//
// Each iteration times both sides back to back in processor time; the reported time is the
// assembler's, and the counters give the splitter's time and the ratio assembler/splitter. The
// splitter delivers each line as a new std::string through a std::function, the same shape of
// work as OnPacket.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "port/packet/ComDataPacket.h"

namespace comfind {

namespace {

class TBenchPacket : public TComDataPacket {
 public:
  using TComDataPacket::AddData;
  using TComDataPacket::TComDataPacket;
};

// Lines end at CR LF; a lone CR or LF is data, and a CR LF may be split over two blocks.
class TMemchrSplitter {
 public:
  explicit TMemchrSplitter(std::function<void(const std::string&)> OnLine)
      : FOnLine(std::move(OnLine)) {}

  void Feed(const char* P, size_t N) {
    const char* end = P + N;
    while (P < end) {
      const char* nl = static_cast<const char*>(std::memchr(P, '\n', end - P));
      if (!nl) {
        FCarry.append(P, end);
        return;
      }
      if (FCarry.empty()) {
        if (nl > P && nl[-1] == '\r') {
          FOnLine(std::string(P, nl - 1));
        } else {
          FCarry.append(P, nl + 1);
        }
      } else {
        FCarry.append(P, nl);
        if (FCarry.back() == '\r') {
          FCarry.pop_back();
          FOnLine(FCarry);
          FCarry.clear();
        } else {
          FCarry.push_back('\n');
        }
      }
      P = nl + 1;
    }
  }

 private:
  std::function<void(const std::string&)> FOnLine;
  std::string FCarry;
};

std::string MakeLines(size_t Bytes) {
  std::mt19937 rnd(42);
  static const char kChars[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ .,;:-+";
  std::string s;
  while (s.size() < Bytes) {
    const size_t len = 2 + rnd() % 29;
    for (size_t i = 0; i < len; ++i)
      s += kChars[rnd() % (sizeof kChars - 1)];
    s += "\r\n";
  }
  return s;
}

// bench_serial's throughput lines: L, 17 digits, CR LF.
std::string MakeSerialLines(size_t Bytes) {
  std::string S;
  char Line[32];
  for (size_t I = 0; S.size() < Bytes; ++I) {
    std::snprintf(Line, sizeof Line, "L%017zu\r\n", I);
    S += Line;
  }
  return S;
}

// No CR LF anywhere, but a CR every few bytes, so that the stop search keeps half-matching.
std::string MakeNoStop(size_t Bytes) {
  std::mt19937 rnd(7);
  std::string s(Bytes, 'x');
  for (char& c : s) {
    const uint32_t r = rnd() % 8;
    c = r == 0 ? '\r' : static_cast<char>('a' + rnd() % 26);
  }
  return s;
}

std::vector<size_t> MakeBlocks(size_t Total, size_t MinBlock, size_t MaxBlock) {
  std::mt19937 rnd(11);
  std::vector<size_t> blocks;
  for (size_t done = 0; done < Total;) {
    size_t n = MinBlock + rnd() % (MaxBlock - MinBlock + 1);
    n = std::min(n, Total - done);
    blocks.push_back(n);
    done += n;
  }
  return blocks;
}

// Processor time, not wall time: on a loaded machine the wall clock measures the neighbours.
template <typename F>
double Seconds(F&& Body) {
  const std::clock_t t0 = std::clock();
  Body();
  return static_cast<double>(std::clock() - t0) / CLOCKS_PER_SEC;
}

void Compare(benchmark::State& State, const std::string& Data, const std::vector<size_t>& Blocks,
             int32_t MaxBufferSize) {
  double packetTime = 0, splitterTime = 0;
  size_t lines = 0, splitLines = 0;
  for (auto _ : State) {
    const double tp = Seconds([&] {
      TBenchPacket p(nullptr);
      p.SetStopString("\r\n");
      p.SetMaxBufferSize(MaxBufferSize);
      p.OnPacket = [&](TObject*, const std::string& Str) {
        benchmark::DoNotOptimize(Str.data());
        ++lines;
      };
      size_t at = 0;
      for (size_t n : Blocks) {
        p.AddData(std::string(Data.data() + at, n));
        at += n;
      }
      benchmark::DoNotOptimize(p.Buffer().size());
    });
    const double ts = Seconds([&] {
      TMemchrSplitter s([&](const std::string& Line) {
        benchmark::DoNotOptimize(Line.data());
        ++splitLines;
      });
      size_t at = 0;
      for (size_t n : Blocks) {
        // The same copy of each block as the port's hand-over makes for the assembler.
        const std::string block(Data.data() + at, n);
        s.Feed(block.data(), block.size());
        at += n;
      }
    });
    State.SetIterationTime(tp);
    packetTime += tp;
    splitterTime += ts;
  }
  if (lines != splitLines) State.SkipWithError("assembler and splitter disagree on the lines");
  State.SetBytesProcessed(static_cast<int64_t>(State.iterations() * Data.size()));
  State.counters["memchr_ms"] = splitterTime * 1e3 / State.iterations();
  State.counters["ratio"] = packetTime / splitterTime;
  State.counters["ns_per_byte"] = packetTime * 1e9 / (State.iterations() * Data.size());
}

void CrLfLines(benchmark::State& State) {
  static const std::string data = MakeLines(4 << 20);
  static const std::vector<size_t> blocks = MakeBlocks(data.size(), 4096, 4096);
  Compare(State, data, blocks, 1024);
}
BENCHMARK(CrLfLines)->UseManualTime()->Unit(benchmark::kMillisecond);

void SerialLines(benchmark::State& State) {
  static const std::string Data = MakeSerialLines(4 << 20);
  static const std::vector<size_t> Blocks = MakeBlocks(Data.size(), 4095, 4095);
  Compare(State, Data, Blocks, 1024);
}
BENCHMARK(SerialLines)->UseManualTime()->Unit(benchmark::kMillisecond);

void NoStopFound(benchmark::State& State) {
  const std::string data = MakeNoStop(static_cast<size_t>(State.range(0)));
  const std::vector<size_t> blocks = MakeBlocks(data.size(), 1, 64);
  Compare(State, data, blocks, 0);
}
BENCHMARK(NoStopFound)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Arg(1 << 20)
    ->Arg(2 << 20)
    ->Arg(4 << 20)
    ->Arg(8 << 20);

}  // namespace

}  // namespace comfind

using namespace comfind;

BENCHMARK_MAIN();
