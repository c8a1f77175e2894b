// Downloads, the statistics report and the ping through the exports.
#include <algorithm>
#include <atomic>

#include "common/api_fixture.h"
#include "common/downloads.h"

namespace hvtest {
namespace {

const std::string kBody = [] {
  std::string body;
  for (int i = 0; i < 100000; ++i) body.push_back(static_cast<char>('a' + i % 23));
  return body;
}();

class Download : public ApiTest {
 protected:
  // Answers the query with one distribution served at /files/<name> with the given checksum.
  int32_t OpenWithList(int32_t flags, const std::string& checksum, const std::string& name = "dist.bin") {
    onQuery = [this, checksum, name](const httplib::Request&, httplib::Response& res) {
      res.set_content(AnswerPacket(0, UpdateElement({"C1", "Product", NarrowFileUrl(name), checksum, "{P}", "{D}", "en",
                                                     "1.0", std::to_string(kBody.size())})),
                      "text/xml");
    };
    const int32_t h = Open(flags);
    EXPECT_EQ(PELK_S_OK, pelk.PelkQuerySubmit(h, 30000));
    return h;
  }

  // Waits for the final phase (bounded), collecting every distinct phase seen and the last verified count.
  int32_t WaitForEnd(int32_t h, std::vector<int32_t>* phases = nullptr, uint64_t* verified = nullptr) {
    return hvtest::WaitForEnd(pelk, h, [&](const DownloadCheck& check) {
      if (phases && (phases->empty() || phases->back() != check.phase)) phases->push_back(check.phase);
      if (verified) *verified = check.verified;
    });
  }

  std::vector<std::wstring> ReportedStatuses(size_t reportIndex) {
    const std::wstring body = BodyText(Sent("ReportCmd:Report").at(reportIndex).body);
    std::vector<std::wstring> statuses;
    for (size_t at = body.find(L"<name>status</name>"); at != std::wstring::npos;
         at = body.find(L"<name>status</name>", at + 1)) {
      // The value is the entry's own text, written on a line of its own after the name.
      const size_t from = body.find_first_not_of(L"\n\t", at + wcslen(L"<name>status</name>"));
      statuses.push_back(body.substr(from, body.find_first_of(L"\n<", from) - from));
    }
    return statuses;
  }
};

TEST_F(Download, VerifiedDownloadRunsThroughThePhasesAndRecordsEachFinalCheck) {
  ServeFile("dist.bin", kBody);
  const int32_t h = OpenWithList(PELK_FLAG_VERIFY_CHECKSUM, Md5Hex(kBody));
  const std::wstring target = temp.File(L"dist.bin");
  const int32_t submitted = pelk.PelkDownloadSubmit(h, 0, target.c_str());
  EXPECT_TRUE(submitted == PELK_S_STILL_RUNNING || submitted == PELK_S_OK) << std::hex << submitted;
  std::vector<int32_t> phases;
  uint64_t verified = 0;
  EXPECT_EQ(PELK_PHASE_FINISHED, WaitForEnd(h, &phases, &verified));
  EXPECT_EQ(kBody.size(), verified);
  EXPECT_EQ(kBody, ReadFileBytes(target));
  // Whatever was sampled follows the order of the transfer.
  const std::vector<int32_t> order = {0, PELK_PHASE_STARTED, PELK_PHASE_RECEIVING, PELK_PHASE_VERIFYING,
                                      PELK_PHASE_FINISHED};
  size_t at = 0;
  for (int32_t phase : phases) {
    while (at < order.size() && order[at] != phase) ++at;
    EXPECT_LT(at, order.size()) << "phase 0x" << std::hex << phase << " out of order";
  }

  // A second check after success records a second statistics group; the report carries both.
  uint64_t a, b, c;
  EXPECT_EQ(PELK_PHASE_FINISHED, pelk.PelkDownloadCheck(h, 0, &a, &b, &c));
  EXPECT_EQ(PELK_S_OK, pelk.PelkReportSubmit(h));
  ASSERT_EQ(1u, Sent("ReportCmd:Report").size());
  EXPECT_EQ((std::vector<std::wstring>{L"0x40002005", L"0x40002005"}), ReportedStatuses(0)) << std::string(
      BodyText(Sent("ReportCmd:Report")[0].body).begin(), BodyText(Sent("ReportCmd:Report")[0].body).end());
  EXPECT_NE(std::wstring::npos, BodyText(Sent("ReportCmd:Report")[0].body).find(FileUrl("dist.bin")));
  // The report was replaced by an empty one: nothing more to send.
  EXPECT_EQ(PELK_S_OK, pelk.PelkReportSubmit(h));
  EXPECT_EQ(1u, Sent("ReportCmd:Report").size());
}

TEST_F(Download, CompleteFileReceivesNothingAndChecksumsFollowTheFlag) {
  ServeFile("dist.bin", kBody);
  const std::wstring target = temp.File(L"complete.bin");
  WriteFileBytes(target, kBody);

  // With verification: no body is read (the file stays as it is) and the file is verified.
  int32_t h = OpenWithList(PELK_FLAG_VERIFY_CHECKSUM, Md5Hex(kBody));
  pelk.PelkDownloadSubmit(h, 0, target.c_str());
  uint64_t verified = 0;
  EXPECT_EQ(PELK_PHASE_FINISHED, WaitForEnd(h, nullptr, &verified));
  EXPECT_EQ(kBody.size(), verified);
  EXPECT_EQ(kBody, ReadFileBytes(target));
  EXPECT_EQ(PELK_S_OK, pelk.PelkClose(h));

  // An upper-case checksum never matches the lower-case digest.
  std::string upper = Md5Hex(kBody);
  std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
  h = OpenWithList(PELK_FLAG_VERIFY_CHECKSUM, upper);
  pelk.PelkDownloadSubmit(h, 0, target.c_str());
  EXPECT_EQ(PELK_E_CHECKSUM, WaitForEnd(h, nullptr, &verified));
  EXPECT_EQ(kBody.size(), verified);
  EXPECT_EQ(PELK_S_OK, pelk.PelkClose(h));

  // Flags 0 never verify, even with a wrong checksum.
  h = OpenWithList(0, "not the digest");
  pelk.PelkDownloadSubmit(h, 0, temp.File(L"fresh.bin").c_str());
  EXPECT_EQ(PELK_PHASE_FINISHED, WaitForEnd(h, nullptr, &verified));
  EXPECT_EQ(0u, verified);
  EXPECT_EQ(kBody, ReadFileBytes(temp.File(L"fresh.bin")));
}

TEST_F(Download, BadIndexStartsNothing) {
  ServeFile("dist.bin", kBody);
  const int32_t h = OpenWithList(0, "");
  const size_t before = server.Requests().size();
  EXPECT_EQ(PELK_E_BAD_INDEX, pelk.PelkDownloadSubmit(h, 1, temp.File(L"x.bin").c_str()));
  EXPECT_EQ(PELK_E_BAD_INDEX, pelk.PelkDownloadSubmit(h, -1, temp.File(L"x.bin").c_str()));
  uint64_t a = 7, b = 7, c = 7;
  EXPECT_EQ(PELK_S_NOTHING_OUTSTANDING, pelk.PelkDownloadCheck(h, 0, &a, &b, &c));
  EXPECT_EQ(PELK_S_OK, pelk.PelkDownloadCancel(h));
  EXPECT_EQ(before, server.Requests().size());
  EXPECT_FALSE(FileExists(temp.File(L"x.bin")));
  // Nothing was recorded, so the report sends nothing.
  EXPECT_EQ(PELK_S_OK, pelk.PelkReportSubmit(h));
  EXPECT_TRUE(Sent("ReportCmd:Report").empty());
}

TEST_F(Download, ACancelAfterTheDownloadFailedKeepsItsFailure) {
  const int32_t h = OpenWithList(0, "");  // its one distribution's file is not on the server: 404
  EXPECT_EQ(PELK_E_HTTP_404, pelk.PelkDownloadSubmit(h, 0, temp.File(L"gone.bin").c_str()) == PELK_S_STILL_RUNNING
                                 ? WaitForEnd(h)
                                 : PELK_E_UNEXPECTED);
  EXPECT_EQ(PELK_S_OK, pelk.PelkDownloadCancel(h));
  // Past the time after which a stopped download is let go: an ended one is not, and its failure stays.
  Sleep(2 * 80);
  uint64_t received = 0, verified = 0, total = 0;
  EXPECT_EQ(PELK_E_HTTP_404, pelk.PelkDownloadCheck(h, 0, &received, &verified, &total));
  EXPECT_EQ(PELK_S_OK, pelk.PelkClose(h));
}

class BlockingDownload : public Download {
 protected:
  // /files/slow.bin sends the first half of the body, then waits for the gate (cut after ten seconds, so
  // that a failing test cannot hang) and counts in resumed that it went on. Under Wine, closing the
  // client's handles does not end a read that is already blocked: a stopped transfer is let go and ends
  // when its server sends again.
  void ServeSlowly() {
    server.server().Get("/files/slow.bin", [this](const httplib::Request&, httplib::Response& res) {
      res.set_content_provider(kBody.size(), "application/octet-stream",
                               [this](size_t offset, size_t, httplib::DataSink& sink) {
                                 if (offset == 0) return sink.write(kBody.data(), kBody.size() / 2);
                                 const bool opened = gate.Wait(10000);
                                 ++resumed;
                                 return opened && sink.write(kBody.data() + offset, kBody.size() - offset);
                               });
    });
  }
  void TearDown() override { gate.Open(); }

  // True when no one holds the file open any more: the transfer that wrote it has stopped.
  static bool Released(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    CloseHandle(file);
    return true;
  }
  // Waits (bounded) until the transfer that wrote the file has let go of it.
  static bool WaitReleased(const std::wstring& path) {
    for (int i = 0; i < 2000; ++i) {
      if (Released(path)) return true;
      Sleep(5);
    }
    return false;
  }

  // Submits and waits (bounded) until data is arriving.
  void StartAndWaitForData(int32_t h, const std::wstring& target) {
    EXPECT_EQ(PELK_S_STILL_RUNNING, pelk.PelkDownloadSubmit(h, 0, target.c_str()));
    for (int i = 0; i < 2000; ++i) {
      uint64_t received = 0, verified = 0, total = 0;
      if (pelk.PelkDownloadCheck(h, 0, &received, &verified, &total) == PELK_PHASE_RECEIVING) {
        EXPECT_EQ(kBody.size(), total);
        return;
      }
      Sleep(5);
    }
    ADD_FAILURE() << "no data arrived";
  }

  Gate gate;
  std::atomic<int> resumed{0};  // slow answers that went on after their stall
};

TEST_F(BlockingDownload, CancelKeepsAResumablePartialFileAndIsReportedAfterTheSuccess) {
  ServeSlowly();
  ServeFile("dist.bin", kBody);
  const int32_t h = OpenWithList(0, "", "slow.bin");
  const std::wstring target = temp.File(L"partial.bin");
  StartAndWaitForData(h, target);
  EXPECT_EQ(PELK_S_OK, pelk.PelkDownloadCancel(h));
  const int32_t end = WaitForEnd(h);
  EXPECT_TRUE(end < 0 || end == PELK_PHASE_CLOSED) << std::hex << end;
  const std::string partial = ReadFileBytes(target);
  EXPECT_GT(partial.size(), 0u);
  EXPECT_LT(partial.size(), kBody.size());
  EXPECT_EQ(kBody.substr(0, partial.size()), partial);
  gate.Open();

  // The same target resumes with a ranged request and ends byte-identical.
  EXPECT_EQ(PELK_S_STILL_RUNNING, pelk.PelkDownloadSubmit(h, 0, target.c_str()));
  EXPECT_EQ(PELK_PHASE_FINISHED, WaitForEnd(h));
  EXPECT_EQ(kBody, ReadFileBytes(target));
  const std::vector<RecordedRequest> all = server.Requests();
  EXPECT_EQ("bytes=" + std::to_string(partial.size()) + "-", all.back().Header("Range"));
}

TEST_F(BlockingDownload, ReportSendsSuccessThenCancelAndKeepsGroupsWhenTheServiceRefuses) {
  ServeSlowly();
  const int32_t h = OpenWithList(0, "", "slow.bin");
  gate.Open();
  pelk.PelkDownloadSubmit(h, 0, temp.File(L"one.bin").c_str());
  EXPECT_EQ(PELK_PHASE_FINISHED, WaitForEnd(h));
  EXPECT_EQ(kBody, ReadFileBytes(temp.File(L"one.bin")));

  // The second download of the same distribution is cancelled at once.
  pelk.PelkDownloadSubmit(h, 0, temp.File(L"two.bin").c_str());
  EXPECT_EQ(PELK_S_OK, pelk.PelkDownloadCancel(h));

  onReport = [](const httplib::Request&, httplib::Response& res) { res.set_content(AnswerPacket(700), "text/xml"); };
  EXPECT_EQ(PELK_E_SERVICE_700_800, pelk.PelkReportSubmit(h));
  onReport = nullptr;
  EXPECT_EQ(PELK_S_OK, pelk.PelkReportSubmit(h));
  ASSERT_EQ(2u, Sent("ReportCmd:Report").size());
  const std::vector<std::wstring> first = ReportedStatuses(0);
  ASSERT_GE(first.size(), 2u);
  EXPECT_EQ(L"0x40002005", first[0]);
  EXPECT_EQ(L"0x40002006", first[1]);
  EXPECT_EQ(first, ReportedStatuses(1)) << "the refused groups are sent again";
  EXPECT_EQ("/hvtr/trellin?cmd=ReportCmd:Report&trellin%5Fversion=2%2E0", Sent("ReportCmd:Report")[0].target);
}

TEST_F(BlockingDownload, ASubmitWithABadIndexLeavesTheRunningDownloadAlone) {
  ServeSlowly();
  const int32_t h = OpenWithList(0, "", "slow.bin");
  const std::wstring target = temp.File(L"slow.bin");
  StartAndWaitForData(h, target);
  EXPECT_EQ(PELK_E_BAD_INDEX, pelk.PelkDownloadSubmit(h, 1, temp.File(L"other.bin").c_str()));
  uint64_t received = 0, verified = 0, total = 0;
  EXPECT_EQ(PELK_PHASE_RECEIVING, pelk.PelkDownloadCheck(h, 0, &received, &verified, &total));
  gate.Open();
  EXPECT_EQ(PELK_PHASE_FINISHED, WaitForEnd(h));
  EXPECT_EQ(kBody, ReadFileBytes(target));
  EXPECT_EQ(PELK_S_OK, pelk.PelkClose(h));
}

TEST_F(BlockingDownload, ASecondSubmitStopsTheRunningTransferWithoutWaitingForItsServer) {
  ServeSlowly();
  const int32_t h = OpenWithList(0, "", "slow.bin");
  const std::wstring first = temp.File(L"first.bin");
  StartAndWaitForData(h, first);
  EXPECT_FALSE(Released(first)) << "the running transfer holds its target open";
  EXPECT_EQ(PELK_S_STILL_RUNNING, pelk.PelkDownloadSubmit(h, 0, temp.File(L"second.bin").c_str()));
  EXPECT_EQ(0, resumed) << "the submit waited for the server";

  // Once the server sends again, the stopped transfer lets go of its file without writing more.
  gate.Open();
  EXPECT_EQ(PELK_PHASE_FINISHED, WaitForEnd(h));
  EXPECT_EQ(kBody, ReadFileBytes(temp.File(L"second.bin")));
  ASSERT_TRUE(WaitReleased(first));
  const std::string partial = ReadFileBytes(first);
  EXPECT_LE(partial.size(), kBody.size() / 2);
  EXPECT_EQ(kBody.substr(0, partial.size()), partial);
}

TEST_F(BlockingDownload, ACloseDuringATransferReturnsWithoutWaitingAndSendsNoStatistics) {
  ServeSlowly();
  const int32_t h = OpenWithList(0, "", "slow.bin");
  StartAndWaitForData(h, temp.File(L"cancelled.bin"));
  EXPECT_EQ(PELK_S_OK, pelk.PelkDownloadCancel(h));  // records a group that the close must not send
  EXPECT_TRUE(PELK_PHASE_IS_FINAL(WaitForEnd(h)));
  const std::wstring target = temp.File(L"closed.bin");
  StartAndWaitForData(h, target);
  EXPECT_EQ(PELK_S_OK, pelk.PelkClose(h));
  EXPECT_EQ(0, resumed) << "the close waited for the server";
  gate.Open();
  ASSERT_TRUE(WaitReleased(target));
  EXPECT_LT(ReadFileBytes(target).size(), kBody.size());
  EXPECT_TRUE(Sent("ReportCmd:Report").empty());
}

TEST_F(Download, PingMapsTheServiceStatusAndHonoursTheLimit) {
  const int32_t h = Open();
  EXPECT_EQ(PELK_S_OK, pelk.PelkPingServer(h, 30000));
  const std::vector<RecordedRequest> pings = Sent("PingCmd:Ping");
  ASSERT_EQ(1u, pings.size());
  EXPECT_EQ("GET", pings[0].method);
  EXPECT_EQ("/hvtr/trellin?cmd=PingCmd:Ping&module=Trellin", pings[0].target);
  EXPECT_EQ("HvWebServiceClient (hvvornet " HVPELK_VERSION_TEXT ";Setup 3.1;)", pings[0].Header("User-Agent"));
  EXPECT_FALSE(pings[0].HasHeader("Accept-Encoding"));

  onPing = [](const httplib::Request&, httplib::Response& res) { res.set_content(AnswerPacket(900), "text/xml"); };
  EXPECT_EQ(PELK_E_SERVICE_900, pelk.PelkPingServer(h, 30000));

  // Limit 0 against a slow service returns after the answer arrived, with its status.
  Gate slow;
  onPing = [&](const httplib::Request&, httplib::Response& res) {
    slow.Wait();
    res.set_content(AnswerPacket(10), "text/xml");
  };
  std::thread opener([&] {
    server.WaitForRequests(3);
    slow.Open();
  });
  EXPECT_EQ(PELK_E_SERVICE_10, pelk.PelkPingServer(h, 0));
  opener.join();

  // A small limit against a service that does not answer in time.
  Gate never;
  onPing = [&](const httplib::Request&, httplib::Response& res) {
    never.Wait(5000);
    res.set_content(AnswerPacket(0), "text/xml");
  };
  EXPECT_EQ(PELK_E_TIMEOUT, pelk.PelkPingServer(h, 200));
  never.Open();
}

}  // namespace
}  // namespace hvtest
