// The window's test switch (--test-control): its state as text and the commands a test drives
// it with, so that the Wine stage can check the window without a screen reader.
#include "ui/win32/WinVisual.h"

#include <commctrl.h>

#include <chrono>
#include <cwctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "ui/VisualText.h"
#include "ui/win32/Resources.h"
#include "ui/win32/WinIds.h"
#include "ui/win32/WinText.h"

namespace comfind {

namespace {

std::wstring WindowText(HWND Window) {
  std::wstring Text(static_cast<size_t>(GetWindowTextLengthW(Window)) + 1, L'\0');
  Text.resize(
      static_cast<size_t>(GetWindowTextW(Window, Text.data(), static_cast<int>(Text.size()))));
  return Text;
}

}  // namespace

std::wstring TWinVisual::ControlName(HWND Control) const {
  const std::pair<HWND, const wchar_t*> Names[] = {
      {butFind, L"butFind"},     {butExit, L"butExit"},       {cbChooseCom, L"cbChooseCom"},
      {memInfo, L"memInfo"},     {memHistory, L"memHistory"}, {FWindow, L"fmVisual"},
      {GroupBox1, L"GroupBox1"}, {lbRez, L"lbRez"},           {imgLogo, L"imgLogo"}};
  for (const auto& [Window, Name] : Names)
    if (Control == Window) return Name;
  return Control ? L"other" : L"none";
}

std::string TWinVisual::StateText() {
  FlushLog();
  std::wstring S;
  auto Line = [&S](const std::wstring& Key, const std::wstring& Value) {
    S += Key + L"=" + Value + L"\n";
  };
  const int Count = static_cast<int>(SendMessageW(cbChooseCom, CB_GETCOUNT, 0, 0));
  std::wstring Items;
  for (int I = 0; I < Count; ++I) {
    std::wstring Item(static_cast<size_t>(SendMessageW(cbChooseCom, CB_GETLBTEXTLEN, I, 0)) + 1,
                      L'\0');
    Item.resize(static_cast<size_t>(
        SendMessageW(cbChooseCom, CB_GETLBTEXT, I, reinterpret_cast<LPARAM>(Item.data()))));
    Items += (I ? L" " : L"") + Item;
  }
  Line(L"items", Items);
  Line(L"selected", WindowText(cbChooseCom));
  Line(L"detail", WindowText(lbPortDetail));
  {
    wchar_t Tip[1024] = L"";
    TTTOOLINFOW Tool = PortTool();
    Tool.lpszText = Tip;
    SendMessageW(tipPortDetail, TTM_GETTEXTW, std::size(Tip), reinterpret_cast<LPARAM>(&Tool));
    Line(L"tooltip", Tip);
  }
  auto Checked = [this](int Id) {
    return std::wstring(GetMenuState(mnuOptions, Id, MF_BYCOMMAND) & MF_CHECKED ? L"checked"
                                                                                : L"unchecked");
  };
  Line(L"parallel", Checked(ID_actParallel));
  Line(L"probe-new", Checked(ID_actProbeNew));
  Line(L"result", WindowText(lbRez));
  auto State = [](bool Enabled) { return std::wstring(Enabled ? L"enabled" : L"disabled"); };
  Line(L"butFind", State(IsWindowEnabled(butFind)));
  Line(L"Action11", State(!(GetMenuState(N1, ID_actFind, MF_BYCOMMAND) & MF_GRAYED)));
  Line(L"cbChooseCom", State(IsWindowEnabled(cbChooseCom)));
  Line(L"butExit", State(IsWindowEnabled(butExit)));
  // The button that shows the default emphasis ("none" when neither does).
  auto IsDefault = [](HWND Button) {
    return (GetWindowLongW(Button, GWL_STYLE) & BS_TYPEMASK) == BS_DEFPUSHBUTTON;
  };
  Line(L"default", IsDefault(butExit) ? L"butExit" : IsDefault(butFind) ? L"butFind" : L"none");
  const HWND Focus = GetFocus();
  Line(L"focus", ControlName(Focus));
  Line(L"focus-enabled", Focus && IsWindowEnabled(Focus) ? L"yes" : L"no");
  Line(L"menu", IsWindowVisible(FindWindowW(L"#32768", nullptr)) ? L"open" : L"closed");
  // The icons the window class got from the program's icon resource, and the faces the font
  // mapper chose for the designed ones.
  auto IconSize = [](HICON Icon) {
    ICONINFO Info{};
    BITMAP Bits{};
    if (!Icon || !GetIconInfo(Icon, &Info)) return std::wstring(L"none");
    GetObjectW(Info.hbmColor ? Info.hbmColor : Info.hbmMask, sizeof Bits, &Bits);
    if (Info.hbmColor) DeleteObject(Info.hbmColor);
    if (Info.hbmMask) DeleteObject(Info.hbmMask);
    return std::to_wstring(Bits.bmWidth);
  };
  Line(L"icon", IconSize(reinterpret_cast<HICON>(GetClassLongPtrW(FWindow, GCLP_HICON))) + L" " +
                    IconSize(reinterpret_cast<HICON>(GetClassLongPtrW(FWindow, GCLP_HICONSM))));
  auto Face = [this](HFONT Font) {
    const HDC Dc = GetDC(FWindow);
    const HGDIOBJ Old = SelectObject(Dc, Font);
    wchar_t Name[LF_FACESIZE] = {};
    GetTextFaceW(Dc, LF_FACESIZE, Name);
    SelectObject(Dc, Old);
    ReleaseDC(FWindow, Dc);
    return std::wstring(Name);
  };
  Line(L"font", Face(FFont));
  Line(L"rez-font", Face(FRezFont));
  RECT Outer;
  GetWindowRect(FWindow, &Outer);
  Line(L"size", std::to_wstring(Outer.right - Outer.left) + L"x" +
                    std::to_wstring(Outer.bottom - Outer.top));
  const std::wstring Log = WindowText(memHistory);
  size_t Lines = 0;
  std::wstring Rest;
  for (size_t At = 0; At <= Log.size() && !Log.empty();) {
    const size_t End = Log.find(L"\r\n", At);
    const std::wstring One = Log.substr(At, End == std::wstring::npos ? End : End - At);
    Rest += L"log=" + One + L"\n";
    ++Lines;
    if (End == std::wstring::npos) break;
    At = End + 2;
  }
  Line(L"log-lines", std::to_wstring(Lines));
  return Utf8(S + Rest);
}

LRESULT TWinVisual::TestCommand(const std::wstring& Command) {
  const size_t Space = Command.find(L' ');
  const std::wstring Verb = Command.substr(0, Space);
  const std::wstring Argument = Space == std::wstring::npos ? L"" : Command.substr(Space + 1);
  if (Verb == L"state") {
    std::ofstream Out(std::filesystem::path(Argument), std::ios::binary | std::ios::trunc);
    Out << StateText();
    return Out.flush() ? 1 : 0;
  }
  if (Verb == L"screenshot") {
    FlushLog();
    return SaveWindowPng(FWindow, Argument) ? 1 : 0;
  }
  if (Verb == L"fill-log") {
    // Lines appended the way the search appends them; the answer is the time it took, in ms.
    const int Count = std::stoi(Argument);
    const auto Start = std::chrono::steady_clock::now();
    for (int I = 0; I < Count; ++I)
      FForm->HistoryLines().Add("<line " + std::to_string(I) + " of a long day's exchange");
    FlushLog();
    return 1 + std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now() - Start)
                   .count();
  }
  return 0;
}

}  // namespace comfind
