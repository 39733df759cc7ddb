// comfind as a receiver of the serial benchmark (the modes are in peers/PeerCommon.h).
//
// It uses the application's own data module, so the port has the application's settings
// (19200 8N1, DTR on, RTS off, the read timeouts, [evRxChar], window synchronisation) and the
// lines come out of the application's packet assembler (stop string CR LF, limit 1024) on the
// main thread, through the main loop, exactly as the search receives them.
//
// For finding out where time goes, two settings can be changed from the environment (the
// table's figures never set them): BENCH_COMFIND_INPUT_SIZE (the driver input queue size,
// Buffer.InputSize) and BENCH_COMFIND_SYNC (thread, window or none: the SyncMethod).
#include <cstdlib>
#include <exception>
#include <string>

#include "bench/peers/PeerCommon.h"
#include "framework/Classes.h"
#include "framework/MainLoop.h"
#include "port/packet/ComDataPacket.h"
#include "search/dmCom.h"

namespace comfind {

namespace {

using peer::Say;

class TReceiver {
 public:
  explicit TReceiver(const peer::TArgs& Args) : FArgs(Args) {
    FLoop.SetExceptionHandler([this](TObject*, std::exception_ptr E) {
      FFailed = true;
      FLoop.Terminate();
      std::rethrow_exception(E);
    });
  }

  int Run() {
    if (const char* Size = std::getenv("BENCH_COMFIND_INPUT_SIZE"))
      Port().Buffer().SetInputSize(std::atoi(Size));
    if (const char* Sync = std::getenv("BENCH_COMFIND_SYNC")) {
      const std::string S = Sync;
      Port().SetSyncMethod(S == "none" ? smNone : S == "thread" ? smThreadSync : smWindowSync);
    }
    const std::string& Mode = FArgs.Mode;
    if (Mode == "search") return Search();
    if (Mode == "openclose") return OpenClose();
    Port().SetPort_(FArgs.Devices[0]);
    if (Mode == "throughput") {
      Pack().OnPacket = [this](TObject*, const std::string& Line) {
        if (Line.size() != peer::LineLength) ++FBad;
        if (++FLines == FArgs.Count) {
          FDoneNs = peer::NowNs();
          FLoop.Terminate();
        }
      };
    } else if (Mode == "latency") {
      Pack().OnPacket = [this](TObject*, const std::string& Line) {
        if (peer::IsBye(Line)) return FLoop.Terminate();
        Port().WriteText(peer::Probe);
        ++FLines;
      };
    } else if (Mode == "flood") {
      Pack().OnPacket = [this](TObject*, const std::string& Line) {
        ++FLines;
        if (peer::EndsWithEnd(Line)) FLoop.Terminate();
      };
    } else if (Mode != "idle") {
      return 2;
    }
    Port().SetConnected(true);
    Say("ready");
    if (Mode == "idle") {
      TTimer Stop(nullptr);
      Stop.SetInterval(static_cast<uint32_t>(FArgs.Count * 1000));
      Stop.OnTimer = [this](TObject*) { FLoop.Terminate(); };
      const long long Cpu0 = peer::CpuNs();
      Stop.SetEnabled(true);
      FLoop.Run();
      Say("cpu " + std::to_string(peer::CpuNs() - Cpu0));
    } else {
      FLoop.Run();
    }
    Port().Close();
    if (FFailed) return 1;
    if (Mode == "throughput")
      Say("done " + std::to_string(FDoneNs) + " " + std::to_string(FLines) + " " +
          std::to_string(FBad));
    else if (Mode != "idle")
      Say("done " + std::to_string(FLines));
    return 0;
  }

 private:
  TComPort& Port() { return *FModule.cpCheck; }
  TComDataPacket& Pack() { return *FModule.ComDataPack; }

  int Search() {
    TStringList Ports, Log;
    Ports.SetItems(FArgs.Devices);
    bool Done = false;
    TFindResult Result = frNotFound;
    uint8_t Index = 0;
    long long EndNs = 0;
    const long long StartNs = peer::NowNs();
    FModule.StartFind(Ports, Log, [&](TFindResult R, uint8_t I) {
      EndNs = peer::NowNs();
      Done = true;
      Result = R;
      Index = I;
      FLoop.Terminate();
    });
    if (!Done) FLoop.Run();
    if (!Done) return 1;
    Say("search " + std::to_string(Result == frFound ? 1 : 0) + " " + std::to_string(Index) + " " +
        std::to_string(EndNs - StartNs));
    return 0;
  }

  int OpenClose() {
    Port().SetPort_(FArgs.Devices[0]);
    const long long StartNs = peer::NowNs();
    for (long long I = 0; I < FArgs.Count; ++I) {
      Port().SetConnected(true);
      Port().WriteText(peer::Probe);
      Port().Close();
    }
    Say("cycles " + std::to_string(FArgs.Count) + " " + std::to_string(peer::NowNs() - StartNs));
    return 0;
  }

  peer::TArgs FArgs;
  TMainLoop& FLoop = TMainLoop::Instance();
  TdmCom FModule{nullptr};
  long long FLines = 0;
  long long FBad = 0;
  long long FDoneNs = 0;
  bool FFailed = false;
};

}  // namespace

}  // namespace comfind

using namespace comfind;

int main(int argc, char** argv) {
  TMainLoop::Instance().AttachMainThread();
  const peer::TArgs Args = peer::ParseArgs(argc, argv);
  try {
    TReceiver Receiver(Args);
    return Receiver.Run();
  } catch (const std::exception& E) {
    std::fprintf(stderr, "bench_comfind: %s\n", E.what());
    return 1;
  }
}
