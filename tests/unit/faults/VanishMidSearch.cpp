// A device that vanishes while the search waits for its reply, on the simulated device (so it
// also runs under every sanitizer build): the search gives that port its verdict and goes on.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "framework/MainLoop.h"
#include "port/os/SimComOS.h"
#include "search/dmCom.h"

namespace comfind {

using namespace std::chrono_literals;

TEST(VanishMidSearch, TheSearchGivesTheVerdictAndGoesOn) {
  TMainLoop::Instance().AttachMainThread();
  TSimComOS Sim;
  for (const char* Name : {"COM1", "COM2", "COM3"})
    Sim.AddDevice(Name);
  std::vector<std::pair<TFindResult, int>> Done;
  TStringList Log;
  {
    TdmCom Dm(nullptr);
    Dm.cpCheck->SetOS(&Sim);
    TStringList Ports;
    Ports.SetItems({"COM1", "COM2", "COM3"});
    Dm.StartFind(Ports, Log, [&](TFindResult R, uint8_t I) { Done.push_back({R, I}); });
    ASSERT_EQ(Sim.Written("COM1"), FindText::Probe);
    // Every later call on the vanished device fails, the purge of its close included.
    Sim.Vanish("COM1");
    ASSERT_TRUE(TMainLoop::Instance().ProcessUntil(
        [&] { return Sim.Written("COM3") == FindText::Probe; }, 10s))
        << testing::PrintToString(Log.Items());
    Sim.Feed("COM3", "OK\r\n");
    ASSERT_TRUE(TMainLoop::Instance().ProcessUntil([&] { return !Done.empty(); }, 10s));
    EXPECT_FALSE(Sim.IsOpen("COM1"));
    // The module is destroyed with a port whose last close failed: no exception may leave it.
  }
  ASSERT_EQ(Done.size(), 1u);
  EXPECT_EQ(Done[0].first, frFound);
  EXPECT_EQ(Done[0].second, 2);
  const auto Lines = Log.Items();
  ASSERT_EQ(Lines.size(), 13u) << testing::PrintToString(Lines);
  EXPECT_EQ(Lines[3], FindText::NotFoundOn + std::string("COM1"));
  EXPECT_EQ(Lines[7], FindText::NotFoundOn + std::string("COM2"));
  EXPECT_EQ(Lines[11], "<OK");
  EXPECT_EQ(Lines[12], FindText::FoundOn + std::string("COM3"));
  EXPECT_EQ(Sim.OpenHandles(), 0u);
}

TEST(VanishMidSearch, DestroyingTheModuleOnAVanishedPortDoesNotThrow) {
  TMainLoop::Instance().AttachMainThread();
  TSimComOS Sim;
  Sim.AddDevice("COM1");
  TStringList Log;
  auto Dm = std::make_unique<TdmCom>(nullptr);
  Dm->cpCheck->SetOS(&Sim);
  TStringList Ports;
  Ports.SetItems({"COM1"});
  Dm->StartFind(Ports, Log, [](TFindResult, uint8_t) {});
  ASSERT_TRUE(Dm->cpCheck->Connected());
  Sim.Vanish("COM1");
  // A destructor that let the close's purge failure out would end the process.
  EXPECT_NO_THROW(Dm.reset());
  EXPECT_EQ(Sim.OpenHandles(), 0u);
}

}  // namespace comfind
