// The auto-complete combo box in a real window that reflects its
// notifications, typed into through its edit field.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <string>

#include "auto_combo.h"

namespace {

LRESULT CALLBACK ReflectingProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  LRESULT result = 0;
  if (msg == WM_COMMAND && win::ReflectNotification(msg, wp, lp, result)) return result;
  return DefWindowProcW(hwnd, msg, wp, lp);
}

class ComboWindow {
 public:
  ComboWindow() {
    WNDCLASSW wc{};
    wc.lpfnWndProc = &ReflectingProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"AutoComboTestParent";
    RegisterClassW(&wc);
    parent_ = CreateWindowW(wc.lpszClassName, L"", WS_OVERLAPPEDWINDOW, 0, 0, 300, 200, nullptr, nullptr,
                            wc.hInstance, nullptr);
    combo_ = CreateWindowW(L"COMBOBOX", L"", WS_CHILD | WS_VISIBLE | CBS_DROPDOWN | CBS_SORT | CBS_AUTOHSCROLL, 10, 10,
                           200, 120, parent_, reinterpret_cast<HMENU>(273), wc.hInstance, nullptr);
    for (const wchar_t* entry : {L"Business", L"Private"})
      SendMessageW(combo_, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(entry));
    COMBOBOXINFO info{sizeof info};
    GetComboBoxInfo(combo_, &info);
    edit_ = info.hwndItem;
  }
  ~ComboWindow() { DestroyWindow(parent_); }

  HWND combo() const { return combo_; }
  // A key as the keyboard gives it: the key-down, then its character.
  void Type(wchar_t ch, UINT vk = 0) {
    SendMessageW(edit_, WM_KEYDOWN, vk ? vk : VkKeyScanW(ch) & 0xFF, 0);
    SendMessageW(edit_, WM_CHAR, ch, 0);
  }
  std::wstring Text() const {
    wchar_t buf[64] = {};
    GetWindowTextW(combo_, buf, 64);
    return buf;
  }
  std::pair<int, int> Selection() const {
    DWORD sel = DWORD(SendMessageW(combo_, CB_GETEDITSEL, 0, 0));
    return {LOWORD(sel), HIWORD(sel)};
  }
  void Select(int start, int end) { SendMessageW(combo_, CB_SETEDITSEL, 0, MAKELPARAM(start, end)); }

 private:
  HWND parent_ = nullptr, combo_ = nullptr, edit_ = nullptr;
};

using Sel = std::pair<int, int>;

TEST(AutoCombo, CompletesTypedTextAndBackspaceSwitchesCompletionOff) {
  ComboWindow w;
  CAutoCombo combo;
  ASSERT_TRUE(combo.Attach(w.combo()));
  EXPECT_FALSE(combo.Attach(w.combo())) << "attached once only";

  w.Type(L'b');
  EXPECT_EQ(w.Text(), L"Business") << "the entry's own spelling";
  EXPECT_EQ(w.Selection(), Sel(1, 8)) << "the completed rest is selected";
  w.Type(L'u');
  EXPECT_EQ(w.Text(), L"Business");
  EXPECT_EQ(w.Selection(), Sel(2, 8));

  w.Type(L'\b', VK_BACK);
  EXPECT_EQ(w.Text(), L"Bu") << "Backspace removes the selected rest";
  EXPECT_FALSE(combo.CompletionOn());
  w.Type(L'\b', VK_BACK);
  EXPECT_EQ(w.Text(), L"B") << "no completion comes back while deleting";
  EXPECT_EQ(w.Selection(), Sel(1, 1));
  w.Type(L'u');
  EXPECT_TRUE(combo.CompletionOn());
  EXPECT_EQ(w.Text(), L"Business") << "the next other key completes again";
}

TEST(AutoCombo, UnmatchedTextStaysAndEditingInsideKeepsTheCaret) {
  ComboWindow w;
  CAutoCombo combo;
  ASSERT_TRUE(combo.Attach(w.combo()));
  w.Type(L'x');
  EXPECT_EQ(w.Text(), L"x");
  EXPECT_EQ(w.Selection(), Sel(1, 1));

  SetWindowTextW(w.combo(), L"");
  w.Type(L'P');
  ASSERT_EQ(w.Text(), L"Private");
  w.Select(1, 1);  // the caret after the P
  w.Type(L'z');
  EXPECT_EQ(w.Text(), L"Pzrivate");
  EXPECT_EQ(w.Selection(), Sel(2, 2)) << "the caret stays where the user typed";

  combo.Detach();
  SetWindowTextW(w.combo(), L"");
  w.Type(L'b');
  EXPECT_EQ(w.Text(), L"b") << "a detached combo box completes nothing";
}

}  // namespace
