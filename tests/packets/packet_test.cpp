#include "packets/packet.h"

#include <gtest/gtest.h>

#include <hvpelk/version.h>

#include "common/packets_fixture.h"

namespace hv {
namespace {

class TestCommand : public XmlWritable {
 public:
  void Write(PacketDocument&, XmlElement element) const override { AddTextElement(element, L"x", L"1", true); }
};

class EmptyCommand : public XmlWritable {
 public:
  void Write(PacketDocument&, XmlElement) const override {}
};

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
  EXPECT_EQ(expected, packet.Text());

  // Empty names still give start and end tags, empty versions an empty value.
  EmptyCommand empty;
  const Packet bare(PacketHeader(ClientIdentity(), L""), L"none", empty);
  EXPECT_EQ(L"\xFEFF<?xml version=\"1.0\"?>\n" + hvtest::RootLine() +
                L"\t<header>\n"
                L"\t\t<locale />\n"
                L"\t\t<date />\n"
                L"\t\t<client>\n"
                L"\t\t\t<swapp version=\"\"></swapp>\n"
                L"\t\t\t<corelib version=\"" HVPELK_VERSION_TEXT
                "\">hvpelk</corelib>\n"
                L"\t\t\t<wrapperlib version=\"\"></wrapperlib>\n"
                L"\t\t</client>\n"
                L"\t</header>\n"
                L"\t<body>\n"
                L"\t\t<none />\n"
                L"\t</body>\n"
                L"</packet>\n",
            bare.Text());
}

std::string WithStatusCode(const std::string& code) {
  return "<packet><header><server><status code=\"" + code + "\">m</status></server></header></packet>";
}

TEST(PacketResponse, HeaderStatusAndBody) {
  const AnswerPacket full(
      "<answer>"
      "<header><locale>xx</locale><date>2026-01-02</date>"
      "<client><swapp version=\"1\">App</swapp></client>"
      "<server><status code=\" 42abc\">Busy\nnow</status></server></header>"
      "<body><update/></body></answer>");
  EXPECT_EQ(42, full.ServiceStatusCode());
  EXPECT_EQ(PELK_E_SERVICE_UNKNOWN, hvtest::StatusOf([&] { full.CheckServiceStatus(); }));
  ASSERT_TRUE(full.Body());
  EXPECT_TRUE(FindChild(full.Body(), L"update"));

  // A packet without a header or a status reads as success; XML that is no packet is none of the service's.
  for (const char* body : {"<packet><header/></packet>", "<packet><header><server/></header></packet>",
                           "<packet><header><status code=\"900\"/></header></packet>", "<packet/>",
                           "<p:packet xmlns:p=\"urn:x\"><p:header/></p:packet>"}) {
    const AnswerPacket partial(body);
    EXPECT_EQ(0, partial.ServiceStatusCode()) << body;
    EXPECT_EQ(0, hvtest::StatusOf([&] { partial.CheckServiceStatus(); })) << body;
    EXPECT_FALSE(partial.Body()) << body;
  }
  for (const char* body : {"<packets><p:header><server><status code=\"0\"/></server></p:header></packets>",
                           "<html><head><title>Sign in</title></head><body>Wi-Fi</body></html>"}) {
    EXPECT_EQ(PELK_E_SERVICE_UNKNOWN, hvtest::StatusOf([&] { AnswerPacket(body).CheckServiceStatus(); })) << body;
  }

  const std::pair<const char*, int32_t> codes[] = {{"6000", 6000},
                                                   {"-10", -10},
                                                   {"+7", 7},
                                                   {"  12", 12},
                                                   {"abc", 0},
                                                   {"", 0},
                                                   {"0x10", 0},
                                                   {"99999999999", 2147483647},
                                                   {"-99999999999", -2147483647 - 1},
                                                   {"- 5", 0}};
  for (const auto& code : codes) {
    EXPECT_EQ(code.second, AnswerPacket(WithStatusCode(code.first)).ServiceStatusCode()) << code.first;
  }
  EXPECT_EQ(PELK_E_MALFORMED_RESPONSE, hvtest::StatusOf([] { AnswerPacket("<packet>"); }));
  EXPECT_EQ(PELK_E_EMPTY_RESPONSE, hvtest::StatusOf([] { AnswerPacket(""); }));
}

TEST(PacketResponse, ServiceStatusMapping) {
  const std::pair<int32_t, uint32_t> table[] = {
      {10, 0x80008006},   {100, 0x80008003}, {200, 0x80008003}, {300, 0x80008004}, {400, 0x80008004},
      {500, 0x80008004},  {600, 0x80008004}, {700, 0x80008005}, {800, 0x80008005}, {900, 0x80008002},
      {6000, 0x80008007}, {42, 0x80008001},  {-10, 0x80008001}, {1, 0x80008001},   {-2147483647 - 1, 0x80008001}};
  for (const auto& row : table) {
    EXPECT_EQ(static_cast<StatusCode>(row.second), MapServerStatus(row.first)) << row.first;
  }
}

}  // namespace
}  // namespace hv
