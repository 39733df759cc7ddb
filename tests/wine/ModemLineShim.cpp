// LD_PRELOAD library that lets a pseudo-terminal stand in for a serial line with modem lines.
// The Windows stage runs Wine's processes with it; the virtual-machine stage runs QEMU with it,
// which polls the modem lines of the host tty behind an emulated UART with TIOCMGET.
//
// 1. Modem lines. Wine reads and sets the modem lines with TIOCMGET/TIOCMSET/TIOCMBIS/TIOCMBIC.
//    A pseudo-terminal rejects them, and Wine then fails every WaitCommEvent (error 995) and
//    GetCommModemStatus (error 50), so nothing could ever be received. Here, when the kernel
//    rejects one of these on a pseudo-terminal slave, the call is answered as a line without a
//    cable would answer it: DTR and RTS keep what was set, the input lines (CTS, DSR, DCD, RI)
//    read as off, and TIOCMIWAIT waits for a change that cannot come until the line hangs up
//    (EIO) or a signal interrupts it (EINTR), as the kernel's wait ends.
//    With COMFIND_MODEM_LINES set to a folder, the input lines of pseudo-terminal /dev/pts/N
//    come from the file N in it instead: "GEN WORD...", where GEN is any number the writer
//    changes with every new state and the words are cts, dsr, dcd and ri (the file absent: all
//    off). The writer replaces the file whole (rename), so no half-written state is read. When
//    a TIOCMGET first hands out a new GEN, the library writes GEN into N.seen: the writer can
//    wait until the reader has seen one state before it sets the next (a ring is a pulse, and
//    a state that nobody read never happened). Each tcsetattr on such a pseudo-terminal adds
//    "RATE 8N1" to N.termios, or "RATE 8E1 refused" when the kernel refused it (some refuse
//    parity on a pseudo-terminal), so every setting the reader asked for is on record, not
//    only the last one that held.
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
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

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

// The N of /dev/pts/N.
unsigned PtyIndex(dev_t Device) {
  return (major(Device) - 136) * 256 + minor(Device);
}

// The folder of the controlled input lines, or null.
const char* ControlFolder() {
  const char* Folder = getenv("COMFIND_MODEM_LINES");
  return Folder && *Folder ? Folder : nullptr;
}

std::string ControlFile(const char* Folder, dev_t Device, const char* Suffix) {
  return std::string(Folder) + "/" + std::to_string(PtyIndex(Device)) + Suffix;
}

// Reads "GEN WORD..." from the control file; false when there is none (all lines off).
bool ReadControl(const std::string& Path, long long& Gen, int& Bits) {
  static const auto RealOpen = Next<int (*)(const char*, int, ...)>("open");
  const int Fd = RealOpen(Path.c_str(), O_RDONLY | O_CLOEXEC);
  if (Fd < 0) return false;
  char Text[256];
  const ssize_t N = read(Fd, Text, sizeof Text - 1);
  close(Fd);
  if (N <= 0) return false;
  Text[N] = 0;
  char* Word = nullptr;
  char* Rest = Text;
  Gen = strtoll(Text, &Rest, 10);
  Bits = 0;
  while ((Word = strtok_r(Rest, " \t\r\n", &Rest))) {
    if (!strcmp(Word, "cts")) Bits |= TIOCM_CTS;
    if (!strcmp(Word, "dsr")) Bits |= TIOCM_DSR;
    if (!strcmp(Word, "dcd")) Bits |= TIOCM_CAR;
    if (!strcmp(Word, "ri")) Bits |= TIOCM_RNG;
  }
  return true;
}

// Replaces the file at Path with Text (written beside it, then renamed over it).
void WriteWhole(const std::string& Path, const std::string& Text) {
  static const auto RealOpen = Next<int (*)(const char*, int, ...)>("open");
  const std::string Temp = Path + ".new";
  const int Fd = RealOpen(Temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (Fd < 0) return;
  const bool Ok = write(Fd, Text.data(), Text.size()) == static_cast<ssize_t>(Text.size());
  close(Fd);
  if (Ok) rename(Temp.c_str(), Path.c_str());
}

// The generation last handed out per device, so that each is acknowledged once.
struct TSeen {
  dev_t Device;
  long long Gen;
};
TSeen Seen[MaxDevices];
int SeenCount = 0;

// Caller holds DevicesLock.
int ControlledInputLines(const char* Folder, dev_t Device) {
  long long Gen = 0;
  int Bits = 0;
  if (!ReadControl(ControlFile(Folder, Device, ""), Gen, Bits)) return 0;
  int Slot = 0;
  while (Slot < SeenCount && Seen[Slot].Device != Device)
    ++Slot;
  if (Slot == SeenCount) {
    if (SeenCount == MaxDevices) return Bits;
    Seen[SeenCount++] = {Device, Gen - 1};
  }
  if (Seen[Slot].Gen != Gen) {
    Seen[Slot].Gen = Gen;
    WriteWhole(ControlFile(Folder, Device, ".seen"), std::to_string(Gen) + "\n");
  }
  return Bits;
}

unsigned SpeedValue(speed_t Speed) {
  static const struct {
    speed_t Code;
    unsigned Rate;
  } Rates[] = {{B50, 50},         {B75, 75},         {B110, 110},       {B134, 134},
               {B150, 150},       {B200, 200},       {B300, 300},       {B600, 600},
               {B1200, 1200},     {B1800, 1800},     {B2400, 2400},     {B4800, 4800},
               {B9600, 9600},     {B19200, 19200},   {B38400, 38400},   {B57600, 57600},
               {B115200, 115200}, {B230400, 230400}, {B460800, 460800}, {B921600, 921600}};
  for (const auto& R : Rates)
    if (R.Code == Speed) return R.Rate;
  return 0;
}

// Appends the settings just asked for to N.termios.
void RecordSettings(const char* Folder, dev_t Device, const termios& Tio, bool Refused) {
  static const auto RealOpen = Next<int (*)(const char*, int, ...)>("open");
  const int Bits = (Tio.c_cflag & CSIZE) == CS5   ? 5
                   : (Tio.c_cflag & CSIZE) == CS6 ? 6
                   : (Tio.c_cflag & CSIZE) == CS7 ? 7
                                                  : 8;
  const char Parity = !(Tio.c_cflag & PARENB) ? 'N' : (Tio.c_cflag & PARODD) ? 'O' : 'E';
  char Line[64];
  const int N = snprintf(Line, sizeof Line, "%u %d%c%d%s\n", SpeedValue(cfgetospeed(&Tio)), Bits,
                         Parity, (Tio.c_cflag & CSTOPB) ? 2 : 1, Refused ? " refused" : "");
  const std::string Path = ControlFile(Folder, Device, ".termios");
  const int Fd = RealOpen(Path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (Fd < 0) return;
  [[maybe_unused]] ssize_t Written = write(Fd, Line, static_cast<size_t>(N));
  close(Fd);
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
      if (const char* Folder = ControlFolder()) *Arg |= ControlledInputLines(Folder, Device);
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

int tcsetattr(int Fd, int Action, const struct termios* Tio) {
  static const auto Real = Next<int (*)(int, int, const struct termios*)>("tcsetattr");
  const int R = Real(Fd, Action, Tio);
  const char* Folder = ControlFolder();
  dev_t Device;
  if (Folder && Tio && IsPtySlave(Fd, Device)) {
    const int Saved = errno;
    RecordSettings(Folder, Device, *Tio, R != 0);
    errno = Saved;
  }
  return R;
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
