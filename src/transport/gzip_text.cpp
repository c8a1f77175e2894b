#include "transport/gzip_text.h"

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "gzip_decoder.h"

namespace hv {
namespace {

constexpr unsigned char kMagic1 = 0x1F;
constexpr unsigned char kMagic2 = 0x8B;
constexpr unsigned char kMethodDeflate = 8;
constexpr unsigned char kFlagHeaderCrc = 0x02;
constexpr unsigned char kFlagExtra = 0x04;
constexpr unsigned char kFlagName = 0x08;
constexpr unsigned char kFlagComment = 0x10;
// zlib counts input and output in 32-bit units: a larger buffer is fed in slices of this size.
constexpr size_t kMaxSlice = 1u << 30;

class MemorySource : public ByteSource {
 public:
  explicit MemorySource(const std::string& data)
      : rest_(reinterpret_cast<const unsigned char*>(data.data())), restSize_(data.size()) {}
  bool Refill() override {
    if (restSize_ == 0) return false;
    next_ = rest_;
    avail_ = std::min(restSize_, kMaxSlice);
    rest_ += avail_;
    restSize_ -= avail_;
    return true;
  }

 private:
  const unsigned char* rest_;
  size_t restSize_;
};

class StringSink : public ByteSink {
 public:
  explicit StringSink(std::string& out) : out_(out) {}
  bool Write(const unsigned char* data, size_t size) override {
    out_.append(reinterpret_cast<const char*>(data), size);
    return true;
  }

 private:
  std::string& out_;
};

enum class MemberResult { Decoded, NoMember, Failed };

// Owns a raw-deflate inflater for the whole input; reset between members.
class Inflater {
 public:
  Inflater() { ready_ = inflateInit2(&stream_, -MAX_WBITS) == Z_OK; }
  ~Inflater() {
    if (ready_) inflateEnd(&stream_);
  }
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;

  bool ready() const { return ready_; }

  // Inflates one deflate stream from the source into the sink; on return the source window starts right
  // after the stream's last byte. crc and length describe the decoded bytes.
  bool Run(ByteSource& in, ByteSink& out, uint32_t& crc, uint32_t& length) {
    if (inflateReset(&stream_) != Z_OK) return false;
    uLong runningCrc = crc32(0L, Z_NULL, 0);
    length = 0;
    bool outputPending = false;  // the last call filled the block, so inflate may hold more output
    for (;;) {
      // Running out of input is fatal only when inflate has nothing left to give either.
      if (in.avail_ == 0 && !in.Refill() && !outputPending) return false;
      stream_.next_in = const_cast<Bytef*>(in.next_);
      stream_.avail_in = static_cast<uInt>(in.avail_);
      stream_.next_out = block_.data();
      stream_.avail_out = static_cast<uInt>(block_.size());
      const int result = inflate(&stream_, Z_NO_FLUSH);
      const size_t consumed = in.avail_ - stream_.avail_in;
      in.next_ += consumed;
      in.avail_ -= consumed;
      const size_t produced = block_.size() - stream_.avail_out;
      outputPending = stream_.avail_out == 0;
      if (produced > 0) {
        runningCrc = crc32(runningCrc, block_.data(), static_cast<uInt>(produced));
        length += static_cast<uint32_t>(produced);  // modulo 2^32, as the trailer stores it
        if (!out.Write(block_.data(), produced)) return false;
      }
      if (result == Z_STREAM_END) break;
      if (result == Z_BUF_ERROR && consumed == 0 && produced == 0) return false;  // input cut short
      if (result != Z_OK && result != Z_BUF_ERROR) return false;                  // not deflate data
    }
    crc = static_cast<uint32_t>(runningCrc);
    return true;
  }

 private:
  z_stream stream_ = {};
  bool ready_ = false;
  std::vector<unsigned char> block_ = std::vector<unsigned char>(kGzipBlockSize);
};

bool ReadUInt32(ByteSource& in, uint32_t& value) {
  value = 0;
  for (int i = 0; i < 4; ++i) {
    unsigned char byte = 0;
    if (!in.Byte(byte)) return false;
    value |= static_cast<uint32_t>(byte) << (8 * i);
  }
  return true;
}

// Decodes one member. NoMember: the input is at its end or does not start with the signature and method 8.
// Once the signature is seen the member has to be whole and intact; only its trailer may be missing
// entirely (the input ends right after the deflate data).
MemberResult DecodeMember(ByteSource& in, Inflater& inflater, ByteSink& out) {
  unsigned char id1 = 0, id2 = 0, method = 0, flags = 0;
  if (!in.Byte(id1)) return MemberResult::NoMember;
  if (id1 != kMagic1 || !in.Byte(id2) || id2 != kMagic2 || !in.Byte(method) || method != kMethodDeflate) {
    return MemberResult::NoMember;
  }
  // Flags, modification time (4), extra flags (1), operating system (1).
  if (!in.Byte(flags) || !in.Skip(6)) return MemberResult::Failed;
  if (flags & kFlagExtra) {
    unsigned char low = 0, high = 0;
    if (!in.Byte(low) || !in.Byte(high) || !in.Skip(static_cast<size_t>(low) | (static_cast<size_t>(high) << 8))) {
      return MemberResult::Failed;
    }
  }
  if ((flags & kFlagName) && !in.SkipZeroTerminated()) return MemberResult::Failed;
  if ((flags & kFlagComment) && !in.SkipZeroTerminated()) return MemberResult::Failed;
  if ((flags & kFlagHeaderCrc) && !in.Skip(2)) return MemberResult::Failed;

  uint32_t crc = 0, length = 0;
  if (!inflater.Run(in, out, crc, length)) return MemberResult::Failed;

  if (!in.Available()) return in.ReadFailed() ? MemberResult::Failed : MemberResult::Decoded;
  // A trailer that disagrees with the decoded bytes means corrupted data, so it fails the decoding;
  // so does a trailer cut short.
  uint32_t storedCrc = 0, storedLength = 0;
  if (!ReadUInt32(in, storedCrc) || !ReadUInt32(in, storedLength)) return MemberResult::Failed;
  return storedCrc == crc && storedLength == length ? MemberResult::Decoded : MemberResult::Failed;
}

}  // namespace

bool DecodeGzipStream(ByteSource& in, ByteSink& out) {
  Inflater inflater;
  if (!inflater.ready()) return false;
  bool decodedAny = false;
  for (;;) {
    switch (DecodeMember(in, inflater, out)) {
      case MemberResult::Decoded: decodedAny = true; break;
      case MemberResult::NoMember:
        // The end of the input, or bytes after the last member that are not one: done, unless nothing was
        // decoded or reading failed.
        return decodedAny && !in.ReadFailed();
      case MemberResult::Failed: return false;
    }
  }
}

bool DecodeGzipBuffer(const std::string& in, std::string& out) {
  MemorySource source(in);
  StringSink sink(out);
  return DecodeGzipStream(source, sink);
}

std::string DecodeGzipText(const std::string& in) {
  std::string text;
  DecodeGzipBuffer(in, text);
  const std::string mark = text.substr(0, 2);
  const bool utf16 = mark == "\xFF\xFE" || mark == "\xFE\xFF";
  if (!utf16) text.resize(std::min(text.size(), text.find('\0')));
  return text;
}

}  // namespace hv
