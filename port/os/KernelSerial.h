// What the POSIX layer asks of the Linux kernel beyond termios: the line counters, rates
// without a Bxxx constant, and whether a device is a terminal at all. The one file that
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

// Sets a rate that has no Bxxx constant through the kernel's termios2 (BOTHER), keeping every
// other setting the device has. 0, or the errno of the failure.
int SetCustomRate(int Fd, uint32_t Rate);

// The settings a device had when the layer took it, to be put back as they were when it lets
// it go (another program, a getty, finds the port as it left it).
struct TSavedLine {
  alignas(8) unsigned char Bytes[128] = {};
  bool Valid = false;
};
void SaveLine(int Fd, TSavedLine& Out);
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

}  // namespace comfind
