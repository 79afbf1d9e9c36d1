// The session and what hangs off it (stores, reminders, the address book),
// the utility object, the distribution-list object and the raw MAPI objects
// that Outlook's MAPIOBJECT hands out.
#include <algorithm>

#include "mapi_object.h"
#include "message_object.h"
#include "rdo_common.h"
#include "world/id_forms.h"
#include "world/times.h"
#include "world/variant_value.h"

namespace sim {
namespace {

// A raw MAPI object: the session, or a folder.
class MapiObject : public ISimObject {
 public:
  MapiObject(SimKind kind, ObjId id) : kind_(kind), id_(id) {}
  BEGIN_COM_MAP(MapiObject)
    COM_INTERFACE_ENTRY_IID(IID_ISimObject, ISimObject)
  END_COM_MAP()
  SimKind STDMETHODCALLTYPE SimObjectKind() override { return kind_; }
  ObjId STDMETHODCALLTYPE SimObjectId() override { return id_; }

 private:
  SimKind kind_;
  ObjId id_;
};

class ReminderObject : public IRdoReminder {
 public:
  explicit ReminderObject(ObjId item) : item_(item) {}
  BEGIN_COM_MAP(ReminderObject)
    COM_INTERFACE_ENTRY(IRdoReminder)
    COM_INTERFACE_ENTRY2(IDispatch, IRdoReminder)
  END_COM_MAP()
  SIM_NO_DISPATCH()
  STDMETHODIMP get_IsActive(VARIANT_BOOL* v) override {
    if (!v) return E_POINTER;
    auto info = TheWorld().GetItem(item_);
    *v = info && IsReminderDue(info->content, times::NowUtc()) ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
  }
  STDMETHODIMP get_Item(IRdoMessage** v) override { return NewMessage(item_, v); }

 private:
  ObjId item_;
};

class RemindersObject : public IRdoReminders {
 public:
  explicit RemindersObject(ObjId store) : items_(TheWorld().DueReminders(store)) {}
  BEGIN_COM_MAP(RemindersObject)
    COM_INTERFACE_ENTRY(IRdoReminders)
    COM_INTERFACE_ENTRY2(IDispatch, IRdoReminders)
  END_COM_MAP()
  SIM_NO_DISPATCH()
  STDMETHODIMP get_Count(long* v) override { if (!v) return E_POINTER; *v = long(items_.size()); return S_OK; }
  STDMETHODIMP Item(long index, IRdoReminder** v) override {
    if (index < 1 || size_t(index) > items_.size()) return E_INVALIDARG;
    return MakeObject<ReminderObject>(v, items_[size_t(index) - 1]);
  }

 private:
  std::vector<ObjId> items_;
};

class StoreObject : public IRdoStore, public ISimObject {
 public:
  explicit StoreObject(ObjId store) : store_(store) {}
  BEGIN_COM_MAP(StoreObject)
    COM_INTERFACE_ENTRY(IRdoStore)
    COM_INTERFACE_ENTRY2(IDispatch, IRdoStore)
    COM_INTERFACE_ENTRY_IID(IID_ISimObject, ISimObject)
  END_COM_MAP()
  SIM_NO_DISPATCH()
  SimKind STDMETHODCALLTYPE SimObjectKind() override { return SimKind::Store; }
  ObjId STDMETHODCALLTYPE SimObjectId() override { return store_; }

  STDMETHODIMP get_Name(BSTR* v) override { auto s = Info(); return s ? ReturnString(s->name, v) : MAPI_E_OBJECT_DELETED; }
  STDMETHODIMP get_StoreID(BSTR* v) override { auto s = Info(); return s ? ReturnString(s->storeId, v) : MAPI_E_OBJECT_DELETED; }
  STDMETHODIMP get_Kind(long* v) override {
    if (!v) return E_POINTER;
    auto s = Info();
    if (!s) return MAPI_E_OBJECT_DELETED;
    *v = s->kind;
    return S_OK;
  }
  STDMETHODIMP get_RootFolder(IRdoFolder** v) override { auto s = Info(); return s ? NewFolder(s->root, v) : MAPI_E_OBJECT_DELETED; }
  STDMETHODIMP GetDefaultFolder(long kind, IRdoFolder** v) override {
    if (v) *v = nullptr;
    if (HRESULT hr = Injected(L"Store.GetDefaultFolder"); FAILED(hr)) return hr;
    ObjId f = TheWorld().StoreDefaultFolder(store_, kind);
    return f ? NewFolder(f, v) : MAPI_E_NOT_FOUND;
  }
  STDMETHODIMP get_Reminders(IRdoReminders** v) override { return MakeObject<RemindersObject>(v, store_); }

 private:
  std::optional<StoreInfo> Info() const { return TheWorld().GetStore(store_); }
  ObjId store_;
};

class StoresObject : public IRdoStores {
 public:
  BEGIN_COM_MAP(StoresObject)
    COM_INTERFACE_ENTRY(IRdoStores)
    COM_INTERFACE_ENTRY2(IDispatch, IRdoStores)
  END_COM_MAP()
  SIM_NO_DISPATCH()
  STDMETHODIMP get_Count(long* v) override { if (!v) return E_POINTER; *v = long(TheWorld().Stores().size()); return S_OK; }
  STDMETHODIMP Item(VARIANT index, IRdoStore** v) override {
    if (v) *v = nullptr;
    std::vector<ObjId> stores = TheWorld().Stores();
    long i = 0;
    if (!ArgLong(index, &i) || i < 1 || size_t(i) > stores.size()) return E_INVALIDARG;
    return NewStore(stores[size_t(i) - 1], v);
  }
  STDMETHODIMP get_DefaultStore(IRdoStore** v) override {
    ObjId s = TheWorld().DefaultStore();
    if (v) *v = nullptr;
    return s ? NewStore(s, v) : MAPI_E_NOT_FOUND;
  }
};

class AddressEntryObject : public IRdoAddressEntry {
 public:
  explicit AddressEntryObject(AddressEntry e) : e_(std::move(e)) {}
  BEGIN_COM_MAP(AddressEntryObject)
    COM_INTERFACE_ENTRY(IRdoAddressEntry)
    COM_INTERFACE_ENTRY2(IDispatch, IRdoAddressEntry)
  END_COM_MAP()
  SIM_NO_DISPATCH()
  STDMETHODIMP get_Name(BSTR* v) override { return ReturnString(e_.name, v); }
  STDMETHODIMP get_SmtpAddress(BSTR* v) override {
    if (v) *v = nullptr;
    if (HRESULT hr = Injected(L"AddressEntry.SmtpAddress"); FAILED(hr)) return hr;
    return ReturnString(e_.smtp, v);
  }
  STDMETHODIMP get_Alias(BSTR* v) override { return ReturnString(e_.alias, v); }
  STDMETHODIMP get_FirstName(BSTR* v) override { return ReturnString(e_.firstName, v); }
  STDMETHODIMP get_LastName(BSTR* v) override { return ReturnString(e_.lastName, v); }
  STDMETHODIMP get_IsDistList(VARIANT_BOOL* v) override {
    if (!v) return E_POINTER;
    *v = e_.isDistList ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
  }
  STDMETHODIMP CopyTo(VARIANT target, IRdoMessage** created) override {
    if (created) *created = nullptr;
    if (HRESULT hr = Injected(L"AddressEntry.CopyTo"); FAILED(hr)) return hr;
    Resolved r;
    if (!ResolveVariant(target, &r)) return E_INVALIDARG;
    TheWorld().Record(L"AddressEntry.CopyTo", e_.smtp);
    if (r.kind == SimKind::Folder) {
      ItemContent c;
      Fill(&c);
      c.Set(PropKey::Tag(tags::kMessageClass), Value::String(e_.isDistList ? L"IPM.DistList" : L"IPM.Contact"));
      ObjId id = 0;
      auto folder = TheWorld().GetFolder(r.id);
      HRESULT hr = folder ? TheWorld().NamesFit(folder->store, c) : MAPI_E_NOT_FOUND;
      if (SUCCEEDED(hr)) hr = TheWorld().CreateItem(r.id, std::move(c), &id);
      if (FAILED(hr)) return hr;
      TheWorld().AddInWrote(id);
      return created ? NewMessage(id, created) : S_OK;
    }
    if (r.kind == SimKind::Message && r.message) {
      Fill(&r.message->Content());
      r.message->MarkDirty();
      return S_OK;
    }
    return E_INVALIDARG;
  }

 private:
  void Fill(ItemContent* c) const {
    c->Set(PropKey::Tag(tags::kSubject), Value::String(e_.name));
    c->Set(PropKey::Tag(tags::kDisplayName), Value::String(e_.name));
    if (e_.isDistList) {
      c->members = e_.members;
      return;
    }
    c->Set(named::Email1Address(), e_.smtp.empty() ? Value() : Value::String(e_.smtp));
    c->Set(PropKey::Tag(tags::kGivenName), e_.firstName.empty() ? Value() : Value::String(e_.firstName));
    c->Set(PropKey::Tag(tags::kSurname), e_.lastName.empty() ? Value() : Value::String(e_.lastName));
  }
  AddressEntry e_;
};

class AddressEntriesObject : public IRdoAddressEntries {
 public:
  explicit AddressEntriesObject(std::vector<AddressEntry> e) : e_(std::move(e)) {}
  BEGIN_COM_MAP(AddressEntriesObject)
    COM_INTERFACE_ENTRY(IRdoAddressEntries)
    COM_INTERFACE_ENTRY2(IDispatch, IRdoAddressEntries)
  END_COM_MAP()
  SIM_NO_DISPATCH()
  STDMETHODIMP get_Count(long* v) override { if (!v) return E_POINTER; *v = long(e_.size()); return S_OK; }
  STDMETHODIMP Item(VARIANT index, IRdoAddressEntry** v) override {
    long i = 0;
    if (v) *v = nullptr;
    if (HRESULT hr = Injected(L"AddressEntries.Item"); FAILED(hr)) return hr;
    if (!ArgLong(index, &i) || i < 1 || size_t(i) > e_.size()) return E_INVALIDARG;
    return NewAddressEntry(e_[size_t(i) - 1], v);
  }

 private:
  std::vector<AddressEntry> e_;
};

class AddressListObject : public IRdoAddressList {
 public:
  explicit AddressListObject(AddressList l) : l_(std::move(l)) {}
  BEGIN_COM_MAP(AddressListObject)
    COM_INTERFACE_ENTRY(IRdoAddressList)
    COM_INTERFACE_ENTRY2(IDispatch, IRdoAddressList)
  END_COM_MAP()
  SIM_NO_DISPATCH()
  STDMETHODIMP get_Name(BSTR* v) override { return ReturnString(l_.name, v); }
  STDMETHODIMP get_Entries(IRdoAddressEntries** v) override {
    if (v) *v = nullptr;
    if (HRESULT hr = Injected(L"AddressList.Entries"); FAILED(hr)) return hr;
    return MakeObject<AddressEntriesObject>(v, l_.entries);
  }
  STDMETHODIMP get_ContactsFolder(IRdoFolder** v) override {
    if (!v) return E_POINTER;
    *v = nullptr;
    return l_.contactsFolder && TheWorld().GetFolder(l_.contactsFolder) ? NewFolder(l_.contactsFolder, v) : S_OK;
  }

 private:
  AddressList l_;
};

class AddressListsObject : public IRdoAddressLists {
 public:
  AddressListsObject() : lists_(TheWorld().AddressLists()) {}
  BEGIN_COM_MAP(AddressListsObject)
    COM_INTERFACE_ENTRY(IRdoAddressLists)
    COM_INTERFACE_ENTRY2(IDispatch, IRdoAddressLists)
  END_COM_MAP()
  SIM_NO_DISPATCH()
  STDMETHODIMP get_Count(long* v) override { if (!v) return E_POINTER; *v = long(lists_.size()); return S_OK; }
  STDMETHODIMP Item(VARIANT index, IRdoAddressList** v) override {
    long i = 0;
    if (v) *v = nullptr;
    if (!ArgLong(index, &i) || i < 1 || size_t(i) > lists_.size()) return E_INVALIDARG;
    return MakeObject<AddressListObject>(v, lists_[size_t(i) - 1]);
  }

 private:
  std::vector<AddressList> lists_;
};

class AddressBookObject : public IRdoAddressBook {
 public:
  BEGIN_COM_MAP(AddressBookObject)
    COM_INTERFACE_ENTRY(IRdoAddressBook)
    COM_INTERFACE_ENTRY2(IDispatch, IRdoAddressBook)
  END_COM_MAP()
  SIM_NO_DISPATCH()
  STDMETHODIMP AddressLists(VARIANT_BOOL, IRdoAddressLists** v) override {
    if (v) *v = nullptr;
    if (HRESULT hr = Injected(L"AddressBook.AddressLists"); FAILED(hr)) return hr;
    return MakeObject<AddressListsObject>(v);
  }
};

class SessionObject : public IRdoSession, public ISimObject {
 public:
  BEGIN_COM_MAP(SessionObject)
    COM_INTERFACE_ENTRY(IRdoSession)
    COM_INTERFACE_ENTRY2(IDispatch, IRdoSession)
    COM_INTERFACE_ENTRY_IID(IID_ISimObject, ISimObject)
  END_COM_MAP()
  SIM_NO_DISPATCH()
  SimKind STDMETHODCALLTYPE SimObjectKind() override { return SimKind::Session; }
  ObjId STDMETHODCALLTYPE SimObjectId() override { return 0; }

  STDMETHODIMP put_MapiSession(IUnknown* session) override {
    if (HRESULT hr = Injected(L"Session.MapiSession"); FAILED(hr)) return hr;
    Resolved r;
    if (!ResolveObject(session, &r) || r.kind != SimKind::MapiSession) return E_INVALIDARG;
    mapi_ = r.holder;
    return S_OK;
  }
  STDMETHODIMP get_MapiSession(IUnknown** v) override {
    if (!v) return E_POINTER;
    *v = mapi_.Get();
    if (*v) (*v)->AddRef();
    return S_OK;
  }
  STDMETHODIMP Logon(VARIANT, VARIANT, VARIANT, VARIANT, VARIANT, VARIANT) override {
    TheWorld().Record(L"Session.Logon", L"");
    if (HRESULT hr = Injected(L"Session.Logon"); FAILED(hr)) return hr;
    mapi_.Attach(NewMapiSessionObject());
    return S_OK;
  }
  STDMETHODIMP Logoff() override { mapi_ = nullptr; return S_OK; }
  STDMETHODIMP get_LoggedOn(VARIANT_BOOL* v) override {
    if (!v) return E_POINTER;
    *v = mapi_ ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
  }
  STDMETHODIMP get_ConnectionMode(long* v) override {
    if (!v) return E_POINTER;
    *v = 0;
    if (!mapi_) return kNotLoggedOn;
    *v = TheWorld().ConnectionMode();
    return S_OK;
  }
  STDMETHODIMP get_ProfileName(BSTR* v) override {
    if (!mapi_) return Refuse(v);
    return ReturnString(TheWorld().Settings().profileName, v);
  }
  STDMETHODIMP get_ExchangeVersion(BSTR* v) override {
    if (!mapi_) return Refuse(v);
    return ReturnStringOrNull(TheWorld().HasExchangeStore() ? TheWorld().Settings().exchangeVersion : L"", v);
  }
  STDMETHODIMP get_CurrentUser(IRdoAddressEntry** v) override {
    if (!mapi_) return Refuse(v);
    ProfileSettings s = TheWorld().Settings();
    AddressEntry e;
    e.name = s.userName;
    e.alias = s.userAlias;
    e.smtp = s.userSmtp;
    return NewAddressEntry(e, v);
  }
  STDMETHODIMP get_Stores(IRdoStores** v) override {
    if (!mapi_) return Refuse(v);
    return MakeObject<StoresObject>(v);
  }
  STDMETHODIMP GetStoreById(BSTR storeId, VARIANT flags, IRdoStore** v) override {
    if (v) *v = nullptr;
    TheWorld().Record(L"Session.GetStoreById", std::wstring(storeId ? storeId : L"") + L" " + DescribeFlags(flags));
    if (HRESULT hr = Injected(L"Session.GetStoreById"); FAILED(hr)) return hr;
    if (!mapi_) return kNotLoggedOn;
    ObjId s = TheWorld().StoreByStoreId(storeId ? storeId : L"");
    return s ? NewStore(s, v) : MAPI_E_NOT_FOUND;
  }
  STDMETHODIMP GetDefaultFolder(long kind, IRdoFolder** v) override {
    if (v) *v = nullptr;
    if (HRESULT hr = Injected(L"Session.GetDefaultFolder"); FAILED(hr)) return hr;
    if (!mapi_) return kNotLoggedOn;
    ObjId f = TheWorld().StoreDefaultFolder(TheWorld().DefaultStore(), kind);
    return f ? NewFolder(f, v) : MAPI_E_NOT_FOUND;
  }
  STDMETHODIMP GetFolderById(BSTR entryId, VARIANT storeId, VARIANT flags, IRdoFolder** v) override {
    if (v) *v = nullptr;
    std::wstring id = entryId ? entryId : L"";
    TheWorld().Record(L"Session.GetFolderById", id + L" " + DescribeFlags(flags));
    if (HRESULT hr = Injected(L"Session.GetFolderById"); FAILED(hr)) return hr;
    if (!mapi_) return kNotLoggedOn;
    ObjId f = TheWorld().FolderByEntryId(id);
    if (!f || !InStore(storeId, TheWorld().GetFolder(f)->store)) return MAPI_E_NOT_FOUND;
    return NewFolder(f, v);
  }
  STDMETHODIMP GetMessageById(BSTR entryId, VARIANT storeId, VARIANT flags, IRdoMessage** v) override {
    if (v) *v = nullptr;
    std::wstring id = entryId ? entryId : L"";
    TheWorld().Record(L"Session.GetMessageById", id + L" " + DescribeFlags(flags));
    if (HRESULT hr = Injected(L"Session.GetMessageById"); FAILED(hr)) return hr;
    if (!mapi_) return kNotLoggedOn;
    ObjId item = TheWorld().ItemByEntryId(id);
    auto info = TheWorld().GetItem(item);
    if (!info || !InStore(storeId, info->store)) return MAPI_E_NOT_FOUND;
    return NewMessage(std::move(*info), v);
  }
  STDMETHODIMP get_AddressBook(IRdoAddressBook** v) override {
    if (!mapi_) return Refuse(v);
    return MakeObject<AddressBookObject>(v);
  }
  STDMETHODIMP UtcToLocal(DATE utc, DATE* local) override {
    if (!local) return E_POINTER;
    *local = times::ToLocal(utc);
    return S_OK;
  }

 private:
  // A session neither attached to a MAPI session nor logged on answers
  // nothing that needs the profile, as the wrapper's own does.
  static constexpr HRESULT kNotLoggedOn = MAPI_E_NOT_INITIALIZED;
  template <typename T>
  static HRESULT Refuse(T** v) {
    if (!v) return E_POINTER;
    *v = nullptr;
    return kNotLoggedOn;
  }
  static HRESULT Refuse(BSTR* v) {
    if (!v) return E_POINTER;
    *v = nullptr;
    return kNotLoggedOn;
  }
  // A StoreID argument that is given must name the store.
  static bool InStore(const VARIANT& storeId, ObjId store) {
    std::wstring id;
    if (!ArgString(storeId, &id) || id.empty()) return true;
    return TheWorld().StoreByStoreId(id) == store;
  }
  com::ComPtr<IUnknown> mapi_;
};

class UtilsObject : public IRdoUtils {
 public:
  BEGIN_COM_MAP(UtilsObject)
    COM_INTERFACE_ENTRY(IRdoUtils)
    COM_INTERFACE_ENTRY2(IDispatch, IRdoUtils)
  END_COM_MAP()
  SIM_NO_DISPATCH()

  STDMETHODIMP GetPropByTag(IUnknown* object, long tag, VARIANT* value) override {
    if (!value) return E_POINTER;
    VariantInit(value);
    if (HRESULT hr = Injected(L"Utils.GetPropByTag"); FAILED(hr)) return hr;
    Resolved r;
    if (!ResolveObject(object, &r)) return E_INVALIDARG;
    return GetPropOf(r, static_cast<uint32_t>(tag), value);
  }
  STDMETHODIMP SetPropByTag(IUnknown* object, long tag, VARIANT value, short flags) override {
    wchar_t text[32];
    swprintf(text, 32, L"0x%08X flags=%d", static_cast<unsigned>(tag), flags);
    TheWorld().Record(L"Utils.SetPropByTag", text);
    if (HRESULT hr = Injected(L"Utils.SetPropByTag"); FAILED(hr)) return hr;
    Resolved r;
    if (!ResolveObject(object, &r)) return E_INVALIDARG;
    return SetPropOf(r, static_cast<uint32_t>(tag), value, flags != 0);
  }
  STDMETHODIMP GetNamedPropId(IUnknown* object, BSTR setGuid, VARIANT nameOrId, short create, long* id) override {
    if (!id) return E_POINTER;
    *id = 0;
    if (HRESULT hr = Injected(L"Utils.GetNamedPropId"); FAILED(hr)) return hr;
    Resolved r;
    if (!ResolveObject(object, &r)) return E_INVALIDARG;
    std::wstring set = setGuid ? setGuid : L"", name;
    long lid = 0;
    if (set.size() != 38 || set.front() != L'{' || set.back() != L'}') return E_INVALIDARG;
    PropKey key;
    if (ArgString(nameOrId, &name)) key = PropKey::Named(set, name, 0);
    else if (ArgLong(nameOrId, &lid)) key = PropKey::Named(set, lid, 0);
    else return E_INVALIDARG;
    HRESULT quota = MAPI_E_NOT_FOUND;
    uint16_t mapped = TheWorld().NamedPropId(StoreOf(r), key, create != 0, &quota);
    if (!mapped) return quota;
    *id = static_cast<long>(uint32_t(mapped) << 16);
    return S_OK;
  }
  STDMETHODIMP BinToHex(VARIANT binary, BSTR* hex) override {
    Bytes b;
    if (!VariantBytes(binary, &b)) {
      if (hex) *hex = nullptr;
      return E_INVALIDARG;
    }
    return ReturnString(ToHex(b), hex);
  }
  STDMETHODIMP HexToBin(BSTR hex, VARIANT* binary) override {
    if (!binary) return E_POINTER;
    VariantInit(binary);
    Bytes b;
    if (!FromHex(hex ? std::wstring_view(hex, SysStringLen(hex)) : L"", &b)) return E_INVALIDARG;
    return ValueToVariant(Value::Binary(std::move(b)), binary);
  }
  STDMETHODIMP GetMessageById(BSTR entryId, VARIANT storeId, VARIANT flags, IRdoMessage** v) override {
    if (v) *v = nullptr;
    std::wstring id = entryId ? entryId : L"";
    TheWorld().Record(L"Utils.GetMessageById", id + L" " + DescribeFlags(flags));
    if (HRESULT hr = Injected(L"Utils.GetMessageById"); FAILED(hr)) return hr;
    ObjId item = TheWorld().ItemByEntryId(id);
    auto info = TheWorld().GetItem(item);
    std::wstring store;
    if (!info || (ArgString(storeId, &store) && !store.empty() && TheWorld().StoreByStoreId(store) != info->store)) {
      return MAPI_E_NOT_FOUND;
    }
    return NewMessage(std::move(*info), v);
  }
  STDMETHODIMP CompareIds(BSTR id1, BSTR id2, VARIANT_BOOL* same) override {
    if (!same) return E_POINTER;
    *same = WrapperIdForm(id1 ? id1 : L"") == WrapperIdForm(id2 ? id2 : L"") ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
  }
  STDMETHODIMP get_Version(BSTR* v) override { return ReturnString(L"5.5.0.0", v); }
  // Table rows carry MAPI's UTC times; a message's time is local.
  STDMETHODIMP ToTableTimeBase(DATE time, DATE* tableTime) override {
    if (!tableTime) return E_POINTER;
    *tableTime = times::ToUtc(time);
    return S_OK;
  }
};

class DistListObject : public IRdoDistList {
 public:
  BEGIN_COM_MAP(DistListObject)
    COM_INTERFACE_ENTRY(IRdoDistList)
    COM_INTERFACE_ENTRY2(IDispatch, IRdoDistList)
  END_COM_MAP()
  SIM_NO_DISPATCH()
  STDMETHODIMP put_Item(IUnknown* message) override {
    // Attaching null lets the list go: the caller may rely on its release.
    list_ = nullptr;
    holder_ = nullptr;
    if (!message) return S_OK;
    Resolved r;
    if (!ResolveObject(message, &r) || r.kind != SimKind::Message || !r.message) return E_INVALIDARG;
    holder_ = r.holder;
    list_ = r.message;
    return S_OK;
  }
  STDMETHODIMP AddMember(BSTR name, VARIANT address, VARIANT addressType) override {
    if (!list_) return E_UNEXPECTED;
    if (HRESULT hr = Injected(L"DistList.AddMember"); FAILED(hr)) return hr;
    DlMember m;
    m.name = name ? name : L"";
    ArgString(address, &m.address);
    if (!ArgString(addressType, &m.addressType)) m.addressType = L"SMTP";
    list_->Content().members.push_back(m);
    list_->MarkDirty();
    return S_OK;
  }
  STDMETHODIMP RemoveMember(BSTR address) override {
    if (!list_) return E_UNEXPECTED;
    auto& members = list_->Content().members;
    std::wstring wanted = Upper(address ? address : L"");
    auto it = std::find_if(members.begin(), members.end(), [&](const DlMember& m) { return Upper(m.address) == wanted; });
    if (it == members.end()) return MAPI_E_NOT_FOUND;
    members.erase(it);
    list_->MarkDirty();
    return S_OK;
  }
  STDMETHODIMP get_MemberCount(long* v) override {
    if (!v) return E_POINTER;
    if (!list_) return E_UNEXPECTED;
    *v = long(list_->Content().members.size());
    return S_OK;
  }
  STDMETHODIMP Save() override {
    if (!list_) return E_UNEXPECTED;
    if (HRESULT hr = Injected(L"DistList.Save"); FAILED(hr)) return hr;
    return list_->Save();
  }

 private:
  com::ComPtr<IUnknown> holder_;
  MessageObject* list_ = nullptr;
};

}  // namespace

IUnknown* NewMapiSessionObject() {
  IUnknown* p = nullptr;
  com::ComObject<MapiObject>::CreateInstance(IID_IUnknown, reinterpret_cast<void**>(&p), SimKind::MapiSession, ObjId(0));
  return p;
}

IUnknown* NewMapiFolderObject(ObjId folder) {
  IUnknown* p = nullptr;
  com::ComObject<MapiObject>::CreateInstance(IID_IUnknown, reinterpret_cast<void**>(&p), SimKind::Folder, folder);
  return p;
}

HRESULT NewStore(ObjId store, IRdoStore** out) {
  if (out) *out = nullptr;
  if (!TheWorld().GetStore(store)) return MAPI_E_NOT_FOUND;
  return MakeObject<StoreObject>(out, store);
}

HRESULT NewAddressEntry(const AddressEntry& entry, IRdoAddressEntry** out) {
  return MakeObject<AddressEntryObject>(out, entry);
}

HRESULT NewAddressBook(IRdoAddressBook** out) { return MakeObject<AddressBookObject>(out); }

HRESULT CreateSession(REFIID iid, void** ppv) {
  if (HRESULT hr = Injected(L"Create.OLSafeRDOSession"); FAILED(hr)) return hr;
  return com::ComObject<SessionObject>::CreateInstance(iid, ppv);
}

HRESULT CreateUtils(REFIID iid, void** ppv) {
  if (HRESULT hr = Injected(L"Create.OLMAPIUtils"); FAILED(hr)) return hr;
  return com::ComObject<UtilsObject>::CreateInstance(iid, ppv);
}

HRESULT CreateDistList(REFIID iid, void** ppv) {
  if (HRESULT hr = Injected(L"Create.OLSafeDistList"); FAILED(hr)) return hr;
  return com::ComObject<DistListObject>::CreateInstance(iid, ppv);
}

}  // namespace sim
