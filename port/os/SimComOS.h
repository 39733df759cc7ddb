// TSimComOS: an in-memory device layer for tests, so that everything above the operating-system
// layer runs without hardware. A test registers devices by name, hands the port a TSimComOS,
// and then plays the far end: it feeds bytes, reads what the port wrote, sets modem lines,
// raises line errors, makes calls fail and makes a device vanish. Every call is recorded with
// its arguments, in order.
//
// It behaves like the Win32 driver where the port can tell the difference, by the same rules the
// POSIX layer runs (ComEventCore.h, TransferQueue.h, EventTable.h): exclusive opens, events
// raised only when they are in the mask (and remembered until the next wait when no wait is
// pending), SetCommMask ending a pending wait with mask 0, overlapped records completed through
// their event, lowest index winning in WaitForMultipleObjects. Error numbers are Win32's (2 for
// a missing device, 5 for a device already open, 6 for an unknown handle, 87 for a bad
// argument, 995 for an aborted operation, 996 for an incomplete one).
//
// Transfers are asynchronous as on Win32. A read takes what is waiting and ends as the
// timeouts of SetCommTimeouts say (until they are set, at once with what is waiting); one that
// has to wait stays pending (ERROR_IO_PENDING_) until fed bytes end it or its deadline passes.
// A write completes at once unless HoldWrites() is in force; a held one stays pending until
// ReleaseWrites or its write timeout. PurgeComm (PURGE_RXABORT_, PURGE_TXABORT_) and
// CloseHandle end pending transfers with 995.
//
#pragma once

#include "port/os/ComOS.h"
#include "port/os/Completion.h"
#include "port/os/EventTable.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace comfind {

constexpr uint32_t SIM_ERROR_FILE_NOT_FOUND = 2;
constexpr uint32_t SIM_ERROR_ACCESS_DENIED = 5;
constexpr uint32_t SIM_ERROR_INVALID_HANDLE = 6;
constexpr uint32_t SIM_ERROR_BAD_COMMAND = 22;
constexpr uint32_t SIM_ERROR_INVALID_PARAMETER = 87;
constexpr uint32_t SIM_ERROR_OPERATION_ABORTED = 995;
constexpr uint32_t SIM_ERROR_IO_INCOMPLETE = 996;

class TSimComOS : public TComOS {
 public:
  // One recorded call.
  struct TCall {
    std::string Name;            // "CreateFileA", "SetCommState", ...
    THandle Handle = 0;          // the handle passed in (CreateFileA, CreateEventA: returned)
    std::string Text;            // CreateFileA: the file name; WriteFile: the bytes
    std::vector<uint32_t> Args;  // the numeric arguments in the call's order (see below)
    TDCB DCB{};                  // SetCommState
    TCommTimeouts Timeouts{};    // SetCommTimeouts
    bool Result = false;         // true when the call succeeded (or its wait returned)
    uint32_t Error = 0;          // the last error it left when it failed
  };
  // Args by call: CreateFileA {access, share mode, disposition, flags}; SetupComm {in, out};
  // SetCommMask {mask}; PurgeComm {flags}; ReadFile / WriteFile {count, 1 if overlapped};
  // GetOverlappedResult {wait}; CreateEventA {manual reset, initial state};
  // WaitForMultipleObjects {count, milliseconds, result, handles...};
  // WaitForSingleObject {milliseconds, result}; Sleep {milliseconds}; CloseHandle {1 for a
  // device, 0 for an event}; the others {}.
  // GetLastError and SetLastError are not recorded.

  TSimComOS();
  ~TSimComOS() override;

  // --- The test's side ---------------------------------------------------------------------

  // Registers a device that CreateFileA can open as "\\.\" + Name (or Name as it stands).
  // Registering a name again replaces a vanished device with a fresh one.
  void AddDevice(const std::string& Name);
  // Makes the device vanish: its pending wait fails, every later call on its handles except
  // CloseHandle fails with Error, and a wait that includes the event of its failed
  // WaitCommEvent returns WAIT_FAILED_ at once (so a waiting thread ends instead of spinning).
  void Vanish(const std::string& Name, uint32_t Error = SIM_ERROR_BAD_COMMAND);

  // Makes the next Times calls named Call fail with Error (Times < 0: every call until
  // ClearFailures). CreateFileA then returns INVALID_HANDLE_VALUE_, a wait WAIT_FAILED_.
  void FailCall(const std::string& Call, uint32_t Error, int Times = 1);
  void ClearFailures();

  // Bytes arriving from the far end: queued for ReadFile, counted by ClearCommError, and
  // raising EV_RXCHAR (EV_RXFLAG for the DCB's event character, EV_RX80FULL on crossing 80% of
  // the SetupComm input size) when in the mask.
  void Feed(const std::string& Name, const std::string& Bytes);
  // What the port has written so far (everything, or only what was not taken before).
  std::string Written(const std::string& Name) const;
  std::string TakeWritten(const std::string& Name);
  // Bytes fed but not yet read by the port.
  size_t InputQueue(const std::string& Name) const;

  // Sets the modem lines (MS_CTS_ON_ | MS_DSR_ON_ | MS_RING_ON_ | MS_RLSD_ON_); a changed CTS,
  // DSR or RLSD raises EV_CTS / EV_DSR / EV_RLSD, a ring turning on raises EV_RING.
  void SetModemStatus(const std::string& Name, uint32_t ModemStatus);
  // Adds line errors (CE_... bits) to the error word that ClearCommError returns and clears;
  // CE_FRAME, CE_OVERRUN, CE_RXPARITY raise EV_ERR, CE_BREAK raises EV_BREAK.
  void RaiseLineErrors(const std::string& Name, uint32_t Errors);
  // Raises arbitrary events (EV_... bits), as far as they are in the mask.
  void RaiseEvents(const std::string& Name, uint32_t Events);
  // Completes the pending wait with exactly Mask, whatever the device's mask is (to see how
  // the port treats bits it never asked for). False when no wait is pending.
  bool CompleteWait(const std::string& Name, uint32_t Mask);

  // While held, WriteFile on the device stays pending (ERROR_IO_PENDING_) until ReleaseWrites
  // completes the writes pending then, in order; PurgeComm with PURGE_TXABORT_ aborts them
  // (995).
  void HoldWrites(const std::string& Name, bool Hold);
  void ReleaseWrites(const std::string& Name);

  // While set, SetCommMask ends a pending wait as Win32 may: after the call has returned, not
  // inside it. The cancelled wait then completes (mask 0) when CompleteDeferredWaits is called
  // or the device's handle closes.
  void DeferCancelledWaits(const std::string& Name, bool Defer);
  void CompleteDeferredWaits(const std::string& Name);

  // Faults of the caller: an event closed while a record that carries it has an operation
  // pending, so the record is about to go while the device could still write into it. The
  // device reports each here and forgets such a record instead of writing it.
  std::vector<std::string> Misuses() const;

  // The device's state as the port last set it.
  bool IsOpen(const std::string& Name) const;
  bool IsWaiting(const std::string& Name) const;  // a WaitCommEvent is pending
  TDCB State(const std::string& Name) const;
  TCommTimeouts Timeouts(const std::string& Name) const;
  uint32_t Mask(const std::string& Name) const;
  uint32_t InputSize(const std::string& Name) const;
  uint32_t OutputSize(const std::string& Name) const;

  // The number of handles (devices and events) that are open now.
  size_t OpenHandles() const;

  // The call log.
  std::vector<TCall> Calls() const;
  std::vector<TCall> Calls(const std::string& Name) const;
  // The names of the calls made on device handles (and CreateFileA), in order.
  std::vector<std::string> DeviceCallNames() const;
  void ClearCalls();

  // Waits until Condition() is true, re-evaluating it (without the simulator's lock held, so
  // it may call the accessors above) whenever a call is made or the state changes. False when
  // the deadline passes first.
  bool WaitUntil(const std::function<bool()>& Condition, std::chrono::milliseconds Deadline);

  // --- TComOS ----------------------------------------------------------------------------
  THandle CreateFileA(const std::string& FileName, uint32_t DesiredAccess, uint32_t ShareMode,
                      uint32_t CreationDisposition, uint32_t FlagsAndAttributes) override;
  bool CloseHandle(THandle Handle) override;
  bool SetupComm(THandle Handle, uint32_t InQueue, uint32_t OutQueue) override;
  bool SetCommState(THandle Handle, const TDCB& DCB) override;
  bool SetCommTimeouts(THandle Handle, const TCommTimeouts& Timeouts) override;
  bool SetCommMask(THandle Handle, uint32_t EvtMask) override;
  bool WaitCommEvent(THandle Handle, uint32_t* EvtMask, TOverlapped* Overlapped) override;
  bool ReadFile(THandle Handle, void* Buffer, uint32_t Count, uint32_t* Read,
                TOverlapped* Overlapped) override;
  bool WriteFile(THandle Handle, const void* Buffer, uint32_t Count, uint32_t* Written,
                 TOverlapped* Overlapped) override;
  bool GetOverlappedResult(THandle Handle, TOverlapped* Overlapped, uint32_t* Transferred,
                           bool Wait) override;
  bool HasOverlappedIoCompleted_(const TOverlapped* Overlapped) override;
  bool PurgeComm(THandle Handle, uint32_t Flags) override;
  bool ClearCommError(THandle Handle, uint32_t* Errors, TComStat* Stat) override;
  bool GetCommModemStatus(THandle Handle, uint32_t* ModemStat) override;
  THandle CreateEventA(bool ManualReset, bool InitialState) override;
  bool SetEvent(THandle Event) override;
  bool ResetEvent(THandle Event) override;
  uint32_t WaitForMultipleObjects(uint32_t Count, const THandle* Handles,
                                  uint32_t Milliseconds) override;
  uint32_t WaitForSingleObject(THandle Handle, uint32_t Milliseconds) override;
  void Sleep(uint32_t Milliseconds) override;
  uint32_t GetLastError() override;
  void SetLastError(uint32_t Error) override;
  // The simulated device leaves Win32's numbers on every platform.
  TComFault ClassifyError(uint32_t Error, bool Opened) const override {
    return ClassifyWin32Error(Error, Opened);
  }

 private:
  struct TDevice;
  struct TFailure {
    uint32_t Error = 0;
    int Times = 0;
  };

  std::shared_ptr<TDevice> DeviceByName(const std::string& Name) const;
  std::shared_ptr<TDevice> DeviceByHandle(THandle Handle) const;
  // The device behind Handle, ready for a call; null once the call's failure is recorded (an
  // injected failure, an unknown handle, a vanished device).
  std::shared_ptr<TDevice> LiveDevice(TCall& Call, THandle Handle);
  bool Injected(const std::string& Call, uint32_t& Error);
  bool Fail(TCall& Call, uint32_t Error);
  bool Succeed(TCall& Call);
  void Record(TCall Call);
  void Changed();
  void Raise(TDevice& Device, uint32_t Events);
  void Complete(const TComCompletion& Done);
  void Complete(const std::vector<TComCompletion>& Done);
  // Sends the device's pending writes as far as the hold allows.
  void PumpWrites(TDevice& Device, bool Release);
  // Ends the transfers whose deadline has passed; returns the earliest deadline ahead.
  std::chrono::steady_clock::time_point PassTime();
  uint32_t Wait(bool Multiple, uint32_t Count, const THandle* Handles, uint32_t Milliseconds);
  // Waits (FLock held in L) until Done() or the deadline, ending transfers as time passes.
  bool SleepUntil(std::unique_lock<std::mutex>& L, std::chrono::steady_clock::time_point End,
                  const std::function<bool()>& Done);

  mutable std::mutex FLock;
  std::condition_variable FChangedCV;
  uint64_t FChanges = 0;
  THandle FNextHandle = 0x100;
  std::map<std::string, std::shared_ptr<TDevice>> FDevices;
  std::map<THandle, std::shared_ptr<TDevice>> FDeviceHandles;
  TEventTable FEvents;
  std::map<std::string, TFailure> FFailures;
  std::vector<TCall> FCalls;
  std::vector<std::string> FMisuses;
};

}  // namespace comfind
