// Ini files: the text model and the file on disk.
#include "port/storage/IniFile.h"

#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>
#include <sstream>

namespace comfind {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view Bom = "\xEF\xBB\xBF";

// Joins texts by appending (GCC 12 at -O3 misreads chains of operator+ on std::string as
// overlapping copies and warns).
std::string Join(std::initializer_list<std::string_view> Parts) {
  size_t Size = 0;
  for (std::string_view P : Parts)
    Size += P.size();
  std::string S;
  S.reserve(Size);
  for (std::string_view P : Parts)
    S.append(P);
  return S;
}

bool IsBlank(char C) {
  return C == ' ' || C == '\t' || C == '\r';
}

std::string_view Trim(std::string_view S) {
  while (!S.empty() && IsBlank(S.front()))
    S.remove_prefix(1);
  while (!S.empty() && IsBlank(S.back()))
    S.remove_suffix(1);
  return S;
}

bool IsQuoted(std::string_view S) {
  return S.size() >= 2 && S.front() == '"' && S.back() == '"';
}

std::string Unquote(std::string_view S) {
  S = Trim(S);
  if (IsQuoted(S)) S = S.substr(1, S.size() - 2);
  return std::string(S);
}

// Quotes exactly the values that reading would otherwise change: surrounding blanks are trimmed
// and one pair of surrounding quotes is removed.
std::string Quote(std::string_view Value) {
  if (Value.empty()) return std::string();
  if (IsBlank(Value.front()) || IsBlank(Value.back()) || IsQuoted(Value))
    return Join({"\"", Value, "\""});
  return std::string(Value);
}

bool HasLineBreakOrNul(std::string_view S) {
  return S.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

[[noreturn]] void Refuse(const std::string& What, std::string_view Text) {
  throw EIniFileException("Cannot store " + What + " \"" + std::string(Text) + "\" in an ini file");
}

}  // namespace

bool ParseIniInteger(std::string_view Text, int32_t& Value) {
  if (Text.size() > 2 && Text[0] == '0' && (Text[1] == 'x' || Text[1] == 'X')) {
    const std::string_view Digits = Text.substr(2);
    if (Digits.size() > 8) return false;
    uint32_t U = 0;
    auto [Ptr, Ec] = std::from_chars(Digits.data(), Digits.data() + Digits.size(), U, 16);
    if (Ec != std::errc() || Ptr != Digits.data() + Digits.size()) return false;
    Value = static_cast<int32_t>(U);
    return true;
  }
  std::string_view Digits = Text;
  bool Negative = false;
  if (!Digits.empty() && (Digits.front() == '+' || Digits.front() == '-')) {
    Negative = Digits.front() == '-';
    Digits.remove_prefix(1);
  }
  // from_chars would take a second sign; a number here is digits only.
  if (Digits.empty() || Digits.front() < '0' || Digits.front() > '9') return false;
  uint64_t U = 0;
  auto [Ptr, Ec] = std::from_chars(Digits.data(), Digits.data() + Digits.size(), U, 10);
  if (Ec != std::errc() || Ptr != Digits.data() + Digits.size()) return false;
  const uint64_t Limit = Negative ? uint64_t{1} << 31 : (uint64_t{1} << 31) - 1;
  if (U > Limit) return false;
  Value = Negative ? static_cast<int32_t>(-static_cast<int64_t>(U)) : static_cast<int32_t>(U);
  return true;
}

// ---------------------------------------------------------------------------------------------
// TIniText

TIniText::TLine TIniText::ParseLine(std::string Raw) {
  TLine L;
  const std::string_view T = Trim(Raw);
  if (!T.empty() && T.front() == '[') {
    const size_t Close = T.find(']');
    if (Close != std::string_view::npos) {
      L.Kind = lkSection;
      L.Name = std::string(Trim(T.substr(1, Close - 1)));
    }
  } else if (!T.empty() && T.front() != ';' && T.front() != '#') {
    const size_t Eq = T.find('=');
    if (Eq != std::string_view::npos) {
      const std::string_view Key = Trim(T.substr(0, Eq));
      if (!Key.empty()) {
        L.Kind = lkKey;
        L.Name = std::string(Key);
        L.Value = Unquote(T.substr(Eq + 1));
      }
    }
  }
  L.Raw = std::move(Raw);
  return L;
}

void TIniText::Parse(std::string_view Text) {
  FLines.clear();
  FBom = Text.substr(0, Bom.size()) == Bom;
  if (FBom) Text.remove_prefix(Bom.size());
  const size_t FirstLf = Text.find('\n');
  FLineEnd = FirstLf != std::string_view::npos && FirstLf > 0 && Text[FirstLf - 1] == '\r' ? "\r\n"
             : FirstLf != std::string_view::npos                                           ? "\n"
                                                                                           : "\r\n";
  size_t Pos = 0;
  while (Pos < Text.size()) {
    size_t End = Text.find('\n', Pos);
    if (End == std::string_view::npos) End = Text.size();
    std::string_view Line = Text.substr(Pos, End - Pos);
    const char* LineEnd = "";
    if (End < Text.size()) {
      LineEnd = "\n";
      if (!Line.empty() && Line.back() == '\r') {
        Line.remove_suffix(1);
        LineEnd = "\r\n";
      }
    }
    FLines.push_back(ParseLine(std::string(Line)));
    FLines.back().End = LineEnd;
    Pos = End + 1;
  }
}

std::string TIniText::Text() const {
  std::string S;
  if (FBom) S.append(Bom);
  for (const TLine& L : FLines) {
    S += L.Raw;
    S += L.End.empty() ? FLineEnd : L.End;
  }
  return S;
}

int TIniText::FindSection(std::string_view Section) const {
  Section = Trim(Section);
  for (size_t I = 0; I < FLines.size(); ++I)
    if (FLines[I].Kind == lkSection && SameTextAscii(FLines[I].Name, Section))
      return static_cast<int>(I);
  return -1;
}

int TIniText::FindKey(int Header, std::string_view Ident) const {
  Ident = Trim(Ident);
  for (size_t I = Header + 1; I < FLines.size() && FLines[I].Kind != lkSection; ++I)
    if (FLines[I].Kind == lkKey && SameTextAscii(FLines[I].Name, Ident)) return static_cast<int>(I);
  return -1;
}

bool TIniText::ValueExists(std::string_view Section, std::string_view Ident) const {
  const int Header = FindSection(Section);
  return Header >= 0 && FindKey(Header, Ident) >= 0;
}

std::string TIniText::ReadString(std::string_view Section, std::string_view Ident,
                                 const std::string& Default) const {
  const int Header = FindSection(Section);
  const int Key = Header >= 0 ? FindKey(Header, Ident) : -1;
  return Key >= 0 ? FLines[Key].Value : Default;
}

int32_t TIniText::ReadInteger(std::string_view Section, std::string_view Ident,
                              int32_t Default) const {
  const int Header = FindSection(Section);
  const int Key = Header >= 0 ? FindKey(Header, Ident) : -1;
  int32_t Value = 0;
  if (Key >= 0 && ParseIniInteger(FLines[Key].Value, Value)) return Value;
  return Default;
}

void TIniText::WriteString(std::string_view Section, std::string_view Ident,
                           std::string_view Value) {
  // Anything that would read back as another line, section or key would let a stored value
  // rewrite the file's structure.
  if (HasLineBreakOrNul(Section) || Section.find(']') != std::string_view::npos)
    Refuse("the section name", Section);
  const std::string_view Key = Trim(Ident);
  if (Key.empty() || HasLineBreakOrNul(Key) || Key.find('=') != std::string_view::npos ||
      Key.front() == ';' || Key.front() == '#' || Key.front() == '[')
    Refuse("the key", Ident);
  if (HasLineBreakOrNul(Value)) Refuse("the value of", Ident);

  const int Header = FindSection(Section);
  if (Header < 0) {
    if (!FLines.empty() && !Trim(FLines.back().Raw).empty()) FLines.push_back(ParseLine(""));
    FLines.push_back(ParseLine(Join({"[", Trim(Section), "]"})));
    FLines.push_back(ParseLine(Join({Key, "=", Quote(Value)})));
    return;
  }
  const int Existing = FindKey(Header, Key);
  if (Existing >= 0) {
    std::string LineEnd = std::move(FLines[Existing].End);
    FLines[Existing] = ParseLine(Join({FLines[Existing].Name, "=", Quote(Value)}));
    FLines[Existing].End = std::move(LineEnd);
    return;
  }
  // After the section's last key, so that comments and blank lines leading into the next
  // section stay with it.
  size_t At = Header + 1;
  for (size_t I = Header + 1; I < FLines.size() && FLines[I].Kind != lkSection; ++I)
    if (FLines[I].Kind == lkKey) At = I + 1;
  FLines.insert(FLines.begin() + static_cast<std::ptrdiff_t>(At),
                ParseLine(Join({Key, "=", Quote(Value)})));
}

void TIniText::WriteInteger(std::string_view Section, std::string_view Ident, int32_t Value) {
  WriteString(Section, Ident, std::to_string(Value));
}

std::vector<std::string> TIniText::Sections() const {
  std::vector<std::string> Names;
  for (const TLine& L : FLines)
    if (L.Kind == lkSection) Names.push_back(L.Name);
  return Names;
}

std::vector<std::string> TIniText::Keys(std::string_view Section) const {
  std::vector<std::string> Names;
  const int Header = FindSection(Section);
  if (Header < 0) return Names;
  for (size_t I = Header + 1; I < FLines.size() && FLines[I].Kind != lkSection; ++I)
    if (FLines[I].Kind == lkKey) Names.push_back(FLines[I].Name);
  return Names;
}

// ---------------------------------------------------------------------------------------------
// TDiskIniFile

namespace {

[[noreturn]] void FileError(const std::string& What, const std::string& FileName,
                            const std::string& Reason) {
  throw EIniFileException(What + " \"" + FileName + "\": " + Reason);
}

std::string ErrnoText(int Err) {
  return Err != 0 ? std::strerror(Err) : "I/O error";
}

std::string TempSuffix() {
  // One per thread: ini objects on different threads must not share the generator.
  thread_local std::random_device Device;
  std::uniform_int_distribution<uint64_t> Dist;
  std::ostringstream S;
  S << std::hex << Dist(Device);
  return S.str();
}

}  // namespace

TDiskIniFile::TDiskIniFile(std::string FileName) : FFileName(std::move(FileName)) {
  std::error_code Ec;
  const fs::file_status Status = fs::status(FFileName, Ec);
  if (Status.type() == fs::file_type::not_found) return;
  if (Ec) FileError("Cannot read", FFileName, Ec.message());
  if (Status.type() == fs::file_type::directory)
    FileError("Cannot read", FFileName, "it is a folder");
  std::ifstream In(FFileName, std::ios::binary);
  if (!In) FileError("Cannot read", FFileName, ErrnoText(errno));
  std::ostringstream Buffer;
  // An empty file makes operator<< set failbit without an error; only badbit means one.
  if (In.peek() != std::ifstream::traits_type::eof()) Buffer << In.rdbuf();
  if (In.bad()) FileError("Cannot read", FFileName, "read error");
  FText.Parse(Buffer.str());
}

bool TDiskIniFile::Exists(const std::string& FileName) {
  std::error_code Ec;
  return fs::status(FileName, Ec).type() != fs::file_type::not_found;
}

std::string TDiskIniFile::ReadString(const std::string& Section, const std::string& Ident,
                                     const std::string& Default) {
  return FText.ReadString(Section, Ident, Default);
}

int32_t TDiskIniFile::ReadInteger(const std::string& Section, const std::string& Ident,
                                  int32_t Default) {
  return FText.ReadInteger(Section, Ident, Default);
}

void TDiskIniFile::WriteString(const std::string& Section, const std::string& Ident,
                               const std::string& Value) {
  if (FUpdateCount > 0) {
    FText.WriteString(Section, Ident, Value);
    FDirty = true;
    return;
  }
  // Written through: when the file cannot be written, this object keeps the file's text too.
  TIniText Before = FText;
  FText.WriteString(Section, Ident, Value);
  try {
    UpdateFile();
  } catch (...) {
    FText = std::move(Before);
    throw;
  }
}

void TDiskIniFile::WriteInteger(const std::string& Section, const std::string& Ident,
                                int32_t Value) {
  WriteString(Section, Ident, std::to_string(Value));
}

void TDiskIniFile::EndUpdate() {
  if (FUpdateCount == 0) return;
  if (--FUpdateCount == 0 && FDirty) UpdateFile();
}

void TDiskIniFile::UpdateFile() {
  fs::path Target(FFileName);
  std::error_code Ec;
  // Replacing a symbolic link by a plain file would cut it off from the file it names.
  if (fs::is_symlink(Target, Ec)) {
    fs::path Real = fs::weakly_canonical(Target, Ec);
    if (!Ec) Target = Real;
  }
  const fs::path Temp =
      Target.parent_path() / Join({".", Target.filename().string(), ".", TempSuffix(), ".tmp"});
  {
    std::ofstream Out(Temp, std::ios::binary | std::ios::trunc);
    if (!Out) FileError("Cannot write", FFileName, ErrnoText(errno));
    // The new file gets the old one's permissions before any text reaches it, so a private
    // file's contents are never readable by others, not even in the temporary file.
    const fs::file_status Old = fs::status(Target, Ec);
    if (!Ec && Old.type() == fs::file_type::regular)
      fs::permissions(Temp, Old.permissions(), fs::perm_options::replace, Ec);
    const std::string Text = FText.Text();
    Out.write(Text.data(), static_cast<std::streamsize>(Text.size()));
    Out.flush();
    const int Err = errno;
    if (!Out) {
      Out.close();
      fs::remove(Temp, Ec);
      FileError("Cannot write", FFileName, ErrnoText(Err));
    }
    Out.close();
    if (!Out) {
      fs::remove(Temp, Ec);
      FileError("Cannot write", FFileName, "closing failed");
    }
  }
  fs::rename(Temp, Target, Ec);
  if (Ec) {
    std::error_code Ignored;
    fs::remove(Temp, Ignored);
    FileError("Cannot write", FFileName, Ec.message());
  }
  FDirty = false;
}

}  // namespace comfind
