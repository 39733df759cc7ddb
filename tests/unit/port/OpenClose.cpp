// The port object on the simulated device: defaults, the open and close sequences with the
// exact calls they make, the device control block, property changes and every failure path.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "tests/support/PortAccess.h"
#include "tests/unit/port/PortFixture.h"

namespace comfind {

namespace {

// Waits for a condition of the port's own threads, which the simulated device is not told of:
// looked at every millisecond until the deadline.
bool Eventually(const std::function<bool()>& Condition) {
  const auto End = std::chrono::steady_clock::now() + 10s;
  while (!Condition()) {
    if (std::chrono::steady_clock::now() > End) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

std::vector<std::string> Without(std::vector<std::string> Names, const std::string& Drop) {
  Names.erase(std::remove(Names.begin(), Names.end(), Drop), Names.end());
  return Names;
}

size_t IndexOf(const std::vector<std::string>& V, const std::string& S, size_t From = 0) {
  for (size_t I = From; I < V.size(); ++I)
    if (V[I] == S) return I;
  return V.size();
}

}  // namespace

using PortDefaults = SimPortTest;

TEST_F(PortDefaults, FreshPortHoldsTheConstructorValues) {
  TComPort P(nullptr);
  EXPECT_EQ(P.Port(), "COM1");
  EXPECT_EQ(P.BaudRate(), br9600);
  EXPECT_EQ(P.CustomBaudRate(), 9600);
  EXPECT_EQ(P.DataBits(), dbEight);
  EXPECT_EQ(P.StopBits(), sbOneStopBit);
  EXPECT_EQ(P.Parity().Bits(), prNone);
  EXPECT_EQ(P.Events(), AllComEvents());
  EXPECT_EQ(P.SyncMethod(), smThreadSync);
  EXPECT_EQ(P.StoredProps(), TStoredProps{spBasic});
  EXPECT_TRUE(P.TriggersOnRxChar());
  EXPECT_FALSE(P.Connected());
  EXPECT_EQ(P.DeviceHandle(), INVALID_HANDLE_VALUE_);
  EXPECT_FALSE(TComPortTestAccess::ThreadCreated(P));
  EXPECT_EQ(P.CodePage(), 0u);
  EXPECT_EQ(P.EventChar(), 0);
  EXPECT_FALSE(P.DiscardNull());
  EXPECT_EQ(P.EventThreadPriority(), tpNormal);
  EXPECT_EQ(TComPortTestAccess::UpdateCount(P), 0);
  EXPECT_EQ(P.ClassName(), "TComPort");
}

// --- the device control block

TEST_F(PortDefaults, ApplicationSettingsGiveFlagWord0x11AndLimits256) {
  ApplyApplicationSettings(*Port);
  const TDCB D = TComPortTestAccess::BuildDCB(*Port);
  EXPECT_EQ(D.DCBlength, 28u);
  EXPECT_EQ(D.BaudRate, 19200u);
  EXPECT_EQ(D.Flags, 0x0011u);
  EXPECT_EQ(D.XonLim, 256);
  EXPECT_EQ(D.XoffLim, 256);
  EXPECT_EQ(D.ByteSize, 8);
  EXPECT_EQ(D.Parity, 0);
  EXPECT_EQ(D.StopBits, 0);
  EXPECT_EQ(D.XonChar, 17);
  EXPECT_EQ(D.XoffChar, 19);
  EXPECT_EQ(D.ErrorChar, 0);
  EXPECT_EQ(D.EofChar, 0);
  EXPECT_EQ(D.EvtChar, 0);
  EXPECT_EQ(D.wReserved, 0);
  EXPECT_EQ(D.wReserved1, 0);
}

TEST_F(PortDefaults, EveryFlagFollowsItsSetting) {
  struct TCase {
    const char* Name;
    std::function<void(TCustomComPort&)> Set;
    uint32_t Flags;
  };
  const std::vector<TCase> Cases = {
      {"check", [](TCustomComPort& P) { P.Parity().SetCheck(true); }, 0x0002},
      {"cts", [](TCustomComPort& P) { P.FlowControl().SetOutCTSFlow(true); }, 0x0004},
      {"dsr", [](TCustomComPort& P) { P.FlowControl().SetOutDSRFlow(true); }, 0x0008},
      {"dtr on", [](TCustomComPort& P) { P.FlowControl().SetControlDTR(dtrEnable); }, 0x0010},
      {"dtr hs", [](TCustomComPort& P) { P.FlowControl().SetControlDTR(dtrHandshake); }, 0x0020},
      {"dsr sens", [](TCustomComPort& P) { P.FlowControl().SetDSRSensitivity(true); }, 0x0040},
      {"txcont", [](TCustomComPort& P) { P.FlowControl().SetTxContinueOnXoff(true); }, 0x0080},
      {"outx", [](TCustomComPort& P) { P.FlowControl().SetXonXoffOut(true); }, 0x0100},
      {"inx", [](TCustomComPort& P) { P.FlowControl().SetXonXoffIn(true); }, 0x0200},
      {"replace without check", [](TCustomComPort& P) { P.Parity().SetReplace(true); }, 0},
      {"check and replace",
       [](TCustomComPort& P) {
         P.Parity().SetCheck(true);
         P.Parity().SetReplace(true);
       },
       0x0402},
      {"null", [](TCustomComPort& P) { P.SetDiscardNull(true); }, 0x0800},
      {"rts on", [](TCustomComPort& P) { P.FlowControl().SetControlRTS(rtsEnable); }, 0x1000},
      {"rts hs", [](TCustomComPort& P) { P.FlowControl().SetControlRTS(rtsHandshake); }, 0x2000},
      {"rts toggle", [](TCustomComPort& P) { P.FlowControl().SetControlRTS(rtsToggle); }, 0x3000},
  };
  for (const auto& C : Cases) {
    TComPort P(nullptr);
    C.Set(P);
    EXPECT_EQ(TComPortTestAccess::BuildDCB(P).Flags, 0x0001u | C.Flags) << C.Name;
  }
}

TEST_F(PortDefaults, RateLimitsFramingAndCharactersComeFromTheSettings) {
  TComPort P(nullptr);
  P.SetCustomBaudRate(31250);
  EXPECT_EQ(TComPortTestAccess::BuildDCB(P).BaudRate, 9600u)
      << "CustomBaudRate is ignored unless brCustom";
  P.SetBaudRate(brCustom);
  EXPECT_EQ(TComPortTestAccess::BuildDCB(P).BaudRate, 31250u);
  P.SetBaudRate(br115200);
  EXPECT_EQ(TComPortTestAccess::BuildDCB(P).BaudRate, 115200u);

  P.Buffer().SetInputSize(6);
  EXPECT_EQ(TComPortTestAccess::BuildDCB(P).XonLim, 1);
  EXPECT_EQ(TComPortTestAccess::BuildDCB(P).XoffLim, 1);

  P.SetDataBits(dbFive);
  P.SetStopBits(sbTwoStopBits);
  P.Parity().SetBits(prSpace);  // without Check: the parity byte is written all the same
  P.SetEventChar('\n');
  P.Parity().SetReplaceChar('?');
  P.FlowControl().SetXonChar('a');
  P.FlowControl().SetXoffChar('b');
  TDCB D = TComPortTestAccess::BuildDCB(P);
  EXPECT_EQ(D.ByteSize, 5);
  EXPECT_EQ(D.StopBits, 2);
  EXPECT_EQ(D.Parity, 4);
  EXPECT_EQ(D.EvtChar, '\n');
  EXPECT_EQ(D.ErrorChar, 0) << "replacement off";
  EXPECT_EQ(D.XonChar, 'a');
  EXPECT_EQ(D.XoffChar, 'b');
  EXPECT_EQ(D.Flags & DCB_ABORT_ON_ERROR_, 0u);
  P.Parity().SetCheck(true);
  P.Parity().SetReplace(true);
  EXPECT_EQ(TComPortTestAccess::BuildDCB(P).ErrorChar, '?');
}

// --- open and close

using PortOpen = SimPortTest;

TEST_F(PortOpen, OpenMakesTheDocumentedCallsWithTheApplicationValues) {
  ApplyApplicationSettings(*Port);
  Port->SetSyncMethod(smThreadSync);
  Port->Open();
  ASSERT_TRUE(Port->Connected());
  EXPECT_TRUE(TComPortTestAccess::ThreadCreated(*Port));
  ASSERT_TRUE(Sim.WaitUntil([&] { return Sim.IsWaiting("COM7"); }, 10s));

  const auto Create = CallsNamed("CreateFileA");
  ASSERT_EQ(Create.size(), 1u);
  EXPECT_EQ(Create[0].Text, "\\\\.\\COM7");
  EXPECT_EQ(Create[0].Args, (std::vector<uint32_t>{0xC0000000u, 0u, 3u, 0x40000000u}));

  const auto Names = Sim.DeviceCallNames();
  ASSERT_GE(Names.size(), 5u);
  EXPECT_EQ(std::vector<std::string>(Names.begin(), Names.begin() + 5),
            (std::vector<std::string>{"CreateFileA", "SetupComm", "SetCommState", "SetCommTimeouts",
                                      "SetCommMask"}));
  EXPECT_EQ(std::count(Names.begin(), Names.end(), "GetCommModemStatus"), 3);

  EXPECT_EQ(Sim.InputSize("COM7"), 1024u);
  EXPECT_EQ(Sim.OutputSize("COM7"), 1024u);
  const TDCB D = Sim.State("COM7");
  EXPECT_EQ(D.Flags, 0x0011u);
  EXPECT_EQ(D.BaudRate, 19200u);
  EXPECT_EQ(D.ByteSize, 8);
  EXPECT_EQ(D.XonLim, 256);
  const TCommTimeouts T = Sim.Timeouts("COM7");
  EXPECT_EQ(T.ReadIntervalTimeout, 5u);
  EXPECT_EQ(T.ReadTotalTimeoutMultiplier, 500u);
  EXPECT_EQ(T.ReadTotalTimeoutConstant, 25u);
  EXPECT_EQ(T.WriteTotalTimeoutMultiplier, 100u);
  EXPECT_EQ(T.WriteTotalTimeoutConstant, 1000u);
  EXPECT_EQ(Sim.Mask("COM7"), EV_RXCHAR_);

  // The thread's own event and the stop event exist only as manual-reset events: the stop
  // event created not signalled, the wait's event created signalled.
  const auto Events = CallsNamed("CreateEventA");
  ASSERT_GE(Events.size(), 2u);
  EXPECT_EQ(Events[0].Args, (std::vector<uint32_t>{1u, 0u}));
  EXPECT_EQ(Events[1].Args, (std::vector<uint32_t>{1u, 1u}));
}

TEST_F(PortOpen, TimeoutOfMinusOneReachesTheDeviceAsAllBitsSet) {
  Port->SetEvents(TComEvents{});
  Port->Open();
  EXPECT_EQ(Sim.Timeouts("COM7").ReadIntervalTimeout, 0xFFFFFFFFu);
}

TEST_F(PortOpen, OpenAndCloseNotifyLinksAndHandlersInOrder) {
  Sim.SetModemStatus("COM7", MS_CTS_ON_ | MS_RLSD_ON_);
  TComLink Link;
  LogAllSlots(Link, Log, "L");
  Port->AddLink(&Link);
  LogAllEvents(*Port, Log);
  Port->SetEvents(TComEvents{});
  Port->SetConnected(true);
  EXPECT_EQ(Log.Entries(),
            (std::vector<std::string>{"BeforeOpen", "L.Conn:1", "AfterOpen", "L.CTS:1", "CTS:1",
                                      "L.DSR:0", "DSR:0", "L.RLSD:1", "RLSD:1"}));
  Log.Clear();
  Port->SetConnected(true);
  EXPECT_EQ(Log.Size(), 0u) << "a second open does nothing";
  Sim.ClearCalls();
  Port->SetConnected(false);
  EXPECT_EQ(Log.Entries(), (std::vector<std::string>{"L.CTS:0", "L.RLSD:0", "CTS:0", "RLSD:0",
                                                     "BeforeClose", "L.Conn:0", "AfterClose"}))
      << "the lines that were on go off with the port; DSR was off already";
  EXPECT_EQ(CallsNamed("GetCommModemStatus").size(), 0u) << "close reports the signals off unread";
  Log.Clear();
  Port->SetConnected(false);
  Port->Close();
  EXPECT_EQ(Log.Size(), 0u) << "closing a closed port does nothing";
  Port->RemoveLink(&Link);
}

TEST_F(PortOpen, CloseAbortsStopsTheThreadThenClosesTheDevice) {
  Port->SetEvents(TComEvents{evRxChar, evCTS});
  Port->Open();
  // Asleep in its wait (the open issued the wait request, the thread sleeps on it).
  ASSERT_TRUE(Eventually([&] { return TComPortTestAccess::ThreadAsleepInWait(*Port); }));
  ASSERT_TRUE(Sim.IsWaiting("COM7"));
  Sim.ClearCalls();
  Port->Close();
  EXPECT_FALSE(Port->Connected());
  EXPECT_FALSE(TComPortTestAccess::ThreadCreated(*Port));
  EXPECT_EQ(Port->DeviceHandle(), INVALID_HANDLE_VALUE_);
  EXPECT_FALSE(Sim.IsOpen("COM7"));

  const auto Names = Without(Sim.DeviceCallNames(), "WaitCommEvent");
  const size_t Abort = IndexOf(Names, "PurgeComm");
  const size_t ClearMask = IndexOf(Names, "SetCommMask");
  const size_t Clear = IndexOf(Names, "PurgeComm", Abort + 1);
  const size_t Closed = IndexOf(Names, "CloseHandle");
  ASSERT_LT(Closed, Names.size());
  EXPECT_LT(Abort, ClearMask);
  EXPECT_LT(ClearMask, Clear);
  EXPECT_LT(Clear, Closed);
  const auto Purges = CallsNamed("PurgeComm");
  ASSERT_EQ(Purges.size(), 2u);
  EXPECT_EQ(Purges[0].Args, (std::vector<uint32_t>{0x0003u}));
  EXPECT_EQ(Purges[1].Args, (std::vector<uint32_t>{0x000Cu}));
  EXPECT_EQ(CallsNamed("SetCommMask").at(0).Args, (std::vector<uint32_t>{0u}));
  // The thread slept in its wait: it hears the stop and is not waited for.
  EXPECT_EQ(CallsNamed("SetEvent").size(), 1u);
  EXPECT_TRUE(CallsNamed("Sleep").empty());
  // What is left is the thread's, asleep for the next open: its stop and wait events, which go
  // with it (the fixture checks that nothing is left once the port is gone).
  EXPECT_EQ(Sim.OpenHandles(), 2u);
}

// The close no longer waits for a thread asleep in its wait, which may be waking with events
// at that moment: none of them may reach a handler once the close has returned, whether the
// thread was still asleep, waking, or already delivering (then the close waits for it).
TEST_F(PortOpen, NoHandlerRunsAfterTheCloseOfAThreadWakingWithEvents) {
  Port->SetSyncMethod(smNone);
  Port->SetEvents(TComEvents{evRxChar});
  std::atomic<bool> Closed{false};
  std::atomic<int> Delivered{0}, Late{0};
  Port->OnRxChar = [&](TObject*, int32_t) {
    ++Delivered;
    if (Closed) ++Late;
  };
  for (int Cycle = 0; Cycle < 300; ++Cycle) {
    Closed = false;
    Port->Open();
    ASSERT_TRUE(Eventually([&] { return TComPortTestAccess::ThreadAsleepInWait(*Port); }))
        << "cycle " << Cycle;
    const int Before = Delivered;
    Sim.Feed("COM7", "x");
    // Now, a moment later, or after the handler has begun.
    if (Cycle % 3 == 1) std::this_thread::yield();
    if (Cycle % 3 == 2) {
      ASSERT_TRUE(Eventually([&] { return Delivered > Before; })) << "cycle " << Cycle;
    }
    Port->Close();
    Closed = true;
  }
  // The thread's last wake-up, if any, is over once the port (and its thread) is gone.
  Port.reset();
  EXPECT_GT(Delivered, 0);
  EXPECT_EQ(Late, 0);
}

TEST_F(PortOpen, EmptyEventsOpensWithoutThreadOrWindow) {
  Port->SetEvents(TComEvents{});
  Port->SetSyncMethod(smWindowSync);
  LogAllEvents(*Port, Log);
  Port->Open();
  EXPECT_TRUE(Port->Connected());
  EXPECT_FALSE(TComPortTestAccess::ThreadCreated(*Port));
  EXPECT_EQ(TComPortTestAccess::NotifyWindow(*Port), nullptr);
  EXPECT_EQ(CallsNamed("SetCommMask").size(), 0u);
  EXPECT_EQ(CallsNamed("CreateEventA").size(), 0u);
  Sim.Feed("COM7", "abc");
  Sim.SetModemStatus("COM7", MS_CTS_ON_);
  Port->Close();
  EXPECT_EQ(CallsNamed("SetCommMask").size(), 0u) << "no thread to stop";
  EXPECT_EQ(Log.Entries(), (std::vector<std::string>{"BeforeOpen", "AfterOpen", "CTS:0", "DSR:0",
                                                     "RLSD:0", "BeforeClose", "AfterClose"}));
}

// A listener that shows the lines must see them go with the port, and must hear nothing at
// the close about a line that is off already: the close reports off what was last reported on.
TEST_F(PortOpen, CloseReportsOffOnlyTheLinesLastReportedOn) {
  Sim.SetModemStatus("COM7", MS_CTS_ON_);
  Port->SetEvents(TComEvents{evCTS, evDSR, evRLSD});
  LogAllEvents(*Port, Log);
  Port->Open();
  ASSERT_TRUE(Sim.WaitUntil([&] { return Sim.IsWaiting("COM7"); }, 10s));
  Sim.SetModemStatus("COM7", MS_DSR_ON_);  // CTS goes off, DSR on
  ASSERT_TRUE(Serve([&] { return Log.Contains("CTS:0") && Log.Contains("DSR:1"); }));
  Log.Clear();
  Port->Close();
  EXPECT_EQ(Log.Entries(), (std::vector<std::string>{"DSR:0", "BeforeClose", "AfterClose"}));
  Log.Clear();
  Sim.SetModemStatus("COM7", 0);
  Port->Open();
  Port->Close();
  EXPECT_EQ(Log.Count("CTS:0") + Log.Count("DSR:0") + Log.Count("RLSD:0"), 3u)
      << "only the reports of the open: nothing was on at the close";
}

TEST_F(PortOpen, PortChangeReopensOnlyOnARealChange) {
  Sim.AddDevice("com7");
  Port->SetEvents(TComEvents{});
  LogAllEvents(*Port, Log);
  Port->SetPort_("COM8");  // closed: stored only
  EXPECT_EQ(CallsNamed("CreateFileA").size(), 0u);
  Port->SetPort_("COM7");
  Port->Open();
  Log.Clear();
  Port->SetPort_("COM7");
  EXPECT_EQ(Log.Size(), 0u);
  Port->SetPort_("com7");  // letter case counts
  EXPECT_TRUE(Port->Connected());
  EXPECT_TRUE(Sim.IsOpen("com7"));
  EXPECT_FALSE(Sim.IsOpen("COM7"));
  const auto Entries = Log.Entries();
  ASSERT_FALSE(Entries.empty());
  EXPECT_EQ(Entries.front(), "BeforeClose") << "no line was on: the close reports none off";
  EXPECT_EQ(Log.Count("BeforeClose"), 1u);
  EXPECT_EQ(Log.Count("AfterClose"), 1u);
  EXPECT_EQ(Log.Count("BeforeOpen"), 1u);
  EXPECT_EQ(Log.Count("AfterOpen"), 1u);
  EXPECT_EQ(CallsNamed("CreateFileA").back().Text, "\\\\.\\com7");
}

// --- failures

using PortFailures = SimPortTest;

TEST_F(PortFailures, MissingDeviceRaisesCode1WithTheSystemNumber) {
  Port->SetPort_("COM9");
  LogAllEvents(*Port, Log);
  try {
    Port->Open();
    FAIL() << "no exception";
  } catch (const EComPort& E) {
    EXPECT_EQ(E.ErrorCode(), CE_OpenFailed);
    EXPECT_EQ(E.WinErrorCode(), 2);
    EXPECT_EQ(E.Message(), "Unable to open com port (Error: 2)");
  }
  EXPECT_FALSE(Port->Connected());
  EXPECT_EQ(Log.Entries(), (std::vector<std::string>{"BeforeOpen"}));
}

TEST_F(PortFailures, ABusyDeviceGivesNumber5) {
  TComPort Other(nullptr);
  Other.SetOS(&Sim);
  Other.SetPort_("COM7");
  Other.SetEvents(TComEvents{});
  Other.Open();
  try {
    Port->Open();
    FAIL() << "no exception";
  } catch (const EComPort& E) {
    EXPECT_EQ(E.ErrorCode(), CE_OpenFailed);
    EXPECT_EQ(E.Message(), "Unable to open com port (Error: 5)");
  }
  EXPECT_FALSE(Port->Connected());
}

// Decision: with an OnException handler the failed open is reported and the open stops there.
// The port stays closed instead of pretending to be open on an invalid handle.
TEST_F(PortFailures, HandledOpenFailureLeavesThePortClosedWithNothingRunning) {
  CatchReports();
  LogAllEvents(*Port, Log);
  Sim.FailCall("CreateFileA", SIM_ERROR_FILE_NOT_FOUND);
  Port->Open();
  ASSERT_EQ(Reports.size(), 1u);
  EXPECT_EQ(Reports[0].Code, CE_OpenFailed);
  EXPECT_EQ(Reports[0].ComportMessage, "Unable to open com port");
  EXPECT_EQ(Reports[0].WinError, 2);
  EXPECT_EQ(Reports[0].WinMessage.rfind("System Error.  Code: 2.\r\n", 0), 0u)
      << Reports[0].WinMessage;
  EXPECT_FALSE(Port->Connected());
  EXPECT_FALSE(TComPortTestAccess::ThreadCreated(*Port));
  EXPECT_EQ(Sim.DeviceCallNames(), (std::vector<std::string>{"CreateFileA"}));
  EXPECT_EQ(Log.Entries(), (std::vector<std::string>{"BeforeOpen"}));
  // A write on it reports the closed port and returns at once instead of waiting.
  EXPECT_EQ(Port->WriteText("x"), 0);
  EXPECT_EQ(Reports.at(1).Code, CEPortNotOpen);
}

TEST_F(PortFailures, RefusedSettingDuringOpenClosesTheDeviceAndRaises) {
  const std::vector<std::pair<std::string, int>> Cases = {{"SetupComm", CE_SetupComFailed},
                                                          {"SetCommState", CE_SetStateFailed},
                                                          {"SetCommTimeouts", CE_TimeoutsFailed}};
  for (const auto& [Call, Code] : Cases) {
    Log.Clear();
    Sim.ClearCalls();
    LogAllEvents(*Port, Log);
    Sim.FailCall(Call, SIM_ERROR_INVALID_PARAMETER);
    try {
      Port->Open();
      ADD_FAILURE() << Call << ": no exception";
    } catch (const EComPort& E) {
      EXPECT_EQ(E.ErrorCode(), Code) << Call;
      EXPECT_EQ(E.WinErrorCode(), 87) << Call;
    }
    EXPECT_FALSE(Port->Connected()) << Call;
    EXPECT_FALSE(TComPortTestAccess::ThreadCreated(*Port)) << Call;
    EXPECT_FALSE(Sim.IsOpen("COM7")) << Call;
    EXPECT_EQ(Port->DeviceHandle(), INVALID_HANDLE_VALUE_) << Call;
    EXPECT_EQ(CallsNamed("SetCommMask").size(), 0u) << Call;
    EXPECT_EQ(Log.Entries(), (std::vector<std::string>{"BeforeOpen"})) << Call;
  }
}

TEST_F(PortFailures, HandledSettingFailureOpensAnyway) {
  CatchReports();
  Sim.FailCall("SetCommState", SIM_ERROR_INVALID_PARAMETER);
  Port->Open();
  ASSERT_EQ(Reports.size(), 1u);
  EXPECT_EQ(Reports[0].Code, CE_SetStateFailed);
  EXPECT_EQ(Reports[0].WinError, 87);
  EXPECT_TRUE(Port->Connected());
  EXPECT_TRUE(TComPortTestAccess::ThreadCreated(*Port));
  EXPECT_EQ(CallsNamed("SetCommTimeouts").size(), 1u) << "the open went on";
}

// A failed purge must not leave the port open for good (a vanished device fails every purge,
// so no later close could succeed): the close releases everything, then raises.
TEST_F(PortFailures, PurgeFailureIsRaisedAfterThePortIsReleased) {
  LogAllEvents(*Port, Log);
  Port->Open();
  ASSERT_TRUE(Sim.WaitUntil([&] { return Sim.IsWaiting("COM7"); }, 10s));
  Log.Clear();
  Sim.FailCall("PurgeComm", SIM_ERROR_INVALID_PARAMETER);
  try {
    Port->Close();
    FAIL() << "no exception";
  } catch (const EComPort& E) {
    EXPECT_EQ(E.ErrorCode(), CE_PurgeFailed);
    EXPECT_EQ(E.WinErrorCode(), 87);
  }
  EXPECT_FALSE(Port->Connected());
  EXPECT_FALSE(TComPortTestAccess::ThreadCreated(*Port));
  EXPECT_FALSE(Sim.IsOpen("COM7"));
  EXPECT_TRUE(Log.Contains("AfterClose"));
  Port->Open();  // and it opens again
  EXPECT_TRUE(Port->Connected());
}

TEST_F(PortFailures, HandledPurgeFailureClosesAnyway) {
  Port->Open();
  CatchReports();
  Sim.FailCall("PurgeComm", SIM_ERROR_INVALID_PARAMETER);
  Port->Close();
  ASSERT_EQ(Reports.size(), 1u);
  EXPECT_EQ(Reports[0].Code, CE_PurgeFailed);
  EXPECT_FALSE(Port->Connected());
  EXPECT_FALSE(Sim.IsOpen("COM7"));
}

TEST_F(PortFailures, ModemStatusFailureRaisesAfterTheOpenIsComplete) {
  LogAllEvents(*Port, Log);
  Sim.FailCall("GetCommModemStatus", SIM_ERROR_INVALID_HANDLE);
  try {
    Port->Open();
    FAIL() << "no exception";
  } catch (const EComPort& E) {
    EXPECT_EQ(E.ErrorCode(), CE_ModemStatFailed);
    EXPECT_EQ(E.WinErrorCode(), 6);
  }
  EXPECT_TRUE(Port->Connected());
  EXPECT_TRUE(TComPortTestAccess::ThreadCreated(*Port));
  EXPECT_EQ(Log.Entries(), (std::vector<std::string>{"BeforeOpen", "AfterOpen"}));
}

TEST_F(PortFailures, FailedCloseHandleIsNotReportedAndKeepsTheHandle) {
  Port->SetEvents(TComEvents{});
  Port->Open();
  const THandle H = Port->DeviceHandle();
  Sim.FailCall("CloseHandle", SIM_ERROR_INVALID_HANDLE);
  Port->Close();
  EXPECT_FALSE(Port->Connected());
  EXPECT_EQ(Port->DeviceHandle(), H);
  // The next open replaces the handle; the simulator's device is closed for real here so the
  // fixture's handle count stays honest.
  Sim.CloseHandle(H);
}

// --- property changes

using PortProperties = SimPortTest;

TEST_F(PortProperties, LineSettingsReachAnOpenDeviceAtOnceAndAClosedOneAtOpen) {
  Port->SetBaudRate(br38400);
  EXPECT_TRUE(Sim.Calls().empty()) << "a closed port touches no device";
  Port->SetEvents(TComEvents{});
  Port->Open();
  EXPECT_EQ(Sim.State("COM7").BaudRate, 38400u);
  Sim.ClearCalls();
  Port->SetBaudRate(br38400);
  EXPECT_TRUE(Sim.Calls().empty()) << "unchanged value";
  Port->SetBaudRate(br57600);
  EXPECT_EQ(Sim.State("COM7").BaudRate, 57600u);
  Port->SetDataBits(dbSeven);
  EXPECT_EQ(Sim.State("COM7").ByteSize, 7);
  Port->SetStopBits(sbOne5StopBits);
  EXPECT_EQ(Sim.State("COM7").StopBits, 1);
  Port->SetDiscardNull(true);
  EXPECT_EQ(Sim.State("COM7").Flags & DCB_NULL_, DCB_NULL_);
  Port->SetEventChar('!');
  EXPECT_EQ(Sim.State("COM7").EvtChar, '!');
  Port->SetBaudRate(brCustom);
  Port->SetCustomBaudRate(12345);
  EXPECT_EQ(Sim.State("COM7").BaudRate, 12345u);
  Port->Parity().SetBits(prOdd);
  EXPECT_EQ(Sim.State("COM7").Parity, 1);
  EXPECT_EQ(CallsNamed("SetCommState").size(), 8u);

  TComTimeouts T;
  T.SetReadInterval(7);
  Port->SetTimeouts(T);
  EXPECT_EQ(Sim.Timeouts("COM7").ReadIntervalTimeout, 7u);
  TComBuffer B;
  B.SetInputSize(4096);
  B.SetOutputSize(2048);
  Port->SetBuffer(B);
  EXPECT_EQ(Sim.InputSize("COM7"), 4096u);
  EXPECT_EQ(Sim.OutputSize("COM7"), 2048u);
  TComFlowControl F;
  F.SetControlRTS(rtsEnable);
  Port->SetFlowControl(F);
  EXPECT_EQ(Sim.State("COM7").Flags & DCB_RTS_CONTROL_MASK_, DCB_RTS_CONTROL_ENABLE_);
  EXPECT_EQ(Sim.State("COM7").XonLim, 1024) << "limits follow the new input size";
  TComParity Par;
  Par.SetBits(prEven);
  Port->SetParity(Par);
  EXPECT_EQ(Sim.State("COM7").Parity, 2);
}

TEST_F(PortProperties, RefusedChangeOnAnOpenPortRaisesKeepsTheValueAndThePort) {
  Port->SetEvents(TComEvents{});
  Port->Open();
  Sim.FailCall("SetCommState", SIM_ERROR_INVALID_PARAMETER);
  EXPECT_THROW(Port->SetBaudRate(br115200), EComPort);
  EXPECT_EQ(Port->BaudRate(), br115200);
  EXPECT_TRUE(Port->Connected());
  EXPECT_EQ(Sim.State("COM7").BaudRate, 9600u);
}

TEST_F(PortProperties, SyncMethodCannotChangeWhileOpen) {
  Port->SetSyncMethod(smNone);
  EXPECT_EQ(Port->SyncMethod(), smNone);
  Port->SetSyncMethod(smThreadSync);
  Port->Open();
  Port->SetSyncMethod(smThreadSync);  // unchanged: nothing reported
  try {
    Port->SetSyncMethod(smWindowSync);
    FAIL() << "no exception";
  } catch (const EComPort& E) {
    EXPECT_EQ(E.ErrorCode(), CE_ConnChangeProp);
    EXPECT_EQ(E.WinErrorCode(), -1);
    EXPECT_EQ(E.Message(), "Cannot set property while connected");
  }
  EXPECT_EQ(Port->SyncMethod(), smThreadSync);
  CatchReports();
  Port->SetSyncMethod(smNone);
  EXPECT_EQ(Port->SyncMethod(), smThreadSync) << "refused with a handler too";
  ASSERT_EQ(Reports.size(), 1u);
  EXPECT_EQ(Reports[0].WinError, 0);
  EXPECT_EQ(Reports[0].WinMessage, "");
}

TEST_F(PortProperties, UpdateDefersApplicationToTheOutermostEnd) {
  Port->SetEvents(TComEvents{});
  Port->Open();
  Sim.ClearCalls();
  Port->BeginUpdate();
  Port->BeginUpdate();
  Port->SetBaudRate(br1200);
  Port->Timeouts().SetReadInterval(3);
  Port->Buffer().SetInputSize(64);
  Port->EndUpdate();
  EXPECT_TRUE(Sim.Calls().empty());
  Port->EndUpdate();
  EXPECT_EQ(Sim.DeviceCallNames(),
            (std::vector<std::string>{"SetupComm", "SetCommState", "SetCommTimeouts"}));
  EXPECT_EQ(Sim.State("COM7").BaudRate, 1200u);
  Port->EndUpdate();  // unbalanced: ignored
  EXPECT_EQ(TComPortTestAccess::UpdateCount(*Port), 0);
}

TEST_F(PortProperties, LoadingStoresConnectedAndLoadedOpens) {
  Port->SetEvents(TComEvents{});
  Port->BeginLoading();
  Port->SetConnected(true);
  Port->SetBaudRate(br2400);
  EXPECT_TRUE(Sim.Calls().empty());
  Port->Loaded();
  EXPECT_TRUE(Port->Connected());
  EXPECT_TRUE(Sim.IsOpen("COM7"));
  EXPECT_EQ(Sim.State("COM7").BaudRate, 2400u);
}

TEST_F(PortProperties, FailedOpenAfterLoadGoesToTheReportAndStaysClosed) {
  Port->SetPort_("COM9");
  Port->BeginLoading();
  Port->SetConnected(true);
  Port->Loaded();  // must not raise
  EXPECT_FALSE(Port->Connected());
  const auto R = LoopReportsNow();
  ASSERT_EQ(R.size(), 1u);
  EXPECT_EQ(R[0], "Unable to open com port (Error: 2)");
  EXPECT_EQ(LoopSenders.at(0), Port.get());
}

TEST_F(PortProperties, DesigningNeverOpens) {
  Port->SetDesigning(true);
  Port->SetConnected(true);
  Port->Open();
  EXPECT_TRUE(Sim.Calls().empty());
  Port->Loaded();
  EXPECT_TRUE(Sim.Calls().empty());
  Port->Close();
  EXPECT_TRUE(Sim.Calls().empty());
}

// --- destruction

namespace {

// A component that listens to a port through a link and unregisters it when told the port
// goes, as the packet assembler does.
class TListener : public TComponent {
 public:
  TListener(TCustomComPort* APort) : TComponent(nullptr), FPort(APort) {
    FLink.OnRxBuf = [](TObject*, const void*, int32_t) {};
    FPort->AddLink(&FLink);
    FreeNotification(FPort);
  }
  ~TListener() override {
    if (FPort) FPort->RemoveLink(&FLink);
  }
  void Notification(TComponent* AComponent, TOperation Operation) override {
    if (AComponent == FPort && Operation == opRemove) {
      Removed = TComPortTestAccess::LinkCount(*FPort);
      FPort->RemoveLink(&FLink);
      RemainingAfter = TComPortTestAccess::LinkCount(*FPort);
      ClosedWhenTold = !FPort->Connected();
      FPort = nullptr;
    }
  }
  int Removed = -1;
  int RemainingAfter = -1;
  bool ClosedWhenTold = false;

 private:
  TCustomComPort* FPort;
  TComLink FLink;
};

}  // namespace

TEST_F(PortProperties, DestroyingAnOpenPortClosesItAndLetsLinksUnregister) {
  TListener L(Port.get());
  LogAllEvents(*Port, Log);
  Port->Open();
  Port.reset();
  EXPECT_EQ(L.Removed, 1);
  EXPECT_EQ(L.RemainingAfter, 0);
  EXPECT_TRUE(L.ClosedWhenTold);
  EXPECT_TRUE(Log.Contains("AfterClose"));
  EXPECT_FALSE(Sim.IsOpen("COM7"));
}

}  // namespace comfind
