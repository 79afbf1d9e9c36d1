// The simulated Outlook's process-wide state and its object factory.
//
// Outlook's objects are thin views over the world (sim::World): a folder or
// item object holds only its world handle and reads the world on every call.
// Like Outlook's, they answer only on the thread that made them (Outlook's
// user-interface thread; see DispObject). Application and NameSpace are kept
// here as single objects; a folder's Items is a new object at every call,
// and each raises the folder's item events until it is released.
#pragma once
#include <windows.h>
#include <oaidl.h>

#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "com_ptr.h"
#include "connection_point.h"
#include "world/world.h"

namespace simol {

class EventWindow;

// Outlook's item and folder classes (OlObjectClass).
enum OlClass : long {
  kOlApplication = 0, kOlNamespace = 1, kOlFolder = 2, kOlFolders = 15, kOlItems = 16,
  kOlAppointment = 26, kOlInspector = 35, kOlContact = 40, kOlJournal = 42, kOlMail = 43,
  kOlNote = 44, kOlTask = 48, kOlTaskRequest = 49, kOlMeetingRequest = 53, kOlDistributionList = 69,
  kOlPropertyPages = 71,
};

// Outlook's event DISPIDs.
enum EventDispId : DISPID {
  kEvItemAdd = 0xF001, kEvItemChange = 0xF002, kEvItemRemove = 0xF003,
  kEvReminder = 0xF004, kEvOptionsPagesAdd = 0xF005, kEvQuit = 0xF007,
};

// From this many items added or removed at once, Outlook raises no
// ItemAdd or ItemRemove for them.
inline constexpr size_t kBulkEventThreshold = 16;

// HRESULT of a call on an object that left the world.
inline constexpr HRESULT kNotFound = static_cast<HRESULT>(0x8004010F);  // MAPI_E_NOT_FOUND

class Model {
 public:
  static Model& Instance();

  sim::World& World() { return sim::World::Instance(); }
  // Counts a call of `op` for failure injection; true (and *hr) when it is to fail.
  bool ShouldFail(const wchar_t* op, HRESULT* hr);
  // An Advise hook that fails the Advise when `op` is to fail.
  std::function<HRESULT()> AdviseHook(const wchar_t* op);

  IDispatch* Application();  // borrowed; lives until Reset
  IDispatch* NameSpace();
  com::ComPtr<IDispatch> NewFolder(sim::ObjId folder);
  com::ComPtr<IDispatch> NewFolders(sim::ObjId parent);
  com::ComPtr<IDispatch> NewItem(sim::ObjId item, const std::wstring& entryId = {});
  com::ComPtr<IDispatch> NewItems(sim::ObjId folder);  // a new one at every call
  // An Items object of `folder` raises its events through `point` while it lives.
  void ItemsMade(sim::ObjId folder, com::ConnectionPoint* point);
  void ItemsGone(sim::ObjId folder, com::ConnectionPoint* point);
  com::ComPtr<IDispatch> NewInspector();
  com::ComPtr<IDispatch> NewComAddIns();
  com::ComPtr<IDispatch> NewPropertyPages();

  std::wstring Version();
  void SetVersion(const std::wstring& v);

  bool Connected();
  void PutConnect(bool connect);
  void SetConnected(bool connected);
  bool TakeDisconnectRequest();

  sim::ObjId InspectorItem();
  void SetInspectorItem(sim::ObjId item);

  void RecordPage(const std::wstring& progId);
  std::vector<std::wstring> Pages();

  // Events.
  HRESULT AttachUiThread();
  void DetachUiThread();
  void FireQuit();
  // On the user-interface thread: raises ApplicationEvents.Reminder once for
  // each item whose reminder has come due (IsReminderDue) while Outlook runs.
  void RaiseDueReminders();
  // Raises OptionsPagesAdd with a new PropertyPages (and the folder, when
  // an EntryID is given); the ProgIDs added meanwhile go to *progIds.
  bool RequestOptionPages(const std::wstring& folderEntryId, std::vector<std::wstring>* progIds);
  long PendingEvents() const { return pending_; }
  // Outlook raises item events only while it runs; a change made while it
  // is closed is never raised, not even after the next start.
  void SetRunning(bool running);
  // The running session's number (0 while closed).
  uint64_t Session();
  // Item events come this late (0: at once), as with a server online.
  void SetEventDelay(double seconds);
  uint64_t EventDelayMs() const { return eventDelayMs_; }
  // Outlook raises ItemChange this many times for one save.
  void SetChangeRepeats(int times);
  uint64_t ChangeCount() const { return changes_; }
  // On the user-interface thread: raises one world change as an ItemsEvents event.
  void Raise(const sim::ChangeNote& note);
  void EventDone() { --pending_; }

  void Reset();

 private:
  Model() = default;
  void OnWorldChange(const sim::ChangeNote& note);

  std::recursive_mutex mutex_;
  com::ComPtr<IDispatch> app_, ns_;
  std::multimap<sim::ObjId, com::ConnectionPoint*> itemsPoints_;
  std::wstring version_ = L"16.0.4266";
  bool connected_ = false, disconnectRequested_ = false;
  sim::ObjId inspectorItem_ = 0;
  std::vector<std::wstring> pages_;
  std::set<sim::ObjId> remindersRaised_;
  EventWindow* window_ = nullptr;
  int observer_ = 0;
  bool running_ = true;
  uint64_t session_ = 1;
  std::atomic<uint64_t> eventDelayMs_{0};
  std::atomic<int> changeRepeats_{1};
  std::atomic<long> pending_{0};
  std::atomic<uint64_t> changes_{0};
};

}  // namespace simol
