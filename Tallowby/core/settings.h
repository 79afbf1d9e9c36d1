// Settings loading: turns the registry's folder pairs into running folder
// objects, once after start-up and again when a folder option page is
// applied.
#pragma once
#include <windows.h>

#include <functional>

#include "rdo.h"
#include "registry.h"

class CSyncEngine;
class CMAPIFolderObject;

// Reads the global settings, picks the default store and, for every job
// under Folders, makes the master's folder object and (shared per target
// folder) the default-folder object, links them and starts their workers.
// `reload` asks each new object to start afresh.
void GetSettings(CSyncEngine* engine, bool reload);

// Loads the settings and starts the folder threads (and the address-list
// copy when it is on). Called once by the hidden window's start timer.
void StartSync(CSyncEngine* engine);

// Stops every folder object, waits until every worker has ended, deletes
// them and loads the settings again. On the user-interface thread, after a
// folder page has written the registry; returns true. A Reload asked for
// while one waits (its wait pumps messages) returns at once: the running one
// loads afterwards and reads what was written. When shutdown began (before
// or during the wait) it loads nothing.
bool Reload(CSyncEngine* engine);

// True while a Reload runs on this process's user-interface thread.
bool ReloadRunning();
// Runs `work` once the running Reload has unwound, at once when none runs.
// Reload still uses the engine, its folder objects and the locks after its
// pumped wait, so whatever would free them there (Quit, a disconnection)
// goes this way.
void RunAfterReload(std::function<void()> work);

// The running master folder object whose category is `category` and whose
// folder holds items of `expectedType`: S_OK, else E_FAIL.
HRESULT GetFolderFromCategorie(CSyncEngine* engine, IRdoSession* session, const wchar_t* category,
                               CMAPIFolderObject** folder, long expectedType);

// Config "locktime" in seconds: REG_DWORD clamped to 10..300; when missing
// or of another type a pseudo-random 10..120.
DWORD ReadLockTime(const reg::Key& config);

#ifdef TALLOWBY_TEST_SEAMS
// Test entry point of Tallowby.dll for the simulated host: does on the
// calling (user-interface) thread what a folder page's Apply does to the
// engine: SettingsLoaded cleared, then Reload. FALSE without an engine, and
// when called on another thread than the hidden window's.
// Exported by name (Tallowby.def, ordinal 100) in the test build only.
extern "C" BOOL WINAPI TallowbyTestReload();
#endif
