// Peak memory of streamed downloads. For each body size, without and with its checksum, a fresh child
// process serves a generated body (made block by block as it is sent, never held whole) from a local
// server and downloads it with a DownloadJob into a temporary file, which it deletes again. A fresh process
// per download keeps one run's peak from hiding the next; the child reports its peak working set before
// and after the download.
//
//   download_memory                    runs 64 MiB and 1 GiB, each without and with its checksum, and
//                                      prints one row per download
//   download_memory --child N [md5]    one download of N bytes (used by the parent)

#include <winsock2.h>
#include <windows.h>
#include <psapi.h>

#ifndef CPPHTTPLIB_THREAD_POOL_COUNT
#define CPPHTTPLIB_THREAD_POOL_COUNT 2
#endif
#include <httplib.h>

#include <algorithm>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <utility>

#include "common/child_process.h"
#include "common/scratch.h"
#include "support/status.h"
#include "support/md5.h"
#include "transport/download_job.h"

namespace {

constexpr uint64_t kMiB = uint64_t{1024} * 1024;
constexpr size_t kBlock = 64 * 1024;

uint64_t PeakWorkingSet() {
  PROCESS_MEMORY_COUNTERS counters = {};
  counters.cb = sizeof(counters);
  if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters))) return 0;
  return counters.PeakWorkingSetSize;
}

// One download of size bytes; prints "<peak before> <peak after> <milliseconds> <bytes on disk> <status>".
// The generated body's bytes from offset on.
void Generate(uint64_t offset, char* block, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    const uint64_t at = offset + i;
    block[i] = static_cast<char>(at ^ (at >> 8) ^ (at >> 16));
  }
}

// One download of size bytes, verified against the body's digest when verify is set.
int RunChild(uint64_t size, bool verify) {
  std::wstring checksum;
  if (verify) {
    hv::Md5 md5;
    char block[kBlock];
    for (uint64_t at = 0; at < size; at += sizeof(block)) {
      const size_t count = static_cast<size_t>(std::min<uint64_t>(size - at, sizeof(block)));
      Generate(at, block, count);
      md5.Add(block, count);
    }
    checksum = md5.HexDigest();
  }
  httplib::Server server;
  server.Get("/body", [size](const httplib::Request&, httplib::Response& response) {
    response.set_content_provider(static_cast<size_t>(size), "application/octet-stream",
                                  [](size_t offset, size_t length, httplib::DataSink& sink) {
                                    char block[kBlock];
                                    const size_t count = std::min(length, sizeof(block));
                                    Generate(offset, block, count);
                                    return sink.write(block, count);
                                  });
  });
  const int port = server.bind_to_any_port("127.0.0.1");
  if (port <= 0) return 2;
  std::thread serving([&server] { server.listen_after_bind(); });

  wchar_t folder[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, folder);
  const std::wstring target =
      std::wstring(folder) + L"hvpelk-bench-" + std::to_wstring(GetCurrentProcessId()) + L".bin";
  const std::wstring url = L"http://127.0.0.1:" + std::to_wstring(port) + L"/body";

  const uint64_t before = PeakWorkingSet();
  const DWORD start = GetTickCount();
  hv::StatusCode status = 0;
  {
    hv::DownloadJob job;
    hv::ExchangeRequest request;
    request.url = url;
    status = hv::StatusOf([&] {
      job.Start(request, target, checksum);
      return job.Check(INFINITE);
    });
  }
  const DWORD elapsed = GetTickCount() - start;
  const uint64_t after = PeakWorkingSet();
  const uint64_t written = hvtest::FileSize(target);
  DeleteFileW(target.c_str());
  server.stop();
  serving.join();

  printf("%" PRIu64 " %" PRIu64 " %lu %" PRIu64 " %ld\n", before, after, static_cast<unsigned long>(elapsed), written,
         static_cast<long>(status));
  fflush(stdout);
  return status == 0 && written == size ? 0 : 1;
}

// Runs this program with --child size [md5] and returns what it printed ("" when it could not run).
std::string RunChildProcess(uint64_t size, bool verify) {
  return hvtest::RunChild(hvtest::ThisProgram(), L"--child " + std::to_wstring(size) + (verify ? L" md5" : L""),
                          INFINITE)
      .output;
}

std::string MiB(uint64_t bytes) {
  char text[32];
  snprintf(text, sizeof(text), "%.1f MiB", static_cast<double>(bytes) / kMiB);
  return text;
}

int RunAll() {
  printf("%-16s %-14s %-14s %-12s %-10s %s\n", "body", "peak before", "peak after", "growth", "time", "status");
  fflush(stdout);
  int failures = 0;
  const std::pair<uint64_t, bool> downloads[] = {
      {64 * kMiB, false}, {64 * kMiB, true}, {1024 * kMiB, false}, {1024 * kMiB, true}};
  for (const auto& [size, verify] : downloads) {
    const std::string label = MiB(size) + (verify ? ", md5" : "");
    const std::string output = RunChildProcess(size, verify);
    uint64_t before = 0, after = 0, written = 0;
    unsigned long elapsed = 0;
    long status = 0;
    if (sscanf(output.c_str(), "%" SCNu64 " %" SCNu64 " %lu %" SCNu64 " %ld", &before, &after, &elapsed, &written,
               &status) != 5) {
      printf("%-16s the child process failed: %s\n", label.c_str(), output.c_str());
      ++failures;
      continue;
    }
    char verdict[64];
    if (status != 0) {
      snprintf(verdict, sizeof(verdict), "failed 0x%08lX", static_cast<unsigned long>(status));
    } else if (written != size) {
      snprintf(verdict, sizeof(verdict), "short file (%" PRIu64 " bytes)", written);
    } else {
      snprintf(verdict, sizeof(verdict), "ok");
    }
    if (status != 0 || written != size) ++failures;
    printf("%-16s %-14s %-14s %-12s %-10s %s\n", label.c_str(), MiB(before).c_str(), MiB(after).c_str(),
           MiB(after - before).c_str(), (std::to_string(elapsed) + " ms").c_str(), verdict);
    fflush(stdout);
  }
  return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && std::string(argv[1]) == "--child") {
    return RunChild(std::strtoull(argv[2], nullptr, 10), argc == 4 && std::string(argv[3]) == "md5");
  }
  return RunAll();
}
