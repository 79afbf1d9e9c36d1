// One row of a personal-folder walk, as the processing of the item gets it.
#pragma once
#include <string>
#include <vector>

#include "date_time.h"

struct ListedItem {
  std::wstring syncId;
  com::DateTime date;                   // PR_LAST_MODIFICATION_TIME of the row
  std::vector<std::wstring> categories;
  // The sync id is the meeting GlobalObjectId (else PR_SEARCH_KEY): the item
  // is looked up, in every folder, by the property its id came from.
  bool byObjectId = false;
};
