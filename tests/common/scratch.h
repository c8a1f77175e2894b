// Scratch resources for tests: registry keys and folders that the test creates and removes again.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

namespace hvtest {

// Creates HKEY_CURRENT_USER or HKEY_LOCAL_MACHINE\<path> on construction (deleting any leftover first)
// and deletes the whole tree on destruction.
class ScratchKey {
 public:
  ScratchKey(HKEY root, std::wstring path);
  ~ScratchKey();
  ScratchKey(const ScratchKey&) = delete;
  ScratchKey& operator=(const ScratchKey&) = delete;

  HKEY root() const { return root_; }
  const std::wstring& path() const { return path_; }
  std::wstring Sub(const std::wstring& name) const { return path_ + L"\\" + name; }

  // Value setters for fixtures; each fails the test on error.
  void SetString(const std::wstring& subPath, const std::wstring& name, const std::wstring& value) const;
  void SetDword(const std::wstring& subPath, const std::wstring& name, DWORD value) const;
  void DeleteValue(const std::wstring& subPath, const std::wstring& name) const;

 private:
  HKEY root_;
  std::wstring path_;
};

// A fresh folder under the system temporary folder, removed with everything in it on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::wstring& path() const { return path_; }
  std::wstring File(const std::wstring& name) const { return path_ + L"\\" + name; }

 private:
  std::wstring path_;
};

// Whole-file helpers for fixtures and checks.
void WriteFileBytes(const std::wstring& path, const std::string& bytes);
std::string ReadFileBytes(const std::wstring& path);
bool FileExists(const std::wstring& path);
uint64_t FileSize(const std::wstring& path);  // 0 when it cannot be read
// Creates (or replaces) a sparse file of the given size: its zeros take no disk space. False on failure.
bool MakeSparseFile(const std::wstring& path, uint64_t size);
// The lower-case MD5 hex digest of bytes (the library's checksum helper over a scratch copy on disk).
std::wstring Md5Of(const std::string& bytes);

}  // namespace hvtest
