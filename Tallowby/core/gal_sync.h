// The copy of global address lists into contacts folders.
#pragma once
#include <windows.h>

// Thread procedure of the one copy run per start (started by StartSync when
// Config "syncGAL" is 1).
unsigned __stdcall GalSyncThread(void* engine);
