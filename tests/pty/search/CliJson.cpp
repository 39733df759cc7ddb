// comfind-cli's machine-readable output and its options for other instruments, end to end:
// every document is checked against the documented schema (cli/comfind-cli.schema.json), and so
// are the examples of the README and the manual page, so that none of them can drift.
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "framework/Classes.h"
#include "port/CPort.h"
#include "port/ComEnum.h"
#include "search/LogText.h"
#include "search/PortText.h"
#include "testkit/Process.h"
#include "testkit/Pty.h"
#include "tests/pty/search/CliFixture.h"
#include "tests/support/JsonCheck.h"

namespace comfind {

namespace {

const TJson& Schema() {
  static const TJson S = ParseJson(ReadSourceFile("cli/comfind-cli.schema.json"));
  return S;
}

// The document a run printed, checked against the schema.
TJson Document(const TProcess& P) {
  const TJson Doc = ParseJson(P.Out());
  EXPECT_EQ(CheckJsonSchema(Doc, Schema()), std::vector<std::string>{}) << P.Out();
  return Doc;
}

// The text between the first line that starts with Open after From and the next line that
// starts with Close.
std::string Between(const std::string& Text, const std::string& From, const std::string& Open,
                    const std::string& Close) {
  const size_t At = Text.find(From);
  const size_t Begin = Text.find("\n" + Open, At == std::string::npos ? 0 : At);
  if (At == std::string::npos || Begin == std::string::npos) return {};
  const size_t Body = Text.find('\n', Begin + 1) + 1;
  const size_t End = Text.find("\n" + Close, Body);
  return Text.substr(Body, End == std::string::npos ? std::string::npos : End + 1 - Body);
}

std::string Replace(std::string Text, const std::string& What, const std::string& With) {
  for (size_t At = Text.find(What); At != std::string::npos; At = Text.find(What, At + With.size()))
    Text.replace(At, What.size(), With);
  return Text;
}

}  // namespace

TEST(JsonSchema, TheCheckerRejectsWhatTheSchemaForbids) {
  const std::string Good =
      R"({"ports":[{"name":"ttyS0","path":"/dev/ttyS0","description":null,"manufacturer":null,)"
      R"("serial_number":null,"vid":"0403","pid":"6001","by_id":null,"driver":"serial",)"
      R"("console":true}]})";
  EXPECT_EQ(CheckJsonSchema(ParseJson(Good), Schema()), std::vector<std::string>{});
  for (const auto& [From, To] : std::vector<std::pair<std::string, std::string>>{
           {R"("console":true)", R"("console":"yes")"},           // wrong type
           {R"("vid":"0403")", R"("vid":"403")"},                 // not four hex digits
           {R"("driver":"serial",)", ""},                         // a member missing
           {R"("console":true)", R"("console":true,"extra":1)"},  // a member not documented
           {R"({"ports":[)", R"({"ports":7,"x":[)"},
       }) {
    const std::string Bad = Replace(Good, From, To);
    EXPECT_NE(CheckJsonSchema(ParseJson(Bad), Schema()), std::vector<std::string>{}) << Bad;
  }
  // The parser is strict too.
  for (const char* Bad :
       {"{", "{\"a\":1,}", "[1 2]", "\"tab\there\"", "{} {}", "01", "{\"a\":1,\"a\":2}"})
    EXPECT_THROW(ParseJson(Bad), std::runtime_error) << Bad;
}

TEST(JsonSchema, TheDocumentedExamplesFollowIt) {
  const std::string Readme =
      Between(ReadSourceFile("README.md"), "### JSON output", "```json", "```");
  ASSERT_FALSE(Readme.empty());
  const TJson FromReadme = ParseJson(Readme);
  EXPECT_EQ(CheckJsonSchema(FromReadme, Schema()), std::vector<std::string>{});
  // The manual page writes a backslash as \e and a minus sign as \-.
  const std::string Man = Replace(
      Replace(Between(ReadSourceFile("packaging/comfind-cli.1"), ".SH JSON OUTPUT", ".EX", ".EE"),
              "\\e", "\\"),
      "\\-", "-");
  ASSERT_FALSE(Man.empty());
  const TJson FromMan = ParseJson(Man);
  EXPECT_EQ(CheckJsonSchema(FromMan, Schema()), std::vector<std::string>{});
  EXPECT_EQ(FromMan["log"].Array.size(), 9u);
  EXPECT_EQ(FromReadme["ports"].Array.size(), FromMan["ports"].Array.size());
}

TEST_F(CliEndToEnd, JsonTellsWhyEachPortFailedAndWhatItSent) {
  TPty Held;
  TComPort Other(nullptr);  // another program has this port
  Other.SetPort_(Held.SlavePath());
  Other.Open();
  TSim Quiet = StartSim({"--silent"});
  TSim Instrument = StartSim({"--noise", "BOOT\\x00\\x07\\xC9 \\x98", "--reply", "Ok"});
  const std::string Missing = "/dev/pts/no-such-port";
  std::unique_ptr<TProcess> P;
  ASSERT_EQ(RunCli({"--json", Missing, Held.SlavePath(), Quiet.Path, Instrument.Path}, P), 0)
      << P->Err();
  EXPECT_EQ(P->Err(), "");
  const TJson Doc = Document(*P);
  EXPECT_EQ(Doc["mode"].String, "sequential");
  EXPECT_EQ(Doc["probe"].String, "TRG0000000010000\r\n");
  EXPECT_EQ(Doc["expect"].String, "OK");
  EXPECT_EQ(Doc["timeout_ms"].Number, 500);
  EXPECT_EQ(Doc["baud"].Number, 19200);
  EXPECT_EQ(Doc["verdict"].String, "found");
  EXPECT_EQ(Doc["exit_status"].Number, 0);
  ASSERT_EQ(Doc["found"].Array.size(), 1u);
  EXPECT_EQ(Doc["found"].Array[0].String, Instrument.Path);

  const auto& Ports = Doc["ports"].Array;
  ASSERT_EQ(Ports.size(), 4u);
  const char* Outcomes[] = {"missing", "busy", "silent", "answered"};
  for (int I = 0; I < 4; ++I) {
    SCOPED_TRACE(I);
    EXPECT_EQ(Ports[I]["index"].Number, I);
    EXPECT_EQ(Ports[I]["outcome"].String, Outcomes[I]);
    // A pseudo-terminal is nothing the machine lists: its details are its name alone.
    EXPECT_EQ(Ports[I]["details"]["name"].String, Ports[I]["name"].String);
    EXPECT_EQ(Ports[I]["details"]["serial_number"].Kind, TJson::jNull);
  }
  EXPECT_EQ(Ports[0]["error"]["number"].Number, 2);  // ENOENT
  EXPECT_NE(Ports[0]["error"]["message"].String, "");
  EXPECT_EQ(Ports[1]["error"]["number"].Number, 16);  // EBUSY
  EXPECT_EQ(Ports[2]["error"].Kind, TJson::jNull);
  EXPECT_EQ(Ports[2]["reply"].String, "");
  // Every byte the instrument sent, NUL and control bytes included; 0xC9 and 0x98 decoded from
  // code page 1251 (Й and U+0098).
  EXPECT_EQ(Ports[3]["reply"].String, std::string("BOOT\0\x07Й \u0098\r\nOk\r\n", 17));
  EXPECT_EQ(Ports[3]["reply_hex"].String, "424f4f540007c920980d0a4f6b0d0a");
  EXPECT_LT(Ports[3]["time_ms"].Number, 30000);

  // The log holds the lines the plain output prints, there with the escapes a terminal needs.
  std::unique_ptr<TProcess> Plain;
  ASSERT_EQ(RunCli({Missing, Held.SlavePath(), Quiet.Path, Instrument.Path}, Plain), 0);
  TLines Log;
  for (const TJson& Line : Doc["log"].Array)
    Log.push_back(LogLineToUtf8(Utf8ToCp1251(Line.String)));
  EXPECT_EQ(Log, Plain->OutLines());
  EXPECT_EQ(Log.size(), 17u);
  Other.Close();
}

TEST_F(CliEndToEnd, AnotherInstrumentsCommandReplyRateAndWait) {
  TSim Sim = StartSim({"--reply", "Ready", "--delay", "700"});
  std::unique_ptr<TProcess> P;
  // The reply comes after 700 ms: too late for the usual wait, in time for a longer one.
  EXPECT_EQ(RunCli({"--probe", "PING\\x01", "--expect", "READY", "--baud", "9600", Sim.Path}, P),
            1);
  EXPECT_EQ(P->OutLines(),
            Join({{Searching, Sep, Sim.Path, ">PING\\x01", NotFoundOn + Sim.Path, NotFound}}));
  ASSERT_EQ(RunCli({"--probe", "PING\\x01", "--expect", "READY", "--baud", "9600", "--timeout",
                    "3000", "--json", Sim.Path},
                   P),
            0)
      << P->Err();
  const TJson Doc = Document(*P);
  EXPECT_EQ(Doc["probe"].String, "PING\x01\r\n");
  EXPECT_EQ(Doc["expect"].String, "READY");
  EXPECT_EQ(Doc["timeout_ms"].Number, 3000);
  EXPECT_EQ(Doc["baud"].Number, 9600);
  EXPECT_EQ(Doc["ports"].Array.at(0)["reply"].String, "Ready\r\n");
  const TLines SimLog = Sim.Stop();
  ASSERT_GE(SimLog.size(), 2u);
  EXPECT_EQ(SimLog[0], "rx 7 bytes at 9600 8N1: PING\\x01\\x0D\\x0A");

  // The rate wins over the settings file's; the file's other settings still count.
  char Dir[] = "/tmp/comfind-cli-XXXXXX";
  ASSERT_NE(::mkdtemp(Dir), nullptr);
  const std::string Ini = std::string(Dir) + "/port.ini";
  std::ofstream(Ini) << "[cpCheck]\nBaudRate=9600\nStopBits=2\n";
  TSim Second = StartSim();
  EXPECT_EQ(RunCli({"--load-settings", Ini, "--baud", "38400", Second.Path}, P), 0) << P->Err();
  const TLines SecondLog = Second.Stop();
  ASSERT_FALSE(SecondLog.empty());
  EXPECT_EQ(SecondLog[0].rfind("rx 18 bytes at 38400 8N2:", 0), 0u) << SecondLog[0];
  ::unlink(Ini.c_str());
  ::rmdir(Dir);
}

TEST_F(CliEndToEnd, ListLongAndJsonShowTheMachinesPorts) {
  // Only listed, never opened.
  std::vector<TComPortDetails> Details;
  ListComPortDetails(Details);
  std::unique_ptr<TProcess> P;
  ASSERT_EQ(RunCli({"--list", "--json"}, P), 0);
  const TJson Doc = Document(*P);
  ASSERT_EQ(Doc["ports"].Array.size(), Details.size());
  for (size_t I = 0; I < Details.size(); ++I) {
    EXPECT_EQ(Doc["ports"].Array[I]["name"].String, Details[I].Name);
    EXPECT_EQ(Doc["ports"].Array[I]["console"].Bool, Details[I].Console);
  }
  ASSERT_EQ(RunCli({"--list", "--long"}, P), 0);
  TLines Want;
  for (const std::string& Line : PortTable(Details))
    Want.push_back(LogLineToUtf8(Line));
  EXPECT_EQ(P->OutLines(), Want);
}

TEST_F(CliEndToEnd, BadUsageOfTheNewOptions) {
  std::unique_ptr<TProcess> P;
  for (const std::vector<std::string>& Args : std::vector<std::vector<std::string>>{
           {"--long"},
           {"--list", "--long", "--json"},
           {"--list", "--parallel"},
           {"--list", "--timeout", "100"},
           {"--timeout", "0", "ttyS9"},
           {"--timeout", "5s", "ttyS9"},
           {"--timeout"},
           {"--baud", "fast", "ttyS9"},
           {"--baud", "0", "ttyS9"},
           {"--probe", "bad\\q", "ttyS9"},
           {"--expect", "\\x4", "ttyS9"},
           {"--probe"},
       }) {
    SCOPED_TRACE(testing::PrintToString(Args));
    EXPECT_EQ(RunCli(Args, P), 2);
    EXPECT_EQ(P->Out(), "");
    EXPECT_NE(P->Err().find("comfind-cli:"), std::string::npos) << P->Err();
  }
  EXPECT_EQ(RunCli({"--help"}, P), 0);
  for (const char* Option :
       {"--long", "--json", "--parallel", "--all", "--probe", "--expect", "--timeout", "--baud"})
    EXPECT_NE(P->Out().find(Option), std::string::npos) << Option;
}

}  // namespace comfind
