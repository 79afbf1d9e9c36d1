// The three option pages created by ProgID and hosted as Outlook hosts
// them: the dirty flag and its report to the page site, the PropertyPage
// contract, the OLE control's answers, the layout and the background.
#include <gtest/gtest.h>

#include <windows.h>
#include <ocidl.h>
#include <uxtheme.h>

#include <string>

#include "com_ptr.h"
#include "outlook.h"
#include "page_site.h"
#include "prop_page.h"
#include "res/pages_resource.h"
#include "tallowby.h"

namespace {

struct PageCase {
  const wchar_t* progId;
  int clickable;  // a check box whose click marks the page changed
  const IID* ownIid;
};
const PageCase kPages[] = {
    {L"Tallowby.MainPropPage", IDC_MAIN_DEBUG, &IID_IMainPropPage},
    {L"Tallowby.TallowbyPropPage", IDC_FOLDER_NO_PRIVATE, &IID_ITallowbyPropPage},
    {L"Tallowby.StandardPropPage", IDC_STANDARD_ADD_CATEGORY, &IID_IStandardPropPage},
};

class Com {
 public:
  Com() { OleInitialize(nullptr); }
  ~Com() { OleUninitialize(); }
};

void Click(HWND page, int id) { SendMessageW(GetDlgItem(page, id), BM_CLICK, 0, 0); }

TEST(PageFrame, DirtyFlagFollowsTheUserAndEveryWriteIsReportedToTheSite) {
  Com com;
  for (const PageCase& c : kPages) {
    SCOPED_TRACE(testing::Message() << c.progId);
    host::OptionsDialog dialog;
    std::vector<std::wstring> report;
    ASSERT_TRUE(dialog.Open(L"Options", {c.progId}, &report));
    ASSERT_TRUE(report.empty()) << report[0];
    host::HostedPage& page = dialog.Page(0);
    ASSERT_NE(page.PageWindow(), nullptr);
    EXPECT_FALSE(page.Dirty());
    EXPECT_EQ(page.StatusChanges(), 1) << "opening marks the page clean and tells the site once";

    Click(page.PageWindow(), c.clickable);
    EXPECT_TRUE(page.Dirty());
    Click(page.PageWindow(), c.clickable);
    EXPECT_TRUE(page.Dirty()) << "a second click does not make the page clean";
    EXPECT_EQ(page.StatusChanges(), 3);

    page.Apply();
    EXPECT_TRUE(page.Dirty()) << "Apply leaves the flag as it is";
  }
}

TEST(PageFrame, PropertyPageAndControlContract) {
  Com com;
  for (const PageCase& c : kPages) {
    SCOPED_TRACE(testing::Message() << c.progId);
    CLSID clsid{};
    ASSERT_EQ(CLSIDFromProgID(c.progId, &clsid), S_OK);
    com::ComPtr<PropertyPage> page;
    ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_PropertyPage, page.PutVoid()), S_OK);

    BSTR sentinel = reinterpret_cast<BSTR>(0x1234);
    BSTR helpFile = sentinel;
    long context = 77;
    EXPECT_EQ(page->GetPageInfo(nullptr, &context), E_POINTER);
    EXPECT_EQ(page->GetPageInfo(&helpFile, nullptr), E_POINTER);
    EXPECT_EQ(page->GetPageInfo(&helpFile, &context), E_NOTIMPL);
    EXPECT_EQ(helpFile, sentinel) << "nothing is written";
    EXPECT_EQ(context, 77);
    VARIANT_BOOL dirty = VARIANT_TRUE;
    EXPECT_EQ(page->get_Dirty(&dirty), S_OK);
    EXPECT_EQ(dirty, VARIANT_FALSE) << "a page never shown is not dirty";

    com::ComPtr<ISupportErrorInfo> errors;
    ASSERT_EQ(page.As(IID_ISupportErrorInfo, errors.PutVoid()), S_OK);
    EXPECT_EQ(errors->InterfaceSupportsErrorInfo(*c.ownIid), S_OK);
    EXPECT_EQ(errors->InterfaceSupportsErrorInfo(IID_IDispatch), S_FALSE);

    com::ComPtr<IOleObject> ole;
    ASSERT_EQ(page.As(IID_IOleObject, ole.PutVoid()), S_OK);
    DWORD status = 0;
    EXPECT_EQ(ole->GetMiscStatus(DVASPECT_CONTENT, &status), S_OK);
    EXPECT_EQ(status, 0x20191u);
    SIZEL extent{};
    EXPECT_EQ(ole->GetExtent(DVASPECT_CONTENT, &extent), S_OK);
    EXPECT_NE(extent.cx, 5080) << "sized from the dialog template, not the default";
    EXPECT_GT(extent.cy, extent.cx) << "all three templates are taller than wide";

    // Every interface answers the same object, and the last release frees it.
    com::ComPtr<IUnknown> a, b;
    page.As(IID_IUnknown, a.PutVoid());
    ole.As(IID_IUnknown, b.PutVoid());
    EXPECT_EQ(a.Get(), b.Get());
    a.Reset();
    b.Reset();
    ole.Reset();
    errors.Reset();
    EXPECT_EQ(page.Detach()->Release(), 0u);
  }
}

TEST(PageFrame, ContainerWithoutPageSiteAndReleaseBeforeApply) {
  Com com;
  HWND parent = CreateWindowExW(0, L"STATIC", L"", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 500, 600, nullptr,
                                nullptr, nullptr, nullptr);
  {
    host::HostedPage page;
    ASSERT_EQ(page.Create(L"Tallowby.TallowbyPropPage", parent, RECT{0, 0, 480, 560}, false), S_OK);
    Click(page.PageWindow(), IDC_FOLDER_NO_PRIVATE);  // no site to tell: no crash
    EXPECT_TRUE(page.Dirty());
    EXPECT_EQ(page.StatusChanges(), 0);
    com::ComPtr<IUnknown> keep = page.Control();
    page.Release();  // Outlook lets go of the page before Apply
    com::ComPtr<PropertyPage> still;
    ASSERT_EQ(keep.As(IID_PropertyPage, still.PutVoid()), S_OK);
    VARIANT_BOOL dirty = VARIANT_FALSE;
    EXPECT_EQ(still->get_Dirty(&dirty), S_OK);
    still->Apply();  // on a page without window: no crash
  }
  DestroyWindow(parent);
}

TEST(PageFrame, LeftToRightInsideARightToLeftHostAndCentredControls) {
  Com com;
  HWND parent = CreateWindowExW(WS_EX_LAYOUTRTL, L"STATIC", L"", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 700, 600,
                                nullptr, nullptr, nullptr, nullptr);
  host::HostedPage page;
  ASSERT_EQ(page.Create(L"Tallowby.StandardPropPage", parent, RECT{0, 0, 680, 560}), S_OK);
  HWND window = page.PageWindow();
  EXPECT_EQ(GetWindowLongW(window, GWL_EXSTYLE) & WS_EX_LAYOUTRTL, 0);
  for (HWND child = GetWindow(window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
    EXPECT_EQ(GetWindowLongW(child, GWL_EXSTYLE) & WS_EX_LAYOUTRTL, 0) << GetDlgCtrlID(child);

  // The reference control stands centred in the width of the page's parent.
  RECT site{}, combo{};
  GetWindowRect(page.SiteWindow(), &site);
  GetWindowRect(GetDlgItem(window, IDC_STANDARD_CATEGORY), &combo);
  const int left = combo.left - site.left, right = site.right - combo.right;
  EXPECT_LE(std::abs(left - right), 1) << left << " / " << right;
  page.Release();
  DestroyWindow(parent);
}

TEST(PageFrame, ThemedBackgroundIsTheParentsNeverBlack) {
  Com com;
  host::OptionsDialog dialog;
  std::vector<std::wstring> report;
  ASSERT_TRUE(dialog.Open(L"Options", {L"Tallowby.MainPropPage"}, &report));
  HWND window = dialog.Page(0).PageWindow();
  HWND label = GetDlgItem(window, IDC_MAIN_STORE_LABEL);
  HDC dc = GetDC(label);
  auto brush = reinterpret_cast<HBRUSH>(SendMessageW(window, WM_CTLCOLORSTATIC, WPARAM(dc), LPARAM(label)));
  ReleaseDC(label, dc);
  if (!IsAppThemed()) {
    EXPECT_EQ(brush, nullptr) << "no visual styles: the default colours";
    return;
  }
  ASSERT_NE(brush, nullptr);
  HDC memory = CreateCompatibleDC(nullptr);
  HBITMAP bitmap = CreateBitmap(4, 4, 1, 32, nullptr);
  HGDIOBJ old = SelectObject(memory, bitmap);
  RECT r{0, 0, 4, 4};
  FillRect(memory, &r, brush);
  EXPECT_NE(GetPixel(memory, 1, 1) & 0xFFFFFF, 0u) << "texts never stand on black";
  SelectObject(memory, old);
  DeleteObject(bitmap);
  DeleteDC(memory);
}

TEST(PageFrame, FolderPagesThemeOnlyOnTheVersionsThatPass) {
  EXPECT_TRUE(FolderPageThemeVersion(VER_PLATFORM_WIN32_NT, 6, 1));
  EXPECT_TRUE(FolderPageThemeVersion(VER_PLATFORM_WIN32_NT, 6, 3));
  EXPECT_FALSE(FolderPageThemeVersion(VER_PLATFORM_WIN32_NT, 6, 0));
  EXPECT_FALSE(FolderPageThemeVersion(VER_PLATFORM_WIN32_NT, 10, 0));
  EXPECT_FALSE(FolderPageThemeVersion(VER_PLATFORM_WIN32_NT, 5, 1));
  EXPECT_FALSE(FolderPageThemeVersion(VER_PLATFORM_WIN32_WINDOWS, 6, 1));
}

}  // namespace
