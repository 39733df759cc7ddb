#include "tools/DemoPorts.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "tools/InstrumentSim.h"

namespace comfind {

namespace {
// The noisy port's answer: readable text around bytes that a terminal must not see raw.
constexpr char NoiseLine[] = "ERR?\x07#\x7F~";
}  // namespace

struct TDemoPorts::TImpl {
  std::vector<std::unique_ptr<TSimPort>> Sims;
  int StopPipe[2] = {-1, -1};
  std::thread Server;

  ~TImpl() {
    if (Server.joinable()) {
      const char Byte = 0;
      while (::write(StopPipe[1], &Byte, 1) < 0 && errno == EINTR) {
      }
      Server.join();
    }
    for (int Fd : StopPipe)
      if (Fd >= 0) ::close(Fd);
  }
};

bool TDemoPorts::Available() {
  return true;
}

TDemoPorts::TDemoPorts() : FImpl(std::make_unique<TImpl>()) {
  try {
    TSimOptions Silent;
    Silent.Silent = true;
    TSimOptions Noise;
    Noise.Silent = true;
    Noise.Noise = NoiseLine;
    TSimOptions Instrument;
    const struct {
      const TSimOptions* Options;
      const char* Role;
    } Roles[] = {{&Silent, "silent"}, {&Noise, "noise"}, {&Instrument, "instrument"}};
    for (const auto& R : Roles) {
      FImpl->Sims.push_back(std::make_unique<TSimPort>(*R.Options));
      FPorts.push_back({FImpl->Sims.back()->Path(), R.Role});
    }
    if (::pipe2(FImpl->StopPipe, O_CLOEXEC) != 0)
      throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
  } catch (const std::exception& E) {
    throw Exception(std::string("The virtual ports cannot be created: ") + E.what());
  }
  std::vector<TSimPort*> Ports;
  for (auto& Sim : FImpl->Sims)
    Ports.push_back(Sim.get());
  const int Stop = FImpl->StopPipe[0];
  FImpl->Server = std::thread([Ports, Stop] { ServeSimPorts(Ports, Stop); });
}

TDemoPorts::~TDemoPorts() = default;

void TDemoPorts::GetNames(TStrings& List) const {
  std::vector<std::string> Names;
  for (const TPort& Port : FPorts)
    Names.push_back(Port.Name);
  List.SetItems(std::move(Names));
}

}  // namespace comfind
