#include "support/md5.h"

#include <windows.h>
#include <wincrypt.h>

#include <vector>

#include "support/scoped_handle.h"

namespace hv {
namespace {

constexpr DWORD kBlockSize = 16384;
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

std::wstring FileMd5Hex(const std::wstring& path, const HashProgress& progress) {
  UniqueCryptContext context;
  // A failed call may leave anything in the out-parameter: drop it without releasing.
  if (!CryptAcquireContextW(context.receive(), nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) {
    context.forget();
    return std::wstring();
  }
  UniqueCryptHash hash;
  if (!CryptCreateHash(context.get(), CALG_MD5, 0, 0, hash.receive())) {
    hash.forget();
    return std::wstring();
  }

  // A file that cannot be opened is hashed as empty input; a read error ends the input where it occurred.
  UniqueFile file(
      CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file) {
    std::vector<BYTE> buffer(kBlockSize, 0);
    uint64_t hashed = 0;
    DWORD read = 0;
    while (ReadFile(file.get(), buffer.data(), kBlockSize, &read, nullptr) && read > 0) {
      // A block the provider did not take would make the digest wrong: report no digest at all.
      if (!CryptHashData(hash.get(), buffer.data(), read, 0)) return std::wstring();
      hashed += read;
      if (!progress(hashed)) return std::wstring();
    }
    file.reset();
  }

  BYTE digest[kDigestSize] = {};
  DWORD digestSize = kDigestSize;
  if (!CryptGetHashParam(hash.get(), HP_HASHVAL, digest, &digestSize, 0) || digestSize != kDigestSize) {
    return std::wstring();
  }
  return LowerHex(digest, kDigestSize);
}

}  // namespace hv
