// Faults of the download path and of service answers, through the exports against the fault server:
// what a download costs on the wire, answers that lie about ranges, lengths and encodings, and what the
// statistics, the list and the user agent must stay.
#include <string>
#include <utility>

#include "faults_fixture.h"

namespace hvtest {
namespace {

TEST_F(Faults, AResumeCostsWhatIsMissingAndACompleteFileNothing) {
  const std::string data = SampleBytes(16 * kMiB, 41);
  files.Serve("/files/big.bin", Plain(data));
  const int32_t h = OpenWithList(0, files.Url("/files/big.bin"));
  const std::wstring target = temp.File(L"big.bin");

  WriteFileBytes(target, data);
  size_t first = files.RequestCount();
  EXPECT_EQ(PELK_PHASE_FINISHED, Download(h, target));
  EXPECT_LE(SentSince(first), kMiB) << "a complete file submitted again";
  EXPECT_TRUE(FileHolds(target, data));

  WriteFileBytes(target, data.substr(0, 4 * kMiB));
  first = files.RequestCount();
  EXPECT_EQ(PELK_PHASE_FINISHED, Download(h, target));
  EXPECT_LE(SentSince(first), 12 * kMiB + kMiB) << "a resume with 12 MiB missing";
  EXPECT_TRUE(FileHolds(target, data));
}

TEST_F(Faults, AResumeAppendsOnlyAnAnswerThatStartsAtTheFilesEnd) {
  const std::string data = SampleBytes(300000, 43);
  const int32_t h = OpenWithList(0, files.Url("/files/r.bin"));
  const std::wstring target = temp.File(L"r.bin");
  const std::pair<RangeAnswer, const char*> answers[] = {{RangeAnswer::kOtherOffset, "206 from another offset"},
                                                         {RangeAnswer::kNoContentRange, "206 without Content-Range"},
                                                         {RangeAnswer::kWhole, "200 with the whole body"},
                                                         {RangeAnswer::kRefuse, "416"}};
  for (const auto& answer : answers) {
    SCOPED_TRACE(answer.second);
    WriteFileBytes(target, data.substr(0, 100000));
    FaultPlan plan = Plain(data);
    plan.range = answer.first;
    files.Serve("/files/r.bin", plan);
    // Success only with the true file; a failure keeps a true beginning of it.
    const int32_t phase = Download(h, target);
    EXPECT_TRUE(FileHolds(target, data, phase != PELK_PHASE_FINISHED)) << std::hex << "phase 0x" << phase;

    // An honest server then completes the file.
    files.Serve("/files/r.bin", Plain(data));
    EXPECT_EQ(PELK_PHASE_FINISHED, Download(h, target));
    EXPECT_TRUE(FileHolds(target, data));
  }
}

TEST_F(Faults, ADamagedGzipFileIsNeverTakenForACompleteOne) {
  const std::string data = SampleBytes(100000, 47) + std::string(100000, 'x');
  std::string damaged = Gzip(data);
  for (size_t i = damaged.size() / 2; i < damaged.size() / 2 + 16; ++i)
    damaged[i] = static_cast<char>(damaged[i] ^ 0x5A);
  files.Serve("/files/z.bin", Gzipped(damaged));
  const std::wstring target = temp.File(L"z.bin");

  int32_t h = OpenWithList(0, files.Url("/files/z.bin"));
  EXPECT_EQ(PELK_E_GZIP, Download(h, target));
  EXPECT_NE(PELK_PHASE_FINISHED, Download(h, target)) << "the second submit of the damaged file";
  EXPECT_EQ(PELK_S_OK, pelk.PelkClose(h));

  // Once the server sends good data, a verified download ends with the decoded file.
  files.Serve("/files/z.bin", Gzipped(Gzip(data)));
  h = OpenWithList(PELK_FLAG_VERIFY_CHECKSUM, files.Url("/files/z.bin"), Md5Hex(data));
  EXPECT_EQ(PELK_PHASE_FINISHED, Download(h, target));
  EXPECT_TRUE(FileHolds(target, data));
}

TEST_F(Faults, ACompletedGzipDownloadSubmittedAgainStaysIdentical) {
  // Random bytes do not compress: their encoding is longer than the decoded file.
  for (const std::string& data : {SampleBytes(200000, 53), std::string(200000, 'y')}) {
    files.Serve("/files/g.bin", Gzipped(Gzip(data)));
    const int32_t h = OpenWithList(0, files.Url("/files/g.bin"));
    const std::wstring target = temp.File(L"g.bin");
    DeleteFileW(target.c_str());
    EXPECT_EQ(PELK_PHASE_FINISHED, Download(h, target));
    EXPECT_TRUE(FileHolds(target, data));
    EXPECT_EQ(PELK_PHASE_FINISHED, Download(h, target)) << "submitted again";
    EXPECT_TRUE(FileHolds(target, data));
  }
}

TEST_F(Faults, AnEncodedFileLeftBehindIsDroppedOnceTheServerSendsTheFileAsItIs) {
  const std::string data = SampleBytes(300000, 61);
  files.Serve("/files/s.bin", Plain(data));
  const int32_t h = OpenWithList(0, files.Url("/files/s.bin"));
  const std::wstring target = temp.File(L"s.bin");
  WriteFileBytes(target + L".encoded", Gzip(data).substr(0, 100000));  // an interrupted gzip-encoded download
  WriteFileBytes(target, data.substr(0, 50000));

  EXPECT_EQ(PELK_PHASE_FINISHED, Download(h, target));
  EXPECT_TRUE(FileHolds(target, data));
  EXPECT_FALSE(FileExists(target + L".encoded"));
  const size_t first = files.RequestCount();
  EXPECT_EQ(PELK_PHASE_FINISHED, Download(h, target));
  EXPECT_EQ(0u, SentSince(first)) << "the complete file submitted again";
}

TEST_F(Faults, AContentLengthThatIsNoNumberCountsAsUnknown) {
  const std::string data = SampleBytes(400000, 59);
  const int32_t h = OpenWithList(0, files.Url("/files/n.bin"));
  const std::wstring target = temp.File(L"n.bin");

  // Not a number: WinINet reads to the end of the connection; the rest is appended and checked against
  // the Content-Range total.
  WriteFileBytes(target, data.substr(0, 150000));
  FaultPlan plan = Plain(data);
  plan.length = LengthHeader::kNonNumeric;
  plan.cutAfter = 100000;
  files.Serve("/files/n.bin", plan);
  EXPECT_EQ(PELK_E_CONNECTION, Download(h, target)) << "a body cut short";
  EXPECT_TRUE(FileHolds(target, data.substr(0, 250000)));
  plan.cutAfter = FaultPlan::kNever;
  files.Serve("/files/n.bin", plan);
  const size_t first = files.RequestCount();
  EXPECT_EQ(PELK_PHASE_FINISHED, Download(h, target));
  EXPECT_TRUE(FileHolds(target, data));
  EXPECT_EQ(150000u, SentSince(first));

  // 2^65: WinINet would wrap it and cut the body short, so the answer is refused before the file is
  // touched: the download fails and the partial file stays as it was.
  WriteFileBytes(target, data.substr(0, 150000));
  plan.length = LengthHeader::kHuge;
  files.Serve("/files/n.bin", plan);
  EXPECT_EQ(PELK_E_READ, Download(h, target));
  EXPECT_TRUE(FileHolds(target, data.substr(0, 150000)));
}

// Lengths one off where a rule turns: a range continues a file only with the length its Content-Range
// names, and 2^63 is the first length that no body can be read with.
TEST_F(Faults, LengthsAtTheEdgesOfTheRulesAreReadExactly) {
  const std::string data = SampleBytes(300000, 61);
  const int32_t h = OpenWithList(0, files.Url("/files/e.bin"));
  const std::wstring target = temp.File(L"e.bin");
  for (const LengthHeader length : {LengthHeader::kShort, LengthHeader::kLong}) {
    SCOPED_TRACE(length == LengthHeader::kShort ? "one byte short" : "one byte long");
    WriteFileBytes(target, data.substr(0, 100000));
    FaultPlan plan = Plain(data);
    plan.length = length;
    plan.lengthSkew = 1;
    files.Serve("/files/e.bin", plan);
    const size_t first = files.RequestCount();
    Download(h, target);  // the whole answer lies about its length too: how it ends is not the point
    // The ranged answer could not continue the file: the whole file was asked for once more.
    ASSERT_EQ(first + 2, files.RequestCount());
    EXPECT_EQ("bytes=100000-", files.Requests()[first].Header("Range"));
    EXPECT_EQ("", files.Requests()[first + 1].Header("Range"));
  }

  FaultPlan plan = Plain(data);
  plan.length = LengthHeader::kExact;
  DeleteFileW(target.c_str());
  plan.exactLength = "9223372036854775807";  // 2^63 - 1: a length, and no disk holds it
  files.Serve("/files/e.bin", plan);
  EXPECT_EQ(PELK_E_DISK_SPACE, Download(h, target));
  DeleteFileW(target.c_str());
  plan.exactLength = "9223372036854775808";  // 2^63: no length WinINet can read a body by
  files.Serve("/files/e.bin", plan);
  EXPECT_EQ(PELK_E_READ, Download(h, target));
  EXPECT_FALSE(FileExists(target));
}

// A file that is to start again with a new body is emptied only when that body's first block arrives.
TEST_F(Faults, AnAnswerThatFailsBeforeItsFirstByteLeavesThePartialFileAlone) {
  const std::string data = SampleBytes(100000, 61);
  const int32_t h = OpenWithList(0, files.Url("/files/t.bin"));
  const std::wstring target = temp.File(L"t.bin");
  for (LengthHeader length : {LengthHeader::kAbsent, LengthHeader::kTrue}) {
    SCOPED_TRACE(length == LengthHeader::kAbsent ? "without Content-Length" : "with Content-Length");
    WriteFileBytes(target, data.substr(0, 40000));
    FaultPlan plan = Plain(data);
    plan.length = length;
    plan.contentType.clear();
    files.Serve("/files/t.bin", plan);
    EXPECT_EQ(PELK_E_CONTENT_TYPE, Download(h, target));
    EXPECT_TRUE(FileHolds(target, data.substr(0, 40000)));
  }
  // The range ignored, the whole file announced, and the connection cut before the body's first byte.
  FaultPlan cut = Plain(data);
  cut.range = RangeAnswer::kWhole;
  cut.cutAfter = 0;
  files.Serve("/files/t.bin", cut);
  EXPECT_EQ(PELK_E_CONNECTION, Download(h, target));
  EXPECT_TRUE(FileHolds(target, data.substr(0, 40000)));
}

// A cancel is seen after the server's next write, whatever the block size: a slow server's download ends
// with the little that arrived in between, and the server stops sending.
TEST_F(Faults, ACancelEndsAfterTheServersNextWrite) {
  FaultPlan slow = Plain(SampleBytes(400 * 1024, 63));
  slow.paceBytes = 1024;
  slow.paceMs = 20;
  files.Serve("/files/slow.bin", slow);
  const int32_t h = OpenWithList(0, files.Url("/files/slow.bin"));
  const std::wstring target = temp.File(L"slow.bin");
  ASSERT_EQ(PELK_S_STILL_RUNNING, pelk.PelkDownloadSubmit(h, 0, target.c_str()));
  uint64_t received = 0, verified = 0, total = 0;
  for (int i = 0; i < 2000 && received < uint64_t{8} * 1024; ++i) {
    Sleep(5);
    pelk.PelkDownloadCheck(h, 0, &received, &verified, &total);
  }
  ASSERT_GE(received, 8 * 1024u);
  const uint64_t atCancel = received;
  EXPECT_EQ(PELK_S_OK, pelk.PelkDownloadCancel(h));
  EXPECT_EQ(PELK_PHASE_CLOSED, WaitForEnd(h));
  pelk.PelkDownloadCheck(h, 0, &received, &verified, &total);
  EXPECT_LT(received - atCancel, 8 * 1024u) << "a read waited for a whole block";
  EXPECT_TRUE(FileHolds(target, slow.body.substr(0, static_cast<size_t>(received))));
  EXPECT_LT(SentSince(0), 64 * 1024u);
}

// A huge complete file: its checksum pass would take many seconds, so only an abort can end it early.
// The answer that showed the file complete is closed before the checksum pass: a 200 as long as the file,
// its 16 MiB of body unread, is over on the server's side while the pass runs.
TEST_F(Faults, ACancelEndsAChecksumPass) {
  const uint64_t size = 8ull << 30;  // sparse: nothing is written
  const std::wstring target = temp.File(L"huge.bin");
  ASSERT_TRUE(MakeSparseFile(target, size));
  FaultPlan whole;
  whole.raw = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " + std::to_string(size) +
              "\r\nConnection: close\r\n\r\n" + std::string(16 * kMiB, 'x');
  files.Serve("/files/huge.bin", whole);
  const int32_t h = OpenWithList(PELK_FLAG_VERIFY_CHECKSUM, files.Url("/files/huge.bin"), std::string(32, '0'));
  ASSERT_EQ(PELK_S_STILL_RUNNING, pelk.PelkDownloadSubmit(h, 0, target.c_str()));
  uint64_t received = 0, verified = 0, total = 0;
  int32_t phase = 0;
  for (int i = 0; i < 6000 && (phase != PELK_PHASE_VERIFYING || verified == 0); ++i) {
    Sleep(5);
    phase = pelk.PelkDownloadCheck(h, 0, &received, &verified, &total);
  }
  ASSERT_EQ(PELK_PHASE_VERIFYING, phase);
  EXPECT_TRUE(files.WaitIdle(5000)) << "the answer's request stayed open during the checksum pass";
  EXPECT_EQ(PELK_PHASE_VERIFYING, pelk.PelkDownloadCheck(h, 0, &received, &verified, &total));
  EXPECT_EQ(PELK_S_OK, pelk.PelkDownloadCancel(h));
  EXPECT_EQ(PELK_PHASE_CLOSED, WaitForEnd(h));
  pelk.PelkDownloadCheck(h, 0, &received, &verified, &total);
  EXPECT_LT(verified, size);
}

// A huge complete encoded file: decoding it would take seconds, so only an abort can end it early; the
// encoded file stays for the next try and the half-decoded file goes.
TEST_F(Faults, ACancelEndsADecoding) {
  const std::string member = Gzip(std::string(64 * kMiB, '\0'));
  std::string encoded;
  for (int i = 0; i < 16; ++i) encoded += member;  // 1 GiB decoded
  files.Serve("/files/z.bin", Gzipped(encoded));
  const int32_t h = OpenWithList(0, files.Url("/files/z.bin"));
  const std::wstring target = temp.File(L"z.bin");
  WriteFileBytes(target + L".encoded", encoded);
  ASSERT_EQ(PELK_S_STILL_RUNNING, pelk.PelkDownloadSubmit(h, 0, target.c_str()));
  for (int i = 0; i < 6000 && FileSize(target + L".temp") == 0; ++i) Sleep(5);
  ASSERT_GT(FileSize(target + L".temp"), 0u);
  EXPECT_EQ(PELK_S_OK, pelk.PelkDownloadCancel(h));
  EXPECT_EQ(PELK_PHASE_CLOSED, WaitForEnd(h));
  EXPECT_FALSE(FileExists(target + L".temp"));
  EXPECT_TRUE(FileHolds(target + L".encoded", encoded));
}

// Free space is weighed against what is still to come, not against the whole file: a sparse partial file
// larger than the free space is continued by its last thousand bytes.
TEST_F(Faults, FreeSpaceIsWeighedAgainstWhatIsStillToCome) {
  const std::wstring target = temp.File(L"sparse.bin");
  ULARGE_INTEGER available = {};
  ASSERT_TRUE(GetDiskFreeSpaceExW(temp.path().c_str(), &available, nullptr, nullptr));
  const uint64_t size = available.QuadPart + (1ull << 30);
  ASSERT_TRUE(MakeSparseFile(target, size));
  const std::string tail = SampleBytes(1000, 65);
  FaultPlan rest;
  rest.raw = "HTTP/1.1 206 Partial Content\r\nContent-Type: application/octet-stream\r\nContent-Range: bytes " +
             std::to_string(size) + "-" + std::to_string(size + 999) + "/" + std::to_string(size + 1000) +
             "\r\nContent-Length: 1000\r\nConnection: close\r\n\r\n" + tail;
  files.Serve("/files/sparse.bin", rest);
  const int32_t h = OpenWithList(0, files.Url("/files/sparse.bin"));
  EXPECT_EQ(PELK_PHASE_FINISHED, Download(h, target));
  EXPECT_EQ(size + 1000, FileSize(target));

  // What is still to come does not fit: refused before a byte is read.
  FaultPlan tooBig;
  tooBig.raw = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " + std::to_string(size) +
               "\r\nConnection: close\r\n\r\n" + tail;
  files.Serve("/files/sparse.bin", tooBig);
  EXPECT_EQ(PELK_E_DISK_SPACE, Download(h, temp.File(L"new.bin")));
  EXPECT_EQ(0u, FileSize(temp.File(L"new.bin")));
}

TEST_F(Faults, ATargetWithoutAFolderLandsInTheCurrentFolder) {
  const std::string data = SampleBytes(50000, 67);
  files.Serve("/files/setup.bin", Plain(data));
  const int32_t h = OpenWithList(0, files.Url("/files/setup.bin"));
  // The current folder is the process's: a scratch one for the download, restored before it is removed.
  struct CurrentFolder {
    explicit CurrentFolder(const std::wstring& folder) : before(MAX_PATH, L'\0') {
      before.resize(GetCurrentDirectoryW(MAX_PATH, &before[0]));
      changed = SetCurrentDirectoryW(folder.c_str()) != FALSE;
    }
    ~CurrentFolder() { SetCurrentDirectoryW(before.c_str()); }
    std::wstring before;
    bool changed;
  };
  {
    CurrentFolder scratch(temp.path());
    ASSERT_TRUE(scratch.changed);
    EXPECT_EQ(PELK_PHASE_FINISHED, Download(h, L"setup.bin"));
  }
  EXPECT_TRUE(FileHolds(temp.File(L"setup.bin"), data));
}

TEST_F(Faults, StatisticsNameTheUrlTheDownloadWasSubmittedWith) {
  FaultPlan stalling = Plain(SampleBytes(200000, 71));
  stalling.stallAfter = 50000;
  files.Serve("/files/first.bin", stalling);
  const std::string firstUrl = files.Url("/files/first.bin");
  // The caller queries again during the download and gets another list, or an empty one.
  size_t stalls = 0;
  for (const std::string& secondUrl : {files.Url("/files/second.bin"), std::string()}) {
    SCOPED_TRACE(secondUrl.empty() ? "empty second list" : "second list with another URL");
    const int32_t h = OpenWithList(0, firstUrl);
    const std::wstring target = temp.File(L"first-" + std::to_wstring(stalls) + L".bin");
    EXPECT_EQ(PELK_S_STILL_RUNNING, pelk.PelkDownloadSubmit(h, 0, target.c_str()));
    ASSERT_TRUE(files.WaitForStalls(++stalls));
    AnswerList(secondUrl);
    EXPECT_EQ(PELK_S_OK, pelk.PelkQuerySubmit(h, 30000));
    files.ReleaseStalls();
    EXPECT_TRUE(PELK_PHASE_IS_FINAL(WaitForEnd(h)));

    const size_t reports = Sent("ReportCmd:Report").size();
    EXPECT_EQ(PELK_S_OK, pelk.PelkReportSubmit(h));
    ASSERT_EQ(reports + 1, Sent("ReportCmd:Report").size());
    const std::wstring report = BodyText(Sent("ReportCmd:Report").back().body);
    EXPECT_NE(std::wstring::npos, report.find(Widen(firstUrl)));
    if (!secondUrl.empty()) {
      EXPECT_EQ(std::wstring::npos, report.find(Widen(secondUrl)));
    }
    EXPECT_EQ(PELK_S_OK, pelk.PelkClose(h));
  }
}

TEST_F(Faults, AnAnswerThatIsNoPacketFailsAndKeepsTheStatisticsAndTheList) {
  files.Serve("/files/a.bin", Plain(SampleBytes(1000, 73)));
  const int32_t h = OpenWithList(0, files.Url("/files/a.bin"));
  const std::string loginPage =
      "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<html><body><form action=\"/login\"/></body></html>";

  // A report answered by a login page was not delivered: its statistics go out again with the next one.
  EXPECT_EQ(PELK_PHASE_FINISHED, Download(h, temp.File(L"a.bin")));
  onReport = [&loginPage](const httplib::Request&, httplib::Response& res) { res.set_content(loginPage, "text/xml"); };
  EXPECT_EQ(PELK_E_SERVICE_UNKNOWN, pelk.PelkReportSubmit(h));
  onReport = nullptr;
  EXPECT_EQ(PELK_S_OK, pelk.PelkReportSubmit(h));
  const std::vector<RecordedRequest> reports = Sent("ReportCmd:Report");
  EXPECT_EQ(2u, reports.size());
  EXPECT_NE(std::wstring::npos, BodyText(reports.empty() ? "" : reports.back().body).find(files.WUrl("/files/a.bin")));

  // A query answered so fails and the caller's list stays.
  onQuery = [&loginPage](const httplib::Request&, httplib::Response& res) { res.set_content(loginPage, "text/xml"); };
  EXPECT_EQ(PELK_E_SERVICE_UNKNOWN, pelk.PelkQuerySubmit(h, 30000));
  int32_t count = 0;
  EXPECT_EQ(PELK_S_OK, pelk.PelkGetDistCount(h, &count));
  ASSERT_EQ(1, count);
  EXPECT_EQ(files.WUrl("/files/a.bin"), Text(pelk.PelkGetDistDownloadURL, h, 0));

  // A packet without a header is the service's success: its list replaces the caller's.
  const std::string update =
      UpdateElement({"C2", "Other", files.Url("/files/b.bin"), "", "{P}", "{D}", "en", "2.0", "0"});
  const std::string bare = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<packet><body>" + update + "</body></packet>";
  onQuery = [&bare](const httplib::Request&, httplib::Response& res) { res.set_content(bare, "text/xml"); };
  EXPECT_EQ(PELK_S_OK, pelk.PelkQuerySubmit(h, 30000));
  EXPECT_EQ(PELK_S_OK, pelk.PelkGetDistCount(h, &count));
  ASSERT_EQ(1, count);
  EXPECT_EQ(files.WUrl("/files/b.bin"), Text(pelk.PelkGetDistDownloadURL, h, 0));
  onQuery = nullptr;
  EXPECT_EQ(PELK_S_OK, pelk.PelkClose(h));
}

TEST_F(Faults, EmptyIdentityTextsStillMakeABlankUserAgentToken) {
  int32_t h = 0;
  ASSERT_EQ(PELK_S_OK, pelk.PelkOpen(L"Setup", L"3.1", L"", L"", L"de-DE", 0, &h));
  AnswerList(files.Url("/files/u.bin"));
  EXPECT_EQ(PELK_S_OK, pelk.PelkQuerySubmit(h, 30000));
  EXPECT_EQ("HvWebServiceClient (hvvornet " HVPELK_VERSION_TEXT ";Setup 3.1;hvpelk " HVPELK_VERSION_TEXT "; ;)",
            Sent("ContentCmd:Query").back().Header("User-Agent"));

  EXPECT_EQ(PELK_S_OK, pelk.PelkClose(h));

  // With empty application texts the ping and the download carry the blank token alone.
  ASSERT_EQ(PELK_S_OK, pelk.PelkOpen(L"", L"", L"", L"", L"de-DE", 0, &h));
  EXPECT_EQ(PELK_S_OK, pelk.PelkPingServer(h, 30000));
  EXPECT_EQ("HvWebServiceClient (hvvornet " HVPELK_VERSION_TEXT "; ;)",
            Sent("PingCmd:Ping").back().Header("User-Agent"));
  files.Serve("/files/u.bin", Plain("data"));
  EXPECT_EQ(PELK_S_OK, pelk.PelkQuerySubmit(h, 30000));
  EXPECT_EQ(PELK_PHASE_FINISHED, Download(h, temp.File(L"u.bin")));
  ASSERT_FALSE(files.Requests().empty());
  EXPECT_EQ("HvWebServiceClient (hvvornet " HVPELK_VERSION_TEXT "; ;)", files.Requests().back().Header("User-Agent"));
}

}  // namespace
}  // namespace hvtest
