// The diagnostic log: one process-wide UTF-16LE file (byte order mark, LF line ends), switched on by the
// registry value "hvvornetlogging" under HKLM\SOFTWARE\Halvorn\InternalTesting, which names the file.
// Sessions hold references through AcquireLog/ReleaseLog; the last release writes the summary and closes
// the file. Every function here is safe to call from any thread; one line is one write, never mixed.
#pragma once

#include <windows.h>

#include <string>

namespace hv {

// Base writer: owns the file handle.
class LogFile {
 public:
  explicit LogFile(std::wstring path);
  virtual ~LogFile();
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;

  // Opens for appending (OPEN_ALWAYS) or truncating (CREATE_ALWAYS); writes the byte order mark when the
  // file is new. False, handle invalid, when the file cannot be opened.
  virtual bool OpenFile(bool append);
  virtual void CloseFile();

  // Writes text + LF in one write and flushes; fails silently on an invalid handle.
  void WriteRaw(const std::wstring& text);

 protected:
  std::wstring path_;
  HANDLE file_ = INVALID_HANDLE_VALUE;
};

class DiagnosticLog : public LogFile {
 public:
  explicit DiagnosticLog(std::wstring path);

  void CloseFile() override;  // summary block (when set), then close
  void StartLog(const std::wstring& title, bool append);
  void WriteLine(const std::wstring& text);   // "[MM/DD/YY HH:MM:SS]: " + text when timestamps are on
  void WriteError(const std::wstring& text);  // WriteLine("**ERROR: " + text)
  void WriteSummary();
  void ResetFlags();
  void SetFlags(bool timestamp, bool enabled, bool summary);
  bool enabled() const { return enabled_; }

 private:
  bool timestamp_ = false;
  bool enabled_ = false;
  bool summary_ = false;
};

void AcquireLog();
void ReleaseLog();
bool IsLogEnabled();
void LogLine(const std::wstring& text);
void LogError(const std::wstring& text);

}  // namespace hv
