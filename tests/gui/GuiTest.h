// Shared pieces of the window tests: a registry of Qt Test classes (one ctest test per class),
// the window over a list of port names the test controls, and the system's texts.
#pragma once

#include <QObject>
#include <QString>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "framework/Classes.h"
#include "search/dmCom.h"
#include "ui/qt/QtVisual.h"

using namespace comfind;

namespace comfind {

using TTestFactory = std::function<std::unique_ptr<QObject>()>;
// Registers a test class under its name; main() runs the class named on the command line.
bool RegisterGuiTest(const char* Name, TTestFactory Factory);
#define COMFIND_GUI_TEST(Class)         \
  static const bool Class##Registered = \
      RegisterGuiTest(#Class, [] { return std::unique_ptr<QObject>(std::make_unique<Class>()); })

// A code page 1251 text as the widgets show it.
inline QString Ui(const std::string& Cp1251) {
  return QString::fromStdString(Cp1251ToUtf8(Cp1251));
}

// The data module and the window over Ports, which the test may change before a refresh.
struct TWindowUnderTest {
  std::vector<std::string> Ports;
  // When false the list source fails the way an unreadable system list does: it leaves the
  // list it is given untouched.
  bool Readable = true;
  std::unique_ptr<TdmCom> Dm;
  std::unique_ptr<TQtVisual> Window;

  explicit TWindowUnderTest(std::vector<std::string> Initial) : Ports(std::move(Initial)) {
    Dm = std::make_unique<TdmCom>(nullptr);
    Window = std::make_unique<TQtVisual>(*Dm, [this](TStrings& List) {
      if (Readable) List.SetItems(Ports);
    });
  }
  ~TWindowUnderTest() {
    Window.reset();
    Dm.reset();
  }
  TfmVisual& Form() const { return Window->Form(); }
  const std::vector<std::string>& Log() const { return Form().HistoryLines().Items(); }
  void DeviceChange(uintptr_t Code = 7) {
    TMessage M;
    M.Msg = 0x0219;
    M.WParam = Code;
    Form().HandleDeviceChange(M);
  }
};

}  // namespace comfind
