// Delivers the notice that devices came or went (DevNodesChangedMessage, or the system's own
// WM_DEVICECHANGE on Windows) to a handler on the main thread. Costs nothing while no device
// changes: it waits in Qt's event loop for the system to speak.
//   - Windows: a native event filter passes on the WM_DEVICECHANGE broadcasts that reach Window.
//   - Linux: inotify on DevRoot; a batch of serial device nodes (tty*, rfcomm*) created,
//     removed or renamed there becomes one notice with the event code 7.
// If the platform cannot watch (no inotify), the watcher stays inactive and says so in Active().
#pragma once

#include <QObject>
#include <QString>
#include <functional>
#include <memory>

#include "framework/MainLoop.h"
#include "ui/DeviceNotice.h"

// The message that stands for "a device has been added or removed" (event code 7).

class QWidget;

namespace comfind {

inline TMessage DevNodesChangedMessage() {
  TMessage Message;
  Message.Msg = WM_DEVICECHANGE_;
  Message.WParam = DBT_DEVNODES_CHANGED_;
  return Message;
}

class TDeviceWatch : public QObject {
  Q_OBJECT

 public:
  using TNotice = std::function<void(TMessage&)>;
  TDeviceWatch(QWidget* Window, TNotice OnNotice, const QString& DevRoot = QStringLiteral("/dev"),
               QObject* Parent = nullptr);
  ~TDeviceWatch() override;

  bool Active() const;

 private:
  struct TImpl;
  std::unique_ptr<TImpl> FImpl;
};

}  // namespace comfind
