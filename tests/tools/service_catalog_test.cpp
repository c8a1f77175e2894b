// The substitute service's inputs: the catalog file and the command line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "catalog.h"
#include "common/scratch.h"
#include "common/test_server.h"
#include "options.h"
#include "text.h"

namespace {

using hv::service::Catalog;
using hv::service::ServiceOptions;

TEST(ServiceCatalog, ErrorsNameTheLine) {
  hvtest::TempDir dir;
  hvtest::WriteFileBytes(dir.File(L"a.txt"), "a");
  const std::string good =
      "[distribution]\nid = X\nproductName = P\nfile = a.txt\ndistPackageGUID = {P}\ndistributionGUID = {G}\n"
      "distributionLanguage = en\ndistributionVersion = 1.0\n";
  auto load = [&](const std::string& text, Catalog& catalog) {
    hvtest::WriteFileBytes(dir.File(L"catalog.ini"), text);
    std::string error;
    EXPECT_FALSE(hv::service::LoadCatalog(dir.path(), catalog, error)) << text;
    EXPECT_TRUE(catalog.distributions.empty());
    return error;
  };
  Catalog catalog;
  EXPECT_EQ("catalog.ini:9: unknown key \"size\"", load(good + "size = 3\n", catalog));
  EXPECT_EQ("catalog.ini:1: \"id\" appears before the first [distribution]", load("id = X\n" + good, catalog));
  EXPECT_EQ("catalog.ini:1: unknown section [update] (only [distribution] is known)", load("[update]\n", catalog));
  EXPECT_EQ("catalog.ini:2: expected \"key = value\" or [distribution]", load("[distribution]\njust text\n", catalog));
  EXPECT_EQ("catalog.ini:9: key \"id\" given twice", load(good + "ID = Y\n", catalog));
  EXPECT_EQ("catalog.ini:9: duplicate id \"X\"", load(good + good, catalog));
  EXPECT_EQ("catalog.ini:1: distribution lacks the required key \"distributionVersion\"",
            load(good.substr(0, good.rfind("distributionVersion")), catalog));
  EXPECT_EQ("catalog.ini:2: key \"productName\" is empty", load("[distribution]\nproductName =\n", catalog));
  EXPECT_EQ("catalog.ini:4: file \"b.txt\" not found in the catalog folder",
            load("[distribution]\nid = X\nproductName = P\nfile = b.txt\ndistPackageGUID = {P}\n"
                 "distributionGUID = {G}\ndistributionLanguage = en\ndistributionVersion = 1.0\n",
                 catalog));
  EXPECT_EQ("catalog.ini:2: \"file\" must name a file inside the catalog folder, not \"..\\a.txt\"",
            load("[distribution]\nfile = ..\\a.txt\n", catalog));
  EXPECT_EQ("catalog.ini:2: the line is not valid UTF-8", load("# fine\nproductName = \xC3\x28\n", catalog));
  std::string error;
  EXPECT_FALSE(hv::service::LoadCatalog(dir.File(L"nothing-here"), catalog, error));
  EXPECT_NE(std::string::npos, error.find("cannot read the catalog file")) << error;

  // Byte order mark, CRLF, comments, any key case, defaults; a catalog may be empty.
  std::string mixed = good;
  mixed.replace(mixed.find("id = X"), 6, "ID = X");
  hvtest::WriteFileBytes(dir.File(L"catalog.ini"),
                         "\xEF\xBB\xBF; comment\r\n  # indented comment\r\n" + mixed + "installcondition.os = 6.1\r\n");
  ASSERT_TRUE(hv::service::LoadCatalog(dir.path(), catalog, error)) << error;
  ASSERT_EQ(1u, catalog.distributions.size());
  const hv::service::Distribution& d = catalog.distributions[0];
  EXPECT_EQ(L"UPDATE", d.contentType);
  EXPECT_EQ(L"Quillan Distribution", d.targetClient);
  EXPECT_EQ(L"live", d.status);
  EXPECT_EQ(L"en-XX", d.locale);
  EXPECT_EQ(L"1.0", d.distributionVersion);
  ASSERT_EQ(1u, d.installConditions.size());
  EXPECT_EQ(L"os", d.installConditions[0].type);
  EXPECT_EQ(1u, d.size);
  EXPECT_EQ(L"0cc175b9c0f1b6a831c399e269772661", d.md5);  // MD5 of "a"
  hvtest::WriteFileBytes(dir.File(L"catalog.ini"), "# nothing offered yet\n");
  EXPECT_TRUE(hv::service::LoadCatalog(dir.path(), catalog, error)) << error;
  EXPECT_TRUE(catalog.distributions.empty());

  // The example catalog of the repository loads.
  std::wstring examples = hvtest::Widen(HVPELK_SOURCE_DIR "/examples/catalog");
  if (examples[0] == L'/') examples = L"Z:" + examples;  // the Unix path as Wine's drive Z: shows it
  ASSERT_TRUE(hv::service::LoadCatalog(examples, catalog, error)) << error;
  EXPECT_EQ(3u, catalog.distributions.size());
}

TEST(ServiceOptions, CommandLine) {
  ServiceOptions options;
  hv::service::Request request = hv::service::Request::Help;
  std::string error;
  ASSERT_TRUE(hv::service::ParseCommandLine({L"--port",           L"0",
                                             L"--host",           L"0.0.0.0",
                                             L"--delay-ms",       L"25",
                                             L"--rate",           L"4096",
                                             L"--cut-once",       L"70000",
                                             L"--status",         L"10",
                                             L"--query-status",   L"6000",
                                             L"--gzip-downloads", L"--no-gzip-answers",
                                             L"--public-url",     L"https://x.test:1//",
                                             L"--reports",        L"",
                                             L"--catalog",        L"C:\\cat"},
                                            options, request, error))
      << error;
  EXPECT_EQ(hv::service::Request::Serve, request);
  EXPECT_EQ(0, options.port);
  EXPECT_EQ("0.0.0.0", options.host);
  EXPECT_EQ(25u, options.delayMs);
  EXPECT_EQ(4096u, options.rateBytesPerSecond);
  EXPECT_EQ(70000u, options.cutOnceAfter);
  EXPECT_EQ(10, options.pingStatus);
  EXPECT_EQ(6000, options.queryStatus);
  EXPECT_EQ(10, options.reportStatus);
  EXPECT_TRUE(options.gzipDownloads);
  EXPECT_FALSE(options.gzipAnswers);
  EXPECT_EQ("https://x.test:1", options.publicUrl);
  EXPECT_EQ(L"", options.reportsFile);
  EXPECT_EQ(L"C:\\cat", options.catalogFolder);

  ServiceOptions defaults;
  EXPECT_EQ(hv::service::kDefaultPort, defaults.port);
  EXPECT_EQ("127.0.0.1", defaults.host);
  EXPECT_TRUE(defaults.gzipAnswers);
  EXPECT_FALSE(defaults.gzipDownloads);

  ASSERT_TRUE(hv::service::ParseCommandLine({L"--version"}, options, request, error));
  EXPECT_EQ(hv::service::Request::Version, request);
  ASSERT_TRUE(hv::service::ParseCommandLine({L"--version", L"--help"}, options, request, error));
  EXPECT_EQ(hv::service::Request::Help, request);
  EXPECT_NE(std::string::npos, hv::service::HelpText().find("--delay-ms"));
  const std::vector<std::vector<std::wstring>> bad = {{L"--port", L"65536"},
                                                      {L"--port", L"8o"},
                                                      {L"--status"},
                                                      {L"--bogus", L"1"},
                                                      {L"--delay-ms", L"-1"},
                                                      {L"--public-url", L"ftp://x"},
                                                      {L"stray"},
                                                      {L"--status", L"99999999999"},
                                                      {L"--rate", L"-5"},
                                                      {L"--cut-once", L"x"}};
  for (const auto& args : bad) {
    error.clear();
    EXPECT_FALSE(hv::service::ParseCommandLine(args, options, request, error)) << hv::service::WideToUtf8(args[0]);
    EXPECT_FALSE(error.empty());
  }
}

}  // namespace
