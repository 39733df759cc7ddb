#include <windows.h>

#include "ui/DeviceNotice.h"

namespace comfind {

static_assert(WM_DEVICECHANGE == WM_DEVICECHANGE_);

bool DecodeDeviceChange(const void* NativeMsg, uintptr_t WindowHandle, TDeviceNotice& Notice) {
  const MSG* Msg = static_cast<const MSG*>(NativeMsg);
  // The broadcast reaches every top-level window of the thread (a message box too); the list
  // is rebuilt once, for the main window's copy.
  if (!Msg || Msg->message != WM_DEVICECHANGE) return false;
  if (reinterpret_cast<uintptr_t>(Msg->hwnd) != WindowHandle) return false;
  Notice.Msg = Msg->message;
  Notice.WParam = static_cast<uintptr_t>(Msg->wParam);
  Notice.LParam = static_cast<intptr_t>(Msg->lParam);
  return true;
}

}  // namespace comfind
