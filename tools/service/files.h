// The service's file access: whole-file reads, reads of served slices, appends of stored reports and
// the files' MD5 digests, on Windows file handles the service owns itself.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

namespace hv {
namespace service {

struct FileCloser {
  void operator()(HANDLE file) const { CloseHandle(file); }
};
// An open file, closed when the owner goes; null when opening failed.
using FileHandle = std::unique_ptr<void, FileCloser>;

// Opens an existing file for reading, shared with other readers; null when it cannot be opened.
FileHandle OpenForReading(const std::wstring& path);

// The whole content of a file; false when it cannot be opened or read.
bool ReadWholeFile(const std::wstring& path, std::string& bytes);

// Appends the bytes to the file, creating it when absent; false when it cannot be opened or not every
// byte was written.
bool AppendToFile(const std::wstring& path, const std::string& bytes);

// The file's length and its MD5 digest as 32 lower-case hexadecimal digits, read through the system's
// hash provider. False with a reason ("cannot be read" or "cannot be hashed") when the file cannot be
// read to its end or the provider fails.
bool DigestFile(const std::wstring& path, uint64_t& size, std::wstring& md5, std::string& reason);

}  // namespace service
}  // namespace hv
