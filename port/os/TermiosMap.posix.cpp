// What termios cannot honour of a DCB, and what happens instead:
//   - DTR handshake (DTR_CONTROL_HANDSHAKE): Linux has no input flow control on DTR; DTR is
//     raised and stays up.
//   - DSR output flow (fOutxDsrFlow) and DSR sensitivity (fDsrSensitivity): no kernel support;
//     ignored.
//   - RTS toggle (RTS_CONTROL_TOGGLE, RTS up only while sending): not emulated; RTS is lowered.
//   - CTS output flow and RTS handshake are one switch in Linux (CRTSCTS covers both
//     directions): either flag turns on both.
//   - TxContinueOnXoff, XonLim and XoffLim: the kernel sends XOFF/XON at its own thresholds.
//   - Error character replacement (fErrorChar): with parity checking on, the kernel hands a
//     byte received with a parity or framing error over as NUL; it cannot substitute another
//     character. EofChar and fAbortOnError have no counterpart either.
//   - One and a half stop bits: CSTOPB, which a 16550-type UART sends as 1.5 stop bits with 5
//     data bits and as 2 otherwise (Windows accepts 1.5 only with 5 data bits).
//   - fBinary: POSIX has only binary mode (raw), which is what every DCB gets.
//   - fNull (discard NUL bytes) is done by the layer's reader, not by termios.
#include "port/os/TermiosMap.h"

#include <cerrno>
#include <climits>
#include <limits>
#include <string_view>

#ifndef CMSPAR
#define CMSPAR 010000000000  // Linux value; the flag is missing from some libc headers
#endif

namespace comfind {

namespace {

struct TRateSpeed {
  uint32_t Rate;
  speed_t Speed;
};

constexpr TRateSpeed kSpeeds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},
#ifdef B460800
    {460800, B460800},   {500000, B500000},   {576000, B576000},   {921600, B921600},
    {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000}, {2000000, B2000000},
    {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
#endif
};

}  // namespace

int DevicePath(const std::string& FileName, std::string& Path) {
  static const std::string Prefix = "\\\\.\\";
  std::string Name =
      FileName.compare(0, Prefix.size(), Prefix) == 0 ? FileName.substr(Prefix.size()) : FileName;
  if (Name.empty()) return EINVAL;
  for (unsigned char C : Name) {
    if (C < 0x20 || C >= 0x7F || C == '\\') return EINVAL;
  }
  // Every component is checked, so "COM1/../../etc/x" and "/dev/./x" are refused alike.
  size_t Start = 0;
  while (Start <= Name.size()) {
    size_t End = Name.find('/', Start);
    if (End == std::string::npos) End = Name.size();
    const std::string_view Part(Name.data() + Start, End - Start);
    if (Part == "." || Part == "..") return EINVAL;
    Start = End + 1;
  }
  std::string Full = Name[0] == '/' ? Name : "/dev/" + Name;
  if (Full.size() >= PATH_MAX) return ENAMETOOLONG;
  Path = std::move(Full);
  return 0;
}

void MakeRaw(termios& T) {
  T.c_iflag &= ~(IGNBRK | BRKINT | IGNPAR | PARMRK | INPCK | ISTRIP | INLCR | IGNCR | ICRNL | IXON |
                 IXOFF | IXANY);
#ifdef IUCLC
  T.c_iflag &= ~IUCLC;
#endif
#ifdef IMAXBEL
  T.c_iflag &= ~IMAXBEL;
#endif
  T.c_oflag &= ~OPOST;
  T.c_lflag &= ~(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN | NOFLSH | TOSTOP);
#ifdef ECHOCTL
  T.c_lflag &= ~(ECHOCTL | ECHOKE);
#endif
  // A break arrives as a NUL byte (neither ignored nor a signal); errors are not marked
  // in-band. CLOCAL: the carrier line must neither block the open nor hang the line up.
  T.c_cflag |= CREAD | CLOCAL;
  T.c_cc[VMIN] = 1;
  T.c_cc[VTIME] = 0;
}

termios TermiosFromRecord(const TLineRecord& Record) {
  termios T{};
  T.c_iflag = Record.IFlag;
  T.c_oflag = Record.OFlag;
  T.c_cflag = Record.CFlag;
  T.c_lflag = Record.LFlag;
  T.c_line = Record.Line;
  for (size_t I = 0; I < NCCS && I < sizeof Record.CC; ++I)
    T.c_cc[I] = Record.CC[I];
  return T;
}

TLineRecord RecordFromSettings(const TLineSettings& Settings) {
  const termios& T = Settings.Tio;
  TLineRecord R;
  R.IFlag = T.c_iflag;
#ifdef IBAUD0
  R.IFlag &= ~static_cast<uint32_t>(IBAUD0);  // the C library's own mark, never the kernel's
#endif
  R.OFlag = T.c_oflag;
  R.CFlag = T.c_cflag;
  R.LFlag = T.c_lflag;
  R.Line = T.c_line;
  for (size_t I = 0; I < NCCS && I < sizeof R.CC; ++I)
    R.CC[I] = T.c_cc[I];
  R.Rate = Settings.Rate;
  R.CustomRate = Settings.CustomRate;
  return R;
}

speed_t StandardSpeed(uint32_t Rate) {
  for (const auto& S : kSpeeds) {
    if (S.Rate == Rate) return S.Speed;
  }
  return 0;
}

int DcbToLineSettings(const TDCB& DCB, const termios& Base, TLineSettings& Out) {
  Out = TLineSettings{};
  termios& T = Out.Tio;
  T = Base;

  // A rate of 0 would be B0, which hangs the line up; no DCB means that.
  if (DCB.BaudRate == 0) return EINVAL;
  tcflag_t Size;
  switch (DCB.ByteSize) {
    case 5:
      Size = CS5;
      break;
    case 6:
      Size = CS6;
      break;
    case 7:
      Size = CS7;
      break;
    case 8:
      Size = CS8;
      break;
    default:
      return EINVAL;
  }
  tcflag_t Parity;
  switch (DCB.Parity) {
    case 0:
      Parity = 0;
      break;
    case 1:
      Parity = PARENB | PARODD;
      break;
    case 2:
      Parity = PARENB;
      break;
    case 3:
      Parity = PARENB | PARODD | CMSPAR;
      break;  // mark: the parity bit always 1
    case 4:
      Parity = PARENB | CMSPAR;
      break;  // space: always 0
    default:
      return EINVAL;
  }
  tcflag_t Stop;
  switch (DCB.StopBits) {
    case 0:
      Stop = 0;
      break;
    case 1:  // one and a half: see the list at the top
    case 2:
      Stop = CSTOPB;
      break;
    default:
      return EINVAL;
  }
  const bool OutX = DCB.Flags & DCB_OUTX_;
  const bool InX = DCB.Flags & DCB_INX_;
  if ((OutX || InX) && DCB.XonChar == DCB.XoffChar) return EINVAL;

  MakeRaw(T);
  T.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  // HUPCL drops DTR when the last user closes, as the Windows driver does.
  T.c_cflag |= Size | Parity | Stop | HUPCL;

  if ((DCB.Flags & DCB_PARITY_) && DCB.Parity != 0) T.c_iflag |= INPCK;
  if (OutX) T.c_iflag |= IXON;
  if (InX) T.c_iflag |= IXOFF;
  T.c_cc[VSTART] = static_cast<cc_t>(DCB.XonChar);
  T.c_cc[VSTOP] = static_cast<cc_t>(DCB.XoffChar);
  const uint32_t Rts = DCB.Flags & DCB_RTS_CONTROL_MASK_;
  if ((DCB.Flags & DCB_OUTX_CTS_FLOW_) || Rts == DCB_RTS_CONTROL_HANDSHAKE_) {
    T.c_cflag |= CRTSCTS;
    Out.RTSByKernel = true;
  }
  Out.RTS = Rts == DCB_RTS_CONTROL_ENABLE_ || Rts == DCB_RTS_CONTROL_HANDSHAKE_;
  const uint32_t Dtr = DCB.Flags & DCB_DTR_CONTROL_MASK_;
  Out.DTR = Dtr == DCB_DTR_CONTROL_ENABLE_ || Dtr == DCB_DTR_CONTROL_HANDSHAKE_;
  Out.DiscardNull = DCB.Flags & DCB_NULL_;

  Out.Rate = DCB.BaudRate;
  speed_t Speed = StandardSpeed(DCB.BaudRate);
  Out.CustomRate = Speed == 0;
  // A placeholder for a custom rate in the C library's termios, which cannot hold one; the
  // kernel's record (RecordFromSettings) carries the real rate instead.
  if (Out.CustomRate) Speed = B38400;
  cfsetispeed(&T, Speed);
  cfsetospeed(&T, Speed);
  return 0;
}

}  // namespace comfind
