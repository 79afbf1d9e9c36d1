// The wrapper objects over the process's world, called as the add-in calls them.
#include <gtest/gtest.h>

#include "bstr.h"
#include "com_ptr.h"
#include "rdo/rdo_common.h"
#include "variant.h"

namespace sim {
namespace {

using com::Bstr;
using com::ComPtr;
using com::Variant;

class WrapperTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    World::Instance().Reset();
    StoreSpec desc;
    desc.kind = 3;
    store = World::Instance().AddStore(desc);
    ASSERT_EQ(S_OK, CreateSession(__uuidof(IRdoSession), session.PutVoid()));
    ASSERT_EQ(S_OK, CreateUtils(__uuidof(IRdoUtils), utils.PutVoid()));
    ASSERT_EQ(S_OK, session->Logon(Variant(), Variant(), Variant(), Variant(), Variant(), Variant()));
    ASSERT_EQ(S_OK, session->GetDefaultFolder(kOlContacts, folder.Put()));
    ASSERT_EQ(S_OK, folder->get_Items(items.Put()));
  }
  void TearDown() override {
    items = nullptr;
    folder = nullptr;
    utils = nullptr;
    session = nullptr;
    CoUninitialize();
  }
  ComPtr<IRdoMessage> NewSaved(const wchar_t* subject) {
    ComPtr<IRdoMessage> m;
    EXPECT_EQ(S_OK, items->Add(Variant(), m.Put()));
    EXPECT_EQ(S_OK, m->put_Subject(Bstr(subject)));
    EXPECT_EQ(S_OK, m->Save());
    return m;
  }
  std::wstring Str(HRESULT (STDMETHODCALLTYPE IRdoMessage::*get)(BSTR*), IRdoMessage* m) {
    Bstr b;
    EXPECT_EQ(S_OK, (m->*get)(b.Put()));
    return b.Str();
  }
  static Variant Tags(std::initializer_list<long> tags) {
    Variant v;
    SAFEARRAY* sa = SafeArrayCreateVector(VT_VARIANT, 0, ULONG(tags.size()));
    LONG i = 0;
    for (long t : tags) {
      Variant e(t);
      SafeArrayPutElement(sa, &i, &e);
      ++i;
    }
    v.vt = VT_ARRAY | VT_VARIANT;
    v.parray = sa;
    return v;
  }
  static long RowsIn(const VARIANT& rows) {
    if (rows.vt != (VT_ARRAY | VT_VARIANT)) return 0;
    LONG hi = -1;
    SafeArrayGetUBound(rows.parray, 1, &hi);
    return hi + 1;
  }

  ObjId store = 0;
  ComPtr<IRdoSession> session;
  ComPtr<IRdoUtils> utils;
  ComPtr<IRdoFolder> folder;
  ComPtr<IRdoItems> items;
};

TEST_F(WrapperTest, TableReadsInBatchesAndSeeks) {
  for (int i = 0; i < 5; ++i) NewSaved((L"m" + std::to_wstring(i)).c_str());
  ComPtr<IRdoTable> table;
  ASSERT_EQ(S_OK, items->get_Table(table.Put()));
  ASSERT_EQ(S_OK, table->SetColumns(Tags({long(tags::kSearchKey), long(tags::kSourceKey), long(0x80000102)})));
  long count = 0;
  ASSERT_EQ(S_OK, table->get_RowCount(&count));
  EXPECT_EQ(5, count);
  Variant rows;
  ASSERT_EQ(S_OK, table->GetRows(2, rows.Put()));
  EXPECT_EQ(2, RowsIn(rows));
  // A row's cells come in column order: binary as bytes, an unknown named id as empty.
  LONG first = 0;
  Variant row;
  SafeArrayGetElement(rows.parray, &first, row.Put());
  Variant cell;
  LONG c = 0;
  SafeArrayGetElement(row.parray, &c, cell.Put());
  EXPECT_EQ(VT_ARRAY | VT_UI1, cell.vt);
  c = 2;
  SafeArrayGetElement(row.parray, &c, cell.Put());
  EXPECT_EQ(VT_EMPTY, cell.vt);
  ASSERT_EQ(S_OK, table->SeekRow(2));
  ASSERT_EQ(S_OK, table->GetRows(400, rows.Put()));
  EXPECT_EQ(3, RowsIn(rows));
  ASSERT_EQ(S_OK, table->GetRows(400, rows.Put()));
  EXPECT_EQ(0, RowsIn(rows));
  // An injected empty batch, then the walk goes on after a seek.
  World::Instance().InjectFailure(L"Table.EmptyBatch", 1, E_FAIL);
  ASSERT_EQ(S_OK, table->SeekRow(0));
  ASSERT_EQ(S_OK, table->GetRows(400, rows.Put()));
  EXPECT_EQ(0, RowsIn(rows));
  ASSERT_EQ(S_OK, table->GetRows(400, rows.Put()));
  EXPECT_EQ(5, RowsIn(rows));
  World::Instance().InjectFailure(L"Table.GetRows", 1, MAPI_E_NETWORK_ERROR);
  EXPECT_EQ(MAPI_E_NETWORK_ERROR, table->GetRows(400, rows.Put()));
}

TEST_F(WrapperTest, FindAndFindNextWalkEveryHitAndNothingFoundIsSuccess) {
  ComPtr<IRdoMessage> a = NewSaved(L"a");
  ComPtr<IRdoMessage> b = NewSaved(L"b");
  // b takes a's key, as a duplicate does.
  Variant key;
  ASSERT_EQ(S_OK, utils->GetPropByTag(a.Get(), long(tags::kSearchKey), key.Put()));
  ASSERT_EQ(S_OK, utils->SetPropByTag(b.Get(), long(tags::kSearchKey), key, 1));
  Bstr hex;
  ASSERT_EQ(S_OK, utils->BinToHex(key, hex.Put()));
  std::wstring sk = L"http://schemas.microsoft.com/mapi/proptag/0x300B0102";
  std::wstring q = L"select \"DAV:id\",\"" + sk + L"\" from Folder where \"" + sk + L"\" = '" + hex.Str() + L"'";
  ComPtr<IRdoMessage> hit;
  ASSERT_EQ(S_OK, items->Find(Bstr(q), hit.Put()));
  ASSERT_TRUE(hit);
  EXPECT_EQ(Str(&IRdoMessage::get_EntryID, a.Get()), Str(&IRdoMessage::get_EntryID, hit.Get()));
  ASSERT_EQ(S_OK, items->FindNext(hit.Put()));
  ASSERT_TRUE(hit);
  EXPECT_EQ(Str(&IRdoMessage::get_EntryID, b.Get()), Str(&IRdoMessage::get_EntryID, hit.Get()));
  ASSERT_EQ(S_OK, items->FindNext(hit.Put()));
  EXPECT_FALSE(hit);
  ASSERT_EQ(S_OK, items->Find(Bstr(L"\"" + sk + L"\" = '0011'"), hit.Put()));
  EXPECT_FALSE(hit);
  EXPECT_EQ(MAPI_E_INVALID_PARAMETER, items->Find(Bstr(L"\"" + sk + L"\" ="), hit.Put()));
  EXPECT_EQ(3u, World::Instance().CallsOf(L"Items.Find").size());
}

TEST_F(WrapperTest, WritesArePendingUntilSaveAndCopiesKeepTheSearchKey) {
  ComPtr<IRdoMessage> a = NewSaved(L"a");
  std::wstring id = Str(&IRdoMessage::get_EntryID, a.Get());
  ASSERT_EQ(S_OK, a->put_Subject(Bstr(L"changed")));
  ASSERT_EQ(S_OK, a->put_Categories(Bstr(L"Work, Home")));
  EXPECT_EQ(L"a", World::Instance().GetItem(World::Instance().ItemByEntryId(id))->Subject());
  DATE before = 0, after = 0;
  a->get_LastModificationTime(&before);
  ASSERT_EQ(S_OK, a->Save());
  a->get_LastModificationTime(&after);
  EXPECT_GE(after, before);  // a store may stamp two saves with one time
  EXPECT_EQ(L"changed", World::Instance().GetItem(World::Instance().ItemByEntryId(id))->Subject());
  Variant keywords;
  ASSERT_EQ(S_OK, a->get_Fields(Bstr(L"urn:schemas:mailheader:keywords"), keywords.Put()));
  EXPECT_EQ(VT_ARRAY | VT_BSTR, keywords.vt);

  ComPtr<IRdoFolder> tasks;
  ASSERT_EQ(S_OK, session->GetDefaultFolder(kOlTasks, tasks.Put()));
  ComPtr<IRdoMessage> copy;
  ASSERT_EQ(S_OK, a->CopyTo(Variant(static_cast<IDispatch*>(tasks.Get())), copy.Put()));
  ASSERT_TRUE(copy);
  Variant k1, k2, s1, s2;
  utils->GetPropByTag(a.Get(), long(tags::kSearchKey), k1.Put());
  utils->GetPropByTag(copy.Get(), long(tags::kSearchKey), k2.Put());
  utils->GetPropByTag(a.Get(), long(tags::kSourceKey), s1.Put());
  utils->GetPropByTag(copy.Get(), long(tags::kSourceKey), s2.Put());
  Bstr h1, h2, h3, h4;
  utils->BinToHex(k1, h1.Put());
  utils->BinToHex(k2, h2.Put());
  utils->BinToHex(s1, h3.Put());
  utils->BinToHex(s2, h4.Put());
  EXPECT_EQ(h1.Str(), h2.Str());
  EXPECT_NE(h3.Str(), h4.Str());

  // Onto a message: the target keeps its identity and takes the content at its Save.
  ComPtr<IRdoMessage> target = NewSaved(L"target");
  std::wstring targetId = Str(&IRdoMessage::get_EntryID, target.Get());
  ComPtr<IRdoMessage> none;
  ASSERT_EQ(S_OK, a->CopyTo(Variant(static_cast<IDispatch*>(target.Get())), none.Put()));
  EXPECT_FALSE(none);
  ASSERT_EQ(S_OK, target->Save());
  auto info = World::Instance().GetItem(World::Instance().ItemByEntryId(targetId));
  EXPECT_EQ(L"changed", info->Subject());
  EXPECT_EQ(h1.Str(), info->SearchKeyHex());
}

// A server refuses a save over an item that changed since the object read
// it, also when the other edit lands while the object is held; a
// personal-folders file takes the last write.
TEST_F(WrapperTest, AnExchangeSaveOverAChangedItemFailsAndKeepsTheOtherEdit) {
  const std::wstring id = Str(&IRdoMessage::get_EntryID, NewSaved(L"a").Get());
  const ObjId item = World::Instance().ItemByEntryId(id);
  ComPtr<IRdoMessage> first, second;
  ASSERT_EQ(S_OK, session->GetMessageById(Bstr(id), Variant(), Variant(), first.Put()));
  ASSERT_EQ(S_OK, session->GetMessageById(Bstr(id), Variant(), Variant(), second.Put()));
  ASSERT_EQ(S_OK, first->put_Subject(Bstr(L"first")));
  ASSERT_EQ(S_OK, first->Save());
  ASSERT_EQ(S_OK, second->put_Subject(Bstr(L"second")));
  EXPECT_EQ(MAPI_E_OBJECT_CHANGED, second->Save());
  EXPECT_EQ(L"first", World::Instance().GetItem(item)->Subject());
  // Read afresh, the save goes through.
  ASSERT_EQ(S_OK, session->GetMessageById(Bstr(id), Variant(), Variant(), second.Put()));
  ASSERT_EQ(S_OK, second->put_Subject(Bstr(L"second")));
  EXPECT_EQ(S_OK, second->Save());

  // An edit armed for the next save lands first, once.
  int edits = 0;
  World::Instance().EditBeforeNextSave(item, [&] {
    ++edits;
    ItemContent c = World::Instance().GetItem(item)->content;
    c.Set(PropKey::Tag(tags::kSubject), Value::String(L"phone"));
    World::Instance().CommitItem(item, c);
  });
  ASSERT_EQ(S_OK, second->put_Subject(Bstr(L"third")));
  EXPECT_EQ(MAPI_E_OBJECT_CHANGED, second->Save());
  EXPECT_EQ(L"phone", World::Instance().GetItem(item)->Subject());
  EXPECT_EQ(MAPI_E_OBJECT_CHANGED, second->Save());
  EXPECT_EQ(1, edits);

  StoreSpec pst;
  pst.name = L"Local";
  const ObjId local = World::Instance().AddStore(pst);
  ObjId made = 0;
  ASSERT_EQ(S_OK, World::Instance().CreateItem(World::Instance().StoreDefaultFolder(local, kOlContacts), {}, &made));
  const std::wstring localId = World::Instance().ItemEntryId(made);
  ASSERT_EQ(S_OK, session->GetMessageById(Bstr(localId), Variant(), Variant(), first.Put()));
  ASSERT_EQ(S_OK, session->GetMessageById(Bstr(localId), Variant(), Variant(), second.Put()));
  ASSERT_EQ(S_OK, first->Save());
  ASSERT_EQ(S_OK, second->put_Subject(Bstr(L"last")));
  EXPECT_EQ(S_OK, second->Save());
  EXPECT_EQ(L"last", World::Instance().GetItem(made)->Subject());
}

TEST_F(WrapperTest, UtilityPropertiesNamedIdsAndHex) {
  ComPtr<IRdoMessage> a = NewSaved(L"a");
  Variant v;
  ASSERT_EQ(S_OK, utils->GetPropByTag(a.Get(), 0x67ED000B, v.Put()));
  EXPECT_EQ(VT_EMPTY, v.vt);  // missing is success
  ASSERT_EQ(S_OK, utils->GetPropByTag(folder.Get(), long(tags::kMdbProvider), v.Put()));
  EXPECT_EQ(VT_ARRAY | VT_UI1, v.vt);
  long id = 0;
  // Exchange stores have the meeting id mapped; an unknown name is not created unasked.
  EXPECT_EQ(S_OK, utils->GetNamedPropId(a.Get(), Bstr(L"{6ED8DA90-450B-101B-98DA-00AA003F1305}"), Variant(3L), 0, &id));
  EXPECT_GE(static_cast<unsigned long>(id), 0x80000000ul);
  EXPECT_EQ(MAPI_E_NOT_FOUND, utils->GetNamedPropId(a.Get(), Bstr(L"{0F62B4A7-203E-40de-99DA-6F03EE72A090}"),
                                                    Variant(L"Other"), 0, &id));
  ASSERT_EQ(S_OK, utils->GetNamedPropId(a.Get(), Bstr(L"{0F62B4A7-203E-40de-99DA-6F03EE72A090}"), Variant(L"Other"), 1, &id));
  ASSERT_EQ(S_OK, utils->SetPropByTag(a.Get(), id | 3, Variant(7L), 1));
  ASSERT_EQ(S_OK, utils->GetPropByTag(a.Get(), id | 3, v.Put()));
  EXPECT_EQ(7, v.AsLong());
  Variant bin;
  EXPECT_EQ(E_INVALIDARG, utils->HexToBin(Bstr(L"ABC"), bin.Put()));
  EXPECT_EQ(E_INVALIDARG, utils->HexToBin(Bstr(L"ZZ"), bin.Put()));
  ASSERT_EQ(S_OK, utils->HexToBin(Bstr(L"3f2504e0"), bin.Put()));
  Bstr hex;
  ASSERT_EQ(S_OK, utils->BinToHex(bin, hex.Put()));
  EXPECT_EQ(L"3F2504E0", hex.Str());
  // A read-only item refuses a committing write.
  World::Instance().SetReadOnly(World::Instance().ItemByEntryId(Str(&IRdoMessage::get_EntryID, a.Get())), true);
  EXPECT_EQ(E_ACCESSDENIED, utils->SetPropByTag(a.Get(), long(tags::kSearchKey), bin, 1));
}

TEST_F(WrapperTest, OpenAndDeleteFlagsAreRecordedAndFailuresInjected) {
  ComPtr<IRdoMessage> a = NewSaved(L"a");
  Bstr fid, sid;
  folder->get_EntryID(fid.Put());
  folder->get_StoreID(sid.Put());
  ComPtr<IRdoFolder> again;
  ASSERT_EQ(S_OK, session->GetFolderById(fid, Variant(sid.c_str()), Variant(528L), again.Put()));
  ComPtr<IRdoFolder2> second;
  EXPECT_EQ(S_OK, again.As(&second));
  World::Instance().InjectFailure(L"Session.GetFolderById", 1, MAPI_E_FAILONEPROVIDER);
  EXPECT_EQ(MAPI_E_FAILONEPROVIDER, session->GetFolderById(fid, Variant(sid.c_str()), Variant(16L), again.Put()));
  EXPECT_EQ(MAPI_E_NOT_FOUND, session->GetFolderById(Bstr(L"00"), Variant(sid.c_str()), Variant(16L), again.Put()));
  auto opens = World::Instance().CallsOf(L"Session.GetFolderById");
  ASSERT_EQ(3u, opens.size());
  EXPECT_NE(std::wstring::npos, opens[0].detail.find(L"flags=528"));
  ASSERT_EQ(S_OK, a->Delete(Variant(1L)));
  auto deletes = World::Instance().CallsOf(L"Message.Delete");
  ASSERT_EQ(1u, deletes.size());
  EXPECT_NE(std::wstring::npos, deletes[0].detail.find(L"flags=1"));
  World::Instance().InjectFailure(L"Create.OLSafeDistList", 1, REGDB_E_CLASSNOTREG);
  ComPtr<IRdoDistList> list;
  EXPECT_EQ(REGDB_E_CLASSNOTREG, CreateDistList(__uuidof(IRdoDistList), list.PutVoid()));
  EXPECT_EQ(S_OK, CreateDistList(__uuidof(IRdoDistList), list.PutVoid()));
}

// A session whose logon failed (and that was never attached) reaches no
// store until a later logon works.
TEST_F(WrapperTest, ASessionAnswersOnlyOnceLoggedOn) {
  ComPtr<IRdoSession> fresh;
  ASSERT_EQ(S_OK, CreateSession(__uuidof(IRdoSession), fresh.PutVoid()));
  World::Instance().InjectFailure(L"Session.Logon", 1, MAPI_E_LOGON_FAILED);
  EXPECT_EQ(MAPI_E_LOGON_FAILED, fresh->Logon(Variant(), Variant(), Variant(), Variant(), Variant(), Variant()));
  VARIANT_BOOL loggedOn = VARIANT_TRUE;
  EXPECT_EQ(S_OK, fresh->get_LoggedOn(&loggedOn));
  EXPECT_EQ(VARIANT_FALSE, loggedOn);
  ComPtr<IRdoFolder> contacts;
  ComPtr<IRdoStores> stores;
  long mode = -1;
  EXPECT_EQ(MAPI_E_NOT_INITIALIZED, fresh->GetDefaultFolder(kOlContacts, contacts.Put()));
  EXPECT_EQ(MAPI_E_NOT_INITIALIZED, fresh->get_Stores(stores.Put()));
  EXPECT_EQ(MAPI_E_NOT_INITIALIZED, fresh->get_ConnectionMode(&mode));
  EXPECT_FALSE(contacts);
  EXPECT_EQ(S_OK, fresh->Logon(Variant(), Variant(), Variant(), Variant(), Variant(), Variant()));
  EXPECT_EQ(S_OK, fresh->GetDefaultFolder(kOlContacts, contacts.Put()));
}

TEST_F(WrapperTest, SynchronizerThroughTheFolder) {
  ComPtr<IRdoMessage> a = NewSaved(L"a");
  ComPtr<IRdoSynchronizer> sync;
  ASSERT_EQ(S_OK, folder->get_Synchronizer(sync.Put()));
  ComPtr<IRdoChanges> changes;
  ASSERT_EQ(S_OK, sync->GetChanges(Bstr(L""), Variant(), changes.Put()));
  long n = 0;
  changes->get_Count(&n);
  ASSERT_EQ(1, n);
  ComPtr<IRdoChange> c;
  ASSERT_EQ(S_OK, changes->Item(1, c.Put()));
  Bstr eid, state;
  c->get_EntryID(eid.Put());
  EXPECT_EQ(Str(&IRdoMessage::get_EntryID, a.Get()), eid.Str());
  changes->get_NewState(state.Put());
  EXPECT_EQ(MAPI_E_CORRUPT_DATA, sync->GetChanges(Bstr(L"SIMICS1:X:1:00000000"), Variant(), changes.Put()));
  ProfileSettings s = World::Instance().Settings();
  s.icsNullCollection = true;
  World::Instance().SetSettings(s);
  EXPECT_EQ(S_OK, sync->GetChanges(state, Variant(), changes.Put()));
  EXPECT_FALSE(changes);
}

}  // namespace
}  // namespace sim
