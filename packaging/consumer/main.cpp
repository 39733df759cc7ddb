// Talks to a simulated device through the installed library: opens a port, writes a probe,
// receives a reply through the event thread and the packet assembler, and closes the port.
// Exit status 0 when the whole round trip worked; a line on stderr says what failed otherwise.
//
// On Windows it includes <windows.h> before the library's headers, as Windows programs do:
// the library's names live in namespace comfind and none of them is one of the platform's
// macros, so both can be used side by side.
#ifdef _WIN32
#include <windows.h>
#endif

#include <chrono>
#include <cstdio>
#include <exception>
#include <string>

#include "framework/MainLoop.h"
#include "port/CPort.h"
#include "port/os/SimComOS.h"
#include "port/packet/ComDataPacket.h"

#ifdef _WIN32
// The library's message numbers are the platform's own.
static_assert(comfind::WM_USER_ == WM_USER);
#endif

int main() {
  using namespace comfind;
  try {
    TMainLoop::Instance().AttachMainThread();
    TSimComOS Device;
    Device.AddDevice("COM1");

    TComPort Port(nullptr);
    Port.SetOS(&Device);
    Port.SetPort_("COM1");
    Port.SetBaudRate(br19200);
    Port.SetEvents(TComEvents{evRxChar});

    TComDataPacket Packet(nullptr);
    Packet.SetStopString("\r\n");
    Packet.SetComPort(&Port);
    std::string Reply;
    Packet.OnPacket = [&Reply](TObject*, const std::string& Text) { Reply = Text; };

    Port.Open();
    Port.WriteText("PING\r\n");
    if (Device.Written("COM1") != "PING\r\n") {
      std::fprintf(stderr, "comfind_consumer: the device did not receive the probe\n");
      return 1;
    }
    Device.Feed("COM1", "PONG\r\n");
    const bool Received = TMainLoop::Instance().ProcessUntil([&Reply] { return !Reply.empty(); },
                                                             std::chrono::seconds(10));
    Port.Close();
    Packet.SetComPort(nullptr);
    if (!Received || Reply != "PONG") {
      std::fprintf(stderr, "comfind_consumer: no reply packet (got \"%s\")\n", Reply.c_str());
      return 1;
    }
#ifdef _WIN32
    // The platform's own calls stay usable beside the library's.
    std::printf("comfind_consumer: %s (Windows %lu)\n", Reply.c_str(),
                static_cast<unsigned long>(GetVersion() & 0xFF));
#else
    std::printf("comfind_consumer: %s\n", Reply.c_str());
#endif
    return 0;
  } catch (const std::exception& E) {
    std::fprintf(stderr, "comfind_consumer: %s\n", E.what());
    return 1;
  }
}
