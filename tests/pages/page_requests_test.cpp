// Which option page Outlook is given for a folder, and what goes to
// PropertyPages.Add, with fakes of Outlook's folder, namespace and pages.
#include <gtest/gtest.h>

#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "com_object.h"
#include "com_ptr.h"
#include "outlook.h"
#include "page_requests.h"
#include "sync_engine.h"
#include "variant.h"

namespace {

// Answers named members: string properties, GetDefaultFolder(kind) and
// PropertyPages.Add(ProgID, caption), which it records.
class FakeOutlookObject : public IDispatch {
 public:
  BEGIN_COM_MAP(FakeOutlookObject)
    COM_INTERFACE_ENTRY(IDispatch)
    COM_INTERFACE_ENTRY_IID(IID_PropertyPages, IDispatch)
  END_COM_MAP()

  std::map<std::wstring, std::wstring> strings;
  std::map<long, com::ComPtr<IDispatch>> defaultFolders;
  std::vector<std::wstring> added;
  HRESULT addResult = S_OK;

  STDMETHODIMP GetTypeInfoCount(UINT* n) override { *n = 0; return S_OK; }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo** t) override { *t = nullptr; return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT, LCID, DISPID* ids) override {
    names_.push_back(names[0]);
    ids[0] = DISPID(names_.size());
    return S_OK;
  }
  STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT* result, EXCEPINFO*,
                      UINT*) override {
    const std::wstring& name = names_.at(size_t(id) - 1);
    com::DispArgs args(params);
    if (name == L"GetDefaultFolder") {
      auto it = defaultFolders.find(com::Variant(*args.At(0)).AsLong());
      if (it == defaultFolders.end()) return E_FAIL;  // a profile without that folder
      result->vt = VT_DISPATCH;
      result->pdispVal = it->second.Get();
      result->pdispVal->AddRef();
      return S_OK;
    }
    if (name == L"Add") {
      added.push_back(com::Variant(*args.At(0)).AsString() + L"|" + com::Variant(*args.At(1)).AsString());
      return addResult;
    }
    auto it = strings.find(name);
    if (it == strings.end()) return DISP_E_MEMBERNOTFOUND;
    result->vt = VT_BSTR;
    result->bstrVal = SysAllocString(it->second.c_str());
    return S_OK;
  }

 private:
  std::vector<std::wstring> names_;
};

using Fake = com::ComObject<FakeOutlookObject>;

com::ComPtr<Fake> Folder(const wchar_t* entryId, const wchar_t* messageClass) {
  Fake* f = nullptr;
  Fake::Create(&f);
  com::ComPtr<Fake> p(f);
  p->strings[L"EntryID"] = entryId;
  p->strings[L"DefaultMessageClass"] = messageClass;
  return p;
}

TEST(PageRequests, FolderKindDecidesThePage) {
  com::ComPtr<Fake> nameSpace = Folder(L"", L"");
  com::ComPtr<Fake> calendar = Folder(L"00CAL", L"IPM.Appointment");
  nameSpace->defaultFolders[9] = calendar.Get();
  nameSpace->defaultFolders[6] = Folder(L"00INBOX", L"IPM.Note").Get();  // the rest of the ten are missing

  EXPECT_EQ(FolderPageFor(nameSpace.Get(), calendar.Get()), kStandardPageProgId);
  EXPECT_EQ(FolderPageFor(nameSpace.Get(), Folder(L"00TEAM", L"IPM.Appointment").Get()), kFolderPageProgId);
  EXPECT_EQ(FolderPageFor(nameSpace.Get(), Folder(L"00CAL", L"IPM.Contact").Get()), kStandardPageProgId)
      << "the EntryID decides, whatever the item kind";
  EXPECT_EQ(FolderPageFor(nameSpace.Get(), Folder(L"00cal", L"IPM.Appointment").Get()), kFolderPageProgId)
      << "EntryIDs compare exactly";
  for (const wchar_t* mail : {L"IPM.Note", L"ipm.note.custom", L"IPM.Post", L"IPM.Post.Rss"})
    EXPECT_EQ(FolderPageFor(nameSpace.Get(), Folder(L"00X", mail).Get()), L"") << mail;
}

TEST(PageRequests, GlobalPageAlwaysOfferedFolderPageOnlyWithLoadedSettings) {
  ASSERT_EQ(g_pSyncEngine, nullptr);
  Fake* raw = nullptr;
  Fake::Create(&raw);
  com::ComPtr<Fake> pages(raw);
  com::Variant pagesArg(static_cast<IDispatch*>(pages.Get()));
  DISPPARAMS one{&pagesArg, nullptr, 1, 0};
  EXPECT_EQ(OfferGlobalPage(com::DispArgs(&one)), S_OK);
  ASSERT_EQ(pages->added, std::vector<std::wstring>{L"Tallowby.MainPropPage|Tallowby"}) << "also without an engine";

  pages->addResult = E_FAIL;
  EXPECT_EQ(OfferGlobalPage(com::DispArgs(&one)), S_OK) << "a refused page fails no Outlook dialog";

  com::ComPtr<Fake> folder = Folder(L"00TEAM", L"IPM.Appointment");
  VARIANT two[2];  // borrowed references, in reverse order: Folder last
  two[0].vt = VT_DISPATCH;
  two[0].pdispVal = folder.Get();
  two[1].vt = VT_DISPATCH;
  two[1].pdispVal = pages.Get();
  DISPPARAMS both{two, nullptr, 2, 0};
  pages->added.clear();
  EXPECT_EQ(OfferFolderPage(nullptr, com::DispArgs(&both)), S_OK);
  EXPECT_TRUE(pages->added.empty()) << "no engine: no folder page";
  EXPECT_EQ(g_pPageFolder, nullptr);
}

}  // namespace
