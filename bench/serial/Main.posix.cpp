// bench_serial: comfind's port, event delivery, packet assembler and search beside the floor
// (the bare device read with poll, read and memchr, no library) and the serial libraries people
// already use, all driven through the same pseudo-terminal pairs in one run.
//
// This program is the far end of every line: it creates a pseudo-terminal per run, starts one
// receiver program (bench_comfind or a peer, modes in peers/PeerCommon.h) on the slave side,
// plays the instrument or the data source on the master side and collects the figures. Each
// figure is the median over repeated runs; the runs of the receivers alternate, so a load that
// comes and goes on the machine spreads over all of them alike. It prints one table, each peer's
// value followed by comfind's advantage over it (above 1: comfind better).
//
// POSIX only: pseudo-terminals and child processes.
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#include "bench/serial/Harness.h"
#include "bench/serial/Report.h"
#include "bench/serial/Scenarios.h"

namespace {

void Usage() {
  std::puts(
      "Usage: bench_serial [--quick] [--reps N] [--only LIST]\n"
      "  --quick      small sizes and 3 runs (about a minute); the figures are rougher\n"
      "  --reps N     runs per figure (default 5, --quick 3)\n"
      "  --only LIST  comma-separated: throughput,latency,search,manyports,openclose,idle,\n"
      "               memory\n"
      "  --peers LIST comma-separated receivers to run (comfind always runs)\n"
      "  --comfind P  use the comfind receiver P (a build with a change being tried)\n"
      "  --pin CPU    run the latency figure with the driver and the receiver pinned to one\n"
      "               processor: a number, auto (the last one allowed) or off (default)");
}

}  // namespace

using namespace comfind;
using namespace comfind::bench;

int main(int argc, char** argv) {
  ::signal(SIGPIPE, SIG_IGN);
  TSizes Z;
  std::string Only = "throughput,latency,search,manyports,openclose,idle,memory";
  std::string PeerFilter;
  std::string ComfindReceiver = BENCH_COMFIND;
  int Reps = 0;
  for (int I = 1; I < argc; ++I) {
    const std::string A = argv[I];
    if (A == "--quick") {
      Z.Reps = 3;
      Z.ThroughputBytes = 8LL << 20;
      Z.LatencyRounds = 500;
      Z.FloodBytes = 16LL << 20;
      Z.OpenCloseCycles = 200;
      Z.IdleSeconds = 2;
      Z.IdleReps = 1;
      Z.ScriptDeadlineNs = 20 * Second;
      Z.FloodDeadlineNs = 10 * Second;
    } else if (A == "--reps" && I + 1 < argc) {
      Reps = std::atoi(argv[++I]);
    } else if (A == "--only" && I + 1 < argc) {
      Only = argv[++I];
    } else if (A == "--peers" && I + 1 < argc) {
      PeerFilter = argv[++I];
    } else if (A == "--comfind" && I + 1 < argc) {
      ComfindReceiver = argv[++I];
    } else if (A == "--pin" && I + 1 < argc) {
      const std::string Cpu = argv[++I];
      Z.PinCpu = Cpu == "off" ? -1 : Cpu == "auto" ? LastAllowedCpu() : std::atoi(Cpu.c_str());
    } else {
      Usage();
      return A == "--help" ? 0 : 2;
    }
  }
  if (Reps > 0) Z.Reps = Reps;
  auto Wanted = [&](const std::string& What) {
    return ("," + Only + ",").find("," + What + ",") != std::string::npos;
  };

  std::vector<TPeer> All = {
      {"comfind", {ComfindReceiver}, true},
      {"floor", {BENCH_FLOOR}, true},
      {"libserialport", {BENCH_LIBSERIALPORT}, true},
      {"Qt", {BENCH_QT}, true},
      {"Asio", {BENCH_ASIO}, true},
      {"pyserial", {"/usr/bin/python3", BENCH_PYSERIAL}, false},
  };
  std::vector<TPeer> Peers;
  for (const TPeer& P : All)
    if (P.Name == "comfind" || PeerFilter.empty() ||
        ("," + PeerFilter + ",").find("," + P.Name + ",") != std::string::npos)
      Peers.push_back(P);

  std::string ThroughputPin, LatencyPin;
  if (Z.PinCpu >= 0) {
    const int Other = OtherAllowedCpu(Z.PinCpu);
    ThroughputPin = " (receiver on processor " + std::to_string(Z.PinCpu) +
                    (Other >= 0 ? ", driver on " + std::to_string(Other) : "") + ")";
    LatencyPin = " pinned to processor " + std::to_string(Z.PinCpu);
  }
  std::printf(
      "bench_serial: %d runs; throughput %lld MiB%s, latency %d rounds%s, open/close %d "
      "cycles, idle %d s, flood %lld MiB\n",
      Z.Reps, Z.ThroughputBytes >> 20, ThroughputPin.c_str(), Z.LatencyRounds, LatencyPin.c_str(),
      Z.OpenCloseCycles, Z.IdleSeconds, Z.FloodBytes >> 20);
  std::fflush(stdout);

  std::vector<TFigure> Figures;
  try {
    if (Wanted("throughput")) {
      TFigure F{"receive throughput", "MB/s", true, {}, {}};
      TFigure Cpu{"receiver CPU time per MB received", "ms", false, {}, {}};
      for (int R = 0; R < Z.Reps; ++R)
        for (const TPeer& P : Peers)
          if (auto T = RunThroughput(P, Z)) {
            F.Runs[P.Name].push_back(T->MBps);
            Cpu.Runs[P.Name].push_back(T->CpuMsPerMB);
            Progress("throughput", R, P.Name, T->MBps);
          }
      Figures.push_back(F);
      Figures.push_back(Cpu);
    }
    if (Wanted("latency")) {
      TFigure Med{"reply latency, median", "us", false, {}, {}};
      TFigure P90{"reply latency, 90th percentile", "us", false, {}, {}};
      TFigure P99{"reply latency, 99th percentile", "us", false, {}, {}};
      for (int R = 0; R < Z.Reps; ++R)
        for (const TPeer& P : Peers)
          if (auto L = RunLatency(P, Z)) {
            Med.Runs[P.Name].push_back(L->MedianUs);
            P90.Runs[P.Name].push_back(L->P90Us);
            P99.Runs[P.Name].push_back(L->P99Us);
            Progress("latency", R, P.Name, L->MedianUs);
          }
      Figures.push_back(Med);
      Figures.push_back(P90);
      Figures.push_back(P99);
    }
    if (Wanted("search")) {
      TFigure First{"search, instrument on the first port", "ms", false, {}, {}};
      TFigure Third{"search, third port after two that cannot be opened", "ms", false, {}, {}};
      for (int R = 0; R < Z.Reps; ++R)
        for (const TPeer& P : Peers) {
          if (auto T = RunSearch(P, false)) First.Runs[P.Name].push_back(*T / 1000.0);
          if (auto T = RunSearch(P, true)) {
            Third.Runs[P.Name].push_back(*T / 1000.0);
            Progress("search", R, P.Name, *T / 1000.0);
          }
        }
      Figures.push_back(First);
      Figures.push_back(Third);
    }
    if (Wanted("manyports")) {
      // A rig of adapters: the instrument behind 32 silent ports, one by one (each silent port
      // costs its 500 ms wait) and all at once. comfind-cli alone: the peers have no such search.
      constexpr int Silent = 32;
      TFigure OneByOne{"search, instrument behind 32 silent ports, one by one (comfind-cli)",
                       "ms",
                       false,
                       {},
                       {}};
      TFigure AllAtOnce{
          "search, instrument behind 32 silent ports, --parallel", "ms", false, {}, {}};
      TFigure EveryVerdict{
          "search, instrument behind 32 silent ports, --all (every verdict)", "ms", false, {}, {}};
      for (int R = 0; R < Z.Reps; ++R) {
        if (auto T = RunManyPorts(BENCH_COMFIND_CLI, Silent, {"--parallel"})) {
          AllAtOnce.Runs["comfind"].push_back(*T);
          Progress("manyports", R, "--parallel", *T);
        }
        if (auto T = RunManyPorts(BENCH_COMFIND_CLI, Silent, {"--all"})) {
          EveryVerdict.Runs["comfind"].push_back(*T);
          Progress("manyports", R, "--all", *T);
        }
        // 16.5 s a run: fewer runs, the figure hardly moves.
        if (R < std::min(Z.Reps, 3)) {
          if (auto T = RunManyPorts(BENCH_COMFIND_CLI, Silent, {})) {
            OneByOne.Runs["comfind"].push_back(*T);
            Progress("manyports", R, "one by one", *T);
          }
        }
      }
      Figures.push_back(OneByOne);
      Figures.push_back(AllAtOnce);
      Figures.push_back(EveryVerdict);
    }
    if (Wanted("openclose")) {
      TFigure F{"open, probe write, close", "cycles/s", true, {}, {}};
      for (int R = 0; R < Z.Reps; ++R)
        for (const TPeer& P : Peers)
          if (auto T = RunOpenClose(P, Z)) {
            F.Runs[P.Name].push_back(*T);
            Progress("open/close", R, P.Name, *T);
          }
      Figures.push_back(F);
    }
    if (Wanted("idle")) {
      TFigure F{"idle CPU time, port open and waiting " + std::to_string(Z.IdleSeconds) + " s",
                "us",
                false,
                {},
                {}};
      for (int R = 0; R < Z.IdleReps; ++R)
        for (const auto& [Name, Us] : RunIdle(Peers, Z)) {
          F.Runs[Name].push_back(Us);
          Progress("idle", R, Name, Us);
        }
      Figures.push_back(F);
    }
    if (Wanted("memory")) {
      TFigure Search{"peak RSS during a search (comfind: comfind-cli)", "MiB", false, {}, {}};
      for (int R = 0; R < Z.Reps; ++R) {
        Search.Runs["comfind"].push_back(RunCliSearch(BENCH_COMFIND_CLI));
        for (size_t I = 1; I < Peers.size(); ++I) {
          TPty Pty;
          TChild Child(Cmd(Peers[I], {"search", Pty.SlavePath()}));
          std::string Input;
          TServe S = Instrument(Pty, Input);
          S.OnChildLine = [](const std::string& Line) { return Line.rfind("search", 0) == 0; };
          Serve(Pty, Child, S, NowNs() + 20 * Second);
          Child.Wait();
          Search.Runs[Peers[I].Name].push_back(static_cast<double>(Child.PeakRssKiB()) / 1024);
        }
      }
      Figures.push_back(Search);

      TFigure Flood{
          "peak RSS, " + std::to_string(Z.FloodBytes >> 20) + " MiB without line ends, then a line",
          "MiB",
          false,
          {},
          {}};
      for (int R = 0; R < Z.FloodReps; ++R)
        for (const TPeer& P : Peers) {
          const TFlood Result = RunFlood(P, Z);
          Flood.Runs[P.Name].push_back(Result.PeakMiB);
          Progress("flood", R, P.Name, Result.PeakMiB);
          if (!Result.Finished) {
            char Note[96];
            std::snprintf(Note, sizeof Note, "(gave up after %.0f MiB, still growing)",
                          Result.SentMiB);
            Flood.Notes[P.Name] = Note;
          }
        }
      Figures.push_back(Flood);

      TFigure CliFlood{"peak RSS of comfind-cli, probe answered by a flood without line ends",
                       "MiB",
                       false,
                       {},
                       {}};
      double SentMiB = 0;
      for (int R = 0; R < Z.Reps; ++R) {
        const auto [Peak, Sent] = RunCliFlood(BENCH_COMFIND_CLI);
        CliFlood.Runs["comfind"].push_back(Peak);
        SentMiB = std::max(SentMiB, Sent);
      }
      char Note[96];
      std::snprintf(Note, sizeof Note, "(%.0f MiB taken in its 500 ms)", SentMiB);
      CliFlood.Notes["comfind"] = Note;
      Figures.push_back(CliFlood);
    }
  } catch (const std::exception& E) {
    std::fprintf(stderr, "bench_serial: %s\n", E.what());
    return 1;
  }
  PrintTable(Figures, Peers);
  return 0;
}
