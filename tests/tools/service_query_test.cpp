// The substitute service's content queries and the exact text of its answers.
#include "service_fixture.h"

#include <string>

#include <hvpelk/version.h>

#include "query.h"

namespace servicetest {
namespace {

// The default filter and one package and one (GUID, language, version) group, in the form the client
// posts: indented by tabs, a header naming the caller, no byte order mark inside the text.
const wchar_t kClientQuery[] =
    L"<?xml version=\"1.0\"?>\n"
    L"<packet xmlns=\"http://schemas.hvpelk.invalid/packet/2.0\" "
    L"xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
    L"xsi:schemaLocation=\"http://schemas.hvpelk.invalid/packet/2.0 Schemas/Common/2.0/Packet.xsd\" "
    L"schemaVersion=\"2.0\">\n"
    L"\t<header>\n"
    L"\t\t<locale>en-US</locale>\n"
    L"\t\t<date />\n"
    L"\t\t<client>\n"
    L"\t\t\t<swapp version=\"\">Setup</swapp>\n"
    L"\t\t\t<corelib version=\"" HVPELK_VERSION_TEXT
    "\">hvpelk</corelib>\n"
    L"\t\t\t<wrapperlib version=\"\"></wrapperlib>\n"
    L"\t\t</client>\n"
    L"\t</header>\n"
    L"\t<body>\n"
    L"\t\t<contentQuery>\n"
    L"\t\t\t<query type=\"And\">\n"
    L"\t\t\t\t<metadata field=\"contentType\">UPDATE</metadata>\n"
    L"\t\t\t\t<metadata field=\"targetClient\">Quillan Distribution</metadata>\n"
    L"\t\t\t\t<metadata field=\"status\">live</metadata>\n"
    L"\t\t\t\t<metadata field=\"locale\">en-XX</metadata>\n"
    L"\t\t\t\t<query type=\"Or\">\n"
    L"\t\t\t\t\t<metadata field=\"distPackageGUID\">{aaaa0000-0000-0000-0000-00000000000a}</metadata>\n"
    L"\t\t\t\t\t<query type=\"And\">\n"
    L"\t\t\t\t\t\t<metadata field=\"distributionGUID\">{BBBB1111-0000-0000-0000-00000000000B}</metadata>\n"
    L"\t\t\t\t\t\t<metadata field=\"distributionLanguage\">de</metadata>\n"
    L"\t\t\t\t\t\t<metadata field=\"distributionVersion\">1.10</metadata>\n"
    L"\t\t\t\t\t</query>\n"
    L"\t\t\t\t</query>\n"
    L"\t\t\t</query>\n"
    L"\t\t</contentQuery>\n"
    L"\t</body>\n"
    L"</packet>\n";

TEST_F(ServiceTest, QueryEvaluatesAndOrAndNesting) {
  Start(Options());
  EXPECT_EQ(Ids({"A1", "B1"}),
            Query(And(Meta(L"contentType", L"UPDATE") + Meta(L"targetClient", L"Quillan Distribution"))).ids);
  EXPECT_EQ(Ids({"B1", "C1"}),
            Query(Or(Meta(L"distPackageGUID", kPackageB) + Meta(L"distributionLanguage", L"fr"))).ids);
  // The client's own shape: fixed conditions, then an Or group of packages and (guid, language, version)
  // groups. Values match without regard to case, versions by their numbers.
  Answer nested = Query(And(Meta(L"contentType", L"update") + Meta(L"targetClient", L"Quillan Distribution") +
                            Meta(L"locale", L"en-xx") +
                            Or(Meta(L"distPackageGUID", kPackageA) +
                               And(Meta(L"distributionGUID", kGuidB) + Meta(L"distributionLanguage", L"DE") +
                                   Meta(L"distributionVersion", L"1.10.0.0")))));
  EXPECT_EQ(0, nested.status);
  EXPECT_EQ(Ids({"A1", "B1"}), nested.ids);
  EXPECT_EQ(Ids({"C1", "E1"}), Query(Or(And(Meta(L"contentType", L"PATCH") + Meta(L"locale", L"fr-XX")) +
                                        And(Meta(L"status", L"retired"))))
                                   .ids);
  // An empty group restricts nothing, also inside another group.
  EXPECT_EQ(Ids({"A1", "C1"}), Query(And(Meta(L"status", L"live") + Or(L""))).ids);
  EXPECT_EQ(Ids({"A1", "B1", "C1", "E1"}), Query(L"<query type=\"And\" />").ids);
  // A field the service does not know matches nothing, whatever the comparison.
  EXPECT_EQ(Ids(), Query(Or(Meta(L"productName", L"Alpha Tool"))).ids);
  EXPECT_EQ(Ids(), Query(Or(Meta(L"DistPackageGUID", kPackageB, L"NotEqual"))).ids);

  // A query exactly as the client sends it, indented, with its header: status "live" keeps B1 out.
  httplib::Result result = Post(kQueryCmd, Utf16Body(kClientQuery));
  ASSERT_TRUE(result);
  EXPECT_EQ(Ids({"A1"}), ReadAnswer(result->body).ids);
}

TEST_F(ServiceTest, EveryCompareType) {
  Start(Options());
  auto version = [&](const std::wstring& compare, const std::wstring& value) {
    return Query(And(Meta(L"distributionVersion", value, compare))).ids;
  };
  // Versions A1 1.2.0.0, B1 1.10, C1 2.0.1, E1 0.1: compared by numbers, so 1.10 is above 1.9.
  EXPECT_EQ(Ids({"A1"}), version(L"", L"1.2"));
  EXPECT_EQ(Ids({"B1", "C1", "E1"}), version(L"NotEqual", L"1.2"));
  EXPECT_EQ(Ids({"B1", "C1"}), version(L"GreaterThan", L"1.9"));
  EXPECT_EQ(Ids({"B1", "C1"}), version(L"GreaterThanEqual", L"1.10.0"));
  EXPECT_EQ(Ids({"A1", "E1"}), version(L"LessThan", L"1.10"));
  EXPECT_EQ(Ids({"A1", "E1"}), version(L"LessThanEqual", L"1.2"));
  EXPECT_EQ(Ids({"A1", "C1"}), version(L"Contains", L".0."));
  // Text values: ASCII case is ignored.
  EXPECT_EQ(Ids({"A1", "B1", "E1"}), Query(And(Meta(L"targetClient", L"quillan", L"Contains"))).ids);
  EXPECT_EQ(Ids({"A1", "C1", "E1"}), Query(And(Meta(L"distributionLanguage", L"DE", L"GreaterThan"))).ids);
  EXPECT_EQ(Ids({"B1"}), Query(And(Meta(L"distributionLanguage", L"De", L"LessThanEqual"))).ids);
  EXPECT_EQ(Ids({"A1", "C1", "E1"}), Query(And(Meta(L"distributionLanguage", L"e", L"GreaterThanEqual"))).ids);
  EXPECT_EQ(Ids({"B1"}), Query(And(Meta(L"distributionLanguage", L"e", L"LessThan"))).ids);

  Answer unknown = Query(And(Meta(L"distributionVersion", L"1", L"Between")));
  EXPECT_EQ(100, unknown.status);
  EXPECT_TRUE(unknown.ids.empty());

  // Numbers of any length compare without overflow; leading zeros do not count; other texts compare
  // as text.
  EXPECT_EQ(0, hv::service::CompareValues(L"1.02", L"1.2"));
  EXPECT_GT(hv::service::CompareValues(L"18446744073709551616.1", L"18446744073709551615.9"), 0);
  EXPECT_LT(hv::service::CompareValues(L"1.9", L"1.10"), 0);
  EXPECT_GT(hv::service::CompareValues(L"1.9a", L"1.10a"), 0);
  EXPECT_EQ(0, hv::service::CompareValues(L"abc", L"ABC"));
}

// Every element, attribute, escape, indentation and line end of an answer with updates. Empty values are
// empty elements; an install condition always has its start and end tag.
TEST_F(ServiceTest, AnswerIsExactlyThisText) {
  Start(Options());
  httplib::Result result =
      Post(kQueryCmd,
           Utf16Body(QueryPacket(Or(Meta(L"distributionLanguage", L"en") + Meta(L"distributionLanguage", L"fr")))));
  ASSERT_TRUE(result);
  const std::string files = service->Url() + "/files/";
  const std::string expected =
      std::string(kAnswerStart) +
      "\t\t\t<status code=\"0\">OK</status>\n"
      "\t\t</server>\n"
      "\t</header>\n"
      "\t<body>\n"
      "\t\t<update>\n"
      "\t\t\t<ID>A1</ID>\n"
      "\t\t\t<productName>Alpha Tool</productName>\n"
      "\t\t\t<downloadSize>43</downloadSize>\n"
      "\t\t\t<plugin>\n"
      "\t\t\t\t<updateProductCode>AT</updateProductCode>\n"
      "\t\t\t\t<updateProductVersion>1.2.0.0</updateProductVersion>\n"
      "\t\t\t\t<updateMinimumVersion>1.0</updateMinimumVersion>\n"
      "\t\t\t\t<downloadUrl>" +
      files +
      "alpha.txt</downloadUrl>\n"
      // The published MD5 digest of the pangram.
      "\t\t\t\t<downloadChecksum>9e107d9d372bb6826bd81d3542a419d6</downloadChecksum>\n"
      "\t\t\t</plugin>\n"
      "\t\t\t<updateInfo>\n"
      "\t\t\t\t<client>\n"
      "\t\t\t\t\t<hvdistid DistPackageGUID=\"{AAAA0000-0000-0000-0000-00000000000A}\" "
      "DistributionGUID=\"{AAAA1111-0000-0000-0000-00000000000A}\" DistributionLanguage=\"en\" "
      "DistributionVersion=\"1.2.0.0\" />\n"
      "\t\t\t\t</client>\n"
      "\t\t\t</updateInfo>\n"
      "\t\t\t<installConditions>\n"
      "\t\t\t\t<installCondition type=\"os\">6.1</installCondition>\n"
      "\t\t\t\t<installCondition type=\"ram\">512</installCondition>\n"
      "\t\t\t\t<installCondition type=\"os\">10.0</installCondition>\n"
      "\t\t\t</installConditions>\n"
      "\t\t</update>\n"
      "\t\t<update>\n"
      "\t\t\t<ID>C1</ID>\n"
      "\t\t\t<productName>Alpha Tool (French)</productName>\n"
      "\t\t\t<downloadSize>6</downloadSize>\n"
      "\t\t\t<plugin>\n"
      "\t\t\t\t<updateProductCode />\n"
      "\t\t\t\t<updateProductVersion />\n"
      "\t\t\t\t<updateMinimumVersion />\n"
      "\t\t\t\t<downloadUrl>" +
      files +
      "gamma%20file%2B1.txt</downloadUrl>\n"
      "\t\t\t\t<downloadChecksum>303febb9068384eca46b5b6516843b35</downloadChecksum>\n"
      "\t\t\t</plugin>\n"
      "\t\t\t<updateInfo>\n"
      "\t\t\t\t<client>\n"
      "\t\t\t\t\t<hvdistid DistPackageGUID=\"{AAAA0000-0000-0000-0000-00000000000A}\" "
      "DistributionGUID=\"{CCCC1111-0000-0000-0000-00000000000C}\" DistributionLanguage=\"fr\" "
      "DistributionVersion=\"2.0.1\" />\n"
      "\t\t\t\t</client>\n"
      "\t\t\t</updateInfo>\n"
      "\t\t\t<installConditions>\n"
      "\t\t\t\t<installCondition type=\"sp&amp;lang\">\"fr\" &lt;2&gt;</installCondition>\n"
      "\t\t\t</installConditions>\n"
      "\t\t</update>\n"
      "\t\t<update>\n"
      "\t\t\t<ID>E1</ID>\n"
      "\t\t\t<productName>Empty</productName>\n"
      "\t\t\t<downloadSize>0</downloadSize>\n"
      "\t\t\t<plugin>\n"
      "\t\t\t\t<updateProductCode />\n"
      "\t\t\t\t<updateProductVersion />\n"
      "\t\t\t\t<updateMinimumVersion />\n"
      "\t\t\t\t<downloadUrl>" +
      files +
      "empty.txt</downloadUrl>\n"
      "\t\t\t\t<downloadChecksum>d41d8cd98f00b204e9800998ecf8427e</downloadChecksum>\n"
      "\t\t\t</plugin>\n"
      "\t\t\t<updateInfo>\n"
      "\t\t\t\t<client>\n"
      "\t\t\t\t\t<hvdistid DistPackageGUID=\"{EEEE0000-0000-0000-0000-00000000000E}\" "
      "DistributionGUID=\"{EEEE1111-0000-0000-0000-00000000000E}\" DistributionLanguage=\"en\" "
      "DistributionVersion=\"0.1\" />\n"
      "\t\t\t\t</client>\n"
      "\t\t\t</updateInfo>\n"
      "\t\t\t<installConditions />\n"
      "\t\t</update>\n"
      "\t</body>\n"
      "</packet>\n";
  EXPECT_EQ(200, result->status);
  EXPECT_EQ("text/xml; charset=utf-8", result->get_header_value("Content-Type"));
  EXPECT_EQ("", result->get_header_value("Content-Encoding"));
  EXPECT_EQ(expected, MaskDate(result->body));

  // The percent-encoded name of a file with a blank and a plus sign downloads that file.
  httplib::Result gamma = client->Get("/files/gamma%20file%2B1.txt");
  ASSERT_TRUE(gamma);
  EXPECT_EQ(200, gamma->status);
  EXPECT_EQ("gamma\n", gamma->body);
}

TEST_F(ServiceTest, StatusAnswersAreExactlyThisText) {
  Start(Options());
  // Nothing matches: status 0 and an empty body.
  httplib::Result result = Post(kQueryCmd, Utf16Body(QueryPacket(And(Meta(L"distributionLanguage", L"xx")))));
  ASSERT_TRUE(result);
  EXPECT_EQ(StatusAnswer("<status code=\"0\">OK</status>"), MaskDate(result->body));
  // A refused query: the status and its message, quotes as they are.
  result = Post(kQueryCmd, Utf16Body(QueryPacket(L"<query type=\"Xor\" />")));
  ASSERT_TRUE(result);
  EXPECT_EQ(StatusAnswer("<status code=\"100\">Bad query: query type \"Xor\" is neither And nor Or</status>"),
            MaskDate(result->body));
  result = client->Get(kPingCmd);
  ASSERT_TRUE(result);
  EXPECT_EQ(StatusAnswer("<status code=\"0\">OK</status>"), MaskDate(result->body));

  service.reset();
  Start(Options({L"--ping-status", L"-7"}));
  result = client->Get(kPingCmd);
  ASSERT_TRUE(result);
  EXPECT_EQ(StatusAnswer("<status code=\"-7\">Status set by --ping-status</status>"), MaskDate(result->body));
}

// --public-url decides the download URLs; a service on every address names the one it was reached at.
TEST_F(ServiceTest, DownloadUrlsFollowTheAddress) {
  const std::wstring alpha = And(Meta(L"distributionGUID", L"{AAAA1111-0000-0000-0000-00000000000A}"));
  Start(Options({L"--public-url", L"http://files.example:8080/"}));
  httplib::Result result = Post(kQueryCmd, Utf16Body(QueryPacket(alpha)));
  ASSERT_TRUE(result);
  EXPECT_EQ(std::vector<std::string>({"http://files.example:8080/files/alpha.txt"}),
            ElementTexts(result->body, "downloadUrl"));
  service.reset();
  Start(Options({L"--host", L"0.0.0.0"}));
  result = Post(kQueryCmd, Utf16Body(QueryPacket(alpha)));
  ASSERT_TRUE(result);
  EXPECT_EQ(std::vector<std::string>({"http://127.0.0.1:" + std::to_string(service->port()) + "/files/alpha.txt"}),
            ElementTexts(result->body, "downloadUrl"));
}

}  // namespace
}  // namespace servicetest
