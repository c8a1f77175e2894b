#include "transport/target_file.h"

#include <vector>

#include "operation_tag.h"
#include "support/log.h"
#include "support/status.h"
#include "support/strings.h"

namespace hv {

DWORD TargetFile::OpenWith(const std::wstring& path, DWORD disposition) {
  file_.reset(CreateFileW(path.c_str(), FILE_WRITE_DATA, FILE_SHARE_READ, nullptr, disposition, FILE_ATTRIBUTE_NORMAL,
                          nullptr));
  if (!file_) return GetLastError();
  path_ = path;
  LARGE_INTEGER size = {};
  // An unreadable size counts as 0: the file is then written from where the position stands.
  size_ = GetFileSizeEx(file_.get(), &size) ? static_cast<uint64_t>(size.QuadPart) : 0;
  if (IsLogEnabled()) LogLine(L"\t[Submit]: File already exists: " + DecU64(size_));
  const LARGE_INTEGER zero = {};
  if (!SetFilePointerEx(file_.get(), zero, nullptr, FILE_END)) ThrowSystemError(GetLastError());
  return ERROR_SUCCESS;
}

DWORD TargetFile::OpenExisting(const std::wstring& path) { return OpenWith(path, OPEN_EXISTING); }

void TargetFile::Open(const std::wstring& path) {
  const DWORD error = OpenWith(path, OPEN_ALWAYS);
  if (error != ERROR_SUCCESS) Throw(PELK_E_CREATE_FILE, error);
}

void TargetFile::Recreate() {
  file_.reset();
  DeleteFileW(path_.c_str());
  file_.reset(CreateFileW(path_.c_str(), FILE_WRITE_DATA, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file_) Throw(PELK_E_CREATE_FILE, GetLastError());
  size_ = 0;
}

void TargetFile::Write(const char* data, DWORD length) {
  DWORD written = 0;
  if (WriteFile(file_.get(), data, length, &written, nullptr)) {
    if (written == length) return;
    Throw(PELK_E_DISK_SPACE);  // a short write to a disk file means the volume is full
  }
  const DWORD error = GetLastError();
  if (error == ERROR_HANDLE_DISK_FULL || error == ERROR_DISK_FULL) Throw(PELK_E_DISK_SPACE, error);
  ThrowSystemError(error);
}

void TargetFile::Close() { file_.reset(); }

bool HasFreeSpace(const std::wstring& path, uint64_t size) {
  OperationTag tag(L"HasFreeSpace");
  // The full path names the folder also for a bare file name or a relative path.
  std::wstring folder = path;
  const DWORD length = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (length > 0) {
    std::vector<wchar_t> full(length);
    if (GetFullPathNameW(path.c_str(), length, full.data(), nullptr) < length) folder = full.data();
  }
  ReplaceAllNoCase(folder, L"/", L"\\");
  const size_t slash = folder.rfind(L'\\');
  if (slash != std::wstring::npos) folder.resize(slash + 1);
  ULARGE_INTEGER available = {};
  if (!GetDiskFreeSpaceExW(folder.c_str(), &available, nullptr, nullptr)) return false;
  return available.QuadPart > size;
}

}  // namespace hv
