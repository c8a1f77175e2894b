#include "query.h"

#include <algorithm>

#include "text.h"

namespace hv {
namespace service {
namespace {

bool IsDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }

// One or more runs of digits joined by single dots.
bool IsDottedNumber(const std::wstring& text) {
  if (text.empty() || !IsDigit(text.front()) || !IsDigit(text.back())) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == L'.') {
      if (text[i + 1] == L'.') return false;
    } else if (!IsDigit(text[i])) {
      return false;
    }
  }
  return true;
}

// Compares digit runs of any length without converting them, so no part can overflow.
int CompareDigits(std::wstring a, std::wstring b) {
  a.erase(0, std::min(a.find_first_not_of(L'0'), a.size()));
  b.erase(0, std::min(b.find_first_not_of(L'0'), b.size()));
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  return a.compare(b);
}

std::vector<std::wstring> SplitDots(const std::wstring& text) {
  std::vector<std::wstring> parts;
  size_t start = 0;
  for (;;) {
    size_t dot = text.find(L'.', start);
    parts.push_back(text.substr(start, dot == std::wstring::npos ? std::wstring::npos : dot - start));
    if (dot == std::wstring::npos) return parts;
    start = dot + 1;
  }
}

int CompareVersions(const std::wstring& a, const std::wstring& b) {
  std::vector<std::wstring> left = SplitDots(a);
  std::vector<std::wstring> right = SplitDots(b);
  size_t count = std::max(left.size(), right.size());
  left.resize(count, L"0");
  right.resize(count, L"0");
  for (size_t i = 0; i < count; ++i) {
    int order = CompareDigits(left[i], right[i]);
    if (order != 0) return order;
  }
  return 0;
}

int CompareText(const std::wstring& a, const std::wstring& b) {
  int order = UpperAscii(a).compare(UpperAscii(b));
  return order < 0 ? -1 : (order > 0 ? 1 : 0);
}

// The "compareType" attribute text; empty is Equal. False for any other text.
bool ParseCompare(const std::wstring& text, Compare& out) {
  static const struct {
    const wchar_t* name;
    Compare compare;
  } kNames[] = {
      {L"", Compare::Equal},
      {L"NotEqual", Compare::NotEqual},
      {L"Contains", Compare::Contains},
      {L"GreaterThan", Compare::GreaterThan},
      {L"GreaterThanEqual", Compare::GreaterThanEqual},
      {L"LessThan", Compare::LessThan},
      {L"LessThanEqual", Compare::LessThanEqual},
  };
  for (const auto& entry : kNames) {
    if (text == entry.name) {
      out = entry.compare;
      return true;
    }
  }
  return false;
}

}  // namespace

int CompareValues(const std::wstring& a, const std::wstring& b) {
  if (IsDottedNumber(a) && IsDottedNumber(b)) return CompareVersions(a, b);
  return CompareText(a, b);
}

bool Matches(const Condition& condition, const Distribution& distribution) {
  const std::wstring* actual = QueryField(distribution, condition.field);
  if (actual == nullptr) return false;
  if (condition.compare == Compare::Contains) {
    return UpperAscii(*actual).find(UpperAscii(condition.value)) != std::wstring::npos;
  }
  int order = CompareValues(*actual, condition.value);
  switch (condition.compare) {
    case Compare::Equal: return order == 0;
    case Compare::NotEqual: return order != 0;
    case Compare::GreaterThan: return order > 0;
    case Compare::GreaterThanEqual: return order >= 0;
    case Compare::LessThan: return order < 0;
    case Compare::LessThanEqual: return order <= 0;
    case Compare::Contains: break;
  }
  return false;
}

bool Matches(const ConditionGroup& group, const Distribution& distribution) {
  if (group.conditions.empty() && group.groups.empty()) return true;
  for (const Condition& condition : group.conditions) {
    if (Matches(condition, distribution) == group.any) return group.any;
  }
  for (const ConditionGroup& sub : group.groups) {
    if (Matches(sub, distribution) == group.any) return group.any;
  }
  return !group.any;
}

namespace {

constexpr int kMaxDepth = 64;

bool ReadGroup(pugi::xml_node element, int depth, ConditionGroup& out, std::wstring& problem) {
  if (depth > kMaxDepth) {
    problem = L"query groups are nested more than " + std::to_wstring(kMaxDepth) + L" deep";
    return false;
  }
  std::wstring type = element.attribute(L"type").value();
  if (type != L"And" && type != L"Or") {
    problem = L"query type \"" + type + L"\" is neither And nor Or";
    return false;
  }
  out.any = type == L"Or";
  for (pugi::xml_node metadata : element.children(L"metadata")) {
    Condition condition;
    condition.field = metadata.attribute(L"field").value();
    if (condition.field.empty()) {
      problem = L"a metadata condition has no field";
      return false;
    }
    std::wstring compare = metadata.attribute(L"compareType").value();
    if (!ParseCompare(compare, condition.compare)) {
      problem = L"unknown compareType \"" + compare + L"\"";
      return false;
    }
    condition.value = metadata.child_value();
    out.conditions.push_back(condition);
  }
  for (pugi::xml_node sub : element.children(L"query")) {
    out.groups.emplace_back();
    if (!ReadGroup(sub, depth + 1, out.groups.back(), problem)) return false;
  }
  return true;
}

}  // namespace

bool ReadQuery(pugi::xml_node query, ConditionGroup& out, std::wstring& problem) {
  out = ConditionGroup();
  return ReadGroup(query, 1, out, problem);
}

}  // namespace service
}  // namespace hv
