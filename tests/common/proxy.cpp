#include "common/proxy.h"

#include <gtest/gtest.h>

namespace hvtest {
namespace {

const wchar_t kInternetSettings[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";

// "Basic " and user:password in Base64, as WinINet sends it. Not httplib's encoder: it shifts a signed int
// past its range, which the checked build traps.
std::string BasicAuthorization(const std::string& user, const std::string& password) {
  static const char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const std::string in = user + ":" + password;
  std::string out = "Basic ";
  for (size_t i = 0; i < in.size(); i += 3) {
    uint32_t group = uint32_t{static_cast<uint8_t>(in[i])} << 16;
    if (i + 1 < in.size()) group |= uint32_t{static_cast<uint8_t>(in[i + 1])} << 8;
    if (i + 2 < in.size()) group |= uint32_t{static_cast<uint8_t>(in[i + 2])};
    out += kDigits[group >> 18 & 63];
    out += kDigits[group >> 12 & 63];
    out += i + 1 < in.size() ? kDigits[group >> 6 & 63] : '=';
    out += i + 2 < in.size() ? kDigits[group & 63] : '=';
  }
  return out;
}

}  // namespace

ProxySettings::ProxySettings(int port) : enable_(Save(L"ProxyEnable")), server_(Save(L"ProxyServer")) {
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, kInternetSettings, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
      ERROR_SUCCESS) {
    ADD_FAILURE() << "cannot open the Internet Settings key";
    return;
  }
  const DWORD enable = 1;
  const std::wstring server = L"127.0.0.1:" + std::to_wstring(port);
  EXPECT_EQ(ERROR_SUCCESS,
            RegSetValueExW(key, L"ProxyEnable", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&enable), sizeof(enable)));
  EXPECT_EQ(ERROR_SUCCESS, RegSetValueExW(key, L"ProxyServer", 0, REG_SZ, reinterpret_cast<const BYTE*>(server.c_str()),
                                          static_cast<DWORD>((server.size() + 1) * sizeof(wchar_t))));
  RegCloseKey(key);
}

ProxySettings::~ProxySettings() {
  Restore(L"ProxyEnable", enable_);
  Restore(L"ProxyServer", server_);
}

ProxySettings::Saved ProxySettings::Save(const wchar_t* name) {
  Saved saved;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kInternetSettings, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return saved;
  DWORD size = 0;
  if (RegQueryValueExW(key, name, nullptr, &saved.type, nullptr, &size) == ERROR_SUCCESS) {
    saved.bytes.resize(size);
    saved.present = RegQueryValueExW(key, name, nullptr, &saved.type, reinterpret_cast<BYTE*>(&saved.bytes[0]),
                                     &size) == ERROR_SUCCESS;
    saved.bytes.resize(size);
  }
  RegCloseKey(key);
  return saved;
}

void ProxySettings::Restore(const wchar_t* name, const Saved& saved) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kInternetSettings, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) return;
  if (saved.present) {
    RegSetValueExW(key, name, 0, saved.type, reinterpret_cast<const BYTE*>(saved.bytes.data()),
                   static_cast<DWORD>(saved.bytes.size()));
  } else {
    RegDeleteValueW(key, name);
  }
  RegCloseKey(key);
}

TestProxy::TestProxy(const std::string& user, const std::string& password, std::string body)
    : authorization_(BasicAuthorization(user, password)), body_(std::move(body)) {
  // Requests arrive in absolute form ("GET http://host/path"): one pattern takes every target.
  auto answer = [this](const httplib::Request& request, httplib::Response& response) {
    if (request.get_header_value("Proxy-Authorization") == authorization_) {
      response.set_content(body_, "text/plain");
    } else {
      response.status = 407;
      response.set_header("Proxy-Authenticate", "Basic realm=\"hvpelk test proxy\"");
      response.set_content("proxy credentials required", "text/plain");
    }
  };
  server_.server().Get(".*", answer);
  server_.server().Post(".*", answer);
  server_.Start();
  settings_ = std::make_unique<ProxySettings>(server_.port());
}

}  // namespace hvtest
