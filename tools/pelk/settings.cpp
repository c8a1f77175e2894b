#include "settings.h"

#include <memory>
#include <type_traits>

#include "utf8.h"

namespace pelk {
namespace {

// The registry view of the DLL pelk loads: its own bitness, named explicitly.
constexpr REGSAM kView = sizeof(void*) == 4 ? KEY_WOW64_32KEY : KEY_WOW64_64KEY;

struct KeyCloser {
  void operator()(HKEY key) const { RegCloseKey(key); }
};
using UniqueKey = std::unique_ptr<std::remove_pointer_t<HKEY>, KeyCloser>;

UniqueKey OpenKey(const std::wstring& key, REGSAM access) {
  HKEY opened = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, access | kView, &opened) != ERROR_SUCCESS) return nullptr;
  return UniqueKey(opened);
}

}  // namespace

std::wstring ServiceKey(const std::wstring& wrapper) {
  std::wstring key = L"SOFTWARE\\Halvorn\\Trellin";
  if (!wrapper.empty()) key += L"\\" + wrapper;
  return key;
}

std::wstring LogKey() { return L"SOFTWARE\\Halvorn\\InternalTesting"; }

std::string ShowKey(const std::wstring& key) { return "HKLM\\" + hvtools::WideToUtf8(key); }

std::string ViewNote() {
  return sizeof(void*) == 4 ? "32-bit view; HKLM\\SOFTWARE\\Wow6432Node\\Halvorn\\... on 64-bit Windows"
                            : "64-bit view";
}

std::optional<std::wstring> ReadValue(const std::wstring& key, const wchar_t* name) {
  const UniqueKey opened = OpenKey(key, KEY_QUERY_VALUE);
  if (!opened) return std::nullopt;
  DWORD type = 0;
  DWORD bytes = 0;
  if (RegQueryValueExW(opened.get(), name, nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS) return std::nullopt;
  if (type == REG_DWORD && bytes == sizeof(DWORD)) {
    DWORD number = 0;
    if (RegQueryValueExW(opened.get(), name, nullptr, nullptr, reinterpret_cast<BYTE*>(&number), &bytes) !=
        ERROR_SUCCESS) {
      return std::nullopt;
    }
    return std::to_wstring(number);
  }
  if (type != REG_SZ && type != REG_EXPAND_SZ) return std::nullopt;
  // Two spare units keep the text terminated when the stored data is not.
  std::wstring text(bytes / sizeof(wchar_t) + 2, L'\0');
  const size_t capacity = text.size() * sizeof(wchar_t);
  bytes = static_cast<DWORD>(capacity);
  if (RegQueryValueExW(opened.get(), name, nullptr, nullptr, reinterpret_cast<BYTE*>(&text[0]), &bytes) !=
      ERROR_SUCCESS) {
    return std::nullopt;
  }
  text.resize(text.find(L'\0'));
  return text;
}

ServiceUrl LookUpServiceUrl(const std::wstring& wrapper) {
  if (!wrapper.empty()) {
    if (std::optional<std::wstring> url = ReadValue(ServiceKey(wrapper), L"S_URL")) return {*url, ServiceKey(wrapper)};
  }
  if (std::optional<std::wstring> url = ReadValue(ServiceKey(L""), L"S_URL")) return {*url, ServiceKey(L"")};
  return {};
}

LSTATUS WriteServiceUrl(const std::wstring& key, const std::wstring& url) {
  HKEY created = nullptr;
  LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE | kView, nullptr,
                                   &created, nullptr);
  if (status != ERROR_SUCCESS) return status;
  const UniqueKey opened(created);
  const size_t size = (url.size() + 1) * sizeof(wchar_t);
  const auto bytes = static_cast<DWORD>(size);
  for (const wchar_t* name : {L"S_URL", L"URL"}) {
    status = RegSetValueExW(opened.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(url.c_str()), bytes);
    if (status != ERROR_SUCCESS) return status;
  }
  return ERROR_SUCCESS;
}

LSTATUS ClearServiceUrl(const std::wstring& key) {
  HKEY raw = nullptr;
  LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_SET_VALUE | kView, &raw);
  if (status == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
  if (status != ERROR_SUCCESS) return status;
  const UniqueKey opened(raw);
  for (const wchar_t* name : {L"S_URL", L"URL"}) {
    status = RegDeleteValueW(opened.get(), name);
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) return status;
  }
  return ERROR_SUCCESS;
}

std::string WindowsErrorText(DWORD code) {
  wchar_t* buffer = nullptr;
  DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM;
  // WinINet's errors (12000 to 12999) are messages of wininet.dll, not of the system.
  HMODULE wininet = code >= 12000 && code < 13000 ? GetModuleHandleW(L"wininet.dll") : nullptr;
  if (wininet != nullptr) flags |= FORMAT_MESSAGE_FROM_HMODULE;
  const DWORD length = FormatMessageW(flags, wininet, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring text(buffer != nullptr ? buffer : L"", length);
  LocalFree(buffer);
  while (!text.empty() &&
         (text.back() == L'\n' || text.back() == L'\r' || text.back() == L'.' || text.back() == L' ')) {
    text.pop_back();
  }
  return hvtools::WideToUtf8(text);
}

}  // namespace pelk
