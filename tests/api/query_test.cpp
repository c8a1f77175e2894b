// The content query through the exports: states, list replacement, the filter sent, the getters.
#include <regex>

#include "common/api_fixture.h"

namespace hvtest {
namespace {

class Query : public ApiTest {
 protected:
  void AnswerWithTwo() {
    onQuery = [this](const httplib::Request&, httplib::Response& res) {
      res.set_content(AnswerPacket(0, UpdateElement({"C1", "First", NarrowFileUrl("a.bin"), "0123abcd", "{P1}", "{D1}",
                                                     "en", "1.0", "4294967296"}) +
                                          UpdateElement({"C2", "", "", "", "", "", "", "", "x"})),
                      "text/xml");
    };
  }

  int32_t Count(int32_t handle) {
    int32_t count = -1;
    EXPECT_EQ(PELK_S_OK, pelk.PelkGetDistCount(handle, &count));
    return count;
  }
};

TEST_F(Query, SlowServiceIsPolledUntilTheAnswerIsCollectedOnce) {
  Gate gate;
  onQuery = [&](const httplib::Request&, httplib::Response& res) {
    gate.Wait();
    res.set_content(AnswerPacket(0, UpdateElement({"C1", "P", "", "", "", "", "", "", "1"})), "text/xml");
  };
  const int32_t h = Open();
  EXPECT_EQ(PELK_S_STILL_RUNNING, pelk.PelkQuerySubmit(h, 0));
  ASSERT_TRUE(server.WaitForRequests(1));
  EXPECT_EQ(PELK_S_STILL_RUNNING, pelk.PelkQueryCheck(h, 0));
  EXPECT_EQ(0, Count(h)) << "the list changes only when the answer is collected";
  gate.Open();
  int32_t status = PELK_S_STILL_RUNNING;
  for (int i = 0; i < 200 && status == PELK_S_STILL_RUNNING; ++i) status = pelk.PelkQueryCheck(h, 50);
  EXPECT_EQ(PELK_S_OK, status);
  EXPECT_EQ(1, Count(h));
  EXPECT_EQ(PELK_S_NOTHING_OUTSTANDING, pelk.PelkQueryCheck(h, 0));
  EXPECT_EQ(PELK_S_NOTHING_OUTSTANDING, pelk.PelkQueryCheck(h, 100));
}

TEST_F(Query, FastServiceWithALongLimitReplacesTheListAtOnce) {
  AnswerWithTwo();
  const int32_t h = Open();
  EXPECT_EQ(0, Count(h));
  EXPECT_EQ(PELK_S_OK, pelk.PelkQuerySubmit(h, 30000));
  EXPECT_EQ(2, Count(h));
  EXPECT_EQ(PELK_S_NOTHING_OUTSTANDING, pelk.PelkQueryCheck(h, 0));

  // Every field, an empty one as an empty BSTR, and the size above 32 bits.
  EXPECT_EQ(L"C1", Text(pelk.PelkGetContentId, h, 0));
  EXPECT_EQ(L"First", Text(pelk.PelkGetProductName, h, 0));
  EXPECT_EQ(FileUrl("a.bin"), Text(pelk.PelkGetDistDownloadURL, h, 0));
  EXPECT_EQ(L"0123abcd", Text(pelk.PelkGetDistChecksum, h, 0));
  EXPECT_EQ(L"{P1}", Text(pelk.PelkGetDistPackageGUID, h, 0));
  EXPECT_EQ(L"{D1}", Text(pelk.PelkGetDistGUID, h, 0));
  EXPECT_EQ(L"en", Text(pelk.PelkGetDistLanguage, h, 0));
  EXPECT_EQ(L"1.0", Text(pelk.PelkGetDistVersion, h, 0));
  EXPECT_EQ(L"", Text(pelk.PelkGetProductName, h, 1));
  uint64_t size = 1;
  EXPECT_EQ(PELK_S_OK, pelk.PelkGetDistDownloadSize(h, 0, &size));
  EXPECT_EQ(4294967296ULL, size);
  EXPECT_EQ(PELK_S_OK, pelk.PelkGetDistDownloadSize(h, 1, &size));
  EXPECT_EQ(0u, size) << "a size that is not a number reads as 0";

  // A BSTR already in the caller's VARIANT is freed and replaced.
  VARIANT text;
  VariantInit(&text);
  V_VT(&text) = VT_BSTR;
  V_BSTR(&text) = SysAllocString(L"old value");
  EXPECT_EQ(PELK_S_OK, pelk.PelkGetContentId(h, 1, &text));
  EXPECT_STREQ(L"C2", V_BSTR(&text));
  VariantClear(&text);

  // Indices -1 and count are rejected and nothing is written.
  size = 9;
  EXPECT_EQ(PELK_E_BAD_INDEX, pelk.PelkGetDistDownloadSize(h, -1, &size));
  EXPECT_EQ(PELK_E_BAD_INDEX, pelk.PelkGetDistDownloadSize(h, 2, &size));
  EXPECT_EQ(9u, size);
  V_VT(&text) = VT_EMPTY;
  EXPECT_EQ(PELK_E_BAD_INDEX, pelk.PelkGetDistChecksum(h, -1, &text));
  EXPECT_EQ(PELK_E_BAD_INDEX, pelk.PelkGetDistChecksum(h, 2, &text));
  EXPECT_EQ(VT_EMPTY, V_VT(&text));
}

TEST_F(Query, ThePreviousListSurvivesFailuresCancelsAndServiceStatuses) {
  AnswerWithTwo();
  const int32_t h = Open();
  ASSERT_EQ(PELK_S_OK, pelk.PelkQuerySubmit(h, 30000));
  ASSERT_EQ(2, Count(h));

  onQuery = [](const httplib::Request&, httplib::Response& res) { res.set_content(AnswerPacket(100), "text/xml"); };
  EXPECT_EQ(PELK_E_SERVICE_100_200, pelk.PelkQuerySubmit(h, 30000));
  EXPECT_EQ(2, Count(h));
  EXPECT_EQ(L"C1", Text(pelk.PelkGetContentId, h, 0));

  onQuery = [](const httplib::Request&, httplib::Response& res) {
    res.status = 500;
    res.set_content("broken", "text/plain");
  };
  EXPECT_EQ(PELK_E_HTTP_SERVER, pelk.PelkQuerySubmit(h, 30000));
  EXPECT_EQ(2, Count(h));

  onQuery = [](const httplib::Request&, httplib::Response& res) { res.set_content("<packet><header>", "text/xml"); };
  EXPECT_EQ(PELK_E_MALFORMED_RESPONSE, pelk.PelkQuerySubmit(h, 30000));
  EXPECT_EQ(2, Count(h));

  Gate gate;
  onQuery = [&](const httplib::Request&, httplib::Response& res) {
    gate.Wait();
    res.set_content(AnswerPacket(0), "text/xml");
  };
  const size_t before = server.Requests().size();
  EXPECT_EQ(PELK_S_STILL_RUNNING, pelk.PelkQuerySubmit(h, 0));
  ASSERT_TRUE(server.WaitForRequests(before + 1));
  EXPECT_EQ(PELK_S_OK, pelk.PelkQueryCancel(h));
  EXPECT_EQ(2, Count(h));
  EXPECT_EQ(PELK_S_NOTHING_OUTSTANDING, pelk.PelkQueryCheck(h, 0));
  gate.Open();

  // An answer without any update empties the list.
  onQuery = [](const httplib::Request&, httplib::Response& res) { res.set_content(AnswerPacket(0), "text/xml"); };
  EXPECT_EQ(PELK_S_OK, pelk.PelkQuerySubmit(h, 30000));
  EXPECT_EQ(0, Count(h));
}

TEST_F(Query, SendsTheDefaultFilterWithTheCallersConditions) {
  const int32_t h = Open(0, L"fr-FR");
  EXPECT_EQ(PELK_S_OK, pelk.PelkSetDistPackageGuid(h, L"{P-1}"));
  EXPECT_EQ(PELK_S_OK, pelk.PelkSetDistPackageGuid(h, L"{P-2}"));
  EXPECT_EQ(PELK_S_OK, pelk.PelkSetDistGuidAndVersion(h, L"{D-1}", L"de", L"2.5"));
  ASSERT_EQ(PELK_S_OK, pelk.PelkQuerySubmit(h, 30000));

  const std::vector<RecordedRequest> sent = Sent("ContentCmd:Query");
  ASSERT_EQ(1u, sent.size());
  EXPECT_EQ("POST", sent[0].method);
  EXPECT_EQ("/hvtr/trellin?cmd=ContentCmd:Query&trellin%5Fversion=2%2E0", sent[0].target);
  const std::wstring body = BodyText(sent[0].body);

  const std::wstring expectedQuery =
      L"\t\t<contentQuery>\n"
      L"\t\t\t<query type=\"And\">\n"
      L"\t\t\t\t<metadata field=\"contentType\">UPDATE</metadata>\n"
      L"\t\t\t\t<metadata field=\"targetClient\">Quillan Distribution</metadata>\n"
      L"\t\t\t\t<metadata field=\"status\">live</metadata>\n"
      L"\t\t\t\t<metadata field=\"locale\">en-XX</metadata>\n"
      L"\t\t\t\t<query type=\"Or\">\n"
      L"\t\t\t\t\t<metadata field=\"distPackageGUID\">{P-1}</metadata>\n"
      L"\t\t\t\t\t<metadata field=\"distPackageGUID\">{P-2}</metadata>\n"
      L"\t\t\t\t\t<query type=\"And\">\n"
      L"\t\t\t\t\t\t<metadata field=\"distributionGUID\">{D-1}</metadata>\n"
      L"\t\t\t\t\t\t<metadata field=\"distributionLanguage\">de</metadata>\n"
      L"\t\t\t\t\t\t<metadata field=\"distributionVersion\">2.5</metadata>\n"
      L"\t\t\t\t\t</query>\n"
      L"\t\t\t\t</query>\n"
      L"\t\t\t</query>\n"
      L"\t\t</contentQuery>\n";
  EXPECT_NE(std::wstring::npos, body.find(expectedQuery)) << std::string(body.begin(), body.end());
  EXPECT_NE(std::wstring::npos, body.find(L"<locale>fr-FR</locale>")) << "the header carries the caller's locale";

  // "InternalTesting" drops the status condition; a reset discards the caller's conditions.
  trellin.SetDword(trellin.path(), L"InternalTesting", 1);
  EXPECT_EQ(PELK_S_OK, pelk.PelkQueryReset(h));
  ASSERT_EQ(PELK_S_OK, pelk.PelkQuerySubmit(h, 30000));
  const std::wstring second = BodyText(Sent("ContentCmd:Query").at(1).body);
  EXPECT_EQ(std::wstring::npos, second.find(L"field=\"status\""));
  EXPECT_EQ(std::wstring::npos, second.find(L"{P-1}"));
  EXPECT_NE(std::wstring::npos, second.find(L"<query type=\"Or\" />"));
}

}  // namespace
}  // namespace hvtest
