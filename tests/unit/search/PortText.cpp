// The port table of comfind-cli --list --long: columns lined up whatever the widths, a dash for
// what the system does not say, the console marked.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "search/PortText.h"

namespace comfind {

TEST(PortTable, ColumnsLineUpAndEmptyCellsShowADash) {
  std::vector<TComPortDetails> Ports(3);
  Ports[0].Name = "ttyS0";
  Ports[0].Description = "16550A UART";
  Ports[0].Driver = "serial";
  Ports[0].Console = true;
  Ports[1].Name = "ttyUSB10";
  Ports[1].VendorId = 0x0403;
  Ports[1].ProductId = 0x6001;
  Ports[1].SerialNumber = "A50285BI";
  Ports[1].Driver = "ftdi_sio";
  Ports[1].Description = "FT232R USB UART";
  Ports[1].Manufacturer = "FTDI";
  Ports[1].ByIdPath = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";
  Ports[2].Name = "COM8";
  Ports[2].Description = "\xCF\xEE\xF0\xF2 USB";  // "Порт USB": one byte, one character
  Ports[2].VendorId = 0x067B;
  Ports[2].ProductId = 0x2303;
  const std::vector<std::string> Lines = PortTable(Ports);
  ASSERT_EQ(Lines.size(), 4u);
  EXPECT_EQ(Lines[0],
            "PORT      VID:PID    SERIAL    DRIVER    DESCRIPTION      MANUFACTURER  BY-ID");
  EXPECT_EQ(Lines[1],
            "ttyS0     -          -         serial    16550A UART      -             -  "
            "(system console)");
  EXPECT_EQ(Lines[2],
            "ttyUSB10  0403:6001  A50285BI  ftdi_sio  FT232R USB UART  FTDI          "
            "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");
  EXPECT_EQ(
      Lines[3],
      "COM8      067b:2303  -         -         \xCF\xEE\xF0\xF2 USB         -             -");
  // No port: the header alone, as narrow as its own words.
  EXPECT_EQ(PortTable({}), std::vector<std::string>{
                               "PORT  VID:PID  SERIAL  DRIVER  DESCRIPTION  MANUFACTURER  BY-ID"});
}

}  // namespace comfind
