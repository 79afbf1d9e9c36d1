#include "gal_sync.h"

#include <algorithm>
#include <functional>
#include <set>
#include <unordered_map>
#include <vector>

#include "bstr.h"
#include "clock.h"
#include "com_apartment.h"
#include "com_ptr.h"
#include "logs.h"
#include "registry.h"
#include "sync_engine.h"
#include "variant.h"

namespace {

constexpr DWORD kStartDelayMs = 30000;
constexpr DWORD kListDelayMs = 10000;
// Used for this run when the interval is not configured; the value stored
// for later runs is longer.
constexpr DWORD kIntervalThisRun = 14;
constexpr DWORD kIntervalStored = 30;
// A stamped copy not refreshed within this many days before the reference
// time is taken to be gone from its list (57.6 minutes).
constexpr double kVanishedAfterDays = 0.04;
constexpr long kContactsFolder = 10;
constexpr long kDeleteOption = 1;

constexpr wchar_t kStampFilter[] =
    L"\"http://schemas.microsoft.com/mapi/string/{00020329-0000-0000-C000-000000000046}/TallowbyGAL\" IS NOT NULL";
constexpr wchar_t kDistListFilter[] = L"\"http://schemas.microsoft.com/mapi/proptag/0x001A001F\" = 'IPM.DistList'";
constexpr wchar_t kStampedDistListFilter[] =
    L"(\"http://schemas.microsoft.com/mapi/string/{00020329-0000-0000-C000-000000000046}/TallowbyGAL\" IS NOT NULL)"
    L" AND (\"http://schemas.microsoft.com/mapi/proptag/0x001A001F\" = 'IPM.DistList')";

constexpr wchar_t kNoSubfolder[] = L"no GAL subfolder in contacts found";

using ItemTest = std::function<bool(IRdoMessage*)>;

// Equal texts in the user's locale, case-sensitive; empty equals empty.
bool SameText(const std::wstring& a, const com::Bstr& b) {
  if (a.empty() || b.Empty()) return a.empty() && b.Empty();
  return VarBstrCmp(com::Bstr(a), b, LOCALE_USER_DEFAULT, 0) == static_cast<HRESULT>(VARCMP_EQ);
}

std::wstring ReadText(IRdoMessage* item, HRESULT (STDMETHODCALLTYPE IRdoMessage::*get)(BSTR*)) {
  com::Bstr text;
  if (FAILED((item->*get)(text.Put()))) return {};
  return text.Str();
}

// Now in local time, to the whole second.
double NowWholeSeconds() {
  SYSTEMTIME st = clk::NowLocalSystemTime();
  st.wMilliseconds = 0;
  double date = 0;
  SystemTimeToVariantTime(&st, &date);
  return date;
}

com::Variant Dispatch(IDispatch* object) { return com::Variant(object); }

com::Variant MissingArgument() {
  com::Variant missing;
  missing.vt = VT_ERROR;
  missing.scode = DISP_E_PARAMNOTFOUND;
  return missing;
}

// Walks the hits of a filter, then (when told) every item of the folder,
// until `test` accepts one.
class CopyWalk {
 public:
  explicit CopyWalk(IRdoItems* items) : items_(items) {}

  HRESULT FindFirst(const wchar_t* filter, const ItemTest& test, com::ComPtr<IRdoMessage>* hit) {
    com::ComPtr<IRdoMessage> item;
    HRESULT hr = items_->Find(com::Bstr(filter), item.Put());
    if (!CheckHr(hr, L"getItemFromGALFolder:Item")) return hr;
    return Continue(item, &IRdoItems::FindNext, test, hit);
  }

  HRESULT WalkAll(const ItemTest& test, com::ComPtr<IRdoMessage>* hit) {
    com::ComPtr<IRdoMessage> item;
    HRESULT hr = items_->GetFirst(item.Put());
    if (!CheckHr(hr, L"getItemFromGALFolder:Item")) return hr;
    return Continue(item, &IRdoItems::GetNext, test, hit);
  }

 private:
  HRESULT Continue(com::ComPtr<IRdoMessage> item, HRESULT (STDMETHODCALLTYPE IRdoItems::*next)(IRdoMessage**),
                   const ItemTest& test, com::ComPtr<IRdoMessage>* hit) {
    while (item) {
      if (test(item.Get())) {
        *hit = item;
        return S_OK;
      }
      HRESULT hr = (items_->*next)(item.Put());
      if (!CheckHr(hr, L"getItemFromGALFolder:wItems")) return hr;
    }
    return S_OK;
  }

  IRdoItems* items_;
};

// The copies' searches ask for the stamp's name, which a store knows only
// once an item carried the stamp; a search on a name the store does not know
// fails instead of finding nothing. So the name is asked for, with create,
// before a folder is searched.
void MapStampName(const GalRunSettings& settings, IRdoFolder* folder) {
  com::ComPtr<IRdoUtils> utils;
  long id = 0;
  const HRESULT hr = settings.createUtils ? settings.createUtils(utils.Put())
                                          : CreateRdoObject(kRdoUtilsProgId, __uuidof(IRdoUtils), utils.PutVoid());
  if (CheckHr(hr, L"syncGAL:Utils") && utils)
    CheckHr(utils->GetNamedPropId(folder, com::Bstr(L"{00020329-0000-0000-C000-000000000046}"),
                                  com::Variant(kGalStampName), 1, &id),
            L"syncGAL:StampName");
}

HRESULT TakeItems(IRdoFolder* folder, com::ComPtr<IRdoItems>* items) {
  if (!folder) return E_POINTER;
  HRESULT hr = folder->get_Items(items->Put());
  if (SUCCEEDED(hr) && !*items) hr = E_POINTER;
  CheckHr(hr, L"getItemFromGALFolder:Items");
  return hr;
}

HRESULT EntryIdOfHit(const com::ComPtr<IRdoMessage>& hit, HRESULT hr, std::wstring* entryId) {
  if (!hit) return hr;
  com::Bstr id;
  hr = hit->get_EntryID(id.Put());
  if (SUCCEEDED(hr)) *entryId = id.Str();
  return hr;
}

// Whether an unstamped item may count as a copy under `scope`.
bool UnstampedAllowed(IRdoMessage* item, const GalCopyScope& scope) {
  if (!scope.takeUnstamped) return false;
  if (scope.unstampedCreatedSince <= 0) return true;
  DATE created = 0;
  return SUCCEEDED(item->get_CreationTime(&created)) && created >= scope.unstampedCreatedSince;
}

bool HasStamp(IRdoMessage* item) {
  com::ComPtr<IRdoUserProperties> props;
  com::ComPtr<IRdoUserProperty> stamp;
  return SUCCEEDED(item->get_UserProperties(props.Put())) && props &&
         SUCCEEDED(props->Find(com::Bstr(kGalStampName), com::Variant(0L), stamp.Put())) && stamp;
}

// Whether a copy found by a name may be the entry's (see GalCopyScope).
// `ownAddress`: the copy is a contact, which carries its entry's address.
bool NameHitMayBeTheEntrys(IRdoMessage* item, const GalCopyScope& scope, bool ownAddress) {
  if (ownAddress) {
    com::Bstr address;
    if (FAILED(item->get_EmailAddress(address.Put())) || !SameText(scope.address, address)) return false;
  }
  if (!scope.matched) return true;
  com::Bstr id;
  if (FAILED(item->get_EntryID(id.Put()))) return false;
  auto taken = scope.matched->find(id.Str());
  return taken == scope.matched->end() || SameText(scope.address, com::Bstr(taken->second));
}

// ---- What a run knows of a target folder's items ----

// The values the searches for a copy compare, read once per item and run
// instead of once per entry searched: every item of the folder in its
// order (or, until an unstamped item is needed, only the stamped ones in
// the order the stamp filter gives them), kept current through the run's
// own writes. A search answered here finds the item the folder's own
// search would find: the first one, in that order, that passes the same
// tests.
class CopyRecords {
 public:
  struct Record {
    std::wstring entryId, address, name, first, last;
    bool stamped = false, distList = false;
    bool addressRead = false, nameRead = false, namesRead = false;
  };
  using Accept = std::function<bool(const Record&)>;
  enum Field { kAddress, kName, kNames, kFields };

  // Reads the stamped items (stampedOnly) or every item. On failure the
  // records read so far stay for one answer (see Answer) and are forgotten
  // after it.
  HRESULT Build(IRdoItems* items, bool stampedOnly);
  bool Has(bool stampedOnly) const { return built_ && (stampedOnly || !stampedOnly_); }
  // The first record (in order) whose field equals `key` and that `accept`
  // takes; null when none.
  const Record* First(Field field, const std::wstring& key, const Accept& accept) const;
  // The copy `message` (EntryID `entryId`) as it is now: its record is read
  // again, or added at the end for a new copy.
  void Update(IRdoMessage* message, const std::wstring& entryId, bool stamped);
  void ForgetPartial() {
    if (!built_) clear();
  }
  // After a write whose outcome is unknown: read the folder again.
  void Invalidate() {
    clear();
    built_ = false;
  }

 private:
  void clear() {
    records_.clear();
    byEntryId_.clear();
    for (auto& e : exact_) e.clear();
    for (auto& o : odd_) o.clear();
  }
  static Record Read(IRdoMessage* item, bool stamped);
  static std::wstring KeyOf(const Record& r, Field field);
  // Texts of printable ASCII are equal in the user's locale only when they
  // are the same text; any other text is compared the locale's way.
  static bool Plain(const std::wstring& text) {
    return std::all_of(text.begin(), text.end(), [](wchar_t c) { return c >= 0x20 && c < 0x7F; });
  }
  void Index(size_t at);
  void Unindex(size_t at);

  std::vector<Record> records_;
  std::unordered_map<std::wstring, size_t> byEntryId_;
  std::unordered_map<std::wstring, std::vector<size_t>> exact_[kFields];
  std::vector<size_t> odd_[kFields];
  bool built_ = false, stampedOnly_ = true;
};

CopyRecords::Record CopyRecords::Read(IRdoMessage* item, bool stamped) {
  Record r;
  r.stamped = stamped;
  com::Bstr text;
  if (SUCCEEDED(item->get_EntryID(text.Put()))) r.entryId = text.Str();
  r.addressRead = SUCCEEDED(item->get_EmailAddress(text.Put()));
  if (r.addressRead) r.address = text.Str();
  r.nameRead = SUCCEEDED(item->get_Name(text.Put()));
  if (r.nameRead) r.name = text.Str();
  com::Bstr last;
  r.namesRead = SUCCEEDED(item->get_FirstName(text.Put())) && SUCCEEDED(item->get_LastName(last.Put()));
  if (r.namesRead) {
    r.first = text.Str();
    r.last = last.Str();
  }
  r.distList = SUCCEEDED(item->get_MessageClass(text.Put())) && _wcsicmp(text.c_str(), L"IPM.DistList") == 0;
  return r;
}

std::wstring CopyRecords::KeyOf(const Record& r, Field field) {
  switch (field) {
    case kAddress: return r.address;
    case kName: return r.name;
    default: return r.first + L'\n' + r.last;
  }
}

void CopyRecords::Index(size_t at) {
  const Record& r = records_[at];
  if (!r.entryId.empty()) byEntryId_[r.entryId] = at;
  for (int f = 0; f < kFields; ++f) {
    const Field field = Field(f);
    const bool plain = field == kNames ? Plain(r.first) && Plain(r.last) : Plain(KeyOf(r, field));
    auto& slots = plain ? exact_[f][KeyOf(r, field)] : odd_[f];
    slots.insert(std::upper_bound(slots.begin(), slots.end(), at), at);
  }
}

void CopyRecords::Unindex(size_t at) {
  const Record& r = records_[at];
  for (int f = 0; f < kFields; ++f) {
    std::erase(odd_[f], at);
    auto found = exact_[f].find(KeyOf(r, Field(f)));
    if (found != exact_[f].end()) std::erase(found->second, at);
  }
}

HRESULT CopyRecords::Build(IRdoItems* items, bool stampedOnly) {
  clear();
  built_ = false;
  stampedOnly_ = stampedOnly;
  com::ComPtr<IRdoMessage> item;
  HRESULT hr = stampedOnly ? items->Find(com::Bstr(kStampFilter), item.Put()) : items->GetFirst(item.Put());
  if (!CheckHr(hr, L"getItemFromGALFolder:Item")) return hr;
  while (item) {
    records_.push_back(Read(item.Get(), stampedOnly || HasStamp(item.Get())));
    Index(records_.size() - 1);
    hr = stampedOnly ? items->FindNext(item.Put()) : items->GetNext(item.Put());
    if (!CheckHr(hr, L"getItemFromGALFolder:wItems")) return hr;
  }
  built_ = true;
  return S_OK;
}

const CopyRecords::Record* CopyRecords::First(Field field, const std::wstring& key, const Accept& accept) const {
  const size_t split = field == kNames ? key.find(L'\n') : std::wstring::npos;
  auto equal = [&](const Record& r) {
    if (field == kNames)
      return SameText(key.substr(split + 1), com::Bstr(r.last)) && SameText(key.substr(0, split), com::Bstr(r.first));
    return SameText(key, com::Bstr(KeyOf(r, field)));
  };
  const bool plainKey =
      field == kNames ? Plain(key.substr(0, split)) && Plain(key.substr(split + 1)) : Plain(key);
  std::vector<size_t> candidates;
  if (plainKey) {
    if (auto found = exact_[field].find(key); found != exact_[field].end()) candidates = found->second;
    candidates.insert(candidates.end(), odd_[field].begin(), odd_[field].end());
    std::sort(candidates.begin(), candidates.end());
  } else {
    candidates.resize(records_.size());
    for (size_t i = 0; i < candidates.size(); ++i) candidates[i] = i;
  }
  for (size_t at : candidates)
    if (equal(records_[at]) && accept(records_[at])) return &records_[at];
  return nullptr;
}

void CopyRecords::Update(IRdoMessage* message, const std::wstring& entryId, bool stamped) {
  if (!built_ || entryId.empty()) return;
  auto found = byEntryId_.find(entryId);
  if (found == byEntryId_.end()) {
    records_.push_back(Read(message, stamped));
    Index(records_.size() - 1);
    return;
  }
  const size_t at = found->second;
  Unindex(at);
  records_[at] = Read(message, stamped || records_[at].stamped);
  Index(at);
}

// ---- One run ----

// A folder that lists are copied into. A list's own subfolder loses the
// copies nobody refreshed once its list was read whole. In the shared
// default Contacts folder a copy goes only when the list its category names
// was read whole in this run; a copy without a category yet (made by an
// earlier run, not refreshed since) only when every chosen list was.
struct Target {
  com::ComPtr<IRdoFolder> folder;
  std::wstring entryId;
  bool isDefaultFolder = false;
  bool readWhole = true;
  std::set<std::wstring> listsReadWhole;
  CopyRecords records;
};

// How the search for an entry's copy went.
struct CopySearch {
  HRESULT hr = S_OK;           // of the last search made
  std::wstring entryId;        // the copy; empty when none was found
  bool inconclusive = false;   // a read or search failed where a key was present
};

class GalRun {
 public:
  explicit GalRun(const GalRunSettings& settings) : settings_(settings) {}
  void Run();

 private:
  bool CopyIsDue();
  bool OpenSession();
  bool ChooseStore();
  void CopyLists(IRdoAddressLists* lists);
  void CopyList(IRdoAddressLists* lists, long index);
  Target* TargetFor(const std::wstring& listName);
  bool WalkEntries(IRdoAddressList* list, Target& target, const std::wstring& listName);
  bool CopyEntry(IRdoAddressEntry* entry, Target& target, const std::wstring& listName);
  CopySearch FindCopy(IRdoAddressEntry* entry, const std::wstring& smtp, Target& target, GalCopyScope scope);
  HRESULT Search(Target& target, const GalCopyScope& scope, CopyRecords::Field field, const std::wstring& key,
                 std::wstring* entryId);
  void Refresh(IRdoAddressEntry* entry, const std::wstring& copyId, const com::Bstr& storeId,
               const std::wstring& listName, Target& target);
  void CreateCopy(IRdoAddressEntry* entry, const std::wstring& smtp, Target& target, const com::Bstr& storeId);
  void DeleteVanishedCopies(const Target& target);
  void DeleteCopiesFromOtherTarget(const Target& target, const std::wstring& list);
  bool MayDeleteFrom(const Target& target, IRdoMessage* item) const;
  bool EveryChosenListReadWhole(const Target& target) const;
  void DeleteIfVanished(IRdoMessage* item);
  void StoreRunTime();
  bool Stopping() {
    if (g_bShutdown) stopped_ = true;
    return stopped_;
  }
  GalCopyScope RefreshScope(const Target& t) const { return {!t.isDefaultFolder, 0}; }
  GalCopyScope NewCopyScope(const Target& t) const { return {true, t.isDefaultFolder ? runStart_ : 0}; }

  GalRunSettings settings_;
  double reference_ = 0;
  double runStart_ = 0;
  double intervalDays_ = kIntervalThisRun;
  com::ComPtr<IRdoSession> session_;
  com::ComPtr<IRdoStore> store_;
  std::vector<std::wstring> doneLists_;
  long remaining_ = 0;
  bool updated_ = false;
  bool stopped_ = false;
  // A list could not be read at all, so which copies in the shared default
  // Contacts folder are its own is unknown.
  bool someListUnread_ = false;
  std::vector<Target> targets_;
  // The copies whose entry is still in its list: EntryID -> the entry's
  // SMTP address.
  std::map<std::wstring, std::wstring> current_;
};

void GalRun::Run() {
  DebugLog(L"GalSync started");
  runStart_ = reference_ = NowWholeSeconds();
  if (!CopyIsDue()) return;
  if (!settings_.engineHasSession) {
    DebugLog(L"No Session4Gal");
    return;
  }
  if (!OpenSession() || !ChooseStore()) return;
  com::ComPtr<IRdoAddressBook> book;
  HRESULT hr = session_->get_AddressBook(book.Put());
  if (SUCCEEDED(hr) && !book) hr = E_POINTER;
  if (!CheckHr(hr, L"NO ADDRESSBOOK")) return;
  com::ComPtr<IRdoAddressLists> lists;
  hr = book->AddressLists(VARIANT_FALSE, lists.Put());
  if (SUCCEEDED(hr) && !lists) hr = E_POINTER;
  if (CheckHr(hr, L"NO LISTS")) CopyLists(lists.Get());
  if (Stopping()) {
    DebugLog(L"GalSync stopped by shutdown");
    return;
  }
  for (const Target& target : targets_) DeleteVanishedCopies(target);
  for (const Target& target : targets_)
    for (const std::wstring& list : target.listsReadWhole) DeleteCopiesFromOtherTarget(target, list);
  StoreRunTime();
  DebugLog(L"GalSync ended");
}

// The interval and the reference time from Config; false when the last
// complete copy is more recent than the interval.
bool GalRun::CopyIsDue() {
  reg::Key config;
  if (config.Open(HKEY_CURRENT_USER, reg::kConfigPath, KEY_ALL_ACCESS) != ERROR_SUCCESS) return true;
  if (auto days = config.ReadDword(reg::kGalSyncAllxDays, reg::DwordType::kMustBeDword)) {
    intervalDays_ = *days;
  } else {
    intervalDays_ = kIntervalThisRun;
    config.WriteDword(reg::kGalSyncAllxDays, kIntervalStored);
  }
  if (auto last = config.ReadDate(reg::kLastGalSync)) {
    // A last copy later than now proves no recent copy (the clock ran ahead
    // when it was stored): the copy is due, and its time counts from now.
    const double now = NowWholeSeconds();
    if (*last > now) return true;
    reference_ = *last;
    if (*last + intervalDays_ > now) {
      DebugLog(L"No GalSync needed");
      return false;
    }
  }
  return true;
}

HRESULT CreateSessionByProgId(IRdoSession** session) {
  CLSID clsid{};
  if (FAILED(CLSIDFromProgID(kRdoSessionProgId, &clsid))) {
    LogError(0, L"no session Interface");
    return REGDB_E_CLASSNOTREG;
  }
  return CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IRdoSession, reinterpret_cast<void**>(session));
}

bool GalRun::OpenSession() {
  auto create = settings_.createSession ? settings_.createSession : &CreateSessionByProgId;
  if (FAILED(create(session_.Put()))) return false;
  if (!session_) {
    LogError(E_POINTER, L"no session");
    return false;
  }
  com::Variant empty;
  HRESULT hr = session_->Logon(empty, empty, empty, empty, empty, empty);
  if (FAILED(hr)) LogError(hr, L"no session");
  return SUCCEEDED(hr);
}

// The store named by defaultStoreName (the last of equal names), else the
// session's default store.
bool GalRun::ChooseStore() {
  com::ComPtr<IRdoStores> stores;
  if (FAILED(session_->get_Stores(stores.Put())) || !stores) return false;
  const std::wstring& wanted = settings_.defaultStoreName;
  if (!wanted.empty()) {
    long count = 0;
    stores->get_Count(&count);
    for (long i = 1; i <= count; ++i) {
      com::ComPtr<IRdoStore> store;
      com::Bstr name;
      if (FAILED(stores->Item(com::Variant(i), store.Put())) || !store || FAILED(store->get_Name(name.Put()))) break;
      if (name.Str() == wanted) store_ = store;
    }
    if (!store_) CheckHr(stores->get_DefaultStore(store_.Put()), L"NO DEFAULT STORE 2");
  } else {
    CheckHr(stores->get_DefaultStore(store_.Put()), L"NO DEFAULT STORE");
  }
  return static_cast<bool>(store_);
}

void GalRun::CopyLists(IRdoAddressLists* lists) {
  long count = 0;
  if (FAILED(lists->get_Count(&count))) someListUnread_ = true;
  for (long i = 1; i <= count && !Stopping(); ++i) CopyList(lists, i);
}

void GalRun::CopyList(IRdoAddressLists* lists, long index) {
  com::ComPtr<IRdoAddressList> list;
  HRESULT hr = lists->Item(com::Variant(index), list.Put());
  if (SUCCEEDED(hr) && !list) hr = E_POINTER;
  if (!CheckHr(hr, L"NO GAL")) {
    someListUnread_ = true;
    return;
  }
  // Only server lists are copied: a list with a contacts folder behind it
  // is the user's own.
  com::ComPtr<IRdoFolder> behind;
  if (!CheckHr(list->get_ContactsFolder(behind.Put()), L"NO TESTFOLDER")) {
    someListUnread_ = true;
    return;
  }
  if (behind) return;
  com::Bstr name;
  if (!CheckHr(list->get_Name(name.Put()), L"NO FOLDERNAME")) {
    someListUnread_ = true;
    return;
  }
  const std::wstring listName = name.Str();
  if (!IsGALFolderSelected(listName)) return;
  for (const std::wstring& done : doneLists_)
    if (done == listName) return;
  doneLists_.push_back(listName);
  Target* target = TargetFor(listName);
  if (!target) {
    DebugLog(L"GalTargetfolder not found");
    return;
  }
  DebugLogString(L"GalFolder2Sync:", listName.c_str());
  if (WalkEntries(list.Get(), *target, listName))
    target->listsReadWhole.insert(listName);
  else
    target->readWhole = false;
}

Target* GalRun::TargetFor(const std::wstring& listName) {
  const bool intoDefault = reg::ReadUserFlag(reg::kConfigPath, reg::kSyncGalIntoDefaultFolder);
  com::ComPtr<IRdoFolder> folder;
  if (intoDefault)
    CheckHr(store_->GetDefaultFolder(kContactsFolder, folder.Put()), L"syncGAL::GetDef.Folder");
  else
    GetGALSubfolder(kGalSubfolderPrefix + listName, store_.Get(), folder.Put());
  if (!folder) return nullptr;
  com::Bstr entryId;
  folder->get_EntryID(entryId.Put());
  for (Target& t : targets_)
    if (!entryId.Empty() && t.entryId == entryId.Str()) return &t;
  MapStampName(settings_, folder.Get());
  targets_.push_back({folder, entryId.Str(), intoDefault, true, {}});
  return &targets_.back();
}

// Copies every entry of the list; true when each entry was read and its
// copy looked for, so that a copy nobody refreshed is really gone.
bool GalRun::WalkEntries(IRdoAddressList* list, Target& target, const std::wstring& listName) {
  {
    com::ComPtr<IRdoAddressEntries> first;
    list->get_Entries(first.Put());
  }
  if (ShutdownWait(kListDelayMs)) {
    stopped_ = true;
    return false;
  }
  com::ComPtr<IRdoAddressEntries> entries;
  if (!CheckHr(list->get_Entries(entries.Put()), L"NO ENTRYS")) return false;
  if (!entries) {
    DebugLog(L"No addressentry");
    return false;
  }
  long count = 0;
  entries->get_Count(&count);
  remaining_ = count;
  // An empty list proves nothing: it may be one that did not come down.
  bool whole = count > 0;
  for (long j = 1; j <= count; ++j) {
    com::ComPtr<IRdoAddressEntry> entry;
    HRESULT hr = entries->Item(com::Variant(j), entry.Put());
    if (SUCCEEDED(hr) && !entry) hr = E_POINTER;
    if (!CheckHr(hr, L"NO ENTRY")) {
      whole = false;
      continue;
    }
    if (Stopping()) return false;
    if (!CopyEntry(entry.Get(), target, listName)) whole = false;
  }
  return whole;
}

// False when it cannot be told whether the entry has a copy.
bool GalRun::CopyEntry(IRdoAddressEntry* entry, Target& target, const std::wstring& listName) {
  com::Bstr smtp;
  if (!CheckHr(entry->get_SmtpAddress(smtp.Put()), L"syncGAL:NO SMTP")) return false;
  CopySearch search = FindCopy(entry, smtp.Str(), target, RefreshScope(target));
  if (!CheckHr(search.hr, L"syncGAL:SearchError")) return !search.inconclusive;
  if (!search.entryId.empty()) current_[search.entryId] = smtp.Str();
  // A copy may exist that a failed search missed: no second one.
  if (search.entryId.empty() && search.inconclusive) return false;
  com::Bstr storeId;
  if (!CheckHr(target.folder->get_StoreID(storeId.Put()), L"syncGAL:SearchError2")) return true;
  if (!search.entryId.empty())
    Refresh(entry, search.entryId, storeId, listName, target);
  else
    CreateCopy(entry, smtp.Str(), target, storeId);
  return !search.inconclusive;
}

// By SMTP address, then by alias (and a distribution list's display name)
// as a list name, then by first and last name; the first hit ends it. A key
// the entry does not have is not searched for; the result is that of the
// last search made, and an entry without any key has no copy to be found.
CopySearch GalRun::FindCopy(IRdoAddressEntry* entry, const std::wstring& smtp, Target& target,
                            GalCopyScope scope) {
  scope.address = smtp;
  scope.matched = &current_;
  CopySearch s;
  s.hr = E_FAIL;
  // The refresh's searches (copies of any age) read the folder's records;
  // the search for a copy just made asks the folder itself.
  IRdoFolder* folder = target.folder.Get();
  auto search = [&](CopyRecords::Field field, const std::wstring& key, const auto& folderKey) {
    if (scope.unstampedCreatedSince > 0) return getItemFromGALFolder(folder, folderKey, scope, &s.entryId);
    return Search(target, scope, field, key, &s.entryId);
  };
  auto found = [&s](HRESULT hr) {
    s.hr = hr;
    if (FAILED(hr)) s.inconclusive = true;
    return !s.entryId.empty();
  };
  if (!smtp.empty() && found(search(CopyRecords::kAddress, smtp, GalAddressKey{smtp}))) return s;

  com::Bstr alias, first, last;
  HRESULT hr = entry->get_Alias(alias.Put());
  if (CheckHr(hr, L"syncGAL:getAlias")) {
    if (!alias.Empty() && found(search(CopyRecords::kName, alias.Str(), GalListNameKey{alias.Str()})))
      return s;
    // The copy of a distribution list carries the list's display name,
    // which need not be its alias.
    VARIANT_BOOL isList = VARIANT_FALSE;
    com::Bstr name;
    if (SUCCEEDED(entry->get_IsDistList(&isList)) && isList && SUCCEEDED(entry->get_Name(name.Put())) &&
        !name.Empty() && name.Str() != alias.Str() &&
        found(search(CopyRecords::kName, name.Str(), GalListNameKey{name.Str()})))
      return s;
  } else {
    s.inconclusive = true;
  }

  HRESULT hrFirst = entry->get_FirstName(first.Put());
  CheckHr(hrFirst, L"syncGAL::Firstname");
  HRESULT hrLast = entry->get_LastName(last.Put());
  CheckHr(hrLast, L"syncGAL::Firstname");
  if (FAILED(hrFirst) || FAILED(hrLast))
    s.inconclusive = true;
  else if (!first.Empty() || !last.Empty())
    found(search(CopyRecords::kNames, first.Str() + L'\n' + last.Str(), GalNamesKey{first.Str(), last.Str()}));
  return s;
}

// getItemFromGALFolder's passes for a key, over the target's records: by
// address the stamped copies, then (where unstamped items may count) every
// item; by a list's name the stamped distribution lists, then every one; by
// first and last name the stamped copies. The result is that of the last
// pass made.
HRESULT GalRun::Search(Target& target, const GalCopyScope& scope, CopyRecords::Field field, const std::wstring& key,
                       std::wstring* entryId) {
  using Record = CopyRecords::Record;
  entryId->clear();
  auto nameHitMayBeTheEntrys = [&](const Record& r, bool ownAddress) {
    if (ownAddress && (!r.addressRead || !SameText(scope.address, com::Bstr(r.address)))) return false;
    if (r.entryId.empty()) return false;
    auto taken = current_.find(r.entryId);
    return taken == current_.end() || SameText(scope.address, com::Bstr(taken->second));
  };
  auto pass = [&](bool stampedOnly, const CopyRecords::Accept& accept) {
    CopyRecords& records = target.records;
    HRESULT hr = S_OK;
    if (!records.Has(stampedOnly)) {
      com::ComPtr<IRdoItems> items;
      hr = TakeItems(target.folder.Get(), &items);
      if (FAILED(hr)) return hr;
      hr = records.Build(items.Get(), stampedOnly);
    }
    const Record* hit = records.First(field, key, accept);
    if (hit) *entryId = hit->entryId;
    records.ForgetPartial();
    if (hit) return entryId->empty() ? E_FAIL : S_OK;
    return hr;
  };
  const bool anyOther = scope.takeUnstamped;  // unstamped items of any age count too
  HRESULT hr = S_OK;
  switch (field) {
    case CopyRecords::kAddress:
      hr = pass(true, [](const Record& r) { return r.stamped && r.addressRead; });
      if (entryId->empty() && anyOther) hr = pass(false, [](const Record& r) { return r.addressRead; });
      break;
    case CopyRecords::kName: {
      auto list = [&](const Record& r) { return r.distList && r.nameRead && nameHitMayBeTheEntrys(r, false); };
      hr = pass(true, [&](const Record& r) { return r.stamped && list(r); });
      if (entryId->empty() && anyOther) hr = pass(false, list);
      break;
    }
    default:
      hr = pass(true, [&](const Record& r) {
        return r.stamped && r.namesRead && !(r.first.empty() && r.last.empty()) && nameHitMayBeTheEntrys(r, true);
      });
      break;
  }
  return hr;
}

void GalRun::Refresh(IRdoAddressEntry* entry, const std::wstring& copyId, const com::Bstr& storeId,
                     const std::wstring& listName, Target& target) {
  com::ComPtr<IRdoMessage> copy;
  HRESULT hr = session_->GetMessageById(com::Bstr(copyId), com::Variant(storeId.c_str()),
                                        com::Variant(kOpenFlagsBestAccess), copy.Put());
  if (SUCCEEDED(hr) && !copy) hr = E_POINTER;
  if (!CheckHr(hr, L"syncGAL:GetMessage")) return;
  --remaining_;
  // Written from the entry every time: the entry does not tell when it last
  // changed, nor does it show most of what the copy takes from it (phone
  // numbers, company, addresses), so no comparison could tell that the copy
  // is current.
  com::ComPtr<IRdoMessage> none;
  CheckHr(entry->CopyTo(Dispatch(copy.Get()), none.Put()), L"syncGAL:CopyTo");
  hr = copy->put_Categories(com::Bstr(listName));
  MarkAsGALCopy(copy.Get());
  CheckHr(hr, L"syncGAL:Cat");
  // Only a saved refresh makes the copy current; a run whose refreshes all
  // failed must not put the next one off for the whole interval.
  if (CheckHr(copy->Save(), L"syncGAL:Save")) {
    updated_ = true;
    target.records.Update(copy.Get(), copyId, true);
  } else {
    target.records.Invalidate();
  }
}

// A new copy is stamped at once and gets its category at its first refresh.
void GalRun::CreateCopy(IRdoAddressEntry* entry, const std::wstring& smtp, Target& target, const com::Bstr& storeId) {
  com::ComPtr<IRdoMessage> created;
  HRESULT hr = entry->CopyTo(Dispatch(target.folder.Get()), created.Put());
  --remaining_;
  if (!CheckHr(hr, L"syncGAL:CopyTo")) return;
  std::wstring copyId;
  if (created) {
    com::Bstr id;
    if (SUCCEEDED(created->get_EntryID(id.Put()))) copyId = id.Str();
  }
  if (copyId.empty()) {
    // The copy is in the folder, not yet in the records.
    target.records.Invalidate();
    copyId = FindCopy(entry, smtp, target, NewCopyScope(target)).entryId;
  }
  if (copyId.empty()) return;
  current_[copyId] = smtp;
  com::ComPtr<IRdoMessage> copy;
  hr = session_->GetMessageById(com::Bstr(copyId), com::Variant(storeId.c_str()), com::Variant(kOpenFlagsBestAccess),
                                copy.Put());
  if (SUCCEEDED(hr) && !copy) hr = E_POINTER;
  if (!CheckHr(hr, L"syncGAL:GetMessage2")) {
    target.records.Invalidate();
    return;
  }
  MarkAsGALCopy(copy.Get());
  if (SUCCEEDED(copy->Save()))
    target.records.Update(copy.Get(), copyId, true);
  else
    target.records.Invalidate();
}

// Deletes the stamped copies whose entry is gone, of lists read whole in
// this run only (see Target): after a failed, partial or missing read a copy
// that was not refreshed may well belong to an entry that is still there.
void GalRun::DeleteVanishedCopies(const Target& target) {
  if (!target.isDefaultFolder && !target.readWhole) return;
  if (target.listsReadWhole.empty()) return;
  com::ComPtr<IRdoItems> items;
  if (FAILED(TakeItems(target.folder.Get(), &items))) return;
  com::ComPtr<IRdoMessage> item;
  HRESULT hr = items->Find(com::Bstr(kStampFilter), item.Put());
  if (!CheckHr(hr, L"getItemFromGALFolder:Item")) return;
  while (item && !Stopping()) {
    if (MayDeleteFrom(target, item.Get())) DeleteIfVanished(item.Get());
    if (!CheckHr(items->FindNext(item.Put()), L"getItemFromGALFolder:wItems")) return;
  }
}

// Copies a list left in the folder it went into before the user switched
// the target ("Create subfolders"): once the list was copied whole into its
// present target, its stamped copies in the other one go, so that the
// phone's folder keeps no copy that nothing refreshes any more. In the
// default Contacts folder a copy is the list's by its category, or, not
// refreshed yet, by the address of one of the run's entries; a list's own
// subfolder holds its copies only.
void GalRun::DeleteCopiesFromOtherTarget(const Target& target, const std::wstring& list) {
  if (Stopping()) return;
  com::ComPtr<IRdoFolder> other;
  if (target.isDefaultFolder)
    FindGALSubfolder(kGalSubfolderPrefix + list, store_.Get(), other.Put());
  else
    store_->GetDefaultFolder(kContactsFolder, other.Put());
  com::Bstr otherId;
  if (!other || FAILED(other->get_EntryID(otherId.Put())) || otherId.Empty() || otherId.Str() == target.entryId)
    return;
  std::set<std::wstring> addresses;
  for (const auto& copy : current_) addresses.insert(copy.second);
  MapStampName(settings_, other.Get());
  com::ComPtr<IRdoItems> items;
  if (FAILED(TakeItems(other.Get(), &items))) return;
  com::ComPtr<IRdoMessage> item;
  if (!CheckHr(items->Find(com::Bstr(kStampFilter), item.Put()), L"getItemFromGALFolder:Item")) return;
  while (item && !Stopping()) {
    const std::wstring category = ReadText(item.Get(), &IRdoMessage::get_Categories);
    const std::wstring address = ReadText(item.Get(), &IRdoMessage::get_EmailAddress);
    const bool lists = target.isDefaultFolder || category == list || (category.empty() && addresses.count(address));
    if (lists && HasStamp(item.Get())) {
      if (!address.empty()) DebugLogString(L"DELETEFROMGAL:", address.c_str());
      item->Delete(com::Variant(kDeleteOption));
    }
    if (!CheckHr(items->FindNext(item.Put()), L"getItemFromGALFolder:wItems")) return;
  }
}

bool GalRun::MayDeleteFrom(const Target& target, IRdoMessage* item) const {
  if (!target.isDefaultFolder) return true;
  const std::wstring category = ReadText(item, &IRdoMessage::get_Categories);
  if (category.empty()) return EveryChosenListReadWhole(target);
  return target.listsReadWhole.count(category) > 0;
}

bool GalRun::EveryChosenListReadWhole(const Target& target) const {
  if (someListUnread_) return false;
  reg::Key key;
  if (key.Open(HKEY_CURRENT_USER, reg::kGalFoldersPath, KEY_READ) != ERROR_SUCCESS) return false;
  for (const std::wstring& name : key.SubkeyNames(reg::kSubkeyNameChars))
    if (!target.listsReadWhole.count(name)) return false;
  return true;
}

void GalRun::DeleteIfVanished(IRdoMessage* item) {
  DATE modified = 0;
  if (!HasStamp(item) || item->get_LastModificationTime(&modified) != S_OK) return;
  com::Bstr id;
  if (FAILED(item->get_EntryID(id.Put())) || id.Empty() || current_.count(id.Str())) return;
  if (!(reference_ > modified + kVanishedAfterDays)) return;
  std::wstring address = ReadText(item, &IRdoMessage::get_EmailAddress);
  if (!address.empty()) DebugLogString(L"DELETEFROMGAL:", address.c_str());
  item->Delete(com::Variant(kDeleteOption));
}

void GalRun::StoreRunTime() {
  if (remaining_ >= 1 || !updated_) return;
  reg::Key config;
  if (config.Open(HKEY_CURRENT_USER, reg::kConfigPath, KEY_ALL_ACCESS) != ERROR_SUCCESS) return;
  config.WriteDate(reg::kLastGalSync, NowWholeSeconds());
}

GalRunSettings SettingsOf(const CSyncEngine* engine) {
  GalRunSettings settings;
  if (!engine) return settings;
  settings.engineHasSession = static_cast<bool>(engine->RdoSession);
  settings.defaultStoreName = engine->DefaultStoreName;
  return settings;
}

}  // namespace

unsigned __stdcall GalSyncThread(void* engine) {
  com::ComApartment apartment;
  // Copied before the wait: afterwards the run never touches the engine.
  const GalRunSettings settings = SettingsOf(static_cast<const CSyncEngine*>(engine));
  DebugLog(L"GalSync init");
  if (!ShutdownWait(kStartDelayMs)) syncGAL(settings);
  return 0;
}

void syncGAL(const GalRunSettings& settings) { GalRun(settings).Run(); }

bool IsGALFolderSelected(const std::wstring& listName) {
  reg::Key key;
  if (key.Open(HKEY_CURRENT_USER, reg::kGalFoldersPath, KEY_READ) != ERROR_SUCCESS) return false;
  for (const std::wstring& name : key.SubkeyNames(reg::kSubkeyNameChars))
    if (name == listName) return true;
  return false;
}

namespace {

// The subfolder `name` of the store's default Contacts folder: S_OK with
// the folder, S_FALSE with the subfolder collection to add it to when there
// is none, or a failure.
HRESULT FindSubfolder(const std::wstring& name, IRdoStore* store, IRdoFolder** folder, IRdoFolders** subfolders) {
  com::ComPtr<IRdoFolder> contacts;
  HRESULT hr = store->GetDefaultFolder(kContactsFolder, contacts.Put());
  if (SUCCEEDED(hr) && contacts) hr = contacts->get_Folders(subfolders);
  if (FAILED(hr)) {
    DebugLog(kNoSubfolder);
    return hr;
  }
  if (!contacts || !*subfolders) return E_FAIL;
  long count = 0;
  if (FAILED(hr = (*subfolders)->get_Count(&count))) {
    DebugLog(kNoSubfolder);
    return hr;
  }
  for (long i = 1; i <= count; ++i) {
    com::ComPtr<IRdoFolder> sub;
    com::Bstr subName;
    if (FAILED((*subfolders)->Item(com::Variant(i), sub.Put())) || !sub) continue;
    if (SUCCEEDED(sub->get_Name(subName.Put())) && SameText(name, subName)) return sub.CopyTo(folder);
  }
  return S_FALSE;
}

}  // namespace

HRESULT FindGALSubfolder(const std::wstring& name, IRdoStore* store, IRdoFolder** folder) {
  if (!folder) return E_POINTER;
  *folder = nullptr;
  if (!store) return E_POINTER;
  com::ComPtr<IRdoFolders> subfolders;
  return FindSubfolder(name, store, folder, subfolders.Put());
}

HRESULT GetGALSubfolder(const std::wstring& name, IRdoStore* store, IRdoFolder** folder) {
  if (!folder) return E_POINTER;
  *folder = nullptr;
  if (!store) return E_POINTER;
  com::ComPtr<IRdoFolders> subfolders;
  HRESULT hr = FindSubfolder(name, store, folder, subfolders.Put());
  if (hr != S_FALSE) return hr;
  com::ComPtr<IRdoFolder> created;
  hr = subfolders->Add(com::Bstr(name), MissingArgument(), created.Put());
  if (SUCCEEDED(hr) && !created) hr = E_POINTER;
  if (FAILED(hr)) {
    DebugLog(kNoSubfolder);
    return hr;
  }
  created->put_Description(com::Bstr(kGalSubfolderDescription));
  DebugLog(L"GAL subfolder created");
  return created.CopyTo(folder);
}

HRESULT getItemFromGALFolder(IRdoFolder* folder, const GalAddressKey& key, const GalCopyScope& scope,
                             std::wstring* entryId) {
  entryId->clear();
  if (key.address.empty()) return E_FAIL;
  com::ComPtr<IRdoItems> items;
  if (HRESULT hr = TakeItems(folder, &items); FAILED(hr)) return hr;
  auto sameAddress = [&](IRdoMessage* item) {
    com::Bstr address;
    return SUCCEEDED(item->get_EmailAddress(address.Put())) && SameText(key.address, address);
  };
  CopyWalk walk(items.Get());
  com::ComPtr<IRdoMessage> hit;
  HRESULT hr = walk.FindFirst(kStampFilter, sameAddress, &hit);
  if (!hit && scope.takeUnstamped)
    hr = walk.WalkAll([&](IRdoMessage* item) { return sameAddress(item) && (HasStamp(item) || UnstampedAllowed(item, scope)); },
                      &hit);
  return EntryIdOfHit(hit, hr, entryId);
}

HRESULT getItemFromGALFolder(IRdoFolder* folder, const GalListNameKey& key, const GalCopyScope& scope,
                             std::wstring* entryId) {
  entryId->clear();
  if (key.name.empty()) return E_FAIL;
  com::ComPtr<IRdoItems> items;
  if (HRESULT hr = TakeItems(folder, &items); FAILED(hr)) return hr;
  auto sameName = [&](IRdoMessage* item) {
    com::Bstr name;
    return SUCCEEDED(item->get_Name(name.Put())) && SameText(key.name, name) &&
           NameHitMayBeTheEntrys(item, scope, false);
  };
  CopyWalk walk(items.Get());
  com::ComPtr<IRdoMessage> hit;
  HRESULT hr = walk.FindFirst(kStampedDistListFilter, sameName, &hit);
  if (!hit && scope.takeUnstamped)
    hr = walk.FindFirst(kDistListFilter,
                        [&](IRdoMessage* item) { return sameName(item) && (HasStamp(item) || UnstampedAllowed(item, scope)); },
                        &hit);
  return EntryIdOfHit(hit, hr, entryId);
}

HRESULT getItemFromGALFolder(IRdoFolder* folder, const GalNamesKey& key, const GalCopyScope& scope,
                             std::wstring* entryId) {
  entryId->clear();
  com::ComPtr<IRdoItems> items;
  if (HRESULT hr = TakeItems(folder, &items); FAILED(hr)) return hr;
  auto sameNames = [&](IRdoMessage* item) {
    com::Bstr first, last;
    if (FAILED(item->get_FirstName(first.Put())) || FAILED(item->get_LastName(last.Put()))) return false;
    if (first.Empty() && last.Empty()) return false;
    return SameText(key.lastName, last) && SameText(key.firstName, first) &&
           NameHitMayBeTheEntrys(item, scope, true);
  };
  com::ComPtr<IRdoMessage> hit;
  HRESULT hr = CopyWalk(items.Get()).FindFirst(kStampFilter, sameNames, &hit);
  return EntryIdOfHit(hit, hr, entryId);
}

void MarkAsGALCopy(IRdoMessage* message) {
  com::ComPtr<IRdoUserProperties> props;
  if (!message || FAILED(message->get_UserProperties(props.Put())) || !props) return;
  com::ComPtr<IRdoUserProperty> stamp;
  props->Find(com::Bstr(kGalStampName), com::Variant(0L), stamp.Put());
  if (!stamp)
    props->Add(com::Bstr(kGalStampName), kGalStampType, com::Variant(true), com::Variant(kGalStampType), stamp.Put());
  if (stamp) stamp->put_Value(com::Variant(kGalStampValue));
}
