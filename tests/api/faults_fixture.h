// The fixture of the download fault tests: the fault server as the download server, a list of one
// distribution pointing at it, and downloads run through the exports to their final phase.
#pragma once

#include <algorithm>
#include <string>

#include "common/api_fixture.h"
#include "common/bytes.h"
#include "common/downloads.h"
#include "common/fault_server.h"

namespace hvtest {

constexpr uint64_t kMiB = uint64_t{1024} * 1024;

// Whether the file holds exactly the expected bytes (or, with prefixOnly, the first bytes of them).
inline ::testing::AssertionResult FileHolds(const std::wstring& path, const std::string& expected,
                                            bool prefixOnly = false) {
  const std::string actual = ReadFileBytes(path);
  const size_t common = std::min(actual.size(), expected.size());
  const size_t differ = std::mismatch(actual.begin(), actual.begin() + common, expected.begin()).first - actual.begin();
  if (differ == actual.size() && (prefixOnly || actual.size() == expected.size())) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << "the file has " << actual.size() << " bytes, " << expected.size()
                                       << " expected; the first difference is at " << differ;
}

inline FaultPlan Gzipped(const std::string& encoded) {
  FaultPlan plan = Plain(encoded);
  plan.contentEncoding = "gzip";
  return plan;
}

class Faults : public ApiTest {
 protected:
  void SetUp() override {
    ApiTest::SetUp();
    ASSERT_TRUE(files.Start());
  }

  // The next query answers one distribution at url (none when url is empty).
  void AnswerList(const std::string& url, const std::string& checksum = std::string()) {
    const std::string body =
        url.empty() ? std::string() : UpdateElement({"C1", "Product", url, checksum, "{P}", "{D}", "en", "1.0", "0"});
    onQuery = [body](const httplib::Request&, httplib::Response& res) {
      res.set_content(AnswerPacket(0, body), "text/xml");
    };
  }

  int32_t OpenWithList(int32_t flags, const std::string& url, const std::string& checksum = std::string()) {
    AnswerList(url, checksum);
    const int32_t h = Open(flags);
    EXPECT_EQ(PELK_S_OK, pelk.PelkQuerySubmit(h, 30000));
    return h;
  }

  int32_t WaitForEnd(int32_t h) { return hvtest::WaitForEnd(pelk, h); }

  // Submits distribution 0 into target and returns the final phase.
  int32_t Download(int32_t h, const std::wstring& target) { return DownloadToEnd(pelk, h, target); }

  // Body bytes the server sent for the requests from `from` on, once all their answers are over.
  uint64_t SentSince(size_t from) {
    EXPECT_TRUE(files.WaitIdle());
    return files.BytesSent(from);
  }

  FaultServer files;
};

}  // namespace hvtest
