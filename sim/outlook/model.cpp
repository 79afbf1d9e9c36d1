#include "model.h"

#include <ocidl.h>

#include <algorithm>
#include <deque>
#include <memory>

#include "clock.h"

#include "outlook.h"
#include "window.h"

namespace simol {

com::ComPtr<IDispatch> NewApplicationObject();
com::ComPtr<IDispatch> NewNameSpaceObject();

namespace {

com::ConnectionPoint* PointOf(IDispatch* source, const IID& iid) {
  com::ComPtr<IConnectionPointContainer> cpc;
  com::ComPtr<IConnectionPoint> cp;
  if (!source || FAILED(source->QueryInterface(IID_IConnectionPointContainer, cpc.PutVoid())) ||
      FAILED(cpc->FindConnectionPoint(iid, cp.Put())))
    return nullptr;
  // Our containers hand out their own com::ConnectionPoint objects, which
  // the container keeps alive.
  return static_cast<com::ConnectionPoint*>(cp.Get());
}

}  // namespace

Model& Model::Instance() {
  static Model* model = new Model();  // never destroyed: objects may outlive static destruction
  return *model;
}

bool Model::ShouldFail(const wchar_t* op, HRESULT* hr) {
  World().Record(op, L"");
  return World().ShouldFail(op, hr);
}

std::function<HRESULT()> Model::AdviseHook(const wchar_t* op) {
  std::wstring name = op;
  return [this, name] {
    HRESULT hr = S_OK;
    return ShouldFail(name.c_str(), &hr) ? hr : S_OK;
  };
}

IDispatch* Model::Application() {
  std::lock_guard lock(mutex_);
  if (!app_) app_ = NewApplicationObject();
  return app_.Get();
}

IDispatch* Model::NameSpace() {
  std::lock_guard lock(mutex_);
  if (!ns_) ns_ = NewNameSpaceObject();
  return ns_.Get();
}

void Model::ItemsMade(sim::ObjId folder, com::ConnectionPoint* point) {
  std::lock_guard lock(mutex_);
  itemsPoints_.emplace(folder, point);
}

void Model::ItemsGone(sim::ObjId folder, com::ConnectionPoint* point) {
  std::lock_guard lock(mutex_);
  auto [from, to] = itemsPoints_.equal_range(folder);
  for (auto it = from; it != to; ++it) {
    if (it->second == point) {
      itemsPoints_.erase(it);
      return;
    }
  }
}

std::wstring Model::Version() {
  std::lock_guard lock(mutex_);
  return version_;
}
void Model::SetVersion(const std::wstring& v) {
  std::lock_guard lock(mutex_);
  version_ = v;
}

bool Model::Connected() {
  std::lock_guard lock(mutex_);
  return connected_;
}
void Model::PutConnect(bool connect) {
  std::lock_guard lock(mutex_);
  if (!connect && connected_) disconnectRequested_ = true;
  connected_ = connect && connected_;  // the simulated Outlook does not reconnect an add-in
}
void Model::SetConnected(bool connected) {
  std::lock_guard lock(mutex_);
  connected_ = connected;
  disconnectRequested_ = false;
}
bool Model::TakeDisconnectRequest() {
  std::lock_guard lock(mutex_);
  return std::exchange(disconnectRequested_, false);
}

sim::ObjId Model::InspectorItem() {
  std::lock_guard lock(mutex_);
  return inspectorItem_;
}
void Model::SetInspectorItem(sim::ObjId item) {
  std::lock_guard lock(mutex_);
  inspectorItem_ = item;
}

void Model::RecordPage(const std::wstring& progId) {
  std::lock_guard lock(mutex_);
  pages_.push_back(progId);
}
std::vector<std::wstring> Model::Pages() {
  std::lock_guard lock(mutex_);
  return pages_;
}

void Model::RaiseDueReminders() {
  std::vector<sim::ObjId> due;
  for (sim::ObjId store : World().Stores()) {
    std::vector<sim::ObjId> ofStore = World().DueReminders(store);
    due.insert(due.end(), ofStore.begin(), ofStore.end());
  }
  std::vector<sim::ObjId> fresh;
  {
    std::lock_guard lock(mutex_);
    if (!running_) return;
    // A reminder that is no longer due (dismissed, or set again later) may
    // come due again.
    std::erase_if(remindersRaised_, [&](sim::ObjId id) { return std::find(due.begin(), due.end(), id) == due.end(); });
    for (sim::ObjId id : due) {
      if (remindersRaised_.insert(id).second) fresh.push_back(id);
    }
  }
  com::ConnectionPoint* cp = PointOf(Application(), DIID_ApplicationEvents);
  if (!cp) return;
  for (sim::ObjId id : fresh) {
    World().Record(L"Outlook.Reminder", World().ItemEntryId(id));
    cp->Fire(kEvReminder, {com::Variant(NewItem(id).Get())});
  }
}

void Model::FireQuit() {
  if (com::ConnectionPoint* cp = PointOf(Application(), DIID_ApplicationEvents)) cp->Fire(kEvQuit, {});
}

bool Model::RequestOptionPages(const std::wstring& folderEntryId, std::vector<std::wstring>* progIds) {
  com::ComPtr<IDispatch> pages = NewPropertyPages();
  const size_t before = Pages().size();
  if (folderEntryId.empty()) {
    if (com::ConnectionPoint* cp = PointOf(Application(), DIID_ApplicationEvents))
      cp->Fire(kEvOptionsPagesAdd, {com::Variant(pages.Get())});
  } else {
    sim::ObjId id = World().FolderByEntryId(folderEntryId);
    if (!World().GetFolder(id)) return false;
    com::ComPtr<IDispatch> folder = NewFolder(id);
    if (com::ConnectionPoint* cp = PointOf(NameSpace(), DIID_NameSpaceEvents))
      cp->Fire(kEvOptionsPagesAdd, {com::Variant(pages.Get()), com::Variant(folder.Get())});
  }
  std::vector<std::wstring> all = Pages();
  progIds->assign(all.begin() + std::min(before, all.size()), all.end());
  return true;
}

void Model::Reset() {
  com::ComPtr<IDispatch> app, ns;
  std::vector<com::ComPtr<IConnectionPoint>> items;
  {
    std::lock_guard lock(mutex_);
    app.Swap(app_);
    ns.Swap(ns_);
    for (const auto& [folder, point] : itemsPoints_) items.emplace_back(point);
    version_ = L"16.0.4266";
    connected_ = disconnectRequested_ = false;
    inspectorItem_ = 0;
    pages_.clear();
    remindersRaised_.clear();
    running_ = true;  // the simulated Outlook runs unless its host says otherwise
    ++session_;
  }
  eventDelayMs_ = 0;
  changeRepeats_ = 1;
  // Objects still held elsewhere lose their sinks now, so that nothing calls
  // into a module that is about to go.
  for (IDispatch* source : {app.Get(), ns.Get()}) {
    for (const IID* iid : {&DIID_ApplicationEvents, &DIID_NameSpaceEvents})
      if (com::ConnectionPoint* cp = PointOf(source, *iid)) cp->Disconnect();
  }
  for (const auto& p : items) static_cast<com::ConnectionPoint*>(p.Get())->Disconnect();
}

}  // namespace simol
