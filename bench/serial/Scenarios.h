// The figures of the serial benchmark, one run each: a pseudo-terminal, a receiver started
// on its slave side, the far end played on its master side.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bench/serial/Harness.h"

namespace comfind::bench {

struct TThroughput {
  double MBps = 0;
  double CpuMsPerMB = 0;
  long PeakRssKiB = 0;
};
std::optional<TThroughput> RunThroughput(const TPeer& P, const TSizes& Z);

struct TLatency {
  double MedianUs = 0;
  double P90Us = 0;
  double P99Us = 0;
};
std::optional<TLatency> RunLatency(const TPeer& P, const TSizes& Z);
double Percentile(std::vector<double> V, double Q);

// The instrument: answers every CR LF line it receives with "OK" CR LF at once.
TServe Instrument(TPty& Pty, std::string& Input);

// Microseconds from the start of the search to its result.
std::optional<double> RunSearch(const TPeer& P, bool AfterTwoFailures);

// Open, probe write, close cycles per second.
std::optional<double> RunOpenClose(const TPeer& P, const TSizes& Z);

// Peak RSS (MiB) of a receiver taking a flood without line ends, then one "END" line.
struct TFlood {
  double PeakMiB = 0;
  bool Finished = false;
  double SentMiB = 0;
};
TFlood RunFlood(const TPeer& P, const TSizes& Z);

// CPU microseconds of every receiver idling on its own pseudo-terminal, all at once.
std::map<std::string, double> RunIdle(const std::vector<TPeer>& Peers, const TSizes& Z);

// comfind-cli over one pseudo-terminal with the instrument on it: peak RSS in MiB.
double RunCliSearch(const std::string& Cli);

// comfind-cli with Options over Silent silent pseudo-terminals and the instrument after them:
// milliseconds from its start to its exit, nothing when it did not find the instrument.
std::optional<double> RunManyPorts(const std::string& Cli, int Silent,
                                   const std::vector<std::string>& Options);

// comfind-cli whose port answers the probe with a flood without line ends until the search
// gives the port up (500 ms): peak RSS in MiB and the MiB that went in.
std::pair<double, double> RunCliFlood(const std::string& Cli);

}  // namespace comfind::bench
