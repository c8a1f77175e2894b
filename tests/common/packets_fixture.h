// Helpers shared by the packet tests: byte conversion, the expected client block and packet start, and a
// guard that keeps the user's stored identifier intact.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include <hvpelk/version.h>

#include "packets/client_identity.h"
#include "packets/content_query.h"
#include "packets/packet.h"
#include "support/probes.h"
#include "support/status.h"

namespace hvtest {

using hv::StatusOf;

// The little-endian bytes of UTF-16 text, as the request body travels.
inline std::string Utf16Le(const std::wstring& text) {
  std::string bytes;
  for (wchar_t unit : text) {
    bytes += static_cast<char>(unit & 0xFF);
    bytes += static_cast<char>((unit >> 8) & 0xFF);
  }
  return bytes;
}

// One indented text element: "<name>text</name>", or "<name />" for an empty text (plain texts only).
inline std::wstring TextLine(int depth, const std::wstring& name, const std::wstring& text) {
  const std::wstring indent(depth, L'\t');
  if (text.empty()) return indent + L"<" + name + L" />\n";
  return indent + L"<" + name + L">" + text + L"</" + name + L">\n";
}

// The eleven fixed elements of the client block, with this machine's probe values.
inline std::wstring ClientBlockLines(int depth, const std::wstring& userId, const hv::ClientIdentity& identity) {
  return TextLine(depth, L"userId", userId) + TextLine(depth, L"product", identity.appName) +
         TextLine(depth, L"productVersion", identity.appVersion) +
         TextLine(depth, L"dotNetVersion", hv::ProbeDotNetVersion()) +
         TextLine(depth, L"ieVersion", hv::ProbeIeVersion()) +
         TextLine(depth, L"operatingSystem", hv::ProbeOperatingSystemVersion()) +
         TextLine(depth, L"servicePack", hv::ProbeServicePack()) +
         TextLine(depth, L"productType", hv::ProbeProductType()) + TextLine(depth, L"suiteMask", hv::ProbeSuiteMask()) +
         TextLine(depth, L"r2Build", hv::ProbeR2Build()) + TextLine(depth, L"architecture", hv::ProbeArchitecture());
}

// Saves HKCU\SOFTWARE\Halvorn\Report "uniqueId" (and whether the key existed) and puts it back.
class UserIdBackup {
 public:
  static constexpr const wchar_t* kPath = L"SOFTWARE\\Halvorn\\Report";
  static constexpr const wchar_t* kValue = L"uniqueId";

  UserIdBackup() {
    HKEY key = nullptr;
    keyExisted_ = RegOpenKeyExW(HKEY_CURRENT_USER, kPath, 0, KEY_QUERY_VALUE, &key) == ERROR_SUCCESS;
    if (!keyExisted_) return;
    DWORD size = 0;
    if (RegQueryValueExW(key, kValue, nullptr, &type_, nullptr, &size) == ERROR_SUCCESS) {
      data_.resize(size);
      valueExisted_ = RegQueryValueExW(key, kValue, nullptr, &type_, data_.data(), &size) == ERROR_SUCCESS;
      data_.resize(size);
    }
    RegCloseKey(key);
  }

  ~UserIdBackup() {
    if (!keyExisted_) {
      RegDeleteTreeW(HKEY_CURRENT_USER, kPath);
      return;
    }
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kPath, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) return;
    if (valueExisted_) {
      RegSetValueExW(key, kValue, 0, type_, data_.data(), static_cast<DWORD>(data_.size()));
    } else {
      RegDeleteValueW(key, kValue);
    }
    RegCloseKey(key);
  }

  UserIdBackup(const UserIdBackup&) = delete;
  UserIdBackup& operator=(const UserIdBackup&) = delete;

 private:
  bool keyExisted_ = false;
  bool valueExisted_ = false;
  DWORD type_ = REG_NONE;
  std::vector<BYTE> data_;
};

// Stores the identifier value as REG_SZ, or deletes it for an absent text.
inline void SetStoredUserId(const std::wstring* text) {
  HKEY key = nullptr;
  RegCreateKeyExW(HKEY_CURRENT_USER, UserIdBackup::kPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
  if (text) {
    RegSetValueExW(key, UserIdBackup::kValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(text->c_str()),
                   static_cast<DWORD>((text->size() + 1) * sizeof(wchar_t)));
  } else {
    RegDeleteValueW(key, UserIdBackup::kValue);
  }
  RegCloseKey(key);
}

// The identity the golden request texts are written for.
inline hv::ClientIdentity TestIdentity() {
  hv::ClientIdentity identity;
  identity.appName = L"App";
  identity.appVersion = L"1.0";
  identity.wrapperName = L"Wrap";
  identity.wrapperVersion = L"2.0";
  return identity;
}

// The root element's line with its four attributes in order.
inline std::wstring RootLine() {
  const std::wstring uri = hv::kPacketNamespace;
  return L"<packet xmlns=\"" + uri +
         L"\" xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" xsi:schemaLocation=\"" + uri +
         L" Schemas/Common/2.0/Packet.xsd\" schemaVersion=\"2.0\">\n";
}

// Byte order mark, declaration, root, and the request header for TestIdentity, up to the body's start tag.
inline std::wstring PacketStart(const std::wstring& localeLine) {
  return L"\xFEFF<?xml version=\"1.0\"?>\n" + RootLine() + L"\t<header>\n" + localeLine +
         L"\t\t<date />\n"
         L"\t\t<client>\n"
         L"\t\t\t<swapp version=\"1.0\">App</swapp>\n"
         L"\t\t\t<corelib version=\"" HVPELK_VERSION_TEXT
         "\">hvpelk</corelib>\n"
         L"\t\t\t<wrapperlib version=\"2.0\">Wrap</wrapperlib>\n"
         L"\t\t</client>\n"
         L"\t</header>\n"
         L"\t<body>\n";
}

}  // namespace hvtest
