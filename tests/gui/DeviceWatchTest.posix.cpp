// The device-change watcher on Linux, over a fabricated sysfs and /dev: a serial node appearing
// or vanishing reaches the window as the notice with code 7, and the list follows.
#include <QAction>
#include <QComboBox>
#include <QTest>
#include <filesystem>
#include <fstream>
#include <random>

#include "port/ComEnum.h"
#include "tests/gui/GuiTest.h"
#include "ui/VisualText.h"
#include "ui/qt/DeviceWatch.h"

namespace comfind {

namespace fs = std::filesystem;

class TDeviceWatchTest : public QObject {
  Q_OBJECT

  fs::path FRoot;

  fs::path Sys() const { return FRoot / "sys"; }
  fs::path Dev() const { return FRoot / "dev"; }
  void Plug(const std::string& Name) {
    fs::create_directories(Sys() / "class" / "tty" / Name / "device");
    std::ofstream(Dev() / Name).put('\0');
  }
  void Unplug(const std::string& Name) {
    // As the kernel does it: the node goes first, the sysfs entry after.
    fs::remove(Dev() / Name);
    fs::remove_all(Sys() / "class" / "tty" / Name);
  }

 private slots:
  void init() {
    std::random_device Rd;
    FRoot = fs::temp_directory_path() / ("comfind-watch-" + std::to_string(Rd()));
    fs::create_directories(Sys() / "class" / "tty");
    fs::create_directories(Dev());
  }
  void cleanup() {
    std::error_code Ignored;
    fs::remove_all(FRoot, Ignored);
  }

  void NodesComingAndGoingBecomeOneNoticeEach() {
    std::vector<uintptr_t> Codes;
    TDeviceWatch Watch(
        nullptr,
        [&Codes](TMessage& M) {
          QCOMPARE(M.Msg, 0x0219u);
          Codes.push_back(M.WParam);
        },
        QString::fromStdString(Dev().string()));
    QVERIFY(Watch.Active());
    Plug("ttyUSB0");
    QTRY_COMPARE_WITH_TIMEOUT(Codes.size(), size_t(1), 10000);
    Unplug("ttyUSB0");
    QTRY_COMPARE_WITH_TIMEOUT(Codes.size(), size_t(2), 10000);
    for (uintptr_t Code : Codes)
      QCOMPARE(Code, uintptr_t(7));
  }

  void AnUnwatchableDirectoryLeavesTheWatcherInactive() {
    int Notices = 0;
    TDeviceWatch Watch(
        nullptr, [&Notices](TMessage&) { ++Notices; },
        QString::fromStdString((FRoot / "absent").string()));
    QVERIFY(!Watch.Active());
    QCOMPARE(Notices, 0);
  }

  void TheWindowFollowsPluggingAndUnplugging() {
    Plug("ttyS0");
    auto Dm = std::make_unique<TdmCom>(nullptr);
    const std::string SysRoot = Sys().string(), DevRoot = Dev().string();
    auto Window = std::make_unique<TQtVisual>(
        *Dm, [SysRoot, DevRoot](TStrings& List) { ListComPortsFrom(List, SysRoot, DevRoot); });
    TfmVisual& Form = Window->Form();
    TDeviceWatch Watch(
        Window.get(), [&Form](TMessage& M) { Form.HandleDeviceChange(M); },
        QString::fromStdString(DevRoot));
    QCOMPARE(Form.ComboText(), std::string("ttyS0"));

    Plug("ttyUSB0");
    QTRY_COMPARE_WITH_TIMEOUT(Form.ComboText(), std::string("ttyUSB0"), 10000);
    QVERIFY(Form.HistoryLines().Items().empty());

    Unplug("ttyUSB0");
    QTRY_COMPARE_WITH_TIMEOUT(Form.HistoryLines().Count(), 1, 10000);
    QCOMPARE(Form.HistoryLines()[0], std::string(VisualText::PortRemoved));
    QCOMPARE(Form.RezCaption(), std::string(VisualText::PortRemoved));
    QCOMPARE(Form.ComboText(), std::string("ttyS0"));
    Window.reset();
    Dm.reset();
  }
};
COMFIND_GUI_TEST(TDeviceWatchTest);

}  // namespace comfind

#include "DeviceWatchTest.posix.moc"
