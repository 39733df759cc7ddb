// The search's log lines as a terminal may show them: code page 1251 decoded to UTF-8, with
// every byte that could act on the terminal or be misread written as \xHH (two upper-case hex
// digits): the control bytes below 0x20, 0x7F, the unassigned 0x98, and the backslash itself,
// so that a \x in the output always stands for one byte.
#pragma once

#include <string>
#include <string_view>

namespace comfind {

std::string LogLineToUtf8(std::string_view Line);

}  // namespace comfind
