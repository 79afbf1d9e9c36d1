// The user-interface language and small module helpers.
#pragma once
#include <windows.h>

#include <string>

// The language of the add-in's texts: Config "LCID" when set, else the
// thread's locale.
LCID GetUiLanguage();

// The text of string `id` in the language of `lcid`, looked up by the add-in
// itself: the exact language, then its primary language, then the neutral
// (English) block. Empty when the id is not there.
std::wstring LoadUiString(UINT id, LCID lcid);
std::wstring LoadUiString(HINSTANCE module, UINT id, LCID lcid);

// The add-in's version "major.minor.build" from its version resource; an
// empty text when the module has none.
void GetVersionString(wchar_t* buffer, size_t chars);

// The common application-data folder (common) or the user's local one,
// without a trailing backslash. False when the shell cannot give it.
bool GetSpecialFolderPath(wchar_t (&path)[MAX_PATH], bool common);

// The folder of the add-in's DLL, ending in a backslash.
std::wstring GetDllFolder();
