// The gzip decoder of response bodies (transport/gzip_text.h): any bytes as a gzip-encoded body.
// Checks, against zlib's own gzip reader run member by member over the same bytes: the two decoded outputs
// agree as far as both got; input that zlib reads whole (every member with its trailer, then the end or
// bytes that start no member) decodes, to exactly zlib's bytes, so each member yields no more than its
// trailer states; a member whose trailer zlib finds wrong fails; the output of a success stays within what
// deflate can expand its input to; the text decoder gives the same bytes, cut at the first zero byte unless
// they start with a UTF-16 byte order mark.
#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "transport/gzip_text.h"

namespace {

struct Reference {
  std::string out;
  bool whole = false;    // every member decoded and checked, and the input ended or started no member
  bool damaged = false;  // a member's trailer disagrees with its data
};

bool StartsMember(const std::string& in, size_t at) {
  return in.size() - at >= 3 && in.compare(at, 3, "\x1F\x8B\x08") == 0;
}

Reference ZlibDecode(const std::string& in) {
  Reference ref;
  size_t at = 0;
  bool decodedAny = false;
  unsigned char block[65536];
  while (at < in.size() && StartsMember(in, at)) {
    z_stream stream = {};
    FUZZ_CHECK(inflateInit2(&stream, 16 + MAX_WBITS) == Z_OK);
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data() + at));
    stream.avail_in = static_cast<uInt>(in.size() - at);
    int result = Z_OK;
    do {
      stream.next_out = block;
      stream.avail_out = sizeof(block);
      result = inflate(&stream, Z_NO_FLUSH);
      ref.out.append(reinterpret_cast<const char*>(block), sizeof(block) - stream.avail_out);
    } while (result == Z_OK);
    const bool trailerWrong = result == Z_DATA_ERROR && stream.msg != nullptr &&
                              (std::strcmp(stream.msg, "incorrect data check") == 0 ||
                               std::strcmp(stream.msg, "incorrect length check") == 0);
    at += stream.total_in;
    inflateEnd(&stream);
    if (result != Z_STREAM_END) {
      ref.damaged = trailerWrong;
      return ref;
    }
    decodedAny = true;
  }
  ref.whole = decodedAny;
  return ref;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string in(reinterpret_cast<const char*>(data), size);
  std::string out;
  const bool decoded = hv::DecodeGzipBuffer(in, out);
  const Reference ref = ZlibDecode(in);

  const size_t common = std::min(out.size(), ref.out.size());
  FUZZ_CHECK(out.compare(0, common, ref.out, 0, common) == 0);
  if (ref.whole) FUZZ_CHECK(decoded && out == ref.out);
  if (ref.damaged) FUZZ_CHECK(!decoded);
  // Deflate expands at most about 1032 to 1; each member adds a header of at least 10 bytes.
  if (decoded) FUZZ_CHECK(out.size() <= 1032 * size);

  std::string expected = out;
  const bool utf16 = expected.compare(0, 2, "\xFF\xFE") == 0 || expected.compare(0, 2, "\xFE\xFF") == 0;
  if (!utf16) expected = expected.substr(0, expected.find('\0'));
  FUZZ_CHECK(hv::DecodeGzipText(in) == expected);
  return 0;
}
