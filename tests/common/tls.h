// TLS fixtures for tests under Wine: certificates made with the host's openssl command, a test CA trusted
// in the local machine's "Root" store, and "openssl s_server -HTTP" as the HTTPS server.
//
// Wine starts an ELF program through CreateProcessW but hands back no process handle and passes no
// standard handles to it, so a Unix-side script reports back over a TCP connection to the test process
// (bash's /dev/tcp). That connection is also the script's lifeline: once the test closes it (or dies),
// a script waiting on it ends and takes its server with it.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <functional>
#include <memory>
#include <string>

#include "common/scratch.h"

namespace hvtest {

// A bash script started on the Unix side, in the given folder, with stdin, stdout and stderr on the channel.
class UnixScript {
 public:
  UnixScript(const std::wstring& folder, const std::string& body);
  ~UnixScript();  // closes the channel
  UnixScript(const UnixScript&) = delete;
  UnixScript& operator=(const UnixScript&) = delete;

  // Reads output until done(output) holds (true), or the channel ends or timeoutMs passes (false).
  bool ReadUntil(const std::function<bool(const std::string&)>& done, int timeoutMs);
  // Reads to the end of the script and returns its exit status; -1 when it did not end within timeoutMs.
  int Wait(int timeoutMs);
  const std::string& output() const { return output_; }

 private:
  SOCKET channel_ = INVALID_SOCKET;
  bool closed_ = false;
  std::string output_;
};

// The Unix path of a Windows path ("" when Wine cannot map it).
std::string UnixPath(const std::wstring& path);

// A test CA and server certificates, all with one RSA key: "trusted.pem" (DNS:localhost, signed by the CA),
// "expired.pem" (the same, valid only in January 2020), "wrong-host.pem" (DNS:wrong-host.invalid, signed
// by the CA) and "untrusted.pem" (DNS:localhost, self-signed). Made once per test suite; fails the test
// when openssl fails.
class TestCertificates {
 public:
  TestCertificates();
  const std::wstring& folder() const { return dir_.path(); }
  const std::string& caDer() const { return caDer_; }  // the CA certificate, DER encoded
  bool ok() const { return !caDer_.empty(); }

 private:
  TempDir dir_;
  std::string caDer_;
};

// Trusts a CA certificate in the local machine's "Root" store for the object's lifetime.
class TrustedRoot {
 public:
  explicit TrustedRoot(const std::string& der);
  ~TrustedRoot();  // removes the certificate again
  TrustedRoot(const TrustedRoot&) = delete;
  TrustedRoot& operator=(const TrustedRoot&) = delete;

 private:
  std::string der_;
};

// "openssl s_server -HTTP" on 127.0.0.1 with one of the certificates above, answering the path of Url()
// with a complete HTTP response (status line, Content-Length, "Connection: close", body). It serves one
// connection at a time and stops when the object is destroyed.
class TlsServer {
 public:
  TlsServer(const TestCertificates& certificates, const std::string& certificateFile, const std::string& body);
  int port() const { return port_; }
  std::wstring Url() const;  // https://localhost:<port>/<response file>

 private:
  std::string responseFile_;
  std::unique_ptr<UnixScript> script_;
  int port_ = -1;
};

}  // namespace hvtest
