// Registry access. Every operation opens its key, does one thing and closes it again; keys are opened in
// the default view (the 32-bit view for the 32-bit build). Nothing here throws or reports the Windows
// error: failures are a false result and the caller's preset output stands.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace hv {

// The maker's root path, "SOFTWARE\Halvorn", and a sub-path of it ("SOFTWARE\Halvorn\<name>").
const std::wstring& MakerKeyPath();
std::wstring MakerKeyPath(const std::wstring& name);

// True when the key opens for query.
bool RegistryKeyExists(HKEY root, const std::wstring& path);
// Creates the key (or opens an existing one); true on success.
bool RegistryCreateKey(HKEY root, const std::wstring& path);
// True when the value exists (of any size); false when the key or the value is missing.
bool RegistryValueExists(HKEY root, const std::wstring& path, const std::wstring& name);
// Reads the value's bytes as UTF-16 text up to the first NUL, whatever its type; out is untouched when
// the value is missing or empty. False only when the key cannot be opened.
bool RegistryReadString(HKEY root, const std::wstring& path, const std::wstring& name, std::wstring& out);
// out = (the value's first four bytes != 0), a missing value reading as false. False, out untouched, when
// the key is missing.
bool RegistryReadFlag(HKEY root, const std::wstring& path, const std::wstring& name, bool& out);
// Creates the key if needed and stores the text as REG_SZ with its terminating NUL.
bool RegistryWriteString(HKEY root, const std::wstring& path, const std::wstring& name, const std::wstring& text);
// True when the key exists and its default value is "deprecated" in any letter case.
bool RegistryKeyIsDeprecated(HKEY root, const std::wstring& path);
// Replaces names with the key's sub-key names in registry order; false when the key cannot be read.
bool RegistryEnumSubKeys(HKEY root, const std::wstring& path, std::vector<std::wstring>& names);

}  // namespace hv
