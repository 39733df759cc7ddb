// Runs the framework's main-thread loop on the Win32 message loop: work queued by other threads
// (the port's event thread sending its events) wakes the loop through a posted message to a
// message-only window, and the loop's timers (the search's 500 ms wait) run as one Win32 timer
// set to the next deadline. Nothing polls: between events the thread sleeps in GetMessage.
//
// Create one on the main thread before the data module; it detaches itself when destroyed.
#pragma once

#include <windows.h>

#include <atomic>
#include <exception>
#include <functional>

#include "framework/Classes.h"

namespace comfind {

class TWinMainLoop {
 public:
  TWinMainLoop();
  ~TWinMainLoop();
  TWinMainLoop(const TWinMainLoop&) = delete;
  TWinMainLoop& operator=(const TWinMainLoop&) = delete;

  // The default exception report; until one is set, a message box without an owner.
  using TReport = std::function<void(TObject* Sender, std::exception_ptr E)>;
  void SetReport(TReport Report);

 private:
  static LRESULT CALLBACK WindowProc(HWND Window, UINT Msg, WPARAM WParam, LPARAM LParam);
  void Wake();
  void Drain();

  HWND FWindow = nullptr;
  std::atomic<bool> FQueued{false};
  TReport FReport;
};

}  // namespace comfind
