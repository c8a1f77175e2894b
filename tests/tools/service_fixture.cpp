#include "service_fixture.h"

#include <zlib.h>

#include <chrono>

#include "catalog.h"

namespace servicetest {

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
    "installCondition.sp&lang = \"fr\" <2>\r\n"
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

const char kAnswerStart[] =
    "<?xml version=\"1.0\"?>\n"
    "<packet xmlns=\"http://schemas.hvpelk.invalid/packet/2.0\" "
    "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
    "xsi:schemaLocation=\"http://schemas.hvpelk.invalid/packet/2.0 Schemas/Common/2.0/Packet.xsd\" "
    "schemaVersion=\"2.0\">\n"
    "\t<header>\n"
    "\t\t<date>(date)</date>\n"
    "\t\t<server>\n";

std::string Utf16Body(const std::wstring& text) {
  std::string bytes("\xFF\xFE", 2);
  for (wchar_t c : text) {
    bytes += static_cast<char>(c & 0xFF);
    bytes += static_cast<char>((c >> 8) & 0xFF);
  }
  return bytes;
}

std::wstring Packet(const std::wstring& command) {
  return L"<?xml version=\"1.0\"?>\n<packet xmlns=\"http://schemas.hvpelk.invalid/packet/2.0\"><header><locale>"
         L"en-XX</locale><date /></header><body>" +
         command + L"</body></packet>";
}

std::wstring QueryPacket(const std::wstring& query) { return Packet(L"<contentQuery>" + query + L"</contentQuery>"); }

std::wstring Meta(const std::wstring& field, const std::wstring& value, const std::wstring& compare) {
  std::wstring type = compare.empty() ? L"" : L" compareType=\"" + compare + L"\"";
  return L"<metadata" + type + L" field=\"" + field + L"\">" + value + L"</metadata>";
}

std::wstring And(const std::wstring& members) { return L"<query type=\"And\">" + members + L"</query>"; }
std::wstring Or(const std::wstring& members) { return L"<query type=\"Or\">" + members + L"</query>"; }

std::string StatusAnswer(const std::string& statusElement) {
  return kAnswerStart + ("\t\t\t" + statusElement + "\n") +
         "\t\t</server>\n"
         "\t</header>\n"
         "\t<body />\n"
         "</packet>\n";
}

std::string MaskDate(const std::string& answer) {
  const std::string open = "<date>";
  size_t start = answer.find(open);
  size_t end = answer.find("</date>");
  if (start == std::string::npos || end == std::string::npos || end < start) {
    ADD_FAILURE() << "no date in the answer: " << answer;
    return answer;
  }
  start += open.size();
  const std::string date = answer.substr(start, end - start);
  const std::string shape = "dddd-dd-ddTdd:dd:ddZ";
  bool fits = date.size() == shape.size();
  for (size_t i = 0; fits && i < shape.size(); ++i) {
    fits = shape[i] == 'd' ? date[i] >= '0' && date[i] <= '9' : date[i] == shape[i];
  }
  EXPECT_TRUE(fits) << date;
  return answer.substr(0, start) + "(date)" + answer.substr(end);
}

std::vector<std::string> ElementTexts(const std::string& text, const std::string& name) {
  const std::string open = "<" + name + ">";
  const std::string close = "</" + name + ">";
  std::vector<std::string> texts;
  for (size_t at = text.find(open); at != std::string::npos; at = text.find(open, at)) {
    at += open.size();
    size_t end = text.find(close, at);
    if (end == std::string::npos) break;
    texts.push_back(text.substr(at, end - at));
  }
  return texts;
}

Answer ReadAnswer(const std::string& body) {
  Answer answer;
  const std::string open = "<status code=\"";
  size_t code = body.find(open);
  size_t text = body.find("\">", code);
  size_t end = body.find("</status>", text);
  if (code == std::string::npos || text == std::string::npos || end == std::string::npos) {
    ADD_FAILURE() << "the answer has no status: " << body;
    return answer;
  }
  code += open.size();
  answer.status = std::stoi(body.substr(code, text - code));
  answer.message = body.substr(text + 2, end - text - 2);
  answer.ids = ElementTexts(body, "ID");
  return answer;
}

std::string Gunzip(const std::string& data) {
  z_stream stream = {};
  std::string out;
  // Window bits 15 + 16: a gzip wrapper, checked with its CRC and length.
  if (inflateInit2(&stream, 15 + 16) != Z_OK) {
    ADD_FAILURE() << "zlib cannot start";
    return out;
  }
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  stream.avail_in = static_cast<uInt>(data.size());
  char buffer[65536];
  int result = Z_OK;
  while (result == Z_OK) {
    stream.next_out = reinterpret_cast<Bytef*>(buffer);
    stream.avail_out = sizeof buffer;
    result = inflate(&stream, Z_NO_FLUSH);
    out.append(buffer, sizeof buffer - stream.avail_out);
  }
  EXPECT_EQ(Z_STREAM_END, result) << "not one whole gzip member";
  EXPECT_EQ(0u, stream.avail_in) << "bytes after the gzip member";
  inflateEnd(&stream);
  return out;
}

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

void ServiceTest::SetUp() {
  for (int i = 0; i < 200000; ++i) beta += static_cast<char>((i * 7919 + i / 251) & 0xFF);  // zeros included
  hvtest::WriteFileBytes(dir.File(L"alpha.txt"), kPangram);
  hvtest::WriteFileBytes(dir.File(L"beta.bin"), beta);
  hvtest::WriteFileBytes(dir.File(L"gamma file+1.txt"), "gamma\n");
  hvtest::WriteFileBytes(dir.File(L"empty.txt"), "");
  hvtest::WriteFileBytes(dir.File(L"catalog.ini"), kCatalog);
}

void ServiceTest::TearDown() {
  client.reset();
  service.reset();
}

hv::service::ServiceOptions ServiceTest::Options(const std::vector<std::wstring>& args) {
  hv::service::ServiceOptions options;
  options.reportsFile = dir.File(L"reports.xml");
  hv::service::Request request = hv::service::Request::Serve;
  std::string error;
  EXPECT_TRUE(hv::service::ParseCommandLine(args, options, request, error)) << error;
  options.catalogFolder = dir.path();
  options.port = 0;
  return options;
}

void ServiceTest::Start(const hv::service::ServiceOptions& options) {
  hv::service::Catalog catalog;
  std::string error;
  ASSERT_TRUE(hv::service::LoadCatalog(dir.path(), catalog, error)) << error;
  service =
      std::make_unique<hv::service::DistributionService>(std::move(catalog), options, [this](const std::string& line) {
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

httplib::Result ServiceTest::Post(const std::string& target, const std::string& body, const httplib::Headers& headers) {
  return client->Post(target.c_str(), headers, body, "");
}

Answer ServiceTest::ReadResult(const httplib::Result& result) {
  if (!result) {
    ADD_FAILURE() << "no answer";
    return Answer();
  }
  EXPECT_EQ(200, result->status);
  return ReadAnswer(result->body);
}

Answer ServiceTest::Query(const std::wstring& query) {
  return ReadResult(Post(kQueryCmd, Utf16Body(QueryPacket(query))));
}

Answer ServiceTest::Ping() { return ReadResult(client->Get(kPingCmd)); }

Answer ServiceTest::Report(const std::wstring& userId) {
  std::wstring report = L"<report><userId>" + userId +
                        L"</userId><product>Setup</product><group><name>DownloadStatistic</name><entry><name>"
                        L"bytes</name>200000</entry></group></report>";
  return ReadResult(Post(kReportCmd, Utf16Body(Packet(report))));
}

std::vector<std::string> ServiceTest::WaitForLines(size_t count) {
  std::unique_lock<std::mutex> lock(linesMutex);
  lineAdded.wait_for(lock, std::chrono::seconds(10), [&] { return lines.size() >= count; });
  return lines;
}

}  // namespace servicetest
