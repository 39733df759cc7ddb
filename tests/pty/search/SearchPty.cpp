// The instrument search over real pseudo-terminals, in process: the test plays the instrument
// on the master side while the search runs on the framework's main loop.
#include <gtest/gtest.h>
#include <termios.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "framework/MainLoop.h"
#include "port/packet/ComDataPacket.h"
#include "search/dmCom.h"
#include "testkit/Pty.h"

namespace comfind {

using namespace std::chrono_literals;

namespace {

const std::string Probe = "TRG0000000010000\r\n";

struct TDone {
  TFindResult Result;
  int Index;
};

class SearchOverPty : public testing::Test {
 protected:
  SearchOverPty() { TMainLoop::Instance().AttachMainThread(); }

  void Start(const std::vector<std::string>& Names) {
    TStringList Ports;
    Ports.SetItems(Names);
    Dm.StartFind(Ports, Log, [this](TFindResult R, uint8_t I) { Done.push_back({R, I}); });
  }
  bool WaitDone() {
    return TMainLoop::Instance().ProcessUntil([&] { return !Done.empty(); }, 20s);
  }

  TdmCom Dm{nullptr};
  TStringList Log;
  std::vector<TDone> Done;
};

}  // namespace

TEST_F(SearchOverPty, AnswerOnTheFirstPortIsFoundAtOnce) {
  TPty Pty;
  Start({Pty.SlavePath()});
  // StartFind returns once the probe has been written: it is all there, and at 19200 8N1
  // without handshake.
  EXPECT_EQ(Pty.Read(Probe.size(), 5s), Probe);
  EXPECT_EQ(Pty.SlaveBaudRate(), 19200u);
  termios Tio{};
  ASSERT_TRUE(Pty.GetSlaveTermios(Tio));
  EXPECT_EQ(Tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_FALSE(Tio.c_cflag & PARENB);
  EXPECT_FALSE(Tio.c_cflag & CSTOPB);
  EXPECT_FALSE(Tio.c_cflag & CRTSCTS);
  EXPECT_FALSE(Tio.c_iflag & (IXON | IXOFF));

  const auto Written = std::chrono::steady_clock::now();
  ASSERT_TRUE(Pty.Write("OK\r\n"));
  ASSERT_TRUE(WaitDone());
  const auto Latency = std::chrono::steady_clock::now() - Written;
  // The reply is handled when it arrives, not at the end of the 500 ms wait.
  EXPECT_LT(Latency, 450ms);
  RecordProperty(
      "latency_us",
      std::to_string(std::chrono::duration_cast<std::chrono::microseconds>(Latency).count()));
  EXPECT_EQ(Done[0].Result, frFound);
  EXPECT_EQ(Done[0].Index, 0);
  EXPECT_FALSE(Dm.cpCheck->Connected());
  EXPECT_EQ(Log.Items(),
            (std::vector<std::string>{FindText::Separator, Pty.SlavePath(), FindText::ProbeEcho,
                                      "<OK", FindText::FoundOn + Pty.SlavePath()}));
  EXPECT_EQ(Pty.ReadAvailable(), "");  // one probe per port
}

TEST_F(SearchOverPty, PortsThatCannotBeOpenedArePassedOver) {
  TPty Busy, Instrument;
  // Another program has the first port: the search must not share it.
  TComPort Other(nullptr);
  Other.SetPort_(Busy.SlavePath());
  Other.Open();
  const std::string Missing = "/dev/pts/no-such-port";
  Start({Missing, Busy.SlavePath(), Instrument.SlavePath()});
  ASSERT_EQ(Instrument.Read(Probe.size(), 5s), Probe);
  ASSERT_TRUE(Instrument.Write("OK\r\n"));
  ASSERT_TRUE(WaitDone());
  EXPECT_EQ(Done[0].Result, frFound);
  EXPECT_EQ(Done[0].Index, 2);
  EXPECT_EQ(Log.Items(),
            (std::vector<std::string>{
                FindText::Separator, Missing, FindText::OpenFailed, FindText::Separator,
                Busy.SlavePath(), FindText::OpenFailed, FindText::Separator, Instrument.SlavePath(),
                FindText::ProbeEcho, "<OK", FindText::FoundOn + Instrument.SlavePath()}));
  EXPECT_EQ(Busy.ReadAvailable(), "");  // nothing was written to the port in use
  Other.Close();
}

TEST_F(SearchOverPty, SilentPortsEndNotFoundOnTheLast) {
  TPty A, B, C;
  const auto Begin = std::chrono::steady_clock::now();
  Start({A.SlavePath(), B.SlavePath(), C.SlavePath()});
  ASSERT_TRUE(WaitDone());
  // Three waits of 500 ms; the bound is generous for a loaded machine.
  EXPECT_LT(std::chrono::steady_clock::now() - Begin, 10s);
  EXPECT_EQ(Done[0].Result, frNotFound);
  EXPECT_EQ(Done[0].Index, 2);
  for (TPty* P : {&A, &B, &C})
    EXPECT_EQ(P->Read(Probe.size(), 5s), Probe) << P->SlavePath();
  EXPECT_EQ(Log.Items().back(), FindText::NotFoundOn + C.SlavePath());
  EXPECT_EQ(Log.Count(), 12);
}

TEST_F(SearchOverPty, ReplyInPiecesAcrossReceiveEvents) {
  TPty Pty;
  Start({Pty.SlavePath()});
  ASSERT_EQ(Pty.Read(Probe.size(), 5s), Probe);
  // Each piece reaches the assembler on its own before the next is written.
  auto Buffered = [&](const std::string& Text) {
    return TMainLoop::Instance().ProcessUntil([&] { return Dm.ComDataPack->Buffer() == Text; }, 5s);
  };
  ASSERT_TRUE(Pty.Write("o"));
  ASSERT_TRUE(Buffered("o"));
  ASSERT_TRUE(Pty.Write("K\r"));
  ASSERT_TRUE(Buffered("oK\r"));
  EXPECT_TRUE(Done.empty());
  ASSERT_TRUE(Pty.Write("\n"));
  ASSERT_TRUE(WaitDone());
  EXPECT_EQ(Done[0].Result, frFound);
  EXPECT_EQ(Log[3], "<oK");
}

}  // namespace comfind
