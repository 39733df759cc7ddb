// The table of the serial benchmark: the figures' runs, their medians and comfind's
// advantage over each peer.
#pragma once

#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "bench/serial/Harness.h"

namespace comfind::bench {

// One line per run on stderr, so a long run shows where it is.
void Progress(const std::string& Figure, int Run, const std::string& Peer, double Value);

double Median(std::vector<double> V);

struct TFigure {
  std::string Name;
  std::string Unit;
  bool HigherBetter = true;
  std::map<std::string, std::vector<double>> Runs;
  std::map<std::string, std::string> Notes;  // shown instead of / beside a value
  double Value(const std::string& Peer) const {
    auto It = Runs.find(Peer);
    return It == Runs.end() ? NAN : Median(It->second);
  }
};

std::string Format(double V);

void PrintTable(const std::vector<TFigure>& Figures, const std::vector<TPeer>& Peers);

}  // namespace comfind::bench
