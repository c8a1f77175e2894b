// The distributions the substitute service offers, read once at start from a catalog folder.
//
// The folder holds the catalog file "catalog.ini" (UTF-8, optional byte order mark) and the distribution
// files it names. Lines are "key = value" (blanks around both trimmed); blank lines and lines starting
// with '#' or ';' are ignored. Every "[distribution]" line starts one distribution. Keys are matched
// without regard to ASCII case:
//   id, productName, file, distPackageGUID, distributionGUID, distributionLanguage, distributionVersion
//       required, once each; "id" is unique; "file" is a plain file name inside the folder
//   contentType (default "UPDATE"), targetClient ("Quillan Distribution"), status ("live"),
//   locale ("en-XX"), updateProductCode, updateProductVersion, updateMinimumVersion (default empty)
//       optional, once each
//   installCondition.<type> = <text>
//       optional, any number; kept in order, <type> is the condition's "type" attribute
// Sizes and lower-case MD5 digests are computed from the files when the catalog is loaded.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace hv {
namespace service {

struct InstallCondition {
  std::wstring type;
  std::wstring text;
};

struct Distribution {
  std::wstring id;
  std::wstring productName;
  std::wstring fileName;
  std::wstring distPackageGuid;
  std::wstring distributionGuid;
  std::wstring distributionLanguage;
  std::wstring distributionVersion;
  std::wstring contentType = L"UPDATE";
  std::wstring targetClient = L"Quillan Distribution";
  std::wstring status = L"live";
  std::wstring locale = L"en-XX";
  std::wstring updateProductCode;
  std::wstring updateProductVersion;
  std::wstring updateMinimumVersion;
  std::vector<InstallCondition> installConditions;

  std::wstring path;  // folder + "\" + file name
  uint64_t size = 0;
  std::wstring md5;  // 32 lower-case hexadecimal digits
};

// The value a content query condition names; null for a field the service does not know.
// Known fields: contentType, targetClient, status, locale, distPackageGUID, distributionGUID,
// distributionLanguage, distributionVersion (exact names, case matters).
const std::wstring* QueryField(const Distribution& distribution, const std::wstring& field);

struct Catalog {
  std::vector<Distribution> distributions;  // in catalog order

  // The first distribution that serves the file, or null.
  const Distribution* FindFile(const std::wstring& fileName) const;
};

// Reads the catalog file of the folder and measures its files. On failure returns false, leaves out
// empty and sets error to one line naming the file and line ("catalog.ini:12: unknown key "size"").
bool LoadCatalog(const std::wstring& folder, Catalog& out, std::string& error);

}  // namespace service
}  // namespace hv
