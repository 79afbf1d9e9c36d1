// What an item holds, as far as a write between the two sides of a pair
// carries it.
//
// Every writer of a pair compares before it copies: when the target already
// holds what the write would leave on it, nothing is copied or saved. A
// write that changes nothing would only give the item a new time and change
// key: the other side, or a store that writes back what it was given (an
// echo), would take that for a change and write again.
//
// The content is the item's fields that a copy carries (class, subject,
// body, sensitivity, contact, appointment and task fields, list members,
// recipients), its categories, its reminder and the add-in's origin marks;
// not its identity (keys, EntryID) nor its times. Categories count as a set:
// a service that keeps them in an order of its own has not changed them.
#pragma once
#include <windows.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "rdo.h"

class CMAPIFolderObject;

// How a job's write treats the written item beside the content it copies.
struct WriteRules {
  // False where the job keeps reminders on the origin side: a write sets the
  // written item's reminder by that rule, so the reminder is not content.
  bool reminders = true;
  // Categories the write puts on the item after the content (the job's own).
  std::vector<std::wstring> addedCategories;
  // What becomes of the written item's sensitivity.
  enum class Privacy {
    kCarried,          // the source's
    kTargetKeepsOwn,   // the written item keeps its own
    kKeepsPrivateMark  // a private written item stays private, else the source's
  } privacy = Privacy::kCarried;
};

// The rules of a write for the job of master `job`; `ontoCopy`: the write
// goes onto the job's item in its default folder, which gets the job's
// categories and keeps a private mark the job put on it; else onto the
// master item, which keeps its own sensitivity where the job marks its copies
// private.
WriteRules WriteRulesOf(CMAPIFolderObject* job, bool ontoCopy);

// An item's content as read through the wrapper.
class ItemContent {
 public:
  static ItemContent Of(IRdoMessage* item);

  // True when writing `source` onto the item by `rules` would leave it as it
  // is: every field the source holds is the same here (a copy onto an item
  // leaves what the source lacks), and so are the categories it would get.
  bool Holds(const ItemContent& source, const WriteRules& rules) const;

  // A print of the whole content (sixteen hexadecimal digits): two items
  // with the same print hold the same.
  std::wstring Print() const;

 private:
  bool read_ = false;
  std::vector<std::optional<std::wstring>> fields_;  // kFields' order
  std::vector<std::wstring> categories_;             // sorted, each once
  std::vector<std::wstring> recipients_;             // a repeated one once
};

// The print of what `item` holds now (ItemContent::Print); empty without an
// item.
std::wstring ContentPrint(IRdoMessage* item);

// A print of a text (FNV-1a over its code units): sixteen hexadecimal
// digits. A print, not a secret.
std::wstring TextPrint(std::wstring_view text);
