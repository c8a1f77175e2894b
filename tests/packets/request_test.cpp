// The packet requests against a local service: exact URLs, methods, headers and body bytes, and how the
// answer's status becomes the result.
#include <gtest/gtest.h>

#include <mutex>
#include <vector>

#include <hvpelk/version.h>

#include "common/scratch.h"
#include "common/test_server.h"
#include "packets/content_query.h"
#include "packets/ping.h"
#include "packets/report.h"
#include "common/packets_fixture.h"

namespace hv {
namespace {

using hvtest::PacketStart;
using hvtest::StatusOf;
using hvtest::TestIdentity;
using hvtest::Utf16Le;

const char kServicePath[] = "/hvtr/trellin";
const char kAgent[] = "HvWebServiceClient (hvvornet " HVPELK_VERSION_TEXT ";App 1.0;)";
const char kFullAgent[] =
    "HvWebServiceClient (hvvornet " HVPELK_VERSION_TEXT ";App 1.0;hvpelk " HVPELK_VERSION_TEXT ";Wrap 2.0;)";

std::string StatusAnswer(const std::string& code) {
  return "<?xml version=\"1.0\" encoding=\"utf-8\"?><packet><header><server><status code=\"" + code +
         "\">message</status></server></header><body/></packet>";
}

// The distribution service at the configured secure URL: answers every GET and POST with the current
// answer and HTTP status, optionally holding the answer until the test opens the gate.
class Service {
 public:
  Service() : key_(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Halvorn\\Trellin") {
    auto handler = [this](const httplib::Request&, httplib::Response& response) {
      std::string body;
      int status = 200;
      hvtest::Gate* gate = nullptr;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        body = answer_;
        status = httpStatus_;
        gate = gate_;
      }
      if (gate) gate->Wait();
      response.status = status;
      response.set_content(body, "text/xml");
    };
    server_.server().Get(kServicePath, handler);
    server_.server().Post(kServicePath, handler);
    server_.Start();
    key_.SetString(key_.path(), L"S_URL", server_.WUrl(kServicePath));
  }

  void Answer(const std::string& body, int httpStatus = 200) {
    std::lock_guard<std::mutex> lock(mutex_);
    answer_ = body;
    httpStatus_ = httpStatus;
  }
  void HoldAnswersAt(hvtest::Gate* gate) {
    std::lock_guard<std::mutex> lock(mutex_);
    gate_ = gate;
  }

  // The request bodies received so far, in order.
  std::vector<std::string> Bodies() const {
    std::vector<std::string> bodies;
    for (const hvtest::RecordedRequest& request : server_.Requests()) bodies.push_back(request.body);
    return bodies;
  }
  hvtest::TestServer& server() { return server_; }
  const hvtest::ScratchKey& key() const { return key_; }

 private:
  hvtest::ScratchKey key_;
  hvtest::TestServer server_;
  std::mutex mutex_;
  std::string answer_;
  int httpStatus_ = 200;
  hvtest::Gate* gate_ = nullptr;
};

TEST(PingRequest, GetUrlAndStatusMapping) {
  Service service;
  ClientIdentity identity = TestIdentity();

  service.Answer(StatusAnswer("900"));
  {
    PingRequest ping(identity, true);
    EXPECT_EQ(0, ping.Run(10000, true));
    EXPECT_EQ(PELK_S_NOTHING_OUTSTANDING, ping.Check(10));
    EXPECT_EQ(PELK_E_SERVICE_900, StatusOf([&] { ping.CheckAnswer(); }));
  }
  ASSERT_EQ(1u, service.server().Requests().size());
  const hvtest::RecordedRequest request = service.server().Requests()[0];
  EXPECT_EQ("GET", request.method);
  EXPECT_EQ("/hvtr/trellin?cmd=PingCmd:Ping&module=Trellin", request.target);
  EXPECT_EQ("", request.body);
  EXPECT_FALSE(request.HasHeader("Accept-Encoding"));
  EXPECT_EQ(kAgent, request.Header("User-Agent"));

  // No status in the answer: success.
  service.Answer("<packet><header/><body/></packet>");
  {
    PingRequest ping(identity, true);
    EXPECT_EQ(0, ping.Run(10000, false));
    EXPECT_EQ(0, StatusOf([&] { ping.CheckAnswer(); }));
  }

  // Submitted without waiting: the same result once the answer is in.
  hvtest::Gate gate;
  service.HoldAnswersAt(&gate);
  service.Answer(StatusAnswer("6000"));
  {
    PingRequest ping(identity, true);
    EXPECT_EQ(PELK_S_STILL_RUNNING, ping.Run(0, false));
    gate.Open();
    EXPECT_EQ(0, ping.Check(10000));
    EXPECT_EQ(PELK_E_SERVICE_6000, StatusOf([&] { ping.CheckAnswer(); }));
  }
  service.HoldAnswersAt(nullptr);

  // Answers that are not packets.
  for (const auto& answer : {std::make_pair(std::string(""), PELK_E_EMPTY_RESPONSE),
                             std::make_pair(std::string("<packet><header>"), PELK_E_MALFORMED_RESPONSE)}) {
    service.Answer(answer.first);
    PingRequest ping(identity, true);
    EXPECT_EQ(0, ping.Run(10000, true));
    EXPECT_EQ(answer.second, StatusOf([&] { ping.CheckAnswer(); }));
    EXPECT_EQ(answer.second, StatusOf([&] { ping.CheckAnswer(); }));  // parsed afresh, failing alike
  }
}

TEST(CommandRequest, QueryPacketBytesAndAnswer) {
  Service service;
  ClientIdentity identity = TestIdentity();
  ContentQuery query;
  StartDefaultFilter(query, false);
  query.AddCondition(L"distPackageGUID", L"{A&B}", CompareType::Equal);

  // An unclosed query fails while composing: nothing is sent.
  EXPECT_EQ(PELK_E_ROOT_NOT_CLOSED, StatusOf([&] {
              CommandRequest(identity, L"ContentCmd:Query", Packet(PacketHeader(identity, L""), L"contentQuery", query),
                             true);
            }));
  EXPECT_TRUE(service.server().Requests().empty());

  query.CloseGroup();
  query.CloseGroup();
  service.Answer(
      "<packet><header><server><status code=\"0\"/></server></header>"
      "<body><update><ID>1</ID></update><update><ID>2</ID></update></body></packet>");
  CommandRequest request(identity, L"ContentCmd:Query", Packet(PacketHeader(identity, L""), L"contentQuery", query),
                         true);
  EXPECT_EQ(0, request.Run(10000, true));
  const AnswerPacket& answer = request.Answer();
  EXPECT_EQ(&answer, &request.Answer());  // parsed once
  EXPECT_EQ(0, answer.ServiceStatusCode());
  std::vector<XmlElement> updates;
  EXPECT_EQ(2u, FindChildren(answer.Body(), L"update", updates));
  EXPECT_EQ(L"2", GetChildText(updates[1], L"ID"));

  ASSERT_EQ(1u, service.server().Requests().size());
  const hvtest::RecordedRequest sent = service.server().Requests()[0];
  EXPECT_EQ("POST", sent.method);
  EXPECT_EQ("/hvtr/trellin?cmd=ContentCmd:Query&trellin%5Fversion=2%2E0", sent.target);
  EXPECT_EQ("gzip", sent.Header("Accept-Encoding"));
  EXPECT_EQ(kFullAgent, sent.Header("User-Agent"));
  const std::wstring expected = PacketStart(L"\t\t<locale />\n") +
                                L"\t\t<contentQuery>\n"
                                L"\t\t\t<query type=\"And\">\n"
                                L"\t\t\t\t<metadata field=\"contentType\">UPDATE</metadata>\n"
                                L"\t\t\t\t<metadata field=\"targetClient\">Quillan Distribution</metadata>\n"
                                L"\t\t\t\t<metadata field=\"status\">live</metadata>\n"
                                L"\t\t\t\t<metadata field=\"locale\">en-XX</metadata>\n"
                                L"\t\t\t\t<query type=\"Or\">\n"
                                L"\t\t\t\t\t<metadata field=\"distPackageGUID\">{A&amp;B}</metadata>\n"
                                L"\t\t\t\t</query>\n"
                                L"\t\t\t</query>\n"
                                L"\t\t</contentQuery>\n"
                                L"\t</body>\n"
                                L"</packet>\n";
  const std::string body = service.Bodies()[0];
  ASSERT_GE(body.size(), 2u);
  EXPECT_EQ("\xFF\xFE", body.substr(0, 2));
  EXPECT_EQ(Utf16Le(expected), body);

  // The registry switch turns gzip off; a service status is mapped.
  service.key().SetString(service.key().path(), L"DisableEncoding", L"TRUE");
  service.Answer(StatusAnswer("100"));
  CommandRequest plain(identity, L"ContentCmd:Query", Packet(PacketHeader(identity, L"de-DE"), L"contentQuery", query),
                       true);
  EXPECT_EQ(0, plain.Run(10000, false));
  EXPECT_EQ(PELK_E_SERVICE_100_200, StatusOf([&] { plain.Answer().CheckServiceStatus(); }));
  ASSERT_EQ(2u, service.server().Requests().size());
  EXPECT_FALSE(service.server().Requests()[1].HasHeader("Accept-Encoding"));
}

std::wstring StatisticGroup(const std::wstring& url, const std::wstring& status) {
  return L"\t\t\t<group>\n"
         L"\t\t\t\t<name>DownloadStatistic</name>\n"
         L"\t\t\t\t<entry>\n"
         L"\t\t\t\t\t<name>url</name>\n"
         L"\t\t\t\t\t" +
         url +
         L"\n"
         L"\t\t\t\t</entry>\n"
         L"\t\t\t\t<entry>\n"
         L"\t\t\t\t\t<name>status</name>\n"
         L"\t\t\t\t\t" +
         status +
         L"\n"
         L"\t\t\t\t</entry>\n"
         L"\t\t\t</group>\n";
}

void AddStatistic(ReportCommand& report, const std::wstring& url, const std::wstring& status) {
  const size_t group = report.AddGroup(L"DownloadStatistic");
  report.AddEntry(group, L"url", url);
  report.AddEntry(group, L"status", status);
}

TEST(ReportCommand, SendsGroupsAndKeepsThemOnFailure) {
  hvtest::UserIdBackup backup;
  const std::wstring id = L"{0F0F0F0F-1234-5678-9ABC-DEF012345678}";
  hvtest::SetStoredUserId(&id);
  Service service;
  const ClientIdentity identity = TestIdentity();

  // Nothing collected: nothing sent, neither by Submit nor on destruction.
  {
    ReportCommand empty(identity, L"de-DE", 0);
    EXPECT_EQ(0, empty.Submit(-1));
  }
  EXPECT_TRUE(service.server().Requests().empty());

  ReportCommand report(identity, L"de-DE", PELK_FLAG_SILENT_PROXY_AUTH);
  report.SetSendOnDestroy(false);
  AddStatistic(report, L"http://dl.invalid/a.exe", L"0x40002005");
  AddStatistic(report, L"http://dl.invalid/b.exe?x=1&y=2", L"0x40002006");

  service.Answer(StatusAnswer("700"));
  EXPECT_EQ(PELK_E_SERVICE_700_800, StatusOf([&] { report.Submit(-1); }));
  service.Answer("<packet><header/></packet>");
  EXPECT_EQ(0, report.Submit(-1));  // the same groups again
  service.Answer("", 404);
  EXPECT_EQ(PELK_E_HTTP_404, StatusOf([&] { report.Submit(-1); }));

  const std::wstring expected = PacketStart(L"\t\t<locale>de-DE</locale>\n") + L"\t\t<report>\n" +
                                hvtest::ClientBlockLines(3, id, identity) +
                                StatisticGroup(L"http://dl.invalid/a.exe", L"0x40002005") +
                                StatisticGroup(L"http://dl.invalid/b.exe?x=1&amp;y=2", L"0x40002006") +
                                L"\t\t</report>\n"
                                L"\t</body>\n"
                                L"</packet>\n";
  const auto requests = service.server().Requests();
  ASSERT_EQ(3u, requests.size());
  for (const hvtest::RecordedRequest& sent : requests) {
    EXPECT_EQ("POST", sent.method);
    EXPECT_EQ("/hvtr/trellin?cmd=ReportCmd:Report&trellin%5Fversion=2%2E0", sent.target);
    EXPECT_EQ(kFullAgent, sent.Header("User-Agent"));
  }
  for (const std::string& body : service.Bodies()) EXPECT_EQ(Utf16Le(expected), body);
}

TEST(ReportCommand, SendOnDestroy) {
  hvtest::UserIdBackup backup;
  Service service;
  service.Answer(StatusAnswer("0"));
  {
    ReportCommand cleared(TestIdentity(), L"", 0);
    cleared.SetSendOnDestroy(false);
    AddStatistic(cleared, L"u", L"s");
  }
  EXPECT_TRUE(service.server().Requests().empty());

  service.Answer(StatusAnswer("800"));  // a failure on destruction is dropped
  {
    ReportCommand sending(TestIdentity(), L"", 0);
    AddStatistic(sending, L"u", L"s");
  }
  const auto requests = service.server().Requests();
  ASSERT_EQ(1u, requests.size());
  EXPECT_NE(std::string::npos, service.Bodies()[0].find(Utf16Le(L"<name>DownloadStatistic</name>")));
}

}  // namespace
}  // namespace hv
