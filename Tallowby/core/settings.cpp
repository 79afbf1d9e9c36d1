#include "settings.h"

#include <process.h>

#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

#include "clock.h"
#include "dispatch.h"
#include "folder_object.h"
#include "folder_threads.h"
#include "gal_sync.h"
#include "hidden_window.h"
#include "item_identity.h"
#include "language.h"
#include "locks.h"
#include "logs.h"
#include "sync_engine.h"

namespace {

constexpr DISPID kDispIsSharePoint = 0xFAB6;
constexpr HRESULT kMapiNotFound = static_cast<HRESULT>(0x8004010F);
constexpr long kFolderTypeSearch = 2;
constexpr DWORD kStringBytesJob = 1560;
constexpr DWORD kStringBytesCategory = 520;
constexpr DWORD kStringBytesStoreName = 1024;

bool IsExchangeKind(long kind) { return kind >= 3 && kind <= 5; }

// Outlook's default-folder number for an item kind.
long DefaultFolderNumber(long kind) {
  switch (kind) {
    case kItemAppointment: return 9;
    case kItemContact:
    case kItemDistList: return 10;
    case kItemTask: return 13;
    case kItemJournal: return 11;
    case kItemNote: return 12;
    default: return 6;
  }
}

std::wstring Format(const wchar_t* format, long value) {
  wchar_t line[128];
  swprintf(line, 128, format, value);
  return line;
}

std::wstring FolderName(IRdoFolder* folder) {
  com::Bstr name;
  if (folder) folder->get_Name(name.Put());
  return name.Str();
}

std::wstring FolderEntryId(IRdoFolder* folder) {
  com::Bstr id;
  if (folder) folder->get_EntryID(id.Put());
  return id.Str();
}

// Outlook's form of a wrapper folder's EntryID, which may differ from the
// wrapper's in its bytes: the option pages have Outlook's folders and name
// their registry keys by it. Empty when Outlook cannot open the folder.
std::wstring OutlookEntryId(IDispatch* nameSpace, IRdoFolder* folder) {
  com::Bstr storeId;
  folder->get_StoreID(storeId.Put());
  com::Variant result, id;
  com::ComPtr<IDispatch> outlookFolder;
  if (!nameSpace ||
      FAILED(com::CallMethod(nameSpace, L"GetFolderFromID",
                             {com::Variant(FolderEntryId(folder).c_str()), com::Variant(storeId.c_str())},
                             result.Put())) ||
      FAILED(com::ResultToDispatch(result, outlookFolder.Put())) ||
      FAILED(com::GetProperty(outlookFolder.Get(), L"EntryID", id.Put())) || id.vt != VT_BSTR)
    return {};
  return id.AsString();
}

bool SameIds(CSyncEngine* engine, const std::wstring& a, const std::wstring& b, const wchar_t* label) {
  VARIANT_BOOL same = VARIANT_FALSE;
  if (!engine->MapiUtils) return false;
  HRESULT hr = engine->MapiUtils->CompareIds(com::Bstr(a), com::Bstr(b), &same);
  return CheckHr(hr, label) && same != VARIANT_FALSE;
}

// Equal in upper case by the system's own table, the same in every user
// locale (a Turkish locale upper-cases "i" otherwise).
bool SameProfileName(const std::wstring& a, const std::wstring& b) {
  return CompareStringOrdinal(a.c_str(), int(a.size()), b.c_str(), int(b.size()), TRUE) == CSTR_EQUAL;
}

// What one load knows beyond the engine.
struct LoadContext {
  CSyncEngine* engine;
  bool reload;
  std::wstring profileName;
  com::ComPtr<IRdoStore> defaultStore;
};

// ---- Config ----

void ReadVersions(CSyncEngine* engine) {
  wchar_t version[64] = L"";
  GetVersionString(version, 64);
  wchar_t line[128];
  swprintf(line, 128, L"Debugger started, Version %ls", version);
  DebugLog(line);
  com::Bstr rdll;
  if (engine->MapiUtils) engine->MapiUtils->get_Version(rdll.Put());
  DebugLogString(L"RDLL:", rdll.c_str());
  com::Variant outlookVersion;
  if (engine->OutlookApplication) com::GetProperty(engine->OutlookApplication.Get(), L"Version", outlookVersion.Put());
  DebugLogString(L"OL:", outlookVersion.AsString().c_str());
}

void ChooseDefaultStore(LoadContext& ctx) {
  CSyncEngine* engine = ctx.engine;
  com::ComPtr<IRdoStores> stores;
  HRESULT hr = engine->RdoSession ? engine->RdoSession->get_Stores(stores.Put()) : E_POINTER;
  if (!CheckHr(hr, L"NO STORES") || !stores) return;
  engine->DefaultStoreID.Reset();
  const std::wstring wanted = engine->DefaultStoreName;
  com::ComPtr<IRdoStore> chosen;
  if (!wanted.empty()) {
    long count = 0;
    stores->get_Count(&count);
    for (long i = 1; i <= count; ++i) {
      com::ComPtr<IRdoStore> store;
      com::Bstr name;
      if (stores->Item(com::Variant(i), store.Put()) != S_OK || !store) break;
      if (store->get_Name(name.Put()) != S_OK) break;
      if (name.Str() == wanted) chosen = store;  // a later equal name wins
    }
    if (!chosen) CheckHr(stores->get_DefaultStore(chosen.Put()), L"NO DEFAULT STORE 2");
  } else {
    CheckHr(stores->get_DefaultStore(chosen.Put()), L"NO DEFAULT STORE");
  }
  if (!chosen) return;
  com::Bstr storeId;
  CheckHr(chosen->get_StoreID(storeId.Put()), L"NO DEFAULT STOREID");
  engine->DefaultStoreID = storeId;
  ctx.defaultStore = chosen;
  if (g_bDebugLog) {
    com::Bstr name;
    chosen->get_Name(name.Put());
    DebugLogString(L"DefaultStoreIs:", name.c_str());
  }
}

void ReadSession(LoadContext& ctx, const reg::Key& config) {
  CSyncEngine* engine = ctx.engine;
  if (!engine->RdoSession) return;
  com::Bstr profile;
  if (SUCCEEDED(engine->RdoSession->get_ProfileName(profile.Put()))) ctx.profileName = profile.Str();
  long mode = 0;
  if (FAILED(engine->RdoSession->get_ConnectionMode(&mode))) return;
  if (g_bDebugLog) {
    DebugLog(Format(L"ConnectionMode: %ld", mode).c_str());
    DebugLog(ctx.profileName.c_str());
  }
  if (mode == 0) return;
  com::Bstr exchangeVersion;
  if (SUCCEEDED(engine->RdoSession->get_ExchangeVersion(exchangeVersion.Put())) && g_bDebugLog) {
    if (exchangeVersion.Get())
      DebugLogString(L"SessionExchangeVersion: ", exchangeVersion.c_str());
    else
      DebugLog(L"SessionExchangeVersion:NULL Mixed Accounts???");
  }
  if (reg::IsOne(config.ReadDword(L"syncGAL", reg::DwordType::kMustBeDword))) {
    engine->GalCopyOn = true;
    if (g_bDebugLog) DebugLog(L"GalSyncIsInUse");
  }
}

void ReadConfig(LoadContext& ctx) {
  CSyncEngine* engine = ctx.engine;
  reg::Key config;
  LONG rc = config.Open(HKEY_CURRENT_USER, reg::kConfigPath, KEY_ALL_ACCESS);
  if (rc != ERROR_SUCCESS) {
    LogError(0, L"ReadSettings");
    return;
  }
  engine->UserLogOn = 0;
  if (!g_bDebugLog) {
    engine->UserLogOn = reg::IsOne(config.ReadDword(L"userlog", reg::DwordType::kMustBeDword)) ? 1 : 0;
  } else {
    ReadVersions(engine);
    engine->UserLogOn = 1;
  }
  engine->LockTime = ReadLockTime(config);
  std::wstring storeName = config.ReadString(L"defaultStoreName", kStringBytesStoreName).value_or(L"");
  wcsncpy(engine->DefaultStoreName, storeName.c_str(), 511);
  engine->DefaultStoreName[511] = L'\0';
  ChooseDefaultStore(ctx);
  if (engine->UserLogOn) engine->UserLog(L"Tallowby running...");
  ReadSession(ctx, config);
}

// ---- One job ----

class JobLoader {
 public:
  JobLoader(LoadContext& ctx, const std::wstring& entryId) : ctx_(ctx), engine_(ctx.engine), entryId_(entryId) {}
  void Load();

 private:
  bool OpenMaster();
  void ForgetOrKeepJob(HRESULT lookup);
  bool StoreIsOpen(const std::wstring& storeId);
  void ClassifyMaster();
  void MakeMaster();
  void LogSyncJob();
  com::ComPtr<IRdoFolder> FindTarget(HRESULT* hr);
  com::ComPtr<IRdoFolder> OldestRootFolderOfKind(long kind);
  com::ComPtr<IRdoFolder> CategorySubfolder(IRdoFolder* parent, bool parentIsRoot, long kind, HRESULT* hr);
  void LinkTarget(IRdoFolder* target);
  bool TargetIsExchange();
  CMAPIFolderObject* FindPartner(const std::wstring& targetId);
  CMAPIFolderObject* MakeDefaultFolderObject(IRdoFolder* target, const std::wstring& targetId, bool exchange);

  LoadContext& ctx_;
  CSyncEngine* engine_;
  std::wstring entryId_;
  reg::Key job_;
  std::wstring storeId_;
  com::ComPtr<IDispatch> outlookFolder_;
  bool exchange_ = false, sharePoint_ = false, iCloud_ = false, hotMail_ = false;
  CMAPIFolderObject* master_ = nullptr;
};

void JobLoader::Load() {
  if (job_.Open(HKEY_CURRENT_USER, (std::wstring(reg::kFoldersPath) + L"\\" + entryId_).c_str(), KEY_ALL_ACCESS) !=
      ERROR_SUCCESS)
    return;
  std::wstring profile = job_.ReadString(L"Profil", kStringBytesJob).value_or(L"");
  if (!profile.empty() && !SameProfileName(profile, ctx_.profileName)) {
    DebugLog(L"Profile not matched");
    return;
  }
  storeId_ = job_.ReadString(L"SID", kStringBytesJob).value_or(L"");
  DebugLog(L"--------ADDFOLDER--------");
  if (!OpenMaster()) return;
  ClassifyMaster();
  MakeMaster();
  LogSyncJob();

  HRESULT hr = S_OK;
  com::ComPtr<IRdoFolder> target = FindTarget(&hr);
  DebugLog(L"-----------------FOLDERADDED-------------");
  if (!target) {
    LogError(hr, L"Target-Default-Folder from store not found");
    return;
  }
  LinkTarget(target.Get());
}

bool JobLoader::OpenMaster() {
  com::Variant result;
  HRESULT hr = engine_->OutlookNameSpace
                   ? com::CallMethod(engine_->OutlookNameSpace.Get(), L"GetFolderFromID",
                                     {com::Variant(entryId_.c_str()), com::Variant(storeId_.c_str())}, result.Put())
                   : E_POINTER;
  if (SUCCEEDED(hr)) com::ResultToDispatch(result, outlookFolder_.Put());
  if (outlookFolder_) return true;
  if (g_bDebugLog) DebugLog(L"Folder in other store / folder deleted !!??");
  ForgetOrKeepJob(SUCCEEDED(hr) ? kMapiNotFound : hr);
  return false;
}

// A job goes from the registry only when its folder is really gone: its
// store is open in this session and the folder is reported not found. A
// store that is missing, offline or belongs to another profile keeps the job.
void JobLoader::ForgetOrKeepJob(HRESULT lookup) {
  if (lookup != kMapiNotFound || storeId_.empty() || !StoreIsOpen(storeId_)) {
    DebugLog(L"Folder kept: its store is not open or the lookup failed");
    return;
  }
  job_.Close();
  reg::Key folders;
  LONG rc = folders.Open(HKEY_CURRENT_USER, reg::kFoldersPath, KEY_ALL_ACCESS);
  if (rc == ERROR_SUCCESS) rc = RegDeleteTreeW(folders.Get(), entryId_.c_str());
  if (rc == ERROR_SUCCESS) {
    if (RegDeleteKeyW(folders.Get(), entryId_.c_str()) != ERROR_SUCCESS) {}  // gone already with the tree
    DebugLog(L"Folderkonfig deleted!!!");
  } else {
    LogError(lookup, L"Folder could not be deleted");
  }
}

bool JobLoader::StoreIsOpen(const std::wstring& storeId) {
  com::ComPtr<IRdoStores> stores;
  long count = 0;
  if (!engine_->RdoSession || FAILED(engine_->RdoSession->get_Stores(stores.Put())) || !stores ||
      FAILED(stores->get_Count(&count)))
    return false;
  for (long i = 1; i <= count; ++i) {
    com::ComPtr<IRdoStore> store;
    com::Bstr id;
    if (FAILED(stores->Item(com::Variant(i), store.Put())) || !store || FAILED(store->get_StoreID(id.Put()))) continue;
    VARIANT_BOOL same = VARIANT_FALSE;
    if (engine_->MapiUtils && SUCCEEDED(engine_->MapiUtils->CompareIds(id, com::Bstr(storeId), &same)) && same)
      return true;
  }
  return false;
}

void JobLoader::ClassifyMaster() {
  com::Variant sharePoint;
  if (SUCCEEDED(com::GetPropertyById(outlookFolder_.Get(), kDispIsSharePoint, sharePoint.Put())) &&
      sharePoint.vt == VT_BOOL && sharePoint.boolVal == VARIANT_TRUE) {
    sharePoint_ = true;
    DebugLog(L"IsSharePoint");
  }
  com::Variant folderStoreId;
  com::ComPtr<IRdoStore> store;
  if (CheckHr(com::GetProperty(outlookFolder_.Get(), L"StoreID", folderStoreId.Put()), L"No StoreId") &&
      engine_->RdoSession &&
      CheckHr(engine_->RdoSession->GetStoreById(com::Bstr(folderStoreId.AsString()), com::Variant(16L), store.Put()),
              L"No Store") &&
      store) {
    long kind = 0;
    store->get_Kind(&kind);
    com::Bstr name;
    store->get_Name(name.Put());
    exchange_ = IsExchangeKind(kind);
    if (g_bDebugLog) {
      DebugLog(Format(exchange_ ? L"M:ExchangeStore: Storekind:%ld" : L"M:PSTStore: Storekind:%ld", kind).c_str());
      DebugLogString(L"M:Storename:", name.c_str());
    }
  }
  if (exchange_ || !engine_->RdoSession) return;
  com::ComPtr<IRdoFolder> folder;
  if (!CheckHr(engine_->RdoSession->GetFolderById(com::Bstr(entryId_), com::Variant(storeId_.c_str()),
                                                  com::Variant(16L), folder.Put()),
               L"No Folder"))
    return;
  int mode = GetStoreMode(engine_, folder);
  iCloud_ = mode == kStoreModeICloud;
  hotMail_ = mode == kStoreModeHotMail;
}

void JobLoader::MakeMaster() {
  master_ = new CMAPIFolderObject(outlookFolder_.Get(), 0, exchange_ && !sharePoint_, iCloud_, hotMail_);
  CItemsEvents* sink = master_->Events;
  sink->DONT_SYNC_BSP_ITEMS = reg::IsOne(job_.ReadDword(L"DONT_SYNC_BSP_ITEMS", reg::DwordType::kAnyType));
  sink->MARK_AS_PRIVATE = reg::IsOne(job_.ReadDword(L"MARK_AS_PRIVATE", reg::DwordType::kAnyType));
  sink->DONT_SYNC_PRIV_ITEMS = reg::IsNotZero(job_.ReadDword(L"DONT_SYNC_PRIV_ITEMS", reg::DwordType::kAnyType));
  SetFolderCategory(master_->Categorie, job_.ReadString(L"Categorie", kStringBytesCategory).value_or(L""));
  sink->BOTH_DIRECTIONS = reg::IsNotZero(job_.ReadDword(L"BOTH_DIRECTIONS", reg::DwordType::kAnyType));
  sink->DONT_SYNC_REMINDERS = reg::IsNotZero(job_.ReadDword(L"DONT_SYNC_REMINDERS", reg::DwordType::kAnyType));
  sink->CREATESUBFOLDER = reg::IsNotZero(job_.ReadDword(L"CREATESUBFOLDER", reg::DwordType::kAnyType));
  engine_->AddFolderObject(master_);
}

void JobLoader::LogSyncJob() {
  if (!g_bDebugLog && !engine_->UserLogOn) return;
  std::wstring line = L"SyncJob:";
  com::Variant type;
  if (engine_->MapiUtils &&
      SUCCEEDED(engine_->MapiUtils->GetPropByTag(outlookFolder_.Get(), kTagFolderType, type.Put())) &&
      type.AsLong() == kFolderTypeSearch)
    line += L"Searchfolder:";
  com::Variant name;
  com::GetProperty(outlookFolder_.Get(), L"Name", name.Put());
  line += name.AsString() + L" as  category:" + master_->Categorie;
  engine_->UserLog(line.c_str());
}

com::ComPtr<IRdoFolder> JobLoader::FindTarget(HRESULT* hr) {
  com::ComPtr<IRdoFolder> target;
  CItemsEvents* sink = master_->Events;
  com::Variant messageClass;
  const bool classRead =
      SUCCEEDED(com::GetProperty(outlookFolder_.Get(), L"DefaultMessageClass", messageClass.Put()));
  const long kind = GetItemTypeFromMessageClass(engine_, messageClass.AsString().c_str());
  IRdoStore* store = ctx_.defaultStore.Get();
  if (classRead && store) {
    *hr = store->GetDefaultFolder(DefaultFolderNumber(kind), target.Put());
    if (FAILED(*hr))
      LogError(*hr, L"GetSettings:Add folders:NoDefaultFolderFomStore");
    else if (g_bDebugLog)
      DebugLog(L"GetSettings:Add folders:DefaultFolders:");
    if (target && FolderName(target.Get()).empty()) target.Reset();
    if (!target) target = OldestRootFolderOfKind(kind);
  }
  bool targetIsRoot = false;
  if (!target) {
    if (!sink->CREATESUBFOLDER || !store) return target;
    DebugLog(L"TargetFolder is NULL, try to use RootFolder:");
    if (!CheckHr(store->get_RootFolder(target.Put()), L"GetRootFolder") || !target) return nullptr;
    targetIsRoot = true;
  }
  if (!sink->CREATESUBFOLDER) return target;
  return CategorySubfolder(target.Get(), targetIsRoot, kind, hr);
}

com::ComPtr<IRdoFolder> JobLoader::OldestRootFolderOfKind(long kind) {
  com::ComPtr<IRdoFolder> root, taken;
  if (g_bDebugLog) DebugLog(L"GetFolderFromRoot");
  HRESULT hr = ctx_.defaultStore->get_RootFolder(root.Put());
  if (!root) {
    if (g_bDebugLog) DebugLog(L"NoRootFolder");
    return nullptr;
  }
  if (!CheckHr(hr, L"RootFolder")) return nullptr;
  com::ComPtr<IRdoFolders> subfolders;
  if (!CheckHr(root->get_Folders(subfolders.Put()), L"Subfolders of defaultFolder") || !subfolders) return nullptr;
  double takenCreated = 0;
  com::ComPtr<IRdoFolder> folder;
  for (subfolders->GetFirst(folder.Put()); folder; subfolders->GetNext(folder.Put())) {
    std::wstring name = FolderName(folder.Get());
    if (g_bDebugLog) {
      if (name.empty())
        DebugLog(L"GetFoldersFromRootNULL");
      else
        DebugLogString(L"GetFoldersFromRoot", name.c_str());
    }
    long type = -1;
    if (FAILED(folder->get_DefaultItemType(&type)) || type != kind) continue;
    com::Variant created;
    if (engine_->MapiUtils) engine_->MapiUtils->GetPropByTag(folder.Get(), kTagCreationTime, created.Put());
    double when = created.AsDouble();
    if (!taken || takenCreated > when) {  // the oldest wins; equal times keep the earlier
      taken = folder;
      takenCreated = when;
    }
  }
  if (taken && g_bDebugLog) DebugLogString(L"Use Defaultfolder:", FolderName(taken.Get()).c_str());
  return taken;
}

com::ComPtr<IRdoFolder> JobLoader::CategorySubfolder(IRdoFolder* parent, bool parentIsRoot, long kind, HRESULT* hr) {
  const std::wstring category = master_->Categorie;
  com::ComPtr<IRdoFolders> subfolders;
  com::ComPtr<IRdoFolder> found;
  if (CheckHr(parent->get_Folders(subfolders.Put()), L"Subfolders") && subfolders) {
    com::ComPtr<IRdoFolder> folder;
    for (subfolders->GetFirst(folder.Put()); folder; subfolders->GetNext(folder.Put())) {
      if (FolderName(folder.Get()) == category) {
        found = folder;
        break;
      }
    }
  }
  if (!found && subfolders) {
    // Under a store's root a new folder would take the mail type; give it
    // the item kind's folder type. Under a default folder it inherits.
    com::Variant type = parentIsRoot ? com::Variant(DefaultFolderNumber(kind)) : com::Variant();
    if (!parentIsRoot) { type.vt = VT_ERROR; type.scode = DISP_E_PARAMNOTFOUND; }
    *hr = subfolders->Add(com::Bstr(category), type, found.Put());
    if (FAILED(*hr) || !found) return nullptr;
    if (master_->Events->BOTH_DIRECTIONS) {
      reg::Key entry;
      std::wstring name = OutlookEntryId(engine_->OutlookNameSpace.Get(), found.Get());
      if (name.empty()) name = FolderEntryId(found.Get());
      std::wstring path = std::wstring(reg::kAddCategorieFoldersPath) + L"\\" + name;
      if (entry.Create(HKEY_CURRENT_USER, path.c_str()) == ERROR_SUCCESS) {
        entry.WriteDword(L"used", 1);
        entry.WriteString(L"Categorie", category);
      }
    }
  }
  if (found) DebugLogString(L"GetSettings:Using SubfolderMode:", FolderName(found.Get()).c_str());
  return found;
}

bool JobLoader::TargetIsExchange() {
  com::ComPtr<IRdoStore> store;
  if (!engine_->RdoSession ||
      !CheckHr(engine_->RdoSession->GetStoreById(engine_->DefaultStoreID, com::Variant(16L), store.Put()),
               L"No Store") ||
      !store)
    return exchange_;
  long kind = 0;
  store->get_Kind(&kind);
  bool exchange = IsExchangeKind(kind);
  if (g_bDebugLog) DebugLog(Format(exchange ? L"S:ExchangeStore: %ld" : L"S:PSTStore: %ld", kind).c_str());
  return exchange;
}

// Only default-folder objects can be partners: a master never becomes the
// partner of another job or of itself.
CMAPIFolderObject* JobLoader::FindPartner(const std::wstring& targetId) {
  while (!TryEnterCriticalSection(&g_csFolderList)) clk::Sleep(100);
  CMAPIFolderObject* partner = nullptr;
  for (int i = 0; CMAPIFolderObject* f = engine_->GetFolderObject(i, true); ++i) {
    if (f->IsStandard != 1) continue;
    if (SameIds(engine_, targetId, f->Events->EntryID.Str(), L"GetSettings::MutComp") &&
        f->Events->HotMailMode == master_->Events->HotMailMode) {
      partner = f;
      break;
    }
  }
  LeaveCriticalSection(&g_csFolderList);
  return partner;
}

CMAPIFolderObject* JobLoader::MakeDefaultFolderObject(IRdoFolder* target, const std::wstring& targetId,
                                                      bool exchange) {
  DebugLog(L"--------ADDDEFAULTFOLDER--------");
  if (engine_->DefaultStoreID.Empty() || targetId.empty()) return nullptr;
  com::Variant result;
  com::ComPtr<IDispatch> outlookTarget;
  HRESULT hr = com::CallMethod(engine_->OutlookNameSpace.Get(), L"GetFolderFromID",
                               {com::Variant(targetId.c_str()), com::Variant(engine_->DefaultStoreID.c_str())},
                               result.Put());
  if (SUCCEEDED(hr)) hr = com::ResultToDispatch(result, outlookTarget.Put());
  bool iCloud = !exchange && GetStoreMode(engine_, com::ComPtr<IRdoFolder>(target)) == kStoreModeICloud;
  if (!outlookTarget) {
    LogError(hr, L"no Target-Default-Folder from namespace");
    return nullptr;
  }
  CItemsEvents* masterSink = master_->Events;
  auto* standard = new CMAPIFolderObject(outlookTarget.Get(), 1, exchange, iCloud, masterSink->HotMailMode);
  standard->Events->IsStandard = 1;
  standard->Events->BOTH_DIRECTIONS = true;
  standard->Events->MARK_AS_PRIVATE = masterSink->MARK_AS_PRIVATE;
  standard->Events->MasterCreateSubfolder = masterSink->CREATESUBFOLDER;
  engine_->AddFolderObject(standard);
  // The pages name the entry by Outlook's form of the EntryID, the folder
  // object's own; an entry named by the wrapper's form is still read.
  reg::Key entry;
  auto openEntry = [&](const std::wstring& name) {
    return entry.Open(HKEY_CURRENT_USER, (std::wstring(reg::kAddCategorieFoldersPath) + L"\\" + name).c_str(),
                      KEY_READ) == ERROR_SUCCESS;
  };
  const std::wstring ownId = standard->Events->EntryID.Str();
  if ((!ownId.empty() && openEntry(ownId)) || openEntry(targetId)) {
    bool used = reg::IsNotZero(entry.ReadDword(L"used", reg::DwordType::kAnyType));
    std::wstring category = entry.ReadString(L"Categorie", MAX_PATH * sizeof(wchar_t)).value_or(L"");
    SetFolderCategory(standard->DefaultCategorie, category);
    standard->AddDefaultCategory = used && !category.empty();
  }
  standard->StartThread();
  DebugLog(L"--------DEFAULTFOLDERADDED--------");
  return standard;
}

void JobLoader::LinkTarget(IRdoFolder* target) {
  const std::wstring targetId = FolderEntryId(target);
  com::Bstr checkedId;
  CheckHr(target->get_EntryID(checkedId.Put()), L"EntryID?");
  if (SameIds(engine_, targetId, master_->Events->EntryID.Str(), L"GetSettings::MutComp")) {
    // The job's target is its own folder: it would copy onto itself.
    LogError(E_INVALIDARG, L"Target-Default-Folder is the master folder");
    return;
  }
  const bool targetExchange = TargetIsExchange();
  CMAPIFolderObject* partner = FindPartner(targetId);
  if (!partner) partner = MakeDefaultFolderObject(target, targetId, targetExchange);
  master_->Partner = partner;
  if (ctx_.reload) {
    master_->Events->ResetRequest = true;
    if (partner) partner->Events->ResetRequest = true;
  }
  master_->StartThread();
  DebugLog(L"-----------------FOLDERPAIRADDED-------------");
}

// The names of the jobs, read before any is loaded: loading may delete a
// job's key, and an enumeration by index would then skip the next one.
std::vector<std::wstring> JobNames() {
  reg::Key folders;
  if (folders.Open(HKEY_CURRENT_USER, reg::kFoldersPath, KEY_READ) != ERROR_SUCCESS) return {};
  return folders.SubkeyNames(reg::kSubkeyNameChars);
}

void ListAddIns(CSyncEngine* engine) {
  if (!g_bDebugLog || !engine->OutlookApplication) return;
  com::Variant addInsResult, countResult;
  com::ComPtr<IDispatch> addIns;
  if (FAILED(com::GetProperty(engine->OutlookApplication.Get(), L"COMAddIns", addInsResult.Put())) ||
      FAILED(com::ResultToDispatch(addInsResult, addIns.Put())) || !addIns ||
      FAILED(com::GetProperty(addIns.Get(), L"Count", countResult.Put())))
    return;
  for (long i = 1; i <= countResult.AsLong(); ++i) {
    com::Variant itemResult, description;
    com::ComPtr<IDispatch> addIn;
    if (FAILED(com::CallMethod(addIns.Get(), L"Item", {com::Variant(i)}, itemResult.Put())) ||
        FAILED(com::ResultToDispatch(itemResult, addIn.Put())) || !addIn ||
        FAILED(com::GetProperty(addIn.Get(), L"Description", description.Put())))
      return;
    DebugLogString(L"AddIn:", description.AsString().c_str());
  }
}

}  // namespace

DWORD ReadLockTime(const reg::Key& config) {
  std::optional<DWORD> value = config.ReadDword(L"locktime", reg::DwordType::kMustBeDword);
  DWORD lockTime;
  if (value) {
    lockTime = *value;
  } else {
    std::rand();
    lockTime = DWORD(std::rand()) / 297 + 10;
  }
  if (lockTime < 10) lockTime = 10;
  if (lockTime > 300) lockTime = 300;
  return lockTime;
}

void GetSettings(CSyncEngine* engine, bool reload) {
  if (!engine) return;
  DebugLog(L"ENTER GetSettings");
  engine->DefaultStoreName[0] = L'\0';
  engine->GalCopyOn = false;
  LoadContext ctx{engine, reload, {}, {}};
  ReadConfig(ctx);
  for (const std::wstring& name : JobNames()) JobLoader(ctx, name).Load();
  DebugLog(L"EXIT GetSettings");
  ListAddIns(engine);
  engine->SetSettingsLoaded(true);
  DebugLog(L"SettingsLoaded");
}

void StartSync(CSyncEngine* engine) {
  if (!engine) return;
  engine->SetSettingsLoaded(false);
  GetSettings(engine, false);
  if (!engine->GalCopyOn) return;
  if (HANDLE thread = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, GalSyncThread, engine, 0, nullptr)))
    engine->AdoptThread(thread);
}

namespace {

// True while a Reload runs on Outlook's user-interface thread.
bool g_reloading = false;
std::vector<std::function<void()>> g_afterReload;

}  // namespace

bool ReloadRunning() { return g_reloading; }

void RunAfterReload(std::function<void()> work) {
  if (!g_reloading) {
    work();
    return;
  }
  g_afterReload.push_back(std::move(work));
}

bool Reload(CSyncEngine* engine) {
  if (!engine || engine->ShutdownInitiated) return true;
  // The wait for the workers below pumps messages, so a second Apply can
  // ask for a Reload meanwhile. This one serves it: its load comes after
  // the wait and reads what that Apply wrote. Running it nested would free
  // the folder objects this one is still stopping.
  if (g_reloading) {
    DebugLog(L"Reload already running");
    return true;
  }
  struct Running {
    Running() { g_reloading = true; }
    ~Running() {
      g_reloading = false;
      for (auto& work : std::exchange(g_afterReload, {})) work();
    }
  } running;
  if (engine->HiddenWindow) KillTimer(engine->HiddenWindow, kStartTimerId);
  DebugLog(L"---Optionsdialog - Restart Threads---");
  engine->StopAllFolderObjects();
  clk::Sleep(1500);
  // Every worker has ended before the first object goes: they point at
  // each other's objects.
  StopAllFolderWorkers();
  while (CMAPIFolderObject* folder = engine->TakeFirstFolderObject()) DeleteFolderObject(folder);
  if (engine->ShutdownInitiated) {
    // Quit came during the wait: its shutdown finishes when this returns.
    DebugLog(L"EXIT Reload: shutdown");
    return true;
  }
  // Threads started by the load below wait until it has finished.
  engine->SetSettingsLoaded(false);
  GetSettings(engine, true);
  DebugLog(L"EXIT Reload");
  return true;
}

HRESULT GetFolderFromCategorie(CSyncEngine* engine, IRdoSession* session, const wchar_t* category,
                               CMAPIFolderObject** folder, long expectedType) {
  if (!engine || !session || !category || !folder) return E_FAIL;
  if (g_bDebugLog) DebugLogString(L"GetFolderFromCategorie::", category);
  for (int i = 0; CMAPIFolderObject* f = engine->GetFolderObject(i, true); ++i) {
    if (!f->RunFlag || f->Events->IsStandard == 1 || wcscmp(f->Categorie, category) != 0) continue;
    com::ComPtr<IRdoFolder> rdoFolder;
    long type = -1;
    if (!CheckHr(session->GetFolderById(f->Events->EntryID, com::Variant(f->Events->StoreID.c_str()),
                                        com::Variant(16L), rdoFolder.Put()),
                 L"GetFolderFromCategorie::GetFolderFromIDFailed") ||
        !rdoFolder)
      continue;
    if (SUCCEEDED(rdoFolder->get_DefaultItemType(&type)) && type == expectedType) {
      *folder = f;
      if (g_bDebugLog) DebugLog(L"GetFolderFromCategorie::Folder found");
      return S_OK;
    }
    if (g_bDebugLog) DebugLog(L"Folder found, but itemtype not the same as expected");
  }
  DebugLog(L"GetFolderFromCategorie::NO Folder4Category found");
  return E_FAIL;
}

#ifdef TALLOWBY_TEST_SEAMS
BOOL WINAPI TallowbyTestReload() {
  CSyncEngine* engine = g_pSyncEngine;
  if (!engine) return FALSE;
  // Reload belongs to Outlook's user-interface thread (the thread of the
  // hidden window): its timers and folder objects live there.
  if (!engine->HiddenWindow || GetWindowThreadProcessId(engine->HiddenWindow, nullptr) != GetCurrentThreadId())
    return FALSE;
  engine->SetSettingsLoaded(false);
  return Reload(engine) ? TRUE : FALSE;
}
#endif
