#include "gzip_encode.h"

#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <new>

namespace hv {
namespace service {
namespace {

std::string Trim(const std::string& text) {
  size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// True when one of the ";"-separated parameters is a weight of zero ("q=0", "q=0.000"): the coding is
// refused.
bool HasZeroWeight(const std::string& parameters) {
  size_t start = 0;
  while (start <= parameters.size()) {
    size_t semicolon = parameters.find(';', start);
    if (semicolon == std::string::npos) semicolon = parameters.size();
    std::string p = Lower(Trim(parameters.substr(start, semicolon - start)));
    start = semicolon + 1;
    if (p.compare(0, 2, "q=") != 0) continue;
    std::string weight = Trim(p.substr(2));
    if (!weight.empty() && weight.find_first_not_of("0.") == std::string::npos) return true;
  }
  return false;
}

}  // namespace

std::string GzipEncode(const std::string& data) {
  z_stream stream = {};
  // Window bits 15 + 16 selects the gzip wrapper; zlib writes a header without name or time.
  if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    throw std::bad_alloc();
  }
  std::string out;
  char buffer[65536];
  size_t offset = 0;
  int flush = Z_NO_FLUSH;
  // zlib counts in 32 bits: feed the input in slices.
  do {
    size_t slice = std::min<size_t>(data.size() - offset, 1u << 30);
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data() + offset));
    stream.avail_in = static_cast<uInt>(slice);
    offset += slice;
    flush = offset == data.size() ? Z_FINISH : Z_NO_FLUSH;
    do {
      stream.next_out = reinterpret_cast<Bytef*>(buffer);
      stream.avail_out = sizeof buffer;
      deflate(&stream, flush);
      out.append(buffer, sizeof buffer - stream.avail_out);
    } while (stream.avail_out == 0);
  } while (flush != Z_FINISH);
  deflateEnd(&stream);
  return out;
}

bool AcceptsGzip(const std::string& acceptEncoding) {
  // An explicit "gzip" item decides; otherwise a "*" item does.
  int gzip = -1;
  int any = -1;
  size_t start = 0;
  while (start <= acceptEncoding.size()) {
    size_t comma = acceptEncoding.find(',', start);
    if (comma == std::string::npos) comma = acceptEncoding.size();
    std::string item = acceptEncoding.substr(start, comma - start);
    start = comma + 1;
    size_t semicolon = item.find(';');
    std::string coding = Lower(Trim(item.substr(0, semicolon)));
    int accepted = (semicolon == std::string::npos || !HasZeroWeight(item.substr(semicolon + 1))) ? 1 : 0;
    if (coding == "gzip") gzip = accepted;
    if (coding == "*") any = accepted;
  }
  return gzip >= 0 ? gzip == 1 : any == 1;
}

}  // namespace service
}  // namespace hv
