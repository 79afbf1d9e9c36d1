// CAutoCombo: a drop-down combo box whose edit field completes what the user
// types from the entries of its own list.
//
// The page attaches it to one of its combo boxes and reflects its
// notifications back to it; the combo box stores nothing of its own.
// Outlook's message loop passes no message filter, so the key-downs that
// switch completion on and off are watched on the edit field itself.
#pragma once
#include <windows.h>

#include "window.h"

class CAutoCombo : public win::SubclassedWindow<CAutoCombo> {
 public:
  CAutoCombo() = default;
  virtual ~CAutoCombo();

  // Attaches to a combo box of a dialog (and to its edit field, when it has
  // one); false when it is attached already or the window is none.
  bool Attach(HWND combo);
  // Lets go of the combo box, which keeps its list and works on without
  // completion.
  void Detach();

  BEGIN_MSG_MAP(CAutoCombo)
    if (uMsg == win::kReflectedCommand && HIWORD(wParam) == CBN_EDITUPDATE) {
      AutoComplete();
      lResult = 0;
      return TRUE;
    }
  END_MSG_MAP()

  // Looks at a key-down of the edit field; never consumes it.
  bool PreTranslateMessage(const MSG& msg);
  void AutoComplete();

  bool CompletionOn() const { return m_bAutoComplete; }

 private:
  static LRESULT CALLBACK EditProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, UINT_PTR id, DWORD_PTR data);

  bool m_bAutoComplete = true;
  HWND m_hEdit = nullptr;
};
