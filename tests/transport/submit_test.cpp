// Whole exchanges through VornetSession::Submit: streaming to a file, resumption, failures that must keep
// the partial file, and gzip bodies decoded exactly once.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <thread>

#include "common/scratch.h"
#include "common/test_server.h"
#include "support/scoped_handle.h"
#include "support/strings.h"
#include "transport/http_session.h"
#include "common/transport_fixture.h"

namespace {

using hvtest::SubmitStatus;

// A gzip header (no flags) followed by bytes that are no deflate data. The header's zero byte is counted
// in: a plain string literal would end there.
const std::string kBrokenGzip = std::string("\x1F\x8B\x08\x00", 4) + " not deflate data at all";

// A download server: "/file" serves the shared data with ranges, "/cut" drops the connection halfway
// while cut is set, "/ignore" answers every request with 200 and the whole body, "/unsized" sends the
// body without a length.
struct DownloadServer {
  explicit DownloadServer(std::string bytes) : data(std::make_shared<const std::string>(std::move(bytes))) {
    server.server().Get("/file",
                        [this](const httplib::Request&, httplib::Response& res) { hvtest::ServeBytes(res, data); });
    server.server().Get("/cut", [this](const httplib::Request&, httplib::Response& res) {
      hvtest::ServeBytes(res, data, "application/octet-stream", cut ? data->size() / 2 : std::string::npos);
    });
    server.server().Get("/ignore", [this](const httplib::Request& req, httplib::Response& res) {
      hvtest::IgnoreRange(req);
      hvtest::ServeBytes(res, data);
    });
    server.server().Get("/unsized", [this](const httplib::Request&, httplib::Response& res) {
      res.set_chunked_content_provider("application/octet-stream", [this](size_t, httplib::DataSink& sink) {
        sink.write(data->data(), data->size());
        sink.done();
        return true;
      });
    });
    server.Start();
  }

  std::shared_ptr<const std::string> data;
  bool cut = true;
  hvtest::TestServer server;
};

TEST(SubmitTest, ANewTargetIsCreatedAndFilledFromOneUnrangedRequest) {
  DownloadServer host(hvtest::SampleBytes(100000));
  hvtest::TempDir dir;
  const std::wstring target = dir.File(L"new.bin");
  hvtest::Exchanges session;
  session.StreamToFile(target, L"");
  std::string response;
  ASSERT_EQ(0, SubmitStatus(session, host.server.WUrl("/file"), L"", response));

  EXPECT_TRUE(*host.data == hvtest::ReadFileBytes(target));
  const auto requests = host.server.Requests();
  ASSERT_EQ(1u, requests.size());
  EXPECT_FALSE(requests[0].HasHeader("Range"));
  const hv::TransferProgress progress = session.Progress();
  EXPECT_EQ(PELK_PHASE_FINISHED, progress.state);
  EXPECT_EQ(host.data->size(), progress.bytesReceived);
  EXPECT_EQ(host.data->size(), progress.totalBytes);
  EXPECT_EQ(0u, progress.bytesVerified);

  // The same session again, for another new target: the first exchange's counts must not make this
  // request ranged.
  const std::wstring second = dir.File(L"second.bin");
  session.StreamToFile(second, L"");
  ASSERT_EQ(0, SubmitStatus(session, host.server.WUrl("/file"), L"", response));
  EXPECT_TRUE(*host.data == hvtest::ReadFileBytes(second));
  ASSERT_EQ(2u, host.server.Requests().size());
  EXPECT_FALSE(host.server.Requests()[1].HasHeader("Range"));
}

TEST(SubmitTest, AShorterPartialFileIsResumedWithOneRangedRequest) {
  DownloadServer host(hvtest::SampleBytes(100000, 7));
  hvtest::TempDir dir;
  const std::wstring target = dir.File(L"partial.bin");
  hvtest::WriteFileBytes(target, host.data->substr(0, 30000));
  hvtest::Exchanges session;
  session.StreamToFile(target, hvtest::Md5Of(*host.data));
  ASSERT_EQ(0, SubmitStatus(session, host.server.WUrl("/file")));

  EXPECT_TRUE(*host.data == hvtest::ReadFileBytes(target));
  const auto requests = host.server.Requests();
  ASSERT_EQ(1u, requests.size());
  EXPECT_EQ("bytes=30000-", requests[0].Header("Range"));
  EXPECT_EQ("close", requests[0].Header("Connection"));
  const hv::TransferProgress progress = session.Progress();
  EXPECT_EQ(host.data->size(), progress.totalBytes);
  EXPECT_EQ(host.data->size(), progress.bytesReceived);
  EXPECT_EQ(host.data->size(), progress.bytesVerified);
  EXPECT_EQ(PELK_PHASE_FINISHED, progress.state);
}

TEST(SubmitTest, AFileAsLongAsAnnouncedReadsNoBodyAndIsOnlyVerified) {
  DownloadServer host(hvtest::SampleBytes(50000, 3));
  hvtest::TempDir dir;
  const std::wstring target = dir.File(L"complete.bin");
  hvtest::WriteFileBytes(target, *host.data);
  hvtest::Exchanges session;
  const std::wstring checksum = hvtest::Md5Of(*host.data);
  session.StreamToFile(target, checksum);
  ASSERT_EQ(0, SubmitStatus(session, host.server.WUrl("/file")));
  EXPECT_EQ(1u, host.server.Requests().size());
  EXPECT_EQ(host.data->size(), session.Progress().bytesVerified);

  // The digest is lower case and compared exactly: an upper-case checksum never matches. The file stays.
  std::wstring upper = checksum;
  hv::ToUpper(upper);
  session.StreamToFile(target, upper);
  EXPECT_EQ(PELK_E_CHECKSUM, SubmitStatus(session, host.server.WUrl("/file")));
  EXPECT_EQ(PELK_E_CHECKSUM, session.Progress().state);
  EXPECT_TRUE(*host.data == hvtest::ReadFileBytes(target));
}

TEST(SubmitTest, WithoutALengthAnExistingFileIsReplaced) {
  DownloadServer host(hvtest::SampleBytes(40000, 5));
  hvtest::TempDir dir;
  const std::wstring target = dir.File(L"unsized.bin");
  hvtest::WriteFileBytes(target, std::string(90000, 'x'));
  hvtest::Exchanges session;
  session.StreamToFile(target, L"");
  ASSERT_EQ(0, SubmitStatus(session, host.server.WUrl("/unsized")));
  EXPECT_TRUE(*host.data == hvtest::ReadFileBytes(target));
  EXPECT_EQ(0u, session.Progress().totalBytes);
  EXPECT_EQ(host.data->size(), session.Progress().bytesReceived);

  // Another program keeps the file open without allowing deletion: the file is emptied all the same.
  hvtest::WriteFileBytes(target, std::string(90000, 'y'));
  hv::UniqueFile reader(CreateFileW(target.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(reader.valid());
  ASSERT_EQ(0, SubmitStatus(session, host.server.WUrl("/unsized")));
  reader.reset();
  EXPECT_TRUE(*host.data == hvtest::ReadFileBytes(target));
}

TEST(SubmitTest, AServerThatIgnoresTheRangeStartsTheFileAgain) {
  DownloadServer host(hvtest::SampleBytes(60000, 9));
  hvtest::TempDir dir;
  const std::wstring target = dir.File(L"ignored.bin");
  hvtest::WriteFileBytes(target, host.data->substr(0, 20000));
  hvtest::Exchanges session;
  session.StreamToFile(target, hvtest::Md5Of(*host.data));
  ASSERT_EQ(0, SubmitStatus(session, host.server.WUrl("/ignore")));

  EXPECT_TRUE(*host.data == hvtest::ReadFileBytes(target));
  const auto requests = host.server.Requests();
  ASSERT_EQ(1u, requests.size());
  EXPECT_EQ("bytes=20000-", requests[0].Header("Range"));
  EXPECT_EQ(host.data->size(), session.Progress().totalBytes);
  EXPECT_EQ(host.data->size(), session.Progress().bytesReceived);
}

TEST(SubmitTest, ACutConnectionKeepsThePartialFileAndTheNextSubmitCompletesIt) {
  DownloadServer host(hvtest::SampleBytes(200000, 11));
  hvtest::TempDir dir;
  const std::wstring target = dir.File(L"cut.bin");
  hvtest::Exchanges session;
  session.StreamToFile(target, L"");
  EXPECT_EQ(PELK_E_CONNECTION, SubmitStatus(session, host.server.WUrl("/cut")));
  EXPECT_EQ(PELK_E_CONNECTION, session.Progress().state);
  const std::string partial = hvtest::ReadFileBytes(target);
  EXPECT_GT(partial.size(), 0u);
  EXPECT_LT(partial.size(), host.data->size());
  EXPECT_TRUE(host.data->compare(0, partial.size(), partial) == 0) << "the partial file is no prefix of the body";

  host.cut = false;
  ASSERT_EQ(0, SubmitStatus(session, host.server.WUrl("/cut")));
  EXPECT_TRUE(*host.data == hvtest::ReadFileBytes(target));
  const auto requests = host.server.Requests();
  ASSERT_EQ(2u, requests.size());
  EXPECT_EQ("bytes=" + std::to_string(partial.size()) + "-", requests[1].Header("Range"));
}

TEST(SubmitTest, TargetFileFailuresHaveTheirOwnCodes) {
  DownloadServer host(hvtest::SampleBytes(50000, 13));
  hvtest::TempDir dir;
  hvtest::Exchanges session;

  session.StreamToFile(dir.File(L"no such folder\\target.bin"), L"");
  EXPECT_EQ(PELK_E_CREATE_FILE, SubmitStatus(session, host.server.WUrl("/file")));
  EXPECT_EQ(PELK_E_CREATE_FILE, session.Progress().state);

  // Host devices, reached through the drive Wine maps to the root: writes to the first fail with a full
  // disk, writes to the second with ERROR_INVALID_PARAMETER, and the third cannot be positioned at all
  // (ERROR_INVALID_FUNCTION).
  const wchar_t kFullDevice[] = L"Z:\\dev\\full";
  const wchar_t kRejectingDevice[] = L"Z:\\dev\\btrfs-control";
  const wchar_t kUnseekableDevice[] = L"Z:\\dev\\loop-control";
  session.StreamToFile(kFullDevice, L"");
  EXPECT_EQ(PELK_E_DISK_SPACE, SubmitStatus(session, host.server.WUrl("/file")));
  EXPECT_EQ(PELK_E_DISK_SPACE, session.Progress().state);

  // No block is dropped silently: the exchange fails with the Windows error, the phase names a failed
  // system call.
  session.StreamToFile(kRejectingDevice, L"");
  EXPECT_EQ(static_cast<hv::StatusCode>(0x80000000u | ERROR_INVALID_PARAMETER),
            SubmitStatus(session, host.server.WUrl("/file")));
  EXPECT_EQ(PELK_E_SYSTEM_CALL, session.Progress().state);
  EXPECT_GT(session.Progress().bytesReceived, 0u);

  session.StreamToFile(kUnseekableDevice, L"");
  EXPECT_EQ(static_cast<hv::StatusCode>(0x80000000u | ERROR_INVALID_FUNCTION),
            SubmitStatus(session, host.server.WUrl("/file")));
  EXPECT_EQ(PELK_E_SYSTEM_CALL, session.Progress().state);
}

TEST(SubmitTest, InMemoryAnswersWithoutALengthAreReadWholeEveryTime) {
  DownloadServer host(hvtest::SampleBytes(30000, 17));
  hvtest::Exchanges session;
  for (int round = 0; round < 2; ++round) {
    std::string response;
    ASSERT_EQ(0, SubmitStatus(session, host.server.WUrl("/unsized"), L"", response)) << round;
    EXPECT_TRUE(*host.data == response) << round;
  }
}

// Gzip answers: "/gz/<name>" serves the stored body of that name with the stored Content-Encoding.
struct GzipServer {
  GzipServer() {
    server.server().Get(R"(/gz/(\w+))", [this](const httplib::Request& req, httplib::Response& res) {
      const Entry& entry = entries.at(req.matches[1]);
      res.set_header("Content-Encoding", entry.encoding);
      hvtest::ServeBytes(res, std::make_shared<const std::string>(entry.body));
    });
  }
  void Add(const std::string& name, const std::string& encoding, const std::string& body) {
    entries[name] = Entry{encoding, body};
  }
  struct Entry {
    std::string encoding;
    std::string body;
  };
  std::map<std::string, Entry> entries;
  hvtest::TestServer server;
};

TEST(SubmitTest, GzipAnswersInMemoryAreDecodedOnceAndCutAtTheFirstZeroUnlessUtf16) {
  const std::string text = "<packet>" + std::string(5000, 'a') + "</packet>";
  const std::string utf16 = std::string("\xFF\xFE<\0p\0/\0>\0", 10);
  const std::string inner = hvtest::Gzip("inner text");
  GzipServer host;
  host.Add("one", "gzip", hvtest::Gzip(text));
  host.Add("two", "gzip", hvtest::Gzip("first ") + hvtest::Gzip("second"));
  host.Add("upper", "GZIP", hvtest::Gzip(text));
  host.Add("deflate", "deflate", hvtest::Gzip(text));
  host.Add("zero", "gzip", hvtest::Gzip(std::string("before\0after", 12)));
  host.Add("utf16", "gzip", hvtest::Gzip(utf16));
  host.Add("twice", "gzip", hvtest::Gzip(inner));  // the body itself is gzip data, with zero bytes
  host.Add("broken", "gzip", kBrokenGzip);
  host.server.Start();

  hvtest::TempDir dir;
  const std::wstring logPath = dir.File(L"gzip.log");
  {
    hvtest::ScratchKey logSwitch(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Halvorn\\InternalTesting");
    logSwitch.SetString(logSwitch.path(), L"hvvornetlogging", logPath);
    hvtest::Exchanges session;
    session.SetAcceptEncoding(true);
    const auto fetch = [&](const std::string& name) {
      std::string response;
      EXPECT_EQ(0, SubmitStatus(session, host.server.WUrl("/gz/" + name), L"", response)) << name;
      return response;
    };
    EXPECT_EQ(text, fetch("one"));
    EXPECT_EQ("first second", fetch("two"));
    EXPECT_EQ(text, fetch("upper"));
    EXPECT_TRUE(host.entries["deflate"].body == fetch("deflate")) << "an unsupported encoding is kept as sent";
    EXPECT_EQ("before", fetch("zero"));
    EXPECT_EQ(utf16, fetch("utf16"));
    EXPECT_EQ(inner.substr(0, inner.find('\0')), fetch("twice")) << "the body must be decoded exactly once";
    // A broken stream decodes to nothing; the caller's parsing then fails on the empty answer.
    EXPECT_EQ("", fetch("broken"));
  }
  size_t unsupported = 0;
  for (const std::wstring& line : hvtest::LogLines(logPath)) {
    if (line.find(L"Unsupported content encoding") != std::wstring::npos) {
      EXPECT_EQ(L"**ERROR: Unsupported content encoding on response: deflate", line);
      ++unsupported;
    }
  }
  EXPECT_EQ(1u, unsupported);
}

TEST(SubmitTest, GzipDownloadsAreDecodedIntoTheTargetAndVerifiedAfterDecoding) {
  const std::string content = hvtest::SampleBytes(120000, 19) + std::string(30000, 'z');
  const std::string noise = hvtest::SampleBytes(100000, 29);  // does not compress: the encoding is longer
  GzipServer host;
  host.Add("file", "gzip", hvtest::Gzip(content));
  host.Add("noise", "gzip", hvtest::Gzip(noise));
  host.Add("broken", "gzip", kBrokenGzip);
  const std::string inner = hvtest::Gzip(content);
  host.Add("twice", "gzip", hvtest::Gzip(inner));
  host.server.Start();
  hvtest::TempDir dir;
  hvtest::Exchanges session;

  // A name outside the ANSI code page: decoding works on wide paths.
  const std::wstring target = dir.File(L"\u4E2D\u6587-\u0416.bin");
  session.StreamToFile(target, hvtest::Md5Of(content));
  ASSERT_EQ(0, SubmitStatus(session, host.server.WUrl("/gz/file")));
  EXPECT_TRUE(content == hvtest::ReadFileBytes(target));
  EXPECT_FALSE(hvtest::FileExists(target + L".temp"));
  EXPECT_FALSE(hvtest::FileExists(target + L".encoded"));
  EXPECT_EQ(content.size(), session.Progress().bytesVerified);

  // A complete target is never taken for the start of the encoded stream, even when the encoding is
  // longer than the file: submitted again, the file stays identical.
  const std::wstring random = dir.File(L"noise.bin");
  session.StreamToFile(random, hvtest::Md5Of(noise));
  ASSERT_EQ(0, SubmitStatus(session, host.server.WUrl("/gz/noise")));
  ASSERT_EQ(0, SubmitStatus(session, host.server.WUrl("/gz/noise")));
  EXPECT_TRUE(noise == hvtest::ReadFileBytes(random));

  // A body that is itself gzip data is decoded once: the file holds the inner gzip data whole.
  const std::wstring archive = dir.File(L"archive.gz");
  session.StreamToFile(archive, L"");
  ASSERT_EQ(0, SubmitStatus(session, host.server.WUrl("/gz/twice")));
  EXPECT_TRUE(inner == hvtest::ReadFileBytes(archive));

  // A stream that cannot be decoded fails the download and leaves the target as it was; nothing stays
  // that a later submit could take for a complete download.
  const std::wstring broken = dir.File(L"broken.bin");
  hvtest::WriteFileBytes(broken, "the earlier version");
  session.StreamToFile(broken, L"");
  EXPECT_EQ(PELK_E_GZIP, SubmitStatus(session, host.server.WUrl("/gz/broken")));
  EXPECT_EQ(PELK_E_GZIP, session.Progress().state);
  EXPECT_EQ("the earlier version", hvtest::ReadFileBytes(broken));
  EXPECT_FALSE(hvtest::FileExists(broken + L".temp"));
  EXPECT_FALSE(hvtest::FileExists(broken + L".encoded"));
}

// Redirects are followed by the library, each hop asked for the same range, to another host as well; a
// loop ends after 10 hops with its own status and the partial file as it was.
TEST(SubmitTest, RedirectsAreFollowedWithTheSameRangeAndALoopEndsAfterTenHops) {
  DownloadServer files(hvtest::SampleBytes(100000, 29));
  hvtest::TestServer origin;
  const std::string elsewhere = "http://localhost:" + std::to_string(files.server.port()) + "/file";
  origin.server().Get("/hop1", [](const httplib::Request&, httplib::Response& res) {
    res.status = 302;
    res.set_header("Location", "hop2");  // relative to /hop1
  });
  origin.server().Get("/hop2", [&elsewhere](const httplib::Request&, httplib::Response& res) {
    res.status = 307;
    res.set_header("Location", elsewhere);
  });
  origin.server().Get("/loop", [](const httplib::Request&, httplib::Response& res) {
    res.status = 302;
    res.set_header("Location", "/loop");
  });
  origin.Start();
  hvtest::TempDir dir;
  const std::wstring target = dir.File(L"redirected.bin");
  const std::string partial = files.data->substr(0, 30000);
  hvtest::WriteFileBytes(target, partial);
  hvtest::Exchanges session;
  session.StreamToFile(target, hvtest::Md5Of(*files.data));
  ASSERT_EQ(0, SubmitStatus(session, origin.WUrl("/hop1")));
  EXPECT_TRUE(*files.data == hvtest::ReadFileBytes(target));
  const auto hops = origin.Requests();
  ASSERT_EQ(2u, hops.size());
  EXPECT_EQ("/hop2", hops[1].target);
  for (const auto& hop : hops) EXPECT_EQ("bytes=30000-", hop.Header("Range")) << hop.target;
  ASSERT_EQ(1u, files.server.Requests().size());
  EXPECT_EQ("bytes=30000-", files.server.Requests()[0].Header("Range"));
  EXPECT_EQ("localhost:" + std::to_string(files.server.port()), files.server.Requests()[0].Header("Host"));

  hvtest::WriteFileBytes(target, partial);
  EXPECT_EQ(PELK_E_REDIRECTS, SubmitStatus(session, origin.WUrl("/loop")));
  EXPECT_EQ(PELK_E_REDIRECTS, session.Progress().state);
  EXPECT_EQ(2u + 11u, origin.Requests().size()) << "the first request and 10 redirects followed";
  EXPECT_TRUE(partial == hvtest::ReadFileBytes(target));
}

// Holds a file as a virus scanner or an indexer does: open without sharing (or shared for reading only).
hv::UniqueFile Hold(const std::wstring& path, DWORD share) {
  return hv::UniqueFile(CreateFileW(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr));
}

// Waits (bounded) until the log (UTF-16LE) names a retry of a held file.
bool LogShowsARetry(const std::wstring& logPath) {
  const std::wstring line = L"held by another program";
  const std::string bytes(reinterpret_cast<const char*>(line.data()), line.size() * sizeof(wchar_t));
  for (int i = 0; i < 2000; ++i) {
    if (hvtest::ReadFileBytes(logPath).find(bytes) != std::string::npos) return true;
    Sleep(5);
  }
  return false;
}

TEST(SubmitTest, AFileAnotherProgramHoldsForAMomentIsWaitedForAndOneHeldLongerFailsUntouched) {
  const std::string data = hvtest::SampleBytes(40000, 29);
  DownloadServer host(data);
  GzipServer zipped;
  zipped.Add("new", "gzip", hvtest::Gzip(data));
  zipped.server.Start();
  hvtest::TempDir dir;
  const std::wstring logPath = dir.File(L"vornet.log");
  hvtest::ScratchKey key(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Halvorn\\InternalTesting");
  key.SetString(key.path(), L"hvvornetlogging", logPath);
  const std::wstring target = dir.File(L"held.bin");
  hvtest::Exchanges session;
  session.StreamToFile(target, L"");

  // Held past the retries: the download fails with its own status before anything is sent, the partial
  // file as it was.
  hvtest::WriteFileBytes(target, data.substr(0, 10000));
  {
    const hv::UniqueFile hold = Hold(target, 0);
    ASSERT_TRUE(hold);
    EXPECT_EQ(PELK_E_FILE_IN_USE, SubmitStatus(session, host.server.WUrl("/file")));
  }
  EXPECT_EQ(PELK_E_FILE_IN_USE, session.Progress().state);
  EXPECT_TRUE(hvtest::ReadFileBytes(target) == data.substr(0, 10000));
  EXPECT_EQ(0u, host.server.Requests().size());

  // Held for a moment (with share, until the log shows a retry): the download waits and goes on.
  auto submitWhileHeldForAMoment = [&](DWORD share, const std::wstring& url) {
    hv::UniqueFile hold = Hold(target, share);
    EXPECT_TRUE(hold);
    hv::StatusCode status = PELK_E_UNEXPECTED;
    std::thread download([&] { status = SubmitStatus(session, url); });
    EXPECT_TRUE(LogShowsARetry(logPath));
    hold.reset();
    download.join();
    return status;
  };
  EXPECT_EQ(0, submitWhileHeldForAMoment(0, host.server.WUrl("/file")));
  EXPECT_TRUE(hvtest::ReadFileBytes(target) == data);
  ASSERT_EQ(1u, host.server.Requests().size());
  EXPECT_EQ("bytes=10000-", host.server.Requests()[0].headers.find("Range")->second);

  // The previous version of the target, open for reading while a gzip download's decoding replaces it:
  // the replacement waits for it.
  hvtest::WriteFileBytes(target, "the previous version");
  DeleteFileW(logPath.c_str());
  session.SetAcceptEncoding(true);
  EXPECT_EQ(0, submitWhileHeldForAMoment(FILE_SHARE_READ, zipped.server.WUrl("/gz/new")));
  EXPECT_TRUE(hvtest::ReadFileBytes(target) == data);
}

}  // namespace
