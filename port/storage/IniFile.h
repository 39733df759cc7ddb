// Ini files for the port's settings storage.
//
// Layout: "[Section]" lines open sections; "Key=Value" lines inside them hold the values;
// lines starting with ';' or '#' are comments. Section and key names compare ignoring ASCII
// letter case, and surrounding blanks are not part of a name or a value (a value with
// surrounding blanks, or one that starts and ends with '"', is written inside '"' so that it
// reads back unchanged). Lines that are none of these are skipped when reading and kept when
// writing, as are comments, keys before the first section and every other section, so storing
// one section never loses the rest of the file. Integers are read as decimal numbers with an
// optional sign, or as "0x" followed by up to eight hex digits (a 32-bit pattern, 0xFFFFFFFF is
// -1); anything else reads as the default. Texts are 8-bit and kept byte for byte.
//
// Used from one thread at a time. Failures raise EIniFileException.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "port/storage/ComStorage.h"

// The text of an ini file: parsed into lines, changed in place, written back line for line.

namespace comfind {

class TIniText {
 public:
  TIniText() = default;
  explicit TIniText(std::string_view Text) { Parse(Text); }
  // Replaces the contents with Text. Line ends may be LF or CR LF, even mixed: every line read
  // is written back with its own end, and new lines get the first end found in the text.
  void Parse(std::string_view Text);
  std::string Text() const;

  bool ValueExists(std::string_view Section, std::string_view Ident) const;
  // The value of the first key Ident in the first section named Section.
  std::string ReadString(std::string_view Section, std::string_view Ident,
                         const std::string& Default) const;
  int32_t ReadInteger(std::string_view Section, std::string_view Ident, int32_t Default) const;
  // Replaces the key's value in place, or adds the key after the last key of the section, or
  // adds the section at the end of the text. A section, key or value that the layout cannot
  // hold (a line break, a NUL, a ']' in a section name, a '=' in a key or a key that would
  // read as a comment or a section) raises EIniFileException and changes nothing.
  void WriteString(std::string_view Section, std::string_view Ident, std::string_view Value);
  void WriteInteger(std::string_view Section, std::string_view Ident, int32_t Value);
  // The names of the sections, and of the keys of a section, in file order.
  std::vector<std::string> Sections() const;
  std::vector<std::string> Keys(std::string_view Section) const;

 private:
  enum TLineKind : uint8_t { lkOther, lkSection, lkKey };
  struct TLine {
    std::string Raw;
    TLineKind Kind = lkOther;
    std::string Name;   // the section's name, or the key's name
    std::string Value;  // the key's value, unquoted
    std::string End;    // the line's own end as read ("\n" or "\r\n"); empty: the text's
  };
  static TLine ParseLine(std::string Raw);
  // Index of the section's header line, or -1.
  int FindSection(std::string_view Section) const;
  // Index of the key's line within the section starting at Header, or -1.
  int FindKey(int Header, std::string_view Ident) const;

  std::vector<TLine> FLines;
  std::string FLineEnd = "\r\n";
  bool FBom = false;  // the text started with a UTF-8 byte order mark, kept when written back
};

// Reads a decimal (optional sign) or 0x-hex 32-bit integer filling the whole text.
bool ParseIniInteger(std::string_view Text, int32_t& Value);

// An ini file on disk. The file is read once, when the object is created (a file that does not
// exist reads as empty); every write is written through to the file unless it is made between
// BeginUpdate and EndUpdate, when EndUpdate writes them all at once. A write replaces the file
// in one step: the new text goes to a temporary file in the same folder, which is then renamed
// over the old one, so a failure leaves the old file (or none) and no partial file behind.
class TDiskIniFile : public TIniFile {
 public:
  // Raises EIniFileException when the file exists but cannot be read.
  explicit TDiskIniFile(std::string FileName);
  std::string ClassName() const override { return "TDiskIniFile"; }
  const std::string& FileName() const { return FFileName; }
  // Whether something (a file, or anything else) exists under that name.
  static bool Exists(const std::string& FileName);

  std::string ReadString(const std::string& Section, const std::string& Ident,
                         const std::string& Default) override;
  void WriteString(const std::string& Section, const std::string& Ident,
                   const std::string& Value) override;
  int32_t ReadInteger(const std::string& Section, const std::string& Ident,
                      int32_t Default) override;
  void WriteInteger(const std::string& Section, const std::string& Ident, int32_t Value) override;

  // Holds writes back until the matching EndUpdate. Nesting counts.
  void BeginUpdate() { ++FUpdateCount; }
  // Writes the file when the outermost update ends and something changed.
  void EndUpdate();
  // Drops the update nesting without writing (the file keeps its old text; this object keeps
  // the changes until UpdateFile is called).
  void CancelUpdate() { FUpdateCount = 0; }
  // Writes the current text to the file now.
  void UpdateFile();
  const TIniText& Contents() const { return FText; }

 private:
  void Changed();

  std::string FFileName;
  TIniText FText;
  int FUpdateCount = 0;
  bool FDirty = false;
};

}  // namespace comfind
