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

// The steps of one request; each that returns bool gives false when the handles were aborted.
class Request {
 public:
  Request(InternetHandles& handles, const RequestOptions& options, HttpAnswer& answer)
      : handles_(handles), options_(options), answer_(answer) {}

  bool Send(const std::wstring& body, const std::vector<std::wstring>& headers, Accept accept) {
    for (;;) {
      const bool sent = body.empty() ? SendGet(headers) : SendPost(body);
      if (!sent || !ReadAnswer()) return false;
      if (accept == Accept::AlsoRefusal && answer_.status == 416) return true;
      if (CheckStatusCode(accept == Accept::NoCredentials)) return true;
      LogLine(L"\t[Submit]: Proxy authentication required...");
      bool entered = false;
      if (!AskForAuthentication(entered)) return false;
      if (!entered) Throw(PELK_E_PROXY_AUTH);
    }
  }

 private:
  bool Open(const wchar_t* verb) {
    DWORD error = 0;
    if (!handles_.OpenRequest(verb, options_.path, options_.flags, error)) return false;
    if (error != 0) {
      LogFailure(L"Could not open the request: ", error);
      Throw(PELK_E_OPEN_REQUEST);
    }
    if (!options_.acceptGzip) return true;
    if (!handles_.AddHeader(L"Accept-Encoding: gzip\r\n", HTTP_ADDREQ_FLAG_ADD_IF_NEW, error)) return false;
    if (error != 0) LogFailure(L"Could not set encoding: ", error);
    return true;
  }

  bool SendGet(const std::vector<std::wstring>& headers) {
    OperationTag tag(L"SendGetRequest");
    if (IsLogEnabled()) {
      LogLine(L"\tURL: " + options_.path);
      LogLine(L"\tFlags: " + Hex(options_.flags));
    }
    if (!Open(L"GET")) return false;
    DWORD ignored = 0;
    for (const std::wstring& header : headers) {
      if (!handles_.AddHeader(header, HTTP_ADDREQ_FLAG_REPLACE | HTTP_ADDREQ_FLAG_ADD, ignored)) return false;
    }
    return SendWithRetries(false, 0);
  }

  bool SendPost(const std::wstring& body) {
    OperationTag tag(L"SendPostRequest");
    if (IsLogEnabled()) {
      LogLine(L"\tURL: " + options_.path);
      LogLine(L"\tFlags: " + Hex(options_.flags));
      LogLine(L"\t***POST DATA***");
      LogLine(body);
    }
    const auto length = static_cast<DWORD>(body.size() * sizeof(wchar_t));
    if (!Open(L"POST") || !SendWithRetries(true, length)) return false;
    LogLine(L"\tCalling InternetWriteFile");
    DWORD error = 0;
    if (!handles_.Write(body.data(), length, error)) return false;
    if (error != 0) {
      LogFailure(L"Failed to post the request data to the server: ", error);
      // The server may already have answered (for example 407 or 500): its status explains more, and
      // CheckStatusCode throws it in place of the upload's own failure.
      if (!ReadAnswer()) return false;
      CheckStatusCode(true);
      Throw(PELK_E_SEND);
    }
    LogLine(L"\tInternetWriteFile complete, calling HttpEndRequest");
    if (!handles_.EndRequest()) return false;
    LogLine(L"\tHttpEndRequest complete");
    return true;
  }

  bool SendWithRetries(bool post, DWORD length) {
    DWORD error = 0;
    if (!handles_.Send(post, length, 0, error)) return false;
    // A revocation status that cannot be had: the request flags, read as security flags, include
    // "ignore revocation", and the request goes once more with them.
    if (error == ERROR_INTERNET_SEC_CERT_NO_REV || error == ERROR_INTERNET_SEC_CERT_REV_FAILED) {
      LogFailure(L"Failed to send the request: ", error);
      if (!handles_.Send(post, length, options_.flags, error)) return false;
    }
    if (error == 0) return true;
    LogFailure(L"Failed to send the request: ", error);
    Throw(SendFailure(error, post));
  }

  bool ReadAnswer() {
    answer_ = ReadHttpAnswer([this](DWORD infoLevel, void* buffer, DWORD* bytes) {
      DWORD error = ERROR_INTERNET_OPERATION_CANCELLED;
      const bool asked = handles_.QueryInfo(infoLevel, buffer, bytes, error);
      SetLastError(error);
      return asked && error == 0;
    });
    return !handles_.Aborted();
  }

  // True for an accepted answer, false for a proxy's demand for credentials that the dialog may answer;
  // throws otherwise.
  bool CheckStatusCode(bool noCredentials) {
    OperationTag tag(L"CheckStatusCode");
    const DWORD code = answer_.status;
    if (code == 0) {
      LogFailure(L"Failed to check the status code: ", answer_.statusError);
      Throw(PELK_E_HTTP_STATUS);
    }
    if (IsLogEnabled()) LogLine(L"\tStatus Code: " + Dec(static_cast<int>(code)));
    if (code == kProxyAuthenticationRequired) {
      if (noCredentials || options_.noPrompt) Throw(PELK_E_PROXY_AUTH);
      tag.Dismiss();
      return false;
    }
    const StatusCode failure = HttpStatusFailure(code);
    if (failure != 0) Throw(failure);
    return true;
  }

  bool AskForAuthentication(bool& entered) {
    OperationTag tag(L"AskForAuthentication");
    const HWND window = options_.parentWindow ? options_.parentWindow : GetDesktopWindow();
    DWORD result = 0;
    if (!handles_.AskForCredentials(g_credentialsDialog.load(), window, kCredentialsDialogFlags, result)) {
      return false;
    }
    if (IsLogEnabled()) LogLine(L"\tAuthentication result: " + Hex(result));
    entered = result == ERROR_INTERNET_FORCE_RETRY;
    return true;
  }

  InternetHandles& handles_;
  const RequestOptions& options_;
  HttpAnswer& answer_;
};

}  // namespace

CredentialsDialog SetCredentialsDialog(CredentialsDialog dialog) {
  return g_credentialsDialog.exchange(dialog ? dialog : &InternetErrorDlg);
}

bool SendRequest(InternetHandles& handles, const RequestOptions& options, const std::wstring& body,
                 const std::vector<std::wstring>& headers, Accept accept, HttpAnswer& answer) {
  return Request(handles, options, answer).Send(body, headers, accept);
}

}  // namespace hv
