#include "common/api_fixture.h"

#include <map>
#include <mutex>

namespace hvtest {

std::string AnswerPacket(int status, const std::string& body) {
  return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<packet><header><date>12/07/26</date><server><status code=\"" +
         std::to_string(status) + "\">answer</status></server></header><body>" + body + "</body></packet>";
}

std::string UpdateElement(const Update& u) {
  return "<update><ID>" + u.id + "</ID><productName>" + u.product + "</productName><downloadSize>" + u.size +
         "</downloadSize><plugin><downloadUrl>" + u.url + "</downloadUrl><downloadChecksum>" + u.checksum +
         "</downloadChecksum></plugin><updateInfo><client><hvdistid DistPackageGUID=\"" + u.package +
         "\" DistributionGUID=\"" + u.guid + "\" DistributionLanguage=\"" + u.language +
         "\" DistributionVersion=\"" + u.version + "\"/></client></updateInfo></update>";
}

std::wstring BodyText(const std::string& bytes) {
  std::wstring text;
  for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
    text.push_back(static_cast<wchar_t>(static_cast<unsigned char>(bytes[i]) |
                                        (static_cast<unsigned char>(bytes[i + 1]) << 8)));
  }
  return text;
}

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
