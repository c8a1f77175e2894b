#include "transport/resume_record.h"

namespace hv {
namespace {

constexpr char kFirstLine[] = "hvpelk resume 1\n";
constexpr char kValidatorField[] = "If-Range: ";

bool IsVisible(wchar_t c) { return c >= 0x21 && c <= 0x7E; }

bool IsStrongEtag(const std::wstring& etag) {
  // "W/..." is weak; an entity tag is a quoted string of visible characters other than the quote.
  if (etag.size() < 2 || etag.size() > kLongestValidator || etag.front() != L'"' || etag.back() != L'"') return false;
  for (size_t i = 1; i + 1 < etag.size(); ++i) {
    if (!IsVisible(etag[i]) || etag[i] == L'"') return false;
  }
  return true;
}

bool IsDate(const std::wstring& date) {
  if (date.empty() || date.size() > kLongestValidator || !IsVisible(date.front()) || !IsVisible(date.back())) {
    return false;
  }
  // What looks like an entity tag is none of a date's forms.
  if (date.front() == L'"' || date.compare(0, 2, L"W/") == 0) return false;
  for (const wchar_t c : date) {
    if (!IsVisible(c) && c != L' ') return false;
  }
  return true;
}

}  // namespace

std::wstring AnswerValidator(const std::wstring& etag, const std::wstring& lastModified) {
  if (IsStrongEtag(etag)) return etag;
  if (IsDate(lastModified)) return lastModified;
  return std::wstring();
}

std::string FormatResumeRecord(const std::wstring& validator) {
  // The validator is ASCII (AnswerValidator's rule): one byte per character.
  std::string record = std::string(kFirstLine) + kValidatorField;
  for (const wchar_t c : validator) record += static_cast<char>(c);
  return record + "\n";
}

std::wstring ParseResumeRecord(const std::string& bytes) {
  const std::string head = std::string(kFirstLine) + kValidatorField;
  if (bytes.size() <= head.size() || bytes.compare(0, head.size(), head) != 0 || bytes.back() != '\n') {
    return std::wstring();
  }
  std::wstring validator;
  for (size_t i = head.size(); i + 1 < bytes.size(); ++i) {
    validator += static_cast<wchar_t>(static_cast<unsigned char>(bytes[i]));
  }
  // Only what AnswerValidator gives is a validator; anything else (a torn or foreign file) is no record.
  return AnswerValidator(validator, validator) == validator ? validator : std::wstring();
}

}  // namespace hv
