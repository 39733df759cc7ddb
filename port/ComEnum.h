// The machine's serial ports.
#pragma once

#include <string>

#include "framework/Classes.h"

// Fills List with the names of the serial ports the operating system lists now ("COM7",
// "ttyUSB0"), sorted textually ignoring case, duplicates kept. When the system's list cannot
// be read, List is left exactly as it was. On Linux the active system consoles are left out
// (a search must not write into them); they can still be opened by name.

namespace comfind {

void ListComPorts(TStrings& List);

// ListComPorts with the places it reads from handed in, so that a fabricated tree can stand in
// for the machine's. On Linux SysfsRoot replaces "/sys" and DevRoot replaces "/dev"; on Windows
// SysfsRoot names the key under the local-machine root that replaces
// "HARDWARE\DEVICEMAP\SERIALCOMM" and DevRoot is not used. Same promises as ListComPorts.
void ListComPortsFrom(TStrings& List, const std::string& SysfsRoot, const std::string& DevRoot);

}  // namespace comfind
