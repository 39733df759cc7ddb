// The Windows port details from what SetupAPI says of the devices of the ports class, kept
// apart from the calls that ask it, so that recorded answers can be read on any platform.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "port/ComEnum.h"

namespace comfind {

// One device of the ports class as SetupAPI describes it. Texts it does not give are empty.
struct TSetupApiPort {
  std::string PortName;                  // the "PortName" value of the device's key ("COM7")
  std::string FriendlyName;              // SPDRP_FRIENDLYNAME ("USB Serial Port (COM7)")
  std::string DeviceDesc;                // SPDRP_DEVICEDESC ("USB Serial Port")
  std::string Manufacturer;              // SPDRP_MFG ("FTDI")
  std::vector<std::string> HardwareIds;  // SPDRP_HARDWAREID, most specific first
  std::string Service;                   // SPDRP_SERVICE ("FTDIBUS", "usbser", "Serial")
  std::string InstanceId;                // the device instance id ("USB\VID_2341&PID_0043\7573")
  std::string ParentInstanceId;          // its parent's (the USB device of an interface)
};

// The details of every serial port: the names of the registry's list (RegistryNames) and the
// serial ports among Devices (a port name, not a printer port), each name once, ordered by
// Compare (stable). A name SetupAPI does not know keeps only its name.
std::vector<TComPortDetails> MergePortDetails(
    const std::vector<TSetupApiPort>& Devices, const std::vector<std::string>& RegistryNames,
    const std::function<int(const std::string&, const std::string&)>& Compare);

}  // namespace comfind
