/* Defines the Outlook and Office ids that outlook.idl declares with
   cpp_quote (widl's _i.c defines only the interfaces the IDL declares).
   The system headers come first, so that INITGUID reaches only ours. */
#include <windows.h>
#include <ole2.h>
#include <oaidl.h>
#include <ocidl.h>
#include <initguid.h>
#define ___IDTExtensibility2_INTERFACE_DEFINED__
#define __PropertyPageSite_INTERFACE_DEFINED__
#define __PropertyPage_INTERFACE_DEFINED__
#include "outlook.h"
