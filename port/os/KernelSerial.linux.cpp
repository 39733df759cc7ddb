// The kernel's own serial records, read and written by name: nothing here copies their layout,
// which differs between architectures (termios2 on powerpc, mips, sparc and alpha). Only this
// file includes <asm/termbits.h> and <linux/serial.h>; it must never include <termios.h>.
#include "port/os/KernelSerial.h"

#include <asm/termbits.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <string>
#include <string_view>

namespace comfind {

bool ReadLineCounters(int Fd, TLineCounters& Out) {
  serial_icounter_struct C{};
  if (::ioctl(Fd, TIOCGICOUNT, &C) != 0) return false;
  Out.Cts = static_cast<uint32_t>(C.cts);
  Out.Dsr = static_cast<uint32_t>(C.dsr);
  Out.Rng = static_cast<uint32_t>(C.rng);
  Out.Dcd = static_cast<uint32_t>(C.dcd);
  Out.Frame = static_cast<uint32_t>(C.frame);
  Out.Overrun = static_cast<uint32_t>(C.overrun);
  Out.Parity = static_cast<uint32_t>(C.parity);
  Out.Brk = static_cast<uint32_t>(C.brk);
  Out.BufOverrun = static_cast<uint32_t>(C.buf_overrun);
  return true;
}

namespace {

TLineRecord RecordOf(const termios2& T) {
  TLineRecord Out;
  Out.IFlag = T.c_iflag;
  Out.OFlag = T.c_oflag;
  Out.CFlag = T.c_cflag;
  Out.LFlag = T.c_lflag;
  Out.Line = T.c_line;
  for (size_t I = 0; I < sizeof T.c_cc && I < sizeof Out.CC; ++I)
    Out.CC[I] = T.c_cc[I];
  Out.Rate = T.c_ospeed;
  Out.CustomRate = (T.c_cflag & CBAUD) == BOTHER;
  return Out;
}

}  // namespace

int SetLine(int Fd, const TLineRecord& Record) {
  termios2 T{};
  T.c_iflag = Record.IFlag;
  T.c_oflag = Record.OFlag;
  T.c_cflag = Record.CFlag;
  T.c_lflag = Record.LFlag;
  T.c_line = Record.Line;
  for (size_t I = 0; I < sizeof T.c_cc && I < sizeof Record.CC; ++I)
    T.c_cc[I] = Record.CC[I];
  // The input rate follows the output rate (no CIBAUD bits), as the C library leaves it.
  T.c_cflag &= ~(CBAUD << IBSHIFT);
  if (Record.CustomRate) {
    T.c_cflag &= ~CBAUD;
    T.c_cflag |= BOTHER;
  }
  T.c_ispeed = Record.Rate;
  T.c_ospeed = Record.Rate;
  return ::ioctl(Fd, TCSETS2, &T) == 0 ? 0 : errno;
}

void SaveLine(int Fd, TSavedLine& Out) {
  static_assert(sizeof(termios2) <= sizeof Out.Bytes);
  Out.Valid = ::ioctl(Fd, TCGETS2, reinterpret_cast<termios2*>(Out.Bytes)) == 0;
}

TLineRecord SavedRecord(const TSavedLine& Saved) {
  return RecordOf(*reinterpret_cast<const termios2*>(Saved.Bytes));
}

void RestoreLine(int Fd, const TSavedLine& Saved) {
  if (Saved.Valid) ::ioctl(Fd, TCSETS2, reinterpret_cast<const termios2*>(Saved.Bytes));
}

uint32_t LineRate(int Fd) {
  termios2 T{};
  return ::ioctl(Fd, TCGETS2, &T) == 0 ? T.c_ospeed : 0;
}

bool IsPseudoTerminalSlave(dev_t Device) {
  // The Unix98 slaves (136 to 143) and the old BSD ones (3).
  const unsigned Major = major(Device);
  return (Major >= 136 && Major <= 143) || Major == 3;
}

int CheckTerminalDevice(dev_t Device) {
  const unsigned Major = major(Device), Minor = minor(Device);
  if (Major == 5 || (Major == 4 && Minor < 64)) return ENOTTY;
  // Terminals sysfs does not list anyway: nothing to ask it.
  if (IsPseudoTerminalSlave(Device)) return 0;
  const std::string Link =
      "/sys/dev/char/" + std::to_string(Major) + ":" + std::to_string(Minor) + "/subsystem";
  char Target[PATH_MAX];
  const ssize_t N = ::readlink(Link.c_str(), Target, sizeof Target - 1);
  if (N <= 0) return 0;
  const std::string_view Class(Target, static_cast<size_t>(N));
  const size_t Slash = Class.rfind('/');
  return Class.substr(Slash == std::string_view::npos ? 0 : Slash + 1) == "tty" ? 0 : ENOTTY;
}

}  // namespace comfind
