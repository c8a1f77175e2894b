#include "common/tls.h"

#include <gtest/gtest.h>
#include <wincrypt.h>

#include <algorithm>
#include <atomic>
#include <chrono>

#include "common/test_server.h"

namespace hvtest {
namespace {

// Channel reads never block longer than this between checks of the overall deadline.
constexpr int kPollMs = 200;

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// True when the socket is readable within timeoutMs.
bool Readable(SOCKET socket, int timeoutMs) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(socket, &set);
  timeval wait = {timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  return select(0, &set, nullptr, nullptr, &wait) == 1;
}

struct WinsockUser {
  WinsockUser() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
  }
  ~WinsockUser() { WSACleanup(); }
};

}  // namespace

std::string UnixPath(const std::wstring& path) {
  // Wine's own export; it does not exist on Windows, where these fixtures cannot run anyway.
  using ToUnix = char*(CDECL*)(const wchar_t*);
  auto toUnix = reinterpret_cast<ToUnix>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  if (!toUnix) return std::string();
  char* unix = toUnix(path.c_str());
  if (!unix) return std::string();
  std::string result(unix);
  HeapFree(GetProcessHeap(), 0, unix);
  return result;
}

UnixScript::UnixScript(const std::wstring& folder, const std::string& body) {
  static WinsockUser winsock;
  static std::atomic<int> counter{0};

  SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof(address);
  if (listener == INVALID_SOCKET || bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      listen(listener, 1) != 0 || getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ADD_FAILURE() << "no local socket for the script's channel";
    closesocket(listener);
    closed_ = true;
    return;
  }

  const std::wstring scriptPath = folder + L"\\script-" + std::to_wstring(counter++) + L".sh";
  const std::string script = "exec </dev/null >/dev/null 2>&1 3<>/dev/tcp/127.0.0.1/" +
                             std::to_string(ntohs(address.sin_port)) +
                             " || exit 1\n"
                             "cd \"$(dirname \"$0\")\" || exit 1\n"
                             "{\n" +
                             body +
                             "\n} <&3 >&3 2>&1\n"
                             "echo \"exit status $?\" >&3\n";
  WriteFileBytes(scriptPath, script);

  // Wine runs an ELF program named by its Unix path; the arguments are split by the Windows rules.
  std::wstring commandLine = L"/bin/bash \"" + Widen(UnixPath(scriptPath)) + L"\"";
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(L"/bin/bash", &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process)) {
    ADD_FAILURE() << "cannot start /bin/bash: " << GetLastError();
  } else {
    // For a Unix program Wine returns a null process handle and leaves a stray value (no handle) in
    // hThread: closing it could close some unrelated handle of this process, so neither is touched.
    if (Readable(listener, 30000)) channel_ = accept(listener, nullptr, nullptr);
    if (channel_ == INVALID_SOCKET) ADD_FAILURE() << "the Unix script did not connect back";
  }
  closed_ = channel_ == INVALID_SOCKET;
  closesocket(listener);
}

UnixScript::~UnixScript() {
  if (channel_ != INVALID_SOCKET) closesocket(channel_);
}

bool UnixScript::ReadUntil(const std::function<bool(const std::string&)>& done, int timeoutMs) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done(output_)) {
    if (closed_ || RemainingMs(deadline) == 0) return false;
    if (!Readable(channel_, std::min(kPollMs, RemainingMs(deadline)))) continue;
    char buffer[4096];
    const int got = recv(channel_, buffer, sizeof(buffer), 0);
    if (got <= 0) {
      closed_ = true;
    } else {
      output_.append(buffer, static_cast<size_t>(got));
    }
  }
  return true;
}

int UnixScript::Wait(int timeoutMs) {
  ReadUntil([](const std::string&) { return false; }, timeoutMs);
  const size_t at = output_.rfind("exit status ");
  if (!closed_ || at == std::string::npos) return -1;
  return atoi(output_.c_str() + at + 12);
}

TestCertificates::TestCertificates() {
  // One RSA key serves every server certificate: key generation is the slow part.
  const std::string script = R"(set -e
openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 30 -subj "/CN=hvpelk test CA" \
  -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign
openssl x509 -in ca.pem -outform DER -out ca.der
openssl genrsa -out server.key 2048
openssl req -new -key server.key -subj /CN=localhost -out server.csr
printf '[ca]\ndefault_ca = test_ca\n[test_ca]\ndatabase = index.txt\nnew_certs_dir = .\nserial = serial.txt\n' > ca.cnf
printf 'default_md = sha256\npolicy = any_name\nunique_subject = no\n[any_name]\ncommonName = supplied\n' >> ca.cnf
: > index.txt
echo 01 > serial.txt
printf 'subjectAltName=DNS:localhost\n' > localhost.ext
printf 'subjectAltName=DNS:wrong-host.invalid\n' > wrong-host.ext
sign() {
  openssl ca -batch -notext -config ca.cnf -cert ca.pem -keyfile ca.key -in server.csr -out "$1" -subj "$2" \
    -extfile "$3" "${@:4}"
}
sign trusted.pem /CN=localhost localhost.ext -days 30
sign expired.pem /CN=localhost localhost.ext -startdate 20200101000000Z -enddate 20200131000000Z
sign wrong-host.pem /CN=wrong-host.invalid wrong-host.ext -days 30
openssl req -x509 -key server.key -subj /CN=localhost -addext subjectAltName=DNS:localhost -days 30 \
  -out untrusted.pem
)";
  UnixScript run(dir_.path(), script);
  const int status = run.Wait(120000);
  if (status != 0) {
    ADD_FAILURE() << "making the test certificates failed (" << status << "):\n" << run.output();
    return;
  }
  caDer_ = ReadFileBytes(dir_.File(L"ca.der"));
  if (caDer_.empty()) ADD_FAILURE() << "no ca.der";
}

namespace {

// The registry-backed machine store: Wine's chain engine trusts what is stored there (the host's own
// roots are imported into it). A certificate added through the logical system store provider
// (CERT_STORE_PROV_SYSTEM_W) stays in a copy that no later open sees, and changes to the registry store
// reach the registry only when the store is closed.
HCERTSTORE OpenMachineRoot() {
  return CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
}

}  // namespace

TrustedRoot::TrustedRoot(const std::string& der) : der_(der) {
  HCERTSTORE store = OpenMachineRoot();
  if (!store) {
    ADD_FAILURE() << "cannot open the Root store: " << GetLastError();
    return;
  }
  if (!CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der_.data()),
                                        static_cast<DWORD>(der_.size()), CERT_STORE_ADD_REPLACE_EXISTING, nullptr)) {
    ADD_FAILURE() << "cannot add the test CA to the Root store: " << GetLastError();
  }
  CertCloseStore(store, 0);
}

TrustedRoot::~TrustedRoot() {
  HCERTSTORE store = OpenMachineRoot();
  PCCERT_CONTEXT wanted = CertCreateCertificateContext(X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der_.data()),
                                                       static_cast<DWORD>(der_.size()));
  PCCERT_CONTEXT found =
      store && wanted ? CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, wanted, nullptr)
                      : nullptr;
  // Deleting frees the found context.
  if (!found || !CertDeleteCertificateFromStore(found)) ADD_FAILURE() << "the test CA stays in the Root store";
  if (wanted) CertFreeCertificateContext(wanted);
  if (store) CertCloseStore(store, 0);
}

TlsServer::TlsServer(const TestCertificates& certificates, const std::string& certificateFile,
                     const std::string& body) {
  static std::atomic<int> counter{0};
  responseFile_ = "response-" + std::to_string(counter++) + ".http";
  WriteFileBytes(certificates.folder() + L"\\" + Widen(responseFile_),
                 "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) +
                     "\r\nConnection: close\r\n\r\n" + body);
  // The server runs in the background; the script waits for its channel to close and then stops it.
  script_ = std::make_unique<UnixScript>(certificates.folder(),
                                         "openssl s_server -HTTP -accept 127.0.0.1:0 -cert " + certificateFile +
                                             " -key server.key &\nserver=$!\ncat >/dev/null\nkill $server\n");
  const std::string marker = "ACCEPT 127.0.0.1:";
  const bool listening = script_->ReadUntil(
      [&](const std::string& out) {
        const size_t at = out.find(marker);
        return at != std::string::npos && out.find('\n', at) != std::string::npos;
      },
      30000);
  if (!listening) {
    ADD_FAILURE() << "openssl s_server did not start:\n" << script_->output();
    return;
  }
  port_ = atoi(script_->output().c_str() + script_->output().find(marker) + marker.size());
}

std::wstring TlsServer::Url() const {
  return L"https://localhost:" + std::to_wstring(port_) + L"/" + Widen(responseFile_);
}

}  // namespace hvtest
