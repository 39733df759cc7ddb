#include <sys/inotify.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "ui/qt/DeviceWatch.h"

namespace comfind {

namespace {

// Serial device nodes: ttyS, ttyUSB, ttyACM, ttyAMA ... and Bluetooth's rfcomm. Virtual
// consoles (tty1) come and go too, but never on their own while the tool runs.
bool IsSerialNodeName(std::string_view Name) {
  return Name.substr(0, 3) == "tty" || Name.substr(0, 6) == "rfcomm";
}

}  // namespace

struct TDeviceWatch::TImpl {
  int Fd = -1;
  QSocketNotifier* Notifier = nullptr;
  TNotice OnNotice;

  // Reads every queued event; true when one of them concerns a serial node.
  bool DrainEvents() {
    bool Relevant = false;
    alignas(inotify_event) char Buffer[4096];
    for (;;) {
      const ssize_t N = read(Fd, Buffer, sizeof Buffer);
      if (N <= 0) {
        if (N < 0 && errno == EINTR) continue;
        break;  // EAGAIN: all read
      }
      for (ssize_t Off = 0; Off < N;) {
        const auto* Ev = reinterpret_cast<const inotify_event*>(Buffer + Off);
        // A queue overflow lost events: assume the worst and rebuild the list.
        if (Ev->mask & IN_Q_OVERFLOW) Relevant = true;
        if (Ev->len > 0 && IsSerialNodeName(std::string_view(Ev->name, strnlen(Ev->name, Ev->len))))
          Relevant = true;
        Off += static_cast<ssize_t>(sizeof(inotify_event) + Ev->len);
      }
    }
    return Relevant;
  }
};

TDeviceWatch::TDeviceWatch(QWidget*, TNotice OnNotice, const QString& DevRoot, QObject* Parent)
    : QObject(Parent), FImpl(std::make_unique<TImpl>()) {
  FImpl->OnNotice = std::move(OnNotice);
  FImpl->Fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (FImpl->Fd < 0) return;
  const QByteArray Path = DevRoot.toLocal8Bit();
  if (inotify_add_watch(FImpl->Fd, Path.constData(),
                        IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ONLYDIR) < 0) {
    close(FImpl->Fd);
    FImpl->Fd = -1;
    return;
  }
  FImpl->Notifier = new QSocketNotifier(FImpl->Fd, QSocketNotifier::Read, this);
  connect(FImpl->Notifier, &QSocketNotifier::activated, this, [this] {
    if (!FImpl->DrainEvents()) return;
    TMessage Message = DevNodesChangedMessage();
    if (FImpl->OnNotice) FImpl->OnNotice(Message);
  });
}

TDeviceWatch::~TDeviceWatch() {
  delete FImpl->Notifier;  // before its descriptor goes
  if (FImpl->Fd >= 0) close(FImpl->Fd);
}

bool TDeviceWatch::Active() const {
  return FImpl->Fd >= 0;
}

}  // namespace comfind
