// Runs one registered test class (named as the first argument) on the offscreen platform,
// with the framework's loop driven by Qt's as in the program.
#include <QApplication>
#include <QTest>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "tests/gui/GuiTest.h"
#include "ui/qt/QtMainLoop.h"

namespace comfind {

namespace {
std::map<std::string, TTestFactory>& Registry() {
  static std::map<std::string, TTestFactory> R;
  return R;
}
}  // namespace

bool RegisterGuiTest(const char* Name, TTestFactory Factory) {
  Registry()[Name] = std::move(Factory);
  return true;
}

}  // namespace comfind

using namespace comfind;

int main(int argc, char** argv) {
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication Application(argc, argv);
  new TQtMainLoop(&Application);  // a child of the application, where the tests find it
  if (argc < 2 || !Registry().count(argv[1])) {
    std::fprintf(stderr, "usage: %s <test class> [Qt Test options]\ntest classes:\n", argv[0]);
    for (const auto& Entry : Registry())
      std::fprintf(stderr, "  %s\n", Entry.first.c_str());
    return 2;
  }
  auto Test = Registry()[argv[1]]();
  // Qt Test sees the program name followed by its own options.
  argv[1] = argv[0];
  return QTest::qExec(Test.get(), argc - 1, argv + 1);
}
