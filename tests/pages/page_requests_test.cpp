// Which option page Outlook is given for a folder, and what goes to
// PropertyPages.Add, with fakes of Outlook's folder, namespace and pages;
// the gates that need the engine over the simulated wrapper.
#include <gtest/gtest.h>

#include <windows.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "com_object.h"
#include "com_ptr.h"
#include "control/sim_control.h"
#include "fake_outlook.h"
#include "folder_object.h"
#include "locks.h"
#include "logs.h"
#include "outlook.h"
#include "page_requests.h"
#include "../core/sandbox.h"
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
      << "no wrapper to ask: ids that differ as text, if only in case, are not guessed to be one";
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

// The wrapper's utility object as far as the page request asks it: the
// folder type, 2 (a search folder) for the folders named in `search`.
class FolderTypes : public IRdoUtils {
 public:
  BEGIN_COM_MAP(FolderTypes)
    COM_INTERFACE_ENTRY(IRdoUtils)
    COM_INTERFACE_ENTRY2(IDispatch, IRdoUtils)
  END_COM_MAP()
  std::vector<std::wstring> search;

  STDMETHODIMP GetPropByTag(IUnknown* object, long tag, VARIANT* value) override {
    VariantInit(value);
    com::ComPtr<IDispatch> folder;
    com::Variant id;
    if (tag != 0x36010003 || FAILED(object->QueryInterface(IID_IDispatch, folder.PutVoid())) ||
        FAILED(com::GetProperty(folder.Get(), L"EntryID", id.Put())))
      return E_FAIL;
    for (const std::wstring& s : search)
      if (s == id.AsString()) {
        value->vt = VT_I4;
        value->lVal = 2;
      }
    return S_OK;
  }
  STDMETHODIMP SetPropByTag(IUnknown*, long, VARIANT, short) override { return E_NOTIMPL; }
  STDMETHODIMP GetNamedPropId(IUnknown*, BSTR, VARIANT, short, long*) override { return E_NOTIMPL; }
  STDMETHODIMP BinToHex(VARIANT, BSTR*) override { return E_NOTIMPL; }
  STDMETHODIMP HexToBin(BSTR, VARIANT*) override { return E_NOTIMPL; }
  STDMETHODIMP GetMessageById(BSTR, VARIANT, VARIANT, IRdoMessage**) override { return E_NOTIMPL; }
  STDMETHODIMP CompareIds(BSTR, BSTR, VARIANT_BOOL*) override { return E_NOTIMPL; }
  STDMETHODIMP get_Version(BSTR*) override { return E_NOTIMPL; }
  STDMETHODIMP ToTableTimeBase(DATE, DATE*) override { return E_NOTIMPL; }
  STDMETHODIMP GetTypeInfoCount(UINT* n) override { *n = 0; return S_OK; }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo** t) override { *t = nullptr; return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return E_NOTIMPL;
  }
};

sim::ISimControl* SimControl() {
  HMODULE m = LoadLibraryW(L"simrdo.dll");
  auto get = m ? reinterpret_cast<sim::SimGetControlFn>(GetProcAddress(m, "SimGetControl")) : nullptr;
  return get ? get() : nullptr;
}

class FolderPageGates : public ::testing::Test {
 protected:
  void SetUp() override {
    box_ = std::make_unique<testing_support::Sandbox>();
    ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
    InitializeGlobalLocks();
    sim_ = SimControl();
    ASSERT_NE(sim_, nullptr);
    sim_->Reset();
    sim::SimStore personal;
    personal.isDefault = true;
    personalStore_ = sim_->AddStore(personal);
    sim::SimStore noPages;
    noPages.name = L"Shared";
    noPages.kind = 6;
    noPagesStore_ = sim_->AddStore(noPages);
    SetErrorLogPath((box_->Temp() + kErrorLogName).c_str());
    g_bDebugLog = true;
    engine_ = new CSyncEngine(nullptr, (box_->Temp() + kDebugLogName).c_str());
    g_pSyncEngine = engine_;
    com::ComObject<FolderTypes>* types = nullptr;
    com::ComObject<FolderTypes>::Create(&types);
    types_ = types;
    engine_->MapiUtils = types;
    Fake* raw = nullptr;
    Fake::Create(&raw);
    pages_ = raw;
    nameSpace_ = Folder(L"", L"");
    nameSpace_->defaultFolders[10] = Folder(L"00CONTACTS", L"IPM.Contact").Get();
  }
  void TearDown() override {
    ReleasePageFolder();
    g_pSyncEngine = nullptr;
    delete engine_;
    g_bDebugLog = false;
    DeleteGlobalLocks();
    sim_->Reset();
    CoUninitialize();
    box_.reset();
  }

  // Outlook asks for the pages of `folder`: what was added, or "" for none.
  std::wstring Offer(IDispatch* folder) {
    pages_->added.clear();
    VARIANT args[2];  // borrowed references, in reverse order: Folder last
    args[0].vt = VT_DISPATCH;
    args[0].pdispVal = folder;
    args[1].vt = VT_DISPATCH;
    args[1].pdispVal = pages_.Get();
    DISPPARAMS both{args, nullptr, 2, 0};
    EXPECT_EQ(OfferFolderPage(nameSpace_.Get(), com::DispArgs(&both)), S_OK);
    return pages_->added.empty() ? L"" : pages_->added[0];
  }
  com::ComPtr<Fake> FolderIn(const std::wstring& storeId, const wchar_t* entryId) {
    com::ComPtr<Fake> f = Folder(entryId, L"IPM.Contact");
    f->strings[L"StoreID"] = storeId;
    return f;
  }
  // A master object in the engine's list; with a target, its partner too.
  CMAPIFolderObject* Master(const wchar_t* target) {
    auto* master = new CMAPIFolderObject(nullptr, 0, false, false, false);
    engine_->AddFolderObject(master);
    if (target) {
      auto* standard = new CMAPIFolderObject(nullptr, 1, false, false, false);
      standard->Events->EntryID = com::Bstr(target);
      engine_->AddFolderObject(standard);
      master->Partner = standard;
    }
    return master;
  }

  std::unique_ptr<testing_support::Sandbox> box_;
  sim::ISimControl* sim_ = nullptr;
  std::wstring personalStore_, noPagesStore_;
  CSyncEngine* engine_ = nullptr;
  com::ComPtr<FolderTypes> types_;
  com::ComPtr<Fake> pages_, nameSpace_;
};

const std::wstring kStandard = std::wstring(kStandardPageProgId) + L"|Tallowby";
const std::wstring kReplication = std::wstring(kFolderPageProgId) + L"|Tallowby";

TEST_F(FolderPageGates, EachGateOfAFolderPageRequest) {
  com::ComPtr<Fake> team = FolderIn(personalStore_, L"00TEAM");
  EXPECT_EQ(Offer(team.Get()), L"") << "the settings are not loaded yet";
  EXPECT_NE(testing_support::ReadFileBytes(box_->Temp() + kDebugLogName).find("can't show dlg (waiting for init)"),
            std::string::npos);
  EXPECT_EQ(g_pPageFolder, nullptr);

  engine_->SetSettingsLoaded(true);
  EXPECT_EQ(Offer(team.Get()), kReplication);
  EXPECT_EQ(g_pPageFolder, static_cast<IDispatch*>(team.Get())) << "the folder the pages will work on";
  types_->search = {L"00TEAM"};
  EXPECT_EQ(Offer(team.Get()), L"") << "a search folder";
  types_->search.clear();
  EXPECT_EQ(Offer(FolderIn(noPagesStore_, L"00SHARED").Get()), L"") << "a store of the kind without pages";

  // A running pair's category subfolder takes the default-folder page; a
  // master without a target before it in the list changes nothing.
  Master(nullptr);
  Master(L"00WORK");
  com::ComPtr<Fake> work = FolderIn(personalStore_, L"00WORK");
  EXPECT_EQ(Offer(work.Get()), kStandard);
  StopFolderObject(engine_->GetFolderObject(0, true));
  EXPECT_EQ(Offer(work.Get()), kReplication) << "pairs after a stopped object are not looked at";

  testing_support::MessageBoxRecorder boxes;
  pages_->addResult = E_FAIL;
  Offer(team.Get());
  for (int i = 0; i < 100 && boxes.Boxes().empty(); ++i) Sleep(20);
  auto shown = boxes.Boxes();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].caption, L"Error");
  EXPECT_EQ(shown[0].text, L"Failed to add Propertypage:-2147467259");
}

}  // namespace
