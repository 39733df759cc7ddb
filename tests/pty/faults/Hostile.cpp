// Hostile input over real pseudo-terminals: a flood without line ends, binary noise, a reply
// one byte at a time, and port names that are no port names.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "framework/MainLoop.h"
#include "port/CPort.h"
#include "port/packet/ComDataPacket.h"
#include "search/dmCom.h"
#include "testkit/Pty.h"
#include "tests/unit/faults/Resources.h"

namespace comfind {

using namespace std::chrono_literals;

namespace {

const std::string Probe = FindText::Probe;

class HostileInput : public testing::Test {
 protected:
  HostileInput() { TMainLoop::Instance().AttachMainThread(); }

  void Start(const std::vector<std::string>& Names) {
    TStringList Ports;
    Ports.SetItems(Names);
    Dm.StartFind(Ports, Log, [this](TFindResult R, uint8_t I) { Done.push_back({R, I}); });
  }
  bool WaitDone(std::chrono::milliseconds Deadline = 20s) {
    return TMainLoop::Instance().ProcessUntil([&] { return !Done.empty(); }, Deadline);
  }

  TdmCom Dm{nullptr};
  TStringList Log;
  std::vector<std::pair<TFindResult, int>> Done;
};

}  // namespace

TEST_F(HostileInput, AFloodWithoutLineEndsIsDiscardedAndALaterOkStillCounts) {
  // Under a sanitizer or memcheck memory is not measured and every byte costs many times more,
  // so the flood is a smaller one there.
  const size_t Flood = faults::LongRun()             ? size_t{1} << 30
                       : faults::MemoryFiguresHold() ? size_t{100} << 20
                                                     : size_t{16} << 20;
  TPty Pty;
  // The flood takes longer than the 500 ms wait on a loaded machine; the wait is stretched so
  // that the test is about the buffer, not the timer.
  Dm.tmrFind->SetInterval(600000);
  const long RssBefore = faults::StatusKiB("VmRSS");
  const bool Peak = faults::ResetPeakRss();
  Start({Pty.SlavePath()});
  ASSERT_EQ(Pty.Read(Probe.size(), 5s), Probe);
  std::atomic<size_t> Sent{0};
  std::atomic<bool> Failed{false};
  std::thread Writer([&] {
    const std::string Chunk(64 << 10, 'A');
    while (Sent < Flood) {
      if (!Pty.Write(Chunk)) {
        Failed = true;
        return;
      }
      Sent += Chunk.size();
    }
    Failed = !Pty.Write("\r\nOK\r\n");
  });
  const bool Finished = WaitDone(faults::LongRun() ? 600s : 120s);
  if (!Finished) Pty.CloseMaster();  // frees a writer stuck on a full line
  Writer.join();
  ASSERT_TRUE(Finished) << Sent << " bytes sent";
  EXPECT_FALSE(Failed);
  RecordProperty("flood_bytes", std::to_string(Sent.load()));
  EXPECT_EQ(Done[0].first, frFound);
  // The flood was cut at the buffer limit; what reaches the log with the line end is at most
  // the tail of one read block, never the flood.
  for (const auto& Line : Log.Items())
    EXPECT_LT(Line.size(), 256u << 10);
  EXPECT_EQ(Log.Items().back(), FindText::FoundOn + Pty.SlavePath());
  if (faults::MemoryFiguresHold() && Peak && RssBefore > 0) {
    // Bounded means far below the flood: the buffer never holds more than its limit.
    const long Growth = faults::StatusKiB("VmHWM") - RssBefore;
    EXPECT_LT(Growth, 4 * 1024) << "peak resident memory grew by " << Growth << " kiB";
  }
}

TEST_F(HostileInput, BinaryNoiseThenAReplyOneByteAtATime) {
  TPty Pty;
  Start({Pty.SlavePath()});
  ASSERT_EQ(Pty.Read(Probe.size(), 5s), Probe);
  // NULs, 0xFF and stray CRs and LFs, then a line of noise; all within the wait.
  const std::string Noise("\0\xFF\xFF\0\r\0\n\xFE\x01", 9);
  const std::string Line("\0\xFFok?\xFF\0", 8);
  ASSERT_TRUE(Pty.Write(Noise + Line + "\r\n"));
  for (char C : std::string("OK\r\n")) {
    ASSERT_TRUE(Pty.Write(std::string(1, C)));
    if (C == '\n') break;
    ASSERT_TRUE(TMainLoop::Instance().ProcessUntil(
        [&] {
          const std::string B = Dm.ComDataPack->Buffer();
          return !B.empty() && B.back() == C;
        },
        5s));
  }
  ASSERT_TRUE(WaitDone());
  EXPECT_EQ(Done[0].first, frFound);
  const auto Lines = Log.Items();
  // The noise line is logged byte for byte, NULs included; the reply after it still counts.
  ASSERT_EQ(Lines.size(), 6u) << testing::PrintToString(Lines);
  EXPECT_EQ(Lines[3], "<" + std::string("\0\xFF\xFF\0\r\0\n\xFE\x01", 9) + Line);
  EXPECT_EQ(Lines[4], "<OK");
}

TEST(HostilePortNames, AreAClearOpenFailureAndOpenNothing) {
  TMainLoop::Instance().AttachMainThread();
  TPty Pty;
  // The pty's node reached through a parent-directory step: a path in disguise.
  const std::string Pts = Pty.SlavePath().substr(std::string("/dev/").size());
  const std::vector<std::string> Names = {
      "",
      std::string(4096, 'p'),
      "../" + std::string("dev/") + Pts,
      "../../tmp",
      "pts/../" + Pts,
      std::string("com\x01\x1b[2J\n", 9),
      "\xD0\xA4\xFF\xFE",
      std::string("pt\0s", 4),
  };
  for (const auto& Name : Names) {
    const auto Before = faults::OpenFiles();
    TComPort Port(nullptr);
    Port.SetPort_(Name);
    bool Raised = false;
    try {
      Port.Open();
    } catch (const EComPort& E) {
      Raised = true;
      EXPECT_EQ(E.ErrorCode(), CE_OpenFailed) << testing::PrintToString(Name);
    }
    EXPECT_TRUE(Raised) << testing::PrintToString(Name) << " opened";
    EXPECT_FALSE(Port.Connected());
    Port.Close();
    EXPECT_EQ(faults::OpenFiles(), Before) << testing::PrintToString(Name);
  }
  // The device those names pointed at is still free for its own name.
  TComPort Port(nullptr);
  Port.SetPort_(Pty.SlavePath());
  EXPECT_NO_THROW(Port.Open());
  Port.Close();
}

}  // namespace comfind
