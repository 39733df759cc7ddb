// The machine's serial ports: their names, and what the system says about each.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "framework/Classes.h"

// Fills List with the names of the serial ports the operating system lists now ("COM7",
// "ttyUSB0"), duplicates kept. Windows sorts them textually ignoring case (COM10 before COM2);
// Linux in natural order ignoring case (ttyUSB2 before ttyUSB10). When the system's list cannot
// be read, List is left exactly as it was. On Linux the active system consoles are left out (a
// search must not write into them); they can still be opened by name.

namespace comfind {

void ListComPorts(TStrings& List);

// ListComPorts with the places it reads from handed in, so that a fabricated tree can stand in
// for the machine's. On Linux SysfsRoot replaces "/sys" and DevRoot replaces "/dev"; on Windows
// SysfsRoot names the key under the local-machine root that replaces
// "HARDWARE\DEVICEMAP\SERIALCOMM" and DevRoot is not used. Same promises as ListComPorts.
void ListComPortsFrom(TStrings& List, const std::string& SysfsRoot, const std::string& DevRoot);

// What the system says about one serial port, so that a person can tell identical adapters
// apart. Texts are code page 1251, as every text of the system; one the system does not give
// is empty.
struct TComPortDetails {
  std::string Name;          // the name ListComPorts gives, which the port object opens
  std::string Path;          // the device behind the name (/dev/ttyUSB0, \\.\COM7)
  std::string Description;   // the USB product, the device's friendly name, or the UART type
  std::string Manufacturer;  // as the device or its driver names it
  std::string SerialNumber;  // the USB serial number
  uint16_t VendorId = 0;     // USB vendor and product id; both 0 for a port that is not USB
  uint16_t ProductId = 0;
  std::string ByIdPath;  // the stable path that survives re-plugging (/dev/serial/by-id/...)
  std::string Driver;    // the kernel driver or Windows service behind the port
  bool Console = false;  // an active system console (not searched when every port is)
};

// The machine's serial ports with their details, in the order ListComPorts gives. The active
// consoles are listed too, marked, in their place. Returns false, List untouched, when the
// system's list cannot be read.
bool ListComPortDetails(std::vector<TComPortDetails>& List);
// The same from a fabricated tree, with the roots of ListComPortsFrom.
bool ListComPortDetailsFrom(std::vector<TComPortDetails>& List, const std::string& SysfsRoot,
                            const std::string& DevRoot);

// The entry of List that Port names: its name, or a path to its device (a by-id link, an
// absolute path, "\\.\COM7"). A record holding only Port as its name when none does.
TComPortDetails FindComPortDetails(const std::vector<TComPortDetails>& List,
                                   const std::string& Port);

}  // namespace comfind
