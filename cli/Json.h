// A small JSON writer for comfind-cli's machine-readable output: objects and arrays indented by
// two spaces, texts given in code page 1251 (as every text of the system) and written as UTF-8,
// with every control character escaped, so the document is valid whatever bytes a port sent.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace comfind {

class TJsonWriter {
 public:
  void BeginObject();
  void EndObject();
  void BeginArray();
  void EndArray();
  // The name of the next member of the current object.
  void Key(std::string_view Name);
  // A text in code page 1251.
  void String(std::string_view Cp1251);
  // A text, or null when it is empty.
  void StringOrNull(std::string_view Cp1251);
  void Integer(int64_t Value);
  // A number with Decimals digits after the point.
  void Number(double Value, int Decimals);
  void Bool(bool Value);
  void Null();

  // The document so far, ended by a line end once the outermost value is closed.
  const std::string& Text() const { return FText; }

 private:
  void BeforeValue();
  void NewLine();
  void Quoted(std::string_view Cp1251);
  std::string FText;
  // One entry per open object or array: whether it holds a value yet.
  std::vector<bool> FHasItems;
  bool FAfterKey = false;
};

// Hex digits of every byte, two lower-case digits each ("4f4b0d0a").
std::string HexBytes(std::string_view Bytes);

}  // namespace comfind
