#include "ui/win32/WinText.h"

#include <windows.h>

#include "framework/Classes.h"

namespace comfind {

namespace {

std::wstring FromUtf8(const std::string& Text) {
  if (Text.empty()) return {};
  const int Size = static_cast<int>(Text.size());
  const int Chars = MultiByteToWideChar(CP_UTF8, 0, Text.data(), Size, nullptr, 0);
  std::wstring Result(static_cast<size_t>(Chars), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, Text.data(), Size, Result.data(), Chars);
  return Result;
}

}  // namespace

// Decoded by the framework's own table rather than the system's code page 1251, so that the
// window shows exactly what the Linux window and the command line show, 0x98 included.
std::wstring Wide(const std::string& Cp1251) {
  return FromUtf8(Cp1251ToUtf8(Cp1251));
}

std::string Utf8(const std::wstring& Text) {
  if (Text.empty()) return {};
  const int Size = static_cast<int>(Text.size());
  const int Bytes =
      WideCharToMultiByte(CP_UTF8, 0, Text.data(), Size, nullptr, 0, nullptr, nullptr);
  std::string Result(static_cast<size_t>(Bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, Text.data(), Size, Result.data(), Bytes, nullptr, nullptr);
  return Result;
}

}  // namespace comfind
