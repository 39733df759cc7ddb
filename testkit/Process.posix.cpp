#include "testkit/Process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace comfind {

std::string BuildProgram(const std::string& Relative) {
  const char* Dir = std::getenv("COMFIND_BUILD_DIR");
  if (!Dir || !*Dir) return {};
  return std::string(Dir) + "/" + Relative;
}

TProcess::TProcess(const std::string& Program, const std::vector<std::string>& Args) {
  int Out[2], Err[2];
  if (::pipe2(Out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  if (::pipe2(Err, O_CLOEXEC) != 0) {
    ::close(Out[0]);
    ::close(Out[1]);
    throw std::runtime_error("pipe");
  }
  std::vector<char*> Argv;
  Argv.push_back(const_cast<char*>(Program.c_str()));
  for (const std::string& A : Args)
    Argv.push_back(const_cast<char*>(A.c_str()));
  Argv.push_back(nullptr);
  const pid_t Parent = ::getpid();
  FPid = ::fork();
  if (FPid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != Parent) ::_exit(127);
    ::dup2(Out[1], 1);
    ::dup2(Err[1], 2);
    ::execv(Program.c_str(), Argv.data());
    ::_exit(127);
  }
  ::close(Out[1]);
  ::close(Err[1]);
  if (FPid < 0) {
    ::close(Out[0]);
    ::close(Err[0]);
    throw std::runtime_error("fork");
  }
  FOutFd = Out[0];
  FErrFd = Err[0];
}

TProcess::~TProcess() {
  if (FStatus == -2 && FPid > 0) {
    ::kill(FPid, SIGKILL);
    ::waitpid(FPid, nullptr, 0);
  }
  if (FOutFd >= 0) ::close(FOutFd);
  if (FErrFd >= 0) ::close(FErrFd);
}

bool TProcess::Pump(std::chrono::steady_clock::time_point Until) {
  pollfd Fds[2] = {{FOutFd, POLLIN, 0}, {FErrFd, POLLIN, 0}};
  const auto Left =
      std::chrono::ceil<std::chrono::milliseconds>(Until - std::chrono::steady_clock::now());
  if (Left.count() <= 0) return false;
  const int R = ::poll(Fds, 2, static_cast<int>(Left.count()));
  if (R < 0) return errno == EINTR;
  if (R == 0) return false;
  char Buffer[4096];
  int* FdOf[2] = {&FOutFd, &FErrFd};
  std::string* TextOf[2] = {&FOut, &FErr};
  for (int I = 0; I < 2; ++I) {
    if (!Fds[I].revents) continue;
    const ssize_t N = ::read(*FdOf[I], Buffer, sizeof Buffer);
    if (N > 0) {
      TextOf[I]->append(Buffer, static_cast<size_t>(N));
    } else if (N == 0 || errno != EINTR) {
      ::close(*FdOf[I]);
      *FdOf[I] = -1;
    }
  }
  return true;
}

bool TProcess::ReadLine(std::string& Line, std::chrono::milliseconds Deadline) {
  const auto Until = std::chrono::steady_clock::now() + Deadline;
  for (;;) {
    const size_t End = FOut.find('\n', FLineStart);
    if (End != std::string::npos) {
      Line = FOut.substr(FLineStart, End - FLineStart);
      FLineStart = End + 1;
      return true;
    }
    if (FOutFd < 0 || !Pump(Until)) return false;
  }
}

bool TProcess::WaitForOutput(const std::string& Text, std::chrono::milliseconds Deadline) {
  const auto Until = std::chrono::steady_clock::now() + Deadline;
  while (FOut.find(Text) == std::string::npos) {
    if (FOutFd < 0 || !Pump(Until)) return false;
  }
  return true;
}

int TProcess::Finish(std::chrono::milliseconds Deadline) {
  if (FStatus != -2) return FStatus;
  const auto Until = std::chrono::steady_clock::now() + Deadline;
  bool Killed = false;
  while (FOutFd >= 0 || FErrFd >= 0) {
    if (!Pump(Until)) {
      ::kill(FPid, SIGKILL);
      Killed = true;
      break;
    }
  }
  int Status = 0;
  while (::waitpid(FPid, &Status, 0) < 0 && errno == EINTR) {
  }
  if (Killed)
    FStatus = -1;
  else if (WIFEXITED(Status))
    FStatus = WEXITSTATUS(Status);
  else
    FStatus = 128 + WTERMSIG(Status);
  return FStatus;
}

void TProcess::Signal(int Number) {
  if (FStatus == -2) ::kill(FPid, Number);
}

std::vector<std::string> TProcess::OutLines() const {
  std::vector<std::string> Lines;
  size_t From = 0, End;
  while ((End = FOut.find('\n', From)) != std::string::npos) {
    Lines.push_back(FOut.substr(From, End - From));
    From = End + 1;
  }
  if (From < FOut.size()) Lines.push_back(FOut.substr(From));
  return Lines;
}

}  // namespace comfind
