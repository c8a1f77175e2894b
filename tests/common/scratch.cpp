#include "common/scratch.h"

#include "support/md5.h"
#include "support/scoped_handle.h"

#include <gtest/gtest.h>
#include <shellapi.h>
#include <winioctl.h>

#include <atomic>

namespace hvtest {

ScratchKey::ScratchKey(HKEY root, std::wstring path) : root_(root), path_(std::move(path)) {
  RegDeleteTreeW(root_, path_.c_str());
  HKEY key = nullptr;
  EXPECT_EQ(ERROR_SUCCESS,
            RegCreateKeyExW(root_, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
  if (key) RegCloseKey(key);
}

ScratchKey::~ScratchKey() { RegDeleteTreeW(root_, path_.c_str()); }

namespace {
HKEY CreateForWrite(HKEY root, const std::wstring& path) {
  HKEY key = nullptr;
  EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
  return key;
}
}  // namespace

void ScratchKey::SetString(const std::wstring& subPath, const std::wstring& name, const std::wstring& value) const {
  HKEY key = CreateForWrite(root_, subPath);
  EXPECT_EQ(ERROR_SUCCESS, RegSetValueExW(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                          static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))));
  RegCloseKey(key);
}

void ScratchKey::SetDword(const std::wstring& subPath, const std::wstring& name, DWORD value) const {
  HKEY key = CreateForWrite(root_, subPath);
  EXPECT_EQ(ERROR_SUCCESS,
            RegSetValueExW(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value)));
  RegCloseKey(key);
}

void ScratchKey::DeleteValue(const std::wstring& subPath, const std::wstring& name) const {
  HKEY key = CreateForWrite(root_, subPath);
  RegDeleteValueW(key, name.c_str());
  RegCloseKey(key);
}

TempDir::TempDir() {
  static std::atomic<int> counter{0};
  wchar_t base[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, base);
  path_ =
      std::wstring(base) + L"hvpelk-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(counter++);
  CreateDirectoryW(path_.c_str(), nullptr);
}

TempDir::~TempDir() {
  std::wstring from = path_ + L'\0';  // double NUL terminated for SHFileOperationW
  SHFILEOPSTRUCTW op = {};
  op.wFunc = FO_DELETE;
  op.pFrom = from.c_str();
  op.fFlags = FOF_NO_UI;
  SHFileOperationW(&op);
}

void WriteFileBytes(const std::wstring& path, const std::string& bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, file);
  size_t done = 0;
  while (done < bytes.size()) {
    DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1 << 20));
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(file, bytes.data() + done, chunk, &written, nullptr));
    done += written;
  }
  CloseHandle(file);
}

std::string ReadFileBytes(const std::wstring& path) {
  std::string bytes;
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return bytes;
  char buffer[65536];
  DWORD read = 0;
  while (ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read > 0) bytes.append(buffer, read);
  CloseHandle(file);
  return bytes;
}

bool FileExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

uint64_t FileSize(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data = {};
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
  return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

bool MakeSparseFile(const std::wstring& path, uint64_t size) {
  hv::UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD ignored = 0;
  LARGE_INTEGER end;
  end.QuadPart = static_cast<LONGLONG>(size);
  return file && DeviceIoControl(file.get(), FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &ignored, nullptr) &&
         SetFilePointerEx(file.get(), end, nullptr, FILE_BEGIN) && SetEndOfFile(file.get());
}

std::wstring Md5Of(const std::string& bytes) {
  TempDir dir;
  WriteFileBytes(dir.File(L"digest.bin"), bytes);
  return hv::FileMd5Hex(dir.File(L"digest.bin"), [](uint64_t) { return true; });
}

}  // namespace hvtest
