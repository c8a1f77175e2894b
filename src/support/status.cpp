#include "support/status.h"

#include <string>

#include "support/log.h"
#include "support/strings.h"

namespace hv {
namespace {

// Source file names are ASCII (the build passes them relative to the project folder).
std::wstring SourceName(const char* file) {
  std::wstring name;
  for (; *file != '\0'; ++file) name += static_cast<wchar_t>(static_cast<unsigned char>(*file));
  return name;
}

// One line per failure, where it is made: what was raised, where, and the Windows error behind it.
void LogRaised(StatusCode code, const FailureSite& site) {
  if (!IsLogEnabled()) return;
  std::wstring line =
      L"\tStatus " + Hex(static_cast<uint32_t>(code)) + L" raised at " + SourceName(site.file) + L":" + Dec(site.line);
  if (site.windowsError != 0) line += L" (Windows error " + Hex(site.windowsError) + L")";
  LogLine(line);
}

[[noreturn]] void Raise(StatusCode code, StatusCode phase, const FailureSite& site) {
  // Logging must not replace the failure: a line that cannot be written is dropped.
  try {
    LogRaised(code, site);
  } catch (...) {
  }
  throw StatusError(code, phase, site);
}

}  // namespace

void Throw(StatusCode code, uint32_t windowsError, const char* file, int line) {
  Raise(code, code, FailureSite{file, line, windowsError});
}

void ThrowSystemError(uint32_t windowsError, const char* file, int line) {
  Raise(static_cast<StatusCode>(0x80000000u | windowsError), PELK_E_SYSTEM_CALL, FailureSite{file, line, windowsError});
}

void ThrowStopped() { throw StatusError(PELK_PHASE_CLOSED, PELK_PHASE_CLOSED, FailureSite{}); }

}  // namespace hv
