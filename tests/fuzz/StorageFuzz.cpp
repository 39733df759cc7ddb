// Fuzz target: the ini text model and the stored value forms. The input is an arbitrary ini
// text plus a section, key and value to write into it. Checked:
//   - writing the parsed text back and parsing it again changes nothing (no line is lost);
//   - a write that is accepted reads back exactly, and every other key keeps its value;
//   - a write that is refused leaves the text as it was;
//   - integers read from the text print back to the same text-independent value;
//   - every character read from text prints and reads back to itself.
// Any violation aborts with a message.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "port/storage/ComStorage.h"
#include "port/storage/IniFile.h"

using namespace comfind;

namespace {

[[noreturn]] void Fail(const char* What, std::string_view Detail) {
  std::fprintf(stderr, "storage fuzz: %s [%.*s]\n", What, static_cast<int>(Detail.size()),
               Detail.data());
  std::abort();
}

// Every readable (section, key) -> value of a text, first occurrences only, in file order.
using TEntries = std::vector<std::pair<std::pair<std::string, std::string>, std::string>>;

TEntries Entries(const TIniText& Ini) {
  TEntries E;
  for (const std::string& S : Ini.Sections())
    for (const std::string& K : Ini.Keys(S))
      E.push_back({{S, K}, Ini.ReadString(S, K, "")});
  return E;
}

// Names are compared without their surrounding blanks, as the ini text does.
std::string_view Trim(std::string_view S) {
  while (!S.empty() && (S.front() == ' ' || S.front() == '\t' || S.front() == '\r'))
    S.remove_prefix(1);
  while (!S.empty() && (S.back() == ' ' || S.back() == '\t' || S.back() == '\r'))
    S.remove_suffix(1);
  return S;
}

std::string_view Take(std::string_view& In, size_t N) {
  N = N < In.size() ? N : In.size();
  std::string_view Part = In.substr(0, N);
  In.remove_prefix(N);
  return Part;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  std::string_view In(reinterpret_cast<const char*>(Data), Size);
  if (In.size() < 3) return 0;
  const size_t SectionLen = static_cast<uint8_t>(In[0]) % 16;
  const size_t KeyLen = static_cast<uint8_t>(In[1]) % 16;
  const size_t ValueLen = static_cast<uint8_t>(In[2]) % 32;
  In.remove_prefix(3);
  const std::string Section(Take(In, SectionLen));
  const std::string Key(Take(In, KeyLen));
  const std::string Value(Take(In, ValueLen));
  const std::string_view Text = In;

  // Parsing is stable: what is written back parses to the same text.
  TIniText Ini(Text);
  const std::string Once = Ini.Text();
  if (TIniText(Once).Text() != Once) Fail("text not stable", Once);
  const TEntries Before = Entries(Ini);

  bool Accepted = true;
  try {
    Ini.WriteString(Section, Key, Value);
  } catch (const EIniFileException&) {
    Accepted = false;
  }
  const TIniText After(Ini.Text());
  if (!Accepted) {
    if (Ini.Text() != Once) Fail("refused write changed the text", Ini.Text());
  } else {
    if (After.ReadString(Section, Key, "\x01") != Value) Fail("written value lost", Ini.Text());
    for (const auto& [Where, Old] : Before) {
      if (SameTextAscii(Where.first, Trim(Section)) && SameTextAscii(Where.second, Trim(Key)))
        continue;
      if (After.ReadString(Where.first, Where.second, "\x01") !=
          Ini.ReadString(Where.first, Where.second, "\x02"))
        Fail("reparse differs", Where.second);
      if (Ini.ReadString(Where.first, Where.second, "\x01") != Old)
        Fail("another key changed", Where.second);
    }
  }

  // Integers: whatever parses prints as a decimal that parses to the same number.
  int32_t Number = 0;
  if (ParseIniInteger(Value, Number)) {
    int32_t Again = 0;
    if (!ParseIniInteger(std::to_string(Number), Again) || Again != Number)
      Fail("integer does not round-trip", Value);
  }

  // Characters and Booleans: any text reads as something that prints and reads back.
  const char C = TextToChar(Value);
  const std::string CText = CharToText(C);
  if (CText.empty() || CText.size() > 4 || TextToChar(CText) != C) Fail("character form", Value);
  if (TextToBool(BoolToText(TextToBool(Value))) != TextToBool(Value)) Fail("boolean form", Value);
  return 0;
}
