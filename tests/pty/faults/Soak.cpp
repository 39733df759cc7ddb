// Open/close cycles with traffic on a pseudo-terminal: descriptors, threads and resident memory
// are the same at the end as after the first hundred cycles. 2,000 cycles by default, 10,000 with
// COMFIND_LONG=1.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "framework/MainLoop.h"
#include "port/CPort.h"
#include "testkit/Pty.h"
#include "tests/unit/faults/Resources.h"

namespace comfind {

using namespace std::chrono_literals;

TEST(Soak, OpenCloseCyclesWithTrafficLeaveNothingBehind) {
  const int Cycles = faults::LongRun() ? 10000 : 2000;
  TMainLoop::Instance().AttachMainThread();
  TPty Pty;
  TComPort Port(nullptr);
  Port.SetPort_(Pty.SlavePath());
  Port.SetBaudRate(br19200);
  Port.SetEvents(TComEvents{evRxChar});
  Port.SetSyncMethod(smWindowSync);
  TComLink Link;
  size_t Received = 0;
  Link.OnRxBuf = [&](TObject*, const void*, int32_t N) { Received += static_cast<size_t>(N); };
  Port.AddLink(&Link);
  const int Threads = faults::Threads();  // before any event thread
  size_t Files = 0;
  long Rss = 0;
  for (int Cycle = 0; Cycle < Cycles; ++Cycle) {
    Port.Open();
    ASSERT_EQ(Port.WriteText("TRG0000000010000\r\n"), 18);
    const size_t Before = Received;
    ASSERT_TRUE(Pty.Write("OK\r\n"));
    // Every tenth cycle waits for the reply; the others close while it may be in flight.
    if (Cycle % 10 == 0)
      ASSERT_TRUE(TMainLoop::Instance().ProcessUntil([&] { return Received >= Before + 4; }, 10s))
          << "cycle " << Cycle;
    else
      TMainLoop::Instance().ProcessMessages();
    // Read before the close: its purge may discard output the far end has not taken yet.
    ASSERT_EQ(Pty.Read(18, 5s).size(), 18u) << "cycle " << Cycle;
    Port.Close();
    Pty.ReadAvailable();
    if (Cycle == 99) {
      ASSERT_TRUE(
          TMainLoop::Instance().ProcessUntil([&] { return faults::Threads() == Threads; }, 10s));
      Files = faults::OpenFiles().size();
      Rss = faults::StatusKiB("VmRSS");
    }
  }
  RecordProperty("cycles", Cycles);
  EXPECT_GT(Received, 0u);
  EXPECT_EQ(faults::OpenFiles().size(), Files);
  EXPECT_TRUE(TMainLoop::Instance().ProcessUntil([&] { return faults::Threads() == Threads; }, 10s))
      << faults::Threads() << " threads, " << Threads << " before";
  if (faults::MemoryFiguresHold()) {
    const long Growth = faults::StatusKiB("VmRSS") - Rss;
    EXPECT_LT(Growth, 2048 + Cycles / 10) << "resident memory grew by " << Growth << " kiB";
  }
  Port.RemoveLink(&Link);
}

}  // namespace comfind
