// Reminders and origin marks: the mark, remove and give-back cycle over the
// simulated wrapper, and the two routines whose comparisons decide whether
// an item is written at all, against a fake message that states its calls.
#include <utility>

#include "pass_fixture.h"
#include "rdo_message_stub.h"
#include "reminders.h"

namespace pass_testing {
namespace {

constexpr wchar_t kReminderSet[] =
    L"http://schemas.microsoft.com/mapi/id/{00062008-0000-0000-C000-000000000046}/8503000B";

class ReminderTest : public PassTest {
 protected:
  com::ComPtr<IRdoMessage> Appointment(bool reminder, std::vector<std::wstring> recipients = {}) {
    sim::SimItem item;
    item.messageClass = L"IPM.Appointment";
    item.subject = L"Meeting";
    item.recipients = std::move(recipients);
    sim::SimProp set{kReminderSet, {}};
    set.value.vt = VT_BOOL;
    set.value.boolVal = reminder ? VARIANT_TRUE : VARIANT_FALSE;
    item.props.push_back(set);
    entryId = sim_->AddItem(masterId.Str(), item);
    com::ComPtr<IRdoMessage> m;
    session->GetMessageById(com::Bstr(entryId), com::Variant(masterStore.c_str()), com::Variant(16L), m.Put());
    return m;
  }
  bool ReminderOn(IRdoMessage* m) {
    VARIANT_BOOL set = VARIANT_FALSE;
    m->get_ReminderSet(&set);
    return set != VARIANT_FALSE;
  }
  std::wstring entryId;
};

TEST_F(ReminderTest, MarkRemoveAndGiveBackAcrossBothSides) {
  com::ComPtr<IRdoMessage> item = Appointment(true);
  ASSERT_EQ(S_OK, MarkAsSource(engine_, utils.Get(), item.Get(), kSideMaster));
  // On its own side a marked item keeps its reminder; elsewhere it loses it.
  EXPECT_EQ(S_OK, RemoveReminder(engine_, utils.Get(), item.Get(), kSideMaster, true));
  EXPECT_TRUE(ReminderOn(item.Get()));
  EXPECT_EQ(S_OK, CopyOldReminder(engine_, utils.Get(), item.Get(), kSideDefault));
  EXPECT_TRUE(ReminderOn(item.Get()));
  EXPECT_EQ(S_OK, RemoveReminder(engine_, utils.Get(), item.Get(), kSideDefault, false));
  EXPECT_FALSE(ReminderOn(item.Get()));
  // Back on the origin side the reminder it had when marked returns.
  EXPECT_EQ(S_OK, CopyOldReminder(engine_, utils.Get(), item.Get(), kSideMaster));
  EXPECT_TRUE(ReminderOn(item.Get()));

  // Unmarked: only the flag for the default folder takes it off.
  com::ComPtr<IRdoMessage> plain = Appointment(true);
  EXPECT_EQ(S_OK, RemoveReminder(engine_, utils.Get(), plain.Get(), kSideDefault, false));
  EXPECT_TRUE(ReminderOn(plain.Get()));
  EXPECT_EQ(S_OK, RemoveReminder(engine_, utils.Get(), plain.Get(), kSideMaster, true));
  EXPECT_TRUE(ReminderOn(plain.Get()));
  EXPECT_EQ(S_OK, RemoveReminder(engine_, utils.Get(), plain.Get(), kSideDefault, true));
  EXPECT_FALSE(ReminderOn(plain.Get()));

  // A contact is not marked at all.
  sim::SimItem contact;
  contact.messageClass = L"IPM.Contact";
  const std::wstring id = sim_->AddItem(masterId.Str(), contact);
  com::ComPtr<IRdoMessage> c;
  session->GetMessageById(com::Bstr(id), com::Variant(masterStore.c_str()), com::Variant(16L), c.Put());
  sim_->ClearCalls();
  EXPECT_EQ(S_OK, MarkAsSource(engine_, utils.Get(), c.Get(), kSideMaster));
  EXPECT_EQ(0u, Writes() + CallsOf(L"Utils.SetPropByTag"));
}

TEST_F(ReminderTest, RepeatedRecipientsGoUpToTen) {
  com::ComPtr<IRdoMessage> item = Appointment(false, {L"A", L"B", L"A", L"A"});
  EXPECT_EQ(S_OK, cleanRecipients(engine_, item.Get()));
  com::ComPtr<IRdoRecipients> list;
  item->get_Recipients(list.Put());
  long n = 0;
  list->get_Count(&n);
  ASSERT_EQ(2, n);
  com::ComPtr<IRdoRecipient> first, second;
  com::Bstr a, b;
  list->Item(1, first.Put());
  list->Item(2, second.Put());
  first->get_Name(a.Put());
  second->get_Name(b.Put());
  EXPECT_EQ(L"A", a.Str());
  EXPECT_EQ(L"B", b.Str());

  com::ComPtr<IRdoMessage> crowded = Appointment(false, std::vector<std::wstring>(13, L"Same"));
  cleanRecipients(engine_, crowded.Get());
  list.Reset();
  crowded->get_Recipients(list.Put());
  list->get_Count(&n);
  EXPECT_EQ(3, n);
  EXPECT_NE(std::string::npos, ErrorLogText().find("WA:cleanRecipients::Max10Removes"));
}

// A message that answers what the reminder routines ask and counts writes.
class FakeMessage : public RdoMessageStub, public IRdoRecipients {
 public:
  struct Person {
    std::wstring name, address;
  };
  std::vector<Person> people;
  VARIANT_BOOL reminderSet = VARIANT_FALSE;
  com::Variant iCloudFlag;
  int fieldWrites = 0, reminderWrites = 0, saves = 0;
  LONG refs = 1;

  STDMETHODIMP QueryInterface(REFIID iid, void** ppv) override {
    if (iid == IID_IUnknown || iid == IID_IDispatch || iid == __uuidof(IRdoMessage)) {
      *ppv = static_cast<IRdoMessage*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ULONG(++refs); }
  STDMETHODIMP_(ULONG) Release() override { return ULONG(--refs); }
  STDMETHODIMP GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return E_NOTIMPL;
  }
  // What the routines use.
  STDMETHODIMP get_MessageClass(BSTR* v) override { *v = SysAllocString(L"IPM.Appointment"); return S_OK; }
  STDMETHODIMP get_ReminderSet(VARIANT_BOOL* v) override { *v = reminderSet; return S_OK; }
  STDMETHODIMP put_ReminderSet(VARIANT_BOOL v) override { reminderSet = v; ++reminderWrites; return S_OK; }
  STDMETHODIMP get_Fields(BSTR, VARIANT* v) override { return VariantCopy(v, &iCloudFlag); }
  STDMETHODIMP put_Fields(BSTR, VARIANT v) override { ++fieldWrites; return VariantCopy(&iCloudFlag, &v); }
  STDMETHODIMP Save() override { ++saves; return S_OK; }
  STDMETHODIMP get_Recipients(IRdoRecipients** v) override {
    *v = this;
    AddRef();
    return S_OK;
  }
  STDMETHODIMP get_Count(long* v) override { *v = long(people.size()); return S_OK; }
  STDMETHODIMP Item(long i, IRdoRecipient** v) override;
  STDMETHODIMP Remove(long i) override {
    people.erase(people.begin() + (i - 1));
    return S_OK;
  }
  // Not asked for.
  STDMETHODIMP Add(BSTR, IRdoRecipient**) override { return E_NOTIMPL; }
};

class FakeRecipient final : public IRdoRecipient {
 public:
  explicit FakeRecipient(FakeMessage::Person p) : p_(std::move(p)) {}
  STDMETHODIMP QueryInterface(REFIID, void** ppv) override { *ppv = nullptr; return E_NOINTERFACE; }
  STDMETHODIMP_(ULONG) AddRef() override { return ULONG(++refs_); }
  STDMETHODIMP_(ULONG) Release() override {
    LONG n = --refs_;
    if (n == 0) delete this;
    return ULONG(n);
  }
  STDMETHODIMP GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return E_NOTIMPL;
  }
  STDMETHODIMP get_Name(BSTR* v) override { *v = SysAllocString(p_.name.c_str()); return S_OK; }
  STDMETHODIMP get_Address(BSTR* v) override { *v = SysAllocString(p_.address.c_str()); return S_OK; }

 private:
  FakeMessage::Person p_;
  LONG refs_ = 1;
};

STDMETHODIMP FakeMessage::Item(long i, IRdoRecipient** v) {
  if (i < 1 || size_t(i) > people.size()) return E_INVALIDARG;
  *v = new FakeRecipient(people[size_t(i) - 1]);
  return S_OK;
}

TEST(ReminderRules, AttendeesWhoShareANameStayAndTruthValuesAreCompared) {
  FakeMessage m;
  m.people = {{L"J. Smith", L"js1@example.org"}, {L"J. Smith", L"js2@example.org"}, {L"Ann", L"ann@example.org"},
              {L"Ann", L"ann@example.org"}};
  EXPECT_EQ(S_OK, cleanRecipients(nullptr, &m));
  ASSERT_EQ(3u, m.people.size());
  EXPECT_EQ(L"js2@example.org", m.people[1].address);
  EXPECT_EQ(0, m.saves);  // the caller saves

  // A flag stored as 1 and a set reminder agree: nothing is written.
  FakeMessage iCloud, other;
  iCloud.iCloudFlag = com::Variant(short(1));
  other.reminderSet = VARIANT_TRUE;
  EXPECT_EQ(S_OK, ReminderFromiCloud2PST(nullptr, &iCloud, &other));
  EXPECT_EQ(S_OK, ReminderToiCloud(nullptr, &iCloud, &other));
  EXPECT_EQ(0, other.reminderWrites + other.saves + iCloud.fieldWrites + iCloud.saves);
  // They differ: the flag is written as a canonical -1 and saved once.
  iCloud.iCloudFlag = com::Variant(short(0));
  EXPECT_EQ(S_OK, ReminderToiCloud(nullptr, &iCloud, &other));
  EXPECT_EQ(VT_I2, iCloud.iCloudFlag.vt);
  EXPECT_EQ(-1, iCloud.iCloudFlag.iVal);
  EXPECT_EQ(1, iCloud.saves);
  // No flag at all: neither direction changes anything.
  FakeMessage noFlag;
  EXPECT_EQ(S_OK, ReminderFromiCloud2PST(nullptr, &noFlag, &other));
  EXPECT_EQ(0, other.reminderWrites + other.saves);
  EXPECT_EQ(1, m.refs);
  EXPECT_EQ(1, other.refs);
}

}  // namespace
}  // namespace pass_testing
