#include "auto_combo.h"

#include <string>

CAutoCombo::~CAutoCombo() { Detach(); }

bool CAutoCombo::Attach(HWND combo) {
  if (!SubclassWindow(combo)) return false;
  COMBOBOXINFO info{sizeof info};
  if (GetComboBoxInfo(combo, &info) && info.hwndItem && info.hwndItem != combo &&
      SetWindowSubclass(info.hwndItem, &CAutoCombo::EditProc, reinterpret_cast<UINT_PTR>(this),
                        reinterpret_cast<DWORD_PTR>(this)))
    m_hEdit = info.hwndItem;
  return true;
}

void CAutoCombo::Detach() {
  if (m_hEdit) RemoveWindowSubclass(m_hEdit, &CAutoCombo::EditProc, reinterpret_cast<UINT_PTR>(this));
  m_hEdit = nullptr;
  UnsubclassWindow();
}

LRESULT CALLBACK CAutoCombo::EditProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, UINT_PTR id, DWORD_PTR data) {
  auto* self = reinterpret_cast<CAutoCombo*>(data);
  if (msg == WM_KEYDOWN) self->PreTranslateMessage(MSG{hwnd, msg, wp, lp, 0, {}});
  if (msg == WM_NCDESTROY) {
    RemoveWindowSubclass(hwnd, &CAutoCombo::EditProc, id);
    self->m_hEdit = nullptr;
  }
  return DefSubclassProc(hwnd, msg, wp, lp);
}

bool CAutoCombo::PreTranslateMessage(const MSG& msg) {
  if (msg.message == WM_KEYDOWN) m_bAutoComplete = msg.wParam != VK_DELETE && msg.wParam != VK_BACK;
  return false;
}

void CAutoCombo::AutoComplete() {
  if (!m_bAutoComplete || !m_hWnd) return;
  const int length = GetWindowTextLengthW(m_hWnd);
  std::wstring text(size_t(length) + 1, L'\0');
  GetWindowTextW(m_hWnd, text.data(), length + 1);
  text.resize(size_t(length));

  const DWORD selection = DWORD(SendMessage(CB_GETEDITSEL));
  const bool hasEdit = selection != DWORD(CB_ERR);
  const int selectionEnd = HIWORD(selection);

  if (SendMessage(CB_SELECTSTRING, WPARAM(-1), reinterpret_cast<LPARAM>(text.c_str())) == CB_ERR) {
    // No entry starts with the text: it stays as typed, caret where it was.
    SetWindowTextW(m_hWnd, text.c_str());
    if (hasEdit) SendMessage(CB_SETEDITSEL, 0, LPARAM(selection));
  }
  if (hasEdit && selectionEnd < length)
    SendMessage(CB_SETEDITSEL, 0, LPARAM(selection));  // the user edits inside the text
  else
    SendMessage(CB_SETEDITSEL, 0, MAKELPARAM(length, -1));  // the completed rest is selected
}
