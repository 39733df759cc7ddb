// What an error number means to someone using a port: the Win32 numbers (the Windows layer and
// the simulated device) and, on POSIX systems, the platform layer's errno values.
#include <gtest/gtest.h>

#include "port/os/ComOS.h"
#include "port/os/SimComOS.h"

namespace comfind {

TEST(ComFault, Win32NumbersBeforeAndAfterTheOpen) {
  const struct {
    uint32_t Error;
    TComFault Closed;  // left by a failed open
    TComFault Open;    // left by a call on an open port
  } Cases[] = {
      {2, cfMissing, cfVanished},     // file not found: no such port, or unplugged
      {3, cfMissing, cfVanished},     // path not found
      {1167, cfMissing, cfVanished},  // device not connected
      {1617, cfMissing, cfVanished},  // device removed
      {5, cfBusy, cfVanished},        // access denied: another program has it / pulled out
      {32, cfBusy, cfBusy},           // sharing violation
      {22, cfOther, cfVanished},      // bad command: what a pulled-out adapter answers
      {31, cfOther, cfVanished},      // general failure
      {87, cfOther, cfOther},         // bad argument: a fault, not the device's state
      {995, cfOther, cfOther},        // aborted
      {121, cfOther, cfOther},        // timeout
  };
  TSimComOS Sim;
  for (const auto& C : Cases) {
    EXPECT_EQ(ClassifyWin32Error(C.Error, false), C.Closed) << C.Error;
    EXPECT_EQ(ClassifyWin32Error(C.Error, true), C.Open) << C.Error;
    // The simulated device leaves Win32's numbers on every platform and reads them so.
    EXPECT_EQ(Sim.ClassifyError(C.Error, true), C.Open) << C.Error;
  }
}

}  // namespace comfind
