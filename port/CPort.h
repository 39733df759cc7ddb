// The serial-port component.
//
// TCustomComPort holds every setting of one port, opens its device, applies the settings,
// starts an event thread that waits for serial events and delivers them (on the main thread
// by default), and offers overlapped reads and writes, the modem signals and links through
// which other components hear the port. TComPort is the form placed on a data module.
//
// Threads: every operation runs on the thread that owns the port (the main thread), except the
// per-event work, which runs where SyncMethod says (smNone: on the event thread). A handler may
// close the port, and may destroy it: the rest of that delivery then leaves the port alone
// (the handler itself, being part of the port, must not use its own captures afterwards).
// Errors: every failure goes through ReportError: EComPort is raised, or OnException is called
// and the operation goes on.
// A device that vanishes while the port is open (a USB adapter pulled out) is told once, as an
// event and not as an exception, to a port whose Events hold evError: OnError fires with
// [ceIO] (on Linux; on Windows as the driver reports it). The event thread then ends without
// spinning, the port stays open and hears nothing more, its transfers fail, and its Close
// releases everything and reports CE_PurgeFailed. A port without evError is not told.
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
#include "port/ComThread.h"
#include "port/os/ComOS.h"

namespace comfind {

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
// RemoveLink and frees it. Its slots run where the port delivers (SyncMethod), one at a time.
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
  // after the port has been released. First the lines CTS, DSR and RLSD last reported on are
  // reported off (links, then the handlers), so a listener that shows them sees them go with
  // the port; a line already reported off is not reported again.
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
  // SetPort is a macro of <windows.h> (winspool): the setter carries a trailing underscore,
  // as every name of the library that the platform's headers take does.
  void SetPort_(const std::string& Value);
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
  // The four settings objects belong to the port; changing one of their properties applies it
  // to the open device as a property of the port would be.
  TComBuffer& Buffer() { return FBuffer; }
  const TComBuffer& Buffer() const { return FBuffer; }
  void SetBuffer(const TComBuffer& Value);
  TComParity& Parity() { return FParity; }
  const TComParity& Parity() const { return FParity; }
  void SetParity(const TComParity& Value);
  TComTimeouts& Timeouts() { return FTimeouts; }
  const TComTimeouts& Timeouts() const { return FTimeouts; }
  void SetTimeouts(const TComTimeouts& Value);
  TComFlowControl& FlowControl() { return FFlowControl; }
  const TComFlowControl& FlowControl() const { return FFlowControl; }
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

  // The open device's handle in the operating-system layer; INVALID_HANDLE_VALUE_ while closed.
  THandle DeviceHandle() const { return FHandle; }

  // --- settings storage
  virtual void StoreToRegistry(TRegistry& Reg);
  virtual void StoreToIniFile(TIniFile& IniFile);
  virtual void LoadFromRegistry(TRegistry& Reg);
  virtual void LoadFromIniFile(TIniFile& IniFile);

  // --- reading, writing, signals
  // All of these run on the thread that owns the port, or in a handler on the delivering
  // thread. A failure goes through ReportError: EComPort is raised, or OnException is called
  // and the operation returns what is said below for that case.
  //
  // A new transfer record with its own event; the caller owns it and frees it with
  // FreeOverlapped, never while a transfer on it is pending. Errors: CE_InvalidAsync when the
  // event cannot be made (AsyncPtr is then null).
  void CreateOverlapped(PComOverlapped& AsyncPtr);
  // Frees a record made by CreateOverlapped (its event and write copy) and sets AsyncPtr to
  // null; a null AsyncPtr is left alone.
  void FreeOverlapped(PComOverlapped& AsyncPtr);
  // Starts writing Count bytes (copied; Buffer may go at once). Returns the bytes written when
  // the write completed at once, 0 while it is pending (WaitForCompletion ends it).
  // Errors: CE_InvalidAsync (null record), CEPortNotOpen (closed port, number
  // kPortNotOpenNumber), CE_WriteFailed (the system refused the write).
  int32_t StartWrite(const void* Buffer, int32_t Count, PComOverlapped AsyncPtr);
  // StartWrite of a text's bytes; an empty text starts nothing and returns 0.
  int32_t StartWriteText(const std::string& Str, PComOverlapped AsyncPtr);
  // Starts reading up to Count bytes into Buffer, which must stay valid until the read has
  // completed. Returns the bytes read when it completed at once, 0 while it is pending.
  // Errors: CE_InvalidAsync, CEPortNotOpen (kPortNotOpenNumber), CE_ReadFailed.
  int32_t StartRead(void* Buffer, int32_t Count, PComOverlapped AsyncPtr);
  // Waits for the transfer last started on the record to end and returns its count (0 after a
  // failure). A transfer ended by AbortTransfers or Close fails. Errors: CE_InvalidAsync,
  // CE_WriteFailed or CE_ReadFailed by the record's kind.
  int32_t WaitForCompletion(PComOverlapped AsyncPtr);
  // Writes a text and waits for the write to end (the write timeouts bound it); returns the
  // bytes written. Errors: those of StartWrite and WaitForCompletion.
  int32_t WriteText(std::string Str);
  // Reads up to Count bytes and waits for the read to end (the read timeouts bound it);
  // returns the bytes read. Errors: those of StartRead and WaitForCompletion.
  int32_t ReadBytes(void* Buffer, int32_t Count);
  // Ends every pending read and write of the port (they complete as failed). Errors:
  // CE_PurgeFailed.
  void AbortTransfers();
  // Bytes received and not yet read. Errors: CE_ClearComFailed (then 0).
  int32_t InputQueueCount();
  // The modem status lines that are on. Errors: CE_ModemStatFailed (then none).
  TModemSignals GetModemSignals();
  // The line errors since the last call (reading them clears them). Errors: CE_ClearComFailed.
  TComErrors GetLineErrors();

  // --- links
  // Registers a link; its slots hear the port from the next notice on, after the links
  // registered before it. Errors: CE_RegFailed for a null or an already registered link.
  void AddLink(TComLink* Link);
  // Unregisters a link, also from inside a slot (the links after it still hear that notice).
  // Errors: CE_RegFailed for a link that is not registered.
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

  // IComSettingsOwner: apply a group to the open device (nothing while closed, loading or
  // inside BeginUpdate/EndUpdate). Failures are reported as CE_SetStateFailed and its kin.
  void ApplyTimeoutSettings() override;
  void ApplyLineSettings() override;
  void ApplyBufferSizes() override;

 protected:
  // The device control block the current settings give.
  TDCB BuildDCB() const;

  // The work of one event, run where SyncMethod delivers (smNone: on the event thread):
  // reads what the event is about and calls the links and the dispatcher.
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

  // The open and close notices. False when a handler destroyed the port: the caller returns at
  // once.
  bool HandleBeforeOpen();
  bool HandleAfterOpen();
  bool HandleBeforeClose();
  // Remembers how a line was last reported, for the close.
  void NoteReported(TModemSignal Line, bool On);
  bool HandleAfterClose();

 private:
  friend class TComThread;
  friend struct TComPortTestAccess;
  friend uint32_t EventsToMask(TComEvents Events);
  friend TComEvents MaskToEvents(uint32_t Mask);

  // One row per event: its EV_ bit and its work. In delivery order: line errors first, so
  // OnError fires before the bytes that came with them are read; the rest as the signals are
  // usually looked at. The event thread, the hidden window and the mask conversions all go by
  // this one table.
  struct TEventRoute {
    TComEvent Event;
    uint32_t Mask;
    void (TCustomComPort::*Handle)();
  };
  static const TEventRoute EventRoutes[10];

  bool CanApply() const;
  void WindowMethod(TMessage& Message);
  void StopEventThread();
  void ReapThreads();
  void ReleaseAfterFailedClose();
  // The record of the synchronous transfers (WriteText, ReadBytes): the open's own while it is
  // free, a new one otherwise; released with ReleaseSyncRecord.
  PComOverlapped AcquireSyncRecord();
  void ReleaseSyncRecord(PComOverlapped& Rec);
  void FreeSyncRecord();
  // Frees the comm waits that event threads left unfinished, once the device is closed.
  void ReleaseUnfinishedWaits();
  template <typename Slot, typename... Args>
  bool NotifyLinks(Slot TComLink::*Member, Args... A);
  // Whether a registered link has the slot assigned.
  template <typename Slot>
  bool AnyLinkHas(Slot TComLink::*Member) const {
    for (const TComLink* Link : FLinks)
      if (Link->*Member) return true;
    return false;
  }
  bool Linked(const TComLink* Link) const;

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
  // The lines CTS, DSR and RLSD as last reported on (the bits of TModemSignals), for the close
  // to report off only what was on. Written where deliveries run (smNone: the event thread).
  std::atomic<uint8_t> FReportedOn{0};
  // Event threads that ended from inside their own delivery and are joined later.
  std::vector<std::unique_ptr<TComThread>> FRetiredThreads;
  // The synchronous transfers' record of this open, and whether a transfer is using it.
  PComOverlapped FSyncRecord = nullptr;
  std::atomic<bool> FSyncRecordBusy{false};
  // Shared with the work of an event or a notice in progress: false once the port is
  // destroyed, so that work a handler interrupted by destroying the port stops instead of
  // touching it.
  std::shared_ptr<std::atomic<bool>> FAlive = std::make_shared<std::atomic<bool>>(true);
  // Comm waits whose end their thread could not see (ComThread.cpp): the system may still
  // write them until the device is closed.
  std::vector<std::unique_ptr<TComWaitRecord>> FUnfinishedWaits;
  TBaudRate FBaudRate = br9600;
  int32_t FCustomBaudRate = 9600;
  std::string FPort = "COM1";
  TStopBits FStopBits = sbOneStopBit;
  TDataBits FDataBits = dbEight;
  bool FDiscardNull = false;
  char FEventChar = 0;
  TComEvents FEvents = AllComEvents();
  TComBuffer FBuffer;
  TComParity FParity;
  TComTimeouts FTimeouts;
  TComFlowControl FFlowControl;
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

// Calls one slot of every link registered when the notice began, in registration order; empty
// slots are skipped. A slot may unregister links, its own or others': a link is called only
// while it is still registered, and the links after it still hear the notice. Links registered
// by a slot hear the next notice. A slot may destroy the port: then nothing more is called and
// the result is false, and the caller must return at once without touching the port.
template <typename Slot, typename... Args>
bool TCustomComPort::NotifyLinks(Slot TComLink::*Member, Args... A) {
  if (FLinks.empty()) return true;
  const std::shared_ptr<const std::atomic<bool>> Alive = FAlive;
  const std::vector<TComLink*> Snapshot = FLinks;
  for (TComLink* Link : Snapshot) {
    if (!Linked(Link)) continue;
    const Slot& S = Link->*Member;
    if (!S) continue;
    S(this, A...);
    if (!*Alive) return false;
  }
  return true;
}

}  // namespace comfind
