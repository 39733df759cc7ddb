// Every platform call a port makes, failing for good, with and without an OnException handler:
// the first report names the step that failed, the port ends closed once Close has run, and no
// handle, event or thread is left behind either way.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "framework/MainLoop.h"
#include "port/CPort.h"
#include "port/os/SimComOS.h"
#include "tests/support/PortAccess.h"
#include "tests/unit/faults/Resources.h"

namespace comfind {

using namespace std::chrono_literals;

namespace {

constexpr uint32_t FailNumber = 31;  // a number no step leaves on its own

struct TRow {
  const char* Call;
  int FirstCode;  // 0: the port reports nothing (the event thread ignores the call's result)
  bool Delivers;  // the fed reply still reaches the link
};

const TRow Rows[] = {
    {"CreateFileA", CE_OpenFailed, false},
    {"SetupComm", CE_SetupComFailed, true},
    {"SetCommState", CE_SetStateFailed, true},
    {"SetCommTimeouts", CE_TimeoutsFailed, true},
    {"GetCommModemStatus", CE_ModemStatFailed, true},
    {"WriteFile", CE_WriteFailed, true},
    // The event thread's completions fail too: the loop ends after repeated failures.
    {"GetOverlappedResult", CE_WriteFailed, false},
    {"WaitCommEvent", 0, false},
    {"ClearCommError", CE_ClearComFailed, false},
    {"ReadFile", CE_ReadFailed, false},
    {"PurgeComm", CE_PurgeFailed, true},
};

std::string Describe(const TRow& Row, bool Handled) {
  return std::string(Row.Call) + (Handled ? " with a handler" : " without a handler");
}

}  // namespace

class EveryCallFails : public testing::TestWithParam<bool> {};

TEST_P(EveryCallFails, ReportsTheStepAndLeavesNothingBehind) {
  const bool Handled = GetParam();
  TMainLoop::Instance().AttachMainThread();
  const int Threads = faults::Threads();
  for (const TRow& Row : Rows) {
    SCOPED_TRACE(Describe(Row, Handled));
    TSimComOS Sim;
    Sim.AddDevice("COM7");
    std::vector<int> Codes;
    std::vector<std::string> Messages;
    TMainLoop::Instance().SetExceptionHandler([&](TObject*, std::exception_ptr E) {
      try {
        std::rethrow_exception(E);
      } catch (const EComPort& P) {
        Codes.push_back(P.ErrorCode());
        Messages.push_back(P.what());
      } catch (...) {
        Codes.push_back(-1);
      }
    });
    {
      TComPort Port(nullptr);
      Port.SetOS(&Sim);
      Port.SetPort_("COM7");
      Port.SetBaudRate(br19200);
      Port.SetEvents(TComEvents{evRxChar});
      Port.SetSyncMethod(smWindowSync);
      if (Handled) {
        Port.OnException = [&](TObject*, TComExceptions Code, const std::string& Text,
                               int64_t Number, const std::string&) {
          Codes.push_back(Code);
          Messages.push_back(Text + " (Error: " + std::to_string(Number) + ")");
        };
      }
      std::string Received;
      TComLink Link;
      Link.OnRxBuf = [&](TObject*, const void* B, int32_t N) {
        Received.append(static_cast<const char*>(B), static_cast<size_t>(N));
      };
      Port.AddLink(&Link);
      Sim.FailCall(Row.Call, FailNumber, -1);
      auto Step = [&](const std::function<void()>& Work) {
        try {
          Work();
        } catch (const EComPort& E) {
          EXPECT_FALSE(Handled) << "raised past the handler: " << E.what();
          Codes.push_back(E.ErrorCode());
          Messages.push_back(E.what());
        }
      };
      Step([&] { Port.Open(); });
      const bool Opened = Port.Connected();
      // A refused setting closes the device again unless a handler takes the report.
      EXPECT_EQ(Opened,
                Row.FirstCode != CE_OpenFailed && (Handled || Row.FirstCode == CE_ModemStatFailed ||
                                                   std::string(Row.Call).find("Set") != 0));
      if (Opened) {
        Step([&] { Port.WriteText("TRG0000000010000\r\n"); });
        Sim.Feed("COM7", "OK\r\n");
        if (Row.Delivers) {
          EXPECT_TRUE(
              TMainLoop::Instance().ProcessUntil([&] { return Received == "OK\r\n"; }, 10s));
        } else if (Row.FirstCode == 0) {
          // The refused wait request ends the event thread; nothing is reported.
          EXPECT_TRUE(TMainLoop::Instance().ProcessUntil(
              [&] { return !Sim.IsWaiting("COM7") && !Sim.Calls("WaitCommEvent").empty(); }, 10s));
        } else {
          EXPECT_TRUE(TMainLoop::Instance().ProcessUntil(
              [&] {
                for (int C : Codes)
                  if (C == Row.FirstCode) return true;
                return false;
              },
              10s));
        }
      }
      Step([&] { Port.Close(); });
      EXPECT_FALSE(Port.Connected());
      EXPECT_FALSE(TComPortTestAccess::ThreadCreated(Port));
      if (Row.FirstCode == 0) {
        EXPECT_TRUE(Codes.empty()) << Codes.front();
      } else {
        ASSERT_FALSE(Codes.empty());
        EXPECT_EQ(Codes.front(), Row.FirstCode) << Messages.front();
        EXPECT_NE(Messages.front().find("(Error: 31)"), std::string::npos) << Messages.front();
      }
      if (Row.Delivers && Opened) {
        // A refused setting or a failed write costs that step, not the port.
        EXPECT_EQ(Received, "OK\r\n");
      }
      Sim.ClearFailures();
      Port.RemoveLink(&Link);
    }
    EXPECT_EQ(Sim.OpenHandles(), 0u);
    EXPECT_TRUE(
        TMainLoop::Instance().ProcessUntil([&] { return faults::Threads() == Threads; }, 10s));
    TMainLoop::Instance().ProcessMessages();
    TMainLoop::Instance().SetExceptionHandler(nullptr);
  }
}

INSTANTIATE_TEST_SUITE_P(Faults, EveryCallFails, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& Info) {
                           return Info.param ? "WithOnException" : "WithoutHandler";
                         });

}  // namespace comfind
