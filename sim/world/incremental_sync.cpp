// Incremental change synchronisation of a folder, as the server keeps it: a
// state text names the items the client had (those in scope when it was
// made), and the changes since are what differs from that now.
#include <algorithm>
#include <cstdio>
#include <map>

#include "world/query.h"
#include "world/world_state.h"

namespace sim {
namespace {


uint32_t Fnv1a(std::wstring_view s) {
  uint32_t h = 2166136261u;
  for (wchar_t c : s) {
    h ^= uint32_t(c);
    h *= 16777619u;
  }
  return h;
}

constexpr wchar_t kStatePrefix[] = L"SIMICS2:";

// The items a state names: their ordinals in the folder, ascending, written
// as ranges ("1-5,7").
std::wstring RangesOf(const std::vector<uint32_t>& ordinals) {
  std::wstring out;
  for (size_t i = 0; i < ordinals.size();) {
    size_t j = i;
    while (j + 1 < ordinals.size() && ordinals[j + 1] == ordinals[j] + 1) ++j;
    if (!out.empty()) out += L',';
    out += std::to_wstring(ordinals[i]);
    if (j > i) out += L'-' + std::to_wstring(ordinals[j]);
    i = j + 1;
  }
  return out;
}

bool ParseNumber(std::wstring_view text, uint64_t* n) {
  if (text.empty() || text.size() > 19) return false;
  *n = 0;
  for (wchar_t c : text) {
    if (c < L'0' || c > L'9') return false;
    *n = *n * 10 + uint64_t(c - L'0');
  }
  return true;
}

// Marks the ordinals of "1-5,7" in `had` (index = ordinal); false when the
// text is not such a list or names an ordinal the folder never gave.
bool ParseRanges(std::wstring_view text, std::vector<bool>* had) {
  while (!text.empty()) {
    size_t comma = text.find(L',');
    std::wstring_view part = text.substr(0, comma);
    text = comma == std::wstring_view::npos ? std::wstring_view() : text.substr(comma + 1);
    size_t dash = part.find(L'-');
    uint64_t from = 0, to = 0;
    if (!ParseNumber(part.substr(0, dash), &from)) return false;
    to = from;
    if (dash != std::wstring_view::npos && !ParseNumber(part.substr(dash + 1), &to)) return false;
    if (from == 0 || to < from || to >= had->size()) return false;
    for (uint64_t o = from; o <= to; ++o) (*had)[o] = true;
  }
  return true;
}

std::wstring MakeState(const std::wstring& folderEntryId, uint64_t seq, const std::wstring& ranges) {
  std::wstring body = kStatePrefix + folderEntryId + L":" + std::to_wstring(seq) + L":" + ranges;
  wchar_t crc[16];
  swprintf(crc, 16, L"%08X", Fnv1a(body));
  return body + L":" + crc;
}

// The sequence number of a state text made for this folder and the items it
// names; false when the text is damaged or belongs to another folder.
bool ParseState(std::wstring_view state, const FolderRec& f, uint64_t* seq, std::vector<bool>* had) {
  std::wstring_view prefix = kStatePrefix;
  if (state.substr(0, prefix.size()) != prefix) return false;
  const size_t crcColon = state.rfind(L':');
  if (crcColon == std::wstring_view::npos || crcColon < prefix.size()) return false;
  std::wstring_view body = state.substr(0, crcColon);
  wchar_t crc[16];
  swprintf(crc, 16, L"%08X", Fnv1a(body));
  if (state.substr(crcColon + 1) != crc) return false;
  body.remove_prefix(prefix.size());
  const size_t rangesColon = body.rfind(L':');
  const size_t seqColon = rangesColon == std::wstring_view::npos ? rangesColon : body.rfind(L':', rangesColon - 1);
  if (seqColon == std::wstring_view::npos || body.substr(0, seqColon) != f.info.entryId) return false;
  had->assign(f.byOrdinal.size() + 1, false);
  return ParseNumber(body.substr(seqColon + 1, rangesColon - seqColon - 1), seq) &&
         ParseRanges(body.substr(rangesColon + 1), had);
}

}  // namespace

HRESULT World::GetChanges(ObjId folder, std::wstring_view state, const std::optional<std::wstring>& restriction,
                          IcsResult* out) {
  query::Parsed q;
  if (restriction && !restriction->empty() && !query::Parse(*restriction, &q)) return MAPI_E_INVALID_PARAMETER;
  const std::wstring stateText(state);  // `state` may be the text *out holds
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
  std::vector<bool> had(f->byOrdinal.size() + 1, false);
  if (!stateText.empty() && (!ParseState(stateText, *f, &since, &had) || since < f->statesFrom))
    return MAPI_E_CORRUPT_DATA;

  // The restriction's names, resolved once for the call; a name the store
  // does not know reads as missing.
  std::map<std::wstring, std::optional<PropKey>> keys;
  auto keyOf = [&](const std::wstring& dasl) {
    auto [it, fresh] = keys.try_emplace(dasl);
    if (fresh) it->second = st.QueryKey(s, dasl);
    return it->second;
  };

  std::vector<std::pair<uint64_t, IcsChange>> found;
  std::vector<uint32_t> inScope;
  for (size_t o = 1; o < f->byOrdinal.size() + 1; ++o) {
    const ItemRec& r = st.items.at(f->byOrdinal[o - 1]);
    // An item not uploaded yet is not on the server.
    const bool onServer = !r.info.deleted && !r.info.SourceKeyHex().empty();
    const bool matches = onServer && query::Matches(q, [&](const std::wstring& dasl) {
      std::optional<PropKey> k = keyOf(dasl);
      return k ? st.ReadItemProp(r.info, *k) : Value();
    });
    IcsChange c;
    c.sourceKey = r.info.SourceKeyHex();
    if (matches) {
      inScope.push_back(uint32_t(o));
      if (had[o] && r.lastSeq <= since) continue;
      c.kind = 2;
      c.changeKey = r.info.ChangeKeyHex();
      c.entryId = r.info.entryId;
      c.isNew = !had[o];  // new in the folder, or come into the scope
      found.emplace_back(r.lastSeq, std::move(c));
    } else if (had[o]) {
      // Deleted, moved away, or gone out of the scope.
      c.kind = 1;
      found.emplace_back(r.info.deleted ? r.deletedSeq : r.lastSeq, std::move(c));
    }
  }
  std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  for (auto& [seq, c] : found) out->changes.push_back(std::move(c));
  out->newState = MakeState(f->info.entryId, st.seq, RangesOf(inScope));
  return S_OK;
}

bool World::ExpireSyncStates(ObjId folder) {
  std::lock_guard lock(mutex_);
  FolderRec* f = s_->Folder(folder);
  if (!f) return false;
  f->statesFrom = ++s_->seq;
  return true;
}

}  // namespace sim
