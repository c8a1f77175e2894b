// The XML layer every packet is written and read with: a document holder over pugixml (wide-character
// build) and a fixed set of element operations. No namespace processing: prefixed names and "xmlns"
// declarations are ordinary names, compared whole and case-sensitively.
#pragma once

#include <pugixml.hpp>

#include <string>
#include <vector>

namespace hv {

using XmlElement = pugi::xml_node;  // a null handle means "no such element"

class PacketDocument {
 public:
  PacketDocument();  // empty, null root
  // One root element with that name; a non-empty URI becomes its first attribute, "xmlns".
  PacketDocument(const std::wstring& rootName, const std::wstring& namespaceUri);
  ~PacketDocument();
  PacketDocument(const PacketDocument&) = delete;
  PacketDocument& operator=(const PacketDocument&) = delete;

  XmlElement Root() const { return root_; }

  // Sets "xmlns:<prefix>" on the root; an empty URI adds nothing.
  void DeclareNamespace(const std::wstring& prefix, const std::wstring& uri);

  // Parses a response body in any encoding the parser detects. Throws PELK_E_MALFORMED_RESPONSE when it
  // is not well-formed, PELK_E_EMPTY_RESPONSE when it holds no element; the document is then empty.
  void Load(const std::string& body);

  // UTF-16 text starting with U+FEFF: tab indentation and LF line ends (indent) or one line (raw), with
  // or without `<?xml version="1.0"?>`.
  std::wstring Save(bool indent, bool declaration) const;

 private:
  pugi::xml_document document_;
  XmlElement root_;
};

// An object that fills an element the caller has created and named.
class XmlWritable {
 public:
  virtual void Write(PacketDocument& document, XmlElement element) const = 0;
  virtual ~XmlWritable() = default;
};

// New last child element; null (nothing added) when parent is null or neither a document nor an element.
XmlElement AppendElement(XmlElement parent, const std::wstring& name);
// AppendElement, then object.Write into the new element; returns the new element.
XmlElement AppendWritten(XmlElement parent, const std::wstring& name, PacketDocument& document,
                         const XmlWritable& object);
// Appends a text child, even for an empty text; nothing on a null element.
void SetElementText(XmlElement element, const std::wstring& text);
// Adds the element when text is non-empty or writeIfEmpty; gives it a text child only for non-empty text.
void AddTextElement(XmlElement parent, const std::wstring& name, const std::wstring& text, bool writeIfEmpty);
// Sets the first attribute of that name, or appends one; nothing when value is empty and !writeIfEmpty.
void SetAttribute(XmlElement element, const std::wstring& name, const std::wstring& value, bool writeIfEmpty);
// Value of the first attribute of that name; empty when absent.
std::wstring GetAttribute(XmlElement element, const std::wstring& name);
// First child with exactly that name, or null.
XmlElement FindChild(XmlElement parent, const std::wstring& name);
// Appends the children of that name in document order; returns the list's new size.
size_t FindChildren(XmlElement parent, const std::wstring& name, std::vector<XmlElement>& list);
// firstChildOnly: the first child's value if it is text; otherwise the first text or CDATA child's value.
// Every LF comes back as CR LF. Empty for a null element or no text.
std::wstring GetElementText(XmlElement element, bool firstChildOnly);
// GetElementText(FindChild(parent, name), false).
std::wstring GetChildText(XmlElement parent, const std::wstring& name);

}  // namespace hv
