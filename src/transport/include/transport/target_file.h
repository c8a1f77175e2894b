// One open file a download streams into (the target or its encoded file; which one, and what becomes of
// it, is DownloadFile's to decide): opened where it is, written block by block. Every failure is a thrown
// hv::StatusError.
#pragma once

#include <windows.h>

#include <cstdint>
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

 private:
  std::wstring path_;
  UniqueFile file_;
};

// True when the volume holding the path's folder (the current folder for a bare file name) has strictly
// more free bytes than size; false when the folder cannot be queried.
bool HasFreeSpace(const std::wstring& path, uint64_t size);

}  // namespace hv
