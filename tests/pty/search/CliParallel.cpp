// comfind-cli --parallel and --all end to end, over pseudo-terminals: silent ones the test
// holds, instrument-sim processes (the instrument, a noisy device), a port another program
// holds, one that vanishes mid-probe, and two instruments. The log is compared block by block.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "port/CPort.h"
#include "testkit/Process.h"
#include "testkit/Pty.h"
#include "tests/pty/search/CliFixture.h"
#include "tests/support/JsonCheck.h"

namespace comfind {

namespace {

// The lines before the first separator, then each port's block.
std::vector<TLines> Blocks(const TLines& Lines) {
  std::vector<TLines> B(1);
  for (const std::string& L : Lines) {
    if (L == Sep) B.emplace_back();
    B.back().push_back(L);
  }
  return B;
}

std::vector<std::unique_ptr<TPty>> SilentPorts(int Count) {
  std::vector<std::unique_ptr<TPty>> Ports;
  for (int I = 0; I < Count; ++I)
    Ports.push_back(std::make_unique<TPty>());
  return Ports;
}

const std::string Missing = "/dev/pts/no-such-port";

}  // namespace

TEST_F(CliEndToEnd, ParallelEndsAtTheFirstAnswerAndTheWaitingPortsSaySo) {
  auto Quiet = SilentPorts(10);
  TSim Noisy = StartSim({"--reply", "ERR"});
  // The instrument takes its time, so the noisy port's line is in before the search ends.
  TSim Instrument = StartSim({"--delay", "300"});
  std::vector<std::string> Args{"--parallel"};
  for (int I = 0; I < 5; ++I)
    Args.push_back(Quiet[I]->SlavePath());
  Args.insert(Args.end(), {Missing, Noisy.Path});
  for (int I = 5; I < 10; ++I)
    Args.push_back(Quiet[I]->SlavePath());
  Args.push_back(Instrument.Path);

  std::unique_ptr<TProcess> P;
  ASSERT_EQ(RunCli(Args, P), 0) << P->Err();
  EXPECT_EQ(P->Err(), "");
  // The port that could not be opened at once; then, when the instrument answered, every port
  // still waiting in list order, each saying its wait was cut short; the instrument's block last.
  TLines Want = Join({{Searching}, Unopened(Missing)});
  for (size_t I = 1; I + 1 < Args.size(); ++I) {
    if (Args[I] == Missing) continue;
    const TLines Block = Args[I] == Noisy.Path ? Cut(Noisy.Path, {"<ERR"}) : Cut(Args[I]);
    Want.insert(Want.end(), Block.begin(), Block.end());
  }
  const TLines Last = Found(Instrument.Path);
  Want.insert(Want.end(), Last.begin(), Last.end());
  EXPECT_EQ(Blocks(P->OutLines()), Blocks(Want));
  // Every port that opened had its probe, once.
  for (const auto& S : Quiet)
    EXPECT_EQ(S->Read(18, 5s), "TRG0000000010000\r\n") << S->SlavePath();
  for (TSim* S : {&Noisy, &Instrument}) {
    const TLines SimLog = S->Stop();
    ASSERT_FALSE(SimLog.empty());
    EXPECT_EQ(SimLog[0], "rx 18 bytes at 19200 8N1: TRG0000000010000\\x0D\\x0A");
  }
}

TEST_F(CliEndToEnd, AllWaitsForEveryVerdictAndReportsEveryAnswer) {
  auto Quiet = SilentPorts(3);
  TSim First = StartSim();
  TSim Second = StartSim({"--reply", "ok"});
  TSim Noisy = StartSim({"--noise", "BOOT 1.2", "--reply", "OK?"});
  // Another program holds this port; the search must pass it over.
  TPty Held;
  TComPort Other(nullptr);
  Other.SetPort_(Held.SlavePath());
  Other.Open();
  // This one goes away once the probe has reached it.
  auto Vanishing = std::make_unique<TPty>();
  const std::string VanishingPath = Vanishing->SlavePath();

  const std::vector<std::string> Ports{
      Quiet[0]->SlavePath(), First.Path, Held.SlavePath(), Quiet[1]->SlavePath(),
      VanishingPath,         Noisy.Path, Second.Path,      Quiet[2]->SlavePath()};
  // A wait long enough that the port surely goes away inside it, however loaded the machine.
  std::vector<std::string> Args{"--all", "--json", "--timeout", "3000"};
  Args.insert(Args.end(), Ports.begin(), Ports.end());
  auto P = std::make_unique<TProcess>(Cli, Args);
  ASSERT_EQ(Vanishing->Read(18, 20s), "TRG0000000010000\r\n");
  Vanishing->CloseMaster();
  ASSERT_EQ(P->Finish(30s), 0) << P->Err();
  Other.Close();

  const TJson Doc = ParseJson(P->Out());
  EXPECT_EQ(CheckJsonSchema(Doc, ParseJson(ReadSourceFile("cli/comfind-cli.schema.json"))),
            std::vector<std::string>{});
  EXPECT_EQ(Doc["mode"].String, "parallel");
  EXPECT_TRUE(Doc["all"].Bool);
  EXPECT_EQ(Doc["verdict"].String, "found");
  ASSERT_EQ(Doc["found"].Array.size(), 2u);
  EXPECT_EQ(Doc["found"].Array[0].String, First.Path);  // in list order
  EXPECT_EQ(Doc["found"].Array[1].String, Second.Path);

  // Each port once, with its reason.
  std::map<std::string, std::string> Outcome;
  for (const TJson& Port : Doc["ports"].Array)
    Outcome[Port["name"].String] = Port["outcome"].String;
  EXPECT_EQ(Outcome, (std::map<std::string, std::string>{{Quiet[0]->SlavePath(), "silent"},
                                                         {First.Path, "answered"},
                                                         {Held.SlavePath(), "busy"},
                                                         {Quiet[1]->SlavePath(), "silent"},
                                                         {VanishingPath, "vanished"},
                                                         {Noisy.Path, "silent"},
                                                         {Second.Path, "answered"},
                                                         {Quiet[2]->SlavePath(), "silent"}}));

  // The log, block by block: the busy port at once, the answers as they came, then the rest at
  // the end of the one wait, in list order; the vanished port's block reads as a silent one's.
  TLines Log;
  for (const TJson& Line : Doc["log"].Array)
    Log.push_back(Line.String);
  std::vector<TLines> Got = Blocks(Log);
  ASSERT_EQ(Got.size(), 9u) << testing::PrintToString(Log);
  EXPECT_EQ(Got[0], TLines{Searching});
  EXPECT_EQ(Got[1], Unopened(Held.SlavePath()));
  std::vector<TLines> Answers{Got[2], Got[3]};
  std::sort(Answers.begin(), Answers.end());
  std::vector<TLines> WantAnswers{Found(First.Path), Found(Second.Path, "<ok")};
  std::sort(WantAnswers.begin(), WantAnswers.end());
  EXPECT_EQ(Answers, WantAnswers);
  EXPECT_EQ(std::vector<TLines>(Got.begin() + 4, Got.end()),
            (std::vector<TLines>{Silent(Ports[0]), Silent(Ports[3]), Silent(VanishingPath),
                                 Silent(Noisy.Path, {"<BOOT 1.2", "<OK?"}), Silent(Ports[7])}));
}

TEST_F(CliEndToEnd, ParallelWithNothingToFind) {
  auto Quiet = SilentPorts(2);
  std::unique_ptr<TProcess> P;
  // The last port's own result decides, as in the one-by-one search: not found either way.
  EXPECT_EQ(RunCli({"--parallel", Quiet[0]->SlavePath(), Missing, Quiet[1]->SlavePath()}, P), 1);
  EXPECT_EQ(P->OutLines(), Join({{Searching},
                                 Unopened(Missing),
                                 Silent(Quiet[0]->SlavePath()),
                                 Silent(Quiet[1]->SlavePath()),
                                 {NotFound}}));
  EXPECT_EQ(RunCli({"--all", Missing, "no-such-tty"}, P), 1);
  EXPECT_EQ(P->OutLines(),
            Join({{Searching}, Unopened(Missing), Unopened("no-such-tty"), {NotFound}}));
}

TEST_F(CliEndToEnd, CtrlCDuringTheSharedWaitClosesEveryPort) {
  auto Quiet = SilentPorts(3);
  auto P = std::make_unique<TProcess>(
      Cli,
      std::vector<std::string>{"--parallel", "--json", "--timeout", "60000", Quiet[0]->SlavePath(),
                               Quiet[1]->SlavePath(), Quiet[2]->SlavePath()});
  for (const auto& S : Quiet)
    ASSERT_EQ(S->Read(18, 20s), "TRG0000000010000\r\n");
  P->Signal(SIGINT);
  EXPECT_EQ(P->Finish(20s), 130);
  const TJson Doc = ParseJson(P->Out());
  EXPECT_EQ(CheckJsonSchema(Doc, ParseJson(ReadSourceFile("cli/comfind-cli.schema.json"))),
            std::vector<std::string>{});
  EXPECT_EQ(Doc["verdict"].String, "interrupted");
  EXPECT_EQ(Doc["exit_status"].Number, 130);
  ASSERT_EQ(Doc["ports"].Array.size(), 3u);
  for (const TJson& Port : Doc["ports"].Array)
    EXPECT_EQ(Port["outcome"].String, "stopped");
  // The ports are free again: another opener gets them at once.
  for (const auto& S : Quiet) {
    TComPort Again(nullptr);
    Again.SetPort_(S->SlavePath());
    EXPECT_NO_THROW(Again.Open()) << S->SlavePath();
  }
}

}  // namespace comfind
