// Loading into an open port (the simulated device): every value reaches the device as it is
// read, a new port name reopens the port, and a setting the device refuses stops the load.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "StorageTestUtil.h"
#include "framework/MainLoop.h"
#include "port/ComErrors.h"
#include "port/os/SimComOS.h"
#include "port/storage/IniFile.h"

namespace comfind {

namespace {

class OpenPortLoad : public testing::Test {
 protected:
  void SetUp() override {
    TMainLoop::Instance().AttachMainThread();
    Sim.AddDevice("COM5");
    Sim.AddDevice("COM6");
    Port = std::make_unique<TComPort>(nullptr);
    Port->SetName("cpCheck");
    Port->SetOS(&Sim);
    Port->SetPort_("COM5");
    // No event thread: the load is about settings, not events.
    Port->SetEvents(TComEvents{});
    Port->SetStoredProps(AllStoredProps());
    Port->Open();
    Sim.ClearCalls();
  }
  void TearDown() override {
    Port.reset();
    EXPECT_EQ(Sim.OpenHandles(), 0u);
  }

  size_t CallCount(const std::string& Name) const {
    size_t N = 0;
    for (const TSimComOS::TCall& C : Sim.Calls())
      if (C.Name == Name) ++N;
    return N;
  }

  void Load(const std::string& Section) {
    TIniText Text("[cpCheck]\n" + Section);
    TTempDir Dir;
    WriteFileBytes(Dir.File("s.ini"), Text.Text());
    TDiskIniFile Ini(Dir.File("s.ini"));
    Port->LoadFromIniFile(Ini);
  }

  TSimComOS Sim;
  std::unique_ptr<TComPort> Port;
};

}  // namespace

TEST_F(OpenPortLoad, EachChangedValueReachesTheDeviceWhenItIsRead) {
  Load(
      "BaudRate=19200\n"
      "Parity=Even\n"
      "Buffer.InputSize=2048\n"
      "Timeouts.ReadInterval=5\n"
      "FlowControl.ControlDTR=Enable\n");
  const TDCB Dcb = Sim.State("COM5");
  EXPECT_EQ(Dcb.BaudRate, 19200u);
  EXPECT_EQ(Dcb.Parity, 2);
  EXPECT_EQ(Dcb.Flags & 0x0030u, 0x0010u);
  EXPECT_EQ(Sim.InputSize("COM5"), 2048u);
  EXPECT_EQ(Sim.Timeouts("COM5").ReadIntervalTimeout, 5u);
  // Three changed line settings, and the combined flow-control mode of the basic group, which
  // applies the line settings even when it changes nothing.
  EXPECT_EQ(CallCount("SetCommState"), 4u);
  EXPECT_EQ(CallCount("SetupComm"), 1u);
  EXPECT_EQ(CallCount("SetCommTimeouts"), 1u);
  EXPECT_TRUE(Port->Connected());
}

TEST_F(OpenPortLoad, ANewPortNameReopensAndTheRestGoesToTheNewDevice) {
  Load(
      "Port=COM6\n"
      "DataBits=7\n");
  EXPECT_TRUE(Port->Connected());
  EXPECT_FALSE(Sim.IsOpen("COM5"));
  EXPECT_TRUE(Sim.IsOpen("COM6"));
  EXPECT_EQ(Sim.State("COM6").ByteSize, 7);
}

TEST_F(OpenPortLoad, ARefusedSettingStopsTheLoadAtThatKey) {
  Sim.FailCall("SetCommState", SIM_ERROR_INVALID_PARAMETER);
  try {
    Load(
        "BaudRate=115200\n"
        "StopBits=2\n"
        "Buffer.OutputSize=4096\n");
    FAIL() << "the refused rate raised nothing";
  } catch (const EComPort& E) {
    EXPECT_EQ(E.ErrorCode(), CE_SetStateFailed);
  }
  // The setter keeps the value it was given; nothing after it was read.
  EXPECT_EQ(Port->BaudRate(), br115200);
  EXPECT_EQ(Port->StopBits(), sbOneStopBit);
  EXPECT_EQ(Port->Buffer().OutputSize(), 1024);
  EXPECT_EQ(CallCount("SetupComm"), 0u);
  EXPECT_TRUE(Port->Connected());
}

}  // namespace comfind
