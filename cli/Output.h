// comfind-cli's machine-readable output: the port list and the search as JSON documents (the
// schema is cli/comfind-cli.schema.json, described in the README and the manual page).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "port/ComEnum.h"
#include "search/ProbeReport.h"

namespace comfind {

class TJsonWriter;

// One port's details as a JSON object (the "details" of the documented schema).
void WriteDetails(TJsonWriter& W, const TComPortDetails& D);

// --list --json.
std::string PortListJson(const std::vector<TComPortDetails>& Ports);

// Everything the JSON document of a search holds.
struct TSearchSummary {
  bool Parallel = false;
  bool All = false;
  std::string Probe;  // as written, CR LF included
  std::string Expect;
  uint32_t TimeoutMs = 0;
  int32_t Baud = 0;
  std::vector<TProbeReport> Reports;  // in the order the verdicts came
  std::vector<std::string> Found;     // the ports that answered
  std::string Verdict;                // "found", "not found", "interrupted", "failed"
  int ExitStatus = 0;
  std::vector<std::string> Log;
};

// --json: the search's document; each port's details looked up in Details.
std::string SearchJson(const TSearchSummary& S, const std::vector<TComPortDetails>& Details);

}  // namespace comfind
