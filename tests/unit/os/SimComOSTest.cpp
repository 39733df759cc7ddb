// The simulated device: the behaviour of the Win32 calls that the port's tests rely on.
#include "port/os/SimComOS.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

namespace comfind {

namespace {

using namespace std::chrono_literals;

class SimComOS : public ::testing::Test {
 protected:
  void SetUp() override {
    Sim.AddDevice("COM7");
    Handle = Open("COM7");
    ASSERT_NE(Handle, INVALID_HANDLE_VALUE_);
    Record.hEvent = Sim.CreateEventA(true, true);
    Stop = Sim.CreateEventA(true, false);
  }
  THandle Open(const std::string& Name) {
    return Sim.CreateFileA("\\\\.\\" + Name, GENERIC_READ_WRITE_, 0, OPEN_EXISTING_,
                           FILE_FLAG_OVERLAPPED_);
  }
  // Starts a wait on COM7 that the test expects to stay pending.
  void StartWait() {
    Mask = 0xDEAD;
    ASSERT_FALSE(Sim.WaitCommEvent(Handle, &Mask, &Record));
    ASSERT_EQ(Sim.GetLastError(), ERROR_IO_PENDING_);
  }
  uint32_t Wait(uint32_t Milliseconds) {
    const THandle List[2] = {Stop, Record.hEvent};
    return Sim.WaitForMultipleObjects(2, List, Milliseconds);
  }

  TSimComOS Sim;
  THandle Handle = INVALID_HANDLE_VALUE_;
  THandle Stop = 0;
  TOverlapped Record;
  uint32_t Mask = 0;
};

TEST_F(SimComOS, OpensRegisteredDevicesExclusivelyAndRecordsTheArguments) {
  EXPECT_EQ(Open("COM8"), INVALID_HANDLE_VALUE_);
  EXPECT_EQ(Sim.GetLastError(), 2u);
  EXPECT_EQ(Open("COM7"), INVALID_HANDLE_VALUE_);
  EXPECT_EQ(Sim.GetLastError(), 5u);
  const auto Opens = Sim.Calls("CreateFileA");
  ASSERT_EQ(Opens.size(), 3u);
  EXPECT_EQ(Opens[0].Text, "\\\\.\\COM7");
  EXPECT_EQ(Opens[0].Args, (std::vector<uint32_t>{0xC0000000, 0, 3, 0x40000000}));
  EXPECT_EQ(Opens[0].Handle, Handle);
  EXPECT_TRUE(Opens[0].Result);
  EXPECT_FALSE(Opens[1].Result);
  EXPECT_EQ(Opens[1].Error, 2u);

  EXPECT_TRUE(Sim.IsOpen("COM7"));
  EXPECT_TRUE(Sim.CloseHandle(Handle));
  EXPECT_FALSE(Sim.IsOpen("COM7"));
  EXPECT_FALSE(Sim.CloseHandle(Handle));
  EXPECT_EQ(Sim.GetLastError(), 6u);
  Handle = Open("COM7");
  EXPECT_NE(Handle, INVALID_HANDLE_VALUE_);
  EXPECT_EQ(Sim.OpenHandles(), 3u);  // the device and the two events
}

TEST_F(SimComOS, RecordsSettingsExactlyAndInOrder) {
  TDCB D;
  D.BaudRate = 19200;
  D.Flags = 0x0011;
  D.XonLim = D.XoffLim = 256;
  D.ByteSize = 8;
  D.EvtChar = '\n';
  const TCommTimeouts T{5, 500, 25, 100, 1000};
  Sim.ClearCalls();
  ASSERT_TRUE(Sim.SetupComm(Handle, 1024, 2048));
  ASSERT_TRUE(Sim.SetCommState(Handle, D));
  ASSERT_TRUE(Sim.SetCommTimeouts(Handle, T));
  ASSERT_TRUE(Sim.SetCommMask(Handle, EV_RXCHAR_));
  ASSERT_TRUE(Sim.PurgeComm(Handle, PURGE_TXABORT_ | PURGE_RXABORT_));
  EXPECT_EQ(Sim.DeviceCallNames(),
            (std::vector<std::string>{"SetupComm", "SetCommState", "SetCommTimeouts", "SetCommMask",
                                      "PurgeComm"}));
  const auto Calls = Sim.Calls();
  EXPECT_EQ(Calls[0].Args, (std::vector<uint32_t>{1024, 2048}));
  EXPECT_EQ(std::memcmp(&Calls[1].DCB, &D, sizeof D), 0);
  EXPECT_EQ(Calls[2].Timeouts.ReadTotalTimeoutMultiplier, 500u);
  EXPECT_EQ(Calls[2].Timeouts.WriteTotalTimeoutConstant, 1000u);
  EXPECT_EQ(Calls[3].Args, (std::vector<uint32_t>{EV_RXCHAR_}));
  EXPECT_EQ(Calls[4].Args, (std::vector<uint32_t>{0x0003}));
  EXPECT_EQ(Sim.State("COM7").BaudRate, 19200u);
  EXPECT_EQ(Sim.Timeouts("COM7").ReadIntervalTimeout, 5u);
  EXPECT_EQ(Sim.Mask("COM7"), EV_RXCHAR_);
  EXPECT_EQ(Sim.InputSize("COM7"), 1024u);
  EXPECT_EQ(Sim.OutputSize("COM7"), 2048u);
  EXPECT_FALSE(Sim.PurgeComm(Handle, 0x10));
  EXPECT_EQ(Sim.GetLastError(), 87u);
}

TEST_F(SimComOS, InjectedFailuresHitOnceOrUntilCleared) {
  Sim.FailCall("SetCommState", 31);
  EXPECT_FALSE(Sim.SetCommState(Handle, TDCB{}));
  EXPECT_EQ(Sim.GetLastError(), 31u);
  EXPECT_TRUE(Sim.SetCommState(Handle, TDCB{}));

  Sim.FailCall("ClearCommError", 22, -1);
  uint32_t Errors = 0;
  for (int I = 0; I < 3; ++I)
    EXPECT_FALSE(Sim.ClearCommError(Handle, &Errors, nullptr));
  Sim.ClearFailures();
  EXPECT_TRUE(Sim.ClearCommError(Handle, &Errors, nullptr));

  Sim.FailCall("CreateFileA", 123);
  EXPECT_TRUE(Sim.CloseHandle(Handle));
  EXPECT_EQ(Open("COM7"), INVALID_HANDLE_VALUE_);
  EXPECT_EQ(Sim.GetLastError(), 123u);
  Sim.FailCall("WaitForMultipleObjects", 6);
  EXPECT_EQ(Wait(0), WAIT_FAILED_);
  EXPECT_EQ(Sim.GetLastError(), 6u);
}

TEST_F(SimComOS, EventsResetManuallyOrAutomaticallyAndTheLowestIndexWins) {
  const THandle Auto = Sim.CreateEventA(false, false);
  const THandle Manual = Sim.CreateEventA(true, false);
  const THandle List[2] = {Auto, Manual};
  EXPECT_EQ(Sim.WaitForMultipleObjects(2, List, 0), WAIT_TIMEOUT_);
  ASSERT_TRUE(Sim.SetEvent(Manual));
  ASSERT_TRUE(Sim.SetEvent(Auto));
  EXPECT_EQ(Sim.WaitForMultipleObjects(2, List, 0), WAIT_OBJECT_0_);
  EXPECT_EQ(Sim.WaitForMultipleObjects(2, List, 0), WAIT_OBJECT_0_ + 1);  // auto one consumed
  EXPECT_EQ(Sim.WaitForSingleObject(Manual, 0), WAIT_OBJECT_0_);          // manual one stays
  ASSERT_TRUE(Sim.ResetEvent(Manual));
  EXPECT_EQ(Sim.WaitForSingleObject(Manual, 30), WAIT_TIMEOUT_);
  EXPECT_TRUE(Sim.CloseHandle(Auto));
  EXPECT_EQ(Sim.WaitForSingleObject(Auto, 0), WAIT_FAILED_);
  EXPECT_EQ(Sim.GetLastError(), 6u);
  EXPECT_TRUE(Sim.CloseHandle(Manual));

  // A waiter in another thread is woken by SetEvent.
  std::thread Setter([&] { Sim.SetEvent(Stop); });
  EXPECT_EQ(Sim.WaitForSingleObject(Stop, 10000), WAIT_OBJECT_0_);
  Setter.join();
}

TEST_F(SimComOS, CommEventsCompleteTheWaitOnlyForTheMask) {
  ASSERT_TRUE(Sim.SetCommMask(Handle, EV_RXCHAR_ | EV_CTS_ | EV_ERR_));
  StartWait();
  EXPECT_EQ(Wait(0), WAIT_TIMEOUT_);       // the wait reset the record's event
  Sim.SetModemStatus("COM7", MS_DSR_ON_);  // DSR is not asked for
  Sim.RaiseEvents("COM7", EV_TXEMPTY_);
  EXPECT_EQ(Wait(0), WAIT_TIMEOUT_);

  std::thread Peer([&] { Sim.Feed("COM7", "OK\r\n"); });
  EXPECT_EQ(Wait(10000), WAIT_OBJECT_0_ + 1);
  Peer.join();
  uint32_t N = 0;
  EXPECT_TRUE(Sim.GetOverlappedResult(Handle, &Record, &N, false));
  EXPECT_EQ(Mask, EV_RXCHAR_);

  // Received bytes are counted and read; what arrives while no wait is pending is kept for
  // the next wait, which then completes at once.
  uint32_t Errors = 0;
  TComStat Stat;
  ASSERT_TRUE(Sim.ClearCommError(Handle, &Errors, &Stat));
  EXPECT_EQ(Stat.cbInQue, 4u);
  Sim.SetModemStatus("COM7", MS_DSR_ON_ | MS_CTS_ON_);
  Sim.RaiseLineErrors("COM7", CE_FRAME_ | CE_BREAK_);
  EXPECT_TRUE(Sim.WaitCommEvent(Handle, &Mask, &Record));
  EXPECT_EQ(Mask, EV_CTS_ | EV_ERR_);
  EXPECT_EQ(Wait(0), WAIT_OBJECT_0_ + 1);
  ASSERT_TRUE(Sim.ClearCommError(Handle, &Errors, &Stat));
  EXPECT_EQ(Errors, CE_FRAME_ | CE_BREAK_);
  ASSERT_TRUE(Sim.ClearCommError(Handle, &Errors, &Stat));
  EXPECT_EQ(Errors, 0u);  // cleared by the read

  char Buf[8] = {};
  ASSERT_TRUE(Sim.ReadFile(Handle, Buf, 8, &N, &Record));
  EXPECT_EQ(std::string(Buf, N), "OK\r\n");
  ASSERT_TRUE(Sim.GetOverlappedResult(Handle, &Record, &N, false));
  EXPECT_EQ(N, 4u);
  uint32_t Lines = 0;
  ASSERT_TRUE(Sim.GetCommModemStatus(Handle, &Lines));
  EXPECT_EQ(Lines, MS_DSR_ON_ | MS_CTS_ON_);
}

TEST_F(SimComOS, SettingTheMaskEndsAPendingWaitWithMaskZero) {
  ASSERT_TRUE(Sim.SetCommMask(Handle, EV_RXCHAR_));
  StartWait();
  EXPECT_TRUE(Sim.IsWaiting("COM7"));
  std::thread Closer([&] { Sim.SetCommMask(Handle, 0); });
  EXPECT_EQ(Wait(10000), WAIT_OBJECT_0_ + 1);
  Closer.join();
  uint32_t N = 0;
  EXPECT_TRUE(Sim.GetOverlappedResult(Handle, &Record, &N, false));
  EXPECT_EQ(Mask, 0u);
  // Events before the new mask are forgotten.
  Sim.Feed("COM7", "x");
  ASSERT_TRUE(Sim.SetCommMask(Handle, EV_RXCHAR_));
  StartWait();
  EXPECT_TRUE(Sim.CompleteWait("COM7", EV_RXCHAR_ | EV_PERR_));
  EXPECT_EQ(Mask, EV_RXCHAR_ | EV_PERR_);
}

TEST_F(SimComOS, WritesReachThePeerAndRaiseTxEmpty) {
  ASSERT_TRUE(Sim.SetCommMask(Handle, EV_TXEMPTY_));
  StartWait();
  uint32_t N = 0;
  ASSERT_TRUE(Sim.WriteFile(Handle, "TRG0000000010000\r\n", 18, &N, nullptr));
  EXPECT_EQ(N, 18u);
  EXPECT_EQ(Wait(0), WAIT_OBJECT_0_ + 1);
  EXPECT_EQ(Mask, EV_TXEMPTY_);
  EXPECT_EQ(Sim.TakeWritten("COM7"), "TRG0000000010000\r\n");
  EXPECT_EQ(Sim.TakeWritten("COM7"), "");
  EXPECT_EQ(Sim.Calls("WriteFile").back().Text, "TRG0000000010000\r\n");

  // Held writes stay pending until released, or end aborted by a purge.
  Sim.HoldWrites("COM7", true);
  TOverlapped W;
  W.hEvent = Sim.CreateEventA(true, false);
  EXPECT_FALSE(Sim.WriteFile(Handle, "ab", 2, &N, &W));
  EXPECT_EQ(Sim.GetLastError(), ERROR_IO_PENDING_);
  EXPECT_FALSE(Sim.GetOverlappedResult(Handle, &W, &N, false));
  EXPECT_EQ(Sim.GetLastError(), 996u);
  std::thread Releaser([&] { Sim.ReleaseWrites("COM7"); });
  EXPECT_TRUE(Sim.GetOverlappedResult(Handle, &W, &N, true));
  Releaser.join();
  EXPECT_EQ(N, 2u);
  EXPECT_EQ(Sim.TakeWritten("COM7"), "ab");
  EXPECT_FALSE(Sim.WriteFile(Handle, "cd", 2, &N, &W));
  ASSERT_TRUE(Sim.PurgeComm(Handle, PURGE_TXABORT_));
  EXPECT_FALSE(Sim.GetOverlappedResult(Handle, &W, &N, true));
  EXPECT_EQ(Sim.GetLastError(), 995u);
  EXPECT_EQ(Sim.Written("COM7"), "TRG0000000010000\r\nab");
  Sim.CloseHandle(W.hEvent);
}

TEST_F(SimComOS, ReadsThatMustWaitStayPendingUntilBytesATimeoutOrAnAbortEndThem) {
  const TCommTimeouts AllOrNothing{0, 0, 0, 0, 0};  // wait for every byte asked for
  ASSERT_TRUE(Sim.SetCommTimeouts(Handle, AllOrNothing));
  char Buf[8] = {};
  uint32_t N = 99;
  EXPECT_FALSE(Sim.ReadFile(Handle, Buf, 4, &N, &Record));
  EXPECT_EQ(Sim.GetLastError(), ERROR_IO_PENDING_);
  EXPECT_EQ(Sim.WaitForSingleObject(Record.hEvent, 0), WAIT_TIMEOUT_);
  Sim.Feed("COM7", "ab");
  EXPECT_FALSE(Sim.GetOverlappedResult(Handle, &Record, &N, false));
  EXPECT_EQ(Sim.GetLastError(), 996u);
  std::thread Peer([&] { Sim.Feed("COM7", "cde"); });
  EXPECT_TRUE(Sim.GetOverlappedResult(Handle, &Record, &N, true));
  Peer.join();
  EXPECT_EQ(std::string(Buf, N), "abcd");
  EXPECT_EQ(Sim.InputQueue("COM7"), 1u);

  // The total timeout ends a read with what came; a purge ends one with 995 and gives its
  // bytes back; so does the close.
  ASSERT_TRUE(Sim.SetCommTimeouts(Handle, {0, 0, 50, 0, 0}));
  EXPECT_FALSE(Sim.ReadFile(Handle, Buf, 4, &N, &Record));
  EXPECT_EQ(Sim.WaitForSingleObject(Record.hEvent, 10000), WAIT_OBJECT_0_);
  EXPECT_TRUE(Sim.GetOverlappedResult(Handle, &Record, &N, false));
  EXPECT_EQ(std::string(Buf, N), "e");
  ASSERT_TRUE(Sim.SetCommTimeouts(Handle, AllOrNothing));
  Sim.Feed("COM7", "f");
  EXPECT_FALSE(Sim.ReadFile(Handle, Buf, 4, &N, &Record));
  ASSERT_TRUE(Sim.PurgeComm(Handle, PURGE_RXABORT_));
  EXPECT_FALSE(Sim.GetOverlappedResult(Handle, &Record, &N, true));
  EXPECT_EQ(Sim.GetLastError(), SIM_ERROR_OPERATION_ABORTED);
  EXPECT_EQ(Sim.InputQueue("COM7"), 1u) << "the aborted read's byte is still there";
  EXPECT_FALSE(Sim.ReadFile(Handle, Buf, 4, &N, &Record));
  ASSERT_TRUE(Sim.CloseHandle(Handle));
  Handle = INVALID_HANDLE_VALUE_;
  EXPECT_EQ(Sim.WaitForSingleObject(Record.hEvent, 0), WAIT_OBJECT_0_);
  EXPECT_EQ(Record.Internal, SIM_ERROR_OPERATION_ABORTED);
  EXPECT_EQ(Sim.Misuses(), std::vector<std::string>{});
}

TEST_F(SimComOS, AVanishedDeviceFailsTheWaitInsteadOfWakingIt) {
  ASSERT_TRUE(Sim.SetCommMask(Handle, EV_RXCHAR_));
  StartWait();
  std::atomic<uint32_t> Result{0};
  std::atomic<uint32_t> Error{0};
  std::thread Waiter([&] {
    Result = Wait(INFINITE_);
    Error = Sim.GetLastError();
  });
  Sim.Vanish("COM7");
  Waiter.join();
  EXPECT_EQ(Result, WAIT_FAILED_);
  EXPECT_EQ(Error, SIM_ERROR_BAD_COMMAND);
  uint32_t N = 0;
  EXPECT_FALSE(Sim.GetOverlappedResult(Handle, &Record, &N, false));
  // A new wait fails at once and so does a wait on its event; the stop event still wins.
  EXPECT_FALSE(Sim.WaitCommEvent(Handle, &Mask, &Record));
  EXPECT_EQ(Sim.GetLastError(), SIM_ERROR_BAD_COMMAND);
  EXPECT_EQ(Wait(INFINITE_), WAIT_FAILED_);
  ASSERT_TRUE(Sim.SetEvent(Stop));
  EXPECT_EQ(Wait(INFINITE_), WAIT_OBJECT_0_);
  EXPECT_FALSE(Sim.ReadFile(Handle, &N, 1, &N, nullptr));
  EXPECT_TRUE(Sim.CloseHandle(Handle));
  // Plugged in again, the name opens afresh.
  Sim.AddDevice("COM7");
  Handle = Open("COM7");
  EXPECT_NE(Handle, INVALID_HANDLE_VALUE_);
}

TEST_F(SimComOS, ClosingTheDeviceAbortsAPendingWait) {
  ASSERT_TRUE(Sim.SetCommMask(Handle, EV_RXCHAR_));
  StartWait();
  ASSERT_TRUE(Sim.CloseHandle(Handle));
  Handle = INVALID_HANDLE_VALUE_;
  EXPECT_EQ(Wait(0), WAIT_OBJECT_0_ + 1);
  EXPECT_EQ(Record.Internal, SIM_ERROR_OPERATION_ABORTED);
}

TEST_F(SimComOS, LastErrorBelongsToTheThread) {
  Sim.SetLastError(42);
  uint32_t Other = 0;
  std::thread T([&] {
    Sim.CloseHandle(0x12345);
    Other = Sim.GetLastError();
  });
  T.join();
  EXPECT_EQ(Other, 6u);
  EXPECT_EQ(Sim.GetLastError(), 42u);
}

TEST_F(SimComOS, ReceiveSideEventsFollowTheEventCharacterAndTheFillLevel) {
  TDCB D;
  D.EvtChar = '\n';
  ASSERT_TRUE(Sim.SetCommState(Handle, D));
  ASSERT_TRUE(Sim.SetupComm(Handle, 10, 10));
  ASSERT_TRUE(Sim.SetCommMask(Handle, EV_RXFLAG_ | EV_RX80FULL_));
  StartWait();
  Sim.Feed("COM7", "abc");
  EXPECT_EQ(Wait(0), WAIT_TIMEOUT_);
  Sim.Feed("COM7", "d\n");
  EXPECT_EQ(Wait(0), WAIT_OBJECT_0_ + 1);
  EXPECT_EQ(Mask, EV_RXFLAG_);
  StartWait();
  Sim.Feed("COM7", "efg");  // 8 of 10: 80 per cent
  EXPECT_EQ(Wait(0), WAIT_OBJECT_0_ + 1);
  EXPECT_EQ(Mask, EV_RX80FULL_);
}

}  // namespace

}  // namespace comfind
