// The file a download streams into, for the length of one exchange on the worker thread: opened where it
// is (a partial file is resumed), written block by block, decoded from gzip in place and hashed for
// verification. Every failure is a thrown hv::StatusError; the file on disk is never left missing.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "support/md5.h"
#include "support/scoped_handle.h"

namespace hv {

class TargetFile {
 public:
  explicit TargetFile(std::wstring path);  // opens nothing

  // Opens the file for writing, creating it empty when absent, with the write position at its end; returns
  // its size (0 when the size cannot be read). Throws PELK_E_CREATE_FILE, or a system error when the
  // position cannot be set.
  uint64_t Open();
  // Empties the file: closes, deletes and creates it again (CREATE_ALWAYS, so it is empty even when it
  // could not be deleted). Throws PELK_E_CREATE_FILE.
  void Recreate();
  // Appends a block. Throws PELK_E_DISK_SPACE for a full disk or a short write, a system error otherwise.
  void Write(const char* data, DWORD length);
  void Close();  // nothing when not open
  // Closes the file and replaces it by its gzip-decoded content, written to "<path>.temp" first. Throws
  // PELK_E_GZIP when the content cannot be decoded (the file stays as received), or a system error when
  // the decoded file cannot take its place.
  void DecodeGzip();
  // Closes the file and returns its MD5 digest, lower-case hexadecimal, as FileMd5Hex does.
  std::wstring Md5(const HashProgress& progress);

 private:
  std::wstring path_;
  UniqueFile file_;
};

// True when the volume holding the path's folder has strictly more free bytes than size; false when the
// folder cannot be queried.
bool HasFreeSpace(const std::wstring& path, uint64_t size);

}  // namespace hv
