// Pure translations used by the POSIX layer: a Win32 device name onto a device path, and the
// device control block onto termios and the modem-control lines. No device is touched here, so
// each is tested on its own. (The timeouts' plan is in TransferQueue.h, shared with the
// simulated device.)
#pragma once

#include "port/os/ComOS.h"
#include "port/os/KernelSerial.h"

#include <termios.h>

#include <cstdint>
#include <string>

namespace comfind {

// The device path for a name that CreateFileA was given: the "\\.\" prefix dropped, a name
// that starts with "/" taken as it stands, any other put under "/dev/". Returns 0, EINVAL for
// a name that could reach outside what was named (empty, a "." or ".." component, a backslash,
// control or non-ASCII characters) or ENAMETOOLONG; Path is set only on success.
int DevicePath(const std::string& FileName, std::string& Path);

// Raw mode for a serial line: no line editing, echo, signals, translation or output
// processing, input enabled, modem lines not consulted; VMIN 1 / VTIME 0 so that a
// non-blocking read returns EAGAIN when nothing is there and 0 only at a hang-up.
void MakeRaw(termios& Tio);

// What SetCommState has to do to a terminal device for one DCB.
struct TLineSettings {
  termios Tio{};             // the full settings, raw, with a standard rate where there is one
  uint32_t Rate = 0;         // the rate asked for, in bits per second
  bool CustomRate = false;   // no Bxxx constant: the rate must be set with the kernel's BOTHER
  bool DTR = false;          // level to drive on DTR
  bool RTS = false;          // level to drive on RTS (when not handed to CRTSCTS)
  bool RTSByKernel = false;  // RTS belongs to the kernel's hardware flow control
  bool DiscardNull = false;  // drop received NUL bytes (done by the reader, termios cannot)
};

// Maps DCB onto Out. Returns 0, or EINVAL for a block that no device could take (rate 0,
// data bits outside 5..8, unknown parity or stop bits, the same XON and XOFF character with
// XON/XOFF in use). Base supplies the settings that a DCB does not speak of (c_line and the
// unused control characters); pass the device's current settings or a zeroed termios.
int DcbToLineSettings(const TDCB& DCB, const termios& Base, TLineSettings& Out);

// The kernel's record as the C library's termios (the base DcbToLineSettings takes), and the
// settings of a DCB as the kernel's record, to be set in one call: a rate without a Bxxx
// constant travels in the record itself, not through a placeholder rate set first.
termios TermiosFromRecord(const TLineRecord& Record);
TLineRecord RecordFromSettings(const TLineSettings& Settings);

// The Bxxx constant for a rate, or 0 when there is none.
speed_t StandardSpeed(uint32_t Rate);

}  // namespace comfind
