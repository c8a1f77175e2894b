// pelk, the command-line client, end to end: a real pelk.exe process loading hvpelk.dll, against the
// substitute service running in this process with the repository's example catalog.
#include <gtest/gtest.h>
#include <hvpelk/exports.h>

#include <cstdio>
#include <memory>
#include <string>

#include "catalog.h"
#include "common/child_process.h"
#include "common/scratch.h"
#include "common/test_server.h"
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

class PelkClient : public ::testing::Test {
 protected:
  void StartService(int32_t pingStatus = 0) {
    hv::service::Catalog catalog;
    std::string error;
    ASSERT_TRUE(hv::service::LoadCatalog(ExampleCatalog(), catalog, error)) << error;
    hv::service::ServiceOptions options;
    options.catalogFolder = ExampleCatalog();
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
  EXPECT_NE(std::string::npos, ping.output.find("the service answered")) << ping.output;

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

  hvtest::ChildOutcome usage = RunPelk(L"download --out");
  EXPECT_EQ(2u, usage.exitCode);
  EXPECT_NE(std::string::npos, usage.output.find("--out needs a value")) << usage.output;

  hvtest::ChildOutcome help = RunPelk(L"query --help");
  EXPECT_EQ(0u, help.exitCode);
  EXPECT_NE(std::string::npos, help.output.find("usage: pelk query")) << help.output;
}

// The README's status table is written for readers, from the header's table: every code must stand there
// with its name and meaning, so the two never drift apart.
TEST(StatusTable, TheReadmeListsEveryCodeWithItsNameAndMeaning) {
  const std::string readme = hvtest::ReadFileBytes(SourcePath("README.md"));
  ASSERT_FALSE(readme.empty());
  char row[256];
#define CHECK_ROW(name, value, meaning)                                                                     \
  snprintf(row, sizeof(row), "| 0x%08x | `%s` | %s |\n", static_cast<unsigned>(value), #name, meaning); \
  EXPECT_NE(std::string::npos, readme.find(row)) << row;
  PELK_STATUS_TABLE(CHECK_ROW)
#undef CHECK_ROW
}

}  // namespace
