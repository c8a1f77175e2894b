// MD5 digest of a file through the system's cryptographic provider.
#pragma once

#include <cstdint>
#include <string>

namespace hv {

// The file's MD5 digest as 32 lower-case hexadecimal digits. bytes is set to 0 first and advanced after
// every hashed 16 KiB block, so another thread can watch it. A file that cannot be opened hashes as empty
// input, a read error ends the input there; a provider failure gives an empty result. Never throws except
// on allocation failure.
std::wstring FileMd5Hex(const std::wstring& path, uint64_t& bytes);

}  // namespace hv
