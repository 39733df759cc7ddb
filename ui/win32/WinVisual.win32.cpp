#include "ui/win32/WinVisual.h"

#include <commctrl.h>
#include <dbt.h>

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

constexpr wchar_t ClassName[] = L"comfindMainWindow";
constexpr UINT WM_FLUSH_LOG = WM_APP + 0x20;

// The designed window: outer size and place, minimum size, panel sizes (96 DPI pixels).
constexpr int DesignLeft = 442, DesignTop = 118, DesignWidth = 785, DesignHeight = 771;
constexpr int MinWidth = 700, MinHeight = 600;
constexpr int ManagementHeight = 66, ResultWidth = 369, ResultBorder = 5, LogoHeight = 128;
constexpr int InfoWidth = 200, LogoWidth = 125, RezHeight = 176;

// GetDpiForWindow and friends came with Windows 10; the program also runs where they do not
// exist, at the system's DPI.
UINT WindowDpi(HWND Window) {
  using TGetDpiForWindow = UINT(WINAPI*)(HWND);
  static const auto GetDpi = reinterpret_cast<TGetDpiForWindow>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
  if (GetDpi && Window) {
    const UINT Dpi = GetDpi(Window);
    if (Dpi) return Dpi;
  }
  const HDC Screen = GetDC(nullptr);
  const int Dpi = GetDeviceCaps(Screen, LOGPIXELSY);
  ReleaseDC(nullptr, Screen);
  return Dpi > 0 ? static_cast<UINT>(Dpi) : 96;
}

HFONT MakeFont(const wchar_t* Face, int Height, BYTE Charset) {
  return CreateFontW(Height, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, Charset, OUT_DEFAULT_PRECIS,
                     CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, VARIABLE_PITCH | FF_SWISS, Face);
}

// Multi-line edit controls want "\r\n" between lines.
std::wstring EditText(const std::string& Cp1251) {
  std::wstring Text;
  for (wchar_t C : Wide(Cp1251)) {
    if (C == L'\n') Text += L'\r';
    Text += C;
  }
  return Text;
}

}  // namespace

TWinVisual::TWinVisual(TdmCom& Dm, TPortListSource ListPorts) {
  const HINSTANCE Instance = GetModuleHandleW(nullptr);
  INITCOMMONCONTROLSEX Controls{sizeof Controls, ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&Controls);

  WNDCLASSEXW Class{};
  Class.cbSize = sizeof Class;
  Class.lpfnWndProc = &TWinVisual::WindowProc;
  Class.hInstance = Instance;
  Class.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));      // IDC_ARROW
  Class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);  // clBtnFace
  Class.lpszClassName = ClassName;
  Class.hIcon = static_cast<HICON>(LoadImageW(Instance, MAKEINTRESOURCEW(IDI_COMFIND), IMAGE_ICON,
                                              GetSystemMetrics(SM_CXICON),
                                              GetSystemMetrics(SM_CYICON), LR_DEFAULTCOLOR));
  Class.hIconSm = static_cast<HICON>(LoadImageW(Instance, MAKEINTRESOURCEW(IDI_COMFIND), IMAGE_ICON,
                                                GetSystemMetrics(SM_CXSMICON),
                                                GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR));
  RegisterClassExW(&Class);

  FLogoPicture = LoadBmpResource(IDR_LOGO);
  FWindowBrush = GetSysColorBrush(COLOR_WINDOW);

  // The menu "Файл": find, a separator, exit (with its shortcut shown).
  MainMenu = CreateMenu();
  N1 = CreatePopupMenu();
  AppendMenuW(N1, MF_STRING, ID_actFind, Wide(VisualText::Find).c_str());
  AppendMenuW(N1, MF_SEPARATOR, 0, nullptr);
  AppendMenuW(N1, MF_STRING, ID_actFileExit, (Wide(VisualText::Exit) + L"\tAlt+F4").c_str());
  AppendMenuW(MainMenu, MF_POPUP, reinterpret_cast<UINT_PTR>(N1), Wide(VisualText::File).c_str());
  // The options beside the designed menu, which they leave as it was: checkable, off at start.
  mnuOptions = CreatePopupMenu();
  AppendMenuW(mnuOptions, MF_STRING | MF_UNCHECKED, ID_actParallel,
              Wide(VisualText::ParallelItem).c_str());
  AppendMenuW(mnuOptions, MF_STRING | MF_UNCHECKED, ID_actProbeNew,
              Wide(VisualText::ProbeNewItem).c_str());
  AppendMenuW(MainMenu, MF_POPUP, reinterpret_cast<UINT_PTR>(mnuOptions),
              Wide(VisualText::Options).c_str());
  ACCEL Keys[] = {{FVIRTKEY, VK_F2, ID_N1}};
  FShortcuts = CreateAcceleratorTableW(Keys, 1);

  // Placed at the designed spot in pixels of the primary monitor's DPI; WM_DPICHANGED moves it
  // on when that monitor's DPI differs.
  FDpi = WindowDpi(nullptr);
  FWindow =
      CreateWindowExW(WS_EX_CONTROLPARENT, ClassName, Wide(VisualText::Caption).c_str(),
                      WS_OVERLAPPEDWINDOW, Scale(DesignLeft), Scale(DesignTop), Scale(DesignWidth),
                      Scale(DesignHeight), nullptr, MainMenu, Instance, this);
  if (!FWindow) throw Exception("the main window cannot be created");
  CreateControls();
  ApplyDpi(WindowDpi(FWindow));

  FForm = std::make_unique<TfmVisual>(Dm, *this, std::move(ListPorts));
  FForm->FormCreate(FForm.get());
}

TWinVisual::~TWinVisual() {
  // The form goes first: it may still speak to the controls, never after its destruction.
  FForm.reset();
  if (FWindow) {
    SetWindowLongPtrW(FWindow, GWLP_USERDATA, 0);
    DestroyWindow(FWindow);
  }
  if (FShortcuts) DestroyAcceleratorTable(FShortcuts);
  if (FFont) DeleteObject(FFont);
  if (FRezFont) DeleteObject(FRezFont);
  if (FLogo) DeleteObject(FLogo);
}

void TWinVisual::CreateControls() {
  const HINSTANCE Instance = GetModuleHandleW(nullptr);
  auto Make = [&](const wchar_t* Class, const std::wstring& Text, DWORD Style, int Id) {
    return CreateWindowExW(0, Class, Text.c_str(), WS_CHILD | WS_VISIBLE | Style, 0, 0, 0, 0,
                           FWindow, reinterpret_cast<HMENU>(static_cast<INT_PTR>(Id)), Instance,
                           nullptr);
  };
  // Created in tab order: the order of creation is the order Tab walks. The management panel
  // first (find, the exit panel, the port box), then the result panel's information text; the
  // log is no tab stop.
  butFind =
      Make(L"BUTTON", Wide(VisualText::Find), WS_TABSTOP | BS_PUSHBUTTON | BS_NOTIFY, ID_actFind);
  butExit = Make(L"BUTTON", Wide(VisualText::Exit), WS_TABSTOP | BS_DEFPUSHBUTTON | BS_NOTIFY,
                 ID_actFileExit);
  GroupBox1 = Make(L"BUTTON", Wide(VisualText::ChoosePort), BS_GROUPBOX, ID_GroupBox1);
  cbChooseCom = Make(L"COMBOBOX", L"", WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST, ID_cbChooseCom);
  memInfo = Make(L"EDIT", EditText(VisualText::Info),
                 WS_TABSTOP | ES_MULTILINE | ES_READONLY | ES_WANTRETURN, ID_memInfo);
  imgLogo = Make(L"STATIC", L"", SS_OWNERDRAW, ID_imgLogo);
  lbRez = Make(L"STATIC", L"", SS_OWNERDRAW | SS_NOPREFIX, ID_lbRez);
  lbPortDetail = Make(L"STATIC", L"", SS_LEFT | SS_NOPREFIX, ID_lbPortDetail);
  memHistory =
      Make(L"EDIT", L"",
           WS_VSCROLL | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL | ES_WANTRETURN | ES_NOHIDESEL,
           ID_memHistory);
  // A log kept open all day outgrows the edit control's default limit of 32K characters.
  SendMessageW(memHistory, EM_SETLIMITTEXT, 0, 0);
  SetWindowSubclass(memHistory, &TWinVisual::MemoProc, 1, 0);
  SetWindowSubclass(memInfo, &TWinVisual::MemoProc, 1, 0);

  // The port box's tooltip repeats the detail line, which a narrow window cuts short. Owned by
  // the window, it goes with it; TTF_SUBCLASS lets it see the mouse over the box by itself.
  tipPortDetail = CreateWindowExW(
      0, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX, CW_USEDEFAULT,
      CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, FWindow, nullptr, Instance, nullptr);
  TTTOOLINFOW Tool = PortTool();
  Tool.lpszText = const_cast<wchar_t*>(L"");
  SendMessageW(tipPortDetail, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&Tool));
}

TTTOOLINFOW TWinVisual::PortTool() const {
  TTTOOLINFOW Tool{};
  Tool.cbSize = sizeof(Tool);
  Tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
  Tool.hwnd = FWindow;
  Tool.uId = reinterpret_cast<UINT_PTR>(cbChooseCom);
  return Tool;
}

void TWinVisual::ApplyDpi(UINT Dpi) {
  FDpi = Dpi;
  if (FFont) DeleteObject(FFont);
  if (FRezFont) DeleteObject(FRezFont);
  // The designed faces and heights. The texts are Russian: the Cyrillic variant of each face is
  // asked for by its character set (what DEFAULT_CHARSET gives on a Russian Windows; elsewhere
  // it would pick a Western bitmap face without Cyrillic letters).
  FFont = MakeFont(L"MS Sans Serif", -Scale(11), RUSSIAN_CHARSET);
  FRezFont = MakeFont(L"Segoe UI", -Scale(31), RUSSIAN_CHARSET);
  for (HWND Control :
       {butFind, butExit, GroupBox1, cbChooseCom, memInfo, memHistory, lbRez, lbPortDetail})
    SendMessageW(Control, WM_SETFONT, reinterpret_cast<WPARAM>(FFont), TRUE);
  // Item height 13 in the list of the port box.
  SendMessageW(cbChooseCom, CB_SETITEMHEIGHT, 0, Scale(13));
  if (FLogo) DeleteObject(FLogo);
  FLogo = nullptr;
  FLogoSize = 0;
  Layout();
}

void TWinVisual::Layout() {
  RECT Client;
  GetClientRect(FWindow, &Client);
  const int W = Client.right, H = Client.bottom;
  auto Place = [](HWND Control, int X, int Y, int Width, int Height) {
    SetWindowPos(Control, nullptr, X, Y, Width, Height, SWP_NOZORDER | SWP_NOACTIVATE);
  };
  // Docked in the order bottom, right, the rest: the management panel across the whole width,
  // the result panel right above it, the log in what is left.
  const int MH = Scale(ManagementHeight);
  const int MW = std::max(W, Scale(500));
  FManagementRect = {0, H - MH, MW, H};
  const int MX = 0, MY = H - MH;
  Place(butFind, MX + Scale(8), MY + Scale(26), Scale(81), Scale(25));
  // Panel1: docked right inside the one-pixel bevel.
  const int P1X = MX + MW - 1 - Scale(96);
  Place(butExit, P1X + Scale(8), MY + 1 + Scale(26), Scale(83), Scale(25));
  Place(GroupBox1, MX + Scale(100), MY + Scale(9), Scale(137), Scale(49));
  // The drop-down list's height is that of the closed box plus its opened list.
  Place(cbChooseCom, MX + Scale(100 + 16), MY + Scale(9 + 20), Scale(105), Scale(21 + 160));
  // The detail line: right of the port box's group, up to the exit button's panel.
  const int DX = MX + Scale(245);
  Place(lbPortDetail, DX, MY + Scale(12), std::max(0, P1X - Scale(8) - DX), Scale(43));

  const int RW = Scale(ResultWidth), RB = Scale(ResultBorder);
  const int RX = W - RW, RH = H - MH;
  Place(memHistory, 0, 0, std::max(0, W - RW), std::max(0, RH));
  // pnlLogo at the top of the result panel, inside its border; memInfo left, imgLogo right.
  const int LX = RX + RB, LY = RB, LW = RW - 2 * RB, LH = Scale(LogoHeight);
  Place(memInfo, LX + RB, LY + RB, Scale(InfoWidth), LH - 2 * RB);
  Place(imgLogo, LX + LW - RB - Scale(LogoWidth), LY + RB, Scale(LogoWidth), LH - 2 * RB);
  Place(lbRez, LX, LY + LH, LW, Scale(RezHeight));
  InvalidateRect(FWindow, nullptr, TRUE);
}

void TWinVisual::Show(int CmdShow) {
  ShowWindow(FWindow, CmdShow);
  UpdateWindow(FWindow);
}

bool TWinVisual::PreTranslate(MSG& Msg) {
  if (Msg.hwnd != FWindow && !IsChild(FWindow, Msg.hwnd)) return false;
  if (TranslateAcceleratorW(FWindow, FShortcuts, &Msg)) return true;
  if (!IsDialogMessageW(FWindow, &Msg)) return false;
  // Wine's navigation of a window that is no dialog takes the emphasis off every push button
  // when the focus moves, and gives it back only to the button DM_GETDEFID names: after Tab to
  // the port box no button shows it. Set again from where the focus is now.
  if (Msg.message == WM_KEYDOWN) SetDefaultButton(DefaultButton());
  return true;
}

LRESULT CALLBACK TWinVisual::WindowProc(HWND Window, UINT Msg, WPARAM WParam, LPARAM LParam) {
  if (Msg == WM_NCCREATE) {
    auto* Create = reinterpret_cast<CREATESTRUCTW*>(LParam);
    auto* Self = static_cast<TWinVisual*>(Create->lpCreateParams);
    Self->FWindow = Window;
    SetWindowLongPtrW(Window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(Self));
  }
  auto* Self = reinterpret_cast<TWinVisual*>(GetWindowLongPtrW(Window, GWLP_USERDATA));
  if (!Self) return DefWindowProcW(Window, Msg, WParam, LParam);
  // A C++ exception must never unwind through the system's code that called us.
  try {
    return Self->HandleMessage(Msg, WParam, LParam);
  } catch (...) {
    TMainLoop::Instance().HandleException(nullptr, std::current_exception());
    return 0;
  }
}

// The memos: Tab leaves them for the next control, Enter stays in them (it does not press the
// default button), as the dialog manager treats the form's memos.
LRESULT CALLBACK TWinVisual::MemoProc(HWND Window, UINT Msg, WPARAM WParam, LPARAM LParam, UINT_PTR,
                                      DWORD_PTR) {
  if (Msg == WM_GETDLGCODE) {
    LRESULT Code = DefSubclassProc(Window, Msg, WParam, LParam);
    const auto* Key = reinterpret_cast<const MSG*>(LParam);
    if (Key && Key->message == WM_KEYDOWN && Key->wParam == VK_TAB)
      Code &= ~static_cast<LRESULT>(DLGC_WANTALLKEYS | DLGC_WANTTAB);
    else if (Key && Key->message == WM_KEYDOWN && Key->wParam == VK_RETURN)
      Code |= DLGC_WANTALLKEYS;
    // Selecting the whole text on the way in would only hide the log under a highlight.
    return Code & ~static_cast<LRESULT>(DLGC_HASSETSEL);
  }
  return DefSubclassProc(Window, Msg, WParam, LParam);
}

LRESULT TWinVisual::HandleMessage(UINT Msg, WPARAM WParam, LPARAM LParam) {
  switch (Msg) {
    case WM_SIZE:
      Layout();
      return 0;
    case WM_GETMINMAXINFO: {
      auto* Info = reinterpret_cast<MINMAXINFO*>(LParam);
      Info->ptMinTrackSize = {Scale(MinWidth), Scale(MinHeight)};
      return 0;
    }
    case WM_DPICHANGED: {
      const RECT* Suggested = reinterpret_cast<const RECT*>(LParam);
      ApplyDpi(HIWORD(WParam));
      SetWindowPos(FWindow, nullptr, Suggested->left, Suggested->top,
                   Suggested->right - Suggested->left, Suggested->bottom - Suggested->top,
                   SWP_NOZORDER | SWP_NOACTIVATE);
      return 0;
    }
    case WM_PAINT:
      PaintPanels();
      return 0;
    case WM_CTLCOLORSTATIC:
      // The log reads as a memo: black on the window colour, although it is read-only (which
      // would give it the button face, as memInfo has by design).
      if (reinterpret_cast<HWND>(LParam) == memHistory) {
        const HDC Dc = reinterpret_cast<HDC>(WParam);
        SetTextColor(Dc, GetSysColor(COLOR_WINDOWTEXT));
        SetBkColor(Dc, GetSysColor(COLOR_WINDOW));
        return reinterpret_cast<LRESULT>(FWindowBrush);
      }
      break;
    case WM_DRAWITEM: {
      const auto& Item = *reinterpret_cast<const DRAWITEMSTRUCT*>(LParam);
      if (Item.hwndItem == lbRez) DrawRez(Item);
      if (Item.hwndItem == imgLogo) DrawLogo(Item);
      return TRUE;
    }
    case WM_COMMAND:
      OnCommand(LOWORD(WParam), HIWORD(WParam), reinterpret_cast<HWND>(LParam));
      return 0;
    case DM_GETDEFID:
      // The dialog navigation asks this after moving the focus and makes the button named here
      // the default one. With a fixed answer (exit), Wine takes the emphasis from "Найти"
      // reached with Tab while it has the focus, and Enter on it closes the window.
      return MAKELRESULT(GetDlgCtrlID(DefaultButton()), DC_HASDEFID);
    case WM_ACTIVATE:
      // A plain window does not keep its focused control across deactivation as a dialog does:
      // remembered here, given back when the window gets the focus again (WM_SETFOCUS).
      if (LOWORD(WParam) == WA_INACTIVE) {
        const HWND Focus = GetFocus();
        if (Focus && IsChild(FWindow, Focus)) FLastFocus = Focus;
      }
      break;
    case WM_SETFOCUS: {
      HWND Target = FLastFocus;
      if (!Target || !IsWindow(Target) || !IsWindowEnabled(Target))
        Target = GetNextDlgTabItem(FWindow, nullptr, FALSE);
      if (Target) SetFocus(Target);
      return 0;
    }
    case WM_FLUSH_LOG:
      FlushLog();
      return 0;
    case WM_DEVICECHANGE: {
      TMessage Message;
      Message.Msg = Msg;
      Message.WParam = WParam;
      Message.LParam = LParam;
      Guarded([&] { FForm->HandleDeviceChange(Message); });
      // Neither the default handling nor a result of its own.
      return 0;
    }
    case WM_COPYDATA: {
      const auto* Data = reinterpret_cast<const COPYDATASTRUCT*>(LParam);
      if (!FTestControl || Data->dwData != TestCopyData) break;
      return TestCommand(
          std::wstring(static_cast<const wchar_t*>(Data->lpData), Data->cbData / sizeof(wchar_t)));
    }
    case WM_TEST_FAIL:
      if (!FTestControl) break;
      Guarded([] { throw Exception("Injected failure in a handler (test switch)"); });
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      break;
  }
  return DefWindowProcW(FWindow, Msg, WParam, LParam);
}

void TWinVisual::OnCommand(int Id, int Code, HWND Control) {
  switch (Id) {
    case ID_actFind:
      if (Code == BN_CLICKED || !Control) Guarded([this] { FForm->ExecuteFind(); });
      if (Code == BN_SETFOCUS) SetDefaultButton(butFind);
      break;
    case ID_actFileExit:
      // The standard exit action: ends the application.
      if (Code == BN_CLICKED || !Control) DestroyWindow(FWindow);
      if (Code == BN_SETFOCUS) SetDefaultButton(butExit);
      break;
    case ID_cbChooseCom:
      if (Code == CBN_SELCHANGE)
        FForm->cbChooseComChange(static_cast<int>(SendMessageW(cbChooseCom, CB_GETCURSEL, 0, 0)));
      if (Code == CBN_SETFOCUS) SetDefaultButton(butExit);
      break;
    case ID_memHistory:
    case ID_memInfo:
      if (Code == EN_SETFOCUS) SetDefaultButton(butExit);
      break;
    case ID_N1:
      if (Code == 1) OpenFileMenu();  // from the accelerator
      break;
    case ID_actParallel:
    case ID_actProbeNew: {
      const TVisualOption Option = Id == ID_actParallel ? voParallel : voProbeNew;
      Guarded([&] { FForm->SetOption(Option, !FForm->Option(Option)); });
      break;
    }
    default:
      break;
  }
}

// A focused push button is the one Enter presses; elsewhere the default button (exit) is. The
// dialog manager moves this emphasis in dialogs; a plain window does it itself, after every key
// the navigation handled, so a button already right is not redrawn.
void TWinVisual::SetDefaultButton(HWND Button) {
  for (HWND Push : {butFind, butExit}) {
    const bool IsDefault = (GetWindowLongW(Push, GWL_STYLE) & BS_TYPEMASK) == BS_DEFPUSHBUTTON;
    if (IsDefault != (Push == Button))
      SendMessageW(Push, BM_SETSTYLE, Push == Button ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON, TRUE);
  }
}

HWND TWinVisual::DefaultButton() const {
  return GetFocus() == butFind && IsWindowEnabled(butFind) ? butFind : butExit;
}

// F2 opens "Файл" below its title, as its access key would.
void TWinVisual::OpenFileMenu() {
  RECT Title;
  if (!GetMenuItemRect(FWindow, MainMenu, 0, &Title)) return;
  HiliteMenuItem(FWindow, MainMenu, 0, MF_BYPOSITION | MF_HILITE);
  TrackPopupMenuEx(N1, TPM_LEFTALIGN | TPM_TOPALIGN | TPM_LEFTBUTTON, Title.left, Title.bottom,
                   FWindow, nullptr);
  HiliteMenuItem(FWindow, MainMenu, 0, MF_BYPOSITION | MF_UNHILITE);
}

void TWinVisual::PaintPanels() {
  PAINTSTRUCT Paint;
  const HDC Dc = BeginPaint(FWindow, &Paint);
  // pnlManagement's lowered outer bevel.
  RECT Bevel = FManagementRect;
  DrawEdge(Dc, &Bevel, BDR_SUNKENOUTER, BF_RECT);
  EndPaint(FWindow, &Paint);
}

void TWinVisual::DrawRez(const DRAWITEMSTRUCT& Item) {
  const HDC Dc = Item.hDC;
  RECT R = Item.rcItem;
  FillRect(Dc, &R, GetSysColorBrush(COLOR_BTNFACE));
  const HGDIOBJ Old = SelectObject(Dc, FRezFont);
  SetBkMode(Dc, TRANSPARENT);
  SetTextColor(Dc, RGB(0, 0, 0));  // clBlack
  // Centred both ways with word wrap: measure the wrapped text, then place it in the middle.
  const UINT Format = DT_CENTER | DT_WORDBREAK | DT_NOPREFIX;
  RECT Measured = R;
  DrawTextW(Dc, FRezText.c_str(), static_cast<int>(FRezText.size()), &Measured,
            Format | DT_CALCRECT);
  const int TextHeight = static_cast<int>(Measured.bottom - Measured.top);
  RECT Out = R;
  Out.top = R.top + std::max(0, static_cast<int>(R.bottom - R.top - TextHeight) / 2);
  DrawTextW(Dc, FRezText.c_str(), static_cast<int>(FRezText.size()), &Out, Format);
  SelectObject(Dc, Old);
}

void TWinVisual::DrawLogo(const DRAWITEMSTRUCT& Item) {
  const HDC Dc = Item.hDC;
  const RECT R = Item.rcItem;
  FillRect(Dc, &R, GetSysColorBrush(COLOR_BTNFACE));
  // Centred and scaled proportionally; scaled once per size, not at every paint.
  const int Size = std::min(R.right - R.left, R.bottom - R.top);
  if (Size <= 0) return;
  if (!FLogo || FLogoSize != Size) {
    if (FLogo) DeleteObject(FLogo);
    FLogo = ScaledBitmap(FLogoPicture, Size);
    FLogoSize = Size;
  }
  if (!FLogo) return;
  const HDC Memory = CreateCompatibleDC(Dc);
  const HGDIOBJ Old = SelectObject(Memory, FLogo);
  BLENDFUNCTION Blend{AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
  GdiAlphaBlend(Dc, R.left + (R.right - R.left - Size) / 2, R.top + (R.bottom - R.top - Size) / 2,
                Size, Size, Memory, 0, 0, Size, Size, Blend);
  SelectObject(Memory, Old);
  DeleteDC(Memory);
}

void TWinVisual::ShowComboItems(const std::vector<std::string>& Items, int Index) {
  SendMessageW(cbChooseCom, CB_RESETCONTENT, 0, 0);
  for (const std::string& Name : Items)
    SendMessageW(cbChooseCom, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Wide(Name).c_str()));
  SendMessageW(cbChooseCom, CB_SETCURSEL, static_cast<WPARAM>(Index), 0);
}

void TWinVisual::ShowComboIndex(int Index) {
  SendMessageW(cbChooseCom, CB_SETCURSEL, static_cast<WPARAM>(Index), 0);
}

// New lines are inserted at the end, where the caret is, without the history being handed over
// again. An edit control's insertion costs time in proportion to the text it already holds (it
// walks its lines), so the lines of one handler are collected and inserted at once, after it.
void TWinVisual::AppendLogLine(const std::string& Line) {
  FPendingLog += L"\n" + EditText(Line);
  if (!FLogFlushPosted) FLogFlushPosted = PostMessageW(FWindow, WM_FLUSH_LOG, 0, 0) != 0;
}

void TWinVisual::FlushLog() {
  FLogFlushPosted = false;
  if (FPendingLog.empty()) return;
  std::wstring Text;
  Text.reserve(FPendingLog.size() * 2);
  for (wchar_t C : FPendingLog) {
    if (C == L'\n') Text += L'\r';
    Text += C;
  }
  FPendingLog.clear();
  const int Length = GetWindowTextLengthW(memHistory);
  // The collected text starts with the line break in front of its first line.
  const wchar_t* Start = Length > 0 ? Text.c_str() : Text.c_str() + 2;
  SendMessageW(memHistory, EM_SETSEL, Length, Length);
  SendMessageW(memHistory, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(Start));
  // The caret at the end keeps the newest line in view.
  SendMessageW(memHistory, EM_SCROLLCARET, 0, 0);
}

void TWinVisual::ShowLog(const std::vector<std::string>& Lines) {
  FPendingLog.clear();
  std::wstring Text;
  for (size_t I = 0; I < Lines.size(); ++I) {
    if (I) Text += L"\r\n";
    Text += EditText(Lines[I]);
  }
  SetWindowTextW(memHistory, Text.c_str());
  const int Length = GetWindowTextLengthW(memHistory);
  SendMessageW(memHistory, EM_SETSEL, Length, Length);
  SendMessageW(memHistory, EM_SCROLLCARET, 0, 0);
}

void TWinVisual::ShowRezCaption(const std::string& Text) {
  FRezText = Wide(Text);
  // The control keeps the text too, for accessibility tools; it draws through DrawRez.
  SetWindowTextW(lbRez, FRezText.c_str());
  InvalidateRect(lbRez, nullptr, TRUE);
}

void TWinVisual::ShowEnabled(TVisualControl Control, bool Enabled) {
  const HWND Window = Control == vcFind ? butFind : cbChooseCom;
  if (!Enabled) MoveFocusFrom(Window);
  EnableWindow(Window, Enabled);
  // The action greys out everything that triggers it: the button and the menu item.
  if (Control == vcFind)
    EnableMenuItem(N1, ID_actFind, MF_BYCOMMAND | (Enabled ? MF_ENABLED : MF_GRAYED));
}

// Disabling the control that has the focus takes the focus away and gives it to no window: the
// keys then reach the active window as WM_SYSKEYDOWN, which the dialog navigation ignores, and
// Tab and Enter do nothing until a click. So the focus moves on first, to the next tab stop, as
// a dialog's WM_NEXTDLGCTL would move it (a plain window has no dialog procedure to ask).
void TWinVisual::MoveFocusFrom(HWND Control) {
  const HWND Focus = GetFocus();
  if (!Focus || (Focus != Control && !IsChild(Control, Focus))) return;
  const HWND Next = GetNextDlgTabItem(FWindow, Control, FALSE);
  if (Next && Next != Control) {
    SetFocus(Next);
    return;
  }
  // No other tab stop: the window itself keeps the keys (Enter still reaches the default
  // button). Disabled first, so that WM_SETFOCUS does not hand the focus straight back.
  EnableWindow(Control, FALSE);
  SetFocus(FWindow);
}

void TWinVisual::ShowComboDetail(const std::string& Text) {
  std::wstring W = Wide(Text);
  SetWindowTextW(lbPortDetail, W.c_str());
  // An empty text keeps the tooltip from showing at all.
  TTTOOLINFOW Tool = PortTool();
  Tool.lpszText = W.data();
  SendMessageW(tipPortDetail, TTM_UPDATETIPTEXTW, 0, reinterpret_cast<LPARAM>(&Tool));
}

void TWinVisual::ShowChecked(TVisualOption Option, bool Checked) {
  CheckMenuItem(mnuOptions, Option == voParallel ? ID_actParallel : ID_actProbeNew,
                MF_BYCOMMAND | (Checked ? MF_CHECKED : MF_UNCHECKED));
}

void TWinVisual::ShowMessage(const std::string& Text) {
  MessageBoxW(FWindow, Wide(Text).c_str(), L"comfind", MB_OK | MB_ICONERROR);
}

}  // namespace comfind
