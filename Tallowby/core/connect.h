// CConnect: the connection object Outlook creates and drives as an add-in.
//
// Outlook is reached late-bound through IDispatch. While an event sink is
// advised, the sink holds a reference on this object, so an event can never
// arrive at a freed connection object. All shutdown work runs through one
// idempotent path: on Quit, on a disconnection without Quit, and in the
// destructor as a last resort.
#pragma once
#include <windows.h>

#include "com_object.h"
#include "com_ptr.h"
#include "disp_event.h"
#include "hidden_window.h"
#include "outlook.h"

class CSyncEngine;

// The user-interface language, set when the add-in connects.
extern LCID g_lcidUi;
// The Office COMAddIn object of this add-in; set once, never released.
extern IDispatch* g_pComAddIn;

inline constexpr UINT kAppEventsSinkId = 1;
inline constexpr UINT kNameSpaceEventsSinkId = 2;
inline constexpr DISPID kDispidOptionsPagesAdd = 0xF005;
inline constexpr DISPID kDispidReminder = 0xF004;
inline constexpr DISPID kDispidQuit = 0xF007;

class CConnect : public _IDTExtensibility2 {
 public:
  CConnect();
  virtual ~CConnect();

  BEGIN_COM_MAP(CConnect)
    COM_INTERFACE_ENTRY(_IDTExtensibility2)
    COM_INTERFACE_ENTRY2(IDispatch, _IDTExtensibility2)
  END_COM_MAP()

  BEGIN_SINK_MAP(CConnect)
    SINK_ENTRY(kAppEventsSinkId, kDispidOptionsPagesAdd, &CConnect::OnAppOptionsPagesAdd)
    SINK_ENTRY(kNameSpaceEventsSinkId, kDispidOptionsPagesAdd, &CConnect::OnNameSpaceOptionsPagesAdd)
    SINK_ENTRY(kAppEventsSinkId, kDispidReminder, &CConnect::OnReminder)
    SINK_ENTRY(kAppEventsSinkId, kDispidQuit, &CConnect::OnQuit)
  END_SINK_MAP()

  IUnknown* GetUnknown() { return static_cast<IUnknown*>(static_cast<_IDTExtensibility2*>(this)); }

  // IDispatch: the five methods by DISPID 1 to 5.
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

  // Event handlers (sink map).
  HRESULT OnAppOptionsPagesAdd(const com::DispArgs& args);
  HRESULT OnNameSpaceOptionsPagesAdd(const com::DispArgs& args);
  HRESULT OnReminder(const com::DispArgs& args);
  HRESULT OnQuit(const com::DispArgs& args);

  // What the tests and the host may observe.
  HWND HiddenWindowHandle() const { return m_hiddenWindow.m_hWnd; }
  const CHiddenWindowTray& Tray() const { return m_tray; }
  bool SinksAdvised() const { return m_appSink.IsAdvised() || m_nameSpaceSink.IsAdvised(); }

 private:
  void ShowTrayWhenConfigured();
  // `again`: a new connection after this object's Quit; the add-in object of
  // the earlier one is replaced.
  HRESULT ConnectToOutlook(IDispatch* application, IDispatch* addInInst, bool again);
  HRESULT AdviseSinks();
  void StartEngine(const std::wstring& logFolder);
  void PrepareDataFolder(const std::wstring& dllFolder);
  void StoreQuitTime();
  // Shutdown at once, or, inside a Reload's pumped wait, once Reload has
  // unwound (the workers are told to stop at once).
  void ShutdownWhenSafe();
  // Stops the engine, the windows and the sinks and lets go of the locks;
  // runs once per connection, whoever calls it first, and never inside
  // itself.
  void Shutdown();
  // The global locks: made by the first connection, deleted when the last
  // one that holds them goes.
  void HoldGlobalLocks();
  void ReleaseGlobalLocks();

  com::DispEventSink<CConnect> m_appSink{this, kAppEventsSinkId, DIID_ApplicationEvents};
  com::DispEventSink<CConnect> m_nameSpaceSink{this, kNameSpaceEventsSinkId, DIID_NameSpaceEvents};
  CHiddenWindow m_hiddenWindow;
  CHiddenWindowTray m_tray;
  com::ComPtr<IDispatch> m_pApplication;
  com::ComPtr<IDispatch> m_pNameSpace;
  CSyncEngine* m_engine = nullptr;  // the engine this connection made
  bool m_holdsLocks = false;   // this connection uses the global locks it or another made
  bool m_quitDone = false;     // Quit has run the shutdown
  bool m_shutdownPending = false;  // waits for a Reload to unwind
  bool m_shutdownRunning = false;  // waits for the engine's threads
  bool m_startPutOff = false;      // the engine waits for another connection's shutdown
  bool m_connectionEnded = false;  // Quit or a disconnection took it down
};
