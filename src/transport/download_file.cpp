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

// True when a 206 continues a file of size bytes exactly (size 0: it is the whole file): "bytes
// <size>-<total - 1>/<total>", a length to match (one that is no number counts as absent: the body runs to
// the end of the connection and is read up to the range's end) and the encoding of the file it continues.
// total: the resource's length.
bool AnswerContinues(const HttpAnswer& answer, uint64_t size, bool encoded, uint64_t& total) {
  uint64_t first = 0, last = 0;
  if (!ParseContentRange(answer.contentRange, first, last, total) || first != size || last + 1 != total) {
    return false;
  }
  if (answer.hasLength && answer.length != total - first) return false;
  return encoded ? answer.IsGzip() : answer.contentEncoding.empty();
}

}  // namespace

DownloadFile::DownloadFile(std::wstring targetPath, std::wstring expectedChecksum)
    : targetPath_(std::move(targetPath)), expectedChecksum_(std::move(expectedChecksum)) {}

std::wstring DownloadFile::EncodedPath() const { return targetPath_ + L".encoded"; }

std::wstring DownloadFile::TemporaryPath() const { return targetPath_ + L".temp"; }

void DownloadFile::Begin() {
  // An unfinished gzip-encoded download continues in its encoded file; otherwise the target continues.
  encoded_ = !targetPath_.empty() && file_.OpenExisting(EncodedPath()) == ERROR_SUCCESS;
  if (!encoded_) {
    const DWORD error = targetPath_.empty() ? ERROR_INVALID_NAME : file_.OpenExisting(targetPath_);
    // Absent is fine: its folder exists, and the file is created once an answer brings its body.
    if (error != ERROR_SUCCESS && error != ERROR_FILE_NOT_FOUND) {
      if (IsLogEnabled()) LogError(L"The target cannot be a file: " + targetPath_ + L": " + Hex(error));
      Throw(PELK_E_CREATE_FILE);
    }
  }
  requestFrom_ = file_.Size();
}

DownloadFile::Next DownloadFile::TakeAnswer(const HttpAnswer& answer, TransferProgress& progress) {
  LogLine(L"\t[Submit]: Streaming to file enabled.  Creating file...");
  const uint64_t size = OpenFor(answer);
  progress.bytesReceived = size;
  if (requestFrom_ > 0) return JudgeRangedAnswer(answer, size, progress);
  // The whole file was asked for: only the whole file will do, written from the file's first byte.
  uint64_t total = 0;
  if (answer.status == 206 && !AnswerContinues(answer, 0, encoded_, total)) Throw(PELK_E_HTTP_STATUS);
  StartAgain(progress);
  return Next::ReadBody;
}

uint64_t DownloadFile::OpenFor(const HttpAnswer& answer) {
  // A refused range has no body, so its encoding says nothing: the file it refused stays.
  const bool gzip = answer.status == 416 ? encoded_ : answer.IsGzip();
  if (!file_.IsOpen() || gzip != encoded_) {
    file_.Close();
    // An encoded file left from an earlier answer would steer every later resume: the server now sends
    // the file as it is.
    if (!gzip) DeleteFileW(EncodedPath().c_str());
    file_.Open(gzip ? EncodedPath() : targetPath_);
    encoded_ = gzip;
  }
  return file_.Size();
}

DownloadFile::Next DownloadFile::JudgeRangedAnswer(const HttpAnswer& answer, uint64_t size,
                                                   TransferProgress& progress) {
  // The request asked for the bytes from requestFrom_ on, the size of the file then.
  uint64_t total = 0;
  const bool sameFile = size == requestFrom_;
  if (sameFile && answer.status == 206 && AnswerContinues(answer, size, encoded_, total)) {
    progress.totalBytes = total;
    progress.state = PELK_PHASE_RESUMING;
    LogLine(L"\t[Submit]: Resuming download with partial file...");
    return Next::ReadBody;
  }
  // Only a file exactly as long as the resource is complete: a longer one holds bytes the server's file
  // does not have, an empty resource (a total of 0) is no file at all.
  const bool refusedAsComplete =
      answer.status == 416 && RefusedRangeTotal(answer.contentRange, total) && total == size && total > 0;
  const bool wholeAsLong = answer.status == 200 && answer.hasLength && answer.length == size;
  if (sameFile && (refusedAsComplete || wholeAsLong)) {
    progress.totalBytes = size;
    return Next::Complete;
  }
  if (answer.status == 200) {
    // The whole body, the range ignored: the file starts again with it.
    LogLine(L"\t[Submit]: The server sent the whole file; starting the file again.");
    StartAgain(progress);
    progress.totalBytes = answer.hasLength ? answer.length : 0;
    return Next::ReadBody;
  }
  // A range answered from another offset, for another total or encoding, or refused: appended, such an
  // answer would corrupt the file. The whole file is asked for again.
  LogLine(L"\t[Submit]: The server did not send the rest of the file; starting the file again.");
  StartAgain(progress);
  return Next::FetchWhole;
}

void DownloadFile::TakeWholeAnswer(const HttpAnswer& answer) {
  // The whole file may come in another encoding than the first answer named: it goes to that encoding's
  // file, which starts again too.
  OpenFor(answer);
  startAgain_ = true;
}

void DownloadFile::StartAgain(TransferProgress& progress) {
  startAgain_ = true;
  writtenWhole_ = true;
  progress.bytesReceived = 0;
}

void DownloadFile::CheckFreeSpace(const TransferProgress& progress) const {
  // What is still to come has to fit; a complete file needs nothing more.
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

void DownloadFile::Overran() { overran_ = true; }

DownloadFile::Outcome DownloadFile::Finish(TransferProgress& progress, const std::function<bool()>& onProgress) {
  file_.Close();
  if (overran_) return FailedWhole(PELK_E_READ);
  if (encoded_) {
    const GzipFileResult decoded = Decode(onProgress);
    if (decoded == GzipFileResult::Stopped) return Outcome::Stopped;  // it can be decoded another time
    if (decoded == GzipFileResult::DamagedData) return FailedWhole(PELK_E_GZIP);
  }
  const std::wstring finished = encoded_ ? TemporaryPath() : targetPath_;
  if (!expectedChecksum_.empty()) {
    bool matches = false;
    const bool verified = Verify(finished, progress, onProgress, matches);
    // An unverified decoding is not kept: the encoded file decodes again on the next try.
    if (encoded_ && !(verified && matches)) DeleteFileW(finished.c_str());
    if (!verified) return Outcome::Stopped;
    if (!matches) return FailedWhole(PELK_E_CHECKSUM);
  }
  if (encoded_) ReplaceTarget();
  return Outcome::Finished;
}

DownloadFile::Outcome DownloadFile::FailedWhole(StatusCode status) {
  // A file written whole in this exchange is the server's answer as it is; anything else may be a stale
  // file (an older version, a longer one, a mix) and starts again once.
  if (writtenWhole_ || startedAgain_) Throw(status);
  LogLine(L"\t[Submit]: The file is not the server's file; starting the file again.");
  startedAgain_ = true;
  overran_ = false;
  requestFrom_ = 0;
  return Outcome::StartAgain;
}

GzipFileResult DownloadFile::Decode(const std::function<bool()>& keepGoing) {
  DWORD error = 0;
  const GzipFileResult result = DecodeGzipFile(EncodedPath(), TemporaryPath(), keepGoing, error);
  if (result == GzipFileResult::DamagedData) {
    // Damaged data never becomes the target, and decoding it again cannot help: the encoded file goes.
    if (IsLogEnabled()) LogError(L"Failed to decode the gzip content of " + targetPath_);
    DeleteFileW(EncodedPath().c_str());
  }
  if (result != GzipFileResult::IoError) return result;
  // The files are at fault, not the data: the encoded file stays for the next try.
  LogFailure(L"Failed to write the decoded content: ", error);
  if (error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL) Throw(PELK_E_DISK_SPACE);
  ThrowSystemError(error);
}

bool DownloadFile::Verify(const std::wstring& path, TransferProgress& progress,
                          const std::function<bool()>& onProgress, bool& matches) {
  progress.bytesVerified = 0;
  progress.state = PELK_PHASE_VERIFYING;
  bool stopped = !onProgress();
  const std::wstring digest = stopped ? std::wstring() : FileMd5Hex(path, [&](uint64_t hashed) {
    progress.bytesVerified = hashed;
    stopped = !onProgress();
    return !stopped;
  });
  matches = digest == expectedChecksum_;
  return !stopped && onProgress();
}

void DownloadFile::ReplaceTarget() {
  // One replacing move: the target is never missing, whatever fails.
  if (!MoveFileExW(TemporaryPath().c_str(), targetPath_.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    LogFailure(L"Failed to replace the target file with its decoded content: ");
    const DWORD error = GetLastError();
    DeleteFileW(TemporaryPath().c_str());
    ThrowSystemError(error);
  }
  DeleteFileW(EncodedPath().c_str());
}

void DownloadFile::Close() { file_.Close(); }

}  // namespace hv
