#include "transport/download_file.h"

#include <utility>

#include "operation_tag.h"
#include "support/log.h"
#include "support/md5.h"
#include "support/status.h"
#include "support/strings.h"
#include "transport/answer_rules.h"
#include "transport/gzip.h"
#include "transport/resume_record.h"

namespace hv {

DownloadFile::DownloadFile(std::wstring targetPath, std::wstring expectedChecksum)
    : targetPath_(std::move(targetPath)), expectedChecksum_(std::move(expectedChecksum)) {}

std::wstring DownloadFile::EncodedPath() const { return targetPath_ + L".encoded"; }

std::wstring DownloadFile::TemporaryPath() const { return targetPath_ + L".temp"; }

std::wstring DownloadFile::RecordPath() const { return targetPath_ + L".resume"; }

void DownloadFile::Begin(const StopSignal& stop) {
  stop_ = &stop;
  // An unfinished gzip-encoded download continues in its encoded file; otherwise the target continues. An
  // encoded file held by another program is no reason to take the target instead.
  DWORD error = targetPath_.empty() ? ERROR_INVALID_NAME : file_.OpenExisting(EncodedPath(), stop);
  encoded_ = error == ERROR_SUCCESS;
  if (!encoded_ && HeldOr(error, 0) != 0) Throw(PELK_E_FILE_IN_USE, error);
  if (!encoded_) {
    error = targetPath_.empty() ? ERROR_INVALID_NAME : file_.OpenExisting(targetPath_, stop);
    // Absent is fine: its folder exists, and the file is created once an answer brings its body.
    if (error != ERROR_SUCCESS && error != ERROR_FILE_NOT_FOUND) {
      if (IsLogEnabled()) LogError(L"The target cannot be a file: " + targetPath_ + L": " + Hex(error));
      Throw(HeldOr(error, PELK_E_CREATE_FILE), error);
    }
  }
  requestFrom_ = file_.Size();
  if (!expectedChecksum_.empty()) {
    digest_.emplace(stop);
    // The existing part of a plain file is hashed while the request for the rest is on its way; an encoded
    // file's checksum is of its decoding.
    if (requestFrom_ > 0 && !encoded_) digest_->AddFile(targetPath_, requestFrom_);
  }
  // A record belongs to a partial file only; without one it is left from a file that is gone.
  if (requestFrom_ > 0) {
    validator_ = ReadRecord();
  } else {
    RemoveRecord();
  }
}

BodySink::Plan DownloadFile::TakeAnswer(const HttpAnswer& answer, std::optional<uint64_t> length) {
  LogLine(L"\t[Submit]: Streaming to file enabled.  Creating file...");
  const uint64_t size = OpenFor(answer);
  if (requestFrom_ > 0) return JudgeRangedAnswer(answer, length, size);
  // The whole file was asked for: only the whole file will do, written from the file's first byte.
  uint64_t total = 0;
  if (answer.status == 206 && !AnswerContinues(answer, 0, encoded_, total)) Throw(PELK_E_HTTP_STATUS);
  Restart(answer);
  Plan plan;
  plan.total = length.value_or(0);
  return Checked(answer, plan);
}

uint64_t DownloadFile::OpenFor(const HttpAnswer& answer) {
  // A refused range has no body, so its encoding says nothing: the file it refused stays.
  const bool gzip = answer.status == 416 ? encoded_ : answer.IsGzip();
  if (!file_.IsOpen() || gzip != encoded_) {
    file_.Close();
    // An encoded file left from an earlier answer would steer every later resume: the server now sends
    // the file as it is.
    if (!gzip) Remove(EncodedPath());
    file_.Open(gzip ? EncodedPath() : targetPath_, *stop_);
    encoded_ = gzip;
  }
  return file_.Size();
}

BodySink::Plan DownloadFile::JudgeRangedAnswer(const HttpAnswer& answer, std::optional<uint64_t> length,
                                               uint64_t size) {
  // The request asked for the bytes from requestFrom_ on, the size of the file then.
  Plan plan;
  uint64_t total = 0;
  const bool sameFile = size == requestFrom_;
  if (sameFile && answer.status == 206 && AnswerContinues(answer, size, encoded_, total)) {
    LogLine(L"\t[Submit]: Resuming download with partial file...");
    plan.received = size;
    plan.total = total;
    plan.resuming = true;
    return Checked(answer, plan);
  }
  // Only a file exactly as long as the resource is complete: a longer one holds bytes the server's file
  // does not have, an empty resource (a total of 0) is no file at all.
  const bool refusedAsComplete =
      answer.status == 416 && RefusedRangeTotal(answer.contentRange, total) && total == size && total > 0;
  // A whole answer after an If-Range came from a file that changed unless its validator is the record's:
  // however long it is, the partial file is not that file.
  const bool sameSource = validator_.empty() || AnswerValidator(answer.etag, answer.lastModified) == validator_;
  const bool wholeAsLong = answer.status == 200 && length && *length == size && sameSource;
  if (sameFile && (refusedAsComplete || wholeAsLong)) {
    plan.next = Next::Complete;
    plan.received = size;
    plan.total = size;
    return Checked(answer, plan);
  }
  Restart(answer);
  if (answer.status == 200) {
    // The whole body, the range ignored: the file starts again with it.
    LogLine(L"\t[Submit]: The server sent the whole file; starting the file again.");
    plan.total = length.value_or(0);
    return Checked(answer, plan);
  }
  // A range answered from another offset, for another total or encoding, or refused: appended, such an
  // answer would corrupt the file. The whole file is asked for again.
  LogLine(L"\t[Submit]: The server did not send the rest of the file; starting the file again.");
  plan.next = Next::FetchWhole;
  return plan;
}

BodySink::Plan DownloadFile::TakeWholeAnswer(const HttpAnswer& answer, std::optional<uint64_t> length) {
  // The whole file may come in another encoding than the first answer named: it goes to that encoding's
  // file, which starts again too.
  OpenFor(answer);
  Restart(answer);
  Plan plan;
  plan.total = length.value_or(0);
  return Checked(answer, plan);
}

BodySink::Plan DownloadFile::Checked(const HttpAnswer& answer, Plan plan) const {
  // What is still to come has to fit; a complete file needs nothing more.
  const uint64_t remaining = plan.total > plan.received ? plan.total - plan.received : 0;
  if (!HasFreeSpace(targetPath_, remaining)) Throw(PELK_E_DISK_SPACE);
  // A body that goes into a file needs a type; a refused range (the file is complete) has none.
  if (answer.status == 416) return plan;
  OperationTag tag(L"CheckContentType");
  if (answer.contentTypeRead && IsLogEnabled()) LogLine(L"\tContent Type: " + answer.contentType);
  if (answer.contentType.empty()) {
    LogError(L"Invalid content type.");
    Throw(PELK_E_CONTENT_TYPE);
  }
  return plan;
}

void DownloadFile::Restart(const HttpAnswer& answer) {
  if (digest_) digest_->Restart();
  emptyBeforeWrite_ = true;
  writtenWhole_ = true;
  validator_ = AnswerValidator(answer.etag, answer.lastModified);
}

void DownloadFile::EmptyIfRestarting() {
  if (!emptyBeforeWrite_) return;
  // The file is empty before the record names its new source, and the record is in place before the
  // first byte: at no moment does a partial file stand beside a record of another answer.
  file_.Recreate(*stop_);
  WriteRecord();
  emptyBeforeWrite_ = false;
}

void DownloadFile::Write(const char* data, DWORD length) {
  EmptyIfRestarting();
  file_.Write(data, length);
  if (digest_ && !encoded_ && !digest_->Add(data, length)) ThrowStopped();
}

void DownloadFile::EndBody(bool overran) {
  if (overran) overran_ = true;
  EmptyIfRestarting();
}

BodySink::Outcome DownloadFile::Finish(const StopSignal& stop, const VerifiedCount& onVerified) {
  file_.Close();
  if (overran_) return RefetchOnce(PELK_E_READ);
  if (encoded_ && !Decode(stop)) return RefetchOnce(PELK_E_GZIP);
  const std::wstring finished = encoded_ ? TemporaryPath() : targetPath_;
  if (!expectedChecksum_.empty()) {
    bool matches = false;
    try {
      matches = Verify(finished, stop, onVerified);
    } catch (...) {
      // An unverified decoding is not kept: the encoded file decodes again on the next try.
      if (encoded_) Remove(finished);
      throw;
    }
    if (!matches) {
      if (encoded_) Remove(finished);
      return RefetchOnce(PELK_E_CHECKSUM);
    }
  }
  if (encoded_) ReplaceTarget();
  RemoveRecord();
  return Outcome::Finished;
}

BodySink::Outcome DownloadFile::RefetchOnce(StatusCode status) {
  // A file written whole in this exchange is the server's answer as it is; anything else may be a stale
  // file (an older version, a longer one, a mix) and is fetched again once.
  if (writtenWhole_ || refetched_) Throw(status);
  LogLine(L"\t[Submit]: The file is not the server's file; starting the file again.");
  refetched_ = true;
  overran_ = false;
  requestFrom_ = 0;
  return Outcome::Refetch;
}

bool DownloadFile::Decode(const StopSignal& stop) {
  DWORD error = 0;
  // The checksum is of the decoded content, hashed as it is written.
  DecodedBlock hash;
  if (digest_) {
    digest_->Restart();
    hash = [this](const void* data, size_t size) { return digest_->Add(data, size); };
  }
  const GzipFileResult result = DecodeGzipFile(
      EncodedPath(), TemporaryPath(), [&stop] { return !stop.Requested(); }, hash, error);
  switch (result) {
    case GzipFileResult::Decoded: return true;
    case GzipFileResult::Stopped: ThrowStopped();  // the encoded file stays: it can be decoded another time
    case GzipFileResult::DamagedData:
      // Damaged data never becomes the target, and decoding it again cannot help: the encoded file goes.
      if (IsLogEnabled()) LogError(L"Failed to decode the gzip content of " + targetPath_);
      Remove(EncodedPath());
      RemoveRecord();
      return false;
    case GzipFileResult::IoError: break;
  }
  // The files are at fault, not the data: the encoded file stays for the next try.
  LogFailure(L"Failed to write the decoded content: ", error);
  if (error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL) Throw(PELK_E_DISK_SPACE, error);
  ThrowSystemError(error);
}

bool DownloadFile::Verify(const std::wstring& path, const StopSignal& stop, const VerifiedCount& onVerified) {
  onVerified(0);
  stop.ThrowIfRequested();
  std::wstring digest = digest_->Finish(onVerified);
  if (digest.empty()) {
    // The digest made while writing failed (a part that could not be read back): the file is hashed
    // again, whole.
    digest = FileMd5Hex(path, [&](uint64_t hashed) {
      onVerified(hashed);
      return !stop.Requested();
    });
  }
  stop.ThrowIfRequested();
  return digest == expectedChecksum_;
}

void DownloadFile::ReplaceTarget() {
  // One replacing move: the target is never missing, whatever fails. A previous target another program
  // holds open (shared for reading) is waited for; the verified decoding then goes, the encoded file stays.
  const DWORD error = RetryWhileHeld(*stop_, targetPath_, [this] {
    return MoveFileExW(TemporaryPath().c_str(), targetPath_.c_str(), MOVEFILE_REPLACE_EXISTING) ? ERROR_SUCCESS
                                                                                                : GetLastError();
  });
  if (error != ERROR_SUCCESS) {
    LogFailure(L"Failed to replace the target file with its decoded content: ", error);
    DeleteFileW(TemporaryPath().c_str());
    if (HeldOr(error, 0) != 0) Throw(PELK_E_FILE_IN_USE, error);
    ThrowSystemError(error);
  }
  Remove(EncodedPath());
}

void DownloadFile::Remove(const std::wstring& path) const {
  const DWORD error =
      RetryWhileHeld(*stop_, path, [&path] { return DeleteFileW(path.c_str()) ? ERROR_SUCCESS : GetLastError(); });
  if (error == ERROR_SUCCESS || error == ERROR_FILE_NOT_FOUND) return;
  if (IsLogEnabled()) LogError(L"Failed to remove " + path + L": " + Hex(error));
  Throw(HeldOr(error, PELK_E_CREATE_FILE), error);
}

std::wstring DownloadFile::ReadRecord() const {
  // A record is two short lines; anything longer is none.
  const UniqueFile record(CreateFileW(RecordPath().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!record) return std::wstring();
  std::string bytes(2 * kLongestValidator, '\0');
  DWORD read = 0;
  if (!ReadFile(record.get(), &bytes[0], static_cast<DWORD>(bytes.size()), &read, nullptr)) return std::wstring();
  bytes.resize(read);
  std::wstring validator = ParseResumeRecord(bytes);
  if (IsLogEnabled()) {
    LogLine(validator.empty() ? L"\t[Submit]: No resume record; the partial file is resumed unchecked."
                              : L"\t[Submit]: The partial file came from " + validator);
  }
  return validator;
}

void DownloadFile::WriteRecord() const {
  if (validator_.empty()) {
    RemoveRecord();
    return;
  }
  // Written whole to a file of its own, flushed, then moved over the record in one step: a crash leaves
  // the old record or the new one, never a part.
  const std::wstring written = RecordPath() + L".tmp";
  const std::string bytes = FormatResumeRecord(validator_);
  DWORD error = ERROR_SUCCESS;
  {
    const UniqueFile file(
        CreateFileW(written.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD done = 0;
    if (!file || !WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr) ||
        !FlushFileBuffers(file.get())) {
      error = GetLastError();
    } else if (done != bytes.size()) {
      error = ERROR_DISK_FULL;  // a short write to a disk file
    }
  }
  if (error == ERROR_SUCCESS) {
    error = RetryWhileHeld(*stop_, RecordPath(), [&] {
      return MoveFileExW(written.c_str(), RecordPath().c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
                 ? ERROR_SUCCESS
                 : GetLastError();
    });
  }
  if (error == ERROR_SUCCESS) return;
  // Without its record the partial file is resumed unchecked later, as one from before records were kept;
  // an older record must not stay in its place.
  if (IsLogEnabled()) LogError(L"Failed to write the resume record " + RecordPath() + L": " + Hex(error));
  DeleteFileW(written.c_str());
  RemoveRecord();
}

void DownloadFile::RemoveRecord() const {
  // A record that cannot be removed names the answer a file came from: at worst a later range is asked
  // for with a validator the server no longer has, and the server sends the whole file.
  const DWORD error = RetryWhileHeld(*stop_, RecordPath(), [this] {
    return DeleteFileW(RecordPath().c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : GetLastError();
  });
  if (error != ERROR_SUCCESS && IsLogEnabled()) LogError(L"Failed to remove " + RecordPath() + L": " + Hex(error));
  DeleteFileW((RecordPath() + L".tmp").c_str());  // left by a run that ended while writing a record
}

void DownloadFile::Close() { file_.Close(); }

}  // namespace hv
