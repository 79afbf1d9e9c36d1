// Outlook's objects over the world. Each answers IDispatch by name and by
// the DISPIDs the add-in uses; none needs a type library.
#include <windows.h>
#include <ocidl.h>
#include <olectl.h>

#include "com_object.h"
#include "connection_point.h"
#include "disp_object.h"
#include "model.h"
#include "outlook.h"
#include "rdo/mapi_object.h"
#include "world/id_forms.h"
#include "world/times.h"

namespace simol {
namespace {

using com::ComPtr;
using sim::ObjId;

// An object that raises events through connection points.
class EventSource : public IConnectionPointContainer {
 public:
  EventSource(std::initializer_list<IID> iids) : points_(this, iids) {}
  STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** out) override {
    if (out) *out = nullptr;
    return E_NOTIMPL;
  }
  STDMETHODIMP FindConnectionPoint(REFIID iid, IConnectionPoint** out) override {
    return points_.FindConnectionPoint(iid, out);
  }

 protected:
  com::ConnectionPoints points_;
};

// The members every Outlook object answers; `parent` and `cls` vary.
HRESULT CommonMember(DISPID id, long cls, IDispatch* parent, VARIANT* result) {
  Model& m = Model::Instance();
  switch (id) {
    case kDispApplication: return ReturnObject(result, m.Application());
    case kDispSession: return ReturnObject(result, m.NameSpace());
    case kDispClass: return ReturnLong(result, cls);
    case kDispParent: return ReturnObject(result, parent);
    default: return DISP_E_MEMBERNOTFOUND;
  }
}

#define COMMON_MEMBERS \
  {L"Application", kDispApplication}, {L"Class", kDispClass}, {L"Session", kDispSession}, {L"Parent", kDispParent}

// --- Application -----------------------------------------------------------

class CApplication : public DispObject, public EventSource {
 public:
  CApplication() : EventSource({DIID_ApplicationEvents}) {
    points_.Find(DIID_ApplicationEvents)->SetAdviseHook(Model::Instance().AdviseHook(L"Advise.ApplicationEvents"));
  }
  BEGIN_COM_MAP(CApplication)
    COM_INTERFACE_ENTRY(IDispatch)
    COM_INTERFACE_ENTRY_IID(IID__Application, IDispatch)
    COM_INTERFACE_ENTRY(IConnectionPointContainer)
  END_COM_MAP()

 protected:
  enum : DISPID { kName = 0x3001, kGetNamespace = 0x110, kActiveInspector = 0x111, kVersion = 0x116, kComAddIns = 0x118 };
  std::span<const DispMember> Members() const override {
    static const DispMember m[] = {COMMON_MEMBERS, {L"Name", kName}, {L"GetNamespace", kGetNamespace},
                                   {L"ActiveInspector", kActiveInspector}, {L"Version", kVersion},
                                   {L"COMAddIns", kComAddIns}};
    return m;
  }
  HRESULT InvokeMember(DISPID id, WORD, const com::DispArgs& args, VARIANT* result) override {
    Model& m = Model::Instance();
    HRESULT hr = S_OK;
    switch (id) {
      case kName: return ReturnString(result, L"Outlook");
      case kVersion: return ReturnString(result, m.Version());
      case kGetNamespace: {
        std::wstring type;
        if (!ArgString(args, 0, &type)) return DISP_E_PARAMNOTFOUND;
        if (m.ShouldFail(L"GetNamespace", &hr)) return hr;
        if (_wcsicmp(type.c_str(), L"MAPI") != 0) return E_INVALIDARG;
        return ReturnObject(result, m.NameSpace());
      }
      case kActiveInspector:
        return ReturnObject(result, m.InspectorItem() ? m.NewInspector().Get() : nullptr);
      case kComAddIns: return ReturnObject(result, m.NewComAddIns().Get());
      case kDispParent: return ReturnObject(result, nullptr);
      default: return CommonMember(id, kOlApplication, nullptr, result);
    }
  }
};

// --- NameSpace -------------------------------------------------------------

class CNameSpace : public DispObject, public EventSource {
 public:
  CNameSpace() : EventSource({DIID_NameSpaceEvents}) {
    points_.Find(DIID_NameSpaceEvents)->SetAdviseHook(Model::Instance().AdviseHook(L"Advise.NameSpaceEvents"));
  }
  BEGIN_COM_MAP(CNameSpace)
    COM_INTERFACE_ENTRY(IDispatch)
    COM_INTERFACE_ENTRY(IConnectionPointContainer)
  END_COM_MAP()

 protected:
  enum : DISPID {
    kType = 0x2101, kGetDefaultFolder = 0x206B, kGetFolderFromID = 0x2070, kCurrentProfileName = 0x3102,
    kMapiObject = 0xF100,
  };
  std::span<const DispMember> Members() const override {
    static const DispMember m[] = {COMMON_MEMBERS, {L"Type", kType}, {L"GetDefaultFolder", kGetDefaultFolder},
                                   {L"GetFolderFromID", kGetFolderFromID},
                                   {L"CurrentProfileName", kCurrentProfileName}, {L"MAPIOBJECT", kMapiObject}};
    return m;
  }
  HRESULT InvokeMember(DISPID id, WORD, const com::DispArgs& args, VARIANT* result) override {
    Model& m = Model::Instance();
    sim::World& w = m.World();
    HRESULT hr = S_OK;
    switch (id) {
      case kType: return ReturnString(result, L"MAPI");
      case kCurrentProfileName: return ReturnString(result, w.Settings().profileName);
      case kMapiObject:
        result->vt = VT_UNKNOWN;
        result->punkVal = sim::NewMapiSessionObject();
        return result->punkVal ? S_OK : E_FAIL;
      case kGetDefaultFolder: {
        long kind = 0;
        if (!ArgLong(args, 0, &kind)) return DISP_E_PARAMNOTFOUND;
        if (m.ShouldFail(L"GetDefaultFolder", &hr)) return hr;
        ObjId f = w.StoreDefaultFolder(w.DefaultStore(), kind);
        if (!f) return kNotFound;
        return ReturnObject(result, m.NewFolder(f).Get());
      }
      case kGetFolderFromID: {
        std::wstring entryId, storeId;
        if (!ArgString(args, 0, &entryId)) return DISP_E_PARAMNOTFOUND;
        if (m.ShouldFail(L"GetFolderFromID", &hr)) return hr;
        ObjId f = w.FolderByEntryId(entryId);
        auto info = w.GetFolder(f);
        if (!info) return kNotFound;
        if (ArgString(args, 1, &storeId) && !storeId.empty() && sim::WrapperIdForm(storeId) != info->storeId)
          return kNotFound;
        return ReturnObject(result, m.NewFolder(f).Get());
      }
      case kDispParent: return ReturnObject(result, m.Application());
      default: return CommonMember(id, kOlNamespace, nullptr, result);
    }
  }
};

// --- MAPIFolder ------------------------------------------------------------

class CFolder : public DispObject {
 public:
  explicit CFolder(ObjId id) : id_(id) {}
  BEGIN_COM_MAP(CFolder)
    COM_INTERFACE_ENTRY(IDispatch)
    COM_INTERFACE_ENTRY_IID(IID_MAPIFolder, IDispatch)
  END_COM_MAP()

 protected:
  enum : DISPID {
    kName = 0x3001, kDescription = 0x3004, kEntryId = 0xF01E, kStoreId = 0x3108, kItems = 0x3100,
    kFolders = 0x2103, kDefaultItemType = 0x3106, kDefaultMessageClass = 0x3107, kMapiObject = 0xF100,
    kIsSharePointFolder = 0xFAB6,
  };
  std::span<const DispMember> Members() const override {
    static const DispMember m[] = {COMMON_MEMBERS, {L"Name", kName}, {L"Description", kDescription},
                                   {L"EntryID", kEntryId}, {L"StoreID", kStoreId}, {L"Items", kItems},
                                   {L"Folders", kFolders}, {L"DefaultItemType", kDefaultItemType},
                                   {L"DefaultMessageClass", kDefaultMessageClass}, {L"MAPIOBJECT", kMapiObject},
                                   {L"IsSharePointFolder", kIsSharePointFolder}};
    return m;
  }
  HRESULT InvokeMember(DISPID id, WORD flags, const com::DispArgs&, VARIANT* result) override {
    Model& m = Model::Instance();
    auto info = m.World().GetFolder(id_);
    if (!info) return kNotFound;
    if (IsPut(flags)) return DISP_E_MEMBERNOTFOUND;
    switch (id) {
      case kName: return ReturnString(result, info->name);
      case kDescription: return ReturnString(result, info->description);
      case kEntryId: return ReturnString(result, sim::OutlookIdForm(info->entryId));
      case kStoreId: return ReturnString(result, sim::OutlookIdForm(info->storeId));
      case kItems: return ReturnObject(result, m.NewItems(id_).Get());
      case kFolders: return ReturnObject(result, m.NewFolders(id_).Get());
      case kDefaultItemType: return ReturnLong(result, info->itemType);
      case kDefaultMessageClass: return ReturnString(result, info->messageClass);
      case kIsSharePointFolder: return ReturnBool(result, false);
      case kMapiObject:
        result->vt = VT_UNKNOWN;
        result->punkVal = sim::NewMapiFolderObject(id_);
        return result->punkVal ? S_OK : E_FAIL;
      case kDispParent:
        return ReturnObject(result, info->parent ? m.NewFolder(info->parent).Get() : m.NameSpace());
      default: return CommonMember(id, kOlFolder, nullptr, result);
    }
  }

 private:
  ObjId id_;
};

// The members every collection answers: Count, Item (1-based), GetFirst and
// GetNext over the collection as it is at the call. `make` turns a member
// into its object. Any other DISPID: S_FALSE, for the collection to answer.
class CollectionMembers {
 public:
  enum : DISPID { kCount = 0x50, kItem = 0x51, kGetFirst = 0x56, kGetNext = 0x58 };
  static constexpr DispMember kNames[] = {{L"Count", kCount}, {L"Item", kItem}, {L"GetFirst", kGetFirst},
                                          {L"GetNext", kGetNext}};

  template <class Make>
  HRESULT Invoke(DISPID id, const com::DispArgs& args, const std::vector<ObjId>& members, Make make,
                 VARIANT* result) {
    switch (id) {
      case kCount: return ReturnLong(result, long(members.size()));
      case kItem: {
        long n = 0;
        if (!ArgLong(args, 0, &n)) return DISP_E_PARAMNOTFOUND;
        if (n < 1 || size_t(n) > members.size()) return DISP_E_BADINDEX;
        return ReturnObject(result, make(members[n - 1]).Get());
      }
      case kGetFirst:
      case kGetNext: {
        size_t index = 0;
        {
          std::lock_guard lock(mutex_);
          if (id == kGetFirst) pos_ = 0;
          index = pos_ < members.size() ? pos_++ : members.size();
        }
        return ReturnObject(result, index < members.size() ? make(members[index]).Get() : nullptr);
      }
      default: return S_FALSE;
    }
  }

 private:
  std::mutex mutex_;
  size_t pos_ = 0;
};

// --- Folders ---------------------------------------------------------------

class CFolders : public DispObject {
 public:
  explicit CFolders(ObjId parent) : parent_(parent) {}
  BEGIN_COM_MAP(CFolders)
    COM_INTERFACE_ENTRY(IDispatch)
  END_COM_MAP()

 protected:
  std::span<const DispMember> Members() const override {
    static const DispMember m[] = {COMMON_MEMBERS, CollectionMembers::kNames[0], CollectionMembers::kNames[1],
                                   CollectionMembers::kNames[2], CollectionMembers::kNames[3]};
    return m;
  }
  HRESULT InvokeMember(DISPID id, WORD, const com::DispArgs& args, VARIANT* result) override {
    Model& m = Model::Instance();
    std::vector<ObjId> subs = m.World().Subfolders(parent_);
    std::wstring name;
    const VARIANT* first = args.At(0);
    if (id == CollectionMembers::kItem && first && first->vt == VT_BSTR && ArgString(args, 0, &name)) {
      for (ObjId f : subs) {  // Folders also answers Item by name
        auto info = m.World().GetFolder(f);
        if (info && _wcsicmp(info->name.c_str(), name.c_str()) == 0) return ReturnObject(result, m.NewFolder(f).Get());
      }
      return kNotFound;
    }
    HRESULT hr = walk_.Invoke(id, args, subs, [&](ObjId f) { return m.NewFolder(f); }, result);
    if (hr != S_FALSE) return hr;
    if (id == kDispParent) return ReturnObject(result, m.NewFolder(parent_).Get());
    return CommonMember(id, kOlFolders, nullptr, result);
  }

 private:
  ObjId parent_;
  CollectionMembers walk_;
};

// --- Items -----------------------------------------------------------------

class CItems : public DispObject, public EventSource {
 public:
  explicit CItems(ObjId folder) : EventSource({DIID_ItemsEvents}), folder_(folder) {
    points_.Find(DIID_ItemsEvents)->SetAdviseHook(Model::Instance().AdviseHook(L"Advise.ItemsEvents"));
    Model::Instance().ItemsMade(folder_, points_.Find(DIID_ItemsEvents));
  }
  // Released, the object raises no more events.
  ~CItems() override { Model::Instance().ItemsGone(folder_, points_.Find(DIID_ItemsEvents)); }
  BEGIN_COM_MAP(CItems)
    COM_INTERFACE_ENTRY(IDispatch)
    COM_INTERFACE_ENTRY(IConnectionPointContainer)
  END_COM_MAP()

 protected:
  std::span<const DispMember> Members() const override {
    static const DispMember m[] = {COMMON_MEMBERS, CollectionMembers::kNames[0], CollectionMembers::kNames[1],
                                   CollectionMembers::kNames[2], CollectionMembers::kNames[3]};
    return m;
  }
  HRESULT InvokeMember(DISPID id, WORD, const com::DispArgs& args, VARIANT* result) override {
    Model& m = Model::Instance();
    HRESULT hr = walk_.Invoke(id, args, m.World().Items(folder_), [&](ObjId i) { return m.NewItem(i); }, result);
    if (hr != S_FALSE) return hr;
    if (id == kDispParent) return ReturnObject(result, m.NewFolder(folder_).Get());
    return CommonMember(id, kOlItems, nullptr, result);
  }

 private:
  ObjId folder_;
  CollectionMembers walk_;
};

// --- items -----------------------------------------------------------------

long ClassOfMessage(const std::wstring& mc) {
  auto starts = [&](const wchar_t* p) { return _wcsnicmp(mc.c_str(), p, wcslen(p)) == 0; };
  if (starts(L"IPM.Schedule.Meeting")) return kOlMeetingRequest;
  if (starts(L"IPM.TaskRequest")) return kOlTaskRequest;
  if (starts(L"IPM.Contact")) return kOlContact;
  if (starts(L"IPM.DistList")) return kOlDistributionList;
  if (starts(L"IPM.Appointment")) return kOlAppointment;
  if (starts(L"IPM.Task")) return kOlTask;
  if (starts(L"IPM.StickyNote")) return kOlNote;
  if (starts(L"IPM.Activity")) return kOlJournal;
  return kOlMail;
}

class CItem : public DispObject {
 public:
  // `entryId` (when known) answers EntryID even after the item is gone,
  // as an event's item must for a sink that runs late.
  CItem(ObjId id, std::wstring entryId) : id_(id), entryId_(std::move(entryId)) {}
  BEGIN_COM_MAP(CItem)
    COM_INTERFACE_ENTRY(IDispatch)
  END_COM_MAP()

 protected:
  enum : DISPID {
    kEntryId = 0xF01E, kMessageClass = 0x1A, kSubject = 0x37, kSensitivity = 0x36, kCategories = 0x9001,
    kLastModificationTime = 0x3008,
  };
  std::span<const DispMember> Members() const override {
    static const DispMember m[] = {COMMON_MEMBERS, {L"EntryID", kEntryId}, {L"MessageClass", kMessageClass},
                                   {L"Subject", kSubject}, {L"Sensitivity", kSensitivity},
                                   {L"Categories", kCategories},
                                   {L"LastModificationTime", kLastModificationTime}};
    return m;
  }
  HRESULT InvokeMember(DISPID id, WORD flags, const com::DispArgs&, VARIANT* result) override {
    Model& m = Model::Instance();
    auto info = m.World().GetItem(id_);
    if (id == kEntryId && !IsPut(flags) && !entryId_.empty()) return ReturnString(result, sim::OutlookIdForm(entryId_));
    if (!info || info->deleted) return kNotFound;
    if (IsPut(flags)) return DISP_E_MEMBERNOTFOUND;
    switch (id) {
      case kEntryId: return ReturnString(result, sim::OutlookIdForm(info->entryId));
      case kMessageClass: return ReturnString(result, info->MessageClass());
      case kSubject: return ReturnString(result, info->Subject());
      case kSensitivity: {
        const sim::Value* v = info->content.Find(sim::PropKey::Tag(sim::tags::kSensitivity));
        return ReturnLong(result, v ? long(v->num) : 0);
      }
      case kCategories: {
        const sim::Value* v = info->content.Find(sim::PropKey::Keywords());
        return ReturnString(result, v ? sim::CategoriesText(v->list) : std::wstring());
      }
      case kLastModificationTime:
        result->vt = VT_DATE;
        result->date = sim::times::ToLocal(info->LastModified());
        return S_OK;
      case kDispParent: return ReturnObject(result, m.NewFolder(info->folder).Get());
      default: return CommonMember(id, ClassOfMessage(info->MessageClass()), nullptr, result);
    }
  }

 private:
  ObjId id_;
  std::wstring entryId_;
};

// --- Inspector -------------------------------------------------------------

class CInspector : public DispObject {
 public:
  BEGIN_COM_MAP(CInspector)
    COM_INTERFACE_ENTRY(IDispatch)
  END_COM_MAP()

 protected:
  enum : DISPID { kCurrentItem = 0x2102 };
  std::span<const DispMember> Members() const override {
    static const DispMember m[] = {COMMON_MEMBERS, {L"CurrentItem", kCurrentItem}};
    return m;
  }
  HRESULT InvokeMember(DISPID id, WORD, const com::DispArgs&, VARIANT* result) override {
    Model& m = Model::Instance();
    if (id == kCurrentItem) {
      ObjId item = m.InspectorItem();
      return ReturnObject(result, item ? m.NewItem(item).Get() : nullptr);
    }
    return CommonMember(id, kOlInspector, m.Application(), result);
  }
};

// --- COMAddIns and the add-in's COMAddIn ------------------------------------

class CComAddIn : public DispObject {
 public:
  BEGIN_COM_MAP(CComAddIn)
    COM_INTERFACE_ENTRY(IDispatch)
    COM_INTERFACE_ENTRY_IID(IID_COMAddIn, IDispatch)
  END_COM_MAP()

 protected:
  enum : DISPID { kDescription = 0, kProgId = 3, kGuid = 4, kConnect = 6, kObject = 7, kParentOffice = 8 };
  std::span<const DispMember> Members() const override {
    static const DispMember m[] = {{L"Description", kDescription}, {L"ProgId", kProgId}, {L"Guid", kGuid},
                                   {L"Connect", kConnect}, {L"Object", kObject}, {L"Parent", kParentOffice},
                                   {L"Application", kDispApplication}};
    return m;
  }
  HRESULT InvokeMember(DISPID id, WORD flags, const com::DispArgs& args, VARIANT* result) override {
    Model& m = Model::Instance();
    switch (id) {
      case kDescription: return ReturnString(result, L"Tallowby");
      case kProgId: return ReturnString(result, L"Tallowby.Connect.1");
      case kGuid: return ReturnString(result, L"{BE6D8A33-C159-4801-8014-41C6120C95D9}");
      case kConnect:
        if (IsPut(flags)) {
          const VARIANT* v = args.At(0);
          if (!v) return DISP_E_PARAMNOTFOUND;
          m.PutConnect(com::Variant(*v).AsTruth());
          return S_OK;
        }
        return ReturnBool(result, m.Connected());
      case kObject: return ReturnObject(result, nullptr);
      case kParentOffice: return ReturnObject(result, m.NewComAddIns().Get());
      case kDispApplication: return ReturnObject(result, m.Application());
      default: return DISP_E_MEMBERNOTFOUND;
    }
  }
};

class CComAddIns : public DispObject {
 public:
  BEGIN_COM_MAP(CComAddIns)
    COM_INTERFACE_ENTRY(IDispatch)
  END_COM_MAP()

 protected:
  enum : DISPID { kItem = 0, kCount = 1, kParentOffice = 2 };
  std::span<const DispMember> Members() const override {
    static const DispMember m[] = {{L"Item", kItem}, {L"Count", kCount}, {L"Parent", kParentOffice},
                                   {L"Application", kDispApplication}};
    return m;
  }
  HRESULT InvokeMember(DISPID id, WORD, const com::DispArgs& args, VARIANT* result) override {
    Model& m = Model::Instance();
    switch (id) {
      case kCount: return ReturnLong(result, 1);
      case kItem: {
        const VARIANT* v = args.At(0);
        if (!v) return DISP_E_PARAMNOTFOUND;
        std::wstring key = com::Variant(*v).AsString();
        if (key != L"1" && _wcsicmp(key.c_str(), L"Tallowby.Connect.1") != 0 &&
            _wcsicmp(key.c_str(), L"Tallowby.Connect") != 0)
          return DISP_E_BADINDEX;
        return ReturnObject(result, AddIn());
      }
      case kParentOffice:
      case kDispApplication: return ReturnObject(result, m.Application());
      default: return DISP_E_MEMBERNOTFOUND;
    }
  }

 private:
  static IDispatch* AddIn() {
    static IDispatch* addIn = [] {
      IDispatch* p = nullptr;
      com::ComObject<CComAddIn>::CreateInstance(IID_IDispatch, reinterpret_cast<void**>(&p));
      return p;
    }();
    return addIn;
  }
};

// --- PropertyPages ---------------------------------------------------------

class CPropertyPages : public DispObject {
 public:
  BEGIN_COM_MAP(CPropertyPages)
    COM_INTERFACE_ENTRY(IDispatch)
    COM_INTERFACE_ENTRY_IID(IID_PropertyPages, IDispatch)
  END_COM_MAP()

 protected:
  enum : DISPID { kCount = 0x50, kAdd = 0x5F };
  std::span<const DispMember> Members() const override {
    static const DispMember m[] = {COMMON_MEMBERS, {L"Count", kCount}, {L"Add", kAdd}};
    return m;
  }
  HRESULT InvokeMember(DISPID id, WORD, const com::DispArgs& args, VARIANT* result) override {
    Model& m = Model::Instance();
    HRESULT hr = S_OK;
    switch (id) {
      case kCount: return ReturnLong(result, long(m.Pages().size()));
      case kAdd: {
        std::wstring page;
        if (!ArgString(args, 0, &page)) return DISP_E_PARAMNOTFOUND;
        if (m.ShouldFail(L"PropertyPages.Add", &hr)) return hr;
        m.RecordPage(page);
        return S_OK;
      }
      default: return CommonMember(id, kOlPropertyPages, m.Application(), result);
    }
  }
};

template <class T, class... Args>
ComPtr<IDispatch> Make(Args&&... args) {
  ComPtr<IDispatch> p;
  com::ComObject<T>::CreateInstance(IID_IDispatch, p.PutVoid(), std::forward<Args>(args)...);
  return p;
}

}  // namespace

ComPtr<IDispatch> NewApplicationObject() { return Make<CApplication>(); }
ComPtr<IDispatch> NewNameSpaceObject() { return Make<CNameSpace>(); }
ComPtr<IDispatch> Model::NewFolder(ObjId folder) { return Make<CFolder>(folder); }
ComPtr<IDispatch> Model::NewFolders(ObjId parent) { return Make<CFolders>(parent); }
ComPtr<IDispatch> Model::NewItem(ObjId item, const std::wstring& entryId) { return Make<CItem>(item, entryId); }
ComPtr<IDispatch> Model::NewItems(ObjId folder) { return Make<CItems>(folder); }
ComPtr<IDispatch> Model::NewInspector() { return Make<CInspector>(); }
ComPtr<IDispatch> Model::NewComAddIns() { return Make<CComAddIns>(); }
ComPtr<IDispatch> Model::NewPropertyPages() { return Make<CPropertyPages>(); }

}  // namespace simol
