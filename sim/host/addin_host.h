// Drives the add-in as Outlook does: creates it by its ProgID, connects it
// with the Application and its own COMAddIn object, and at the end raises
// Quit, disconnects and releases it.
#pragma once
#include <windows.h>

#include <string>

#include "com_ptr.h"
#include "outlook.h"
#include "outlook/host_side.h"

namespace host {

class AddInHost {
 public:
  explicit AddInHost(sim::IHostSide* side) : side_(side) {}

  // Creates and connects the add-in; what happened goes to *report.
  // Fails when the add-in cannot be created; a failing OnConnection is
  // reported but is no failure of the host (Outlook goes on without it).
  HRESULT Start(IDispatch* application, std::wstring* report);
  // Quit event, OnBeginShutdown, OnDisconnection(host shutdown), release.
  void Quit(std::wstring* report);
  // The add-in set its COMAddIn.Connect to false: OnDisconnection(user closed), release.
  void Disconnect(std::wstring* report);
  bool Loaded() const { return static_cast<bool>(addIn_); }
  bool Started() const { return started_; }

  // Frees unused libraries on this (the creating) thread until Tallowby.dll
  // is gone; true when it is.
  static bool UnloadAddInModule();

 private:
  sim::IHostSide* side_;
  com::ComPtr<_IDTExtensibility2> addIn_;
  bool started_ = false;  // between start and quit, whether or not OnConnection succeeded
};

}  // namespace host
