#include "ui/win32/WinMainLoop.h"

#include <algorithm>

#include "framework/MainLoop.h"
#include "ui/Visual.h"
#include "ui/win32/WinText.h"

namespace comfind {

namespace {

constexpr wchar_t ClassName[] = L"comfindMainLoop";
constexpr UINT WM_DRAIN = WM_APP + 0x40;
constexpr UINT_PTR TimerId = 1;

}  // namespace

TWinMainLoop::TWinMainLoop() {
  const HINSTANCE Instance = GetModuleHandleW(nullptr);
  WNDCLASSEXW Class{};
  Class.cbSize = sizeof Class;
  Class.lpfnWndProc = &TWinMainLoop::WindowProc;
  Class.hInstance = Instance;
  Class.lpszClassName = ClassName;
  RegisterClassExW(&Class);  // fails harmlessly when registered by an earlier instance
  // A message-only window: it receives posted messages and timers, never shows, and is no
  // target of broadcasts.
  FWindow =
      CreateWindowExW(0, ClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, Instance, nullptr);
  if (!FWindow) throw Exception("the main loop's window cannot be created");
  SetWindowLongPtrW(FWindow, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));

  TMainLoop& Loop = TMainLoop::Instance();
  Loop.AttachMainThread();
  FReport = [](TObject*, std::exception_ptr E) {
    MessageBoxW(nullptr, Wide(TfmVisual::ExceptionMessage(E)).c_str(), L"comfind",
                MB_OK | MB_ICONERROR);
  };
  Loop.SetExceptionHandler([this](TObject* Sender, std::exception_ptr E) {
    if (FReport) FReport(Sender, E);
  });
  Loop.SetWakeHook([this] { Wake(); });
  // Work may have been queued before the hook was in place.
  Wake();
}

TWinMainLoop::~TWinMainLoop() {
  TMainLoop& Loop = TMainLoop::Instance();
  // Returns once no call of the hook is running: none posts to the window after this.
  Loop.SetWakeHook(nullptr);
  Loop.SetExceptionHandler(nullptr);
  DestroyWindow(FWindow);
}

void TWinMainLoop::SetReport(TReport Report) {
  FReport = std::move(Report);
}

// Any thread. One posted drain at a time is enough: it serves everything due when it runs, and
// the flag is cleared before it starts, so work queued while it runs posts the next one.
void TWinMainLoop::Wake() {
  if (FQueued.exchange(true)) return;
  if (!PostMessageW(FWindow, WM_DRAIN, 0, 0)) FQueued = false;
}

void TWinMainLoop::Drain() {
  FQueued = false;
  const auto Next = TMainLoop::Instance().ProcessPending();
  if (Next.count() < 0) {
    KillTimer(FWindow, TimerId);
  } else if (Next.count() == 0) {
    Wake();
  } else {
    // The system's timers may come up to a tick late, never early; a drain that finds its
    // deadline not quite reached sets the timer again for the rest.
    SetTimer(FWindow, TimerId, static_cast<UINT>(std::min<long long>(Next.count(), 0x7FFFFFFF)),
             nullptr);
  }
}

LRESULT CALLBACK TWinMainLoop::WindowProc(HWND Window, UINT Msg, WPARAM WParam, LPARAM LParam) {
  auto* Self = reinterpret_cast<TWinMainLoop*>(GetWindowLongPtrW(Window, GWLP_USERDATA));
  if (Self && (Msg == WM_DRAIN || (Msg == WM_TIMER && WParam == TimerId))) {
    if (Msg == WM_TIMER) KillTimer(Window, TimerId);
    // The loop's own handlers report their exceptions; this guards the loop itself.
    Guarded([Self] { Self->Drain(); });
    return 0;
  }
  return DefWindowProcW(Window, Msg, WParam, LParam);
}

}  // namespace comfind
