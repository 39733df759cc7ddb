// The main window's command and control identifiers, shared by the window and its test switch.
#pragma once

namespace comfind {

// Command and control identifiers. The button and the menu item of an action share its command.
enum : int {
  ID_actFind = 101,
  ID_actFileExit = 102,
  ID_cbChooseCom = 103,
  ID_memHistory = 104,
  ID_memInfo = 105,
  ID_lbRez = 106,
  ID_imgLogo = 107,
  ID_GroupBox1 = 108,
  ID_N1 = 109,  // F2: opens the menu "Файл"
  ID_actParallel = 110,
  ID_actProbeNew = 111,
  ID_lbPortDetail = 112,
};

}  // namespace comfind
