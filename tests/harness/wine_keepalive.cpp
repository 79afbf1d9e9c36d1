// Keeps Wine's desktop process alive for a whole test session, so that
// each GUI test does not wait for it to shut down and restart.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
  HWND w = CreateWindowExW(0, L"STATIC", L"tallowby keep-alive", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr,
                           nullptr);
  MSG msg;
  while (w && GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
  return 0;
}
