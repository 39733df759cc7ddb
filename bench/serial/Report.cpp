#include "bench/serial/Report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace comfind::bench {

// One line per run on stderr, so a long run shows where it is.
void Progress(const std::string& Figure, int Run, const std::string& Peer, double Value) {
  std::fprintf(stderr, "  %-10s run %d  %-14s %.3g\n", Figure.c_str(), Run + 1, Peer.c_str(),
               Value);
}

double Median(std::vector<double> V) {
  if (V.empty()) return NAN;
  std::sort(V.begin(), V.end());
  const size_t N = V.size();
  return N % 2 ? V[N / 2] : (V[N / 2 - 1] + V[N / 2]) / 2;
}

std::string Format(double V) {
  if (std::isnan(V)) return "n/a";
  char Buf[32];
  if (V >= 100)
    std::snprintf(Buf, sizeof Buf, "%.0f", V);
  else if (V >= 10)
    std::snprintf(Buf, sizeof Buf, "%.1f", V);
  else
    std::snprintf(Buf, sizeof Buf, "%.2f", V);
  return Buf;
}

void PrintTable(const std::vector<TFigure>& Figures, const std::vector<TPeer>& Peers) {
  const std::string Self = Peers.front().Name;
  std::printf("\n| Figure | %s |", Self.c_str());
  for (size_t I = 1; I < Peers.size(); ++I)
    std::printf(" %s |", Peers[I].Name.c_str());
  std::printf("\n|---|---:|");
  for (size_t I = 1; I < Peers.size(); ++I)
    std::printf("---:|");
  std::printf("\n");
  for (const TFigure& F : Figures) {
    const double Mine = F.Value(Self);
    std::printf("| %s (%s, %s) | %s%s |", F.Name.c_str(), F.Unit.c_str(),
                F.HigherBetter ? "higher is better" : "lower is better", Format(Mine).c_str(),
                F.Notes.count(Self) ? (" " + F.Notes.at(Self)).c_str() : "");
    for (size_t I = 1; I < Peers.size(); ++I) {
      const std::string& Name = Peers[I].Name;
      const double Theirs = F.Value(Name);
      std::string Cell = Format(Theirs);
      if (!std::isnan(Mine) && !std::isnan(Theirs) && Mine > 0 && Theirs > 0) {
        const double Advantage = F.HigherBetter ? Mine / Theirs : Theirs / Mine;
        Cell += " (" + Format(Advantage) + "x)";
      }
      if (F.Notes.count(Name)) Cell += " " + F.Notes.at(Name);
      if (!F.Runs.count(Name) && !F.Notes.count(Name)) Cell = "-";
      std::printf(" %s |", Cell.c_str());
    }
    std::printf("\n");
  }
  std::printf(
      "\nMedians over the runs; in brackets comfind's advantage over the peer (above 1: comfind "
      "better).\n");
  // What comfind costs beyond the bare device, as a plain ratio of the two figures.
  const std::string Floor = "floor";
  bool Any = false;
  for (const TFigure& F : Figures) {
    const double Mine = F.Value(Self), Theirs = F.Value(Floor);
    if (std::isnan(Mine) || std::isnan(Theirs) || Theirs <= 0) continue;
    if (!Any) std::printf("\n%s / %s, same runs:\n", Self.c_str(), Floor.c_str());
    Any = true;
    std::printf("  %-64s %sx\n", F.Name.c_str(), Format(Mine / Theirs).c_str());
  }
}

}  // namespace comfind::bench
