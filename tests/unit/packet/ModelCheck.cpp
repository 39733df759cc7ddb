// The assembler against the literal model: the same random streams, cut into random blocks,
// with random markers, sizes, flags, limits, hooks, raising handlers and setting changes.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <random>

#include "PacketModel.h"

namespace comfind {

using namespace packet_model;

namespace {

struct TRandomSource {
  std::mt19937 Engine;
  uint32_t Next(uint32_t N) { return std::uniform_int_distribution<uint32_t>(0, N - 1)(Engine); }
};

}  // namespace

TEST(PacketModelCheck, RandomStreamsGiveTheModelsEvents) {
  int WithPackets = 0, WithDiscards = 0, WithExceptions = 0;
  for (uint32_t Seed = 1; Seed <= 6000; ++Seed) {
    TRandomSource Src{std::mt19937(Seed)};
    const TScenario S = MakeScenario(Src);
    const auto Logs = RunScenario(S);
    const TLog& Model = Logs.first;
    ASSERT_EQ(Describe(Model), Describe(Logs.second)) << "seed " << Seed;
    auto Has = [&](char k) {
      return std::any_of(Model.begin(), Model.end(), [k](const TEvent& e) { return e.Kind == k; });
    };
    WithPackets += Has('P');
    WithDiscards += Has('D');
    WithExceptions += Has('X');
  }
  // The generator must keep reaching the interesting paths, or the comparison proves little.
  EXPECT_GT(WithPackets, 3000);
  EXPECT_GT(WithDiscards, 1500);
  EXPECT_GT(WithExceptions, 300);
}

// Long streams in tiny blocks and many packets in one huge block: a quadratic assembler needs
// minutes here, the linear one milliseconds. The bound is generous on purpose.
TEST(PacketModelCheck, LargeStreamsTakeLinearTime) {
  const auto Begin = std::chrono::steady_clock::now();

  TTestPacket P(nullptr);
  size_t Packets = 0, PacketBytes = 0;
  P.OnPacket = [&](TObject*, const std::string& Str) {
    ++Packets;
    PacketBytes += Str.size();
  };
  // No stop string found, no limit: a partial match of the stop string is carried all along.
  P.SetStopString("aab");
  P.SetMaxBufferSize(0);
  const std::string One = "a";
  for (int I = 0; I < 1 << 20; ++I)
    P.AddData(I % 2 ? One : std::string("\xE0"));
  EXPECT_EQ(P.Buffer().size(), size_t{1} << 20);
  EXPECT_EQ(Packets, 0u);

  // A megabyte of short lines in one block.
  P.SetStopString("\r\n");  // discards the megabyte above
  std::string Block;
  while (Block.size() < (1u << 20))
    Block += "OK 42\r\n";
  P.AddData(Block);
  EXPECT_EQ(Packets, Block.size() / 7);
  EXPECT_EQ(PacketBytes, Packets * 5);
  EXPECT_TRUE(P.Buffer().empty());

  // The same with a start string searched first for every packet.
  P.SetStartString("K");
  Packets = 0;
  P.AddData(Block);
  EXPECT_EQ(Packets, Block.size() / 7);

  EXPECT_LT(std::chrono::steady_clock::now() - Begin, std::chrono::seconds(30));
}

}  // namespace comfind
