// The query and filter language of item searches and change restrictions:
//
//   select "a","b" from Folder where <condition>
//   <condition>
//
// A condition compares quoted DASL names: `"n" is null`, `"n" is not null`,
// `"n" = 'text'`, `"n" <> 'text'`, `"n" like '%text%'`, joined by AND, OR,
// NOT and parentheses. Keywords are case-insensitive, whitespace is free,
// `''` in a literal is one apostrophe. A binary property equals a literal
// when the literal's hex decodes to its bytes; a multi-valued property
// matches when one of its elements does; text compares case-insensitively;
// a missing property never matches (except `is null`).
#pragma once
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "world/value.h"

namespace sim::query {

struct Node;

struct Parsed {
  std::vector<std::wstring> columns;  // the select list (empty for a filter)
  std::shared_ptr<const Node> where;  // null: every item matches
};

// False (with a reason) when the text does not parse.
bool Parse(std::wstring_view text, Parsed* out, std::wstring* error = nullptr);

// Reads a property of the item under test by DASL name.
using Reader = std::function<Value(const std::wstring& dasl)>;
bool Matches(const Parsed& q, const Reader& read);

// Every DASL name the condition reads, in order of appearance.
std::vector<std::wstring> ConditionNames(const Parsed& q);

// When the condition is just `"name" = 'literal'`, its name and literal.
bool IsSimpleEquality(const Parsed& q, std::wstring* name, std::wstring* literal);

// SQL-like pattern match with % and _ (case-insensitive).
bool Like(std::wstring_view text, std::wstring_view pattern);

}  // namespace sim::query
