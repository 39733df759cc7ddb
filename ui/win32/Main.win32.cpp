// comfind.exe: the window that finds the COM port a measuring instrument is attached to.
//
//   comfind                     the machine's COM ports
//   comfind --autostart         start a search as soon as the window shows
//   comfind --screenshot FILE   after the first search, save a PNG of the window and end
#include <windows.h>
// After <windows.h>, which it needs.
#include <shellapi.h>

#include <memory>
#include <string>
#include <vector>

#include "framework/MainLoop.h"
#include "search/dmCom.h"
#include "ui/win32/WinMainLoop.h"
#include "ui/win32/WinText.h"
#include "ui/win32/WinVisual.h"

using namespace comfind;

namespace {

constexpr UINT WM_AUTOSTART = WM_APP + 1;
constexpr UINT WM_SCREENSHOT = WM_APP + 2;

const wchar_t Usage[] =
    L"comfind [--autostart] [--screenshot FILE]\n\n"
    L"--autostart\tstart a search as soon as the window shows\n"
    L"--screenshot FILE\tafter the first search, save the window as a PNG file and end";

std::vector<std::wstring> Arguments() {
  int Count = 0;
  LPWSTR* Words = CommandLineToArgvW(GetCommandLineW(), &Count);
  std::vector<std::wstring> Result;
  for (int I = 1; Words && I < Count; ++I)
    Result.emplace_back(Words[I]);
  LocalFree(Words);
  return Result;
}

int Run() {
  bool Autostart = false, TestControl = false;
  std::wstring Screenshot;
  const std::vector<std::wstring> Args = Arguments();
  for (size_t I = 0; I < Args.size(); ++I) {
    if (Args[I] == L"--autostart") {
      Autostart = true;
    } else if (Args[I] == L"--screenshot" && I + 1 < Args.size()) {
      Screenshot = Args[++I];
    } else if (Args[I] == L"--test-control") {
      // Undocumented: the checks under Wine drive and read the window through it.
      TestControl = true;
    } else {
      MessageBoxW(nullptr, Usage, L"comfind", MB_OK | (Args[I] == L"--help" ? 0 : MB_ICONERROR));
      return Args[I] == L"--help" ? 0 : 2;
    }
  }

  // The application object: the loop, and the help file's name beside the program (nothing
  // opens it yet).
  TWinMainLoop Loop;
  std::wstring HelpFile(MAX_PATH, L'\0');
  HelpFile.resize(GetModuleFileNameW(nullptr, HelpFile.data(), MAX_PATH));
  HelpFile = HelpFile.substr(0, HelpFile.find_last_of(L'\\') + 1) + L"Help.chm";

  // The data module first: the window's creation lists the ports.
  auto dmCom = std::make_unique<TdmCom>(nullptr);
  auto fmVisual = std::make_unique<TWinVisual>(*dmCom, nullptr);
  TWinVisual& Window = *fmVisual;
  if (TestControl) Window.EnableTestControl();
  // An exception that escapes a handler is shown in a message box over the window.
  Loop.SetReport([&Window](TObject*, std::exception_ptr E) { Window.Form().ShowException(E); });

  int ExitCode = 0;
  if (!Screenshot.empty()) {
    // After the result has been painted: the message comes behind the paint it caused.
    Window.Form().OnSearchDone = [&Window](TObject*) {
      PostMessageW(Window.Handle(), WM_SCREENSHOT, 0, 0);
    };
  }
  Window.Show(SW_SHOWNORMAL);
  if (Autostart || !Screenshot.empty()) PostMessageW(Window.Handle(), WM_AUTOSTART, 0, 0);

  MSG Msg;
  while (GetMessageW(&Msg, nullptr, 0, 0) > 0) {
    if (Msg.hwnd == Window.Handle() && Msg.message == WM_AUTOSTART) {
      Guarded([&Window] {
        if (Window.Form().Enabled(vcFind))
          Window.Form().ExecuteFind();
        else
          Window.Form().OnSearchDone(nullptr);  // no ports: the picture shows the empty window
      });
      continue;
    }
    if (Msg.hwnd == Window.Handle() && Msg.message == WM_SCREENSHOT) {
      UpdateWindow(Window.Handle());
      if (!SaveWindowPng(Window.Handle(), Screenshot)) ExitCode = 1;
      DestroyWindow(Window.Handle());
      continue;
    }
    if (Window.PreTranslate(Msg)) continue;
    TranslateMessage(&Msg);
    DispatchMessageW(&Msg);
  }

  // A search cut short by the end of the program leaves the port open: close it while the
  // window that the search reports to still exists.
  Guarded([&dmCom] {
    dmCom->tmrFind->SetEnabled(false);
    dmCom->cpCheck->Close();
  });
  Loop.SetReport(nullptr);
  fmVisual.reset();
  dmCom.reset();
  return ExitCode;
}

}  // namespace

int main() {
  try {
    return Run();
  } catch (...) {
    MessageBoxW(nullptr, Wide(TfmVisual::ExceptionMessage(std::current_exception())).c_str(),
                L"comfind", MB_OK | MB_ICONERROR);
    return 1;
  }
}
