// Gzip (RFC 1952) decoding of response bodies: in memory (gzip_text.h), and of a downloaded file.
#pragma once

#include <windows.h>

#include <cstddef>
#include <functional>
#include <string>

#include "transport/gzip_text.h"

namespace hv {

// How the decoding of a file ended.
enum class GzipFileResult {
  Decoded,      // the destination holds the decoded content
  Stopped,      // keepGoing returned false
  DamagedData,  // the source is no gzip data, or damaged, or cut short: decoding it again cannot help
  IoError,      // the source could not be read, or the destination created or written: ioError says why
};

// Told each block of decoded content once it is written; false stops the decoding as keepGoing does.
using DecodedBlock = std::function<bool(const void* data, size_t size)>;

// Decodes the source file into the destination file (created or replaced), streaming in constant memory
// and asking keepGoing before every 64 KiB read and write, and telling written (when set) every block
// written; success as DecodeGzipBuffer. On any other result the source is kept and a destination this call
// created is removed (one it could not create, e.g. the source itself, is untouched).
GzipFileResult DecodeGzipFile(const std::wstring& source, const std::wstring& destination,
                              const std::function<bool()>& keepGoing, const DecodedBlock& written, DWORD& ioError);

}  // namespace hv
