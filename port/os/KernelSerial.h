// What the POSIX layer asks of the Linux kernel beyond termios: the line counters, the whole
// line settings with rates that have no Bxxx constant, and whether a device is a terminal at
// all. The one file that
// includes the kernel's serial headers implements it (KernelSerial.linux.cpp): <asm/termbits.h>
// clashes with the C library's <termios.h>, so this header speaks in plain numbers and the two
// never meet in one translation unit.
#pragma once

#include <sys/types.h>

#include <cstdint>

#include "port/os/LineEvents.h"

namespace comfind {

// The driver's counters (TIOCGICOUNT); false when it keeps none (pseudo-terminals) or the
// call fails.
bool ReadLineCounters(int Fd, TLineCounters& Out);

// A whole set of line settings in the kernel's terms (termios2). The flags and control
// characters are the C library's termios values, which on Linux are the kernel's.
struct TLineRecord {
  uint32_t IFlag = 0;
  uint32_t OFlag = 0;
  uint32_t CFlag = 0;  // with the rate bits of a standard rate
  uint32_t LFlag = 0;
  uint8_t Line = 0;
  uint8_t CC[32] = {};
  uint32_t Rate = 0;        // in bits per second
  bool CustomRate = false;  // no Bxxx constant: the rate bits become BOTHER and Rate is set
};
// Sets the whole record in one call (TCSETS2), a non-standard rate included, so the line never
// passes through an intermediate setting; on failure the device keeps what it had. 0, or the
// errno of the failure.
int SetLine(int Fd, const TLineRecord& Record);

// The settings a device had when the layer took it, to be put back as they were when it lets
// it go (another program, a getty, finds the port as it left it).
struct TSavedLine {
  alignas(8) unsigned char Bytes[128] = {};
  bool Valid = false;
};
void SaveLine(int Fd, TSavedLine& Out);
// The saved settings as a record (valid ones only), to build the first settings on without
// reading them again.
TLineRecord SavedRecord(const TSavedLine& Saved);
void RestoreLine(int Fd, const TSavedLine& Saved);

// The device's output rate in bits per second as the kernel holds it (also a non-standard
// one); 0 when it cannot be read.
uint32_t LineRate(int Fd);

// Whether a character device may be opened as a serial port, judged without opening it: 0, or
// ENOTTY. Opening some devices acts by itself (a watchdog starts counting), so sysfs is asked
// for the device's class first; devices sysfs does not list (pseudo-terminal slaves) are left
// to the isatty check after the open. The controlling terminal, the consoles and the
// pseudo-terminal multiplexer are terminals but no ports: putting them into raw mode would
// take the user's own terminal.
int CheckTerminalDevice(dev_t Device);

// Whether a character device is the slave of a pseudo-terminal. Its writes go straight into
// the master's input, so it never has output queued (TIOCOUTQ is always 0).
bool IsPseudoTerminalSlave(dev_t Device);

}  // namespace comfind
