// Ini files: the text layout (sections, keys, comments, malformed lines, quoting, integers) and
// the file on disk (absent files, write-through, all-or-nothing replacement).
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "StorageTestUtil.h"
#include "port/storage/IniFile.h"

namespace comfind {

namespace fs = std::filesystem;

// ---------------------------------------------------------------------------------------------
// Reading the layout

TEST(IniText, SectionsKeysAndCommentsAsAHandEditedFileHasThem) {
  const TIniText Ini(
      "; settings of the bench\n"
      "Orphan=before any section\n"
      "[cpCheck]\n"
      "  Port = COM3  \n"
      "BaudRate=19200\n"
      "; BaudRate=300\n"
      "# Parity=Odd\n"
      "Empty=\n"
      "Eq=a=b\n"
      "[ Other ]  trailing words\n"
      "Port=COM9\n");
  EXPECT_EQ(Ini.Sections(), (std::vector<std::string>{"cpCheck", "Other"}));
  EXPECT_EQ(Ini.Keys("cpCheck"), (std::vector<std::string>{"Port", "BaudRate", "Empty", "Eq"}));
  EXPECT_EQ(Ini.ReadString("cpCheck", "Port", "?"), "COM3");
  EXPECT_EQ(Ini.ReadString("CPCHECK", "baudrate", "?"), "19200");
  EXPECT_EQ(Ini.ReadString("cpCheck", "Parity", "dflt"), "dflt");
  EXPECT_EQ(Ini.ReadString("cpCheck", "Empty", "dflt"), "");
  EXPECT_EQ(Ini.ReadString("cpCheck", "Eq", ""), "a=b");
  EXPECT_EQ(Ini.ReadString("Other", "Port", "?"), "COM9");
  EXPECT_EQ(Ini.ReadString("cpCheck", "Orphan", "none"), "none");
  EXPECT_EQ(Ini.ReadString("Missing", "Port", "none"), "none");
}

TEST(IniText, MalformedLinesAreSkippedWithoutLosingTheRest) {
  const std::string Text =
      "[cpCheck\n"
      "Port=COM1\n"
      "[cpCheck]\n"
      "just some words\n"
      "=no key\n"
      "   \t\n"
      "Port=COM5\n"
      "[\n"
      "BaudRate=600\n"
      "[]\n"
      "Parity=Odd\n";
  const TIniText Ini(Text);
  // "[cpCheck" opens nothing, so the first Port belongs to no section.
  EXPECT_EQ(Ini.ReadString("cpCheck", "Port", "?"), "COM5");
  EXPECT_EQ(Ini.ReadString("cpCheck", "BaudRate", "?"), "600");
  EXPECT_EQ(Ini.ReadString("", "Parity", "?"), "Odd");
  EXPECT_EQ(Ini.Text(), Text);
}

TEST(IniText, TheFirstOfRepeatedSectionsAndKeysCounts) {
  TIniText Ini("[A]\nK=1\nK=2\n[a]\nK=3\nL=4\n");
  EXPECT_EQ(Ini.ReadString("A", "K", ""), "1");
  EXPECT_EQ(Ini.ReadString("A", "L", "none"), "none");
  Ini.WriteString("A", "k", "9");
  EXPECT_EQ(Ini.Text(), "[A]\nK=9\nK=2\n[a]\nK=3\nL=4\n");
}

TEST(IniText, LineEndsAndByteOrderMarkAreKept) {
  TIniText Crlf("[S]\r\nA=1\r\n");
  Crlf.WriteString("S", "B", "2");
  EXPECT_EQ(Crlf.Text(), "[S]\r\nA=1\r\nB=2\r\n");
  TIniText Lf("[S]\nA=1");
  Lf.WriteString("S", "A", "3");
  EXPECT_EQ(Lf.Text(), "[S]\nA=3\n");
  TIniText Bom("\xEF\xBB\xBF[S]\nA=1\n");
  EXPECT_EQ(Bom.ReadString("S", "A", ""), "1");
  Bom.WriteString("S", "A", "2");
  EXPECT_EQ(Bom.Text(), "\xEF\xBB\xBF[S]\nA=2\n");
  // Mixed ends, and a stray CR before one, come back byte for byte.
  TIniText Mixed("[S]\r\nA=1\nB=x\r\r\n");
  EXPECT_EQ(Mixed.ReadString("S", "B", ""), "x");
  Mixed.WriteString("S", "C", "2");
  EXPECT_EQ(Mixed.Text(), "[S]\r\nA=1\nB=x\r\r\nC=2\r\n");
  TIniText Empty;
  Empty.WriteString("S", "A", "1");
  EXPECT_EQ(Empty.Text(), "[S]\r\nA=1\r\n");
}

// ---------------------------------------------------------------------------------------------
// Writing the layout

TEST(IniText, ANewKeyGoesAfterTheSectionsLastKeyAndANewSectionAtTheEnd) {
  TIniText Ini(
      "[cpCheck]\n"
      "Port=COM1\n"
      "; notes on the next section\n"
      "\n"
      "[Other]\n"
      "X=1\n");
  Ini.WriteString("cpCheck", "BaudRate", "9600");
  Ini.WriteString("New", "Key", "v");
  EXPECT_EQ(Ini.Text(),
            "[cpCheck]\n"
            "Port=COM1\n"
            "BaudRate=9600\n"
            "; notes on the next section\n"
            "\n"
            "[Other]\n"
            "X=1\n"
            "\n"
            "[New]\n"
            "Key=v\n");
  TIniText HeaderOnly("[S]\n; c\n");
  HeaderOnly.WriteString("S", "K", "v");
  EXPECT_EQ(HeaderOnly.Text(), "[S]\nK=v\n; c\n");
}

TEST(IniText, EveryValueReadsBackAsWritten) {
  TIniText Ini;
  const std::vector<std::string> Values = {"",      " ",    "  lead", "trail\t", "\"",
                                           "\"q\"", "\"\"", "\"a",    "a\"",     "# not a comment",
                                           ";x",    "[S]",  "a=b",    "#",       "\x7F\xC0\xFF",
                                           "\" x "};
  for (size_t I = 0; I < Values.size(); ++I)
    Ini.WriteString("S", std::string("K").append(std::to_string(I)), Values[I]);
  const TIniText Reparsed(Ini.Text());
  for (size_t I = 0; I < Values.size(); ++I)
    EXPECT_EQ(Reparsed.ReadString("S", std::string("K").append(std::to_string(I)), "?"), Values[I])
        << I;
}

TEST(IniText, TextsThatWouldChangeTheFilesStructureAreRefused) {
  TIniText Ini("[S]\nA=1\n");
  const std::string Before = Ini.Text();
  EXPECT_THROW(Ini.WriteString("S", "A", "x\n[Evil]\nB=2"), EIniFileException);
  EXPECT_THROW(Ini.WriteString("S", "A", "x\ry"), EIniFileException);
  EXPECT_THROW(Ini.WriteString("S", "A", std::string("x\0y", 3)), EIniFileException);
  EXPECT_THROW(Ini.WriteString("S", "K=V", "1"), EIniFileException);
  EXPECT_THROW(Ini.WriteString("S", "", "1"), EIniFileException);
  EXPECT_THROW(Ini.WriteString("S", "  ", "1"), EIniFileException);
  EXPECT_THROW(Ini.WriteString("S", ";K", "1"), EIniFileException);
  EXPECT_THROW(Ini.WriteString("S", "[K]", "1"), EIniFileException);
  EXPECT_THROW(Ini.WriteString("S]x", "K", "1"), EIniFileException);
  EXPECT_THROW(Ini.WriteString("S\n", "K", "1"), EIniFileException);
  EXPECT_EQ(Ini.Text(), Before);
}

// ---------------------------------------------------------------------------------------------
// Integers

TEST(IniInteger, DecimalWithSignOrHexFillingTheWholeValue) {
  struct Case {
    const char* Text;
    bool Ok;
    int32_t Value;
  };
  const Case Cases[] = {
      {"0", true, 0},
      {"-0", true, 0},
      {"+7", true, 7},
      {"0042", true, 42},
      {"2147483647", true, INT32_MAX},
      {"-2147483648", true, INT32_MIN},
      {"2147483648", false, 0},
      {"-2147483649", false, 0},
      {"99999999999999999999999", false, 0},
      {"0x10", true, 16},
      {"0XfF", true, 255},
      {"0xFFFFFFFF", true, -1},
      {"0x80000000", true, INT32_MIN},
      {"0x100000000", false, 0},
      {"0x", false, 0},
      {"0x-1", false, 0},
      {"-0x1", false, 0},
      {"", false, 0},
      {"-", false, 0},
      {"+", false, 0},
      {"--5", false, 0},
      {"+-5", false, 0},
      {"12abc", false, 0},
      {"1e3", false, 0},
      {" 5", false, 0},
      {"5 ", false, 0},
      {"1,000", false, 0},
  };
  for (const Case& C : Cases) {
    int32_t V = 12345;
    EXPECT_EQ(ParseIniInteger(C.Text, V), C.Ok) << '"' << C.Text << '"';
    if (C.Ok)
      EXPECT_EQ(V, C.Value) << C.Text;
    else
      EXPECT_EQ(V, 12345) << C.Text << " changed the result";
  }
}

TEST(IniInteger, ReadIntegerFallsBackToTheDefaultForAnythingButANumber) {
  TIniText Ini("[S]\nA= 12 \nB=twelve\nC=\nD=\"7\"\n");
  EXPECT_EQ(Ini.ReadInteger("S", "A", -1), 12);
  EXPECT_EQ(Ini.ReadInteger("S", "B", -1), -1);
  EXPECT_EQ(Ini.ReadInteger("S", "C", -1), -1);
  EXPECT_EQ(Ini.ReadInteger("S", "D", -1), 7);
  EXPECT_EQ(Ini.ReadInteger("S", "Missing", 99), 99);
  Ini.WriteInteger("S", "E", INT32_MIN);
  EXPECT_EQ(Ini.ReadString("S", "E", ""), "-2147483648");
  EXPECT_EQ(Ini.ReadInteger("S", "E", 0), INT32_MIN);
}

// ---------------------------------------------------------------------------------------------
// The file on disk

TEST(DiskIniFile, AFileThatDoesNotExistReadsAsEmptyAndIsCreatedByAWrite) {
  TTempDir Dir;
  const std::string Name = Dir.File("new.ini");
  TDiskIniFile Ini(Name);
  EXPECT_EQ(Ini.ReadString("S", "K", "dflt"), "dflt");
  EXPECT_EQ(Ini.ReadInteger("S", "K", 5), 5);
  EXPECT_FALSE(fs::exists(Name));
  Ini.WriteString("S", "K", "v");
  Ini.WriteInteger("S", "N", -3);
  EXPECT_EQ(ReadFileBytes(Name), "[S]\r\nK=v\r\nN=-3\r\n");
  EXPECT_EQ(Dir.Entries(), std::vector<std::string>{"new.ini"});
  // A second object sees what the first wrote.
  TDiskIniFile Again(Name);
  EXPECT_EQ(Again.ReadInteger("S", "N", 0), -3);
}

TEST(DiskIniFile, WritesAreHeldBackInsideAnUpdate) {
  TTempDir Dir;
  const std::string Name = Dir.File("batch.ini");
  WriteFileBytes(Name, "[S]\nA=1\n");
  TDiskIniFile Ini(Name);
  Ini.BeginUpdate();
  Ini.BeginUpdate();
  Ini.WriteString("S", "A", "2");
  Ini.WriteString("S", "B", "3");
  Ini.EndUpdate();
  EXPECT_EQ(ReadFileBytes(Name), "[S]\nA=1\n");
  EXPECT_EQ(Ini.ReadString("S", "A", ""), "2");
  Ini.EndUpdate();
  EXPECT_EQ(ReadFileBytes(Name), "[S]\nA=2\nB=3\n");
}

TEST(DiskIniFile, AnEmptyFileAndAFolderInItsPlace) {
  TTempDir Dir;
  WriteFileBytes(Dir.File("empty.ini"), "");
  TDiskIniFile Empty(Dir.File("empty.ini"));
  EXPECT_EQ(Empty.ReadString("S", "K", "d"), "d");
  fs::create_directory(Dir.Path() / "folder.ini");
  EXPECT_THROW(TDiskIniFile(Dir.File("folder.ini")), EIniFileException);
}

TEST(DiskIniFile, AFailedWriteLeavesNoPartialFileAndNoChange) {
  TTempDir Dir;
  // The rename's target became a folder after the file was read.
  const std::string Name = Dir.File("target.ini");
  TDiskIniFile Ini(Name);
  fs::create_directory(Name);
  WriteFileBytes((fs::path(Name) / "inside").string(), "x");
  EXPECT_THROW(Ini.WriteString("S", "K", "v"), EIniFileException);
  EXPECT_EQ(Dir.Entries(), std::vector<std::string>{"target.ini"});
  EXPECT_TRUE(fs::is_directory(Name));
  EXPECT_EQ(ReadFileBytes((fs::path(Name) / "inside").string()), "x");
  // The object still holds the file's old text, so a retry writes only what it is asked to.
  EXPECT_EQ(Ini.ReadString("S", "K", "old"), "old");

  // The folder vanished: the temporary file cannot even be created.
  const fs::path Sub = Dir.Path() / "sub";
  fs::create_directory(Sub);
  WriteFileBytes((Sub / "s.ini").string(), "[S]\nK=1\n");
  TDiskIniFile Gone((Sub / "s.ini").string());
  fs::remove_all(Sub);
  EXPECT_THROW(Gone.WriteString("S", "K", "2"), EIniFileException);
  EXPECT_EQ(Gone.ReadString("S", "K", ""), "1");
  EXPECT_FALSE(fs::exists(Sub));
}

TEST(DiskIniFile, TheFileIsReplacedNotRewrittenInPlace) {
  // A second name for the old file's contents: rewriting in place would change what it shows,
  // and a reader of the old file could then see a half-written one.
  TTempDir Dir;
  const std::string Name = Dir.File("s.ini");
  WriteFileBytes(Name, "[S]\nA=1\n");
  std::error_code Ec;
  fs::create_hard_link(Name, Dir.File("old.ini"), Ec);
  if (Ec) GTEST_SKIP() << "no hard links here: " << Ec.message();
  TDiskIniFile Ini(Name);
  Ini.WriteString("S", "A", "2");
  EXPECT_EQ(ReadFileBytes(Name), "[S]\nA=2\n");
  EXPECT_EQ(ReadFileBytes(Dir.File("old.ini")), "[S]\nA=1\n");
}

TEST(DiskIniFile, AFailedBatchKeepsTheOldFileWhole) {
  TTempDir Dir;
  const std::string Name = Dir.File("keep.ini");
  const std::string Old = "; keep me\n[S]\nA=1\n";
  WriteFileBytes(Name, Old);
  TDiskIniFile Ini(Name);
  Ini.BeginUpdate();
  Ini.WriteString("S", "A", "2");
  EXPECT_THROW(Ini.WriteString("S", "B", "line\nbreak"), EIniFileException);
  Ini.CancelUpdate();
  EXPECT_EQ(ReadFileBytes(Name), Old);
  EXPECT_EQ(Dir.Entries(), std::vector<std::string>{"keep.ini"});
}

TEST(DiskIniFile, ReplacingKeepsTheFilesPermissions) {
  TTempDir Dir;
  const std::string Name = Dir.File("private.ini");
  WriteFileBytes(Name, "[S]\nA=1\n");
  fs::permissions(Name, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::replace);
  const fs::perms Before = fs::status(Name).permissions();
  TDiskIniFile Ini(Name);
  Ini.WriteString("S", "A", "2");
  EXPECT_EQ(ReadFileBytes(Name), "[S]\nA=2\n");
  EXPECT_EQ(fs::status(Name).permissions(), Before);
}

TEST(DiskIniFile, WritingThroughASymbolicLinkReplacesTheFileItNames) {
  TTempDir Dir;
  const std::string Real = Dir.File("real.ini");
  WriteFileBytes(Real, "[S]\nA=1\n");
  const std::string Link = Dir.File("link.ini");
  std::error_code Ec;
  fs::create_symlink("real.ini", Link, Ec);
  if (Ec) GTEST_SKIP() << "no symbolic links here: " << Ec.message();

  TDiskIniFile Ini(Link);
  EXPECT_EQ(Ini.ReadString("S", "A", ""), "1");
  Ini.WriteString("S", "A", "2");
  EXPECT_TRUE(fs::is_symlink(Link));
  EXPECT_EQ(ReadFileBytes(Real), "[S]\nA=2\n");
  EXPECT_EQ(Dir.Entries(), (std::vector<std::string>{"link.ini", "real.ini"}));
}

}  // namespace comfind
