// The substitute service's reports, and its answers to malformed requests.
#include "service_fixture.h"

#include <string>
#include <vector>

namespace servicetest {
namespace {

TEST_F(ServiceTest, ReportsAreStoredOnePerDocument) {
  Start(Options());
  EXPECT_EQ(0, Report(L"{USER-1}").status);
  EXPECT_EQ(0, Report(L"{USER-2}").status);
  // Not a report: answered with a status and not stored.
  httplib::Result wrong = Post(kReportCmd, Utf16Body(QueryPacket(And(L""))));
  ASSERT_TRUE(wrong);
  EXPECT_EQ(100, ReadAnswer(wrong->body).status);

  std::string stored = hvtest::ReadFileBytes(dir.File(L"reports.xml"));
  const std::string separator = "==== report received ";
  std::vector<std::string> documents;
  for (size_t at = stored.find(separator); at != std::string::npos;) {
    size_t start = stored.find('\n', at) + 1;
    size_t next = stored.find(separator, start);
    documents.push_back(stored.substr(start, next == std::string::npos ? std::string::npos : next - start));
    at = next;
  }
  ASSERT_EQ(2u, documents.size()) << stored;
  EXPECT_EQ(0u, stored.find(separator));
  EXPECT_NE(std::string::npos, stored.find(" from 127.0.0.1 ====\n"));
  // Each report as received, on one line: texts (the entry's value beside its name) stay as they came.
  for (size_t i = 0; i < documents.size(); ++i) {
    EXPECT_EQ(
        "<?xml version=\"1.0\"?><packet xmlns=\"http://schemas.hvpelk.invalid/packet/2.0\"><header>"
        "<locale>en-XX</locale><date/></header><body><report><userId>{USER-" +
            std::to_string(i + 1) +
            "}</userId><product>Setup</product><group><name>DownloadStatistic</name><entry><name>bytes</name>"
            "200000</entry></group></report></body></packet>\n",
        documents[i]);
  }

  // A forced status keeps the report out of the file; a file that cannot be written gives status 800.
  service.reset();
  Start(Options({L"--report-status", L"900"}));
  EXPECT_EQ(900, Report(L"{USER-3}").status);
  EXPECT_TRUE(hvtest::ReadFileBytes(dir.File(L"reports.xml")) == stored);
  service.reset();
  Start(Options({L"--reports", dir.path()}));
  Answer unstored = Report(L"{USER-4}");
  EXPECT_EQ(800, unstored.status);
  EXPECT_EQ("The report could not be stored", unstored.message);
}

TEST_F(ServiceTest, MalformedInputGetsAnAnswer) {
  Start(Options());
  auto status = [&](const std::string& target, const std::string& body) {
    httplib::Result result = Post(target, body);
    if (!result || result->status != 200) {
      ADD_FAILURE() << target << " got no packet answer";
      return -1;
    }
    return ReadAnswer(result->body).status;
  };
  std::wstring deep = Meta(L"locale", L"en-XX");
  for (int i = 0; i < 100; ++i) deep = And(deep);

  EXPECT_EQ(100, status(kQueryCmd, ""));
  EXPECT_EQ(100, status(kQueryCmd, Utf16Body(L"<packet><body><contentQuery><query type=\"And\">")));
  EXPECT_EQ(100, status(kQueryCmd, std::string("\x00\x01\x02\xFF garbage", 12)));
  EXPECT_EQ(
      100, status(kQueryCmd, Utf16Body(L"<other><body><contentQuery>" + And(L"") + L"</contentQuery></body></other>")));
  EXPECT_EQ(100, status(kQueryCmd, Utf16Body(Packet(L""))));
  EXPECT_EQ(100, status(kQueryCmd, Utf16Body(QueryPacket(L"<query type=\"Xor\" />"))));
  EXPECT_EQ(100, status(kQueryCmd, Utf16Body(QueryPacket(And(L"<metadata>UPDATE</metadata>")))));
  EXPECT_EQ(100, status(kQueryCmd, Utf16Body(QueryPacket(deep))));
  EXPECT_EQ(100, status(kReportCmd, "<packet><body/></packet>"));
  EXPECT_EQ(200,
            status("/hvtr/trellin?cmd=ContentCmd:Delete&trellin%5Fversion=2%2E0", Utf16Body(QueryPacket(And(L"")))));
  EXPECT_EQ(200, status("/hvtr/trellin", Utf16Body(QueryPacket(And(L"")))));
  EXPECT_EQ(300,
            status("/hvtr/trellin?cmd=ContentCmd:Query&trellin%5Fversion=1%2E0", Utf16Body(QueryPacket(And(L"")))));
  EXPECT_EQ(300, status("/hvtr/trellin?cmd=ReportCmd:Report", Utf16Body(Packet(L"<report />"))));
  httplib::Result otherModule = client->Get("/hvtr/trellin?cmd=PingCmd:Ping&module=Other");
  ASSERT_TRUE(otherModule);
  EXPECT_EQ(300, ReadAnswer(otherModule->body).status);

  // Wrong methods and paths are HTTP errors.
  httplib::Result getQuery = client->Get(kQueryCmd);
  ASSERT_TRUE(getQuery);
  EXPECT_EQ(405, getQuery->status);
  EXPECT_EQ("POST", getQuery->get_header_value("Allow"));
  httplib::Result postPing = Post(kPingCmd, "x");
  ASSERT_TRUE(postPing);
  EXPECT_EQ(405, postPing->status);
  httplib::Result put = client->Put(kQueryCmd, "x", "text/plain");
  ASSERT_TRUE(put);
  EXPECT_EQ(405, put->status);
  httplib::Result huge = Post(kReportCmd, std::string((4u << 20) + 1, '<'));
  ASSERT_TRUE(huge);
  EXPECT_EQ(413, huge->status);
  httplib::Result elsewhere = client->Get("/hvtr/other?cmd=PingCmd:Ping&module=Trellin");
  ASSERT_TRUE(elsewhere);
  EXPECT_EQ(404, elsewhere->status);

  // After all that the service still answers.
  EXPECT_EQ(0, Ping().status);
}

}  // namespace
}  // namespace servicetest
