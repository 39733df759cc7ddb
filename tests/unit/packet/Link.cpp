// The assembler on a real port object: the link follows ComPort, a destroyed port unlinks the
// assembler, and bytes from the simulated device arrive as packets on the main thread.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include "framework/MainLoop.h"
#include "port/CPort.h"
#include "port/os/SimComOS.h"
#include "port/packet/ComDataPacket.h"
#include "tests/support/PortAccess.h"

namespace comfind {

using namespace std::chrono_literals;

namespace {

class PacketLink : public ::testing::Test {
 protected:
  void SetUp() override {
    TMainLoop::Instance().AttachMainThread();
    Sim.AddDevice("COM7");
  }
  void TearDown() override { EXPECT_EQ(Sim.OpenHandles(), 0u); }

  std::unique_ptr<TComPort> NewPort() {
    auto port = std::make_unique<TComPort>(nullptr);
    port->SetOS(&Sim);
    port->SetPort_("COM7");
    return port;
  }

  TSimComOS Sim;
};

}  // namespace

TEST_F(PacketLink, LinkFollowsComPort) {
  auto a = NewPort();
  auto b = NewPort();
  auto packet = std::make_unique<TComDataPacket>(nullptr);
  EXPECT_EQ(packet->ComPort(), nullptr);

  packet->SetComPort(a.get());
  EXPECT_EQ(TComPortTestAccess::LinkCount(*a), 1);
  EXPECT_TRUE(TComPortTestAccess::HasRxBufLink(*a));
  EXPECT_FALSE(a->TriggersOnRxChar());
  packet->SetComPort(a.get());  // unchanged: no second registration (which would raise)
  EXPECT_EQ(TComPortTestAccess::LinkCount(*a), 1);

  packet->SetComPort(b.get());
  EXPECT_EQ(TComPortTestAccess::LinkCount(*a), 0);
  EXPECT_FALSE(TComPortTestAccess::HasRxBufLink(*a));
  EXPECT_EQ(TComPortTestAccess::LinkCount(*b), 1);

  packet->SetComPort(nullptr);
  EXPECT_EQ(TComPortTestAccess::LinkCount(*b), 0);

  packet->SetComPort(a.get());
  packet.reset();
  EXPECT_EQ(TComPortTestAccess::LinkCount(*a), 0);
  // The first port outlives the assembler that once asked it for a free notification.
  a.reset();
}

TEST_F(PacketLink, DestroyedPortUnlinksAndTheBufferStays) {
  // Both orders of destruction through a common owner, as on a data module.
  for (bool portFirst : {true, false}) {
    SCOPED_TRACE(portFirst ? "port created first" : "assembler created first");
    auto owner = std::make_unique<TDataModule>(nullptr);
    TComPort* port = nullptr;
    TComDataPacket* packet = nullptr;
    if (portFirst) port = new TComPort(owner.get());
    packet = new TComDataPacket(owner.get());
    if (!portFirst) port = new TComPort(owner.get());
    port->SetOS(&Sim);
    port->SetPort_("COM7");
    packet->SetStopString("\r\n");
    packet->SetComPort(port);
    ASSERT_EQ(TComPortTestAccess::LinkCount(*port), 1);
    owner.reset();  // children go last-created first; either way nothing dangles
  }

  auto port = NewPort();
  TComDataPacket packet(nullptr);
  packet.SetStopString("\r\n");
  packet.SetComPort(port.get());
  std::vector<std::string> got;
  packet.OnPacket = [&](TObject*, const std::string& S) { got.push_back(S); };
  port->SetEvents(TComEvents{evRxChar});
  port->SetSyncMethod(smWindowSync);
  port->Open();
  Sim.Feed("COM7", "OK\r\npart");
  ASSERT_TRUE(TMainLoop::Instance().ProcessUntil([&] { return packet.Buffer() == "part"; }, 10s));
  EXPECT_EQ(got, std::vector<std::string>{"OK"});
  port.reset();
  EXPECT_EQ(packet.ComPort(), nullptr);
  EXPECT_EQ(packet.Buffer(), "part");
}

// The application's set-up: CR LF lines read by window synchronisation; the buffer and the
// packet state survive a close and a reopen until the search resets them.
TEST_F(PacketLink, DeviceBytesArriveAsLines) {
  auto port = NewPort();
  port->SetEvents(TComEvents{evRxChar});
  port->SetSyncMethod(smWindowSync);
  TComDataPacket packet(nullptr);
  packet.SetStopString("\r\n");
  packet.SetComPort(port.get());
  std::vector<std::string> events;
  packet.OnPacket = [&](TObject* Sender, const std::string& S) {
    EXPECT_EQ(Sender, &packet);
    EXPECT_TRUE(TMainLoop::Instance().IsMainThread());
    events.push_back("P:" + S);
  };
  packet.OnDiscard = [&](TObject*, const std::string& S) { events.push_back("D:" + S); };

  port->Open();
  Sim.Feed("COM7", "OK\r");
  ASSERT_TRUE(TMainLoop::Instance().ProcessUntil([&] { return packet.Buffer() == "OK\r"; }, 10s));
  Sim.Feed("COM7", std::string("\nA\0\xFF\r\nB", 7));
  ASSERT_TRUE(TMainLoop::Instance().ProcessUntil([&] { return events.size() == 2; }, 10s));
  EXPECT_EQ(events, (std::vector<std::string>{"P:OK", "P:" + std::string("A\0\xFF", 3)}));

  port->Close();
  port->Open();
  EXPECT_EQ(packet.Buffer(), "B");
  packet.ResetBuffer();
  Sim.Feed("COM7", "C\r\n");
  ASSERT_TRUE(TMainLoop::Instance().ProcessUntil([&] { return events.size() == 4; }, 10s));
  EXPECT_EQ(events[2], "D:B");
  EXPECT_EQ(events[3], "P:C");
  port->Close();
}

// A link that unregisters while a block is being handed round (the first assembler leaves the
// port from its packet handler) does not take the block from the links after it; links
// leaving in both orders, and one leaving another.
TEST_F(PacketLink, ALinkLeavingDuringTheDeliveryDoesNotTakeTheBlockFromTheOthers) {
  struct TCase {
    const char* Name;
    int Leaving;  // which assembler's handler unregisters
    int Left;     // which assembler it unregisters
  };
  for (const TCase& C : {TCase{"first leaves", 0, 0}, TCase{"second leaves", 1, 1},
                         TCase{"first removes the second", 0, 1}}) {
    SCOPED_TRACE(C.Name);
    auto port = NewPort();
    port->SetEvents(TComEvents{evRxChar});
    port->SetSyncMethod(smWindowSync);
    std::unique_ptr<TComDataPacket> packets[3];
    std::vector<std::string> got[3];
    for (int I = 0; I < 3; ++I) {
      packets[I] = std::make_unique<TComDataPacket>(nullptr);
      packets[I]->SetStopString("\r\n");
      packets[I]->SetComPort(port.get());
      packets[I]->OnPacket = [&, I](TObject*, const std::string& S) {
        got[I].push_back(S);
        if (I == C.Leaving) packets[C.Left]->SetComPort(nullptr);
      };
    }
    port->Open();
    Sim.Feed("COM7", "OK\r\n");
    ASSERT_TRUE(TMainLoop::Instance().ProcessUntil([&] { return got[2].size() == 1; }, 10s));
    for (int I = 0; I < 3; ++I) {
      // A link removed before its turn no longer hears the port; every other one hears it.
      const bool RemovedBeforeItsTurn = I == C.Left && C.Left > C.Leaving;
      EXPECT_EQ(got[I].size(), RemovedBeforeItsTurn ? 0u : 1u) << "assembler " << I;
    }
    port->Close();
    for (auto& P : packets)
      P->SetComPort(nullptr);
  }
}

}  // namespace comfind
