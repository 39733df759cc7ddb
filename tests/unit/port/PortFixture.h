// Shared pieces of the port tests: a thread-safe log of handler calls, a link and a port whose
// every handler writes to that log, the application's port settings, and a fixture with a
// simulated device.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "framework/MainLoop.h"
#include "port/CPort.h"
#include "port/os/SimComOS.h"

namespace comfind {

using namespace std::chrono_literals;

// Handler calls in order, from any thread.
class TCallLog {
 public:
  void Add(const std::string& Entry) {
    std::lock_guard<std::mutex> Lock(FLock);
    FEntries.push_back(Entry);
  }
  std::vector<std::string> Entries() const {
    std::lock_guard<std::mutex> Lock(FLock);
    return FEntries;
  }
  size_t Count(const std::string& Entry) const {
    std::lock_guard<std::mutex> Lock(FLock);
    size_t N = 0;
    for (const auto& E : FEntries)
      N += E == Entry;
    return N;
  }
  bool Contains(const std::string& Entry) const { return Count(Entry) > 0; }
  size_t Size() const {
    std::lock_guard<std::mutex> Lock(FLock);
    return FEntries.size();
  }
  void Clear() {
    std::lock_guard<std::mutex> Lock(FLock);
    FEntries.clear();
  }

 private:
  mutable std::mutex FLock;
  std::vector<std::string> FEntries;
};

inline std::string OnOffText(bool OnOff) {
  return OnOff ? "1" : "0";
}

// Fills every slot of Link with an entry "<Prefix>.<slot>[:arg]" in Log.
inline void LogAllSlots(TComLink& Link, TCallLog& Log, const std::string& Prefix,
                        bool WithRxBuf = false) {
  Link.OnConnChange = [&Log, Prefix](TObject*, bool On) {
    Log.Add(Prefix + ".Conn:" + OnOffText(On));
  };
  Link.OnTxBuf = [&Log, Prefix](TObject*, const void* B, int32_t N) {
    Log.Add(Prefix + ".TxBuf:" + std::string(static_cast<const char*>(B), static_cast<size_t>(N)));
  };
  Link.OnTxEmpty = [&Log, Prefix](TObject*) { Log.Add(Prefix + ".TxEmpty"); };
  Link.OnRxFlag = [&Log, Prefix](TObject*) { Log.Add(Prefix + ".RxFlag"); };
  Link.OnCTSChange = [&Log, Prefix](TObject*, bool On) {
    Log.Add(Prefix + ".CTS:" + OnOffText(On));
  };
  Link.OnDSRChange = [&Log, Prefix](TObject*, bool On) {
    Log.Add(Prefix + ".DSR:" + OnOffText(On));
  };
  Link.OnRLSDChange = [&Log, Prefix](TObject*, bool On) {
    Log.Add(Prefix + ".RLSD:" + OnOffText(On));
  };
  Link.OnRing = [&Log, Prefix](TObject*) { Log.Add(Prefix + ".Ring"); };
  Link.OnTxBusy = [&Log, Prefix](TObject*, bool On) {
    Log.Add(Prefix + ".TxBusy:" + OnOffText(On));
  };
  Link.OnRxBusy = [&Log, Prefix](TObject*, bool On) {
    Log.Add(Prefix + ".RxBusy:" + OnOffText(On));
  };
  if (WithRxBuf)
    Link.OnRxBuf = [&Log, Prefix](TObject*, const void* B, int32_t N) {
      Log.Add(Prefix +
              ".RxBuf:" + std::string(static_cast<const char*>(B), static_cast<size_t>(N)));
    };
}

// Sets every handler of Port to write "<name>[:arg]" to Log.
inline void LogAllEvents(TCustomComPort& Port, TCallLog& Log) {
  Port.OnBeforeOpen = [&Log](TObject*) { Log.Add("BeforeOpen"); };
  Port.OnAfterOpen = [&Log](TObject*) { Log.Add("AfterOpen"); };
  Port.OnBeforeClose = [&Log](TObject*) { Log.Add("BeforeClose"); };
  Port.OnAfterClose = [&Log](TObject*) { Log.Add("AfterClose"); };
  Port.OnRxChar = [&Log](TObject*, int32_t N) { Log.Add("RxChar:" + std::to_string(N)); };
  Port.OnRxBuf = [&Log](TObject*, const void* B, int32_t N) {
    Log.Add("RxBuf:" + std::string(static_cast<const char*>(B), static_cast<size_t>(N)));
  };
  Port.OnTxEmpty = [&Log](TObject*) { Log.Add("TxEmpty"); };
  Port.OnBreak = [&Log](TObject*) { Log.Add("Break"); };
  Port.OnRing = [&Log](TObject*) { Log.Add("Ring"); };
  Port.OnRxFlag = [&Log](TObject*) { Log.Add("RxFlag"); };
  Port.OnRx80Full = [&Log](TObject*) { Log.Add("Rx80Full"); };
  Port.OnCTSChange = [&Log](TObject*, bool On) { Log.Add("CTS:" + OnOffText(On)); };
  Port.OnDSRChange = [&Log](TObject*, bool On) { Log.Add("DSR:" + OnOffText(On)); };
  Port.OnRLSDChange = [&Log](TObject*, bool On) { Log.Add("RLSD:" + OnOffText(On)); };
  Port.OnError = [&Log](TObject*, TComErrors E) { Log.Add("Error:" + std::to_string(E.ToBits())); };
}

// The settings the instrument finder gives its port.
inline void ApplyApplicationSettings(TCustomComPort& Port) {
  Port.SetBaudRate(br19200);
  Port.Parity().SetBits(prNone);
  Port.SetStopBits(sbOneStopBit);
  Port.SetDataBits(dbEight);
  Port.SetEvents(TComEvents{evRxChar});
  Port.FlowControl().SetOutCTSFlow(false);
  Port.FlowControl().SetOutDSRFlow(false);
  Port.FlowControl().SetControlDTR(dtrEnable);
  Port.FlowControl().SetControlRTS(rtsDisable);
  Port.FlowControl().SetXonXoffOut(false);
  Port.FlowControl().SetXonXoffIn(false);
  Port.Timeouts().SetReadInterval(5);
  Port.Timeouts().SetReadTotalMultiplier(500);
  Port.Timeouts().SetReadTotalConstant(25);
  Port.SetStoredProps(TStoredProps{spBasic});
  Port.SetTriggersOnRxChar(false);
  Port.SetSyncMethod(smWindowSync);
}

// Every event bit a comm wait can complete with.
constexpr uint32_t kAllEventBits = EV_RXCHAR_ | EV_TXEMPTY_ | EV_RXFLAG_ | EV_RING_ | EV_BREAK_ |
                                   EV_CTS_ | EV_DSR_ | EV_ERR_ | EV_RLSD_ | EV_RX80FULL_;

// A SyncMethod's name, for the trace of a test run once per method.
inline const char* SyncName(TSyncMethod M) {
  return M == smThreadSync ? "smThreadSync" : M == smWindowSync ? "smWindowSync" : "smNone";
}

// The text of a caught exception.
inline std::string ExceptionMessage(std::exception_ptr E) {
  try {
    std::rethrow_exception(E);
  } catch (const std::exception& X) {
    return X.what();
  } catch (...) {
    return "?";
  }
}

// One OnException call.
struct TReported {
  TComExceptions Code;
  std::string ComportMessage;
  int64_t WinError;
  std::string WinMessage;
};

// A port on a simulated device "COM7", the main-thread loop attached to the test's thread, and
// the loop's exception report captured.
class SimPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TMainLoop::Instance().AttachMainThread();
    MainThread = std::this_thread::get_id();
    TMainLoop::Instance().SetExceptionHandler([this](TObject* Sender, std::exception_ptr E) {
      std::lock_guard<std::mutex> Lock(LoopLock);
      LoopReports.push_back(ExceptionMessage(E));
      LoopSenders.push_back(Sender);
    });
    Sim.AddDevice("COM7");
    Port = std::make_unique<TComPort>(nullptr);
    Port->SetOS(&Sim);
    Port->SetPort_("COM7");
  }

  void TearDown() override {
    Port.reset();
    EXPECT_EQ(Sim.OpenHandles(), 0u) << "a handle or event was left open";
    TMainLoop::Instance().ProcessMessages();
    TMainLoop::Instance().SetExceptionHandler(nullptr);
  }

  // Serves the main-thread loop until Condition holds (generous deadline).
  bool Serve(const std::function<bool()>& Condition, std::chrono::milliseconds Deadline = 10s) {
    return TMainLoop::Instance().ProcessUntil(Condition, Deadline);
  }

  // Collects OnException calls instead of raising.
  void CatchReports() {
    Port->OnException = [this](TObject*, TComExceptions Code, const std::string& Msg,
                               int64_t WinError, const std::string& WinMsg) {
      Reports.push_back({Code, Msg, WinError, WinMsg});
    };
  }

  std::vector<std::string> LoopReportsNow() {
    std::lock_guard<std::mutex> Lock(LoopLock);
    return LoopReports;
  }

  // The calls named Name, in order.
  std::vector<TSimComOS::TCall> CallsNamed(const std::string& Name) {
    std::vector<TSimComOS::TCall> Out;
    for (auto& C : Sim.Calls())
      if (C.Name == Name) Out.push_back(C);
    return Out;
  }

  TSimComOS Sim;
  std::unique_ptr<TComPort> Port;
  TCallLog Log;
  std::vector<TReported> Reports;
  std::mutex LoopLock;
  std::vector<std::string> LoopReports;
  std::vector<TObject*> LoopSenders;
  std::thread::id MainThread;
};

}  // namespace comfind
