// The fixture of the download fault tests: the fault server as the download server, a list of one
// distribution pointing at it, and downloads run through the exports to their final phase.
#pragma once

#include <algorithm>
#include <string>

#include "common/api_fixture.h"
#include "common/bytes.h"
#include "common/fault_server.h"

namespace hvtest {

constexpr uint64_t kMiB = uint64_t{1024} * 1024;

inline std::string Md5Hex(const std::string& bytes) {
  const std::wstring digest = Md5Of(bytes);
  return std::string(digest.begin(), digest.end());
}

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

inline FaultPlan Plain(const std::string& body) {
  FaultPlan plan;
  plan.body = body;
  return plan;
}

inline FaultPlan Gzipped(const std::string& encoded) {
  FaultPlan plan = Plain(encoded);
  plan.contentEncoding = "gzip";
  return plan;
}

inline bool IsFinal(int32_t phase) { return phase < 0 || phase == PELK_PHASE_FINISHED || phase == PELK_PHASE_CLOSED; }

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

  int32_t WaitForEnd(int32_t h) {
    int32_t phase = 0;
    for (int i = 0; i < 6000; ++i) {
      uint64_t received = 0, verified = 0, total = 0;
      phase = pelk.PelkDownloadCheck(h, 0, &received, &verified, &total);
      if (IsFinal(phase)) return phase;
      Sleep(5);
    }
    ADD_FAILURE() << "the download did not end";
    return phase;
  }

  // Submits distribution 0 into target and returns the final phase.
  int32_t Download(int32_t h, const std::wstring& target) {
    const int32_t submitted = pelk.PelkDownloadSubmit(h, 0, target.c_str());
    if (submitted != PELK_S_STILL_RUNNING && submitted != PELK_S_OK) return submitted;
    return WaitForEnd(h);
  }

  // Body bytes the server sent for the requests from `from` on, once all their answers are over.
  uint64_t SentSince(size_t from) {
    EXPECT_TRUE(files.WaitIdle());
    return files.BytesSent(from);
  }

  FaultServer files;
};

}  // namespace hvtest
