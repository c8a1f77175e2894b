#include "support/log.h"

#include <gtest/gtest.h>

#include <optional>
#include <regex>
#include <thread>
#include <vector>

#include "common/child_process.h"
#include "common/scratch.h"
#include "support/registry.h"
#include "support/scoped_handle.h"
#include "support/strings.h"

namespace hv {
namespace {

const std::wstring kSeparator(48, L'-');
const std::string kMark = "\xFF\xFE";  // the byte order mark as stored

// One session's hold on the shared log, given back even when a check fails.
class LogReference {
 public:
  LogReference() { AcquireLog(); }
  ~LogReference() { ReleaseLog(); }
  LogReference(const LogReference&) = delete;
  LogReference& operator=(const LogReference&) = delete;
};

// The file as UTF-16 code units (byte order mark included).
std::wstring ReadLogText(const std::wstring& path) {
  const std::string bytes = hvtest::ReadFileBytes(path);
  EXPECT_EQ(0u, bytes.size() % 2);
  std::wstring text(bytes.size() / 2, L'\0');
  memcpy(&text[0], bytes.data(), text.size() * sizeof(wchar_t));
  return text;
}

// The lines after the byte order mark; every line must end with a single LF.
std::vector<std::wstring> ReadLogLines(const std::wstring& path) {
  const std::wstring text = ReadLogText(path);
  std::vector<std::wstring> lines;
  if (text.empty() || text[0] != 0xFEFF) {
    ADD_FAILURE() << "no byte order mark";
    return lines;
  }
  EXPECT_EQ(std::wstring::npos, text.find(L'\r'));
  EXPECT_EQ(std::wstring::npos, text.find(static_cast<wchar_t>(0xFEFF), 1)) << "a second byte order mark";
  EXPECT_EQ(L'\n', text.back());
  size_t start = 1;
  for (size_t end; (end = text.find(L'\n', start)) != std::wstring::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  return lines;
}

// The text after a well-formed "[MM/DD/YY HH:MM:SS]: " prefix, or a marker that fails comparisons.
std::wstring Stamped(const std::wstring& line) {
  static const std::wregex form(L"\\[(\\d\\d)/(\\d\\d)/\\d\\d (\\d\\d):(\\d\\d):(\\d\\d)\\]: (.*)");
  std::wsmatch match;
  if (!std::regex_match(line, match, form)) return L"<no timestamp> " + line;
  const int month = std::stoi(match[1]), day = std::stoi(match[2]), hour = std::stoi(match[3]);
  const int minute = std::stoi(match[4]), second = std::stoi(match[5]);
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 59) {
    return L"<bad timestamp> " + line;
  }
  return match[6];
}

class Log : public ::testing::Test {
 protected:
  void SwitchOn(const std::wstring& path) { switch_.SetString(switch_.path(), L"hvvornetlogging", path); }

  hvtest::ScratchKey switch_{HKEY_LOCAL_MACHINE, MakerKeyPath(L"InternalTesting")};
  hvtest::TempDir dir_;
  const std::wstring path_ = dir_.File(L"vornet.log");
};

TEST_F(Log, StaysSilentWithoutTheSwitchOrAWritableFile) {
  {
    LogReference session;  // key present, value absent
    EXPECT_FALSE(IsLogEnabled());
    LogLine(L"lost");
    LogError(L"lost");
  }
  EXPECT_FALSE(hvtest::FileExists(path_));
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, switch_.path().c_str());
  {
    LogReference session;  // no key at all
    EXPECT_FALSE(IsLogEnabled());
  }
  // A path that cannot be opened gives a log that accepts lines and drops them.
  for (const std::wstring& path : {dir_.File(L"missing\\vornet.log"), std::wstring()}) {
    SwitchOn(path);
    LogReference session;
    EXPECT_TRUE(IsLogEnabled());
    LogLine(L"nowhere");
    LogError(L"nowhere");
  }
  EXPECT_FALSE(hvtest::FileExists(dir_.File(L"missing")));
}

TEST_F(Log, WritesTimestampedUtf16LinesAndTheSummary) {
  SwitchOn(path_);
  {
    LogReference session;
    EXPECT_TRUE(IsLogEnabled());
    LogLine(L"<VornetSession::Submit>");
    LogLine(L"\tStatus Code: 200 \u00e9\u4e2d");
    LogError(L"HttpSendRequestW: 0x2EE2");
    LogLine(L"</VornetSession::Submit>");
    // Each line is on disk when its call returns; no summary while the log is open.
    const std::vector<std::wstring> open = ReadLogLines(path_);
    ASSERT_EQ(6u, open.size());
    EXPECT_EQ(L"</VornetSession::Submit>", Stamped(open[5]));
  }
  EXPECT_FALSE(IsLogEnabled());

  std::string head = kMark;
  for (char c : std::string("Vornet Library\n")) head += {c, '\0'};
  EXPECT_EQ(head, hvtest::ReadFileBytes(path_).substr(0, head.size()));

  const std::vector<std::wstring> lines = ReadLogLines(path_);
  ASSERT_EQ(9u, lines.size());
  EXPECT_EQ(L"Vornet Library", lines[0]);
  EXPECT_EQ(kSeparator, lines[1]);
  EXPECT_EQ(L"<VornetSession::Submit>", Stamped(lines[2]));
  EXPECT_EQ(L"\tStatus Code: 200 \u00e9\u4e2d", Stamped(lines[3]));
  EXPECT_EQ(L"**ERROR: HttpSendRequestW: 0x2EE2", Stamped(lines[4]));
  EXPECT_EQ(L"</VornetSession::Submit>", Stamped(lines[5]));
  EXPECT_EQ(kSeparator, lines[6]);
  EXPECT_EQ(L"***SUMMARY***", Stamped(lines[7]));
  EXPECT_EQ(kSeparator, lines[8]);
}

TEST_F(Log, AppendsOnRestartAndClosesOnTheLastRelease) {
  SwitchOn(path_);
  {
    LogReference session;
    LogLine(L"first run");
  }
  {
    LogReference first;
    std::optional<LogReference> second(std::in_place);
    SwitchOn(dir_.File(L"other.log"));  // ignored while the log is open
    LogLine(L"second run");
    second.reset();
    EXPECT_TRUE(IsLogEnabled());
    LogLine(L"after one release");
  }
  EXPECT_FALSE(IsLogEnabled());
  EXPECT_FALSE(hvtest::FileExists(dir_.File(L"other.log")));

  const std::vector<std::wstring> lines = ReadLogLines(path_);  // also checks: one byte order mark only
  const std::vector<std::wstring> expected = {
      L"Vornet Library", kSeparator,        L"first run", kSeparator,    L"***SUMMARY***",
      kSeparator,        L"Vornet Library", kSeparator,   L"second run", L"after one release",
      kSeparator,        L"***SUMMARY***",  kSeparator};
  ASSERT_EQ(expected.size(), lines.size());
  for (size_t i = 0; i < lines.size(); ++i) {
    const bool raw = expected[i] == kSeparator || expected[i] == L"Vornet Library";
    EXPECT_EQ(expected[i], raw ? lines[i] : Stamped(lines[i])) << "line " << i;
  }
}

TEST_F(Log, PutsTheByteOrderMarkIntoAnEmptyFileOnly) {
  hvtest::WriteFileBytes(path_, "");  // exists, but empty
  SwitchOn(path_);
  {
    LogReference session;
    LogLine(L"a");
  }
  {
    LogReference session;  // appends to a file with content: no second mark
    LogLine(L"b");
  }
  const std::vector<std::wstring> lines = ReadLogLines(path_);  // checks the one mark at the start
  ASSERT_EQ(12u, lines.size());
  EXPECT_EQ(L"a", Stamped(lines[2]));
  EXPECT_EQ(L"Vornet Library", lines[6]);
  EXPECT_EQ(L"b", Stamped(lines[8]));
}

TEST_F(Log, ThreadsNeverMixLinesAndKeepTheirOrder) {
  constexpr int kThreads = 8;
  constexpr int kLines = 500;
  SwitchOn(path_);
  {
    LogReference mainSession;
    UniqueEvent go(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ASSERT_TRUE(go.valid());
    std::vector<std::thread> threads;
    threads.reserve(kThreads);
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&go, t] {
        LogReference session;  // sessions come and go on their own threads
        WaitForSingleObject(go.get(), 10000);
        for (int i = 0; i < kLines; ++i) {
          const std::wstring text = L"thread " + Dec(t) + L" line " + Dec(i) + L" " + std::wstring(t * 7, L'x');
          (i % 2 == 0 ? LogLine : LogError)(text);
        }
      });
    }
    SetEvent(go.get());
    for (std::thread& thread : threads) thread.join();
  }

  const std::vector<std::wstring> lines = ReadLogLines(path_);
  ASSERT_EQ(2u + kThreads * kLines + 3u, lines.size());
  EXPECT_EQ(L"Vornet Library", lines[0]);
  EXPECT_EQ(L"***SUMMARY***", Stamped(lines[lines.size() - 2]));
  const std::wregex form(L"(\\*\\*ERROR: )?thread (\\d+) line (\\d+) (x*)");
  std::vector<int> next(kThreads, 0);
  for (size_t k = 2; k < 2 + kThreads * kLines; ++k) {
    const std::wstring text = Stamped(lines[k]);
    std::wsmatch match;
    ASSERT_TRUE(std::regex_match(text, match, form)) << "line " << k << ": " << text;
    const int t = std::stoi(match[2]);
    const int i = std::stoi(match[3]);
    ASSERT_TRUE(t >= 0 && t < kThreads) << text;
    EXPECT_EQ(next[t], i) << text;
    EXPECT_EQ(i % 2 != 0, match[1].matched) << text;
    EXPECT_EQ(static_cast<size_t>(t * 7), match[4].length()) << text;
    next[t] = i + 1;
  }
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(kLines, next[t]) << "thread " << t;
}

TEST_F(Log, SessionsOpeningAndClosingOnManyThreadsKeepTheFileWellFormed) {
  constexpr int kThreads = 8;
  constexpr int kCycles = 50;
  SwitchOn(path_);
  UniqueEvent go(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  ASSERT_TRUE(go.valid());
  std::vector<std::thread> threads;
  threads.reserve(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&go, t] {
      WaitForSingleObject(go.get(), 10000);
      for (int i = 0; i < kCycles; ++i) {
        LogReference session;  // the log may be created or closed by any of the threads
        LogLine(L"thread " + Dec(t) + L" cycle " + Dec(i));
      }
    });
  }
  SetEvent(go.get());
  for (std::thread& thread : threads) thread.join();
  EXPECT_FALSE(IsLogEnabled());

  // Blocks of title, separator, lines, separator, summary, separator; every line of a thread, in order.
  const std::vector<std::wstring> lines = ReadLogLines(path_);
  const auto at = [&lines](size_t k) { return k < lines.size() ? lines[k] : std::wstring(L"<end>"); };
  const std::wregex form(L"thread (\\d+) cycle (\\d+)");
  std::vector<int> next(kThreads, 0);
  size_t k = 0;
  while (k < lines.size()) {
    ASSERT_EQ(L"Vornet Library", at(k++));
    ASSERT_EQ(kSeparator, at(k++));
    for (; k < lines.size() && lines[k] != kSeparator; ++k) {
      const std::wstring text = Stamped(lines[k]);
      std::wsmatch match;
      ASSERT_TRUE(std::regex_match(text, match, form)) << text;
      const int t = std::stoi(match[1]);
      ASSERT_TRUE(t >= 0 && t < kThreads) << text;
      EXPECT_EQ(next[t]++, std::stoi(match[2])) << text;
    }
    ASSERT_EQ(kSeparator, at(k++));
    ASSERT_EQ(L"***SUMMARY***", Stamped(at(k++)));
    ASSERT_EQ(kSeparator, at(k++));
  }
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(kCycles, next[t]) << "thread " << t;
}

// Run only as the child of the next test: takes a reference on the log and ends the process with it held,
// as a process does that exits with connections open.
TEST(LogChild, DISABLED_ExitsHoldingTheLog) {
  AcquireLog();
  LogLine(L"held at exit");
}

// The log a process still holds when it exits gets its summary from the library's static destruction: it
// must not use anything destroyed before it.
TEST_F(Log, AProcessThatExitsHoldingTheLogStillWritesItsSummary) {
  SwitchOn(path_);
  const hvtest::ChildOutcome child =
      hvtest::RunChild(hvtest::ThisProgram(),
                       L"--gtest_also_run_disabled_tests --gtest_filter=LogChild.DISABLED_ExitsHoldingTheLog", 60000);
  ASSERT_TRUE(child.finished) << child.output;
  EXPECT_EQ(0u, child.exitCode) << child.output;
  const std::vector<std::wstring> lines = ReadLogLines(path_);
  ASSERT_EQ(6u, lines.size());
  EXPECT_EQ(L"held at exit", Stamped(lines[2]));
  EXPECT_EQ(kSeparator, lines[3]);
  EXPECT_EQ(L"***SUMMARY***", Stamped(lines[4]));
  EXPECT_EQ(kSeparator, lines[5]);
}

}  // namespace
}  // namespace hv
