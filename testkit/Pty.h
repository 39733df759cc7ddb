// What tests, tools and benchmarks share for the far end of a line: pseudo-terminals.
//
// A pseudo-terminal pair for tests that need a real serial-like device without touching the
// machine's own serial ports. The test plays the far end through the master side; the code
// under test opens SlavePath() like any device.
//
// By default the line starts raw (no echo, no line editing, no CR/LF translation), so bytes
// pass unchanged in both directions, and the pair keeps one slave descriptor of its own open:
// without it the master sees a hang-up (and reads fail with EIO) whenever the code under test
// has the slave closed, for example between two opens. CloseMaster() makes the device vanish
// for whoever has the slave open.
//
// Not thread-safe: use one TPty from one thread at a time (a test may hand it to a helper
// thread, but not use it from two at once). Failures of the set-up throw std::runtime_error.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

struct termios;

namespace comfind {

// A new pseudo-terminal: its master descriptor (non-blocking, close-on-exec, not the
// controlling terminal) and the path of its slave side.
struct TPtyMaster {
  int Fd = -1;
  std::string SlavePath;
};
// Opens one. Throws std::runtime_error naming the call that failed. The caller owns Fd.
TPtyMaster OpenPtyMaster();

class TPty {
 public:
  struct TOptions {
    bool Raw = true;        // put the line into raw mode at creation
    bool HoldSlave = true;  // keep a slave descriptor open for the pair's lifetime
  };

  TPty();
  explicit TPty(const TOptions& Options);
  ~TPty();
  TPty(const TPty&) = delete;
  TPty& operator=(const TPty&) = delete;

  // The device path of the slave side ("/dev/pts/N").
  const std::string& SlavePath() const { return FSlavePath; }
  // The master descriptor, or -1 after CloseMaster().
  int MasterFd() const { return FMaster; }

  // Writes all bytes at the master side (they arrive as input of the slave). False on failure
  // or when the master is closed.
  bool Write(std::string_view Bytes);

  // Reads from the master side what the slave side wrote, until Count bytes have arrived or
  // the deadline passes; returns what arrived (possibly fewer bytes). Sleeps in poll.
  std::string Read(size_t Count, std::chrono::milliseconds Deadline);
  // Reads until Done(bytes so far) is true or the deadline passes; returns what arrived.
  std::string ReadUntil(const std::function<bool(const std::string&)>& Done,
                        std::chrono::milliseconds Deadline);
  // Reads whatever is waiting now, without blocking.
  std::string ReadAvailable();

  // Closes the master side: whoever has the slave open sees the device vanish (hang-up, EIO).
  void CloseMaster();
  // Closes the pair's own slave descriptor (HoldSlave), so only the code under test holds it.
  void ReleaseSlave();

  // The line settings as the slave side sees them (read through the master).
  bool GetSlaveTermios(termios& Out) const;
  // The slave's output rate in bits per second, including non-standard rates (Linux); 0 when
  // it cannot be read.
  uint32_t SlaveBaudRate() const;

 private:
  int FMaster = -1;
  int FHeldSlave = -1;
  std::string FSlavePath;
};

// The number of descriptors this process has open (entries of /proc/self/fd), or -1.
int CountOpenDescriptors();

}  // namespace comfind
