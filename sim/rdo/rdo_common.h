// Shared pieces of the simulated wrapper objects: a vtable-only IDispatch,
// the private interface that tells our own objects apart, argument helpers
// and the factory functions of every object.
#pragma once
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include <string>
#include <string_view>

#include "bstr.h"
#include "com_object.h"
#include "com_ptr.h"
#include "rdo.h"
#include "world/world.h"

namespace sim {

// The wrapper objects are called through their vtables; late binding is not
// offered (IDispatch answers only so that they travel as VT_DISPATCH).
#define SIM_NO_DISPATCH()                                                                    \
  STDMETHODIMP GetTypeInfoCount(UINT* n) override { if (n) *n = 0; return S_OK; }            \
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo** t) override { if (t) *t = nullptr; return E_NOTIMPL; } \
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; } \
  STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override { return E_NOTIMPL; }

enum class SimKind { Session, Store, Folder, Message, MapiSession, Other };

class MessageObject;

// Answered by every object of the simulation that stands for a world object.
// {5E1D0C41-7A0B-4C38-9E55-2B8F0F6C1A11}
inline constexpr IID IID_ISimObject = {0x5e1d0c41, 0x7a0b, 0x4c38, {0x9e, 0x55, 0x2b, 0x8f, 0x0f, 0x6c, 0x1a, 0x11}};
struct ISimObject : IUnknown {
  virtual SimKind STDMETHODCALLTYPE SimObjectKind() = 0;
  virtual ObjId STDMETHODCALLTYPE SimObjectId() = 0;
  // The message object itself (messages only; no reference of its own).
  virtual MessageObject* STDMETHODCALLTYPE SimMessage() { return nullptr; }
};

// What a foreign or own object stands for. Objects that are not ours are
// asked for DISPID 0xF100 (Outlook's MAPIOBJECT) and the result resolved.
struct Resolved {
  SimKind kind = SimKind::Other;
  ObjId id = 0;
  MessageObject* message = nullptr;  // valid while `holder` lives
  com::ComPtr<IUnknown> holder;
};
bool ResolveObject(IUnknown* object, Resolved* out);
// The same for a VARIANT holding VT_DISPATCH or VT_UNKNOWN (also by reference).
bool ResolveVariant(const VARIANT& v, Resolved* out);

World& TheWorld();
// Counts a call; returns the injected failure, or S_OK.
HRESULT Injected(std::wstring_view op);

HRESULT ReturnString(std::wstring_view s, BSTR* out);
// A null BSTR for an empty text.
HRESULT ReturnStringOrNull(std::wstring_view s, BSTR* out);
// Text of a VT_BSTR argument (also by reference); false for other types.
bool ArgString(const VARIANT& v, std::wstring* out);
// An integer argument (VT_I2, VT_I4, VT_UI4, VT_BOOL, by reference too); false when missing.
bool ArgLong(const VARIANT& v, long* out);
bool IsMissing(const VARIANT& v);
std::wstring DescribeFlags(const VARIANT& v);

template <class T, class Itf, class... Args>
HRESULT MakeObject(Itf** out, Args&&... args) {
  if (!out) return E_POINTER;
  *out = nullptr;
  return com::ComObject<T>::CreateInstance(__uuidof(Itf), reinterpret_cast<void**>(out), std::forward<Args>(args)...);
}

// Factories (each returns S_OK and an object with one reference, or a failure).
HRESULT NewStore(ObjId store, IRdoStore** out);
HRESULT NewFolder(ObjId folder, IRdoFolder** out);
HRESULT NewMessage(ObjId item, IRdoMessage** out);
HRESULT NewMessage(ItemInfo&& item, IRdoMessage** out);  // from an item read just now
HRESULT NewUnsavedMessage(ObjId folder, std::wstring_view messageClass, IRdoMessage** out);
HRESULT NewTable(ObjId folder, IRdoTable** out);
HRESULT NewAddressEntry(const AddressEntry& entry, IRdoAddressEntry** out);
HRESULT NewAddressBook(IRdoAddressBook** out);

// Creates a session, utility, distribution-list or table object (the classes
// registered under the ProgIDs).
HRESULT CreateSession(REFIID iid, void** ppv);
HRESULT CreateUtils(REFIID iid, void** ppv);
HRESULT CreateDistList(REFIID iid, void** ppv);
HRESULT CreateTable(REFIID iid, void** ppv);

// Reads and writes of a property of any resolved object by tag (the utility's work).
HRESULT GetPropOf(const Resolved& r, uint32_t tag, VARIANT* value);
HRESULT SetPropOf(const Resolved& r, uint32_t tag, const VARIANT& value, bool commit);
ObjId StoreOf(const Resolved& r);

}  // namespace sim
