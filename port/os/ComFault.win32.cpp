// The meaning of Win32 error numbers for a port on Windows.
#include "port/os/ComOS.h"

namespace comfind {

TComFault TComOS::ClassifyError(uint32_t Error, bool Opened) const {
  return ClassifyWin32Error(Error, Opened);
}

}  // namespace comfind
