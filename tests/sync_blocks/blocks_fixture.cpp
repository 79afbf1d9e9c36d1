#include "blocks_fixture.h"

#include "addin_module.h"
#include "locks.h"
#include "logs.h"
#include "rdo/rdo_common.h"

namespace blocks_testing {

size_t CountOf(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
  return n;
}

void BlocksTest::SetUp() {
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  box_ = std::make_unique<testing_support::Sandbox>();
  InitializeGlobalLocks();
  if (!g_hInstance) testing_support::LoadAddInModule();  // the string tables
  debugLog_ = box_->Temp() + L"debug.log";
  errorLog_ = box_->Temp() + L"error.log";
  SetDebugLogPath(debugLog_.c_str());
  SetErrorLogPath(errorLog_.c_str());
  g_bDebugLog = true;
  g_bErrorLogEnabled = true;

  World().Reset();
  ASSERT_EQ(S_OK, sim::CreateSession(__uuidof(IRdoSession), session_.PutVoid()));
  ASSERT_EQ(S_OK, sim::CreateUtils(__uuidof(IRdoUtils), utils_.PutVoid()));
  com::Variant none;
  ASSERT_EQ(S_OK, session_->Logon(none, none, none, none, none, none));

  engine_ = new CSyncEngine(nullptr, debugLog_.c_str());
  g_pSyncEngine = engine_;
  engine_->RdoSession = session_;
  engine_->MapiUtils = utils_;
  engine_->LockTime = 60;
}

void BlocksTest::TearDown() {
  for (CMAPIFolderObject* f : loose_) delete f;
  loose_.clear();
  delete engine_;
  engine_ = nullptr;
  g_pSyncEngine = nullptr;
  utils_ = nullptr;
  session_ = nullptr;
  World().Reset();
  g_bDebugLog = false;
  box_.reset();
  CoUninitialize();
}

sim::ObjId BlocksTest::AddStore(const wchar_t* name, long kind) {
  sim::StoreSpec desc;
  desc.name = name;
  desc.kind = kind;
  return World().AddStore(desc);
}

sim::ObjId BlocksTest::AddFolder(sim::ObjId store, const wchar_t* name, long itemType) {
  return World().AddFolder(World().GetStore(store)->root, name, itemType);
}

std::wstring BlocksTest::EntryIdOf(sim::ObjId folder) { return World().GetFolder(folder)->entryId; }

CMAPIFolderObject* BlocksTest::AddFolderObject(sim::ObjId folder, int isStandard, const wchar_t* category,
                                               bool exchange, bool inEngineList) {
  auto info = World().GetFolder(folder);
  auto* f = new CMAPIFolderObject(nullptr, isStandard, exchange, false, false);
  f->Events->EntryID = com::Bstr(info->entryId);
  f->Events->StoreID = com::Bstr(info->storeId);
  f->Events->IsStandard = isStandard;
  f->Events->BOTH_DIRECTIONS = isStandard != 0;
  f->DisplayName = com::Bstr((isStandard ? L"S:" : L"M:") + info->name);
  SetFolderCategory(f->Categorie, category ? category : L"");
  if (inEngineList)
    engine_->AddFolderObject(f);
  else
    loose_.push_back(f);
  return f;
}

sim::ObjId BlocksTest::AddItem(sim::ObjId folder, const wchar_t* subject, const std::vector<std::wstring>& categories,
                               const wchar_t* messageClass, sim::ItemContent extra) {
  sim::ItemContent c = std::move(extra);
  c.Set(sim::PropKey::Tag(sim::tags::kSubject), sim::Value::String(subject));
  c.Set(sim::PropKey::Tag(sim::tags::kMessageClass), sim::Value::String(messageClass));
  if (!categories.empty()) c.Set(sim::PropKey::Keywords(), sim::Value::List(categories));
  sim::ObjId id = 0;
  EXPECT_EQ(S_OK, World().CreateItem(folder, std::move(c), &id));
  return id;
}

com::ComPtr<IRdoMessage> BlocksTest::Open(sim::ObjId item) {
  com::ComPtr<IRdoMessage> m;
  EXPECT_EQ(S_OK, sim::NewMessage(item, m.Put()));
  return m;
}

com::ComPtr<IRdoFolder> BlocksTest::OpenFolder(sim::ObjId folder) {
  com::ComPtr<IRdoFolder> f;
  EXPECT_EQ(S_OK, sim::NewFolder(folder, f.Put()));
  return f;
}

std::vector<std::wstring> BlocksTest::KeywordsOf(sim::ObjId item) {
  const auto info = World().GetItem(item);
  const sim::Value* v = info ? info->content.Find(sim::PropKey::Keywords()) : nullptr;
  return v ? v->list : std::vector<std::wstring>{};
}

long BlocksTest::SensitivityOf(sim::ObjId item) {
  const auto info = World().GetItem(item);
  const sim::Value* v = info ? info->content.Find(sim::PropKey::Tag(sim::tags::kSensitivity)) : nullptr;
  return v ? long(v->num) : 0;
}

}  // namespace blocks_testing
