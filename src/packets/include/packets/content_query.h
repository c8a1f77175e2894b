// The content query: a tree of And/Or groups of field conditions, written into the "contentQuery"
// element of a request packet. Conditions are added to the current group (the cursor).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "packets/xml.h"

namespace hv {

// How a condition compares its field; Equal writes no "compareType" attribute.
enum class CompareType : int32_t {
  Equal = 0,
  NotEqual = 1,
  Contains = 2,
  GreaterThan = 3,
  GreaterThanEqual = 4,
  LessThan = 5,
  LessThanEqual = 6,
};

// The logical operator of a group; any other value fails when written (PELK_E_QUERY_OPERATOR).
enum class QueryOperator : int32_t { And = 0, Or = 1 };

// A "metadata" element: "compareType" (unless Equal or unknown), then "field", and the value as text.
class QueryCondition : public XmlWritable {
 public:
  QueryCondition(const std::wstring& field, const std::wstring& value, CompareType compare);
  void Write(PacketDocument& document, XmlElement element) const override;

 private:
  std::wstring field_;
  std::wstring value_;
  CompareType compare_;
};

// A "query" element with its "type", its conditions and then its sub-groups.
class QueryGroup : public XmlWritable {
 public:
  QueryGroup(QueryOperator op, QueryGroup* parent);
  QueryGroup(const QueryGroup&) = delete;
  QueryGroup& operator=(const QueryGroup&) = delete;

  // Throws PELK_E_QUERY_OPERATOR for an operator other than And or Or.
  void Write(PacketDocument& document, XmlElement element) const override;

 private:
  friend class ContentQuery;

  bool closed_ = false;
  QueryOperator operator_;
  QueryGroup* parent_;
  std::vector<QueryCondition> conditions_;
  std::vector<std::unique_ptr<QueryGroup>> subGroups_;
};

class ContentQuery : public XmlWritable {
 public:
  ContentQuery() = default;
  ContentQuery(const ContentQuery&) = delete;
  ContentQuery& operator=(const ContentQuery&) = delete;

  // Drops the whole tree.
  void Reset();
  // The first group becomes the root; later ones become sub-groups of the current group. The new group
  // is the current one.
  void OpenGroup(QueryOperator op);
  // Appends to the current group; PELK_E_NO_OPEN_GROUP when there is none.
  void AddCondition(const std::wstring& field, const std::wstring& value, CompareType compare);
  // Marks the current group closed and moves to its parent (the root stays current);
  // PELK_E_NO_OPEN_GROUP when there is no current group.
  void CloseGroup();

  // Writes the root group as "query"; PELK_E_NO_ROOT_GROUP without a root, PELK_E_ROOT_NOT_CLOSED while
  // the root is open. Does not change the query.
  void Write(PacketDocument& document, XmlElement element) const override;

 private:
  QueryGroup* current_ = nullptr;
  std::unique_ptr<QueryGroup> root_;
};

// Resets the query to the filter every connection starts with: an And root of the fixed conditions
// ("contentType" UPDATE, "targetClient", "status" live unless internalTesting, "locale" en-XX) holding an
// open Or group that receives the caller's conditions.
void StartDefaultFilter(ContentQuery& query, bool internalTesting);

}  // namespace hv
