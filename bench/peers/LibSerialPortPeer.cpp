// libserialport as a receiver of the serial benchmark (modes: PeerCommon.h). Read the way its
// documentation shows: a blocking read loop (sp_blocking_read_next) on the main thread, with a
// CR LF line splitter in front of the line handler.
#include <libserialport.h>

#include <string>

#include "bench/peers/PeerCommon.h"

namespace {

using peer::Say;

// Opens Device at the search's line settings; null when it cannot be opened. The modem lines
// are left alone: a pseudo-terminal has none, and setting them fails there.
sp_port* OpenPort(const std::string& Device) {
  sp_port* Port = nullptr;
  if (sp_get_port_by_name(Device.c_str(), &Port) != SP_OK) return nullptr;
  if (sp_open(Port, SP_MODE_READ_WRITE) != SP_OK) {
    sp_free_port(Port);
    return nullptr;
  }
  if (sp_set_baudrate(Port, 19200) != SP_OK || sp_set_bits(Port, 8) != SP_OK ||
      sp_set_parity(Port, SP_PARITY_NONE) != SP_OK || sp_set_stopbits(Port, 1) != SP_OK ||
      sp_set_flowcontrol(Port, SP_FLOWCONTROL_NONE) != SP_OK) {
    std::fprintf(stderr, "libserialport: cannot configure %s: %s\n", Device.c_str(),
                 sp_last_error_message());
  }
  return Port;
}

void ClosePort(sp_port* Port) {
  sp_close(Port);
  sp_free_port(Port);
}

bool WriteAll(sp_port* Port, const char* Data, size_t Size) {
  return sp_blocking_write(Port, Data, Size, 0) == static_cast<int>(Size);
}

// Reads and splits until Stop() holds or the deadline (0: none) passes.
template <typename FLine, typename FStop>
void ReadLoop(sp_port* Port, FLine OnLine, FStop Stop, long long DeadlineNs = 0) {
  peer::TLineSplitter Splitter(OnLine);
  static char Block[65536];
  while (!Stop()) {
    unsigned Timeout = 0;
    if (DeadlineNs) {
      const long long Left = DeadlineNs - peer::NowNs();
      if (Left <= 0) return;
      Timeout = static_cast<unsigned>(Left / 1000000 + 1);
    }
    const int N = sp_blocking_read_next(Port, Block, sizeof Block, Timeout);
    if (N < 0) {
      std::fprintf(stderr, "libserialport: read failed: %s\n", sp_last_error_message());
      return;
    }
    if (N > 0) Splitter.Feed(Block, static_cast<size_t>(N));
  }
}

int Run(const peer::TArgs& Args) {
  if (Args.Mode == "search") {
    const long long Start = peer::NowNs();
    for (size_t I = 0; I < Args.Devices.size(); ++I) {
      sp_port* Port = OpenPort(Args.Devices[I]);
      if (!Port) continue;
      bool Found = false;
      if (WriteAll(Port, peer::Probe, sizeof peer::Probe - 1)) {
        ReadLoop(
            Port, [&](const std::string& Line) { Found = Found || peer::IsOk(Line); },
            [&] { return Found; }, peer::NowNs() + peer::SearchWaitMs * 1000000LL);
      }
      ClosePort(Port);
      if (Found) {
        Say("search 1 " + std::to_string(I) + " " + std::to_string(peer::NowNs() - Start));
        return 0;
      }
    }
    Say("search 0 " + std::to_string(Args.Devices.size() - 1) + " " +
        std::to_string(peer::NowNs() - Start));
    return 0;
  }
  const std::string& Device = Args.Devices[0];
  if (Args.Mode == "openclose") {
    const long long Start = peer::NowNs();
    for (long long I = 0; I < Args.Count; ++I) {
      sp_port* Port = OpenPort(Device);
      if (!Port) return 1;
      WriteAll(Port, peer::Probe, sizeof peer::Probe - 1);
      ClosePort(Port);
    }
    Say("cycles " + std::to_string(Args.Count) + " " + std::to_string(peer::NowNs() - Start));
    return 0;
  }

  sp_port* Port = OpenPort(Device);
  if (!Port) {
    std::fprintf(stderr, "libserialport: cannot open %s: %s\n", Device.c_str(),
                 sp_last_error_message());
    return 1;
  }
  Say("ready");
  long long Lines = 0, Bad = 0, DoneNs = 0;
  bool Stop = false;
  if (Args.Mode == "throughput") {
    ReadLoop(
        Port,
        [&](const std::string& Line) {
          if (Line.size() != peer::LineLength) ++Bad;
          if (++Lines == Args.Count) {
            DoneNs = peer::NowNs();
            Stop = true;
          }
        },
        [&] { return Stop; });
    Say("done " + std::to_string(DoneNs) + " " + std::to_string(Lines) + " " + std::to_string(Bad));
  } else if (Args.Mode == "latency") {
    ReadLoop(
        Port,
        [&](const std::string& Line) {
          if (peer::IsBye(Line)) {
            Stop = true;
          } else {
            WriteAll(Port, peer::Probe, sizeof peer::Probe - 1);
            ++Lines;
          }
        },
        [&] { return Stop; });
    Say("done " + std::to_string(Lines));
  } else if (Args.Mode == "flood") {
    ReadLoop(
        Port,
        [&](const std::string& Line) {
          ++Lines;
          Stop = peer::EndsWithEnd(Line);
        },
        [&] { return Stop; });
    Say("done " + std::to_string(Lines));
  } else if (Args.Mode == "idle") {
    const long long Cpu0 = peer::CpuNs();
    ReadLoop(
        Port, [](const std::string&) {}, [] { return false; },
        peer::NowNs() + Args.Count * 1000000000LL);
    Say("cpu " + std::to_string(peer::CpuNs() - Cpu0));
  }
  ClosePort(Port);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  return Run(peer::ParseArgs(argc, argv));
}
