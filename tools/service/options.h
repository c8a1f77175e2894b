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
  int port = kDefaultPort;                    // 0: the system picks a free port
  std::string publicUrl;                      // base of every "downloadUrl"; empty: http://<listening address>
  std::wstring reportsFile = L"reports.xml";  // empty: reports are answered but not stored
  int32_t pingStatus = 0;                     // service status forced on every answer of the command
  int32_t queryStatus = 0;
  int32_t reportStatus = 0;
  unsigned delayMs = 0;             // pause before every answer, downloads included
  uint64_t rateBytesPerSecond = 0;  // pace of every download; 0: as fast as the connection goes
  uint64_t cutOnceAfter = 0;        // the first download body longer than this ends here; 0: none is cut
  bool gzipAnswers = true;          // compress packets for clients that accept gzip
  bool gzipDownloads = false;       // serve files gzip-compressed to clients that accept gzip
};

// What the command line asks for besides serving.
enum class Request { Serve, Help, Version };

// Reads the arguments (without the program name) into options. Returns false with a one-line error for
// an unknown option, a missing or malformed value; request is Help for --help or -h, Version for --version.
bool ParseCommandLine(const std::vector<std::wstring>& args, ServiceOptions& options, Request& request,
                      std::string& error);

// The text --help prints.
std::string HelpText();

}  // namespace service
}  // namespace hv
