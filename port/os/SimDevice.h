// The simulated device's state behind a name, shared by its two files: SimComOS.cpp (the
// calls of the layer) and SimPeer.cpp (the test's side of the line).
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "port/os/ComEventCore.h"
#include "port/os/SimComOS.h"
#include "port/os/TransferQueue.h"

namespace comfind {

// The timeouts of a device nobody has set them on: reads end at once with what is waiting.
constexpr TCommTimeouts kSimInitialTimeouts{0xFFFFFFFF, 0, 0, 0, 0};
// The input size assumed for EV_RX80FULL before SetupComm has named one.
constexpr uint32_t kSimDefaultInputSize = 4096;

using TSimClock = std::chrono::steady_clock;

struct TSimComOS::TDevice {
  std::string Name;
  bool Open = false;
  std::string Input;
  std::string Output;
  size_t Taken = 0;
  uint32_t ModemStatus = 0;
  TComEventCore Events{SIM_ERROR_INVALID_PARAMETER, SIM_ERROR_OPERATION_ABORTED};
  TTransferQueue Transfers{SIM_ERROR_OPERATION_ABORTED};
  TDCB DCB{};
  TCommTimeouts Timeouts = kSimInitialTimeouts;
  uint32_t InSize = 0;
  uint32_t OutSize = 0;
  bool HoldWrites = false;
  bool DeferCancel = false;
  std::vector<TComCompletion> Deferred;  // cancelled waits not yet completed
};

}  // namespace comfind
