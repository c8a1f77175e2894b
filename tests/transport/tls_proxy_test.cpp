// HTTPS against openssl's test server with certificates made for the purpose, and HTTP through a local
// proxy that demands credentials, both through the whole Submit flow.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/proxy.h"
#include "common/tls.h"
#include "transport/http_session.h"
#include "common/transport_fixture.h"

namespace {

class Tls : public ::testing::Test {
 protected:
  // Certificates take a few seconds to make: once for all cases, trusted for as long as they run.
  static void SetUpTestSuite() {
    certificates_ = new hvtest::TestCertificates;
    if (certificates_->ok()) root_ = new hvtest::TrustedRoot(certificates_->caDer());
  }
  static void TearDownTestSuite() {
    delete root_;
    root_ = nullptr;
    delete certificates_;
    certificates_ = nullptr;
  }
  void SetUp() override { ASSERT_TRUE(certificates_->ok()); }

  static hvtest::TestCertificates* certificates_;
  static hvtest::TrustedRoot* root_;
};

hvtest::TestCertificates* Tls::certificates_ = nullptr;
hvtest::TrustedRoot* Tls::root_ = nullptr;

TEST_F(Tls, CertificateFromTheTrustedCaIsAccepted) {
  hvtest::TlsServer text(*certificates_, "trusted.pem", "<packet>over tls</packet>");
  hvtest::Exchanges session;
  std::string response;
  EXPECT_EQ(0, hvtest::SubmitStatus(session, text.Url(), L"", response));
  EXPECT_EQ("<packet>over tls</packet>", response);
  EXPECT_EQ(PELK_PHASE_FINISHED, session.Progress().state);

  // A download to a file over TLS, verified against its checksum.
  const std::string data = hvtest::SampleBytes(300000, 9);
  hvtest::TlsServer download(*certificates_, "trusted.pem", data);
  hvtest::TempDir dir;
  const std::wstring target = dir.File(L"download.bin");
  hvtest::Exchanges fileSession;
  fileSession.StreamToFile(target, hvtest::Md5Of(data));
  EXPECT_EQ(0, hvtest::SubmitStatus(fileSession, download.Url(), L"", response));
  EXPECT_TRUE(hvtest::ReadFileBytes(target) == data);
}

TEST_F(Tls, CertificateFaultsFailWithTheirCodes) {
  struct Case {
    const char* certificate;
    hv::StatusCode expected;
  };
  // An expired certificate and one for another host, both from the trusted CA; then a self-signed one
  // for the right host, which no retry may let through.
  for (const Case& c : {Case{"expired.pem", PELK_E_CERT_DATE}, Case{"wrong-host.pem", PELK_E_CERT_NAME},
                        Case{"untrusted.pem", PELK_E_CONNECTION}}) {
    SCOPED_TRACE(c.certificate);
    hvtest::TlsServer server(*certificates_, c.certificate, "must not arrive");
    hvtest::Exchanges session;
    std::string response = "before";
    EXPECT_EQ(c.expected, hvtest::SubmitStatus(session, server.Url(), L"", response));
    EXPECT_EQ("", response);
    EXPECT_EQ(c.expected, session.Progress().state);
    // The same session tried again fails the same way.
    EXPECT_EQ(c.expected, hvtest::SubmitStatus(session, server.Url(), L"", response));
  }
}

// What the replacement credentials dialog does on each call, and what it saw.
// AbortThenEnter: the caller cancels while the dialog is up (aborting abortee), then credentials come.
enum class DialogAction { Cancel, EnterRight, EnterWrong, AbortThenEnter };
struct DialogScript {
  std::vector<DialogAction> actions;
  hvtest::Exchanges* abortee = nullptr;
  size_t calls = 0;
  std::vector<DWORD> errors;
  bool requestHandleGiven = true;
};
DialogScript g_dialog;

void SetProxyCredentials(HINTERNET request, const wchar_t* user, const wchar_t* password) {
  InternetSetOptionW(request, INTERNET_OPTION_PROXY_USERNAME, const_cast<wchar_t*>(user),
                     static_cast<DWORD>(wcslen(user) + 1));
  InternetSetOptionW(request, INTERNET_OPTION_PROXY_PASSWORD, const_cast<wchar_t*>(password),
                     static_cast<DWORD>(wcslen(password) + 1));
}

// Stands in for the system dialog: stores credentials on the request as the dialog does, or cancels.
DWORD WINAPI ScriptedDialog(HWND, HINTERNET request, DWORD error, DWORD, LPVOID*) {
  const DialogAction action =
      g_dialog.calls < g_dialog.actions.size() ? g_dialog.actions[g_dialog.calls] : DialogAction::Cancel;
  ++g_dialog.calls;
  g_dialog.errors.push_back(error);
  if (!request) g_dialog.requestHandleGiven = false;
  switch (action) {
    case DialogAction::AbortThenEnter: g_dialog.abortee->Stop(); [[fallthrough]];
    case DialogAction::EnterRight:
      SetProxyCredentials(request, L"proxyuser", L"proxy secret");
      return ERROR_INTERNET_FORCE_RETRY;
    case DialogAction::EnterWrong:
      SetProxyCredentials(request, L"proxyuser", L"wrong");
      return ERROR_INTERNET_FORCE_RETRY;
    case DialogAction::Cancel: break;
  }
  return ERROR_CANCELLED;
}

class Proxy : public ::testing::Test {
 protected:
  void SetUp() override {
    g_dialog = DialogScript();
    previous_ = hv::SetCredentialsDialog(&ScriptedDialog);
  }
  void TearDown() override { hv::SetCredentialsDialog(previous_); }

  // The origin host does not exist: only the proxy can answer.
  const std::wstring url_ = L"http://service.hvpelk.invalid/hvtr/trellin?cmd=ContentCmd%3AQuery";
  hvtest::TestProxy proxy_{"proxyuser", "proxy secret", "<packet>from the proxy</packet>"};
  hv::CredentialsDialog previous_ = nullptr;
};

TEST_F(Proxy, NoPromptOrCancelledDialogFailsWithProxyAuth) {
  hvtest::Exchanges quiet;
  quiet.SetNoPrompt(true);
  std::string response;
  EXPECT_EQ(PELK_E_PROXY_AUTH, hvtest::SubmitStatus(quiet, url_, L"", response));
  EXPECT_EQ(0u, g_dialog.calls);
  ASSERT_EQ(1u, proxy_.server().Requests().size());
  // The request reached the proxy in absolute form.
  const hvtest::RecordedRequest first = proxy_.server().Requests()[0];
  EXPECT_EQ(0u, first.target.find("http://service.hvpelk.invalid"));
  EXPECT_NE(std::string::npos, first.target.find("/hvtr/trellin?cmd=ContentCmd%3AQuery"));
  EXPECT_FALSE(first.HasHeader("Proxy-Authorization"));

  hvtest::Exchanges declining;
  EXPECT_EQ(PELK_E_PROXY_AUTH, hvtest::SubmitStatus(declining, url_, L"", response));
  EXPECT_EQ(1u, g_dialog.calls);
  EXPECT_EQ(2u, proxy_.server().Requests().size());
  EXPECT_EQ(PELK_E_PROXY_AUTH, declining.Progress().state);
}

TEST_F(Proxy, EnteredCredentialsAreSentOnTheRepeatedRequest) {
  g_dialog.actions = {DialogAction::EnterRight};
  hvtest::Exchanges session;
  std::string response;
  EXPECT_EQ(0, hvtest::SubmitStatus(session, url_, L"", response));
  EXPECT_EQ("<packet>from the proxy</packet>", response);
  EXPECT_EQ(1u, g_dialog.calls);
  EXPECT_EQ(std::vector<DWORD>{407}, g_dialog.errors);
  EXPECT_TRUE(g_dialog.requestHandleGiven);

  // WinINet answers the proxy's challenge with the stored credentials itself, so the repeated request may
  // reach the proxy twice; the last one carries them.
  const std::vector<hvtest::RecordedRequest> requests = proxy_.server().Requests();
  ASSERT_GE(requests.size(), 2u);
  EXPECT_FALSE(requests.front().HasHeader("Proxy-Authorization"));
  EXPECT_EQ(proxy_.ExpectedAuthorization(), requests.back().Header("Proxy-Authorization"));
  EXPECT_EQ(requests.front().target, requests.back().target);
}

TEST_F(Proxy, RepeatedPostCarriesTheWholeBody) {
  // Wine's WinINet does not answer a challenge to a request sent with HttpSendRequestEx, so whether the
  // POST gets through depends on the platform; the repeated request has to be the same POST either way.
  g_dialog.actions = {DialogAction::EnterRight, DialogAction::Cancel};
  hvtest::Exchanges session;
  std::string response;
  const hv::StatusCode status = hvtest::SubmitStatus(session, url_, L"<query/>", response);
  EXPECT_TRUE(status == 0 || status == PELK_E_PROXY_AUTH) << status;

  const std::vector<hvtest::RecordedRequest> requests = proxy_.server().Requests();
  ASSERT_GE(requests.size(), 2u);
  for (const hvtest::RecordedRequest& request : requests) {
    EXPECT_EQ("POST", request.method);
    EXPECT_EQ(requests.front().target, request.target);
    EXPECT_EQ(std::string("<\0q\0u\0e\0r\0y\0/\0>\0", 16), request.body);
  }
}

TEST_F(Proxy, RejectedCredentialsAskAgain) {
  // Wrong, then right: the dialog comes up twice and the exchange succeeds.
  g_dialog.actions = {DialogAction::EnterWrong, DialogAction::EnterRight};
  hvtest::Exchanges session;
  std::string response;
  EXPECT_EQ(0, hvtest::SubmitStatus(session, url_, L"", response));
  EXPECT_EQ("<packet>from the proxy</packet>", response);
  EXPECT_EQ(2u, g_dialog.calls);
  EXPECT_EQ(proxy_.ExpectedAuthorization(), proxy_.server().Requests().back().Header("Proxy-Authorization"));

  // Wrong, then cancelled: declining at the second prompt fails like declining at the first.
  g_dialog = DialogScript();
  g_dialog.actions = {DialogAction::EnterWrong, DialogAction::Cancel};
  hvtest::Exchanges second;
  EXPECT_EQ(PELK_E_PROXY_AUTH, hvtest::SubmitStatus(second, url_, L"", response));
  EXPECT_EQ(2u, g_dialog.calls);
  EXPECT_EQ("", response);
}

// An abort while the dialog is up ends the exchange quietly: no WinINet call follows it, so the request
// is not sent again with the credentials.
TEST_F(Proxy, AnAbortDuringTheDialogSendsNothingMore) {
  hvtest::Exchanges session;
  g_dialog.actions = {DialogAction::AbortThenEnter};
  g_dialog.abortee = &session;
  std::string response = "stale";
  EXPECT_EQ(0, hvtest::SubmitStatus(session, url_, L"", response));
  EXPECT_EQ(PELK_PHASE_CLOSED, session.Progress().state);
  EXPECT_EQ("", response);
  EXPECT_EQ(1u, g_dialog.calls);
  EXPECT_EQ(1u, proxy_.server().Requests().size());
}

}  // namespace
