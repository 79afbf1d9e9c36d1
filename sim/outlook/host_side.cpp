// The Outlook layer's side of the host controls: sim::IOutlookSide (through
// sim_control.h) and sim::IHostSide (exported as SimGetHostSide).
#include "host_side.h"

#include "control/sim_control.h"
#include "model.h"
#include "world/id_forms.h"

namespace simol {
namespace {

using sim::ObjId;
using sim::PropKey;
using sim::Value;

sim::HostItem Summary(const sim::ItemInfo& info) {
  sim::HostItem h;
  h.entryId = info.entryId;
  h.messageClass = info.MessageClass();
  h.subject = info.Subject();
  if (const Value* v = info.content.Find(PropKey::Keywords())) h.categories = v->list;
  if (const Value* v = info.content.Find(PropKey::Tag(sim::tags::kSensitivity))) h.sensitivity = long(v->num);
  if (const Value* v = info.content.Find(sim::named::ReminderSet())) h.reminder = v->num != 0;
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
  void SetOutlookRunning(bool running) override { M().SetRunning(running); }
  void SetEventDelay(double seconds) override { M().SetEventDelay(seconds); }
  void SetChangeRepeats(int times) override { M().SetChangeRepeats(times); }
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

  std::wstring OutlookId(const std::wstring& id) override { return sim::OutlookIdForm(id); }
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
