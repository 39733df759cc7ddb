// The pure translations of the POSIX layer: device names, the device control block onto
// termios and the lines, and the Win32 timeouts onto read and write plans.
#include "port/os/TermiosMap.h"
#include "port/os/TransferQueue.h"
#include "testkit/LineSettings.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <string>
#include <vector>

namespace comfind {

namespace {

constexpr uint32_t kMaxDword = 0xFFFFFFFF;

// A cooked terminal as the kernel leaves a fresh one, so that every raw bit must be cleared.
termios Cooked() {
  termios T{};
  T.c_iflag = ICRNL | IXON | IXANY | IMAXBEL | BRKINT | ISTRIP | INLCR | IGNCR | PARMRK;
  T.c_oflag = OPOST | ONLCR;
  T.c_cflag = CS7 | PARENB | CSTOPB | CRTSCTS;
  T.c_lflag = ICANON | ECHO | ECHOE | ECHOK | ISIG | IEXTEN | ECHOCTL | ECHOKE;
  T.c_cc[VMIN] = 0;
  T.c_cc[VTIME] = 5;
  cfsetispeed(&T, B9600);
  cfsetospeed(&T, B9600);
  return T;
}

TLineSettings Map(const TDCB& D) {
  TLineSettings S;
  EXPECT_EQ(DcbToLineSettings(D, Cooked(), S), 0);
  return S;
}

TEST(DcbToLineSettings, ApplicationBlockGivesRaw19200EightNoneOneWithDtrUpRtsDown) {
  const TLineSettings S = Map(ApplicationDCB());
  const termios& T = S.Tio;
  EXPECT_EQ(cfgetospeed(&T), speed_t{B19200});
  EXPECT_EQ(cfgetispeed(&T), speed_t{B19200});
  EXPECT_FALSE(S.CustomRate);
  EXPECT_EQ(S.Rate, 19200u);
  EXPECT_EQ(T.c_cflag & CSIZE, tcflag_t{CS8});
  EXPECT_EQ(T.c_cflag & (PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS), 0u);
  EXPECT_EQ(T.c_cflag & (CREAD | CLOCAL), tcflag_t{CREAD | CLOCAL});
  EXPECT_EQ(T.c_iflag & (ICRNL | IXON | IXOFF | IXANY | INPCK | ISTRIP | INLCR | IGNCR | PARMRK |
                         BRKINT | IGNBRK),
            0u);
  EXPECT_EQ(T.c_oflag & OPOST, 0u);
  EXPECT_EQ(T.c_lflag & (ICANON | ECHO | ECHOE | ISIG | IEXTEN), 0u);
  EXPECT_EQ(T.c_cc[VMIN], 1);
  EXPECT_EQ(T.c_cc[VTIME], 0);
  EXPECT_TRUE(S.DTR);
  EXPECT_FALSE(S.RTS);
  EXPECT_FALSE(S.RTSByKernel);
  EXPECT_FALSE(S.DiscardNull);
}

TEST(DcbToLineSettings, FramingFieldsMapOneToOne) {
  TDCB D = ApplicationDCB();
  const tcflag_t Sizes[] = {CS5, CS6, CS7, CS8};
  for (uint8_t Bits = 5; Bits <= 8; ++Bits) {
    D.ByteSize = Bits;
    EXPECT_EQ(Map(D).Tio.c_cflag & CSIZE, Sizes[Bits - 5]) << int(Bits);
  }
  D.ByteSize = 8;
  const tcflag_t ParityBits = PARENB | PARODD | CMSPAR;
  const tcflag_t Parities[] = {0, PARENB | PARODD, PARENB, PARENB | PARODD | CMSPAR,
                               PARENB | CMSPAR};
  for (uint8_t P = 0; P <= 4; ++P) {
    D.Parity = P;
    EXPECT_EQ(Map(D).Tio.c_cflag & ParityBits, Parities[P]) << int(P);
  }
  D.Parity = 0;
  D.StopBits = 0;
  EXPECT_EQ(Map(D).Tio.c_cflag & CSTOPB, 0u);
  D.StopBits = 1;  // one and a half
  EXPECT_EQ(Map(D).Tio.c_cflag & CSTOPB, tcflag_t{CSTOPB});
  D.StopBits = 2;
  EXPECT_EQ(Map(D).Tio.c_cflag & CSTOPB, tcflag_t{CSTOPB});
}

TEST(DcbToLineSettings, ImpossibleBlocksAreRefusedAndLeaveNoB0) {
  TLineSettings S;
  TDCB D = ApplicationDCB();
  D.BaudRate = 0;
  EXPECT_EQ(DcbToLineSettings(D, Cooked(), S), EINVAL);
  for (uint8_t Bits : {0, 4, 9, 255}) {
    D = ApplicationDCB();
    D.ByteSize = Bits;
    EXPECT_EQ(DcbToLineSettings(D, Cooked(), S), EINVAL) << int(Bits);
  }
  D = ApplicationDCB();
  D.Parity = 5;
  EXPECT_EQ(DcbToLineSettings(D, Cooked(), S), EINVAL);
  D = ApplicationDCB();
  D.StopBits = 3;
  EXPECT_EQ(DcbToLineSettings(D, Cooked(), S), EINVAL);
  D = ApplicationDCB();
  D.Flags |= DCB_OUTX_;
  D.XoffChar = D.XonChar;
  EXPECT_EQ(DcbToLineSettings(D, Cooked(), S), EINVAL);
  D.Flags &= ~DCB_OUTX_;  // the same characters do no harm while XON/XOFF is off
  EXPECT_EQ(DcbToLineSettings(D, Cooked(), S), 0);
}

TEST(DcbToLineSettings, RatesWithoutAConstantAskForTheKernelsCustomRate) {
  TDCB D = ApplicationDCB();
  for (uint32_t Rate : {50u, 300u, 9600u, 38400u, 115200u, 230400u}) {
    D.BaudRate = Rate;
    const TLineSettings S = Map(D);
    EXPECT_FALSE(S.CustomRate) << Rate;
    EXPECT_EQ(cfgetospeed(&S.Tio), StandardSpeed(Rate)) << Rate;
  }
  for (uint32_t Rate : {12345u, 250000u, 31250u, 14400u}) {
    D.BaudRate = Rate;
    const TLineSettings S = Map(D);
    EXPECT_TRUE(S.CustomRate) << Rate;
    EXPECT_EQ(S.Rate, Rate);
  }
  EXPECT_EQ(StandardSpeed(12345), speed_t{0});
}

TEST(DcbToLineSettings, TheKernelRecordCarriesEverySettingAndACustomRateItself) {
  TDCB D = ApplicationDCB();
  D.Parity = 2;
  for (const uint32_t Rate : {19200u, 14400u}) {
    D.BaudRate = Rate;
    const TLineSettings S = Map(D);
    const TLineRecord R = RecordFromSettings(S);
    EXPECT_EQ(R.Rate, Rate);
    EXPECT_EQ(R.CustomRate, Rate == 14400u) << "the real rate travels in the record";
    EXPECT_EQ(R.IFlag, S.Tio.c_iflag);
    EXPECT_EQ(R.OFlag, S.Tio.c_oflag);
    EXPECT_EQ(R.CFlag, S.Tio.c_cflag);
    EXPECT_EQ(R.LFlag, S.Tio.c_lflag);
    // And back, as the base of the next mapping.
    const termios T = TermiosFromRecord(R);
    EXPECT_EQ(T.c_cflag, S.Tio.c_cflag);
    EXPECT_EQ(T.c_cc[VSTART], S.Tio.c_cc[VSTART]);
    EXPECT_EQ(T.c_cc[VMIN], 1);
  }
}

TEST(DcbToLineSettings, FlowControlAndLineLevels) {
  TDCB D = ApplicationDCB();
  D.Flags = DCB_BINARY_ | DCB_OUTX_CTS_FLOW_;
  TLineSettings S = Map(D);
  EXPECT_TRUE(S.Tio.c_cflag & CRTSCTS);
  EXPECT_TRUE(S.RTSByKernel);
  D.Flags = DCB_BINARY_ | DCB_RTS_CONTROL_HANDSHAKE_;
  S = Map(D);
  EXPECT_TRUE(S.Tio.c_cflag & CRTSCTS);
  EXPECT_TRUE(S.RTSByKernel);
  EXPECT_FALSE(S.DTR);

  D.Flags = DCB_BINARY_ | DCB_OUTX_ | DCB_INX_;
  D.XonChar = 0x21;
  D.XoffChar = 0x22;
  S = Map(D);
  EXPECT_EQ(S.Tio.c_iflag & (IXON | IXOFF | IXANY), tcflag_t{IXON | IXOFF});
  EXPECT_EQ(S.Tio.c_cc[VSTART], 0x21);
  EXPECT_EQ(S.Tio.c_cc[VSTOP], 0x22);
  EXPECT_FALSE(S.Tio.c_cflag & CRTSCTS);

  D.Flags = DCB_BINARY_ | DCB_RTS_CONTROL_ENABLE_ | DCB_DTR_CONTROL_HANDSHAKE_;
  S = Map(D);
  EXPECT_TRUE(S.RTS);
  EXPECT_TRUE(S.DTR);  // handshake cannot be done: DTR stays up
  D.Flags = DCB_BINARY_ | DCB_RTS_CONTROL_TOGGLE_;
  S = Map(D);
  EXPECT_FALSE(S.RTS);
  EXPECT_FALSE(S.DTR);
  EXPECT_FALSE(S.RTSByKernel);

  // Parity checking only when asked for and there is a parity bit.
  D = ApplicationDCB();
  D.Flags |= DCB_PARITY_;
  EXPECT_FALSE(Map(D).Tio.c_iflag & INPCK);
  D.Parity = 2;
  EXPECT_TRUE(Map(D).Tio.c_iflag & INPCK);
  D.Flags &= ~DCB_PARITY_;
  EXPECT_FALSE(Map(D).Tio.c_iflag & INPCK);

  D.Flags |= DCB_NULL_;
  EXPECT_TRUE(Map(D).DiscardNull);
}

TEST(DevicePath, NamesMapUnderDevOrStandAsTheyAre) {
  std::string P = "unchanged";
  EXPECT_EQ(DevicePath("\\\\.\\COM7", P), 0);
  EXPECT_EQ(P, "/dev/COM7");
  EXPECT_EQ(DevicePath("ttyUSB0", P), 0);
  EXPECT_EQ(P, "/dev/ttyUSB0");
  EXPECT_EQ(DevicePath("\\\\.\\/dev/pts/3", P), 0);
  EXPECT_EQ(P, "/dev/pts/3");
  EXPECT_EQ(DevicePath("serial/by-id/usb-FTDI_x-if00", P), 0);
  EXPECT_EQ(P, "/dev/serial/by-id/usb-FTDI_x-if00");
  EXPECT_EQ(DevicePath("..x", P), 0);  // a name that merely starts with dots is a name
  EXPECT_EQ(P, "/dev/..x");
}

TEST(DevicePath, UnsafeNamesAreRefusedAndLeaveThePathAlone) {
  for (const std::string& Name : std::vector<std::string>{
           "", "\\\\.\\", "..", ".", "../etc/passwd", "COM1/../../etc/shadow", "/dev/./ttyS0",
           "/dev/pts/..", "a/./b", "COM\n1", std::string("CO\0M", 4), "COM\x7f", "COM\xC0",
           "\\\\.\\..\\x", "COM1\\..", "\\\\.\\\\\\.\\COM1"}) {
    std::string P = "unchanged";
    EXPECT_EQ(DevicePath(Name, P), EINVAL) << Name;
    EXPECT_EQ(P, "unchanged") << Name;
  }
  std::string P;
  EXPECT_EQ(DevicePath(std::string(PATH_MAX, 'a'), P), ENAMETOOLONG);
  EXPECT_EQ(DevicePath("/" + std::string(PATH_MAX - 2, 'a'), P), 0);
}

TEST(PlanRead, TheFourWin32Modes) {
  // Return at once with what is there.
  TReadPlan P = PlanRead({kMaxDword, 0, 0, 0, 0}, 10);
  EXPECT_TRUE(P.ReturnAtOnce);
  // Wait up to the constant for the first byte.
  P = PlanRead({kMaxDword, kMaxDword, 250, 0, 0}, 10);
  EXPECT_FALSE(P.ReturnAtOnce);
  EXPECT_TRUE(P.ReturnOnAny);
  EXPECT_EQ(P.TotalMs, 250u);
  // The special case needs a constant strictly between 0 and MAXDWORD.
  P = PlanRead({kMaxDword, kMaxDword, 0, 0, 0}, 1);
  EXPECT_FALSE(P.ReturnOnAny);
  // The application's timeouts: 500 * n + 25 in total, 5 between bytes.
  P = PlanRead({5, 500, 25, 100, 1000}, 18);
  EXPECT_FALSE(P.ReturnAtOnce || P.ReturnOnAny);
  EXPECT_EQ(P.TotalMs, 500u * 18 + 25);
  EXPECT_EQ(P.IntervalMs, 5u);
  // All zero: no limit at all.
  P = PlanRead({0, 0, 0, 0, 0}, 7);
  EXPECT_FALSE(P.ReturnAtOnce || P.ReturnOnAny);
  EXPECT_EQ(P.TotalMs, 0u);
  EXPECT_EQ(P.IntervalMs, 0u);
  // No overflow into a short limit.
  P = PlanRead({0, kMaxDword, kMaxDword, 0, 0}, kMaxDword);
  EXPECT_GT(P.TotalMs, uint64_t{kMaxDword} * 1000);
}

TEST(PlanWrite, MultiplierTimesCountPlusConstant) {
  EXPECT_EQ(PlanWrite({0, 0, 0, 100, 1000}, 18), 2800u);
  EXPECT_EQ(PlanWrite({0, 0, 0, 0, 0}, 18), 0u);
  EXPECT_EQ(PlanWrite({0, 0, 0, 0, 7}, 0), 7u);
  EXPECT_GT(PlanWrite({0, 0, 0, kMaxDword, kMaxDword}, kMaxDword), uint64_t{kMaxDword});
}

}  // namespace

}  // namespace comfind
