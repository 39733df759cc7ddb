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
  int withPackets = 0, withDiscards = 0, withExceptions = 0;
  for (uint32_t seed = 1; seed <= 6000; ++seed) {
    TRandomSource src{std::mt19937(seed)};
    const TScenario s = MakeScenario(src);
    const auto logs = RunScenario(s);
    const TLog& model = logs.first;
    ASSERT_EQ(Describe(model), Describe(logs.second)) << "seed " << seed;
    auto has = [&](char k) {
      return std::any_of(model.begin(), model.end(), [k](const TEvent& e) { return e.Kind == k; });
    };
    withPackets += has('P');
    withDiscards += has('D');
    withExceptions += has('X');
  }
  // The generator must keep reaching the interesting paths, or the comparison proves little.
  EXPECT_GT(withPackets, 3000);
  EXPECT_GT(withDiscards, 1500);
  EXPECT_GT(withExceptions, 300);
}

// Long streams in tiny blocks and many packets in one huge block: a quadratic assembler needs
// minutes here, the linear one milliseconds. The bound is generous on purpose.
TEST(PacketModelCheck, LargeStreamsTakeLinearTime) {
  const auto begin = std::chrono::steady_clock::now();

  TTestPacket p(nullptr);
  size_t packets = 0, packetBytes = 0;
  p.OnPacket = [&](TObject*, const std::string& Str) {
    ++packets;
    packetBytes += Str.size();
  };
  // No stop string found, no limit: a partial match of the stop string is carried all along.
  p.SetStopString("aab");
  p.SetMaxBufferSize(0);
  const std::string one = "a";
  for (int i = 0; i < 1 << 20; ++i)
    p.AddData(i % 2 ? one : std::string("\xE0"));
  EXPECT_EQ(p.Buffer().size(), size_t{1} << 20);
  EXPECT_EQ(packets, 0u);

  // A megabyte of short lines in one block.
  p.SetStopString("\r\n");  // discards the megabyte above
  std::string block;
  while (block.size() < (1u << 20))
    block += "OK 42\r\n";
  p.AddData(block);
  EXPECT_EQ(packets, block.size() / 7);
  EXPECT_EQ(packetBytes, packets * 5);
  EXPECT_TRUE(p.Buffer().empty());

  // The same with a start string searched first for every packet.
  p.SetStartString("K");
  packets = 0;
  p.AddData(block);
  EXPECT_EQ(packets, block.size() / 7);

  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(30));
}

}  // namespace comfind
