// The in-process server module: object map, class factories, the four
// standard exports and registration (in the manner of ATL's DLL module).
//
// The DLL defines one DllModule with its object map and forwards its exports:
//
//   static const com::ObjectEntry kObjects[] = {
//     {&CLSID_Connect, &com::Creator<CConnect>, IDR_CONNECT},
//   };
//   com::DllModule g_module(kObjects, &LIBID_TallowbyLib);
//   STDAPI DllGetClassObject(REFCLSID c, REFIID i, void** p) { return g_module.GetClassObject(c, i, p); }
#pragma once
#include <windows.h>
#include <objbase.h>
#include <span>
#include <string>

#include "com_object.h"

namespace com {

using CreatorFn = HRESULT (*)(REFIID, void**);

template <class T>
HRESULT Creator(REFIID iid, void** ppv) { return ComObject<T>::CreateInstance(iid, ppv); }

struct ObjectEntry {
  const CLSID* clsid;
  CreatorFn create;
  UINT registryResource;  // REGISTRY resource run by (un)registration; 0 for none
};

class DllModule {
 public:
  DllModule(std::span<const ObjectEntry> objects, const GUID* libid)
      : objects_(objects), libid_(libid) {}

  void SetInstance(HINSTANCE h) { instance_ = h; }
  HINSTANCE Instance() const { return instance_; }
  std::wstring ModulePath() const;

  HRESULT GetClassObject(REFCLSID clsid, REFIID iid, void** ppv);
  HRESULT CanUnloadNow() const { return ModuleLock::Count() == 0 ? S_OK : S_FALSE; }
  // Runs every object's registry script, then registers the type library
  // (TYPELIB resource 1 of this module) when the module has one.
  HRESULT RegisterServer();
  HRESULT UnregisterServer();

  // Runs one REGISTRY resource of this module with %MODULE% replaced.
  HRESULT UpdateRegistryFromResource(UINT id, bool install) const;

 private:
  std::span<const ObjectEntry> objects_;
  const GUID* libid_;
  HINSTANCE instance_ = nullptr;
};

}  // namespace com
