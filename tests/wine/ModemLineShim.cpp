// LD_PRELOAD library for the Windows stage of the tests: Wine's processes run with it so that a
// pseudo-terminal can stand in for a COM port.
//
// 1. Modem lines. Wine reads and sets the modem lines with TIOCMGET/TIOCMSET/TIOCMBIS/TIOCMBIC.
//    A pseudo-terminal rejects them, and Wine then fails every WaitCommEvent (error 995) and
//    GetCommModemStatus (error 50), so nothing could ever be received. Here, when the kernel
//    rejects one of these on a pseudo-terminal slave, the call is answered as a line without a
//    cable would answer it: DTR and RTS keep what was set, the input lines (CTS, DSR, DCD, RI)
//    read as off, and TIOCMIWAIT waits for a change that cannot come until the line hangs up
//    (EIO) or a signal interrupts it (EINTR), as the kernel's wait ends.
// 2. The machine's own serial devices. Wine maps /dev/ttyS*, ttyUSB* and ttyACM* to COM ports at
//    every start, and /dev/ttyS0 may be the machine's console. The tests must never open them, so
//    for Wine they do not exist (access and open fail with ENOENT).
//
// Every other call goes to the C library unchanged.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <stdarg.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

template <typename F>
F Next(const char* Name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, Name));
}

// Unix98 pseudo-terminal slaves have the majors 136 to 143.
bool IsPtySlave(int Fd, dev_t& Device) {
  struct stat St;
  if (fstat(Fd, &St) != 0 || !S_ISCHR(St.st_mode)) return false;
  const unsigned Major = major(St.st_rdev);
  if (Major < 136 || Major > 143) return false;
  Device = St.st_rdev;
  return true;
}

// The output lines of each pseudo-terminal, shared by every descriptor of it (Wine hands the
// same device to its threads on separate descriptors). A device number that comes back for a
// new pseudo-terminal inherits old DTR/RTS bits; nothing reads them back but the shim's own
// TIOCMGET, and Windows' GetCommModemStatus reports input lines only.
constexpr int OutputLines = TIOCM_DTR | TIOCM_RTS;
struct TDeviceLines {
  dev_t Device;
  int Bits;
};
constexpr int MaxDevices = 256;
TDeviceLines Devices[MaxDevices];
int DeviceCount = 0;
int NextReuse = 0;
pthread_mutex_t DevicesLock = PTHREAD_MUTEX_INITIALIZER;

// Caller holds DevicesLock.
int& LinesOf(dev_t Device) {
  for (int I = 0; I < DeviceCount; ++I)
    if (Devices[I].Device == Device) return Devices[I].Bits;
  int Slot;
  if (DeviceCount < MaxDevices) {
    Slot = DeviceCount++;
  } else {
    Slot = NextReuse;
    NextReuse = (NextReuse + 1) % MaxDevices;
  }
  Devices[Slot] = {Device, 0};
  return Devices[Slot].Bits;
}

// A pseudo-terminal's input lines never change; the wait ends only when the line goes.
int WaitForHangUp(int Fd) {
  pollfd P{Fd, 0, 0};
  for (;;) {
    const int R = poll(&P, 1, -1);
    if (R < 0) return -1;  // EINTR: a signal ends the wait, as it ends the kernel's
    if (P.revents & (POLLHUP | POLLERR | POLLNVAL)) {
      errno = EIO;
      return -1;
    }
  }
}

int ModemLines(int Fd, unsigned long Request, int* Arg) {
  dev_t Device;
  if (!IsPtySlave(Fd, Device)) return -2;
  if (Request == TIOCMIWAIT) return WaitForHangUp(Fd);
  if (!Arg) {
    errno = EFAULT;
    return -1;
  }
  pthread_mutex_lock(&DevicesLock);
  int& Bits = LinesOf(Device);
  switch (Request) {
    case TIOCMGET:
      *Arg = Bits;
      break;
    case TIOCMSET:
      Bits = *Arg & OutputLines;
      break;
    case TIOCMBIS:
      Bits |= *Arg & OutputLines;
      break;
    case TIOCMBIC:
      Bits &= ~(*Arg & OutputLines);
      break;
  }
  pthread_mutex_unlock(&DevicesLock);
  return 0;
}

bool IsMachineSerialDevice(const char* Path) {
  if (!Path) return false;
  static const char* const Prefixes[] = {"/dev/ttyS", "/dev/ttyUSB", "/dev/ttyACM"};
  for (const char* Prefix : Prefixes) {
    const size_t N = strlen(Prefix);
    if (strncmp(Path, Prefix, N) == 0 && Path[N] >= '0' && Path[N] <= '9') return true;
  }
  return false;
}

bool TakesMode(int Flags) {
  return (Flags & O_CREAT) || (Flags & O_TMPFILE) == O_TMPFILE;
}

}  // namespace

extern "C" {

int ioctl(int Fd, unsigned long Request, ...) {
  va_list Args;
  va_start(Args, Request);
  void* Arg = va_arg(Args, void*);
  va_end(Args);
  static const auto Real = Next<int (*)(int, unsigned long, ...)>("ioctl");
  const int R = Real(Fd, Request, Arg);
  if (R == 0 || (errno != ENOTTY && errno != EINVAL)) return R;
  if (Request != TIOCMGET && Request != TIOCMSET && Request != TIOCMBIS && Request != TIOCMBIC &&
      Request != TIOCMIWAIT)
    return R;
  const int Saved = errno;
  const int Emulated = ModemLines(Fd, Request, static_cast<int*>(Arg));
  if (Emulated == -2) errno = Saved;
  return Emulated == -2 ? R : Emulated;
}

int access(const char* Path, int Mode) {
  if (IsMachineSerialDevice(Path)) {
    errno = ENOENT;
    return -1;
  }
  static const auto Real = Next<int (*)(const char*, int)>("access");
  return Real(Path, Mode);
}

int open(const char* Path, int Flags, ...) {
  mode_t Mode = 0;
  if (TakesMode(Flags)) {
    va_list Args;
    va_start(Args, Flags);
    Mode = va_arg(Args, mode_t);
    va_end(Args);
  }
  if (IsMachineSerialDevice(Path)) {
    errno = ENOENT;
    return -1;
  }
  static const auto Real = Next<int (*)(const char*, int, ...)>("open");
  return Real(Path, Flags, Mode);
}

int open64(const char* Path, int Flags, ...) {
  mode_t Mode = 0;
  if (TakesMode(Flags)) {
    va_list Args;
    va_start(Args, Flags);
    Mode = va_arg(Args, mode_t);
    va_end(Args);
  }
  if (IsMachineSerialDevice(Path)) {
    errno = ENOENT;
    return -1;
  }
  static const auto Real = Next<int (*)(const char*, int, ...)>("open64");
  return Real(Path, Flags, Mode);
}

int openat(int Dir, const char* Path, int Flags, ...) {
  mode_t Mode = 0;
  if (TakesMode(Flags)) {
    va_list Args;
    va_start(Args, Flags);
    Mode = va_arg(Args, mode_t);
    va_end(Args);
  }
  if (IsMachineSerialDevice(Path)) {
    errno = ENOENT;
    return -1;
  }
  static const auto Real = Next<int (*)(int, const char*, int, ...)>("openat");
  return Real(Dir, Path, Flags, Mode);
}

}  // extern "C"
