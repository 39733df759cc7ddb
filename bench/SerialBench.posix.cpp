// bench_serial: comfind's port, event delivery, packet assembler and search beside the serial
// libraries people already use, all driven through the same pseudo-terminal pairs in one run.
//
// This program is the far end of every line: it creates a pseudo-terminal per run, starts one
// receiver program (bench_comfind or a peer, modes in peers/PeerCommon.h) on the slave side,
// plays the instrument or the data source on the master side and collects the figures. Each
// figure is the median over repeated runs; the runs of the receivers alternate, so a load that
// comes and goes on the machine spreads over all of them alike. It prints one table, each peer's
// value followed by comfind's advantage over it (above 1: comfind better).
//
// POSIX only: pseudo-terminals and child processes.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace comfind {

extern char** environ;

namespace {

using TClock = std::chrono::steady_clock;

long long NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(TClock::now().time_since_epoch())
      .count();
}

[[noreturn]] void Fail(const std::string& What) {
  throw std::runtime_error(What + (errno ? std::string(": ") + std::strerror(errno) : ""));
}

// --- the far end ----------------------------------------------------------------------------

// A pseudo-terminal pair. The master is ours (non-blocking); one slave descriptor stays open
// for the pair's lifetime so the master never sees a hang-up while a receiver has the slave
// closed (between the cycles of open/close, between the ports of a search).
class TPty {
 public:
  TPty() {
    FMaster = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (FMaster < 0 || ::grantpt(FMaster) != 0 || ::unlockpt(FMaster) != 0) Fail("posix_openpt");
    char Name[128];
    if (::ptsname_r(FMaster, Name, sizeof Name) != 0) Fail("ptsname");
    FSlavePath = Name;
    FSlave = ::open(Name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (FSlave < 0) Fail("open " + FSlavePath);
    termios T{};
    ::tcgetattr(FSlave, &T);
    ::cfmakeraw(&T);
    ::tcsetattr(FSlave, TCSANOW, &T);
  }
  ~TPty() {
    ::close(FSlave);
    ::close(FMaster);
  }
  TPty(const TPty&) = delete;
  TPty& operator=(const TPty&) = delete;
  int Master() const { return FMaster; }
  const std::string& Path() const { return FSlavePath; }

 private:
  int FMaster = -1;
  int FSlave = -1;
  std::string FSlavePath;
};

// Writes all of Bytes to the non-blocking master, waiting for room when the line is full.
void WriteMaster(int Master, const char* Bytes, size_t Size) {
  while (Size > 0) {
    const ssize_t N = ::write(Master, Bytes, Size);
    if (N > 0) {
      Bytes += N;
      Size -= static_cast<size_t>(N);
    } else if (N < 0 && errno == EAGAIN) {
      pollfd Fd{Master, POLLOUT, 0};
      ::poll(&Fd, 1, 1000);
    } else if (!(N < 0 && errno == EINTR)) {
      Fail("write to the pseudo-terminal");
    }
  }
}

// A receiver program with its standard output on a pipe.
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
bool Serve(TPty& Pty, TChild& Child, const TServe& S, long long DeadlineNs) {
  for (;;) {
    while (auto Line = Child.TakeLine())
      if (S.OnChildLine && S.OnChildLine(*Line)) return true;
    const long long Left = DeadlineNs - NowNs();
    if (Left <= 0) return false;
    pollfd Fds[2] = {{Pty.Master(), POLLIN, 0}, {Child.Out(), POLLIN, 0}};
    if (S.WantWrite && S.WantWrite()) Fds[0].events |= POLLOUT;
    // A quiet line wakes up every 20 ms to see whether the child is on its way out: one that
    // prints no last line (comfind-cli) is then let go by Wait.
    const int R = ::poll(Fds, 2, static_cast<int>(std::min<long long>(Left / 1000000 + 1, 20)));
    if (R < 0 && errno != EINTR) Fail("poll");
    if (R == 0 && Child.Ending()) return false;
    if (R <= 0) continue;
    if (Fds[0].revents & POLLIN) {
      char Buf[65536];
      const ssize_t N = ::read(Pty.Master(), Buf, sizeof Buf);
      if (N > 0 && S.OnMasterBytes) S.OnMasterBytes(Buf, static_cast<size_t>(N));
    }
    if ((Fds[0].revents & POLLOUT) && S.OnWritable) S.OnWritable();
    if (Fds[1].revents & (POLLIN | POLLHUP)) {
      if (!Child.Pump()) {
        while (auto Line = Child.TakeLine())
          if (S.OnChildLine && S.OnChildLine(*Line)) return true;
        return false;
      }
    }
  }
}

// Waits for the child's "ready" line; false when it does not come.
bool AwaitReady(TPty& Pty, TChild& Child, long long TimeoutNs) {
  TServe S;
  S.OnChildLine = [](const std::string& Line) { return Line == "ready"; };
  return Serve(Pty, Child, S, NowNs() + TimeoutNs);
}

std::vector<long long> Numbers(const std::string& Line) {
  std::istringstream In(Line);
  std::string Word;
  In >> Word;
  std::vector<long long> Out;
  long long V;
  while (In >> V)
    Out.push_back(V);
  return Out;
}

// --- the receivers --------------------------------------------------------------------------

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
};

constexpr int LineBytes = 20;
constexpr long long Second = 1'000'000'000LL;

std::vector<std::string> Cmd(const TPeer& P, std::vector<std::string> Args) {
  std::vector<std::string> Out = P.Command;
  Out.insert(Out.end(), Args.begin(), Args.end());
  return Out;
}

// The lines of the throughput run: 18 characters and CR LF, numbered so a lost or torn line
// changes the lengths the receiver sees.
std::string LinePattern(size_t Lines) {
  std::string Out;
  Out.reserve(Lines * LineBytes);
  char Line[32];
  for (size_t I = 0; I < Lines; ++I) {
    std::snprintf(Line, sizeof Line, "L%017zu\r\n", I);
    Out += Line;
  }
  return Out;
}

struct TThroughput {
  double MBps = 0;
  double CpuMsPerMB = 0;
  long PeakRssKiB = 0;
};

std::optional<TThroughput> RunThroughput(const TPeer& P, const TSizes& Z) {
  const long long Lines = Z.ThroughputBytes / LineBytes;
  static const std::string Pattern = LinePattern(3276);  // 65,520 bytes
  TPty Pty;
  TChild Child(Cmd(P, {"throughput", Pty.Path(), std::to_string(Lines)}));
  if (!AwaitReady(Pty, Child, 20 * Second)) return std::nullopt;
  const long long Total = Lines * LineBytes;
  long long Sent = 0;
  size_t Offset = 0;
  long long DoneNs = 0;
  std::vector<long long> Result;
  TServe S;
  S.WantWrite = [&] { return Sent < Total; };
  S.OnWritable = [&] {
    while (Sent < Total) {
      const size_t Want =
          static_cast<size_t>(std::min<long long>(Total - Sent, Pattern.size() - Offset));
      const ssize_t N = ::write(Pty.Master(), Pattern.data() + Offset, Want);
      if (N <= 0) return;
      Sent += N;
      Offset = (Offset + static_cast<size_t>(N)) % Pattern.size();
    }
  };
  S.OnChildLine = [&](const std::string& Line) {
    if (Line.rfind("done", 0) != 0) return false;
    Result = Numbers(Line);
    return true;
  };
  const long long Start = NowNs();
  const long long Deadline = Start + (P.Native ? 120 * Second : Z.ScriptDeadlineNs);
  if (!Serve(Pty, Child, S, Deadline) || Result.size() < 3) {
    std::fprintf(stderr, "  %s: throughput run did not finish\n", P.Name.c_str());
    return std::nullopt;
  }
  DoneNs = Result[0];
  if (Result[1] != Lines || Result[2] != 0)
    std::fprintf(stderr, "  %s: %lld lines, %lld of the wrong length\n", P.Name.c_str(), Result[1],
                 Result[2]);
  Child.Wait();
  TThroughput T;
  T.MBps = static_cast<double>(Total) / (static_cast<double>(DoneNs - Start) / 1e9) / 1e6;
  T.PeakRssKiB = Child.PeakRssKiB();
  T.CpuMsPerMB = Child.CpuSeconds() * 1000.0 / (static_cast<double>(Total) / 1e6);
  return T;
}

struct TLatency {
  double MedianUs = 0;
  double P99Us = 0;
};

double Percentile(std::vector<double> V, double Q) {
  if (V.empty()) return NAN;
  std::sort(V.begin(), V.end());
  const size_t I = std::min(V.size() - 1, static_cast<size_t>(std::ceil(Q * V.size())) - 1);
  return V[I];
}

std::optional<TLatency> RunLatency(const TPeer& P, const TSizes& Z) {
  TPty Pty;
  TChild Child(Cmd(P, {"latency", Pty.Path(), std::to_string(Z.LatencyRounds)}));
  if (!AwaitReady(Pty, Child, 20 * Second)) return std::nullopt;
  std::vector<double> Rtt;
  Rtt.reserve(static_cast<size_t>(Z.LatencyRounds));
  std::string Got;
  long long Sent = 0;
  bool RoundDone = false;
  TServe S;
  S.OnMasterBytes = [&](const char* B, size_t N) {
    Got.append(B, N);
    if (Got.find("\r\n") != std::string::npos) {
      Rtt.push_back(static_cast<double>(NowNs() - Sent) / 1000.0);
      Got.clear();
      RoundDone = true;
    }
  };
  for (int I = 0; I < Z.LatencyRounds; ++I) {
    RoundDone = false;
    Sent = NowNs();
    WriteMaster(Pty.Master(), "OK\r\n", 4);
    const long long Deadline = NowNs() + 5 * Second;
    while (!RoundDone && NowNs() < Deadline) {
      pollfd Fd{Pty.Master(), POLLIN, 0};
      if (::poll(&Fd, 1, 100) > 0) {
        char Buf[256];
        const ssize_t N = ::read(Pty.Master(), Buf, sizeof Buf);
        if (N > 0) S.OnMasterBytes(Buf, static_cast<size_t>(N));
      }
    }
    if (!RoundDone) {
      std::fprintf(stderr, "  %s: no reply in round %d\n", P.Name.c_str(), I);
      return std::nullopt;
    }
  }
  WriteMaster(Pty.Master(), "BYE\r\n", 5);
  TServe End;
  End.OnChildLine = [](const std::string& Line) { return Line.rfind("done", 0) == 0; };
  Serve(Pty, Child, End, NowNs() + 10 * Second);
  Child.Wait();
  return TLatency{Percentile(Rtt, 0.5), Percentile(Rtt, 0.99)};
}

// The instrument: answers every CR LF line it receives with "OK" CR LF at once.
TServe Instrument(TPty& Pty, std::string& Input) {
  TServe S;
  S.OnMasterBytes = [&Pty, &Input](const char* B, size_t N) {
    Input.append(B, N);
    size_t Lf;
    while ((Lf = Input.find("\r\n")) != std::string::npos) {
      Input.erase(0, Lf + 2);
      WriteMaster(Pty.Master(), "OK\r\n", 4);
    }
  };
  return S;
}

// Microseconds from the start of the search to its result.
std::optional<double> RunSearch(const TPeer& P, bool AfterTwoFailures) {
  TPty Pty;
  std::vector<std::string> Args = {"search"};
  if (AfterTwoFailures) {
    Args.push_back("/nonexistent/comfind-bench-1");
    Args.push_back("/nonexistent/comfind-bench-2");
  }
  Args.push_back(Pty.Path());
  TChild Child(Cmd(P, Args));
  std::string Input;
  TServe S = Instrument(Pty, Input);
  std::vector<long long> Result;
  S.OnChildLine = [&](const std::string& Line) {
    if (Line.rfind("search", 0) != 0) return false;
    Result = Numbers(Line);
    return true;
  };
  if (!Serve(Pty, Child, S, NowNs() + 20 * Second) || Result.size() < 3 || Result[0] != 1 ||
      Result[1] != (AfterTwoFailures ? 2 : 0)) {
    std::fprintf(stderr, "  %s: search did not find the instrument\n", P.Name.c_str());
    return std::nullopt;
  }
  Child.Wait();
  return static_cast<double>(Result[2]) / 1000.0;
}

std::optional<double> RunOpenClose(const TPeer& P, const TSizes& Z) {
  TPty Pty;
  TChild Child(Cmd(P, {"openclose", Pty.Path(), std::to_string(Z.OpenCloseCycles)}));
  TServe S;
  S.OnMasterBytes = [](const char*, size_t) {};
  std::vector<long long> Result;
  S.OnChildLine = [&](const std::string& Line) {
    if (Line.rfind("cycles", 0) != 0) return false;
    Result = Numbers(Line);
    return true;
  };
  if (!Serve(Pty, Child, S, NowNs() + 120 * Second) || Result.size() < 2) {
    std::fprintf(stderr, "  %s: open/close run did not finish\n", P.Name.c_str());
    return std::nullopt;
  }
  Child.Wait();
  return static_cast<double>(Result[0]) / (static_cast<double>(Result[1]) / 1e9);
}

// Peak RSS (MiB) of a receiver taking a flood without line ends, then one "END" line.
struct TFlood {
  double PeakMiB = 0;
  bool Finished = false;
  double SentMiB = 0;
};

TFlood RunFlood(const TPeer& P, const TSizes& Z) {
  TPty Pty;
  TChild Child(Cmd(P, {"flood", Pty.Path()}));
  TFlood F;
  if (!AwaitReady(Pty, Child, 20 * Second)) return F;
  std::string Block(65536, 'x');
  long long Sent = 0;
  const std::string End = "END\r\n";
  size_t EndSent = 0;
  TServe S;
  S.WantWrite = [&] { return EndSent < End.size(); };
  S.OnWritable = [&] {
    while (Sent < Z.FloodBytes) {
      const size_t Want = static_cast<size_t>(std::min<long long>(Z.FloodBytes - Sent, 65536));
      const ssize_t N = ::write(Pty.Master(), Block.data(), Want);
      if (N <= 0) return;
      Sent += N;
    }
    while (EndSent < End.size()) {
      const ssize_t N = ::write(Pty.Master(), End.data() + EndSent, End.size() - EndSent);
      if (N <= 0) return;
      EndSent += static_cast<size_t>(N);
    }
  };
  S.OnChildLine = [](const std::string& Line) { return Line.rfind("done", 0) == 0; };
  const long long Deadline = NowNs() + Z.FloodDeadlineNs;
  F.Finished = Serve(Pty, Child, S, Deadline);
  F.SentMiB = static_cast<double>(Sent) / (1 << 20);
  if (F.Finished) {
    Child.Wait();
    F.PeakMiB = static_cast<double>(Child.PeakRssKiB()) / 1024.0;
  } else {
    F.PeakMiB = static_cast<double>(Child.PeakRssNow()) / 1024.0;
    Child.Kill();
    Child.Wait();
  }
  return F;
}

// CPU microseconds of every receiver idling on its own pseudo-terminal, all at once.
std::map<std::string, double> RunIdle(const std::vector<TPeer>& Peers, const TSizes& Z) {
  std::vector<std::unique_ptr<TPty>> Ptys;
  std::vector<std::unique_ptr<TChild>> Children;
  for (const TPeer& P : Peers) {
    Ptys.push_back(std::make_unique<TPty>());
    Children.push_back(std::make_unique<TChild>(
        Cmd(P, {"idle", Ptys.back()->Path(), std::to_string(Z.IdleSeconds)})));
  }
  std::map<std::string, double> Out;
  for (size_t I = 0; I < Peers.size(); ++I) {
    TServe S;
    S.OnChildLine = [&](const std::string& Line) {
      if (Line.rfind("cpu", 0) != 0) return false;
      const auto N = Numbers(Line);
      if (!N.empty()) Out[Peers[I].Name] = static_cast<double>(N[0]) / 1000.0;
      return true;
    };
    Serve(*Ptys[I], *Children[I], S, NowNs() + (Z.IdleSeconds + 30) * Second);
    Children[I]->Wait();
  }
  return Out;
}

// comfind-cli over one pseudo-terminal with the instrument on it: peak RSS in MiB.
double RunCliSearch(const std::string& Cli) {
  TPty Pty;
  TChild Child({Cli, Pty.Path()});
  std::string Input;
  TServe S = Instrument(Pty, Input);
  Serve(Pty, Child, S, NowNs() + 20 * Second);
  const int Status = Child.Wait();
  if (Status != 0) std::fprintf(stderr, "  comfind-cli: exit status %d\n", Status);
  return static_cast<double>(Child.PeakRssKiB()) / 1024.0;
}

// comfind-cli whose port answers the probe with a flood without line ends until the search
// gives the port up (500 ms): peak RSS in MiB and the MiB that went in.
std::pair<double, double> RunCliFlood(const std::string& Cli) {
  TPty Pty;
  TChild Child({Cli, Pty.Path()});
  std::string Block(65536, 'x');
  bool Flooding = false;
  long long Sent = 0;
  TServe S;
  S.OnMasterBytes = [&](const char* B, size_t N) {
    if (std::string(B, N).find('\n') != std::string::npos) Flooding = true;
  };
  S.WantWrite = [&] { return Flooding; };
  S.OnWritable = [&] {
    for (;;) {
      const ssize_t N = ::write(Pty.Master(), Block.data(), Block.size());
      if (N <= 0) return;
      Sent += N;
    }
  };
  Serve(Pty, Child, S, NowNs() + 20 * Second);
  Child.Wait();
  return {static_cast<double>(Child.PeakRssKiB()) / 1024.0, static_cast<double>(Sent) / (1 << 20)};
}

// --- figures and the table ------------------------------------------------------------------

// One line per run on stderr, so a long run shows where it is.
void Progress(const std::string& Figure, int Run, const std::string& Peer, double Value) {
  std::fprintf(stderr, "  %-10s run %d  %-14s %.3g\n", Figure.c_str(), Run + 1, Peer.c_str(),
               Value);
}

double Median(std::vector<double> V) {
  if (V.empty()) return NAN;
  std::sort(V.begin(), V.end());
  const size_t N = V.size();
  return N % 2 ? V[N / 2] : (V[N / 2 - 1] + V[N / 2]) / 2;
}

struct TFigure {
  std::string Name;
  std::string Unit;
  bool HigherBetter = true;
  std::map<std::string, std::vector<double>> Runs;
  std::map<std::string, std::string> Notes;  // shown instead of / beside a value
  double Value(const std::string& Peer) const {
    auto It = Runs.find(Peer);
    return It == Runs.end() ? NAN : Median(It->second);
  }
};

std::string Format(double V) {
  if (std::isnan(V)) return "n/a";
  char Buf[32];
  if (V >= 100)
    std::snprintf(Buf, sizeof Buf, "%.0f", V);
  else if (V >= 10)
    std::snprintf(Buf, sizeof Buf, "%.1f", V);
  else
    std::snprintf(Buf, sizeof Buf, "%.2f", V);
  return Buf;
}

void PrintTable(const std::vector<TFigure>& Figures, const std::vector<TPeer>& Peers) {
  const std::string Self = Peers.front().Name;
  std::printf("\n| Figure | %s |", Self.c_str());
  for (size_t I = 1; I < Peers.size(); ++I)
    std::printf(" %s |", Peers[I].Name.c_str());
  std::printf("\n|---|---:|");
  for (size_t I = 1; I < Peers.size(); ++I)
    std::printf("---:|");
  std::printf("\n");
  for (const TFigure& F : Figures) {
    const double Mine = F.Value(Self);
    std::printf("| %s (%s, %s) | %s%s |", F.Name.c_str(), F.Unit.c_str(),
                F.HigherBetter ? "higher is better" : "lower is better", Format(Mine).c_str(),
                F.Notes.count(Self) ? (" " + F.Notes.at(Self)).c_str() : "");
    for (size_t I = 1; I < Peers.size(); ++I) {
      const std::string& Name = Peers[I].Name;
      const double Theirs = F.Value(Name);
      std::string Cell = Format(Theirs);
      if (!std::isnan(Mine) && !std::isnan(Theirs) && Mine > 0 && Theirs > 0) {
        const double Advantage = F.HigherBetter ? Mine / Theirs : Theirs / Mine;
        Cell += " (" + Format(Advantage) + "x)";
      }
      if (F.Notes.count(Name)) Cell += " " + F.Notes.at(Name);
      if (!F.Runs.count(Name) && !F.Notes.count(Name)) Cell = "-";
      std::printf(" %s |", Cell.c_str());
    }
    std::printf("\n");
  }
  std::printf(
      "\nMedians over the runs; in brackets comfind's advantage over the peer (above 1: comfind "
      "better).\n");
}

void Usage() {
  std::puts(
      "Usage: bench_serial [--quick] [--reps N] [--only LIST]\n"
      "  --quick      small sizes and 3 runs (about a minute); the figures are rougher\n"
      "  --reps N     runs per figure (default 5, --quick 3)\n"
      "  --only LIST  comma-separated: throughput,latency,search,openclose,idle,memory\n"
      "  --peers LIST comma-separated receivers to run (comfind always runs)\n"
      "  --comfind P  use the comfind receiver P (a build with a change being tried)");
}

}  // namespace

}  // namespace comfind

using namespace comfind;

int main(int argc, char** argv) {
  ::signal(SIGPIPE, SIG_IGN);
  TSizes Z;
  std::string Only = "throughput,latency,search,openclose,idle,memory";
  std::string PeerFilter;
  std::string ComfindReceiver = BENCH_COMFIND;
  int Reps = 0;
  for (int I = 1; I < argc; ++I) {
    const std::string A = argv[I];
    if (A == "--quick") {
      Z.Reps = 3;
      Z.ThroughputBytes = 8LL << 20;
      Z.LatencyRounds = 500;
      Z.FloodBytes = 16LL << 20;
      Z.OpenCloseCycles = 200;
      Z.IdleSeconds = 2;
      Z.IdleReps = 1;
      Z.ScriptDeadlineNs = 20 * Second;
      Z.FloodDeadlineNs = 10 * Second;
    } else if (A == "--reps" && I + 1 < argc) {
      Reps = std::atoi(argv[++I]);
    } else if (A == "--only" && I + 1 < argc) {
      Only = argv[++I];
    } else if (A == "--peers" && I + 1 < argc) {
      PeerFilter = argv[++I];
    } else if (A == "--comfind" && I + 1 < argc) {
      ComfindReceiver = argv[++I];
    } else {
      Usage();
      return A == "--help" ? 0 : 2;
    }
  }
  if (Reps > 0) Z.Reps = Reps;
  auto Wanted = [&](const std::string& What) {
    return ("," + Only + ",").find("," + What + ",") != std::string::npos;
  };

  std::vector<TPeer> All = {
      {"comfind", {ComfindReceiver}, true},
      {"libserialport", {BENCH_LIBSERIALPORT}, true},
      {"Qt", {BENCH_QT}, true},
      {"Asio", {BENCH_ASIO}, true},
      {"pyserial", {"/usr/bin/python3", BENCH_PYSERIAL}, false},
  };
  std::vector<TPeer> Peers;
  for (const TPeer& P : All)
    if (P.Name == "comfind" || PeerFilter.empty() ||
        ("," + PeerFilter + ",").find("," + P.Name + ",") != std::string::npos)
      Peers.push_back(P);

  std::printf(
      "bench_serial: %d runs; throughput %lld MiB, latency %d rounds, open/close %d "
      "cycles, idle %d s, flood %lld MiB\n",
      Z.Reps, Z.ThroughputBytes >> 20, Z.LatencyRounds, Z.OpenCloseCycles, Z.IdleSeconds,
      Z.FloodBytes >> 20);
  std::fflush(stdout);

  std::vector<TFigure> Figures;
  try {
    if (Wanted("throughput")) {
      TFigure F{"receive throughput", "MB/s", true, {}, {}};
      TFigure Cpu{"receiver CPU time per MB received", "ms", false, {}, {}};
      for (int R = 0; R < Z.Reps; ++R)
        for (const TPeer& P : Peers)
          if (auto T = RunThroughput(P, Z)) {
            F.Runs[P.Name].push_back(T->MBps);
            Cpu.Runs[P.Name].push_back(T->CpuMsPerMB);
            Progress("throughput", R, P.Name, T->MBps);
          }
      Figures.push_back(F);
      Figures.push_back(Cpu);
    }
    if (Wanted("latency")) {
      TFigure Med{"reply latency, median", "us", false, {}, {}};
      TFigure P99{"reply latency, 99th percentile", "us", false, {}, {}};
      for (int R = 0; R < Z.Reps; ++R)
        for (const TPeer& P : Peers)
          if (auto L = RunLatency(P, Z)) {
            Med.Runs[P.Name].push_back(L->MedianUs);
            P99.Runs[P.Name].push_back(L->P99Us);
            Progress("latency", R, P.Name, L->MedianUs);
          }
      Figures.push_back(Med);
      Figures.push_back(P99);
    }
    if (Wanted("search")) {
      TFigure First{"search, instrument on the first port", "ms", false, {}, {}};
      TFigure Third{"search, third port after two that cannot be opened", "ms", false, {}, {}};
      for (int R = 0; R < Z.Reps; ++R)
        for (const TPeer& P : Peers) {
          if (auto T = RunSearch(P, false)) First.Runs[P.Name].push_back(*T / 1000.0);
          if (auto T = RunSearch(P, true)) {
            Third.Runs[P.Name].push_back(*T / 1000.0);
            Progress("search", R, P.Name, *T / 1000.0);
          }
        }
      Figures.push_back(First);
      Figures.push_back(Third);
    }
    if (Wanted("openclose")) {
      TFigure F{"open, probe write, close", "cycles/s", true, {}, {}};
      for (int R = 0; R < Z.Reps; ++R)
        for (const TPeer& P : Peers)
          if (auto T = RunOpenClose(P, Z)) {
            F.Runs[P.Name].push_back(*T);
            Progress("open/close", R, P.Name, *T);
          }
      Figures.push_back(F);
    }
    if (Wanted("idle")) {
      TFigure F{"idle CPU time, port open and waiting " + std::to_string(Z.IdleSeconds) + " s",
                "us",
                false,
                {},
                {}};
      for (int R = 0; R < Z.IdleReps; ++R)
        for (const auto& [Name, Us] : RunIdle(Peers, Z)) {
          F.Runs[Name].push_back(Us);
          Progress("idle", R, Name, Us);
        }
      Figures.push_back(F);
    }
    if (Wanted("memory")) {
      TFigure Search{"peak RSS during a search (comfind: comfind-cli)", "MiB", false, {}, {}};
      for (int R = 0; R < Z.Reps; ++R) {
        Search.Runs["comfind"].push_back(RunCliSearch(BENCH_COMFIND_CLI));
        for (size_t I = 1; I < Peers.size(); ++I) {
          TPty Pty;
          TChild Child(Cmd(Peers[I], {"search", Pty.Path()}));
          std::string Input;
          TServe S = Instrument(Pty, Input);
          S.OnChildLine = [](const std::string& Line) { return Line.rfind("search", 0) == 0; };
          Serve(Pty, Child, S, NowNs() + 20 * Second);
          Child.Wait();
          Search.Runs[Peers[I].Name].push_back(static_cast<double>(Child.PeakRssKiB()) / 1024);
        }
      }
      Figures.push_back(Search);

      TFigure Flood{
          "peak RSS, " + std::to_string(Z.FloodBytes >> 20) + " MiB without line ends, then a line",
          "MiB",
          false,
          {},
          {}};
      for (int R = 0; R < Z.FloodReps; ++R)
        for (const TPeer& P : Peers) {
          const TFlood Result = RunFlood(P, Z);
          Flood.Runs[P.Name].push_back(Result.PeakMiB);
          Progress("flood", R, P.Name, Result.PeakMiB);
          if (!Result.Finished) {
            char Note[96];
            std::snprintf(Note, sizeof Note, "(gave up after %.0f MiB, still growing)",
                          Result.SentMiB);
            Flood.Notes[P.Name] = Note;
          }
        }
      Figures.push_back(Flood);

      TFigure CliFlood{"peak RSS of comfind-cli, probe answered by a flood without line ends",
                       "MiB",
                       false,
                       {},
                       {}};
      double SentMiB = 0;
      for (int R = 0; R < Z.Reps; ++R) {
        const auto [Peak, Sent] = RunCliFlood(BENCH_COMFIND_CLI);
        CliFlood.Runs["comfind"].push_back(Peak);
        SentMiB = std::max(SentMiB, Sent);
      }
      char Note[96];
      std::snprintf(Note, sizeof Note, "(%.0f MiB taken in its 500 ms)", SentMiB);
      CliFlood.Notes["comfind"] = Note;
      Figures.push_back(CliFlood);
    }
  } catch (const std::exception& E) {
    std::fprintf(stderr, "bench_serial: %s\n", E.what());
    return 1;
  }
  PrintTable(Figures, Peers);
  return 0;
}
