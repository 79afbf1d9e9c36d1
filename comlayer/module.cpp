#include "module.h"

#include <oleauto.h>

#include "com_ptr.h"
#include "registrar.h"


namespace com {
namespace {

// Creates the objects of one map entry.
class ClassFactory : public IClassFactory {
 public:
  explicit ClassFactory(CreatorFn create) : create_(create) {}

  BEGIN_COM_MAP(ClassFactory)
    COM_INTERFACE_ENTRY(IClassFactory)
  END_COM_MAP()

  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    return create_(iid, ppv);
  }
  STDMETHODIMP LockServer(BOOL lock) override {
    if (lock) ModuleLock::Lock(); else ModuleLock::Unlock();
    return S_OK;
  }

 private:
  CreatorFn create_;
};

}  // namespace

std::wstring DllModule::ModulePath() const {
  wchar_t path[MAX_PATH] = {};
  DWORD n = GetModuleFileNameW(instance_, path, MAX_PATH);
  return std::wstring(path, n < MAX_PATH ? n : 0);
}

HRESULT DllModule::GetClassObject(REFCLSID clsid, REFIID iid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  for (const ObjectEntry& e : objects_) {
    if (IsEqualCLSID(*e.clsid, clsid)) return ComObject<ClassFactory>::CreateInstance(iid, ppv, e.create);
  }
  return CLASS_E_CLASSNOTAVAILABLE;
}

HRESULT DllModule::UpdateRegistryFromResource(UINT id, bool install) const {
  HRSRC res = FindResourceW(instance_, MAKEINTRESOURCEW(id), L"REGISTRY");
  if (!res) return HRESULT_FROM_WIN32(ERROR_RESOURCE_NAME_NOT_FOUND);
  HGLOBAL mem = LoadResource(instance_, res);
  const char* bytes = mem ? static_cast<const char*>(LockResource(mem)) : nullptr;
  DWORD size = SizeofResource(instance_, res);
  if (!bytes) return E_FAIL;
  std::wstring script;
  int n = MultiByteToWideChar(CP_UTF8, 0, bytes, int(size), nullptr, 0);
  script.resize(n);
  MultiByteToWideChar(CP_UTF8, 0, bytes, int(size), script.data(), n);
  return RunRegistryScript(script, install, {{L"MODULE", ModulePath()}});
}

HRESULT DllModule::RegisterServer() {
  for (const ObjectEntry& e : objects_) {
    if (!e.registryResource) continue;
    HRESULT hr = UpdateRegistryFromResource(e.registryResource, true);
    if (FAILED(hr)) return hr;
  }
  if (!libid_) return S_OK;
  std::wstring path = ModulePath();
  ComPtr<ITypeLib> lib;
  HRESULT hr = LoadTypeLibEx(path.c_str(), REGKIND_NONE, lib.Put());
  if (FAILED(hr)) return hr;
  return RegisterTypeLib(lib.Get(), path.data(), nullptr);
}

HRESULT DllModule::UnregisterServer() {
  HRESULT result = S_OK;
  for (const ObjectEntry& e : objects_) {
    if (!e.registryResource) continue;
    HRESULT hr = UpdateRegistryFromResource(e.registryResource, false);
    if (FAILED(hr)) result = hr;
  }
  if (libid_) {
    std::wstring path = ModulePath();
    ComPtr<ITypeLib> lib;
    if (SUCCEEDED(LoadTypeLibEx(path.c_str(), REGKIND_NONE, lib.Put()))) {
      TLIBATTR* attr = nullptr;
      if (SUCCEEDED(lib->GetLibAttr(&attr))) {
        UnRegisterTypeLib(attr->guid, attr->wMajorVerNum, attr->wMinorVerNum, attr->lcid, attr->syskind);
        lib->ReleaseTLibAttr(attr);
      }
    }
  }
  return result;
}

}  // namespace com
