#include "reminders.h"

#include "bstr.h"
#include "com_ptr.h"
#include "item_identity.h"
#include "logs.h"
#include "variant.h"

namespace {

constexpr long kTypeLong = 0x0003;
constexpr long kTypeBoolean = 0x000B;
constexpr int kMaxRecipientRemovals = 10;

long ItemKindOf(CSyncEngine* engine, IRdoMessage* message) {
  com::Bstr messageClass;
  if (FAILED(message->get_MessageClass(messageClass.Put()))) return kItemOther;
  return GetItemTypeFromMessageClass(engine, messageClass.c_str());
}

// The tag of one of the origin marks in the message's store (mapped when new).
HRESULT MarkTag(IRdoUtils* utils, IRdoMessage* message, const wchar_t* name, long type, long* tag) {
  long id = 0;
  HRESULT hr = utils->GetNamedPropId(message, com::Bstr(kOriginMarkSet), com::Variant(name), 1, &id);
  if (SUCCEEDED(hr)) *tag = id | type;
  return hr;
}

// Reads one of the origin marks of the message (empty when it has none).
HRESULT ReadMark(IRdoUtils* utils, IRdoMessage* message, const wchar_t* name, long type, com::Variant* value) {
  long tag = 0;
  HRESULT hr = MarkTag(utils, message, name, type, &tag);
  if (FAILED(hr)) return hr;
  return utils->GetPropByTag(message, tag, value->Put());
}

// The origin side an item was marked with; false when it carries none.
bool ReadOriginSide(const com::Variant& mark, long* side) {
  if (mark.vt != VT_I4) return false;
  *side = mark.lVal;
  return true;
}

bool TruthOf(const VARIANT& v) {
  switch (v.vt) {
    case VT_BOOL: return v.boolVal != VARIANT_FALSE;
    case VT_I2: return v.iVal != 0;
    case VT_I4: return v.lVal != 0;
    case VT_UI1: return v.bVal != 0;
    default: return false;
  }
}

bool IsMissing(const VARIANT& v) { return v.vt == VT_EMPTY || v.vt == VT_NULL || v.vt == VT_ERROR; }

// The canonical 16-bit form of a truth value (0 or -1).
com::Variant Canonical16(bool value) { return com::Variant(short(value ? -1 : 0)); }

std::wstring Text(IRdoRecipient* recipient, HRESULT (STDMETHODCALLTYPE IRdoRecipient::*getter)(BSTR*)) {
  com::Bstr text;
  if (FAILED((recipient->*getter)(text.Put()))) return {};
  return text.Str();
}

struct RecipientId {
  bool present = false;
  std::wstring name, address;
};

RecipientId ReadRecipient(IRdoRecipients* recipients, long index) {
  com::ComPtr<IRdoRecipient> r;
  RecipientId id;
  if (FAILED(recipients->Item(index, r.Put())) || !r) return id;
  id.present = true;
  id.name = Text(r.Get(), &IRdoRecipient::get_Name);
  id.address = Text(r.Get(), &IRdoRecipient::get_Address);
  return id;
}

// Two entries are the same attendee only when both name and address agree:
// different people may share a display name.
bool SameRecipient(const RecipientId& a, const RecipientId& b) {
  return a.present && b.present && !a.name.empty() && a.name == b.name && a.address == b.address;
}

}  // namespace

HRESULT MarkAsSource(CSyncEngine* engine, IRdoUtils* utils, IRdoMessage* message, long origin) {
  if (!utils || !message) return E_POINTER;
  long kind = ItemKindOf(engine, message);
  if (kind != kItemAppointment && kind != kItemTask) return S_OK;
  long tag = 0;
  HRESULT hr = MarkTag(utils, message, kOriginSideName, kTypeLong, &tag);
  if (CheckHr(hr, L"MarkAsSource")) utils->SetPropByTag(message, tag, com::Variant(origin), 1);
  hr = MarkTag(utils, message, kReminderWasSetName, kTypeBoolean, &tag);
  if (FAILED(hr)) return hr;
  VARIANT_BOOL reminderSet = VARIANT_FALSE;
  hr = message->get_ReminderSet(&reminderSet);
  if (FAILED(hr)) return hr;
  hr = utils->SetPropByTag(message, tag, Canonical16(reminderSet != VARIANT_FALSE), 1);
  if (FAILED(hr)) return hr;
  return message->Save();
}

HRESULT RemoveReminder(CSyncEngine*, IRdoUtils* utils, IRdoMessage* message, long side, bool clearUnmarked) {
  if (!utils || !message) return E_POINTER;
  com::Variant mark;
  HRESULT hr = ReadMark(utils, message, kOriginSideName, kTypeLong, &mark);
  if (FAILED(hr)) return hr;
  long origin = 0;
  bool clear = ReadOriginSide(mark, &origin) ? origin != side : clearUnmarked && side == kSideDefault;
  if (!clear) return S_OK;

  message->put_Fields(com::Bstr(kDaslICloudReminder), Canonical16(false));
  hr = message->put_ReminderSet(VARIANT_FALSE);
  message->put_ReminderState(-1);
  if (FAILED(hr)) return hr;
  CheckHr(message->Save(), L"RemoveReminder::Save(iCloud)");
  DebugLog(L"ReminderRemove done");
  return S_OK;
}

HRESULT CopyOldReminder(CSyncEngine*, IRdoUtils* utils, IRdoMessage* message, long side) {
  if (!utils || !message) return E_POINTER;
  com::Variant mark;
  HRESULT hr = ReadMark(utils, message, kOriginSideName, kTypeLong, &mark);
  if (FAILED(hr)) return hr;
  long origin = 0;
  if (!ReadOriginSide(mark, &origin) || origin != side) return S_OK;

  com::Variant wasSet;
  hr = ReadMark(utils, message, kReminderWasSetName, kTypeBoolean, &wasSet);
  if (FAILED(hr)) return hr;
  if (wasSet.vt == VT_BOOL || wasSet.vt == VT_I2) {
    hr = message->put_ReminderSet(TruthOf(wasSet) ? VARIANT_TRUE : VARIANT_FALSE);
    if (FAILED(hr)) return hr;
  }
  CheckHr(message->Save(), L"CopyOldReminder::Save(iCloud)");
  DebugLog(L"OldReminder2Elem");
  return S_OK;
}

bool ReminderIsSet(IRdoMessage* message) {
  VARIANT_BOOL set = VARIANT_FALSE;
  return message && SUCCEEDED(message->get_ReminderSet(&set)) && set != VARIANT_FALSE;
}

HRESULT ReminderAfterWrite(CSyncEngine* engine, IRdoUtils* utils, IRdoMessage* written, long side,
                           bool writtenHadReminder, IRdoMessage* source, bool clearUnmarked) {
  if (!utils || !written || !source) return E_POINTER;
  com::Variant mark;
  HRESULT hr = ReadMark(utils, written, kOriginSideName, kTypeLong, &mark);
  if (FAILED(hr)) return hr;
  long origin = 0;
  if (ReadOriginSide(mark, &origin)) {
    // The mark the write brought along is the source's, as old as the
    // source's own first copy: the origin item's reminder as it is now is
    // the written item's own when it lies on its origin side, else the
    // source's. Saved with the item below.
    long tag = 0;
    hr = MarkTag(utils, written, kReminderWasSetName, kTypeBoolean, &tag);
    const bool now = origin == side ? writtenHadReminder : ReminderIsSet(source);
    if (SUCCEEDED(hr)) hr = utils->SetPropByTag(written, tag, Canonical16(now), 0);
    if (FAILED(hr)) return hr;
  }
  hr = CopyOldReminder(engine, utils, written, side);
  if (SUCCEEDED(hr)) hr = RemoveReminder(engine, utils, written, side, clearUnmarked);
  return hr;
}

HRESULT ReminderToiCloud(CSyncEngine*, IRdoMessage* iCloudItem, IRdoMessage* other) {
  if (!iCloudItem || !other) return E_POINTER;
  VARIANT_BOOL reminderSet = VARIANT_FALSE;
  HRESULT hr = other->get_ReminderSet(&reminderSet);
  if (!CheckHr(hr, L"ReminderToiCloud")) return hr;
  com::Variant flag;
  hr = iCloudItem->get_Fields(com::Bstr(kDaslICloudReminder), flag.Put());
  if (!CheckHr(hr, L"ReminderToiCloudget_Field")) return hr;
  if (IsMissing(flag)) return S_OK;
  // Truth values, not raw numbers: a flag stored as 1 is the same as -1, and
  // writing it again would change the item on every pass.
  const bool wanted = reminderSet != VARIANT_FALSE;
  if (TruthOf(flag) == wanted) return S_OK;
  hr = iCloudItem->put_Fields(com::Bstr(kDaslICloudReminder), Canonical16(wanted));
  if (!CheckHr(hr, L"ReminderToiCloudput_Field")) return hr;
  hr = iCloudItem->Save();
  if (!CheckHr(hr, L"ReminderToiCloud_Save()")) return hr;
  DebugLog(L"ReminderFromPST2iCloud2 done");
  return S_OK;
}

HRESULT ReminderFromiCloud2PST(CSyncEngine*, IRdoMessage* iCloudItem, IRdoMessage* other) {
  if (!iCloudItem || !other) return E_POINTER;
  com::Variant flag;
  HRESULT hr = iCloudItem->get_Fields(com::Bstr(kDaslICloudReminder), flag.Put());
  if (!CheckHr(hr, L"ReminderFromiCloud2PST_get_Field")) return hr;
  if (IsMissing(flag)) return S_OK;
  VARIANT_BOOL reminderSet = VARIANT_FALSE;
  hr = other->get_ReminderSet(&reminderSet);
  if (FAILED(hr)) return hr;
  const bool wanted = TruthOf(flag);
  if ((reminderSet != VARIANT_FALSE) == wanted) return S_OK;
  hr = other->put_ReminderSet(wanted ? VARIANT_TRUE : VARIANT_FALSE);
  if (FAILED(hr)) return hr;
  hr = other->Save();
  if (!CheckHr(hr, L"ReminderFromiCloud2PST_Save")) return hr;
  DebugLog(L"ReminderFromiCloud2PST done");
  return S_OK;
}

HRESULT cleanRecipients(CSyncEngine* engine, IRdoMessage* message) {
  if (!message) return E_POINTER;
  if (ItemKindOf(engine, message) != kItemAppointment) return S_OK;
  com::ComPtr<IRdoRecipients> recipients;
  HRESULT hr = message->get_Recipients(recipients.Put());
  if (FAILED(hr) || !recipients) return hr;
  long n = 0;
  if (FAILED(recipients->get_Count(&n)) || n < 2) return S_OK;

  HRESULT result = S_OK;
  int removed = 0;
  for (long i = 1; i <= n; ++i) {
    RecipientId first = ReadRecipient(recipients.Get(), i);
    if (!first.present) continue;
    for (long k = i + 1; k <= n;) {
      if (removed >= kMaxRecipientRemovals) {
        LogError(result, L"WA:cleanRecipients::Max10Removes");
        return S_OK;
      }
      if (!SameRecipient(first, ReadRecipient(recipients.Get(), k))) {
        ++k;
        continue;
      }
      result = recipients->Remove(k);
      ++removed;
      if (FAILED(recipients->get_Count(&n))) n = 0;
      LogError(result, L"WA:cleanRecipients::HaveToDeleteOneRecipient");
      if (FAILED(result)) return result;  // a removal that fails would repeat for ever
    }
  }
  return result;
}
