// The add-in's module object and its instance handle.
#pragma once
#include <windows.h>

#include "module.h"

// Module instance handle: every string, dialog and icon resource of the
// add-in is loaded from it.
extern HINSTANCE g_hInstance;

class CAddInModule : public com::DllModule {
 public:
  CAddInModule();
};

extern CAddInModule g_addInModule;
