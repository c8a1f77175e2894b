// The substitute service running: forced statuses, delays and paced downloads, its console lines, starting and
// stopping.
#include "service_fixture.h"

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace servicetest {
namespace {

TEST_F(ServiceTest, StatusAndDelayOptions) {
  Start(Options({L"--status", L"900"}));
  EXPECT_EQ(900, Ping().status);
  Answer refused = Query(And(L""));
  EXPECT_EQ(900, refused.status);
  EXPECT_TRUE(refused.ids.empty());
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

  // The rate paces downloads: a tenth of it each 100 ms, so 200000 bytes at 400000 a second take five
  // tenths of a second at least, and arrive whole.
  service.reset();
  Start(Options({L"--rate", L"400000"}));
  started = std::chrono::steady_clock::now();
  file = client->Get("/files/beta.bin");
  elapsed = std::chrono::steady_clock::now() - started;
  ASSERT_TRUE(file);
  EXPECT_EQ(beta, file->body);
  EXPECT_GE(elapsed, std::chrono::milliseconds(500));
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
  EXPECT_NE(std::string::npos, logged[0].find("127.0.0.1 GET " + std::string(kPingCmd) + " -> 200 status 0"))
      << logged[0];
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

}  // namespace
}  // namespace servicetest
