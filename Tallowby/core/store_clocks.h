// How far each store's clock is from the add-in's.
//
// Every store stamps the writes it takes with a clock of its own: a mailbox
// with its server's, a connector store with its service's, a personal-folders
// file with the machine's. Those clocks can be minutes or hours apart, so two
// items' times say which edit came later only once both are on one clock,
// the add-in's. The difference is learnt from the add-in's own writes into
// each store (sync/item_time.h) and kept here, one per store, for as long as
// the engine lives: a page's Apply does not make a store's clock any better
// known than before. Each measurement is also kept in the registry: after a
// restart a store's clock counts as it was last measured until the add-in's
// first write into it measures it again, so that an edit made while Outlook
// was closed is not taken for the older one only because the add-in has not
// written into its store yet.
#pragma once
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

// One store's clock against the add-in's.
class StoreClock {
 public:
  // The store's time minus the add-in's, in days; 0 while not measured,
  // which takes the store's clock for the add-in's.
  double Offset() const { return offset_.load(std::memory_order_relaxed); }
  bool Measured() const { return measured_.load(std::memory_order_relaxed); }
  // Takes a new measurement: the latest one holds, so a clock that is set
  // while Outlook runs is followed from the add-in's next write on. True
  // when it differs by a second or more from the one before (or is the
  // first), which is worth a line of the debug log; such a measurement of a
  // clock of StoreClocks is kept in the registry.
  bool Learn(double offsetDays);

 private:
  friend class StoreClocks;

  std::atomic<double> offset_{0.0};
  std::atomic<bool> measured_{false};
  std::wstring keptAs_;  // its registry value; empty: not kept
};

// The clocks of the stores the add-in has met, by the StoreID that their
// folder objects carry (Outlook's form, one for every folder of a store;
// letter case is ignored). A clock once handed out lives as long as this
// object, so a folder object may keep a pointer to its own. A clock is
// handed out with the offset last kept for its store, not yet measured.
class StoreClocks {
 public:
  StoreClock& Of(std::wstring_view storeId);

 private:
  std::mutex lock_;  // a leaf: nothing is taken while it is held
  std::unordered_map<std::wstring, std::unique_ptr<StoreClock>> clocks_;
};
