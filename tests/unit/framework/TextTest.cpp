// Code page 1251 text: ASCII-only case folding and the conversion to and from UTF-8.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "framework/Classes.h"

namespace comfind {

namespace {

// Decodes one UTF-8 character at the start of S; -1 when it is not exactly one well-formed one.
long DecodeSingle(const std::string& S) {
  if (S.empty()) return -1;
  const auto B = static_cast<unsigned char>(S[0]);
  size_t Len = B < 0x80 ? 1 : (B & 0xE0) == 0xC0 ? 2 : (B & 0xF0) == 0xE0 ? 3 : 0;
  if (Len == 0 || S.size() != Len) return -1;
  long Cp = Len == 1 ? B : Len == 2 ? (B & 0x1F) : (B & 0x0F);
  for (size_t I = 1; I < Len; ++I) {
    const auto C = static_cast<unsigned char>(S[I]);
    if ((C & 0xC0) != 0x80) return -1;
    Cp = (Cp << 6) | (C & 0x3F);
  }
  return Cp;
}

TEST(TextTest, UpperCasingFoldsAsciiLettersOnly) {
  // "abz", NUL, Cyrillic small a and ya, and the bytes just outside a..z.
  const std::string In("abz\0\xE0\xFF`{", 8);
  EXPECT_EQ(UpperCaseAscii(In), std::string("ABZ\0\xE0\xFF`{", 8));
  EXPECT_EQ(UpCaseAscii('q'), 'Q');
  EXPECT_EQ(UpCaseAscii('\xE0'), '\xE0');

  EXPECT_EQ(CompareTextAscii("ok", "OK"), 0);
  EXPECT_TRUE(SameTextAscii("Ok", "oK"));
  EXPECT_FALSE(SameTextAscii("ok", "ok "));
  // Cyrillic small and capital letters are different characters to this comparison.
  EXPECT_FALSE(SameTextAscii("\xE0", "\xC0"));
  // Bytes compare unsigned: a high byte sorts after every ASCII letter.
  EXPECT_GT(CompareTextAscii("\x80", "z"), 0);
  EXPECT_LT(CompareTextAscii("ab", "abc"), 0);
  EXPECT_GT(CompareTextAscii("B", "a"), 0);
}

TEST(TextTest, NaturalOrderComparesDigitRunsByValue) {
  const struct {
    const char* A;
    const char* B;
    int Sign;
  } Cases[] = {
      {"ttyUSB2", "ttyUSB10", -1},
      {"COM9", "COM10", -1},
      {"ttyS1", "TTYs1", 0},     // letter case folded, as CompareTextAscii does
      {"ttyACM0", "ttyS0", -1},  // letters before numbers decide as text
      {"ttyS", "ttyS0", -1},     // a prefix first
      {"a1b", "a1", 1},
      {"a01", "a1", 1},       // equal values: the one with leading zeros after
      {"a01b1", "a1b2", -1},  // ... but only when nothing else differs
      {"a007", "a7", 1},
      {"a0", "a00", -1},
      {"x99999999999999999999", "x100000000000000000000", -1},  // no overflow
      {"rfcomm0", "ttyS0", -1},
      {"2", "a", -1},  // a digit is below a letter as a byte
      {"", "", 0},
      {"", "0", -1},
  };
  for (const auto& C : Cases) {
    const int R = CompareNaturalAscii(C.A, C.B);
    const int Back = CompareNaturalAscii(C.B, C.A);
    EXPECT_EQ((R > 0) - (R < 0), C.Sign) << C.A << " vs " << C.B;
    EXPECT_EQ((Back > 0) - (Back < 0), -C.Sign) << C.B << " vs " << C.A;
  }
}

TEST(TextTest, EveryCp1251ByteDecodesToOneDistinctCharacterAndRoundTrips) {
  std::set<long> Seen;
  std::string All;
  for (int B = 0; B < 256; ++B) {
    const std::string One(1, static_cast<char>(B));
    All += One;
    const std::string Utf8 = Cp1251ToUtf8(One);
    const long Cp = DecodeSingle(Utf8);
    ASSERT_GE(Cp, 0) << "byte " << B;
    if (B < 0x80) {
      EXPECT_EQ(Cp, B);
    }
    EXPECT_TRUE(Seen.insert(Cp).second) << "byte " << B << " shares U+" << std::hex << Cp;
    EXPECT_EQ(Utf8ToCp1251(Utf8), One) << "byte " << B;
  }
  EXPECT_EQ(Utf8ToCp1251(Cp1251ToUtf8(All)), All);

  EXPECT_EQ(Cp1251ToUtf8("\x98"), "\xC2\x98");              // the unassigned byte is kept
  EXPECT_EQ(Cp1251ToUtf8("\xC0\xFF"), "\xD0\x90\xD1\x8F");  // capital A, small ya
  EXPECT_EQ(Cp1251ToUtf8("\xA8\xB8"), "\xD0\x81\xD1\x91");  // Yo, yo
  EXPECT_EQ(Cp1251ToUtf8("\xB9"), "\xE2\x84\x96");          // numero sign
  EXPECT_EQ(Cp1251ToUtf8("\x88"), "\xE2\x82\xAC");          // euro sign
  EXPECT_EQ(Cp1251ToUtf8(std::string("\0", 1)), std::string("\0", 1));
  // "Устройство найдено на COM7"
  EXPECT_EQ(Cp1251ToUtf8("\xD3\xF1\xF2\xF0\xEE\xE9\xF1\xF2\xE2\xEE \xED\xE0\xE9\xE4\xE5\xED\xEE "
                         "\xED\xE0 COM7"),
            "\xD0\xA3\xD1\x81\xD1\x82\xD1\x80\xD0\xBE\xD0\xB9\xD1\x81\xD1\x82\xD0\xB2\xD0\xBE "
            "\xD0\xBD\xD0\xB0\xD0\xB9\xD0\xB4\xD0\xB5\xD0\xBD\xD0\xBE \xD0\xBD\xD0\xB0 COM7");
}

TEST(TextTest, Utf8OutsideTheCodePageOrMalformedBecomesQuestionMarks) {
  EXPECT_EQ(Utf8ToCp1251("\xE4\xB8\xAD"), "?");        // a CJK character
  EXPECT_EQ(Utf8ToCp1251("\xF0\x9F\x98\x80!"), "?!");  // outside the BMP
  EXPECT_EQ(Utf8ToCp1251("a\xFF"
                         "b"),
            "a?b");  // never a lead byte
  EXPECT_EQ(Utf8ToCp1251("a\x80"
                         "b"),
            "a?b");  // stray continuation
  // A character cut off by the end of a string or by the next character: the text after it
  // survives.
  EXPECT_EQ(Utf8ToCp1251("x\xD0"), "x?");
  EXPECT_EQ(Utf8ToCp1251("\xE2\x84OK"), "??OK");
  // An over-long form of '/' or NUL is not accepted as that character.
  EXPECT_EQ(Utf8ToCp1251("\xC0\xAF").find('/'), std::string::npos);
  EXPECT_EQ(Utf8ToCp1251("\xC0\x80").find('\0'), std::string::npos);
}

}  // namespace

}  // namespace comfind
