#include "bench/serial/Harness.h"

#include <algorithm>
#include <sstream>

namespace comfind::bench {

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
// Serves until OnChildLine says done (true) or the deadline passes or the child ends (false).
bool Serve(TPty& Pty, TChild& Child, const TServe& S, long long DeadlineNs) {
  for (;;) {
    while (auto Line = Child.TakeLine())
      if (S.OnChildLine && S.OnChildLine(*Line)) return true;
    const long long Left = DeadlineNs - NowNs();
    if (Left <= 0) return false;
    pollfd Fds[2] = {{Pty.MasterFd(), POLLIN, 0}, {Child.Out(), POLLIN, 0}};
    if (S.WantWrite && S.WantWrite()) Fds[0].events |= POLLOUT;
    // A quiet line wakes up every 20 ms to see whether the child is on its way out: one that
    // prints no last line (comfind-cli) is then let go by Wait.
    const int R = ::poll(Fds, 2, static_cast<int>(std::min<long long>(Left / 1000000 + 1, 20)));
    if (R < 0 && errno != EINTR) Fail("poll");
    if (R == 0 && Child.Ending()) return false;
    if (R <= 0) continue;
    if (Fds[0].revents & POLLIN) {
      char Buf[65536];
      const ssize_t N = ::read(Pty.MasterFd(), Buf, sizeof Buf);
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

TPinScope::TPinScope(int Cpu) {
  if (Cpu < 0) return;
  if (::sched_getaffinity(0, sizeof FOld, &FOld) != 0) Fail("sched_getaffinity");
  cpu_set_t One;
  CPU_ZERO(&One);
  CPU_SET(Cpu, &One);
  if (::sched_setaffinity(0, sizeof One, &One) != 0)
    Fail("pin to processor " + std::to_string(Cpu));
  FPinned = true;
}

TPinScope::~TPinScope() {
  if (FPinned) ::sched_setaffinity(0, sizeof FOld, &FOld);
}

int LastAllowedCpu() {
  cpu_set_t Set;
  if (::sched_getaffinity(0, sizeof Set, &Set) != 0) return -1;
  for (int Cpu = CPU_SETSIZE - 1; Cpu >= 0; --Cpu)
    if (CPU_ISSET(Cpu, &Set)) return Cpu;
  return -1;
}

int OtherAllowedCpu(int Cpu) {
  cpu_set_t Set;
  if (::sched_getaffinity(0, sizeof Set, &Set) != 0) return -1;
  for (int Other = 0; Other < CPU_SETSIZE; ++Other)
    if (Other != Cpu && CPU_ISSET(Other, &Set)) return Other;
  return -1;
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

}  // namespace comfind::bench
