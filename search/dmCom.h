// The data module of the instrument finder: it owns the application's port (cpCheck), the
// packet assembler that turns the port's bytes into lines (ComDataPack) and the search timer
// (tmrFind), and probes a list of ports one after another for the instrument.
//
// Threads: everything runs on the main thread; the replies arrive there through the port's
// window synchronisation and the timer through the main loop, so nothing here takes a lock.
// Errors: a port that cannot be opened or written to (EComPort) is logged and passed over;
// every other exception leaves StartFind or the handler it was raised in.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "framework/Classes.h"
#include "framework/MainLoop.h"
#include "port/CPort.h"
#include "search/ProbeReport.h"

namespace comfind {

class TComDataPacket;

// The outcome of a search (and of the probe of one port).
enum TFindResult : uint8_t {
  frFound,       // the port answered "OK"
  frOpenFailed,  // the port could not be opened or the probe could not be written
  frNotFound     // the wait for the reply ran out
};

// Completion handler: the result and the index, in the searched list, of the port it concerns.
using TFindDoneEvent = TEventHandler<TFindResult, uint8_t>;

class TdmCom : public TDataModule {
 public:
  // The most names one search visits: the index of the port being probed is one byte.
  static constexpr int MaxFindPorts = 256;

  // Creates the three components with their stored values; the port stays closed.
  explicit TdmCom(TComponent* AOwner);
  ~TdmCom() override;
  std::string ClassName() const override { return "TdmCom"; }

  TComPort* cpCheck = nullptr;
  TComDataPacket* ComDataPack = nullptr;
  TTimer* tmrFind = nullptr;

  // Starts a search over Ports (copied; only the first MaxFindPorts names are visited),
  // appending every line sent and received and every verdict to Log. Returns once a probe is
  // waiting for its reply (the search goes on through the main loop), or after OnDone has run
  // when no port could be opened. An empty list calls OnDone(frNotFound, 0) and logs nothing.
  // Calling it while a search runs restarts the search on the new list; the earlier one never
  // completes.
  void StartFind(const TStrings& Ports, TStrings& Log, TFindDoneEvent OnDone);

  // Handlers bound to ComDataPack's OnPacket and tmrFind's OnTimer.
  void ComDataPackFind(TObject* Sender, const std::string& Str);
  void tmrFindTimer(TObject* Sender);

  // The search's own copy of the names and the index of the port being probed.
  const TStrings& FindPorts() const { return FFindPorts; }
  uint8_t FindIndex() const { return FFindIndex; }

  // The command written to each port (CR LF follows it; the log shows it after ">") and the
  // reply line that counts as the instrument's answer, compared with the ASCII letters
  // case-folded. The instrument's by default; read at each probe.
  std::string ProbeCommand = "TRG0000000010000";
  std::string ExpectedReply = "OK";
  // Told of each port's outcome once the port is closed and its verdict line is in the log,
  // before the next port is probed or OnDone runs.
  TProbeDoneEvent OnPortDone;
  // The report of the port being probed as far as it goes, marked stopped, for a caller that
  // ends the search in the middle of a wait.
  TProbeReport ProbeSoFar() const;

 private:
  void ProbePort();
  void FinishPort(TFindResult Result);
  void AddLog(const std::string& Line);

  TStrings* FLog = nullptr;
  TFindDoneEvent FOnFindDone;
  TStringList FFindPorts;
  uint8_t FFindIndex = 0;
  int FPacketDepth = 0;  // ComDataPackFind calls in progress
  TProbeReport FReport;  // the outcome of the port being probed, as far as it is known
  std::chrono::steady_clock::time_point FProbeStart;
};

// The texts of the search, as code page 1251 bytes.
namespace FindText {
// "===================================" (35 equals signs)
inline constexpr char Separator[] = "===================================";
// The echo of the probe in the log.
inline constexpr char ProbeEcho[] = ">TRG0000000010000";
// The probe as written to the port, CR LF included.
inline constexpr char Probe[] = "TRG0000000010000\r\n";
// "Устройство найдено на "
inline constexpr char FoundOn[] =
    "\xD3\xF1\xF2\xF0\xEE\xE9\xF1\xF2\xE2\xEE\x20\xED\xE0\xE9\xE4\xE5\xED\xEE\x20\xED\xE0\x20";
// "Устройство не найдено на "
inline constexpr char NotFoundOn[] =
    "\xD3\xF1\xF2\xF0\xEE\xE9\xF1\xF2\xE2\xEE\x20\xED\xE5\x20\xED\xE0\xE9\xE4\xE5\xED\xEE\x20\xED"
    "\xE0\x20";
// "COM-порт не может быть открыт"
inline constexpr char OpenFailed[] =
    "COM-"
    "\xEF\xEE\xF0\xF2\x20\xED\xE5\x20\xEC\xEE\xE6\xE5\xF2\x20\xE1\xFB\xF2\xFC\x20\xEE\xF2\xEA\xF0"
    "\xFB\xF2";
// "Идет поиск..." : the caller's line before a search starts.
inline constexpr char Searching[] = "\xC8\xE4\xE5\xF2\x20\xEF\xEE\xE8\xF1\xEA...";
// "Устройство не найдено" : the caller's line when a search ends without the instrument.
inline constexpr char NotFound[] =
    "\xD3\xF1\xF2\xF0\xEE\xE9\xF1\xF2\xE2\xEE\x20\xED\xE5\x20\xED\xE0\xE9\xE4\xE5\xED\xEE";
// "Ожидание ответа прервано на " : the verdict of a port whose wait the search cut short when
// another port answered (the search over all ports at once).
inline constexpr char Stopped[] =
    "\xCE\xE6\xE8\xE4\xE0\xED\xE8\xE5\x20\xEE\xF2\xE2\xE5\xF2\xE0\x20\xEF\xF0\xE5\xF0\xE2\xE0"
    "\xED\xEE\x20\xED\xE0\x20";
}  // namespace FindText

}  // namespace comfind
