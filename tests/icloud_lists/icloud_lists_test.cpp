// The iCloud key list: rebuilt from the folder's table, twins told apart by
// a new key on the newer one, every key naming the item that carries it.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "blocks_fixture.h"
#include "icloud_lists.h"
#include "item_identity.h"
#include "rdo_message_stub.h"
#include "world/times.h"

namespace {

using blocks_testing::BlocksTest;
using blocks_testing::CountOf;
using KeyMap = std::unordered_map<std::wstring, std::wstring>;

constexpr wchar_t kKey[] = L"0123456789ABCDEF0123456789ABCDEF";
constexpr wchar_t kOtherKey[] = L"FEDCBA9876543210FEDCBA9876543210";

class ICloudListTest : public BlocksTest {
 protected:
  void SetUp() override {
    BlocksTest::SetUp();
    sim::StoreSpec desc;
    desc.name = L"iCloud";
    desc.providerHex = kICloudProvider;
    store_ = World().AddStore(desc);
    folder_ = AddFolder(store_, L"Family");
    object_ = FolderObject(folder_, true);
  }

  CMAPIFolderObject* FolderObject(sim::ObjId folder, bool iCloud, bool exchange = false) {
    auto info = World().GetFolder(folder);
    auto* f = new CMAPIFolderObject(nullptr, 0, exchange, iCloud, false);
    f->Events->EntryID = com::Bstr(info->entryId);
    f->Events->StoreID = com::Bstr(info->storeId);
    f->DisplayName = com::Bstr(L"M:" + info->name);
    loose_.push_back(f);
    return f;
  }
  // Each item made later carries a later time: an iCloud store keeps whole
  // seconds, so items made within one second would tie.
  sim::ObjId ItemWithKey(const wchar_t* subject, const wchar_t* hex) {
    sim::Bytes key;
    sim::FromHex(hex, &key);
    sim::ItemContent c;
    c.Set(sim::PropKey::Tag(sim::tags::kSearchKey), sim::Value::Binary(key));
    c.Set(sim::PropKey::Tag(sim::tags::kLastModificationTime),
          sim::Value::Date(sim::times::NowUtc() - (60 - ++made_) * sim::times::kSecond));
    return AddItem(folder_, subject, {}, L"IPM.Contact", c);
  }
  // A later commit of the item as it is: only its modification time moves.
  void Touch(sim::ObjId item) { ASSERT_EQ(S_OK, World().CommitItem(item, World().GetItem(item)->content)); }
  HRESULT Rebuild(CMAPIFolderObject* f, sim::ObjId folder) {
    return CreateList(f->Events, session_.Get(), utils_.Get(), OpenFolder(folder).Get());
  }
  std::wstring Eid(sim::ObjId item) { return World().GetItem(item)->entryId; }
  // Each key of the list names the item that carries it.
  void ExpectEveryKeyOnItsItem(const KeyMap& list) {
    for (const auto& [key, entryId] : list)
      EXPECT_EQ(key, World().GetItem(World().ItemByEntryId(entryId))->SearchKeyHex()) << entryId;
  }

  sim::ObjId store_ = 0, folder_ = 0;
  CMAPIFolderObject* object_ = nullptr;
  int made_ = 0;
};

TEST_F(ICloudListTest, TheNewerTwinGetsANewKeyAndEachKeyNamesItsBearer) {
  const sim::ObjId ada = ItemWithKey(L"Ada", kKey);
  const sim::ObjId adaCopy = ItemWithKey(L"Ada (copy)", kKey);   // the row read later, newer
  const sim::ObjId bob = ItemWithKey(L"Bob", kOtherKey);
  const sim::ObjId bobCopy = ItemWithKey(L"Bob (copy)", kOtherKey);
  Touch(bob);  // now the item listed first is the newer one

  ASSERT_EQ(S_OK, Rebuild(object_, folder_));
  EXPECT_EQ(kKey, SearchKeyOf(ada));
  EXPECT_EQ(kOtherKey, SearchKeyOf(bobCopy));
  EXPECT_NE(kKey, SearchKeyOf(adaCopy));
  EXPECT_NE(kOtherKey, SearchKeyOf(bob));
  EXPECT_EQ(32u, SearchKeyOf(adaCopy).size());
  EXPECT_EQ(32u, SearchKeyOf(bob).size());

  const KeyMap list = object_->Events->ICloudListSnapshot();
  EXPECT_EQ(4u, list.size());
  EXPECT_EQ(Eid(ada), list.at(kKey));
  EXPECT_EQ(Eid(bobCopy), list.at(kOtherKey));
  ExpectEveryKeyOnItsItem(list);
  EXPECT_EQ(2u, CountOf(DebugLogText(), "FilliCoundList::DUBLICATED iCloud Item"));

  // Repaired once, the folder has nothing more to repair.
  World().ClearCalls();
  ASSERT_EQ(S_OK, Rebuild(object_, folder_));
  EXPECT_EQ(0u, CallCount(L"Utils.SetPropByTag"));
  EXPECT_EQ(list, object_->Events->ICloudListSnapshot());
}

TEST_F(ICloudListTest, ThreeTwinsEndWithThreeKeys) {
  const sim::ObjId a = ItemWithKey(L"A", kKey);
  const sim::ObjId b = ItemWithKey(L"B", kKey);
  const sim::ObjId c = ItemWithKey(L"C", kKey);
  ASSERT_EQ(S_OK, Rebuild(object_, folder_));
  EXPECT_EQ(kKey, SearchKeyOf(a));
  EXPECT_NE(SearchKeyOf(b), SearchKeyOf(c));
  EXPECT_EQ(3u, object_->Events->ICloudListSize());
  ExpectEveryKeyOnItsItem(object_->Events->ICloudListSnapshot());
}

TEST_F(ICloudListTest, TheListStaysAsItWasWhereNothingIsToBeRead) {
  const KeyMap earlier = {{L"AA", L"BB"}};

  // Outside iCloud mode the table is read, nothing repaired or listed.
  ItemWithKey(L"A", kKey);
  ItemWithKey(L"B", kKey);
  CMAPIFolderObject* plain = FolderObject(folder_, false);
  plain->Events->ReplaceICloudList(earlier);
  ASSERT_EQ(S_OK, Rebuild(plain, folder_));
  EXPECT_EQ(earlier, plain->Events->ICloudListSnapshot());
  EXPECT_EQ(0u, CallCount(L"Utils.SetPropByTag"));

  // An empty folder keeps the previous list.
  const sim::ObjId empty = AddFolder(store_, L"Empty");
  object_->Events->ReplaceICloudList(earlier);
  ASSERT_EQ(S_OK, Rebuild(object_, empty));
  EXPECT_EQ(earlier, object_->Events->ICloudListSnapshot());

  // Exchange mode: at once, without a table.
  CMAPIFolderObject* exchange = FolderObject(folder_, true, true);
  World().ClearCalls();
  EXPECT_EQ(S_OK, Rebuild(exchange, folder_));
  EXPECT_EQ(0u, CallCount(L"Items.Table"));

  // Without a folder there is no collection; without engine nothing runs.
  EXPECT_EQ(E_FAIL, CreateList(object_->Events, session_.Get(), utils_.Get(), nullptr));
  g_pSyncEngine = nullptr;
  EXPECT_EQ(E_FAIL, Rebuild(object_, folder_));
  g_pSyncEngine = engine_;
  EXPECT_EQ(earlier, object_->Events->ICloudListSnapshot());

  // The overload that opens the sink's own folder.
  EXPECT_EQ(S_OK, CreateList(object_->Events, session_.Get(), utils_.Get()));
  EXPECT_EQ(2u, object_->Events->ICloudListSize());
}

TEST_F(ICloudListTest, FailuresEndTheWalkOrTheRepairWithoutAWrongEntry) {
  const sim::ObjId a = ItemWithKey(L"A", kKey);
  const sim::ObjId b = ItemWithKey(L"B", kKey);

  World().InjectFailure(L"Items.Table", 1, MAPI_E_NO_SUPPORT);
  object_->Events->ReplaceICloudList(KeyMap{{L"AA", L"BB"}});
  EXPECT_EQ(MAPI_E_NO_SUPPORT, Rebuild(object_, folder_));
  EXPECT_NE(std::string::npos, ErrorLogText().find("no mapitable from iCloud"));
  EXPECT_EQ(1u, object_->Events->ICloudListSize());

  // A twin that cannot be written keeps its key; the next rebuild tries again.
  World().SetReadOnly(b, true);
  ASSERT_EQ(S_OK, Rebuild(object_, folder_));
  EXPECT_NE(std::string::npos, ErrorLogText().find("FilliCoundList::SetNewKey"));
  EXPECT_EQ(kKey, SearchKeyOf(a));
  EXPECT_EQ(kKey, SearchKeyOf(b));
  EXPECT_EQ(1u, object_->Events->ICloudListSize());
  ExpectEveryKeyOnItsItem(object_->Events->ICloudListSnapshot());

  World().SetReadOnly(b, false);
  World().InjectFailure(L"Table.EmptyBatch", 1, S_OK);
  EXPECT_EQ(S_OK, Rebuild(object_, folder_)) << "a batch that comes back empty ends the walk";
  ASSERT_EQ(S_OK, Rebuild(object_, folder_));
  EXPECT_NE(SearchKeyOf(a), SearchKeyOf(b));
}

// ---- over fakes: rows, dates and EntryIDs the simulation does not make ----

template <class I>
class Fake : public I {
 public:
  STDMETHODIMP QueryInterface(REFIID iid, void** ppv) override {
    if (iid != IID_IUnknown && iid != IID_IDispatch && iid != __uuidof(I)) {
      *ppv = nullptr;
      return E_NOINTERFACE;
    }
    *ppv = static_cast<I*>(this);
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
  STDMETHODIMP_(ULONG) Release() override {
    const ULONG n = --refs_;
    if (n == 0) delete this;
    return n;
  }
  STDMETHODIMP GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return E_NOTIMPL;
  }
  ULONG Refs() const { return refs_; }

 protected:
  virtual ~Fake() = default;
  ULONG refs_ = 1;
};

// A contents table of fixed rows that records its calls.
class FakeTable final : public Fake<IRdoTable> {
 public:
  std::vector<std::pair<com::Variant, com::Variant>> rows;
  std::vector<long> columns, batches, seeks;

  STDMETHODIMP SetColumns(VARIANT tags) override {
    if (tags.vt != (VT_ARRAY | VT_I4)) return E_INVALIDARG;
    LONG upper = -1;
    SafeArrayGetUBound(tags.parray, 1, &upper);
    for (LONG i = 0; i <= upper; ++i) {
      long tag = 0;
      SafeArrayGetElement(tags.parray, &i, &tag);
      columns.push_back(tag);
    }
    return S_OK;
  }
  STDMETHODIMP get_RowCount(long* count) override {
    *count = long(rows.size());
    return S_OK;
  }
  STDMETHODIMP Sort(long, VARIANT) override { return E_NOTIMPL; }
  STDMETHODIMP GetRows(long count, VARIANT* out) override {
    batches.push_back(count);
    VariantInit(out);
    const long n = std::min<long>(count, long(rows.size()) - cursor_);
    if (n <= 0) return S_OK;
    SAFEARRAY* batch = SafeArrayCreateVector(VT_VARIANT, 0, ULONG(n));
    for (LONG i = 0; i < n; ++i) {
      SAFEARRAY* row = SafeArrayCreateVector(VT_VARIANT, 0, 2);
      LONG k = 0, e = 1;
      SafeArrayPutElement(row, &k, &rows[size_t(cursor_ + i)].first);
      SafeArrayPutElement(row, &e, &rows[size_t(cursor_ + i)].second);
      VARIANT v;
      v.vt = VT_ARRAY | VT_VARIANT;
      v.parray = row;
      SafeArrayPutElement(batch, &i, &v);
      SafeArrayDestroy(row);
    }
    cursor_ += n;
    out->vt = VT_ARRAY | VT_VARIANT;
    out->parray = batch;
    return S_OK;
  }
  STDMETHODIMP SeekRow(long row) override {
    seeks.push_back(row);
    cursor_ = row;
    return S_OK;
  }
  STDMETHODIMP Attach(IRdoFolder*) override { return E_NOTIMPL; }

 private:
  long cursor_ = 0;
};

class FakeItems final : public Fake<IRdoItems> {
 public:
  explicit FakeItems(FakeTable* table) : table_(table) {}
  STDMETHODIMP get_Count(long*) override { return E_NOTIMPL; }
  STDMETHODIMP Find(BSTR, IRdoMessage**) override { return E_NOTIMPL; }
  STDMETHODIMP FindNext(IRdoMessage**) override { return E_NOTIMPL; }
  STDMETHODIMP GetFirst(IRdoMessage**) override { return E_NOTIMPL; }
  STDMETHODIMP GetNext(IRdoMessage**) override { return E_NOTIMPL; }
  STDMETHODIMP Sort(BSTR, VARIANT) override { return E_NOTIMPL; }
  STDMETHODIMP Add(VARIANT, IRdoMessage**) override { return E_NOTIMPL; }
  STDMETHODIMP get_Table(IRdoTable** table) override {
    table_->AddRef();
    *table = table_;
    return S_OK;
  }
  STDMETHODIMP Item(long, IRdoMessage**) override { return E_NOTIMPL; }

 private:
  FakeTable* table_;
};

class DatedMessage final : public RdoMessageStub {
 public:
  explicit DatedMessage(std::wstring entryId, DATE date) : entryId_(std::move(entryId)), date_(date) {}
  STDMETHODIMP QueryInterface(REFIID iid, void** ppv) override {
    if (iid != IID_IUnknown && iid != IID_IDispatch && iid != __uuidof(IRdoMessage)) {
      *ppv = nullptr;
      return E_NOINTERFACE;
    }
    *ppv = static_cast<IRdoMessage*>(this);
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
  STDMETHODIMP_(ULONG) Release() override {
    const ULONG n = --refs_;
    if (n == 0) delete this;
    return n;
  }
  STDMETHODIMP get_LastModificationTime(DATE* date) override {
    *date = date_;
    return S_OK;
  }
  const std::wstring& EntryId() const { return entryId_; }
  DATE Date() const { return date_; }

 private:
  std::wstring entryId_;
  DATE date_;
  ULONG refs_ = 1;
};

// Opens DatedMessages by EntryID (only with the expected StoreID and flags).
class FakeSession final : public Fake<IRdoSession> {
 public:
  std::map<std::wstring, DATE> dates;
  std::vector<std::wstring> opened;
  std::wstring storeId;

  STDMETHODIMP GetMessageById(BSTR entryId, VARIANT store, VARIANT flags, IRdoMessage** message) override {
    *message = nullptr;
    opened.push_back(entryId);
    if (store.vt != VT_BSTR || storeId != store.bstrVal || flags.vt != VT_I4 || flags.lVal != 16) return E_INVALIDARG;
    auto it = dates.find(entryId);
    if (it == dates.end()) return MAPI_E_NOT_FOUND;
    *message = new DatedMessage(entryId, it->second);
    return S_OK;
  }
  STDMETHODIMP put_MapiSession(IUnknown*) override { return E_NOTIMPL; }
  STDMETHODIMP get_MapiSession(IUnknown**) override { return E_NOTIMPL; }
  STDMETHODIMP Logon(VARIANT, VARIANT, VARIANT, VARIANT, VARIANT, VARIANT) override { return E_NOTIMPL; }
  STDMETHODIMP Logoff() override { return E_NOTIMPL; }
  STDMETHODIMP get_LoggedOn(VARIANT_BOOL*) override { return E_NOTIMPL; }
  STDMETHODIMP get_ConnectionMode(long*) override { return E_NOTIMPL; }
  STDMETHODIMP get_ProfileName(BSTR*) override { return E_NOTIMPL; }
  STDMETHODIMP get_ExchangeVersion(BSTR*) override { return E_NOTIMPL; }
  STDMETHODIMP get_CurrentUser(IRdoAddressEntry**) override { return E_NOTIMPL; }
  STDMETHODIMP get_Stores(IRdoStores**) override { return E_NOTIMPL; }
  STDMETHODIMP GetStoreById(BSTR, VARIANT, IRdoStore**) override { return E_NOTIMPL; }
  STDMETHODIMP GetDefaultFolder(long, IRdoFolder**) override { return E_NOTIMPL; }
  STDMETHODIMP GetFolderById(BSTR, VARIANT, VARIANT, IRdoFolder**) override { return E_NOTIMPL; }
  STDMETHODIMP get_AddressBook(IRdoAddressBook**) override { return E_NOTIMPL; }
  STDMETHODIMP UtcToLocal(DATE, DATE*) override { return E_NOTIMPL; }
};

// Converts through the simulation's utility object and records key writes.
class FakeUtils final : public Fake<IRdoUtils> {
 public:
  explicit FakeUtils(IRdoUtils* real) : real_(real) {}
  struct Write {
    std::wstring entryId, hex;
    long tag;
    short flags;
  };
  std::vector<Write> writes;

  STDMETHODIMP SetPropByTag(IUnknown* object, long tag, VARIANT value, short flags) override {
    com::Bstr hex;
    real_->BinToHex(value, hex.Put());
    writes.push_back({static_cast<DatedMessage*>(static_cast<IRdoMessage*>(object))->EntryId(), hex.Str(), tag, flags});
    return S_OK;
  }
  STDMETHODIMP BinToHex(VARIANT binary, BSTR* hex) override { return real_->BinToHex(binary, hex); }
  STDMETHODIMP HexToBin(BSTR hex, VARIANT* binary) override { return real_->HexToBin(hex, binary); }
  // Only the stamp of a dated message.
  STDMETHODIMP GetPropByTag(IUnknown* object, long tag, VARIANT* value) override {
    VariantInit(value);
    if (tag != 0x30080040) return E_NOTIMPL;
    value->vt = VT_DATE;
    value->date = static_cast<DatedMessage*>(static_cast<IRdoMessage*>(object))->Date();
    return S_OK;
  }
  STDMETHODIMP GetNamedPropId(IUnknown*, BSTR, VARIANT, short, long*) override { return E_NOTIMPL; }
  STDMETHODIMP GetMessageById(BSTR, VARIANT, VARIANT, IRdoMessage**) override { return E_NOTIMPL; }
  STDMETHODIMP CompareIds(BSTR, BSTR, VARIANT_BOOL*) override { return E_NOTIMPL; }
  STDMETHODIMP get_Version(BSTR*) override { return E_NOTIMPL; }
  STDMETHODIMP ToTableTimeBase(DATE, DATE*) override { return E_NOTIMPL; }

 private:
  IRdoUtils* real_;
};

class ICloudListFakesTest : public ICloudListTest {
 protected:
  void SetUp() override {
    ICloudListTest::SetUp();
    table_ = new FakeTable;
    items_ = new FakeItems(table_);
    sessionFake_ = new FakeSession;
    sessionFake_->storeId = object_->Events->StoreID.Str();
    utilsFake_ = new FakeUtils(utils_.Get());
  }
  void TearDown() override {
    EXPECT_EQ(1u, items_->Refs());
    EXPECT_EQ(1u, sessionFake_->Refs());
    items_->Release();
    EXPECT_EQ(1u, table_->Refs()) << "the walk lets go of the table";
    table_->Release();
    sessionFake_->Release();
    utilsFake_->Release();
    ICloudListTest::TearDown();
  }
  com::Variant Bin(const std::wstring& hex) {
    com::Variant v;
    EXPECT_EQ(S_OK, utils_->HexToBin(com::Bstr(hex), v.Put()));
    return v;
  }
  void AddRow(const std::wstring& key, com::Variant entryId) { table_->rows.emplace_back(Bin(key), std::move(entryId)); }
  HRESULT Fill() { return FilliCoundList(object_->Events, sessionFake_, utilsFake_, items_); }

  FakeTable* table_ = nullptr;
  FakeItems* items_ = nullptr;
  FakeSession* sessionFake_ = nullptr;
  FakeUtils* utilsFake_ = nullptr;
};

TEST_F(ICloudListFakesTest, EqualDatesReKeyTheListedItemAndUnreadableEntryIdsAreLeftOut) {
  AddRow(kKey, Bin(L"E1E1"));
  AddRow(kKey, Bin(L"E2E2"));
  AddRow(kOtherKey, com::Variant(L"not binary"));
  AddRow(L"ABCD", com::Variant());  // no EntryID at all: left out quietly
  sessionFake_->dates = {{L"E1E1", 45000.5}, {L"E2E2", 45000.5}};

  ASSERT_EQ(S_OK, Fill());
  EXPECT_EQ((std::vector<long>{0x300B0102, 0x0FFF0102}), table_->columns);
  EXPECT_EQ((std::vector<std::wstring>{L"E2E2", L"E1E1"}), sessionFake_->opened) << "the row's item, then the listed";
  ASSERT_EQ(1u, utilsFake_->writes.size());
  const FakeUtils::Write& w = utilsFake_->writes[0];
  EXPECT_EQ(L"E1E1", w.entryId) << "on equal dates the item listed first gets the new key";
  EXPECT_EQ(0x300B0102, w.tag);
  EXPECT_EQ(1, w.flags);
  EXPECT_EQ(32u, w.hex.size());
  const KeyMap expected = {{kKey, L"E2E2"}, {w.hex, L"E1E1"}};
  EXPECT_EQ(expected, object_->Events->ICloudListSnapshot());
  EXPECT_EQ(1u, CountOf(ErrorLogText(), "FillMobileMeList0"));
}

TEST_F(ICloudListFakesTest, RowsComeInBatchesOf400AndAFailedOpenLeavesTheKey) {
  for (int i = 0; i < 401; ++i) {
    wchar_t key[16], eid[16];
    swprintf(key, 16, L"%08X", i);
    swprintf(eid, 16, L"EE%06X", i);
    AddRow(key, Bin(eid));
  }
  AddRow(L"00000000", Bin(L"FFFF"));  // a twin whose item cannot be opened
  ASSERT_EQ(S_OK, Fill());
  EXPECT_EQ((std::vector<long>{400, 2}), table_->batches);
  EXPECT_EQ((std::vector<long>{0, 400}), table_->seeks);
  EXPECT_TRUE(utilsFake_->writes.empty());
  EXPECT_NE(std::string::npos, ErrorLogText().find("FilliCoundList::Dublicated item 1"));
  // Unrepaired, the twin takes the key over; both items still carry it.
  EXPECT_EQ(401u, object_->Events->ICloudListSize());
  EXPECT_EQ(L"FFFF", object_->Events->ICloudListSnapshot().at(L"00000000"));
}

}  // namespace
