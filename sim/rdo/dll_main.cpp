// simrdo.dll: the simulated wrapper library, an in-process COM server
// (ThreadingModel Both) that holds the process's one simulated world.
#include <windows.h>

#include "control/sim_control.h"
#include "module.h"
#include "rdo_common.h"

namespace {

constexpr UINT kRegistryScript = 101;

// The classes registered under the wrapper's ProgIDs.
constexpr CLSID kClsidSession = {0x1f96b083, 0x5ae6, 0x4981, {0x83, 0x12, 0xa7, 0xe4, 0x43, 0x23, 0x51, 0xec}};
constexpr CLSID kClsidUtils = {0x363dfcc5, 0x898a, 0x409d, {0xb7, 0xba, 0x83, 0xd0, 0xec, 0xfc, 0xc2, 0x76}};
constexpr CLSID kClsidDistList = {0x44a93750, 0x1840, 0x47bd, {0xb7, 0x94, 0x55, 0x24, 0x67, 0x04, 0xaf, 0x0e}};
constexpr CLSID kClsidTable = {0x8ea4d93d, 0xb477, 0x4c89, {0xb4, 0x88, 0xa6, 0x32, 0x9c, 0xe3, 0x5c, 0x72}};

const com::ObjectEntry kObjects[] = {
    {&kClsidSession, &sim::CreateSession, kRegistryScript},
    {&kClsidUtils, &sim::CreateUtils, 0},
    {&kClsidDistList, &sim::CreateDistList, 0},
    {&kClsidTable, &sim::CreateTable, 0},
};

com::DllModule g_module(kObjects, nullptr);

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    g_module.SetInstance(instance);
    DisableThreadLibraryCalls(instance);
  }
  return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** ppv) { return g_module.GetClassObject(clsid, iid, ppv); }
STDAPI DllCanUnloadNow() { return g_module.CanUnloadNow(); }
STDAPI DllRegisterServer() { return g_module.RegisterServer(); }
STDAPI DllUnregisterServer() { return g_module.UnregisterServer(); }

extern "C" sim::ISimControl* SimGetControl() { return sim::GetControl(); }
