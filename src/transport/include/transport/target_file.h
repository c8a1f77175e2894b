// The file a download streams into, for the length of one exchange on the worker thread: opened where it
// is (a partial file is resumed), written block by block, and, for a gzip-encoded answer, decoded into the
// download's target. Every failure is a thrown hv::StatusError; a file never goes missing on a failure.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>

#include "support/scoped_handle.h"

namespace hv {

class TargetFile {
 public:
  // Opens path for writing, creating it empty when absent, with the write position at its end; returns
  // its size (0 when the size cannot be read). Throws PELK_E_CREATE_FILE, or a system error when the
  // position cannot be set.
  uint64_t Open(const std::wstring& path);
  // Empties the open file: closes, deletes and creates it again (CREATE_ALWAYS, so it is empty even when
  // it could not be deleted). Throws PELK_E_CREATE_FILE.
  void Recreate();
  // Appends a block. Throws PELK_E_DISK_SPACE for a full disk or a short write, a system error otherwise.
  void Write(const char* data, DWORD length);
  void Close();  // nothing when not open
  // Closes the file, which holds gzip-encoded content, and decodes it into destination through
  // "<destination>.temp", which then replaces destination in one move; the encoded file is removed.
  // keepGoing as DecodeGzipFile: false returned when it stopped the decoding (every file stays as it
  // was). Throws PELK_E_GZIP when the content cannot be decoded (the encoded file is removed, since it can
  // never become the target; destination is untouched), or a system error when the decoded file cannot
  // take destination's place.
  bool DecodeGzipInto(const std::wstring& destination, const std::function<bool()>& keepGoing);

 private:
  std::wstring path_;
  UniqueFile file_;
};

// True when the volume holding the path's folder (the current folder for a bare file name) has strictly
// more free bytes than size; false when the folder cannot be queried.
bool HasFreeSpace(const std::wstring& path, uint64_t size);

}  // namespace hv
