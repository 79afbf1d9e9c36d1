#include "box_watcher.h"

#include <algorithm>

namespace host {
namespace {

constexpr int kMessageBoxTextId = 0xFFFF;  // the static control that holds a message box's text

std::wstring WindowText(HWND hwnd) {
  int n = GetWindowTextLengthW(hwnd);
  std::wstring s(n + 1, L'\0');
  s.resize(GetWindowTextW(hwnd, s.data(), n + 1));
  return s;
}

}  // namespace

BoxWatcher::BoxWatcher() : thread_([this] { Run(); }) {}

BoxWatcher::~BoxWatcher() {
  stop_ = true;
  thread_.join();
}

std::vector<BoxRecord> BoxWatcher::All() {
  std::lock_guard lock(mutex_);
  return boxes_;
}

std::vector<BoxRecord> BoxWatcher::TakeNew() {
  std::lock_guard lock(mutex_);
  std::vector<BoxRecord> fresh(boxes_.begin() + reported_, boxes_.end());
  reported_ = boxes_.size();
  return fresh;
}

void BoxWatcher::Run() {
  while (!stop_) {
    {
      std::lock_guard lock(mutex_);
      std::erase_if(answered_, [](HWND h) { return !IsWindow(h); });
    }
    EnumWindows(&BoxWatcher::OnWindow, reinterpret_cast<LPARAM>(this));
    Sleep(20);
  }
}

BOOL CALLBACK BoxWatcher::OnWindow(HWND hwnd, LPARAM self) {
  DWORD pid = 0;
  GetWindowThreadProcessId(hwnd, &pid);
  wchar_t cls[16] = {};
  if (pid == GetCurrentProcessId() && GetClassNameW(hwnd, cls, 16) && wcscmp(cls, L"#32770") == 0 &&
      GetDlgItem(hwnd, kMessageBoxTextId) && IsWindowVisible(hwnd))
    reinterpret_cast<BoxWatcher*>(self)->Answer(hwnd);
  return TRUE;
}

void BoxWatcher::Answer(HWND box) {
  {
    std::lock_guard lock(mutex_);
    // A box still closing is pressed again, but recorded once.
    if (std::find(answered_.begin(), answered_.end(), box) == answered_.end()) {
      boxes_.push_back({WindowText(box), WindowText(GetDlgItem(box, kMessageBoxTextId))});
      answered_.push_back(box);
    }
  }
  DWORD_PTR def = 0;
  int id = IDOK;
  if (SendMessageTimeoutW(box, DM_GETDEFID, 0, 0, SMTO_ABORTIFHUNG, 500, &def) && HIWORD(def) == DC_HASDEFID)
    id = LOWORD(def);
  PostMessageW(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(box, id)));
}

}  // namespace host
