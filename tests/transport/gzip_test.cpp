#include "transport/gzip.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <functional>
#include <string>

#include "common/scratch.h"
#include "common/transport_fixture.h"

namespace {

// Text that compresses well mixed with bytes that do not, long enough to need several decoder blocks.
std::string SampleData(size_t size, uint32_t seed) {
  std::string data;
  data.reserve(size);
  uint32_t state = seed;
  while (data.size() < size) {
    state = state * 1103515245u + 12345u;
    if ((state >> 16) % 3 == 0) {
      data += "line " + std::to_string(data.size()) + " of the sample\n";
    } else {
      data += static_cast<char>(state >> 24);
    }
  }
  data.resize(size);
  return data;
}

using hvtest::Compress;

std::string GzipMember(const std::string& data) { return hvtest::Gzip(data); }

std::string LittleEndian32(uint32_t value) {
  std::string bytes;
  for (int i = 0; i < 4; ++i) bytes += static_cast<char>((value >> (8 * i)) & 0xFF);
  return bytes;
}

std::string Trailer(const std::string& data) {
  const uLong crc = crc32(0L, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size()));
  return LittleEndian32(static_cast<uint32_t>(crc)) + LittleEndian32(static_cast<uint32_t>(data.size()));
}

// A member with a hand-built header: the given method and flags and, for each flag, its field.
std::string HandBuiltMember(const std::string& data, unsigned char method, unsigned char flags) {
  std::string member = {'\x1F', '\x8B', static_cast<char>(method), static_cast<char>(flags)};
  member += std::string("\x01\x02\x03\x04", 4) + '\x02' + '\x0B';  // time, extra flags, OS
  if (flags & 0x04)
    member += std::string(
        "\x05\x00"
        "ab\0cd",
        7);  // FEXTRA: length 5, bytes with a zero
  if (flags & 0x08) member += std::string("name.txt\0", 9);
  if (flags & 0x10) member += std::string("a comment\0", 10);
  if (flags & 0x02) member += std::string("\x12\x34", 2);
  return member + Compress(data, -15) + Trailer(data);
}

std::string Decoded(const std::string& in, bool& ok) {
  std::string out;
  ok = hv::DecodeGzipBuffer(in, out);
  return out;
}

TEST(GzipBuffer, DecodesMembersInTurnAndAppends) {
  const std::string first = SampleData(300000, 1);
  const std::string second = SampleData(70000, 2);

  std::string out = "kept";
  EXPECT_TRUE(hv::DecodeGzipBuffer(GzipMember(first), out));
  EXPECT_EQ("kept" + first, out);

  bool ok = false;
  EXPECT_EQ(first + second, Decoded(GzipMember(first) + GzipMember(second), ok));
  EXPECT_TRUE(ok);

  // An empty member is a valid member that decodes to nothing.
  EXPECT_EQ("", Decoded(GzipMember(""), ok));
  EXPECT_TRUE(ok);
  EXPECT_EQ(second, Decoded(GzipMember("") + GzipMember(second), ok));
  EXPECT_TRUE(ok);
}

TEST(GzipBuffer, SkipsOptionalHeaderFields) {
  const std::string data = SampleData(5000, 3);
  bool ok = false;
  EXPECT_EQ(data, Decoded(HandBuiltMember(data, 8, 0x04 | 0x08 | 0x10 | 0x02), ok));
  EXPECT_TRUE(ok);
  EXPECT_EQ(data, Decoded(HandBuiltMember(data, 8, 0x08), ok));
  EXPECT_TRUE(ok);
  EXPECT_EQ(data + data, Decoded(HandBuiltMember(data, 8, 0x10) + HandBuiltMember(data, 8, 0x04), ok));
  EXPECT_TRUE(ok);
}

TEST(GzipBuffer, EndsWellAfterAMemberOnMissingTrailerOrTrailingBytes) {
  const std::string data = SampleData(40000, 4);
  const std::string member = GzipMember(data);
  bool ok = false;

  // The input ends right after the deflate data.
  EXPECT_EQ(data, Decoded(member.substr(0, member.size() - 8), ok));
  EXPECT_TRUE(ok);

  // Padding and text after a complete member are not members and end the decoding.
  EXPECT_EQ(data, Decoded(member + std::string(100, '\0'), ok));
  EXPECT_TRUE(ok);
  EXPECT_EQ(data, Decoded(member + "trailing text", ok));
  EXPECT_TRUE(ok);
  EXPECT_EQ(data, Decoded(member + "\x1F", ok));
  EXPECT_TRUE(ok);
  // The signature with another method is not a member either.
  EXPECT_EQ(data, Decoded(member + HandBuiltMember(data, 7, 0), ok));
  EXPECT_TRUE(ok);
}

TEST(GzipBuffer, FailsOnInputThatIsNoGzipOrIsDamaged) {
  const std::string data = SampleData(40000, 5);
  const std::string member = GzipMember(data);
  bool ok = true;

  EXPECT_EQ("", Decoded("", ok));
  EXPECT_FALSE(ok);
  EXPECT_EQ("", Decoded("plain text, not compressed", ok));
  EXPECT_FALSE(ok);
  EXPECT_EQ("", Decoded(HandBuiltMember(data, 7, 0), ok));  // another compression method
  EXPECT_FALSE(ok);
  EXPECT_EQ("", Decoded(member.substr(0, 6), ok));  // header cut short
  EXPECT_FALSE(ok);
  EXPECT_EQ("", Decoded(HandBuiltMember(data, 8, 0x08).substr(0, 14), ok));  // inside the file name
  EXPECT_FALSE(ok);

  // Deflate data that is no deflate data: the block type 3 is reserved.
  std::string broken = member;
  broken[10] = '\x07';
  Decoded(broken, ok);
  EXPECT_FALSE(ok);

  // Input ending inside the deflate data yields the part decoded so far, and fails.
  const std::string partial = Decoded(member.substr(0, member.size() / 2), ok);
  EXPECT_FALSE(ok);
  EXPECT_LT(partial.size(), data.size());
  EXPECT_EQ(data.substr(0, partial.size()), partial);

  // A trailer cut short is neither whole nor absent.
  Decoded(member.substr(0, member.size() - 3), ok);
  EXPECT_FALSE(ok);
}

TEST(GzipBuffer, FailsWhenTheTrailerDisagreesWithTheData) {
  const std::string data = SampleData(20000, 6);
  const std::string member = GzipMember(data);
  bool ok = true;

  std::string badCrc = member;
  badCrc[badCrc.size() - 8] ^= 0x01;
  EXPECT_EQ(data, Decoded(badCrc, ok));  // the data came out, but it is not what was sent
  EXPECT_FALSE(ok);

  std::string badLength = member;
  badLength[badLength.size() - 4] ^= 0x01;
  Decoded(badLength, ok);
  EXPECT_FALSE(ok);

  // A damaged later member is corrupted data, not trailing bytes.
  Decoded(member + badCrc, ok);
  EXPECT_FALSE(ok);
  Decoded(member + member.substr(0, member.size() / 2), ok);
  EXPECT_FALSE(ok);
}

const std::function<bool()> Always = [] { return true; };

hv::GzipFileResult Decode(const std::wstring& source, const std::wstring& destination,
                          const std::function<bool()>& keepGoing = Always) {
  DWORD error = 0;
  const hv::GzipFileResult result = hv::DecodeGzipFile(source, destination, keepGoing, nullptr, error);
  EXPECT_EQ(result == hv::GzipFileResult::IoError, error != 0) << "the error comes with an I/O failure only";
  return result;
}

TEST(GzipFile, DecodesToAWideCharacterPathAndReplacesTheDestination) {
  hvtest::TempDir dir;
  const std::string data = SampleData(3 * 1024 * 1024, 7);
  const std::wstring source = dir.File(L"\u0416\u2603.gz");
  const std::wstring destination = dir.File(L"\u0416\u2603.bin");
  hvtest::WriteFileBytes(source, GzipMember(data) + GzipMember("tail"));
  hvtest::WriteFileBytes(destination, std::string(10 * 1024 * 1024, 'x'));  // longer than the result

  ASSERT_EQ(hv::GzipFileResult::Decoded, Decode(source, destination));
  EXPECT_TRUE(hvtest::ReadFileBytes(destination) == data + "tail");
  EXPECT_TRUE(hvtest::FileExists(source));
}

// Damaged data is told apart from a failure of the files themselves: only the first makes the source
// worthless. Either way the destination goes and the source stays.
TEST(GzipFile, FailuresSayWhetherTheDataOrTheFilesAreAtFault) {
  hvtest::TempDir dir;
  const std::string data = SampleData(200000, 8);
  std::string damaged = GzipMember(data);
  damaged[damaged.size() - 6] ^= 0x10;  // CRC mismatch
  const std::wstring source = dir.File(L"\u0416 damaged.gz");
  const std::wstring destination = dir.File(L"\u0416 damaged.bin");
  hvtest::WriteFileBytes(source, damaged);

  EXPECT_EQ(hv::GzipFileResult::DamagedData, Decode(source, destination));
  EXPECT_FALSE(hvtest::FileExists(destination));
  EXPECT_TRUE(hvtest::ReadFileBytes(source) == damaged);
  hvtest::WriteFileBytes(source, "not compressed");
  EXPECT_EQ(hv::GzipFileResult::DamagedData, Decode(source, destination));
  EXPECT_FALSE(hvtest::FileExists(destination));
  EXPECT_EQ("not compressed", hvtest::ReadFileBytes(source));

  // The files at fault: a missing source, a destination that is the source itself, a folder in the way
  // of the destination, a destination in a missing folder.
  const std::string good = GzipMember(data);
  hvtest::WriteFileBytes(source, good);
  EXPECT_EQ(hv::GzipFileResult::IoError, Decode(dir.File(L"missing.gz"), destination));
  EXPECT_EQ(hv::GzipFileResult::IoError, Decode(source, source));
  ASSERT_TRUE(CreateDirectoryW(destination.c_str(), nullptr));
  EXPECT_EQ(hv::GzipFileResult::IoError, Decode(source, destination));
  EXPECT_EQ(hv::GzipFileResult::IoError, Decode(source, dir.File(L"no folder\\x.bin")));
  EXPECT_TRUE(hvtest::ReadFileBytes(source) == good);

  // A stop asked for after the first block.
  int asked = 0;
  EXPECT_EQ(hv::GzipFileResult::Stopped, Decode(source, dir.File(L"stopped.bin"), [&] { return ++asked < 2; }));
  EXPECT_EQ(2, asked);
  EXPECT_FALSE(hvtest::FileExists(dir.File(L"stopped.bin")));
}

}  // namespace
