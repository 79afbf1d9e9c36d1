// The per-item rules of a job: the filter that decides whether an item takes
// part, and the categories that tie an item to its job.
#include "item_filter.h"

#include <algorithm>
#include <cwctype>

#include "bstr.h"
#include "com_ptr.h"
#include "folder_object.h"
#include "logs.h"
#include "registry.h"
#include "sync_engine.h"
#include "thread_pointer.h"
#include "variant.h"

namespace {

constexpr long kSensitivityPrivateBit = 2;  // private (2) and confidential (3)
constexpr wchar_t kNoSyncMarker[] = L"NO_SYNC";

std::wstring Upper(std::wstring text) {
  for (wchar_t& c : text) c = wchar_t(std::towupper(c));
  return text;
}

std::wstring Trimmed(const std::wstring& text) {
  const size_t first = text.find_first_not_of(L" \t");
  if (first == std::wstring::npos) return {};
  const size_t last = text.find_last_not_of(L" \t");
  return text.substr(first, last - first + 1);
}

std::wstring ListSeparator() {
  wchar_t separator[20] = {};
  if (GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SLIST, separator, 20) == 0 || !separator[0]) return L";";
  return separator;
}

// The meeting or task face of a message, or none; an unexpected failure of
// the query throws.
template <class Face>
com::ComPtr<Face> QueryFace(IRdoMessage* message) {
  com::ComPtr<Face> face;
  HRESULT hr = message->QueryInterface(__uuidof(Face), face.PutVoid());
  if (hr == E_NOINTERFACE) return {};
  if (FAILED(hr)) throw HrException{hr};
  return face;
}

template <class Face>
bool IsRequestOf(Face* face) {
  VARIANT_BOOL request = VARIANT_FALSE;
  return SUCCEEDED(face->get_IsRequest(&request)) && request != VARIANT_FALSE;
}

bool Holds(const std::vector<std::wstring>& names, std::wstring_view category) {
  return std::find(names.begin(), names.end(), category) != names.end();
}

bool IsFilteredOutByCategories(CSyncEngine* engine, CMAPIFolderObject* job, const std::wstring& categories) {
  std::vector<std::wstring> filter;
  GetCategoriesFilter(engine, filter, job->Events->EntryID.c_str());
  if (filter.empty()) return false;
  DebugLog(L"iIA::FILTER BY CATEGORIES ACTIVE");
  const std::vector<std::wstring> names = ItemCategoryNames(categories);
  for (const std::wstring& wanted : filter) {
    if (Holds(names, wanted)) {
      DebugLogString(L"iIA::FILTER BY CATEGORIES::FOUND", wanted.c_str());
      return false;
    }
  }
  return true;
}

bool IsRefusedRequest(CMAPIFolderObject* folder, IRdoMessage* message, CMAPIFolderObject* job) {
  if (!IsRequestItem(folder, message)) return false;
  if (job->Events->DONT_SYNC_BSP_ITEMS) {
    DebugLog(L"MeetingRrequest Item was not allowed");
    return true;
  }
  com::Variant status;
  if (SUCCEEDED(message->get_Fields(com::Bstr(kDaslResponseStatus), status.Put())) && status.vt == VT_I4 &&
      status.lVal == kResponseNotResponded) {
    DebugLog(L"MeetingRrequest Item olResponseNotResponded");
    return true;
  }
  return false;
}

bool IsRefusedAsPrivate(IRdoMessage* message, CMAPIFolderObject* job) {
  if (!job->Events->DONT_SYNC_PRIV_ITEMS) return false;
  long sensitivity = 0;
  HRESULT hr = message->get_Sensitivity(&sensitivity);
  if (FAILED(hr)) {
    LogError(hr, L"get_Sensitivity");
    return false;
  }
  return (sensitivity & kSensitivityPrivateBit) != 0;
}

bool IIAUnguarded(CMAPIFolderObject* folder, IRdoMessage* message, CMAPIFolderObject* job, bool privacyCounts) {
  com::Bstr categories;
  if (FAILED(message->get_Categories(categories.Put()))) return false;
  bool result = !IsFilteredOutByCategories(folder->Engine(), job, categories.Str());
  if (Upper(categories.Str()).find(kNoSyncMarker) != std::wstring::npos) result = false;
  if (!result) return false;
  if (IsRefusedRequest(folder, message, job)) return false;
  return !privacyCounts || !IsRefusedAsPrivate(message, job);
}

// The passes hold locks and wrapper objects around the filter; a failure in
// it refuses the item instead of unwinding through them.
bool GuardedIIA(CMAPIFolderObject* folder, IRdoMessage* message, CMAPIFolderObject* job, bool privacyCounts) {
  if (!folder || !message || !job || !job->Events) return false;
  try {
    return IIAUnguarded(folder, message, job, privacyCounts);
  } catch (const HrException& e) {
    LogError(e.hr, L"iIA");
  } catch (...) {
    LogError(E_UNEXPECTED, L"iIA");
  }
  return false;
}

}  // namespace

std::vector<std::wstring> KeywordTexts(const VARIANT& value) {
  std::vector<std::wstring> texts;
  if (!(value.vt & VT_ARRAY) || !value.parray) return texts;
  const VARTYPE element = value.vt & VT_TYPEMASK;
  LONG lower = 0, upper = -1;
  if (FAILED(SafeArrayGetLBound(value.parray, 1, &lower)) || FAILED(SafeArrayGetUBound(value.parray, 1, &upper)))
    return texts;
  for (LONG i = lower; i <= upper; ++i) {
    if (element == VT_BSTR) {
      com::Bstr text;
      if (SUCCEEDED(SafeArrayGetElement(value.parray, &i, text.Put()))) texts.push_back(text.Str());
    } else if (element == VT_VARIANT) {
      com::Variant item;
      if (SUCCEEDED(SafeArrayGetElement(value.parray, &i, item.Put())) && item.vt == VT_BSTR)
        texts.push_back(item.AsString());
    }
  }
  return texts;
}

namespace {

com::Variant KeywordsValue(const std::vector<std::wstring>& keywords) {
  com::Variant value;
  SAFEARRAY* array = SafeArrayCreateVector(VT_BSTR, 0, ULONG(keywords.size()));
  if (!array) return value;
  BSTR* texts = nullptr;
  if (SUCCEEDED(SafeArrayAccessData(array, reinterpret_cast<void**>(&texts)))) {
    for (size_t i = 0; i < keywords.size(); ++i) texts[i] = com::Bstr(keywords[i]).Detach();  // the array owns them
    SafeArrayUnaccessData(array);
  }
  value.vt = VT_ARRAY | VT_BSTR;
  value.parray = array;
  return value;
}

const std::vector<com::Bstr>& JobCategoriesOf(CMAPIFolderObject* folder) {
  CSyncEngine* engine = folder->Engine();
  if (folder->JobCategories.empty() && engine) {
    for (int i = 0; CMAPIFolderObject* other = engine->GetFolderObject(i, false); ++i)
      if (other->IsStandard == 0) folder->JobCategories.emplace_back(other->Categorie);
  }
  return folder->JobCategories;
}

bool IsJobCategory(const std::vector<com::Bstr>& jobs, const wchar_t* category) {
  return std::any_of(jobs.begin(), jobs.end(), [category](const com::Bstr& job) { return job.Str() == category; });
}

// Takes the other jobs' categories off before a job's category goes on, so
// that an item belongs to one job. A category that names no job (the user's
// name, a default folder's category) takes nothing off: stripping then would
// cut the item loose from the job whose category it already carries.
void RemoveOtherJobCategories(CMAPIFolderObject* folder, std::vector<std::wstring>& keywords,
                              const wchar_t* category) {
  if (keywords.empty()) return;
  const std::vector<com::Bstr>& jobs = JobCategoriesOf(folder);
  if (!IsJobCategory(jobs, category)) return;
  for (const com::Bstr& job : jobs) {
    if (job.Str() == category) continue;
    auto found = std::find(keywords.begin(), keywords.end(), job.Str());
    if (found != keywords.end()) keywords.erase(found);
  }
}

void MarkPrivate(IRdoMessage* message) {
  long sensitivity = 0;
  if (SUCCEEDED(message->get_Sensitivity(&sensitivity)))
    message->put_Sensitivity(sensitivity | kSensitivityPrivateBit);
}

}  // namespace

std::vector<std::wstring> SplitCategories(const std::wstring& text, const std::wstring& separators) {
  std::vector<std::wstring> pieces;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find_first_of(separators, start);
    if (end == std::wstring::npos) end = text.size();
    std::wstring piece = Trimmed(text.substr(start, end - start));
    if (!piece.empty()) pieces.push_back(std::move(piece));
    start = end + 1;
  }
  return pieces;
}

bool IsRequestItem(CMAPIFolderObject*, IRdoMessage* message) {
  if (!message) return false;
  if (com::ComPtr<IRdoMeeting> meeting = QueryFace<IRdoMeeting>(message)) return IsRequestOf(meeting.Get());
  if (com::ComPtr<IRdoTask> task = QueryFace<IRdoTask>(message)) return IsRequestOf(task.Get());
  return false;
}

bool iIA(CMAPIFolderObject* folder, IRdoMessage* message, CMAPIFolderObject* job) {
  return GuardedIIA(folder, message, job, true);
}

bool iIA(CMAPIFolderObject* folder, IRdoMessage* message) { return iIA(folder, message, folder); }

bool iIAAsCopy(CMAPIFolderObject* folder, IRdoMessage* copy, CMAPIFolderObject* job) {
  return GuardedIIA(folder, copy, job, !(job && job->Events && job->Events->MARK_AS_PRIVATE));
}

bool Cat2Item(CMAPIFolderObject* folder, IRdoUtils* utils, IRdoMessage* message, const wchar_t* category,
              PrivateMark mark, HRESULT* saved) {
  if (!folder || !folder->Events || !message || !category || !*category) return false;
  if (folder->Events->MARK_AS_PRIVATE && mark == PrivateMark::kByOption) MarkPrivate(message);

  // Every copy of a pass gets its category: the property's name is made once.
  static const com::Bstr keywordsName(kDaslKeywords);
  com::Variant current;
  HRESULT hr = message->get_Fields(keywordsName, current.Put());
  if (FAILED(hr)) {
    LogError(hr, L"get_Categories");
    return false;
  }
  std::vector<std::wstring> keywords = KeywordTexts(current);
  if (std::find(keywords.begin(), keywords.end(), category) != keywords.end()) {
    DebugLog(L"Cat2Item::AlreadyThere");
  } else {
    RemoveOtherJobCategories(folder, keywords, category);
    keywords.emplace_back(category);
    message->put_Fields(keywordsName, KeywordsValue(keywords));
    const HRESULT hr = message->Save();
    if (saved && FAILED(hr) && SUCCEEDED(*saved)) *saved = hr;
    DebugLog(L"Cat2Item::ready");
  }
  if (folder->Events->AddUserName2Categories && !std::wcschr(category, L'{')) {
    const std::wstring braced = L"{" + folder->Events->CategoryUserName + L"}";
    Cat2Item(folder, utils, message, braced.c_str(), PrivateMark::kNever, saved);
  }
  return true;
}

std::vector<std::wstring> ItemCategoryNames(const std::wstring& text) { return SplitCategories(text, ListSeparator()); }

bool HasCategory(IRdoMessage* item, const wchar_t* category) {
  com::Bstr text;
  if (!item || !category || !*category || FAILED(item->get_Categories(text.Put()))) return false;
  return Holds(ItemCategoryNames(text.Str()), category);
}

bool BelongsToJob(CMAPIFolderObject* job, CMAPIFolderObject* defaultFolder, IRdoMessage* item) {
  if (!job || !job->Events || !item) return false;
  // Only its own job's items go into a category subfolder.
  if (job->Events->CREATESUBFOLDER) return true;
  if (defaultFolder && defaultFolder->AddDefaultCategory &&
      Holds(SplitCategories(defaultFolder->DefaultCategorie, L";,"), job->Categorie))
    return true;
  return HasCategory(item, job->Categorie);
}

CopyPrivacy PrivacyBeforeWrite(IRdoMessage* item) {
  CopyPrivacy before;
  before.known = item && SUCCEEDED(item->get_Sensitivity(&before.sensitivity));
  return before;
}

void KeepCopyPrivacy(CMAPIFolderObject* job, IRdoMessage* item, const CopyPrivacy& before) {
  if (!job || !job->Events || !job->Events->MARK_AS_PRIVATE || !item) return;
  // Unknown before: the mark, as for a new copy.
  if (!before.known || (before.sensitivity & kSensitivityPrivateBit)) MarkPrivate(item);
}

bool CarriesOtherJobCategory(CMAPIFolderObject* job, IRdoMessage* item) {
  com::Bstr categories;
  if (!job || !item || FAILED(item->get_Categories(categories.Put())) || categories.Empty()) return false;
  const std::vector<com::Bstr>& jobs = JobCategoriesOf(job);
  for (const std::wstring& category : ItemCategoryNames(categories.Str()))
    if (category != job->Categorie && IsJobCategory(jobs, category.c_str())) return true;
  return false;
}

void ClearCategoriesTheSourceLacks(CMAPIFolderObject* job, IRdoMessage* source, IRdoMessage* target) {
  if (!job || !job->Events || !source || !target) return;
  com::Variant keywords;
  if (FAILED(source->get_Fields(com::Bstr(kDaslKeywords), keywords.Put())) || !KeywordTexts(keywords).empty()) return;
  com::Variant left;
  if (FAILED(target->get_Fields(com::Bstr(kDaslKeywords), left.Put()))) return;
  const std::vector<std::wstring> before = KeywordTexts(left);
  const std::wstring userName = L"{" + job->Events->CategoryUserName + L"}";
  std::vector<std::wstring> kept;
  for (const std::wstring& keyword : before)
    if (keyword == job->Categorie || (job->Events->AddUserName2Categories && keyword == userName))
      kept.push_back(keyword);
  if (kept.size() == before.size()) return;
  HRESULT hr = kept.empty() ? target->put_Categories(com::Bstr(L""))
                            : target->put_Fields(com::Bstr(kDaslKeywords), KeywordsValue(kept));
  CheckHr(hr, L"ClearCategories");
}

std::vector<std::wstring>& GetItemCategories(CMAPIFolderObject* folder, std::vector<std::wstring>& list,
                                             IRdoUtils* utils, IRdoMessage* message) {
  list.clear();
  if (!folder || !message) return list;
  com::Bstr categories;
  if (SUCCEEDED(message->get_Categories(categories.Put())) && !categories.Empty())
    list = ItemCategoryNames(categories.Str());
  if (folder->AddDefaultCategory && folder->IsStandard) {
    for (const std::wstring& piece : SplitCategories(folder->DefaultCategorie, L";,")) {
      if (std::find(list.begin(), list.end(), piece) != list.end()) continue;
      list.push_back(piece);
      Cat2Item(folder, utils, message, piece.c_str());
    }
  }
  return list;
}

namespace {

// The innermost CategoriesFilterPassCache of each thread (a plain pointer:
// the cache itself lives on the pass's stack).
com::ThreadPointer<CategoriesFilterPassCache> g_passCache;

std::vector<std::wstring> ReadCategoriesFilter(const wchar_t* entryId) {
  const std::wstring path = std::wstring(reg::kFoldersPath) + L"\\" + entryId + L"\\" + reg::kCategoriesFilter;
  reg::Key key;
  if (key.Open(HKEY_CURRENT_USER, path.c_str(), KEY_READ) != ERROR_SUCCESS) return {};
  return key.SubkeyNames(reg::kSubkeyNameChars);
}

}  // namespace

CategoriesFilterPassCache::CategoriesFilterPassCache() : outer_(g_passCache.Get()) { g_passCache.Set(this); }

CategoriesFilterPassCache::~CategoriesFilterPassCache() { g_passCache.Set(outer_); }

void GetCategoriesFilter(CSyncEngine*, std::vector<std::wstring>& list, const wchar_t* entryId) {
  list.clear();
  if (!entryId || !*entryId) return;
  CategoriesFilterPassCache* cache = g_passCache.Get();
  if (!cache) {
    list = ReadCategoriesFilter(entryId);
    return;
  }
  auto& filters = cache->filters_;
  auto cached = filters.find(std::wstring_view(entryId));
  if (cached == filters.end()) cached = filters.emplace(entryId, ReadCategoriesFilter(entryId)).first;
  list = cached->second;
}
