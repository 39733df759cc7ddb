// The text forms of stored values: Booleans, characters and the two line-control modes.
#include <gtest/gtest.h>

#include <string>

#include "port/storage/ComStorage.h"

namespace comfind {

TEST(StoredBoolean, OnlyYesInAnyLetterCaseIsTrue) {
  EXPECT_EQ(BoolToText(true), "Yes");
  EXPECT_EQ(BoolToText(false), "No");
  for (const char* Text : {"yes", "YES", "Yes", "yEs"})
    EXPECT_TRUE(TextToBool(Text)) << Text;
  for (const char* Text : {"Y", "True", "1", "", "No", "yes ", " yes", "yess", "on"})
    EXPECT_FALSE(TextToBool(Text)) << '"' << Text << '"';
}

TEST(StoredCharacter, PrintableCodesAreThemselvesAndTheRestAreNumbered) {
  EXPECT_EQ(CharToText(13), "#13");
  EXPECT_EQ(CharToText(32), "#32");
  EXPECT_EQ(CharToText(33), "!");
  EXPECT_EQ(CharToText('#'), "#");
  EXPECT_EQ(CharToText('A'), "A");
  EXPECT_EQ(CharToText(127), "\x7F");
  EXPECT_EQ(CharToText(static_cast<char>(128)), "#128");
  EXPECT_EQ(CharToText(static_cast<char>(200)), "#200");
  EXPECT_EQ(CharToText(static_cast<char>(255)), "#255");
  EXPECT_EQ(CharToText(0), "#0");
}

TEST(StoredCharacter, EveryCodeReadsBackAsItself) {
  for (int Code = 0; Code < 256; ++Code) {
    const char C = static_cast<char>(Code);
    EXPECT_EQ(static_cast<uint8_t>(TextToChar(CharToText(C))), Code) << CharToText(C);
  }
}

TEST(StoredCharacter, ReadingOddTexts) {
  EXPECT_EQ(TextToChar(""), 0);
  EXPECT_EQ(TextToChar("AB"), 'A');
  EXPECT_EQ(TextToChar("#"), '#');
  // Only the low 8 bits of the number count.
  EXPECT_EQ(TextToChar("#300"), 44);
  EXPECT_EQ(static_cast<uint8_t>(TextToChar("#-1")), 255);
  EXPECT_EQ(TextToChar("#65"), 'A');
  EXPECT_EQ(TextToChar("#065"), 'A');
  // Not a number after '#': code 0, never an exception.
  for (const char* Text :
       {"#x", "#1x", "#12 ", "# 12", "#+", "#-", "#+-1", "#1.5", "#0x41", "#99999999999999999999"})
    EXPECT_EQ(TextToChar(Text), 0) << Text;
  EXPECT_EQ(TextToChar("#+65"), 'A');
  // A text that does not start with '#' is its first character, even a digit.
  EXPECT_EQ(TextToChar("13"), '1');
}

TEST(StoredLineControl, TextsAndTheirFallback) {
  EXPECT_EQ(DTRControlToText(dtrDisable), "Disable");
  EXPECT_EQ(DTRControlToText(dtrEnable), "Enable");
  EXPECT_EQ(DTRControlToText(dtrHandshake), "Handshake");
  EXPECT_EQ(RTSControlToText(rtsDisable), "Disable");
  EXPECT_EQ(RTSControlToText(rtsEnable), "Enable");
  EXPECT_EQ(RTSControlToText(rtsHandshake), "Handshake");
  EXPECT_EQ(RTSControlToText(rtsToggle), "Toggle");

  for (TDTRFlowControl V : {dtrDisable, dtrEnable, dtrHandshake})
    EXPECT_EQ(TextToDTRControl(DTRControlToText(V)), V);
  for (TRTSFlowControl V : {rtsDisable, rtsEnable, rtsHandshake, rtsToggle})
    EXPECT_EQ(TextToRTSControl(RTSControlToText(V)), V);

  // A byte outside the table (a value cast from a stream) has no text instead of a read past it.
  EXPECT_EQ(DTRControlToText(static_cast<TDTRFlowControl>(3)), "");
  EXPECT_EQ(RTSControlToText(static_cast<TRTSFlowControl>(200)), "");

  EXPECT_EQ(TextToDTRControl("handSHAKE"), dtrHandshake);
  EXPECT_EQ(TextToRTSControl("TOGGLE"), rtsToggle);
  // DTR has no toggle mode; blanks and partial words match nothing.
  EXPECT_EQ(TextToDTRControl("Toggle"), dtrDisable);
  EXPECT_EQ(TextToDTRControl("Enable "), dtrDisable);
  EXPECT_EQ(TextToRTSControl("Enab"), rtsDisable);
  EXPECT_EQ(TextToRTSControl(""), rtsDisable);
}

}  // namespace comfind
