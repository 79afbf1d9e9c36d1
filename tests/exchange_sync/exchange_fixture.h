// What the Exchange tests share: a mailbox (an Exchange store) with a
// master folder "Team" and the default Contacts folder, their folder objects
// paired, and the state files in the sandbox's data folder.
#pragma once
#include <string>

#include "blocks_fixture.h"
#include "exchange_sync.h"
#include "rdo_folder.h"
#include "state_files.h"

namespace exchange_testing {

class ExchangeTest : public blocks_testing::BlocksTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // The worker's set-up: opens the folder and prepares it; a folder without
  // state then takes its present contents as the starting point.
  void Prepare(CMAPIFolderObject* f);
  void Run(CMAPIFolderObject* f) { RCI(f, session_.Get(), utils_.Get()); }

  std::wstring StateFile(CMAPIFolderObject* f, const wchar_t* suffix) { return StateFilePath(f, suffix); }
  std::string Stored(CMAPIFolderObject* f, const wchar_t* suffix);
  // Lines of a cache file.
  size_t StoredLines(CMAPIFolderObject* f, const wchar_t* suffix);
  // How many items a run handed to the master-side processing so far.
  size_t HandedOn() { return blocks_testing::CountOf(DebugLogText(), "RCI:process Exchange item in a master folder"); }
  std::wstring SourceKeyOf(sim::ObjId item) { return World().GetItem(item)->SourceKeyHex(); }
  std::wstring ChangeKeyOf(sim::ObjId item) { return World().GetItem(item)->ChangeKeyHex(); }
  void Touch(sim::ObjId item, const wchar_t* subject);

  std::wstring dataDir_;
  sim::ObjId mailbox_ = 0, team_ = 0, contacts_ = 0;
  CMAPIFolderObject* master_ = nullptr;
  CMAPIFolderObject* default_ = nullptr;
};

}  // namespace exchange_testing
