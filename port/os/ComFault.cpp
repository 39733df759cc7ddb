// The meaning of Win32 error numbers for a port. Plain numbers, no <windows.h>: the simulated
// device leaves the same numbers on every platform.
#include "port/os/ComOS.h"

namespace comfind {

namespace {

constexpr uint32_t kFileNotFound = 2;
constexpr uint32_t kPathNotFound = 3;
constexpr uint32_t kAccessDenied = 5;
constexpr uint32_t kBadCommand = 22;
constexpr uint32_t kGenFailure = 31;
constexpr uint32_t kSharingViolation = 32;
constexpr uint32_t kDevNotExist = 55;
constexpr uint32_t kBusy = 170;
constexpr uint32_t kNoSuchDevice = 433;
constexpr uint32_t kDeviceNotConnected = 1167;
constexpr uint32_t kDeviceRemoved = 1617;

}  // namespace

TComFault ClassifyWin32Error(uint32_t Error, bool Opened) {
  switch (Error) {
    case kFileNotFound:
    case kPathNotFound:
    case kDevNotExist:
    case kNoSuchDevice:
    case kDeviceNotConnected:
    case kDeviceRemoved:
      return Opened ? cfVanished : cfMissing;
    case kAccessDenied:
      // CreateFile refuses a port that another program holds with "access denied"; once the
      // port is open, the USB serial drivers refuse every call with it after an unplug.
      return Opened ? cfVanished : cfBusy;
    case kSharingViolation:
    case kBusy:
      return cfBusy;
    case kBadCommand:
    case kGenFailure:
      // What most drivers answer on a handle whose device has been pulled out.
      return Opened ? cfVanished : cfOther;
    default:
      return cfOther;
  }
}

}  // namespace comfind
