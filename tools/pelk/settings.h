// The registry settings hvpelk.dll reads, as pelk shows and writes them. pelk loads a DLL of its own
// bitness, so it works in that DLL's registry view: a 32-bit pelk in the 32-bit view (on 64-bit Windows
// HKLM\SOFTWARE\Wow6432Node\Halvorn\...), a 64-bit one in the 64-bit view.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

namespace pelk {

// "SOFTWARE\Halvorn\Trellin", or its sub-key of a wrapper library when wrapper is not empty.
std::wstring ServiceKey(const std::wstring& wrapper);
// "SOFTWARE\Halvorn\InternalTesting": the diagnostic log's switch.
std::wstring LogKey();
// "HKLM\" + key, for messages.
std::string ShowKey(const std::wstring& key);
// Which view pelk uses, for messages: "32-bit view; HKLM\SOFTWARE\Wow6432Node\... on 64-bit Windows" or
// "64-bit view".
std::string ViewNote();

// A value of an HKLM key as text (a REG_DWORD as its decimal number); nothing when the key or the value is
// absent or of another type.
std::optional<std::wstring> ReadValue(const std::wstring& key, const wchar_t* name);

// The service URL that ping, query and report use, as the library picks it: S_URL of the wrapper's
// sub-key when that has one, else of the main key. An empty url when neither has it.
struct ServiceUrl {
  std::wstring url;
  std::wstring key;  // where it was found
};
ServiceUrl LookUpServiceUrl(const std::wstring& wrapper);

// Writes url as S_URL and URL of the key (created when absent); ERROR_SUCCESS or the Windows error.
LSTATUS WriteServiceUrl(const std::wstring& key, const std::wstring& url);
// Deletes S_URL and URL of the key; absent values and an absent key are no error.
LSTATUS ClearServiceUrl(const std::wstring& key);

// The system's text for a Windows or WinINet error code, without the closing period and line break;
// empty when it has none.
std::string WindowsErrorText(DWORD code);

}  // namespace pelk
