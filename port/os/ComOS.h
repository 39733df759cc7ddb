// The operating-system layer of the serial port: one interface shaped after the Win32 calls the
// port makes, so the port code reads like the algorithm it implements and every platform detail
// stays behind this seam. Implementations:
//   - TWin32ComOS (ComOS.win32.cpp): a thin pass-through to kernel32;
//   - TPosixComOS (PosixComOS.h, ComOS.posix.cpp and its neighbours): termios, poll and
//     eventfd, on Linux;
//   - TSimComOS (SimComOS.h): an in-memory device for tests.
//
// Every call that fails leaves an error number for the calling thread, read with
// GetLastError(), as Win32 does. Numbers are the platform's own (Win32 error codes on Windows,
// errno values on POSIX), except ERROR_IO_PENDING, which every implementation uses to say that
// an overlapped operation is still running.
// On POSIX the numbers to expect are ENOENT (2) for a missing device, EBUSY for a device that
// another opener holds, ENOTTY for a file that is no serial port, EINVAL or ENAMETOOLONG for a
// refused name, EIO once the device has vanished, and ECANCELED for a transfer or wait ended by
// PurgeComm or CloseHandle.
//
// A device that vanishes (a USB adapter pulled out, the far end of a pseudo-terminal closed)
// fails every later call on its handle except CloseHandle, with EIO on POSIX and the error the
// simulated device was told. In the POSIX layer and the simulated device the loss is first told
// once to a handle whose event mask holds EV_ERR_: its pending WaitCommEvent, or else the next
// one, completes with EV_ERR_, and the next ClearCommError succeeds with CE_IOE_ in the error
// word and nothing queued. Without EV_ERR_ in the mask the pending wait fails instead, and a
// wait on its record's event returns WAIT_FAILED_ at once, so that no waiting thread spins. (On
// Windows the driver decides; a removed adapter's driver fails the pending wait.)
//
// Calls may come from several threads at once (the main thread's reads and writes and the event
// thread's wait on the same handle); implementations are thread-safe.
#pragma once

#include <cstdint>
#include <string>

namespace comfind {

using THandle = intptr_t;
constexpr THandle INVALID_HANDLE_VALUE_ = -1;

// Error numbers the port code looks at.
constexpr uint32_t ERROR_IO_PENDING_ = 997;

// WaitForMultipleObjects / WaitForSingleObject results and the endless wait.
constexpr uint32_t WAIT_OBJECT_0_ = 0;
constexpr uint32_t WAIT_TIMEOUT_ = 258;
constexpr uint32_t WAIT_FAILED_ = 0xFFFFFFFF;
constexpr uint32_t INFINITE_ = 0xFFFFFFFF;

// CreateFileA arguments the port uses.
constexpr uint32_t GENERIC_READ_WRITE_ = 0xC0000000;
constexpr uint32_t OPEN_EXISTING_ = 3;
constexpr uint32_t FILE_FLAG_OVERLAPPED_ = 0x40000000;

// PurgeComm flags.
constexpr uint32_t PURGE_TXABORT_ = 0x0001;
constexpr uint32_t PURGE_RXABORT_ = 0x0002;
constexpr uint32_t PURGE_TXCLEAR_ = 0x0004;
constexpr uint32_t PURGE_RXCLEAR_ = 0x0008;

// Comm event mask bits.
constexpr uint32_t EV_RXCHAR_ = 0x0001;
constexpr uint32_t EV_RXFLAG_ = 0x0002;
constexpr uint32_t EV_TXEMPTY_ = 0x0004;
constexpr uint32_t EV_CTS_ = 0x0008;
constexpr uint32_t EV_DSR_ = 0x0010;
constexpr uint32_t EV_RLSD_ = 0x0020;
constexpr uint32_t EV_BREAK_ = 0x0040;
constexpr uint32_t EV_ERR_ = 0x0080;
constexpr uint32_t EV_RING_ = 0x0100;
constexpr uint32_t EV_PERR_ = 0x0200;
constexpr uint32_t EV_RX80FULL_ = 0x0400;

// ClearCommError error word bits.
constexpr uint32_t CE_RXOVER_ = 0x0001;
constexpr uint32_t CE_OVERRUN_ = 0x0002;
constexpr uint32_t CE_RXPARITY_ = 0x0004;
constexpr uint32_t CE_FRAME_ = 0x0008;
constexpr uint32_t CE_BREAK_ = 0x0010;
constexpr uint32_t CE_TXFULL_ = 0x0100;
constexpr uint32_t CE_IOE_ = 0x0400;
constexpr uint32_t CE_MODE_ = 0x8000;

// GetCommModemStatus bits.
constexpr uint32_t MS_CTS_ON_ = 0x0010;
constexpr uint32_t MS_DSR_ON_ = 0x0020;
constexpr uint32_t MS_RING_ON_ = 0x0040;
constexpr uint32_t MS_RLSD_ON_ = 0x0080;

// DCB flag-word bits.
constexpr uint32_t DCB_BINARY_ = 0x0001;
constexpr uint32_t DCB_PARITY_ = 0x0002;
constexpr uint32_t DCB_OUTX_CTS_FLOW_ = 0x0004;
constexpr uint32_t DCB_OUTX_DSR_FLOW_ = 0x0008;
constexpr uint32_t DCB_DTR_CONTROL_MASK_ = 0x0030;
constexpr uint32_t DCB_DTR_CONTROL_ENABLE_ = 0x0010;
constexpr uint32_t DCB_DTR_CONTROL_HANDSHAKE_ = 0x0020;
constexpr uint32_t DCB_DSR_SENSITIVITY_ = 0x0040;
constexpr uint32_t DCB_TX_CONTINUE_ON_XOFF_ = 0x0080;
constexpr uint32_t DCB_OUTX_ = 0x0100;
constexpr uint32_t DCB_INX_ = 0x0200;
constexpr uint32_t DCB_ERROR_CHAR_ = 0x0400;
constexpr uint32_t DCB_NULL_ = 0x0800;
constexpr uint32_t DCB_RTS_CONTROL_MASK_ = 0x3000;
constexpr uint32_t DCB_RTS_CONTROL_ENABLE_ = 0x1000;
constexpr uint32_t DCB_RTS_CONTROL_HANDSHAKE_ = 0x2000;
constexpr uint32_t DCB_RTS_CONTROL_TOGGLE_ = 0x3000;
constexpr uint32_t DCB_ABORT_ON_ERROR_ = 0x4000;

// The device control block, field for field as Win32 lays it out (28 bytes); Flags is the
// bit-field word.
struct TDCB {
  uint32_t DCBlength = 28;
  uint32_t BaudRate = 0;
  uint32_t Flags = 0;
  uint16_t wReserved = 0;
  uint16_t XonLim = 0;
  uint16_t XoffLim = 0;
  uint8_t ByteSize = 0;
  uint8_t Parity = 0;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
  uint8_t StopBits = 0;  // 0 one, 1 one and a half, 2 two
  char XonChar = 0;
  char XoffChar = 0;
  char ErrorChar = 0;
  char EofChar = 0;
  char EvtChar = 0;
  uint16_t wReserved1 = 0;
};
static_assert(sizeof(TDCB) == 28);

struct TCommTimeouts {
  uint32_t ReadIntervalTimeout = 0;
  uint32_t ReadTotalTimeoutMultiplier = 0;
  uint32_t ReadTotalTimeoutConstant = 0;
  uint32_t WriteTotalTimeoutMultiplier = 0;
  uint32_t WriteTotalTimeoutConstant = 0;
};

struct TComStat {
  uint32_t Flags = 0;
  uint32_t cbInQue = 0;
  uint32_t cbOutQue = 0;
};

// An overlapped record, laid out like Win32's OVERLAPPED so the Win32 layer can pass it
// straight through. Internal and InternalHigh belong to the layer; hEvent is an event made by
// CreateEventA that the layer signals when the operation completes.
struct TOverlapped {
  uintptr_t Internal = 0;
  uintptr_t InternalHigh = 0;
  uint32_t Offset = 0;
  uint32_t OffsetHigh = 0;
  THandle hEvent = 0;
};

// What a failed call means to whoever tried to use the port, told from its error number.
enum TComFault : uint8_t {
  cfOther,    // anything else: the system's message for the number says what
  cfMissing,  // there is no such device (never was, or unplugged before the open)
  cfBusy,     // another program has the device open
  cfDenied,   // this user may not open the device
  cfVanished  // the device went away while it was open (unplugged, hung up)
};

class TComOS {
 public:
  virtual ~TComOS() = default;

  // The platform's implementation, shared by every port unless a port is given another one.
  static TComOS& Default();

  // Opens a device by its Win32 name ("\\.\COM7"). INVALID_HANDLE_VALUE_ on failure.
  virtual THandle CreateFileA(const std::string& FileName, uint32_t DesiredAccess,
                              uint32_t ShareMode, uint32_t CreationDisposition,
                              uint32_t FlagsAndAttributes) = 0;
  // Closes a device or an event.
  virtual bool CloseHandle(THandle Handle) = 0;

  virtual bool SetupComm(THandle Handle, uint32_t InQueue, uint32_t OutQueue) = 0;
  virtual bool SetCommState(THandle Handle, const TDCB& DCB) = 0;
  virtual bool SetCommTimeouts(THandle Handle, const TCommTimeouts& Timeouts) = 0;
  // Setting the mask also ends a pending WaitCommEvent (its result mask is then 0).
  virtual bool SetCommMask(THandle Handle, uint32_t EvtMask) = 0;
  // Overlapped: returns false with ERROR_IO_PENDING while the wait runs; the mask is written
  // to *EvtMask and Overlapped->hEvent signalled when an event of the mask occurs.
  virtual bool WaitCommEvent(THandle Handle, uint32_t* EvtMask, TOverlapped* Overlapped) = 0;
  virtual bool ReadFile(THandle Handle, void* Buffer, uint32_t Count, uint32_t* Read,
                        TOverlapped* Overlapped) = 0;
  virtual bool WriteFile(THandle Handle, const void* Buffer, uint32_t Count, uint32_t* Written,
                         TOverlapped* Overlapped) = 0;
  virtual bool GetOverlappedResult(THandle Handle, TOverlapped* Overlapped, uint32_t* Transferred,
                                   bool Wait) = 0;
  // Whether the operation last started on the record has ended (Win32's macro
  // HasOverlappedIoCompleted, hence the underscore): only then may the record's memory go. A
  // record nothing was started on counts as ended.
  virtual bool HasOverlappedIoCompleted_(const TOverlapped* Overlapped) = 0;
  virtual bool PurgeComm(THandle Handle, uint32_t Flags) = 0;
  virtual bool ClearCommError(THandle Handle, uint32_t* Errors, TComStat* Stat) = 0;
  virtual bool GetCommModemStatus(THandle Handle, uint32_t* ModemStat) = 0;

  // Events (unnamed).
  virtual THandle CreateEventA(bool ManualReset, bool InitialState) = 0;
  virtual bool SetEvent(THandle Event) = 0;
  virtual bool ResetEvent(THandle Event) = 0;
  // Returns WAIT_OBJECT_0_ + index of the first signalled handle (the lowest index wins when
  // several are), WAIT_TIMEOUT_, or WAIT_FAILED_. Waits on any one handle (never "all").
  virtual uint32_t WaitForMultipleObjects(uint32_t Count, const THandle* Handles,
                                          uint32_t Milliseconds) = 0;
  virtual uint32_t WaitForSingleObject(THandle Handle, uint32_t Milliseconds) = 0;
  virtual void Sleep(uint32_t Milliseconds) = 0;

  // The calling thread's last error number.
  virtual uint32_t GetLastError() = 0;
  virtual void SetLastError(uint32_t Error) = 0;

  // What an error number left by this layer means. Opened: the number comes from a call on a
  // device that was open (a device missing then has vanished, and so has one whose driver now
  // refuses every call). The platform's own numbers by default.
  virtual TComFault ClassifyError(uint32_t Error, bool Opened) const;
};

// The meaning of a Win32 error number (what the Windows layer and the simulated device leave).
TComFault ClassifyWin32Error(uint32_t Error, bool Opened);

// The operating system's own text for an error number (strerror on POSIX, FormatMessage on
// Windows), without a trailing line end.
std::string SysErrorMessage(uint32_t Error);

}  // namespace comfind
