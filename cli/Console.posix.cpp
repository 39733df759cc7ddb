#include "cli/Console.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>

namespace comfind {

void PrepareUtf8Console() {}

bool PortPermissionDenied(const std::string& PortName, std::string& DevicePath) {
  // The same path the device layer opens: a name is looked up under /dev/, a path used as is.
  DevicePath = !PortName.empty() && PortName[0] == '/' ? PortName : "/dev/" + PortName;
  if (::access(DevicePath.c_str(), R_OK | W_OK) == 0) return false;
  return errno == EACCES || errno == EPERM;
}

namespace {
// The write end of the self-pipe the signal handler writes to; one watch at a time.
int SignalWriteFd = -1;

void OnSignal(int) {
  const int Saved = errno;
  const char Byte = 1;
  [[maybe_unused]] ssize_t N = ::write(SignalWriteFd, &Byte, 1);
  errno = Saved;
}
}  // namespace

struct TInterruptWatch::TImpl {
  int SignalPipe[2] = {-1, -1};
  int StopPipe[2] = {-1, -1};
  struct sigaction OldInt {};
  struct sigaction OldTerm {};
  std::thread Watcher;
};

TInterruptWatch::TInterruptWatch(std::function<void()> OnInterrupt)
    : FImpl(std::make_unique<TImpl>()) {
  if (::pipe2(FImpl->SignalPipe, O_CLOEXEC | O_NONBLOCK) != 0 ||
      ::pipe2(FImpl->StopPipe, O_CLOEXEC) != 0) {
    const std::string Text = std::strerror(errno);
    for (int Fd : {FImpl->SignalPipe[0], FImpl->SignalPipe[1], FImpl->StopPipe[0]})
      if (Fd >= 0) ::close(Fd);
    throw std::runtime_error("pipe: " + Text);
  }
  SignalWriteFd = FImpl->SignalPipe[1];
  struct sigaction Action {};
  Action.sa_handler = OnSignal;
  sigemptyset(&Action.sa_mask);
  // One interrupt is served; the next one finds the default action again and ends the process.
  Action.sa_flags = SA_RESETHAND;
  ::sigaction(SIGINT, &Action, &FImpl->OldInt);
  ::sigaction(SIGTERM, &Action, &FImpl->OldTerm);
  const int SignalFd = FImpl->SignalPipe[0];
  const int StopFd = FImpl->StopPipe[0];
  FImpl->Watcher = std::thread([SignalFd, StopFd, OnInterrupt = std::move(OnInterrupt)] {
    pollfd Fds[2] = {{SignalFd, POLLIN, 0}, {StopFd, POLLIN, 0}};
    for (;;) {
      if (::poll(Fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (Fds[1].revents) return;
      if (Fds[0].revents) {
        char Bytes[16];
        while (::read(SignalFd, Bytes, sizeof Bytes) > 0) {
        }
        OnInterrupt();
      }
    }
  });
}

TInterruptWatch::~TInterruptWatch() {
  ::sigaction(SIGINT, &FImpl->OldInt, nullptr);
  ::sigaction(SIGTERM, &FImpl->OldTerm, nullptr);
  const char Byte = 0;
  while (::write(FImpl->StopPipe[1], &Byte, 1) < 0 && errno == EINTR) {
  }
  FImpl->Watcher.join();
  SignalWriteFd = -1;
  for (int Fd :
       {FImpl->SignalPipe[0], FImpl->SignalPipe[1], FImpl->StopPipe[0], FImpl->StopPipe[1]})
    ::close(Fd);
}

}  // namespace comfind
