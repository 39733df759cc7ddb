// The meaning of errno values for a port on POSIX systems.
#include <cerrno>

#include "port/os/ComOS.h"

namespace comfind {

TComFault TComOS::ClassifyError(uint32_t Error, bool Opened) const {
  switch (static_cast<int>(Error)) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
      return Opened ? cfVanished : cfMissing;
    case EIO:
      // A tty whose device has gone (a USB adapter pulled out, the far side of a
      // pseudo-terminal closed) fails every call with EIO, an open included.
      return cfVanished;
    case EBUSY:
    case EAGAIN:
      return cfBusy;
    case EACCES:
    case EPERM:
      return cfDenied;
    default:
      return cfOther;
  }
}

}  // namespace comfind
