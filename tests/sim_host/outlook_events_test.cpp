// The simulated Outlook's object model over the world, driven late-bound as
// the add-in drives it: events of a change made on a worker thread arrive on
// the user-interface thread; injected host failures; sinks are released.
#include <windows.h>
#include <ocidl.h>

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "com_object.h"
#include "dispatch.h"
#include "outlook.h"
#include "outlook/host_side.h"
#include "outlook/disp_object.h"
#include "outlook/model.h"
#include "world/id_forms.h"
#include "world/world.h"

extern "C" sim::IHostSide* SimGetHostSide();

namespace {

using com::ComPtr;
using com::Variant;

// An ItemsEvents sink that states what arrived and on which thread.
class RecordingSink : public IDispatch {
 public:
  struct Event { DISPID id; DWORD thread; std::wstring entryId; UINT argc; };
  BEGIN_COM_MAP(RecordingSink)
    COM_INTERFACE_ENTRY(IDispatch)
  END_COM_MAP()
  STDMETHODIMP GetTypeInfoCount(UINT* n) override { *n = 0; return S_OK; }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* p, VARIANT*, EXCEPINFO*, UINT*) override {
    Event e{id, GetCurrentThreadId(), L"", p ? p->cArgs : 0};
    if (IDispatch* item = com::DispArgs(p).DispatchAt(0)) {
      Variant v;
      if (SUCCEEDED(com::GetPropertyById(item, 0xF01E, v.Put()))) e.entryId = v.AsString();
    }
    events.push_back(e);
    return S_OK;
  }
  std::vector<Event> events;
};

ComPtr<IDispatch> Get(IDispatch* d, const wchar_t* name, std::initializer_list<Variant> args = {}) {
  Variant r;
  ComPtr<IDispatch> out;
  HRESULT hr = com::InvokeByName(d, name, DISPATCH_METHOD | DISPATCH_PROPERTYGET, args, r.Put());
  EXPECT_HRESULT_SUCCEEDED(hr) << "member " << std::string(name, name + wcslen(name));
  if (SUCCEEDED(hr)) com::ResultToDispatch(r, out.Put());
  return out;
}

void PumpUntil(const std::function<bool()>& done) {
  for (int i = 0; i < 200 && !done(); ++i) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    Sleep(5);
  }
}

// Advises a new recording sink on an object's event interface.
struct Advised {
  ComPtr<IConnectionPoint> point;
  com::ComObject<RecordingSink>* sink = nullptr;
  DWORD cookie = 0;
};
Advised AdviseOn(IDispatch* source, const IID& events) {
  Advised a;
  ComPtr<IConnectionPointContainer> cpc;
  EXPECT_HRESULT_SUCCEEDED(source->QueryInterface(IID_IConnectionPointContainer, cpc.PutVoid()));
  EXPECT_HRESULT_SUCCEEDED(cpc->FindConnectionPoint(events, a.point.Put()));
  EXPECT_HRESULT_SUCCEEDED(com::ComObject<RecordingSink>::Create(&a.sink));
  a.sink->AddRef();
  EXPECT_HRESULT_SUCCEEDED(a.point->Advise(static_cast<IDispatch*>(a.sink), &a.cookie));
  return a;
}

class OutlookModel : public ::testing::Test {
 protected:
  void SetUp() override {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    world().Reset();
    SimGetHostSide()->Reset();
    store_ = world().AddStore(sim::StoreSpec{});
    contacts_ = world().StoreDefaultFolder(store_, sim::kOlContacts);
    ASSERT_NE(contacts_, 0u);
    ASSERT_HRESULT_SUCCEEDED(simol::Model::Instance().AttachUiThread());
    app_ = simol::Model::Instance().Application();
  }
  void TearDown() override {
    simol::Model::Instance().DetachUiThread();
    SimGetHostSide()->Reset();
    app_.Reset();
    CoUninitialize();
  }
  static sim::World& world() { return sim::World::Instance(); }
  sim::ObjId NewContact(const wchar_t* subject) {
    sim::ItemContent c;
    c.Set(sim::PropKey::Tag(sim::tags::kMessageClass), sim::Value::String(L"IPM.Contact"));
    c.Set(sim::PropKey::Tag(sim::tags::kSubject), sim::Value::String(subject));
    sim::ObjId id = 0;
    EXPECT_HRESULT_SUCCEEDED(world().CreateItem(contacts_, c, &id));
    return id;
  }

  sim::ObjId store_ = 0, contacts_ = 0;
  ComPtr<IDispatch> app_;
};

TEST_F(OutlookModel, WorkerThreadChangesRaiseItemsEventsOnTheUiThread) {
  ComPtr<IDispatch> ns = Get(app_.Get(), L"GetNamespace", {Variant(L"MAPI")});
  ComPtr<IDispatch> folder = Get(ns.Get(), L"GetDefaultFolder", {Variant(10)});
  ComPtr<IDispatch> items = Get(folder.Get(), L"Items");
  ASSERT_TRUE(items);
  ComPtr<IConnectionPointContainer> cpc;
  ComPtr<IConnectionPoint> cp;
  ASSERT_HRESULT_SUCCEEDED(items->QueryInterface(IID_IConnectionPointContainer, cpc.PutVoid()));
  ASSERT_HRESULT_SUCCEEDED(cpc->FindConnectionPoint(DIID_ItemsEvents, cp.Put()));

  com::ComObject<RecordingSink>* sink = nullptr;
  ASSERT_HRESULT_SUCCEEDED(com::ComObject<RecordingSink>::Create(&sink));
  sink->AddRef();
  DWORD cookie = 0;
  ASSERT_HRESULT_SUCCEEDED(cp->Advise(static_cast<IDispatch*>(sink), &cookie));

  sim::ObjId item = 0;
  std::wstring entryId;
  std::thread worker([&] {
    item = NewContact(L"Ada");
    entryId = world().GetItem(item)->entryId;
    sim::ItemContent c = world().GetItem(item)->content;
    c.Set(sim::PropKey::Tag(sim::tags::kSubject), sim::Value::String(L"Ada King"));
    world().CommitItem(item, c);
    world().DeleteItem(item);
  });
  worker.join();
  EXPECT_TRUE(sink->events.empty()) << "events wait for the user-interface thread's loop";
  PumpUntil([&] { return sink->events.size() >= 3; });

  ASSERT_EQ(sink->events.size(), 3u);
  EXPECT_EQ(sink->events[0].id, 0xF001);  // ItemAdd(item)
  EXPECT_EQ(sink->events[0].entryId, sim::OutlookIdForm(entryId));
  EXPECT_EQ(sink->events[1].id, 0xF002);  // ItemChange(item)
  EXPECT_EQ(sink->events[1].entryId, sim::OutlookIdForm(entryId));
  EXPECT_EQ(sink->events[2].id, 0xF003);  // ItemRemove()
  EXPECT_EQ(sink->events[2].argc, 0u);
  for (const auto& e : sink->events) EXPECT_EQ(e.thread, GetCurrentThreadId());
  EXPECT_EQ(SimGetHostSide()->PendingEvents(), 0);

  // Unadvise gives the sink back: only our own reference is left.
  ASSERT_HRESULT_SUCCEEDED(cp->Unadvise(cookie));
  EXPECT_EQ(cp->Unadvise(cookie), CONNECT_E_NOCONNECTION);
  NewContact(L"Bob");
  PumpUntil([] { return SimGetHostSide()->PendingEvents() == 0; });
  EXPECT_EQ(sink->events.size(), 3u);
  EXPECT_EQ(sink->Release(), 0u);
}

// Outlook does not raise an event for every change: not for many items added
// or removed at once, not while it is closed (nor later for a change made
// then), and online they may come late.
TEST_F(OutlookModel, ItemEventsComeAsOutlookRaisesThem) {
  ComPtr<IDispatch> ns = Get(app_.Get(), L"GetNamespace", {Variant(L"MAPI")});
  ComPtr<IDispatch> items = Get(Get(ns.Get(), L"GetDefaultFolder", {Variant(10)}).Get(), L"Items");
  Advised advised = AdviseOn(items.Get(), DIID_ItemsEvents);
  RecordingSink* sink = advised.sink;
  sim::IHostSide* side = SimGetHostSide();
  auto settle = [&] { PumpUntil([&] { return side->PendingEvents() == 0; }); };
  auto batch = [&](size_t n) {
    std::vector<sim::ObjId> made;
    EXPECT_HRESULT_SUCCEEDED(world().CreateItems(contacts_, std::vector<sim::ItemContent>(n), &made));
    return made;
  };

  std::vector<sim::ObjId> few = batch(15), many = batch(16);
  settle();
  EXPECT_EQ(sink->events.size(), 15u) << "from 16 items on, no ItemAdd";
  ASSERT_HRESULT_SUCCEEDED(world().DeleteItems(many, sim::DeleteMode::Soft));
  ASSERT_HRESULT_SUCCEEDED(world().DeleteItems({few[0], few[1]}, sim::DeleteMode::Soft));
  settle();
  ASSERT_EQ(sink->events.size(), 17u);
  EXPECT_EQ(sink->events.back().id, 0xF003);

  // Closed: nothing now, and nothing after the next start.
  side->SetOutlookRunning(false);
  NewContact(L"While closed");
  side->SetOutlookRunning(true);
  settle();
  EXPECT_EQ(sink->events.size(), 17u);

  // Late events arrive once their delay has passed, in order.
  side->SetEventDelay(0.3);
  NewContact(L"Late");
  world().DeleteItem(few[2]);
  PumpUntil([] { return false; });  // a second: longer than the delay
  ASSERT_EQ(sink->events.size(), 19u);
  EXPECT_EQ(sink->events[17].id, 0xF001);
  EXPECT_EQ(sink->events[18].id, 0xF003);
  side->SetEventDelay(0);
  ASSERT_HRESULT_SUCCEEDED(advised.point->Unadvise(advised.cookie));
  EXPECT_EQ(sink->Release(), 0u);
}

TEST_F(OutlookModel, FoldersAnswerTheAddInsDispIdsAndInjectedFailures) {
  ComPtr<IDispatch> ns = Get(app_.Get(), L"GetNamespace", {Variant(L"MAPI")});
  ComPtr<IDispatch> folder = Get(ns.Get(), L"GetDefaultFolder", {Variant(10)});
  auto info = world().GetFolder(contacts_);
  Variant v;
  ASSERT_HRESULT_SUCCEEDED(com::GetPropertyById(folder.Get(), 0xF01E, v.Put()));
  EXPECT_EQ(v.AsString(), sim::OutlookIdForm(info->entryId));
  ASSERT_HRESULT_SUCCEEDED(com::GetPropertyById(folder.Get(), 0x3108, v.Put()));
  EXPECT_EQ(v.AsString(), sim::OutlookIdForm(info->storeId));
  ASSERT_HRESULT_SUCCEEDED(com::GetPropertyById(folder.Get(), 0xFAB6, v.Put()));
  EXPECT_EQ(v.vt, VT_BOOL);
  EXPECT_FALSE(v.AsTruth());
  ASSERT_HRESULT_SUCCEEDED(com::GetProperty(folder.Get(), L"defaultmessageclass", v.Put()));
  EXPECT_EQ(v.AsString(), L"IPM.Contact");
  ComPtr<IDispatch> same = Get(ns.Get(), L"GetFolderFromID", {Variant(info->entryId), Variant(info->storeId)});
  ASSERT_HRESULT_SUCCEEDED(com::GetProperty(same.Get(), L"Name", v.Put()));
  EXPECT_EQ(v.AsString(), info->name);
  EXPECT_EQ(com::CallMethod(ns.Get(), L"GetFolderFromID", {Variant(L"00BAD0"), Variant(info->storeId)}, v.Put()),
            simol::kNotFound);
  ComPtr<IDispatch> mapiFolder;
  EXPECT_HRESULT_SUCCEEDED(folder->QueryInterface(IID_MAPIFolder, mapiFolder.PutVoid()));
  ComPtr<IDispatch> application;
  EXPECT_HRESULT_SUCCEEDED(app_->QueryInterface(IID__Application, application.PutVoid()));

  world().InjectFailure(L"GetNamespace", 1, E_FAIL);
  EXPECT_EQ(com::CallMethod(app_.Get(), L"GetNamespace", {Variant(L"MAPI")}, v.Put()), E_FAIL);
  EXPECT_HRESULT_SUCCEEDED(com::CallMethod(app_.Get(), L"GetNamespace", {Variant(L"MAPI")}, v.Put()));

  world().InjectFailure(L"Advise.NameSpaceEvents", 1, E_OUTOFMEMORY);
  ComPtr<IConnectionPointContainer> cpc;
  ComPtr<IConnectionPoint> cp;
  ASSERT_HRESULT_SUCCEEDED(ns->QueryInterface(IID_IConnectionPointContainer, cpc.PutVoid()));
  ASSERT_HRESULT_SUCCEEDED(cpc->FindConnectionPoint(DIID_NameSpaceEvents, cp.Put()));
  com::ComObject<RecordingSink>* sink = nullptr;
  ASSERT_HRESULT_SUCCEEDED(com::ComObject<RecordingSink>::Create(&sink));
  sink->AddRef();
  DWORD cookie = 0xDEAD;
  EXPECT_EQ(cp->Advise(static_cast<IDispatch*>(sink), &cookie), E_OUTOFMEMORY);
  EXPECT_EQ(cookie, 0u);
  EXPECT_EQ(sink->Release(), 0u);
}

TEST_F(OutlookModel, AddInObjectAndQuitEvent) {
  sim::IHostSide* side = SimGetHostSide();
  side->SetConnected(true);
  ComPtr<IDispatch> addIns = Get(app_.Get(), L"COMAddIns");
  Variant v;
  ASSERT_HRESULT_SUCCEEDED(com::GetProperty(addIns.Get(), L"Count", v.Put()));
  EXPECT_EQ(v.AsLong(), 1);
  ComPtr<IDispatch> addIn = Get(addIns.Get(), L"Item", {Variant(1)});
  ComPtr<IDispatch> office;
  ASSERT_HRESULT_SUCCEEDED(addIn->QueryInterface(IID_COMAddIn, office.PutVoid()));
  EXPECT_FALSE(side->TakeDisconnectRequest());
  ASSERT_HRESULT_SUCCEEDED(com::PutProperty(office.Get(), L"Connect", Variant(false)));
  EXPECT_TRUE(side->TakeDisconnectRequest());
  EXPECT_FALSE(side->TakeDisconnectRequest());

  ComPtr<IConnectionPointContainer> cpc;
  ComPtr<IConnectionPoint> cp;
  ASSERT_HRESULT_SUCCEEDED(app_->QueryInterface(IID_IConnectionPointContainer, cpc.PutVoid()));
  ASSERT_HRESULT_SUCCEEDED(cpc->FindConnectionPoint(DIID_ApplicationEvents, cp.Put()));
  com::ComObject<RecordingSink>* sink = nullptr;
  ASSERT_HRESULT_SUCCEEDED(com::ComObject<RecordingSink>::Create(&sink));
  sink->AddRef();
  DWORD cookie = 0;
  ASSERT_HRESULT_SUCCEEDED(cp->Advise(static_cast<IDispatch*>(sink), &cookie));
  side->FireQuit();
  ASSERT_EQ(sink->events.size(), 1u);
  EXPECT_EQ(sink->events[0].id, 0xF007);
  // Reset drops sinks the add-in never gave back.
  side->Reset();
  EXPECT_EQ(sink->Release(), 0u);
}

}  // namespace

namespace {

// Outlook's objects belong to its user-interface thread; a folder's Items is
// a new object at each call and raises events only while it lives; Outlook
// gives EntryIDs in a form of its own; a reminder that comes due raises
// ApplicationEvents.Reminder once.
TEST_F(OutlookModel, ObjectsKeepToTheirThreadItemsLiveAsLongAsTheyAreHeld) {
  ComPtr<IDispatch> ns = Get(app_.Get(), L"GetNamespace", {Variant(L"MAPI")});
  ComPtr<IDispatch> folder = Get(ns.Get(), L"GetDefaultFolder", {Variant(10)});
  HRESULT elsewhere = S_OK;
  std::thread([&] {
    Variant v;
    elsewhere = com::GetPropertyById(folder.Get(), 0xF01E, v.Put());
  }).join();
  EXPECT_EQ(RPC_E_WRONG_THREAD, elsewhere);

  // The host's EntryID is not the wrapper's text, yet names the same folder.
  Variant id;
  ASSERT_HRESULT_SUCCEEDED(com::GetPropertyById(folder.Get(), 0xF01E, id.Put()));
  EXPECT_NE(id.AsString(), world().GetFolder(contacts_)->entryId);
  EXPECT_EQ(contacts_, world().FolderByEntryId(id.AsString()));

  ComPtr<IDispatch> kept = Get(folder.Get(), L"Items");
  ComPtr<IDispatch> dropped = Get(folder.Get(), L"Items");
  EXPECT_NE(kept.Get(), dropped.Get());
  Advised a = AdviseOn(kept.Get(), DIID_ItemsEvents);
  Advised b = AdviseOn(dropped.Get(), DIID_ItemsEvents);
  b.point.Reset();
  dropped.Reset();  // released: its sink hears no more
  NewContact(L"Ada");
  PumpUntil([&] { return !a.sink->events.empty(); });
  EXPECT_EQ(1u, a.sink->events.size());
  EXPECT_TRUE(b.sink->events.empty());

  Advised r = AdviseOn(app_.Get(), DIID_ApplicationEvents);
  sim::ItemContent c;
  c.Set(sim::PropKey::Tag(sim::tags::kSubject), sim::Value::String(L"Call Ada"));
  c.Set(sim::named::ReminderSet(), sim::Value::Bool(true));
  sim::ObjId due = 0;
  ASSERT_HRESULT_SUCCEEDED(world().CreateItem(world().StoreDefaultFolder(store_, sim::kOlTasks), c, &due));
  PumpUntil([&] { return !r.sink->events.empty(); });
  for (int i = 0; i < 3; ++i) PumpUntil([] { return false; });  // three more timer periods
  ASSERT_EQ(1u, r.sink->events.size()) << "once per reminder";
  EXPECT_EQ(0xF004, r.sink->events[0].id);
  EXPECT_EQ(sim::OutlookIdForm(world().ItemEntryId(due)), r.sink->events[0].entryId);

  for (Advised* x : {&a, &b, &r}) x->sink->Release();
}

}  // namespace
