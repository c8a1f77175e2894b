// pelk, the command-line client, end to end: a real pelk.exe process loading hvpelk.dll, against the
// substitute service running in this process with the repository's example catalog; and its progress
// line, which must fit a console.
#include <gtest/gtest.h>
#include <hvpelk/exports.h>
#include <hvpelk/version.h>

#include <cstdio>
#include <initializer_list>
#include <memory>
#include <string>

#include "catalog.h"
#include "common/child_process.h"
#include "common/scratch.h"
#include "common/test_server.h"
#include "progress.h"
#include "service.h"

namespace {

using hv::service::DistributionService;

// Runs pelk.exe (beside this test program) with the arguments; bounded to a minute.
hvtest::ChildOutcome RunPelk(const std::wstring& arguments) {
  hvtest::ChildOutcome outcome = hvtest::RunChild(hvtest::BesideThisProgram(L"pelk.exe"), arguments, 60000);
  EXPECT_TRUE(outcome.started) << "cannot start pelk.exe";
  EXPECT_TRUE(outcome.finished) << "pelk.exe did not end within a minute";
  return outcome;
}

// A file or folder of the source tree, by its path below the top.
std::wstring SourcePath(const std::string& relative) {
  std::wstring path = hvtest::Widen(HVPELK_SOURCE_DIR "/" + relative);
  if (path[0] == L'/') path = L"Z:" + path;  // the Unix path as Wine's drive Z: shows it
  return path;
}

std::wstring ExampleCatalog() { return SourcePath("examples/catalog"); }

// A text value of HKLM\key in this program's registry view (pelk.exe has the same bitness); empty when
// absent.
std::wstring ReadHklm(const std::wstring& key, const wchar_t* name) {
  wchar_t value[512] = {};
  DWORD bytes = sizeof(value);
  if (RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), name, RRF_RT_REG_SZ, nullptr, value, &bytes) != ERROR_SUCCESS) {
    return std::wstring();
  }
  return value;
}

class PelkClient : public ::testing::Test {
 protected:
  void StartService(int32_t pingStatus = 0, const std::wstring& catalogFolder = ExampleCatalog()) {
    hv::service::Catalog catalog;
    std::string error;
    ASSERT_TRUE(hv::service::LoadCatalog(catalogFolder, catalog, error)) << error;
    hv::service::ServiceOptions options;
    options.catalogFolder = catalogFolder;
    options.port = 0;
    options.reportsFile = temp.File(L"reports.xml");
    options.pingStatus = pingStatus;
    service = std::make_unique<DistributionService>(std::move(catalog), options, [](const std::string&) {});
    ASSERT_TRUE(service->Start(error)) << error;
    trellin.SetString(trellin.path(), L"S_URL", hvtest::Widen(service->Url() + hv::service::kServicePath));
  }

  hvtest::TempDir temp;
  hvtest::ScratchKey trellin{HKEY_LOCAL_MACHINE, L"SOFTWARE\\Halvorn\\Trellin"};
  std::unique_ptr<DistributionService> service;
};

TEST_F(PelkClient, PingsQueriesDownloadsAndReports) {
  StartService();
  hvtest::ChildOutcome ping = RunPelk(L"ping");
  EXPECT_EQ(0u, ping.exitCode) << ping.output;
  EXPECT_NE(std::string::npos, ping.output.find("answered: 0x00000000 PELK_S_OK")) << ping.output;

  // Only the live distributions match the default filter; the beta one does not.
  hvtest::ChildOutcome query = RunPelk(L"query --json");
  EXPECT_EQ(0u, query.exitCode) << query.output;
  EXPECT_NE(std::string::npos, query.output.find("\"contentId\": \"QN-2100-EN\"")) << query.output;
  EXPECT_NE(std::string::npos, query.output.find("\"contentId\": \"QN-2100-DE\"")) << query.output;
  EXPECT_EQ(std::string::npos, query.output.find("QS-1003-EN")) << query.output;

  const std::wstring target = temp.File(L"notes.txt");
  const std::string expected = hvtest::ReadFileBytes(ExampleCatalog() + L"\\quillan-notes-2.1-en.txt");
  ASSERT_FALSE(expected.empty());
  hvtest::WriteFileBytes(target, expected.substr(0, 1000));  // a partial file to resume
  hvtest::ChildOutcome download = RunPelk(L"download --content-id QN-2100-EN --verify --out \"" + target + L"\"");
  EXPECT_EQ(0u, download.exitCode) << download.output;
  EXPECT_NE(std::string::npos, download.output.find("checksum verified")) << download.output;
  EXPECT_EQ(expected, hvtest::ReadFileBytes(target));

  hvtest::ChildOutcome report = RunPelk(L"report --index 0 --verify --out \"" + target + L"\"");
  EXPECT_EQ(0u, report.exitCode) << report.output;
  const std::string stored = hvtest::ReadFileBytes(temp.File(L"reports.xml"));
  EXPECT_NE(std::string::npos, stored.find("DownloadStatistic")) << stored;
  EXPECT_NE(std::string::npos, stored.find("0x40002005")) << stored;
}

TEST_F(PelkClient, FailuresPrintTheCodeAndItsNameWithANonzeroExit) {
  StartService(900);
  hvtest::ChildOutcome ping = RunPelk(L"ping");
  EXPECT_EQ(1u, ping.exitCode);
  EXPECT_NE(std::string::npos, ping.output.find("0x80008002 PELK_E_SERVICE_900")) << ping.output;

  hvtest::ChildOutcome badIndex = RunPelk(L"download --index 7 --out \"" + temp.File(L"x.bin") + L"\"");
  EXPECT_EQ(1u, badIndex.exitCode);
  EXPECT_NE(std::string::npos, badIndex.output.find("0x8000D001 PELK_E_BAD_INDEX")) << badIndex.output;

  // An unknown content id is no usage error: the answer names the ones it has.
  hvtest::ChildOutcome unknownId = RunPelk(L"download --content-id NOPE --out \"" + temp.File(L"x.bin") + L"\"");
  EXPECT_EQ(1u, unknownId.exitCode);
  EXPECT_NE(std::string::npos, unknownId.output.find("no distribution of the answer has the content id NOPE (the "
                                                     "answer has QN-2100-EN, QN-2100-DE)"))
      << unknownId.output;
}

TEST_F(PelkClient, UsageErrorsHelpAndVersion) {
  hvtest::ChildOutcome usage = RunPelk(L"download --out");
  EXPECT_EQ(2u, usage.exitCode);
  EXPECT_NE(std::string::npos, usage.output.find("--out needs a value")) << usage.output;
  hvtest::ChildOutcome noCommand = RunPelk(L"");
  EXPECT_EQ(2u, noCommand.exitCode);
  EXPECT_NE(std::string::npos, noCommand.output.find("Exit codes: 0 success")) << noCommand.output;
  for (const wchar_t* inapplicable : {L"ping --json", L"query --out x", L"config show --dll x.dll", L"ping extra"}) {
    hvtest::ChildOutcome refused = RunPelk(inapplicable);
    EXPECT_EQ(2u, refused.exitCode) << refused.output;
  }
  EXPECT_NE(std::string::npos, RunPelk(L"ping --json").output.find("--json does not apply to ping"));

  hvtest::ChildOutcome help = RunPelk(L"query --help");
  EXPECT_EQ(0u, help.exitCode);
  EXPECT_NE(std::string::npos, help.output.find("usage: pelk query")) << help.output;
  hvtest::ChildOutcome version = RunPelk(L"--version");
  EXPECT_EQ(0u, version.exitCode);
  EXPECT_EQ(0u, version.output.find("pelk " HVPELK_VERSION_TEXT "\r\n")) << version.output;
  EXPECT_NE(std::string::npos, version.output.find("hvpelk.dll " HVPELK_VERSION_TEXT ".0: ")) << version.output;
}

TEST_F(PelkClient, ConfigSetsShowsAndClearsTheServiceUrlInTheDllsView) {
  const std::wstring url = L"http://127.0.0.1:8642/hvtr/trellin";
  hvtest::ChildOutcome set = RunPelk(L"config set-url " + url);
  EXPECT_EQ(0u, set.exitCode) << set.output;
  EXPECT_EQ(url, ReadHklm(trellin.path(), L"S_URL"));
  EXPECT_EQ(url, ReadHklm(trellin.path(), L"URL"));
  hvtest::ChildOutcome wrapper = RunPelk(L"config set-url http://wrapped.test/x --wrapper Wrap");
  EXPECT_EQ(0u, wrapper.exitCode) << wrapper.output;
  EXPECT_EQ(L"http://wrapped.test/x", ReadHklm(trellin.Sub(L"Wrap"), L"S_URL"));

  hvtest::ChildOutcome show = RunPelk(L"config show");
  EXPECT_EQ(0u, show.exitCode) << show.output;
  EXPECT_NE(std::string::npos, show.output.find("service URL of ping, query and report: http://127.0.0.1:8642/hvtr/"
                                                "trellin (S_URL of HKLM\\SOFTWARE\\Halvorn\\Trellin)"))
      << show.output;
  EXPECT_NE(std::string::npos, show.output.find(sizeof(void*) == 4 ? "32-bit view" : "64-bit view")) << show.output;
  hvtest::ChildOutcome showWrapper = RunPelk(L"config show --wrapper Wrap");
  EXPECT_NE(std::string::npos, showWrapper.output.find("and report: http://wrapped.test/x (S_URL of "
                                                       "HKLM\\SOFTWARE\\Halvorn\\Trellin\\Wrap)"))
      << showWrapper.output;

  hvtest::ChildOutcome clear = RunPelk(L"config clear");
  EXPECT_EQ(0u, clear.exitCode) << clear.output;
  EXPECT_EQ(L"", ReadHklm(trellin.path(), L"S_URL"));
  EXPECT_EQ(L"", ReadHklm(trellin.path(), L"URL"));
  EXPECT_EQ(L"http://wrapped.test/x", ReadHklm(trellin.Sub(L"Wrap"), L"S_URL")) << "only the named key is cleared";
  EXPECT_NE(std::string::npos, RunPelk(L"config show").output.find("service URL: none configured"));

  EXPECT_EQ(2u, RunPelk(L"config set-url ftp://x").exitCode);
  EXPECT_EQ(2u, RunPelk(L"config").exitCode);
  EXPECT_EQ(2u, RunPelk(L"config set-url").exitCode);
}

// A failure names the URL in use and, for a network failure, what WinINet says about it.
TEST_F(PelkClient, FailuresNameTheUrlAndTheWindowsError) {
  hvtest::ChildOutcome unset = RunPelk(L"ping");
  EXPECT_EQ(1u, unset.exitCode);
  EXPECT_NE(std::string::npos, unset.output.find("no service URL is configured")) << unset.output;
  EXPECT_NE(std::string::npos, unset.output.find("pelk config set-url")) << unset.output;

  trellin.SetString(trellin.path(), L"S_URL", L"http://127.0.0.1:1/hvtr/trellin");
  hvtest::ChildOutcome refused = RunPelk(L"query");
  EXPECT_EQ(1u, refused.exitCode);
  EXPECT_NE(std::string::npos, refused.output.find("service URL: http://127.0.0.1:1/hvtr/trellin")) << refused.output;
  EXPECT_NE(std::string::npos, refused.output.find("Windows error 12029 ERROR_INTERNET_CANNOT_CONNECT"))
      << refused.output;

  trellin.SetString(trellin.path(), L"S_URL", L"htp:/broken");
  hvtest::ChildOutcome malformed = RunPelk(L"ping");
  EXPECT_EQ(1u, malformed.exitCode);
  EXPECT_NE(std::string::npos, malformed.output.find("Windows error 12006 ERROR_INTERNET_UNRECOGNIZED_SCHEME"))
      << malformed.output;
}

// 'report' sends the statistics also when the download failed, and still exits with the failure.
TEST_F(PelkClient, ReportAfterAFailedDownloadSendsTheStatistics) {
  hvtest::TempDir catalog;
  const std::string file = hvtest::ReadFileBytes(ExampleCatalog() + L"\\quillan-notes-2.1-en.txt");
  hvtest::WriteFileBytes(catalog.File(L"catalog.ini"),
                         "[distribution]\nid = QN-2100-EN\nproductName = Quillan Notes 2.1\n"
                         "file = notes.txt\ndistPackageGUID = {5B1E3C2A-7D44-4F1B-9C3E-2A6F0D8B1C01}\n"
                         "distributionGUID = {A3F0C6D2-1B7E-4E55-8A9D-64C2E1F0B201}\ndistributionLanguage = en\n"
                         "distributionVersion = 2.1.0.0\n");
  hvtest::WriteFileBytes(catalog.File(L"notes.txt"), file);
  StartService(0, catalog.path());
  ASSERT_TRUE(DeleteFileW(catalog.File(L"notes.txt").c_str()));  // the service now answers 500

  hvtest::ChildOutcome report = RunPelk(L"report --index 0 --out \"" + temp.File(L"notes.txt") + L"\"");
  EXPECT_EQ(1u, report.exitCode) << report.output;
  EXPECT_NE(std::string::npos, report.output.find("statistics report sent")) << report.output;
  EXPECT_NE(std::string::npos, report.output.find("PELK_E_HTTP_SERVER")) << report.output;
  EXPECT_NE(std::string::npos, report.output.find("download URL: http://127.0.0.1:")) << report.output;
  const std::string stored = hvtest::ReadFileBytes(temp.File(L"reports.xml"));
  EXPECT_NE(std::string::npos, stored.find("0x8000200A")) << stored;
}

// The console's progress bar never reaches the 80th column, whatever the sizes, rate and phase.
TEST(PelkProgress, TheBarFitsAnEightyColumnConsole) {
  const std::string typical = pelk::BarLine(PELK_PHASE_RECEIVING, 2621440, 5242880, 1048576.0, 3);
  EXPECT_EQ(0u, typical.find("RECEIVING [########--------] 50% 2.5 MiB/5.0 MiB 1.0 MiB/s 3s left")) << typical;
  EXPECT_EQ(pelk::kLineWidth, typical.size());
  const uint64_t huge = 1ull << 62;
  for (const int32_t phase : std::initializer_list<int32_t>{PELK_PHASE_VERIFYING, PELK_E_HTTP_BAD_REQUEST,
                                                            static_cast<int32_t>(0x80000005)}) {
    const std::string line = pelk::BarLine(phase, huge - 1, huge, 1e15, 99999999);
    EXPECT_EQ(pelk::kLineWidth, line.size()) << line;
  }
  EXPECT_NE(std::string::npos,
            pelk::BarLine(PELK_PHASE_STARTED, 0, 0, 0.0, -1).find("STARTED [----------------] 0% 0 B/?"));
}

// The README's status table is written for readers, from the header's table: every code must stand there
// with its name and meaning, so the two never drift apart.
TEST(StatusTable, TheReadmeListsEveryCodeWithItsNameAndMeaning) {
  const std::string readme = hvtest::ReadFileBytes(SourcePath("README.md"));
  ASSERT_FALSE(readme.empty());
  char row[256];
#define CHECK_ROW(name, value, meaning)                                                                 \
  snprintf(row, sizeof(row), "| 0x%08x | `%s` | %s |\n", static_cast<unsigned>(value), #name, meaning); \
  EXPECT_NE(std::string::npos, readme.find(row)) << row;
  PELK_STATUS_TABLE(CHECK_ROW)
#undef CHECK_ROW
}

}  // namespace
