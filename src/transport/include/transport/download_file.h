// The file side of one download, on the worker thread for the length of one exchange: which file on disk
// an answer's body goes to, whether the answer continues that file, completes it or starts it again, and
// what happens once the body is in (gzip decoding, the checksum pass). The session asks it at a few
// points and carries out the HTTP; every name beside the target is made here:
//   "<target>.encoded"  a gzip-encoded answer streams into it; only a whole decoding replaces the target
//   "<target>.temp"     the decoded content, moved over the target in one step
// Every failure is a thrown hv::StatusError; the target never goes missing on a failure.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>

#include "transport/http_answer.h"
#include "transport/target_file.h"
#include "transport/transfer_progress.h"

namespace hv {

class DownloadFile {
 public:
  // expectedChecksum: lower-case MD5 hex the finished file must have; empty: no checksum pass.
  DownloadFile(std::wstring targetPath, std::wstring expectedChecksum);

  // The size of what an earlier run left (an unfinished encoded file first, else the target): the first
  // request asks for the bytes from there on. 0 when there is nothing.
  uint64_t ResumeOffset();

  // What the session does next with an answer.
  enum class Next {
    ReadBody,    // stream the body into the file (appended, or the file starts again with it)
    FetchWhole,  // this answer cannot serve: send one unranged request and call TakeWholeAnswer
  };
  // Opens the file the first answer's body goes to and judges the answer against it. Sets the progress
  // record's received and total counts (and the resuming phase). Throws PELK_E_CREATE_FILE.
  [[nodiscard]] Next TakeAnswer(const HttpAnswer& answer, TransferProgress& progress);
  // The unranged answer after FetchWhole (a 200): the file starts again with its body.
  void TakeWholeAnswer(const HttpAnswer& answer);
  // Throws PELK_E_DISK_SPACE unless what is still to come fits the target's volume.
  void CheckFreeSpace(const TransferProgress& progress) const;

  // Appends a block; the first block after the file was told to start again empties it first.
  void Write(const char* data, DWORD length);
  // The body has ended: a file that starts again and received nothing is emptied now.
  void EndOfBody();
  // Decodes an encoded file into the target and runs the checksum pass; onProgress is called after each
  // step of either (the verified count and phase are set in progress) and returns false to stop. False
  // when stopped; throws PELK_E_GZIP, PELK_E_CHECKSUM or a system error.
  [[nodiscard]] bool Finish(TransferProgress& progress, const std::function<bool()>& onProgress);
  void Close();  // closes the open file; nothing when none is open

 private:
  // Opens the file for an answer of this encoding and returns its size; a plain answer drops an encoded
  // file left from an earlier gzip answer.
  uint64_t OpenFor(const std::wstring& encoding);
  Next Judge(const HttpAnswer& answer, uint64_t size, TransferProgress& progress);
  void StartAgain(TransferProgress& progress);
  bool DecodeIntoTarget(const std::function<bool()>& keepGoing);
  std::wstring EncodedPath() const;

  std::wstring targetPath_;
  std::wstring expectedChecksum_;
  TargetFile file_;
  uint64_t resumeFrom_ = 0;  // the first request asked for the bytes from here on
  bool encoded_ = false;     // the open file is the encoded one
  bool startAgain_ = false;  // the file is emptied when the new body's first block comes
};

}  // namespace hv
