// The diagnostic log: one process-wide UTF-16LE file (byte order mark, LF line ends), switched on by the
// registry value "hvvornetlogging" under HKLM\SOFTWARE\Halvorn\InternalTesting, which names the file.
// Sessions hold references through AcquireLog/ReleaseLog; the last release writes the summary and closes
// the file. Every free function here is safe to call from any thread; one line is one write, never mixed.
// Nothing here throws (except on allocation failure) or reports a failure: a log that cannot write is silent.
#pragma once

#include <windows.h>

#include <string>

#include "support/scoped_handle.h"

namespace hv {

// Base writer: owns the file handle. Not locked itself; the process-wide functions serialise all use.
class LogFile {
 public:
  explicit LogFile(std::wstring path);
  virtual ~LogFile();
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;

  // Opens for appending (OPEN_ALWAYS) or truncating (CREATE_ALWAYS); writes the byte order mark when the
  // file is empty after opening (new or truncated). False, handle invalid, when the file cannot be opened.
  virtual bool OpenFile(bool append);
  // Closes the file; later writes do nothing.
  virtual void CloseFile();

  // Writes text + LF in one write and flushes it; does nothing on an invalid handle, ignores write errors.
  void WriteRaw(const std::wstring& text);

 protected:
  std::wstring path_;
  UniqueFile file_;
};

class DiagnosticLog : public LogFile {
 public:
  explicit DiagnosticLog(std::wstring path);

  void CloseFile() override;  // summary block (when set), then close
  // Opens the file (a failure leaves a silent log), then writes the title and the separator.
  void StartLog(const std::wstring& title, bool append);
  void WriteLine(const std::wstring& text);   // "[MM/DD/YY HH:MM:SS]: " + text when timestamps are on
  void WriteError(const std::wstring& text);  // WriteLine("**ERROR: " + text)
  void WriteSummary();                        // separator, "***SUMMARY***" line, separator
  void ResetFlags();
  void SetFlags(bool timestamp, bool enabled, bool summary);
  bool enabled() const { return enabled_; }

 private:
  bool timestamp_ = false;
  bool enabled_ = false;
  bool summary_ = false;
};

// Takes a reference; creates and starts the shared log when none exists and the registry switch is set.
void AcquireLog();
// Drops a reference; the release that takes the count from 1 to 0 closes (summary) and destroys the log.
void ReleaseLog();
// True when the shared log exists and accepts lines.
bool IsLogEnabled();
// Timestamped line; nothing when logging is off.
void LogLine(const std::wstring& text);
// Timestamped "**ERROR: " + text line; nothing when logging is off.
void LogError(const std::wstring& text);

}  // namespace hv
