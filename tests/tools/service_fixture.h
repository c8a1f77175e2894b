// What the service tests share: a small catalog in a scratch folder, the service running in-process on a
// free port, request packets written as text, and answers read as text. Nothing here parses XML: answers
// are compared as the bytes they are, or searched for the few texts a test needs.
#pragma once

#include "common/test_server.h"  // first: httplib with the shared pool size

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/scratch.h"
#include "options.h"
#include "service.h"

namespace servicetest {

// A file whose MD5 digest is widely published: the service's checksum is checked against it.
inline const char kPangram[] = "The quick brown fox jumps over the lazy dog";

inline const char kQueryCmd[] = "/hvtr/trellin?cmd=ContentCmd:Query&trellin%5Fversion=2%2E0";
inline const char kReportCmd[] = "/hvtr/trellin?cmd=ReportCmd:Report&trellin%5Fversion=2%2E0";
inline const char kPingCmd[] = "/hvtr/trellin?cmd=PingCmd:Ping&module=Trellin";

// Four distributions: A1 (live, en, with install conditions), B1 (beta, de, 200000 bytes), C1 (PATCH for
// another client, fr, a file name with a blank and a plus, a condition with characters XML escapes) and
// E1 (retired, an empty file).
extern const char kCatalog[];
inline const wchar_t kPackageA[] = L"{aaaa0000-0000-0000-0000-00000000000a}";  // lower case on purpose
inline const wchar_t kPackageB[] = L"{BBBB0000-0000-0000-0000-00000000000B}";
inline const wchar_t kGuidB[] = L"{BBBB1111-0000-0000-0000-00000000000B}";

// UTF-16LE behind FF FE, as the client posts its packets.
std::string Utf16Body(const std::wstring& text);
// A request packet on one line around the command element(s).
std::wstring Packet(const std::wstring& command);
std::wstring QueryPacket(const std::wstring& query);
std::wstring Meta(const std::wstring& field, const std::wstring& value, const std::wstring& compare = L"");
std::wstring And(const std::wstring& members);
std::wstring Or(const std::wstring& members);

// An answer start up to "server", with "(date)" for the date (see MaskDate).
extern const char kAnswerStart[];
// A whole answer without updates around one status element ("<status code=...>...</status>").
std::string StatusAnswer(const std::string& statusElement);
// The answer with its "date" text replaced by "(date)", after checking that it is a UTC time
// "YYYY-MM-DDThh:mm:ssZ"; a missing date fails the test.
std::string MaskDate(const std::string& answer);

// The texts of every element <name>...</name> (no attributes) in the text, in order.
std::vector<std::string> ElementTexts(const std::string& text, const std::string& name);

using Ids = std::vector<std::string>;

// What a test reads from an answer: the status code and message and the IDs of the updates.
struct Answer {
  int32_t status = -1;
  std::string message;
  Ids ids;
};
Answer ReadAnswer(const std::string& body);

// The content of one gzip member; a body that is not one whole member fails the test.
std::string Gunzip(const std::string& data);

// One exchange over a plain socket, with the request exactly as written; returns everything the server
// sent until it closed the connection (the request asks it to).
std::string RawExchange(int port, const std::string& request);

struct RawResponse {
  std::string statusLine;
  std::string headers;  // each line with its CR LF
  std::string body;
};
RawResponse SplitResponse(const std::string& raw);

class ServiceTest : public ::testing::Test {
 protected:
  void SetUp() override;
  // Stops the service before the members its log sink writes to are destroyed: the serving thread logs
  // a request after its answer went out, so the test may already be over.
  void TearDown() override;

  // The options the arguments give, with the scratch folder's catalog and reports file and a free port.
  hv::service::ServiceOptions Options(const std::vector<std::wstring>& args = {});
  // Loads the catalog, starts the service and a client for it.
  void Start(const hv::service::ServiceOptions& options);

  // A POST the way the client sends it: no Content-Type.
  httplib::Result Post(const std::string& target, const std::string& body, const httplib::Headers& headers = {});
  // The answer to a content query, a ping and a download statistics report of that user.
  Answer Query(const std::wstring& query);
  Answer Ping();
  Answer Report(const std::wstring& userId);

  // The console lines, once at least count have been written (bounded wait; the line follows the answer).
  std::vector<std::string> WaitForLines(size_t count);

  hvtest::TempDir dir;
  std::string beta;  // the content of beta.bin
  std::unique_ptr<hv::service::DistributionService> service;
  std::unique_ptr<httplib::Client> client;
  std::mutex linesMutex;
  std::condition_variable lineAdded;
  std::vector<std::string> lines;

 private:
  Answer ReadResult(const httplib::Result& result);
};

}  // namespace servicetest
