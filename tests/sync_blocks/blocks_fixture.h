// What the building-block tests share: a sandboxed HKCU and temporary
// folder, the global locks, the debug and error logs in the sandbox, an
// engine whose session and utility object are the in-process simulation's,
// and helpers that make folder objects and items in the simulated world.
#pragma once
#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "bstr.h"
#include "com_ptr.h"
#include "folder_object.h"
#include "rdo.h"
#include "sandbox.h"
#include "sync_engine.h"
#include "variant.h"
#include "world/world.h"

namespace blocks_testing {

class BlocksTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  sim::World& World() { return sim::World::Instance(); }

  // A store and one of its folders (contacts unless told).
  sim::ObjId AddStore(const wchar_t* name, long kind);
  sim::ObjId AddFolder(sim::ObjId store, const wchar_t* name, long itemType = sim::kOlContactItem);
  std::wstring EntryIdOf(sim::ObjId folder);

  // A folder object for `folder`, in the engine's list (the engine deletes
  // it). Its sink has the folder's EntryID and StoreID.
  CMAPIFolderObject* AddFolderObject(sim::ObjId folder, int isStandard, const wchar_t* category,
                                     bool exchange = false, bool inEngineList = true);

  // Items: a committed item in `folder`.
  sim::ObjId AddItem(sim::ObjId folder, const wchar_t* subject, const std::vector<std::wstring>& categories = {},
                     const wchar_t* messageClass = L"IPM.Contact", sim::ItemContent extra = {});
  com::ComPtr<IRdoMessage> Open(sim::ObjId item);
  com::ComPtr<IRdoFolder> OpenFolder(sim::ObjId folder);
  std::wstring SearchKeyOf(sim::ObjId item) { return World().GetItem(item)->SearchKeyHex(); }
  std::vector<std::wstring> KeywordsOf(sim::ObjId item);
  long SensitivityOf(sim::ObjId item);
  size_t CallCount(const wchar_t* op) { return World().CallsOf(op).size(); }

  std::string DebugLogText() const { return testing_support::ReadFileBytes(debugLog_); }
  std::string ErrorLogText() const { return testing_support::ReadFileBytes(errorLog_); }

  std::unique_ptr<testing_support::Sandbox> box_;
  CSyncEngine* engine_ = nullptr;
  com::ComPtr<IRdoSession> session_;
  com::ComPtr<IRdoUtils> utils_;
  std::vector<CMAPIFolderObject*> loose_;  // folder objects outside the engine's list
  std::wstring debugLog_, errorLog_;
};

// Occurrences of `what` in `text`.
size_t CountOf(const std::string& text, const std::string& what);

}  // namespace blocks_testing
