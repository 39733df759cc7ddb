// The registry value rules (types, absence, sizes) over the in-memory key.
#include <gtest/gtest.h>

#include <string>

#include "port/storage/Registry.h"

namespace comfind {

TEST(RegistryWrite, StringsAreNulTerminatedSzAndIntegersLittleEndianDwords) {
  TMemoryRegistry Reg;
  Reg.WriteString("Port", "COM7");
  Reg.WriteInteger("Buffer.InputSize", -2);
  Reg.WriteInteger("Small", 0x01020304);
  TRegValue V;
  ASSERT_TRUE(Reg.QueryValue("Port", V));
  EXPECT_EQ(V.Type, rvSz);
  EXPECT_EQ(V.Data, std::string("COM7\0", 5));
  ASSERT_TRUE(Reg.QueryValue("Buffer.InputSize", V));
  EXPECT_EQ(V.Type, rvDword);
  EXPECT_EQ(V.Data, std::string("\xFE\xFF\xFF\xFF", 4));
  ASSERT_TRUE(Reg.QueryValue("Small", V));
  EXPECT_EQ(V.Data, std::string("\x04\x03\x02\x01", 4));

  EXPECT_EQ(Reg.ReadString("Port"), "COM7");
  EXPECT_EQ(Reg.ReadInteger("Buffer.InputSize"), -2);
  EXPECT_EQ(Reg.ReadInteger("Small"), 0x01020304);
}

TEST(RegistryWrite, RewritingAValueReplacesItsTypeAndNamesIgnoreCase) {
  TMemoryRegistry Reg;
  Reg.WriteInteger("Parity", 3);
  Reg.WriteString("PARITY", "Even");
  EXPECT_EQ(Reg.ValueNames(), std::vector<std::string>{"Parity"});
  EXPECT_EQ(Reg.ReadString("parity"), "Even");
  EXPECT_THROW(Reg.ReadInteger("Parity"), ERegistryException);
  EXPECT_TRUE(Reg.DeleteValue("pArItY"));
  EXPECT_FALSE(Reg.ValueExists("Parity"));
  EXPECT_TRUE(Reg.ValueNames().empty());
}

TEST(RegistryReadString, AbsentOrEmptyValuesAreEmptyText) {
  TMemoryRegistry Reg;
  EXPECT_EQ(Reg.ReadString("Missing"), "");
  // A value of size 0 is empty text whatever its type claims.
  Reg.SetValue("EmptyBinary", rvBinary, "");
  Reg.SetValue("EmptySz", rvSz, "");
  EXPECT_EQ(Reg.ReadString("EmptyBinary"), "");
  EXPECT_EQ(Reg.ReadString("EmptySz"), "");
  Reg.WriteString("Blank", "");
  EXPECT_EQ(Reg.ReadString("Blank"), "");
}

TEST(RegistryReadString, TextEndsAtItsFirstNulAndExpandSzIsText) {
  TMemoryRegistry Reg;
  Reg.SetValue("NoNul", rvSz, "COM3");
  Reg.SetValue("TwoStrings", rvSz, std::string("COM3\0COM4\0", 10));
  Reg.SetValue("Expand", rvExpandSz, std::string("%PORT%\0", 7));
  EXPECT_EQ(Reg.ReadString("NoNul"), "COM3");
  EXPECT_EQ(Reg.ReadString("TwoStrings"), "COM3");
  EXPECT_EQ(Reg.ReadString("Expand"), "%PORT%");
  // Bytes of code page 1251 pass unchanged.
  Reg.WriteString("Cyrillic", "\xCF\xEE\xF0\xF2");
  EXPECT_EQ(Reg.ReadString("Cyrillic"), "\xCF\xEE\xF0\xF2");
}

TEST(RegistryReadString, NonTextTypesAreErrors) {
  TMemoryRegistry Reg;
  Reg.WriteInteger("Dword", 5);
  Reg.SetValue("Binary", rvBinary, "AB");
  Reg.SetValue("Multi", rvMultiSz, std::string("A\0\0", 3));
  for (const char* Name : {"Dword", "Binary", "Multi"})
    EXPECT_THROW(Reg.ReadString(Name), ERegistryException) << Name;
}

TEST(RegistryReadInteger, AbsentOtherTypesAndOtherSizesAreErrors) {
  TMemoryRegistry Reg;
  Reg.WriteString("Text", "12");
  Reg.SetValue("Binary4", rvBinary, std::string("\x01\0\0\0", 4));
  Reg.SetValue("Qword", rvQword, std::string(8, '\0'));
  Reg.SetValue("ShortDword", rvDword, std::string("\x01\x02", 2));
  Reg.SetValue("EmptyDword", rvDword, "");
  for (const char* Name : {"Missing", "Text", "Binary4", "Qword", "ShortDword", "EmptyDword"})
    EXPECT_THROW(Reg.ReadInteger(Name), ERegistryException) << Name;
  try {
    Reg.ReadInteger("Binary4");
    FAIL() << "no exception";
  } catch (const ERegistryException& E) {
    EXPECT_NE(E.Message().find("Binary4"), std::string::npos) << E.Message();
    EXPECT_NE(E.Message().find("REG_BINARY"), std::string::npos) << E.Message();
  }
}

TEST(RegistryReadInteger, ExtremeValuesRoundTrip) {
  TMemoryRegistry Reg;
  for (int32_t V : {0, 1, -1, INT32_MIN, INT32_MAX, 0x7F, 0x80, 0xFF00}) {
    Reg.WriteInteger("V", V);
    EXPECT_EQ(Reg.ReadInteger("V"), V);
  }
}

}  // namespace comfind
