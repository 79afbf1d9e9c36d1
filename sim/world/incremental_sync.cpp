// Incremental change synchronisation of a folder: the state text and the
// changes since it.
#include <algorithm>
#include <cstdio>

#include "world/query.h"
#include "world/world_state.h"

namespace sim {
namespace {

using detail::ResolveStatic;

uint32_t Fnv1a(std::wstring_view s) {
  uint32_t h = 2166136261u;
  for (wchar_t c : s) {
    h ^= uint32_t(c);
    h *= 16777619u;
  }
  return h;
}

constexpr wchar_t kStatePrefix[] = L"SIMICS1:";

std::wstring MakeState(const std::wstring& folderEntryId, uint64_t seq) {
  std::wstring body = kStatePrefix + folderEntryId + L":" + std::to_wstring(seq);
  wchar_t crc[16];
  swprintf(crc, 16, L"%08X", Fnv1a(body));
  return body + L":" + crc;
}

// The sequence number of a state text made for this folder; false when the
// text is damaged or belongs to another folder.
bool ParseState(std::wstring_view state, const std::wstring& folderEntryId, uint64_t* seq) {
  std::wstring_view prefix = kStatePrefix;
  if (state.substr(0, prefix.size()) != prefix) return false;
  size_t lastColon = state.rfind(L':');
  size_t idColon = state.find(L':', prefix.size());
  if (lastColon == std::wstring_view::npos || idColon == std::wstring_view::npos || idColon >= lastColon) return false;
  std::wstring_view id = state.substr(prefix.size(), idColon - prefix.size());
  std::wstring_view num = state.substr(idColon + 1, lastColon - idColon - 1);
  if (id != folderEntryId || num.empty() || num.size() > 19) return false;
  uint64_t n = 0;
  for (wchar_t c : num) {
    if (c < L'0' || c > L'9') return false;
    n = n * 10 + (c - L'0');
  }
  if (MakeState(folderEntryId, n) != state) return false;
  *seq = n;
  return true;
}

}  // namespace

HRESULT World::GetChanges(ObjId folder, std::wstring_view state, const std::optional<std::wstring>& restriction,
                          IcsResult* out) {
  query::Parsed q;
  if (restriction && !restriction->empty() && !query::Parse(*restriction, &q)) return MAPI_E_INVALID_PARAMETER;
  std::lock_guard lock(mutex_);
  auto& st = *s_;
  *out = IcsResult();
  FolderRec* f = st.Folder(folder);
  if (!f) return MAPI_E_OBJECT_DELETED;
  StoreRec* s = st.Store(f->info.store);
  if (!s || !s->info.supportsIcs) return MAPI_E_NO_SUPPORT;
  if (st.settings.icsServerDown) return MAPI_E_NETWORK_ERROR;
  if (st.settings.icsNullCollection) { out->noCollection = true; return S_OK; }
  uint64_t since = 0;
  if (!state.empty() && !ParseState(state, f->info.entryId, &since)) return MAPI_E_CORRUPT_DATA;

  std::vector<std::pair<uint64_t, IcsChange>> found;
  for (ObjId id : f->items) {
    const ItemRec& r = st.items.at(id);
    if (r.lastSeq <= since) continue;
    IcsChange c;
    c.sourceKey = r.info.SourceKeyHex();
    auto read = [&](const std::wstring& dasl) {
      uint32_t namedTag = 0;
      PropKey k;
      if (!ResolveStatic(dasl, &k, &namedTag) || (namedTag && !st.KeyForTag(s, namedTag, &k))) return Value();
      return st.ReadItemProp(r.info, k);
    };
    if (!query::Matches(q, read)) {
      if (!st.settings.icsReportUnmatchedAsDeletion || since == 0 || r.createdSeq > since) continue;
      c.kind = 1;
    } else {
      c.kind = 2;
      c.changeKey = r.info.ChangeKeyHex();
      c.entryId = r.info.entryId;
      c.isNew = since == 0 || r.createdSeq > since;
    }
    found.emplace_back(r.lastSeq, std::move(c));
  }
  if (since) {
    for (const Tombstone& t : f->tombstones) {
      if (t.deletedSeq <= since || t.createdSeq > since) continue;  // gone before, or born and gone after
      IcsChange c;
      c.sourceKey = t.sourceKey;
      c.kind = 1;
      found.emplace_back(t.deletedSeq, std::move(c));
    }
  }
  std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  for (auto& [seq, c] : found) out->changes.push_back(std::move(c));
  out->newState = MakeState(f->info.entryId, st.seq);
  return S_OK;
}
}  // namespace sim
