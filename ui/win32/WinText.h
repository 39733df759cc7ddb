// Text at the Win32 boundary: the system's code page 1251 texts become UTF-16 once, where they
// are handed to a control, and what the test switch writes out becomes UTF-8.
#pragma once

#include <string>

namespace comfind {

// Code page 1251 to UTF-16; every byte maps to a character (0x98 to U+0098), NUL included.
std::wstring Wide(const std::string& Cp1251);
// UTF-16 (a control's text) to UTF-8.
std::string Utf8(const std::wstring& Text);

}  // namespace comfind
