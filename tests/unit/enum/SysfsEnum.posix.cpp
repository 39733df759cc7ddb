// Port enumeration over fabricated sysfs and /dev trees: which tty entries count as serial
// ports (consoles and bound Bluetooth ports included), their order, and what an unreadable
// tree does to the caller's list.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "port/ComEnum.h"

namespace comfind {

namespace fs = std::filesystem;

namespace {

// A throw-away root holding "sys" and "dev", removed at the end of the test.
class TFakeMachine {
 public:
  TFakeMachine() {
    std::random_device Rd;
    FRoot = fs::temp_directory_path() / ("comfind-enum-" + std::to_string(Rd()));
    fs::create_directories(Tty());
    fs::create_directories(Dev());
    fs::create_directories(FRoot / "sys" / "devices" / "platform" / "serial8250");
  }
  ~TFakeMachine() {
    std::error_code Ignored;
    fs::remove_all(FRoot, Ignored);
  }
  fs::path Sys() const { return FRoot / "sys"; }
  fs::path Dev() const { return FRoot / "dev"; }
  fs::path Tty() const { return FRoot / "sys" / "class" / "tty"; }

  // A tty entry. WithDevice adds the "device" link, Type (when >= 0) the serial-core "type"
  // attribute, WithNode the /dev node.
  void AddTty(const std::string& Name, bool WithDevice, int Type = -1, bool WithNode = true) {
    const fs::path Entry = Tty() / Name;
    fs::create_directories(Entry);
    if (WithDevice)
      fs::create_directory_symlink(FRoot / "sys" / "devices" / "platform" / "serial8250",
                                   Entry / "device");
    if (Type >= 0) std::ofstream(Entry / "type") << Type << "\n";
    if (WithNode) std::ofstream(Dev() / Name).put('\0');
  }
  void Serial(const std::string& Name) { AddTty(Name, true); }
  // The kernel's list of active consoles, as in <sysfs>/class/tty/console/active.
  void Consoles(const std::string& Active) {
    fs::create_directories(Tty() / "console");
    std::ofstream(Tty() / "console" / "active") << Active;
  }
  // An RFCOMM port bound to a Bluetooth address but not connected: no device link yet.
  void BoundRfcomm(const std::string& Name, bool WithNode = true) {
    AddTty(Name, false, -1, WithNode);
    std::ofstream(Tty() / Name / "address") << "00:11:22:33:44:55\n";
    std::ofstream(Tty() / Name / "channel") << "1\n";
  }

  std::vector<std::string> List() const {
    TStringList L;
    ListComPortsFrom(L, Sys().string(), Dev().string());
    return L.Items();
  }

 private:
  fs::path FRoot;
};

using Names = std::vector<std::string>;

}  // namespace

TEST(PortEnumerationTest, ListsOnlyTtysBackedByARealDeviceWithANode) {
  TFakeMachine M;
  M.AddTty("tty0", false);  // virtual console: no device link
  M.AddTty("ptmx", false);
  M.AddTty("ttyS0", true, 4);        // a 16550A
  M.AddTty("ttyS1", true, 0);        // an empty 8250 slot
  M.AddTty("ttyS2", true, 0, true);  // another phantom, node present
  M.AddTty("ttyUSB0", true);         // USB serial: no type attribute at all
  M.AddTty("ttyACM0", true);
  M.AddTty("ttyS3", true, 4, false);  // host device not visible in this /dev
  EXPECT_EQ(M.List(), (Names{"ttyACM0", "ttyS0", "ttyUSB0"}));
}

TEST(PortEnumerationTest, LeavesOutTheActiveConsolesAndOnlyThem) {
  const struct {
    const char* Active;  // the kernel's list, null for none at all
    Names Listed;
  } Cases[] = {
      {nullptr, {"ttyS0", "ttyS1", "ttyUSB0"}},
      {"", {"ttyS0", "ttyS1", "ttyUSB0"}},
      {"tty0 ttyS0\n", {"ttyS1", "ttyUSB0"}},
      // Several serial consoles, a USB-serial one among them, and a name that is no port.
      {"ttyUSB0 ttyS1 tty0 netcon0\n", {"ttyS0"}},
      // Only whole names: ttyS1 is no prefix of ttyS10, nor the other way round.
      {"ttyS10\n", {"ttyS0", "ttyS1", "ttyUSB0"}},
  };
  for (const auto& Case : Cases) {
    TFakeMachine M;
    M.AddTty("console", false);  // /dev/console itself: never a port
    M.AddTty("tty0", false);
    M.AddTty("ttyS0", true, 4);
    M.AddTty("ttyS1", true, 4);
    M.Serial("ttyUSB0");
    if (Case.Active) M.Consoles(Case.Active);
    EXPECT_EQ(M.List(), Case.Listed) << (Case.Active ? Case.Active : "(no active file)");
  }
}

TEST(PortEnumerationTest, ListsBoundBluetoothPortsThatHaveNoDeviceYet) {
  TFakeMachine M;
  M.BoundRfcomm("rfcomm0");
  M.BoundRfcomm("rfcomm1", false);  // no node: nothing could open it
  M.AddTty("rfcomm2", true);        // connected: the device link is there
  M.AddTty("tty5", false);          // neither a device nor an RFCOMM binding
  std::ofstream(M.Tty() / "tty5" / "channel") << "1\n";
  M.Serial("ttyUSB0");
  EXPECT_EQ(M.List(), (Names{"rfcomm0", "rfcomm2", "ttyUSB0"}));
}

TEST(PortEnumerationTest, SortsNaturallyIgnoringCaseAndKeepsNamesAsStored) {
  TFakeMachine M;
  for (const char* N : {"ttyS2", "ttyS10", "ttyS1", "ttyb", "ttyA", "ttyC", "ttyUSB10", "ttyUSB2"})
    M.Serial(N);
  // ASCII order would put the upper-case names first; textual order ttyS10 before ttyS2.
  EXPECT_EQ(M.List(),
            (Names{"ttyA", "ttyb", "ttyC", "ttyS1", "ttyS2", "ttyS10", "ttyUSB2", "ttyUSB10"}));
}

TEST(PortEnumerationTest, NamesEqualButForCaseAreBothKeptSideBySide) {
  TFakeMachine M;
  M.Serial("ttyX1");
  M.Serial("TTYX1");
  M.Serial("ttyA");
  M.Serial("ttyZ");
  const Names L = M.List();
  ASSERT_EQ(L.size(), 4u);
  EXPECT_EQ(L[0], "ttyA");
  EXPECT_TRUE((L[1] == "ttyX1" && L[2] == "TTYX1") || (L[1] == "TTYX1" && L[2] == "ttyX1"));
  EXPECT_EQ(L[3], "ttyZ");
}

TEST(PortEnumerationTest, ReplacesThePreviousContentsEvenWithNothingToList) {
  TFakeMachine M;
  M.AddTty("tty1", false);
  TStringList L;
  L.Add("COM99");
  L.Add("stale");
  ListComPortsFrom(L, M.Sys().string(), M.Dev().string());
  EXPECT_EQ(L.Count(), 0);

  M.Serial("ttyUSB3");
  L.Add("stale");
  ListComPortsFrom(L, M.Sys().string(), M.Dev().string());
  EXPECT_EQ(L.Items(), (Names{"ttyUSB3"}));
}

TEST(PortEnumerationTest, AnUnreadableTreeLeavesTheCallersListUntouched) {
  TFakeMachine M;
  M.Serial("ttyUSB0");
  const Names Before{"kept1", "kept0"};

  TStringList L;
  L.SetItems(Before);
  ListComPortsFrom(L, (M.Sys() / "absent").string(), M.Dev().string());
  EXPECT_EQ(L.Items(), Before);

  // class/tty present but not a directory
  fs::remove_all(M.Tty());
  std::ofstream(M.Tty()) << "x";
  ListComPortsFrom(L, M.Sys().string(), M.Dev().string());
  EXPECT_EQ(L.Items(), Before);
}

TEST(PortEnumerationTest, TheMachinesOwnListIsSortedAndOpenableByName) {
  // Reads sysfs only; no port is opened.
  TStringList L;
  L.Add("sentinel");
  ListComPorts(L);
  if (!fs::exists("/sys/class/tty")) {
    EXPECT_EQ(L.Items(), (Names{"sentinel"}));
    return;
  }
  std::ifstream Active("/sys/class/tty/console/active");
  const Names Consoles{std::istream_iterator<std::string>(Active),
                       std::istream_iterator<std::string>()};
  for (int I = 0; I < L.Count(); ++I) {
    EXPECT_NE(L[I], "sentinel");
    EXPECT_TRUE(fs::exists("/dev/" + L[I])) << L[I];
    EXPECT_TRUE(fs::exists("/sys/class/tty/" + L[I] + "/device") ||
                fs::exists("/sys/class/tty/" + L[I] + "/channel"))
        << L[I];
    EXPECT_EQ(std::count(Consoles.begin(), Consoles.end(), L[I]), 0) << L[I] << " is a console";
    if (I > 0) {
      EXPECT_LE(CompareNaturalAscii(L[I - 1], L[I]), 0);
    }
  }
}

}  // namespace comfind
