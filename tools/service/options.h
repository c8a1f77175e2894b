// The service's settings and its command line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace hv {
namespace service {

constexpr int kDefaultPort = 8642;

struct ServiceOptions {
  std::wstring catalogFolder = L".";
  std::string host = "127.0.0.1";
  int port = kDefaultPort;           // 0: the system picks a free port
  std::string publicUrl;             // base of every "downloadUrl"; empty: http://<listening address>
  std::wstring reportsFile = L"reports.xml";  // empty: reports are answered but not stored
  int32_t pingStatus = 0;            // service status forced on every answer of the command
  int32_t queryStatus = 0;
  int32_t reportStatus = 0;
  unsigned delayMs = 0;              // pause before every answer, downloads included
  bool gzipAnswers = true;           // compress packets for clients that accept gzip
  bool gzipDownloads = false;        // serve files gzip-compressed to clients that accept gzip
};

// Reads the arguments (without the program name) into options. Returns false with a one-line error for
// an unknown option, a missing or malformed value; sets help when --help or -h is given.
bool ParseCommandLine(const std::vector<std::wstring>& args, ServiceOptions& options, bool& help,
                      std::string& error);

// The text --help prints.
std::string HelpText();

}  // namespace service
}  // namespace hv
