// comfind-cli run by a user who may not open the port: the log on stdout and the exit status are
// those of any port that cannot be opened, and stderr carries one hint at the 'dialout' group.
// Tests run as root, who may open anything, so the program runs in a child that drops to
// nobody first.
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "testkit/Pty.h"
#include "tests/support/JsonCheck.h"

namespace comfind {

using namespace std::chrono_literals;

namespace {

constexpr uid_t Nobody = 65534;

struct TRun {
  int Status = -1;
  std::string Out;
  std::string Err;
};

// Runs Program as nobody with Args; kills it after a generous deadline.
TRun RunAsNobody(const std::string& Program, const std::vector<std::string>& Args) {
  TRun Run;
  int Out[2], Err[2];
  if (pipe(Out) != 0 || pipe(Err) != 0) return Run;
  const pid_t Pid = fork();
  if (Pid == 0) {
    dup2(Out[1], 1);
    dup2(Err[1], 2);
    close(Out[0]);
    close(Err[0]);
    if (setgroups(0, nullptr) != 0 || setgid(Nobody) != 0 || setuid(Nobody) != 0) _exit(126);
    std::vector<char*> Argv{const_cast<char*>(Program.c_str())};
    for (const auto& A : Args)
      Argv.push_back(const_cast<char*>(A.c_str()));
    Argv.push_back(nullptr);
    execv(Program.c_str(), Argv.data());
    _exit(127);
  }
  close(Out[1]);
  close(Err[1]);
  const auto Until = std::chrono::steady_clock::now() + 60s;
  pollfd P[2] = {{Out[0], POLLIN, 0}, {Err[0], POLLIN, 0}};
  std::string* Into[2] = {&Run.Out, &Run.Err};
  int Open = 2;
  while (Open > 0) {
    const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(
        Until - std::chrono::steady_clock::now());
    if (Left.count() <= 0 || poll(P, 2, static_cast<int>(Left.count())) <= 0) {
      kill(Pid, SIGKILL);
      break;
    }
    for (int I = 0; I < 2; ++I) {
      if (P[I].fd < 0 || !P[I].revents) continue;
      char Buf[4096];
      const ssize_t N = read(P[I].fd, Buf, sizeof Buf);
      if (N > 0) {
        Into[I]->append(Buf, static_cast<size_t>(N));
      } else {
        close(P[I].fd);
        P[I].fd = -1;
        --Open;
      }
    }
  }
  for (auto& F : P)
    if (F.fd >= 0) close(F.fd);
  int Status = 0;
  waitpid(Pid, &Status, 0);
  Run.Status = WIFEXITED(Status) ? WEXITSTATUS(Status) : 128 + WTERMSIG(Status);
  return Run;
}

std::string Hint(const std::string& Path) {
  return "comfind-cli: permission denied on " + Path +
         ": serial devices belong to the group 'dialout'; add your user to it (sudo adduser "
         "$USER dialout) and log in again.\n";
}

}  // namespace

TEST(DialoutHint, OnceOnStderrWhenThePortIsRefusedAndNeverOtherwise) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run the program as another user";
  const char* Build = std::getenv("COMFIND_BUILD_DIR");
  ASSERT_NE(Build, nullptr) << "COMFIND_BUILD_DIR is set by ctest";
  const std::string Cli = std::string(Build) + "/cli/comfind-cli";
  TPty First, Second;
  ASSERT_EQ(chmod(First.SlavePath().c_str(), 0), 0);
  ASSERT_EQ(chmod(Second.SlavePath().c_str(), 0), 0);
  const std::string Missing = "/dev/pts/no-such-port";

  const TRun Refused = RunAsNobody(Cli, {First.SlavePath(), Missing, Second.SlavePath()});
  EXPECT_EQ(Refused.Status, 1) << Refused.Err;
  // One hint, for the first refused port, and nothing else on stderr.
  EXPECT_EQ(Refused.Err, Hint(First.SlavePath()));

  // stdout is the log of ports that cannot be opened, as for a missing one.
  const TRun Absent = RunAsNobody(Cli, {Missing});
  EXPECT_EQ(Absent.Status, 1);
  EXPECT_EQ(Absent.Err, "");
  const std::string Failed = "COM-порт не может быть открыт\n";
  auto Count = [](const std::string& Text, const std::string& What) {
    size_t N = 0;
    for (size_t At = Text.find(What); At != std::string::npos; At = Text.find(What, At + 1))
      ++N;
    return N;
  };
  EXPECT_EQ(Count(Refused.Out, Failed), 3u) << Refused.Out;
  EXPECT_EQ(Count(Absent.Out, Failed), 1u) << Absent.Out;
  EXPECT_EQ(Refused.Out.find("dialout"), std::string::npos);
  // Both runs end with the same verdict line.
  auto LastLine = [](const std::string& Text) {
    const size_t End = Text.size() > 1 ? Text.rfind('\n', Text.size() - 2) : std::string::npos;
    return End == std::string::npos ? Text : Text.substr(End);
  };
  EXPECT_EQ(LastLine(Refused.Out), LastLine(Absent.Out));
  EXPECT_NE(LastLine(Absent.Out), "");
}

TEST(DialoutHint, TheJsonOutputSaysPermissionDeniedWhereTheLogSaysCannotBeOpened) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run the program as another user";
  const char* Build = std::getenv("COMFIND_BUILD_DIR");
  ASSERT_NE(Build, nullptr) << "COMFIND_BUILD_DIR is set by ctest";
  const std::string Cli = std::string(Build) + "/cli/comfind-cli";
  TPty Refused, Open;
  ASSERT_EQ(chmod(Refused.SlavePath().c_str(), 0), 0);
  // nobody may open this one: it is silent, and the search over all ports at once waits once.
  ASSERT_EQ(chmod(Open.SlavePath().c_str(), 0666), 0);
  const std::string Missing = "/dev/pts/no-such-port";
  const TRun Run =
      RunAsNobody(Cli, {"--json", "--parallel", Refused.SlavePath(), Missing, Open.SlavePath()});
  EXPECT_EQ(Run.Status, 1) << Run.Err;
  EXPECT_EQ(Run.Err, Hint(Refused.SlavePath()));
  const TJson Doc = ParseJson(Run.Out);
  EXPECT_EQ(CheckJsonSchema(Doc, ParseJson(ReadSourceFile("cli/comfind-cli.schema.json"))),
            std::vector<std::string>{});
  std::vector<std::pair<std::string, std::string>> Outcomes;
  for (const TJson& Port : Doc["ports"].Array)
    Outcomes.push_back({Port["name"].String, Port["outcome"].String});
  EXPECT_EQ(
      Outcomes,
      (std::vector<std::pair<std::string, std::string>>{
          {Refused.SlavePath(), "denied"}, {Missing, "missing"}, {Open.SlavePath(), "silent"}}));
  EXPECT_EQ(Doc["ports"].Array[0]["error"]["number"].Number, EACCES);
  EXPECT_EQ(Doc["verdict"].String, "not found");
}

}  // namespace comfind
