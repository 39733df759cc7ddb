// Drives comfind.exe (started with its test switch) from another process of the same Wine
// session, as a person at the keyboard would, and reads the window's state back:
//
//   wine_window_driver COMMAND... (each command with its arguments, run in order)
//     wait-window SECONDS              until comfind's main window shows
//     wait-state FILE SECONDS LINE...  until the state has every LINE ("key=value", or
//                                      "key!=value": the key has another value), written to FILE
//     state FILE                       the window's state (UTF-8 "key=value" lines) to FILE
//     answers SECONDS                  the window answers a message sent to it within SECONDS
//     screenshot FILE                  a PNG of the window to FILE
//     devicechange CODE                sends WM_DEVICECHANGE with that event code to the window
//     keys KEY...                      types keys (TAB, SHIFT+TAB, RETURN, ESCAPE, F2, ALT+F4);
//                                      a wait-state or wait-exit after them sees their effect
//     tab-walk N                       prints the focused control, then again after each of N Tabs
//     tab-to NAME                      presses Tab until NAME (butFind, cbChooseCom ...) has the
//                                      focus
//     fail                             makes a handler raise an exception (the test switch's)
//     wait-messagebox SECONDS FILE     until the window shows a message box; its text to FILE,
//                                      then presses its OK button
//     fill-log N                       appends N lines to the log; prints the time it took
//     menu ID                          chooses the menu item with command ID, as a click does
//     wait-exit SECONDS                until the window is gone
// Prints one line per command; exits 0 when every command did what it says, 1 otherwise.
//
// Nothing in the window can be waited on from outside, so the waits look every 50 ms until
// their deadline.
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr ULONG_PTR TestCopyData = 0x434F4D46;
constexpr UINT WM_TEST_FAIL = WM_APP + 0x21;
constexpr auto Step = std::chrono::milliseconds(50);

HWND GWindow = nullptr;

template <typename F>
bool WaitFor(double Seconds, F Condition) {
  const auto Deadline = std::chrono::steady_clock::now() +
                        std::chrono::milliseconds(static_cast<int>(Seconds * 1000));
  for (;;) {
    if (Condition()) return true;
    if (std::chrono::steady_clock::now() > Deadline) return false;
    std::this_thread::sleep_for(Step);
  }
}

std::wstring Wide(const std::string& Text) {
  std::wstring Result(Text.size(), L'\0');
  Result.resize(static_cast<size_t>(
      MultiByteToWideChar(CP_UTF8, 0, Text.data(), static_cast<int>(Text.size()), Result.data(),
                          static_cast<int>(Result.size()))));
  return Result;
}

std::string Utf8(const std::wstring& Text) {
  std::string Result(Text.size() * 4, '\0');
  Result.resize(static_cast<size_t>(
      WideCharToMultiByte(CP_UTF8, 0, Text.data(), static_cast<int>(Text.size()), Result.data(),
                          static_cast<int>(Result.size()), nullptr, nullptr)));
  return Result;
}

// A command for the window's test switch; the window's answer.
LRESULT Command(const std::string& Text) {
  const std::wstring W = Wide(Text);
  COPYDATASTRUCT Data{TestCopyData, static_cast<DWORD>(W.size() * sizeof(wchar_t)),
                      const_cast<wchar_t*>(W.data())};
  DWORD_PTR Result = 0;
  if (!SendMessageTimeoutW(GWindow, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&Data), SMTO_NORMAL,
                           60000, &Result))
    return 0;
  return static_cast<LRESULT>(Result);
}

std::string ReadFile(const std::string& Path) {
  std::ifstream In(Path, std::ios::binary);
  std::stringstream S;
  S << In.rdbuf();
  return S.str();
}

bool HasLine(const std::string& Text, const std::string& Line) {
  const size_t Not = Line.find("!=");
  if (Not != std::string::npos)
    return !HasLine(Text, Line.substr(0, Not) + "=" + Line.substr(Not + 2));
  return ("\n" + Text).find("\n" + Line + "\n") != std::string::npos;
}

void Key(WORD Vk, bool Up) {
  INPUT In{};
  In.type = INPUT_KEYBOARD;
  In.ki.wVk = Vk;
  In.ki.dwFlags = Up ? KEYEVENTF_KEYUP : 0;
  SendInput(1, &In, sizeof In);
}

bool TypeKey(const std::string& Name) {
  std::vector<WORD> Modifiers;
  std::string Rest = Name;
  for (;;) {
    if (Rest.rfind("ALT+", 0) == 0) {
      Modifiers.push_back(VK_MENU);
      Rest = Rest.substr(4);
    } else if (Rest.rfind("SHIFT+", 0) == 0) {
      Modifiers.push_back(VK_SHIFT);
      Rest = Rest.substr(6);
    } else {
      break;
    }
  }
  WORD Vk = 0;
  if (Rest == "TAB") Vk = VK_TAB;
  if (Rest == "RETURN") Vk = VK_RETURN;
  if (Rest == "ESCAPE") Vk = VK_ESCAPE;
  if (Rest == "F2") Vk = VK_F2;
  if (Rest == "F4") Vk = VK_F4;
  if (!Vk) return false;
  SetForegroundWindow(GWindow);
  for (WORD M : Modifiers)
    Key(M, false);
  Key(Vk, false);
  Key(Vk, true);
  for (auto It = Modifiers.rbegin(); It != Modifiers.rend(); ++It)
    Key(*It, true);
  return true;
}

std::string Focus(const std::string& File) {
  Command("state " + File);
  const std::string S = ReadFile(File);
  const size_t At = S.find("\nfocus=");
  if (At == std::string::npos) return "?";
  return S.substr(At + 7, S.find('\n', At + 1) - At - 7);
}

HWND MessageBoxOf(HWND Owner) {
  HWND Box = nullptr;
  while ((Box = FindWindowExW(nullptr, Box, L"#32770", nullptr)))
    if (GetWindow(Box, GW_OWNER) == Owner && IsWindowVisible(Box)) return Box;
  return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> A(argv + 1, argv + argc);
  // A window that already shows needs no wait-window.
  GWindow = FindWindowW(L"comfindMainWindow", nullptr);
  bool Ok = true;
  auto Report = [&Ok](bool Done, const std::string& What) {
    std::printf("%s %s\n", Done ? "ok  " : "FAIL", What.c_str());
    std::fflush(stdout);
    Ok = Ok && Done;
    return Done;
  };
  for (size_t I = 0; I < A.size();) {
    const std::string C = A[I++];
    auto Arg = [&]() -> std::string { return I < A.size() ? A[I++] : std::string(); };
    if (C == "wait-window") {
      const double Seconds = std::atof(Arg().c_str());
      const bool Found = WaitFor(Seconds, [] {
        GWindow = FindWindowW(L"comfindMainWindow", nullptr);
        return GWindow && IsWindowVisible(GWindow);
      });
      if (!Report(Found, "the window shows")) break;
    } else if (C == "wait-state") {
      const std::string File = Arg();
      const double Seconds = std::atof(Arg().c_str());
      std::vector<std::string> Lines;
      while (I < A.size() && A[I].find('=') != std::string::npos)
        Lines.push_back(A[I++]);
      std::string Joined;
      for (const auto& L : Lines)
        Joined += " " + L;
      const bool Reached = WaitFor(Seconds, [&] {
        if (!Command("state " + File)) return false;
        const std::string S = ReadFile(File);
        for (const auto& L : Lines)
          if (!HasLine(S, L)) return false;
        return true;
      });
      Report(Reached, "state reached:" + Joined);
    } else if (C == "state") {
      Report(Command("state " + Arg()) == 1, "state written");
    } else if (C == "answers") {
      const double Seconds = std::atof(Arg().c_str());
      DWORD_PTR Result = 0;
      const auto Start = std::chrono::steady_clock::now();
      const bool Answered = SendMessageTimeoutW(GWindow, WM_NULL, 0, 0, SMTO_NORMAL,
                                                static_cast<UINT>(Seconds * 1000), &Result) != 0;
      const auto Took = std::chrono::duration_cast<std::chrono::milliseconds>(
          std::chrono::steady_clock::now() - Start);
      Report(Answered, "the window answers (" + std::to_string(Took.count()) + " ms)");
    } else if (C == "screenshot") {
      Report(Command("screenshot " + Arg()) == 1, "screenshot written");
    } else if (C == "devicechange") {
      const unsigned long Code = std::strtoul(Arg().c_str(), nullptr, 0);
      SendMessageW(GWindow, WM_DEVICECHANGE, Code, 0);
      Report(true, "WM_DEVICECHANGE sent with code " + std::to_string(Code));
    } else if (C == "keys") {
      while (I < A.size() && A[I].find_first_of("abcdefghijklmnopqrstuvwxyz-") == std::string::npos)
        Report(TypeKey(A[I]), "key " + A[I]), ++I;
    } else if (C == "tab-walk") {
      const int N = std::atoi(Arg().c_str());
      char Temp[MAX_PATH];
      GetTempPathA(MAX_PATH, Temp);
      const std::string File = std::string(Temp) + "comfind-focus.txt";
      std::string Walk = Focus(File);
      for (int K = 0; K < N; ++K) {
        // The key is in the window's queue, behind the messages sent to it: the focus moves
        // once the window has read it.
        const std::string Before = Focus(File);
        std::string Now = Before;
        TypeKey("TAB");
        WaitFor(10, [&] { return (Now = Focus(File)) != Before; });
        Walk += " " + Now;
      }
      std::printf("focus %s\n", Walk.c_str());
    } else if (C == "tab-to") {
      const std::string Name = Arg();
      char Temp[MAX_PATH];
      GetTempPathA(MAX_PATH, Temp);
      const std::string File = std::string(Temp) + "comfind-focus.txt";
      bool Reached = Focus(File) == Name;
      for (int K = 0; K < 8 && !Reached; ++K) {
        const std::string Before = Focus(File);
        std::string Now = Before;
        TypeKey("TAB");
        WaitFor(10, [&] { return (Now = Focus(File)) != Before; });
        Reached = Now == Name;
      }
      Report(Reached, "the focus is on " + Name);
    } else if (C == "fail") {
      Report(PostMessageW(GWindow, WM_TEST_FAIL, 0, 0) != 0, "failure injected");
    } else if (C == "wait-messagebox") {
      const double Seconds = std::atof(Arg().c_str());
      const std::string File = Arg();
      HWND Box = nullptr;
      if (!Report(WaitFor(Seconds, [&] { return (Box = MessageBoxOf(GWindow)) != nullptr; }),
                  "a message box shows"))
        continue;
      wchar_t Text[1024] = {};
      GetDlgItemTextW(Box, 0xFFFF, Text, 1024);
      std::ofstream(File, std::ios::binary) << Utf8(Text) << "\n";
      SendMessageW(GetDlgItem(Box, IDOK), BM_CLICK, 0, 0);
      Report(WaitFor(Seconds, [&] { return !IsWindow(Box); }), "the message box is closed");
    } else if (C == "fill-log") {
      const std::string N = Arg();
      const LRESULT Took = Command("fill-log " + N);
      Report(Took > 0, "appended " + N + " lines in " + std::to_string(Took - 1) + " ms");
      std::printf("fill-log-ms %ld\n", static_cast<long>(Took - 1));
    } else if (C == "menu") {
      const unsigned long Id = std::strtoul(Arg().c_str(), nullptr, 0);
      // A menu item's choice arrives as WM_COMMAND with the item's id and no control.
      Report(PostMessageW(GWindow, WM_COMMAND, MAKEWPARAM(Id, 0), 0) != 0,
             "menu item " + std::to_string(Id) + " chosen");
    } else if (C == "wait-exit") {
      const double Seconds = std::atof(Arg().c_str());
      Report(WaitFor(Seconds, [] { return !IsWindow(GWindow); }), "the window is gone");
    } else {
      Report(false, "unknown command " + C);
      break;
    }
  }
  return Ok ? 0 : 1;
}
