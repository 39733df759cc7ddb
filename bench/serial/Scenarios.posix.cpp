#include "bench/serial/Scenarios.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <thread>

#include "testkit/Process.h"

namespace comfind::bench {

std::optional<TThroughput> RunThroughput(const TPeer& P, const TSizes& Z) {
  const long long Lines = Z.ThroughputBytes / LineBytes;
  static const std::string Pattern = LinePattern(3276);  // 65,520 bytes
  // The driver on one processor, the receiver (which inherits its processor at the start) on
  // another.
  const TPinScope Driver(Z.PinCpu >= 0 ? OtherAllowedCpu(Z.PinCpu) : -1);
  TPty Pty;
  TChild Child = [&] {
    const TPinScope Receiver(Z.PinCpu);
    return TChild(Cmd(P, {"throughput", Pty.SlavePath(), std::to_string(Lines)}));
  }();
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
      const ssize_t N = ::write(Pty.MasterFd(), Pattern.data() + Offset, Want);
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

double Percentile(std::vector<double> V, double Q) {
  if (V.empty()) return NAN;
  std::sort(V.begin(), V.end());
  const size_t I = std::min(V.size() - 1, static_cast<size_t>(std::ceil(Q * V.size())) - 1);
  return V[I];
}

std::optional<TLatency> RunLatency(const TPeer& P, const TSizes& Z) {
  // Before the receiver starts: it inherits the processor it is pinned to.
  const TPinScope Pin(Z.PinCpu);
  TPty Pty;
  TChild Child(Cmd(P, {"latency", Pty.SlavePath(), std::to_string(Z.LatencyRounds)}));
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
    WriteMaster(Pty.MasterFd(), "OK\r\n", 4);
    const long long Deadline = NowNs() + 5 * Second;
    while (!RoundDone && NowNs() < Deadline) {
      pollfd Fd{Pty.MasterFd(), POLLIN, 0};
      if (::poll(&Fd, 1, 100) > 0) {
        char Buf[256];
        const ssize_t N = ::read(Pty.MasterFd(), Buf, sizeof Buf);
        if (N > 0) S.OnMasterBytes(Buf, static_cast<size_t>(N));
      }
    }
    if (!RoundDone) {
      std::fprintf(stderr, "  %s: no reply in round %d\n", P.Name.c_str(), I);
      return std::nullopt;
    }
  }
  WriteMaster(Pty.MasterFd(), "BYE\r\n", 5);
  TServe End;
  End.OnChildLine = [](const std::string& Line) { return Line.rfind("done", 0) == 0; };
  Serve(Pty, Child, End, NowNs() + 10 * Second);
  Child.Wait();
  return TLatency{Percentile(Rtt, 0.5), Percentile(Rtt, 0.9), Percentile(Rtt, 0.99)};
}

// The instrument: answers every CR LF line it receives with "OK" CR LF at once.
TServe Instrument(TPty& Pty, std::string& Input) {
  TServe S;
  S.OnMasterBytes = [&Pty, &Input](const char* B, size_t N) {
    Input.append(B, N);
    size_t Lf;
    while ((Lf = Input.find("\r\n")) != std::string::npos) {
      Input.erase(0, Lf + 2);
      WriteMaster(Pty.MasterFd(), "OK\r\n", 4);
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
  Args.push_back(Pty.SlavePath());
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
  TChild Child(Cmd(P, {"openclose", Pty.SlavePath(), std::to_string(Z.OpenCloseCycles)}));
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

TFlood RunFlood(const TPeer& P, const TSizes& Z) {
  TPty Pty;
  TChild Child(Cmd(P, {"flood", Pty.SlavePath()}));
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
      const ssize_t N = ::write(Pty.MasterFd(), Block.data(), Want);
      if (N <= 0) return;
      Sent += N;
    }
    while (EndSent < End.size()) {
      const ssize_t N = ::write(Pty.MasterFd(), End.data() + EndSent, End.size() - EndSent);
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
        Cmd(P, {"idle", Ptys.back()->SlavePath(), std::to_string(Z.IdleSeconds)})));
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
  TChild Child({Cli, Pty.SlavePath()});
  std::string Input;
  TServe S = Instrument(Pty, Input);
  Serve(Pty, Child, S, NowNs() + 20 * Second);
  const int Status = Child.Wait();
  if (Status != 0) std::fprintf(stderr, "  comfind-cli: exit status %d\n", Status);
  return static_cast<double>(Child.PeakRssKiB()) / 1024.0;
}

std::optional<double> RunManyPorts(const std::string& Cli, int Silent,
                                   const std::vector<std::string>& Options) {
  std::vector<std::unique_ptr<TPty>> Quiet;
  std::vector<std::string> Args = Options;
  for (int I = 0; I < Silent; ++I) {
    Quiet.push_back(std::make_unique<TPty>());
    Args.push_back(Quiet.back()->SlavePath());
  }
  TPty Instrument;
  Args.push_back(Instrument.SlavePath());
  // The instrument answers each line at once, on a thread of its own that sleeps in poll; the
  // program is timed from its start to its end, as a person at the prompt would.
  int Stop[2];
  if (::pipe2(Stop, O_CLOEXEC) != 0) Fail("pipe");
  std::thread Far([&] {
    std::string Input;
    for (;;) {
      pollfd Fds[2] = {{Instrument.MasterFd(), POLLIN, 0}, {Stop[0], POLLIN, 0}};
      if (::poll(Fds, 2, -1) < 0 && errno != EINTR) return;
      if (Fds[1].revents) return;
      if (!(Fds[0].revents & POLLIN)) continue;
      char Buf[256];
      const ssize_t N = ::read(Instrument.MasterFd(), Buf, sizeof Buf);
      if (N <= 0) continue;
      Input.append(Buf, static_cast<size_t>(N));
      for (size_t Lf = Input.find('\n'); Lf != std::string::npos; Lf = Input.find('\n')) {
        Input.erase(0, Lf + 1);
        WriteMaster(Instrument.MasterFd(), "OK\r\n", 4);
      }
    }
  });
  const long long Start = NowNs();
  int Status = -1;
  {
    TProcess Program(Cli, Args);
    Status = Program.Finish(std::chrono::seconds(120));
  }
  const long long End = NowNs();
  const char Byte = 0;
  while (::write(Stop[1], &Byte, 1) < 0 && errno == EINTR) {
  }
  Far.join();
  ::close(Stop[0]);
  ::close(Stop[1]);
  if (Status != 0) {
    std::fprintf(stderr, "  comfind-cli over %d ports: exit status %d\n", Silent + 1, Status);
    return std::nullopt;
  }
  return static_cast<double>(End - Start) / 1e6;
}

// comfind-cli whose port answers the probe with a flood without line ends until the search
// gives the port up (500 ms): peak RSS in MiB and the MiB that went in.
std::pair<double, double> RunCliFlood(const std::string& Cli) {
  TPty Pty;
  TChild Child({Cli, Pty.SlavePath()});
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
      const ssize_t N = ::write(Pty.MasterFd(), Block.data(), Block.size());
      if (N <= 0) return;
      Sent += N;
    }
  };
  Serve(Pty, Child, S, NowNs() + 20 * Second);
  Child.Wait();
  return {static_cast<double>(Child.PeakRssKiB()) / 1024.0, static_cast<double>(Sent) / (1 << 20)};
}

}  // namespace comfind::bench
