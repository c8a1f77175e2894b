#include "packets/xml.h"

#include "support/status.h"
#include "support/strings.h"

namespace hv {
namespace {

bool IsText(XmlElement node) { return node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata; }

bool CanHoldChildren(XmlElement node) {
  return node.type() == pugi::node_element || node.type() == pugi::node_document;
}

// Writes the packet text form. The service reads the exact form of the earlier serialiser, which pugixml
// 1.13 no longer produces: it escapes tabs but not ">" in attribute values, writes text that shares its
// element with child elements inline instead of on its own indented line, and drops the blank before "/>"
// in raw output. So the tree is written here, by these rules:
// - an element without children is "<name attrs />";
// - an element whose only child is text is "<name attrs>text</name>" on one line;
// - any other element puts each child, text included, on its own line one tab deeper;
// - "&", "<", ">" are escaped everywhere, '"' in attribute values too; control characters below U+0020
//   become "&#NN;", except tab, LF and CR in texts and tab in attribute values.
// Only elements and character data are written: the element operations create nothing else, and the
// default parse options keep nothing else.
class TextWriter {
 public:
  TextWriter(std::wstring& out, bool indent) : out_(out), indent_(indent) {}

  void Declaration() {
    out_ += L"<?xml version=\"1.0\"?>";
    EndLine();
  }

  void Node(XmlElement node, unsigned depth) {
    if (IsText(node)) {
      Indent(depth);
      Escaped(node.value(), false);
      EndLine();
    } else if (node.type() == pugi::node_element) {
      Element(node, depth);
    }
  }

 private:
  void Element(XmlElement element, unsigned depth) {
    Indent(depth);
    out_ += L'<';
    out_ += element.name();
    for (pugi::xml_attribute attribute : element.attributes()) {
      out_ += L' ';
      out_ += attribute.name();
      out_ += L"=\"";
      Escaped(attribute.value(), true);
      out_ += L'"';
    }
    XmlElement first = element.first_child();
    if (!first) {
      out_ += L" />";
    } else if (IsText(first) && !first.next_sibling()) {
      out_ += L'>';
      Escaped(first.value(), false);
      EndTag(element);
    } else {
      out_ += L'>';
      EndLine();
      for (XmlElement child : element.children()) Node(child, depth + 1);
      Indent(depth);
      EndTag(element);
    }
    EndLine();
  }

  void EndTag(XmlElement element) {
    out_ += L"</";
    out_ += element.name();
    out_ += L'>';
  }

  void Escaped(const wchar_t* text, bool attribute) {
    for (; *text; ++text) {
      const wchar_t c = *text;
      if (c == L'&') {
        out_ += L"&amp;";
      } else if (c == L'<') {
        out_ += L"&lt;";
      } else if (c == L'>') {
        out_ += L"&gt;";
      } else if (c == L'"' && attribute) {
        out_ += L"&quot;";
      } else if (c < 0x20 && c != L'\t' && (attribute || (c != L'\n' && c != L'\r'))) {
        out_ += L"&#";
        out_ += static_cast<wchar_t>(L'0' + c / 10);
        out_ += static_cast<wchar_t>(L'0' + c % 10);
        out_ += L';';
      } else {
        out_ += c;
      }
    }
  }

  void Indent(unsigned depth) {
    if (indent_) out_.append(depth, L'\t');
  }

  void EndLine() {
    if (indent_) out_ += L'\n';
  }

  std::wstring& out_;
  bool indent_;
};

}  // namespace

PacketDocument::PacketDocument() = default;

PacketDocument::PacketDocument(const std::wstring& rootName, const std::wstring& namespaceUri) {
  root_ = AppendElement(document_, rootName);
  SetAttribute(root_, L"xmlns", namespaceUri, false);
}

PacketDocument::~PacketDocument() = default;

void PacketDocument::DeclareNamespace(const std::wstring& prefix, const std::wstring& uri) {
  SetAttribute(root_, L"xmlns:" + prefix, uri, false);
}

void PacketDocument::Load(const std::string& body) {
  root_ = XmlElement();
  document_.reset();
  const pugi::xml_parse_result result =
      document_.load_buffer(body.data(), body.size(), pugi::parse_default, pugi::encoding_auto);
  // pugixml reports a body without any element as a parse error of its own; that is an empty answer,
  // not a malformed one.
  StatusCode failure = 0;
  if (result.status == pugi::status_no_document_element) {
    failure = PELK_E_EMPTY_RESPONSE;
  } else if (!result) {
    failure = PELK_E_MALFORMED_RESPONSE;
  } else {
    root_ = document_.first_child();
    if (!root_) failure = PELK_E_EMPTY_RESPONSE;
  }
  if (failure != 0) {
    root_ = XmlElement();
    document_.reset();
    Throw(failure);
  }
}

std::wstring PacketDocument::Save(bool indent, bool declaration) const {
  std::wstring out(1, L'\xFEFF');
  TextWriter writer(out, indent);
  if (declaration) writer.Declaration();
  for (XmlElement child : document_.children()) writer.Node(child, 0);
  return out;
}

XmlElement AppendElement(XmlElement parent, const std::wstring& name) {
  if (!CanHoldChildren(parent)) return XmlElement();
  return parent.append_child(name.c_str());
}

XmlElement AppendWritten(XmlElement parent, const std::wstring& name, PacketDocument& document,
                         const XmlWritable& object) {
  XmlElement element = AppendElement(parent, name);
  object.Write(document, element);
  return element;
}

void SetElementText(XmlElement element, const std::wstring& text) {
  if (!CanHoldChildren(element)) return;
  element.append_child(pugi::node_pcdata).set_value(text.c_str());
}

void AddTextElement(XmlElement parent, const std::wstring& name, const std::wstring& text, bool writeIfEmpty) {
  if (text.empty() && !writeIfEmpty) return;
  XmlElement element = AppendElement(parent, name);
  if (!text.empty()) SetElementText(element, text);
}

void SetAttribute(XmlElement element, const std::wstring& name, const std::wstring& value, bool writeIfEmpty) {
  if ((value.empty() && !writeIfEmpty) || element.type() != pugi::node_element) return;
  pugi::xml_attribute attribute = element.attribute(name.c_str());
  if (!attribute) attribute = element.append_attribute(name.c_str());
  attribute.set_value(value.c_str());
}

std::wstring GetAttribute(XmlElement element, const std::wstring& name) {
  return element.attribute(name.c_str()).value();
}

XmlElement FindChild(XmlElement parent, const std::wstring& name) { return parent.child(name.c_str()); }

size_t FindChildren(XmlElement parent, const std::wstring& name, std::vector<XmlElement>& list) {
  for (XmlElement child = parent.child(name.c_str()); child; child = child.next_sibling(name.c_str())) {
    list.push_back(child);
  }
  return list.size();
}

std::wstring GetElementText(XmlElement element, bool firstChildOnly) {
  std::wstring text;
  if (firstChildOnly) {
    XmlElement first = element.first_child();
    if (first.type() == pugi::node_pcdata) text = first.value();
  } else {
    text = element.child_value();
  }
  // Parsing turned every line end into LF; callers get Windows line ends.
  ReplaceAll(text, L"\n", L"\r\n");
  return text;
}

std::wstring GetChildText(XmlElement parent, const std::wstring& name) {
  return GetElementText(FindChild(parent, name), false);
}

}  // namespace hv
