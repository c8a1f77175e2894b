#include "transport/target_file.h"

#include "operation_tag.h"
#include "support/log.h"
#include "support/status.h"
#include "support/strings.h"
#include "transport/gzip.h"

namespace hv {

TargetFile::TargetFile(std::wstring path) : path_(std::move(path)) {}

uint64_t TargetFile::Open() {
  file_.reset(CreateFileW(path_.c_str(), FILE_WRITE_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file_) Throw(PELK_E_CREATE_FILE);
  LARGE_INTEGER size = {};
  // An unreadable size counts as 0: the free-space test then compares with nothing and the file is
  // written from where the position stands.
  if (!GetFileSizeEx(file_.get(), &size)) return 0;
  if (IsLogEnabled()) LogLine(L"\t[Submit]: File already exists: " + DecU64(static_cast<uint64_t>(size.QuadPart)));
  const LARGE_INTEGER zero = {};
  if (!SetFilePointerEx(file_.get(), zero, nullptr, FILE_END)) ThrowSystemError(GetLastError());
  return static_cast<uint64_t>(size.QuadPart);
}

void TargetFile::Recreate() {
  file_.reset();
  DeleteFileW(path_.c_str());
  file_.reset(CreateFileW(path_.c_str(), FILE_WRITE_DATA, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file_) Throw(PELK_E_CREATE_FILE);
}

void TargetFile::Write(const char* data, DWORD length) {
  DWORD written = 0;
  if (WriteFile(file_.get(), data, length, &written, nullptr)) {
    if (written == length) return;
    Throw(PELK_E_DISK_SPACE);  // a short write to a disk file means the volume is full
  }
  const DWORD error = GetLastError();
  if (error == ERROR_HANDLE_DISK_FULL || error == ERROR_DISK_FULL) Throw(PELK_E_DISK_SPACE);
  ThrowSystemError(error);
}

void TargetFile::Close() { file_.reset(); }

void TargetFile::DecodeGzip() {
  file_.reset();
  const std::wstring temporary = path_ + L".temp";
  if (!DecodeGzipFile(path_, temporary)) {
    // The received file stays as it is; the decoder has removed its partial output.
    if (IsLogEnabled()) LogError(L"Failed to decode the gzip content of " + path_);
    Throw(PELK_E_GZIP);
  }
  // One replacing move: the target is never missing, whatever fails.
  if (!MoveFileExW(temporary.c_str(), path_.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    LogFailure(L"Failed to replace the target file with its decoded content: ");
    const DWORD error = GetLastError();
    DeleteFileW(temporary.c_str());
    ThrowSystemError(error);
  }
}

std::wstring TargetFile::Md5(const HashProgress& progress) {
  file_.reset();
  return FileMd5Hex(path_, progress);
}

bool HasFreeSpace(const std::wstring& path, uint64_t size) {
  OperationTag tag(L"HasFreeSpace");
  std::wstring folder = path;
  ReplaceAllNoCase(folder, L"/", L"\\");
  const size_t slash = folder.rfind(L'\\');
  if (slash != std::wstring::npos) folder.resize(slash);
  ULARGE_INTEGER available = {};
  if (!GetDiskFreeSpaceExW(folder.c_str(), &available, nullptr, nullptr)) return false;
  return available.QuadPart > size;
}

}  // namespace hv
