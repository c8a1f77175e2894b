#include "support/md5.h"

#include <gtest/gtest.h>

#include "common/scratch.h"
#include "support/scoped_handle.h"

namespace hv {
namespace {

// A progress that records the count of hashed bytes.
HashProgress Counter(uint64_t& bytes) {
  return [&bytes](uint64_t hashed) {
    bytes = hashed;
    return true;
  };
}

TEST(Md5, GivesTheReferenceDigestsInLowerCase) {
  hvtest::TempDir dir;
  const struct {
    const char* text;
    const wchar_t* digest;
  } suite[] = {
      {"", L"d41d8cd98f00b204e9800998ecf8427e"},
      {"a", L"0cc175b9c0f1b6a831c399e269772661"},
      {"abc", L"900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", L"f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", L"c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", L"d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       L"57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const auto& entry : suite) {
    const std::wstring path = dir.File(L"suite.bin");
    hvtest::WriteFileBytes(path, entry.text);
    uint64_t bytes = 0;
    EXPECT_EQ(entry.digest, FileMd5Hex(path, Counter(bytes))) << entry.text;
    EXPECT_EQ(strlen(entry.text), bytes) << entry.text;
  }
}

TEST(Md5, HashesWholeBlocksAndTreatsAMissingFileAsEmpty) {
  hvtest::TempDir dir;
  std::string block(16384, '\0');
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i % 251);
  hvtest::WriteFileBytes(dir.File(L"block.bin"), block);
  uint64_t bytes = 0;
  EXPECT_EQ(L"e7b11e9c017496ec667c7bf8909d0e2d", FileMd5Hex(dir.File(L"block.bin"), Counter(bytes)));
  EXPECT_EQ(16384u, bytes);

  bytes = 0;
  EXPECT_EQ(L"d41d8cd98f00b204e9800998ecf8427e", FileMd5Hex(dir.File(L"missing.bin"), Counter(bytes)));
  EXPECT_EQ(0u, bytes);

  // A progress that says stop ends the hashing without a digest.
  hvtest::WriteFileBytes(dir.File(L"two.bin"), block + block);
  int calls = 0;
  EXPECT_EQ(L"", FileMd5Hex(dir.File(L"two.bin"), [&](uint64_t) { return ++calls < 1; }));
  EXPECT_EQ(1, calls);
}

TEST(Md5, CountsBytesBeyondFourGibibytes) {
  // A sparse file: the end of file set past 4 GiB, then five known bytes written there.
  hvtest::TempDir dir;
  const std::wstring path = dir.File(L"large.bin");
  const LONGLONG holeSize = (1LL << 32) + 5;
  {
    UniqueFile file(
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(file.valid());
    LARGE_INTEGER end = {};
    end.QuadPart = holeSize;
    ASSERT_TRUE(SetFilePointerEx(file.get(), end, nullptr, FILE_BEGIN));
    ASSERT_TRUE(SetEndOfFile(file.get()));
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(file.get(), "tail!", 5, &written, nullptr));
    ASSERT_EQ(5u, written);
  }
  uint64_t bytes = 0;
  // The digest of 4294967301 zero bytes followed by "tail!", computed independently with md5sum.
  EXPECT_EQ(L"001c4a27efc0e038ebd90107798511ee", FileMd5Hex(path, Counter(bytes)));
  EXPECT_EQ(static_cast<uint64_t>(holeSize) + 5, bytes);
}

}  // namespace
}  // namespace hv
