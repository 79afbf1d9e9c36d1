// The add-in library's entry points: DllMain and the four COM exports.
#include <windows.h>

#include "addin_module.h"

STDAPI DllCanUnloadNow() { return g_addInModule.CanUnloadNow(); }
STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** ppv) {
  return g_addInModule.GetClassObject(clsid, iid, ppv);
}
STDAPI DllRegisterServer() { return g_addInModule.RegisterServer(); }
STDAPI DllUnregisterServer() { return g_addInModule.UnregisterServer(); }

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    g_hInstance = instance;
    g_addInModule.SetInstance(instance);
    DisableThreadLibraryCalls(instance);
  }
  return TRUE;
}
