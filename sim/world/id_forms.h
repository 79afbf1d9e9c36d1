// The two forms in which a profile gives one object's EntryID or StoreID.
//
// The wrapper gives an object's id in one form (the world's own, upper-case
// hexadecimal); Outlook's object model gives the same object's id in another:
// other flag bytes at its head, as an object's short-term and long-term
// EntryIDs differ, and lower-case letters. The two differ in their bytes, not
// only in letter case: only the wrapper's CompareIds takes them for one. The
// wrapper and Outlook open an object by either form.
#pragma once
#include <string>
#include <string_view>

namespace sim {

// Outlook's form of an id given in either form.
std::wstring OutlookIdForm(std::wstring_view id);
// The wrapper's form of an id given in either form: what the world keys its
// stores, folders and items by.
std::wstring WrapperIdForm(std::wstring_view id);

}  // namespace sim
