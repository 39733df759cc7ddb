// The search over every port at once on real pseudo-terminals, in process (so the sanitizers
// see its threads): the test plays every far end on the master sides while the search runs on
// the framework's main loop.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "framework/MainLoop.h"
#include "search/ParallelFind.h"
#include "search/dmCom.h"
#include "testkit/Pty.h"

namespace comfind {

using namespace std::chrono_literals;

TEST(ParallelOverPty, EveryPortProbedAtOnceEachWithItsReason) {
  TMainLoop::Instance().AttachMainThread();
  const std::string Probe = FindText::Probe;
  TdmCom Dm(nullptr);
  TParallelFind Finder(nullptr);
  Finder.FindAll = true;
  // Long enough that every far end below is played inside it, however loaded the machine.
  Finder.Timeout = 3000;
  std::vector<TProbeReport> Reports;
  Finder.OnPortDone = [&](const TProbeReport& R) { Reports.push_back(R); };

  std::vector<std::unique_ptr<TPty>> P;
  for (int I = 0; I < 6; ++I)
    P.push_back(std::make_unique<TPty>());
  TComPort Other(nullptr);  // another program holds P[1]
  Other.SetPort_(P[1]->SlavePath());
  Other.Open();
  TStringList Ports;
  for (const auto& Pty : P)
    Ports.Add(Pty->SlavePath());
  TStringList Log;
  std::vector<std::pair<TFindResult, int>> Done;
  Finder.StartFind(
      Ports, Log,
      [&](TFindResult R, uint8_t I) {
        Done.push_back({R, I});
      },
      *Dm.cpCheck);

  // Every port that opened has its probe before any far end has said a word.
  for (int I : {0, 2, 3, 4, 5})
    ASSERT_EQ(P[I]->Read(Probe.size(), 10s), Probe) << I;
  EXPECT_EQ(P[1]->ReadAvailable(), "");
  ASSERT_TRUE(P[2]->Write("BOOT\r\nOK\r\n"));  // an instrument after its start-up line
  ASSERT_TRUE(P[4]->Write("o"));               // another, in pieces
  P[3]->CloseMaster();                         // pulled out
  ASSERT_TRUE(P[4]->Write("k\r\n"));
  ASSERT_TRUE(P[5]->Write("NAK\r\n"));  // a device that is not ours
  ASSERT_TRUE(TMainLoop::Instance().ProcessUntil([&] { return !Done.empty(); }, 30s));
  Other.Close();

  EXPECT_EQ(Done[0], std::make_pair(frFound, 2));
  EXPECT_EQ(Finder.FoundIndexes(), (std::vector<int>{2, 4}));
  std::map<std::string, std::pair<TProbeOutcome, std::string>> Got;
  for (const TProbeReport& R : Reports)
    Got[R.Port] = {R.Outcome, R.Reply};
  EXPECT_EQ(Got, (std::map<std::string, std::pair<TProbeOutcome, std::string>>{
                     {P[0]->SlavePath(), {poSilent, ""}},
                     {P[1]->SlavePath(), {poBusy, ""}},
                     {P[2]->SlavePath(), {poAnswered, "BOOT\r\nOK\r\n"}},
                     {P[3]->SlavePath(), {poVanished, ""}},
                     {P[4]->SlavePath(), {poAnswered, "ok\r\n"}},
                     {P[5]->SlavePath(), {poSilent, "NAK\r\n"}}}));
  // Each port's block whole: the busy one at once, the answers as they came, then the others in
  // their order at the end of the one wait.
  const std::string Sep = FindText::Separator, Echo = FindText::ProbeEcho;
  ASSERT_EQ(Log.Count(), 3 + 6 + 5 + 4 + 4 + 5) << testing::PrintToString(Log.Items());
  EXPECT_EQ(std::vector<std::string>(Log.Items().begin(), Log.Items().begin() + 3),
            (std::vector<std::string>{Sep, P[1]->SlavePath(), FindText::OpenFailed}));
  EXPECT_EQ(std::vector<std::string>(Log.Items().end() - 13, Log.Items().end()),
            (std::vector<std::string>{
                Sep, P[0]->SlavePath(), Echo, FindText::NotFoundOn + P[0]->SlavePath(), Sep,
                P[3]->SlavePath(), Echo, FindText::NotFoundOn + P[3]->SlavePath(), Sep,
                P[5]->SlavePath(), Echo, "<NAK", FindText::NotFoundOn + P[5]->SlavePath()}));
}

}  // namespace comfind
