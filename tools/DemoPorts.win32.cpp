#include "tools/DemoPorts.h"

// Windows has no pseudo-terminals that a serial port object could open.

namespace comfind {

struct TDemoPorts::TImpl {};

bool TDemoPorts::Available() {
  return false;
}

TDemoPorts::TDemoPorts() {
  throw Exception("Virtual ports are not available on Windows: connect a real instrument.");
}

TDemoPorts::~TDemoPorts() = default;

void TDemoPorts::GetNames(TStrings& List) const {
  List.Clear();
}

}  // namespace comfind
