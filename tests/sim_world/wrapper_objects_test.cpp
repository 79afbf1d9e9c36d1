// The smaller wrapper objects the add-in leans on: the address book and its
// copies, the distribution-list object, reminders, user properties and
// recipients.
#include <gtest/gtest.h>

#include "bstr.h"
#include "clock.h"
#include "com_ptr.h"
#include "rdo/rdo_common.h"
#include "variant.h"

namespace sim {
namespace {

using com::Bstr;
using com::ComPtr;
using com::Variant;

constexpr wchar_t kGalStamp[] =
    L"http://schemas.microsoft.com/mapi/string/{00020329-0000-0000-C000-000000000046}/TallowbyGAL";

ULONG RefCount(IUnknown* p) {
  p->AddRef();
  return p->Release();
}

class WrapperObjectsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    w.Reset();
    StoreSpec desc;
    desc.kind = 3;
    store = w.AddStore(desc);
    contacts = w.StoreDefaultFolder(store, kOlContacts);
    ASSERT_EQ(S_OK, CreateSession(__uuidof(IRdoSession), session.PutVoid()));
    ASSERT_EQ(S_OK, session->Logon(Variant(), Variant(), Variant(), Variant(), Variant(), Variant()));
    ASSERT_EQ(S_OK, NewFolder(contacts, folder.Put()));
    ASSERT_EQ(S_OK, folder->get_Items(items.Put()));
  }
  void TearDown() override {
    items = nullptr;
    folder = nullptr;
    session = nullptr;
    CoUninitialize();
  }
  ComPtr<IRdoMessage> Open(ObjId item) {
    ComPtr<IRdoMessage> m;
    EXPECT_EQ(S_OK, NewMessage(item, m.Put()));
    return m;
  }
  ObjId AddItem(const wchar_t* subject, ItemContent c = {}) {
    c.Set(PropKey::Tag(tags::kSubject), Value::String(subject));
    ObjId id = 0;
    EXPECT_EQ(S_OK, w.CreateItem(contacts, std::move(c), &id));
    return id;
  }
  static std::wstring Text(HRESULT hr, const Bstr& b) {
    EXPECT_EQ(S_OK, hr);
    return b.Str();
  }
  std::vector<ObjId> Hits(const std::wstring& filter) {
    std::vector<ObjId> hits;
    EXPECT_EQ(S_OK, w.Query(contacts, filter, {}, &hits)) << filter;
    return hits;
  }

  World& w = World::Instance();
  ObjId store = 0, contacts = 0;
  ComPtr<IRdoSession> session;
  ComPtr<IRdoFolder> folder;
  ComPtr<IRdoItems> items;
};

TEST_F(WrapperObjectsTest, AddressListsGiveTheirEntriesAndEntriesCopyIntoFoldersAndOntoMessages) {
  AddressEntry ann{L"Ann Archer", L"ann@corp.example", L"ann", L"Ann", L"Archer"};
  AddressEntry team{L"Team", L"", L"team", L"", L"", true, {{L"Ann Archer", L"ann@corp.example"}, {L"Bob", L"bob@corp.example"}}};
  w.SetAddressLists({{L"Global Address List", {ann, team}, 0}, {L"Sales", {ann}, contacts}});

  ComPtr<IRdoAddressBook> book;
  ASSERT_EQ(S_OK, session->get_AddressBook(book.Put()));
  ComPtr<IRdoAddressLists> lists;
  ASSERT_EQ(S_OK, book->AddressLists(VARIANT_FALSE, lists.Put()));
  long count = 0;
  ASSERT_EQ(S_OK, lists->get_Count(&count));
  EXPECT_EQ(2, count);
  ComPtr<IRdoAddressList> gal, sales, none;
  EXPECT_EQ(E_INVALIDARG, lists->Item(Variant(0L), none.Put()));
  EXPECT_EQ(E_INVALIDARG, lists->Item(Variant(3L), none.Put()));
  EXPECT_FALSE(none);
  ASSERT_EQ(S_OK, lists->Item(Variant(1L), gal.Put()));
  ASSERT_EQ(S_OK, lists->Item(Variant(2L), sales.Put()));
  Bstr name;
  EXPECT_EQ(L"Global Address List", Text(gal->get_Name(name.Put()), name));
  // A list without a contacts folder answers S_OK with null; one with it gives the folder.
  ComPtr<IRdoFolder> listFolder;
  ASSERT_EQ(S_OK, gal->get_ContactsFolder(listFolder.Put()));
  EXPECT_FALSE(listFolder);
  ASSERT_EQ(S_OK, sales->get_ContactsFolder(listFolder.Put()));
  ASSERT_TRUE(listFolder);
  Bstr id;
  EXPECT_EQ(w.GetFolder(contacts)->entryId, Text(listFolder->get_EntryID(id.Put()), id));

  ComPtr<IRdoAddressEntries> entries;
  ASSERT_EQ(S_OK, gal->get_Entries(entries.Put()));
  ASSERT_EQ(S_OK, entries->get_Count(&count));
  ASSERT_EQ(2, count);
  ComPtr<IRdoAddressEntry> person, list;
  ASSERT_EQ(S_OK, entries->Item(Variant(1L), person.Put()));
  ASSERT_EQ(S_OK, entries->Item(Variant(2L), list.Put()));
  ComPtr<IRdoAddressEntry> noEntry;
  EXPECT_EQ(E_INVALIDARG, entries->Item(Variant(3L), noEntry.Put()));
  VARIANT_BOOL isList = VARIANT_TRUE;
  ASSERT_EQ(S_OK, person->get_IsDistList(&isList));
  EXPECT_EQ(VARIANT_FALSE, isList);
  ASSERT_EQ(S_OK, list->get_IsDistList(&isList));
  EXPECT_EQ(VARIANT_TRUE, isList);
  EXPECT_EQ(L"ann@corp.example", Text(person->get_SmtpAddress(name.Put()), name));

  // Into a folder: a new contact, or a new distribution list with the members.
  ComPtr<IRdoMessage> copy;
  ASSERT_EQ(S_OK, person->CopyTo(Variant(static_cast<IDispatch*>(folder.Get())), copy.Put()));
  ASSERT_TRUE(copy);
  EXPECT_EQ(L"IPM.Contact", Text(copy->get_MessageClass(name.Put()), name));
  EXPECT_EQ(L"Ann Archer", Text(copy->get_Subject(name.Put()), name));
  EXPECT_EQ(L"ann@corp.example", Text(copy->get_EmailAddress(name.Put()), name));
  EXPECT_EQ(L"Archer", Text(copy->get_LastName(name.Put()), name));
  ASSERT_EQ(S_OK, list->CopyTo(Variant(static_cast<IDispatch*>(folder.Get())), copy.Put()));
  ObjId listCopy = w.ItemByEntryId(Text(copy->get_EntryID(id.Put()), id));
  EXPECT_EQ(L"IPM.DistList", w.GetItem(listCopy)->MessageClass());
  ASSERT_EQ(2u, w.GetItem(listCopy)->content.members.size());
  EXPECT_EQ(L"bob@corp.example", w.GetItem(listCopy)->content.members[1].address);
  EXPECT_EQ(2u, w.ItemCount(contacts));

  // Onto an existing message: pending until its Save, which keeps its EntryID.
  ObjId old = AddItem(L"Ann (old)");
  std::wstring oldId = w.GetItem(old)->entryId;
  ComPtr<IRdoMessage> target = Open(old);
  ComPtr<IRdoMessage> created;
  ASSERT_EQ(S_OK, person->CopyTo(Variant(static_cast<IDispatch*>(target.Get())), created.Put()));
  EXPECT_FALSE(created);
  EXPECT_EQ(L"Ann (old)", w.GetItem(old)->Subject());
  ASSERT_EQ(S_OK, target->Save());
  EXPECT_EQ(L"Ann Archer", w.GetItem(old)->Subject());
  EXPECT_EQ(oldId, w.GetItem(old)->entryId);
  EXPECT_EQ(3u, w.ItemCount(contacts));
  EXPECT_EQ(3u, w.CallsOf(L"AddressEntry.CopyTo").size());

  w.InjectFailure(L"AddressEntry.CopyTo", 1, MAPI_E_NOT_ENOUGH_RESOURCES);
  EXPECT_EQ(MAPI_E_NOT_ENOUGH_RESOURCES, person->CopyTo(Variant(static_cast<IDispatch*>(folder.Get())), copy.Put()));
  EXPECT_FALSE(copy);
  EXPECT_EQ(3u, w.ItemCount(contacts));
}

TEST_F(WrapperObjectsTest, DistListObjectAddsAndRemovesMembersOfTheAttachedCopyAndLetsItGo) {
  ComPtr<IRdoDistList> dl;
  ASSERT_EQ(S_OK, CreateDistList(__uuidof(IRdoDistList), dl.PutVoid()));
  long n = -1;
  EXPECT_EQ(E_UNEXPECTED, dl->AddMember(Bstr(L"temp"), Variant(L"temp@x.invalid"), Variant(L"SMTP")));
  EXPECT_EQ(E_UNEXPECTED, dl->get_MemberCount(&n));
  EXPECT_EQ(E_UNEXPECTED, dl->Save());

  // As the copy step does: attach the fresh copy, add the placeholder, save
  // the copy itself, let it go.
  ItemContent c;
  c.Set(PropKey::Tag(tags::kMessageClass), Value::String(L"IPM.DistList"));
  c.members = {{L"Ann", L"ann@x.org"}};
  ObjId item = AddItem(L"Team", c);
  ComPtr<IRdoMessage> copy = Open(item);
  const ULONG before = RefCount(copy.Get());
  ASSERT_EQ(S_OK, dl->put_Item(copy.Get()));
  ASSERT_EQ(S_OK, dl->AddMember(Bstr(L"temp"), Variant(L"temp@x.invalid"), Variant(L"SMTP")));
  ASSERT_EQ(S_OK, dl->get_MemberCount(&n));
  EXPECT_EQ(2, n);
  EXPECT_EQ(1u, w.GetItem(item)->content.members.size());  // pending until a save
  ASSERT_EQ(S_OK, dl->put_Item(nullptr));
  EXPECT_EQ(before, RefCount(copy.Get())) << "attaching null must release the copy";
  EXPECT_EQ(E_UNEXPECTED, dl->get_MemberCount(&n));
  ASSERT_EQ(S_OK, copy->Save());
  auto members = w.GetItem(item)->content.members;
  ASSERT_EQ(2u, members.size());
  EXPECT_EQ(L"temp", members[1].name);
  EXPECT_EQ(L"temp@x.invalid", members[1].address);
  EXPECT_EQ(L"SMTP", members[1].addressType);

  // Removal by address, case-insensitive; an unknown address is not found.
  ASSERT_EQ(S_OK, dl->put_Item(copy.Get()));
  EXPECT_EQ(S_OK, dl->RemoveMember(Bstr(L"ANN@x.org")));
  EXPECT_EQ(MAPI_E_NOT_FOUND, dl->RemoveMember(Bstr(L"nobody@x.org")));
  ASSERT_EQ(S_OK, dl->Save());
  ASSERT_EQ(1u, w.GetItem(item)->content.members.size());
  EXPECT_EQ(L"temp", w.GetItem(item)->content.members[0].name);

  // A failed AddMember leaves the list as it was; anything but a wrapper message is refused.
  w.InjectFailure(L"DistList.AddMember", 1, E_FAIL);
  EXPECT_EQ(E_FAIL, dl->AddMember(Bstr(L"x"), Variant(L"x@x.org"), Variant()));
  ASSERT_EQ(S_OK, dl->get_MemberCount(&n));
  EXPECT_EQ(1, n);
  EXPECT_EQ(E_INVALIDARG, dl->put_Item(folder.Get()));
}

TEST_F(WrapperObjectsTest, RemindersAreTheDueOnesOfTheirStore) {
  const double now = clk::NowLocalDate();
  auto withReminder = [&](const wchar_t* subject, bool set, double time) {
    ItemContent c;
    c.Set(named::ReminderSet(), Value::Bool(set));
    if (time) c.Set(named::ReminderTime(), Value::Date(time));
    return AddItem(subject, c);
  };
  ObjId due = withReminder(L"due", true, now - 1.0 / 24);
  withReminder(L"later", true, now + 1);
  withReminder(L"off", false, now - 1);
  ObjId untimed = withReminder(L"untimed", true, 0);
  // Another store's due reminder belongs to that store's collection.
  StoreSpec other;
  ObjId pst = w.AddStore(other);
  ObjId elsewhere = 0;
  ItemContent c;
  c.Set(named::ReminderSet(), Value::Bool(true));
  ASSERT_EQ(S_OK, w.CreateItem(w.StoreDefaultFolder(pst, kOlTasks), c, &elsewhere));

  ComPtr<IRdoStore> s;
  ASSERT_EQ(S_OK, NewStore(store, s.Put()));
  ComPtr<IRdoReminders> reminders;
  ASSERT_EQ(S_OK, s->get_Reminders(reminders.Put()));
  long count = 0;
  ASSERT_EQ(S_OK, reminders->get_Count(&count));
  ASSERT_EQ(2, count);
  std::vector<std::wstring> ids;
  for (long i = 1; i <= count; ++i) {
    ComPtr<IRdoReminder> r;
    ASSERT_EQ(S_OK, reminders->Item(i, r.Put()));
    VARIANT_BOOL active = VARIANT_FALSE;
    ASSERT_EQ(S_OK, r->get_IsActive(&active));
    EXPECT_EQ(VARIANT_TRUE, active);
    ComPtr<IRdoMessage> m;
    ASSERT_EQ(S_OK, r->get_Item(m.Put()));
    Bstr id;
    ids.push_back(Text(m->get_EntryID(id.Put()), id));
  }
  EXPECT_EQ((std::vector<std::wstring>{w.GetItem(due)->entryId, w.GetItem(untimed)->entryId}), ids);
  ComPtr<IRdoReminder> none;
  EXPECT_EQ(E_INVALIDARG, reminders->Item(0, none.Put()));
  EXPECT_EQ(E_INVALIDARG, reminders->Item(3, none.Put()));

  // A reminder turned off after the collection was read is no longer active.
  ComPtr<IRdoReminder> first;
  ASSERT_EQ(S_OK, reminders->Item(1, first.Put()));
  ComPtr<IRdoMessage> m = Open(due);
  ASSERT_EQ(S_OK, m->put_ReminderSet(VARIANT_FALSE));
  ASSERT_EQ(S_OK, m->Save());
  VARIANT_BOOL active = VARIANT_TRUE;
  ASSERT_EQ(S_OK, first->get_IsActive(&active));
  EXPECT_EQ(VARIANT_FALSE, active);
}

TEST_F(WrapperObjectsTest, UserPropertiesAreFoundAddedAndSearchableAsPublicStrings) {
  ObjId item = AddItem(L"Ann");
  ComPtr<IRdoMessage> m = Open(item);
  ComPtr<IRdoUserProperties> props;
  ASSERT_EQ(S_OK, m->get_UserProperties(props.Put()));
  ComPtr<IRdoUserProperty> p;
  // Absent: S_OK with null.
  ASSERT_EQ(S_OK, props->Find(Bstr(L"TallowbyGAL"), Variant(0L), p.Put()));
  EXPECT_FALSE(p);
  // The stamp as the address-list copy makes it.
  ASSERT_EQ(S_OK, props->Add(Bstr(L"TallowbyGAL"), 20, Variant(true), Variant(20L), p.Put()));
  ASSERT_TRUE(p);
  ASSERT_EQ(S_OK, p->put_Value(Variant(9L)));
  long count = 0;
  ASSERT_EQ(S_OK, props->get_Count(&count));
  EXPECT_EQ(1, count);
  // Not saved yet: the store does not know the name, and a search on it fails.
  std::vector<ObjId> none;
  EXPECT_EQ(MAPI_E_INVALID_PARAMETER, w.Query(contacts, std::wstring(L"\"") + kGalStamp + L"\" IS NOT NULL", {}, &none));
  ASSERT_EQ(S_OK, m->Save());

  // Found again by name, any case, with its type and value, on a fresh open.
  ComPtr<IRdoMessage> again = Open(item);
  ComPtr<IRdoUserProperties> props2;
  ASSERT_EQ(S_OK, again->get_UserProperties(props2.Put()));
  ASSERT_EQ(S_OK, props2->Find(Bstr(L"tallowbygal"), Variant(0L), p.Put()));
  ASSERT_TRUE(p);
  long type = 0;
  ASSERT_EQ(S_OK, p->get_Type(&type));
  EXPECT_EQ(20, type);
  Variant v;
  ASSERT_EQ(S_OK, p->get_Value(v.Put()));
  EXPECT_EQ(VT_I4, v.vt);
  EXPECT_EQ(9, v.AsLong());
  // Adding it again keeps one property.
  ASSERT_EQ(S_OK, props2->Add(Bstr(L"TallowbyGAL"), 20, Variant(true), Variant(20L), p.Put()));
  ASSERT_EQ(S_OK, props2->get_Count(&count));
  EXPECT_EQ(1, count);
  EXPECT_EQ(E_INVALIDARG, props2->Add(Bstr(L""), 20, Variant(), Variant(), p.Put()));

  // The run finds its own copies by the stamp's MAPI name: a string-named
  // property in PS_PUBLIC_STRINGS.
  AddItem(L"Bob");
  std::vector<ObjId> hits = Hits(std::wstring(L"\"") + kGalStamp + L"\" IS NOT NULL");
  EXPECT_EQ(std::vector<ObjId>{item}, hits);
  Value stamp = w.ReadItemProp(*w.GetItem(item), PropKey::Named(psets::kPublicStrings, L"TallowbyGAL", kPtLong));
  EXPECT_EQ(ValueType::Long, stamp.type);
  EXPECT_EQ(9, stamp.num);
}

TEST_F(WrapperObjectsTest, RecipientsCountItemAndRemoveArePendingUntilSave) {
  ItemContent c;
  c.Set(PropKey::Tag(tags::kMessageClass), Value::String(L"IPM.Appointment"));
  c.recipients = {{L"Ann", L"a@x.org"}, {L"Bob", L"b@x.org"}, {L"Ann", L"a@x.org"}};
  ObjId item = AddItem(L"Review", c);
  ComPtr<IRdoMessage> m = Open(item);
  ComPtr<IRdoRecipients> recipients;
  ASSERT_EQ(S_OK, m->get_Recipients(recipients.Put()));
  long count = 0;
  ASSERT_EQ(S_OK, recipients->get_Count(&count));
  ASSERT_EQ(3, count);
  ComPtr<IRdoRecipient> r;
  EXPECT_EQ(E_INVALIDARG, recipients->Item(0, r.Put()));
  EXPECT_EQ(E_INVALIDARG, recipients->Item(4, r.Put()));
  ASSERT_EQ(S_OK, recipients->Item(3, r.Put()));
  Bstr name;
  EXPECT_EQ(L"Ann", Text(r->get_Name(name.Put()), name));
  EXPECT_EQ(L"a@x.org", Text(r->get_Address(name.Put()), name));

  // Removing the repeat moves the later ones up; the count follows at once.
  ASSERT_EQ(S_OK, recipients->Remove(3));
  ASSERT_EQ(S_OK, recipients->get_Count(&count));
  EXPECT_EQ(2, count);
  EXPECT_EQ(E_INVALIDARG, recipients->Remove(3));
  ASSERT_EQ(S_OK, recipients->Remove(1));
  ASSERT_EQ(S_OK, recipients->Item(1, r.Put()));
  EXPECT_EQ(L"Bob", Text(r->get_Name(name.Put()), name));
  EXPECT_EQ(3u, w.GetItem(item)->content.recipients.size());
  ASSERT_EQ(S_OK, m->Save());
  auto saved = w.GetItem(item)->content.recipients;
  ASSERT_EQ(1u, saved.size());
  EXPECT_EQ(L"Bob", saved[0].name);
}

}  // namespace
}  // namespace sim
