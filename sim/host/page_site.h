// Outlook's side of an option page: the site that one page control lives
// in, and the Options or folder-properties dialog that holds the pages
// under tabs with OK, Cancel and Apply.
//
// The window tree is Outlook's: the dialog, a tab page per page, the site
// window on it, and the page control in the site window. The site answers
// PropertyPageSite (and counts OnStatusChange), the in-place and control
// site interfaces, and paints on WM_PRINTCLIENT as a real dialog does.
#pragma once
#include <windows.h>
#include <ocidl.h>

#include <memory>
#include <string>
#include <vector>

#include "com_ptr.h"
#include "outlook.h"

namespace host {

class PageSiteObject;

// One hosted page. Release() closes it: the control is deactivated,
// unsited and released, and the site window goes.
class HostedPage {
 public:
  HostedPage();
  ~HostedPage();
  HostedPage(const HostedPage&) = delete;
  HostedPage& operator=(const HostedPage&) = delete;

  // Creates the control by ProgID (with `siteDispatch` false: a container
  // that answers no PropertyPageSite), sites it in a new site window inside
  // `parent` at `rect` and activates it in place.
  HRESULT Create(const std::wstring& progId, HWND parent, const RECT& rect, bool pageSite = true);
  void Release();

  bool Dirty() const;
  HRESULT Apply();
  HWND PageWindow() const;
  HWND SiteWindow() const { return site_; }
  // OnStatusChange calls so far.
  int StatusChanges() const;
  const std::wstring& ProgId() const { return progId_; }
  com::ComPtr<IUnknown> Control() const { return control_.Get(); }
  // The page's keyboard handling first, as Outlook's loop gives it.
  bool TranslateAccelerator(MSG* msg);

 private:
  std::wstring progId_;
  HWND site_ = nullptr;
  com::ComPtr<IOleObject> control_;
  PageSiteObject* siteObject_ = nullptr;
};

// The Options dialog or a folder's properties dialog.
class OptionsDialog {
 public:
  OptionsDialog() = default;
  ~OptionsDialog() { Close(); }
  OptionsDialog(const OptionsDialog&) = delete;
  OptionsDialog& operator=(const OptionsDialog&) = delete;

  // Opens the dialog with one tab per ProgID (captions as given); the first
  // tab shows. `report` gets one line per page that could not be created.
  bool Open(const std::wstring& title, const std::vector<std::wstring>& progIds, std::vector<std::wstring>* report);
  // Apply on every page that says it is dirty; one line per page applied.
  // False when a page's Apply failed (the dialog then stays open).
  bool Apply(std::vector<std::wstring>* report);
  void Close();
  bool IsOpen() const { return frame_ != nullptr; }
  HWND Frame() const { return frame_; }
  size_t PageCount() const { return pages_.size(); }
  HostedPage& Page(size_t i) { return *pages_[i]; }
  void SelectTab(size_t i);

 private:
  HWND frame_ = nullptr, tabs_ = nullptr;
  std::vector<HWND> tabPages_;
  std::vector<std::unique_ptr<HostedPage>> pages_;
};

// Makes the page controls in place of creation by ProgID, for tests that
// host pages built into their own program; null (the default): by ProgID.
using PageFactory = HRESULT (*)(const std::wstring& progId, IOleObject** control);
void SetPageFactory(PageFactory factory);

// Saves what the window shows on the screen as a 24-bit BMP file.
bool SaveWindowBitmap(HWND window, const std::wstring& path);
// Where screenshots go: $TALLOWBY_ARTIFACTS, else <build>/artifacts beside
// the program's bin folder (made when missing).
std::wstring ArtifactsFolder();

}  // namespace host
