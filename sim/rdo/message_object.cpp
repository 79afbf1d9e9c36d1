#include "message_object.h"

#include <algorithm>

#include "world/times.h"
#include "world/variant_value.h"

namespace sim {
namespace {

class RecipientObject : public IRdoRecipient {
 public:
  explicit RecipientObject(Recipient r) : r_(std::move(r)) {}
  BEGIN_COM_MAP(RecipientObject)
    COM_INTERFACE_ENTRY(IRdoRecipient)
    COM_INTERFACE_ENTRY2(IDispatch, IRdoRecipient)
  END_COM_MAP()
  SIM_NO_DISPATCH()
  STDMETHODIMP get_Name(BSTR* v) override { return ReturnString(r_.name, v); }
  STDMETHODIMP get_Address(BSTR* v) override { return ReturnString(r_.address, v); }

 private:
  Recipient r_;
};

class RecipientsObject : public IRdoRecipients {
 public:
  explicit RecipientsObject(MessageObject* m) : m_(m), holder_(static_cast<IRdoMessage*>(m)) {}
  BEGIN_COM_MAP(RecipientsObject)
    COM_INTERFACE_ENTRY(IRdoRecipients)
    COM_INTERFACE_ENTRY2(IDispatch, IRdoRecipients)
  END_COM_MAP()
  SIM_NO_DISPATCH()
  STDMETHODIMP get_Count(long* v) override {
    if (!v) return E_POINTER;
    *v = static_cast<long>(m_->Content().recipients.size());
    return S_OK;
  }
  STDMETHODIMP Item(long index, IRdoRecipient** v) override {
    auto& list = m_->Content().recipients;
    if (index < 1 || size_t(index) > list.size()) return E_INVALIDARG;
    return MakeObject<RecipientObject>(v, list[size_t(index) - 1]);
  }
  STDMETHODIMP Remove(long index) override {
    auto& list = m_->Content().recipients;
    if (index < 1 || size_t(index) > list.size()) return E_INVALIDARG;
    list.erase(list.begin() + (index - 1));
    m_->MarkDirty();
    return S_OK;
  }
  STDMETHODIMP Add(BSTR name, IRdoRecipient** v) override {
    Recipient r{name ? name : L"", name ? name : L"", L"SMTP"};
    m_->Content().recipients.push_back(r);
    m_->MarkDirty();
    return MakeObject<RecipientObject>(v, r);
  }

 private:
  MessageObject* m_;
  com::ComPtr<IRdoMessage> holder_;
};

class UserPropertyObject : public IRdoUserProperty {
 public:
  UserPropertyObject(MessageObject* m, std::wstring name) : m_(m), holder_(static_cast<IRdoMessage*>(m)), name_(std::move(name)) {}
  BEGIN_COM_MAP(UserPropertyObject)
    COM_INTERFACE_ENTRY(IRdoUserProperty)
    COM_INTERFACE_ENTRY2(IDispatch, IRdoUserProperty)
  END_COM_MAP()
  SIM_NO_DISPATCH()
  STDMETHODIMP get_Name(BSTR* v) override { return ReturnString(name_, v); }
  STDMETHODIMP get_Type(long* v) override {
    if (!v) return E_POINTER;
    UserProperty* p = Find();
    *v = p ? p->type : 0;
    return p ? S_OK : E_FAIL;
  }
  STDMETHODIMP get_Value(VARIANT* v) override {
    UserProperty* p = Find();
    return p ? ValueToVariant(p->value, v) : E_FAIL;
  }
  STDMETHODIMP put_Value(VARIANT v) override {
    UserProperty* p = Find();
    if (!p) return E_FAIL;
    Value value;
    HRESULT hr = VariantToValue(v, MapiTypeOf(p->type), &value);
    if (FAILED(hr)) return hr;
    p->value = value;
    // A user property is also the string-named property of that name in
    // PS_PUBLIC_STRINGS, which searches by its DASL name find.
    m_->Write(PropKey::Named(psets::kPublicStrings, p->name, MapiTypeOf(p->type)), std::move(value));
    return S_OK;
  }

 private:
  // The MAPI type of an Outlook user-property type (olText 1, olNumber 3,
  // olDateTime 5, olYesNo 6, olInteger 20); 0 lets the value decide.
  static uint16_t MapiTypeOf(long type) {
    switch (type) {
      case 1: return kPtUnicode;
      case 3: return kPtDouble;
      case 5: return kPtSysTime;
      case 6: return kPtBoolean;
      case 20: return kPtLong;
      default: return 0;
    }
  }
  UserProperty* Find() {
    for (auto& p : m_->Content().userProps) {
      if (Upper(p.name) == Upper(name_)) return &p;
    }
    return nullptr;
  }
  MessageObject* m_;
  com::ComPtr<IRdoMessage> holder_;
  std::wstring name_;
};

class UserPropertiesObject : public IRdoUserProperties {
 public:
  explicit UserPropertiesObject(MessageObject* m) : m_(m), holder_(static_cast<IRdoMessage*>(m)) {}
  BEGIN_COM_MAP(UserPropertiesObject)
    COM_INTERFACE_ENTRY(IRdoUserProperties)
    COM_INTERFACE_ENTRY2(IDispatch, IRdoUserProperties)
  END_COM_MAP()
  SIM_NO_DISPATCH()
  STDMETHODIMP get_Count(long* v) override {
    if (!v) return E_POINTER;
    *v = static_cast<long>(m_->Content().userProps.size());
    return S_OK;
  }
  STDMETHODIMP Find(BSTR name, VARIANT, IRdoUserProperty** v) override {
    if (!v) return E_POINTER;
    *v = nullptr;
    std::wstring wanted = Upper(name ? name : L"");
    for (const auto& p : m_->Content().userProps) {
      if (Upper(p.name) == wanted) return MakeObject<UserPropertyObject>(v, m_, p.name);
    }
    return S_OK;
  }
  STDMETHODIMP Add(BSTR name, long type, VARIANT, VARIANT, IRdoUserProperty** v) override {
    std::wstring n = name ? name : L"";
    if (n.empty()) return E_INVALIDARG;
    auto& list = m_->Content().userProps;
    auto it = std::find_if(list.begin(), list.end(), [&](const UserProperty& p) { return Upper(p.name) == Upper(n); });
    if (it == list.end()) list.push_back({n, type, Value()});
    m_->MarkDirty();
    return MakeObject<UserPropertyObject>(v, m_, n);
  }

 private:
  MessageObject* m_;
  com::ComPtr<IRdoMessage> holder_;
};

}  // namespace

void MessageObject::InitExisting(ItemInfo&& item) {
  item_ = item.id;
  folder_ = item.folder;
  store_ = item.store;
  entryId_ = std::move(item.entryId);
  openedAt_ = item.ChangeKeyHex();
  content_ = std::move(item.content);
}

void MessageObject::InitNew(ObjId folder, ObjId store, std::wstring_view messageClass) {
  folder_ = folder;
  store_ = store;
  content_.Set(PropKey::Tag(tags::kMessageClass), Value::String(messageClass));
  dirty_ = true;
}

HRESULT MessageObject::InternalQueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) || IsEqualIID(riid, __uuidof(IRdoMessage))) {
    *ppv = static_cast<IRdoMessage*>(this);
  } else if (IsEqualIID(riid, IID_ISimObject)) {
    *ppv = static_cast<ISimObject*>(this);
  } else if (IsEqualIID(riid, __uuidof(IRdoMeeting))) {
    std::wstring c = ClassUpper();
    if (c.find(L"IPM.APPOINTMENT") != std::wstring::npos || c.find(L"IPM.SCHEDULE.MEETING") != std::wstring::npos) {
      *ppv = static_cast<IRdoMeeting*>(this);
    }
  } else if (IsEqualIID(riid, __uuidof(IRdoTask))) {
    if (ClassUpper().find(L"IPM.TASK") != std::wstring::npos) *ppv = static_cast<IRdoTask*>(this);
  }
  if (!*ppv) return E_NOINTERFACE;
  static_cast<IUnknown*>(*ppv)->AddRef();
  return S_OK;
}

std::wstring MessageObject::ClassUpper() const {
  Value v = Read(PropKey::Tag(tags::kMessageClass));
  return Upper(v.str);
}

Value MessageObject::Read(const PropKey& key) const {
  if (!key.IsNamed() && key.id == TagId(tags::kEntryId)) {
    Bytes b;
    FromHex(entryId_, &b);
    return entryId_.empty() ? Value() : Value::Binary(b);
  }
  if (!key.IsNamed() && key.id == TagId(tags::kStoreEntryId)) {
    auto s = TheWorld().GetStore(store_);
    Bytes b;
    if (s) FromHex(s->storeId, &b);
    return Value::Binary(b);
  }
  const Value* v = content_.Find(key);
  return v ? *v : Value();
}

void MessageObject::Write(const PropKey& key, Value v) {
  content_.Set(key, std::move(v));
  dirty_ = true;
}

void MessageObject::Reload() {
  if (auto info = TheWorld().GetItem(item_)) InitExisting(std::move(*info));
  dirty_ = false;
}

HRESULT MessageObject::Commit() {
  HRESULT hr = TheWorld().NamesFit(store_, content_);
  if (FAILED(hr)) return hr;
  if (item_) {
    // An edit armed for this save lands first, while this object holds the item.
    TheWorld().Saving(item_);
    // Over the item as it was read: a server refuses it when it changed since.
    hr = TheWorld().CommitItem(item_, content_, std::nullopt, openedAt_);
  } else {
    // A personal-folders file keeps a time written before the first save (as
    // connectors and imports write theirs); a server stamps its own.
    auto store = TheWorld().GetStore(store_);
    ItemContent c = content_;
    if (store && store->exchange)
      for (uint32_t tag : {tags::kLastModificationTime, tags::kCreationTime}) c.props.erase(PropKey::Tag(tag));
    hr = TheWorld().CreateItem(folder_, std::move(c), &item_);
  }
  if (SUCCEEDED(hr)) {
    TheWorld().AddInWrote(item_);
    Reload();
  }
  return hr;
}

HRESULT MessageObject::GetText(const PropKey& key, BSTR* v) {
  Value value = Read(key);
  return ReturnString(value.type == ValueType::String ? value.str : L"", v);
}

HRESULT MessageObject::PutText(const PropKey& key, BSTR v) {
  Write(key, Value::String(v ? std::wstring_view(v, SysStringLen(v)) : L""));
  return S_OK;
}

HRESULT MessageObject::GetLong(const PropKey& key, long* v) {
  if (!v) return E_POINTER;
  *v = static_cast<long>(Read(key).num);
  return S_OK;
}

HRESULT MessageObject::GetBool(const PropKey& key, VARIANT_BOOL* v) {
  if (!v) return E_POINTER;
  *v = Read(key).num ? VARIANT_TRUE : VARIANT_FALSE;
  return S_OK;
}

// The object's times are local, as Outlook shows them; the store keeps UTC.
HRESULT MessageObject::GetDate(uint32_t tag, DATE* v) {
  if (!v) return E_POINTER;
  *v = times::ToLocal(Read(PropKey::Tag(tag)).dbl);
  return S_OK;
}

STDMETHODIMP MessageObject::get_EntryID(BSTR* v) {
  if (HRESULT hr = Injected(L"Message.EntryID"); FAILED(hr)) return hr;
  return ReturnString(entryId_, v);
}

STDMETHODIMP MessageObject::get_StoreID(BSTR* v) {
  auto s = TheWorld().GetStore(store_);
  return ReturnString(s ? s->storeId : L"", v);
}

STDMETHODIMP MessageObject::get_Parent(IRdoFolder** v) { return NewFolder(folder_, v); }

STDMETHODIMP MessageObject::get_Categories(BSTR* v) {
  return ReturnString(CategoriesText(Read(named::Keywords()).list), v);
}

STDMETHODIMP MessageObject::put_Categories(BSTR v) {
  std::wstring_view text = v ? std::wstring_view(v, SysStringLen(v)) : L"";
  std::vector<std::wstring> list;
  size_t start = 0;
  while (start <= text.size()) {
    size_t comma = text.find(L',', start);
    std::wstring_view part = text.substr(start, comma == std::wstring_view::npos ? std::wstring_view::npos : comma - start);
    while (!part.empty() && part.front() == L' ') part.remove_prefix(1);
    while (!part.empty() && part.back() == L' ') part.remove_suffix(1);
    if (!part.empty()) list.emplace_back(part);
    if (comma == std::wstring_view::npos) break;
    start = comma + 1;
  }
  Write(named::Keywords(), list.empty() ? Value() : Value::List(std::move(list)));
  return S_OK;
}

STDMETHODIMP MessageObject::get_ReminderSet(VARIANT_BOOL* v) { return GetBool(named::ReminderSet(), v); }

STDMETHODIMP MessageObject::get_Fields(BSTR dasl, VARIANT* v) {
  if (!v) return E_POINTER;
  VariantInit(v);
  PropKey key;
  if (!TheWorld().ResolveDasl(store_, dasl ? dasl : L"", false, &key)) return S_OK;  // never mapped: missing
  return ValueToVariant(Read(key), v);
}

STDMETHODIMP MessageObject::put_Fields(BSTR dasl, VARIANT v) {
  PropKey key;
  HRESULT quota = E_INVALIDARG;
  if (!TheWorld().ResolveDasl(store_, dasl ? dasl : L"", true, &key, &quota)) return quota;
  if (!key.IsNamed() && (key.id == TagId(tags::kEntryId) || key.id == TagId(tags::kSourceKey))) return E_ACCESSDENIED;
  Value value;
  HRESULT hr = VariantToValue(v, key.type, &value);
  if (FAILED(hr)) return hr;
  Write(key, std::move(value));
  return S_OK;
}

STDMETHODIMP MessageObject::CopyTo(VARIANT target, IRdoMessage** copy) {
  if (copy) *copy = nullptr;
  if (HRESULT hr = Injected(L"Message.CopyTo"); FAILED(hr)) return hr;
  Resolved r;
  if (!ResolveVariant(target, &r)) return E_INVALIDARG;
  if (r.kind == SimKind::Folder) {
    auto folder = TheWorld().GetFolder(r.id);
    if (!folder) return MAPI_E_NOT_FOUND;
    ObjId created = 0;
    HRESULT hr = TheWorld().NamesFit(folder->store, content_);
    if (SUCCEEDED(hr)) hr = TheWorld().CreateCopy(r.id, content_, &created);
    if (FAILED(hr)) return hr;
    TheWorld().AddInWrote(created);
    TheWorld().Record(L"Message.CopyTo", entryId_ + L" -> folder " + folder->entryId + L" = " + TheWorld().ItemEntryId(created));
    return copy ? NewMessage(created, copy) : S_OK;
  }
  if (r.kind == SimKind::Message && r.message) {
    TheWorld().CopyContentOnto(content_, r.message->Content());
    r.message->MarkDirty();
    TheWorld().Record(L"Message.CopyTo", entryId_ + L" -> message " + TheWorld().ItemEntryId(r.message->Item()));
    return S_OK;
  }
  return E_INVALIDARG;
}

STDMETHODIMP MessageObject::Save() {
  if (HRESULT hr = Injected(L"Message.Save"); FAILED(hr)) return hr;
  HRESULT hr = Commit();
  TheWorld().Record(L"Message.Save", entryId_.empty() ? L"(new)" : entryId_);
  return hr;
}

STDMETHODIMP MessageObject::Delete(VARIANT flags) {
  TheWorld().Record(L"Message.Delete", entryId_ + L" " + DescribeFlags(flags));
  if (HRESULT hr = Injected(L"Message.Delete"); FAILED(hr)) return hr;
  if (!item_) return MAPI_E_NOT_FOUND;
  // 0 (or none): a soft delete; 1: to the store's Deleted Items; 2: for good.
  long flag = 0;
  ArgLong(flags, &flag);
  const DeleteMode mode = flag == 1 ? DeleteMode::ToDeletedItems : flag == 2 ? DeleteMode::Hard : DeleteMode::Soft;
  return TheWorld().DeleteItem(item_, mode);
}

STDMETHODIMP MessageObject::get_Recipients(IRdoRecipients** v) { return MakeObject<RecipientsObject>(v, this); }

STDMETHODIMP MessageObject::get_UserProperties(IRdoUserProperties** v) { return MakeObject<UserPropertiesObject>(v, this); }

STDMETHODIMP MessageObject::get_IsRequest(VARIANT_BOOL* v) {
  if (!v) return E_POINTER;
  std::wstring c = ClassUpper();
  bool request = c.rfind(L"IPM.SCHEDULE.MEETING.REQUEST", 0) == 0 || c.rfind(L"IPM.TASKREQUEST", 0) == 0;
  *v = request ? VARIANT_TRUE : VARIANT_FALSE;
  return S_OK;
}

HRESULT NewMessage(ObjId item, IRdoMessage** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  auto info = TheWorld().GetItem(item);
  if (!info) return MAPI_E_NOT_FOUND;
  return NewMessage(std::move(*info), out);
}

HRESULT NewMessage(ItemInfo&& item, IRdoMessage** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  com::ComObject<MessageObject>* m = nullptr;
  HRESULT hr = com::ComObject<MessageObject>::Create(&m);
  if (FAILED(hr)) return hr;
  m->InitExisting(std::move(item));
  return m->QueryInterface(__uuidof(IRdoMessage), reinterpret_cast<void**>(out));
}

HRESULT NewUnsavedMessage(ObjId folder, std::wstring_view messageClass, IRdoMessage** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  auto info = TheWorld().GetFolder(folder);
  if (!info) return MAPI_E_NOT_FOUND;
  com::ComObject<MessageObject>* m = nullptr;
  HRESULT hr = com::ComObject<MessageObject>::Create(&m);
  if (FAILED(hr)) return hr;
  m->InitNew(folder, info->store, messageClass.empty() ? std::wstring_view(info->messageClass) : messageClass);
  return m->QueryInterface(__uuidof(IRdoMessage), reinterpret_cast<void**>(out));
}

}  // namespace sim
