// Devices that vanish under an open port: in the middle of a write that cannot finish, and in the
// middle of a search's wait. Nothing may spin, hang or crash, and the search must go on.
#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "framework/MainLoop.h"
#include "port/CPort.h"
#include "search/dmCom.h"
#include "testkit/Pty.h"
#include "tests/unit/faults/Resources.h"

namespace comfind {

using namespace std::chrono_literals;

namespace {

const std::string Probe = FindText::Probe;

}  // namespace

TEST(VanishingDevice, AWriteThatCannotFinishEndsWhenTheDeviceGoes) {
  TMainLoop::Instance().AttachMainThread();
  TPty Pty;
  const int Threads = faults::Threads();
  const auto Files = faults::OpenFiles();
  {
    TComPort Port(nullptr);
    Port.SetPort_(Pty.SlavePath());
    Port.SetBaudRate(br19200);
    Port.SetEvents(TComEvents{evRxChar});
    // No write timeouts: only the device's end can stop this write.
    Port.Timeouts().SetWriteTotalConstant(0);
    Port.Timeouts().SetWriteTotalMultiplier(0);
    Port.Open();
    // Nobody reads the far end, so a few MiB fill the line and the write blocks; once bytes
    // have arrived, the far end goes away.
    std::thread Vanisher([&] {
      pollfd P{Pty.MasterFd(), POLLIN, 0};
      poll(&P, 1, 10000);
      std::this_thread::sleep_for(50ms);  // let the writer block on the full line
      Pty.CloseMaster();
      Pty.ReleaseSlave();
    });
    const auto Begin = std::chrono::steady_clock::now();
    const auto Cpu = faults::CpuTime();
    bool Raised = false;
    try {
      Port.WriteText(std::string(4 << 20, 'x'));
    } catch (const EComPort& E) {
      Raised = true;
      EXPECT_EQ(E.ErrorCode(), CE_WriteFailed) << E.what();
    }
    Vanisher.join();
    EXPECT_TRUE(Raised) << "a write to a vanished device reported success";
    EXPECT_LT(std::chrono::steady_clock::now() - Begin, 30s);
    EXPECT_LT(faults::CpuTime() - Cpu, 5s) << "the blocked write spun";
    try {
      Port.Close();
    } catch (const EComPort& E) {
      EXPECT_EQ(E.ErrorCode(), CE_PurgeFailed);
    }
    EXPECT_FALSE(Port.Connected());
  }
  EXPECT_TRUE(
      TMainLoop::Instance().ProcessUntil([&] { return faults::Threads() == Threads; }, 10s));
  auto After = faults::OpenFiles();
  for (const auto& F : After)
    EXPECT_TRUE(Files.count(F)) << "left open: " << F;
}

TEST(VanishingDevice, ASearchLogsTheVanishedPortAndGoesOn) {
  TMainLoop::Instance().AttachMainThread();
  TPty Gone, Silent, Instrument;
  const int Threads = faults::Threads();
  TdmCom Dm(nullptr);
  TStringList Log;
  std::vector<std::pair<TFindResult, int>> Done;
  TStringList Ports;
  Ports.SetItems({Gone.SlavePath(), Silent.SlavePath(), Instrument.SlavePath()});
  const auto Cpu = faults::CpuTime();
  Dm.StartFind(Ports, Log, [&](TFindResult R, uint8_t I) { Done.push_back({R, I}); });
  ASSERT_EQ(Gone.Read(Probe.size(), 5s), Probe);
  // The first port disappears while the search waits for its reply: the far end closes, and
  // with the last descriptor gone the node goes too.
  Gone.CloseMaster();
  Gone.ReleaseSlave();
  // The search goes on to the next ports; the instrument answers on the third.
  std::string Seen;
  ASSERT_TRUE(TMainLoop::Instance().ProcessUntil(
      [&] {
        Seen += Instrument.ReadAvailable();
        return Seen.size() >= Probe.size();
      },
      20s))
      << "the search stopped after the vanished port";
  EXPECT_EQ(Seen, Probe);
  ASSERT_TRUE(Instrument.Write("OK\r\n"));
  ASSERT_TRUE(TMainLoop::Instance().ProcessUntil([&] { return !Done.empty(); }, 20s));
  // Two waits of 500 ms; a port that vanished must not burn a core meanwhile.
  EXPECT_LT(faults::CpuTime() - Cpu, 1500ms);
  ASSERT_EQ(Done.size(), 1u);
  EXPECT_EQ(Done[0].first, frFound);
  EXPECT_EQ(Done[0].second, 2);
  const auto Lines = Log.Items();
  ASSERT_GE(Lines.size(), 4u);
  EXPECT_EQ(Lines[0], FindText::Separator);
  EXPECT_EQ(Lines[1], Gone.SlavePath());
  EXPECT_EQ(Lines[2], FindText::ProbeEcho);
  // Whatever the port reports of the vanished device, the port's block ends with its verdict.
  EXPECT_EQ(Lines[3], FindText::NotFoundOn + Gone.SlavePath());
  EXPECT_EQ(Lines.back(), FindText::FoundOn + Instrument.SlavePath());
  EXPECT_FALSE(Dm.cpCheck->Connected());
  EXPECT_TRUE(
      TMainLoop::Instance().ProcessUntil([&] { return faults::Threads() == Threads; }, 10s));
}

}  // namespace comfind
