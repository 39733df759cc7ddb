// The main window on plain Win32 (user32, gdi32, comctl32): the controls of the form laid out as
// designed and scaled to the monitor's DPI, showing the state of the form's logic (TfmVisual)
// and handing it the user's actions and WM_DEVICECHANGE.
//
// Everything here runs on the main thread. No exception leaves the window procedure: what
// escapes a handler goes to the main loop's default exception report, a message box.
#pragma once

#include <windows.h>
// commctrl.h needs windows.h before it.
#include <commctrl.h>

#include <memory>
#include <string>

#include "ui/Visual.h"
#include "ui/win32/Picture.h"

namespace comfind {

class TWinVisual : public TVisualView {
 public:
  // Creates the window (hidden) and its controls, then runs the form's FormCreate. Dm must
  // outlive the window.
  TWinVisual(TdmCom& Dm, TPortListSource ListPorts);
  ~TWinVisual() override;
  TWinVisual(const TWinVisual&) = delete;
  TWinVisual& operator=(const TWinVisual&) = delete;

  TfmVisual& Form() { return *FForm; }
  HWND Handle() const { return FWindow; }
  void Show(int CmdShow);
  // For the message loop, before TranslateMessage: the F2 shortcut and the keyboard navigation
  // of the controls (Tab, the default button, access keys). True when the message was handled.
  bool PreTranslate(MSG& Msg);

  // The switch for the checks under Wine: the window then answers WM_COPYDATA commands ("state
  // FILE", "screenshot FILE", "fill-log N") and the message that raises an exception in a
  // handler. Off by default: nothing outside can make the window do these.
  void EnableTestControl() { FTestControl = true; }
  // Posted to the window (with test control on): a handler raises an exception.
  static constexpr UINT WM_TEST_FAIL = WM_APP + 0x21;
  // The identifier of the test switch's WM_COPYDATA commands.
  static constexpr ULONG_PTR TestCopyData = 0x434F4D46;
  // The controls' state as the test switch writes it: UTF-8, one "key=value" a line.
  std::string StateText();

  // TVisualView
  void ShowComboItems(const std::vector<std::string>& Items, int Index) override;
  void ShowComboIndex(int Index) override;
  void AppendLogLine(const std::string& Line) override;
  void ShowLog(const std::vector<std::string>& Lines) override;
  void ShowRezCaption(const std::string& Text) override;
  void ShowEnabled(TVisualControl Control, bool Enabled) override;
  void ShowMessage(const std::string& Text) override;
  void ShowComboDetail(const std::string& Text) override;
  void ShowChecked(TVisualOption Option, bool Checked) override;

 private:
  static LRESULT CALLBACK WindowProc(HWND Window, UINT Msg, WPARAM WParam, LPARAM LParam);
  static LRESULT CALLBACK MemoProc(HWND Window, UINT Msg, WPARAM WParam, LPARAM LParam, UINT_PTR Id,
                                   DWORD_PTR Data);
  LRESULT HandleMessage(UINT Msg, WPARAM WParam, LPARAM LParam);
  void CreateControls();
  void ApplyDpi(UINT Dpi);
  void Layout();
  int Scale(int Pixels) const { return MulDiv(Pixels, static_cast<int>(FDpi), 96); }
  void OnCommand(int Id, int Code, HWND Control);
  void OpenFileMenu();
  void SetDefaultButton(HWND Button);
  // The button Enter presses: a focused "Найти", otherwise exit.
  HWND DefaultButton() const;
  void MoveFocusFrom(HWND Control);
  void DrawRez(const DRAWITEMSTRUCT& Item);
  void DrawLogo(const DRAWITEMSTRUCT& Item);
  void PaintPanels();
  LRESULT TestCommand(const std::wstring& Command);
  void FlushLog();
  std::wstring ControlName(HWND Control) const;

  HWND FWindow = nullptr;
  // Controls, named as designed. The panels are no windows of their own: their children sit
  // on the main window at the panels' places, and the lowered bevel is painted.
  HWND memHistory = nullptr;
  HWND butFind = nullptr;
  HWND butExit = nullptr;
  HWND GroupBox1 = nullptr;
  HWND cbChooseCom = nullptr;
  HWND memInfo = nullptr;
  HWND imgLogo = nullptr;
  HWND lbRez = nullptr;
  // The port box's detail line, right of the port box.
  HWND lbPortDetail = nullptr;
  // Its tooltip over the port box, and the one tool it holds.
  HWND tipPortDetail = nullptr;
  TTTOOLINFOW PortTool() const;
  HMENU MainMenu = nullptr;
  HMENU N1 = nullptr;
  // The menu "Параметры": the options' checkable items.
  HMENU mnuOptions = nullptr;
  HACCEL FShortcuts = nullptr;
  RECT FManagementRect{};
  UINT FDpi = 96;
  HFONT FFont = nullptr;
  HFONT FRezFont = nullptr;
  HBRUSH FWindowBrush = nullptr;
  TPicture FLogoPicture;
  HBITMAP FLogo = nullptr;
  int FLogoSize = 0;
  std::wstring FRezText;
  // Log lines not yet in memHistory; they go in together once the handler that added them has
  // returned.
  std::wstring FPendingLog;
  bool FLogFlushPosted = false;
  HWND FLastFocus = nullptr;
  bool FTestControl = false;
  std::unique_ptr<TfmVisual> FForm;
};

}  // namespace comfind
