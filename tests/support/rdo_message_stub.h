// A message of the wrapper library whose every member answers E_NOTIMPL
// (IUnknown aside), for fakes that override only what a test asks for.
#pragma once
#include <windows.h>

#include "rdo.h"

class RdoMessageStub : public IRdoMessage {
 public:
  STDMETHODIMP GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return E_NOTIMPL;
  }
  STDMETHODIMP get_EntryID(BSTR*) override { return E_NOTIMPL; }
  STDMETHODIMP get_StoreID(BSTR*) override { return E_NOTIMPL; }
  STDMETHODIMP get_Parent(IRdoFolder**) override { return E_NOTIMPL; }
  STDMETHODIMP get_MessageClass(BSTR*) override { return E_NOTIMPL; }
  STDMETHODIMP put_MessageClass(BSTR) override { return E_NOTIMPL; }
  STDMETHODIMP get_Subject(BSTR*) override { return E_NOTIMPL; }
  STDMETHODIMP put_Subject(BSTR) override { return E_NOTIMPL; }
  STDMETHODIMP get_Categories(BSTR*) override { return E_NOTIMPL; }
  STDMETHODIMP put_Categories(BSTR) override { return E_NOTIMPL; }
  STDMETHODIMP get_Sensitivity(LONG*) override { return E_NOTIMPL; }
  STDMETHODIMP put_Sensitivity(LONG) override { return E_NOTIMPL; }
  STDMETHODIMP get_LastModificationTime(DATE*) override { return E_NOTIMPL; }
  STDMETHODIMP get_CreationTime(DATE*) override { return E_NOTIMPL; }
  STDMETHODIMP get_ReminderSet(VARIANT_BOOL*) override { return E_NOTIMPL; }
  STDMETHODIMP put_ReminderSet(VARIANT_BOOL) override { return E_NOTIMPL; }
  STDMETHODIMP get_ReminderState(LONG*) override { return E_NOTIMPL; }
  STDMETHODIMP put_ReminderState(LONG) override { return E_NOTIMPL; }
  STDMETHODIMP get_Fields(BSTR, VARIANT*) override { return E_NOTIMPL; }
  STDMETHODIMP put_Fields(BSTR, VARIANT) override { return E_NOTIMPL; }
  STDMETHODIMP CopyTo(VARIANT, IRdoMessage**) override { return E_NOTIMPL; }
  STDMETHODIMP Save() override { return E_NOTIMPL; }
  STDMETHODIMP Delete(VARIANT) override { return E_NOTIMPL; }
  STDMETHODIMP get_Recipients(IRdoRecipients**) override { return E_NOTIMPL; }
  STDMETHODIMP get_UserProperties(IRdoUserProperties**) override { return E_NOTIMPL; }
  STDMETHODIMP get_EmailAddress(BSTR*) override { return E_NOTIMPL; }
  STDMETHODIMP put_EmailAddress(BSTR) override { return E_NOTIMPL; }
  STDMETHODIMP get_FirstName(BSTR*) override { return E_NOTIMPL; }
  STDMETHODIMP put_FirstName(BSTR) override { return E_NOTIMPL; }
  STDMETHODIMP get_LastName(BSTR*) override { return E_NOTIMPL; }
  STDMETHODIMP put_LastName(BSTR) override { return E_NOTIMPL; }
  STDMETHODIMP get_Name(BSTR*) override { return E_NOTIMPL; }
  STDMETHODIMP put_Name(BSTR) override { return E_NOTIMPL; }

 protected:
  ~RdoMessageStub() = default;
};
