#include "page_requests.h"

#include <cwchar>
#include <iterator>
#include <utility>
#include <vector>

#include "bstr.h"
#include "com_ptr.h"
#include "folder_object.h"
#include "item_identity.h"
#include "locks.h"
#include "logs.h"
#include "outlook.h"
#include "sync_engine.h"

IDispatch* g_pPageFolder = nullptr;

namespace {

// Outlook's default folders, in the order they are compared: Deleted Items,
// Drafts, Inbox, Outbox, Sent Items, Calendar, Contacts, Notes, Journal, Tasks.
constexpr long kDefaultFolderKinds[] = {3, 16, 6, 4, 5, 9, 10, 12, 11, 13};
constexpr long kPrFolderType = 0x36010003;
constexpr long kSearchFolder = 2;

std::wstring StringProperty(IDispatch* object, const wchar_t* name) {
  com::Variant v;
  if (!object || FAILED(com::GetProperty(object, name, v.Put())) || v.vt != VT_BSTR) return {};
  return v.AsString();
}


// Upper case of ASCII letters only, the same in every locale.
std::wstring AsciiUpper(std::wstring s) {
  for (wchar_t& c : s)
    if (c >= L'a' && c <= L'z') c = wchar_t(c - L'a' + L'A');
  return s;
}

bool IsSearchFolder(IDispatch* folder) {
  CSyncEngine* engine = g_pSyncEngine;
  if (!engine || !engine->MapiUtils) return false;
  com::Variant type;
  if (FAILED(engine->MapiUtils->GetPropByTag(folder, kPrFolderType, type.Put()))) return false;
  return (type.vt == VT_I4 || type.vt == VT_I2 || type.vt == VT_UI4) && type.AsLong() == kSearchFolder;
}

bool IsDefaultFolder(IDispatch* nameSpace, const std::wstring& entryId) {
  for (long kind : kDefaultFolderKinds) {
    com::Variant result;
    com::ComPtr<IDispatch> folder;
    // A profile may lack some of them (a journal, say): those are skipped.
    if (FAILED(com::CallMethod(nameSpace, L"GetDefaultFolder", {com::Variant(kind)}, result.Put())) ||
        FAILED(com::ResultToDispatch(result, folder.Put())))
      continue;
    if (SameEntryId(StringProperty(folder.Get(), L"EntryID"), entryId)) return true;
  }
  return false;
}

// The EntryIDs of the folders the running pairs write into.
std::vector<std::wstring> RunningTargets() {
  std::vector<std::wstring> targets;
  CSyncEngine* engine = g_pSyncEngine;
  if (!engine) return targets;
  CsLock lock(g_csFolderList);
  for (int i = 0;; ++i) {
    CMAPIFolderObject* folder = engine->GetFolderObject(i, false);
    if (!folder) break;
    if (folder->IsStandard) continue;
    // A master without a target has nothing to offer here.
    if (folder->Partner && folder->Partner->Events) targets.push_back(folder->Partner->Events->EntryID.Str());
  }
  return targets;
}

HRESULT AddPage(IDispatch* pages, const wchar_t* progId) {
  com::ComPtr<IDispatch> propertyPages;
  HRESULT hr = pages ? pages->QueryInterface(IID_PropertyPages, propertyPages.PutVoid()) : E_POINTER;
  if (SUCCEEDED(hr))
    hr = com::CallMethod(propertyPages.Get(), L"Add", {com::Variant(progId), com::Variant(kPageCaption)});
  return hr;
}

}  // namespace

bool SameEntryId(const std::wstring& a, const std::wstring& b) {
  if (a.empty() || b.empty()) return false;
  if (a == b) return true;
  // Outlook's and the wrapper's forms of one id may differ in their bytes:
  // only the wrapper tells that they name one object. Without the engine's
  // utility object a utility object of its own is asked.
  CSyncEngine* engine = g_pSyncEngine;
  com::ComPtr<IRdoUtils> utils(engine ? engine->MapiUtils.Get() : nullptr);
  if (!utils) CreateRdoObject(kRdoUtilsProgId, __uuidof(IRdoUtils), utils.PutVoid());
  VARIANT_BOOL same = VARIANT_FALSE;
  return utils && SUCCEEDED(utils->CompareIds(com::Bstr(a).Get(), com::Bstr(b).Get(), &same)) &&
         same != VARIANT_FALSE;
}

HRESULT OfferGlobalPage(const com::DispArgs& args) {
  HRESULT hr = AddPage(args.DispatchAt(0), kMainPageProgId);
  if (FAILED(hr)) LogError(hr, L"add Propertypage");
  return S_OK;
}

std::wstring FolderPageFor(IDispatch* nameSpace, IDispatch* folder) {
  const std::wstring entryId = StringProperty(folder, L"EntryID");
  if (IsSearchFolder(folder)) return {};
  const std::wstring messageClass = AsciiUpper(StringProperty(folder, L"DefaultMessageClass"));
  if (messageClass.find(L"IPM.NOTE") != std::wstring::npos || messageClass.find(L"IPM.POST") != std::wstring::npos)
    return {};
  if (g_pSyncEngine && IsFolderOfStoreKind6(g_pSyncEngine, folder)) return {};
  if (IsDefaultFolder(nameSpace, entryId)) return kStandardPageProgId;
  for (const std::wstring& target : RunningTargets())
    if (SameEntryId(target, entryId)) return kStandardPageProgId;
  return kFolderPageProgId;
}

HRESULT OfferFolderPage(IDispatch* nameSpace, const com::DispArgs& args) {
  CSyncEngine* engine = g_pSyncEngine;
  if (!engine) return S_OK;
  if (!engine->IsSettingsLoaded()) {
    DebugLog(L"can't show dlg (waiting for init)");
    return S_OK;
  }
  IDispatch* folder = args.DispatchAt(1);
  if (!folder) return S_OK;
  folder->AddRef();
  if (IDispatch* old = std::exchange(g_pPageFolder, folder)) old->Release();

  const std::wstring progId = FolderPageFor(nameSpace, folder);
  if (progId.empty()) return S_OK;
  HRESULT hr = AddPage(args.DispatchAt(0), progId.c_str());
  if (FAILED(hr)) {
    wchar_t text[64];
    swprintf(text, std::size(text), L"Failed to add Propertypage:%d", static_cast<int>(hr));
    MessageBoxW(nullptr, text, L"Error", MB_OK);
  }
  return S_OK;
}

void ReleasePageFolder() {
  if (IDispatch* old = std::exchange(g_pPageFolder, nullptr)) old->Release();
}
