#include "transport/http_request.h"

#include <atomic>

#include "operation_tag.h"
#include "support/log.h"
#include "support/strings.h"

namespace hv {
namespace {

std::atomic<CredentialsDialog> g_credentialsDialog{&InternetErrorDlg};

constexpr DWORD kProxyAuthenticationRequired = 407;
constexpr DWORD kCredentialsDialogFlags =
    FLAGS_ERROR_UI_FILTER_FOR_ERRORS | FLAGS_ERROR_UI_FLAGS_CHANGE_OPTIONS | FLAGS_ERROR_UI_FLAGS_GENERATE_DATA;

// The steps of one request. A stop unwinds from whichever handle call sees it (ThrowStopped).
class Request {
 public:
  Request(InternetHandles& handles, const RequestOptions& options, HttpAnswer& answer)
      : handles_(handles), options_(options), answer_(answer) {}

  void Send(const std::wstring& body, const std::vector<std::wstring>& headers, Accept accept) {
    for (;;) {
      if (body.empty()) {
        SendGet(headers);
      } else {
        SendPost(body);
      }
      ReadAnswer();
      if (accept == Accept::AlsoRefusal && answer_.status == 416) return;
      if (CheckStatusCode(accept == Accept::NoCredentials)) return;
      LogLine(L"\t[Submit]: Proxy authentication required...");
      if (!AskForAuthentication()) Throw(PELK_E_PROXY_AUTH);
    }
  }

 private:
  void Open(const wchar_t* verb) {
    DWORD error = handles_.OpenRequest(verb, options_.path, options_.flags);
    if (error != 0) {
      LogFailure(L"Could not open the request: ", error);
      Throw(PELK_E_OPEN_REQUEST, error);
    }
    if (!options_.acceptGzip) return;
    error = handles_.AddHeader(L"Accept-Encoding: gzip\r\n", HTTP_ADDREQ_FLAG_ADD_IF_NEW);
    if (error != 0) LogFailure(L"Could not set encoding: ", error);
  }

  void SendGet(const std::vector<std::wstring>& headers) {
    OperationTag tag(L"SendGetRequest");
    if (IsLogEnabled()) {
      LogLine(L"\tURL: " + options_.path);
      LogLine(L"\tFlags: " + Hex(options_.flags));
    }
    Open(L"GET");
    for (const std::wstring& header : headers)
      handles_.AddHeader(header, HTTP_ADDREQ_FLAG_REPLACE | HTTP_ADDREQ_FLAG_ADD);
    SendWithRetries(false, 0);
  }

  void SendPost(const std::wstring& body) {
    OperationTag tag(L"SendPostRequest");
    if (IsLogEnabled()) {
      LogLine(L"\tURL: " + options_.path);
      LogLine(L"\tFlags: " + Hex(options_.flags));
      LogLine(L"\t***POST DATA***");
      LogLine(body);
    }
    const auto length = static_cast<DWORD>(body.size() * sizeof(wchar_t));
    Open(L"POST");
    SendWithRetries(true, length);
    LogLine(L"\tCalling InternetWriteFile");
    const DWORD error = handles_.Write(body.data(), length);
    if (error != 0) {
      LogFailure(L"Failed to post the request data to the server: ", error);
      // The server may already have answered (for example 407 or 500): its status explains more, and
      // CheckStatusCode throws it in place of the upload's own failure.
      ReadAnswer();
      CheckStatusCode(true);
      Throw(PELK_E_SEND, error);
    }
    LogLine(L"\tInternetWriteFile complete, calling HttpEndRequest");
    handles_.EndRequest();
    LogLine(L"\tHttpEndRequest complete");
  }

  void SendWithRetries(bool post, DWORD length) {
    DWORD error = handles_.Send(post, length, 0);
    // A revocation status that cannot be had: the request flags, read as security flags, include
    // "ignore revocation", and the request goes once more with them.
    if (error == ERROR_INTERNET_SEC_CERT_NO_REV || error == ERROR_INTERNET_SEC_CERT_REV_FAILED) {
      LogFailure(L"Failed to send the request: ", error);
      error = handles_.Send(post, length, options_.flags);
    }
    if (error == 0) return;
    LogFailure(L"Failed to send the request: ", error);
    Throw(SendFailure(error, post), error);
  }

  void ReadAnswer() {
    answer_ = ReadHttpAnswer([this](DWORD infoLevel, void* buffer, DWORD* bytes) {
      const DWORD error = handles_.QueryInfo(infoLevel, buffer, bytes);
      SetLastError(error);
      return error == 0;
    });
  }

  // True for an accepted answer, false for a proxy's demand for credentials that the dialog may answer;
  // throws otherwise.
  bool CheckStatusCode(bool noCredentials) {
    OperationTag tag(L"CheckStatusCode");
    const DWORD code = answer_.status;
    if (code == 0) {
      LogFailure(L"Failed to check the status code: ", answer_.statusError);
      Throw(PELK_E_HTTP_STATUS, answer_.statusError);
    }
    if (IsLogEnabled()) LogLine(L"\tStatus Code: " + Dec(static_cast<int>(code)));
    if (code == kProxyAuthenticationRequired) {
      if (noCredentials || options_.noPrompt) Throw(PELK_E_PROXY_AUTH);
      tag.Dismiss();
      return false;
    }
    // A redirect is the session's to follow.
    if (answer_.IsRedirect()) return true;
    const StatusCode failure = HttpStatusFailure(code);
    if (failure != 0) Throw(failure);
    return true;
  }

  // True when the user entered credentials.
  bool AskForAuthentication() {
    OperationTag tag(L"AskForAuthentication");
    const HWND window = options_.parentWindow ? options_.parentWindow : GetDesktopWindow();
    const DWORD result = handles_.AskForCredentials(g_credentialsDialog.load(), window, kCredentialsDialogFlags);
    if (IsLogEnabled()) LogLine(L"\tAuthentication result: " + Hex(result));
    return result == ERROR_INTERNET_FORCE_RETRY;
  }

  InternetHandles& handles_;
  const RequestOptions& options_;
  HttpAnswer& answer_;
};

}  // namespace

CredentialsDialog SetCredentialsDialog(CredentialsDialog dialog) {
  return g_credentialsDialog.exchange(dialog ? dialog : &InternetErrorDlg);
}

void SendRequest(InternetHandles& handles, const RequestOptions& options, const std::wstring& body,
                 const std::vector<std::wstring>& headers, Accept accept, HttpAnswer& answer) {
  Request(handles, options, answer).Send(body, headers, accept);
}

}  // namespace hv
