#include "packets/packet.h"

#include <gtest/gtest.h>

#include "test_util.h"

namespace hv {
namespace {

class TestCommand : public XmlWritable {
 public:
  void Write(PacketDocument&, XmlElement element) const override { AddTextElement(element, L"x", L"1", true); }
};

std::wstring Envelope(const Packet& packet) {
  PacketDocument document(L"packet", kPacketNamespace);
  packet.Write(document, document.Root());
  return document.Save(true, true);
}

TEST(PacketEnvelope, RequestDocument) {
  const std::wstring uri = kPacketNamespace;
  ASSERT_GT(uri.size(), 3u);
  EXPECT_EQ(L"2.0", uri.substr(uri.size() - 3));
  EXPECT_EQ(uri + L" Schemas/Common/2.0/Packet.xsd", PacketSchemaLocation());

  TestCommand command;
  const Packet packet(PacketHeader(hvtest::TestIdentity(), L"de-DE"), L"testCommand", command);
  const std::wstring expected = hvtest::PacketStart(L"\t\t<locale>de-DE</locale>\n") +
                                L"\t\t<testCommand>\n"
                                L"\t\t\t<x>1</x>\n"
                                L"\t\t</testCommand>\n"
                                L"\t</body>\n"
                                L"</packet>\n";
  EXPECT_EQ(expected, Envelope(packet));
  EXPECT_EQ(expected, Envelope(Packet(packet)));

  // No command: an empty body. Empty names still give start and end tags, empty versions an empty value.
  const Packet bare{PacketHeader(ClientIdentity(), L"")};
  EXPECT_EQ(L"\xFEFF<?xml version=\"1.0\"?>\n" + hvtest::RootLine() +
                L"\t<header>\n"
                L"\t\t<locale />\n"
                L"\t\t<date />\n"
                L"\t\t<client>\n"
                L"\t\t\t<swapp version=\"\"></swapp>\n"
                L"\t\t\t<corelib version=\"14.0.0\">hvpelk</corelib>\n"
                L"\t\t\t<wrapperlib version=\"\"></wrapperlib>\n"
                L"\t\t</client>\n"
                L"\t</header>\n"
                L"\t<body />\n"
                L"</packet>\n",
            Envelope(bare));
}

class Response {
 public:
  explicit Response(const std::string& body) {
    document_.Load(body);
    packet_ = std::make_unique<Packet>(document_.Root());
  }
  const Packet& packet() const { return *packet_; }
  const PacketHeader& header() const { return packet_->Header(); }

 private:
  PacketDocument document_;
  std::unique_ptr<Packet> packet_;
};

std::string WithStatusCode(const std::string& code) {
  return "<packet><header><server><status code=\"" + code + "\">m</status></server></header></packet>";
}

TEST(PacketResponse, HeaderStatusAndBody) {
  const Response full(
      "<answer>"
      "<header><locale>xx</locale><date>2026-01-02</date>"
      "<client><swapp version=\"1\">App</swapp><corelib version=\"9\">core</corelib>"
      "<wrapperlib version=\"3\">Wrap</wrapperlib></client>"
      "<server><status code=\" 42abc\">Busy\nnow</status></server></header>"
      "<body><update/></body></answer>");
  const PacketHeader& header = full.header();
  EXPECT_EQ(L"2026-01-02", header.Date());
  EXPECT_EQ(L"", header.Locale());
  EXPECT_EQ(L"App", header.Identity().appName);
  EXPECT_EQ(L"1", header.Identity().appVersion);
  EXPECT_EQ(L"core", header.Identity().coreName);
  EXPECT_EQ(L"9", header.Identity().coreVersion);
  EXPECT_EQ(L"Wrap", header.Identity().wrapperName);
  EXPECT_EQ(L"3", header.Identity().wrapperVersion);
  EXPECT_EQ(L" 42abc", header.StatusCodeText());
  EXPECT_EQ(L"Busy\r\nnow", header.StatusMessage());
  EXPECT_EQ(42, header.ServiceStatusCode());
  EXPECT_EQ(PELK_E_SERVICE_UNKNOWN, MapServerStatus(header.ServiceStatusCode()));
  ASSERT_TRUE(full.packet().BodyElement());
  EXPECT_TRUE(FindChild(full.packet().BodyElement(), L"update"));
  EXPECT_FALSE(Packet(full.packet()).BodyElement());  // a copy does not point into the document

  // Missing parts read as success and an absent body.
  for (const char* body : {"<packet/>", "<packet><header/></packet>", "<packet><header><server/></header></packet>",
                           "<packet><p:header><server><status code=\"900\"/></server></p:header></packet>",
                           "<packet><header><status code=\"900\"/></header></packet>"}) {
    const Response partial(body);
    EXPECT_EQ(0, partial.header().ServiceStatusCode()) << body;
    EXPECT_EQ(L"", partial.header().StatusMessage()) << body;
    EXPECT_EQ(L"", partial.header().Identity().coreName) << body;
    EXPECT_FALSE(partial.packet().BodyElement()) << body;
  }

  const std::pair<const char*, int32_t> codes[] = {
      {"6000", 6000}, {"-10", -10}, {"+7", 7}, {"  12", 12}, {"abc", 0}, {"", 0}, {"0x10", 0},
      {"99999999999", 2147483647}, {"-99999999999", -2147483647 - 1}, {"- 5", 0}};
  for (const auto& code : codes) {
    EXPECT_EQ(code.second, Response(WithStatusCode(code.first)).header().ServiceStatusCode()) << code.first;
  }
}

TEST(PacketResponse, ServiceStatusMapping) {
  const std::pair<int32_t, uint32_t> table[] = {
      {10, 0x80008006},  {100, 0x80008003}, {200, 0x80008003}, {300, 0x80008004}, {400, 0x80008004},
      {500, 0x80008004}, {600, 0x80008004}, {700, 0x80008005}, {800, 0x80008005}, {900, 0x80008002},
      {6000, 0x80008007}, {42, 0x80008001}, {-10, 0x80008001}, {1, 0x80008001}, {-2147483647 - 1, 0x80008001}};
  for (const auto& row : table) {
    EXPECT_EQ(static_cast<StatusCode>(row.second), MapServerStatus(row.first)) << row.first;
  }
}

}  // namespace
}  // namespace hv
