#include "packets/xml.h"

#include <gtest/gtest.h>

#include "common/packets_fixture.h"

namespace hv {
namespace {

using hvtest::Utf16Le;

StatusCode LoadStatus(PacketDocument& document, const std::string& body) {
  return hvtest::StatusOf([&] { document.Load(body); });
}

TEST(XmlSave, IndentedFormFollowsThePacketRules) {
  PacketDocument document(L"root", L"urn:test");
  XmlElement root = document.Root();
  document.DeclareNamespace(L"x", L"urn:x");
  document.DeclareNamespace(L"none", L"");  // an empty URI adds nothing
  SetAttribute(root, L"order", L"first", false);
  SetAttribute(root, L"skipped", L"", false);
  SetAttribute(root, L"kept", L"", true);
  SetAttribute(root, L"order", L"replaced", false);  // keeps its place

  AddTextElement(root, L"empty", L"", true);
  AddTextElement(root, L"absent", L"", false);
  SetElementText(AppendElement(root, L"blank"), L"");
  AddTextElement(root, L"text", L"a&b<c>d\"e'f\tg\nh\ri\x01j\x1Fk", true);
  XmlElement attributes = AppendElement(root, L"attributes");
  SetAttribute(attributes, L"v", L"a&b<c>d\"e'f\tg\nh\ri\x01j", true);
  XmlElement mixed = AppendElement(root, L"mixed");
  AddTextElement(mixed, L"name", L"n", true);
  SetElementText(mixed, L"value");
  XmlElement deep = AppendElement(AppendElement(root, L"outer"), L"inner");
  AddTextElement(deep, L"leaf", L"1", true);

  const std::wstring expected =
      L"\xFEFF<?xml version=\"1.0\"?>\n"
      L"<root xmlns=\"urn:test\" xmlns:x=\"urn:x\" order=\"replaced\" kept=\"\">\n"
      L"\t<empty />\n"
      L"\t<blank></blank>\n"
      L"\t<text>a&amp;b&lt;c&gt;d\"e'f\tg\nh\ri&#01;j&#31;k</text>\n"
      L"\t<attributes v=\"a&amp;b&lt;c&gt;d&quot;e'f\tg&#10;h&#13;i&#01;j\" />\n"
      L"\t<mixed>\n"
      L"\t\t<name>n</name>\n"
      L"\t\tvalue\n"
      L"\t</mixed>\n"
      L"\t<outer>\n"
      L"\t\t<inner>\n"
      L"\t\t\t<leaf>1</leaf>\n"
      L"\t\t</inner>\n"
      L"\t</outer>\n"
      L"</root>\n";
  EXPECT_EQ(expected, document.Save(true, true));
}

TEST(XmlSave, RawAndWithoutDeclaration) {
  PacketDocument document(L"root", L"");
  AddTextElement(document.Root(), L"a", L"1", true);
  AddTextElement(document.Root(), L"b", L"", true);
  EXPECT_EQ(L"\xFEFF<?xml version=\"1.0\"?><root><a>1</a><b /></root>", document.Save(false, true));
  EXPECT_EQ(L"\xFEFF<root>\n\t<a>1</a>\n\t<b />\n</root>\n", document.Save(true, false));
  EXPECT_EQ(L"\xFEFF", PacketDocument().Save(true, false));
}

TEST(XmlOperations, NullAndNonElementHandlesChangeNothing) {
  XmlElement none;
  EXPECT_FALSE(AppendElement(none, L"a"));
  SetElementText(none, L"t");
  AddTextElement(none, L"a", L"t", true);
  SetAttribute(none, L"a", L"v", true);
  EXPECT_EQ(L"", GetAttribute(none, L"a"));
  EXPECT_FALSE(FindChild(none, L"a"));
  std::vector<XmlElement> list(1);
  EXPECT_EQ(1u, FindChildren(none, L"a", list));
  EXPECT_EQ(L"", GetElementText(none, false));
  EXPECT_EQ(L"", GetChildText(none, L"a"));

  // A text node cannot take children or attributes.
  PacketDocument document(L"root", L"");
  SetElementText(document.Root(), L"t");
  XmlElement text = document.Root().first_child();
  EXPECT_FALSE(AppendElement(text, L"a"));
  SetAttribute(text, L"a", L"v", true);
  SetElementText(text, L"more");
  EXPECT_EQ(L"\xFEFF<root>t</root>\n", document.Save(true, false));
}

TEST(XmlLoad, EncodingsGiveTheSameTree) {
  const std::string utf8 = "<r a=\"\xC3\xA9\"><c>x\xE2\x82\xAC</c><c/></r>";
  const std::wstring wide = L"<r a=\"\x00E9\"><c>x\x20AC</c><c/></r>";
  const std::wstring expected = L"\xFEFF<r a=\"\x00E9\">\n\t<c>x\x20AC</c>\n\t<c />\n</r>\n";
  for (const std::string& body : {utf8, "\xEF\xBB\xBF" + utf8, Utf16Le(L"\xFEFF" + wide),
                                  "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<!-- note -->" + utf8}) {
    PacketDocument document;
    ASSERT_EQ(0, LoadStatus(document, body));
    EXPECT_EQ(L"r", std::wstring(document.Root().name()));
    EXPECT_EQ(expected, document.Save(true, false));
  }
}

TEST(XmlLoad, FailuresLeaveAnEmptyDocument) {
  PacketDocument document;
  ASSERT_EQ(0, LoadStatus(document, "<a><b/></a>"));
  EXPECT_EQ(PELK_E_EMPTY_RESPONSE, LoadStatus(document, ""));
  EXPECT_FALSE(document.Root());
  EXPECT_EQ(L"\xFEFF", document.Save(true, false));

  EXPECT_EQ(PELK_E_EMPTY_RESPONSE, LoadStatus(document, "<!-- only a comment -->\r\n  "));
  ASSERT_EQ(0, LoadStatus(document, "<a/>"));
  EXPECT_EQ(PELK_E_MALFORMED_RESPONSE, LoadStatus(document, "<packet><header><server>"));
  EXPECT_EQ(L"\xFEFF", document.Save(true, false));
  EXPECT_EQ(PELK_E_MALFORMED_RESPONSE, LoadStatus(document, "<a></b>"));
  EXPECT_EQ(PELK_E_MALFORMED_RESPONSE, LoadStatus(document, "not xml at all <"));
}

TEST(XmlRead, TextsLineEndsAndLookups) {
  PacketDocument document;
  ASSERT_EQ(0, LoadStatus(document,
                          "<root xmlns:p=\"urn:p\">"
                          "<p:header>prefixed</p:header>"
                          "<crlf>a\r\nb</crlf><lf>a\nb</lf><cr>a\rb</cr>"
                          "<ref>&lt;&#65;&amp;unknown;</ref>"
                          "<cdata><![CDATA[<x>\r\ny]]></cdata>"
                          "<mixed><e/>tail</mixed>"
                          "<item n=\"1\"/><other/><item n=\"2\" n2=\"a\tb\r\nc\"/>"
                          "</root>"));
  XmlElement root = document.Root();
  EXPECT_FALSE(FindChild(root, L"header"));
  EXPECT_EQ(L"prefixed", GetChildText(root, L"p:header"));
  EXPECT_EQ(L"urn:p", GetAttribute(root, L"xmlns:p"));
  EXPECT_EQ(L"a\r\nb", GetChildText(root, L"crlf"));
  EXPECT_EQ(L"a\r\nb", GetChildText(root, L"lf"));
  EXPECT_EQ(L"a\r\nb", GetChildText(root, L"cr"));
  EXPECT_EQ(L"<A&unknown;", GetChildText(root, L"ref"));
  EXPECT_EQ(L"<x>\r\ny", GetChildText(root, L"cdata"));
  EXPECT_EQ(L"", GetElementText(FindChild(root, L"cdata"), true));
  EXPECT_EQ(L"tail", GetChildText(root, L"mixed"));
  EXPECT_EQ(L"", GetElementText(FindChild(root, L"mixed"), true));
  EXPECT_EQ(L"a\r\nb", GetElementText(FindChild(root, L"lf"), true));
  EXPECT_EQ(L"", GetChildText(root, L"missing"));

  std::vector<XmlElement> items;
  EXPECT_EQ(2u, FindChildren(root, L"item", items));
  EXPECT_EQ(L"1", GetAttribute(items[0], L"n"));
  EXPECT_EQ(L"2", GetAttribute(items[1], L"n"));
  EXPECT_EQ(L"a b c", GetAttribute(items[1], L"n2"));  // tab and the CR LF pair read as blanks
  EXPECT_EQ(L"", GetAttribute(items[1], L"N"));
  EXPECT_EQ(3u, FindChildren(root, L"other", items));
}
}  // namespace
}  // namespace hv
