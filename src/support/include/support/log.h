// The diagnostic log: one process-wide UTF-16LE file (byte order mark, LF line ends), switched on by the
// registry value "hvvornetlogging" under HKLM\SOFTWARE\Halvorn\InternalTesting, which names the file.
// Sessions hold references through AcquireLog/ReleaseLog; the last release writes the summary and closes
// the file. Every function here is safe to call from any thread; one line is one write, never mixed.
// Nothing here throws (except on allocation failure) or reports a failure: a log that cannot write is silent.
#pragma once

#include <string>

namespace hv {

// Takes a reference; when no log exists and the registry switch is set, opens the named file for
// appending (a byte order mark goes into an empty file) and writes the title and a separator.
void AcquireLog();
// Drops a reference; the release that takes the count from 1 to 0 writes the summary block and closes.
void ReleaseLog();
// True when the shared log exists (even when its file could not be opened, and lines are dropped).
bool IsLogEnabled();
// "[MM/DD/YY HH:MM:SS]: " + text; nothing when logging is off.
void LogLine(const std::wstring& text);
// LogLine("**ERROR: " + text).
void LogError(const std::wstring& text);

}  // namespace hv
