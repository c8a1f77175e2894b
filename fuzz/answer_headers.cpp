// The rules an HTTP answer's headers are read by (transport/answer_rules.h). The input is six lines: the
// HTTP status, the Content-Length, the Content-Range and the Content-Encoding as sent, the size of the file
// a download would continue and whether that file is gzip-encoded ("1").
// Checks: a status fails with 0 only when accepted (200, 206, 407), else with a transport status of the
// table; a Content-Range read is "bytes " and three numbers WinINet can frame, and reads the same when
// written out again; a refused range's total is such a number; an answer that continues a file starts
// exactly at the file's end, which is not past the resource's, and ends at the resource's, so that what it
// adds is its announced length and no more, and is in the file's encoding.
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "support/strings.h"
#include "transport/answer_rules.h"

namespace {

// A decimal number of the harness's own fields (not under test); wraps.
uint64_t Number(const std::string& text) {
  uint64_t value = 0;
  for (char c : text) {
    if (c >= '0' && c <= '9') value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  return value;
}

// What a 206 that continues a file of fileSize bytes must be.
void CheckContinues(const hv::HttpAnswer& answer, uint64_t fileSize, bool encoded) {
  uint64_t resource = 0, first = 0, last = 0, total = 0;
  if (!hv::AnswerContinues(answer, fileSize, encoded, resource)) return;
  FUZZ_CHECK(hv::ParseContentRange(answer.contentRange, first, last, total));
  FUZZ_CHECK(resource == total && first == fileSize && last + 1 == total);
  FUZZ_CHECK(first <= total);  // the file it continues is never longer than the resource
  if (answer.hasLength) FUZZ_CHECK(answer.length == last - first + 1);
  FUZZ_CHECK(encoded ? answer.IsGzip() : answer.contentEncoding.empty());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto fields = hvfuzz::Fields(data, size, 6);
  hv::HttpAnswer answer;
  answer.status = static_cast<uint32_t>(Number(fields[0]));
  answer.lengthText = hvfuzz::Units(fields[1]);
  answer.hasLength = hv::ParseContentLength(answer.lengthText, answer.length);
  answer.contentRange = hvfuzz::Units(fields[2]);
  answer.contentEncoding = hvfuzz::Units(fields[3]);
  const uint64_t fileSize = Number(fields[4]);
  const bool encoded = fields[5] == "1";

  const hv::StatusCode failure = hv::HttpStatusFailure(answer.status);
  const bool accepted = answer.status == 200 || answer.status == 206 || answer.status == 407;
  FUZZ_CHECK((failure == 0) == accepted);
  if (!accepted) {
    FUZZ_CHECK(hvfuzz::IsTableStatus(failure) && (static_cast<uint32_t>(failure) & 0xFFFFF000u) == 0x80002000u);
  }
  if (!answer.hasLength) FUZZ_CHECK(answer.length == 0);
  FUZZ_CHECK(answer.IsGzip() == (hvfuzz::AsciiLower(answer.contentEncoding) == L"gzip"));

  uint64_t first = 0, last = 0, total = 0;
  if (hv::ParseContentRange(answer.contentRange, first, last, total)) {
    FUZZ_CHECK(hvfuzz::AsciiLower(answer.contentRange.substr(0, 6)) == L"bytes ");
    FUZZ_CHECK(first < hv::kUnreadableLength && last < hv::kUnreadableLength && total < hv::kUnreadableLength);
    uint64_t first2 = 0, last2 = 0, total2 = 0;
    const std::wstring written = L"bytes " + hv::DecU64(first) + L"-" + hv::DecU64(last) + L"/" + hv::DecU64(total);
    FUZZ_CHECK(hv::ParseContentRange(written, first2, last2, total2));
    FUZZ_CHECK(first2 == first && last2 == last && total2 == total);
  }
  uint64_t refused = 0;
  if (hv::RefusedRangeTotal(answer.contentRange, refused)) FUZZ_CHECK(refused < hv::kUnreadableLength);

  CheckContinues(answer, fileSize, encoded);
  // The file the range itself names: the fuzzer cannot make two decimal numbers agree by itself.
  if (hv::ParseContentRange(answer.contentRange, first, last, total)) CheckContinues(answer, first, encoded);
  return 0;
}
