// The substitute distribution service, run in-process on a free port and driven over HTTP.
#include "common/test_server.h"  // first: httplib with the shared pool size

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/scratch.h"
#include "packets/content_query.h"
#include "packets/distribution.h"
#include "packets/packet.h"
#include "packets/xml.h"
#include "service/catalog.h"
#include "service/options.h"
#include "service/query.h"
#include "service/service.h"
#include "service/text.h"
#include "support/status.h"
#include "transport/gzip.h"

namespace {

using hv::service::Catalog;
using hv::service::DistributionService;
using hv::service::ServiceOptions;

// A file whose MD5 digest is widely published: the service's checksum is checked against it.
const char kPangram[] = "The quick brown fox jumps over the lazy dog";
const wchar_t kPangramMd5[] = L"9e107d9d372bb6826bd81d3542a419d6";

const char kQueryCmd[] = "/hvtr/trellin?cmd=ContentCmd:Query&trellin%5Fversion=2%2E0";
const char kReportCmd[] = "/hvtr/trellin?cmd=ReportCmd:Report&trellin%5Fversion=2%2E0";
const char kPingCmd[] = "/hvtr/trellin?cmd=PingCmd:Ping&module=Trellin";

const char kCatalog[] =
    "# test catalog\r\n"
    "[distribution]\r\n"
    "id = A1\r\n"
    "productName = Alpha Tool\r\n"
    "file = alpha.txt\r\n"
    "distPackageGUID = {AAAA0000-0000-0000-0000-00000000000A}\r\n"
    "distributionGUID = {AAAA1111-0000-0000-0000-00000000000A}\r\n"
    "distributionLanguage = en\r\n"
    "distributionVersion = 1.2.0.0\r\n"
    "updateProductCode = AT\r\n"
    "updateProductVersion = 1.2.0.0\r\n"
    "updateMinimumVersion = 1.0\r\n"
    "installCondition.os = 6.1\r\n"
    "installCondition.ram = 512\r\n"
    "installCondition.os = 10.0\r\n"
    "\r\n"
    "[distribution]\r\n"
    "id = B1\r\n"
    "productName = Beta Tool\r\n"
    "file = beta.bin\r\n"
    "distPackageGUID = {BBBB0000-0000-0000-0000-00000000000B}\r\n"
    "distributionGUID = {BBBB1111-0000-0000-0000-00000000000B}\r\n"
    "distributionLanguage = de\r\n"
    "distributionVersion = 1.10\r\n"
    "status = beta\r\n"
    "\r\n"
    "[distribution]\r\n"
    "id = C1\r\n"
    "productName = Alpha Tool (French)\r\n"
    "file = gamma file+1.txt\r\n"
    "distPackageGUID = {AAAA0000-0000-0000-0000-00000000000A}\r\n"
    "distributionGUID = {CCCC1111-0000-0000-0000-00000000000C}\r\n"
    "distributionLanguage = fr\r\n"
    "distributionVersion = 2.0.1\r\n"
    "contentType = PATCH\r\n"
    "targetClient = Other Client\r\n"
    "locale = fr-XX\r\n"
    "\r\n"
    "[distribution]\r\n"
    "id = E1\r\n"
    "productName = Empty\r\n"
    "file = empty.txt\r\n"
    "distPackageGUID = {EEEE0000-0000-0000-0000-00000000000E}\r\n"
    "distributionGUID = {EEEE1111-0000-0000-0000-00000000000E}\r\n"
    "distributionLanguage = en\r\n"
    "distributionVersion = 0.1\r\n"
    "contentType = NOTE\r\n"
    "status = retired\r\n";

const wchar_t kPackageA[] = L"{aaaa0000-0000-0000-0000-00000000000a}";  // lower case on purpose
const wchar_t kPackageB[] = L"{BBBB0000-0000-0000-0000-00000000000B}";
const wchar_t kGuidB[] = L"{BBBB1111-0000-0000-0000-00000000000B}";

// UTF-16LE behind FF FE, as the client posts its packets.
std::string Utf16Body(const std::wstring& text) {
  std::string bytes("\xFF\xFE", 2);
  for (wchar_t c : text) {
    bytes += static_cast<char>(c & 0xFF);
    bytes += static_cast<char>((c >> 8) & 0xFF);
  }
  return bytes;
}

std::wstring Packet(const std::wstring& command) {
  return std::wstring(L"<?xml version=\"1.0\"?>\n<packet xmlns=\"") + hv::kPacketNamespace +
         L"\"><header><locale>en-XX</locale><date /></header><body>" + command + L"</body></packet>";
}

std::wstring QueryPacket(const std::wstring& query) { return Packet(L"<contentQuery>" + query + L"</contentQuery>"); }

std::wstring Meta(const std::wstring& field, const std::wstring& value, const std::wstring& compare = L"") {
  std::wstring type = compare.empty() ? L"" : L" compareType=\"" + compare + L"\"";
  return L"<metadata" + type + L" field=\"" + field + L"\">" + value + L"</metadata>";
}

std::wstring And(const std::wstring& members) { return L"<query type=\"And\">" + members + L"</query>"; }
std::wstring Or(const std::wstring& members) { return L"<query type=\"Or\">" + members + L"</query>"; }

// What a test reads from an answer packet.
struct Answer {
  int http = 0;
  int32_t status = -1;
  std::wstring message;
  std::vector<hv::DistributionRecord> updates;

  std::vector<std::wstring> Ids() const {
    std::vector<std::wstring> ids;
    for (const hv::DistributionRecord& update : updates) ids.push_back(update.contentId);
    return ids;
  }
};

Answer ReadAnswer(int http, const std::string& body) {
  Answer answer;
  answer.http = http;
  hv::PacketDocument document;
  if (hv::StatusOf([&] { document.Load(body); }) != 0) {
    ADD_FAILURE() << "the answer is no XML document: " << body;
    return answer;
  }
  const hv::AnswerPacket packet(body);
  answer.status = packet.ServiceStatusCode();
  answer.message = hv::GetElementText(hv::FindChild(hv::FindChild(hv::FindChild(document.Root(), L"header"), L"server"), L"status"), false);
  std::vector<hv::XmlElement> updates;
  hv::FindChildren(packet.Body(), L"update", updates);
  for (hv::XmlElement update : updates) answer.updates.emplace_back(update);
  return answer;
}

using Ids = std::vector<std::wstring>;

// One exchange over a plain socket, with the request exactly as written; returns everything the server
// sent until it closed the connection (the request asks it to).
std::string RawExchange(int port, const std::string& request) {
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  EXPECT_NE(INVALID_SOCKET, s);
  DWORD timeoutMs = 10000;
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeoutMs), sizeof timeoutMs);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<u_short>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string received;
  if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      send(s, request.data(), static_cast<int>(request.size()), 0) == static_cast<int>(request.size())) {
    char buffer[65536];
    int got = 0;
    while ((got = recv(s, buffer, sizeof buffer, 0)) > 0) received.append(buffer, static_cast<size_t>(got));
  }
  closesocket(s);
  return received;
}

struct RawResponse {
  std::string statusLine;
  std::string headers;
  std::string body;
};

RawResponse SplitResponse(const std::string& raw) {
  RawResponse response;
  size_t lineEnd = raw.find("\r\n");
  size_t headEnd = raw.find("\r\n\r\n");
  if (lineEnd == std::string::npos || headEnd == std::string::npos) return response;
  response.statusLine = raw.substr(0, lineEnd);
  response.headers = raw.substr(lineEnd + 2, headEnd - lineEnd);
  response.body = raw.substr(headEnd + 4);
  return response;
}

class ServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int i = 0; i < 200000; ++i) beta += static_cast<char>((i * 7919 + i / 251) & 0xFF);  // zeros included
    hvtest::WriteFileBytes(dir.File(L"alpha.txt"), kPangram);
    hvtest::WriteFileBytes(dir.File(L"beta.bin"), beta);
    hvtest::WriteFileBytes(dir.File(L"gamma file+1.txt"), "gamma\n");
    hvtest::WriteFileBytes(dir.File(L"empty.txt"), "");
    hvtest::WriteFileBytes(dir.File(L"catalog.ini"), kCatalog);
  }

  ServiceOptions Options(const std::vector<std::wstring>& args = {}) {
    ServiceOptions options;
    options.reportsFile = dir.File(L"reports.xml");
    bool help = false;
    std::string error;
    EXPECT_TRUE(hv::service::ParseCommandLine(args, options, help, error)) << error;
    options.catalogFolder = dir.path();
    options.port = 0;
    return options;
  }

  void Start(const ServiceOptions& options) {
    Catalog catalog;
    std::string error;
    ASSERT_TRUE(hv::service::LoadCatalog(dir.path(), catalog, error)) << error;
    service = std::make_unique<DistributionService>(std::move(catalog), options, [this](const std::string& line) {
      std::lock_guard<std::mutex> lock(linesMutex);
      lines.push_back(line);
      lineAdded.notify_all();
    });
    ASSERT_TRUE(service->Start(error)) << error;
    ASSERT_GT(service->port(), 0);
    client = std::make_unique<httplib::Client>("127.0.0.1", service->port());
    client->set_decompress(false);  // gzip answers are checked as they travel
    client->set_read_timeout(30, 0);
  }

  // A POST the way the client sends it: no Content-Type.
  httplib::Result Post(const std::string& target, const std::string& body, const httplib::Headers& headers = {}) {
    return client->Post(target.c_str(), headers, body, "");
  }

  Answer Query(const std::wstring& query) {
    httplib::Result result = Post(kQueryCmd, Utf16Body(QueryPacket(query)));
    if (!result) {
      ADD_FAILURE() << "no answer";
      return Answer();
    }
    return ReadAnswer(result->status, result->body);
  }

  Answer Ping() {
    httplib::Result result = client->Get(kPingCmd);
    if (!result) {
      ADD_FAILURE() << "no answer";
      return Answer();
    }
    return ReadAnswer(result->status, result->body);
  }

  Answer Report(const std::wstring& userId) {
    std::wstring report = L"<report><userId>" + userId +
                          L"</userId><product>Setup</product><group><name>DownloadStatistic</name><entry><name>"
                          L"bytes</name>200000</entry></group></report>";
    httplib::Result result = Post(kReportCmd, Utf16Body(Packet(report)));
    if (!result) {
      ADD_FAILURE() << "no answer";
      return Answer();
    }
    return ReadAnswer(result->status, result->body);
  }

  // The console lines, once at least count have been written (the line follows the answer).
  std::vector<std::string> WaitForLines(size_t count) {
    std::unique_lock<std::mutex> lock(linesMutex);
    lineAdded.wait_for(lock, std::chrono::seconds(10), [&] { return lines.size() >= count; });
    return lines;
  }

  hvtest::TempDir dir;
  std::string beta;
  std::unique_ptr<DistributionService> service;
  std::unique_ptr<httplib::Client> client;
  std::mutex linesMutex;
  std::condition_variable lineAdded;
  std::vector<std::string> lines;
};

TEST_F(ServiceTest, QueryEvaluatesAndOrAndNesting) {
  Start(Options());
  EXPECT_EQ(Ids({L"A1", L"B1"}),
            Query(And(Meta(L"contentType", L"UPDATE") + Meta(L"targetClient", L"Quillan Distribution"))).Ids());
  EXPECT_EQ(Ids({L"B1", L"C1"}), Query(Or(Meta(L"distPackageGUID", kPackageB) + Meta(L"distributionLanguage", L"fr"))).Ids());
  // The client's own shape: fixed conditions, then an Or group of packages and (guid, language, version)
  // groups. Values match without regard to case, versions by their numbers.
  Answer nested = Query(And(Meta(L"contentType", L"update") + Meta(L"targetClient", L"Quillan Distribution") +
                            Meta(L"locale", L"en-xx") +
                            Or(Meta(L"distPackageGUID", kPackageA) +
                               And(Meta(L"distributionGUID", kGuidB) + Meta(L"distributionLanguage", L"DE") +
                                   Meta(L"distributionVersion", L"1.10.0.0")))));
  EXPECT_EQ(0, nested.status);
  EXPECT_EQ(Ids({L"A1", L"B1"}), nested.Ids());
  EXPECT_EQ(Ids({L"C1", L"E1"}), Query(Or(And(Meta(L"contentType", L"PATCH") + Meta(L"locale", L"fr-XX")) +
                                           And(Meta(L"status", L"retired")))).Ids());
  // An empty group restricts nothing, also inside another group.
  EXPECT_EQ(Ids({L"A1", L"C1"}), Query(And(Meta(L"status", L"live") + Or(L""))).Ids());
  EXPECT_EQ(Ids({L"A1", L"B1", L"C1", L"E1"}), Query(L"<query type=\"And\" />").Ids());
  // A field the service does not know matches nothing, whatever the comparison.
  EXPECT_EQ(Ids(), Query(Or(Meta(L"productName", L"Alpha Tool"))).Ids());
  EXPECT_EQ(Ids(), Query(Or(Meta(L"DistPackageGUID", kPackageB, L"NotEqual"))).Ids());

  // The client's own query composer, as a connection fills it: status "live" keeps B1 out.
  hv::ContentQuery query;
  query.OpenGroup(hv::QueryOperator::And);
  query.AddCondition(L"contentType", L"UPDATE", hv::CompareType::Equal);
  query.AddCondition(L"targetClient", L"Quillan Distribution", hv::CompareType::Equal);
  query.AddCondition(L"status", L"live", hv::CompareType::Equal);
  query.AddCondition(L"locale", L"en-XX", hv::CompareType::Equal);
  query.OpenGroup(hv::QueryOperator::Or);
  query.AddCondition(L"distPackageGUID", kPackageA, hv::CompareType::Equal);
  query.OpenGroup(hv::QueryOperator::And);
  query.AddCondition(L"distributionGUID", kGuidB, hv::CompareType::Equal);
  query.AddCondition(L"distributionLanguage", L"de", hv::CompareType::Equal);
  query.AddCondition(L"distributionVersion", L"1.10", hv::CompareType::Equal);
  query.CloseGroup();
  query.CloseGroup();
  query.CloseGroup();
  hv::ClientIdentity identity;
  identity.appName = L"Setup";
  std::wstring text = hv::Packet(hv::PacketHeader(identity, L"en-US"), L"contentQuery", query).Text();
  ASSERT_EQ(0xFEFF, text[0]);
  httplib::Result result = Post(kQueryCmd, Utf16Body(text.substr(1)));
  ASSERT_TRUE(result);
  EXPECT_EQ(Ids({L"A1"}), ReadAnswer(result->status, result->body).Ids());
}

TEST_F(ServiceTest, EveryCompareType) {
  Start(Options());
  auto version = [&](const std::wstring& compare, const std::wstring& value) {
    return Query(And(Meta(L"distributionVersion", value, compare))).Ids();
  };
  // Versions A1 1.2.0.0, B1 1.10, C1 2.0.1, E1 0.1: compared by numbers, so 1.10 is above 1.9.
  EXPECT_EQ(Ids({L"A1"}), version(L"", L"1.2"));
  EXPECT_EQ(Ids({L"B1", L"C1", L"E1"}), version(L"NotEqual", L"1.2"));
  EXPECT_EQ(Ids({L"B1", L"C1"}), version(L"GreaterThan", L"1.9"));
  EXPECT_EQ(Ids({L"B1", L"C1"}), version(L"GreaterThanEqual", L"1.10.0"));
  EXPECT_EQ(Ids({L"A1", L"E1"}), version(L"LessThan", L"1.10"));
  EXPECT_EQ(Ids({L"A1", L"E1"}), version(L"LessThanEqual", L"1.2"));
  EXPECT_EQ(Ids({L"A1", L"C1"}), version(L"Contains", L".0."));
  // Text values: ASCII case is ignored.
  EXPECT_EQ(Ids({L"A1", L"B1", L"E1"}), Query(And(Meta(L"targetClient", L"quillan", L"Contains"))).Ids());
  EXPECT_EQ(Ids({L"A1", L"C1", L"E1"}), Query(And(Meta(L"distributionLanguage", L"DE", L"GreaterThan"))).Ids());
  EXPECT_EQ(Ids({L"B1"}), Query(And(Meta(L"distributionLanguage", L"De", L"LessThanEqual"))).Ids());
  EXPECT_EQ(Ids({L"A1", L"C1", L"E1"}), Query(And(Meta(L"distributionLanguage", L"e", L"GreaterThanEqual"))).Ids());
  EXPECT_EQ(Ids({L"B1"}), Query(And(Meta(L"distributionLanguage", L"e", L"LessThan"))).Ids());

  Answer unknown = Query(And(Meta(L"distributionVersion", L"1", L"Between")));
  EXPECT_EQ(100, unknown.status);
  EXPECT_TRUE(unknown.updates.empty());

  // Numbers of any length compare without overflow; leading zeros do not count; other texts compare
  // as text.
  EXPECT_EQ(0, hv::service::CompareValues(L"1.02", L"1.2"));
  EXPECT_GT(hv::service::CompareValues(L"18446744073709551616.1", L"18446744073709551615.9"), 0);
  EXPECT_LT(hv::service::CompareValues(L"1.9", L"1.10"), 0);
  EXPECT_GT(hv::service::CompareValues(L"1.9a", L"1.10a"), 0);
  EXPECT_EQ(0, hv::service::CompareValues(L"abc", L"ABC"));
}

TEST_F(ServiceTest, AnswerCarriesTheUpdateShape) {
  Start(Options());
  httplib::Result result = Post(kQueryCmd, Utf16Body(QueryPacket(Or(Meta(L"distributionLanguage", L"en") +
                                                                     Meta(L"distributionLanguage", L"fr")))));
  ASSERT_TRUE(result);
  EXPECT_EQ(200, result->status);
  EXPECT_EQ("text/xml; charset=utf-8", result->get_header_value("Content-Type"));
  EXPECT_EQ("", result->get_header_value("Content-Encoding"));
  Answer answer = ReadAnswer(result->status, result->body);
  EXPECT_EQ(0, answer.status);
  ASSERT_EQ(Ids({L"A1", L"C1", L"E1"}), answer.Ids());

  const hv::DistributionRecord& a = answer.updates[0];
  EXPECT_EQ(L"Alpha Tool", a.productName);
  EXPECT_EQ(sizeof kPangram - 1, a.downloadSize);
  EXPECT_EQ(kPangramMd5, a.downloadChecksum);
  EXPECT_EQ(L"AT", a.updateProductCode);
  EXPECT_EQ(L"1.2.0.0", a.updateProductVersion);
  EXPECT_EQ(L"1.0", a.updateMinimumVersion);
  EXPECT_EQ(hvtest::Widen(service->Url() + "/files/alpha.txt"), a.downloadUrl);
  EXPECT_EQ(L"{AAAA0000-0000-0000-0000-00000000000A}", a.distPackageGuid);
  EXPECT_EQ(L"{AAAA1111-0000-0000-0000-00000000000A}", a.distributionGuid);
  EXPECT_EQ(L"en", a.distributionLanguage);
  EXPECT_EQ(L"1.2.0.0", a.distributionVersion);
  EXPECT_EQ(std::vector<std::wstring>({L"os", L"ram"}), a.installConditionTypes);
  EXPECT_EQ(std::vector<std::wstring>({L"6.1", L"10.0"}), a.installConditions.at(L"os"));
  EXPECT_EQ(std::vector<std::wstring>({L"512"}), a.installConditions.at(L"ram"));

  // A file name with a blank and a plus sign travels percent-encoded and downloads under that URL.
  const hv::DistributionRecord& c = answer.updates[1];
  EXPECT_EQ(hvtest::Widen(service->Url() + "/files/gamma%20file%2B1.txt"), c.downloadUrl);
  httplib::Result gamma = client->Get("/files/gamma%20file%2B1.txt");
  ASSERT_TRUE(gamma);
  EXPECT_EQ(200, gamma->status);
  EXPECT_EQ("gamma\n", gamma->body);
  EXPECT_EQ(0u, answer.updates[2].downloadSize);
  EXPECT_EQ(L"d41d8cd98f00b204e9800998ecf8427e", answer.updates[2].downloadChecksum);  // MD5 of nothing

  // --public-url decides the download URLs; a service on every address names the one it was reached at.
  service.reset();
  Start(Options({L"--public-url", L"http://files.example:8080/"}));
  EXPECT_EQ(L"http://files.example:8080/files/alpha.txt", Query(And(Meta(L"distributionGUID",
                                                                        L"{AAAA1111-0000-0000-0000-00000000000A}")))
                                                                  .updates.at(0)
                                                                  .downloadUrl);
  service.reset();
  Start(Options({L"--host", L"0.0.0.0"}));
  EXPECT_EQ(hvtest::Widen("http://127.0.0.1:" + std::to_string(service->port()) + "/files/alpha.txt"),
            Query(And(Meta(L"distributionGUID", L"{AAAA1111-0000-0000-0000-00000000000A}"))).updates.at(0).downloadUrl);
}

TEST_F(ServiceTest, DownloadsAreByteIdenticalAndResume) {
  Start(Options());
  httplib::Result whole = client->Get("/files/beta.bin");
  ASSERT_TRUE(whole);
  EXPECT_EQ(200, whole->status);
  EXPECT_TRUE(whole->body == beta);
  EXPECT_EQ("200000", whole->get_header_value("Content-Length"));
  EXPECT_EQ("application/octet-stream", whole->get_header_value("Content-Type"));
  EXPECT_EQ("bytes", whole->get_header_value("Accept-Ranges"));

  // The client resumes with "Range:bytes=N-", without a blank after the colon.
  const size_t kept = 70000;
  RawResponse resumed = SplitResponse(RawExchange(
      service->port(), "GET /files/beta.bin HTTP/1.1\r\nHost: 127.0.0.1\r\nRange:bytes=70000-\r\nConnection: close\r\n\r\n"));
  EXPECT_EQ("HTTP/1.1 206 Partial Content", resumed.statusLine);
  EXPECT_NE(std::string::npos, resumed.headers.find("Content-Range: bytes 70000-199999/200000\r\n"));
  EXPECT_NE(std::string::npos, resumed.headers.find("Content-Length: 130000\r\n"));
  EXPECT_TRUE(beta.substr(0, kept) + resumed.body == beta);

  httplib::Result head = client->Get("/files/beta.bin", {{"Range", "bytes=0-9"}});
  ASSERT_TRUE(head);
  EXPECT_EQ(206, head->status);
  EXPECT_TRUE(head->body == beta.substr(0, 10));
  httplib::Result tail = client->Get("/files/beta.bin", {{"Range", "bytes=-5"}});
  ASSERT_TRUE(tail);
  EXPECT_EQ("bytes 199995-199999/200000", tail->get_header_value("Content-Range"));
  EXPECT_TRUE(tail->body == beta.substr(199995));
  httplib::Result pastEnd = client->Get("/files/beta.bin", {{"Range", "bytes=199990-300000"}});
  ASSERT_TRUE(pastEnd);
  EXPECT_EQ(206, pastEnd->status);
  EXPECT_TRUE(pastEnd->body == beta.substr(199990));
  // Several ranges are not served piecewise: the whole file comes back.
  httplib::Result several = client->Get("/files/beta.bin", {{"Range", "bytes=0-1, 5-6"}});
  ASSERT_TRUE(several);
  EXPECT_EQ(200, several->status);
  EXPECT_TRUE(several->body == beta);

  httplib::Result beyond = client->Get("/files/beta.bin", {{"Range", "bytes=200000-"}});
  ASSERT_TRUE(beyond);
  EXPECT_EQ(416, beyond->status);
  EXPECT_EQ("bytes */200000", beyond->get_header_value("Content-Range"));
  EXPECT_EQ("", beyond->body);

  httplib::Result empty = client->Get("/files/empty.txt");
  ASSERT_TRUE(empty);
  EXPECT_EQ(200, empty->status);
  EXPECT_EQ("0", empty->get_header_value("Content-Length"));
  EXPECT_NE("", empty->get_header_value("Content-Type"));

  // Only the catalog's files are served.
  for (const char* path : {"/files/missing.txt", "/files/catalog.ini", "/files/..%5Ccatalog.ini", "/files/"}) {
    httplib::Result refused = client->Get(path);
    ASSERT_TRUE(refused);
    EXPECT_EQ(404, refused->status) << path;
  }
}

TEST_F(ServiceTest, GzipOnlyWhenAskedAndAllowed) {
  Start(Options());
  std::string query = Utf16Body(QueryPacket(And(Meta(L"distributionLanguage", L"de"))));
  httplib::Result plain = Post(kQueryCmd, query);
  httplib::Result packed = Post(kQueryCmd, query, {{"Accept-Encoding", "gzip"}});
  httplib::Result refused = Post(kQueryCmd, query, {{"Accept-Encoding", "gzip;q=0, deflate"}});
  ASSERT_TRUE(plain && packed && refused);
  EXPECT_EQ("", plain->get_header_value("Content-Encoding"));
  EXPECT_EQ("", refused->get_header_value("Content-Encoding"));
  EXPECT_EQ("gzip", packed->get_header_value("Content-Encoding"));
  EXPECT_EQ(std::to_string(packed->body.size()), packed->get_header_value("Content-Length"));
  std::string decoded;
  ASSERT_TRUE(hv::DecodeGzipBuffer(packed->body, decoded));
  EXPECT_EQ(Ids({L"B1"}), ReadAnswer(packed->status, decoded).Ids());

  // Downloads are not compressed unless the option says so.
  httplib::Result file = client->Get("/files/beta.bin", {{"Accept-Encoding", "gzip"}});
  ASSERT_TRUE(file);
  EXPECT_EQ("", file->get_header_value("Content-Encoding"));
  EXPECT_TRUE(file->body == beta);

  service.reset();
  Start(Options({L"--no-gzip-answers", L"--gzip-downloads"}));
  packed = Post(kQueryCmd, query, {{"Accept-Encoding", "gzip"}});
  ASSERT_TRUE(packed);
  EXPECT_EQ("", packed->get_header_value("Content-Encoding"));
  EXPECT_EQ(Ids({L"B1"}), ReadAnswer(packed->status, packed->body).Ids());

  // A compressed download resumes within the compressed stream; it decodes to the file whose size and
  // checksum the catalog announces.
  httplib::Result compressed = client->Get("/files/beta.bin", {{"Accept-Encoding", "gzip"}});
  ASSERT_TRUE(compressed);
  EXPECT_EQ("gzip", compressed->get_header_value("Content-Encoding"));
  EXPECT_EQ(std::to_string(compressed->body.size()), compressed->get_header_value("Content-Length"));
  httplib::Result rest = client->Get("/files/beta.bin", {{"Accept-Encoding", "gzip"}, {"Range", "bytes=100-"}});
  ASSERT_TRUE(rest);
  EXPECT_EQ(206, rest->status);
  EXPECT_TRUE(compressed->body.substr(0, 100) + rest->body == compressed->body);
  decoded.clear();
  ASSERT_TRUE(hv::DecodeGzipBuffer(compressed->body, decoded));
  EXPECT_TRUE(decoded == beta);
  httplib::Result uncompressed = client->Get("/files/beta.bin");
  ASSERT_TRUE(uncompressed);
  EXPECT_EQ("", uncompressed->get_header_value("Content-Encoding"));
  EXPECT_TRUE(uncompressed->body == beta);
  Answer listed = Query(And(Meta(L"distributionLanguage", L"de")));
  ASSERT_EQ(1u, listed.updates.size());
  EXPECT_EQ(200000u, listed.updates[0].downloadSize);
}

TEST_F(ServiceTest, ReportsAreStoredOnePerDocument) {
  Start(Options());
  EXPECT_EQ(0, Report(L"{USER-1}").status);
  EXPECT_EQ(0, Report(L"{USER-2}").status);
  // Not a report: answered with a status and not stored.
  httplib::Result wrong = Post(kReportCmd, Utf16Body(QueryPacket(And(L""))));
  ASSERT_TRUE(wrong);
  EXPECT_EQ(100, ReadAnswer(wrong->status, wrong->body).status);

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
  const wchar_t* users[] = {L"{USER-1}", L"{USER-2}"};
  for (size_t i = 0; i < documents.size(); ++i) {
    hv::PacketDocument document;
    ASSERT_NO_THROW(document.Load(documents[i])) << documents[i];
    hv::XmlElement report = hv::FindChild(hv::FindChild(document.Root(), L"body"), L"report");
    EXPECT_EQ(users[i], hv::GetChildText(report, L"userId"));
    hv::XmlElement group = hv::FindChild(report, L"group");
    EXPECT_EQ(L"DownloadStatistic", hv::GetChildText(group, L"name"));
    EXPECT_EQ(L"200000", hv::GetElementText(hv::FindChild(group, L"entry"), false));
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
  EXPECT_EQ(L"The report could not be stored", unstored.message);
}

TEST_F(ServiceTest, StatusAndDelayOptions) {
  Start(Options({L"--status", L"900"}));
  EXPECT_EQ(900, Ping().status);
  Answer refused = Query(And(L""));
  EXPECT_EQ(900, refused.status);
  EXPECT_TRUE(refused.updates.empty());
  EXPECT_EQ(900, Report(L"{USER}").status);

  service.reset();
  Start(Options({L"--query-status", L"6000"}));
  EXPECT_EQ(0, Ping().status);
  EXPECT_EQ(6000, Query(And(L"")).status);
  EXPECT_EQ(0, Report(L"{USER}").status);

  // The delay is a lower bound on every answer, downloads included.
  service.reset();
  Start(Options({L"--delay-ms", L"300"}));
  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(0, Ping().status);
  auto elapsed = std::chrono::steady_clock::now() - started;
  EXPECT_GE(elapsed, std::chrono::milliseconds(300));
  started = std::chrono::steady_clock::now();
  httplib::Result file = client->Get("/files/alpha.txt");
  elapsed = std::chrono::steady_clock::now() - started;
  ASSERT_TRUE(file);
  EXPECT_EQ(kPangram, file->body);
  EXPECT_GE(elapsed, std::chrono::milliseconds(300));
}

TEST_F(ServiceTest, MalformedInputGetsAnAnswer) {
  Start(Options());
  auto status = [&](const std::string& target, const std::string& body) {
    httplib::Result result = Post(target, body);
    if (!result || result->status != 200) {
      ADD_FAILURE() << target << " got no packet answer";
      return -1;
    }
    return ReadAnswer(result->status, result->body).status;
  };
  std::wstring deep = Meta(L"locale", L"en-XX");
  for (int i = 0; i < 100; ++i) deep = And(deep);

  EXPECT_EQ(100, status(kQueryCmd, ""));
  EXPECT_EQ(100, status(kQueryCmd, Utf16Body(L"<packet><body><contentQuery><query type=\"And\">")));
  EXPECT_EQ(100, status(kQueryCmd, std::string("\x00\x01\x02\xFF garbage", 12)));
  EXPECT_EQ(100, status(kQueryCmd, Utf16Body(L"<other><body><contentQuery>" + And(L"") + L"</contentQuery></body></other>")));
  EXPECT_EQ(100, status(kQueryCmd, Utf16Body(Packet(L""))));
  EXPECT_EQ(100, status(kQueryCmd, Utf16Body(QueryPacket(L"<query type=\"Xor\" />"))));
  EXPECT_EQ(100, status(kQueryCmd, Utf16Body(QueryPacket(And(L"<metadata>UPDATE</metadata>")))));
  EXPECT_EQ(100, status(kQueryCmd, Utf16Body(QueryPacket(deep))));
  EXPECT_EQ(100, status(kReportCmd, "<packet><body/></packet>"));
  EXPECT_EQ(200, status("/hvtr/trellin?cmd=ContentCmd:Delete&trellin%5Fversion=2%2E0", Utf16Body(QueryPacket(And(L"")))));
  EXPECT_EQ(200, status("/hvtr/trellin", Utf16Body(QueryPacket(And(L"")))));
  EXPECT_EQ(300, status("/hvtr/trellin?cmd=ContentCmd:Query&trellin%5Fversion=1%2E0", Utf16Body(QueryPacket(And(L"")))));
  EXPECT_EQ(300, status("/hvtr/trellin?cmd=ReportCmd:Report", Utf16Body(Packet(L"<report />"))));
  httplib::Result otherModule = client->Get("/hvtr/trellin?cmd=PingCmd:Ping&module=Other");
  ASSERT_TRUE(otherModule);
  EXPECT_EQ(300, ReadAnswer(otherModule->status, otherModule->body).status);

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

TEST_F(ServiceTest, LogsOneLinePerRequest) {
  // Each line is written right after its answer: the next request waits for it, so the order is fixed.
  Start(Options());
  Ping();
  WaitForLines(1);
  Query(And(Meta(L"distributionLanguage", L"de")));
  WaitForLines(2);
  RawExchange(service->port(),
              "GET /files/beta.bin HTTP/1.1\r\nHost: 127.0.0.1\r\nRange:bytes=70000-\r\nConnection: close\r\n\r\n");
  WaitForLines(3);
  client->Get("/nowhere");
  std::vector<std::string> logged = WaitForLines(4);
  ASSERT_EQ(4u, logged.size());
  EXPECT_NE(std::string::npos, logged[0].find("127.0.0.1 GET " + std::string(kPingCmd) + " -> 200 status 0")) << logged[0];
  EXPECT_NE(std::string::npos, logged[1].find("POST " + std::string(kQueryCmd) + " -> 200 status 0, 1 update(s)"))
      << logged[1];
  EXPECT_NE(std::string::npos, logged[2].find("GET /files/beta.bin -> 206 bytes 70000-199999/200000")) << logged[2];
  EXPECT_NE(std::string::npos, logged[3].find("GET /nowhere -> 404")) << logged[3];
  for (const std::string& line : logged) EXPECT_EQ('[', line[0]) << line;
}

TEST_F(ServiceTest, StartsAndStopsCleanly) {
  // Stopping at once after starting must end the serving thread (the destructor stops).
  for (int i = 0; i < 5; ++i) {
    Start(Options());
    service.reset();
  }
  Start(Options());
  std::string error;
  EXPECT_FALSE(service->Start(error));
  EXPECT_EQ("the service was started before", error);
  std::thread waiter([&] { service->Wait(); });
  service->Stop();
  waiter.join();
  service->Stop();
}

TEST(ServiceCatalog, ErrorsNameTheLine) {
  hvtest::TempDir dir;
  hvtest::WriteFileBytes(dir.File(L"a.txt"), "a");
  const std::string good =
      "[distribution]\nid = X\nproductName = P\nfile = a.txt\ndistPackageGUID = {P}\ndistributionGUID = {G}\n"
      "distributionLanguage = en\ndistributionVersion = 1.0\n";
  auto load = [&](const std::string& text, Catalog& catalog) {
    hvtest::WriteFileBytes(dir.File(L"catalog.ini"), text);
    std::string error;
    EXPECT_FALSE(hv::service::LoadCatalog(dir.path(), catalog, error)) << text;
    EXPECT_TRUE(catalog.distributions.empty());
    return error;
  };
  Catalog catalog;
  EXPECT_EQ("catalog.ini:9: unknown key \"size\"", load(good + "size = 3\n", catalog));
  EXPECT_EQ("catalog.ini:1: \"id\" appears before the first [distribution]", load("id = X\n" + good, catalog));
  EXPECT_EQ("catalog.ini:1: unknown section [update] (only [distribution] is known)", load("[update]\n", catalog));
  EXPECT_EQ("catalog.ini:2: expected \"key = value\" or [distribution]", load("[distribution]\njust text\n", catalog));
  EXPECT_EQ("catalog.ini:9: key \"id\" given twice", load(good + "ID = Y\n", catalog));
  EXPECT_EQ("catalog.ini:9: duplicate id \"X\"", load(good + good, catalog));
  EXPECT_EQ("catalog.ini:1: distribution lacks the required key \"distributionVersion\"",
            load(good.substr(0, good.rfind("distributionVersion")), catalog));
  EXPECT_EQ("catalog.ini:2: key \"productName\" is empty", load("[distribution]\nproductName =\n", catalog));
  EXPECT_EQ("catalog.ini:4: file \"b.txt\" not found in the catalog folder",
            load("[distribution]\nid = X\nproductName = P\nfile = b.txt\ndistPackageGUID = {P}\n"
                 "distributionGUID = {G}\ndistributionLanguage = en\ndistributionVersion = 1.0\n",
                 catalog));
  EXPECT_EQ("catalog.ini:2: \"file\" must name a file inside the catalog folder, not \"..\\a.txt\"",
            load("[distribution]\nfile = ..\\a.txt\n", catalog));
  EXPECT_EQ("catalog.ini:2: the line is not valid UTF-8", load("# fine\nproductName = \xC3\x28\n", catalog));
  std::string error;
  EXPECT_FALSE(hv::service::LoadCatalog(dir.File(L"nothing-here"), catalog, error));
  EXPECT_NE(std::string::npos, error.find("cannot read the catalog file")) << error;

  // Byte order mark, CRLF, comments, any key case, defaults; a catalog may be empty.
  std::string mixed = good;
  mixed.replace(mixed.find("id = X"), 6, "ID = X");
  hvtest::WriteFileBytes(dir.File(L"catalog.ini"),
                         "\xEF\xBB\xBF; comment\r\n  # indented comment\r\n" + mixed + "installcondition.os = 6.1\r\n");
  ASSERT_TRUE(hv::service::LoadCatalog(dir.path(), catalog, error)) << error;
  ASSERT_EQ(1u, catalog.distributions.size());
  const hv::service::Distribution& d = catalog.distributions[0];
  EXPECT_EQ(L"UPDATE", d.contentType);
  EXPECT_EQ(L"Quillan Distribution", d.targetClient);
  EXPECT_EQ(L"live", d.status);
  EXPECT_EQ(L"en-XX", d.locale);
  EXPECT_EQ(L"1.0", d.distributionVersion);
  ASSERT_EQ(1u, d.installConditions.size());
  EXPECT_EQ(L"os", d.installConditions[0].type);
  EXPECT_EQ(1u, d.size);
  EXPECT_EQ(L"0cc175b9c0f1b6a831c399e269772661", d.md5);  // MD5 of "a"
  hvtest::WriteFileBytes(dir.File(L"catalog.ini"), "# nothing offered yet\n");
  EXPECT_TRUE(hv::service::LoadCatalog(dir.path(), catalog, error)) << error;
  EXPECT_TRUE(catalog.distributions.empty());

  // The example catalog of the repository loads.
  std::wstring examples = hvtest::Widen(HVPELK_SOURCE_DIR "/examples/catalog");
  if (examples[0] == L'/') examples = L"Z:" + examples;  // the Unix path as Wine's drive Z: shows it
  ASSERT_TRUE(hv::service::LoadCatalog(examples, catalog, error)) << error;
  EXPECT_EQ(3u, catalog.distributions.size());
}

TEST(ServiceOptions, CommandLine) {
  ServiceOptions options;
  bool help = true;
  std::string error;
  ASSERT_TRUE(hv::service::ParseCommandLine({L"--port", L"0", L"--host", L"0.0.0.0", L"--delay-ms", L"25",
                                             L"--status", L"10", L"--query-status", L"6000", L"--gzip-downloads",
                                             L"--no-gzip-answers", L"--public-url", L"https://x.test:1//",
                                             L"--reports", L"", L"--catalog", L"C:\\cat"},
                                            options, help, error))
      << error;
  EXPECT_FALSE(help);
  EXPECT_EQ(0, options.port);
  EXPECT_EQ("0.0.0.0", options.host);
  EXPECT_EQ(25u, options.delayMs);
  EXPECT_EQ(10, options.pingStatus);
  EXPECT_EQ(6000, options.queryStatus);
  EXPECT_EQ(10, options.reportStatus);
  EXPECT_TRUE(options.gzipDownloads);
  EXPECT_FALSE(options.gzipAnswers);
  EXPECT_EQ("https://x.test:1", options.publicUrl);
  EXPECT_EQ(L"", options.reportsFile);
  EXPECT_EQ(L"C:\\cat", options.catalogFolder);

  ServiceOptions defaults;
  EXPECT_EQ(hv::service::kDefaultPort, defaults.port);
  EXPECT_EQ("127.0.0.1", defaults.host);
  EXPECT_TRUE(defaults.gzipAnswers);
  EXPECT_FALSE(defaults.gzipDownloads);

  ASSERT_TRUE(hv::service::ParseCommandLine({L"--help"}, options, help, error));
  EXPECT_TRUE(help);
  EXPECT_NE(std::string::npos, hv::service::HelpText().find("--delay-ms"));
  const std::vector<std::vector<std::wstring>> bad = {
      {L"--port", L"65536"}, {L"--port", L"8o"},       {L"--status"},      {L"--bogus", L"1"},
      {L"--delay-ms", L"-1"}, {L"--public-url", L"ftp://x"}, {L"stray"}, {L"--status", L"99999999999"}};
  for (const auto& args : bad) {
    error.clear();
    EXPECT_FALSE(hv::service::ParseCommandLine(args, options, help, error)) << hv::service::WideToUtf8(args[0]);
    EXPECT_FALSE(error.empty());
  }
}

}  // namespace
