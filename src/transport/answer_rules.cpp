#include "transport/answer_rules.h"

#include "support/strings.h"

namespace hv {
namespace {

// A number of a Content-Range, blanks around it allowed.
bool RangeNumber(const std::wstring& text, uint64_t& value) {
  const size_t first = text.find_first_not_of(L' ');
  const size_t last = text.find_last_not_of(L' ');
  return first != std::wstring::npos && ParseUInt64(text.substr(first, last - first + 1), value, 0) &&
         value < kUnreadableLength;
}

}  // namespace

bool HttpAnswer::IsGzip() const { return EqualsNoCase(contentEncoding, L"gzip"); }

bool HttpAnswer::IsRedirect() const {
  const bool redirecting = status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
  return redirecting && !location.empty();
}

bool ParseContentLength(const std::wstring& text, uint64_t& length) { return ParseUInt64(text, length, 0); }

bool ParseContentRange(const std::wstring& text, uint64_t& first, uint64_t& last, uint64_t& total) {
  const std::wstring unit = L"bytes ";
  if (!StartsWithNoCase(text, unit)) return false;
  const size_t dash = text.find(L'-', unit.size());
  const size_t slash = text.find(L'/', unit.size());
  if (dash == std::wstring::npos || slash == std::wstring::npos || slash < dash) return false;
  return RangeNumber(text.substr(unit.size(), dash - unit.size()), first) &&
         RangeNumber(text.substr(dash + 1, slash - dash - 1), last) && RangeNumber(text.substr(slash + 1), total);
}

bool RefusedRangeTotal(const std::wstring& range, uint64_t& total) {
  const size_t slash = range.rfind(L'/');
  return StartsWithNoCase(range, L"bytes ") && slash != std::wstring::npos &&
         RangeNumber(range.substr(slash + 1), total);
}

bool AnswerContinues(const HttpAnswer& answer, uint64_t size, bool encoded, uint64_t& total) {
  uint64_t first = 0, last = 0;
  // A range from past the resource's end ("bytes 35000-19999/20000") would take a file longer than the
  // resource for one that only lacks its last bytes. One from right at the end ("bytes 20000-19999/20000",
  // as some servers answer a range that starts there) adds nothing to a file that is complete.
  if (!ParseContentRange(answer.contentRange, first, last, total) || first != size || last + 1 != total ||
      first > total) {
    return false;
  }
  if (answer.hasLength && answer.length != total - first) return false;
  return encoded ? answer.IsGzip() : answer.contentEncoding.empty();
}

StatusCode HttpStatusFailure(uint32_t httpStatus) {
  switch (httpStatus) {
    case 200:
    case 206:
    case 407: return 0;
    case 300:
    case 500: return PELK_E_HTTP_SERVER;
    case 400:
    case 405:
    case 505: return PELK_E_HTTP_BAD_REQUEST;
    case 401:
    case 403:
    case 410:
    case 502:
    case 503:
    case 504: return PELK_E_CONNECTION;
    case 404: return PELK_E_HTTP_404;
    case 408: return PELK_E_HTTP_408;
    default: return PELK_E_HTTP_STATUS;
  }
}

}  // namespace hv
