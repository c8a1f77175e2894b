#include "options.h"

#include <cerrno>
#include <climits>
#include <cwchar>

#include "text.h"

namespace hv {
namespace service {
namespace {

bool ParseInt(const std::wstring& text, long long low, long long high, long long& out) {
  if (text.empty()) return false;
  wchar_t* end = nullptr;
  errno = 0;
  long long value = wcstoll(text.c_str(), &end, 10);
  if (errno != 0 || *end != L'\0' || value < low || value > high) return false;
  out = value;
  return true;
}

}  // namespace

bool ParseCommandLine(const std::vector<std::wstring>& args, ServiceOptions& options, Request& request,
                      std::string& error) {
  request = Request::Serve;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::wstring& name = args[i];
    if (name == L"--help" || name == L"-h" || name == L"/?") {
      request = Request::Help;
      continue;
    }
    if (name == L"--version") {
      if (request == Request::Serve) request = Request::Version;
      continue;
    }
    if (name == L"--no-gzip-answers") {
      options.gzipAnswers = false;
      continue;
    }
    if (name == L"--gzip-downloads") {
      options.gzipDownloads = true;
      continue;
    }
    if (i + 1 >= args.size()) {
      error = name.compare(0, 2, L"--") == 0 ? "option " + WideToUtf8(name) + " needs a value"
                                             : "unexpected argument " + WideToUtf8(name);
      return false;
    }
    const std::wstring& value = args[++i];
    long long number = 0;
    bool ok = true;
    if (name == L"--catalog") {
      options.catalogFolder = value;
    } else if (name == L"--host") {
      options.host = WideToUtf8(value);
      ok = !value.empty();
    } else if (name == L"--port") {
      ok = ParseInt(value, 0, 65535, number);
      options.port = static_cast<int>(number);
    } else if (name == L"--public-url") {
      options.publicUrl = WideToUtf8(value);
      while (!options.publicUrl.empty() && options.publicUrl.back() == '/') options.publicUrl.pop_back();
      ok = options.publicUrl.compare(0, 7, "http://") == 0 || options.publicUrl.compare(0, 8, "https://") == 0;
    } else if (name == L"--reports") {
      options.reportsFile = value;
    } else if (name == L"--delay-ms") {
      ok = ParseInt(value, 0, 3600LL * 1000, number);
      options.delayMs = static_cast<unsigned>(number);
    } else if (name == L"--rate") {
      ok = ParseInt(value, 0, INT64_MAX, number);
      options.rateBytesPerSecond = static_cast<uint64_t>(number);
    } else if (name == L"--cut-once") {
      ok = ParseInt(value, 0, INT64_MAX, number);
      options.cutOnceAfter = static_cast<uint64_t>(number);
    } else if (name == L"--status" || name == L"--ping-status" || name == L"--query-status" ||
               name == L"--report-status") {
      ok = ParseInt(value, INT32_MIN, INT32_MAX, number);
      int32_t status = static_cast<int32_t>(number);
      if (name == L"--status" || name == L"--ping-status") options.pingStatus = status;
      if (name == L"--status" || name == L"--query-status") options.queryStatus = status;
      if (name == L"--status" || name == L"--report-status") options.reportStatus = status;
    } else {
      error = "unknown option " + WideToUtf8(name) + " (see --help)";
      return false;
    }
    if (!ok) {
      error = "bad value \"" + WideToUtf8(value) + "\" for " + WideToUtf8(name);
      return false;
    }
  }
  return true;
}

std::string HelpText() {
  return R"(hvservice - a stand-in for the Trellin distribution service, for tests and demonstrations.

Usage: hvservice [options]

Options:
  --catalog DIR         folder holding catalog.ini and the distribution files (default: .)
  --host ADDRESS        address to listen on (default: 127.0.0.1)
  --port N              port to listen on (default: 8642); 0 lets the system pick a free port.
                        The address actually used is printed at start.
  --public-url URL      base of the "downloadUrl" of every distribution, e.g. http://files.test:8080
                        (default: http://<listening address>:<port>)
  --reports FILE        file every received report is appended to (default: reports.xml);
                        an empty value answers reports without storing them
  --status CODE         service status put into every answer (default: 0, success)
  --ping-status CODE    ... only into ping answers
  --query-status CODE   ... only into content query answers (the answer then lists no update)
  --report-status CODE  ... only into report answers (the report is then not stored)
  --delay-ms N          wait N milliseconds before every answer, downloads included
  --rate N              send downloads at about N bytes a second, a tenth each 100 ms (to watch a
                        progress bar or cancel mid-way); 0, the default, sends them at full speed
  --cut-once N          close the connection of the first download after N bytes of its body, as a
                        network that breaks once does (the client sees a short body); only an answer
                        longer than N is cut, every later one is whole; 0, the default, cuts none
  --no-gzip-answers     never compress answer packets
  --gzip-downloads      compress downloads for clients that send "Accept-Encoding: gzip"
  --help                this text
  --version             the version of hvservice

Routes (service path /hvtr/trellin):
  GET  /hvtr/trellin?cmd=PingCmd:Ping&module=Trellin
  POST /hvtr/trellin?cmd=ContentCmd:Query&trellin%5Fversion=2%2E0   body: packet with "contentQuery"
  POST /hvtr/trellin?cmd=ReportCmd:Report&trellin%5Fversion=2%2E0   body: packet with "report"
  GET  /files/NAME      the distribution file NAME of the catalog
Every command is answered with a "packet" whose header/server/status "code" is the service status and,
for a content query, whose body lists the matching distributions as "update" elements. Request packets
may come in any encoding the XML parser detects (the client sends UTF-16LE with a byte order mark).
Answers are UTF-8, gzip-compressed when the client accepts gzip (unless --no-gzip-answers).

Service statuses of its own:
  100  malformed request: no packet, not XML, no "contentQuery"/"query" or "report", a "query" type
       other than And/Or, an unknown "compareType", a "metadata" without "field"
  200  missing or unknown command
  300  wrong parameter: "module" is not Trellin, or "trellin_version" is not 2.0
  800  a report could not be stored
HTTP errors: 404 unknown path or file, 405 wrong method (ping is GET, query and report are POST),
413 a request body above 4 MiB, 416 a range that starts at or beyond the end of the file.

Content queries: every "metadata" condition names a field: contentType, targetClient, status, locale,
distPackageGUID, distributionGUID, distributionLanguage or distributionVersion (exact names); any other
field never matches. Values compare without regard to ASCII case; two dotted numbers ("1.10.0.3")
compare as versions, part by part, absent parts being 0 ("1.2" equals "1.2.0.0", "1.10" > "1.9");
other values compare as text. GreaterThan, LessThan etc. compare the distribution's value with the
condition's (GreaterThan 1.0 matches 1.5); Contains looks for the condition's value inside the
distribution's. And groups need all members, Or groups any; an empty group matches everything.

Downloads: Content-Length, Content-Type application/octet-stream and Accept-Ranges are always sent.
"Range: bytes=N-" (also written without the blank, "Range:bytes=N-") and "bytes=N-M" / "bytes=-N" are
answered with 206 and Content-Range; several ranges are ignored (whole file, 200). The catalog's
"downloadChecksum" (lower-case MD5) and "downloadSize" are those of the uncompressed file. With
--gzip-downloads a client that accepts gzip receives the gzip encoding of the file
(Content-Encoding: gzip), compressed once at start and held in memory; Content-Length and ranges then
count compressed bytes, so a resumed download continues the same compressed stream.

Reports: each received report is appended to the reports file as a line
"==== report received <UTC time> from <address> ====" followed by the report packet as one XML
document (UTF-8, elements written without added indentation, so texts stay as received).

Catalog (catalog.ini, UTF-8): "key = value" lines, '#' or ';' comments, one [distribution] section per
distribution. Required once each: id, productName, file (a file name in the catalog folder),
distPackageGUID, distributionGUID, distributionLanguage, distributionVersion. Optional once each:
contentType (UPDATE), targetClient (Quillan Distribution), status (live), locale (en-XX),
updateProductCode, updateProductVersion, updateMinimumVersion. Any number of
installCondition.TYPE = TEXT lines. Sizes and MD5 digests are computed from the files at start; errors
name the line.

Every request is printed as one line on the console.
)";
}

}  // namespace service
}  // namespace hv
