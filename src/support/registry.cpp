#include "support/registry.h"

#include <cstring>
#include <vector>

#include "support/scoped_handle.h"
#include "support/strings.h"

namespace hv {
namespace {

constexpr DWORD kInitialBuffer = 1024;

UniqueRegKey OpenKey(HKEY root, const std::wstring& path, REGSAM access) {
  UniqueRegKey key;
  if (RegOpenKeyExW(root, path.c_str(), 0, access, key.receive()) != ERROR_SUCCESS) key.forget();
  return key;
}

}  // namespace

const std::wstring& MakerKeyPath() {
  static const std::wstring path(L"SOFTWARE\\Halvorn");
  return path;
}

std::wstring MakerKeyPath(const std::wstring& name) { return MakerKeyPath() + L"\\" + name; }

bool RegistryKeyExists(HKEY root, const std::wstring& path) { return OpenKey(root, path, KEY_QUERY_VALUE).valid(); }

bool RegistryCreateKey(HKEY root, const std::wstring& path) {
  UniqueRegKey key;
  return RegCreateKeyExW(root, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                         key.receive(), nullptr) == ERROR_SUCCESS;
}

bool RegistryValueExists(HKEY root, const std::wstring& path, const std::wstring& name) {
  UniqueRegKey key = OpenKey(root, path, KEY_QUERY_VALUE);
  if (!key) return false;
  std::vector<BYTE> buffer(kInitialBuffer);
  DWORD size = kInitialBuffer;
  const LONG result = RegQueryValueExW(key.get(), name.c_str(), nullptr, nullptr, buffer.data(), &size);
  return result == ERROR_SUCCESS || result == ERROR_MORE_DATA;
}

bool RegistryReadString(HKEY root, const std::wstring& path, const std::wstring& name, std::wstring& out) {
  UniqueRegKey key = OpenKey(root, path, KEY_QUERY_VALUE);
  if (!key) return false;
  DWORD capacity = kInitialBuffer;
  for (;;) {
    // Two spare bytes keep the text terminated even when the stored data is not.
    std::vector<BYTE> buffer(capacity + sizeof(wchar_t), 0);
    DWORD size = capacity;
    const LONG result = RegQueryValueExW(key.get(), name.c_str(), nullptr, nullptr, buffer.data(), &size);
    if (result == ERROR_SUCCESS && size > 0) {
      const wchar_t* text = reinterpret_cast<const wchar_t*>(buffer.data());
      const size_t units = size / sizeof(wchar_t);
      size_t length = 0;
      while (length < units && text[length] != L'\0') ++length;
      out.assign(text, length);
    }
    if (result != ERROR_MORE_DATA) return true;
    capacity = size + kInitialBuffer;
  }
}

bool RegistryReadFlag(HKEY root, const std::wstring& path, const std::wstring& name, bool& out) {
  UniqueRegKey key = OpenKey(root, path, KEY_QUERY_VALUE);
  if (!key) return false;
  // The first four bytes of the value, whatever its type; a missing value reads as 0.
  std::vector<BYTE> buffer(kInitialBuffer, 0);
  DWORD size = kInitialBuffer;
  DWORD value = 0;
  if (RegQueryValueExW(key.get(), name.c_str(), nullptr, nullptr, buffer.data(), &size) == ERROR_SUCCESS) {
    memcpy(&value, buffer.data(), sizeof(value));
  }
  out = value != 0;
  return true;
}

bool RegistryWriteString(HKEY root, const std::wstring& path, const std::wstring& name, const std::wstring& text) {
  UniqueRegKey key;
  if (RegCreateKeyExW(root, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, key.receive(),
                      nullptr) != ERROR_SUCCESS) {
    return false;
  }
  const DWORD bytes = static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
  return RegSetValueExW(key.get(), name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()), bytes) ==
         ERROR_SUCCESS;
}

bool RegistryKeyIsDeprecated(HKEY root, const std::wstring& path) {
  std::wstring value;
  return RegistryReadString(root, path, std::wstring(), value) && EqualsNoCase(value, L"deprecated");
}

bool RegistryEnumSubKeys(HKEY root, const std::wstring& path, std::vector<std::wstring>& names) {
  UniqueRegKey key = OpenKey(root, path, KEY_READ);
  if (!key) return false;
  names.clear();
  DWORD count = 0;
  RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                   nullptr);
  for (DWORD i = 0; i < count; ++i) {
    wchar_t name[1024];
    DWORD length = 1024;
    if (RegEnumKeyExW(key.get(), i, name, &length, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS) {
      names.emplace_back(name, length);
    }
  }
  return true;
}

}  // namespace hv
