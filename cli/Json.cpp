#include "cli/Json.h"

#include <cstdio>

#include "framework/Classes.h"

namespace comfind {

void TJsonWriter::NewLine() {
  FText += '\n';
  FText.append(2 * FHasItems.size(), ' ');
}

void TJsonWriter::BeforeValue() {
  if (FAfterKey) {
    FAfterKey = false;
    return;
  }
  if (FHasItems.empty()) return;
  if (FHasItems.back()) FText += ',';
  FHasItems.back() = true;
  NewLine();
}

void TJsonWriter::BeginObject() {
  BeforeValue();
  FText += '{';
  FHasItems.push_back(false);
}

void TJsonWriter::EndObject() {
  const bool HadItems = FHasItems.back();
  FHasItems.pop_back();
  if (HadItems) NewLine();
  FText += '}';
  if (FHasItems.empty()) FText += '\n';
}

void TJsonWriter::BeginArray() {
  BeforeValue();
  FText += '[';
  FHasItems.push_back(false);
}

void TJsonWriter::EndArray() {
  const bool HadItems = FHasItems.back();
  FHasItems.pop_back();
  if (HadItems) NewLine();
  FText += ']';
  if (FHasItems.empty()) FText += '\n';
}

void TJsonWriter::Key(std::string_view Name) {
  BeforeValue();
  Quoted(Name);
  FText += ": ";
  FAfterKey = true;
}

void TJsonWriter::String(std::string_view Cp1251) {
  BeforeValue();
  Quoted(Cp1251);
}

void TJsonWriter::Quoted(std::string_view Cp1251) {
  FText += '"';
  for (const char C : Cp1251ToUtf8(Cp1251)) {
    const auto U = static_cast<unsigned char>(C);
    switch (C) {
      case '"':
        FText += "\\\"";
        break;
      case '\\':
        FText += "\\\\";
        break;
      case '\n':
        FText += "\\n";
        break;
      case '\r':
        FText += "\\r";
        break;
      case '\t':
        FText += "\\t";
        break;
      default:
        if (U < 0x20 || U == 0x7F) {
          char Escape[8];
          std::snprintf(Escape, sizeof Escape, "\\u%04x", U);
          FText += Escape;
        } else {
          FText += C;
        }
    }
  }
  FText += '"';
}

void TJsonWriter::StringOrNull(std::string_view Cp1251) {
  if (Cp1251.empty())
    Null();
  else
    String(Cp1251);
}

void TJsonWriter::Integer(int64_t Value) {
  BeforeValue();
  FText += std::to_string(Value);
}

void TJsonWriter::Number(double Value, int Decimals) {
  BeforeValue();
  char Text[64];
  std::snprintf(Text, sizeof Text, "%.*f", Decimals, Value);
  FText += Text;
}

void TJsonWriter::Bool(bool Value) {
  BeforeValue();
  FText += Value ? "true" : "false";
}

void TJsonWriter::Null() {
  BeforeValue();
  FText += "null";
}

std::string HexBytes(std::string_view Bytes) {
  static const char Digits[] = "0123456789abcdef";
  std::string Hex;
  for (const char C : Bytes) {
    const auto U = static_cast<unsigned char>(C);
    Hex += Digits[U >> 4];
    Hex += Digits[U & 15];
  }
  return Hex;
}

}  // namespace comfind
