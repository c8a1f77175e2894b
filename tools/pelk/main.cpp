// pelk: try the hvpelk library from a terminal. It loads hvpelk.dll by its exported names, exactly as an
// installer does, and drives it: ping the service, run a content query, download a distribution with
// progress, resume and verification, and send the download statistics report.
#include <hvpelk/loader.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "status_names.h"

using pelk::DescribeStatus;
using pelk::LookUpStatus;

namespace {

const char kUsage[] =
    "usage: pelk [global options] <command> [command options]\n"
    "\n"
    "Commands:\n"
    "  ping                       ask the distribution service whether it answers\n"
    "  query                      list the distributions that match the filters\n"
    "  download                   download one distribution of the query's answer into a file\n"
    "  report                     download as 'download' does, then send the download statistics\n"
    "\n"
    "Global options:\n"
    "  --dll PATH                 the hvpelk.dll to load (default: the one beside pelk.exe)\n"
    "  --app NAME                 application name sent to the service (default: pelk)\n"
    "  --app-version VERSION      application version (default: 14.0.0)\n"
    "  --wrapper NAME             wrapper library name; selects a per-wrapper service URL (default: none)\n"
    "  --wrapper-version VERSION  wrapper library version\n"
    "  --locale LOCALE            locale sent in packet headers (default: en-US)\n"
    "  --silent-proxy             never show the proxy-credentials dialog for ping, query and report\n"
    "  --timeout MS               time limit of ping and query in milliseconds (default: 60000)\n"
    "  --help                     this text; 'pelk <command> --help' explains a command\n"
    "\n"
    "The service URL comes from the registry: HKLM\\SOFTWARE\\Halvorn\\Trellin, values S_URL and URL.\n"
    "Every failure prints the status code with its name and exits with 1 (2 for a usage error).\n";

const char kQueryHelp[] =
    "usage: pelk query [--package GUID]... [--dist GUID:LANGUAGE:VERSION]... [--json]\n"
    "\n"
    "Sends a content query and prints the matching distributions: a table, or JSON with --json.\n"
    "  --package GUID             match distributions of this package (repeatable)\n"
    "  --dist GUID:LANG:VERSION   match this distribution GUID, language and version (repeatable)\n"
    "  --json                     print the list as a JSON array\n"
    "Filters are joined by OR; without any filter every live update for the default locale matches.\n";

const char kDownloadHelp[] =
    "usage: pelk download (--index N | --content-id ID) --out FILE [--verify] [query filters]\n"
    "       pelk report   (--index N | --content-id ID) --out FILE [--verify] [query filters]\n"
    "\n"
    "Runs the query (same filters as 'pelk query'), then downloads the chosen distribution into FILE.\n"
    "A partial FILE is resumed; a complete one receives nothing. Ctrl-C cancels cleanly and keeps the\n"
    "partial file for a later resume. 'report' then sends the download statistics to the service.\n"
    "  --index N                  the N-th distribution of the answer (from 0)\n"
    "  --content-id ID            the distribution with this content identifier\n"
    "  --out FILE                 the target file\n"
    "  --verify                   verify the file's MD5 checksum against the service's\n";

const char kPingHelp[] =
    "usage: pelk ping\n"
    "\n"
    "Pings the distribution service and prints its answer.\n";

struct Options {
  std::wstring dll;
  std::wstring app = L"pelk";
  std::wstring appVersion = L"14.0.0";
  std::wstring wrapper;
  std::wstring wrapperVersion;
  std::wstring locale = L"en-US";
  bool silentProxy = false;
  int32_t timeoutMs = 60000;
  std::string command;
  std::vector<std::wstring> packages;
  struct Triple {
    std::wstring guid, language, version;
  };
  std::vector<Triple> dists;
  bool json = false;
  int32_t index = -1;
  std::wstring contentId;
  std::wstring out;
  bool verify = false;
};

struct UsageError {
  std::string message;
};

std::wstring Widen(const std::string& text) {
  if (text.empty()) return std::wstring();
  int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0], size);
  return wide;
}

std::string Narrow(const std::wstring& text) {
  if (text.empty()) return std::string();
  int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string narrow(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &narrow[0], size, nullptr, nullptr);
  return narrow;
}

int32_t ParseInt(const std::string& text, const char* option) {
  char* end = nullptr;
  long value = strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0') throw UsageError{std::string(option) + " takes a whole number"};
  return static_cast<int32_t>(value);
}

Options Parse(const std::vector<std::string>& args) {
  Options options;
  size_t i = 0;
  auto value = [&](const char* option) -> std::string {
    if (i + 1 >= args.size()) throw UsageError{std::string(option) + " needs a value"};
    return args[++i];
  };
  for (; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h") {
      options.command = options.command.empty() ? "help" : options.command + "-help";
      return options;
    } else if (arg == "--dll") {
      options.dll = Widen(value("--dll"));
    } else if (arg == "--app") {
      options.app = Widen(value("--app"));
    } else if (arg == "--app-version") {
      options.appVersion = Widen(value("--app-version"));
    } else if (arg == "--wrapper") {
      options.wrapper = Widen(value("--wrapper"));
    } else if (arg == "--wrapper-version") {
      options.wrapperVersion = Widen(value("--wrapper-version"));
    } else if (arg == "--locale") {
      options.locale = Widen(value("--locale"));
    } else if (arg == "--silent-proxy") {
      options.silentProxy = true;
    } else if (arg == "--timeout") {
      options.timeoutMs = ParseInt(value("--timeout"), "--timeout");
    } else if (arg == "--package") {
      options.packages.push_back(Widen(value("--package")));
    } else if (arg == "--dist") {
      const std::string triple = value("--dist");
      const size_t first = triple.find(':');
      const size_t second = first == std::string::npos ? first : triple.find(':', first + 1);
      if (second == std::string::npos) throw UsageError{"--dist takes GUID:LANGUAGE:VERSION"};
      options.dists.push_back({Widen(triple.substr(0, first)), Widen(triple.substr(first + 1, second - first - 1)),
                               Widen(triple.substr(second + 1))});
    } else if (arg == "--json") {
      options.json = true;
    } else if (arg == "--index") {
      options.index = ParseInt(value("--index"), "--index");
    } else if (arg == "--content-id") {
      options.contentId = Widen(value("--content-id"));
    } else if (arg == "--out") {
      options.out = Widen(value("--out"));
    } else if (arg == "--verify") {
      options.verify = true;
    } else if (!arg.empty() && arg[0] == '-') {
      throw UsageError{"unknown option " + arg};
    } else if (options.command.empty()) {
      options.command = arg;
    } else {
      throw UsageError{"unexpected argument " + arg};
    }
  }
  return options;
}

// A failed library call: printed with its code and name, exit status 1.
struct Failure {
  std::string what;
  int32_t code;
};

void Check(int32_t code, const char* what) {
  if (code < 0) throw Failure{what, code};
}

volatile LONG g_interrupted = 0;

BOOL WINAPI OnConsoleControl(DWORD event) {
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
    InterlockedExchange(&g_interrupted, 1);
    return TRUE;
  }
  return FALSE;
}

class Session {
 public:
  Session(hvpelk::Library& pelk, const Options& options) : pelk_(pelk) {
    const int32_t flags = (options.silentProxy ? PELK_FLAG_SILENT_PROXY_AUTH : 0) |
                          (options.verify ? PELK_FLAG_VERIFY_CHECKSUM : 0);
    Check(pelk_.PelkOpen(options.app.c_str(), options.appVersion.c_str(), options.wrapper.c_str(),
                         options.wrapperVersion.c_str(), options.locale.c_str(), flags, &handle_),
          "open");
  }
  ~Session() { pelk_.PelkClose(handle_); }
  int32_t handle() const { return handle_; }

 private:
  hvpelk::Library& pelk_;
  int32_t handle_ = 0;
};

struct Distribution {
  std::wstring contentId, productName, url, checksum, packageGuid, distGuid, language, version;
  uint64_t size = 0;
};

std::wstring GetText(hvpelk::Library& pelk, decltype(&PelkGetContentId) getter, int32_t handle, int32_t index) {
  VARIANT text;
  VariantInit(&text);
  Check(getter(handle, index, &text), "read a distribution field");
  std::wstring value = V_VT(&text) == VT_BSTR && V_BSTR(&text) ? V_BSTR(&text) : L"";
  VariantClear(&text);
  (void)pelk;
  return value;
}

std::vector<Distribution> RunQuery(hvpelk::Library& pelk, int32_t handle, const Options& options) {
  for (const std::wstring& package : options.packages) {
    Check(pelk.PelkSetDistPackageGuid(handle, package.c_str()), "add a package filter");
  }
  for (const Options::Triple& dist : options.dists) {
    Check(pelk.PelkSetDistGuidAndVersion(handle, dist.guid.c_str(), dist.language.c_str(), dist.version.c_str()),
          "add a distribution filter");
  }
  int32_t status = pelk.PelkQuerySubmit(handle, options.timeoutMs);
  while (status == PELK_S_STILL_RUNNING) status = pelk.PelkQueryCheck(handle, 250);
  Check(status, "query");
  int32_t count = 0;
  Check(pelk.PelkGetDistCount(handle, &count), "count the distributions");
  std::vector<Distribution> list;
  for (int32_t i = 0; i < count; ++i) {
    Distribution d;
    d.contentId = GetText(pelk, pelk.PelkGetContentId, handle, i);
    d.productName = GetText(pelk, pelk.PelkGetProductName, handle, i);
    d.url = GetText(pelk, pelk.PelkGetDistDownloadURL, handle, i);
    d.checksum = GetText(pelk, pelk.PelkGetDistChecksum, handle, i);
    d.packageGuid = GetText(pelk, pelk.PelkGetDistPackageGUID, handle, i);
    d.distGuid = GetText(pelk, pelk.PelkGetDistGUID, handle, i);
    d.language = GetText(pelk, pelk.PelkGetDistLanguage, handle, i);
    d.version = GetText(pelk, pelk.PelkGetDistVersion, handle, i);
    Check(pelk.PelkGetDistDownloadSize(handle, i, &d.size), "read a download size");
    list.push_back(d);
  }
  return list;
}

std::string JsonString(const std::wstring& text) {
  std::string out = "\"";
  for (char c : Narrow(text)) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escaped[8];
          snprintf(escaped, sizeof(escaped), "\\u%04x", c);
          out += escaped;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

void PrintJson(const std::vector<Distribution>& list) {
  printf("[");
  for (size_t i = 0; i < list.size(); ++i) {
    const Distribution& d = list[i];
    printf("%s\n  {\"index\": %zu, \"contentId\": %s, \"productName\": %s, \"packageGuid\": %s, "
           "\"distributionGuid\": %s, \"language\": %s, \"version\": %s, \"downloadSize\": %llu, "
           "\"checksum\": %s, \"downloadUrl\": %s}",
           i == 0 ? "" : ",", i, JsonString(d.contentId).c_str(), JsonString(d.productName).c_str(),
           JsonString(d.packageGuid).c_str(), JsonString(d.distGuid).c_str(), JsonString(d.language).c_str(),
           JsonString(d.version).c_str(), static_cast<unsigned long long>(d.size), JsonString(d.checksum).c_str(),
           JsonString(d.url).c_str());
  }
  printf("%s]\n", list.empty() ? "" : "\n");
}

void PrintTable(const std::vector<Distribution>& list) {
  if (list.empty()) {
    printf("no distributions match\n");
    return;
  }
  printf("%-3s %-14s %-28s %-8s %-12s %12s  %s\n", "#", "content id", "product", "language", "version", "bytes",
         "download URL");
  for (size_t i = 0; i < list.size(); ++i) {
    const Distribution& d = list[i];
    printf("%-3zu %-14s %-28s %-8s %-12s %12llu  %s\n", i, Narrow(d.contentId).c_str(), Narrow(d.productName).c_str(),
           Narrow(d.language).c_str(), Narrow(d.version).c_str(), static_cast<unsigned long long>(d.size),
           Narrow(d.url).c_str());
    printf("    package %s  distribution %s  md5 %s\n", Narrow(d.packageGuid).c_str(), Narrow(d.distGuid).c_str(),
           d.checksum.empty() ? "-" : Narrow(d.checksum).c_str());
  }
}

std::string Bytes(uint64_t bytes) {
  char text[32];
  if (bytes >= (1ull << 30)) {
    snprintf(text, sizeof(text), "%.1f GiB", static_cast<double>(bytes) / 1073741824.0);
  } else if (bytes >= (1ull << 20)) {
    snprintf(text, sizeof(text), "%.1f MiB", static_cast<double>(bytes) / 1048576.0);
  } else if (bytes >= 1024) {
    snprintf(text, sizeof(text), "%.1f KiB", static_cast<double>(bytes) / 1024.0);
  } else {
    snprintf(text, sizeof(text), "%llu B", static_cast<unsigned long long>(bytes));
  }
  return text;
}

// "RECEIVING" for PELK_PHASE_RECEIVING; other codes by their whole name.
std::string PhaseName(int32_t phase) {
  const std::string name = LookUpStatus(phase).name;
  const std::string prefix = "PELK_PHASE_";
  return name.compare(0, prefix.size(), prefix) == 0 ? name.substr(prefix.size()) : name;
}

bool IsFinal(int32_t phase) { return phase < 0 || phase == PELK_PHASE_FINISHED || phase == PELK_PHASE_CLOSED; }

// Shows the transfer: a bar redrawn in place on a terminal, a line per change of phase (and per tenth of
// the file) otherwise.
class ProgressView {
 public:
  ProgressView() {
    DWORD mode = 0;
    terminal_ = GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
    start_ = GetTickCount();
  }

  void Show(int32_t phase, uint64_t received, uint64_t verified, uint64_t total) {
    const DWORD now = GetTickCount();
    if (firstReceived_ == UINT64_MAX && phase == PELK_PHASE_RECEIVING) {
      firstReceived_ = received;
      firstTick_ = now;
    }
    const double seconds = (now - firstTick_) / 1000.0;
    const double rate =
        (firstReceived_ != UINT64_MAX && seconds > 0) ? static_cast<double>(received - firstReceived_) / seconds : 0.0;
    const uint64_t done = phase == PELK_PHASE_VERIFYING ? verified : received;
    const int percent = total > 0 ? static_cast<int>(done * 100 / total) : -1;
    if (terminal_) {
      char bar[31] = {};
      for (int i = 0; i < 30; ++i) bar[i] = (percent >= 0 && i < percent * 30 / 100) ? '#' : '-';
      std::string left = "?";
      if (total > 0 && received >= total) {
        left = "0s";
      } else if (rate > 0 && total > received) {
        left = std::to_string(static_cast<long long>(static_cast<double>(total - received) / rate)) + "s";
      }
      printf("\r%-10s [%s] %3d%% %s/%s %s/s, %s left   ", PhaseName(phase).c_str(), bar,
             percent < 0 ? 0 : percent, Bytes(done).c_str(), total ? Bytes(total).c_str() : "?",
             Bytes(static_cast<uint64_t>(rate)).c_str(), left.c_str());
      fflush(stdout);
    } else if (phase != lastPhase_ || (percent >= 0 && percent / 10 != lastTenth_)) {
      printf("%s %llu/%llu bytes (verified %llu)\n", DescribeStatus(phase).c_str(),
             static_cast<unsigned long long>(received), static_cast<unsigned long long>(total),
             static_cast<unsigned long long>(verified));
      fflush(stdout);
      lastTenth_ = percent / 10;
    }
    lastPhase_ = phase;
  }

  void Finish() {
    if (terminal_) printf("\n");
    const double seconds = (GetTickCount() - start_) / 1000.0;
    printf("took %.1f s\n", seconds);
  }

 private:
  bool terminal_ = false;
  DWORD start_ = 0;
  DWORD firstTick_ = 0;
  uint64_t firstReceived_ = UINT64_MAX;
  int32_t lastPhase_ = 0;
  int lastTenth_ = -1;
};

int32_t ChooseIndex(const std::vector<Distribution>& list, const Options& options) {
  if (!options.contentId.empty()) {
    for (size_t i = 0; i < list.size(); ++i) {
      if (list[i].contentId == options.contentId) return static_cast<int32_t>(i);
    }
    throw UsageError{"no distribution has the content id " + Narrow(options.contentId)};
  }
  if (options.index < 0) throw UsageError{"say which distribution: --index N or --content-id ID"};
  return options.index;  // an index past the list is the library's to reject (PELK_E_BAD_INDEX)
}

int Download(hvpelk::Library& pelk, int32_t handle, const Options& options, bool report) {
  if (options.out.empty()) throw UsageError{"--out FILE is required"};
  const std::vector<Distribution> list = RunQuery(pelk, handle, options);
  const int32_t index = ChooseIndex(list, options);
  if (static_cast<size_t>(index) < list.size()) {
    printf("downloading %s (%s) into %s%s\n", Narrow(list[index].contentId).c_str(),
           Narrow(list[index].productName).c_str(), Narrow(options.out).c_str(),
           options.verify ? ", verifying its checksum" : "");
  }
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
  int32_t phase = pelk.PelkDownloadSubmit(handle, index, options.out.c_str());
  Check(phase, "download");
  ProgressView view;
  bool cancelled = false;
  uint64_t received = 0, verified = 0, total = 0;
  for (;;) {
    if (g_interrupted && !cancelled) {
      cancelled = true;
      Check(pelk.PelkDownloadCancel(handle), "cancel the download");
    }
    phase = pelk.PelkDownloadCheck(handle, 0, &received, &verified, &total);
    view.Show(phase, received, verified, total);
    if (IsFinal(phase)) break;
    Sleep(100);
  }
  view.Finish();
  int exitCode = 0;
  if (cancelled) {
    printf("cancelled: the partial file (%llu bytes) is kept; run the same command again to resume\n",
           static_cast<unsigned long long>(received));
    exitCode = 130;
  } else {
    Check(phase, "download");
    printf("complete: %llu bytes%s\n", static_cast<unsigned long long>(received),
           options.verify ? ", checksum verified" : "");
  }
  if (report) {
    Check(pelk.PelkReportSubmit(handle), "send the report");
    printf("statistics report sent\n");
  }
  return exitCode;
}

int Run(const Options& options) {
  if (options.command.empty() || options.command == "help") {
    fputs(kUsage, stdout);
    return options.command.empty() ? 2 : 0;
  }
  if (options.command == "ping-help") return fputs(kPingHelp, stdout), 0;
  if (options.command == "query-help") return fputs(kQueryHelp, stdout), 0;
  if (options.command == "download-help" || options.command == "report-help") return fputs(kDownloadHelp, stdout), 0;
  if (options.command != "ping" && options.command != "query" && options.command != "download" &&
      options.command != "report") {
    throw UsageError{"unknown command " + options.command};
  }

  std::wstring dll = options.dll;
  if (dll.empty()) {
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    dll = self;
    dll = dll.substr(0, dll.find_last_of(L"\\/") + 1) + L"hvpelk.dll";
  }
  hvpelk::Library pelk(dll);
  if (!pelk.Loaded()) {
    fprintf(stderr, "pelk: cannot load %s with its 25 exports\n", Narrow(dll).c_str());
    return 1;
  }
  Session session(pelk, options);
  if (options.command == "ping") {
    Check(pelk.PelkPingServer(session.handle(), options.timeoutMs), "ping");
    printf("the service answered: %s\n", DescribeStatus(PELK_S_OK).c_str());
    return 0;
  }
  if (options.command == "query") {
    const std::vector<Distribution> list = RunQuery(pelk, session.handle(), options);
    if (options.json) {
      PrintJson(list);
    } else {
      PrintTable(list);
    }
    return 0;
  }
  return Download(pelk, session.handle(), options, options.command == "report");
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.push_back(Narrow(argv[i]));
  int code = 0;
  try {
    code = Run(Parse(args));
  } catch (const UsageError& error) {
    fprintf(stderr, "pelk: %s\n(see pelk --help)\n", error.message.c_str());
    code = 2;
  } catch (const Failure& failure) {
    fprintf(stderr, "pelk: %s failed: %s\n", failure.what.c_str(), DescribeStatus(failure.code).c_str());
    code = 1;
  }
  fflush(stdout);
  return code;
}
