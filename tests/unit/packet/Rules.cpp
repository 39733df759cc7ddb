// The framing rules on fixed examples: the application's CR LF lines, markers, sizes, hooks,
// the buffer limit, resets, and handlers that raise.
#include <gtest/gtest.h>

#include "PacketModel.h"

namespace comfind {

using packet_model::TTestPacket;

namespace {

struct TBoom {};

// An assembler with recording handlers; P() is a packet, D() a discard in the expected lists.
class PacketRules : public ::testing::Test {
 protected:
  PacketRules() {
    Packet.OnPacket = [this](TObject* Sender, const std::string& Str) {
      EXPECT_EQ(Sender, &Packet);
      Events.push_back("P:" + Str);
      if (!RaiseOnPacket.empty() && Str == RaiseOnPacket) throw TBoom{};
    };
    Packet.OnDiscard = [this](TObject* Sender, const std::string& Str) {
      EXPECT_EQ(Sender, &Packet);
      Events.push_back("D:" + Str);
      if (RaiseOnDiscard) throw TBoom{};
    };
  }
  std::vector<std::string> Take() { return std::exchange(Events, {}); }
  static std::string P(const std::string& S) { return "P:" + S; }
  static std::string D(const std::string& S) { return "D:" + S; }
  using TList = std::vector<std::string>;

  TTestPacket Packet{nullptr};
  TList Events;
  std::string RaiseOnPacket;
  bool RaiseOnDiscard = false;
};

}  // namespace

TEST_F(PacketRules, ApplicationLinesEndAtCrLf) {
  Packet.SetStopString("\r\n");
  EXPECT_EQ(Packet.MaxBufferSize(), 1024);

  Packet.AddData("OK\r\n");
  EXPECT_EQ(Take(), TList{P("OK")});
  EXPECT_TRUE(Packet.Buffer().empty());
  EXPECT_TRUE(Packet.InPacket());

  Packet.AddData("O");
  Packet.AddData("K\r");
  EXPECT_EQ(Take(), TList{});
  Packet.AddData("\n");
  EXPECT_EQ(Take(), TList{P("OK")});

  Packet.AddData("A\r\nB\r\n");
  EXPECT_EQ(Take(), (TList{P("A"), P("B")}));

  Packet.AddData("\r\n");
  EXPECT_EQ(Take(), TList{P("")});

  // A lone LF or CR is data.
  Packet.AddData("OK\n");
  Packet.AddData("X\r\n");
  EXPECT_EQ(Take(), TList{P("OK\nX")});
  Packet.AddData("\r\r");
  Packet.AddData("\r\n\n");
  EXPECT_EQ(Take(), TList{P("\r\r")});
  EXPECT_EQ(Packet.Buffer(), "\n");
  Packet.ResetBuffer();
  Take();

  // Bytes without CR LF collect until a block leaves 1024 or more, then go in one discard.
  const std::string Chunk(1000, 'x');
  Packet.AddData(Chunk);
  EXPECT_EQ(Take(), TList{});
  Packet.AddData(std::string(23, 'y'));
  EXPECT_EQ(Take(), TList{});
  Packet.AddData("z");
  EXPECT_EQ(Take(), TList{D(Chunk + std::string(23, 'y') + "z")});
  EXPECT_TRUE(Packet.Buffer().empty());
}

TEST_F(PacketRules, BytesPassUnchanged) {
  Packet.SetStopString(std::string("\0;", 2));
  const std::string Cyr = "\xCF\xF0\xE8\xE2\xE5\xF2";  // code page 1251 letters
  Packet.AddData(Cyr + std::string("\0", 1));
  Packet.AddData(std::string(";\xFF\0\x80\0;", 6));
  EXPECT_EQ(Take(), (TList{P(Cyr), P(std::string("\xFF\0\x80", 3))}));
}

TEST_F(PacketRules, WithoutStopConditionEveryBlockIsAPacket) {
  Packet.SetStartString("<");
  Packet.SetMaxBufferSize(2);
  Packet.AddData("ab<c");
  Packet.AddData("");
  Packet.AddData("<<<<");
  EXPECT_EQ(Take(), (TList{P("ab<c"), P(""), P("<<<<")}));
  EXPECT_TRUE(Packet.Buffer().empty());
}

TEST_F(PacketRules, StartAndStopStringsFramePackets) {
  Packet.SetStartString("<");
  Packet.SetStopString(">");
  Packet.AddData("junk<a>b<e>");
  EXPECT_EQ(Take(), (TList{D("junk"), P("a"), D("b"), P("e")}));
  EXPECT_TRUE(Packet.Buffer().empty());
  EXPECT_FALSE(Packet.InPacket());

  Packet.SetIncludeStrings(true);
  Packet.AddData("junk<a>b<e>");
  EXPECT_EQ(Take(), (TList{D("junk"), P("<a>"), D("b"), P("<e>")}));

  // Markers split over blocks, with the characters before the start discarded when it is whole.
  Packet.SetIncludeStrings(false);
  Packet.SetStartString("<<");
  Packet.SetStopString(">>");
  for (const char* Block : {"xy<", "<p>", ">", "q<", "x<", "<<r>", ">"})
    Packet.AddData(Block);
  EXPECT_EQ(Take(), (TList{D("xy"), P("p"), D("q<x"), P("<r")}));

  // The stop string is searched behind the start string only: "<>" does not end at once.
  Packet.SetStartString("<>");
  Packet.SetStopString(">");
  Packet.AddData("<>a>");
  EXPECT_EQ(Take(), TList{P("a")});
}

TEST_F(PacketRules, CaseInsensitiveFoldsAsciiLettersOnly) {
  Packet.SetStartString("ab");
  Packet.SetStopString("\r\n");
  Packet.AddData("xxAB1\r\n");
  EXPECT_EQ(Take(), TList{});
  EXPECT_EQ(Packet.Buffer(), "xxAB1\r\n");

  Packet.SetCaseInsensitive(true);  // the buffered line is discarded
  EXPECT_EQ(Take(), TList{D("xxAB1\r\n")});
  Packet.AddData("xxAB1\r\n");
  EXPECT_EQ(Take(), (TList{D("xx"), P("1")}));
  // Delivered text keeps its case; markers are stripped whatever their case.
  Packet.SetIncludeStrings(true);
  Packet.AddData("aB2\r\n");
  EXPECT_EQ(Take(), TList{P("aB2\r\n")});

  // Cyrillic letters in code page 1251 are not folded: \xE0 is not \xC0.
  Packet.SetIncludeStrings(false);
  Packet.SetStartString("\xE0");
  Packet.SetStopString("q");
  Packet.AddData("\xC0zQ\xE0yQ");
  EXPECT_EQ(Take(), (TList{D("\xC0zQ"), P("y")}));
}

TEST_F(PacketRules, SizeCutsBeforeTheStopString) {
  Packet.SetSize(5);
  Packet.AddData("ABCDEFGHIJK");
  EXPECT_EQ(Take(), (TList{P("ABCDE"), P("FGHIJ")}));
  EXPECT_EQ(Packet.Buffer(), "K");

  Packet.SetSize(10);
  Packet.SetStopString("\r\n");
  Take();
  Packet.AddData("AB\r\nCDEFGHIJ");
  EXPECT_EQ(Take(), TList{P("AB\r\nCDEFGH")});
  EXPECT_EQ(Packet.Buffer(), "IJ");
  Packet.ResetBuffer();
  Take();
  Packet.AddData("AB\r\n");
  Packet.AddData("CDEFGHIJ");
  EXPECT_EQ(Take(), TList{P("AB")});
  EXPECT_EQ(Packet.Buffer(), "CDEFGHIJ");

  // A packet cut by size loses a stop string at its end, unless it occurs earlier as well.
  Packet.ResetBuffer();
  Packet.SetStopString("#");
  Packet.SetSize(4);
  Take();
  Packet.SetStartString("<");
  Packet.AddData("<a#b");  // the stop search skips "<", but size 4 comes first
  EXPECT_EQ(Take(), TList{P("a#b")});
  Packet.AddData("<#b#");
  EXPECT_EQ(Take(), TList{P("#b#")});
}

TEST_F(PacketRules, HooksPlaceStartAndEnd) {
  std::vector<std::string> StopSeen;
  Packet.OnCustomStop = [&](TObject* Sender, const std::string& Str, int32_t& Pos) {
    EXPECT_EQ(Sender, &Packet);
    EXPECT_EQ(Pos, -1);
    StopSeen.push_back(Str);
    if (Str.size() >= 3) Pos = 3;
  };
  Packet.AddData("ABCDEFG");
  EXPECT_EQ(Take(), (TList{P("ABC"), P("DEF")}));
  EXPECT_EQ(Packet.Buffer(), "G");
  EXPECT_EQ(StopSeen, (TList{"ABCDEFG", "DEFG", "G"}));

  // A position beyond the end takes the whole buffer; processing goes on with the empty rest.
  StopSeen.clear();
  Packet.OnCustomStop = [&](TObject*, const std::string& Str, int32_t& Pos) {
    StopSeen.push_back(Str);
    if (Str.size() >= 2) Pos = 100;
  };
  std::vector<std::string> StartSeen;
  Packet.OnCustomStart = [&](TObject*, const std::string& Str, int32_t&) {
    StartSeen.push_back(Str);
  };
  Packet.AddData("H");
  EXPECT_EQ(Take(), TList{P("GH")});
  EXPECT_EQ(StopSeen, (TList{"GH", ""}));
  EXPECT_EQ(StartSeen, TList{""});

  // A start hook that answers 0 holds the start back, even when the start string is there;
  // the default rule applies again once it leaves Pos alone.
  Packet.OnCustomStop = nullptr;
  Packet.SetStopString(">");
  Packet.SetStartString("<");
  bool Hold = true;
  Packet.OnCustomStart = [&](TObject*, const std::string&, int32_t& Pos) {
    if (Hold) Pos = 0;
  };
  Packet.AddData("x<a>");
  EXPECT_EQ(Take(), TList{});
  Hold = false;
  Packet.AddData("");
  EXPECT_EQ(Take(), (TList{D("x"), P("a")}));

  // A start beyond the end discards the whole buffer and waits inside a packet.
  Packet.OnCustomStart = [&](TObject*, const std::string& Str, int32_t& Pos) {
    if (!Str.empty()) Pos = 50;
  };
  Packet.AddData("abc");
  EXPECT_EQ(Take(), TList{D("abc")});
  EXPECT_TRUE(Packet.InPacket());
  Packet.AddData("<d>");
  EXPECT_EQ(Take(), TList{P("d")});
}

// A stop hook that reports an end for an empty buffer breaks its contract; the pass ends there
// instead of cutting empty packets for ever.
TEST_F(PacketRules, StopHookEndingAnEmptyBufferEndsThePass) {
  int Calls = 0;
  Packet.OnCustomStop = [&](TObject*, const std::string&, int32_t& Pos) {
    ++Calls;
    Pos = 1;
  };
  Packet.AddData("ab");
  EXPECT_EQ(Take(), (TList{P("a"), P("b")}));
  EXPECT_EQ(Calls, 3);
  EXPECT_TRUE(Packet.Buffer().empty());
  Packet.AddData("");
  EXPECT_EQ(Take(), TList{});
}

TEST_F(PacketRules, BufferLimitAppliesToWhatRemains) {
  Packet.SetStopString(">");
  Packet.SetMaxBufferSize(4);
  // A packet longer than the limit is delivered; the limit is at least, not more than.
  Packet.AddData("abcdefg>abc");
  EXPECT_EQ(Take(), TList{P("abcdefg")});
  EXPECT_EQ(Packet.Buffer(), "abc");
  Packet.AddData("d");
  EXPECT_EQ(Take(), TList{D("abcd")});
  EXPECT_FALSE(Packet.InPacket());

  // The limit may be changed at any time and applies at the next pass.
  Packet.AddData("xyz");
  Packet.SetMaxBufferSize(3);
  EXPECT_EQ(Take(), TList{});
  Packet.AddData("");
  EXPECT_EQ(Take(), TList{D("xyz")});

  for (int32_t None : {0, -5}) {
    Packet.SetMaxBufferSize(None);
    Packet.AddData(std::string(5000, 'q'));
    EXPECT_EQ(Take(), TList{});
    Packet.ResetBuffer();
    EXPECT_EQ(Take(), TList{D(std::string(5000, 'q'))});
  }
}

TEST_F(PacketRules, SettingChangesDiscardTheBuffer) {
  Packet.SetStopString(">");
  Packet.AddData("abc");
  Packet.SetStopString(">");
  Packet.SetStartString("");
  Packet.SetSize(0);
  Packet.SetCaseInsensitive(false);
  EXPECT_EQ(Take(), TList{});  // unchanged values change nothing

  Packet.SetStopString("]");
  EXPECT_EQ(Take(), TList{D("abc")});
  Packet.AddData("a");
  Packet.SetStartString("[");
  Packet.AddData("b");
  Packet.SetSize(7);
  Packet.AddData("c");
  Packet.SetCaseInsensitive(true);
  EXPECT_EQ(Take(), (TList{D("a"), D("b"), D("c")}));

  // Plain stores do not discard.
  Packet.AddData("d");
  Packet.SetIncludeStrings(true);
  Packet.SetMaxBufferSize(100);
  EXPECT_EQ(Take(), TList{});
  EXPECT_EQ(Packet.Buffer(), "d");

  // While loading, values are stored without a discard.
  Packet.BeginLoading();
  Packet.SetStopString("!");
  Packet.SetStartString("");
  Packet.SetSize(0);
  Packet.Loaded();
  EXPECT_EQ(Take(), TList{});
  Packet.AddData("e!");
  EXPECT_EQ(Take(), TList{P("de!")});

  Packet.ResetBuffer();
  EXPECT_EQ(Take(), TList{});
}

// Once a reset has taken the assembler out of a packet, a start string set after traffic
// is searched in the next data instead of being assumed at its front.
TEST_F(PacketRules, ResetOfAnEmptyBufferLeavesThePacket) {
  Packet.SetStopString(">");
  Packet.AddData("x>");
  EXPECT_EQ(Take(), TList{P("x")});
  EXPECT_TRUE(Packet.InPacket());
  Packet.SetStartString("<");
  EXPECT_FALSE(Packet.InPacket());
  Packet.AddData("ab<c>");
  EXPECT_EQ(Take(), (TList{D("ab"), P("c")}));
  EXPECT_EQ(Take(), TList{});
}

TEST_F(PacketRules, RaisingHandlersLeaveAConsistentBuffer) {
  Packet.SetStopString(">");
  Packet.SetMaxBufferSize(4);
  RaiseOnPacket = "a";
  // The raising packet stays cut; the rest is not processed, but the limit is applied.
  EXPECT_THROW(Packet.AddData("a>bcdef>"), TBoom);
  EXPECT_EQ(Take(), (TList{P("a"), D("bcdef>")}));
  EXPECT_TRUE(Packet.Buffer().empty());

  Packet.SetMaxBufferSize(100);
  EXPECT_THROW(Packet.AddData("a>b>"), TBoom);
  EXPECT_EQ(Take(), TList{P("a")});
  EXPECT_EQ(Packet.Buffer(), "b>");
  Packet.AddData("c>");
  EXPECT_EQ(Take(), (TList{P("b"), P("c")}));

  // A raising discard still empties the buffer.
  Packet.AddData("zz");
  RaiseOnDiscard = true;
  EXPECT_THROW(Packet.ResetBuffer(), TBoom);
  EXPECT_EQ(Take(), TList{D("zz")});
  EXPECT_TRUE(Packet.Buffer().empty());
  EXPECT_FALSE(Packet.InPacket());

  // A discard before a start raises after the start has been taken.
  Packet.SetStartString("<");
  RaiseOnDiscard = true;
  Take();
  EXPECT_THROW(Packet.AddData("q<r"), TBoom);
  EXPECT_EQ(Take(), TList{D("q")});
  EXPECT_TRUE(Packet.InPacket());
  RaiseOnDiscard = false;
  Packet.AddData(">");
  EXPECT_EQ(Take(), TList{P("r")});
}

// Handlers may feed data or change settings while a block is being cut.
TEST_F(PacketRules, HandlersMayReenter) {
  Packet.SetStopString(">");
  bool Fed = false;
  Packet.OnPacket = [&](TObject*, const std::string& Str) {
    Events.push_back("P:" + Str);
    if (Str == "a" && !Fed) {
      Fed = true;
      Packet.AddData("x>");
      // The packet in hand is not the storage the nested packet was cut into.
      EXPECT_EQ(Str, "a");
    }
    if (Str == "stop") Packet.SetStopString("]");
  };
  Packet.AddData("a>b>");
  EXPECT_EQ(Take(), (TList{P("a"), P("b"), P("x")}));
  Packet.AddData("stop>c]d>");
  EXPECT_EQ(Take(), (TList{P("stop"), D("c]d>")}));
  Packet.AddData("e]");
  EXPECT_EQ(Take(), TList{P("e")});
}

}  // namespace comfind
