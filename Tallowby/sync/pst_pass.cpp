// The personal-folder comparison pass.
#include <cwchar>

#include "clock.h"
#include "folder_object.h"
#include "logs.h"
#include "sync_seams.h"

DWORD TestPassLengthMs() {
  static const DWORD ms = [] {
    wchar_t text[16] = L"";
    DWORD n = GetEnvironmentVariableW(L"TALLOWBY_TEST_PASS_SECONDS", text, 16);
    long seconds = n > 0 && n < 16 ? std::wcstol(text, nullptr, 10) : 0;
    return seconds > 0 ? DWORD(seconds) * 1000 : 0;
  }();
  return ms;
}

HRESULT checkIfSomethingChanged(CMAPIFolderObject* folder, IRdoSession*, IRdoUtils*) {
  DebugLogString(L"checkIfSomethingChanged", folder ? folder->DisplayName.c_str() : L"");
  if (DWORD ms = TestPassLengthMs()) clk::Sleep(ms);
  return S_OK;
}
