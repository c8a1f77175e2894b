// hvservice: the substitute distribution service as a console program. Serves until the process ends.
#include <hvpelk/version.h>

#include <cstdio>
#include <string>
#include <vector>

#include "catalog.h"
#include "options.h"
#include "service.h"
#include "text.h"

namespace {

// Output through a pipe is fully buffered: every line is flushed at once.
void PrintLine(FILE* stream, const std::string& line) {
  std::fputs(line.c_str(), stream);
  std::fputc('\n', stream);
  std::fflush(stream);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  using namespace hv::service;
  std::vector<std::wstring> args(argv + 1, argv + argc);
  ServiceOptions options;
  Request request = Request::Serve;
  std::string error;
  if (!ParseCommandLine(args, options, request, error)) {
    PrintLine(stderr, "hvservice: " + error);
    return 2;
  }
  if (request == Request::Help) {
    std::fputs(HelpText().c_str(), stdout);
    std::fflush(stdout);
    return 0;
  }
  if (request == Request::Version) {
    PrintLine(stdout, "hvservice " HVPELK_VERSION_TEXT);
    return 0;
  }

  Catalog catalog;
  if (!LoadCatalog(options.catalogFolder, catalog, error)) {
    PrintLine(stderr, "hvservice: " + error);
    return 1;
  }
  std::vector<std::string> summary;
  for (const Distribution& d : catalog.distributions) {
    summary.push_back("  " + WideToUtf8(d.id) + "  " + WideToUtf8(d.fileName) + "  " + std::to_string(d.size) +
                      " bytes  md5 " + WideToUtf8(d.md5));
  }
  std::string reports = options.reportsFile.empty() ? "(not kept)" : WideToUtf8(options.reportsFile);

  DistributionService service(std::move(catalog), options, [](const std::string& line) { PrintLine(stdout, line); });
  if (!service.Start(error)) {
    PrintLine(stderr, "hvservice: " + error);
    return 1;
  }
  PrintLine(stdout, "hvservice: listening on " + service.Url() + kServicePath);
  PrintLine(stdout, "hvservice: port " + std::to_string(service.port()));
  PrintLine(stdout, "hvservice: catalog " + WideToUtf8(options.catalogFolder) + ", " + std::to_string(summary.size()) +
                        " distribution(s):");
  for (const std::string& line : summary) PrintLine(stdout, line);
  PrintLine(stdout, "hvservice: reports go to " + reports);
  service.Wait();
  return 0;
}
