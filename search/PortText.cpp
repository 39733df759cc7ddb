#include "search/PortText.h"

#include <algorithm>
#include <cstdio>

namespace comfind {

namespace {

std::string OrDash(const std::string& Text) {
  return Text.empty() ? "-" : Text;
}

}  // namespace

std::string UsbIdText(const TComPortDetails& D) {
  if (D.VendorId == 0 && D.ProductId == 0) return {};
  char Text[16];
  std::snprintf(Text, sizeof Text, "%04x:%04x", D.VendorId, D.ProductId);
  return Text;
}

std::vector<std::string> PortTable(const std::vector<TComPortDetails>& Ports) {
  std::vector<std::vector<std::string>> Rows = {
      {"PORT", "VID:PID", "SERIAL", "DRIVER", "DESCRIPTION", "MANUFACTURER", "BY-ID"}};
  for (const TComPortDetails& D : Ports)
    Rows.push_back({D.Name, OrDash(UsbIdText(D)), OrDash(D.SerialNumber), OrDash(D.Driver),
                    OrDash(D.Description), OrDash(D.Manufacturer), OrDash(D.ByIdPath)});
  // One byte is one character in code page 1251, so widths in bytes line the columns up.
  std::vector<size_t> Width(Rows[0].size(), 0);
  for (const auto& Row : Rows)
    for (size_t C = 0; C < Row.size(); ++C)
      Width[C] = std::max(Width[C], Row[C].size());
  std::vector<std::string> Lines;
  for (size_t R = 0; R < Rows.size(); ++R) {
    std::string Line;
    for (size_t C = 0; C < Rows[R].size(); ++C) {
      Line += Rows[R][C];
      if (C + 1 < Rows[R].size()) Line.append(Width[C] - Rows[R][C].size() + 2, ' ');
    }
    if (R > 0 && Ports[R - 1].Console) Line += "  (system console)";
    Lines.push_back(Line);
  }
  return Lines;
}

}  // namespace comfind
