#include "search/LogText.h"

#include "framework/Classes.h"

namespace comfind {

std::string LogLineToUtf8(std::string_view Line) {
  static constexpr char Hex[] = "0123456789ABCDEF";
  std::string Out;
  Out.reserve(Line.size() + Line.size() / 2);
  size_t Plain = 0;  // start of the run of bytes that decode as they are
  auto Flush = [&](size_t End) {
    if (End > Plain) Out += Cp1251ToUtf8(Line.substr(Plain, End - Plain));
  };
  for (size_t I = 0; I < Line.size(); ++I) {
    const auto C = static_cast<unsigned char>(Line[I]);
    if (C < 0x20 || C == 0x7F || C == 0x98 || C == '\\') {
      Flush(I);
      Out += "\\x";
      Out += Hex[C >> 4];
      Out += Hex[C & 0x0F];
      Plain = I + 1;
    }
  }
  Flush(Line.size());
  return Out;
}

}  // namespace comfind
