// The raw MAPI objects that Outlook's MAPIOBJECT properties hand out.
//
// NameSpace.MAPIOBJECT returns NewMapiSessionObject(): the wrapper session's
// MapiSession (put) accepts it, and so does any session on any thread.
// MAPIFolder.MAPIOBJECT returns NewMapiFolderObject(folder): the wrapper
// utility's property reads and writes by tag accept it as their object.
// Both return an IUnknown with one reference for the caller.
#pragma once
#include <windows.h>
#include <objbase.h>

#include "world/world.h"

namespace sim {

IUnknown* NewMapiSessionObject();
IUnknown* NewMapiFolderObject(ObjId folder);

}  // namespace sim
