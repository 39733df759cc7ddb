#include "testkit/LineSettings.h"

namespace comfind {

TDCB ApplicationDCB() {
  TDCB D;
  D.BaudRate = 19200;
  D.Flags = DCB_BINARY_ | DCB_DTR_CONTROL_ENABLE_;
  D.XonLim = 256;
  D.XoffLim = 256;
  D.ByteSize = 8;
  D.XonChar = 0x11;
  D.XoffChar = 0x13;
  return D;
}

}  // namespace comfind
