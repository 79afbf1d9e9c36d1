// Answers the message boxes of this process so that no run hangs on one: a
// thread looks for "#32770" dialogs with a message-box text, records their
// caption and text, and presses their default button.
#pragma once
#include <windows.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace host {

struct BoxRecord {
  std::wstring caption, text;
};

class BoxWatcher {
 public:
  BoxWatcher();
  ~BoxWatcher();
  BoxWatcher(const BoxWatcher&) = delete;
  BoxWatcher& operator=(const BoxWatcher&) = delete;

  std::vector<BoxRecord> All();
  // Boxes recorded since the last call.
  std::vector<BoxRecord> TakeNew();

 private:
  void Run();
  void Answer(HWND box);
  static BOOL CALLBACK OnWindow(HWND hwnd, LPARAM self);

  std::mutex mutex_;
  std::vector<BoxRecord> boxes_;
  size_t reported_ = 0;
  std::vector<HWND> answered_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace host
