#include "transport/target_file.h"

#include <algorithm>
#include <vector>

#include "operation_tag.h"
#include "support/log.h"
#include "support/status.h"
#include "support/strings.h"

namespace hv {
namespace {

// The pauses between the tries of a held file, about 2 s in all: a scanner or an indexer that opens a new
// file lets go within a few hundred milliseconds.
constexpr DWORD kHeldPausesMs[] = {10, 20, 40, 80, 160, 320, 640, 730};
constexpr DWORD kStopCheckMs = 10;  // a pause looks at the stop this often

bool IsHeld(DWORD error, const std::wstring& path) {
  if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION) return true;
  if (error != ERROR_ACCESS_DENIED) return false;
  // A folder or a read-only file refuses for good; a read-only file is never made writable.
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes == INVALID_FILE_ATTRIBUTES ||
         (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) == 0;
}

void Pause(const StopSignal& stop, DWORD ms) {
  for (DWORD waited = 0; waited < ms; waited += kStopCheckMs) {
    stop.ThrowIfRequested();
    Sleep(std::min(kStopCheckMs, ms - waited));
  }
  stop.ThrowIfRequested();
}

}  // namespace

DWORD RetryWhileHeld(const StopSignal& stop, const std::wstring& path, const std::function<DWORD()>& operation) {
  DWORD error = operation();
  for (const DWORD pause : kHeldPausesMs) {
    if (error == ERROR_SUCCESS || !IsHeld(error, path)) return error;
    if (IsLogEnabled()) {
      LogLine(L"	The file is held by another program (" + Hex(error) + L"); trying again in " + Dec(pause) +
              L" ms: " + path);
    }
    Pause(stop, pause);
    error = operation();
  }
  return error;
}

StatusCode HeldOr(DWORD error, StatusCode otherwise) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ? PELK_E_FILE_IN_USE : otherwise;
}

DWORD TargetFile::OpenWith(const std::wstring& path, DWORD disposition, const StopSignal& stop) {
  const DWORD error = RetryWhileHeld(stop, path, [&] {
    file_.reset(CreateFileW(path.c_str(), FILE_WRITE_DATA, FILE_SHARE_READ, nullptr, disposition, FILE_ATTRIBUTE_NORMAL,
                            nullptr));
    return file_ ? ERROR_SUCCESS : GetLastError();
  });
  if (error != ERROR_SUCCESS) return error;
  path_ = path;
  LARGE_INTEGER size = {};
  // An unreadable size counts as 0: the file is then written from where the position stands.
  size_ = GetFileSizeEx(file_.get(), &size) ? static_cast<uint64_t>(size.QuadPart) : 0;
  if (IsLogEnabled()) LogLine(L"\t[Submit]: File already exists: " + DecU64(size_));
  const LARGE_INTEGER zero = {};
  if (!SetFilePointerEx(file_.get(), zero, nullptr, FILE_END)) ThrowSystemError(GetLastError());
  return ERROR_SUCCESS;
}

DWORD TargetFile::OpenExisting(const std::wstring& path, const StopSignal& stop) {
  return OpenWith(path, OPEN_EXISTING, stop);
}

void TargetFile::Open(const std::wstring& path, const StopSignal& stop) {
  const DWORD error = OpenWith(path, OPEN_ALWAYS, stop);
  if (error != ERROR_SUCCESS) Throw(HeldOr(error, PELK_E_CREATE_FILE), error);
}

void TargetFile::Recreate(const StopSignal& stop) {
  file_.reset();
  // A file that cannot be deleted now is emptied by CREATE_ALWAYS.
  DeleteFileW(path_.c_str());
  const DWORD error = RetryWhileHeld(stop, path_, [this] {
    file_.reset(CreateFileW(path_.c_str(), FILE_WRITE_DATA, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
    return file_ ? ERROR_SUCCESS : GetLastError();
  });
  if (error != ERROR_SUCCESS) Throw(HeldOr(error, PELK_E_CREATE_FILE), error);
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
