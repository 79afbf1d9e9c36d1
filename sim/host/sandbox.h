// A scenario's own registry, temporary folder and data folder, so that
// scenarios run side by side: HKCU is redirected to a scenario key of the
// real hive (RegOverridePredefKey), TMP and TEMP point at a scenario folder,
// and the local application-data folder (through "User Shell Folders" in
// the redirected hive) at another. Entering empties all three.
#pragma once
#include <string>

namespace host {

class Sandbox {
 public:
  Sandbox() = default;
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;
  ~Sandbox() { Leave(); }

  // Empty on success, else the reason.
  std::wstring Enter(const std::wstring& name);
  // Restores HKCU and deletes the scenario key; the folders stay for inspection.
  void Leave();

  const std::wstring& TempDir() const { return temp_; }        // ends in a backslash
  const std::wstring& LocalAppData() const { return appData_; }

 private:
  std::wstring key_, temp_, appData_;
  bool active_ = false;
};

}  // namespace host
