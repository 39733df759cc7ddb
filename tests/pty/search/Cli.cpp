// comfind-cli end to end: the program against instrument-sim processes on pseudo-terminals,
// its exact stdout (UTF-8: the string literals of this file are UTF-8 text, as the program
// prints it), its exit status and its handling of Ctrl+C.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "framework/Classes.h"
#include "port/ComEnum.h"
#include "search/LogText.h"
#include "testkit/Process.h"
#include "tests/pty/search/CliFixture.h"

namespace comfind {

TEST_F(CliEndToEnd, FindsTheInstrumentOnTheFirstPort) {
  TSim Sim = StartSim();
  std::unique_ptr<TProcess> P;
  ASSERT_EQ(RunCli({Sim.Path}, P), 0) << P->Err();
  EXPECT_EQ(P->OutLines(), Join({{Searching}, Found(Sim.Path)}));
  EXPECT_EQ(P->Err(), "");
  // The simulator saw the 18 bytes of one probe, at 19200 8N1.
  const TLines SimLog = Sim.Stop();
  ASSERT_FALSE(SimLog.empty());
  EXPECT_EQ(SimLog[0], "rx 18 bytes at 19200 8N1: TRG0000000010000\\x0D\\x0A");
  int Received = 0;
  for (const std::string& L : SimLog)
    Received += L.rfind("rx ", 0) == 0;
  EXPECT_EQ(Received, 1);
}

TEST_F(CliEndToEnd, FindsTheInstrumentAfterPortsThatCannotBeOpened) {
  TSim Sim = StartSim();
  std::unique_ptr<TProcess> P;
  ASSERT_EQ(RunCli({"/dev/pts/no-such-port", "no-such-tty", Sim.Path}, P), 0) << P->Err();
  EXPECT_EQ(
      P->OutLines(),
      Join({{Searching, Sep, "/dev/pts/no-such-port", OpenFailed, Sep, "no-such-tty", OpenFailed},
            Found(Sim.Path)}));
}

TEST_F(CliEndToEnd, RepliesAsTheInstrumentMightSendThem) {
  struct TCase {
    const char* What;
    std::vector<std::string> SimArgs;
    TLines Received;
    bool Found;
  } Cases[] = {
      {"lower case in pieces", {"--reply", "ok", "--pieces", "3", "--gap", "60"}, {"<ok"}, true},
      // Control bytes, DEL, the unassigned 0x98 and the backslash are shown as \xHH; the other
      // bytes decode from code page 1251 (0xC9 is Й).
      {"a noise line first",
       {"--noise", "A\\x5CB\\x07\\x7F\\xC9\\x98", "--reply", "Ok"},
       {"<A\\x5CB\\x07\\x7FЙ\\x98", "<Ok"},
       true},
      {"too late", {"--delay", "900"}, {}, false},
      {"without CR LF", {"--no-crlf"}, {}, false},
      {"something else", {"--reply", "OK?"}, {"<OK?"}, false},
  };
  for (const TCase& C : Cases) {
    SCOPED_TRACE(C.What);
    TSim Sim = StartSim(C.SimArgs);
    std::unique_ptr<TProcess> P;
    const int Status = RunCli({Sim.Path}, P);
    if (C.Found) {
      EXPECT_EQ(Status, 0);
      EXPECT_EQ(P->OutLines(),
                Join({{Searching, Sep, Sim.Path, Echo}, C.Received, {FoundOn + Sim.Path}}));
    } else {
      EXPECT_EQ(Status, 1);
      EXPECT_EQ(P->OutLines(), Join({{Searching}, Silent(Sim.Path, C.Received), {NotFound}}));
    }
    EXPECT_EQ(P->Err(), "");
    Sim.Stop();
  }
}

TEST_F(CliEndToEnd, SilentPortsAndALastPortThatCannotBeOpened) {
  TSim A = StartSim({"--silent"}), B = StartSim({"--silent"}), C = StartSim({"--silent"});
  std::unique_ptr<TProcess> P;
  const auto Begin = std::chrono::steady_clock::now();
  EXPECT_EQ(RunCli({A.Path, B.Path, C.Path}, P), 1);
  // About 1.5 s; the bound only catches a wait that does not end on its own.
  EXPECT_LT(std::chrono::steady_clock::now() - Begin, 15s);
  EXPECT_EQ(P->OutLines(),
            Join({{Searching}, Silent(A.Path), Silent(B.Path), Silent(C.Path), {NotFound}}));

  // The last port's own result decides: it could not be opened, and that is "not found" too.
  EXPECT_EQ(RunCli({A.Path, "/dev/pts/no-such-port"}, P), 1);
  EXPECT_EQ(
      P->OutLines(),
      Join({{Searching}, Silent(A.Path), {Sep, "/dev/pts/no-such-port", OpenFailed, NotFound}}));
}

TEST_F(CliEndToEnd, DemoPassesASilentAndANoisyPortAndFindsTheInstrument) {
  auto P = std::make_unique<TProcess>(Cli, std::vector<std::string>{"--demo"});
  // Each virtual port as it is while the program runs (its name is printed when its probe
  // starts): other tests running beside this one may get its number once it is gone, and only
  // the node's creation time tells their pseudo-terminal from the demonstration's.
  std::map<std::string, timespec> Created;
  for (std::string Line; Created.size() < 3 && P->ReadLine(Line, 20s);) {
    struct stat St {};
    if (Line.rfind("/dev/", 0) == 0 && ::stat(Line.c_str(), &St) == 0) Created[Line] = St.st_ctim;
  }
  ASSERT_EQ(P->Finish(30s), 0) << P->Err();
  const TLines Lines = P->OutLines();
  ASSERT_EQ(Lines.size(), 15u) << P->Out();
  const std::string Silent1 = Lines[2], Noisy = Lines[6], Instrument = Lines[11];
  for (const std::string& Path : {Silent1, Noisy, Instrument})
    EXPECT_EQ(Path.rfind("/dev/", 0), 0u) << Path;
  EXPECT_EQ(
      Lines,
      Join(
          {{Searching}, Silent(Silent1), Silent(Noisy, {"<ERR?\\x07#\\x7F~"}), Found(Instrument)}));
  // The virtual ports are gone with the program.
  ASSERT_EQ(Created.size(), 3u);
  for (const std::string& Path : {Silent1, Noisy, Instrument}) {
    struct stat St {};
    if (::stat(Path.c_str(), &St) != 0) continue;
    const timespec Then = Created[Path];
    EXPECT_TRUE(St.st_ctim.tv_sec != Then.tv_sec || St.st_ctim.tv_nsec != Then.tv_nsec)
        << Path << " is still the demonstration's";
  }
}

TEST_F(CliEndToEnd, CtrlCClosesThePortAndExits130) {
  TSim A = StartSim({"--silent"}), B = StartSim({"--silent"});
  auto P = std::make_unique<TProcess>(Cli, std::vector<std::string>{A.Path, B.Path});
  // Interrupted while the first port is open and waiting for its reply.
  ASSERT_TRUE(P->WaitForOutput(Echo + "\n", 10s)) << P->Out();
  P->Signal(SIGINT);
  EXPECT_EQ(P->Finish(10s), 130);
  EXPECT_EQ(P->Err(), "");
  EXPECT_EQ(P->OutLines(), (TLines{Searching, Sep, A.Path, Echo}));
  // Nothing went to the second port.
  const TLines SimLog = B.Stop();
  EXPECT_TRUE(SimLog.empty()) << SimLog.front();
}

TEST_F(CliEndToEnd, BadUsageHelpAndList) {
  std::unique_ptr<TProcess> P;
  for (const std::vector<std::string>& Args : {std::vector<std::string>{"--bogus"},
                                               {"--list", "ttyS0"},
                                               {"--demo", "ttyS0"},
                                               {"--load-settings"}}) {
    SCOPED_TRACE(Args[0]);
    EXPECT_EQ(RunCli(Args, P), 2);
    EXPECT_EQ(P->Out(), "");
    EXPECT_NE(P->Err().find("comfind-cli:"), std::string::npos) << P->Err();
  }
  std::vector<std::string> TooMany(257, "/dev/pts/no-such-port");
  EXPECT_EQ(RunCli(TooMany, P), 2);
  EXPECT_EQ(P->Out(), "");

  EXPECT_EQ(RunCli({"--help"}, P), 0);
  for (const char* Option : {"--list", "--demo", "--load-settings", "--save-settings", "130"})
    EXPECT_NE(P->Out().find(Option), std::string::npos) << Option;

  // --list prints the machine's list as the enumeration gives it (the ports are only listed,
  // not opened).
  TStringList Expected;
  ListComPorts(Expected);
  EXPECT_EQ(RunCli({"--list"}, P), 0);
  TLines ExpectedLines;
  for (const std::string& Name : Expected.Items())
    ExpectedLines.push_back(LogLineToUtf8(Name));
  EXPECT_EQ(P->OutLines(), ExpectedLines);
}

TEST_F(CliEndToEnd, SettingsAreLoadedBeforeTheSearchAndSavedAfterIt) {
  char Dir[] = "/tmp/comfind-cli-XXXXXX";
  ASSERT_NE(::mkdtemp(Dir), nullptr);
  const std::string Load = std::string(Dir) + "/load.ini";
  const std::string Save = std::string(Dir) + "/save.ini";
  std::ofstream(Load) << "; kept by hand\n[cpCheck]\nBaudRate=9600\n";

  TSim Sim = StartSim();
  std::unique_ptr<TProcess> P;
  EXPECT_EQ(RunCli({"--load-settings", Load, "--save-settings", Save, Sim.Path}, P), 0) << P->Err();
  const TLines SimLog = Sim.Stop();
  ASSERT_FALSE(SimLog.empty());
  EXPECT_EQ(SimLog[0].rfind("rx 18 bytes at 9600 8N1:", 0), 0u) << SimLog[0];
  std::stringstream Saved;
  Saved << std::ifstream(Save).rdbuf();
  EXPECT_NE(Saved.str().find("[cpCheck]"), std::string::npos) << Saved.str();
  EXPECT_NE(Saved.str().find("Port=" + Sim.Path), std::string::npos) << Saved.str();
  EXPECT_NE(Saved.str().find("BaudRate=9600"), std::string::npos) << Saved.str();

  // A settings file that cannot be read stops the run before anything is searched.
  EXPECT_EQ(RunCli({"--load-settings", Dir, "/dev/pts/no-such-port"}, P), 2);
  EXPECT_EQ(P->Out(), "");
  EXPECT_NE(P->Err(), "");

  ::unlink(Load.c_str());
  ::unlink(Save.c_str());
  ::rmdir(Dir);
}

}  // namespace comfind
