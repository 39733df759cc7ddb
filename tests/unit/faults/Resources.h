// What a fault or soak test measures about this process: open descriptors, threads, resident
// memory and CPU time, read from /proc and the clock, plus the switch for the long variants.
// Linux-only readings; they return -1 where /proc cannot be read.
#pragma once

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

namespace comfind {

namespace faults {

// COMFIND_LONG=1 (scripts/soak.sh) asks for the full counts; the default run stays short.
inline bool LongRun() {
  const char* V = std::getenv("COMFIND_LONG");
  return V && *V && std::string(V) != "0";
}

inline int Threads() {
  std::error_code Ec;
  int N = 0;
  for (std::filesystem::directory_iterator It("/proc/self/task", Ec), End; !Ec && It != End;
       It.increment(Ec))
    ++N;
  return Ec ? -1 : N;
}

// The targets of the open descriptors, so a test can tell which file a leak or a stray open
// concerns (the directory's own descriptor is among them each time, and so cancels out).
inline std::multiset<std::string> OpenFiles() {
  std::multiset<std::string> Out;
  std::error_code Ec;
  for (std::filesystem::directory_iterator It("/proc/self/fd", Ec), End; !Ec && It != End;
       It.increment(Ec)) {
    std::error_code LinkEc;
    const auto Target = std::filesystem::read_symlink(It->path(), LinkEc);
    // The iterator's own descriptor is gone by the time it is read back.
    if (!LinkEc) Out.insert(Target.string());
  }
  return Out;
}

// A field of /proc/self/status in kiB (VmRSS, VmHWM), or -1.
inline long StatusKiB(const std::string& Field) {
  std::ifstream In("/proc/self/status");
  std::string Line;
  while (std::getline(In, Line))
    if (Line.rfind(Field + ":", 0) == 0)
      return std::strtol(Line.c_str() + Field.size() + 1, nullptr, 10);
  return -1;
}

// Restarts the peak resident size (VmHWM) from the current one; false where the kernel cannot.
inline bool ResetPeakRss() {
  std::ofstream Out("/proc/self/clear_refs");
  Out << "5";
  Out.flush();
  return static_cast<bool>(Out);
}

inline std::chrono::milliseconds CpuTime() {
  timespec T{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &T);
  return std::chrono::milliseconds(T.tv_sec * 1000 + T.tv_nsec / 1000000);
}

// Memory figures mean little under a sanitizer (freed blocks sit in a quarantine) or valgrind.
inline bool MemoryFiguresHold() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  return false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
  return false;
#endif
#endif
  return std::getenv("COMFIND_UNDER_VALGRIND") == nullptr;
}

}  // namespace faults

}  // namespace comfind
