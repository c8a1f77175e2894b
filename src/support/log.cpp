#include "support/log.h"

#include <cstdint>
#include <cwchar>
#include <memory>

#include "support/lock.h"
#include "support/registry.h"

namespace hv {
namespace {

const wchar_t kSwitchValue[] = L"hvvornetlogging";
const wchar_t kTitle[] = L"Vornet Library";
const wchar_t kErrorPrefix[] = L"**ERROR: ";
const wchar_t kSummary[] = L"***SUMMARY***";
const std::wstring& Separator() {
  static const std::wstring* separator = new std::wstring(48, L'-');
  return *separator;
}

// The process-wide log, its reference count and the lock that serialises every use of both, writes
// included: one line is one WriteFile under the lock, so lines never mix and one thread's lines keep
// their order. Never destroyed: sessions may still release their references while the library unloads.
struct SharedLog {
  Lock lock;
  std::unique_ptr<DiagnosticLog> log;
  int32_t references = 0;
};

SharedLog& Shared() {
  static SharedLog* shared = new SharedLog;
  return *shared;
}

// "[MM/DD/YY HH:MM:SS]: " from one reading of the local clock, so date and time always agree.
std::wstring Timestamp() {
  SYSTEMTIME now = {};
  GetLocalTime(&now);
  wchar_t buffer[32] = {};
  swprintf(buffer, 32, L"[%02d/%02d/%02d %02d:%02d:%02d]: ", static_cast<int>(now.wMonth),
           static_cast<int>(now.wDay), static_cast<int>(now.wYear % 100), static_cast<int>(now.wHour),
           static_cast<int>(now.wMinute), static_cast<int>(now.wSecond));
  return buffer;
}

// The switch check: a log exists only when HKLM\SOFTWARE\Halvorn\InternalTesting "hvvornetlogging" names
// its file. Runs under the lock.
std::unique_ptr<DiagnosticLog> StartFromSwitch() {
  const std::wstring key = MakerKeyPath(L"InternalTesting");
  if (!RegistryKeyExists(HKEY_LOCAL_MACHINE, key)) return nullptr;
  if (!RegistryValueExists(HKEY_LOCAL_MACHINE, key, kSwitchValue)) return nullptr;
  std::wstring path;
  if (!RegistryReadString(HKEY_LOCAL_MACHINE, key, kSwitchValue, path)) return nullptr;
  auto log = std::make_unique<DiagnosticLog>(path);
  log->SetFlags(true, true, true);
  log->StartLog(kTitle, true);
  return log;
}

}  // namespace

LogFile::LogFile(std::wstring path) : path_(std::move(path)) {}

LogFile::~LogFile() = default;

bool LogFile::OpenFile(bool append) {
  file_.reset(CreateFileW(path_.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          append ? OPEN_ALWAYS : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file_) return false;
  // The byte order mark goes into every empty file: a new one, but also one just truncated or one that
  // existed without content, which would otherwise hold UTF-16 text without a mark.
  LARGE_INTEGER size = {};
  if (GetFileSizeEx(file_.get(), &size) && size.QuadPart == 0) {
    const wchar_t mark = 0xFEFF;
    DWORD written = 0;
    if (WriteFile(file_.get(), &mark, sizeof(mark), &written, nullptr)) FlushFileBuffers(file_.get());
  }
  return true;
}

void LogFile::CloseFile() { file_.reset(); }

void LogFile::WriteRaw(const std::wstring& text) {
  if (!file_) return;
  const std::wstring line = text + L'\n';
  DWORD written = 0;
  if (WriteFile(file_.get(), line.data(), static_cast<DWORD>(line.size() * sizeof(wchar_t)), &written, nullptr)) {
    FlushFileBuffers(file_.get());
  }
}

DiagnosticLog::DiagnosticLog(std::wstring path) : LogFile(std::move(path)) { ResetFlags(); }

void DiagnosticLog::CloseFile() {
  if (summary_) WriteSummary();
  LogFile::CloseFile();
}

void DiagnosticLog::StartLog(const std::wstring& title, bool append) {
  OpenFile(append);
  WriteRaw(title);
  WriteRaw(Separator());
}

void DiagnosticLog::WriteLine(const std::wstring& text) { WriteRaw(timestamp_ ? Timestamp() + text : text); }

void DiagnosticLog::WriteError(const std::wstring& text) { WriteLine(kErrorPrefix + text); }

void DiagnosticLog::WriteSummary() {
  WriteRaw(Separator());
  WriteLine(kSummary);
  WriteRaw(Separator());
}

void DiagnosticLog::ResetFlags() { SetFlags(false, false, false); }

void DiagnosticLog::SetFlags(bool timestamp, bool enabled, bool summary) {
  timestamp_ = timestamp;
  enabled_ = enabled;
  summary_ = summary;
}

void AcquireLog() {
  SharedLog& shared = Shared();
  LockGuard guard(shared.lock);
  if (!shared.log) shared.log = StartFromSwitch();
  ++shared.references;
}

void ReleaseLog() {
  SharedLog& shared = Shared();
  LockGuard guard(shared.lock);
  const int32_t before = shared.references--;
  if (shared.log && before == 1) {
    shared.log->CloseFile();
    shared.log.reset();
  }
}

bool IsLogEnabled() {
  SharedLog& shared = Shared();
  LockGuard guard(shared.lock);
  return shared.log && shared.log->enabled();
}

void LogLine(const std::wstring& text) {
  SharedLog& shared = Shared();
  LockGuard guard(shared.lock);
  if (shared.log && shared.log->enabled()) shared.log->WriteLine(text);
}

void LogError(const std::wstring& text) {
  SharedLog& shared = Shared();
  LockGuard guard(shared.lock);
  if (shared.log && shared.log->enabled()) shared.log->WriteError(text);
}

}  // namespace hv
