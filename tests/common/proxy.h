// A proxy for WinINet tests: a local server that WinINet reaches through the prefix's proxy settings and
// that answers the absolute-form requests itself, demanding Basic proxy credentials.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "common/test_server.h"

namespace hvtest {

// Points HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings at a proxy ("ProxyEnable" = 1,
// "ProxyServer" = "127.0.0.1:<port>") and restores the earlier values, or their absence, on destruction.
// WinINet reads these settings whenever a root handle is opened with INTERNET_OPEN_TYPE_PRECONFIG.
class ProxySettings {
 public:
  explicit ProxySettings(int port);
  ~ProxySettings();
  ProxySettings(const ProxySettings&) = delete;
  ProxySettings& operator=(const ProxySettings&) = delete;

 private:
  struct Saved {
    bool present = false;
    DWORD type = 0;
    std::string bytes;
  };
  static Saved Save(const wchar_t* name);
  static void Restore(const wchar_t* name, const Saved& saved);

  Saved enable_;
  Saved server_;
};

// The proxy itself, recording every request (TestServer). A request carrying "Proxy-Authorization" with
// the Basic credentials user:password gets 200 and the body; any other gets 407 with
// "Proxy-Authenticate: Basic". Started and switched on by the constructor.
class TestProxy {
 public:
  TestProxy(const std::string& user, const std::string& password, std::string body);

  TestServer& server() { return server_; }
  std::string ExpectedAuthorization() const { return authorization_; }  // "Basic ..."

 private:
  TestServer server_;
  std::string authorization_;
  std::string body_;
  std::unique_ptr<ProxySettings> settings_;  // switched on once the server listens
};

}  // namespace hvtest
