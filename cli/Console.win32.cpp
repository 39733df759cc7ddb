#include "cli/Console.h"

#include <windows.h>

#include <mutex>
#include <utility>

namespace comfind {

void PrepareUtf8Console() {
  ::SetConsoleOutputCP(CP_UTF8);
}

bool PortPermissionDenied(const std::string&, std::string& DevicePath) {
  DevicePath.clear();
  return false;
}

namespace {
std::mutex HandlerLock;
std::function<void()>* Handler = nullptr;
bool Interrupted = false;

// Windows calls this on a thread of its own, so handing the work on is all it does.
BOOL WINAPI OnConsoleControl(DWORD Type) {
  if (Type != CTRL_C_EVENT && Type != CTRL_BREAK_EVENT && Type != CTRL_CLOSE_EVENT) return FALSE;
  std::lock_guard<std::mutex> Guard(HandlerLock);
  // The second Ctrl+C goes to the default handler, which ends the process.
  if (!Handler || Interrupted) return FALSE;
  Interrupted = true;
  (*Handler)();
  return TRUE;
}
}  // namespace

struct TInterruptWatch::TImpl {
  std::function<void()> OnInterrupt;
};

TInterruptWatch::TInterruptWatch(std::function<void()> OnInterrupt)
    : FImpl(std::make_unique<TImpl>()) {
  FImpl->OnInterrupt = std::move(OnInterrupt);
  {
    std::lock_guard<std::mutex> Guard(HandlerLock);
    Handler = &FImpl->OnInterrupt;
    Interrupted = false;
  }
  ::SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

TInterruptWatch::~TInterruptWatch() {
  ::SetConsoleCtrlHandler(OnConsoleControl, FALSE);
  std::lock_guard<std::mutex> Guard(HandlerLock);
  Handler = nullptr;
}

}  // namespace comfind
