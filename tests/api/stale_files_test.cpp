// Files at the target that are not the server's file (an older version, a longer one, a mix, a damaged
// or half-decoded one) and answers that lie about what they hold, through the exports against the fault
// server: such a file is never reported complete, costs at most one extra whole transfer, and never
// poisons later tries. Each case also counts the body bytes the server really sent.
#include <string>
#include <utility>

#include "faults_fixture.h"

namespace hvtest {
namespace {

class StaleFiles : public Faults {
 protected:
  // A download's final phase and what it cost on the wire.
  struct Outcome {
    int32_t phase;
    uint64_t sent;
  };
  Outcome Run(int32_t h, const std::wstring& path) {
    const size_t first = files.RequestCount();
    const int32_t phase = Download(h, path);
    return {phase, SentSince(first)};
  }

  const std::string older = SampleBytes(4 * kMiB, 101);
  const std::string newer = SampleBytes(4 * kMiB, 103);
  const std::wstring target = temp.File(L"setup.bin");
};

TEST_F(StaleFiles, AFileThatFailsItsChecksumStartsAgainOnceWithinTheSubmit) {
  files.Serve("/files/setup.bin", Plain(newer));
  const int32_t h = OpenWithList(PELK_FLAG_VERIFY_CHECKSUM, files.Url("/files/setup.bin"), Md5Hex(newer));
  const size_t size = newer.size();

  // Half of the older version: resumed with the newer tail, which fails; then fetched whole.
  WriteFileBytes(target, older.substr(0, size / 2));
  Outcome run = Run(h, target);
  EXPECT_EQ(PELK_PHASE_FINISHED, run.phase);
  EXPECT_TRUE(FileHolds(target, newer));
  EXPECT_EQ(size / 2 + size, run.sent);
  run = Run(h, target);
  EXPECT_EQ(PELK_PHASE_FINISHED, run.phase) << "submitted again";
  EXPECT_EQ(0u, run.sent);

  // The whole older version, as long as the newer: taken as complete, fails, fetched whole.
  WriteFileBytes(target, older);
  run = Run(h, target);
  EXPECT_EQ(PELK_PHASE_FINISHED, run.phase);
  EXPECT_TRUE(FileHolds(target, newer));
  EXPECT_EQ(size, run.sent);
}

TEST_F(StaleFiles, OnlyAFreshWholeCopyThatStillFailsIsReportedAndItStays) {
  // The service names a checksum the server's file does not have.
  files.Serve("/files/setup.bin", Plain(newer));
  const int32_t h = OpenWithList(PELK_FLAG_VERIFY_CHECKSUM, files.Url("/files/setup.bin"), Md5Hex(older));
  Outcome run = Run(h, target);
  EXPECT_EQ(PELK_E_CHECKSUM, run.phase);
  EXPECT_EQ(newer.size(), run.sent) << "one whole transfer, not two";
  EXPECT_TRUE(FileHolds(target, newer));
  // Every later submit costs one whole transfer at most, and the file stays.
  run = Run(h, target);
  EXPECT_EQ(PELK_E_CHECKSUM, run.phase);
  EXPECT_EQ(newer.size(), run.sent);
  EXPECT_TRUE(FileHolds(target, newer));
}

TEST_F(StaleFiles, OnlyAFileExactlyAsLongAsAnnouncedIsComplete) {
  const int32_t h = OpenWithList(0, files.Url("/files/setup.bin"));
  // Longer than the server's file, with the server's bytes at its start: never complete.
  files.Serve("/files/setup.bin", Plain(newer));
  const std::pair<RangeAnswer, const char*> answers[] = {
      {RangeAnswer::kHonour, "416 for a range past the end"},
      {RangeAnswer::kWhole, "200 with the whole file"},
      {RangeAnswer::kPastTheEnd, "206 for a range that ends before it starts, without a length"}};
  for (const auto& [answer, name] : answers) {
    SCOPED_TRACE(name);
    FaultPlan plan = Plain(newer);
    plan.range = answer;
    if (answer == RangeAnswer::kPastTheEnd) plan.length = LengthHeader::kAbsent;
    files.Serve("/files/setup.bin", plan);
    WriteFileBytes(target, newer + older.substr(0, kMiB));
    const Outcome run = Run(h, target);
    EXPECT_EQ(PELK_PHASE_FINISHED, run.phase);
    EXPECT_TRUE(FileHolds(target, newer));
    EXPECT_EQ(newer.size(), run.sent);
  }
  // The resource is now empty ("bytes */0"): the file becomes empty too.
  files.Serve("/files/setup.bin", Plain(""));
  WriteFileBytes(target, older.substr(0, 1000));
  EXPECT_EQ(PELK_PHASE_FINISHED, Run(h, target).phase);
  EXPECT_TRUE(FileHolds(target, ""));
}

TEST_F(StaleFiles, ARangedAnswerNeverYieldsMoreThanItsRange) {
  const int32_t h = OpenWithList(0, files.Url("/files/setup.bin"));
  const size_t half = newer.size() / 2;
  // No Content-Length: the body runs to the end of the connection. 5,000 bytes past the range are not
  // the file's; a body that starts elsewhere than its range says goes on past the range as well.
  FaultPlan extra = Plain(newer);
  extra.length = LengthHeader::kAbsent;
  extra.extraBytes = 5000;
  FaultPlan shifted = Plain(newer);
  shifted.length = LengthHeader::kAbsent;
  shifted.range = RangeAnswer::kShiftedBody;
  for (const FaultPlan& plan : {extra, shifted}) {
    SCOPED_TRACE(plan.extraBytes > 0 ? "5,000 bytes past the range" : "a body from another offset");
    files.Serve("/files/setup.bin", plan);
    WriteFileBytes(target, newer.substr(0, half));
    const Outcome run = Run(h, target);
    EXPECT_EQ(PELK_PHASE_FINISHED, run.phase);
    EXPECT_TRUE(FileHolds(target, newer));
    EXPECT_GE(half + plan.extraBytes + newer.size() + half, run.sent) << "the ranged answer and one whole";
  }
}

TEST_F(StaleFiles, ChecksThatNeedNoAnswerSendNothingAndChangeNothing) {
  files.Serve("/files/setup.bin", Plain(newer));
  const int32_t h = OpenWithList(0, files.Url("/files/setup.bin"));
  const std::wstring folder = temp.File(L"folder");
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  for (const std::wstring& bad : {folder, temp.File(L"missing\\setup.bin"), temp.File(L"a<b>.bin"), std::wstring()}) {
    SCOPED_TRACE(::testing::PrintToString(bad));
    EXPECT_EQ(PELK_E_CREATE_FILE, Download(h, bad));
  }
  EXPECT_EQ(0u, files.RequestCount());
  EXPECT_FALSE(FileExists(temp.File(L"missing")));
  EXPECT_FALSE(FileExists(folder + L".encoded"));
}

// A gzip-encoded download keeps what it received when decoding fails for the files' sake, and the
// previous target until its decoded successor has passed the checksum.
TEST_F(StaleFiles, AGzipDownloadKeepsItsEncodedFileAndThePreviousTargetUntilVerified) {
  const std::string encoded = Gzip(newer);
  files.Serve("/files/setup.bin", Gzipped(encoded));
  int32_t h = OpenWithList(PELK_FLAG_VERIFY_CHECKSUM, files.Url("/files/setup.bin"), Md5Hex(newer));

  // A folder in the way of the decoded file: the encoded file stays, and the next try sends nothing more.
  const std::wstring temporary = target + L".temp";
  ASSERT_TRUE(CreateDirectoryW(temporary.c_str(), nullptr));
  Outcome run = Run(h, target);
  EXPECT_EQ(PELK_E_SYSTEM_CALL, run.phase);
  EXPECT_TRUE(FileHolds(target + L".encoded", encoded));
  ASSERT_TRUE(RemoveDirectoryW(temporary.c_str()));
  run = Run(h, target);
  EXPECT_EQ(PELK_PHASE_FINISHED, run.phase);
  EXPECT_EQ(0u, run.sent);
  EXPECT_TRUE(FileHolds(target, newer));
  EXPECT_EQ(PELK_S_OK, pelk.PelkClose(h));

  // A decoded file that fails its checksum never replaces the previous target.
  h = OpenWithList(PELK_FLAG_VERIFY_CHECKSUM, files.Url("/files/setup.bin"), Md5Hex(older));
  WriteFileBytes(target, older);
  EXPECT_EQ(PELK_E_CHECKSUM, Run(h, target).phase);
  EXPECT_TRUE(FileHolds(target, older));
  EXPECT_FALSE(FileExists(temporary));
}

// An updater cut off mid-download and run again later, against a server that names its versions.
TEST_F(StaleFiles, APartialFileResumesOnlyFromTheVersionItCameFrom) {
  const int32_t h = OpenWithList(0, files.Url("/files/setup.bin"));
  const std::wstring record = target + L".resume";
  const size_t size = older.size();
  auto serve = [this](const std::string& body, const std::string& etag, const std::string& date, uint64_t cut) {
    FaultPlan plan = Plain(body);
    plan.etag = etag;
    plan.lastModified = date;
    plan.cutAfter = cut;
    files.Serve("/files/setup.bin", plan);
  };
  const std::string oldDate = "Mon, 07 Dec 2026 10:00:00 GMT";
  const std::string newDate = "Wed, 09 Dec 2026 10:00:00 GMT";

  // Cut off at 1 MiB: the partial file and its record of the strong ETag.
  serve(older, "\"v1\"", oldDate, kMiB);
  EXPECT_NE(PELK_PHASE_FINISHED, Run(h, target).phase);
  EXPECT_TRUE(FileHolds(target, older.substr(0, kMiB)));
  EXPECT_EQ("hvpelk resume 1\nIf-Range: \"v1\"\n", ReadFileBytes(record));

  // The server's file changed, as long as before: the range is asked for the old version only, the server
  // sends the new one whole, and it replaces the partial file in the same submit.
  serve(newer, "\"v2\"", newDate, FaultPlan::kNever);
  size_t first = files.RequestCount();
  Outcome run = Run(h, target);
  EXPECT_EQ(PELK_PHASE_FINISHED, run.phase);
  EXPECT_TRUE(FileHolds(target, newer));
  EXPECT_EQ(size, run.sent);
  ASSERT_EQ(first + 1, files.RequestCount());
  EXPECT_EQ("bytes=1048576-", files.Requests()[first].Header("Range"));
  EXPECT_EQ("\"v1\"", files.Requests()[first].Header("If-Range"));
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(record.c_str())) << "a complete file has no record";

  // Unchanged between the runs: only the missing bytes. A weak ETag validates nothing: the date does.
  WriteFileBytes(target, "");
  serve(newer, "W/\"v2\"", newDate, 2 * kMiB);
  EXPECT_NE(PELK_PHASE_FINISHED, Run(h, target).phase);
  EXPECT_EQ("hvpelk resume 1\nIf-Range: " + newDate + "\n", ReadFileBytes(record));
  serve(newer, "W/\"v2\"", newDate, FaultPlan::kNever);
  first = files.RequestCount();
  run = Run(h, target);
  EXPECT_EQ(PELK_PHASE_FINISHED, run.phase);
  EXPECT_TRUE(FileHolds(target, newer));
  EXPECT_EQ(size - 2 * kMiB, run.sent);
  EXPECT_EQ(newDate, files.Requests()[first].Header("If-Range"));

  // A partial file without a record (from before records, or someone else's) is resumed as it always was,
  // and a torn record counts as none.
  WriteFileBytes(target, newer.substr(0, kMiB));
  WriteFileBytes(record, "hvpelk resume 1\nIf-Ra");
  first = files.RequestCount();
  run = Run(h, target);
  EXPECT_EQ(PELK_PHASE_FINISHED, run.phase);
  EXPECT_EQ(size - kMiB, run.sent);
  EXPECT_EQ("", files.Requests()[first].Header("If-Range"));
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(record.c_str()));
  EXPECT_EQ(PELK_S_OK, pelk.PelkClose(h));
}

}  // namespace
}  // namespace hvtest
