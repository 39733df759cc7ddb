// A child process for the end-to-end tests: one of the project's programs started with its
// stdout and stderr on pipes, read with deadlines, and reaped without polling.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

// The path of a program of this build ("cli/comfind-cli"), from COMFIND_BUILD_DIR (set by
// ctest); empty when the variable is missing.

namespace comfind {

std::string BuildProgram(const std::string& Relative);

class TProcess {
 public:
  // Starts Program with Args. The child dies with the test process (a crashed test leaves no
  // simulator behind). Throws std::runtime_error when it cannot be started.
  TProcess(const std::string& Program, const std::vector<std::string>& Args);
  ~TProcess();  // kills the child if it still runs
  TProcess(const TProcess&) = delete;
  TProcess& operator=(const TProcess&) = delete;

  pid_t Pid() const { return FPid; }

  // Reads stdout until a complete line is there or the deadline passes; the line without its
  // LF, or false.
  bool ReadLine(std::string& Line, std::chrono::milliseconds Deadline);
  // Reads stdout until Text occurs in what was read so far (all of it, lines taken by ReadLine
  // included) or the deadline passes.
  bool WaitForOutput(const std::string& Text, std::chrono::milliseconds Deadline);

  // Reads both pipes to their end and reaps the child; kills it when the deadline passes first.
  // Returns the exit status, 128 + signal for a child ended by a signal, -1 after a kill.
  int Finish(std::chrono::milliseconds Deadline);
  void Signal(int Number);

  const std::string& Out() const { return FOut; }  // all of stdout so far
  const std::string& Err() const { return FErr; }  // all of stderr so far
  std::vector<std::string> OutLines() const;

 private:
  // Waits for output on both pipes until Until; false when the deadline passed.
  bool Pump(std::chrono::steady_clock::time_point Until);

  pid_t FPid = -1;
  int FOutFd = -1;
  int FErrFd = -1;
  std::string FOut;
  std::string FErr;
  size_t FLineStart = 0;  // where ReadLine continues in FOut
  int FStatus = -2;
};

}  // namespace comfind
