// The serial-port component.
//
// TCustomComPort holds every setting of one port, opens its device, applies the settings,
// starts an event thread that waits for serial events and delivers them (on the main thread
// by default), and offers overlapped reads and writes, the modem signals and links through
// which other components hear the port. TComPort is the form placed on a data module.
//
// Threads: every operation runs on the thread that owns the port (the main thread), except the
// per-event work, which runs where SyncMethod says (smNone: on the event thread).
// Errors: every failure goes through ReportError: EComPort is raised, or OnException is called
// and the operation goes on.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "framework/Classes.h"
#include "framework/MainLoop.h"
#include "port/ComErrors.h"
#include "port/ComSettings.h"
#include "port/os/ComOS.h"

namespace comfind {

class TCustomComPort;
class TIniFile;
class TRegistry;

// Event handler types of the port.
using TRxCharEvent = TEventHandler<TObject*, int32_t>;
using TRxBufEvent = TEventHandler<TObject*, const void*, int32_t>;
using TComSignalEvent = TEventHandler<TObject*, bool>;
using TComErrorEvent = TEventHandler<TObject*, TComErrors>;

enum TModemSignal : uint8_t { msCTS, msDSR, msRing, msRLSD };
using TModemSignals = TSet<TModemSignal, uint8_t>;

enum TComIoKind : uint8_t { ioWrite, ioRead };

// One overlapped transfer: the platform record with its own event (manual reset, created
// signalled), the kind of the last transfer started on it, and for writes a copy of the bytes
// for the OnTxBuf notification.
struct TComOverlapped {
  TOverlapped Overlapped;
  TComIoKind Kind = ioWrite;
  char* Data = nullptr;
  int32_t Size = 0;
};
using PComOverlapped = TComOverlapped*;

// A set of notification slots through which a component hears a port. The port calls them;
// the component that creates the link fills them, registers it with AddLink, removes it with
// RemoveLink and frees it.
class TComLink : public TObject {
 public:
  std::string ClassName() const override { return "TComLink"; }
  TComSignalEvent OnConnChange;
  TRxBufEvent OnRxBuf;
  TRxBufEvent OnTxBuf;
  TNotifyEvent OnTxEmpty;
  TNotifyEvent OnRxFlag;
  TComSignalEvent OnCTSChange;
  TComSignalEvent OnDSRChange;
  TComSignalEvent OnRLSDChange;
  TNotifyEvent OnRing;
  TComSignalEvent OnTxBusy;
  TComSignalEvent OnRxBusy;
};

// The event thread of an open port: waits in the kernel for the events of the port's Events
// set and the stop event, and has the port do each event's work by its SyncMethod.
// The body never raises: a failed wait, a device that keeps failing or an exception from a
// delivery ends the loop (the port then hears nothing until it is reopened).
class TComThread : public TThread {
 public:
  // Creates the stop event, sets the device's event mask and starts the thread.
  explicit TComThread(TCustomComPort* AComPort);
  // Sets the stop event and waits for the body to end (serving deliveries in flight when
  // called on the main thread).
  ~TComThread() override;
  std::string ClassName() const override { return "TComThread"; }

 protected:
  void Execute() override;

 private:
  friend class TCustomComPort;
  void DispatchEvents();
  void SendEventMessages();
  void DeliverEvents();
  void RunLoop();
  void RequestStop();
  // Whether the calling thread may wait for this thread's end: not when it is this thread,
  // nor when it is the main thread running this thread's synchronised delivery.
  bool CanWaitHere() const;

  TCustomComPort* FComPort;
  THandle FStopEvent;
  TComEvents FEvents;
  TComOS* FOS;
  // The device handle, taken once: a detached thread must never look at the port again.
  THandle FHandle;
  std::atomic<bool> FStopRequested{false};
  // Set when the port closed from inside this thread's own delivery and could not wait: the
  // device is closed under it, so its clean-up leaves the device alone.
  std::atomic<bool> FDetached{false};
  // Main thread only: true while DeliverEvents runs there for this thread (smThreadSync).
  bool FSyncDelivering = false;
};

// The event message of window synchronisation: WM_USER_ + 1, wParam = one event's mask value.
constexpr uint32_t CM_COMPORT = WM_USER_ + 1;

uint32_t EventsToMask(TComEvents Events);
TComEvents MaskToEvents(uint32_t Mask);

class TCustomComPort : public TComponent, public IComSettingsOwner {
 public:
  explicit TCustomComPort(TComponent* AOwner);
  ~TCustomComPort() override;
  std::string ClassName() const override { return "TCustomComPort"; }

  // The operating-system layer this port talks to; TComOS::Default() unless set. Set it only
  // while the port is closed.
  TComOS& OS() const { return *FOS; }
  void SetOS(TComOS* Value);

  // --- open and close
  // Opens the device, applies every setting and starts the event thread. A device that cannot
  // be opened leaves the port closed, also when OnException takes the report.
  void Open();
  // Stops the event thread (serving a delivery in flight, so it may be called from a handler),
  // closes the device and marks the port closed. A failed purge of pending transfers is raised
  // after the port has been released.
  void Close();
  bool Connected() const { return FConnected.load(); }
  void SetConnected(bool Value);
  void Loaded() override;

  // --- settings
  TBaudRate BaudRate() const { return FBaudRate; }
  void SetBaudRate(TBaudRate Value);
  int32_t CustomBaudRate() const { return FCustomBaudRate; }
  void SetCustomBaudRate(int32_t Value);
  const std::string& Port() const { return FPort; }
  void SetPort(const std::string& Value);
  TStopBits StopBits() const { return FStopBits; }
  void SetStopBits(TStopBits Value);
  TDataBits DataBits() const { return FDataBits; }
  void SetDataBits(TDataBits Value);
  bool DiscardNull() const { return FDiscardNull; }
  void SetDiscardNull(bool Value);
  char EventChar() const { return FEventChar; }
  void SetEventChar(char Value);
  TComEvents Events() const { return FEvents; }
  void SetEvents(TComEvents Value) { FEvents = Value; }
  TComBuffer& Buffer() const { return *FBuffer; }
  void SetBuffer(const TComBuffer& Value);
  TComParity& Parity() const { return *FParity; }
  void SetParity(const TComParity& Value);
  TComTimeouts& Timeouts() const { return *FTimeouts; }
  void SetTimeouts(const TComTimeouts& Value);
  TComFlowControl& FlowControl() const { return *FFlowControl; }
  void SetFlowControl(const TComFlowControl& Value);
  TSyncMethod SyncMethod() const { return FSyncMethod; }
  void SetSyncMethod(TSyncMethod Value);
  TStoredProps StoredProps() const { return FStoredProps; }
  void SetStoredProps(TStoredProps Value) { FStoredProps = Value; }
  bool TriggersOnRxChar() const;
  void SetTriggersOnRxChar(bool Value);
  uint32_t CodePage() const { return FCodePage; }
  void SetCodePage(uint32_t Value) { FCodePage = Value; }
  TThreadPriority EventThreadPriority() const { return FEventThreadPriority; }

  // Update nesting: while non-zero the apply operations do nothing; EndUpdate of the outermost
  // level applies everything once.
  void BeginUpdate();
  void EndUpdate();

  // --- state the event thread and tests look at
  THandle DeviceHandle() const { return FHandle; }
  bool ThreadCreated() const { return FThreadCreated; }
  bool HasRxBufLink() const { return FHasRxBufLink; }
  TMessageWindow* NotifyWindow() const { return FNotifyWindow.get(); }
  int LinkCount() const { return static_cast<int>(FLinks.size()); }
  int32_t UpdateCount() const { return FUpdateCount; }

  // --- settings storage
  virtual void StoreToRegistry(TRegistry& Reg);
  virtual void StoreToIniFile(TIniFile& IniFile);
  virtual void LoadFromRegistry(TRegistry& Reg);
  virtual void LoadFromIniFile(TIniFile& IniFile);

  // --- reading, writing, signals
  void CreateOverlapped(PComOverlapped& AsyncPtr);
  void FreeOverlapped(PComOverlapped& AsyncPtr);
  int32_t StartWrite(const void* Buffer, int32_t Count, PComOverlapped AsyncPtr);
  int32_t StartWriteText(const std::string& Str, PComOverlapped AsyncPtr);
  int32_t StartRead(void* Buffer, int32_t Count, PComOverlapped AsyncPtr);
  int32_t WaitForCompletion(PComOverlapped AsyncPtr);
  int32_t WriteText(std::string Str);
  int32_t ReadBytes(void* Buffer, int32_t Count);
  void AbortTransfers();
  int32_t InputQueueCount();
  TModemSignals GetModemSignals();
  TComErrors GetLineErrors();

  // --- links
  void AddLink(TComLink* Link);
  void RemoveLink(TComLink* Link);

  // --- errors
  void ReportError(uint16_t Code, int64_t Number);

  // --- events
  TNotifyEvent OnAfterOpen;
  TNotifyEvent OnAfterClose;
  TNotifyEvent OnBeforeOpen;
  TNotifyEvent OnBeforeClose;
  TRxCharEvent OnRxChar;
  TRxBufEvent OnRxBuf;
  TNotifyEvent OnTxEmpty;
  TNotifyEvent OnBreak;
  TNotifyEvent OnRing;
  TComSignalEvent OnCTSChange;
  TComSignalEvent OnDSRChange;
  TComSignalEvent OnRLSDChange;
  TNotifyEvent OnRxFlag;
  TComErrorEvent OnError;
  TNotifyEvent OnRx80Full;
  TComExceptionEvent OnException;

  // IComSettingsOwner: apply a group to the open device.
  void ApplyTimeoutSettings() override;
  void ApplyLineSettings() override;
  void ApplyBufferSizes() override;
  // The device control block the current settings give.
  TDCB BuildDCB() const;

  // --- per-event work (run on the delivering thread)
  void HandleRxChar();
  void HandleTxEmpty();
  void HandleRxFlag();
  void HandleRing();
  void HandleBreak();
  void HandleCTSChange();
  void HandleDSRChange();
  void HandleRLSDChange();
  void HandleError();
  void HandleRx80Full();

 protected:
  virtual void OpenDevice();
  virtual void CloseDevice();
  virtual void ApplySettings();

  virtual void DoAfterClose();
  virtual void DoAfterOpen();
  virtual void DoBeforeClose();
  virtual void DoBeforeOpen();
  virtual void DoRxChar(int32_t Count);
  virtual void DoRxBuf(const void* Buffer, int32_t Count);
  virtual void DoTxEmpty();
  virtual void DoBreak();
  virtual void DoRing();
  virtual void DoRxFlag();
  virtual void DoCTSChange(bool OnOff);
  virtual void DoDSRChange(bool OnOff);
  virtual void DoError(TComErrors Errors);
  virtual void DoRLSDChange(bool OnOff);
  virtual void DoRx80Full();

  void HandleBeforeOpen();
  void HandleAfterOpen();
  void HandleBeforeClose();
  void HandleAfterClose();

 private:
  friend class TComThread;
  bool CanApply() const;
  void WindowMethod(TMessage& Message);
  void StopEventThread();
  void ReapThreads();
  void ReleaseAfterFailedClose();
  template <typename Slot, typename... Args>
  void NotifyLinks(Slot TComLink::*Member, Args... A);

  TComOS* FOS;
  std::unique_ptr<TComThread> FEventThread;
  bool FThreadCreated = false;
  THandle FHandle = INVALID_HANDLE_VALUE_;
  std::unique_ptr<TMessageWindow> FNotifyWindow;
  int32_t FUpdateCount = 0;
  std::vector<TComLink*> FLinks;
  bool FTriggersOnRxChar = true;
  TThreadPriority FEventThreadPriority = tpNormal;
  bool FHasRxBufLink = false;
  // Read by the event thread (smNone deliveries check it between events).
  std::atomic<bool> FConnected{false};
  bool FClosing = false;
  // Event threads that ended from inside their own delivery and are joined later.
  std::vector<std::unique_ptr<TComThread>> FRetiredThreads;
  TBaudRate FBaudRate = br9600;
  int32_t FCustomBaudRate = 9600;
  std::string FPort = "COM1";
  TStopBits FStopBits = sbOneStopBit;
  TDataBits FDataBits = dbEight;
  bool FDiscardNull = false;
  char FEventChar = 0;
  TComEvents FEvents = AllComEvents();
  TComBuffer* FBuffer = nullptr;
  TComParity* FParity = nullptr;
  TComTimeouts* FTimeouts = nullptr;
  TComFlowControl* FFlowControl = nullptr;
  TSyncMethod FSyncMethod = smThreadSync;
  TStoredProps FStoredProps{spBasic};
  uint32_t FCodePage = 0;
};

// The port as placed on a data module: the same object, its properties published.
class TComPort : public TCustomComPort {
 public:
  using TCustomComPort::TCustomComPort;
  std::string ClassName() const override { return "TComPort"; }
};

// Calls one slot of every registered link in registration order; empty slots are skipped. The
// count is taken once (a slot must not register links); the bound check keeps a slot that
// unregisters one anyway from reading past the list.
template <typename Slot, typename... Args>
void TCustomComPort::NotifyLinks(Slot TComLink::*Member, Args... A) {
  const size_t count = FLinks.size();
  for (size_t i = 0; i < count && i < FLinks.size(); ++i) {
    const Slot& S = FLinks[i]->*Member;
    if (S) S(this, A...);
  }
}

}  // namespace comfind
