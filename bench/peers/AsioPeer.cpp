// Boost.Asio's serial_port as a receiver of the serial benchmark (modes: PeerCommon.h). Read
// the way its documentation shows: async_read_until CR LF into a streambuf, the handler run by
// io_context::run on the main thread.
// Boost 1.74 uses std::exchange in its C++20 parts without including <utility>.
#include <utility>

#include <boost/asio.hpp>

#include <memory>
#include <string>

#include "bench/peers/PeerCommon.h"

namespace {

namespace asio = boost::asio;
using boost::system::error_code;
using peer::Say;

bool OpenPort(asio::serial_port& Port, const std::string& Device) {
  error_code E;
  Port.open(Device, E);
  if (E) return false;
  Port.set_option(asio::serial_port_base::baud_rate(19200), E);
  Port.set_option(asio::serial_port_base::character_size(8), E);
  Port.set_option(asio::serial_port_base::parity(asio::serial_port_base::parity::none), E);
  Port.set_option(asio::serial_port_base::stop_bits(asio::serial_port_base::stop_bits::one), E);
  Port.set_option(asio::serial_port_base::flow_control(asio::serial_port_base::flow_control::none),
                  E);
  return true;
}

void WriteProbe(asio::serial_port& Port) {
  error_code E;
  asio::write(Port, asio::buffer(peer::Probe, sizeof peer::Probe - 1), E);
}

// Reads lines until OnLine returns false.
class TLineReader {
 public:
  template <typename F>
  TLineReader(asio::serial_port& Port, F OnLine) : FPort(Port), FOnLine(OnLine) {}
  void Start() {
    asio::async_read_until(FPort, FBuffer, "\r\n", [this](const error_code& E, size_t N) {
      if (E) return;
      const auto Data = FBuffer.data();
      const std::string Line(asio::buffers_begin(Data), asio::buffers_begin(Data) + (N - 2));
      FBuffer.consume(N);
      if (FOnLine(Line)) Start();
    });
  }

 private:
  asio::serial_port& FPort;
  std::function<bool(const std::string&)> FOnLine;
  asio::streambuf FBuffer;
};

int Search(const std::vector<std::string>& Devices) {
  const long long Start = peer::NowNs();
  for (size_t I = 0; I < Devices.size(); ++I) {
    asio::io_context Io;
    asio::serial_port Port(Io);
    if (!OpenPort(Port, Devices[I])) continue;
    WriteProbe(Port);
    bool Found = false;
    asio::steady_timer Timer(Io, std::chrono::milliseconds(peer::SearchWaitMs));
    TLineReader Reader(Port, [&](const std::string& Line) {
      if (!peer::IsOk(Line)) return true;
      Found = true;
      Timer.cancel();
      return false;
    });
    Reader.Start();
    Timer.async_wait([&](const error_code& E) {
      if (!E) Port.cancel();
    });
    Io.run();
    Port.close();
    if (Found) {
      Say("search 1 " + std::to_string(I) + " " + std::to_string(peer::NowNs() - Start));
      return 0;
    }
  }
  Say("search 0 " + std::to_string(Devices.size() - 1) + " " +
      std::to_string(peer::NowNs() - Start));
  return 0;
}

int Run(const peer::TArgs& Args) {
  if (Args.Mode == "search") return Search(Args.Devices);
  const std::string& Device = Args.Devices[0];
  asio::io_context Io;
  if (Args.Mode == "openclose") {
    const long long Start = peer::NowNs();
    for (long long I = 0; I < Args.Count; ++I) {
      asio::serial_port Port(Io);
      if (!OpenPort(Port, Device)) return 1;
      WriteProbe(Port);
      Port.close();
    }
    Say("cycles " + std::to_string(Args.Count) + " " + std::to_string(peer::NowNs() - Start));
    return 0;
  }

  asio::serial_port Port(Io);
  if (!OpenPort(Port, Device)) {
    std::fprintf(stderr, "asio: cannot open %s\n", Device.c_str());
    return 1;
  }
  long long Lines = 0, Bad = 0, DoneNs = 0;
  std::unique_ptr<TLineReader> Reader;
  asio::steady_timer Timer(Io);
  if (Args.Mode == "throughput") {
    Reader = std::make_unique<TLineReader>(Port, [&](const std::string& Line) {
      if (Line.size() != peer::LineLength) ++Bad;
      if (++Lines < Args.Count) return true;
      DoneNs = peer::NowNs();
      return false;
    });
  } else if (Args.Mode == "latency") {
    Reader = std::make_unique<TLineReader>(Port, [&](const std::string& Line) {
      if (peer::IsBye(Line)) return false;
      WriteProbe(Port);
      ++Lines;
      return true;
    });
  } else if (Args.Mode == "flood") {
    Reader = std::make_unique<TLineReader>(Port, [&](const std::string& Line) {
      ++Lines;
      return !peer::EndsWithEnd(Line);
    });
  } else if (Args.Mode == "idle") {
    Reader = std::make_unique<TLineReader>(Port, [](const std::string&) { return true; });
    Timer.expires_after(std::chrono::seconds(Args.Count));
    Timer.async_wait([&](const error_code&) { Port.cancel(); });
  }
  Reader->Start();
  Say("ready");
  const long long Cpu0 = peer::CpuNs();
  Io.run();
  if (Args.Mode == "idle") {
    Say("cpu " + std::to_string(peer::CpuNs() - Cpu0));
  } else if (Args.Mode == "throughput") {
    Say("done " + std::to_string(DoneNs) + " " + std::to_string(Lines) + " " + std::to_string(Bad));
  } else {
    Say("done " + std::to_string(Lines));
  }
  Port.close();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  return Run(peer::ParseArgs(argc, argv));
}
