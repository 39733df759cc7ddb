#include <QAbstractNativeEventFilter>
#include <QCoreApplication>
#include <QPointer>
#include <QWidget>

#include "ui/qt/DeviceWatch.h"

namespace comfind {

struct TDeviceWatch::TImpl : QAbstractNativeEventFilter {
  QPointer<QWidget> Window;
  TNotice OnNotice;

  bool nativeEventFilter(const QByteArray& EventType, void* Message, qintptr*) override {
    if (EventType != "windows_generic_MSG" || !Window) return false;
    TDeviceNotice Notice;
    if (!DecodeDeviceChange(Message, static_cast<uintptr_t>(Window->winId()), Notice)) return false;
    TMessage Msg;
    Msg.Msg = Notice.Msg;
    Msg.WParam = Notice.WParam;
    Msg.LParam = Notice.LParam;
    if (OnNotice) OnNotice(Msg);
    // Handled here: neither the default handling nor a result of our own.
    return true;
  }
};

TDeviceWatch::TDeviceWatch(QWidget* Window, TNotice OnNotice, const QString&, QObject* Parent)
    : QObject(Parent), FImpl(std::make_unique<TImpl>()) {
  FImpl->Window = Window;
  FImpl->OnNotice = std::move(OnNotice);
  QCoreApplication::instance()->installNativeEventFilter(FImpl.get());
}

TDeviceWatch::~TDeviceWatch() {
  if (QCoreApplication::instance())
    QCoreApplication::instance()->removeNativeEventFilter(FImpl.get());
}

bool TDeviceWatch::Active() const {
  return true;
}

}  // namespace comfind
