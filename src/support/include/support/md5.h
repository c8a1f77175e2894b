// MD5 digest of a file through the system's cryptographic provider.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace hv {

// Told the bytes hashed so far after every 16 KiB block; returning false stops the hashing.
using HashProgress = std::function<bool(uint64_t hashed)>;

// The file's MD5 digest as 32 lower-case hexadecimal digits. A file that cannot be opened hashes as empty
// input, a read error ends the input there; a provider failure or a stop gives an empty result. Never
// throws except on allocation failure (or what progress throws).
std::wstring FileMd5Hex(const std::wstring& path, const HashProgress& progress);

}  // namespace hv
