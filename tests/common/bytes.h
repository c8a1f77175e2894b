// Test data: deterministic sample bytes and gzip/deflate encoding with zlib, shared by the test suites and
// the torture run.
#pragma once

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <string>

namespace hvtest {

// Deterministic bytes of every value, zero bytes included.
inline std::string SampleBytes(size_t size, uint32_t seed = 1) {
  std::string data(size, '\0');
  uint32_t state = seed;
  for (char& c : data) {
    state = state * 1103515245u + 12345u;
    c = static_cast<char>(state >> 24);
  }
  return data;
}

// Compresses with zlib; windowBits 31 gives a complete gzip member, -15 raw deflate data.
inline std::string Compress(const std::string& data, int windowBits) {
  z_stream stream = {};
  EXPECT_EQ(Z_OK, deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY));
  std::string out(deflateBound(&stream, static_cast<uLong>(data.size())) + 64, '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  stream.avail_in = static_cast<uInt>(data.size());
  stream.next_out = reinterpret_cast<Bytef*>(&out[0]);
  stream.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(Z_STREAM_END, deflate(&stream, Z_FINISH));
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}

// One complete gzip member of data.
inline std::string Gzip(const std::string& data) { return Compress(data, 31); }

}  // namespace hvtest
