// Port details as a person reads them: the aligned table of comfind-cli --list --long. Texts
// are code page 1251, as every text of the system.
#pragma once

#include <string>
#include <vector>

#include "port/ComEnum.h"

namespace comfind {

// A header and one line per port: name, USB ids, serial number, driver, description,
// manufacturer and by-id path, each column as wide as its widest cell, "-" for what the system
// does not say; a console's line ends with a note.
std::vector<std::string> PortTable(const std::vector<TComPortDetails>& Ports);

// "0403:6001", or empty for a port that is not USB.
std::string UsbIdText(const TComPortDetails& D);

}  // namespace comfind
