// Many searches in one process against a simulated instrument: descriptors, threads, handles
// and resident memory are the same at the end as after the first hundred. 1,000 searches by
// default, 10,000 with COMFIND_LONG=1.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "framework/MainLoop.h"
#include "port/os/SimComOS.h"
#include "search/dmCom.h"
#include "tests/unit/faults/Resources.h"

namespace comfind {

using namespace std::chrono_literals;

TEST(LongRun, ManySearchesLeaveNothingBehind) {
  const int Searches = faults::LongRun() ? 10000 : 1000;
  TMainLoop::Instance().AttachMainThread();
  TSimComOS Sim;  // outlives the module, whose port closes through it
  Sim.AddDevice("COM7");
  TdmCom Dm(nullptr);
  Dm.cpCheck->SetOS(&Sim);
  TStringList Ports;
  // A port that cannot be opened first, so each search takes both paths.
  Ports.SetItems({"COM3", "COM7"});
  size_t Files = 0;
  // Counted before the first open: every event thread ends once its port has been closed
  // long enough. (Counted after the first hundred, a thread that had freed its events but
  // not yet left the process made the baseline one too high.)
  const int Threads = faults::Threads();
  long Rss = 0;
  int Found = 0;
  for (int I = 0; I < Searches; ++I) {
    TStringList Log;
    std::vector<TFindResult> Done;
    Dm.StartFind(Ports, Log, [&](TFindResult R, uint8_t) { Done.push_back(R); });
    // StartFind returns once the probe is written to the second port.
    ASSERT_EQ(Sim.TakeWritten("COM7"), FindText::Probe) << "search " << I;
    Sim.Feed("COM7", "OK\r\n");
    ASSERT_TRUE(TMainLoop::Instance().ProcessUntil([&] { return !Done.empty(); }, 10s))
        << "search " << I;
    ASSERT_EQ(Done.size(), 1u);
    Found += Done[0] == frFound;
    ASSERT_EQ(Log.Count(), 8) << "search " << I;
    Sim.ClearCalls();  // the simulator's own call log would grow with every search
    if (I == 99) {
      ASSERT_TRUE(TMainLoop::Instance().ProcessUntil(
          [&] { return !Sim.IsOpen("COM7") && Sim.OpenHandles() == 0; }, 10s));
      Files = faults::OpenFiles().size();
      Rss = faults::StatusKiB("VmRSS");
    }
  }
  RecordProperty("searches", Searches);
  EXPECT_EQ(Found, Searches);
  // A closed port's event thread keeps its two events while it sleeps for the next open.
  EXPECT_TRUE(TMainLoop::Instance().ProcessUntil([&] { return Sim.OpenHandles() == 0; }, 10s));
  EXPECT_EQ(faults::OpenFiles().size(), Files);
  EXPECT_TRUE(TMainLoop::Instance().ProcessUntil([&] { return faults::Threads() == Threads; }, 10s))
      << faults::Threads() << " threads, " << Threads << " before the first search";
  if (faults::MemoryFiguresHold()) {
    // Generous: a leak of even a few hundred bytes a search shows at these counts.
    const long Growth = faults::StatusKiB("VmRSS") - Rss;
    EXPECT_LT(Growth, 2048 + Searches / 10) << "resident memory grew by " << Growth << " kiB";
  }
}

}  // namespace comfind
