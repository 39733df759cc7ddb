// The port on real pseudo-terminals through the platform's device layer: the application's
// settings on the line, the probe written byte for byte, received bytes delivered on the right
// thread, exclusive opens, no descriptor or thread left behind, and a device that vanishes.
#include <dirent.h>
#include <poll.h>
#include <termios.h>
#include <time.h>

#include <atomic>
#include <cstring>

#include "testkit/Pty.h"
#include "tests/unit/port/PortFixture.h"

namespace comfind {

namespace {

// Threads of this process (entries of /proc/self/task).
int CountThreads() {
  DIR* D = opendir("/proc/self/task");
  if (!D) return -1;
  int N = 0;
  while (dirent* E = readdir(D))
    if (E->d_name[0] != '.') ++N;
  closedir(D);
  return N;
}

// The threads' states (from /proc), for a failure message.
std::string ThreadStates() {
  std::string Out;
  DIR* D = opendir("/proc/self/task");
  if (!D) return Out;
  while (dirent* E = readdir(D)) {
    if (E->d_name[0] == '.') continue;
    FILE* F = fopen((std::string("/proc/self/task/") + E->d_name + "/stat").c_str(), "r");
    if (!F) continue;
    char Buf[128] = {};
    const size_t N = fread(Buf, 1, sizeof Buf - 1, F);
    fclose(F);
    Out += " [" + std::string(Buf, N) + "]";
  }
  closedir(D);
  return Out;
}

std::chrono::milliseconds ProcessCpuTime() {
  timespec T{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &T);
  return std::chrono::milliseconds(T.tv_sec * 1000 + T.tv_nsec / 1000000);
}

const std::string kProbe = "TRG0000000010000\r\n";

}  // namespace

class PtyPort : public ::testing::Test {
 protected:
  void SetUp() override {
    TMainLoop::Instance().AttachMainThread();
    TMainLoop::Instance().SetExceptionHandler([this](TObject*, std::exception_ptr E) {
      std::lock_guard<std::mutex> Lock(FLock);
      LoopReports.push_back(ExceptionMessage(E));
    });
    Port = std::make_unique<TComPort>(nullptr);
    ApplyApplicationSettings(*Port);
    Port->SetPort_(Pty.SlavePath());
  }
  void TearDown() override {
    Port.reset();
    TMainLoop::Instance().ProcessMessages();
    TMainLoop::Instance().SetExceptionHandler(nullptr);
    std::lock_guard<std::mutex> Lock(FLock);
    EXPECT_TRUE(LoopReports.empty()) << LoopReports.front();
  }
  bool Serve(const std::function<bool()>& Condition, std::chrono::milliseconds Deadline = 10s) {
    return TMainLoop::Instance().ProcessUntil(Condition, Deadline);
  }

  TPty Pty;
  std::unique_ptr<TComPort> Port;
  std::mutex FLock;
  std::vector<std::string> LoopReports;
};

TEST_F(PtyPort, ApplicationSettingsReachTheLineAndTheProbeArrivesByteForByte) {
  Port->Open();
  ASSERT_TRUE(Port->Connected());
  termios T{};
  ASSERT_TRUE(Pty.GetSlaveTermios(T));
  EXPECT_EQ(Pty.SlaveBaudRate(), 19200u);
  EXPECT_EQ(T.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(T.c_cflag & PARENB, 0u);
  EXPECT_EQ(T.c_cflag & CSTOPB, 0u);
  EXPECT_EQ(T.c_cflag & CRTSCTS, 0u);
  EXPECT_EQ(T.c_iflag & (IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP), 0u);
  EXPECT_EQ(T.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
  EXPECT_EQ(T.c_oflag & OPOST, 0u);

  EXPECT_EQ(Port->WriteText(kProbe), 18);
  EXPECT_EQ(Pty.Read(18, 5s), kProbe);
  // Nothing more follows the probe.
  EXPECT_EQ(Pty.Read(1, 200ms), "");
  Port->Close();
  EXPECT_FALSE(Port->Connected());
}

TEST_F(PtyPort, BytesFromTheFarEndReachAReceivingLinkOnTheMainThread) {
  TComLink Link;
  std::string Got;
  std::atomic<bool> OffMain{false};
  const auto Main = std::this_thread::get_id();
  Link.OnRxBuf = [&](TObject*, const void* Buf, int32_t N) {
    if (std::this_thread::get_id() != Main) OffMain = true;
    Got.append(static_cast<const char*>(Buf), static_cast<size_t>(N));
  };
  Port->AddLink(&Link);
  Port->Open();
  ASSERT_TRUE(Pty.Write("OK\r\n"));
  ASSERT_TRUE(Serve([&] { return Got.size() >= 4; }));
  EXPECT_EQ(Got, "OK\r\n");
  ASSERT_TRUE(Pty.Write(std::string("\0\xFF", 2)));
  ASSERT_TRUE(Serve([&] { return Got.size() >= 6; }));
  EXPECT_EQ(Got.substr(4), std::string("\0\xFF", 2));
  EXPECT_FALSE(OffMain);
  Port->Close();
  Port->RemoveLink(&Link);
}

TEST_F(PtyPort, OnRxCharUnderThreadSyncAndOnRxBufOnTheEventThreadUnderNone) {
  Port->SetSyncMethod(smThreadSync);
  Port->SetTriggersOnRxChar(true);
  std::atomic<int> Count{0};
  Port->OnRxChar = [&](TObject*, int32_t N) { Count = N; };
  Port->Open();
  ASSERT_TRUE(Pty.Write("abc"));
  ASSERT_TRUE(Serve([&] { return Count == 3; }));
  char Buf[3];
  EXPECT_EQ(Port->ReadBytes(Buf, 3), 3);
  EXPECT_EQ(std::string(Buf, 3), "abc");
  Port->Close();
  Port->OnRxChar = nullptr;

  Port->SetSyncMethod(smNone);
  Port->SetTriggersOnRxChar(false);
  std::mutex Lock;
  std::condition_variable Arrived;
  std::string Got;
  std::thread::id Where;
  Port->OnRxBuf = [&](TObject*, const void* B, int32_t N) {
    std::lock_guard<std::mutex> Guard(Lock);
    Got.append(static_cast<const char*>(B), static_cast<size_t>(N));
    Where = std::this_thread::get_id();
    Arrived.notify_all();
  };
  Port->Open();
  ASSERT_TRUE(Pty.Write("xyz"));
  {
    std::unique_lock<std::mutex> Guard(Lock);
    ASSERT_TRUE(Arrived.wait_for(Guard, 10s, [&] { return Got.size() >= 3; }));
    EXPECT_EQ(Got, "xyz");
    EXPECT_NE(Where, std::this_thread::get_id());
  }
  Port->Close();
}

TEST_F(PtyPort, AMissingDeviceRaisesCode1WithErrorNumber2) {
  for (const std::string Name : {"/dev/comfind-no-such-device", "ttyComfindNoSuchDevice"}) {
    Port->SetPort_(Name);
    try {
      Port->Open();
      ADD_FAILURE() << Name << ": opened";
    } catch (const EComPort& E) {
      EXPECT_EQ(E.ErrorCode(), CE_OpenFailed) << Name;
      EXPECT_EQ(E.WinErrorCode(), 2) << Name;
      EXPECT_EQ(E.Message(), "Unable to open com port (Error: 2)") << Name;
    }
    EXPECT_FALSE(Port->Connected());
  }
}

TEST_F(PtyPort, ASecondOpenOfTheSameDeviceFailsClearly) {
  Port->Open();
  TComPort Second(nullptr);
  Second.SetPort_(Pty.SlavePath());
  try {
    Second.Open();
    FAIL() << "the device was opened twice";
  } catch (const EComPort& E) {
    EXPECT_EQ(E.ErrorCode(), CE_OpenFailed);
    EXPECT_GT(E.WinErrorCode(), 0);
    EXPECT_EQ(E.Message().rfind("Unable to open com port (Error: ", 0), 0u) << E.Message();
  }
  EXPECT_FALSE(Second.Connected());
  // The first opener is not disturbed.
  EXPECT_EQ(Port->WriteText("still here"), 10);
  EXPECT_EQ(Pty.Read(10, 5s), "still here");
}

TEST_F(PtyPort, CloseLeavesNoDescriptorAndNoThread) {
  const int Fds = CountOpenDescriptors();
  const int Threads = CountThreads();
  TComLink Link;
  std::string Got;
  Link.OnRxBuf = [&](TObject*, const void* B, int32_t N) {
    Got.append(static_cast<const char*>(B), static_cast<size_t>(N));
  };
  Port->AddLink(&Link);
  Port->Open();
  EXPECT_GT(CountOpenDescriptors(), Fds);
  Port->WriteText(kProbe);
  ASSERT_TRUE(Pty.Write("OK\r\n"));
  ASSERT_TRUE(Serve([&] { return Got == "OK\r\n"; }));
  Port->Close();
  EXPECT_EQ(CountOpenDescriptors(), Fds);
  ASSERT_TRUE(Serve([&] { return CountThreads() == Threads; }, 5s))
      << CountThreads() << " threads, " << Threads << " before";
  Port->RemoveLink(&Link);
}

TEST_F(PtyPort, AThousandOpenCloseCyclesWithTrafficLeaveNothingBehind) {
  // A warm-up cycle, so that helpers started once per process are counted in the baseline.
  Port->Open();
  Port->Close();
  Pty.ReadAvailable();
  const int Fds = CountOpenDescriptors();
  const int Threads = CountThreads();
  TComLink Link;
  size_t Received = 0;
  Link.OnRxBuf = [&](TObject*, const void*, int32_t N) { Received += static_cast<size_t>(N); };
  Port->AddLink(&Link);
  for (int Cycle = 0; Cycle < 1000; ++Cycle) {
    Port->Open();
    ASSERT_TRUE(Pty.Write("OK\r\n"));
    ASSERT_EQ(Port->WriteText(kProbe), 18);
    if (Cycle % 100 == 0) {
      const size_t Before = Received;
      ASSERT_TRUE(Serve([&] { return Received > Before; })) << "cycle " << Cycle;
    } else {
      // Close while the delivery may be in flight.
      TMainLoop::Instance().ProcessMessages();
    }
    Port->Close();
    Pty.ReadAvailable();
  }
  EXPECT_GT(Received, 0u);
  EXPECT_EQ(CountOpenDescriptors(), Fds);
  ASSERT_TRUE(Serve([&] { return CountThreads() == Threads; }, 5s))
      << CountThreads() << " threads, " << Threads << " before";
  Port->RemoveLink(&Link);
}

TEST_F(PtyPort, ClosingFromInsideOnRxBufNeverDeadlocks) {
  TComLink Link;
  int Closes = 0;
  Link.OnRxBuf = [&](TObject*, const void*, int32_t) {
    Port->Close();
    ++Closes;
  };
  Port->AddLink(&Link);
  const int Fds = CountOpenDescriptors();
  for (int Cycle = 0; Cycle < 100; ++Cycle) {
    Port->Open();
    ASSERT_TRUE(Pty.Write("OK\r\n"));
    ASSERT_TRUE(Serve([&] { return Closes == Cycle + 1; })) << "cycle " << Cycle;
    EXPECT_FALSE(Port->Connected());
  }
  EXPECT_EQ(CountOpenDescriptors(), Fds);
  Port->RemoveLink(&Link);
}

TEST_F(PtyPort, AVanishedDeviceNeitherSpinsNorHangs) {
  const int Threads = CountThreads();
  Port->Open();
  // An idle open port sleeps in the kernel.
  auto Cpu = ProcessCpuTime();
  TMainLoop::Instance().ProcessMessagesFor(300ms);
  EXPECT_LT(ProcessCpuTime() - Cpu, 150ms) << "an idle port uses CPU";

  Pty.CloseMaster();
  Pty.ReleaseSlave();
  // The event thread sees the device go and ends instead of spinning.
  ASSERT_TRUE(Serve([&] { return CountThreads() == Threads; }, 10s))
      << CountThreads() << " threads, " << Threads << " before" << ThreadStates();
  Cpu = ProcessCpuTime();
  TMainLoop::Instance().ProcessMessagesFor(300ms);
  EXPECT_LT(ProcessCpuTime() - Cpu, 150ms) << "a port on a vanished device uses CPU";
  EXPECT_TRUE(Port->Connected()) << "the port stays open until closed";

  // Writes fail instead of waiting forever.
  EXPECT_THROW(Port->WriteText("x"), EComPort);
  // The close may fail to purge a vanished device; it releases the port all the same.
  const int Fds = CountOpenDescriptors();
  try {
    Port->Close();
  } catch (const EComPort& E) {
    EXPECT_EQ(E.ErrorCode(), CE_PurgeFailed);
  }
  EXPECT_FALSE(Port->Connected());
  EXPECT_LT(CountOpenDescriptors(), Fds);
}

TEST_F(PtyPort, AWriteOverAStalledLineStartsAtOnceAndTheCloseEndsIt) {
  // Nobody reads the far end and the write has no timeouts: only an abort can end it.
  Port->Timeouts().SetWriteTotalMultiplier(0);
  Port->Timeouts().SetWriteTotalConstant(0);
  Port->Open();
  PComOverlapped Rec = nullptr;
  Port->CreateOverlapped(Rec);
  {
    const std::string Big(1 << 20, 'w');
    const auto Start = std::chrono::steady_clock::now();
    EXPECT_EQ(Port->StartWrite(Big.data(), static_cast<int32_t>(Big.size()), Rec), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - Start, 2s) << "the start waited for the line";
  }  // the caller's bytes go at once; the pending write has its own copy
  EXPECT_EQ(Port->OS().WaitForSingleObject(Rec->Overlapped.hEvent, 0), WAIT_TIMEOUT_)
      << "the write ended without the far end reading";
  // The write has begun: its first bytes wait at the far end. Looked at, not read (reading
  // would let the write go on), and before the close, which discards what the kernel holds.
  pollfd FarEnd{Pty.MasterFd(), POLLIN, 0};
  EXPECT_EQ(::poll(&FarEnd, 1, 10000), 1) << "the write had not begun";
  const auto Closing = std::chrono::steady_clock::now();
  Port->Close();
  EXPECT_LT(std::chrono::steady_clock::now() - Closing, 5s);
  try {
    Port->WaitForCompletion(Rec);
    ADD_FAILURE() << "an aborted write reported success";
  } catch (const EComPort& E) {
    EXPECT_EQ(E.ErrorCode(), CE_WriteFailed);
    EXPECT_EQ(E.WinErrorCode(), ECANCELED);
  }
  Port->FreeOverlapped(Rec);
}

TEST_F(PtyPort, AVanishedDeviceIsToldAsAnIOErrorToAPortThatListensForErrors) {
  Port->SetEvents(TComEvents{evRxChar, evError});
  std::vector<TComErrors> Errors;
  Port->OnError = [&](TObject*, TComErrors E) { Errors.push_back(E); };
  Port->Open();
  Pty.CloseMaster();
  Pty.ReleaseSlave();
  ASSERT_TRUE(Serve([&] { return !Errors.empty(); }));
  TMainLoop::Instance().ProcessMessagesFor(200ms);
  EXPECT_EQ(Errors, std::vector<TComErrors>{TComErrors{ceIO}}) << "once";
  try {
    Port->Close();
  } catch (const EComPort& E) {
    EXPECT_EQ(E.ErrorCode(), CE_PurgeFailed);
  }
}

}  // namespace comfind
