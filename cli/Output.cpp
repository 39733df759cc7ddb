#include "cli/Output.h"

#include <cstdio>

#include "cli/Json.h"

namespace comfind {

namespace {

std::string UsbId(uint16_t Id) {
  char Text[8];
  std::snprintf(Text, sizeof Text, "%04x", Id);
  return Text;
}

bool IsUsb(const TComPortDetails& D) {
  return D.VendorId != 0 || D.ProductId != 0;
}

}  // namespace

void WriteDetails(TJsonWriter& W, const TComPortDetails& D) {
  W.BeginObject();
  W.Key("name");
  W.String(D.Name);
  W.Key("path");
  W.StringOrNull(D.Path);
  W.Key("description");
  W.StringOrNull(D.Description);
  W.Key("manufacturer");
  W.StringOrNull(D.Manufacturer);
  W.Key("serial_number");
  W.StringOrNull(D.SerialNumber);
  W.Key("vid");
  W.StringOrNull(IsUsb(D) ? UsbId(D.VendorId) : std::string());
  W.Key("pid");
  W.StringOrNull(IsUsb(D) ? UsbId(D.ProductId) : std::string());
  W.Key("by_id");
  W.StringOrNull(D.ByIdPath);
  W.Key("driver");
  W.StringOrNull(D.Driver);
  W.Key("console");
  W.Bool(D.Console);
  W.EndObject();
}

std::string PortListJson(const std::vector<TComPortDetails>& Ports) {
  TJsonWriter W;
  W.BeginObject();
  W.Key("ports");
  W.BeginArray();
  for (const TComPortDetails& D : Ports)
    WriteDetails(W, D);
  W.EndArray();
  W.EndObject();
  return W.Text();
}

std::string SearchJson(const TSearchSummary& S, const std::vector<TComPortDetails>& Details) {
  TJsonWriter W;
  W.BeginObject();
  W.Key("mode");
  W.String(S.Parallel ? "parallel" : "sequential");
  W.Key("all");
  W.Bool(S.All);
  W.Key("probe");
  W.String(S.Probe);
  W.Key("expect");
  W.String(S.Expect);
  W.Key("timeout_ms");
  W.Integer(S.TimeoutMs);
  W.Key("baud");
  W.Integer(S.Baud);
  W.Key("ports");
  W.BeginArray();
  for (const TProbeReport& R : S.Reports) {
    W.BeginObject();
    W.Key("index");
    W.Integer(R.Index);
    W.Key("name");
    W.String(R.Port);
    W.Key("details");
    WriteDetails(W, FindComPortDetails(Details, R.Port));
    W.Key("outcome");
    W.String(ProbeOutcomeName(R.Outcome));
    W.Key("error");
    if (R.ErrorMessage.empty() && R.ErrorNumber == 0) {
      W.Null();
    } else {
      W.BeginObject();
      W.Key("number");
      if (R.ErrorNumber > 0)
        W.Integer(R.ErrorNumber);
      else
        W.Null();  // the failure carried no number of the system's
      W.Key("message");
      W.String(R.ErrorMessage);
      W.EndObject();
    }
    W.Key("reply");
    W.String(R.Reply);
    W.Key("reply_hex");
    W.String(HexBytes(R.Reply));
    W.Key("time_ms");
    W.Number(R.Milliseconds, 1);
    W.EndObject();
  }
  W.EndArray();
  W.Key("found");
  W.BeginArray();
  for (const std::string& Name : S.Found)
    W.String(Name);
  W.EndArray();
  W.Key("verdict");
  W.String(S.Verdict);
  W.Key("exit_status");
  W.Integer(S.ExitStatus);
  W.Key("log");
  W.BeginArray();
  for (const std::string& Line : S.Log)
    W.String(Line);
  W.EndArray();
  W.EndObject();
  return W.Text();
}

}  // namespace comfind
