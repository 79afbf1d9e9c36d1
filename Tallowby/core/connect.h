// CConnect: the connection object Outlook creates and drives as an add-in.
#pragma once
#include <windows.h>

#include "com_object.h"
#include "outlook.h"

class CConnect : public _IDTExtensibility2 {
 public:
  BEGIN_COM_MAP(CConnect)
    COM_INTERFACE_ENTRY(_IDTExtensibility2)
    COM_INTERFACE_ENTRY2(IDispatch, _IDTExtensibility2)
  END_COM_MAP()

  // IDispatch (the five methods by DISPID 1 to 5).
  STDMETHODIMP GetTypeInfoCount(UINT* n) override;
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo** ti) override;
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override;
  STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO*,
                      UINT*) override;

  // _IDTExtensibility2
  STDMETHODIMP OnConnection(IDispatch* application, ext_ConnectMode mode, IDispatch* addInInst,
                            SAFEARRAY** custom) override;
  STDMETHODIMP OnDisconnection(ext_DisconnectMode mode, SAFEARRAY** custom) override;
  STDMETHODIMP OnAddInsUpdate(SAFEARRAY** custom) override;
  STDMETHODIMP OnStartupComplete(SAFEARRAY** custom) override;
  STDMETHODIMP OnBeginShutdown(SAFEARRAY** custom) override;
};
