#include "packets/content_query.h"

#include <gtest/gtest.h>

#include "common/packets_fixture.h"

namespace hv {
namespace {

using hvtest::StatusOf;

std::wstring Written(const ContentQuery& query) {
  PacketDocument document(L"contentQuery", L"");
  query.Write(document, document.Root());
  return document.Save(true, false);
}

TEST(ContentQuery, DefaultFilterAndCallerConditions) {
  ContentQuery query;
  StartDefaultFilter(query, false);
  EXPECT_EQ(PELK_E_ROOT_NOT_CLOSED, StatusOf([&] { Written(query); }));
  query.CloseGroup();
  query.CloseGroup();
  const std::wstring defaults =
      L"\xFEFF<contentQuery>\n"
      L"\t<query type=\"And\">\n"
      L"\t\t<metadata field=\"contentType\">UPDATE</metadata>\n"
      L"\t\t<metadata field=\"targetClient\">Quillan Distribution</metadata>\n"
      L"\t\t<metadata field=\"status\">live</metadata>\n"
      L"\t\t<metadata field=\"locale\">en-XX</metadata>\n"
      L"\t\t<query type=\"Or\" />\n"
      L"\t</query>\n"
      L"</contentQuery>\n";
  EXPECT_EQ(defaults, Written(query));
  EXPECT_EQ(defaults, Written(query));  // writing does not change the query

  // Caller conditions go into the Or group; a distribution triple is an And group inside it.
  StartDefaultFilter(query, false);
  query.AddCondition(L"distPackageGUID", L"{P1}", CompareType::Equal);
  query.OpenGroup(QueryOperator::And);
  query.AddCondition(L"distributionGUID", L"{D}", CompareType::Equal);
  query.AddCondition(L"distributionLanguage", L"", CompareType::Equal);
  query.AddCondition(L"distributionVersion", L" 1.0 ", CompareType::Equal);
  query.CloseGroup();
  query.AddCondition(L"distPackageGUID", L"{P2}", CompareType::Equal);
  query.CloseGroup();
  query.CloseGroup();
  const std::wstring withFilters =
      L"\xFEFF<contentQuery>\n"
      L"\t<query type=\"And\">\n"
      L"\t\t<metadata field=\"contentType\">UPDATE</metadata>\n"
      L"\t\t<metadata field=\"targetClient\">Quillan Distribution</metadata>\n"
      L"\t\t<metadata field=\"status\">live</metadata>\n"
      L"\t\t<metadata field=\"locale\">en-XX</metadata>\n"
      L"\t\t<query type=\"Or\">\n"
      L"\t\t\t<metadata field=\"distPackageGUID\">{P1}</metadata>\n"
      L"\t\t\t<metadata field=\"distPackageGUID\">{P2}</metadata>\n"
      L"\t\t\t<query type=\"And\">\n"
      L"\t\t\t\t<metadata field=\"distributionGUID\">{D}</metadata>\n"
      L"\t\t\t\t<metadata field=\"distributionLanguage\"></metadata>\n"
      L"\t\t\t\t<metadata field=\"distributionVersion\"> 1.0 </metadata>\n"
      L"\t\t\t</query>\n"
      L"\t\t</query>\n"
      L"\t</query>\n"
      L"</contentQuery>\n";
  EXPECT_EQ(withFilters, Written(query));

  // After a submit the cursor is the root: further conditions and groups join it.
  query.AddCondition(L"late", L"x", CompareType::Equal);
  query.OpenGroup(QueryOperator::Or);
  const std::wstring text = Written(query);  // the root is still marked closed
  EXPECT_NE(std::wstring::npos, text.find(L"\t\t<metadata field=\"late\">x</metadata>\n\t\t<query type=\"Or\">\n"));
  EXPECT_NE(std::wstring::npos, text.find(L"\t\t</query>\n\t\t<query type=\"Or\" />\n\t</query>\n"));
}

TEST(ContentQuery, CompareTypesAndConditionOrder) {
  ContentQuery query;
  query.OpenGroup(QueryOperator::Or);
  query.OpenGroup(QueryOperator::And);  // a sub-group added before the conditions
  query.CloseGroup();
  query.AddCondition(L"a", L"0", CompareType::Equal);
  query.AddCondition(L"b", L"1", CompareType::NotEqual);
  query.AddCondition(L"c", L"2", CompareType::Contains);
  query.AddCondition(L"d", L"3", CompareType::GreaterThan);
  query.AddCondition(L"e", L"4", CompareType::GreaterThanEqual);
  query.AddCondition(L"f", L"5", CompareType::LessThan);
  query.AddCondition(L"g", L"6", CompareType::LessThanEqual);
  query.AddCondition(L"h", L"<&>", static_cast<CompareType>(7));
  query.AddCondition(L"i", L"-1", static_cast<CompareType>(-1));
  query.CloseGroup();
  query.CloseGroup();  // the root stays current
  EXPECT_EQ(
      L"\xFEFF<contentQuery>\n"
      L"\t<query type=\"Or\">\n"
      L"\t\t<metadata field=\"a\">0</metadata>\n"
      L"\t\t<metadata compareType=\"NotEqual\" field=\"b\">1</metadata>\n"
      L"\t\t<metadata compareType=\"Contains\" field=\"c\">2</metadata>\n"
      L"\t\t<metadata compareType=\"GreaterThan\" field=\"d\">3</metadata>\n"
      L"\t\t<metadata compareType=\"GreaterThanEqual\" field=\"e\">4</metadata>\n"
      L"\t\t<metadata compareType=\"LessThan\" field=\"f\">5</metadata>\n"
      L"\t\t<metadata compareType=\"LessThanEqual\" field=\"g\">6</metadata>\n"
      L"\t\t<metadata field=\"h\">&lt;&amp;&gt;</metadata>\n"
      L"\t\t<metadata field=\"i\">-1</metadata>\n"
      L"\t\t<query type=\"And\" />\n"
      L"\t</query>\n"
      L"</contentQuery>\n",
      Written(query));
}

TEST(ContentQuery, BuildingAndWritingFailures) {
  ContentQuery query;
  EXPECT_EQ(PELK_E_NO_ROOT_GROUP, StatusOf([&] { Written(query); }));
  EXPECT_EQ(PELK_E_NO_OPEN_GROUP, StatusOf([&] { query.AddCondition(L"a", L"b", CompareType::Equal); }));
  EXPECT_EQ(PELK_E_NO_OPEN_GROUP, StatusOf([&] { query.CloseGroup(); }));

  query.OpenGroup(QueryOperator::And);
  query.OpenGroup(static_cast<QueryOperator>(2));
  query.CloseGroup();
  query.CloseGroup();
  EXPECT_EQ(PELK_E_QUERY_OPERATOR, StatusOf([&] { Written(query); }));

  query.Reset();
  EXPECT_EQ(PELK_E_NO_ROOT_GROUP, StatusOf([&] { Written(query); }));
  EXPECT_EQ(PELK_E_NO_OPEN_GROUP, StatusOf([&] { query.AddCondition(L"a", L"b", CompareType::Equal); }));
  EXPECT_EQ(PELK_E_NO_OPEN_GROUP, StatusOf([&] { query.CloseGroup(); }));

  // An open sub-group does not stop the write; only the root must be closed.
  query.OpenGroup(QueryOperator::And);
  query.CloseGroup();
  query.OpenGroup(QueryOperator::Or);
  EXPECT_EQ(L"\xFEFF<contentQuery>\n\t<query type=\"And\">\n\t\t<query type=\"Or\" />\n\t</query>\n</contentQuery>\n",
            Written(query));
}

}  // namespace
}  // namespace hv
