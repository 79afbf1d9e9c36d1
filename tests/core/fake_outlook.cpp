#include "fake_outlook.h"

#include "dispatch.h"

namespace testing_support {

STDMETHODIMP FakeDispatch::GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
  for (UINT i = 0; i < count; ++i) ids[i] = DISPID_UNKNOWN;
  const wchar_t* const* known = Names();
  for (DISPID id = 1; known[id - 1]; ++id)
    if (_wcsicmp(known[id - 1], names[0]) == 0) {
      ids[0] = id;
      return S_OK;
    }
  return DISP_E_UNKNOWNNAME;
}

FakeApplication::FakeApplication() : points_(this, {DIID_ApplicationEvents}) {
  com::ComObject<FakeNameSpace>::Create(&nameSpace_, static_cast<IDispatch*>(this));
  nameSpace_->AddRef();
}

FakeApplication::~FakeApplication() { nameSpace_->Release(); }

com::ConnectionPoint* FakeApplication::NameSpaceEvents() const { return nameSpace_->Events(); }

const wchar_t* const* FakeApplication::Names() const {
  static const wchar_t* const names[] = {L"GetNamespace", L"Version", nullptr};
  return names;
}

HRESULT FakeApplication::OnInvoke(DISPID id, DISPPARAMS* params, VARIANT* result) {
  com::DispArgs args(params);
  switch (id) {
    case 1: {
      const VARIANT* name = args.At(0);
      namespacesAsked.push_back(name && name->vt == VT_BSTR ? name->bstrVal : L"<not a string>");
      if (FAILED(failGetNamespace)) return failGetNamespace;
      if (!result) return E_POINTER;
      result->vt = VT_DISPATCH;
      result->pdispVal = static_cast<IDispatch*>(nameSpace_);
      nameSpace_->AddRef();
      return S_OK;
    }
    case 2:
      if (!result) return E_POINTER;
      result->vt = VT_BSTR;
      result->bstrVal = SysAllocString(version.c_str());
      return S_OK;
    default:
      return DISP_E_MEMBERNOTFOUND;
  }
}

FakeNameSpace::FakeNameSpace(IDispatch* application)
    : application_(application), points_(this, {DIID_NameSpaceEvents}) {}

const wchar_t* const* FakeNameSpace::Names() const {
  static const wchar_t* const names[] = {L"Application", nullptr};
  return names;
}

HRESULT FakeNameSpace::OnInvoke(DISPID id, DISPPARAMS*, VARIANT* result) {
  if (id != 1) return DISP_E_MEMBERNOTFOUND;
  if (!result) return E_POINTER;
  result->vt = VT_DISPATCH;
  result->pdispVal = application_;
  application_->AddRef();
  return S_OK;
}

const wchar_t* const* FakeComAddIn::Names() const {
  static const wchar_t* const names[] = {L"Connect", nullptr};
  return names;
}

MessageBoxRecorder::MessageBoxRecorder() : thread_([this] { Watch(); }) {}

MessageBoxRecorder::~MessageBoxRecorder() {
  stop_ = true;
  thread_.join();
}

std::vector<MessageBoxRecorder::Box> MessageBoxRecorder::Boxes() {
  std::lock_guard lock(mutex_);
  return boxes_;
}

void MessageBoxRecorder::Watch() {
  while (!stop_) {
    HWND w = nullptr;
    while ((w = FindWindowExW(nullptr, w, L"#32770", nullptr)) != nullptr) {
      DWORD pid = 0;
      GetWindowThreadProcessId(w, &pid);
      if (pid != GetCurrentProcessId()) continue;
      {
        std::lock_guard lock(mutex_);
        bool known = false;
        for (HWND s : seen_) known = known || s == w;
        if (known) continue;
        seen_.push_back(w);
        Box box;
        wchar_t text[512] = {};
        GetWindowTextW(w, text, 512);
        box.caption = text;
        HWND child = nullptr;
        while ((child = FindWindowExW(w, child, L"Static", nullptr)) != nullptr) {
          text[0] = L'\0';
          GetWindowTextW(child, text, 512);
          if (text[0]) box.text += text;
        }
        boxes_.push_back(box);
      }
      PostMessageW(w, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    }
    Sleep(10);
  }
}

ULONG RefCount(IUnknown* p) {
  p->AddRef();
  return p->Release();
}

}  // namespace testing_support
