// What can break when the DLL is built for 32 bits: 64-bit counts and Range offsets, progress read while the
// worker writes it, exceptions unwound on the worker thread, the registry view, and the cdecl convention of
// the exports. The same cases run against the x86_64 build, which shares every line but the word size.
#include "common/api_fixture.h"

#include <algorithm>
#include <memory>

namespace hvtest {
namespace {

constexpr uint64_t k4GiB = 0x100000000ull;
constexpr bool kIs32Bit = sizeof(void*) == 4;

using File = std::unique_ptr<void, decltype(&CloseHandle)>;

File OpenFile(const std::wstring& path, DWORD access, DWORD disposition) {
  HANDLE handle =
      CreateFileW(path.c_str(), access, FILE_SHARE_READ, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  return File(handle == INVALID_HANDLE_VALUE ? nullptr : handle, &CloseHandle);
}

// The served file's byte at an absolute position: a period that no power of two divides.
char ByteAt(uint64_t position) { return static_cast<char>(position % 251); }

struct Progress {
  int32_t phase;
  uint64_t received, verified, total;
};

class Abi : public ApiTest {
 protected:
  // Lists one distribution served at /files/<name>; the handle is open and the list loaded.
  int32_t OpenWithList(const std::string& name, int32_t flags = 0) {
    onQuery = [this, name](const httplib::Request&, httplib::Response& res) {
      res.set_content(AnswerPacket(0, UpdateElement({"C1", "Product", NarrowFileUrl(name), "", "{P}", "{D}", "en",
                                                     "1.0", "4294971392"})),
                      "text/xml");
    };
    const int32_t h = Open(flags);
    EXPECT_EQ(PELK_S_OK, pelk.PelkQuerySubmit(h, 30000));
    return h;
  }

  Progress Check(int32_t h) {
    Progress p{0, 0, 0, 0};
    p.phase = pelk.PelkDownloadCheck(h, 0, &p.received, &p.verified, &p.total);
    return p;
  }

  // Serves /files/big.bin of total bytes. A request without a range gets the headers only; a ranged one
  // gets the rest from its offset, the first firstPart bytes at once and the others once midway opens.
  // httplib keeps range offsets in ssize_t, 32 bits on i686, so the handler answers the range itself.
  void ServeBig(uint64_t total, size_t firstPart) {
    server.server().Get(
        "/files/big.bin", [this, total, firstPart](const httplib::Request& req, httplib::Response& res) {
          const_cast<httplib::Request&>(req).ranges.clear();
          const std::string range = req.get_header_value("Range");
          if (range.empty()) {
            res.set_header("Content-Type", "application/octet-stream");
            res.set_header("Content-Length", std::to_string(total));
            return;
          }
          const uint64_t from = std::stoull(range.substr(range.find('=') + 1));
          res.status = 206;
          res.set_header("Content-Range", "bytes " + std::to_string(from) + "-" + std::to_string(total - 1) + "/" +
                                              std::to_string(total));
          res.set_content_provider(static_cast<size_t>(total - from), "application/octet-stream",
                                   [this, from, firstPart](size_t offset, size_t length, httplib::DataSink& sink) {
                                     if (offset == firstPart && !midway.Wait()) return false;
                                     const size_t end = offset < firstPart ? firstPart : offset + length;
                                     std::string bytes(std::min<size_t>(end - offset, 4096), '\0');
                                     for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = ByteAt(from + offset + i);
                                     return sink.write(bytes.data(), bytes.size());
                                   });
        });
  }

  // Resumes into a sparse file of size existing up to total, sampling the progress all the while. Every
  // sample must be whole: a torn 64-bit read would show a count that goes back or passes the total.
  void ResumeAcross(uint64_t existing, uint64_t total, bool holdMidway) {
    const size_t firstPart = 65536;  // whole 16 KiB blocks of the library's reads: they arrive before the pause
    ServeBig(total, holdMidway ? firstPart : 0);
    if (!holdMidway) midway.Open();
    const std::wstring target = temp.File(L"big.bin");
    ASSERT_TRUE(MakeSparseFile(target, existing));
    const int32_t h = OpenWithList("big.bin");
    ASSERT_EQ(PELK_S_STILL_RUNNING, pelk.PelkDownloadSubmit(h, 0, target.c_str()));

    Progress last = Check(h);
    bool sawMidway = !holdMidway;
    const DWORD start = GetTickCount();
    for (int i = 0; GetTickCount() - start < 60000 && !PELK_PHASE_IS_FINAL(last.phase); ++i) {
      const Progress now = Check(h);
      ASSERT_GE(now.received, last.received) << "sample " << i;
      ASSERT_TRUE(now.total == 0 || now.total == total) << now.total;
      if (now.total != 0) {
        ASSERT_LE(now.received, now.total);
      }
      EXPECT_EQ(0u, now.verified);
      if (!sawMidway && now.received > existing) {
        // The transfer is paused with the count between the two (below 4 GiB when it started there).
        EXPECT_LE(now.received, existing + firstPart);
        sawMidway = true;
        midway.Open();
      }
      last = now;
      if (i % 64 == 63) Sleep(1);
    }
    ASSERT_EQ(PELK_PHASE_FINISHED, last.phase);
    EXPECT_TRUE(sawMidway);
    EXPECT_EQ(total, last.received);
    EXPECT_EQ(total, last.total);

    const std::vector<RecordedRequest> sent = server.Requests();
    EXPECT_EQ("bytes=" + std::to_string(existing) + "-", sent.back().Header("Range"));
    File file = OpenFile(target, GENERIC_READ, OPEN_EXISTING);
    ASSERT_TRUE(file);
    LARGE_INTEGER size = {};
    ASSERT_TRUE(GetFileSizeEx(file.get(), &size));
    EXPECT_EQ(total, static_cast<uint64_t>(size.QuadPart));
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(existing);
    ASSERT_TRUE(SetFilePointerEx(file.get(), at, nullptr, FILE_BEGIN));
    std::string tail(static_cast<size_t>(total - existing), '\0');
    DWORD read = 0;
    ASSERT_TRUE(ReadFile(file.get(), &tail[0], static_cast<DWORD>(tail.size()), &read, nullptr));
    ASSERT_EQ(tail.size(), read);
    for (size_t i = 0; i < tail.size(); ++i) ASSERT_EQ(ByteAt(existing + i), tail[i]) << "byte " << existing + i;
  }

  void TearDown() override { midway.Open(); }

  Gate midway;
};

TEST_F(Abi, ResumeBelowFourGiBCountsPastItWithWholeProgressSamples) {
  ResumeAcross(k4GiB - 131072, k4GiB + 65536, true);
}

TEST_F(Abi, ResumeAboveFourGiBSendsTheFullOffset) { ResumeAcross(k4GiB + 12345, k4GiB + 20000, false); }

TEST_F(Abi, FailuresOnTheWorkerThreadSurfaceAsStatusesEveryTime) {
  const int32_t h = OpenWithList("missing.bin");
  onQuery = [](const httplib::Request&, httplib::Response& res) { res.set_content("<packet><header>", "text/xml"); };
  for (int round = 0; round < 20; ++round) {
    // Waited for by the call, and collected by polling: both ways end at the worker's top-level catch.
    if (round % 2 == 0) {
      EXPECT_EQ(PELK_E_MALFORMED_RESPONSE, pelk.PelkQuerySubmit(h, 30000)) << "round " << round;
    } else {
      int32_t status = pelk.PelkQuerySubmit(h, 0);
      for (int i = 0; i < 400 && status == PELK_S_STILL_RUNNING; ++i) status = pelk.PelkQueryCheck(h, 50);
      EXPECT_EQ(PELK_E_MALFORMED_RESPONSE, status) << "round " << round;
    }
    pelk.PelkDownloadSubmit(h, 0, temp.File(L"missing.bin").c_str());
    Progress p = Check(h);
    for (int i = 0; i < 4000 && !PELK_PHASE_IS_FINAL(p.phase); ++i) {
      Sleep(5);
      p = Check(h);
    }
    EXPECT_EQ(PELK_E_HTTP_404, p.phase) << "round " << round;
  }
  int32_t count = 0;
  EXPECT_EQ(PELK_S_OK, pelk.PelkGetDistCount(h, &count));
  EXPECT_EQ(1, count) << "the failed queries kept the list";
  EXPECT_EQ(PELK_S_OK, pelk.PelkPingServer(h, 30000));
}

TEST_F(Abi, TheServiceUrlComesFromTheDllsOwnRegistryView) {
  if (!kIs32Bit) GTEST_SKIP() << "x86_64 has a single registry view: there is no other one to ignore";
  // A per-wrapper override in the 64-bit view only; the 32-bit view has the fixture's base URL alone.
  const std::wstring wrapper = trellin.Sub(L"Wrap");
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, wrapper.c_str(), 0, nullptr, 0,
                                           KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &key, nullptr));
  const std::wstring other = server.WUrl("/64-bit-view");
  EXPECT_EQ(ERROR_SUCCESS, RegSetValueExW(key, L"S_URL", 0, REG_SZ, reinterpret_cast<const BYTE*>(other.c_str()),
                                          static_cast<DWORD>((other.size() + 1) * sizeof(wchar_t))));
  RegCloseKey(key);

  const int32_t h = Open();
  const PelkStatus status = pelk.PelkPingServer(h, 30000);
  RegDeleteKeyExW(HKEY_LOCAL_MACHINE, wrapper.c_str(), KEY_WOW64_64KEY, 0);
  RegDeleteKeyExW(HKEY_LOCAL_MACHINE, trellin.path().c_str(), KEY_WOW64_64KEY, 0);
  EXPECT_EQ(PELK_S_OK, status);
  ASSERT_EQ(1u, server.Requests().size());
  EXPECT_EQ(0u, server.Requests()[0].target.find("/hvtr/trellin?")) << server.Requests()[0].target;
}

TEST_F(Abi, EveryExportKeepsTheStackBalancedOverManyCalls) {
  // Each call goes through a pointer of the header's cdecl type. Were an export to clean up its own
  // arguments, every call would move the caller's stack pointer and the loop would crash.
  const int32_t h = OpenWithList("dist.bin");
  decltype(&PelkGetContentId) getters[] = {
      pelk.PelkGetDistChecksum, pelk.PelkGetDistDownloadURL, pelk.PelkGetDistPackageGUID, pelk.PelkGetDistGUID,
      pelk.PelkGetDistLanguage, pelk.PelkGetDistVersion,     pelk.PelkGetProductName,     pelk.PelkGetContentId};
  const std::wstring expected[] = {L"", FileUrl("dist.bin"), L"{P}", L"{D}", L"en", L"1.0", L"Product", L"C1"};
  for (int round = 0; round < 300; ++round) {
    SCOPED_TRACE(round);
    int32_t other = 0;
    ASSERT_EQ(PELK_S_OK, pelk.PelkOpen(L"Setup", L"3.1", L"Wrap", L"1.2", L"de-DE", 0, &other));
    ASSERT_EQ(PELK_S_OK, pelk.PelkClose(other));
    // Calls that would start a request go to the closed handle and are refused before any work.
    ASSERT_EQ(PELK_E_INVALID_HANDLE, pelk.PelkPingServer(other, 0));
    ASSERT_EQ(PELK_E_INVALID_HANDLE, pelk.PelkQuerySubmit(other, 0));
    ASSERT_EQ(PELK_E_INVALID_HANDLE, pelk.PelkDownloadSubmit(other, 0, L"x"));

    ASSERT_EQ(PELK_S_OK, pelk.PelkSetParentWindow(h, round));
    ASSERT_EQ(PELK_S_OK, pelk.PelkQueryReset(h));
    ASSERT_EQ(PELK_S_OK, pelk.PelkSetDistPackageGuid(h, L"{P}"));
    ASSERT_EQ(PELK_S_OK, pelk.PelkSetDistGuidAndVersion(h, L"{D}", L"en", L"1.0"));
    ASSERT_EQ(PELK_S_NOTHING_OUTSTANDING, pelk.PelkQueryCheck(h, 0));
    ASSERT_EQ(PELK_S_OK, pelk.PelkQueryCancel(h));
    int32_t count = 0;
    ASSERT_EQ(PELK_S_OK, pelk.PelkGetDistCount(h, &count));
    ASSERT_EQ(1, count);
    uint64_t size = 0;
    ASSERT_EQ(PELK_S_OK, pelk.PelkGetDistDownloadSize(h, 0, &size));
    ASSERT_EQ(4294971392ull, size);
    for (size_t i = 0; i < 8; ++i) ASSERT_EQ(expected[i], Text(getters[i], h, 0)) << i;
    uint64_t received = 1, verified = 1, total = 1;
    ASSERT_EQ(PELK_S_NOTHING_OUTSTANDING, pelk.PelkDownloadCheck(h, 0, &received, &verified, &total));
    ASSERT_EQ(PELK_S_OK, pelk.PelkDownloadCancel(h));
    ASSERT_EQ(PELK_S_OK, pelk.PelkReportSubmit(h));
    ASSERT_EQ(PELK_S_OK, pelk.PelkReportReset(h));
  }
  EXPECT_EQ(1u, server.Requests().size()) << "only the first query reached the service";
}

}  // namespace
}  // namespace hvtest
