// The host's control of the simulation over the process's world.
#include <algorithm>
#include <atomic>

#include "control/sim_control.h"
#include "world/times.h"
#include "world/variant_value.h"
#include "world/world.h"

namespace sim {
namespace {

std::atomic<IOutlookSide*> g_outlookSide{nullptr};

class WorldControl final : public ISimControl {
 public:
  void Reset() override { W().Reset(); }

  std::wstring AddStore(const SimStore& s) override {
    StoreSpec desc;
    desc.name = s.name;
    desc.kind = s.kind;
    desc.providerHex = s.providerHex;
    desc.isDefault = s.isDefault;
    desc.omitFolders = s.omitFolders;
    desc.supportsIcs = s.supportsIcs;
    desc.clockOffsetSeconds = s.clockOffsetSeconds;
    desc.echoAfterSeconds = s.echoAfterSeconds;
    desc.echoRewrites = s.echoRewrites;
    desc.namedPropsFull = s.namedPropsFull;
    desc.uploadAfterSeconds = s.uploadAfterSeconds;
    auto info = W().GetStore(W().AddStore(desc));
    return info ? info->storeId : L"";
  }
  bool RemoveStore(const std::wstring& storeId) override { return W().RemoveStore(W().StoreByStoreId(storeId)); }
  std::wstring DefaultFolder(const std::wstring& storeId, long olFolder) override {
    ObjId store = W().StoreByStoreId(storeId);
    auto info = W().GetStore(store);
    if (!info) return L"";
    return EntryIdOf(olFolder == 0 ? info->root : W().StoreDefaultFolder(store, olFolder));
  }
  std::wstring AddFolder(const std::wstring& parent, const std::wstring& name, long itemType) override {
    return EntryIdOf(W().AddFolder(W().FolderByEntryId(parent), name, itemType));
  }
  bool DeleteFolder(const std::wstring& folder, bool hard) override {
    return W().DeleteFolder(W().FolderByEntryId(folder), hard);
  }
  bool EmptyDeletedItems(const std::wstring& storeId) override {
    return W().EmptyDeletedItems(W().StoreByStoreId(storeId));
  }
  std::vector<std::wstring> Items(const std::wstring& folder) override {
    std::vector<std::wstring> ids;
    for (ObjId id : W().Items(W().FolderByEntryId(folder))) {
      if (auto info = W().GetItem(id)) ids.push_back(info->entryId);
    }
    return ids;
  }

  std::wstring AddItem(const std::wstring& folderId, const SimItem& item) override {
    std::vector<std::wstring> ids = AddItems(folderId, {item});
    return ids.empty() ? L"" : ids.front();
  }
  std::vector<std::wstring> AddItems(const std::wstring& folderId, const std::vector<SimItem>& items) override {
    ObjId folder = W().FolderByEntryId(folderId);
    auto f = W().GetFolder(folder);
    if (!f) return {};
    std::vector<ItemContent> contents;
    for (const SimItem& item : items) {
      ItemContent c;
      if (!ContentOf(f->store, item, &c)) return {};
      contents.push_back(std::move(c));
    }
    std::vector<ObjId> made;
    if (FAILED(W().CreateItems(folder, std::move(contents), &made))) return {};
    std::vector<std::wstring> ids;
    for (size_t i = 0; i < made.size(); ++i) {
      if (items[i].readOnly) W().SetReadOnly(made[i], true);
      ids.push_back(W().ItemEntryId(made[i]));
    }
    return ids;
  }
  bool ChangeItem(const std::wstring& entryId, const std::vector<SimProp>& props) override {
    auto info = W().GetItem(W().ItemByEntryId(entryId));
    Edit edit;
    return info && ResolveProps(info->store, props, &edit) && Commit(info->id, edit);
  }
  bool ChangeItemBeforeSave(const std::wstring& entryId, const std::vector<SimProp>& props) override {
    auto info = W().GetItem(W().ItemByEntryId(entryId));
    Edit edit;
    if (!info || !ResolveProps(info->store, props, &edit)) return false;
    W().EditBeforeNextSave(info->id, [id = info->id, edit] { Commit(id, edit); });
    return true;
  }
  bool ExpireSyncStates(const std::wstring& folderEntryId) override {
    return W().ExpireSyncStates(W().FolderByEntryId(folderEntryId));
  }
  bool DeleteItem(const std::wstring& entryId) override { return DeleteItems({entryId}, false); }
  bool DeleteItems(const std::vector<std::wstring>& entryIds, bool hard) override {
    std::vector<ObjId> items;
    for (const std::wstring& id : entryIds) items.push_back(W().ItemByEntryId(id));
    return SUCCEEDED(W().DeleteItems(items, hard ? DeleteMode::Hard : DeleteMode::ToDeletedItems));
  }
  std::wstring MoveItem(const std::wstring& entryId, const std::wstring& folderId) override {
    ObjId moved = 0;
    if (FAILED(W().MoveItem(W().ItemByEntryId(entryId), W().FolderByEntryId(folderId), &moved))) return L"";
    return W().ItemEntryId(moved);
  }
  bool EchoItem(const std::wstring& entryId, bool rewrite) override {
    return SUCCEEDED(W().EchoItem(W().ItemByEntryId(entryId), rewrite));
  }
  size_t RunDue() override { return W().RunDue(); }
  size_t PendingWork() override { return W().PendingWork(); }
  std::wstring CopyItem(const std::wstring& entryId, const std::wstring& folderId) override {
    ObjId copy = 0;
    if (FAILED(W().CopyItemToFolder(W().ItemByEntryId(entryId), W().FolderByEntryId(folderId), &copy))) return L"";
    return W().GetItem(copy)->entryId;
  }
  HRESULT ReadItem(const std::wstring& entryId, const std::wstring& dasl, VARIANT* value) override {
    if (!value) return E_POINTER;
    VariantInit(value);
    auto info = W().GetItem(W().ItemByEntryId(entryId));
    if (!info) return MAPI_E_NOT_FOUND;
    PropKey key;
    if (!W().ResolveDasl(info->store, dasl, false, &key)) return S_OK;
    Value v = W().ReadItemProp(*info, key);
    if (v.type == ValueType::Date) v.dbl = times::ToLocal(v.dbl);
    return ValueToVariant(v, value);
  }
  void SetConnectionModes(const std::vector<long>& modes) override { W().SetConnectionModes(modes); }
  void SetServerClockOffset(double seconds) override {
    ProfileSettings s = W().Settings();
    s.serverClockOffsetSeconds = seconds;
    W().SetSettings(s);
  }
  bool SetStoreClockOffset(const std::wstring& storeId, double seconds) override {
    ObjId store = W().StoreByStoreId(storeId);
    if (!W().GetStore(store)) return false;
    W().SetStoreClockOffset(store, seconds);
    return true;
  }
  double LocalTime(double secondsFromNow) override {
    return times::ToLocal(times::NowUtc() + secondsFromNow * times::kSecond);
  }
  void SetAddressList(const std::wstring& name, const std::wstring& contactsFolderEntryId,
                      const std::vector<SimAddressEntry>& entries) override {
    AddressList list;
    list.name = name;
    list.contactsFolder = contactsFolderEntryId.empty() ? 0 : W().FolderByEntryId(contactsFolderEntryId);
    for (const SimAddressEntry& e : entries) {
      AddressEntry entry{e.name, e.smtp, e.alias, e.firstName, e.lastName, e.isDistList, {}};
      for (const std::wstring& m : e.members) entry.members.push_back({m, m, L"SMTP"});
      list.entries.push_back(std::move(entry));
    }
    std::vector<AddressList> lists = W().AddressLists();
    auto same = std::find_if(lists.begin(), lists.end(), [&](const AddressList& l) { return l.name == name; });
    if (same != lists.end())
      *same = std::move(list);
    else
      lists.push_back(std::move(list));
    W().SetAddressLists(std::move(lists));
  }

  void InjectFailure(const std::wstring& op, int nth, HRESULT hr, int count) override { W().InjectFailure(op, nth, hr, count); }
  void ClearFailures() override { W().ClearFailures(); }
  std::vector<SimCall> Calls() override {
    std::vector<SimCall> calls;
    for (const auto& c : W().Calls()) calls.push_back({c.op, c.detail});
    return calls;
  }
  void ClearCalls() override { W().ClearCalls(); }
  std::wstring Dump() override { return W().Dump(); }

  IDispatch* Application() override {
    IOutlookSide* side = g_outlookSide.load();
    return side ? side->Application() : nullptr;
  }
  HRESULT AttachUiThread() override {
    IOutlookSide* side = g_outlookSide.load();
    return side ? side->AttachUiThread() : E_NOTIMPL;
  }
  void DetachUiThread() override {
    if (IOutlookSide* side = g_outlookSide.load()) side->DetachUiThread();
  }

 private:
  static World& W() { return World::Instance(); }
  static std::wstring EntryIdOf(ObjId folder) {
    auto f = World::Instance().GetFolder(folder);
    return f ? f->entryId : L"";
  }
  static bool ContentOf(ObjId store, const SimItem& item, ItemContent* c) {
    c->Set(PropKey::Tag(tags::kMessageClass), Value::String(item.messageClass));
    if (!item.subject.empty()) c->Set(PropKey::Tag(tags::kSubject), Value::String(item.subject));
    if (!item.categories.empty()) c->Set(PropKey::Keywords(), Value::List(item.categories));
    for (const auto& r : item.recipients) c->recipients.push_back(RecipientOf(r));
    for (const auto& m : item.members) c->members.push_back({m, m, L"SMTP"});
    return ApplyProps(store, item.props, c);
  }
  // Properties as the world keeps them, in the order given.
  using Edit = std::vector<std::pair<PropKey, Value>>;
  static bool ResolveProps(ObjId store, const std::vector<SimProp>& props, Edit* edit) {
    for (const auto& p : props) {
      PropKey key;
      Value v;
      if (!W().ResolveDasl(store, p.dasl, true, &key) || FAILED(VariantToValue(p.value, key.type, &v))) return false;
      if (v.type == ValueType::Date) v.dbl = times::ToUtc(v.dbl);
      edit->emplace_back(key, std::move(v));
    }
    return true;
  }
  static bool ApplyProps(ObjId store, const std::vector<SimProp>& props, ItemContent* c) {
    Edit edit;
    if (!ResolveProps(store, props, &edit)) return false;
    for (auto& [key, v] : edit) c->Set(key, std::move(v));
    return true;
  }
  // Commits an edit over the item as it is now; a modification time among
  // the properties is kept (a phone's edit uploaded later).
  static bool Commit(ObjId item, const Edit& edit) {
    auto info = W().GetItem(item);
    if (!info) return false;
    ItemContent c = std::move(info->content);
    const Value before = ModifiedOf(c);
    for (const auto& [key, v] : edit) c.Set(key, v);
    const Value after = ModifiedOf(c);
    std::optional<double> own;
    if (after.type == ValueType::Date && !(after == before)) own = after.dbl;
    return SUCCEEDED(W().CommitItem(item, std::move(c), own));
  }
  static Value ModifiedOf(const ItemContent& c) {
    const Value* v = c.Find(PropKey::Tag(tags::kLastModificationTime));
    return v ? *v : Value();
  }
  // "Ann <a@x.org>" or "a@x.org".
  static Recipient RecipientOf(const std::wstring& text) {
    size_t lt = text.find(L'<'), gt = text.find(L'>');
    if (lt == std::wstring::npos || gt == std::wstring::npos || gt < lt) return {text, text, L"SMTP"};
    std::wstring name = text.substr(0, lt);
    while (!name.empty() && name.back() == L' ') name.pop_back();
    return {name, text.substr(lt + 1, gt - lt - 1), L"SMTP"};
  }
};

}  // namespace

ISimControl* GetControl() {
  static WorldControl control;
  return &control;
}

void SetOutlookSide(IOutlookSide* side) { g_outlookSide.store(side); }

}  // namespace sim
