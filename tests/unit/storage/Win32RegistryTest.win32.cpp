// The real Windows registry key: the same value rules as the in-memory key, and a port's
// settings through it. Works in a private key under HKEY_CURRENT_USER that it deletes again.
#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <string>

#include "StorageTestUtil.h"
#include "port/storage/Registry.h"

namespace comfind {

namespace {

class Win32Registry : public testing::Test {
 protected:
  void SetUp() override {
    std::random_device Rd;
    std::ostringstream Name;
    Name << "Software\\comfind-tests\\storage-" << std::hex << Rd() << Rd();
    FPath = Name.str();
  }
  void TearDown() override {
    TWin32Registry::DeleteKeyTree(rkCurrentUser, FPath);
    TWin32Registry::DeleteKeyTree(rkCurrentUser, "Software\\comfind-tests");
  }
  std::string FPath;
};

}  // namespace

TEST_F(Win32Registry, OpeningForReadingNeedsAnExistingKey) {
  EXPECT_THROW(TWin32Registry(rkCurrentUser, FPath, raRead), ERegistryException);
  { TWin32Registry Created(rkCurrentUser, FPath, raReadWrite); }
  EXPECT_NO_THROW(TWin32Registry(rkCurrentUser, FPath, raRead));
  EXPECT_TRUE(TWin32Registry::DeleteKeyTree(rkCurrentUser, FPath));
  EXPECT_FALSE(TWin32Registry::DeleteKeyTree(rkCurrentUser, FPath));
  EXPECT_THROW(TWin32Registry::DeleteKeyTree(rkCurrentUser, ""), ERegistryException);
}

TEST_F(Win32Registry, ValuesKeepTheirTypesAndBytes) {
  TWin32Registry Reg(rkCurrentUser, FPath, raReadWrite);
  Reg.WriteString("Port", "COM7");
  Reg.WriteInteger("Timeouts.ReadInterval", -1);
  TRegValue V;
  ASSERT_TRUE(Reg.QueryValue("Port", V));
  EXPECT_EQ(V.Type, rvSz);
  EXPECT_EQ(V.Data, std::string("COM7\0", 5));
  ASSERT_TRUE(Reg.QueryValue("Timeouts.ReadInterval", V));
  EXPECT_EQ(V.Type, rvDword);
  EXPECT_EQ(V.Data, std::string("\xFF\xFF\xFF\xFF", 4));
  EXPECT_FALSE(Reg.QueryValue("Missing", V));

  EXPECT_EQ(Reg.ReadString("port"), "COM7");
  EXPECT_EQ(Reg.ReadInteger("Timeouts.ReadInterval"), -1);
  EXPECT_EQ(Reg.ReadString("Missing"), "");
  EXPECT_THROW(Reg.ReadInteger("Missing"), ERegistryException);
  EXPECT_THROW(Reg.ReadInteger("Port"), ERegistryException);
  EXPECT_THROW(Reg.ReadString("Timeouts.ReadInterval"), ERegistryException);

  Reg.SetValue("Binary", rvBinary, std::string("\x01\x00\x02", 3));
  ASSERT_TRUE(Reg.QueryValue("Binary", V));
  EXPECT_EQ(V.Data, std::string("\x01\x00\x02", 3));
  EXPECT_THROW(Reg.ReadString("Binary"), ERegistryException);
  Reg.SetValue("Empty", rvBinary, "");
  EXPECT_EQ(Reg.ReadString("Empty"), "");
  // A large value is read whole, not cut at a first guess of its size.
  const std::string Long(70000, 'x');
  Reg.WriteString("Long", Long);
  EXPECT_EQ(Reg.ReadString("Long"), Long);
}

TEST_F(Win32Registry, APortsSettingsRoundTripThroughAKeyTheCallerOpened) {
  TWin32Registry Owner(rkCurrentUser, FPath, raReadWrite);
  TWin32Registry Reg(Owner.Key());
  auto From = std::make_unique<TComPort>(nullptr);
  From->SetName("cpCheck");
  From->SetStoredProps(AllStoredProps());
  From->SetPort_("COM12");
  From->SetBaudRate(brCustom);
  From->SetCustomBaudRate(31250);
  From->SetEventChar(static_cast<char>(200));
  From->FlowControl().SetFlowControl(fcHardware);
  From->Timeouts().SetReadInterval(5);
  From->StoreToRegistry(Reg);
  auto To = std::make_unique<TComPort>(nullptr);
  To->SetStoredProps(AllStoredProps());
  To->LoadFromRegistry(Reg);
  EXPECT_EQ(Snapshot(*To), Snapshot(*From));
}

}  // namespace comfind
