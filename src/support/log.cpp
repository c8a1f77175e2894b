#include "support/log.h"

#include <windows.h>

#include <cstdint>
#include <cwchar>
#include <memory>

#include "support/lock.h"
#include "support/registry.h"
#include "support/scoped_handle.h"

namespace hv {
namespace {

const wchar_t kSwitchValue[] = L"hvvornetlogging";
const wchar_t kTitle[] = L"Vornet Library";
const wchar_t kErrorPrefix[] = L"**ERROR: ";
const wchar_t kSummary[] = L"***SUMMARY***";
// Made afresh each time: the log's destructor may run at process exit, after every function-local
// static has already been destroyed.
std::wstring Separator() { return std::wstring(48, L'-'); }

// Two decimal digits, as "%02d" writes a number below 100.
std::wstring TwoDigits(int value) {
  return {static_cast<wchar_t>(L'0' + value / 10 % 10), static_cast<wchar_t>(L'0' + value % 10)};
}

// "[MM/DD/YY HH:MM:SS]: " from one reading of the local clock, so date and time always agree.
std::wstring Timestamp() {
  SYSTEMTIME now = {};
  GetLocalTime(&now);
  return L"[" + TwoDigits(now.wMonth) + L"/" + TwoDigits(now.wDay) + L"/" + TwoDigits(now.wYear % 100) + L" " +
         TwoDigits(now.wHour) + L":" + TwoDigits(now.wMinute) + L":" + TwoDigits(now.wSecond) + L"]: ";
}

// The open log file. Not locked itself: the process-wide functions serialise all use.
class DiagnosticLog {
 public:
  // Opens the file for appending; a file that is empty after opening (new, or existing without content)
  // gets the byte order mark first. A file that cannot be opened leaves a log that drops every line.
  explicit DiagnosticLog(const std::wstring& path) {
    file_.reset(CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size = {};
    if (file_ && GetFileSizeEx(file_.get(), &size) && size.QuadPart == 0) Write(std::wstring(1, L'\xFEFF'));
    WriteRaw(kTitle);
    WriteRaw(Separator());
  }
  // The summary block, then the file closes.
  ~DiagnosticLog() {
    WriteRaw(Separator());
    WriteLine(kSummary);
    WriteRaw(Separator());
  }
  DiagnosticLog(const DiagnosticLog&) = delete;
  DiagnosticLog& operator=(const DiagnosticLog&) = delete;

  void WriteLine(const std::wstring& text) { WriteRaw(Timestamp() + text); }

 private:
  void WriteRaw(const std::wstring& text) { Write(text + L'\n'); }
  // One WriteFile and a flush, so that a crash loses no line; write errors are ignored.
  void Write(const std::wstring& text) {
    if (!file_) return;
    DWORD written = 0;
    if (WriteFile(file_.get(), text.data(), static_cast<DWORD>(text.size() * sizeof(wchar_t)), &written, nullptr)) {
      FlushFileBuffers(file_.get());
    }
  }

  UniqueFile file_;
};

// The switch check: a log exists only when HKLM\SOFTWARE\Halvorn\InternalTesting "hvvornetlogging" names
// its file.
std::unique_ptr<DiagnosticLog> StartFromSwitch() {
  const std::wstring key = MakerKeyPath(L"InternalTesting");
  if (!RegistryValueExists(HKEY_LOCAL_MACHINE, key, kSwitchValue)) return nullptr;
  std::wstring path;
  if (!RegistryReadString(HKEY_LOCAL_MACHINE, key, kSwitchValue, path)) return nullptr;
  return std::make_unique<DiagnosticLog>(path);
}

// The process-wide log, its reference count and the lock that serialises every use of both, writes
// included: one line is one WriteFile under the lock, so lines never mix and one thread's lines keep
// their order; the switch is read under the lock, so two first references open one file. Destroyed with
// the library's other statics, after the unload has closed every session.
class SharedLog {
 public:
  void Acquire() EXCLUDES(lock_) {
    LockGuard guard(lock_);
    if (!log_) log_ = StartFromSwitch();
    ++references_;
  }
  void Release() EXCLUDES(lock_) {
    LockGuard guard(lock_);
    const int32_t before = references_--;
    if (before == 1) log_.reset();
  }
  bool Enabled() EXCLUDES(lock_) {
    LockGuard guard(lock_);
    return log_ != nullptr;
  }
  void WriteLine(const std::wstring& text) EXCLUDES(lock_) {
    LockGuard guard(lock_);
    if (log_) log_->WriteLine(text);
  }

 private:
  Lock lock_;
  std::unique_ptr<DiagnosticLog> log_ GUARDED_BY(lock_);
  int32_t references_ GUARDED_BY(lock_) = 0;
};

SharedLog& Shared() {
  static SharedLog shared;
  return shared;
}

}  // namespace

void AcquireLog() { Shared().Acquire(); }

void ReleaseLog() { Shared().Release(); }

bool IsLogEnabled() { return Shared().Enabled(); }

void LogLine(const std::wstring& text) { Shared().WriteLine(text); }

void LogError(const std::wstring& text) { Shared().WriteLine(kErrorPrefix + text); }

}  // namespace hv
