// The resume record and the range validator (transport/resume_record.h): the input read twice, as the
// bytes of a record file, and as two header values (ETag, then Last-Modified, split at the first LF).
// Checks: a record that reads gives a validator of visible ASCII and inner blanks only, never a line end,
// which goes into a request header as it is; it is exactly the record that writing it back gives, so a torn
// or foreign file never reads as one; a validator comes from the ETag only when that is a strong tag, else
// from the date or from nothing, and survives its record unchanged.
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "transport/resume_record.h"

namespace {

// What may go into "If-Range: <validator>\r\n": visible ASCII, blanks inside only.
void CheckHeaderSafe(const std::wstring& validator) {
  FUZZ_CHECK(!validator.empty() && validator.size() <= hv::kLongestValidator);
  FUZZ_CHECK(validator.front() != L' ' && validator.back() != L' ');
  for (const wchar_t c : validator) FUZZ_CHECK(c >= 0x20 && c <= 0x7E);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const std::wstring stored = hv::ParseResumeRecord(bytes);
  if (!stored.empty()) {
    CheckHeaderSafe(stored);
    FUZZ_CHECK(hv::FormatResumeRecord(stored) == bytes);
  }

  const std::vector<std::string> fields = hvfuzz::Fields(data, size, 2);
  const std::wstring etag = hvfuzz::Units(fields[0]);
  const std::wstring lastModified = hvfuzz::Units(fields[1]);
  const std::wstring validator = hv::AnswerValidator(etag, lastModified);
  // A strong entity tag, by its grammar: a quoted string of visible characters other than the quote.
  bool strong = etag.size() >= 2 && etag.size() <= hv::kLongestValidator && etag.front() == L'"' && etag.back() == L'"';
  for (size_t i = 1; strong && i + 1 < etag.size(); ++i) strong = etag[i] > 0x20 && etag[i] < 0x7F && etag[i] != L'"';
  if (strong) FUZZ_CHECK(validator == etag);
  if (validator.empty()) return 0;
  CheckHeaderSafe(validator);
  if (!strong) FUZZ_CHECK(validator == lastModified && validator.front() != L'"');
  FUZZ_CHECK(hv::ParseResumeRecord(hv::FormatResumeRecord(validator)) == validator);
  return 0;
}
