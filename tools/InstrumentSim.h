// The simulated instrument: the far end of a serial line that answers each line it receives.
//
// A TSimPort is one such end: a new pseudo-terminal (whose slave side the code under test opens
// like any serial device) or an existing device. It is a state machine driven by ServeSimPorts,
// which waits in poll for input, for the next due reply and for a stop descriptor, so one thread
// serves any number of ports. POSIX only.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace comfind {

struct TSimOptions {
  std::string Reply = "OK";  // the answer to each received line
  bool LineEnd = true;       // CR LF after the answer
  bool Silent = false;       // never answer (the noise line, if any, is still sent)
  std::string Noise;         // a line (CR LF appended) sent before the answer
  int DelayMs = 0;           // pause between the received line and the first byte sent
  int Pieces = 1;            // the answer (with its CR LF) is sent in this many pieces
  int GapMs = 0;             // pause between two pieces
};

class TSimPort {
 public:
  using TClock = std::chrono::steady_clock;

  // Device empty: creates a pseudo-terminal and serves its master side. Otherwise opens Device
  // (a serial device or one end of a pair) in raw mode at 19200 8N1. Throws std::runtime_error.
  explicit TSimPort(const TSimOptions& Options, const std::string& Device = std::string());
  ~TSimPort();
  TSimPort(const TSimPort&) = delete;
  TSimPort& operator=(const TSimPort&) = delete;

  // What the code under test opens: the slave's path ("/dev/pts/5") or the given device.
  const std::string& Path() const { return FPath; }
  int Fd() const { return FFd; }

  // Called with each event: "rx N bytes at 19200 8N1: <line>" and "tx <piece>", where control
  // bytes, backslash and bytes from 0x7F up are written as \xHH.
  std::function<void(const std::string&)> OnLog;

  // Reads what is waiting and schedules the answers of the complete lines.
  void HandleInput(TClock::time_point Now);
  // Sends what is due; returns when the next piece is due (TClock::time_point::max() if none).
  TClock::time_point SendDue(TClock::time_point Now);

  // The line settings the other side has set, as "19200 8N1" (pseudo-terminals share their
  // settings between both sides).
  std::string LineSettings() const;

 private:
  struct TPending {
    TClock::time_point Due;
    std::string Bytes;
  };
  void Log(const std::string& Line) const;

  TSimOptions FOptions;
  std::string FPath;
  int FFd = -1;         // the side the simulator reads and writes
  int FHeldSlave = -1;  // a slave descriptor kept open so the master never sees a hang-up
  std::string FInput;
  std::vector<TPending> FPending;
};

// Serves Ports until StopFd becomes readable: sleeps in poll until input arrives, a reply is
// due or the stop is asked for.
void ServeSimPorts(const std::vector<TSimPort*>& Ports, int StopFd);

// Text with control bytes, backslash and bytes from 0x7F up written as \xHH.
std::string SimEscape(const std::string& Bytes);

}  // namespace comfind
