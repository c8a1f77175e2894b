// The diagnostic log of the native fuzz build: switched off (the library's log writes Windows files). The
// parsers' failures are still raised with their statuses; only their log lines go nowhere.
#include "support/log.h"

namespace hv {

void AcquireLog() {}
void ReleaseLog() {}
bool IsLogEnabled() { return false; }
void LogLine(const std::wstring&) {}
void LogError(const std::wstring&) {}

}  // namespace hv
