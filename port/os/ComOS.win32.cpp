// TWin32ComOS: the operating-system layer on Windows, a thin pass-through to kernel32. The
// layer's records and constants were laid out after Win32's, so the calls hand them straight on;
// the static_asserts below keep that promise honest.
#include "port/os/ComOS.h"

#include <windows.h>

#include <cstddef>
#include <cstring>
#include <string>

namespace comfind {

static_assert(sizeof(TOverlapped) == sizeof(OVERLAPPED));
static_assert(offsetof(TOverlapped, Internal) == offsetof(OVERLAPPED, Internal));
static_assert(offsetof(TOverlapped, InternalHigh) == offsetof(OVERLAPPED, InternalHigh));
static_assert(offsetof(TOverlapped, Offset) == offsetof(OVERLAPPED, Offset));
static_assert(offsetof(TOverlapped, OffsetHigh) == offsetof(OVERLAPPED, OffsetHigh));
static_assert(offsetof(TOverlapped, hEvent) == offsetof(OVERLAPPED, hEvent));
static_assert(sizeof(TDCB) == sizeof(DCB));
static_assert(offsetof(TDCB, BaudRate) == offsetof(DCB, BaudRate));
static_assert(offsetof(TDCB, XonLim) == offsetof(DCB, XonLim));
static_assert(offsetof(TDCB, ByteSize) == offsetof(DCB, ByteSize));
static_assert(offsetof(TDCB, XonChar) == offsetof(DCB, XonChar));
static_assert(offsetof(TDCB, EvtChar) == offsetof(DCB, EvtChar));
static_assert(sizeof(TComStat) == sizeof(COMSTAT));
static_assert(sizeof(TCommTimeouts) == sizeof(COMMTIMEOUTS));
static_assert(ERROR_IO_PENDING_ == ERROR_IO_PENDING);
static_assert(WAIT_TIMEOUT_ == WAIT_TIMEOUT && WAIT_FAILED_ == WAIT_FAILED);
static_assert(INFINITE_ == INFINITE);
static_assert(GENERIC_READ_WRITE_ == (GENERIC_READ | GENERIC_WRITE));
static_assert(OPEN_EXISTING_ == OPEN_EXISTING && FILE_FLAG_OVERLAPPED_ == FILE_FLAG_OVERLAPPED);
static_assert(PURGE_TXABORT_ == PURGE_TXABORT && PURGE_RXABORT_ == PURGE_RXABORT &&
              PURGE_TXCLEAR_ == PURGE_TXCLEAR && PURGE_RXCLEAR_ == PURGE_RXCLEAR);
static_assert(EV_RXCHAR_ == EV_RXCHAR && EV_RXFLAG_ == EV_RXFLAG && EV_TXEMPTY_ == EV_TXEMPTY &&
              EV_CTS_ == EV_CTS && EV_DSR_ == EV_DSR && EV_RLSD_ == EV_RLSD &&
              EV_BREAK_ == EV_BREAK && EV_ERR_ == EV_ERR && EV_RING_ == EV_RING &&
              EV_PERR_ == EV_PERR && EV_RX80FULL_ == EV_RX80FULL);
static_assert(CE_RXOVER_ == CE_RXOVER && CE_OVERRUN_ == CE_OVERRUN && CE_RXPARITY_ == CE_RXPARITY &&
              CE_FRAME_ == CE_FRAME && CE_BREAK_ == CE_BREAK && CE_TXFULL_ == CE_TXFULL &&
              CE_IOE_ == CE_IOE && CE_MODE_ == CE_MODE);
static_assert(MS_CTS_ON_ == MS_CTS_ON && MS_DSR_ON_ == MS_DSR_ON && MS_RING_ON_ == MS_RING_ON &&
              MS_RLSD_ON_ == MS_RLSD_ON);

namespace {

HANDLE H(THandle Handle) {
  return reinterpret_cast<HANDLE>(Handle);
}
OVERLAPPED* Ov(TOverlapped* Overlapped) {
  return reinterpret_cast<OVERLAPPED*>(Overlapped);
}

class TWin32ComOS final : public TComOS {
 public:
  THandle CreateFileA(const std::string& FileName, uint32_t DesiredAccess, uint32_t ShareMode,
                      uint32_t CreationDisposition, uint32_t FlagsAndAttributes) override {
    HANDLE R = ::CreateFileA(FileName.c_str(), DesiredAccess, ShareMode, nullptr,
                             CreationDisposition, FlagsAndAttributes, nullptr);
    return R == INVALID_HANDLE_VALUE ? INVALID_HANDLE_VALUE_ : reinterpret_cast<THandle>(R);
  }
  bool CloseHandle(THandle Handle) override { return ::CloseHandle(H(Handle)); }
  bool SetupComm(THandle Handle, uint32_t InQueue, uint32_t OutQueue) override {
    return ::SetupComm(H(Handle), InQueue, OutQueue);
  }
  bool SetCommState(THandle Handle, const TDCB& Dcb) override {
    DCB D;
    static_assert(sizeof D == sizeof Dcb);
    std::memcpy(&D, &Dcb, sizeof D);
    return ::SetCommState(H(Handle), &D);
  }
  bool SetCommTimeouts(THandle Handle, const TCommTimeouts& Timeouts) override {
    COMMTIMEOUTS T{Timeouts.ReadIntervalTimeout, Timeouts.ReadTotalTimeoutMultiplier,
                   Timeouts.ReadTotalTimeoutConstant, Timeouts.WriteTotalTimeoutMultiplier,
                   Timeouts.WriteTotalTimeoutConstant};
    return ::SetCommTimeouts(H(Handle), &T);
  }
  bool SetCommMask(THandle Handle, uint32_t EvtMask) override {
    return ::SetCommMask(H(Handle), EvtMask);
  }
  bool WaitCommEvent(THandle Handle, uint32_t* EvtMask, TOverlapped* Overlapped) override {
    DWORD* Mask = reinterpret_cast<DWORD*>(EvtMask);
    static_assert(sizeof(DWORD) == sizeof(uint32_t));
    return ::WaitCommEvent(H(Handle), Mask, Ov(Overlapped));
  }
  bool ReadFile(THandle Handle, void* Buffer, uint32_t Count, uint32_t* Read,
                TOverlapped* Overlapped) override {
    DWORD N = 0;
    BOOL R = ::ReadFile(H(Handle), Buffer, Count, &N, Ov(Overlapped));
    if (Read) *Read = N;
    return R;
  }
  bool WriteFile(THandle Handle, const void* Buffer, uint32_t Count, uint32_t* Written,
                 TOverlapped* Overlapped) override {
    DWORD N = 0;
    BOOL R = ::WriteFile(H(Handle), Buffer, Count, &N, Ov(Overlapped));
    if (Written) *Written = N;
    return R;
  }
  bool GetOverlappedResult(THandle Handle, TOverlapped* Overlapped, uint32_t* Transferred,
                           bool Wait) override {
    DWORD N = 0;
    BOOL R = ::GetOverlappedResult(H(Handle), Ov(Overlapped), &N, Wait);
    if (Transferred) *Transferred = N;
    return R;
  }
  bool HasOverlappedIoCompleted_(const TOverlapped* Overlapped) override {
    // The system writes Internal when the operation ends; read it as the macro does.
    return *static_cast<const volatile uintptr_t*>(&Overlapped->Internal) != STATUS_PENDING;
  }
  bool PurgeComm(THandle Handle, uint32_t Flags) override { return ::PurgeComm(H(Handle), Flags); }
  bool ClearCommError(THandle Handle, uint32_t* Errors, TComStat* Stat) override {
    DWORD E = 0;
    COMSTAT S{};
    BOOL R = ::ClearCommError(H(Handle), &E, &S);
    if (Errors) *Errors = E;
    if (Stat) {
      // COMSTAT's first word is a bit-field; copy it as the word it is.
      std::memcpy(&Stat->Flags, &S, sizeof Stat->Flags);
      Stat->cbInQue = S.cbInQue;
      Stat->cbOutQue = S.cbOutQue;
    }
    return R;
  }
  bool GetCommModemStatus(THandle Handle, uint32_t* ModemStat) override {
    DWORD M = 0;
    BOOL R = ::GetCommModemStatus(H(Handle), &M);
    if (ModemStat) *ModemStat = M;
    return R;
  }
  THandle CreateEventA(bool ManualReset, bool InitialState) override {
    return reinterpret_cast<THandle>(::CreateEventA(nullptr, ManualReset, InitialState, nullptr));
  }
  bool SetEvent(THandle Event) override { return ::SetEvent(H(Event)); }
  bool ResetEvent(THandle Event) override { return ::ResetEvent(H(Event)); }
  uint32_t WaitForMultipleObjects(uint32_t Count, const THandle* Handles,
                                  uint32_t Milliseconds) override {
    static_assert(sizeof(THandle) == sizeof(HANDLE));
    return ::WaitForMultipleObjects(Count, reinterpret_cast<const HANDLE*>(Handles), FALSE,
                                    Milliseconds);
  }
  uint32_t WaitForSingleObject(THandle Handle, uint32_t Milliseconds) override {
    return ::WaitForSingleObject(H(Handle), Milliseconds);
  }
  void Sleep(uint32_t Milliseconds) override { ::Sleep(Milliseconds); }
  uint32_t GetLastError() override { return ::GetLastError(); }
  void SetLastError(uint32_t Error) override { ::SetLastError(Error); }
};

}  // namespace

TComOS& TComOS::Default() {
  static TWin32ComOS OS;
  return OS;
}

std::string SysErrorMessage(uint32_t Error) {
  char* Text = nullptr;
  DWORD N = ::FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, Error, 0, reinterpret_cast<LPSTR>(&Text), 0, nullptr);
  std::string Message = N && Text ? std::string(Text, N) : std::string();
  if (Text) ::LocalFree(Text);
  while (!Message.empty() &&
         (Message.back() == '\n' || Message.back() == '\r' || Message.back() == ' ')) {
    Message.pop_back();
  }
  if (Message.empty()) Message = "Error " + std::to_string(Error);
  return Message;
}

}  // namespace comfind
