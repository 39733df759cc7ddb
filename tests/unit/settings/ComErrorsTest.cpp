// The error messages, EComPort's two message forms and the text handed to OnException.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "port/ComErrors.h"
#include "port/os/ComOS.h"

// The texts reach users and their logs as they stand; pinned character for character.

namespace comfind {

TEST(ComErrorMessages, EveryCodeHasItsTextAndNothingElseHasOne) {
  const std::vector<std::string> Expected = {"Unable to open com port",
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
  ASSERT_EQ(CEPortNotOpen, 24);
  for (int Code = CE_OpenFailed; Code <= CEPortNotOpen; ++Code) {
    EXPECT_EQ(ComErrorMessage(Code), Expected[Code - 1]) << "code " << Code;
  }
  EXPECT_EQ(ComErrorMessage(CE_ConnChangeProp), "Cannot set property while connected");
  EXPECT_EQ(ComErrorMessage(0), "");
  EXPECT_EQ(ComErrorMessage(25), "");
  EXPECT_EQ(ComErrorMessage(-1), "");
}

// ---------------------------------------------------------------------------------------------
// EComPort

TEST(EComPortMessage, WithANumberTheMessageEndsInIt) {
  const EComPort Missing(CE_OpenFailed, 2);
  EXPECT_EQ(Missing.Message(), "Unable to open com port (Error: 2)");
  EXPECT_EQ(Missing.ErrorCode(), 1);
  EXPECT_EQ(Missing.WinErrorCode(), 2);

  const EComPort Busy(CE_OpenFailed, 5);
  EXPECT_EQ(Busy.Message(), "Unable to open com port (Error: 5)");
  EXPECT_EQ(Busy.WinErrorCode(), 5);
}

// Only the low 32 bits of the reported number count, read as a signed value.
TEST(EComPortMessage, TheNumberIsCutToItsLow32BitsSigned) {
  const EComPort High(CE_ReadFailed, int64_t{0x100000005});
  EXPECT_EQ(High.Message(), "ReadFile function failed (Error: 5)");
  EXPECT_EQ(High.WinErrorCode(), 5);

  const EComPort AllOnes(CE_ReadFailed, int64_t{0xFFFFFFFF});
  EXPECT_EQ(AllOnes.Message(), "ReadFile function failed (Error: -1)");
  EXPECT_EQ(AllOnes.WinErrorCode(), -1);

  const EComPort Negative(CEPortNotOpen, -24);
  EXPECT_EQ(Negative.Message(), "Port Not Open (Error: -24)");
  EXPECT_EQ(Negative.WinErrorCode(), -24);

  const EComPort Largest(CE_SetStateFailed, int64_t{0x7FFFFFFF});
  EXPECT_EQ(Largest.Message(), "SetCommState function failed (Error: 2147483647)");
}

TEST(EComPortMessage, WithoutANumberTheMessageIsTheTextAlone) {
  const EComPort Connected(CE_ConnChangeProp);
  EXPECT_EQ(Connected.Message(), "Cannot set property while connected");
  EXPECT_EQ(Connected.ErrorCode(), 14);
  EXPECT_EQ(Connected.WinErrorCode(), -1);

  const EComPort NotOpen(CEPortNotOpen);
  EXPECT_EQ(NotOpen.Message(), "Port Not Open");
  EXPECT_EQ(NotOpen.ErrorCode(), 24);
  EXPECT_EQ(NotOpen.WinErrorCode(), -1);
}

// Callers catch EComPort alone, or the framework's Exception, or std::exception at the top.
TEST(EComPortMessage, CaughtAsItsBasesWithTheSameText) {
  try {
    throw EComPort(CE_HasLink);
  } catch (const Exception& E) {
    EXPECT_EQ(E.Message(), "A component is linked to OnRxBuf event");
    EXPECT_STREQ(E.what(), "A component is linked to OnRxBuf event");
    EXPECT_NE(dynamic_cast<const EComPort*>(&E), nullptr);
  }
  try {
    throw EComPort(CE_TimeoutsFailed, 22);
  } catch (const std::exception& E) {
    EXPECT_STREQ(E.what(), "SetCommTimeouts failed (Error: 22)");
  }
}

// ---------------------------------------------------------------------------------------------
// WinMessage

TEST(ComWinMessage, ANumberGivesTheCodeLineAndTheSystemText) {
  for (uint32_t Number : {2u, 5u, 13u}) {
    SCOPED_TRACE(Number);
    const std::string System = SysErrorMessage(Number);
    ASSERT_FALSE(System.empty());
    EXPECT_NE(System.back(), '\n');
    EXPECT_EQ(WinMessage(Number),
              "System Error.  Code: " + std::to_string(Number) + ".\r\n" + System);
  }
}

TEST(ComWinMessage, ZeroMeansNoOperatingSystemText) {
  EXPECT_EQ(WinMessage(0), "A call to an OS function failed");
}

}  // namespace comfind
