// Reads, writes, status queries, links and the reporting routine on the simulated device.
#include <atomic>
#include <cstring>
#include <thread>

#include "tests/support/PortAccess.h"
#include "tests/unit/port/PortFixture.h"

namespace comfind {

using PortTransfers = SimPortTest;

namespace {

void OpenQuiet(TCustomComPort& P) {
  P.SetEvents(TComEvents{});
  P.Open();
}

}  // namespace

TEST_F(PortTransfers, WriteTextSendsTheBytesAndNotifiesBusyThenTheCopy) {
  OpenQuiet(*Port);
  TComLink Link;
  LogAllSlots(Link, Log, "L");
  Port->AddLink(&Link);
  const std::string Probe = "TRG0000000010000\r\n";
  EXPECT_EQ(Port->WriteText(Probe), 18);
  EXPECT_EQ(Sim.Written("COM7"), Probe);
  EXPECT_EQ(Log.Entries(), (std::vector<std::string>{"L.TxBusy:1", "L.TxBuf:" + Probe}));
  const auto Writes = CallsNamed("WriteFile");
  ASSERT_EQ(Writes.size(), 1u);
  EXPECT_EQ(Writes[0].Args, (std::vector<uint32_t>{18u, 1u}));
  Port->RemoveLink(&Link);
}

TEST_F(PortTransfers, BytesWithNulsAreWrittenWhole) {
  OpenQuiet(*Port);
  const std::string Bytes("a\0b\xFF", 4);
  EXPECT_EQ(Port->WriteText(Bytes), 4);
  EXPECT_EQ(Sim.Written("COM7"), Bytes);
}

TEST_F(PortTransfers, EmptyWriteTextWritesNothingAndNotifiesNobody) {
  OpenQuiet(*Port);
  TComLink Link;
  LogAllSlots(Link, Log, "L");
  Port->AddLink(&Link);
  EXPECT_EQ(Port->WriteText(""), 0);
  EXPECT_TRUE(CallsNamed("WriteFile").empty());
  EXPECT_EQ(Log.Size(), 0u);
  Port->RemoveLink(&Link);
}

TEST_F(PortTransfers, WriteOnAClosedPortRaisesPortNotOpenAndFreesItsRecord) {
  try {
    Port->WriteText("x");
    FAIL() << "no exception";
  } catch (const EComPort& E) {
    EXPECT_EQ(E.ErrorCode(), CEPortNotOpen);
    EXPECT_EQ(E.WinErrorCode(), -1);
    EXPECT_EQ(E.Message(), "Port Not Open");
  }
  EXPECT_EQ(Sim.OpenHandles(), 0u) << "the record's event was closed";
  char Buf[4];
  EXPECT_THROW(Port->ReadBytes(Buf, 4), EComPort);
  EXPECT_EQ(Sim.OpenHandles(), 0u);
}

TEST_F(PortTransfers, HandledPortNotOpenCarriesMinus24AndNoSystemText) {
  CatchReports();
  EXPECT_EQ(Port->WriteText("x"), 0);
  ASSERT_GE(Reports.size(), 1u);
  EXPECT_EQ(Reports[0].Code, CEPortNotOpen);
  EXPECT_EQ(Reports[0].ComportMessage, "Port Not Open");
  EXPECT_EQ(Reports[0].WinError, -24);
  EXPECT_EQ(Reports[0].WinMessage, "");
  EXPECT_EQ(Sim.OpenHandles(), 0u);
}

TEST_F(PortTransfers, FailedWriteStartRaisesWithTheNumberAndFreesTheRecord) {
  OpenQuiet(*Port);
  const size_t Before = Sim.OpenHandles();
  Sim.FailCall("WriteFile", SIM_ERROR_INVALID_PARAMETER);
  try {
    Port->WriteText("abc");
    FAIL() << "no exception";
  } catch (const EComPort& E) {
    EXPECT_EQ(E.ErrorCode(), CE_WriteFailed);
    EXPECT_EQ(E.WinErrorCode(), 87);
    EXPECT_EQ(E.Message(), "WriteFile function failed (Error: 87)");
  }
  // Nothing is left but the open's own transfer record, whose event the next write reuses
  // and the close frees.
  EXPECT_EQ(Sim.OpenHandles(), Before + 1);
  EXPECT_EQ(Port->WriteText("abc"), 3);
  EXPECT_EQ(Sim.OpenHandles(), Before + 1);
  Port->Close();
  EXPECT_EQ(Sim.OpenHandles(), 0u);
}

// The synchronous transfers of one open share one record, made at the first of them: no event
// is made and closed per line written or block read.
TEST_F(PortTransfers, SynchronousTransfersReuseOneRecordPerOpen) {
  OpenQuiet(*Port);
  const size_t Events = CallsNamed("CreateEventA").size();
  EXPECT_EQ(Port->WriteText("one"), 3);
  EXPECT_EQ(Port->WriteText("two"), 3);
  Sim.Feed("COM7", "xyz");
  char Buf[3];
  EXPECT_EQ(Port->ReadBytes(Buf, 3), 3);
  EXPECT_EQ(std::string(Buf, 3), "xyz");
  EXPECT_EQ(CallsNamed("CreateEventA").size(), Events + 1);
  EXPECT_TRUE(CallsNamed("CloseHandle").empty());
  // A record whose write copy was handed to OnTxBuf carries no stale copy into a read.
  EXPECT_EQ(Sim.Written("COM7"), "onetwo");
  Port->Close();
  Port->Open();
  EXPECT_EQ(Port->WriteText("three"), 5);
  EXPECT_EQ(CallsNamed("CreateEventA").size(), Events + 2) << "each open makes its own";
}

// A transfer on another thread while the shared record is in use (an smNone handler writing
// while the main thread does) gets a record of its own, which it frees.
TEST_F(PortTransfers, ATransferWhileTheSharedRecordIsBusyUsesItsOwn) {
  // Held writes end at their timeout: far beyond the test.
  Port->Timeouts().SetWriteTotalConstant(600000);
  OpenQuiet(*Port);
  Sim.HoldWrites("COM7", true);
  std::atomic<int32_t> First{-1};
  std::thread Writer([&] { First = Port->WriteText("held"); });
  ASSERT_TRUE(Sim.WaitUntil([&] { return CallsNamed("WriteFile").size() == 1; }, 10s));
  const size_t Handles = Sim.OpenHandles();
  std::thread Second([&] { EXPECT_EQ(Port->WriteText("next"), 4); });
  ASSERT_TRUE(Sim.WaitUntil([&] { return CallsNamed("WriteFile").size() == 2; }, 10s));
  EXPECT_EQ(Sim.OpenHandles(), Handles + 1) << "a record of its own";
  Sim.ReleaseWrites("COM7");
  Writer.join();
  Second.join();
  EXPECT_EQ(First, 4);
  EXPECT_EQ(Sim.OpenHandles(), Handles) << "freed again";
  Sim.HoldWrites("COM7", false);
}

TEST_F(PortTransfers, FailedCompletionReportsTheTransferKind) {
  OpenQuiet(*Port);
  Sim.FailCall("GetOverlappedResult", SIM_ERROR_OPERATION_ABORTED);
  try {
    Port->WriteText("abc");
    FAIL() << "no exception";
  } catch (const EComPort& E) {
    EXPECT_EQ(E.ErrorCode(), CE_WriteFailed);
    EXPECT_EQ(E.WinErrorCode(), 995);
  }
  Sim.Feed("COM7", "xy");
  Sim.FailCall("GetOverlappedResult", SIM_ERROR_OPERATION_ABORTED);
  char Buf[2];
  try {
    Port->ReadBytes(Buf, 2);
    FAIL() << "no exception";
  } catch (const EComPort& E) {
    EXPECT_EQ(E.ErrorCode(), CE_ReadFailed);
  }
}

// A write whose start fails while an OnException handler takes the report must not leave a
// wait for its completion hanging on an event nobody signals.
TEST_F(PortTransfers, HandledFailedStartDoesNotHangTheWait) {
  OpenQuiet(*Port);
  CatchReports();
  Sim.FailCall("WriteFile", SIM_ERROR_INVALID_PARAMETER);
  Port->WriteText("abc");
  ASSERT_GE(Reports.size(), 1u);
  EXPECT_EQ(Reports[0].Code, CE_WriteFailed);
  EXPECT_EQ(Reports[0].WinError, 87);
  EXPECT_EQ(Reports[0].WinMessage.rfind("System Error.  Code: 87.", 0), 0u);
}

TEST_F(PortTransfers, MissingRecordIsReportedWithoutNumber) {
  OpenQuiet(*Port);
  char Buf[1] = {'x'};
  for (int Which = 0; Which < 3; ++Which) {
    try {
      if (Which == 0) Port->StartWrite(Buf, 1, nullptr);
      if (Which == 1) Port->StartRead(Buf, 1, nullptr);
      if (Which == 2) Port->WaitForCompletion(nullptr);
      ADD_FAILURE() << Which << ": no exception";
    } catch (const EComPort& E) {
      EXPECT_EQ(E.ErrorCode(), CE_InvalidAsync);
      EXPECT_EQ(E.WinErrorCode(), -1);
      EXPECT_EQ(E.Message(), "Invalid Async parameter");
    }
  }
  EXPECT_TRUE(CallsNamed("WriteFile").empty());
  EXPECT_TRUE(CallsNamed("ReadFile").empty());
}

TEST_F(PortTransfers, OverlappedRecordLifecycle) {
  OpenQuiet(*Port);
  const size_t Before = Sim.OpenHandles();
  PComOverlapped Rec = nullptr;
  Port->CreateOverlapped(Rec);
  ASSERT_NE(Rec, nullptr);
  EXPECT_EQ(Rec->Data, nullptr);
  EXPECT_EQ(Rec->Size, 0);
  EXPECT_EQ(Sim.OpenHandles(), Before + 1);
  EXPECT_EQ(CallsNamed("CreateEventA").back().Args, (std::vector<uint32_t>{1u, 1u}));
  // Nothing started: the wait returns at once.
  EXPECT_EQ(Port->WaitForCompletion(Rec), 0);

  Sim.HoldWrites("COM7", true);
  const char First[] = "first";
  EXPECT_EQ(Port->StartWrite(First, 5, Rec), 0) << "pending";
  EXPECT_EQ(Rec->Kind, ioWrite);
  ASSERT_NE(Rec->Data, nullptr);
  EXPECT_EQ(std::string(Rec->Data, 5), "first");
  EXPECT_NE(static_cast<const void*>(Rec->Data), static_cast<const void*>(First));
  Sim.ReleaseWrites("COM7");
  EXPECT_EQ(Port->WaitForCompletion(Rec), 5);
  Sim.HoldWrites("COM7", false);

  // A read on the same record drops the write's copy and reports no transmitted bytes.
  TComLink Link;
  LogAllSlots(Link, Log, "L");
  Port->AddLink(&Link);
  Sim.Feed("COM7", "zz");
  char Buf[2];
  Port->StartRead(Buf, 2, Rec);
  EXPECT_EQ(Rec->Kind, ioRead);
  EXPECT_EQ(Rec->Data, nullptr);
  EXPECT_EQ(Port->WaitForCompletion(Rec), 2);
  EXPECT_EQ(Log.Entries(), (std::vector<std::string>{"L.RxBusy:0"}));
  Port->RemoveLink(&Link);

  Port->FreeOverlapped(Rec);
  EXPECT_EQ(Rec, nullptr);
  EXPECT_EQ(Sim.OpenHandles(), Before);
}

// A record whose event cannot be made is never handed out: its transfer could not be waited
// for, and freeing it would free memory the system still writes into.
TEST_F(PortTransfers, ARecordWithoutItsEventIsReportedAndNotMade) {
  OpenQuiet(*Port);
  const size_t Before = Sim.OpenHandles();
  Sim.FailCall("CreateEventA", 8);
  TComOverlapped Stale;
  PComOverlapped Rec = &Stale;  // a failed creation leaves no pointer to anything behind
  EXPECT_THROW(Port->CreateOverlapped(Rec), EComPort);
  EXPECT_EQ(Rec, nullptr);
  // With a handler, the synchronous transfers stop after the one report and write nothing.
  CatchReports();
  Sim.FailCall("CreateEventA", 8);
  EXPECT_EQ(Port->WriteText("probe"), 0);
  ASSERT_EQ(Reports.size(), 1u);
  EXPECT_EQ(Reports[0].Code, CE_InvalidAsync);
  EXPECT_EQ(Reports[0].WinError, 8);
  EXPECT_TRUE(CallsNamed("WriteFile").empty());
  EXPECT_EQ(Sim.OpenHandles(), Before);
}

TEST_F(PortTransfers, ReadNotifiesRxBusyOffOnlyWhenTheQueueIsEmpty) {
  OpenQuiet(*Port);
  TComLink Link;
  LogAllSlots(Link, Log, "L");
  Port->AddLink(&Link);
  Sim.Feed("COM7", "hello");
  char Buf[8] = {};
  EXPECT_EQ(Port->ReadBytes(Buf, 3), 3);
  EXPECT_EQ(std::string(Buf, 3), "hel");
  EXPECT_EQ(Log.Size(), 0u) << "bytes left waiting";
  EXPECT_EQ(Port->InputQueueCount(), 2);
  EXPECT_EQ(Port->ReadBytes(Buf, 8), 2);
  EXPECT_EQ(std::string(Buf, 2), "lo");
  EXPECT_EQ(Log.Entries(), (std::vector<std::string>{"L.RxBusy:0"}));
  Port->RemoveLink(&Link);
}

TEST_F(PortTransfers, AbortPurgesPendingTransfers) {
  OpenQuiet(*Port);
  Sim.ClearCalls();
  Port->AbortTransfers();
  EXPECT_EQ(CallsNamed("PurgeComm").at(0).Args, (std::vector<uint32_t>{3u}));
  Sim.FailCall("PurgeComm", SIM_ERROR_INVALID_HANDLE);
  try {
    Port->AbortTransfers();
    FAIL();
  } catch (const EComPort& E) {
    EXPECT_EQ(E.ErrorCode(), CE_PurgeFailed);
    EXPECT_EQ(E.WinErrorCode(), 6);
  }
}

TEST_F(PortTransfers, StatusQueriesMapTheBitsAndReportFailures) {
  OpenQuiet(*Port);
  Sim.SetModemStatus("COM7", MS_CTS_ON_ | MS_RLSD_ON_);
  EXPECT_EQ(Port->GetModemSignals(), (TModemSignals{msCTS, msRLSD}));
  Sim.SetModemStatus("COM7", MS_DSR_ON_ | MS_RING_ON_);
  EXPECT_EQ(Port->GetModemSignals(), (TModemSignals{msDSR, msRing}));

  Sim.RaiseLineErrors("COM7", CE_FRAME_ | CE_RXPARITY_ | CE_OVERRUN_ | CE_BREAK_ | CE_IOE_ |
                                  CE_MODE_ | CE_RXOVER_ | CE_TXFULL_);
  EXPECT_EQ(Port->GetLineErrors(),
            (TComErrors{ceFrame, ceOverrun, ceBreak, ceIO, ceMode, ceRxOver, ceTxFull}))
      << "parity errors count only when the port checks parity";
  EXPECT_TRUE(Port->GetLineErrors().Empty()) << "reading clears the error word";
  Port->Parity().SetCheck(true);
  Sim.RaiseLineErrors("COM7", CE_RXPARITY_);
  EXPECT_EQ(Port->GetLineErrors(), (TComErrors{ceRxParity}));

  Sim.FailCall("ClearCommError", SIM_ERROR_INVALID_HANDLE, 2);
  for (int I = 0; I < 2; ++I) {
    try {
      if (I == 0) Port->InputQueueCount();
      if (I == 1) Port->GetLineErrors();
      ADD_FAILURE();
    } catch (const EComPort& E) {
      EXPECT_EQ(E.ErrorCode(), CE_ClearComFailed);
    }
  }
  Sim.FailCall("GetCommModemStatus", SIM_ERROR_INVALID_HANDLE);
  EXPECT_THROW(Port->GetModemSignals(), EComPort);
}

// --- links

using PortLinks = SimPortTest;

TEST_F(PortLinks, RegistrationIsCheckedAndKeepsHasRxBufLink) {
  TComLink Plain, Receiving;
  Receiving.OnRxBuf = [](TObject*, const void*, int32_t) {};
  Port->AddLink(&Plain);
  EXPECT_FALSE(TComPortTestAccess::HasRxBufLink(*Port));
  EXPECT_TRUE(Port->TriggersOnRxChar());
  try {
    Port->AddLink(&Plain);
    FAIL();
  } catch (const EComPort& E) {
    EXPECT_EQ(E.ErrorCode(), CE_RegFailed);
    EXPECT_EQ(E.Message(), "Link (un)registration failed");
  }
  EXPECT_EQ(TComPortTestAccess::LinkCount(*Port), 1);
  EXPECT_THROW(Port->AddLink(nullptr), EComPort) << "no link is no registration";
  EXPECT_EQ(TComPortTestAccess::LinkCount(*Port), 1);
  Port->AddLink(&Receiving);
  EXPECT_TRUE(TComPortTestAccess::HasRxBufLink(*Port));
  EXPECT_FALSE(Port->TriggersOnRxChar());

  for (bool Value : {true, false}) {
    try {
      Port->SetTriggersOnRxChar(Value);
      ADD_FAILURE();
    } catch (const EComPort& E) {
      EXPECT_EQ(E.ErrorCode(), CE_HasLink);
      EXPECT_EQ(E.Message(), "A component is linked to OnRxBuf event");
    }
  }
  CatchReports();
  Port->SetTriggersOnRxChar(false);  // reported, then stored all the same
  ASSERT_EQ(Reports.size(), 1u);
  EXPECT_EQ(Reports[0].Code, CE_HasLink);
  Port->OnException = nullptr;

  Port->RemoveLink(&Receiving);
  EXPECT_FALSE(TComPortTestAccess::HasRxBufLink(*Port));
  EXPECT_FALSE(Port->TriggersOnRxChar()) << "the stored value is read again";
  Port->SetTriggersOnRxChar(true);
  EXPECT_TRUE(Port->TriggersOnRxChar());
  EXPECT_THROW(Port->RemoveLink(&Receiving), EComPort);
  Port->RemoveLink(&Plain);
  EXPECT_EQ(TComPortTestAccess::LinkCount(*Port), 0);
}

TEST_F(PortLinks, LinksHearInRegistrationOrderAndEmptySlotsAreSkipped) {
  OpenQuiet(*Port);
  TComLink A, Empty, B;
  LogAllSlots(A, Log, "A");
  LogAllSlots(B, Log, "B");
  Port->AddLink(&A);
  Port->AddLink(&Empty);
  Port->AddLink(&B);
  Port->WriteText("q");
  EXPECT_EQ(Log.Entries(),
            (std::vector<std::string>{"A.TxBusy:1", "B.TxBusy:1", "A.TxBuf:q", "B.TxBuf:q"}));
  Port->RemoveLink(&B);
  Port->RemoveLink(&Empty);
  Port->RemoveLink(&A);
}

// --- the reporting routine

TEST_F(PortLinks, ReportErrorRaisesOrCallsTheHandler) {
  try {
    Port->ReportError(CE_ReadFailed, 0x100000005LL);
    FAIL();
  } catch (const EComPort& E) {
    EXPECT_EQ(E.ErrorCode(), CE_ReadFailed);
    EXPECT_EQ(E.Message(), "ReadFile function failed (Error: 5)") << "low 32 bits";
  }
  try {
    Port->ReportError(CE_ReadFailed, 0);
    FAIL();
  } catch (const EComPort& E) {
    EXPECT_EQ(E.WinErrorCode(), -1);
    EXPECT_EQ(E.Message(), "ReadFile function failed");
  }
  CatchReports();
  Sim.SetLastError(0);
  Port->ReportError(CE_ReadFailed, 5);
  ASSERT_EQ(Reports.size(), 1u);
  EXPECT_EQ(Reports[0].WinMessage, "A call to an OS function failed")
      << "the text follows the thread's last error, which is 0 here";
  Port->ReportError(CE_ConnChangeProp, 0);
  EXPECT_EQ(Reports.at(1).WinMessage, "");
  EXPECT_EQ(Reports.at(1).WinError, 0);
}

}  // namespace comfind
