// The option pages Outlook hosts, and what the user does on them.
#include "runner.h"

#include <commctrl.h>

#include <filesystem>

#include "output.h"
#include "runner_support.h"

namespace host {

std::wstring Runner::Pages(const Command& c) {
  const std::wstring& v = c.verb;
  if (v == L"options" || v == L"properties") {
    std::wstring entryId;
    if (v == L"properties") {
      Folder f;
      if (!ResolveFolder(c.Arg(L"PATH"), &f)) return L"no folder " + Quoted(c.Arg(L"PATH"));
      entryId = f.entryId;
    }
    dialog_.Close();
    lastPages_.clear();
    if (!side_->RequestOptionPages(entryId, &lastPages_)) return L"the folder is gone";
    Print(L"  pages added: " + (lastPages_.empty() ? L"none" : Join(lastPages_, L";")));
    std::vector<std::wstring> report;
    std::wstring title = v == L"options" ? L"Options" : L"Properties of " + SplitPath(c.Arg(L"PATH")).back();
    if (!dialog_.Open(title, lastPages_, &report)) return L"cannot open the dialog";
    for (const std::wstring& line : report) Print(L"  " + line);
    Pump(300);
    return L"";
  }
  if (c.Sub() == L"pages") {
    if (Join(lastPages_, L";") != c.Arg(L"TEXT")) Fail(c, Quoted(Join(lastPages_, L";")));
    return L"";
  }
  if (!dialog_.IsOpen()) return L"no options dialog is open";
  if (v == L"screenshot") {
    const std::filesystem::path dir = ArtifactsFolder();
    SetForegroundWindow(dialog_.Frame());
    RedrawWindow(dialog_.Frame(), nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    Pump(500);
    const std::wstring path = (dir / (c.Arg(L"NAME") + L".bmp")).wstring();
    if (!SaveWindowBitmap(dialog_.Frame(), path)) return L"cannot save " + path;
    Print(L"  screenshot " + c.Arg(L"NAME") + L".bmp");
    return L"";
  }
  const size_t tab = size_t(LongOpt(c, L"tab", 1));
  if (tab < 1 || tab > dialog_.PageCount()) return L"the dialog has no page " + std::to_wstring(tab);
  HostedPage& page = dialog_.Page(tab - 1);
  const std::wstring sub = c.Sub();
  if (v == L"expect") {
    const bool wantDirty = c.form == L"page dirty";
    if (page.Dirty() != wantDirty) Fail(c, page.Dirty() ? L"dirty" : L"clean");
    return L"";
  }
  if (sub == L"click") {
    long id = 0;
    ParseLong(c.Arg(L"N"), &id);
    HWND control = GetDlgItem(page.PageWindow(), int(id));
    if (!control) return L"the page has no control " + c.Arg(L"N");
    SendMessageW(control, BM_CLICK, 0, 0);
    Pump(100);
    return L"";
  }
  if (sub == L"text" || sub == L"select" || sub == L"check") {
    long id = 0;
    ParseLong(c.Arg(L"N"), &id);
    HWND control = GetDlgItem(page.PageWindow(), int(id));
    if (!control) return L"the page has no control " + c.Arg(L"N");
    std::wstring error = sub == L"text"     ? TypeInto(control, c.Arg(L"TEXT"))
                         : sub == L"select" ? SelectEntry(page.PageWindow(), control, int(id), c.Arg(L"TEXT"))
                                            : CheckRow(control, c.Arg(L"ROW"), !c.Has(L"off"));
    Pump(100);
    return error;
  }
  if (sub == L"apply") {
    std::vector<std::wstring> report;
    bool ok = dialog_.Apply(&report);
    for (const std::wstring& line : report) Print(L"  " + line);
    if (!ok) Print(L"  the dialog stays open");
    return L"";
  }
  dialog_.Close();  // close
  return L"";
}

std::wstring Runner::TypeInto(HWND control, const std::wstring& text) {
  // A combo box is typed into through its edit field, as the keyboard does.
  HWND edit = control;
  COMBOBOXINFO info{sizeof info};
  if (GetComboBoxInfo(control, &info)) {
    if (!info.hwndItem || info.hwndItem == control) return L"the combo box has no edit field";
    edit = info.hwndItem;
  }
  SetFocus(edit);
  SendMessageW(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L""));
  for (wchar_t ch : text) {
    SendMessageW(edit, WM_KEYDOWN, WPARAM(ch), 0);
    SendMessageW(edit, WM_CHAR, WPARAM(ch), 0);
  }
  return L"";
}

std::wstring Runner::SelectEntry(HWND page, HWND combo, int id, const std::wstring& text) {
  const LRESULT index = SendMessageW(combo, CB_FINDSTRINGEXACT, WPARAM(-1), reinterpret_cast<LPARAM>(text.c_str()));
  if (index == CB_ERR) return L"the combo box has no entry " + Quoted(text);
  SendMessageW(combo, CB_SETCURSEL, WPARAM(index), 0);
  // What the combo box tells its parent when the user picks an entry.
  SendMessageW(page, WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE), reinterpret_cast<LPARAM>(combo));
  SendMessageW(page, WM_COMMAND, MAKEWPARAM(id, CBN_SELENDOK), reinterpret_cast<LPARAM>(combo));
  return L"";
}

std::wstring Runner::CheckRow(HWND list, const std::wstring& row, bool on) {
  const int rows = int(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
  for (int i = 0; i < rows; ++i) {
    wchar_t text[256] = {};
    LVITEMW item{};
    item.pszText = text;
    item.cchTextMax = 256;
    SendMessageW(list, LVM_GETITEMTEXTW, WPARAM(i), reinterpret_cast<LPARAM>(&item));
    if (row != text) continue;
    // The check box's state image, as the space bar toggles it.
    LVITEMW state{};
    state.stateMask = LVIS_STATEIMAGEMASK;
    state.state = INDEXTOSTATEIMAGEMASK(on ? 2 : 1);
    SendMessageW(list, LVM_SETITEMSTATE, WPARAM(i), reinterpret_cast<LPARAM>(&state));
    return L"";
  }
  return L"the list has no row " + Quoted(row);
}

}  // namespace host
