#include "packets/content_query.h"

#include "support/status.h"

namespace hv {
namespace {

// The "compareType" text of each CompareType value; none for Equal, and unknown values are written alike.
const wchar_t* CompareTypeText(CompareType compare) {
  static const wchar_t* const kTexts[] = {
      nullptr, L"NotEqual", L"Contains", L"GreaterThan", L"GreaterThanEqual", L"LessThan", L"LessThanEqual"};
  const auto index = static_cast<size_t>(compare);
  return index < sizeof(kTexts) / sizeof(kTexts[0]) ? kTexts[index] : nullptr;
}

}  // namespace

QueryCondition::QueryCondition(const std::wstring& field, const std::wstring& value, CompareType compare)
    : field_(field), value_(value), compare_(compare) {}

void QueryCondition::Write(PacketDocument&, XmlElement element) const {
  SetElementText(element, value_);
  if (const wchar_t* text = CompareTypeText(compare_)) SetAttribute(element, L"compareType", text, true);
  SetAttribute(element, L"field", field_, true);
}

QueryGroup::QueryGroup(QueryOperator op, QueryGroup* parent) : operator_(op), parent_(parent) {}

void QueryGroup::Write(PacketDocument& document, XmlElement element) const {
  const wchar_t* type = nullptr;
  switch (operator_) {
    case QueryOperator::And: type = L"And"; break;
    case QueryOperator::Or: type = L"Or"; break;
    default: Throw(PELK_E_QUERY_OPERATOR);
  }
  SetAttribute(element, L"type", type, true);
  // Conditions first, then sub-groups, whatever order they were added in.
  for (const QueryCondition& condition : conditions_) AppendWritten(element, L"metadata", document, condition);
  for (const auto& group : subGroups_) AppendWritten(element, L"query", document, *group);
}

void ContentQuery::Reset() {
  current_ = nullptr;
  root_.reset();
}

void ContentQuery::OpenGroup(QueryOperator op) {
  if (!root_) {
    root_ = std::make_unique<QueryGroup>(op, nullptr);
    current_ = root_.get();
    return;
  }
  current_->subGroups_.push_back(std::make_unique<QueryGroup>(op, current_));
  current_ = current_->subGroups_.back().get();
}

void ContentQuery::AddCondition(const std::wstring& field, const std::wstring& value, CompareType compare) {
  if (!current_) Throw(PELK_E_NO_OPEN_GROUP);
  current_->conditions_.emplace_back(field, value, compare);
}

void ContentQuery::CloseGroup() {
  if (!current_) Throw(PELK_E_NO_OPEN_GROUP);
  current_->closed_ = true;
  current_ = current_->parent_ ? current_->parent_ : root_.get();
}

void ContentQuery::Write(PacketDocument& document, XmlElement element) const {
  if (!root_) Throw(PELK_E_NO_ROOT_GROUP);
  if (!root_->closed_) Throw(PELK_E_ROOT_NOT_CLOSED);
  AppendWritten(element, L"query", document, *root_);
}

void StartDefaultFilter(ContentQuery& query, bool internalTesting) {
  query.Reset();
  query.OpenGroup(QueryOperator::And);
  query.AddCondition(L"contentType", L"UPDATE", CompareType::Equal);
  query.AddCondition(L"targetClient", L"Quillan Distribution", CompareType::Equal);
  if (!internalTesting) query.AddCondition(L"status", L"live", CompareType::Equal);
  // The filter always asks for this locale, whatever the caller opened the connection with.
  query.AddCondition(L"locale", L"en-XX", CompareType::Equal);
  query.OpenGroup(QueryOperator::Or);
}

}  // namespace hv
