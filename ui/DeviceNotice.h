// The notice that the set of devices changed, as the window's HandleDeviceChange receives it:
// a WM_DEVICECHANGE message whose first parameter is the event code. Windows delivers the real
// broadcast; elsewhere a watcher makes up the same message when serial device nodes come or go.
//
// Free of Qt and of the framework's loop header, so that the Windows reading below builds with
// <windows.h> alone, also where no Qt is at hand.
#pragma once

#include <cstdint>

namespace comfind {

constexpr uint32_t WM_DEVICECHANGE_ = 0x0219;
// A device has been added to or removed from the system.
constexpr uintptr_t DBT_DEVNODES_CHANGED_ = 0x0007;

// The parts of a window message the handler looks at.
struct TDeviceNotice {
  uint32_t Msg = 0;
  uintptr_t WParam = 0;
  intptr_t LParam = 0;
};

// Windows only: reads the native message NativeMsg (a MSG*) and, when it is WM_DEVICECHANGE
// addressed to the window WindowHandle (an HWND), copies it into Notice and returns true.
bool DecodeDeviceChange(const void* NativeMsg, uintptr_t WindowHandle, TDeviceNotice& Notice);

}  // namespace comfind
