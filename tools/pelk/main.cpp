// pelk: try the hvpelk library from a terminal. It loads hvpelk.dll by its exported names, exactly as an
// installer does, and drives it: ping the service, run a content query, download a distribution with
// progress, resume and verification, and send the download statistics report. It also shows and sets the
// registry settings the library reads.
#include <hvpelk/loader.h>
#include <hvpelk/version.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "progress.h"
#include "settings.h"
#include "status_names.h"
#include "url_check.h"
#include "utf8.h"

namespace {

using pelk::DescribeStatus;

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr int kExitInterrupted = 130;

const char kUsage[] =
    "usage: pelk [options] <command> [command options]\n"
    "\n"
    "Commands:\n"
    "  ping      ask the distribution service whether it answers\n"
    "  query     list the distributions that match the filters\n"
    "  download  download one distribution of the query's answer into a file\n"
    "  report    download as 'download' does, then send the download statistics (also after a failure)\n"
    "  config    show or set the service URL in the registry: config show | set-url URL | clear\n"
    "\n"
    "Options of ping, query, download and report:\n"
    "  --dll PATH                 the hvpelk.dll to load (default: the one beside pelk.exe)\n"
    "  --app NAME                 application name sent to the service (default: pelk)\n"
    "  --app-version VERSION      application version (default: " HVPELK_VERSION_TEXT
    ")\n"
    "  --wrapper NAME             wrapper library name; selects a per-wrapper service URL (config too)\n"
    "  --wrapper-version VERSION  wrapper library version\n"
    "  --locale LOCALE            locale sent in packet headers (default: en-US)\n"
    "  --silent-proxy             never show the proxy-credentials dialog for ping, query and report\n"
    "  --timeout MS               time limit of ping and query in milliseconds (default: 60000)\n"
    "  --help                     this text; 'pelk <command> --help' explains a command\n"
    "  --version                  the versions of pelk and of the hvpelk.dll it would load\n"
    "An option that does not apply to the command is an error.\n"
    "\n"
    "The service URL comes from the registry: HKLM\\SOFTWARE\\Halvorn\\Trellin, value S_URL, in the\n"
    "registry view of the DLL's bitness: a 32-bit hvpelk.dll (and pelk) read the 32-bit view, which is\n"
    "HKLM\\SOFTWARE\\Wow6432Node\\Halvorn\\Trellin on 64-bit Windows. 'pelk config set-url URL' writes it.\n"
    "\n"
    "Exit codes: 0 success; 1 a failure (printed with its status code, the URL used and, for a network\n"
    "failure, the Windows error); 2 a usage error; 130 interrupted by Ctrl-C.\n";

const char kPingHelp[] =
    "usage: pelk ping [options]\n"
    "\n"
    "Pings the distribution service (S_URL) and prints its answer; --timeout limits the wait.\n";

const char kQueryHelp[] =
    "usage: pelk query [--package GUID]... [--dist GUID:LANGUAGE:VERSION]... [--json] [options]\n"
    "\n"
    "Sends a content query and prints the matching distributions: a table, or JSON with --json.\n"
    "  --package GUID             match distributions of this package (repeatable)\n"
    "  --dist GUID:LANG:VERSION   match this distribution GUID, language and version (repeatable)\n"
    "  --json                     print the list as a JSON array\n"
    "Filters are joined by OR; without any filter every live update for the default locale matches.\n";

const char kDownloadHelp[] =
    "usage: pelk download (--index N | --content-id ID) --out FILE [--verify] [query filters] [options]\n"
    "       pelk report   (--index N | --content-id ID) --out FILE [--verify] [query filters] [options]\n"
    "\n"
    "Runs the query (same filters as 'pelk query'), then downloads the chosen distribution into FILE.\n"
    "A partial FILE is resumed; a complete one receives nothing. Ctrl-C cancels cleanly and keeps the\n"
    "partial file for a later resume (exit code 130); a second Ctrl-C ends pelk at once, also keeping\n"
    "the partial file. 'report' then sends the download statistics to the service, also after a failed\n"
    "or cancelled download.\n"
    "  --index N                  the N-th distribution of the answer (from 0)\n"
    "  --content-id ID            the distribution with this content identifier\n"
    "  --out FILE                 the target file\n"
    "  --verify                   verify the file's MD5 checksum against the service's\n";

const char kConfigHelp[] =
    "usage: pelk config show | set-url URL | clear   [--wrapper NAME]\n"
    "\n"
    "  show          print the registry settings hvpelk.dll reads, and the service URL it uses\n"
    "  set-url URL   write URL as S_URL and URL of HKLM\\SOFTWARE\\Halvorn\\Trellin (with --wrapper, of its\n"
    "                sub-key NAME); writing HKLM takes administrator rights on Windows\n"
    "  clear         delete S_URL and URL again (other values stay)\n"
    "pelk works in the registry view of the hvpelk.dll it loads, which has its bitness: a 32-bit pelk in\n"
    "the 32-bit view (HKLM\\SOFTWARE\\Wow6432Node\\Halvorn\\... on 64-bit Windows).\n";

// Which commands an option applies to.
enum Scope : unsigned { kPing = 1, kQuery = 2, kDownload = 4, kConfig = 8, kService = kPing | kQuery | kDownload };

struct OptionSpec {
  const char* name;
  bool takesValue;
  unsigned scope;
};

const OptionSpec kOptions[] = {{"--dll", true, kService},
                               {"--app", true, kService},
                               {"--app-version", true, kService},
                               {"--wrapper", true, kService | kConfig},
                               {"--wrapper-version", true, kService},
                               {"--locale", true, kService},
                               {"--silent-proxy", false, kService},
                               {"--timeout", true, kService},
                               {"--package", true, kQuery | kDownload},
                               {"--dist", true, kQuery | kDownload},
                               {"--json", false, kQuery},
                               {"--index", true, kDownload},
                               {"--content-id", true, kDownload},
                               {"--out", true, kDownload},
                               {"--verify", false, kDownload}};

const OptionSpec* FindOption(const std::string& name) {
  for (const OptionSpec& spec : kOptions) {
    if (name == spec.name) return &spec;
  }
  return nullptr;
}

struct Options {
  std::wstring dll;
  std::wstring app = L"pelk";
  std::wstring appVersion = L"" HVPELK_VERSION_TEXT;
  std::wstring wrapper;
  std::wstring wrapperVersion;
  std::wstring locale = L"en-US";
  bool silentProxy = false;
  int32_t timeoutMs = 60000;
  bool help = false;
  bool version = false;
  std::string command;
  std::vector<std::string> arguments;  // after the command (config's)
  std::vector<std::string> given;      // the options given, for the check that they apply
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

// A command line pelk cannot follow: exit code 2.
struct UsageError {
  std::string message;
};

// A failed library call: printed with its code, name and the URL in use, exit code 1.
struct Failure {
  std::string what;
  int32_t code;
  std::wstring url;
  std::string urlLabel;  // "service URL", "download URL"
};

// Any other reason to stop, printed as it is: exit code 1.
struct Problem {
  std::string message;
};

std::wstring Widen(const std::string& text) {
  std::wstring wide;
  hvtools::Utf8ToWide(text, wide);  // arguments come from the wide command line: always valid UTF-8
  return wide;
}

std::string Narrow(const std::wstring& text) { return hvtools::WideToUtf8(text); }

int32_t ParseInt(const std::string& text, const char* option) {
  char* end = nullptr;
  const long value = strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0') throw UsageError{std::string(option) + " takes a whole number"};
  return static_cast<int32_t>(value);
}

void SetOption(Options& options, const std::string& name, const std::string& value) {
  if (name == "--dll") options.dll = Widen(value);
  if (name == "--app") options.app = Widen(value);
  if (name == "--app-version") options.appVersion = Widen(value);
  if (name == "--wrapper") options.wrapper = Widen(value);
  if (name == "--wrapper-version") options.wrapperVersion = Widen(value);
  if (name == "--locale") options.locale = Widen(value);
  if (name == "--silent-proxy") options.silentProxy = true;
  if (name == "--timeout") options.timeoutMs = ParseInt(value, "--timeout");
  if (name == "--package") options.packages.push_back(Widen(value));
  if (name == "--json") options.json = true;
  if (name == "--index") options.index = ParseInt(value, "--index");
  if (name == "--content-id") options.contentId = Widen(value);
  if (name == "--out") options.out = Widen(value);
  if (name == "--verify") options.verify = true;
  if (name == "--dist") {
    const size_t first = value.find(':');
    const size_t second = first == std::string::npos ? first : value.find(':', first + 1);
    if (second == std::string::npos) throw UsageError{"--dist takes GUID:LANGUAGE:VERSION"};
    options.dists.push_back({Widen(value.substr(0, first)), Widen(value.substr(first + 1, second - first - 1)),
                             Widen(value.substr(second + 1))});
  }
}

unsigned ScopeOf(const std::string& command) {
  if (command == "ping") return kPing;
  if (command == "query") return kQuery;
  if (command == "download" || command == "report") return kDownload;
  if (command == "config") return kConfig;
  return 0;
}

Options Parse(const std::vector<std::string>& args) {
  Options options;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h") {
      options.help = true;
    } else if (arg == "--version") {
      options.version = true;
    } else if (const OptionSpec* spec = FindOption(arg)) {
      std::string value;
      if (spec->takesValue) {
        if (i + 1 >= args.size()) throw UsageError{arg + " needs a value"};
        value = args[++i];
      }
      SetOption(options, arg, value);
      options.given.push_back(arg);
    } else if (!arg.empty() && arg[0] == '-') {
      throw UsageError{"unknown option " + arg};
    } else if (options.command.empty()) {
      options.command = arg;
    } else {
      options.arguments.push_back(arg);
    }
  }
  if (options.help || options.version) return options;
  if (options.command.empty()) return options;
  const unsigned scope = ScopeOf(options.command);
  if (scope == 0) throw UsageError{"unknown command " + options.command};
  for (const std::string& name : options.given) {
    if ((FindOption(name)->scope & scope) == 0) throw UsageError{name + " does not apply to " + options.command};
  }
  if (scope != kConfig && !options.arguments.empty()) throw UsageError{"unexpected argument " + options.arguments[0]};
  return options;
}

std::wstring DllPath(const Options& options) {
  if (!options.dll.empty()) return options.dll;
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  const std::wstring path = self;
  return path.substr(0, path.find_last_of(L"\\/") + 1) + L"hvpelk.dll";
}

// "14.0.0.0" from the file's version resource; empty when it has none.
std::string FileVersion(const std::wstring& path) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
  if (size == 0) return std::string();
  std::vector<char> data(size);
  VS_FIXEDFILEINFO* info = nullptr;
  UINT length = 0;
  if (!GetFileVersionInfoW(path.c_str(), 0, size, data.data()) ||
      !VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&info), &length) || info == nullptr) {
    return std::string();
  }
  return std::to_string(HIWORD(info->dwFileVersionMS)) + "." + std::to_string(LOWORD(info->dwFileVersionMS)) + "." +
         std::to_string(HIWORD(info->dwFileVersionLS)) + "." + std::to_string(LOWORD(info->dwFileVersionLS));
}

// ---- Ctrl-C ----

std::atomic<int> g_interrupts{0};
std::atomic<bool> g_downloading{false};

// The first Ctrl-C during a download is left to the download loop, which cancels cleanly. Any other ends
// pelk at once; a download's partial file stays, as after a cancel (the library writes whole blocks).
BOOL WINAPI OnConsoleControl(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  const int count = ++g_interrupts;
  if (count == 1 && g_downloading) return TRUE;
  fputs(count == 1 ? "\npelk: interrupted\n"
                   : "\npelk: interrupted again: ending at once; the partial file stays for a later resume\n",
        stderr);
  fflush(stderr);
  TerminateProcess(GetCurrentProcess(), kExitInterrupted);
  return TRUE;
}

// ---- The library ----

// What failures name: the URL the library is talking to.
struct Target {
  std::wstring url;
  std::string label;
};

void Check(int32_t code, const char* what, const Target& target) {
  if (code < 0) throw Failure{what, code, target.url, target.label};
}

class Session {
 public:
  Session(hvpelk::Library& pelk, const Options& options, const Target& service) : pelk_(pelk) {
    const int32_t flags =
        (options.silentProxy ? PELK_FLAG_SILENT_PROXY_AUTH : 0) | (options.verify ? PELK_FLAG_VERIFY_CHECKSUM : 0);
    Check(pelk_.PelkOpen(options.app.c_str(), options.appVersion.c_str(), options.wrapper.c_str(),
                         options.wrapperVersion.c_str(), options.locale.c_str(), flags, &handle_),
          "open", service);
  }
  // Waits for running requests (see the README: under Wine up to the receive timeout on a silent server).
  ~Session() { pelk_.PelkClose(handle_); }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  int32_t handle() const { return handle_; }

 private:
  hvpelk::Library& pelk_;
  int32_t handle_ = 0;
};

struct Distribution {
  std::wstring contentId, productName, url, checksum, packageGuid, distGuid, language, version;
  uint64_t size = 0;
};

std::wstring GetText(PelkGetContentIdFn getter, int32_t handle, int32_t index, const Target& service) {
  VARIANT text;
  VariantInit(&text);
  Check(getter(handle, index, &text), "read a distribution field", service);
  std::wstring value = V_VT(&text) == VT_BSTR && V_BSTR(&text) != nullptr ? V_BSTR(&text) : L"";
  VariantClear(&text);
  return value;
}

std::vector<Distribution> RunQuery(hvpelk::Library& pelk, int32_t handle, const Options& options,
                                   const Target& service) {
  for (const std::wstring& package : options.packages) {
    Check(pelk.PelkSetDistPackageGuid(handle, package.c_str()), "add a package filter", service);
  }
  for (const Options::Triple& dist : options.dists) {
    Check(pelk.PelkSetDistGuidAndVersion(handle, dist.guid.c_str(), dist.language.c_str(), dist.version.c_str()),
          "add a distribution filter", service);
  }
  int32_t status = pelk.PelkQuerySubmit(handle, options.timeoutMs);
  while (status == PELK_S_STILL_RUNNING) status = pelk.PelkQueryCheck(handle, 250);
  Check(status, "query", service);
  int32_t count = 0;
  Check(pelk.PelkGetDistCount(handle, &count), "count the distributions", service);
  std::vector<Distribution> list;
  for (int32_t i = 0; i < count; ++i) {
    Distribution d;
    d.contentId = GetText(pelk.PelkGetContentId, handle, i, service);
    d.productName = GetText(pelk.PelkGetProductName, handle, i, service);
    d.url = GetText(pelk.PelkGetDistDownloadURL, handle, i, service);
    d.checksum = GetText(pelk.PelkGetDistChecksum, handle, i, service);
    d.packageGuid = GetText(pelk.PelkGetDistPackageGUID, handle, i, service);
    d.distGuid = GetText(pelk.PelkGetDistGUID, handle, i, service);
    d.language = GetText(pelk.PelkGetDistLanguage, handle, i, service);
    d.version = GetText(pelk.PelkGetDistVersion, handle, i, service);
    Check(pelk.PelkGetDistDownloadSize(handle, i, &d.size), "read a download size", service);
    list.push_back(std::move(d));
  }
  return list;
}

std::string JsonString(const std::wstring& text) {
  std::string out = "\"";
  for (const char c : Narrow(text)) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escaped[8];
          snprintf(escaped, sizeof(escaped), "\\u%04x", static_cast<unsigned>(c));
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
    printf(
        "%s\n  {\"index\": %zu, \"contentId\": %s, \"productName\": %s, \"packageGuid\": %s, "
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

int32_t ChooseIndex(const std::vector<Distribution>& list, const Options& options) {
  if (!options.contentId.empty()) {
    std::string known;
    for (size_t i = 0; i < list.size(); ++i) {
      if (list[i].contentId == options.contentId) return static_cast<int32_t>(i);
      known += (i == 0 ? "" : ", ") + Narrow(list[i].contentId);
    }
    throw Problem{"no distribution of the answer has the content id " + Narrow(options.contentId) +
                  " (the answer has " + (list.empty() ? std::string("none") : known) + ")"};
  }
  return options.index;  // an index past the list is the library's to reject (PELK_E_BAD_INDEX)
}

// Sends the collected statistics; a failure is printed here, so that the download's own outcome still
// follows. True when sent.
bool SendReport(hvpelk::Library& pelk, int32_t handle, const Target& service) {
  try {
    Check(pelk.PelkReportSubmit(handle), "send the report", service);
  } catch (const Failure& failure) {
    fprintf(stderr, "pelk: send the report failed: %s\n", DescribeStatus(failure.code).c_str());
    return false;
  }
  printf("statistics report sent\n");
  return true;
}

// Runs the download and polls it until its phase is final; 0, or 130 after a Ctrl-C; throws a failure.
int Transfer(hvpelk::Library& pelk, int32_t handle, const Options& options, int32_t index, const Target& download) {
  g_downloading = true;
  int32_t phase = pelk.PelkDownloadSubmit(handle, index, options.out.c_str());
  if (phase < 0) g_downloading = false;
  Check(phase, "download", download);
  pelk::ProgressView view;
  bool cancelled = false;
  uint64_t received = 0;
  uint64_t verified = 0;
  uint64_t total = 0;
  for (;;) {
    if (g_interrupts > 0 && !cancelled) {
      cancelled = true;
      pelk.PelkDownloadCancel(handle);  // returns at once; the polls see the transfer stop
      fputs("\npelk: cancelling (press Ctrl-C again to end pelk at once)\n", stderr);
    }
    phase = pelk.PelkDownloadCheck(handle, 0, &received, &verified, &total);
    view.Show(phase, received, verified, total);
    if (PELK_PHASE_IS_FINAL(phase)) break;
    Sleep(100);
  }
  g_downloading = false;
  view.Finish();
  if (cancelled) {
    printf("cancelled: the partial file (%llu bytes) is kept; run the same command again to resume\n",
           static_cast<unsigned long long>(received));
    return kExitInterrupted;
  }
  Check(phase, "download", download);
  printf("complete: %llu bytes%s\n", static_cast<unsigned long long>(received),
         options.verify ? ", checksum verified" : "");
  return 0;
}

int Download(hvpelk::Library& pelk, int32_t handle, const Options& options, const Target& service, bool report) {
  if (options.out.empty()) throw UsageError{"--out FILE is required"};
  if (options.contentId.empty() && options.index < 0)
    throw UsageError{"say which distribution: --index N or --content-id ID"};
  const std::vector<Distribution> list = RunQuery(pelk, handle, options, service);
  const int32_t index = ChooseIndex(list, options);
  Target download = service;
  if (static_cast<size_t>(index) < list.size()) {
    const Distribution& chosen = list[static_cast<size_t>(index)];
    download = Target{chosen.url, "download URL"};
    printf("downloading %s (%s) into %s%s\n", Narrow(chosen.contentId).c_str(), Narrow(chosen.productName).c_str(),
           Narrow(options.out).c_str(), options.verify ? ", verifying its checksum" : "");
  }
  int exitCode = 0;
  try {
    exitCode = Transfer(pelk, handle, options, index, download);
  } catch (const Failure&) {
    if (report) SendReport(pelk, handle, service);
    throw;
  }
  if (report && !SendReport(pelk, handle, service) && exitCode == 0) exitCode = kExitFailure;
  return exitCode;
}

// ---- config ----

void ShowValue(const char* name, const std::optional<std::wstring>& value) {
  printf("  %-16s %s\n", name, value ? Narrow(*value).c_str() : "(not set)");
}

int Config(const Options& options) {
  const std::string action = options.arguments.empty() ? std::string() : options.arguments[0];
  const size_t expected = action == "set-url" ? 2 : 1;
  if ((action != "show" && action != "set-url" && action != "clear") || options.arguments.size() != expected) {
    throw UsageError{"config takes show, set-url URL or clear"};
  }
  const std::wstring key = pelk::ServiceKey(options.wrapper);
  const std::string where = pelk::ShowKey(key) + " (" + pelk::ViewNote() + ")";
  if (action == "set-url") {
    const std::wstring url = Widen(options.arguments[1]);
    if (url.compare(0, 7, L"http://") != 0 && url.compare(0, 8, L"https://") != 0) {
      throw UsageError{"set-url takes an http:// or https:// URL, not " + options.arguments[1]};
    }
    const LSTATUS status = pelk::WriteServiceUrl(key, url);
    if (status != ERROR_SUCCESS) {
      throw Problem{"cannot write S_URL and URL of " + where + ": " +
                    pelk::WindowsErrorText(static_cast<DWORD>(status)) + " (writing HKLM takes administrator rights)"};
    }
    printf("S_URL and URL of %s are now %s\n", where.c_str(), options.arguments[1].c_str());
    return 0;
  }
  if (action == "clear") {
    const LSTATUS status = pelk::ClearServiceUrl(key);
    if (status != ERROR_SUCCESS) {
      throw Problem{"cannot delete S_URL and URL of " + where + ": " +
                    pelk::WindowsErrorText(static_cast<DWORD>(status))};
    }
    printf("S_URL and URL of %s are deleted\n", where.c_str());
    return 0;
  }
  const std::wstring main = pelk::ServiceKey(L"");
  printf("%s (%s)\n", pelk::ShowKey(main).c_str(), pelk::ViewNote().c_str());
  for (const wchar_t* name : {L"S_URL", L"URL", L"DisableEncoding", L"InternalTesting"}) {
    ShowValue(Narrow(name).c_str(), pelk::ReadValue(main, name));
  }
  if (!options.wrapper.empty()) {
    printf("%s\n", pelk::ShowKey(key).c_str());
    for (const wchar_t* name : {L"S_URL", L"URL"}) ShowValue(Narrow(name).c_str(), pelk::ReadValue(key, name));
  }
  printf("%s\n", pelk::ShowKey(pelk::LogKey()).c_str());
  ShowValue("hvvornetlogging", pelk::ReadValue(pelk::LogKey(), L"hvvornetlogging"));
  const pelk::ServiceUrl service = pelk::LookUpServiceUrl(options.wrapper);
  if (service.url.empty()) {
    printf(
        "service URL: none configured; the library falls back to an address that reaches no one "
        "(set one with 'pelk config set-url URL')\n");
  } else {
    printf("service URL of ping, query and report: %s (S_URL of %s)\n", Narrow(service.url).c_str(),
           pelk::ShowKey(service.key).c_str());
  }
  return 0;
}

// ---- The commands ----

int Version(const Options& options) {
  printf("pelk %s\n", HVPELK_VERSION_TEXT);
  const std::wstring dll = DllPath(options);
  const std::string version = FileVersion(dll);
  printf("hvpelk.dll %s: %s\n", version.empty() ? "(no version found)" : version.c_str(), Narrow(dll).c_str());
  return 0;
}

int Help(const Options& options) {
  const std::string& command = options.command;
  if (command == "ping") return fputs(kPingHelp, stdout), 0;
  if (command == "query") return fputs(kQueryHelp, stdout), 0;
  if (command == "download" || command == "report") return fputs(kDownloadHelp, stdout), 0;
  if (command == "config") return fputs(kConfigHelp, stdout), 0;
  fputs(kUsage, stdout);
  return 0;
}

int Run(const Options& options) {
  if (options.help) return Help(options);
  if (options.version) return Version(options);
  if (options.command.empty()) {
    fputs(kUsage, stderr);
    return kExitUsage;
  }
  if (options.command == "config") return Config(options);

  const pelk::ServiceUrl configured = pelk::LookUpServiceUrl(options.wrapper);
  if (configured.url.empty()) {
    throw Problem{"no service URL is configured: " + pelk::ShowKey(pelk::ServiceKey(L"")) + " has no S_URL (" +
                  pelk::ViewNote() + ").\n      Set one with: pelk config set-url http://HOST:PORT/hvtr/trellin"};
  }
  const Target service{configured.url, "service URL"};
  const std::wstring dll = DllPath(options);
  hvpelk::Library pelk(dll);
  if (!pelk.Loaded()) throw Problem{"cannot load " + Narrow(dll) + " with its 25 exports"};
  Session session(pelk, options, service);
  if (options.command == "ping") {
    Check(pelk.PelkPingServer(session.handle(), options.timeoutMs), "ping", service);
    printf("the service at %s answered: %s\n", Narrow(service.url).c_str(), DescribeStatus(PELK_S_OK).c_str());
    return 0;
  }
  if (options.command == "query") {
    const std::vector<Distribution> list = RunQuery(pelk, session.handle(), options, service);
    if (options.json) {
      PrintJson(list);
    } else {
      PrintTable(list);
    }
    return 0;
  }
  return Download(pelk, session.handle(), options, service, options.command == "report");
}

void PrintFailure(const Failure& failure) {
  fprintf(stderr, "pelk: %s failed: %s\n", failure.what.c_str(), DescribeStatus(failure.code).c_str());
  if (failure.url.empty()) return;
  fprintf(stderr, "pelk: %s: %s\n", failure.urlLabel.c_str(), Narrow(failure.url).c_str());
  if (pelk::IsNetworkFailure(failure.code)) {
    fprintf(stderr, "pelk: checking that URL: %s\n", pelk::DescribeUrlCheck(pelk::CheckUrl(failure.url)).c_str());
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
  std::vector<std::string> args;
  args.reserve(static_cast<size_t>(argc));
  for (int i = 1; i < argc; ++i) args.push_back(Narrow(argv[i]));
  int code = 0;
  try {
    code = Run(Parse(args));
  } catch (const UsageError& error) {
    fprintf(stderr, "pelk: %s\n(see pelk --help)\n", error.message.c_str());
    code = kExitUsage;
  } catch (const Failure& failure) {
    fflush(stdout);
    PrintFailure(failure);
    code = kExitFailure;
  } catch (const Problem& problem) {
    fflush(stdout);
    fprintf(stderr, "pelk: %s\n", problem.message.c_str());
    code = kExitFailure;
  }
  fflush(stdout);
  return code;
}
