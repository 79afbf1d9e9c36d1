// The Outlook layer's side of the host controls: sim::IOutlookSide (through
// sim_control.h) and sim::IHostSide (exported as SimGetHostSide).
#include "host_side.h"

#include <cmath>

#include "clock.h"
#include "control/sim_control.h"
#include "model.h"

namespace simol {
namespace {

using sim::ObjId;
using sim::PropKey;
using sim::Value;

PropKey ReminderSetKey() { return PropKey::Named(sim::psets::kCommon, 0x8503, sim::kPtBoolean); }
PropKey Email1Key() { return PropKey::Named(sim::psets::kAddress, 0x8083, sim::kPtUnicode); }
PropKey ResponseStatusKey() { return PropKey::Named(sim::psets::kAppointment, 0x8218, sim::kPtLong); }
PropKey SensitivityKey() { return PropKey::Tag(sim::tags::kSensitivity); }

sim::HostItem Summary(const sim::ItemInfo& info) {
  sim::HostItem h;
  h.entryId = info.entryId;
  h.messageClass = info.MessageClass();
  h.subject = info.Subject();
  if (const Value* v = info.content.Find(PropKey::Keywords())) h.categories = v->list;
  if (const Value* v = info.content.Find(SensitivityKey())) h.sensitivity = long(v->num);
  if (const Value* v = info.content.Find(ReminderSetKey())) h.reminder = v->num != 0;
  return h;
}

class HostSide final : public sim::IHostSide, public sim::IOutlookSide {
 public:
  // IOutlookSide
  IDispatch* Application() override {
    IDispatch* app = M().Application();
    if (app) app->AddRef();
    return app;
  }
  HRESULT AttachUiThread() override { return M().AttachUiThread(); }
  void DetachUiThread() override { M().DetachUiThread(); }

  // IHostSide
  void Reset() override { M().Reset(); }
  void SetVersion(const std::wstring& version) override { M().SetVersion(version); }
  void SetProfile(const std::wstring& profile) override {
    sim::ProfileSettings s = W().Settings();
    s.profileName = profile;
    W().SetSettings(s);
  }
  void SetConnected(bool connected) override { M().SetConnected(connected); }
  bool TakeDisconnectRequest() override { return M().TakeDisconnectRequest(); }
  void FireQuit() override { M().FireQuit(); }
  bool OpenInspector(const std::wstring& itemEntryId) override {
    ObjId item = W().ItemByEntryId(itemEntryId);
    auto info = W().GetItem(item);
    if (!info || info->deleted) return false;
    M().SetInspectorItem(item);
    return true;
  }
  void CloseInspector() override { M().SetInspectorItem(0); }
  std::vector<std::wstring> PagesAdded() override { return M().Pages(); }
  long PendingEvents() override { return M().PendingEvents(); }
  uint64_t ChangeCount() override { return M().ChangeCount(); }

  std::vector<sim::HostStore> Stores() override {
    std::vector<sim::HostStore> out;
    for (ObjId id : W().Stores()) {
      auto s = W().GetStore(id);
      if (!s) continue;
      auto root = W().GetFolder(s->root);
      out.push_back({s->storeId, s->name, root ? root->entryId : L"", s->kind, s->isDefault});
    }
    return out;
  }
  std::vector<sim::HostFolder> Subfolders(const std::wstring& folderEntryId) override {
    std::vector<sim::HostFolder> out;
    for (ObjId id : W().Subfolders(W().FolderByEntryId(folderEntryId))) {
      if (auto f = W().GetFolder(id)) out.push_back({f->entryId, f->name, f->itemType, f->defaultKind});
    }
    return out;
  }
  std::vector<sim::HostItem> ItemsOf(const std::wstring& folderEntryId) override {
    std::vector<sim::HostItem> out;
    for (ObjId id : W().Items(W().FolderByEntryId(folderEntryId))) {
      if (auto info = W().GetItem(id); info && !info->deleted) out.push_back(Summary(*info));
    }
    return out;
  }
  std::wstring AddItem(const std::wstring& folderEntryId, const sim::HostItemSpec& desc) override {
    ObjId folder = W().FolderByEntryId(folderEntryId);
    if (!W().GetFolder(folder)) return L"";
    sim::ItemContent c;
    c.Set(PropKey::Tag(sim::tags::kMessageClass), Value::String(desc.messageClass));
    c.Set(PropKey::Tag(sim::tags::kSubject), Value::String(desc.subject));
    if (!desc.categories.empty()) c.Set(PropKey::Keywords(), Value::List(desc.categories));
    c.Set(SensitivityKey(), Value::Long(desc.sensitivity));
    c.Set(ReminderSetKey(), Value::Bool(desc.reminder));
    if (!desc.email.empty()) c.Set(Email1Key(), Value::String(desc.email));
    if (desc.responseStatus) c.Set(ResponseStatusKey(), Value::Long(*desc.responseStatus));
    if (desc.modifiedOffsetDays)
      c.Set(PropKey::Tag(sim::tags::kLastModificationTime),
            Value::Date(clk::NowLocalDate() + *desc.modifiedOffsetDays));
    for (const auto& [name, address] : desc.recipients) c.recipients.push_back({name, address});
    for (const std::wstring& a : desc.members) c.members.push_back({a, a});
    ObjId item = 0;
    if (FAILED(W().CreateItem(folder, std::move(c), &item))) return L"";
    auto info = W().GetItem(item);
    return info ? info->entryId : L"";
  }
  bool ChangeItem(const std::wstring& entryId, const sim::HostItemChange& change) override {
    ObjId item = W().ItemByEntryId(entryId);
    auto info = W().GetItem(item);
    if (!info || info->deleted) return false;
    sim::ItemContent c = info->content;
    if (change.subject) c.Set(PropKey::Tag(sim::tags::kSubject), Value::String(*change.subject));
    if (change.categories) c.Set(PropKey::Keywords(), Value::List(*change.categories));
    if (change.sensitivity) c.Set(SensitivityKey(), Value::Long(*change.sensitivity));
    if (change.reminder) c.Set(ReminderSetKey(), Value::Bool(*change.reminder));
    return SUCCEEDED(W().CommitItem(item, std::move(c)));
  }
  bool RequestOptionPages(const std::wstring& folderEntryId, std::vector<std::wstring>* progIds) override {
    return M().RequestOptionPages(folderEntryId, progIds);
  }

 private:
  static Model& M() { return Model::Instance(); }
  static sim::World& W() { return sim::World::Instance(); }
};

HostSide& TheHostSide() {
  static HostSide* side = new HostSide();
  return *side;
}

// Registers the Outlook layer with the control when the module loads.
const bool kRegistered = [] {
  sim::SetOutlookSide(&TheHostSide());
  return true;
}();

}  // namespace
}  // namespace simol

extern "C" __declspec(dllexport) sim::IHostSide* SimGetHostSide() { return &simol::TheHostSide(); }
