// Port details on Windows itself (under Wine in the tests): SetupAPI and the registry asked for
// real, and a port named the ways Windows lets a user name it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "port/ComEnum.h"

namespace comfind {

TEST(Win32PortDetails, EveryListedPortHasItsRecord) {
  TStringList Names;
  ListComPorts(Names);
  std::vector<TComPortDetails> Details;
  if (!ListComPortDetails(Details)) {
    // Neither the registry list nor SetupAPI answered: the plain list is empty as well.
    EXPECT_EQ(Names.Count(), 0);
    return;
  }
  for (const std::string& Name : Names.Items()) {
    const TComPortDetails D = FindComPortDetails(Details, Name);
    EXPECT_EQ(D.Path, "\\\\.\\" + D.Name) << Name;
    EXPECT_FALSE(D.Console) << Name;
  }
}

TEST(Win32PortDetails, APortIsFoundByItsNameInAnyCaseOrItsDevicePath) {
  std::vector<TComPortDetails> List(2);
  List[0].Name = "COM7";
  List[0].SerialNumber = "A50285BI";
  List[1].Name = "COM10";
  for (const char* Port : {"COM7", "com7", "\\\\.\\COM7", "\\\\.\\cOm7"})
    EXPECT_EQ(FindComPortDetails(List, Port).SerialNumber, "A50285BI") << Port;
  const TComPortDetails None = FindComPortDetails(List, "COM70");
  EXPECT_EQ(None.Name, "COM70");
  EXPECT_EQ(None.SerialNumber, "");
}

}  // namespace comfind
