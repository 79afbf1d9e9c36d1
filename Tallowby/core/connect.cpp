#include "connect.h"

STDMETHODIMP CConnect::GetTypeInfoCount(UINT* n) {
  if (!n) return E_POINTER;
  *n = 0;
  return S_OK;
}
STDMETHODIMP CConnect::GetTypeInfo(UINT, LCID, ITypeInfo** ti) {
  if (ti) *ti = nullptr;
  return E_NOTIMPL;
}
STDMETHODIMP CConnect::GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) { return DISP_E_UNKNOWNNAME; }
STDMETHODIMP CConnect::Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) {
  return DISP_E_MEMBERNOTFOUND;
}

STDMETHODIMP CConnect::OnConnection(IDispatch*, ext_ConnectMode, IDispatch*, SAFEARRAY**) { return S_OK; }
STDMETHODIMP CConnect::OnDisconnection(ext_DisconnectMode, SAFEARRAY**) { return S_OK; }
STDMETHODIMP CConnect::OnAddInsUpdate(SAFEARRAY**) { return S_OK; }
STDMETHODIMP CConnect::OnStartupComplete(SAFEARRAY**) { return S_OK; }
STDMETHODIMP CConnect::OnBeginShutdown(SAFEARRAY**) { return S_OK; }
