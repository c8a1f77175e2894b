// One HTTP request of an exchange, made through the session's handles on the worker thread: opened, sent
// (once more without the revocation check when a certificate's revocation status cannot be had, and again
// after the credentials a proxy asked for), and its answer's headers read and checked.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "support/status.h"
#include "transport/http_answer.h"
#include "transport/internet_handles.h"

namespace hv {

// The proxy-credentials dialog, with the signature of InternetErrorDlg (the default).
using CredentialsDialog = InternetHandles::CredentialsDialog;
// Replaces the process-wide credentials dialog (null restores InternetErrorDlg); returns the previous one.
// For tests, which cannot show a dialog: set it before any exchange runs.
CredentialsDialog SetCredentialsDialog(CredentialsDialog dialog);

struct RequestOptions {
  std::wstring path;  // the object name: the URL's path with its query string
  DWORD flags = 0;    // request flags; for a secure URL also the security flags of the revocation retry
  bool acceptGzip = false;
  bool noPrompt = false;        // a proxy's 407 fails at once instead of showing the dialog
  HWND parentWindow = nullptr;  // owner of the dialog; null: the desktop window
};

// What a send lets through besides 200 and 206.
enum class Accept {
  Usual,         // a 407 shows the credentials dialog (unless noPrompt) and the request goes again
  AlsoRefusal,   // as Usual, and a 416 comes back for the caller to judge (a ranged request)
  NoCredentials  // a 407 fails at once
};

// GET (empty body, with the extra headers, each ending in "\r\n") or POST of body (UTF-16LE, no content
// type). A redirect with a Location comes back for the caller to follow. Throws the status of a request that cannot be
// opened or sent, of a refused answer, and PELK_E_PROXY_AUTH when credentials are declined or not to be asked for; a
// stop unwinds with ThrowStopped.
void SendRequest(InternetHandles& handles, const RequestOptions& options, const std::wstring& body,
                 const std::vector<std::wstring>& headers, Accept accept, HttpAnswer& answer);

}  // namespace hv
