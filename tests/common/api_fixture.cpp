#include "common/api_fixture.h"

#include <map>
#include <mutex>

namespace hvtest {

void ApiTest::SetUp() {
  auto service = [this](const httplib::Request& req, httplib::Response& res) {
    const std::string command = req.get_param_value("cmd");
    Handler& handler = command == "PingCmd:Ping" ? onPing : command == "ContentCmd:Query" ? onQuery : onReport;
    if (handler) {
      handler(req, res);
    } else {
      res.set_content(AnswerPacket(0), "text/xml");
    }
  };
  server.server().Get("/hvtr/trellin", service);
  server.server().Post("/hvtr/trellin", service);
  server.Start();
  trellin.SetString(trellin.path(), L"S_URL", server.WUrl("/hvtr/trellin"));
  ASSERT_TRUE(pelk.Loaded());
}

int32_t ApiTest::Open(int32_t flags, const wchar_t* locale) {
  int32_t handle = 0;
  EXPECT_EQ(PELK_S_OK, pelk.PelkOpen(L"Setup", L"3.1", L"Wrap", L"1.2", locale, flags, &handle));
  return handle;
}

std::vector<RecordedRequest> ApiTest::Sent(const std::string& command) const {
  std::vector<RecordedRequest> matching;
  for (const RecordedRequest& request : server.Requests()) {
    if (request.target.find("cmd=" + command) != std::string::npos) matching.push_back(request);
  }
  return matching;
}

void ApiTest::ServeFile(const std::string& name, const std::string& body) {
  // httplib answers "Range: bytes=N-" itself with 206 and the tail of the body.
  server.server().Get("/files/" + name, [body](const httplib::Request&, httplib::Response& res) {
    res.set_content(body, "application/octet-stream");
  });
}

std::wstring ApiTest::Text(decltype(&PelkGetContentId) getter, int32_t handle, int32_t index) {
  VARIANT text;
  VariantInit(&text);
  EXPECT_EQ(PELK_S_OK, getter(handle, index, &text));
  std::wstring value = V_VT(&text) == VT_BSTR && V_BSTR(&text) ? V_BSTR(&text) : L"<not a BSTR>";
  VariantClear(&text);
  return value;
}

}  // namespace hvtest
