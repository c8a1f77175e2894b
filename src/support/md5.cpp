#include "support/md5.h"

#include <windows.h>
#include <wincrypt.h>

#include <algorithm>
#include <vector>

namespace hv {
namespace {

constexpr DWORD kBlockSize = 256 * 1024;
constexpr DWORD kDigestSize = 16;

std::wstring LowerHex(const BYTE* bytes, size_t count) {
  static const wchar_t kDigits[] = L"0123456789abcdef";
  std::wstring text;
  text.reserve(2 * count);
  for (size_t i = 0; i < count; ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 0x0F];
  }
  return text;
}

}  // namespace

Md5::Md5() {
  // A failed call may leave anything in the out-parameter: drop it without releasing.
  if (!CryptAcquireContextW(context_.receive(), nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) {
    context_.forget();
    return;
  }
  if (!CryptCreateHash(context_.get(), CALG_MD5, 0, 0, hash_.receive())) hash_.forget();
}

void Md5::Add(const void* data, size_t size) {
  // A block the provider did not take would make the digest wrong: there is no digest at all then.
  if (hash_ && size > 0 && !CryptHashData(hash_.get(), static_cast<const BYTE*>(data), static_cast<DWORD>(size), 0)) {
    hash_.reset();
  }
}

bool Md5::AddFile(const std::wstring& path, uint64_t length, const HashProgress& progress) {
  // Shared for writing too: the file may be open in a download that appends to it.
  const UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file) return false;
  std::vector<BYTE> buffer(kBlockSize, 0);
  uint64_t hashed = 0;
  while (hashed < length) {
    const auto wanted = static_cast<DWORD>(std::min<uint64_t>(length - hashed, kBlockSize));
    DWORD read = 0;
    if (!ReadFile(file.get(), buffer.data(), wanted, &read, nullptr) || read == 0) return false;
    Add(buffer.data(), read);
    hashed += read;
    if (!progress(hashed)) return false;
  }
  return true;
}

std::wstring Md5::HexDigest() {
  BYTE digest[kDigestSize] = {};
  DWORD digestSize = kDigestSize;
  if (!hash_ || !CryptGetHashParam(hash_.get(), HP_HASHVAL, digest, &digestSize, 0) || digestSize != kDigestSize) {
    return std::wstring();
  }
  hash_.reset();
  return LowerHex(digest, kDigestSize);
}

std::wstring FileMd5Hex(const std::wstring& path, const HashProgress& progress) {
  Md5 md5;
  bool stopped = false;
  // A file that cannot be opened is hashed as empty input; a read error ends the input where it occurred.
  md5.AddFile(path, UINT64_MAX, [&](uint64_t hashed) {
    stopped = !progress(hashed);
    return !stopped;
  });
  return stopped ? std::wstring() : md5.HexDigest();
}

}  // namespace hv
