// The machine's serial ports.
#pragma once

#include "framework/Classes.h"

// Fills List with the names of the serial ports the operating system lists now ("COM7",
// "ttyUSB0"), sorted textually ignoring case, duplicates kept. When the system's list cannot
// be read, List is left exactly as it was.
void ListComPorts(TStrings& List);
