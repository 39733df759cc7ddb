// Errors of the serial-port component: the error codes with their fixed English messages, the
// exception EComPort, and the pieces of the port's one reporting routine (ReportError) that do
// not need a port: the handler's type and the operating system's text for an error number.
#pragma once

#include <cstdint>
#include <string>

#include "framework/Classes.h"

namespace comfind {

enum TComExceptions : uint16_t {
  CE_OpenFailed = 1,
  CE_WriteFailed,
  CE_ReadFailed,
  CE_InvalidAsync,
  CE_PurgeFailed,
  CE_AsyncCheck,
  CE_SetStateFailed,
  CE_TimeoutsFailed,
  CE_SetupComFailed,
  CE_ClearComFailed,
  CE_ModemStatFailed,
  CE_EscapeComFailed,
  CE_TransmitFailed,
  CE_ConnChangeProp,
  CE_EnumPortsFailed,
  CE_StoreFailed,
  CE_LoadFailed,
  CE_RegFailed,
  CE_LedStateFailed,
  CE_ThreadCreated,
  CE_WaitFailed,
  CE_HasLink,
  CE_RegError,
  CEPortNotOpen
};

// The number reported with CEPortNotOpen in place of a system error number: a transfer on a
// closed port made no system call, and a negative number keeps " (Error: N)" out of the
// exception's message (EComPort then carries -1).
constexpr int64_t kPortNotOpenNumber = -24;

// The message of an error code ("Unable to open com port"); empty outside 1..24.
std::string ComErrorMessage(int Code);

// A failure of the serial-port component. WinErrorCode is the platform's error number, or -1
// when the report carried none.
class EComPort : public Exception {
 public:
  // Message: the code's text, then " (Error: N)" with the low 32 bits of Number.
  EComPort(int ACode, int64_t ANumber);
  // Message: the code's text alone.
  explicit EComPort(int ACode);
  int32_t WinErrorCode() const { return FWinErrorCode; }
  int32_t ErrorCode() const { return FErrorCode; }

 private:
  int32_t FWinErrorCode;
  int32_t FErrorCode;
};

// OnException: (Sender, TComException, ComportMessage, WinError, WinMessage).
using TComExceptionEvent =
    TEventHandler<TObject*, TComExceptions, const std::string&, int64_t, const std::string&>;

// The text ReportError hands to OnException as WinMessage for a report with a number:
// "System Error.  Code: %d." CR LF and the system's text for LastError, or "A call to an OS
// function failed" when LastError is 0.
std::string WinMessage(uint32_t LastError);

}  // namespace comfind
