// The runner's printed output: UTF-8 lines on stdout.
#pragma once
#include <string>

namespace host {

void Print(const std::wstring& line);
std::wstring Quoted(const std::wstring& s);  // "s"

}  // namespace host
