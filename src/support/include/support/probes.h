// Probes of the client machine, for the statistics report and for the HTTP layer's size limits.
// None of them fails: each returns its fallback when its source is missing, and none caches.
#pragma once

#include <cstdint>
#include <string>

namespace hv {

std::wstring ProbeOperatingSystemVersion();  // kernel32.dll file version; fallback "major.minor.build"
std::wstring ProbeServicePack();             // "major.minor"; "0.0" when unknown
std::wstring ProbeProductType();             // decimal; "0" when unknown
std::wstring ProbeSuiteMask();               // decimal; "0" when unknown
std::wstring ProbeR2Build();                 // GetSystemMetrics(SM_SERVERR2), decimal
std::wstring ProbeArchitecture();            // native processor architecture code, decimal (9 = x64)
std::wstring ProbeIeVersion();               // Internet Explorer "Version" value as stored; empty if absent
std::wstring ProbeDotNetVersion();           // "Version" of the newest installed framework; empty if none

// Major Internet Explorer version: 0 when unknown, -1 when the value does not start with a number.
int32_t IeMajorVersion();
bool IsIeNewerThan7();
bool IsIeNewerThan6();

}  // namespace hv
