#include "transport/gzip.h"

#include <windows.h>

#include <functional>
#include <vector>

#include "gzip_decoder.h"
#include "support/scoped_handle.h"

namespace hv {
namespace {

// Reads a file block by block, asking keepGoing before each block: a stop counts as a read failure.
class FileSource : public ByteSource {
 public:
  FileSource(HANDLE file, const std::function<bool()>& keepGoing)
      : file_(file), keepGoing_(keepGoing), buffer_(kGzipBlockSize) {}
  bool Refill() override {
    DWORD read = 0;
    if (!keepGoing_()) {
      stopped_ = true;
      return false;
    }
    if (!ReadFile(file_, buffer_.data(), static_cast<DWORD>(buffer_.size()), &read, nullptr)) {
      error_ = GetLastError();
      return false;
    }
    next_ = buffer_.data();
    avail_ = read;
    return read > 0;
  }
  bool ReadFailed() const override { return stopped_ || error_ != 0; }
  bool stopped() const { return stopped_; }
  DWORD error() const { return error_; }

 private:
  HANDLE file_;
  const std::function<bool()>& keepGoing_;
  std::vector<unsigned char> buffer_;
  bool stopped_ = false;
  DWORD error_ = 0;
};

// Writes to a file, asking keepGoing before each block too: a 64 KiB input block of well-compressed data
// can stand for tens of megabytes of output.
class FileSink : public ByteSink {
 public:
  FileSink(HANDLE file, const std::function<bool()>& keepGoing, const DecodedBlock& written)
      : file_(file), keepGoing_(keepGoing), written_(written) {}
  bool Write(const unsigned char* data, size_t size) override {
    if (!keepGoing_()) {
      stopped_ = true;
      return false;
    }
    DWORD written = 0;
    if (!WriteFile(file_, data, static_cast<DWORD>(size), &written, nullptr)) {
      error_ = GetLastError();
    } else if (written != size) {
      error_ = ERROR_DISK_FULL;  // a short write to a disk file means the volume is full
    }
    if (error_ == 0 && written_ && !written_(data, size)) stopped_ = true;
    return error_ == 0 && !stopped_;
  }
  DWORD error() const { return error_; }
  bool stopped() const { return stopped_; }
  void Failed(DWORD error) { error_ = error; }

 private:
  HANDLE file_;
  const std::function<bool()>& keepGoing_;
  const DecodedBlock& written_;
  DWORD error_ = 0;
  bool stopped_ = false;
};

}  // namespace

GzipFileResult DecodeGzipFile(const std::wstring& source, const std::wstring& destination,
                              const std::function<bool()>& keepGoing, const DecodedBlock& written, DWORD& ioError) {
  ioError = 0;
  UniqueFile input(CreateFileW(source.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  // Only a destination this call created is removed on failure; a failed create (for example the
  // destination naming the source) leaves every file as it was.
  UniqueFile output;
  if (input) {
    output.reset(
        CreateFileW(destination.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  }
  if (!output) {
    ioError = GetLastError();
    return GzipFileResult::IoError;
  }
  FileSource in(input.get(), keepGoing);
  FileSink out(output.get(), keepGoing, written);
  bool ok = DecodeGzipStream(in, out);
  if (ok && !FlushFileBuffers(output.get())) out.Failed(GetLastError());
  ok = ok && out.error() == 0;
  output.reset();
  if (ok) return GzipFileResult::Decoded;
  DeleteFileW(destination.c_str());
  if (in.stopped() || out.stopped()) return GzipFileResult::Stopped;
  ioError = in.error() != 0 ? in.error() : out.error();
  return ioError != 0 ? GzipFileResult::IoError : GzipFileResult::DamagedData;
}

}  // namespace hv
