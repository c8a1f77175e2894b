// The request job: time limits, polling, cancelling a blocked exchange with and without waiting, and
// downloads started without waiting.
#include "transport/download_job.h"
#include "transport/request_job.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>

#include <hvpelk/version.h>

#include "common/scratch.h"
#include "common/test_server.h"
#include "support/scoped_handle.h"
#include "support/strings.h"
#include "common/transport_fixture.h"

namespace {

constexpr uint32_t kNoLimit = INFINITE;

// A GET of url that never prompts for proxy credentials.
hv::ExchangeRequest Get(const std::wstring& url) {
  hv::ExchangeRequest request;
  request.url = url;
  request.noPrompt = true;
  return request;
}

// A download request as a connection makes it, with the calling application's user-agent token.
hv::ExchangeRequest Download(const std::wstring& url) {
  hv::ExchangeRequest request;
  request.url = url;
  request.userAgentTokens.push_back(L"TestApp 1.2");
  return request;
}

// A stopped worker that sits in a WinINet call on a silent server is let go, so nothing here waits for the
// stalled answers; they go on by themselves after kStallMs only so that a failing test cannot hang, and the
// server's destructor opens the gate.
constexpr int kStallMs = 10000;

// "/fast" answers at once; "/slow" answers once the gate opens; "/stall" sends half its body, reports
// that through started and sends the rest once the gate opens; "/missing" is 404.
struct SlowServer {
  SlowServer() : body(std::make_shared<const std::string>(hvtest::SampleBytes(64 * 1024, 23))) {
    server.server().Get(
        "/fast", [](const httplib::Request&, httplib::Response& res) { res.set_content("fast answer", "text/plain"); });
    server.server().Get("/slow", [this](const httplib::Request&, httplib::Response& res) {
      gate.Wait(kStallMs);
      res.set_content("slow answer", "text/plain");
    });
    server.server().Get("/stall", [this](const httplib::Request&, httplib::Response& res) {
      res.set_content_provider(body->size(), "application/octet-stream",
                               [this](size_t offset, size_t length, httplib::DataSink& sink) {
                                 const size_t half = body->size() / 2;
                                 if (offset < half) {
                                   sink.write(body->data() + offset, half - offset);
                                   started.Open();
                                   return true;
                                 }
                                 gate.Wait(kStallMs);
                                 resumed = true;
                                 sink.write(body->data() + offset, length);
                                 return true;
                               });
    });
    server.server().Get("/missing", [](const httplib::Request&, httplib::Response& res) { res.status = 404; });
    server.Start();
  }
  ~SlowServer() { gate.Open(); }

  std::shared_ptr<const std::string> body;
  hvtest::Gate gate;
  hvtest::Gate started;
  std::atomic<bool> resumed{false};  // "/stall" went on after its stall
  hvtest::TestServer server;
};

TEST(RequestJobTest, ResultsAreCollectedOnceWhetherTheRunWaitedOrNot) {
  SlowServer host;
  hv::RequestJob job;
  EXPECT_EQ(PELK_S_NOTHING_OUTSTANDING, job.Check(0));

  EXPECT_EQ(0, job.Start(Get(host.server.WUrl("/fast")), kNoLimit));
  EXPECT_EQ("fast answer", job.Response());
  EXPECT_EQ(PELK_S_NOTHING_OUTSTANDING, job.Check(0));

  // Without waiting the exchange may or may not have finished already; either way it is collected once.
  const hv::StatusCode started = job.Start(Get(host.server.WUrl("/fast")), 0);
  ASSERT_TRUE(started == 0 || started == PELK_S_STILL_RUNNING) << started;
  if (started == PELK_S_STILL_RUNNING) {
    EXPECT_EQ(0, job.Check(kNoLimit));
  }
  EXPECT_EQ("fast answer", job.Response());
  EXPECT_EQ(PELK_S_NOTHING_OUTSTANDING, job.Check(kNoLimit));

  // A failed exchange is thrown once, then nothing is outstanding.
  EXPECT_EQ(PELK_E_HTTP_404, hv::StatusOf([&] { return job.Start(Get(host.server.WUrl("/missing")), kNoLimit); }));
  EXPECT_EQ(PELK_S_NOTHING_OUTSTANDING, job.Check(0));
}

TEST(RequestJobTest, ASlowExchangeIsPolledAndCannotBeStartedTwice) {
  SlowServer host;
  hv::RequestJob job;
  EXPECT_EQ(PELK_S_STILL_RUNNING, job.Start(Get(host.server.WUrl("/slow")), 0));
  EXPECT_EQ(PELK_S_STILL_RUNNING, job.Check(0));
  EXPECT_EQ(PELK_S_STILL_RUNNING, job.Check(50));
  EXPECT_EQ(PELK_E_ALREADY_RUNNING, hv::StatusOf([&] { return job.Start(Get(host.server.WUrl("/fast")), 0); }));

  host.gate.Open();
  EXPECT_EQ(0, job.Check(kNoLimit));
  EXPECT_EQ("slow answer", job.Response());
  EXPECT_EQ(1u, host.server.Requests().size());
}

TEST(RequestJobTest, AnExpiredTimeLimitAbortsTheExchangeAndTheJobRunsAgain) {
  SlowServer host;
  hv::RequestJob job;
  EXPECT_EQ(PELK_E_TIMEOUT, hv::StatusOf([&] { return job.Start(Get(host.server.WUrl("/slow")), 200); }));
  EXPECT_EQ(PELK_S_NOTHING_OUTSTANDING, job.Check(0));

  host.gate.Open();
  EXPECT_EQ(0, job.Start(Get(host.server.WUrl("/slow")), kNoLimit));
  EXPECT_EQ("slow answer", job.Response());

  // A job destroyed while its exchange runs aborts it and waits for its worker.
  SlowServer other;
  {
    hv::RequestJob running;
    EXPECT_EQ(PELK_S_STILL_RUNNING, running.Start(Get(other.server.WUrl("/slow")), 0));
    ASSERT_TRUE(other.server.WaitForRequests(1));
  }
}

// True once no worker holds the file: it can be opened for writing by this process alone, or it is not
// there (a stop that came before the answer's headers leaves no file).
bool Released(const std::wstring& path) {
  for (int i = 0; i < 2000; ++i) {
    const hv::UniqueFile file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    if (file || GetLastError() == ERROR_FILE_NOT_FOUND) return true;
    Sleep(5);
  }
  return false;
}

TEST(RequestJobTest, ACancelDuringASilentReadReturnsWithoutWaitingForTheServer) {
  SlowServer host;
  hvtest::TempDir dir;
  const std::wstring target = dir.File(L"stalled.bin");
  hv::DownloadJob job;
  EXPECT_EQ(PELK_S_STILL_RUNNING, job.Start(Download(host.server.WUrl("/stall")), target, L""));
  ASSERT_TRUE(host.started.Wait());

  job.Cancel();
  EXPECT_FALSE(host.resumed) << "the cancel waited for the server";
  EXPECT_EQ(PELK_S_NOTHING_OUTSTANDING, job.Check(0));
  const hv::TransferProgress progress = job.Progress();
  EXPECT_TRUE(PELK_PHASE_IS_FINAL(progress.state)) << std::hex << progress.state;

  // The worker, let go, ends once the server sends again, and writes nothing after its stop: the partial
  // file stays a true prefix of the body, at most the half sent before the stall.
  host.gate.Open();
  ASSERT_TRUE(Released(target));
  const std::string partial = hvtest::ReadFileBytes(target);
  EXPECT_LE(partial.size(), host.body->size() / 2);
  EXPECT_TRUE(host.body->compare(0, partial.size(), partial) == 0);
}

TEST(RequestJobTest, AStopWithoutWaitingIsFinalByTheLetGoDeadline) {
  SlowServer host;
  hvtest::TempDir dir;
  const std::wstring target = dir.File(L"cancelled.bin");
  hv::DownloadJob job;
  EXPECT_EQ(PELK_S_STILL_RUNNING, job.Start(Download(host.server.WUrl("/stall")), target, L""));
  ASSERT_TRUE(host.started.Wait());

  job.Stop();
  // Check waits for a stopped exchange no longer than its let-go deadline: either the worker's own outcome
  // (Windows fails the blocked read) or, let go, nothing outstanding; the phase is final either way.
  const hv::StatusCode outcome = hv::StatusOf([&] { return job.Check(kNoLimit); });
  EXPECT_FALSE(host.resumed) << "the check waited for the server";
  EXPECT_TRUE(outcome == 0 || outcome == PELK_S_NOTHING_OUTSTANDING || hv::IsFailure(outcome)) << std::hex << outcome;
  EXPECT_TRUE(PELK_PHASE_IS_FINAL(job.Progress().state)) << std::hex << job.Progress().state;
  EXPECT_EQ("", job.Response());
  EXPECT_EQ(PELK_S_NOTHING_OUTSTANDING, job.Check(0));
  host.gate.Open();
  EXPECT_TRUE(Released(target));
}

TEST(RequestJobTest, ADownloadStartsWithoutWaitingAndEndsWithTheTargetPath) {
  SlowServer host;
  host.gate.Open();
  hvtest::TempDir dir;
  const std::wstring target = dir.File(L"download.bin");
  hv::DownloadJob job;
  const hv::StatusCode started = job.Start(Download(host.server.WUrl("/stall")), target, hvtest::Md5Of(*host.body));
  ASSERT_TRUE(started == 0 || started == PELK_S_STILL_RUNNING) << started;
  if (started == PELK_S_STILL_RUNNING) {
    EXPECT_EQ(0, job.Check(kNoLimit));
  }

  EXPECT_TRUE(*host.body == hvtest::ReadFileBytes(target));
  const hv::TransferProgress progress = job.Progress();
  EXPECT_EQ(PELK_PHASE_FINISHED, progress.state);
  EXPECT_EQ(host.body->size(), progress.bytesVerified);
  EXPECT_EQ("HvWebServiceClient (hvvornet " HVPELK_VERSION_TEXT ";TestApp 1.2;)",
            host.server.Requests()[0].Header("User-Agent"));
}

}  // namespace
