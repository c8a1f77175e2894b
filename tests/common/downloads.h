// Downloads through the exports, for the API suites and the torture run: the digest the service announces
// and the polls of PelkDownloadCheck until the phase is final.
#pragma once

#include <hvpelk/loader.h>

#include <cstdint>
#include <functional>
#include <string>

namespace hvtest {

// The MD5 digest of bytes as the service announces it: lower-case hex, as narrow text.
std::string Md5Hex(const std::string& bytes);

// What one PelkDownloadCheck returned.
struct DownloadCheck {
  int32_t phase = 0;
  uint64_t received = 0;
  uint64_t verified = 0;
  uint64_t total = 0;
};
using CheckObserver = std::function<void(const DownloadCheck&)>;

// Polls h's download every pollMs until PELK_PHASE_IS_FINAL, at most polls times (-1: without a bound, for
// the torture's children, whose parent counts hangs); every check goes to onCheck. Returns the last phase,
// which is not final when the polls ran out.
int32_t PollUntilFinal(hvpelk::Library& pelk, int32_t h, int polls, DWORD pollMs,
                       const CheckObserver& onCheck = nullptr);

// PollUntilFinal, by default 5 ms apart for at most 30 s; a download that does not end is a test failure.
int32_t WaitForEnd(hvpelk::Library& pelk, int32_t h, const CheckObserver& onCheck = nullptr, int polls = 6000,
                   DWORD pollMs = 5);

// Submits distribution 0 of h into target and waits for the final phase (WaitForEnd); a submit that
// neither runs nor completes returns its status.
int32_t DownloadToEnd(hvpelk::Library& pelk, int32_t h, const std::wstring& target, int polls = 6000, DWORD pollMs = 5);

}  // namespace hvtest
