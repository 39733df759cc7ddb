#include "testkit/Pty.h"

#include "port/os/KernelSerial.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace comfind {

namespace {

std::runtime_error SysFailure(const char* What) {
  return std::runtime_error(std::string(What) + ": " + std::strerror(errno));
}

uint32_t SpeedToRate(speed_t Speed) {
  switch (Speed) {
    case B0:
      return 0;
    case B50:
      return 50;
    case B75:
      return 75;
    case B110:
      return 110;
    case B134:
      return 134;
    case B150:
      return 150;
    case B200:
      return 200;
    case B300:
      return 300;
    case B600:
      return 600;
    case B1200:
      return 1200;
    case B1800:
      return 1800;
    case B2400:
      return 2400;
    case B4800:
      return 4800;
    case B9600:
      return 9600;
    case B19200:
      return 19200;
    case B38400:
      return 38400;
    case B57600:
      return 57600;
    case B115200:
      return 115200;
    case B230400:
      return 230400;
    default:
      return 0;
  }
}

}  // namespace

TPty::TPty() : TPty(TOptions{}) {}

TPtyMaster OpenPtyMaster() {
  TPtyMaster Pty;
  Pty.Fd = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (Pty.Fd < 0) throw SysFailure("posix_openpt");
  char Name[128];
  if (::grantpt(Pty.Fd) != 0 || ::unlockpt(Pty.Fd) != 0 ||
      ::ptsname_r(Pty.Fd, Name, sizeof Name) != 0) {
    auto Failure = SysFailure("grantpt/unlockpt/ptsname_r");
    ::close(Pty.Fd);
    throw Failure;
  }
  Pty.SlavePath = Name;
  return Pty;
}

TPty::TPty(const TOptions& Options) {
  // Non-blocking so that Read() never hangs past its deadline when poll and read disagree.
  TPtyMaster Pty = OpenPtyMaster();
  FMaster = Pty.Fd;
  FSlavePath = std::move(Pty.SlavePath);
  if (Options.Raw) {
    // Mode ioctls on a master act on the slave's settings, which are the ones that matter:
    // the slave's line discipline would otherwise echo and translate the test's bytes.
    termios Tio{};
    if (::tcgetattr(FMaster, &Tio) == 0) {
      ::cfmakeraw(&Tio);
      ::tcsetattr(FMaster, TCSANOW, &Tio);
    }
  }
  if (Options.HoldSlave) {
    FHeldSlave = ::open(FSlavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (FHeldSlave < 0) {
      auto Failure = SysFailure("open slave");
      ::close(FMaster);
      throw Failure;
    }
  }
}

TPty::~TPty() {
  ReleaseSlave();
  CloseMaster();
}

bool TPty::Write(std::string_view Bytes) {
  while (!Bytes.empty()) {
    if (FMaster < 0) return false;
    ssize_t N = ::write(FMaster, Bytes.data(), Bytes.size());
    if (N > 0) {
      Bytes.remove_prefix(static_cast<size_t>(N));
    } else if (N < 0 && errno == EAGAIN) {
      pollfd P{FMaster, POLLOUT, 0};
      if (::poll(&P, 1, 5000) <= 0) return false;
    } else if (N < 0 && errno == EINTR) {
      continue;
    } else {
      return false;
    }
  }
  return true;
}

std::string TPty::Read(size_t Count, std::chrono::milliseconds Deadline) {
  return ReadUntil([Count](const std::string& S) { return S.size() >= Count; }, Deadline);
}

std::string TPty::ReadUntil(const std::function<bool(const std::string&)>& Done,
                            std::chrono::milliseconds Deadline) {
  using Clock = std::chrono::steady_clock;
  const auto End = Clock::now() + Deadline;
  std::string Got;
  while (FMaster >= 0 && !Done(Got)) {
    Got += ReadAvailable();
    if (Done(Got)) break;
    auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(End - Clock::now());
    if (Left.count() <= 0) break;
    pollfd P{FMaster, POLLIN, 0};
    int R = ::poll(&P, 1, static_cast<int>(Left.count()) + 1);
    if (R < 0 && errno == EINTR) continue;
    if (R <= 0) break;
    // A hang-up without data means nobody holds the slave: nothing more can arrive, and
    // polling again would return at once.
    if (!(P.revents & POLLIN)) {
      Got += ReadAvailable();
      break;
    }
  }
  return Got;
}

std::string TPty::ReadAvailable() {
  std::string Got;
  char Buf[4096];
  while (FMaster >= 0) {
    ssize_t N = ::read(FMaster, Buf, sizeof Buf);
    if (N > 0) {
      Got.append(Buf, static_cast<size_t>(N));
    } else if (N < 0 && errno == EINTR) {
      continue;
    } else {
      break;  // EAGAIN: nothing waiting; EIO: the slave is closed
    }
  }
  return Got;
}

void TPty::CloseMaster() {
  if (FMaster >= 0) {
    ::close(FMaster);
    FMaster = -1;
  }
}

void TPty::ReleaseSlave() {
  if (FHeldSlave >= 0) {
    ::close(FHeldSlave);
    FHeldSlave = -1;
  }
}

bool TPty::GetSlaveTermios(termios& Out) const {
  return FMaster >= 0 && ::tcgetattr(FMaster, &Out) == 0;
}

uint32_t TPty::SlaveBaudRate() const {
  if (FMaster < 0) return 0;
  if (const uint32_t Rate = LineRate(FMaster)) return Rate;
  termios Tio{};
  if (::tcgetattr(FMaster, &Tio) != 0) return 0;
  return SpeedToRate(::cfgetospeed(&Tio));
}

int CountOpenDescriptors() {
  DIR* D = ::opendir("/proc/self/fd");
  if (!D) return -1;
  int N = 0;
  while (dirent* E = ::readdir(D)) {
    if (E->d_name[0] != '.') ++N;
  }
  ::closedir(D);
  return N - 1;  // the directory stream's own descriptor
}

}  // namespace comfind
