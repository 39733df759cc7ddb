// What the end-to-end tests of comfind-cli share: the texts of the log as the program prints
// them (UTF-8: the string literals here are UTF-8 text), instrument-sim processes on
// pseudo-terminals, and the program run to its end.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "testkit/Process.h"

namespace comfind {

using namespace std::chrono_literals;

using TLines = std::vector<std::string>;

const std::string Searching = "Идет поиск...";
const std::string Sep = "===================================";
const std::string Echo = ">TRG0000000010000";
const std::string FoundOn = "Устройство найдено на ";
const std::string NotFoundOn = "Устройство не найдено на ";
const std::string OpenFailed = "COM-порт не может быть открыт";
const std::string NotFound = "Устройство не найдено";
const std::string Stopped = "Ожидание ответа прервано на ";

// A running instrument-sim and the device path it printed.
struct TSim {
  std::unique_ptr<TProcess> Process;
  std::string Path;
  // Stops the simulator and returns what it logged after the path.
  TLines Stop() {
    Process->Signal(SIGTERM);
    Process->Finish(10s);
    TLines Lines = Process->OutLines();
    if (!Lines.empty()) Lines.erase(Lines.begin());
    return Lines;
  }
};

class CliEndToEnd : public testing::Test {
 protected:
  void SetUp() override {
    Cli = BuildProgram("cli/comfind-cli");
    SimProgram = BuildProgram("tools/instrument-sim");
    ASSERT_FALSE(Cli.empty()) << "COMFIND_BUILD_DIR is not set (run through ctest)";
    ASSERT_EQ(::access(Cli.c_str(), X_OK), 0) << Cli;
    ASSERT_EQ(::access(SimProgram.c_str(), X_OK), 0) << SimProgram;
  }

  TSim StartSim(const std::vector<std::string>& Args = {}) {
    TSim Sim;
    Sim.Process = std::make_unique<TProcess>(SimProgram, Args);
    EXPECT_TRUE(Sim.Process->ReadLine(Sim.Path, 10s)) << Sim.Process->Err();
    return Sim;
  }

  // Runs comfind-cli to its end; returns the exit status.
  int RunCli(const std::vector<std::string>& Args, std::unique_ptr<TProcess>& Process,
             std::chrono::milliseconds Deadline = 30s) {
    Process = std::make_unique<TProcess>(Cli, Args);
    return Process->Finish(Deadline);
  }

  static TLines Found(const std::string& Path, const std::string& Reply = "<OK") {
    return {Sep, Path, Echo, Reply, FoundOn + Path};
  }
  static TLines Silent(const std::string& Path, const TLines& Received = {}) {
    TLines L{Sep, Path, Echo};
    L.insert(L.end(), Received.begin(), Received.end());
    L.push_back(NotFoundOn + Path);
    return L;
  }
  // The block of a port whose wait the search cut short when another port answered.
  static TLines Cut(const std::string& Path, const TLines& Received = {}) {
    TLines L{Sep, Path, Echo};
    L.insert(L.end(), Received.begin(), Received.end());
    L.push_back(Stopped + Path);
    return L;
  }
  static TLines Unopened(const std::string& Path) { return {Sep, Path, OpenFailed}; }
  static TLines Join(std::initializer_list<TLines> Parts) {
    TLines All;
    for (const TLines& P : Parts)
      All.insert(All.end(), P.begin(), P.end());
    return All;
  }

  std::string Cli;
  std::string SimProgram;
};

}  // namespace comfind
