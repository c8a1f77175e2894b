// MD5 digests through the system's cryptographic provider.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "support/scoped_handle.h"

namespace hv {

// Told the bytes hashed so far after every block; returning false stops the hashing.
using HashProgress = std::function<bool(uint64_t hashed)>;

// One digest, fed block by block. A provider that cannot be had, or refuses a block, fails it for good.
class Md5 {
 public:
  Md5();
  void Add(const void* data, size_t size);
  // Hashes the first length bytes of the file at path, in blocks, asking progress after each: false when
  // the file cannot be opened, ends or fails to read before length, or progress said stop (the digest is
  // then of a part).
  bool AddFile(const std::wstring& path, uint64_t length, const HashProgress& progress);
  // The digest of everything added, as 32 lower-case hexadecimal digits; empty once failed. Ends the digest.
  std::wstring HexDigest();

 private:
  UniqueCryptContext context_;
  UniqueCryptHash hash_;
};

// The file's MD5 digest as 32 lower-case hexadecimal digits. A file that cannot be opened hashes as empty
// input, a read error ends the input there; a provider failure or a stop gives an empty result. Never
// throws except on allocation failure (or what progress throws).
std::wstring FileMd5Hex(const std::wstring& path, const HashProgress& progress);

}  // namespace hv
