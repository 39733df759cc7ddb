// The notice that the set of devices changed, as the window's HandleDeviceChange receives it:
// a WM_DEVICECHANGE message whose first parameter is the event code. Windows delivers the real
// broadcast; elsewhere a watcher makes up the same message when serial device nodes come or go.
#pragma once

#include <cstdint>

#include "framework/MainLoop.h"

constexpr uint32_t WM_DEVICECHANGE_ = 0x0219;
// A device has been added to or removed from the system.
constexpr uintptr_t DBT_DEVNODES_CHANGED_ = 0x0007;

inline TMessage DevNodesChangedMessage() {
  TMessage Message;
  Message.Msg = WM_DEVICECHANGE_;
  Message.WParam = DBT_DEVNODES_CHANGED_;
  return Message;
}

// Windows only, free of Qt so that it builds where Qt does not: reads the native message
// NativeMsg (a MSG*) and, when it is WM_DEVICECHANGE addressed to the window WindowHandle (an
// HWND), copies it into Message and returns true.
bool DecodeDeviceChange(const void* NativeMsg, uintptr_t WindowHandle, TMessage& Message);
