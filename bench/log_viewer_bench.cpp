// log_viewer_bench: one refresh of the log viewer after the add-in appended
// 100 lines, with a log of 1 MB and of 50 MB, next to the same refresh of a
// log of 10 KB (the floor: the work of showing 100 new lines). The refresh
// is the viewer's own timer tick, with the messages it posts to its view.
#include <windows.h>

#include <cstdio>
#include <memory>
#include <string>

#include "bench_support.h"
#include "main_dlg.h"

namespace {

std::wstring BenchFolder() {
  wchar_t temp[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, temp);
  std::wstring folder = std::wstring(temp) + L"log_viewer_bench\\";
  CreateDirectoryW(folder.c_str(), nullptr);
  return folder;
}

// Lines as the add-in's debug log has them.
std::string Lines(size_t from, size_t count) {
  std::string text;
  char line[160];
  for (size_t i = from; i < from + count; ++i) {
    const int n = std::snprintf(line, sizeof line, "%02zu:%02zu:%02zu|4711|-> PSTprocessItemInMasterFolder = %zu msec\r\n",
                                (i / 3600) % 24, (i / 60) % 60, i % 60, i % 7);
    text.append(line, size_t(n));
  }
  return text;
}

void Append(const std::wstring& path, const std::string& bytes) {
  if (FILE* f = _wfopen(path.c_str(), L"ab")) {
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
  }
}

void Pump() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

struct RefreshFigures {
  double openMs = 0;
  bench::Figure refresh;
  size_t lines = 0;
};

// Opens the viewer on a log of about `bytes` bytes, then appends 100 lines
// and refreshes, several times.
RefreshFigures Measure(const std::wstring& folder, size_t bytes) {
  const std::wstring path = folder + tallowlog::LogFileName(tallowlog::LogMode::Debug);
  DeleteFileW(path.c_str());
  RefreshFigures f;
  const size_t lineBytes = Lines(0, 1).size();
  f.lines = bytes / lineBytes;
  for (size_t written = 0; written < f.lines; written += 100000)
    Append(path, Lines(written, std::min<size_t>(100000, f.lines - written)));
  auto dialog = std::make_unique<CMainDlg>(folder, tallowlog::LogMode::Debug);
  double start = bench::NowMs();
  HWND hwnd = dialog->Create(nullptr, GetModuleHandleW(nullptr));
  if (!hwnd) return f;
  ShowWindow(hwnd, SW_SHOWNORMAL);
  Pump();
  f.openMs = bench::NowMs() - start;
  size_t next = f.lines;
  for (int r = 0; r < bench::Repetitions(7); ++r) {
    Append(path, Lines(next, 100));
    next += 100;
    start = bench::NowMs();
    SendMessageW(hwnd, WM_TIMER, CMainDlg::RefreshTimer, 0);
    Pump();
    f.refresh.Add(bench::NowMs() - start);
  }
  DestroyWindow(hwnd);
  Pump();
  DeleteFileW(path.c_str());
  return f;
}

}  // namespace

int main() {
  const std::wstring folder = BenchFolder();
  bench::Section("Log viewer refresh",
                 "one refresh after the add-in appended 100 lines (minimum of the runs); the first fill when the "
                 "viewer opens is shown for reference");
  std::printf("  %9s  %12s %6s  %s\n", "log", "refresh", "spread", "");
  const RefreshFigures floor = Measure(folder, 10 * 1024);
  std::printf("  %9s  %12s %6s  the floor (first fill %s)\n", "10 KB", bench::Ms(floor.refresh.Min()).c_str(),
              bench::Spread(floor.refresh).c_str(), bench::Ms(floor.openMs).c_str());
  for (size_t mb : {1, 50}) {
    const RefreshFigures f = Measure(folder, mb * 1024 * 1024);
    std::printf("  %6zu MB  %12s %6s  %.1fx the floor (first fill of %zu lines %s)\n", mb,
                bench::Ms(f.refresh.Min()).c_str(), bench::Spread(f.refresh).c_str(),
                f.refresh.Min() / floor.refresh.Min(), f.lines, bench::Ms(f.openMs).c_str());
  }
  RemoveDirectoryW(folder.c_str());
  return 0;
}
