// One open file a download streams into (the target or its encoded file; which one, and what becomes of
// it, is DownloadFile's to decide), written block by block at its end. Every failure is a thrown
// hv::StatusError.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>

#include "support/scoped_handle.h"
#include "support/status.h"
#include "transport/stop_signal.h"

namespace hv {

// Runs a file operation (it returns its Windows error, 0 for success) again while another program holds
// the file: a sharing or lock violation, or access denied to a path that is neither a folder nor
// read-only (a file that is being deleted, one opened without sharing). The pauses grow from 10 ms to
// about 2 s in all, each retry logged once; a stop ends the wait with ThrowStopped. Returns the last error.
DWORD RetryWhileHeld(const StopSignal& stop, const std::wstring& path, const std::function<DWORD()>& operation);
// PELK_E_FILE_IN_USE for a sharing or lock violation, else otherwise.
StatusCode HeldOr(DWORD error, StatusCode otherwise);

class TargetFile {
 public:
  // Every open waits out another program's hold on the file (RetryWhileHeld) and ends at a stop.

  // Opens an existing file for appending; 0 when it is open, else the Windows error (ERROR_FILE_NOT_FOUND
  // when the folder exists but the file does not). Creates nothing.
  DWORD OpenExisting(const std::wstring& path, const StopSignal& stop);
  // Opens the file for appending, creating it empty when absent. Throws PELK_E_FILE_IN_USE for a file
  // still held, PELK_E_CREATE_FILE otherwise.
  void Open(const std::wstring& path, const StopSignal& stop);
  // The open file's size, read when it was opened (0 when it could not be read).
  uint64_t Size() const { return size_; }
  // Empties the open file: closes, deletes and creates it again (CREATE_ALWAYS, so it is empty even when
  // it could not be deleted). Throws as Open.
  void Recreate(const StopSignal& stop);
  // Appends a block. Throws PELK_E_DISK_SPACE for a full disk or a short write, a system error otherwise.
  void Write(const char* data, DWORD length);
  void Close();  // nothing when not open
  bool IsOpen() const { return file_.valid(); }

 private:
  DWORD OpenWith(const std::wstring& path, DWORD disposition, const StopSignal& stop);

  std::wstring path_;
  UniqueFile file_;
  uint64_t size_ = 0;
};

// True when the volume holding the path's folder (the current folder for a bare file name) has strictly
// more free bytes than size; false when the folder cannot be queried.
bool HasFreeSpace(const std::wstring& path, uint64_t size);

}  // namespace hv
