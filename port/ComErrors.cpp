#include "port/ComErrors.h"

#include <array>

#include "port/os/ComOS.h"

namespace comfind {

namespace {

// Indexed by code - 1.
constexpr std::array<const char*, 24> ComErrorMessages = {
    "Unable to open com port",
    "WriteFile function failed",
    "ReadFile function failed",
    "Invalid Async parameter",
    "PurgeComm function failed",
    "Unable to get async status",
    "SetCommState function failed",
    "SetCommTimeouts failed",
    "SetupComm function failed",
    "ClearCommError function failed",
    "GetCommModemStatus function failed",
    "EscapeCommFunction function failed",
    "TransmitCommChar function failed",
    "Cannot set property while connected",
    "EnumPorts function failed",
    "Failed to store settings",
    "Failed to load settings",
    "Link (un)registration failed",
    "Cannot change led state if ComPort is selected",
    "Cannot wait for event if event thread is created",
    "WaitForEvent method failed",
    "A component is linked to OnRxBuf event",
    "Registry error",
    "Port Not Open"};

// Numbers arrive as 64-bit values but the platform's error numbers are 32-bit; only the low
// half is meaningful, read as signed so that a wrapped negative value stays recognisable.
int32_t Low32(int64_t Number) {
  return static_cast<int32_t>(static_cast<uint32_t>(Number));
}

}  // namespace

std::string ComErrorMessage(int Code) {
  if (Code < 1 || Code > static_cast<int>(ComErrorMessages.size())) return std::string();
  return ComErrorMessages[static_cast<size_t>(Code - 1)];
}

EComPort::EComPort(int ACode, int64_t ANumber)
    : Exception(ComErrorMessage(ACode) + Format(" (Error: %d)", Low32(ANumber))),
      FWinErrorCode(Low32(ANumber)),
      FErrorCode(ACode) {}

EComPort::EComPort(int ACode)
    : Exception(ComErrorMessage(ACode)), FWinErrorCode(-1), FErrorCode(ACode) {}

std::string WinMessage(uint32_t LastError) {
  if (LastError == 0) return "A call to an OS function failed";
  // Printed unsigned: Windows numbers with the high bit set (0x8007xxxx) would otherwise show
  // as negative; every ordinary number prints the same either way.
  return Format("System Error.  Code: %u.", LastError) + "\r\n" + SysErrorMessage(LastError);
}

}  // namespace comfind
