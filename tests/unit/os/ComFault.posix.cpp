// The POSIX layer's error numbers read as what they mean to someone using a port.
#include <gtest/gtest.h>

#include <cerrno>

#include "port/os/ComOS.h"

namespace comfind {

TEST(ComFault, PosixErrnoBeforeAndAfterTheOpen) {
  const struct {
    int Error;
    TComFault Closed;
    TComFault Open;
  } Cases[] = {
      {ENOENT, cfMissing, cfVanished}, {ENODEV, cfMissing, cfVanished},
      {ENXIO, cfMissing, cfVanished},  {EIO, cfVanished, cfVanished},
      {EBUSY, cfBusy, cfBusy},         {EAGAIN, cfBusy, cfBusy},
      {EACCES, cfDenied, cfDenied},    {EPERM, cfDenied, cfDenied},
      {ENOTTY, cfOther, cfOther},      {EINVAL, cfOther, cfOther},
      {ECANCELED, cfOther, cfOther},
  };
  const TComOS& OS = TComOS::Default();
  for (const auto& C : Cases) {
    EXPECT_EQ(OS.ClassifyError(static_cast<uint32_t>(C.Error), false), C.Closed) << C.Error;
    EXPECT_EQ(OS.ClassifyError(static_cast<uint32_t>(C.Error), true), C.Open) << C.Error;
  }
}

}  // namespace comfind
