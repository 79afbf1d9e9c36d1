// What belongs to one synchronisation job outside the folder itself: its
// registry key, the default folders' category entries once no job is left,
// and its state files. Removing them ends the job, or, when the job is
// written again right after, makes it start from scratch.
#pragma once
#include <windows.h>
#include <oaidl.h>

#include <string>

// Removes the job of the master folder `entryId`: its key under Folders,
// the AddCategorieFolders entries when it was the last job, and its state
// files (RemoveJobStateFiles). Nothing is reported; a step that fails is
// passed over. An empty EntryID removes nothing.
void RemoveFolderConfig(const std::wstring& entryId, const std::wstring& dataDir, IDispatch* nameSpace);

// The state files that make a job start from scratch: its own in `dataDir`
// (ending in a backslash), and the default folders' key-map and cache
// files, which `nameSpace` (Outlook's) names.
void RemoveJobStateFiles(const std::wstring& entryId, const std::wstring& dataDir, IDispatch* nameSpace);
