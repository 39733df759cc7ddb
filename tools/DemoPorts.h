// Virtual serial ports for demonstrations: three pseudo-terminals, served by one background
// thread, that a search can be pointed at instead of the machine's own ports:
//   1. a silent port: it takes whatever is written and never answers;
//   2. a noisy port: it answers every line with a line of noise;
//   3. the simulated instrument: it answers every line with "OK" CR LF.
// The ports exist from construction to destruction; the destructor stops the thread and
// removes them. Only where the platform has pseudo-terminals (not on Windows).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "framework/Classes.h"

namespace comfind {

class TDemoPorts {
 public:
  struct TPort {
    std::string Name;  // what the port object opens ("/dev/pts/5")
    std::string Role;  // "silent", "noise" or "instrument"
  };

  // Whether this platform can create the virtual ports.
  static bool Available();

  // Creates the three ports and starts serving them. Raises Exception when the platform has no
  // pseudo-terminals or one cannot be created; nothing is left behind then.
  TDemoPorts();
  ~TDemoPorts();
  TDemoPorts(const TDemoPorts&) = delete;
  TDemoPorts& operator=(const TDemoPorts&) = delete;

  // The ports in the order a demonstration searches them: silent, noise, instrument.
  const std::vector<TPort>& Ports() const { return FPorts; }
  // Fills List with the port names in that order (List is cleared first).
  void GetNames(TStrings& List) const;

 private:
  struct TImpl;
  std::unique_ptr<TImpl> FImpl;
  std::vector<TPort> FPorts;
};

}  // namespace comfind
