// Outlook's requests for option pages: the add-in's tab in the Options
// dialog, and one page or none in a folder's properties.
#pragma once
#include <windows.h>
#include <oaidl.h>

#include <string>

#include "dispatch.h"

// The Outlook folder whose properties dialog was opened last; the folder
// pages work on it. Counted; released when a new one comes or at shutdown.
extern IDispatch* g_pPageFolder;

inline constexpr wchar_t kMainPageProgId[] = L"Tallowby.MainPropPage";
inline constexpr wchar_t kFolderPageProgId[] = L"Tallowby.TallowbyPropPage";
inline constexpr wchar_t kStandardPageProgId[] = L"Tallowby.StandardPropPage";
inline constexpr wchar_t kPageCaption[] = L"Tallowby";

// ApplicationEvents.OptionsPagesAdd(Pages): adds the global page, also
// before the add-in is ready.
// Whether two EntryIDs name one object: Outlook's and the wrapper's forms of
// one id differ as text, and only the wrapper's comparison takes them for
// one (a job's registry key may carry either).
bool SameEntryId(const std::wstring& a, const std::wstring& b);

HRESULT OfferGlobalPage(const com::DispArgs& args);
// NameSpaceEvents.OptionsPagesAdd(Pages, Folder): adds the folder
// replication page, the default-folder page or nothing.
HRESULT OfferFolderPage(IDispatch* nameSpace, const com::DispArgs& args);
// Which folder page a folder gets: empty for none. `nameSpace` gives the
// default folders.
std::wstring FolderPageFor(IDispatch* nameSpace, IDispatch* folder);
void ReleasePageFolder();
