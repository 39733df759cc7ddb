// The floor of the serial benchmark (modes: PeerCommon.h): no library at all, the least a
// program can do with a pseudo-terminal. It opens the device raw and non-blocking, sleeps in
// poll, reads up to 64 KiB at a time, cuts CR LF lines with memchr over the new bytes only,
// and answers a line with one write. Every other receiver is measured against this one in the
// same run: what a library costs beyond it is the library's.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "bench/peers/PeerCommon.h"

namespace {

using peer::Say;

// Opens Device raw at 19200 8N1 without flow control: one read of the settings, one write.
int OpenRaw(const std::string& Device) {
  const int Fd = ::open(Device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (Fd < 0) return -1;
  termios T{};
  if (::tcgetattr(Fd, &T) == 0) {
    ::cfmakeraw(&T);
    T.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARENB | CRTSCTS);
    T.c_cflag |= CLOCAL | CREAD;
    ::cfsetspeed(&T, B19200);
    ::tcsetattr(Fd, TCSANOW, &T);
  }
  return Fd;
}

// The whole of Data, waiting for room when the line is full (the descriptor is non-blocking).
bool WriteAll(int Fd, const char* Data, size_t Size) {
  while (Size > 0) {
    const ssize_t N = ::write(Fd, Data, Size);
    if (N > 0) {
      Data += N;
      Size -= static_cast<size_t>(N);
    } else if (N < 0 && errno == EAGAIN) {
      pollfd P{Fd, POLLOUT, 0};
      ::poll(&P, 1, -1);
    } else if (!(N < 0 && errno == EINTR)) {
      return false;
    }
  }
  return true;
}

// Reads and cuts lines until OnLine returns false, the deadline passes (0: none) or the line
// fails. A CR LF split over two reads is found: the search resumes one byte early.
template <typename FLine>
void ReadLines(int Fd, FLine OnLine, long long DeadlineNs = 0) {
  static char Block[65536];
  std::string Carry;
  for (;;) {
    int Timeout = -1;
    if (DeadlineNs) {
      const long long Left = DeadlineNs - peer::NowNs();
      if (Left <= 0) return;
      Timeout = static_cast<int>(Left / 1000000 + 1);
    }
    pollfd P{Fd, POLLIN, 0};
    const int R = ::poll(&P, 1, Timeout);
    if (R < 0 && errno != EINTR) return;
    if (R <= 0) continue;
    const ssize_t N = ::read(Fd, Block, sizeof Block);
    if (N < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (N <= 0) return;
    // Lines wholly inside the new block are handed out from it without a copy.
    const char* Start = Block;
    const char* const End = Block + N;
    const char* From = Block;
    if (!Carry.empty()) {
      if (Carry.back() == '\r' && Block[0] == '\n') {
        Carry.pop_back();
        if (!OnLine(Carry.data(), Carry.size())) return;
        Carry.clear();
        Start = From = Block + 1;
      }
    }
    while (From < End) {
      const char* Lf = static_cast<const char*>(std::memchr(From, '\n', End - From));
      if (!Lf) break;
      From = Lf + 1;
      if (Lf == Block || Lf[-1] != '\r') continue;
      if (Carry.empty()) {
        if (!OnLine(Start, static_cast<size_t>(Lf - 1 - Start))) return;
      } else {
        Carry.append(Start, static_cast<size_t>(Lf - 1 - Start));
        if (!OnLine(Carry.data(), Carry.size())) return;
        Carry.clear();
      }
      Start = From;
    }
    Carry.append(Start, static_cast<size_t>(End - Start));
  }
}

bool IsOk(const char* P, size_t N) {
  return peer::IsOk(std::string(P, N));
}

int Run(const peer::TArgs& Args) {
  if (Args.Mode == "search") {
    const long long Start = peer::NowNs();
    for (size_t I = 0; I < Args.Devices.size(); ++I) {
      const int Fd = OpenRaw(Args.Devices[I]);
      if (Fd < 0) continue;
      bool Found = false;
      if (WriteAll(Fd, peer::Probe, sizeof peer::Probe - 1))
        ReadLines(
            Fd, [&](const char* P, size_t N) { return !(Found = IsOk(P, N)); },
            peer::NowNs() + peer::SearchWaitMs * 1000000LL);
      ::close(Fd);
      if (Found) {
        Say("search 1 " + std::to_string(I) + " " + std::to_string(peer::NowNs() - Start));
        return 0;
      }
    }
    Say("search 0 " + std::to_string(Args.Devices.size() - 1) + " " +
        std::to_string(peer::NowNs() - Start));
    return 0;
  }
  const std::string& Device = Args.Devices[0];
  if (Args.Mode == "openclose") {
    const long long Start = peer::NowNs();
    for (long long I = 0; I < Args.Count; ++I) {
      const int Fd = OpenRaw(Device);
      if (Fd < 0) return 1;
      WriteAll(Fd, peer::Probe, sizeof peer::Probe - 1);
      ::close(Fd);
    }
    Say("cycles " + std::to_string(Args.Count) + " " + std::to_string(peer::NowNs() - Start));
    return 0;
  }

  const int Fd = OpenRaw(Device);
  if (Fd < 0) {
    std::fprintf(stderr, "floor: cannot open %s: %s\n", Device.c_str(), std::strerror(errno));
    return 1;
  }
  Say("ready");
  long long Lines = 0, Bad = 0, DoneNs = 0;
  if (Args.Mode == "throughput") {
    ReadLines(Fd, [&](const char*, size_t N) {
      if (N != peer::LineLength) ++Bad;
      if (++Lines < Args.Count) return true;
      DoneNs = peer::NowNs();
      return false;
    });
    Say("done " + std::to_string(DoneNs) + " " + std::to_string(Lines) + " " + std::to_string(Bad));
  } else if (Args.Mode == "latency") {
    ReadLines(Fd, [&](const char* P, size_t N) {
      if (N == 3 && std::memcmp(P, "BYE", 3) == 0) return false;
      WriteAll(Fd, peer::Probe, sizeof peer::Probe - 1);
      ++Lines;
      return true;
    });
    Say("done " + std::to_string(Lines));
  } else if (Args.Mode == "flood") {
    ReadLines(Fd, [&](const char* P, size_t N) {
      ++Lines;
      return !peer::EndsWithEnd(std::string(P, N));
    });
    Say("done " + std::to_string(Lines));
  } else if (Args.Mode == "idle") {
    const long long Cpu0 = peer::CpuNs();
    ReadLines(
        Fd, [](const char*, size_t) { return true; }, peer::NowNs() + Args.Count * 1000000000LL);
    Say("cpu " + std::to_string(peer::CpuNs() - Cpu0));
  }
  ::close(Fd);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  return Run(peer::ParseArgs(argc, argv));
}
