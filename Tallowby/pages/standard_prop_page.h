// CStandardPropPage: the category and the linked folders of a default folder
// (or of a folder a running pair writes into), in its properties dialog.
//
// It lists the master folders whose pairs write into this folder, offers
// their categories, and lets the user give every new item of the folder
// one of them, so that items made here reach that master. Apply writes or
// deletes the folder's entry under AddCategorieFolders and reloads the
// engine.
#pragma once
#include <string>

#include "auto_combo.h"
#include "com_ptr.h"
#include "picture_wnd.h"
#include "prop_page.h"
#include "res/pages_resource.h"
#include "tallowby.h"

class CSyncEngine;

// The longest category the page accepts: every reader of the entry takes it.
inline constexpr int kMaxCategoryChars = 255;

class CStandardPropPage : public CPropPage<IStandardPropPage> {
 public:
  CStandardPropPage();
  ~CStandardPropPage() override;

  STDMETHODIMP Apply() override;

  BEGIN_MSG_MAP(CStandardPropPage)
    MESSAGE_HANDLER(WM_INITDIALOG, OnInitDialog)
    MESSAGE_HANDLER(WM_HELP, OnHelp)
    COMMAND_HANDLER(IDC_STANDARD_ADD_CATEGORY, BN_CLICKED, OnAddCategoryClicked)
    COMMAND_HANDLER(IDC_STANDARD_CATEGORY, CBN_EDITCHANGE, OnChange)
    COMMAND_HANDLER(IDC_STANDARD_CATEGORY, CBN_SELENDOK, OnChange)
    CHAIN_MSG_MAP(CPropPageCore)
    REFLECT_NOTIFICATIONS()
  END_MSG_MAP()

 private:
  // What the page knows of the folder it was opened for.
  struct PageFolder {
    std::wstring name, entryId;
    long itemType = 0;
    bool isDefault = false;  // the default folder of its kind in the target store
  };

  LRESULT OnInitDialog(UINT, WPARAM, LPARAM, BOOL&);
  LRESULT OnHelp(UINT, WPARAM, LPARAM, BOOL&);
  LRESULT OnAddCategoryClicked(WORD, WORD, HWND, BOOL&);
  LRESULT OnChange(WORD, WORD, HWND, BOOL&) { SetDirty(); return 0; }

  void ReadPageFolder(CSyncEngine* engine);
  bool IsPageFolderDefault(CSyncEngine* engine) const;
  // Lists the jobs that write into this folder and offers every job's
  // category of this item kind.
  void FillFromJobs(CSyncEngine* engine);
  void AddJob(CSyncEngine* engine, const std::wstring& masterEntryId);
  void ShowEntry();
  std::wstring CategoryText() const;
  HRESULT WriteEntry(const std::wstring& entryId) const;
  HRESULT DeleteEntry(const std::wstring& entryId) const;

  // Set when an administrator locked the folder pages: Apply saves nothing.
  BYTE m_bLocked = 0;
  CAutoCombo m_Combo;
  CPictureExWnd m_Picture;
  PageFolder folder_;
  // The folder whose properties the page was made for, kept from then on:
  // another folder's properties asked for before this page's window opens
  // or while it is open must not redirect what it shows or saves.
  com::ComPtr<IDispatch> pageFolder_;
};
