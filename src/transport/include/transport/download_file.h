// The file side of one download, on the worker thread for the length of one exchange: which file on disk an
// answer's body goes to, whether the answer continues that file, completes it or starts it again, and what
// happens once the body is in (gzip decoding, the checksum, replacing the target). Every file operation of a
// download is made here (through TargetFile, DecodeGzipFile and the checksum's ContentDigest, which hashes
// the content on a thread of its own as it is written); the session carries out the HTTP. Every name beside
// the target is made here:
//   "<target>.encoded"  a gzip-encoded answer streams into it; only a whole, verified decoding replaces
//                       the target
//   "<target>.temp"     the decoded content, verified, then moved over the target in one step
//   "<target>.resume"   the resume record (resume_record.h): the validator of the answer the partial file
//                       came from, sent as "If-Range" with the range of the rest, so that a changed file on
//                       the server starts the file again instead of continuing it; written through
//                       "<target>.resume.tmp", removed once the file is complete or gone
// A file that is not the server's file is never taken for complete: only a file exactly as long as the
// server announces is complete, and a file that was not written whole from its first byte in this exchange
// and fails its checksum (or was continued by an answer that ran past its range) is fetched again once,
// whole. Every failure is a thrown hv::StatusError; the target never goes missing.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>

#include "transport/body_sink.h"
#include "transport/content_digest.h"
#include "transport/gzip.h"
#include "transport/http_answer.h"
#include "transport/target_file.h"

namespace hv {

class DownloadFile : public BodySink {
 public:
  // expectedChecksum: lower-case MD5 hex the finished file must have; empty: none is computed.
  DownloadFile(std::wstring targetPath, std::wstring expectedChecksum);

  // Refuses a target that cannot be a file (a folder, a missing folder, a name no file can have, no access)
  // with PELK_E_CREATE_FILE, creating or changing nothing, and opens what an earlier run left: an unfinished
  // encoded file first, else the target. Every file operation of the exchange waits out another program's
  // hold on its file for about 2 s (RetryWhileHeld), then throws PELK_E_FILE_IN_USE, the files as they were.
  void Begin(const StopSignal& stop) override;
  // The size of what an earlier run left (0 asks for the whole file).
  uint64_t RequestFrom() const override { return requestFrom_; }
  // The resume record's validator of that partial file; empty without a record.
  std::wstring RangeValidator() const override { return requestFrom_ > 0 ? validator_ : std::wstring(); }
  // Opens the file the answer's body goes to and judges the answer against it. Throws PELK_E_CREATE_FILE,
  // PELK_E_HTTP_STATUS for a partial answer to a request for the whole file, PELK_E_DISK_SPACE unless what
  // is still to come fits the target's volume, PELK_E_CONTENT_TYPE for a body without a content type.
  Plan TakeAnswer(const HttpAnswer& answer, std::optional<uint64_t> length) override;
  // The file starts again with the whole answer's body, in that answer's encoding; throws as TakeAnswer.
  Plan TakeWholeAnswer(const HttpAnswer& answer, std::optional<uint64_t> length) override;
  // Appends a block; the first block after the file was told to start again empties it first. Throws
  // PELK_E_DISK_SPACE for a full disk, a system error otherwise.
  void Write(const char* data, DWORD length) override;
  // A file that starts again and received nothing is emptied now.
  void EndBody(bool overran) override;
  // Decodes an encoded file and compares the checksum. Throws PELK_E_CHECKSUM (PELK_E_READ after an
  // overrun) when the file was written whole in this exchange or was fetched again once already;
  // PELK_E_GZIP for damaged gzip data (the encoded file goes); a system error (the disk full:
  // PELK_E_DISK_SPACE) when decoding fails for the files' sake (the encoded file stays). A stop leaves the
  // files for another try.
  Outcome Finish(const StopSignal& stop, const VerifiedCount& onVerified) override;
  void Close() override;  // nothing when no file is open
  bool IsDownload() const override { return true; }

 private:
  std::wstring EncodedPath() const;
  std::wstring TemporaryPath() const;
  std::wstring RecordPath() const;
  // Opens the file for the answer's encoding (the open one when it fits); a plain answer drops an encoded
  // file left from an earlier gzip answer. Returns its size.
  uint64_t OpenFor(const HttpAnswer& answer);
  Plan JudgeRangedAnswer(const HttpAnswer& answer, std::optional<uint64_t> length, uint64_t size);
  // The checks of an answer whose body will be read or is complete.
  Plan Checked(const HttpAnswer& answer, Plan plan) const;
  void Restart(const HttpAnswer& answer);  // the file starts again, empty, with this answer's body
  // Empties the file when it is to start again, and writes the record of the answer that restarts it.
  void EmptyIfRestarting();
  Outcome RefetchOnce(StatusCode status);  // Refetch once, else throws status
  // Decodes the encoded file into the temporary file: false for damaged data (the encoded file is removed);
  // a failure of the files throws (a full disk: PELK_E_DISK_SPACE) and keeps it.
  bool Decode(const StopSignal& stop);
  // Whether the finished content at path matches the checksum: the digest made while it was written, or,
  // when that failed, one pass over the file.
  bool Verify(const std::wstring& path, const StopSignal& stop, const VerifiedCount& onVerified);
  void ReplaceTarget();  // moves the verified temporary file over the target
  // Deletes a file when it is there; throws PELK_E_FILE_IN_USE (PELK_E_CREATE_FILE) when it stays.
  void Remove(const std::wstring& path) const;
  std::wstring ReadRecord() const;  // the record's validator; empty without a readable record
  // Replaces the record with validator_'s in one move (removes it for none); a failure only logs and
  // removes the record: without one, the file is resumed unchecked.
  void WriteRecord() const;
  void RemoveRecord() const;  // a failure only logs

  std::wstring targetPath_;
  std::wstring expectedChecksum_;
  const StopSignal* stop_ = nullptr;  // the exchange's, from Begin on
  TargetFile file_;
  std::optional<ContentDigest> digest_;  // of the content, from Begin on when there is a checksum
  uint64_t requestFrom_ = 0;
  std::wstring validator_;         // of the file's source: read from its record, or of the answer restarting it
  bool encoded_ = false;           // the open file is the encoded one
  bool emptyBeforeWrite_ = false;  // the file is emptied when the next body's first block comes
  bool writtenWhole_ = false;      // this exchange wrote the file from its first byte
  bool overran_ = false;           // the last answer ran past its range
  bool refetched_ = false;         // the one refetch of this exchange was taken
};

}  // namespace hv
