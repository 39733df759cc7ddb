// TPosixComOS: the operating-system layer on POSIX systems (termios, poll, eventfd).
// Skeleton: every device call fails with ENOSYS until the implementation lands.
#include "port/os/ComOS.h"

#include <cerrno>
#include <cstring>

namespace {

thread_local uint32_t tLastError = 0;

class TPosixComOS final : public TComOS {
 public:
  THandle CreateFileA(const std::string&, uint32_t, uint32_t, uint32_t, uint32_t) override {
    return Fail(), INVALID_HANDLE_VALUE_;
  }
  bool CloseHandle(THandle) override { return Fail(); }
  bool SetupComm(THandle, uint32_t, uint32_t) override { return Fail(); }
  bool SetCommState(THandle, const TDCB&) override { return Fail(); }
  bool SetCommTimeouts(THandle, const TCommTimeouts&) override { return Fail(); }
  bool SetCommMask(THandle, uint32_t) override { return Fail(); }
  bool WaitCommEvent(THandle, uint32_t*, TOverlapped*) override { return Fail(); }
  bool ReadFile(THandle, void*, uint32_t, uint32_t*, TOverlapped*) override { return Fail(); }
  bool WriteFile(THandle, const void*, uint32_t, uint32_t*, TOverlapped*) override {
    return Fail();
  }
  bool GetOverlappedResult(THandle, TOverlapped*, uint32_t*, bool) override { return Fail(); }
  bool PurgeComm(THandle, uint32_t) override { return Fail(); }
  bool ClearCommError(THandle, uint32_t*, TComStat*) override { return Fail(); }
  bool GetCommModemStatus(THandle, uint32_t*) override { return Fail(); }
  THandle CreateEventA(bool, bool) override { return Fail(), THandle{0}; }
  bool SetEvent(THandle) override { return Fail(); }
  bool ResetEvent(THandle) override { return Fail(); }
  uint32_t WaitForMultipleObjects(uint32_t, const THandle*, uint32_t) override {
    return Fail(), WAIT_FAILED_;
  }
  uint32_t WaitForSingleObject(THandle, uint32_t) override { return Fail(), WAIT_FAILED_; }
  void Sleep(uint32_t) override {}
  uint32_t GetLastError() override { return tLastError; }
  void SetLastError(uint32_t Error) override { tLastError = Error; }

 private:
  static bool Fail() {
    tLastError = ENOSYS;
    return false;
  }
};

}  // namespace

TComOS& TComOS::Default() {
  static TPosixComOS OS;
  return OS;
}

std::string SysErrorMessage(uint32_t Error) {
  return std::strerror(static_cast<int>(Error));
}
