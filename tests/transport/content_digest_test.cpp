// The digest made while a download is written: a file's existing part and the blocks after it, a restart
// that drops work under way, a part that cannot be read, and a stop in each of the worker's waits.
#include "transport/content_digest.h"

#include <gtest/gtest.h>

#include <string>

#include "common/bytes.h"
#include "common/scratch.h"
#include "support/status.h"

namespace {

TEST(ContentDigest, HashesAFilesPartThenTheBlocksAfterItAndStartsAgainWhenTold) {
  hvtest::TempDir dir;
  const std::string head = hvtest::SampleBytes(700 * 1024, 3), tail = hvtest::SampleBytes(300 * 1024, 5);
  const std::wstring path = dir.File(L"partial.bin");
  hvtest::WriteFileBytes(path, head + "bytes past the part");
  hv::StopSignal stop;
  hv::ContentDigest digest(stop);
  digest.AddFile(path, head.size());
  ASSERT_TRUE(digest.Add(tail.data(), tail.size()));
  uint64_t last = 0;
  EXPECT_EQ(hvtest::Md5Of(head + tail), digest.Finish([&](uint64_t hashed) {
    EXPECT_GE(hashed, last);
    last = hashed;
  }));
  EXPECT_EQ(head.size() + tail.size(), last);

  // A restart drops a file under way (4 GiB: seconds of hashing) and everything queued after it.
  const std::wstring huge = dir.File(L"huge.bin");
  ASSERT_TRUE(hvtest::MakeSparseFile(huge, 4ull << 30));
  digest.Restart();
  digest.AddFile(huge, 4ull << 30);
  ASSERT_TRUE(digest.Add(tail.data(), tail.size()));
  digest.Restart();
  ASSERT_TRUE(digest.Add("abc", 3));
  EXPECT_EQ(L"900150983cd24fb0d6963f7d28e17f72", digest.Finish([](uint64_t) {}));

  // A part that cannot be read to its length gives no digest: the caller hashes the file instead.
  digest.Restart();
  digest.AddFile(path, head.size() + 1000);
  EXPECT_EQ(L"", digest.Finish([](uint64_t) {}));
  digest.Restart();
  EXPECT_EQ(L"d41d8cd98f00b204e9800998ecf8427e", digest.Finish([](uint64_t) {})) << "nothing at all";
}

TEST(ContentDigest, AStopEndsAWaitForRoomAndForTheDigest) {
  hvtest::TempDir dir;
  const std::wstring huge = dir.File(L"huge.bin");
  ASSERT_TRUE(hvtest::MakeSparseFile(huge, 8ull << 30));
  hv::StopSignal stop;
  hv::ContentDigest digest(stop);
  digest.AddFile(huge, 8ull << 30);
  // The thread is busy with the file for many seconds: the queue fills, and the next block waits for room.
  const std::string block(1024 * 1024, 'b');
  for (size_t queued = 0; queued < hv::ContentDigest::kQueuedBytes; queued += block.size()) {
    ASSERT_TRUE(digest.Add(block.data(), block.size()));
  }
  stop.Request();
  EXPECT_FALSE(digest.Add(block.data(), block.size()));
  EXPECT_EQ(PELK_PHASE_CLOSED, hv::StatusOf([&] { digest.Finish([](uint64_t) {}); }));
  // The destructor ends the thread within a block of the file.
}

}  // namespace
