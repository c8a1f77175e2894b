// The gzip decoding core that the buffer decoder (gzip_text.cpp) and the file decoder (gzip.cpp) share:
// where the compressed bytes come from, where the decoded bytes go, and the decoding of every member in
// a row. The transport's own; not part of its interface.
#pragma once

#include <algorithm>
#include <cstddef>

namespace hv {

// Files are read and written, and data is inflated, in blocks of this size.
constexpr size_t kGzipBlockSize = 65536;

// Where the compressed bytes come from: a window of available bytes that Refill replaces when it is used up.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Makes more bytes available (only when none are left); false at the end of the input or on a read error.
  virtual bool Refill() = 0;
  // True when reading failed, as opposed to the input simply ending.
  virtual bool ReadFailed() const { return false; }

  bool Available() { return avail_ > 0 || Refill(); }
  bool Byte(unsigned char& value) {
    if (!Available()) return false;
    value = *next_++;
    --avail_;
    return true;
  }
  bool Skip(size_t count) {
    while (count > 0) {
      if (!Available()) return false;
      const size_t step = std::min(count, avail_);
      next_ += step;
      avail_ -= step;
      count -= step;
    }
    return true;
  }
  bool SkipZeroTerminated() {
    unsigned char value = 0;
    do {
      if (!Byte(value)) return false;
    } while (value != 0);
    return true;
  }

  const unsigned char* next_ = nullptr;
  size_t avail_ = 0;
};

// Receives the decoded bytes; false stops the decoding as failed.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  virtual bool Write(const unsigned char* data, size_t size) = 0;
};

// Decodes the members of in into out, one after the other; true as DecodeGzipBuffer (gzip_text.h) says.
bool DecodeGzipStream(ByteSource& in, ByteSink& out);

}  // namespace hv
