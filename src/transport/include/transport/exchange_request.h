// What one exchange sends. Made on the caller's thread, then moved to the worker, which only reads it:
// nothing the caller sets afterwards can reach a running exchange.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace hv {

// A server that sends nothing for this long fails the exchange (WinINet's receive timeout).
constexpr DWORD kReceiveTimeoutMs = 300000;

struct ExchangeRequest {
  std::wstring url;                           // the whole URL, sent as it is
  std::wstring body;                          // UTF-16LE POST body, no content type; empty: GET
  std::vector<std::wstring> userAgentTokens;  // "name version" each, in order; empty ones are left out
  bool acceptGzip = false;                    // every request asks for "Accept-Encoding: gzip"
  bool noPrompt = false;                      // a proxy's 407 fails at once instead of showing the dialog
  HWND parentWindow = nullptr;                // owner of the credentials dialog; null: the desktop window
  DWORD receiveTimeoutMs = kReceiveTimeoutMs;
};

}  // namespace hv
