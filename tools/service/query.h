// Content query trees as the service receives them, and their evaluation against the catalog.
//
// Semantics:
// - A condition names a catalog field (see QueryField); an unknown field never matches, whatever the
//   compare type.
// - Values compare without regard to ASCII case. When both values are dotted numbers ("2", "1.10.0.3")
//   they compare as versions, part by part numerically, absent parts counting as 0 ("1.2" equals
//   "1.2.0.0", "1.10" is greater than "1.9"); otherwise they compare as text, code unit by code unit.
// - Equal (no compareType), NotEqual, GreaterThan, GreaterThanEqual, LessThan and LessThanEqual compare
//   the distribution's value (left) with the condition's value (right): GreaterThan 1.0 matches 1.5.
//   Contains is true when the distribution's value holds the condition's value.
// - An And group matches when all of its conditions and sub-groups match, an Or group when any does;
//   a group with neither conditions nor sub-groups places no restriction and matches.
#pragma once

#include <pugixml.hpp>

#include <string>
#include <vector>

#include "catalog.h"

namespace hv {
namespace service {

enum class Compare { Equal, NotEqual, Contains, GreaterThan, GreaterThanEqual, LessThan, LessThanEqual };

// Negative, zero or positive as a is less than, equal to or greater than b (rules above).
int CompareValues(const std::wstring& a, const std::wstring& b);

struct Condition {
  std::wstring field;
  std::wstring value;
  Compare compare = Compare::Equal;
};

struct ConditionGroup {
  bool any = false;  // Or when true, And when false
  std::vector<Condition> conditions;
  std::vector<ConditionGroup> groups;
};

bool Matches(const Condition& condition, const Distribution& distribution);
bool Matches(const ConditionGroup& group, const Distribution& distribution);

// Reads a "query" element: its "type" (And or Or), its "metadata" children ("field", optional
// "compareType", the first text or CDATA child as value) and its nested "query" children; other children
// are ignored.
// False with a one-line problem for another type, a metadata without field, an unknown compare type or
// nesting deeper than 64 groups.
bool ReadQuery(pugi::xml_node query, ConditionGroup& out, std::wstring& problem);

}  // namespace service
}  // namespace hv
