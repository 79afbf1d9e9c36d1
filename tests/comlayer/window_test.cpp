// The window class's last message, and the pumped wait of a user-interface
// thread when the application is quitting.
#include <gtest/gtest.h>

#include <thread>

#include "clock.h"
#include "window.h"

namespace {

// Handles WM_NCDESTROY itself and records the final call.
class TakesLastMessage : public win::WindowImpl<TakesLastMessage> {
 public:
  static const wchar_t* ClassName() { return L"TallowbyTestTakesLastMessage"; }
  BEGIN_MSG_MAP(TakesLastMessage)
    MESSAGE_HANDLER(WM_NCDESTROY, OnNcDestroy)
  END_MSG_MAP()

  LRESULT OnNcDestroy(UINT, WPARAM, LPARAM, BOOL&) {
    ++handled;
    return 0;
  }
  void OnFinalMessage(HWND hwnd) override { finalFor = hwnd; }

  int handled = 0;
  HWND finalFor = nullptr;
};

TEST(WindowImpl, LetsGoOfTheHandleAlsoWhenAHandlerTakesTheLastMessage) {
  TakesLastMessage window;
  RECT none{};
  HWND hwnd = window.Create(HWND_MESSAGE, none, nullptr, 0);
  ASSERT_NE(nullptr, hwnd);
  ASSERT_TRUE(::DestroyWindow(hwnd));  // not through the object: it must notice by itself
  EXPECT_EQ(1, window.handled);
  EXPECT_EQ(nullptr, window.m_hWnd);
  EXPECT_EQ(hwnd, window.finalFor);
  EXPECT_FALSE(window.IsWindow());
}

// Signals an event after `ms` of real time.
class LateSignal {
 public:
  explicit LateSignal(DWORD ms) : event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    thread_ = std::thread([this, ms] {
      ::Sleep(ms);
      SetEvent(event_);
    });
  }
  ~LateSignal() {
    thread_.join();
    CloseHandle(event_);
  }
  HANDLE Get() const { return event_; }

 private:
  HANDLE event_;
  std::thread thread_;
};

class CountsPosts : public win::WindowImpl<CountsPosts> {
 public:
  static const wchar_t* ClassName() { return L"TallowbyTestCountsPosts"; }
  BEGIN_MSG_MAP(CountsPosts)
    MESSAGE_HANDLER(WM_APP, OnApp)
  END_MSG_MAP()
  LRESULT OnApp(UINT, WPARAM, LPARAM, BOOL&) {
    ++posts;
    return 0;
  }
  int posts = 0;
};

bool TakeQuitMessage(WPARAM* code) {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
    if (msg.message == WM_QUIT) {
      *code = msg.wParam;
      return true;
    }
  return false;
}

TEST(WaitPumping, KeepsTheQuitRequestForTheThreadsOwnLoop) {
  // Quit asked for before the wait, and while it waits.
  PostQuitMessage(7);
  {
    LateSignal signal(200);
    EXPECT_EQ(DWORD(WAIT_OBJECT_0), clk::WaitPumping(signal.Get(), 5000));
  }
  WPARAM code = 0;
  ASSERT_TRUE(TakeQuitMessage(&code));
  EXPECT_EQ(7u, code);

  // Other messages are still dispatched, and a time-out still times out.
  CountsPosts sink;
  RECT none{};
  ASSERT_NE(nullptr, sink.Create(HWND_MESSAGE, none, nullptr, 0));
  sink.PostMessage(WM_APP);
  PostQuitMessage(3);
  HANDLE never = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  EXPECT_EQ(DWORD(WAIT_TIMEOUT), clk::WaitPumping(never, 100));
  CloseHandle(never);
  EXPECT_EQ(1, sink.posts);
  ASSERT_TRUE(TakeQuitMessage(&code));
  EXPECT_EQ(3u, code);
  sink.DestroyWindow();
}

}  // namespace
