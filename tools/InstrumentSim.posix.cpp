#include "tools/InstrumentSim.h"
#include "testkit/Pty.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace comfind {

namespace {

std::runtime_error SysFailure(const std::string& What) {
  return std::runtime_error(What + ": " + std::strerror(errno));
}

unsigned SpeedToRate(speed_t Speed) {
  static const struct {
    speed_t Code;
    unsigned Rate;
  } Rates[] = {{B110, 110},     {B300, 300},     {B600, 600},       {B1200, 1200},
               {B2400, 2400},   {B4800, 4800},   {B9600, 9600},     {B19200, 19200},
               {B38400, 38400}, {B57600, 57600}, {B115200, 115200}, {B230400, 230400}};
  for (const auto& R : Rates)
    if (R.Code == Speed) return R.Rate;
  return 0;
}

}  // namespace

std::string SimEscape(const std::string& Bytes) {
  std::string Out;
  for (unsigned char C : Bytes) {
    if (C < 0x20 || C >= 0x7F || C == '\\') {
      char Hex[8];
      std::snprintf(Hex, sizeof Hex, "\\x%02X", C);
      Out += Hex;
    } else {
      Out += static_cast<char>(C);
    }
  }
  return Out;
}

TSimPort::TSimPort(const TSimOptions& Options, const std::string& Device) : FOptions(Options) {
  FOptions.Pieces = std::max(1, FOptions.Pieces);
  FOptions.DelayMs = std::max(0, FOptions.DelayMs);
  FOptions.GapMs = std::max(0, FOptions.GapMs);
  if (Device.empty()) {
    TPtyMaster Pty = OpenPtyMaster();
    FFd = Pty.Fd;
    FPath = std::move(Pty.SlavePath);
    // Without a slave descriptor of our own the master reads a hang-up whenever the code under
    // test has the port closed, and poll would report it without pause.
    FHeldSlave = ::open(FPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (FHeldSlave < 0) {
      auto Failure = SysFailure("open " + FPath);
      ::close(FFd);
      throw Failure;
    }
  } else {
    FPath = Device;
    FFd = ::open(Device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (FFd < 0) throw SysFailure("open " + Device);
  }
  ::fcntl(FFd, F_SETFL, ::fcntl(FFd, F_GETFL) | O_NONBLOCK);
  // Raw from the start: until the other side sets its own mode, the line discipline would echo
  // the probe back and turn CR into LF in the answer.
  termios Tio{};
  if (::tcgetattr(FFd, &Tio) == 0) {
    ::cfmakeraw(&Tio);
    if (!Device.empty()) {
      ::cfsetspeed(&Tio, B19200);
      Tio.c_cflag |= CLOCAL | CREAD;
    }
    ::tcsetattr(FFd, TCSANOW, &Tio);
  }
}

TSimPort::~TSimPort() {
  if (FHeldSlave >= 0) ::close(FHeldSlave);
  if (FFd >= 0) ::close(FFd);
}

void TSimPort::Log(const std::string& Line) const {
  if (OnLog) OnLog(Line);
}

std::string TSimPort::LineSettings() const {
  termios Tio{};
  if (::tcgetattr(FFd, &Tio) != 0) return "?";
  const unsigned Rate = SpeedToRate(::cfgetospeed(&Tio));
  int Bits = 8;
  switch (Tio.c_cflag & CSIZE) {
    case CS5:
      Bits = 5;
      break;
    case CS6:
      Bits = 6;
      break;
    case CS7:
      Bits = 7;
      break;
    default:
      break;
  }
  char Parity = 'N';
  if (Tio.c_cflag & PARENB) Parity = (Tio.c_cflag & PARODD) ? 'O' : 'E';
  char Text[64];
  std::snprintf(Text, sizeof Text, "%u %d%c%d", Rate, Bits, Parity, (Tio.c_cflag & CSTOPB) ? 2 : 1);
  return Text;
}

void TSimPort::HandleInput(TClock::time_point Now) {
  char Buffer[512];
  for (;;) {
    const ssize_t N = ::read(FFd, Buffer, sizeof Buffer);
    if (N > 0) {
      FInput.append(Buffer, static_cast<size_t>(N));
      continue;
    }
    if (N < 0 && errno == EINTR) continue;
    if (N == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
      // The device went away: stop watching it rather than be woken for it again and again.
      Log("device closed: " + FPath);
      ::close(FFd);
      FFd = -1;
      FPending.clear();
    }
    break;
  }
  size_t End;
  while ((End = FInput.find('\n')) != std::string::npos) {
    const std::string Line = FInput.substr(0, End + 1);
    FInput.erase(0, End + 1);
    Log("rx " + std::to_string(Line.size()) + " bytes at " + LineSettings() + ": " +
        SimEscape(Line));
    auto Due = Now + std::chrono::milliseconds(FOptions.DelayMs);
    if (!FOptions.Noise.empty()) FPending.push_back({Due, FOptions.Noise + "\r\n"});
    if (FOptions.Silent) continue;
    const std::string Answer = FOptions.Reply + (FOptions.LineEnd ? "\r\n" : "");
    const size_t Pieces =
        std::min(static_cast<size_t>(FOptions.Pieces), std::max<size_t>(1, Answer.size()));
    size_t From = 0;
    for (size_t I = 0; I < Pieces; ++I) {
      const size_t To = Answer.size() * (I + 1) / Pieces;
      FPending.push_back({Due, Answer.substr(From, To - From)});
      From = To;
      Due += std::chrono::milliseconds(FOptions.GapMs);
    }
  }
  // Lines that arrive while earlier answers are still pending keep the order of due times.
  std::stable_sort(FPending.begin(), FPending.end(),
                   [](const TPending& A, const TPending& B) { return A.Due < B.Due; });
}

TSimPort::TClock::time_point TSimPort::SendDue(TClock::time_point Now) {
  while (!FPending.empty() && FPending.front().Due <= Now && FFd >= 0) {
    const std::string Bytes = FPending.front().Bytes;
    FPending.erase(FPending.begin());
    if (Bytes.empty()) continue;
    size_t Done = 0;
    while (Done < Bytes.size()) {
      const ssize_t N = ::write(FFd, Bytes.data() + Done, Bytes.size() - Done);
      if (N > 0) {
        Done += static_cast<size_t>(N);
      } else if (N < 0 && errno == EINTR) {
        continue;
      } else if (N < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        // The other side does not read: wait for room instead of spinning.
        pollfd P{FFd, POLLOUT, 0};
        if (::poll(&P, 1, 1000) <= 0) break;
      } else {
        break;
      }
    }
    Log("tx " + SimEscape(Bytes));
  }
  return FPending.empty() ? TClock::time_point::max() : FPending.front().Due;
}

void ServeSimPorts(const std::vector<TSimPort*>& Ports, int StopFd) {
  std::vector<pollfd> Fds(Ports.size() + 1);
  for (;;) {
    auto Now = TSimPort::TClock::now();
    auto Next = TSimPort::TClock::time_point::max();
    for (TSimPort* Port : Ports)
      Next = std::min(Next, Port->SendDue(Now));
    int Timeout = -1;
    if (Next != TSimPort::TClock::time_point::max()) {
      const auto Wait =
          std::chrono::ceil<std::chrono::milliseconds>(Next - TSimPort::TClock::now()).count();
      Timeout = static_cast<int>(std::clamp<long long>(Wait, 0, 60000));
    }
    for (size_t I = 0; I < Ports.size(); ++I)
      Fds[I] = {Ports[I]->Fd(), POLLIN, 0};
    Fds.back() = {StopFd, POLLIN, 0};
    const int R = ::poll(Fds.data(), Fds.size(), Timeout);
    if (R < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (Fds.back().revents) return;
    Now = TSimPort::TClock::now();
    for (size_t I = 0; I < Ports.size(); ++I)
      if (Fds[I].revents) Ports[I]->HandleInput(Now);
  }
}

}  // namespace comfind
