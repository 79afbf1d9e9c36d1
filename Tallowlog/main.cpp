// Tallowlog.exe: shows the add-in's debug log, or with the command line
// "errorlog" its error log, and saves copies of it.
#include <windows.h>

#include "main_dlg.h"

bool g_bErrorLogMode = false;

namespace {

std::wstring TempFolder() {
  wchar_t path[MAX_PATH] = {};
  DWORD n = GetTempPathW(MAX_PATH, path);
  return n > 0 && n < MAX_PATH ? std::wstring(path, n) : std::wstring();
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR commandLine, int) {
  g_bErrorLogMode = tallowlog::IsErrorLogCommandLine(commandLine);
  CMainDlg dialog(TempFolder(), g_bErrorLogMode ? tallowlog::LogMode::Error : tallowlog::LogMode::Debug);
  if (!dialog.Create(nullptr, instance)) return 1;
  dialog.ShowWindow(SW_SHOWNORMAL);
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  return 0;
}
