#include "service/catalog.h"

#include <windows.h>

#include <set>

#include "service/text.h"
#include "support/md5.h"
#include "support/scoped_handle.h"
#include "support/strings.h"

namespace hv {
namespace service {

const wchar_t kCatalogFileName[] = L"catalog.ini";

namespace {

struct Key {
  const wchar_t* name;
  std::wstring Distribution::*member;
  bool required;
};

const Key kKeys[] = {
    {L"id", &Distribution::id, true},
    {L"productName", &Distribution::productName, true},
    {L"file", &Distribution::fileName, true},
    {L"distPackageGUID", &Distribution::distPackageGuid, true},
    {L"distributionGUID", &Distribution::distributionGuid, true},
    {L"distributionLanguage", &Distribution::distributionLanguage, true},
    {L"distributionVersion", &Distribution::distributionVersion, true},
    {L"contentType", &Distribution::contentType, false},
    {L"targetClient", &Distribution::targetClient, false},
    {L"status", &Distribution::status, false},
    {L"locale", &Distribution::locale, false},
    {L"updateProductCode", &Distribution::updateProductCode, false},
    {L"updateProductVersion", &Distribution::updateProductVersion, false},
    {L"updateMinimumVersion", &Distribution::updateMinimumVersion, false},
};

const wchar_t kConditionPrefix[] = L"installCondition.";

std::wstring Trim(const std::wstring& text) {
  size_t first = text.find_first_not_of(L" \t");
  if (first == std::wstring::npos) return std::wstring();
  size_t last = text.find_last_not_of(L" \t");
  return text.substr(first, last - first + 1);
}

// A catalog may only name files inside its own folder.
bool IsPlainFileName(const std::wstring& name) {
  return !name.empty() && name != L"." && name != L".." && name.find_first_of(L"\\/:*?\"<>|") == std::wstring::npos;
}

// Size and digest of one distribution's file; false with a reason when it cannot be read.
bool MeasureFile(Distribution& distribution, std::string& reason) {
  DWORD attributes = GetFileAttributesW(distribution.path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    reason = "file \"" + WideToUtf8(distribution.fileName) + "\" not found in the catalog folder";
    return false;
  }
  UniqueFile file(CreateFileW(distribution.path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  LARGE_INTEGER size;
  if (!file || !GetFileSizeEx(file.get(), &size)) {
    reason = "file \"" + WideToUtf8(distribution.fileName) + "\" cannot be read";
    return false;
  }
  file.reset();
  distribution.size = static_cast<uint64_t>(size.QuadPart);
  distribution.md5 = FileMd5Hex(distribution.path, [](uint64_t) { return true; });
  if (distribution.md5.empty()) {
    reason = "file \"" + WideToUtf8(distribution.fileName) + "\" cannot be hashed";
    return false;
  }
  return true;
}

class Parser {
 public:
  explicit Parser(std::string& error) : error_(error) {}

  bool Fail(int line, const std::string& message) {
    error_ = WideToUtf8(kCatalogFileName) + ":" + std::to_string(line) + ": " + message;
    return false;
  }

  // Checks the distribution that ends before the next section or at the end of the file.
  bool Finish(const std::wstring& folder, Catalog& catalog) {
    if (!open_) return true;
    open_ = false;
    for (const Key& key : kKeys) {
      if (key.required && seen_.count(key.name) == 0) {
        return Fail(sectionLine_, "distribution lacks the required key \"" + WideToUtf8(key.name) + "\"");
      }
    }
    for (const Distribution& other : catalog.distributions) {
      if (other.id == current_.id) return Fail(sectionLine_, "duplicate id \"" + WideToUtf8(current_.id) + "\"");
    }
    current_.path = folder + L"\\" + current_.fileName;
    std::string reason;
    if (!MeasureFile(current_, reason)) return Fail(fileLine_, reason);
    catalog.distributions.push_back(current_);
    return true;
  }

  bool Line(int number, const std::wstring& raw, const std::wstring& folder, Catalog& catalog) {
    std::wstring line = Trim(raw);
    if (line.empty() || line[0] == L'#' || line[0] == L';') return true;
    if (line[0] == L'[') {
      if (!EqualsNoCase(line, L"[distribution]")) {
        return Fail(number, "unknown section " + WideToUtf8(line) + " (only [distribution] is known)");
      }
      if (!Finish(folder, catalog)) return false;
      open_ = true;
      current_ = Distribution();
      seen_.clear();
      sectionLine_ = number;
      return true;
    }
    size_t equals = line.find(L'=');
    if (equals == std::wstring::npos) return Fail(number, "expected \"key = value\" or [distribution]");
    std::wstring name = Trim(line.substr(0, equals));
    std::wstring value = Trim(line.substr(equals + 1));
    if (!open_) return Fail(number, "\"" + WideToUtf8(name) + "\" appears before the first [distribution]");
    if (StartsWithNoCase(name, kConditionPrefix)) {
      current_.installConditions.push_back({name.substr(wcslen(kConditionPrefix)), value});
      return true;
    }
    for (const Key& key : kKeys) {
      if (!EqualsNoCase(name, key.name)) continue;
      if (!seen_.insert(key.name).second) return Fail(number, "key \"" + WideToUtf8(key.name) + "\" given twice");
      if (key.required && value.empty()) return Fail(number, "key \"" + WideToUtf8(key.name) + "\" is empty");
      if (key.member == &Distribution::fileName) {
        if (!IsPlainFileName(value)) {
          return Fail(number, "\"file\" must name a file inside the catalog folder, not \"" + WideToUtf8(value) + "\"");
        }
        fileLine_ = number;
      }
      current_.*key.member = value;
      return true;
    }
    return Fail(number, "unknown key \"" + WideToUtf8(name) + "\"");
  }

 private:
  std::string& error_;
  bool open_ = false;
  Distribution current_;
  std::set<std::wstring> seen_;
  int sectionLine_ = 0;
  int fileLine_ = 0;
};

}  // namespace

bool ReadWholeFile(const std::wstring& path, std::string& bytes) {
  UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  bytes.clear();
  char buffer[16384];
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr)) return false;
    if (got == 0) return true;
    bytes.append(buffer, got);
  }
}

const std::wstring* QueryField(const Distribution& d, const std::wstring& field) {
  if (field == L"contentType") return &d.contentType;
  if (field == L"targetClient") return &d.targetClient;
  if (field == L"status") return &d.status;
  if (field == L"locale") return &d.locale;
  if (field == L"distPackageGUID") return &d.distPackageGuid;
  if (field == L"distributionGUID") return &d.distributionGuid;
  if (field == L"distributionLanguage") return &d.distributionLanguage;
  if (field == L"distributionVersion") return &d.distributionVersion;
  return nullptr;
}

const Distribution* Catalog::FindFile(const std::wstring& fileName) const {
  for (const Distribution& distribution : distributions) {
    if (distribution.fileName == fileName) return &distribution;
  }
  return nullptr;
}

bool LoadCatalog(const std::wstring& folder, Catalog& out, std::string& error) {
  out = Catalog();
  std::wstring path = folder + L"\\" + kCatalogFileName;
  std::string bytes;
  if (!ReadWholeFile(path, bytes)) {
    error = "cannot read the catalog file " + WideToUtf8(path);
    return false;
  }
  if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) bytes.erase(0, 3);

  Catalog catalog;
  Parser parser(error);
  int number = 0;
  size_t start = 0;
  while (start < bytes.size()) {
    size_t end = bytes.find('\n', start);
    if (end == std::string::npos) end = bytes.size();
    std::string raw = bytes.substr(start, end - start);
    if (!raw.empty() && raw.back() == '\r') raw.pop_back();
    start = end + 1;
    ++number;
    std::wstring line;
    if (!Utf8ToWide(raw, line)) return parser.Fail(number, "the line is not valid UTF-8");
    if (!parser.Line(number, line, folder, catalog)) return false;
  }
  if (!parser.Finish(folder, catalog)) return false;
  out = std::move(catalog);
  return true;
}

}  // namespace service
}  // namespace hv
