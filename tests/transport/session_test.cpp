// The session's single operations as the wire and the file system see them: status table, headers,
// bodies, URL splitting, content type, sizes and the 64-bit range offset.
#include "transport/http_session.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <hvpelk/version.h>

#include "common/scratch.h"
#include "common/test_server.h"
#include "support/strings.h"
#include "support/version.h"
#include "transport/read_sizer.h"
#include "transport/target_file.h"
#include "common/transport_fixture.h"

namespace {

using hvtest::SubmitStatus;

TEST(HttpSessionTest, StatusTableGivesTheDocumentedCodes) {
  hvtest::TestServer server;
  server.server().Get(R"(/status/(\d+))", [](const httplib::Request& req, httplib::Response& res) {
    res.status = std::stoi(req.matches[1]);
    res.set_content("status body", "text/plain");
  });
  server.Start();

  const std::vector<std::pair<int, hv::StatusCode>> table = {
      {200, 0},
      {206, 0},
      {300, PELK_E_HTTP_SERVER},
      {302, PELK_E_HTTP_STATUS},  // no Location: WinINet cannot follow it
      {400, PELK_E_HTTP_BAD_REQUEST},
      {401, PELK_E_CONNECTION},
      {403, PELK_E_CONNECTION},
      {404, PELK_E_HTTP_404},
      {405, PELK_E_HTTP_BAD_REQUEST},
      {407, PELK_E_PROXY_AUTH},  // prompting is off
      {408, PELK_E_HTTP_408},
      {410, PELK_E_CONNECTION},
      {418, PELK_E_HTTP_STATUS},
      {500, PELK_E_HTTP_SERVER},
      {502, PELK_E_CONNECTION},
      {503, PELK_E_CONNECTION},
      {504, PELK_E_CONNECTION},
      {505, PELK_E_HTTP_BAD_REQUEST},
  };
  hvtest::Exchanges session;
  session.SetNoPrompt(true);
  for (const auto& [code, expected] : table) {
    std::string response;
    EXPECT_EQ(expected, SubmitStatus(session, server.WUrl("/status/" + std::to_string(code)), L"", response))
        << "HTTP " << code;
    const hv::TransferProgress progress = session.Progress();
    EXPECT_EQ(expected == 0 ? PELK_PHASE_FINISHED : expected, progress.state) << "HTTP " << code;
    if (expected == 0) {
      EXPECT_EQ("status body", response) << "HTTP " << code;
    }
  }
}

int dialogCalls = 0;
DWORD dialogError = 0;

DWORD WINAPI DeclineCredentials(HWND window, HINTERNET request, DWORD error, DWORD flags, LPVOID*) {
  ++dialogCalls;
  dialogError = error;
  EXPECT_NE(nullptr, window);  // the desktop window when the caller gave none
  EXPECT_NE(nullptr, request);
  EXPECT_EQ(7u, flags);
  return ERROR_CANCELLED;
}

TEST(HttpSessionTest, ProxyDemandWithPromptingAllowedAsksOnceAndFailsWhenDeclined) {
  hvtest::TestServer server;
  server.server().Get("/proxy", [](const httplib::Request&, httplib::Response& res) {
    res.status = 407;
    res.set_header("Proxy-Authenticate", "Basic realm=\"test\"");
    res.set_content("denied", "text/plain");
  });
  server.Start();

  dialogCalls = 0;
  const hv::CredentialsDialog previous = hv::SetCredentialsDialog(&DeclineCredentials);
  hvtest::Exchanges session;
  EXPECT_EQ(PELK_E_PROXY_AUTH, SubmitStatus(session, server.WUrl("/proxy")));
  hv::SetCredentialsDialog(previous);
  EXPECT_EQ(1, dialogCalls);
  EXPECT_EQ(407u, dialogError);
  EXPECT_EQ(1u, server.Requests().size());
}

TEST(HttpSessionTest, TheWholeFileAskedForAfterAnUnusableRangeMayAskForCredentialsToo) {
  // A partial file, a range answered from another offset, and a proxy that demands credentials for the
  // whole file asked for then: the dialog comes as it would for the first request.
  hvtest::TestServer server;
  server.server().Get("/file", [](const httplib::Request& req, httplib::Response& res) {
    if (req.has_header("Range")) {
      hvtest::IgnoreRange(req);
      res.status = 206;
      res.set_header("Content-Range", "bytes 0-9/10");
      res.set_content("0123456789", "application/octet-stream");
      return;
    }
    res.status = 407;
    res.set_header("Proxy-Authenticate", "Basic realm=\"test\"");
    res.set_content("denied", "text/plain");
  });
  server.Start();
  hvtest::TempDir folder;
  const std::wstring target = folder.File(L"partial.bin");
  hvtest::WriteFileBytes(target, "01234");

  dialogCalls = 0;
  const hv::CredentialsDialog previous = hv::SetCredentialsDialog(&DeclineCredentials);
  hvtest::Exchanges session;
  session.StreamToFile(target, L"");
  EXPECT_EQ(PELK_E_PROXY_AUTH, SubmitStatus(session, server.WUrl("/file")));
  hv::SetCredentialsDialog(previous);
  EXPECT_EQ(1, dialogCalls);
  EXPECT_EQ(2u, server.Requests().size());
}

TEST(HttpSessionTest, RequestHeadersCarryTheUserAgentAndOnlyTheHeadersAskedFor) {
  hvtest::TestServer server;
  server.server().Get("/plain",
                      [](const httplib::Request&, httplib::Response& res) { res.set_content("ok", "text/plain"); });
  server.Start();

  hvtest::Exchanges session;
  session.AddUserAgentToken(L"A 1");
  session.AddUserAgentToken(L"");
  session.AddUserAgentToken(L"B 2");
  ASSERT_EQ(0, SubmitStatus(session, server.WUrl("/plain")));
  session.SetAcceptEncoding(true);
  ASSERT_EQ(0, SubmitStatus(session, server.WUrl("/plain")));

  const auto requests = server.Requests();
  ASSERT_EQ(2u, requests.size());
  EXPECT_EQ("HvWebServiceClient (hvvornet " HVPELK_VERSION_TEXT ";A 1;B 2;)", requests[0].Header("User-Agent"));
  EXPECT_EQ("GET", requests[0].method);
  EXPECT_FALSE(requests[0].HasHeader("Accept-Encoding"));
  EXPECT_FALSE(requests[0].HasHeader("Range"));
  EXPECT_EQ("gzip", requests[1].Header("Accept-Encoding"));
  EXPECT_FALSE(requests[1].HasHeader("Range"));
}

TEST(HttpSessionTest, PostSendsTheBodyAsUtf16WithoutContentTypeAndAnEmptyBodyMeansGet) {
  hvtest::TestServer server;
  std::mutex bodiesMutex;
  std::vector<std::string> bodies;  // the server records headers before it reads a body
  server.server().Post("/post", [&](const httplib::Request& req, httplib::Response& res) {
    std::lock_guard<std::mutex> lock(bodiesMutex);
    bodies.push_back(req.body);
    res.set_content("posted", "text/plain");
  });
  server.server().Get("/post",
                      [](const httplib::Request&, httplib::Response& res) { res.set_content("got", "text/plain"); });
  server.Start();

  // An XML text with a non-ASCII letter and U+2013: n code units become 2n little-endian bytes.
  const std::wstring body = L"<packet>\u00e9\u2013</packet>";
  std::string expected;
  for (wchar_t unit : body) {
    expected += static_cast<char>(unit & 0xFF);
    expected += static_cast<char>((unit >> 8) & 0xFF);
  }
  hvtest::Exchanges session;
  std::string response;
  ASSERT_EQ(0, SubmitStatus(session, server.WUrl("/post"), body, response));
  EXPECT_EQ("posted", response);

  ASSERT_EQ(0, SubmitStatus(session, server.WUrl("/post"), L"", response));
  EXPECT_EQ("got", response);

  const auto requests = server.Requests();
  ASSERT_EQ(2u, requests.size());
  EXPECT_EQ("POST", requests[0].method);
  ASSERT_EQ(1u, bodies.size());
  EXPECT_EQ(expected, bodies[0]);
  EXPECT_EQ(std::to_string(2 * body.size()), requests[0].Header("Content-Length"));
  EXPECT_FALSE(requests[0].HasHeader("Content-Type"));
  EXPECT_EQ("GET", requests[1].method);
}

TEST(HttpSessionTest, TheUrlsPathAndQueryStringReachTheServerAndAnUnsplittableUrlFails) {
  hvtest::TestServer server;
  server.server().Get("/svc/trellin",
                      [](const httplib::Request&, httplib::Response& res) { res.set_content("ok", "text/plain"); });
  server.Start();

  hvtest::Exchanges session;
  ASSERT_EQ(0, SubmitStatus(session, server.WUrl("/svc/trellin?cmd=A:B&x%5Fy=1")));
  ASSERT_EQ(1u, server.Requests().size());
  EXPECT_EQ("/svc/trellin?cmd=A:B&x%5Fy=1", server.Requests()[0].target);
  EXPECT_EQ(PELK_E_BAD_URL, SubmitStatus(session, L"no url at all"));
  EXPECT_EQ(PELK_E_BAD_URL, session.Progress().state);

  EXPECT_TRUE(hv::IsSecureUrl(L"HTTPS://example.test/"));
  EXPECT_TRUE(hv::IsSecureUrl(L"http://example.test/?next=https://other.test/"));
  EXPECT_FALSE(hv::IsSecureUrl(L"http://example.test/https/"));
}

TEST(HttpSessionTest, FreeSpaceIsComparedStrictlyWithTheFolderOfThePath) {
  hvtest::TempDir dir;
  EXPECT_TRUE(hv::HasFreeSpace(dir.File(L"target.bin"), 0));
  EXPECT_FALSE(hv::HasFreeSpace(dir.File(L"target.bin"), UINT64_MAX));
  std::wstring slashed = dir.File(L"target.bin");
  for (wchar_t& c : slashed) {
    if (c == L'\\') c = L'/';
  }
  EXPECT_TRUE(hv::HasFreeSpace(slashed, 0));
  EXPECT_FALSE(hv::HasFreeSpace(dir.File(L"no such folder\\target.bin"), 0));
}

TEST(HttpSessionTest, DownloadsNeedAContentTypeThatFitsTheQueryBuffer) {
  hvtest::TestServer server;
  server.server().Get(R"(/typed/(\d+))", [](const httplib::Request& req, httplib::Response& res) {
    const std::string type = "application/" + std::string(std::stoul(req.matches[1]) - 12, 'x');
    res.set_content("typed body", type.c_str());
  });
  server.server().Get("/untyped", [](const httplib::Request&, httplib::Response& res) {
    res.set_content("untyped body", "text/plain");
  });
  // httplib adds a Content-Type of its own; this answer must go out without one.
  server.server().set_post_routing_handler([](const httplib::Request& req, httplib::Response& res) {
    if (req.path == "/untyped") res.headers.erase("Content-Type");
  });
  server.Start();

  hvtest::TempDir dir;
  hvtest::Exchanges session;
  session.StreamToFile(dir.File(L"untyped.bin"), L"");
  EXPECT_EQ(PELK_E_CONTENT_TYPE, SubmitStatus(session, server.WUrl("/untyped")));
  EXPECT_EQ(PELK_E_CONTENT_TYPE, session.Progress().state);

  session.StreamToFile(dir.File(L"long.bin"), L"");
  EXPECT_EQ(PELK_E_CONTENT_TYPE, SubmitStatus(session, server.WUrl("/typed/260")));
  session.StreamToFile(dir.File(L"fits.bin"), L"");
  EXPECT_EQ(0, SubmitStatus(session, server.WUrl("/typed/259")));
  EXPECT_EQ("typed body", hvtest::ReadFileBytes(dir.File(L"fits.bin")));

  // In memory the content type is not looked at.
  session.StreamToMemory();
  std::string response;
  EXPECT_EQ(0, SubmitStatus(session, server.WUrl("/untyped"), L"", response));
  EXPECT_EQ("untyped body", response);
}

// A file of the given size whose bytes are all zero, without writing them (sparse on the host).
std::string ReadTail(const std::wstring& path, uint64_t offset, DWORD length) {
  hv::UniqueFile file(
      CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  LARGE_INTEGER position;
  position.QuadPart = static_cast<LONGLONG>(offset);
  std::string bytes(length, '\0');
  DWORD read = 0;
  if (!file || !SetFilePointerEx(file.get(), position, nullptr, FILE_BEGIN) ||
      !ReadFile(file.get(), &bytes[0], length, &read, nullptr)) {
    return std::string();
  }
  bytes.resize(read);
  return bytes;
}

TEST(HttpSessionTest, ResumingBeyondFourGibibytesSendsTheFullOffset) {
  if (sizeof(size_t) < 8) GTEST_SKIP() << "httplib serves bodies up to SIZE_MAX, 4 GiB on i686 (Abi cases cover it)";
  const uint64_t partial = 4294967296ull + 3;
  const size_t tailOffset = static_cast<size_t>(partial);
  const std::string tail = "the end";
  const uint64_t length = partial + tail.size();
  hvtest::TestServer server;
  server.server().Get("/huge", [&](const httplib::Request&, httplib::Response& res) {
    res.set_content_provider(static_cast<size_t>(length), "application/octet-stream",
                             [&](size_t offset, size_t, httplib::DataSink& sink) {
                               // The request asks for the tail only.
                               if (offset != tailOffset) return false;
                               sink.write(tail.data(), tail.size());
                               return true;
                             });
  });
  server.Start();

  hvtest::TempDir dir;
  const std::wstring target = dir.File(L"huge.bin");
  ASSERT_TRUE(hvtest::MakeSparseFile(target, partial));
  hvtest::Exchanges session;
  session.StreamToFile(target, L"");
  ASSERT_EQ(0, SubmitStatus(session, server.WUrl("/huge")));

  const auto requests = server.Requests();
  ASSERT_EQ(1u, requests.size());
  EXPECT_EQ("bytes=4294967299-", requests[0].Header("Range"));
  const hv::TransferProgress progress = session.Progress();
  EXPECT_EQ(length, progress.totalBytes);
  EXPECT_EQ(length, progress.bytesReceived);
  EXPECT_EQ(PELK_PHASE_FINISHED, progress.state);
  EXPECT_EQ(tail, ReadTail(target, partial, static_cast<DWORD>(tail.size()) + 1));
  EXPECT_EQ(std::string(4, '\0'), ReadTail(target, partial - 4, 4));
}

TEST(HttpSessionTest, ProgressRatesAreFiniteAndTheEstimateIsZeroWhenNothingRemains) {
  const auto data = std::make_shared<const std::string>(hvtest::SampleBytes(70000));
  hvtest::TestServer server;
  server.server().Get("/sized",
                      [&](const httplib::Request&, httplib::Response& res) { hvtest::ServeBytes(res, data); });
  server.server().Get("/unsized", [&](const httplib::Request&, httplib::Response& res) {
    res.set_chunked_content_provider("application/octet-stream", [&](size_t, httplib::DataSink& sink) {
      sink.write(data->data(), data->size());
      sink.done();
      return true;
    });
  });
  server.Start();

  hvtest::Exchanges session;
  for (const char* path : {"/sized", "/unsized"}) {
    std::string response;
    ASSERT_EQ(0, SubmitStatus(session, server.WUrl(path), L"", response)) << path;
    EXPECT_EQ(*data, response) << path;
    const hv::TransferProgress progress = session.Progress();
    EXPECT_EQ(data->size(), progress.bytesReceived) << path;
    EXPECT_EQ(std::string(path) == "/sized" ? data->size() : 0u, progress.totalBytes) << path;
    EXPECT_TRUE(std::isfinite(progress.currentRate)) << path;
    EXPECT_TRUE(std::isfinite(progress.averageRate)) << path;
    EXPECT_GE(progress.averageRate, 0.0) << path;
    EXPECT_GT(progress.currentRate, 0.0) << path;
    EXPECT_EQ(0u, progress.remainingSeconds) << path;
  }
}

// The connection's receive timeout cuts off a server that accepts and then sends nothing (300 s in the
// product; shortened here): the exchange fails while the server still holds its answer back.
// Reads grow with a fast stream, one block a call, and fall back to what has arrived as soon as a read
// shows a stream too slow to fill a block quickly: a read that waits for a whole block would keep a stop
// waiting as long.
TEST(HttpSessionTest, ReadsGrowWithAFastStreamAndTakeWhatHasArrivedFromASlowOne) {
  using hv::ReadSizer;
  ReadSizer sizer;
  EXPECT_EQ(0u, sizer.Next()) << "a body starts with what has arrived";
  sizer.Count(8192, 200);  // a full buffer at once: doubles, no more
  EXPECT_EQ(16384u, sizer.Next());
  for (int i = 0; i < 4; ++i) sizer.Count(sizer.Next(), 300);
  EXPECT_EQ(ReadSizer::kLargestRead, sizer.Next());
  sizer.Count(ReadSizer::kLargestRead, 0);
  EXPECT_EQ(ReadSizer::kLargestRead, sizer.Next()) << "never past the largest";
  // 256 KiB in 100 ms: the next read asks for what 20 ms bring.
  sizer.Count(ReadSizer::kLargestRead, 100000);
  EXPECT_EQ(ReadSizer::kLargestRead / 5, sizer.Next());
  // 1 KiB every 20-50 ms fills no waiting read quickly: every read takes what has arrived.
  sizer.Count(1024, 20000);
  EXPECT_EQ(0u, sizer.Next());
  sizer.Count(1024, 50000);
  EXPECT_EQ(0u, sizer.Next());
  sizer.Count(0, 0);
  EXPECT_EQ(0u, sizer.Next());
}

TEST(HttpSessionTest, AServerThatSendsNothingIsCutOffAtTheReceiveTimeout) {
  hvtest::Gate answer;
  std::atomic<bool> answered{false};
  hvtest::TestServer server;
  server.server().Get("/silent", [&](const httplib::Request&, httplib::Response& res) {
    answer.Wait(20000);
    answered = true;
    res.set_content("too late", "text/plain");
  });
  server.Start();
  hvtest::Exchanges session;
  session.SetReceiveTimeout(300);
  const hv::StatusCode status = SubmitStatus(session, server.WUrl("/silent"));
  EXPECT_FALSE(answered);
  EXPECT_TRUE(hv::IsFailure(status)) << std::hex << status;
  answer.Open();
}

// Wine implements "ignore offline" as a stub, so no exchange here can show it missing: the options every
// connection gets are pinned as a list (the receive timeout's effect is shown above).
TEST(HttpSessionTest, EveryConnectionIgnoresOfflineModeAndHasTheReceiveTimeout) {
  const std::vector<hv::ConnectionOption> options = hv::ConnectionOptions(hv::kReceiveTimeoutMs);
  ASSERT_EQ(2u, options.size());
  EXPECT_EQ(static_cast<DWORD>(INTERNET_OPTION_RECEIVE_TIMEOUT), options[0].option);
  EXPECT_EQ(300000u, options[0].value);
  EXPECT_EQ(static_cast<DWORD>(INTERNET_OPTION_IGNORE_OFFLINE), options[1].option);
  EXPECT_FALSE(options[1].hasValue);
}

// The lines a reader of the log relies on: the file's frame, the detail lines of each step in the order of
// the exchange, an exit tag for every entry tag of an exchange that succeeded, and for a failure the one line
// that names its status and where it was raised, with no exit tag for the steps it left.
TEST(HttpSessionTest, TheLogShowsEachStepOfADownloadAndWhereAFailureWasRaised) {
  hvtest::TestServer server;
  server.server().Get("/log", [](const httplib::Request&, httplib::Response& res) {
    res.set_content("logged body", "application/octet-stream");
  });
  server.Start();
  hvtest::TempDir dir;
  const std::wstring logPath = dir.File(L"vornet.log");
  const std::wstring target = dir.File(L"logged.bin");
  const std::wstring port = hv::Dec(server.port());
  {
    hvtest::ScratchKey key(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Halvorn\\InternalTesting");
    key.SetString(key.path(), L"hvvornetlogging", logPath);
    hvtest::Exchanges session;
    session.StreamToFile(target, L"");
    ASSERT_EQ(0, SubmitStatus(session, server.WUrl("/log?x=1")));
    ASSERT_EQ(PELK_E_HTTP_404, SubmitStatus(session, server.WUrl("/missing")));
  }
  ASSERT_EQ("logged body", hvtest::ReadFileBytes(target));
  const std::vector<std::wstring> lines = hvtest::LogLines(logPath);
  const std::wstring separator(48, L'-');
  ASSERT_GE(lines.size(), 5u);
  EXPECT_EQ(L"Vornet Library", lines[0]);
  EXPECT_EQ(separator, lines[1]);
  EXPECT_EQ((std::vector<std::wstring>{separator, L"***SUMMARY***", separator}),
            std::vector<std::wstring>(lines.end() - 3, lines.end()));

  // Each exchange has a session of its own, which writes the constructor's tag (and no exit tag for it).
  const std::wstring constructed = L"<VornetSession::VornetSession>";
  const auto second = std::find(std::find(lines.begin(), lines.end(), constructed) + 1, lines.end(), constructed);
  ASSERT_NE(lines.end(), second);
  const std::vector<std::wstring> first(lines.begin(), second);
  const std::vector<std::wstring> steps = {
      L"<VornetSession::Submit>",
      std::wstring(L"\tUserAgent: HvWebServiceClient (hvvornet ") + hv::kCoreLibraryVersion + L";)",
      L"\tURL: http://127.0.0.1:" + port + L"/log?x=1",
      L"\tCracked host: 127.0.0.1",
      L"\tCracked URL: /log?x=1",
      L"\tCracked port: " + port,
      L"\tFlags: 0x4000000",
      L"\tStatus Code: 200",
      L"Total data size: 11",
      L"\t[Submit]: Streaming to file enabled.  Creating file...",
      L"\t[Submit]: File already exists: 0",
      L"\tContent Type: application/octet-stream",
      L"\tStarting download...",
      L"\tStatus: 0x40002005",
      L"</VornetSession::Submit>",
  };
  auto at = first.begin();
  for (const std::wstring& step : steps) {
    at = std::find(at, first.end(), step);
    ASSERT_NE(first.end(), at) << "missing, or out of order: " << std::string(step.begin(), step.end());
  }
  for (const std::wstring& line : first) {
    if (line.compare(0, 16, L"<VornetSession::") != 0 || line == constructed) continue;
    const std::wstring exit = L"</" + line.substr(1);
    EXPECT_EQ(std::count(first.begin(), first.end(), line), std::count(first.begin(), first.end(), exit))
        << std::string(line.begin(), line.end());
  }

  // The 404: one line where it was raised, the failure as the final status, no exit tag for Submit.
  const std::vector<std::wstring> failed(second, lines.end());
  const auto raised = std::find_if(failed.begin(), failed.end(), [](const std::wstring& line) {
    return line.compare(0, 25, L"\tStatus 0x80002007 raised") == 0;
  });
  ASSERT_NE(failed.end(), raised);
  EXPECT_NE(std::wstring::npos, raised->find(L" at src/transport/")) << std::string(raised->begin(), raised->end());
  EXPECT_EQ(1, std::count_if(failed.begin(), failed.end(),
                             [](const std::wstring& line) { return line.find(L" raised at ") != std::wstring::npos; }));
  EXPECT_NE(failed.end(), std::find(raised, failed.end(), L"\tStatus: 0x80002007"));
  EXPECT_EQ(failed.end(), std::find(failed.begin(), failed.end(), L"</VornetSession::Submit>"));
}

}  // namespace
