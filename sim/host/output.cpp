#include "output.h"

#include <windows.h>

#include <cstdio>

namespace host {

void Print(const std::wstring& line) {
  std::wstring text = line + L"\n";
  int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0, nullptr, nullptr);
  std::string utf8(n, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), utf8.data(), n, nullptr, nullptr);
  fwrite(utf8.data(), 1, utf8.size(), stdout);
  fflush(stdout);
}

std::wstring Quoted(const std::wstring& s) { return L"\"" + s + L"\""; }

}  // namespace host
