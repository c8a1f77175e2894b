// The client block of every report: a stable per-user identifier, the calling product, the machine's
// system versions, and the named groups of name/value entries the library collected.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "packets/client_identity.h"
#include "packets/xml.h"

namespace hv {

// Written into an "entry" element: a "name" child, then the value as the element's own text.
class ReportEntry : public XmlWritable {
 public:
  ReportEntry(const std::wstring& name, const std::wstring& value);
  void Write(PacketDocument& document, XmlElement element) const override;

 private:
  std::wstring name_;
  std::wstring value_;
};

// Written into a "group" element: a "name" child, then one "entry" per entry in the order added.
class ReportGroup : public XmlWritable {
 public:
  explicit ReportGroup(const std::wstring& name);
  void AddEntry(const std::wstring& name, const std::wstring& value);
  void Write(PacketDocument& document, XmlElement element) const override;

 private:
  std::wstring name_;
  std::vector<ReportEntry> entries_;
};

class ClientDescription : public XmlWritable {
 public:
  explicit ClientDescription(const ClientIdentity& identity);

  // Appends an empty group (duplicate names allowed) and returns its index.
  size_t AddGroup(const std::wstring& name);
  // Appends to the group at that index; an index beyond the groups is ignored.
  void AddEntry(size_t group, const std::wstring& name, const std::wstring& value);
  bool HasNoGroups() const { return groups_.empty(); }

  // Writes the eleven fixed elements (user id, product, system versions; probes run afresh, every element
  // present even when empty), then one "group" per group.
  void Write(PacketDocument& document, XmlElement element) const override;

 private:
  ClientIdentity identity_;
  std::vector<ReportGroup> groups_;
};

// The per-user identifier under HKCU\SOFTWARE\Halvorn\Report "uniqueId", created as a new GUID the first
// time. Sent as stored; the nil GUID when it cannot be created or reads empty.
std::wstring GetUserId();

}  // namespace hv
