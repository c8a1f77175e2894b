// A fixture for tests of the exported API: a local HTTP server standing in for the distribution service
// and a download server, the registry pointing the library at it, and the DLL loaded as a caller loads it.
#pragma once

#include <gtest/gtest.h>
#include <hvpelk/loader.h>
#include <hvpelk/version.h>  // the version the user agents and packets carry

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "common/scratch.h"
#include "common/service_texts.h"
#include "common/test_server.h"

namespace hvtest {

class ApiTest : public ::testing::Test {
 protected:
  using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;

  void SetUp() override;

  // Opens a connection and fails the test if that does not work.
  int32_t Open(int32_t flags = 0, const wchar_t* locale = L"de-DE");
  // Requests to the service path whose "cmd" parameter is command.
  std::vector<RecordedRequest> Sent(const std::string& command) const;
  // Serves body at /files/<name> with Content-Length and a Content-Type, honouring "Range: bytes=N-".
  void ServeFile(const std::string& name, const std::string& body);
  std::wstring FileUrl(const std::string& name) const { return server.WUrl("/files/" + name); }
  std::string NarrowFileUrl(const std::string& name) const { return server.Url("/files/" + name); }

  // Text of a distribution field through a getter, as a caller reads it.
  std::wstring Text(decltype(&PelkGetContentId) getter, int32_t handle, int32_t index);

  Handler onPing, onQuery, onReport;
  TestServer server;
  ScratchKey trellin{HKEY_LOCAL_MACHINE, L"SOFTWARE\\Halvorn\\Trellin"};
  TempDir temp;
  hvpelk::Library pelk;
};

}  // namespace hvtest
