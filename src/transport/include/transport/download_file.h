// The file side of one download, on the worker thread for the length of one exchange: which file on disk
// an answer's body goes to, whether the answer continues that file, completes it or starts it again, and
// what happens once the body is in (gzip decoding, the checksum pass). The session asks it at a few points
// and carries out the HTTP. Every name beside the target is made here:
//   "<target>.encoded"  a gzip-encoded answer streams into it; only a whole, verified decoding replaces
//                       the target
//   "<target>.temp"     the decoded content, verified, then moved over the target in one step
// A file that is not the server's file is never taken for complete: only a file exactly as long as the
// server announces is complete, and a file that was not written whole from its first byte in this exchange
// and fails its checksum (or was continued by an answer that ran past its range) starts again once, with
// one unranged request. Every failure is a thrown hv::StatusError; the target never goes missing.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>

#include "transport/gzip.h"
#include "transport/http_answer.h"
#include "transport/target_file.h"
#include "transport/transfer_progress.h"

namespace hv {

class DownloadFile {
 public:
  // expectedChecksum: lower-case MD5 hex the finished file must have; empty: no checksum pass.
  DownloadFile(std::wstring targetPath, std::wstring expectedChecksum);

  // Before anything is sent: refuses a target that cannot be a file (a folder, a missing folder, a name
  // no file can have, no access) with PELK_E_CREATE_FILE, creating or changing nothing, and opens what an
  // earlier run left: an unfinished encoded file first, else the target.
  void Begin();
  // Where the next request starts: the size of what an earlier run left; 0 asks for the whole file.
  uint64_t RequestFrom() const { return requestFrom_; }

  // What the session does next with an answer.
  enum class Next {
    ReadBody,    // stream the body into the file (appended, or the file starts again with it)
    Complete,    // the file is exactly as long as announced: read nothing
    FetchWhole,  // the answer cannot serve: send one unranged request and call TakeWholeAnswer
  };
  // Opens the file the answer's body goes to and judges the answer against it. Sets the progress
  // record's received and total counts (and the resuming phase). Throws PELK_E_CREATE_FILE, or
  // PELK_E_HTTP_STATUS for a partial answer to a request for the whole file.
  [[nodiscard]] Next TakeAnswer(const HttpAnswer& answer, TransferProgress& progress);
  // The answer to the unranged request after FetchWhole (a 200): the file starts again with its body.
  void TakeWholeAnswer(const HttpAnswer& answer);
  // Throws PELK_E_DISK_SPACE unless what is still to come fits the target's volume.
  void CheckFreeSpace(const TransferProgress& progress) const;

  // Appends a block; the first block after the file was told to start again empties it first.
  void Write(const char* data, DWORD length);
  // The body has ended: a file that starts again and received nothing is emptied now.
  void EndOfBody();
  // The answer went on past the end of the range it announced: what it appended cannot be trusted.
  void Overran();

  enum class Outcome {
    Finished,    // the target is the verified file
    Stopped,     // onProgress asked to stop; the files stay for another try
    StartAgain,  // the file failed and starts again: send the next request for the whole file
  };
  // Decodes an encoded file and runs the checksum pass; onProgress is called after each step of either
  // (with the verified count and phase set in progress) and returns false to stop. Throws PELK_E_CHECKSUM
  // (PELK_E_READ after an overrun) when the file was written whole in this exchange, or had started again
  // once already; PELK_E_GZIP for damaged gzip data (the encoded file goes); a system error (the disk
  // full: PELK_E_DISK_SPACE) when decoding fails for the files' sake (the encoded file stays).
  [[nodiscard]] Outcome Finish(TransferProgress& progress, const std::function<bool()>& onProgress);
  void Close();  // closes the open file; nothing when none is open

 private:
  std::wstring EncodedPath() const;
  std::wstring TemporaryPath() const;
  // Opens the file for the answer's encoding (the open one when it fits); a plain answer drops an encoded
  // file left from an earlier gzip answer. Returns its size.
  uint64_t OpenFor(const HttpAnswer& answer);
  Next JudgeRangedAnswer(const HttpAnswer& answer, uint64_t size, TransferProgress& progress);
  void StartAgain(TransferProgress& progress);
  Outcome FailedWhole(StatusCode status);  // StartAgain once, else throws status
  // Decodes the encoded file into the temporary file. Damaged data removes the encoded file; a failure of
  // the files throws (a full disk: PELK_E_DISK_SPACE) and keeps it.
  GzipFileResult Decode(const std::function<bool()>& keepGoing);
  // The checksum pass over path: false when stopped; sets matches.
  [[nodiscard]] bool Verify(const std::wstring& path, TransferProgress& progress,
                            const std::function<bool()>& onProgress, bool& matches);
  void ReplaceTarget();  // moves the verified temporary file over the target

  std::wstring targetPath_;
  std::wstring expectedChecksum_;
  TargetFile file_;
  uint64_t requestFrom_ = 0;
  bool encoded_ = false;       // the open file is the encoded one
  bool startAgain_ = false;    // the file is emptied when the new body's first block comes
  bool writtenWhole_ = false;  // this exchange wrote the file from its first byte
  bool overran_ = false;       // the last answer ran past its range
  bool startedAgain_ = false;  // the one fresh start of this exchange was taken
};

}  // namespace hv
