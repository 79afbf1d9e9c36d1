// A one-job world for the pass: the engine over a fake Outlook, a master
// contacts folder "Archive/Work" and the default Contacts as its partner,
// with folder objects that have no worker, so that the test thread runs
// the passes itself through its own wrapper session.
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "engine_fixture.h"
#include "folder_object.h"
#include "logs.h"
#include "sync_seams.h"
#include "variant.h"

namespace pass_testing {

class PassTest : public engine_testing::EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    ASSERT_NE(MakeEngine(L"16.0.0.6000"), nullptr);
    // The engine's session thread opens the Inbox once to test the store;
    // done before the test begins, it cannot take a failure the test injects.
    ASSERT_TRUE(WaitFor([this] { return engine_->IsReady(); }, 10000));
    ASSERT_EQ(S_OK, CreateRdoObject(kRdoSessionProgId, __uuidof(IRdoSession), session.PutVoid()));
    ASSERT_EQ(S_OK, CreateRdoObject(kRdoUtilsProgId, __uuidof(IRdoUtils), utils.PutVoid()));
    com::Variant none;
    ASSERT_EQ(S_OK, session->Logon(none, none, none, none, none, none));
    com::ComPtr<IRdoFolder> contacts;
    ASSERT_EQ(S_OK, session->GetDefaultFolder(10, contacts.Put()));
    contacts->get_EntryID(slaveId.Put());
    contacts->get_StoreID(slaveStore.Put());
    sim::SimStore archive;
    archive.name = L"Archive";
    masterStore = com::Bstr(sim_->AddStore(archive));
    masterId = com::Bstr(sim_->AddFolder(sim_->DefaultFolder(masterStore.Str(), 0), L"Work", 2));
    ASSERT_FALSE(masterId.Empty());

    master = new CMAPIFolderObject(nullptr, 0, false, false, false);
    master->Events->EntryID = masterId;
    master->Events->StoreID = masterStore;
    SetFolderCategory(master->Categorie, L"Work");
    slave = new CMAPIFolderObject(nullptr, 1, false, false, false);
    slave->Events->EntryID = slaveId;
    slave->Events->StoreID = slaveStore;
    slave->Events->BOTH_DIRECTIONS = true;
    master->Partner = slave;
  }
  void TearDown() override {
    delete master;
    delete slave;
    utils.Reset();
    session.Reset();
    EngineTest::TearDown();
  }

  std::wstring AddMasterItem(const std::wstring& subject, const std::wstring& messageClass = L"IPM.Contact") {
    sim::SimItem item;
    item.messageClass = messageClass;
    item.subject = subject;
    return sim_->AddItem(masterId.Str(), item);
  }
  HRESULT Pass() { return checkIfSomethingChanged(master, session.Get(), utils.Get()); }
  std::vector<std::wstring> SlaveItems() { return sim_->Items(slaveId.Str()); }
  std::wstring Text(const std::wstring& entryId, const wchar_t* dasl) {
    com::Variant v;
    sim_->ReadItem(entryId, dasl, v.Put());
    if (v.vt == (VT_ARRAY | VT_BSTR)) {
      std::wstring joined;
      LONG lo = 0, hi = -1;
      SafeArrayGetLBound(v.parray, 1, &lo);
      SafeArrayGetUBound(v.parray, 1, &hi);
      for (LONG i = lo; i <= hi; ++i) {
        BSTR s = nullptr;
        SafeArrayGetElement(v.parray, &i, &s);
        joined += (joined.empty() ? L"" : L";") + std::wstring(s ? s : L"");
        SysFreeString(s);
      }
      return joined;
    }
    return v.IsEmpty() ? L"" : v.AsString();
  }
  size_t CallsOf(const wchar_t* op) {
    auto calls = sim_->Calls();
    return size_t(std::count_if(calls.begin(), calls.end(), [&](const sim::SimCall& c) { return c.op == op; }));
  }
  size_t Writes() { return CallsOf(L"Message.CopyTo") + CallsOf(L"Message.Save") + CallsOf(L"Message.Delete"); }
  std::wstring SearchKeyOf(const std::wstring& entryId) {
    return Text(entryId, L"http://schemas.microsoft.com/mapi/proptag/0x300B0102");
  }

  com::ComPtr<IRdoSession> session;
  com::ComPtr<IRdoUtils> utils;
  com::Bstr masterStore, masterId, slaveStore, slaveId;
  CMAPIFolderObject* master = nullptr;
  CMAPIFolderObject* slave = nullptr;
};

}  // namespace pass_testing
