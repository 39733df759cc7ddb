// Checks of the LD_PRELOAD library that lets Wine use a pseudo-terminal as a COM port. Run with
// the library preloaded (scripts/wine-tests.sh does): the modem-line calls on pseudo-terminals,
// the calls it must leave alone, the wait that only a hang-up ends, the hidden serial devices,
// and the input lines that a control folder sets (the virtual-machine stage runs QEMU with it).
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <string>

namespace comfind {

using namespace std::chrono_literals;

namespace {

// A pseudo-terminal pair; the slave is what Wine opens as the COM port.
struct TPair {
  int Master = -1;
  int Slave = -1;
  std::string Path;
  TPair() {
    Master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (Master < 0 || grantpt(Master) != 0 || unlockpt(Master) != 0) return;
    Path = ptsname(Master);
    Slave = ::open(Path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  }
  ~TPair() {
    if (Slave >= 0) ::close(Slave);
    if (Master >= 0) ::close(Master);
  }
};

int Lines(int Fd) {
  int Bits = -1;
  EXPECT_EQ(::ioctl(Fd, TIOCMGET, &Bits), 0) << "errno " << errno;
  return Bits;
}

class ModemLineShim : public testing::Test {
 protected:
  void SetUp() override {
    // Without the library these tests would prove nothing (and the device checks below would
    // reach the machine's own ports).
    void* Libc = dlopen("libc.so.6", RTLD_LAZY | RTLD_NOLOAD);
    ASSERT_NE(Libc, nullptr);
    const bool Preloaded = dlsym(RTLD_DEFAULT, "ioctl") != dlsym(Libc, "ioctl") &&
                           dlsym(RTLD_DEFAULT, "access") != dlsym(Libc, "access") &&
                           dlsym(RTLD_DEFAULT, "open") != dlsym(Libc, "open");
    dlclose(Libc);
    ASSERT_TRUE(Preloaded) << "run with LD_PRELOAD=<the shim>";
  }
};

}  // namespace

TEST_F(ModemLineShim, OutputLinesKeepWhatWasSetAndInputLinesReadOff) {
  TPair A, B;
  ASSERT_GE(A.Slave, 0);
  ASSERT_GE(B.Slave, 0);
  EXPECT_EQ(Lines(A.Slave), 0);

  int Bits = TIOCM_DTR | TIOCM_RTS | TIOCM_CTS | TIOCM_CAR;
  ASSERT_EQ(::ioctl(A.Slave, TIOCMBIS, &Bits), 0);
  EXPECT_EQ(Lines(A.Slave), TIOCM_DTR | TIOCM_RTS) << "only DTR and RTS can be set";
  Bits = TIOCM_RTS;
  ASSERT_EQ(::ioctl(A.Slave, TIOCMBIC, &Bits), 0);
  EXPECT_EQ(Lines(A.Slave), TIOCM_DTR);
  Bits = TIOCM_RTS | TIOCM_DSR;
  ASSERT_EQ(::ioctl(A.Slave, TIOCMSET, &Bits), 0);
  EXPECT_EQ(Lines(A.Slave), TIOCM_RTS);

  // Another descriptor of the same device sees the same lines; another device its own.
  const int Again = ::open(A.Path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(Again, 0);
  EXPECT_EQ(Lines(Again), TIOCM_RTS);
  ::close(Again);
  EXPECT_EQ(Lines(B.Slave), 0);

  EXPECT_EQ(::ioctl(A.Slave, TIOCMGET, nullptr), -1);
  EXPECT_EQ(errno, EFAULT);
}

TEST_F(ModemLineShim, OtherDescriptorsAndCallsReachTheKernel) {
  int Pipe[2];
  ASSERT_EQ(::pipe(Pipe), 0);
  int Bits = 0;
  EXPECT_EQ(::ioctl(Pipe[0], TIOCMGET, &Bits), -1);
  EXPECT_EQ(errno, ENOTTY);

  TPair P;
  ASSERT_GE(P.Slave, 0);
  // The master side is not a serial line either.
  EXPECT_EQ(::ioctl(P.Master, TIOCMGET, &Bits), -1);
  // A whole line, so the slave's canonical mode hands it over.
  ASSERT_EQ(::write(P.Master, "abc\n", 4), 4);
  pollfd Ready{P.Slave, POLLIN, 0};
  ASSERT_EQ(::poll(&Ready, 1, 10000), 1);
  int Waiting = -1;
  ASSERT_EQ(::ioctl(P.Slave, FIONREAD, &Waiting), 0);
  EXPECT_EQ(Waiting, 4);
  ::close(Pipe[0]);
  ::close(Pipe[1]);
}

TEST_F(ModemLineShim, TheWaitForALineChangeEndsWhenTheLineHangsUp) {
  TPair P;
  ASSERT_GE(P.Slave, 0);
  auto Wait = std::async(std::launch::async, [&P] {
    const int R = ::ioctl(P.Slave, TIOCMIWAIT, TIOCM_CTS | TIOCM_DSR | TIOCM_CAR | TIOCM_RNG);
    return R == 0 ? 0 : errno;
  });
  // No change comes while the line is up.
  EXPECT_EQ(Wait.wait_for(100ms), std::future_status::timeout);
  ::close(P.Master);
  P.Master = -1;
  ASSERT_EQ(Wait.wait_for(10s), std::future_status::ready) << "the wait did not end";
  EXPECT_EQ(Wait.get(), EIO);
}

TEST_F(ModemLineShim, TheMachinesSerialDevicesDoNotExistForWine) {
  struct stat St;
  if (::stat("/dev/ttyS0", &St) != 0) GTEST_SKIP() << "this machine has no /dev/ttyS0";
  EXPECT_EQ(::access("/dev/ttyS0", F_OK), -1);
  EXPECT_EQ(errno, ENOENT);
  // O_PATH never reaches the driver, so even without the library this would not open the line.
  EXPECT_EQ(::open("/dev/ttyS0", O_PATH | O_CLOEXEC), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(::openat(AT_FDCWD, "/dev/ttyS0", O_PATH | O_CLOEXEC), -1);
  EXPECT_EQ(errno, ENOENT);
  // Names that only begin alike, and pseudo-terminals, are left alone.
  EXPECT_EQ(::access("/dev/pts", F_OK), 0);
  TPair P;
  EXPECT_GE(P.Slave, 0) << P.Path;
}

namespace {

// COMFIND_MODEM_LINES pointing at a fresh folder for the life of a test.
class TControlFolder {
 public:
  TControlFolder() {
    char Template[] = "/tmp/comfind-lines.XXXXXX";
    if (::mkdtemp(Template)) FPath = Template;
    ::setenv("COMFIND_MODEM_LINES", FPath.c_str(), 1);
  }
  ~TControlFolder() {
    ::unsetenv("COMFIND_MODEM_LINES");
    std::error_code Ignored;
    std::filesystem::remove_all(FPath, Ignored);
  }
  // The file of /dev/pts/N for a slave path, with a suffix.
  std::string File(const std::string& SlavePath, const char* Suffix = "") const {
    return FPath + "/" + SlavePath.substr(SlavePath.rfind('/') + 1) + Suffix;
  }
  void Set(const std::string& SlavePath, const std::string& Text) const {
    const std::string Target = File(SlavePath);
    std::ofstream(Target + ".tmp") << Text;
    std::filesystem::rename(Target + ".tmp", Target);
  }
  std::string Read(const std::string& SlavePath, const char* Suffix) const {
    std::ifstream In(File(SlavePath, Suffix));
    std::stringstream Text;
    Text << In.rdbuf();
    return Text.str();
  }
  bool Ok() const { return !FPath.empty(); }

 private:
  std::string FPath;
};

}  // namespace

TEST_F(ModemLineShim, AControlFolderSetsTheInputLinesAndAcknowledgesEachStateOnce) {
  TControlFolder Control;
  ASSERT_TRUE(Control.Ok());
  TPair A, B;
  ASSERT_GE(A.Slave, 0);
  ASSERT_GE(B.Slave, 0);
  // A device number seen before keeps the output lines an earlier test set: look at the inputs.
  auto Inputs = [](int Fd) { return Lines(Fd) & ~(TIOCM_DTR | TIOCM_RTS); };
  // No file: every input line off.
  EXPECT_EQ(Inputs(A.Slave), 0);

  int Dtr = TIOCM_DTR;
  ASSERT_EQ(::ioctl(A.Slave, TIOCMBIS, &Dtr), 0);
  Control.Set(A.Path, "7 cts dcd\n");
  EXPECT_EQ(Inputs(A.Slave), TIOCM_CTS | TIOCM_CAR);
  EXPECT_TRUE(Lines(A.Slave) & TIOCM_DTR) << "output lines stay as set";
  EXPECT_EQ(Control.Read(A.Path, ".seen"), "7\n");
  EXPECT_EQ(Inputs(B.Slave), 0) << "another device has its own file";

  Control.Set(A.Path, "8 dsr ri");
  EXPECT_EQ(Inputs(A.Slave), TIOCM_DSR | TIOCM_RNG);
  EXPECT_EQ(Control.Read(A.Path, ".seen"), "8\n");
  // A state already seen is not written again: the writer's own reset of the file stays.
  std::ofstream(Control.File(A.Path, ".seen")) << "x";
  EXPECT_EQ(Inputs(A.Slave), TIOCM_DSR | TIOCM_RNG);
  EXPECT_EQ(Control.Read(A.Path, ".seen"), "x");

  Control.Set(A.Path, "9");
  EXPECT_EQ(Inputs(A.Slave), 0);
  EXPECT_EQ(Control.Read(A.Path, ".seen"), "9\n");
}

TEST_F(ModemLineShim, AControlFolderRecordsEverySettingAppliedToThePseudoTerminal) {
  TControlFolder Control;
  ASSERT_TRUE(Control.Ok());
  TPair P;
  ASSERT_GE(P.Slave, 0);
  termios Tio{};
  ASSERT_EQ(::tcgetattr(P.Slave, &Tio), 0);
  ::cfmakeraw(&Tio);
  ::cfsetspeed(&Tio, B38400);
  ASSERT_EQ(::tcsetattr(P.Slave, TCSANOW, &Tio), 0);
  Tio.c_cflag = (Tio.c_cflag & ~CSIZE) | CS7 | PARENB | CSTOPB;
  ::cfsetspeed(&Tio, B19200);
  ASSERT_EQ(::tcsetattr(P.Slave, TCSANOW, &Tio), 0);
  EXPECT_EQ(Control.Read(P.Path, ".termios"), "38400 8N1\n19200 7E2\n");
  // What the kernel refuses is on record too, marked as such.
  EXPECT_EQ(::tcsetattr(P.Slave, TCSANOW + 1000, &Tio), -1);
  EXPECT_EQ(Control.Read(P.Path, ".termios"), "38400 8N1\n19200 7E2\n19200 7E2 refused\n");

  // Only pseudo-terminal slaves are recorded.
  ::tcsetattr(P.Master, TCSANOW, &Tio);
  EXPECT_EQ(Control.Read(P.Path, ".termios"), "38400 8N1\n19200 7E2\n19200 7E2 refused\n");
}

}  // namespace comfind
