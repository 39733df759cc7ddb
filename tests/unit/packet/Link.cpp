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
    auto Port = std::make_unique<TComPort>(nullptr);
    Port->SetOS(&Sim);
    Port->SetPort_("COM7");
    return Port;
  }

  TSimComOS Sim;
};

}  // namespace

TEST_F(PacketLink, LinkFollowsComPort) {
  auto A = NewPort();
  auto B = NewPort();
  auto Packet = std::make_unique<TComDataPacket>(nullptr);
  EXPECT_EQ(Packet->ComPort(), nullptr);

  Packet->SetComPort(A.get());
  EXPECT_EQ(TComPortTestAccess::LinkCount(*A), 1);
  EXPECT_TRUE(TComPortTestAccess::HasRxBufLink(*A));
  EXPECT_FALSE(A->TriggersOnRxChar());
  Packet->SetComPort(A.get());  // unchanged: no second registration (which would raise)
  EXPECT_EQ(TComPortTestAccess::LinkCount(*A), 1);

  Packet->SetComPort(B.get());
  EXPECT_EQ(TComPortTestAccess::LinkCount(*A), 0);
  EXPECT_FALSE(TComPortTestAccess::HasRxBufLink(*A));
  EXPECT_EQ(TComPortTestAccess::LinkCount(*B), 1);

  Packet->SetComPort(nullptr);
  EXPECT_EQ(TComPortTestAccess::LinkCount(*B), 0);

  Packet->SetComPort(A.get());
  Packet.reset();
  EXPECT_EQ(TComPortTestAccess::LinkCount(*A), 0);
  // The first port outlives the assembler that once asked it for a free notification.
  A.reset();
}

TEST_F(PacketLink, DestroyedPortUnlinksAndTheBufferStays) {
  // Both orders of destruction through a common owner, as on a data module.
  for (bool PortFirst : {true, false}) {
    SCOPED_TRACE(PortFirst ? "port created first" : "assembler created first");
    auto Owner = std::make_unique<TDataModule>(nullptr);
    TComPort* Port = nullptr;
    TComDataPacket* Packet = nullptr;
    if (PortFirst) Port = new TComPort(Owner.get());
    Packet = new TComDataPacket(Owner.get());
    if (!PortFirst) Port = new TComPort(Owner.get());
    Port->SetOS(&Sim);
    Port->SetPort_("COM7");
    Packet->SetStopString("\r\n");
    Packet->SetComPort(Port);
    ASSERT_EQ(TComPortTestAccess::LinkCount(*Port), 1);
    Owner.reset();  // children go last-created first; either way nothing dangles
  }

  auto Port = NewPort();
  TComDataPacket Packet(nullptr);
  Packet.SetStopString("\r\n");
  Packet.SetComPort(Port.get());
  std::vector<std::string> Got;
  Packet.OnPacket = [&](TObject*, const std::string& S) { Got.push_back(S); };
  Port->SetEvents(TComEvents{evRxChar});
  Port->SetSyncMethod(smWindowSync);
  Port->Open();
  Sim.Feed("COM7", "OK\r\npart");
  ASSERT_TRUE(TMainLoop::Instance().ProcessUntil([&] { return Packet.Buffer() == "part"; }, 10s));
  EXPECT_EQ(Got, std::vector<std::string>{"OK"});
  Port.reset();
  EXPECT_EQ(Packet.ComPort(), nullptr);
  EXPECT_EQ(Packet.Buffer(), "part");
}

// The application's set-up: CR LF lines read by window synchronisation; the buffer and the
// packet state survive a close and a reopen until the search resets them.
TEST_F(PacketLink, DeviceBytesArriveAsLines) {
  auto Port = NewPort();
  Port->SetEvents(TComEvents{evRxChar});
  Port->SetSyncMethod(smWindowSync);
  TComDataPacket Packet(nullptr);
  Packet.SetStopString("\r\n");
  Packet.SetComPort(Port.get());
  std::vector<std::string> Events;
  Packet.OnPacket = [&](TObject* Sender, const std::string& S) {
    EXPECT_EQ(Sender, &Packet);
    EXPECT_TRUE(TMainLoop::Instance().IsMainThread());
    Events.push_back("P:" + S);
  };
  Packet.OnDiscard = [&](TObject*, const std::string& S) { Events.push_back("D:" + S); };

  Port->Open();
  Sim.Feed("COM7", "OK\r");
  ASSERT_TRUE(TMainLoop::Instance().ProcessUntil([&] { return Packet.Buffer() == "OK\r"; }, 10s));
  Sim.Feed("COM7", std::string("\nA\0\xFF\r\nB", 7));
  ASSERT_TRUE(TMainLoop::Instance().ProcessUntil([&] { return Events.size() == 2; }, 10s));
  EXPECT_EQ(Events, (std::vector<std::string>{"P:OK", "P:" + std::string("A\0\xFF", 3)}));

  Port->Close();
  Port->Open();
  EXPECT_EQ(Packet.Buffer(), "B");
  Packet.ResetBuffer();
  Sim.Feed("COM7", "C\r\n");
  ASSERT_TRUE(TMainLoop::Instance().ProcessUntil([&] { return Events.size() == 4; }, 10s));
  EXPECT_EQ(Events[2], "D:B");
  EXPECT_EQ(Events[3], "P:C");
  Port->Close();
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
    auto Port = NewPort();
    Port->SetEvents(TComEvents{evRxChar});
    Port->SetSyncMethod(smWindowSync);
    std::unique_ptr<TComDataPacket> Packets[3];
    std::vector<std::string> Got[3];
    for (int I = 0; I < 3; ++I) {
      Packets[I] = std::make_unique<TComDataPacket>(nullptr);
      Packets[I]->SetStopString("\r\n");
      Packets[I]->SetComPort(Port.get());
      Packets[I]->OnPacket = [&, I](TObject*, const std::string& S) {
        Got[I].push_back(S);
        if (I == C.Leaving) Packets[C.Left]->SetComPort(nullptr);
      };
    }
    Port->Open();
    Sim.Feed("COM7", "OK\r\n");
    ASSERT_TRUE(TMainLoop::Instance().ProcessUntil([&] { return Got[2].size() == 1; }, 10s));
    for (int I = 0; I < 3; ++I) {
      // A link removed before its turn no longer hears the port; every other one hears it.
      const bool RemovedBeforeItsTurn = I == C.Left && C.Left > C.Leaving;
      EXPECT_EQ(Got[I].size(), RemovedBeforeItsTurn ? 0u : 1u) << "assembler " << I;
    }
    Port->Close();
    for (auto& P : Packets)
      P->SetComPort(nullptr);
  }
}

}  // namespace comfind
