// The registered simrdo.dll creates its objects by ProgID from any thread
// with its own apartment.
#include <gtest/gtest.h>

#include <thread>

#include "com_ptr.h"
#include "bstr.h"
#include "rdo.h"
#include "variant.h"

namespace {

template <class Itf>
HRESULT CreateByProgId(const wchar_t* progId, com::ComPtr<Itf>* out) {
  CLSID clsid;
  HRESULT hr = CLSIDFromProgID(progId, &clsid);
  if (FAILED(hr)) return hr;
  return CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, __uuidof(Itf), out->PutVoid());
}

// Creates the three objects in an apartment of the given kind; returns the first failure.
HRESULT CreateAll(DWORD apartment) {
  HRESULT hr = CoInitializeEx(nullptr, apartment);
  if (FAILED(hr)) return hr;
  {
    com::ComPtr<IRdoSession> session;
    com::ComPtr<IRdoUtils> utils;
    com::ComPtr<IRdoDistList> list;
    hr = CreateByProgId(L"TallowbyRDOx.OLSafeRDOSession", &session);
    if (SUCCEEDED(hr)) hr = CreateByProgId(L"TallowbyRDOx.OLMAPIUtils", &utils);
    if (SUCCEEDED(hr)) hr = CreateByProgId(L"TallowbyRDOx.OLSafeDistList", &list);
    com::Variant none;
    if (SUCCEEDED(hr)) hr = session->Logon(none, none, none, none, none, none);
    VARIANT_BOOL same = VARIANT_FALSE;
    if (SUCCEEDED(hr)) hr = utils->CompareIds(com::Bstr(L"ab"), com::Bstr(L"AB"), &same);
    if (SUCCEEDED(hr) && same != VARIANT_TRUE) hr = E_FAIL;
  }
  CoUninitialize();
  return hr;
}

TEST(ProgIdCreation, TheThreeProgIdsWorkFromThreadsWithTheirOwnApartments) {
  HRESULT sta = E_PENDING, mta = E_PENDING;
  std::thread a([&] { sta = CreateAll(COINIT_APARTMENTTHREADED); });
  std::thread b([&] { mta = CreateAll(COINIT_MULTITHREADED); });
  a.join();
  b.join();
  EXPECT_EQ(S_OK, sta);
  EXPECT_EQ(S_OK, mta);
}

}  // namespace
