// Why each port of a search failed, on the simulated device: the report the data module gives
// for every port beside its unchanged log lines, and another instrument's command and reply.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "framework/MainLoop.h"
#include "port/os/SimComOS.h"
#include "search/dmCom.h"

namespace comfind {

using namespace std::chrono_literals;

namespace {

class SearchReports : public testing::Test {
 protected:
  SearchReports() {
    TMainLoop::Instance().AttachMainThread();
    Dm.cpCheck->SetOS(&Sim);
    // The waits of these tests need not be the instrument's 500 ms.
    Dm.tmrFind->SetInterval(150);
    Dm.OnPortDone = [this](const TProbeReport& R) { Reports.push_back(R); };
  }

  bool Run(const std::vector<std::string>& Names) {
    TStringList Ports;
    Ports.SetItems(Names);
    Dm.StartFind(Ports, Log, [this](TFindResult R, uint8_t I) { Done.push_back({R, I}); });
    return TMainLoop::Instance().ProcessUntil([&] { return !Done.empty(); }, 20s);
  }

  TSimComOS Sim;
  TdmCom Dm{nullptr};
  TStringList Log;
  std::vector<TProbeReport> Reports;
  std::vector<std::pair<TFindResult, int>> Done;
};

}  // namespace

TEST_F(SearchReports, EveryPortGetsItsReasonAndTheLogStaysAsItWas) {
  for (const char* N : {"COM2", "COM3", "COM4", "COM5", "COM6"})
    Sim.AddDevice(N);
  // COM1 is missing; another program holds COM2; COM3 refuses the probe's write; COM4 goes
  // away while it waits; COM5 sends half a line; COM6 answers after a noise line.
  TComPort Other(nullptr);
  Other.SetOS(&Sim);
  Other.SetPort_("COM2");
  Other.Open();
  Dm.cpCheck->OnAfterOpen = [this](TObject*) {
    if (Dm.cpCheck->Port() == "COM3") Sim.FailCall("WriteFile", 87);
  };
  std::thread Far([&] {
    // Each step once the search has written the probe to that port.
    auto Written = [&](const char* N) {
      return Sim.WaitUntil([&] { return !Sim.Written(N).empty(); }, 20s);
    };
    if (Written("COM4")) Sim.Vanish("COM4");
    if (Written("COM5")) Sim.Feed("COM5", "O");
    if (Written("COM6")) Sim.Feed("COM6", std::string("E\0R\r\nok\r\ntail", 13));
  });
  ASSERT_TRUE(Run({"COM1", "COM2", "COM3", "COM4", "COM5", "COM6"}));
  Far.join();
  Other.Close();

  ASSERT_EQ(Done.size(), 1u);
  EXPECT_EQ(Done[0], std::make_pair(frFound, 5));
  const std::string Echo = FindText::ProbeEcho;
  EXPECT_EQ(Log.Items(), (std::vector<std::string>{FindText::Separator,
                                                   "COM1",
                                                   FindText::OpenFailed,
                                                   FindText::Separator,
                                                   "COM2",
                                                   FindText::OpenFailed,
                                                   FindText::Separator,
                                                   "COM3",
                                                   Echo,
                                                   FindText::OpenFailed,
                                                   FindText::Separator,
                                                   "COM4",
                                                   Echo,
                                                   FindText::NotFoundOn + std::string("COM4"),
                                                   FindText::Separator,
                                                   "COM5",
                                                   Echo,
                                                   FindText::NotFoundOn + std::string("COM5"),
                                                   FindText::Separator,
                                                   "COM6",
                                                   Echo,
                                                   std::string("<E\0R", 4),
                                                   "<ok",
                                                   FindText::FoundOn + std::string("COM6")}));

  ASSERT_EQ(Reports.size(), 6u);
  const struct {
    TProbeOutcome Outcome;
    int64_t Number;
    std::string Reply;
  } Want[] = {
      {poMissing, SIM_ERROR_FILE_NOT_FOUND, ""},
      {poBusy, SIM_ERROR_ACCESS_DENIED, ""},
      {poError, SIM_ERROR_INVALID_PARAMETER, ""},
      {poVanished, SIM_ERROR_BAD_COMMAND, ""},
      {poSilent, 0, "O"},
      {poAnswered, 0, std::string("E\0R\r\nok\r\n", 9)},
  };
  for (int I = 0; I < 6; ++I) {
    SCOPED_TRACE(I);
    const TProbeReport& R = Reports[I];
    EXPECT_EQ(R.Index, I);
    EXPECT_EQ(R.Port, "COM" + std::to_string(I + 1));
    EXPECT_EQ(R.Outcome, Want[I].Outcome) << ProbeOutcomeName(R.Outcome);
    EXPECT_EQ(R.ErrorNumber, Want[I].Number);
    EXPECT_EQ(R.ErrorMessage.empty(), Want[I].Number == 0);
    EXPECT_EQ(R.Reply, Want[I].Reply);
    EXPECT_GE(R.Milliseconds, 0);
    EXPECT_LT(R.Milliseconds, 20000);
  }
  // A closed port's event thread keeps its two events while it sleeps for the next open.
  EXPECT_TRUE(TMainLoop::Instance().ProcessUntil([&] { return Sim.OpenHandles() == 0; }, 10s));
}

TEST_F(SearchReports, AnotherInstrumentsCommandAndReply) {
  Sim.AddDevice("COM1");
  Sim.AddDevice("COM2");
  Dm.ProbeCommand = std::string("*IDN?\x00", 6);
  Dm.ExpectedReply = "Acme-3000";
  std::thread Far([&] {
    if (Sim.WaitUntil([&] { return !Sim.Written("COM1").empty(); }, 20s))
      Sim.Feed("COM1", "OK\r\n");  // the usual reply is no longer the one that counts
    if (Sim.WaitUntil([&] { return !Sim.Written("COM2").empty(); }, 20s))
      Sim.Feed("COM2", "ACME-3000\r\n");
  });
  ASSERT_TRUE(Run({"COM1", "COM2"}));
  Far.join();
  EXPECT_EQ(Sim.Written("COM1"), std::string("*IDN?\x00\r\n", 8));
  EXPECT_EQ(Log[2], std::string(">*IDN?\x00", 7));
  EXPECT_EQ(Log[4], FindText::NotFoundOn + std::string("COM1"));
  EXPECT_EQ(Log.Items().back(), FindText::FoundOn + std::string("COM2"));
  ASSERT_EQ(Reports.size(), 2u);
  EXPECT_EQ(Reports[0].Outcome, poSilent);
  EXPECT_EQ(Reports[0].Reply, "OK\r\n");
  EXPECT_EQ(Reports[1].Outcome, poAnswered);
}

TEST_F(SearchReports, AProbeStoppedMidwayIsReportedSo) {
  Sim.AddDevice("COM1");
  TStringList Ports;
  Ports.SetItems({"COM1"});
  Dm.StartFind(Ports, Log, [this](TFindResult R, uint8_t I) { Done.push_back({R, I}); });
  Sim.Feed("COM1", "12");
  ASSERT_TRUE(TMainLoop::Instance().ProcessUntil([&] { return Sim.InputQueue("COM1") == 0; }, 10s));
  const TProbeReport R = Dm.ProbeSoFar();
  EXPECT_EQ(R.Port, "COM1");
  EXPECT_EQ(R.Outcome, poStopped);
  EXPECT_EQ(R.Reply, "12");
  Dm.tmrFind->SetEnabled(false);
  Dm.cpCheck->Close();
  EXPECT_TRUE(Reports.empty());
}

}  // namespace comfind
