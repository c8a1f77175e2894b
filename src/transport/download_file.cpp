#include "transport/download_file.h"

#include <utility>

#include "operation_tag.h"
#include "support/log.h"
#include "support/md5.h"
#include "support/status.h"
#include "support/strings.h"
#include "transport/gzip.h"

namespace hv {
namespace {

// A number of a Content-Range, blanks around it allowed.
bool RangeNumber(const std::wstring& text, uint64_t& value) {
  const size_t first = text.find_first_not_of(L' ');
  const size_t last = text.find_last_not_of(L' ');
  return first != std::wstring::npos && ParseUInt64(text.substr(first, last - first + 1), value, 0) &&
         value < kUnreadableLength;
}

// "bytes <first>-<last>/<total>", the unit in any letter case; false for anything else ("*" included).
bool ParseContentRange(const std::wstring& text, uint64_t& first, uint64_t& last, uint64_t& total) {
  const std::wstring unit = L"bytes ";
  if (!StartsWithNoCase(text, unit)) return false;
  const size_t dash = text.find(L'-', unit.size());
  const size_t slash = text.find(L'/', unit.size());
  if (dash == std::wstring::npos || slash == std::wstring::npos || slash < dash) return false;
  return RangeNumber(text.substr(unit.size(), dash - unit.size()), first) &&
         RangeNumber(text.substr(dash + 1, slash - dash - 1), last) && RangeNumber(text.substr(slash + 1), total);
}

// The total of a refused range, "bytes */<total>": the total after the slash is all that counts.
bool RefusedRangeTotal(const std::wstring& range, uint64_t& total) {
  const size_t slash = range.rfind(L'/');
  return StartsWithNoCase(range, L"bytes ") && slash != std::wstring::npos &&
         RangeNumber(range.substr(slash + 1), total);
}

bool IsGzip(const std::wstring& encoding) { return EqualsNoCase(encoding, L"gzip"); }

// True when a 206 continues a file of size bytes exactly: "bytes <size>-<total - 1>/<total>", a length
// to match (one that is no number counts as absent: the body runs to the end of the connection, and the
// total tells whether it all came) and the encoding of the file it continues. total: the resource's length.
bool AnswerContinues(const HttpAnswer& answer, uint64_t size, bool encoded, uint64_t& total) {
  uint64_t first = 0, last = 0;
  if (!ParseContentRange(answer.contentRange, first, last, total) || first != size || last + 1 != total) {
    return false;
  }
  if (answer.hasLength && answer.length != total - first) return false;
  return encoded ? IsGzip(answer.contentEncoding) : answer.contentEncoding.empty();
}

}  // namespace

DownloadFile::DownloadFile(std::wstring targetPath, std::wstring expectedChecksum)
    : targetPath_(std::move(targetPath)), expectedChecksum_(std::move(expectedChecksum)) {}

std::wstring DownloadFile::EncodedPath() const { return targetPath_ + L".encoded"; }

uint64_t DownloadFile::ResumeOffset() {
  // An unfinished gzip-encoded download continues in its encoded file; otherwise the target continues.
  resumeFrom_ = 0;
  for (const std::wstring& path : {EncodedPath(), targetPath_}) {
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
      resumeFrom_ = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
      break;
    }
  }
  return resumeFrom_;
}

DownloadFile::Next DownloadFile::TakeAnswer(const HttpAnswer& answer, TransferProgress& progress) {
  LogLine(L"\t[Submit]: Streaming to file enabled.  Creating file...");
  const uint64_t size = OpenFor(answer.contentEncoding);
  progress.bytesReceived = size;
  if (size == 0 && resumeFrom_ == 0) return Next::ReadBody;  // a new file: the body fills it
  return Judge(answer, size, progress);
}

uint64_t DownloadFile::OpenFor(const std::wstring& encoding) {
  encoded_ = IsGzip(encoding);
  if (!encoding.empty() && !encoded_ && IsLogEnabled()) {
    LogError(L"Unsupported content encoding on response: " + encoding);
  }
  // An encoded file left from an earlier answer would steer every later resume: the server now sends the
  // file as it is.
  if (!encoded_) DeleteFileW(EncodedPath().c_str());
  return file_.Open(encoded_ ? EncodedPath() : targetPath_);
}

DownloadFile::Next DownloadFile::Judge(const HttpAnswer& answer, uint64_t size, TransferProgress& progress) {
  // The first request asked for the rest of the file: the bytes from resumeFrom_ on.
  uint64_t total = 0;
  const bool ranged = resumeFrom_ > 0 && resumeFrom_ == size;
  if (ranged && answer.status == 206 && AnswerContinues(answer, size, encoded_, total)) {
    progress.totalBytes = total;
    progress.state = PELK_PHASE_RESUMING;
    LogLine(L"\t[Submit]: Resuming download with partial file...");
    return Next::ReadBody;
  }
  if (ranged && answer.status == 416 && RefusedRangeTotal(answer.contentRange, total) && size >= total) {
    progress.totalBytes = total;  // at least as long as announced: complete
    return Next::ReadBody;
  }
  if (answer.status == 200 && answer.hasLength) {
    // The whole body: its length is the file's, so the range was ignored or not asked for.
    progress.totalBytes = answer.length;
    if (size >= progress.totalBytes) return Next::ReadBody;  // at least as long as announced: complete
    LogLine(L"\t[Submit]: The server sent the whole file; starting the file again.");
    StartAgain(progress);
    return Next::ReadBody;
  }
  if (answer.status == 200) {
    LogLine(L"\t[Submit]: Resume not available, so create new file.");
    StartAgain(progress);
    progress.totalBytes = 0;
    return Next::ReadBody;
  }
  // A range answered from another offset, for another total or encoding, or refused: appended, such an
  // answer would corrupt the file, and every later submit would take the corrupted file for complete.
  LogLine(L"\t[Submit]: The server did not send the rest of the file; starting the file again.");
  StartAgain(progress);
  return Next::FetchWhole;
}

void DownloadFile::TakeWholeAnswer(const HttpAnswer& answer) {
  // The whole file may come in another encoding than the first answer named: it goes to that encoding's
  // file, which starts again too.
  if (IsGzip(answer.contentEncoding) == encoded_) return;
  OpenFor(answer.contentEncoding);
  startAgain_ = true;
}

void DownloadFile::StartAgain(TransferProgress& progress) {
  startAgain_ = true;
  progress.bytesReceived = 0;
}

void DownloadFile::CheckFreeSpace(const TransferProgress& progress) const {
  // What is still to come has to fit; a file at least as long as announced needs nothing more.
  const uint64_t remaining =
      progress.totalBytes > progress.bytesReceived ? progress.totalBytes - progress.bytesReceived : 0;
  if (!HasFreeSpace(targetPath_, remaining)) Throw(PELK_E_DISK_SPACE);
}

void DownloadFile::Write(const char* data, DWORD length) {
  EndOfBody();
  file_.Write(data, length);
}

void DownloadFile::EndOfBody() {
  if (!startAgain_) return;
  file_.Recreate();
  startAgain_ = false;
}

bool DownloadFile::Finish(TransferProgress& progress, const std::function<bool()>& onProgress) {
  // A stop ends decoding and hashing within one block; the exchange then ends quietly.
  if (encoded_ && !DecodeIntoTarget(onProgress)) return false;
  file_.Close();
  if (expectedChecksum_.empty()) return true;
  progress.bytesVerified = 0;
  progress.state = PELK_PHASE_VERIFYING;
  if (!onProgress()) return false;
  bool stopped = false;
  const std::wstring digest = FileMd5Hex(targetPath_, [&](uint64_t hashed) {
    progress.bytesVerified = hashed;
    stopped = !onProgress();
    return !stopped;
  });
  if (stopped || !onProgress()) return false;
  if (digest != expectedChecksum_) Throw(PELK_E_CHECKSUM);
  return true;
}

bool DownloadFile::DecodeIntoTarget(const std::function<bool()>& keepGoing) {
  file_.Close();
  const std::wstring encodedPath = EncodedPath();
  const std::wstring temporary = targetPath_ + L".temp";
  if (!DecodeGzipFile(encodedPath, temporary, keepGoing)) {
    if (!keepGoing()) return false;  // stopped: the encoded file can be decoded another time
    if (IsLogEnabled()) LogError(L"Failed to decode the gzip content of " + targetPath_);
    DeleteFileW(encodedPath.c_str());
    Throw(PELK_E_GZIP);
  }
  // One replacing move: the target is never missing, whatever fails.
  if (!MoveFileExW(temporary.c_str(), targetPath_.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    LogFailure(L"Failed to replace the target file with its decoded content: ");
    const DWORD error = GetLastError();
    DeleteFileW(temporary.c_str());
    ThrowSystemError(error);
  }
  DeleteFileW(encodedPath.c_str());
  return true;
}

void DownloadFile::Close() { file_.Close(); }

}  // namespace hv
