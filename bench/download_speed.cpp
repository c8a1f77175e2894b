// Download speed against a fast local server (scripts/bench starts it and names the files): the library's
// download path beside bare WinINet loops over the same URLs, each run timed on its own. It prints one line
// per run, "<path> <run> <seconds>", which scripts/bench puts side by side with their ratios.
//
//   download_speed RUNS FOLDER PLAIN_URL PLAIN_MD5 GZIP_URL DECODED_MD5
//
// Paths:
//   bare16 / bare256   an InternetReadFile loop, 16 KiB or 256 KiB a call, writing each block to a file
//   bare256mem         the 256 KiB loop writing nothing: what the file costs
//   bare256gz          the 256 KiB loop over the gzip file, kept as it is sent (the manual path's download)
//   lib / lib-md5      the library's download of the plain file, without and with its checksum
//   lib-gzip-md5       the library's download of the gzip file (decoded, checked against the decoded MD5)
// The files go into FOLDER and are deleted after each run.

#include <windows.h>
#include <wininet.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "support/scoped_handle.h"
#include "support/status.h"
#include "transport/download_job.h"

namespace {

std::wstring Wide(const char* text) { return std::wstring(text, text + strlen(text)); }

// A bare download: one GET, then InternetReadFile in blocks of size until the body ends; false on a failure.
bool BareLoop(const std::wstring& url, DWORD size, const std::wstring& target) {
  const hv::UniqueInternet root(InternetOpenW(L"download_speed", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
  const hv::UniqueInternet request(
      root ? InternetOpenUrlW(root.get(), url.c_str(), nullptr, 0,
                              INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_UI, 0)
           : nullptr);
  if (!request) return false;
  hv::UniqueFile file;
  if (!target.empty()) {
    file.reset(CreateFileW(target.c_str(), FILE_WRITE_DATA, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
  }
  std::vector<char> block(size);
  for (;;) {
    DWORD read = 0;
    if (!InternetReadFile(request.get(), block.data(), size, &read)) return false;
    if (read == 0) return true;
    DWORD written = 0;
    if (file && (!WriteFile(file.get(), block.data(), read, &written, nullptr) || written != read)) return false;
  }
}

bool Library(const std::wstring& url, const std::wstring& checksum, bool gzip, const std::wstring& target) {
  hv::DownloadJob job;
  hv::ExchangeRequest request;
  request.url = url;
  request.acceptGzip = gzip;
  return hv::StatusOf([&] {
           job.Start(request, target, checksum);
           return job.Check(INFINITE);
         }) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 7) {
    fprintf(stderr, "usage: download_speed RUNS FOLDER PLAIN_URL PLAIN_MD5 GZIP_URL DECODED_MD5\n");
    return 2;
  }
  const int runs = atoi(argv[1]);
  const std::wstring target = Wide(argv[2]) + L"\\download_speed.bin";
  const std::wstring plain = Wide(argv[3]), plainMd5 = Wide(argv[4]);
  const std::wstring gzip = Wide(argv[5]), decodedMd5 = Wide(argv[6]);
  const struct {
    const char* name;
    std::function<bool()> run;
  } paths[] = {
      {"bare16", [&] { return BareLoop(plain, 16384, target); }},
      {"bare256", [&] { return BareLoop(plain, 262144, target); }},
      {"bare256mem", [&] { return BareLoop(plain, 262144, std::wstring()); }},
      {"lib", [&] { return Library(plain, std::wstring(), false, target); }},
      {"lib-md5", [&] { return Library(plain, plainMd5, false, target); }},
      {"bare256gz", [&] { return BareLoop(gzip, 262144, target); }},
      {"lib-gzip-md5", [&] { return Library(gzip, decodedMd5, true, target); }},
  };
  int failures = 0;
  // Run by run, every path in turn: a machine that slows down for a while slows every path alike.
  for (int run = 1; run <= runs; ++run) {
    for (const auto& path : paths) {
      DeleteFileW(target.c_str());
      const auto start = std::chrono::steady_clock::now();
      const bool ok = path.run();
      const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      DeleteFileW(target.c_str());
      if (ok) {
        printf("%s %d %.3f\n", path.name, run, seconds);
      } else {
        printf("%s %d failed\n", path.name, run);
        ++failures;
      }
      fflush(stdout);
    }
  }
  return failures == 0 ? 0 : 1;
}
