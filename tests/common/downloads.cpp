#include "common/downloads.h"

#include <gtest/gtest.h>

#include "common/scratch.h"

namespace hvtest {

std::string Md5Hex(const std::string& bytes) {
  const std::wstring digest = Md5Of(bytes);
  return std::string(digest.begin(), digest.end());
}

int32_t PollUntilFinal(hvpelk::Library& pelk, int32_t h, int polls, DWORD pollMs, const CheckObserver& onCheck) {
  DownloadCheck check;
  for (int i = 0; polls < 0 || i < polls; ++i) {
    check.phase = pelk.PelkDownloadCheck(h, 0, &check.received, &check.verified, &check.total);
    if (onCheck) onCheck(check);
    if (PELK_PHASE_IS_FINAL(check.phase)) break;
    Sleep(pollMs);
  }
  return check.phase;
}

int32_t WaitForEnd(hvpelk::Library& pelk, int32_t h, const CheckObserver& onCheck, int polls, DWORD pollMs) {
  const int32_t phase = PollUntilFinal(pelk, h, polls, pollMs, onCheck);
  if (!PELK_PHASE_IS_FINAL(phase)) ADD_FAILURE() << "the download did not end";
  return phase;
}

int32_t DownloadToEnd(hvpelk::Library& pelk, int32_t h, const std::wstring& target, int polls, DWORD pollMs) {
  const int32_t submitted = pelk.PelkDownloadSubmit(h, 0, target.c_str());
  if (submitted != PELK_S_STILL_RUNNING && submitted != PELK_S_OK) return submitted;
  return WaitForEnd(pelk, h, nullptr, polls, pollMs);
}

}  // namespace hvtest
