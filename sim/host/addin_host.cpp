#include "addin_host.h"

#include "dispatch.h"

namespace host {
namespace {

constexpr wchar_t kProgId[] = L"Tallowby.Connect.1";

std::wstring HrText(HRESULT hr) {
  wchar_t buf[16];
  swprintf(buf, 16, L"0x%08lX", static_cast<unsigned long>(hr));
  return buf;
}

// Outlook hands every add-in call an empty array of custom arguments.
class CustomArgs {
 public:
  CustomArgs() : array_(SafeArrayCreateVector(VT_VARIANT, 0, 0)) {}
  ~CustomArgs() { if (array_) SafeArrayDestroy(array_); }
  SAFEARRAY** Get() { return &array_; }

 private:
  SAFEARRAY* array_;
};

// The add-in's own COMAddIn, as Application.COMAddIns.Item(1) gives it.
com::ComPtr<IDispatch> AddInObject(IDispatch* application) {
  com::Variant addIns, addIn;
  com::ComPtr<IDispatch> list, result;
  if (FAILED(com::GetProperty(application, L"COMAddIns", addIns.Put())) ||
      FAILED(com::ResultToDispatch(addIns, list.Put())) ||
      FAILED(com::CallMethod(list.Get(), L"Item", {com::Variant(1)}, addIn.Put())) ||
      FAILED(com::ResultToDispatch(addIn, result.Put())))
    return nullptr;
  return result;
}

}  // namespace

HRESULT AddInHost::Start(IDispatch* application, std::wstring* report) {
  CLSID clsid{};
  HRESULT hr = CLSIDFromProgID(kProgId, &clsid);
  if (SUCCEEDED(hr))
    hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID__IDTExtensibility2, addIn_.PutVoid());
  if (FAILED(hr)) {
    *report = L"cannot create " + std::wstring(kProgId) + L": " + HrText(hr);
    return hr;
  }
  started_ = true;
  side_->SetOutlookRunning(true);
  side_->SetConnected(true);
  com::ComPtr<IDispatch> addInInst = AddInObject(application);
  CustomArgs custom;
  hr = addIn_->OnConnection(application, ext_cm_Startup, addInInst.Get(), custom.Get());
  if (FAILED(hr)) {
    // Outlook keeps running without the add-in; sinks it advised still hold it.
    *report = L"OnConnection failed: " + HrText(hr);
    side_->SetConnected(false);
    addIn_.Reset();
    return S_OK;
  }
  CustomArgs more;
  addIn_->OnStartupComplete(more.Get());
  *report = L"add-in connected";
  return S_OK;
}

void AddInHost::Quit(std::wstring* report) {
  side_->FireQuit();  // reaches the add-in's sinks even when its start-up failed half-way
  if (addIn_) {
    CustomArgs a, b;
    addIn_->OnBeginShutdown(a.Get());
    addIn_->OnDisconnection(ext_dm_HostShutdown, b.Get());
    addIn_.Reset();
  }
  started_ = false;
  side_->SetConnected(false);
  side_->SetOutlookRunning(false);
  *report = L"Outlook quit";
}

void AddInHost::Disconnect(std::wstring* report) {
  if (!addIn_) return;
  CustomArgs custom;
  addIn_->OnDisconnection(ext_dm_UserClosed, custom.Get());
  addIn_.Reset();
  side_->SetConnected(false);
  *report = L"add-in disconnected itself (COMAddIn.Connect = false)";
}

bool AddInHost::UnloadAddInModule() {
  for (int i = 0; i < 20 && GetModuleHandleW(L"Tallowby.dll"); ++i) {
    CoFreeUnusedLibrariesEx(0, 0);
    if (GetModuleHandleW(L"Tallowby.dll")) Sleep(10);
  }
  return GetModuleHandleW(L"Tallowby.dll") == nullptr;
}

}  // namespace host
