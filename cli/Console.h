// What comfind-cli needs of the console beyond standard C++: UTF-8 output, and Ctrl+C turned
// into an ordinary call instead of the end of the process.
#pragma once

#include <functional>
#include <memory>
#include <string>

// Makes the console show the program's UTF-8 output as such (Windows consoles default to an
// OEM code page); nothing to do elsewhere.

namespace comfind {

void PrepareUtf8Console();

// While it exists, Ctrl+C (and a termination request) no longer ends the process: OnInterrupt
// is called instead, on a thread of its own, and may only hand the work on (TMainLoop::Post).
// Nothing runs in the signal handler itself. A second Ctrl+C ends the process the usual way, in
// case the first cannot be served. The destructor restores the previous handling and joins.
class TInterruptWatch {
 public:
  explicit TInterruptWatch(std::function<void()> OnInterrupt);
  ~TInterruptWatch();
  TInterruptWatch(const TInterruptWatch&) = delete;
  TInterruptWatch& operator=(const TInterruptWatch&) = delete;

 private:
  struct TImpl;
  std::unique_ptr<TImpl> FImpl;
};

// True when the device behind the port name exists but this user may neither read nor write it
// (on Linux the serial devices belong to the group 'dialout'); DevicePath gets the path that was
// checked. Always false on Windows, where access to a port is not a matter of groups.
bool PortPermissionDenied(const std::string& PortName, std::string& DevicePath);

}  // namespace comfind
