// The far end of every line of the serial benchmark: the receiver programs it starts, the
// loop that serves a pseudo-terminal's master side and a receiver's output at once, and the
// sizes of the runs. POSIX only (pseudo-terminals, child processes).
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "testkit/Pty.h"

extern char** environ;

namespace comfind::bench {

inline long long NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

[[noreturn]] inline void Fail(const std::string& What) {
  throw std::runtime_error(What + (errno ? std::string(": ") + std::strerror(errno) : ""));
}

// Writes all of Bytes to the non-blocking master, waiting for room when the line is full.
void WriteMaster(int Master, const char* Bytes, size_t Size);

// A receiver program: started with its stdout on a pipe, its peak memory and processor time
// read when it ends.
class TChild {
 public:
  explicit TChild(const std::vector<std::string>& Argv) {
    int Pipe[2];
    if (::pipe2(Pipe, O_CLOEXEC) != 0) Fail("pipe");
    posix_spawn_file_actions_t Actions;
    posix_spawn_file_actions_init(&Actions);
    posix_spawn_file_actions_adddup2(&Actions, Pipe[1], STDOUT_FILENO);
    std::vector<char*> Args;
    for (const std::string& A : Argv)
      Args.push_back(const_cast<char*>(A.c_str()));
    Args.push_back(nullptr);
    const int E = ::posix_spawn(&FPid, Args[0], &Actions, nullptr, Args.data(), environ);
    posix_spawn_file_actions_destroy(&Actions);
    ::close(Pipe[1]);
    FOut = Pipe[0];
    if (E != 0) {
      ::close(FOut);
      errno = E;
      Fail("spawn " + Argv[0]);
    }
    FName = Argv[0];
    // The peak RSS that wait4 reports starts from the spawning process's own (the child
    // shares this process's memory until its exec), which would hide any receiver smaller
    // than this driver. So the child is stopped on its way out, while its memory is still
    // there, and its own high-water mark is read then (Wait).
    ::ptrace(PTRACE_SEIZE, FPid, nullptr, PTRACE_O_TRACEEXIT);
  }
  ~TChild() {
    if (FPid > 0) {
      ::kill(FPid, SIGKILL);
      Wait();
    }
    ::close(FOut);
  }
  TChild(const TChild&) = delete;
  TChild& operator=(const TChild&) = delete;

  int Out() const { return FOut; }
  pid_t Pid() const { return FPid; }

  // Takes what the child wrote (call when Out() is readable); false at its end.
  bool Pump() {
    char Buf[4096];
    const ssize_t N = ::read(FOut, Buf, sizeof Buf);
    if (N > 0) FText.append(Buf, static_cast<size_t>(N));
    return N > 0 || (N < 0 && errno == EINTR);
  }
  // A complete line, if one has arrived.
  std::optional<std::string> TakeLine() {
    const size_t Lf = FText.find('\n');
    if (Lf == std::string::npos) return std::nullopt;
    std::string Line = FText.substr(0, Lf);
    FText.erase(0, Lf + 1);
    return Line;
  }

  // The peak resident size (VmHWM) while the child still runs, in KiB.
  long PeakRssNow() const {
    std::ifstream Status("/proc/" + std::to_string(FPid) + "/status");
    std::string Line;
    while (std::getline(Status, Line))
      if (Line.rfind("VmHWM:", 0) == 0) return std::atol(Line.c_str() + 6);
    return 0;
  }
  // Waits for the end; returns the exit status and sets PeakRssKiB.
  int Wait() {
    if (FPid <= 0) return FStatus;
    int Status = 0;
    rusage Usage{};
    long AtExitKiB = 0;
    for (;;) {
      if (::wait4(FPid, &Status, __WALL, &Usage) < 0) {
        if (errno == EINTR) continue;
        Fail("wait4");
      }
      if (!WIFSTOPPED(Status)) break;
      int Signal = 0;
      if (Status >> 8 == (SIGTRAP | (PTRACE_EVENT_EXIT << 8)))
        AtExitKiB = PeakRssNow();
      else if (Status >> 16 == 0)
        Signal = WSTOPSIG(Status);  // a signal for the child: deliver it
      ::ptrace(PTRACE_CONT, FPid, nullptr, Signal);
    }
    FPid = -1;
    FPeakRssKiB = AtExitKiB > 0 ? AtExitKiB : Usage.ru_maxrss;
    FCpuSeconds = static_cast<double>(Usage.ru_utime.tv_sec + Usage.ru_stime.tv_sec) +
                  static_cast<double>(Usage.ru_utime.tv_usec + Usage.ru_stime.tv_usec) / 1e6;
    FStatus = WIFEXITED(Status) ? WEXITSTATUS(Status) : 128 + WTERMSIG(Status);
    return FStatus;
  }
  // Whether the child has ended or stopped on its way out (its output may stay open until
  // Wait lets it go on).
  bool Ending() const {
    if (FPid <= 0) return true;
    siginfo_t Info{};
    if (::waitid(P_PID, static_cast<id_t>(FPid), &Info, WEXITED | WSTOPPED | WNOHANG | WNOWAIT) !=
        0)
      return false;
    return Info.si_pid == FPid && (Info.si_code == CLD_TRAPPED || Info.si_code == CLD_EXITED ||
                                   Info.si_code == CLD_KILLED || Info.si_code == CLD_DUMPED);
  }
  void Kill() {
    if (FPid > 0) ::kill(FPid, SIGKILL);
  }
  long PeakRssKiB() const { return FPeakRssKiB; }
  // Processor time (user and system, all threads) of the whole run; after Wait().
  double CpuSeconds() const { return FCpuSeconds; }
  const std::string& Name() const { return FName; }

 private:
  pid_t FPid = -1;
  int FOut = -1;
  int FStatus = -1;
  long FPeakRssKiB = 0;
  double FCpuSeconds = 0;
  std::string FText;
  std::string FName;
};

// One round of the far end's loop: sleeps in poll on the master (for reading, and for writing
// when Writable asks for it) and on the child's output, until Deadline.
struct TServe {
  std::function<bool()> WantWrite;                         // poll the master for writing
  std::function<void()> OnWritable;                        // the master can take bytes
  std::function<void(const char*, size_t)> OnMasterBytes;  // the receiver wrote these
  std::function<bool(const std::string&)> OnChildLine;     // true: done
};

// Serves until OnChildLine says done (true) or the deadline passes or the child ends (false).
bool Serve(TPty& Pty, TChild& Child, const TServe& S, long long DeadlineNs);

// Waits for the child's "ready" line; false when it does not come.
bool AwaitReady(TPty& Pty, TChild& Child, long long TimeoutNs);

// The numbers after the first word of a receiver's line ("done 123 456").
std::vector<long long> Numbers(const std::string& Line);

struct TPeer {
  std::string Name;
  std::vector<std::string> Command;  // program (and script), the mode follows
  bool Native = true;                // a C or C++ peer (the figures comfind must reach)
};

struct TSizes {
  int Reps = 5;
  long long ThroughputBytes = 64LL << 20;
  int LatencyRounds = 2000;
  long long FloodBytes = 100LL << 20;
  int FloodReps = 1;
  int OpenCloseCycles = 1000;
  int IdleSeconds = 5;
  int IdleReps = 3;
  long long ScriptDeadlineNs = 60'000'000'000LL;  // one throughput run of the script peer
  // A receiver whose line search rescans its whole buffer (quadratic) takes minutes over a
  // flood; it is given up after this long and its RSS at that moment is shown.
  long long FloodDeadlineNs = 30'000'000'000LL;
  // The processor the latency runs pin the driver and the receiver to (-1: not pinned). On one
  // processor every wake-up of the round trip is a switch between threads that the scheduler
  // cannot hide by running them side by side, so the figure counts what a reply costs rather
  // than which processors happened to be free.
  // The throughput runs pin the receiver to it and the driver to another processor, where
  // there is one: left to the scheduler, the two sometimes share a processor and sometimes
  // not, and the same receiver's MB/s then differs by a third from run to run.
  int PinCpu = -1;
};

// Pins the calling thread, and every process and thread it starts meanwhile, to one processor;
// the affinity it had comes back at the end of the scope. Cpu < 0 leaves everything alone.
class TPinScope {
 public:
  explicit TPinScope(int Cpu);
  ~TPinScope();
  TPinScope(const TPinScope&) = delete;
  TPinScope& operator=(const TPinScope&) = delete;

 private:
  bool FPinned = false;
  cpu_set_t FOld{};
};

// The processor "auto" stands for: the last one this process may run on.
int LastAllowedCpu();
// Another processor this process may run on than Cpu (-1: there is none).
int OtherAllowedCpu(int Cpu);

constexpr int LineBytes = 20;
constexpr long long Second = 1'000'000'000LL;

// The receiver's command line: its program, then Args.
std::vector<std::string> Cmd(const TPeer& P, std::vector<std::string> Args);

// The lines of the throughput run: 18 characters and CR LF, numbered so a lost or torn line
// changes the lengths the receiver sees.
std::string LinePattern(size_t Lines);

}  // namespace comfind::bench
