#include "files.h"

#include <bcrypt.h>

namespace hv {
namespace service {
namespace {

struct AlgorithmCloser {
  void operator()(BCRYPT_ALG_HANDLE algorithm) const { BCryptCloseAlgorithmProvider(algorithm, 0); }
};
struct HashCloser {
  void operator()(BCRYPT_HASH_HANDLE hash) const { BCryptDestroyHash(hash); }
};

// An MD5 hash through the system's CNG provider; false when the provider cannot make one.
class Md5 {
 public:
  Md5() {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_MD5_ALGORITHM, nullptr, 0))) return;
    algorithm_.reset(algorithm);
    // Without a caller buffer the provider keeps the hash object itself (Windows 7 and later).
    BCRYPT_HASH_HANDLE hash = nullptr;
    if (BCRYPT_SUCCESS(BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0))) hash_.reset(hash);
  }

  explicit operator bool() const { return hash_ != nullptr; }

  bool Add(const char* data, DWORD size) {
    return BCRYPT_SUCCESS(BCryptHashData(hash_.get(), reinterpret_cast<PUCHAR>(const_cast<char*>(data)), size, 0));
  }

  // The digest in lower-case hexadecimal; empty when the provider fails.
  std::wstring Finish() {
    UCHAR digest[16] = {};
    if (!BCRYPT_SUCCESS(BCryptFinishHash(hash_.get(), digest, sizeof digest, 0))) return std::wstring();
    static const wchar_t kDigits[] = L"0123456789abcdef";
    std::wstring text;
    for (UCHAR byte : digest) text += {kDigits[byte >> 4], kDigits[byte & 0xF]};
    return text;
  }

 private:
  // In this order, so that the hash is destroyed before its provider is closed.
  std::unique_ptr<void, AlgorithmCloser> algorithm_;
  std::unique_ptr<void, HashCloser> hash_;
};

// Calls take(data, size) for each block of the file until its end; false when it cannot be opened or
// read, or take refuses a block.
template <typename Take>
bool ForEachBlock(const std::wstring& path, Take take) {
  FileHandle file = OpenForReading(path);
  if (!file) return false;
  char buffer[65536];
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr)) return false;
    if (got == 0) return true;
    if (!take(buffer, got)) return false;
  }
}

}  // namespace

FileHandle OpenForReading(const std::wstring& path) {
  HANDLE file =
      CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  return FileHandle(file == INVALID_HANDLE_VALUE ? nullptr : file);
}

bool ReadWholeFile(const std::wstring& path, std::string& bytes) {
  bytes.clear();
  return ForEachBlock(path, [&](const char* data, DWORD size) {
    bytes.append(data, size);
    return true;
  });
}

bool AppendToFile(const std::wstring& path, const std::string& bytes) {
  HANDLE opened = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (opened == INVALID_HANDLE_VALUE) return false;
  FileHandle file(opened);
  DWORD written = 0;
  return WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
         written == bytes.size();
}

bool DigestFile(const std::wstring& path, uint64_t& size, std::wstring& md5, std::string& reason) {
  Md5 hash;
  if (!hash) {
    reason = "cannot be hashed";
    return false;
  }
  size = 0;
  bool hashed = true;
  bool read = ForEachBlock(path, [&](const char* data, DWORD got) {
    size += got;
    hashed = hash.Add(data, got);
    return hashed;
  });
  if (!read) {
    reason = hashed ? "cannot be read" : "cannot be hashed";
    return false;
  }
  md5 = hash.Finish();
  if (md5.empty()) reason = "cannot be hashed";
  return !md5.empty();
}

}  // namespace service
}  // namespace hv
