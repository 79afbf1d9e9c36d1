// The wrapper's message object: a snapshot of one item (or of a new item not
// yet saved) whose writes are pending until Save.
#pragma once
#include "rdo_common.h"

namespace sim {

class MessageObject : public IRdoMessage, public IRdoMeeting, public IRdoTask, public ISimObject {
 public:
  void InitExisting(ItemInfo&& item);
  void InitNew(ObjId folder, ObjId store, std::wstring_view messageClass);

  HRESULT InternalQueryInterface(REFIID riid, void** ppv);
  SIM_NO_DISPATCH()

  // ISimObject
  SimKind STDMETHODCALLTYPE SimObjectKind() override { return SimKind::Message; }
  ObjId STDMETHODCALLTYPE SimObjectId() override { return item_; }
  MessageObject* STDMETHODCALLTYPE SimMessage() override { return this; }

  ItemContent& Content() { return content_; }
  void MarkDirty() { dirty_ = true; }
  ObjId Store() const { return store_; }
  ObjId Item() const { return item_; }
  // The value of a property as this object sees it (pending writes included).
  Value Read(const PropKey& key) const;
  void Write(const PropKey& key, Value v);
  // Commits the pending content (creates the item when new).
  HRESULT Commit();

  // IRdoMessage
  STDMETHODIMP get_EntryID(BSTR* v) override;
  STDMETHODIMP get_StoreID(BSTR* v) override;
  STDMETHODIMP get_Parent(IRdoFolder** v) override;
  STDMETHODIMP get_MessageClass(BSTR* v) override { return GetText(tags::kMessageClass, v); }
  STDMETHODIMP put_MessageClass(BSTR v) override { return PutText(tags::kMessageClass, v); }
  STDMETHODIMP get_Subject(BSTR* v) override { return GetText(tags::kSubject, v); }
  STDMETHODIMP put_Subject(BSTR v) override { return PutText(tags::kSubject, v); }
  STDMETHODIMP get_Categories(BSTR* v) override;
  STDMETHODIMP put_Categories(BSTR v) override;
  STDMETHODIMP get_Sensitivity(long* v) override { return GetLong(PropKey::Tag(tags::kSensitivity), v); }
  STDMETHODIMP put_Sensitivity(long v) override { Write(PropKey::Tag(tags::kSensitivity), Value::Long(v)); return S_OK; }
  STDMETHODIMP get_LastModificationTime(DATE* v) override { return GetDate(tags::kLastModificationTime, v); }
  STDMETHODIMP get_CreationTime(DATE* v) override { return GetDate(tags::kCreationTime, v); }
  STDMETHODIMP get_ReminderSet(VARIANT_BOOL* v) override;
  STDMETHODIMP put_ReminderSet(VARIANT_BOOL v) override { Write(named::ReminderSet(), Value::Bool(v != VARIANT_FALSE)); return S_OK; }
  STDMETHODIMP get_ReminderState(long* v) override { return GetLong(named::ReminderState(), v); }
  STDMETHODIMP put_ReminderState(long v) override { Write(named::ReminderState(), Value::Long(v)); return S_OK; }
  STDMETHODIMP get_Fields(BSTR dasl, VARIANT* v) override;
  STDMETHODIMP put_Fields(BSTR dasl, VARIANT v) override;
  STDMETHODIMP CopyTo(VARIANT target, IRdoMessage** copy) override;
  STDMETHODIMP Save() override;
  STDMETHODIMP Delete(VARIANT flags) override;
  STDMETHODIMP get_Recipients(IRdoRecipients** v) override;
  STDMETHODIMP get_UserProperties(IRdoUserProperties** v) override;
  STDMETHODIMP get_EmailAddress(BSTR* v) override { return GetText(named::Email1Address(), v); }
  STDMETHODIMP put_EmailAddress(BSTR v) override { return PutText(named::Email1Address(), v); }
  STDMETHODIMP get_FirstName(BSTR* v) override { return GetText(tags::kGivenName, v); }
  STDMETHODIMP put_FirstName(BSTR v) override { return PutText(tags::kGivenName, v); }
  STDMETHODIMP get_LastName(BSTR* v) override { return GetText(tags::kSurname, v); }
  STDMETHODIMP put_LastName(BSTR v) override { return PutText(tags::kSurname, v); }
  STDMETHODIMP get_Name(BSTR* v) override { return GetText(tags::kSubject, v); }
  STDMETHODIMP put_Name(BSTR v) override { return PutText(tags::kSubject, v); }

  // IRdoMeeting and IRdoTask
  STDMETHODIMP get_IsRequest(VARIANT_BOOL* v) override;
  STDMETHODIMP get_ResponseStatus(long* v) override { return GetLong(named::ResponseStatus(), v); }
  STDMETHODIMP get_IsOwner(VARIANT_BOOL* v) override { return GetBool(named::TaskIsOwner(), v); }
  STDMETHODIMP get_IsDelegated(VARIANT_BOOL* v) override { return GetBool(named::TaskIsDelegated(), v); }

 private:
  HRESULT GetText(const PropKey& key, BSTR* v);
  HRESULT GetText(uint32_t tag, BSTR* v) { return GetText(PropKey::Tag(tag), v); }
  HRESULT PutText(const PropKey& key, BSTR v);
  HRESULT PutText(uint32_t tag, BSTR v) { return PutText(PropKey::Tag(tag), v); }
  HRESULT GetLong(const PropKey& key, long* v);
  HRESULT GetBool(const PropKey& key, VARIANT_BOOL* v);
  HRESULT GetDate(uint32_t tag, DATE* v);
  std::wstring ClassUpper() const;
  void Reload();

  ObjId item_ = 0, folder_ = 0, store_ = 0;
  std::wstring entryId_;
  ItemContent content_;
  std::wstring openedAt_;  // the item's change key when it was read
  bool dirty_ = false;
};

}  // namespace sim
