// simoutlook.exe: the simulated Outlook host and scenario runner.
//
//   simoutlook [--name NAME] [--pin-addin] SCENARIO.scn
//
// --pin-addin (a test setting) holds a reference of its own on Tallowby.dll
// for the whole run, so that a `restart` finds the add-in still loaded and
// the scenario fails as it must when the add-in leaks an object or a lock.
//
// Runs the scenario in a sandbox of its own (registry, temporary and data
// folders named after NAME, by default the file's name) and exits 0 when
// every expectation held, 1 when one failed, 2 when the scenario did not
// parse or the simulation could not be set up. The add-in's clock runs
// TALLOWBY_CLOCK_SCALE times faster (default 60).
#include <windows.h>
#include <objbase.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "addin_host.h"
#include "box_watcher.h"
#include "control/sim_control.h"
#include "output.h"
#include "outlook/host_side.h"
#include "runner.h"
#include "sandbox.h"
#include "script.h"

namespace {

constexpr wchar_t kDefaultClockScale[] = L"60";

bool UnderWine() { return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr; }

std::wstring ReadUtf8(const std::wstring& path, bool* ok) {
  std::ifstream in(std::filesystem::path(path), std::ios::binary);
  *ok = static_cast<bool>(in);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) bytes.erase(0, 3);
  int n = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), int(bytes.size()), nullptr, 0);
  std::wstring text(n, L'\0');
  MultiByteToWideChar(CP_UTF8, 0, bytes.data(), int(bytes.size()), text.data(), n);
  return text;
}

struct Simulation {
  HMODULE module = nullptr;
  sim::ISimControl* control = nullptr;
  sim::IHostSide* side = nullptr;
};

bool LoadSimulation(Simulation* s) {
  // The same module COM loads for the wrapper's ProgIDs; this reference keeps
  // the world alive across restarts of the add-in.
  s->module = LoadLibraryW(L"simrdo.dll");
  if (!s->module) return false;
  auto getControl = reinterpret_cast<sim::SimGetControlFn>(GetProcAddress(s->module, "SimGetControl"));
  auto getSide = reinterpret_cast<sim::SimGetHostSideFn>(GetProcAddress(s->module, "SimGetHostSide"));
  s->control = getControl ? getControl() : nullptr;
  s->side = getSide ? getSide() : nullptr;
  return s->control && s->side;
}

int RunScenario(const std::wstring& name, const std::vector<host::Command>& commands) {
  host::Sandbox sandbox;
  if (std::wstring e = sandbox.Enter(name); !e.empty()) {
    host::Print(L"cannot set up the scenario sandbox: " + e);
    return 2;
  }
  Simulation sim;
  if (!LoadSimulation(&sim)) {
    host::Print(L"cannot load simrdo.dll and its control exports");
    return 2;
  }
  sim.control->Reset();
  sim.side->Reset();
  sim.side->SetOutlookRunning(false);  // until the script starts it
  if (FAILED(sim.control->AttachUiThread())) {
    host::Print(L"cannot attach the user-interface thread");
    return 2;
  }
  int failures = 0;
  {
    host::BoxWatcher boxes;
    host::Runner runner(sim.control, sim.side, sandbox, boxes);
    failures = runner.Run(commands);
  }
  // Drop every sink and object of the add-in before COM goes away.
  sim.side->Reset();
  sim.control->DetachUiThread();
  host::AddInHost::UnloadAddInModule();
  return failures ? 1 : 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::wstring name, file;
  bool pinAddIn = false;
  for (int i = 1; i < argc; ++i) {
    std::wstring a = argv[i];
    if (a == L"--name" && i + 1 < argc) name = argv[++i];
    else if (a == L"--pin-addin") pinAddIn = true;
    else file = a;
  }
  if (file.empty()) {
    host::Print(L"usage: simoutlook [--name NAME] [--pin-addin] SCENARIO.scn");
    return 2;
  }
  if (UnderWine() && file[0] == L'/') file = L"Z:" + file;  // a Unix path from the shell
  if (name.empty()) name = std::filesystem::path(file).stem().wstring();

  bool ok = false;
  host::ParseResult parsed = host::ParseScript(ReadUtf8(file, &ok));
  if (!ok) {
    host::Print(L"cannot read " + file);
    return 2;
  }
  for (const std::wstring& e : parsed.errors) host::Print(file + L": " + e);
  if (!parsed.errors.empty()) return 2;

  // Before any module reads the clock.
  wchar_t scale[32];
  if (!GetEnvironmentVariableW(L"TALLOWBY_CLOCK_SCALE", scale, 32)) {
    SetEnvironmentVariableW(L"TALLOWBY_CLOCK_SCALE", kDefaultClockScale);
    _wputenv_s(L"TALLOWBY_CLOCK_SCALE", kDefaultClockScale);
  }
  if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 2;
  // The same file that COM loads from the registration (both sit beside this exe).
  HMODULE pinned = pinAddIn ? LoadLibraryW(L"Tallowby.dll") : nullptr;
  if (pinAddIn && !pinned) {
    host::Print(L"--pin-addin: cannot load Tallowby.dll");
    CoUninitialize();
    return 2;
  }
  int rc = RunScenario(name, parsed.commands);
  if (pinned) FreeLibrary(pinned);
  CoUninitialize();
  return rc;
}
