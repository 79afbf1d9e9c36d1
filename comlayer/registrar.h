// Runs registry scripts in the text form of ATL's registrar:
//
//   HKCR
//   {
//     NoRemove CLSID
//     {
//       ForceRemove {GUID} = s 'Name'
//       {
//         InprocServer32 = s '%MODULE%'
//         {
//           val ThreadingModel = s 'Apartment'
//         }
//       }
//     }
//   }
//
// Roots: HKCR, HKCU, HKLM (and their long names). Values: s 'text',
// d 'number', b 'hex'; '' inside quotes is one quote; %NAME% is replaced.
// Registering creates keys and values (a ForceRemove key is deleted first);
// unregistering deletes `val` values and every key that is not NoRemove and
// has no subkeys left after its own entries were removed (a ForceRemove key
// goes with everything below it).
#pragma once
#include <windows.h>
#include <map>
#include <string>

namespace com {

HRESULT RunRegistryScript(const std::wstring& script, bool install,
                          const std::map<std::wstring, std::wstring>& replacements);

}  // namespace com
