#include "service.h"

// The same pool size as the test servers': every translation unit of one program must see the same
// httplib definitions.
#ifndef CPPHTTPLIB_THREAD_POOL_COUNT
#define CPPHTTPLIB_THREAD_POOL_COUNT 16
#endif
#include <httplib.h>

#include <windows.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <limits>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "answer.h"
#include "files.h"
#include "gzip_encode.h"
#include "query.h"
#include "text.h"

namespace hv {
namespace service {

const char kServicePath[] = "/hvtr/trellin";

namespace {

// Statuses the service answers on its own (the forced ones come from the options).
constexpr int32_t kMalformedRequest = 100;
constexpr int32_t kUnknownCommand = 200;
constexpr int32_t kWrongParameter = 300;
constexpr int32_t kReportNotStored = 800;

constexpr size_t kMaxBody = 4u << 20;

const char kPacketType[] = "text/xml; charset=utf-8";
const char kFileType[] = "application/octet-stream";

// What the console line of the request being served adds after the HTTP status. httplib calls the
// logger on the thread that ran the handler, right after the answer was written.
thread_local std::string requestNote;

bool IsWildcard(const std::string& host) { return host.empty() || host == "0.0.0.0" || host == "::"; }

std::string HostForUrl(const std::string& host) {
  return host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

// Digits only, without overflow; false for anything else.
bool ParseDigits(const std::string& text, uint64_t& out) {
  if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  out = std::stoull(text);
  return true;
}

enum class RangeKind { Whole, Partial, Unsatisfiable };

// One "bytes=" range of an entity of size bytes. Several ranges, other units and malformed text are
// ignored (the whole entity is sent), as HTTP allows.
RangeKind ParseRange(const std::string& header, uint64_t size, uint64_t& first, uint64_t& length) {
  size_t start = header.find_first_not_of(" \t");
  if (start == std::string::npos || header.compare(start, 6, "bytes=") != 0) return RangeKind::Whole;
  std::string bounds = header.substr(start + 6);
  size_t end = bounds.find_last_not_of(" \t");
  bounds = end == std::string::npos ? std::string() : bounds.substr(0, end + 1);
  size_t dash = bounds.find('-');
  if (bounds.find(',') != std::string::npos || dash == std::string::npos) return RangeKind::Whole;
  std::string from = bounds.substr(0, dash);
  std::string to = bounds.substr(dash + 1);
  uint64_t a = 0;
  uint64_t b = 0;
  if (from.empty()) {  // the last b bytes
    if (!ParseDigits(to, b)) return RangeKind::Whole;
    if (b == 0 || size == 0) return RangeKind::Unsatisfiable;
    length = std::min(b, size);
    first = size - length;
    return RangeKind::Partial;
  }
  if (!ParseDigits(from, a)) return RangeKind::Whole;
  if (!to.empty() && (!ParseDigits(to, b) || b < a)) return RangeKind::Whole;
  if (a >= size) return RangeKind::Unsatisfiable;
  uint64_t last = to.empty() ? size - 1 : std::min(b, size - 1);
  first = a;
  length = last - a + 1;
  return RangeKind::Partial;
}

// Reads the served slice of a file as httplib asks for it, block by block.
class FileSlice {
 public:
  FileSlice(FileHandle file, uint64_t first) : file_(std::move(file)), first_(first) {}

  bool Provide(size_t offset, size_t length, httplib::DataSink& sink) {
    LARGE_INTEGER position;
    position.QuadPart = static_cast<LONGLONG>(first_ + offset);
    char buffer[65536];
    DWORD wanted = static_cast<DWORD>(std::min<size_t>(length, sizeof buffer));
    DWORD got = 0;
    // A file that shrank since the catalog was read ends the transfer early; the client sees a short body.
    if (!SetFilePointerEx(file_.get(), position, nullptr, FILE_BEGIN) ||
        !ReadFile(file_.get(), buffer, wanted, &got, nullptr) || got == 0) {
      return false;
    }
    return sink.write(buffer, got);
  }

 private:
  FileHandle file_;
  uint64_t first_;
};

// How much of count a download's content provider sends now: everything without a rate; with one, a
// tenth of it after a tenth of a second (at least one byte), which paces the download at about the rate.
size_t PacedCount(size_t count, uint64_t rate) {
  if (rate == 0) return count;
  Sleep(100);
  return static_cast<size_t>(std::min<uint64_t>(count, std::max<uint64_t>(rate / 10, 1)));
}

// What a download's content provider may send from offset on when its body ends at cut (kWhole: not cut);
// 0 once the cut is reached, and the provider then fails, which makes httplib close the connection.
constexpr size_t kWhole = std::numeric_limits<size_t>::max();
size_t CutCount(size_t offset, size_t count, size_t cut) { return offset >= cut ? 0 : std::min(count, cut - offset); }

}  // namespace

class DistributionService::Impl {
 public:
  Impl(Catalog catalog, ServiceOptions options, LogSink log)
      : catalog_(std::move(catalog)), options_(std::move(options)), log_(std::move(log)) {
    if (options_.gzipDownloads) CompressFiles();
    Route();
  }

  bool Start(std::string& error) {
    std::lock_guard<std::mutex> guard(stateLock_);
    if (started_) {
      error = "the service was started before";
      return false;
    }
    if (options_.port == 0) {
      port_ = server_.bind_to_any_port(options_.host);
    } else if (server_.bind_to_port(options_.host, options_.port)) {
      port_ = options_.port;
    }
    if (port_ <= 0) {
      error = "cannot listen on " + options_.host + ":" + std::to_string(options_.port);
      return false;
    }
    started_ = true;
    thread_ = std::thread([this] {
      server_.listen_after_bind();
      std::lock_guard<std::mutex> finishedGuard(finishedLock_);
      finished_ = true;
      finishedSignal_.notify_all();
    });
    // httplib's stop() does nothing until the serving thread has marked the server running, so a Stop
    // right after Start would leave that thread serving for good: wait for the mark (httplib signals
    // nothing, so it is polled) or for serving to end.
    std::unique_lock<std::mutex> finishedGuard(finishedLock_);
    while (!server_.is_running() &&
           !finishedSignal_.wait_for(finishedGuard, std::chrono::milliseconds(1), [this] { return finished_; })) {
    }
    return true;
  }

  void Stop() {
    std::lock_guard<std::mutex> guard(stateLock_);
    server_.stop();
    if (thread_.joinable()) thread_.join();
  }

  // Returns at once when the service never started.
  void Wait() {
    {
      std::lock_guard<std::mutex> guard(stateLock_);
      if (!thread_.joinable()) return;
    }
    std::unique_lock<std::mutex> finishedGuard(finishedLock_);
    finishedSignal_.wait(finishedGuard, [this] { return finished_; });
  }

  int port() const { return port_; }

  std::string Url() const {
    std::string host = IsWildcard(options_.host) ? "127.0.0.1" : options_.host;
    return "http://" + HostForUrl(host) + ":" + std::to_string(port_);
  }

 private:
  void CompressFiles() {
    for (const Distribution& distribution : catalog_.distributions) {
      if (compressed_.count(distribution.fileName) != 0) continue;
      // A file that cannot be read now is served uncompressed (and fails there, visibly).
      std::string bytes;
      if (ReadWholeFile(distribution.path, bytes)) compressed_[distribution.fileName] = GzipEncode(bytes);
    }
  }

  void Route() {
    // httplib applies "Range" to every routed answer by itself, slicing packets and error texts and
    // miscounting ranges that run past the end. The service answers ranges itself (downloads only), so
    // the parsed ranges are dropped before routing; the request object is the server's own, not const.
    server_.set_pre_routing_handler([](const httplib::Request& req, httplib::Response&) {
      const_cast<httplib::Request&>(req).ranges.clear();
      return httplib::Server::HandlerResponse::Unhandled;
    });
    // Packets are small; a larger body is refused (413) before it is read into memory.
    server_.set_payload_max_length(kMaxBody);
    server_.set_logger([this](const httplib::Request& req, const httplib::Response& res) { LogRequest(req, res); });

    auto command = [this](const httplib::Request& req, httplib::Response& res) { HandleCommand(req, res); };
    auto wrongMethod = [](const httplib::Request&, httplib::Response& res) {
      res.status = 405;
      res.set_header("Allow", "GET, POST");
    };
    server_.Get(kServicePath, command);
    server_.Post(kServicePath, command);
    server_.Put(kServicePath, wrongMethod);
    server_.Patch(kServicePath, wrongMethod);
    server_.Delete(kServicePath, wrongMethod);
    server_.Options(kServicePath, wrongMethod);
    server_.Get("/files/(.+)",
                [this](const httplib::Request& req, httplib::Response& res) { HandleDownload(req, res); });
  }

  void LogRequest(const httplib::Request& req, const httplib::Response& res) {
    std::string line = "[" + LocalClock() + "] " + req.remote_addr + " " + req.method + " " + req.target + " -> " +
                       std::to_string(res.status);
    if (!requestNote.empty()) line += " " + requestNote;
    requestNote.clear();
    if (!log_) return;
    std::lock_guard<std::mutex> guard(logLock_);
    log_(line);
  }

  void Pause() const {
    if (options_.delayMs > 0) Sleep(options_.delayMs);
  }

  std::string DownloadBase(const httplib::Request& req) const {
    if (!options_.publicUrl.empty()) return options_.publicUrl;
    std::string host = IsWildcard(options_.host) ? req.local_addr : options_.host;
    return "http://" + HostForUrl(host) + ":" + std::to_string(port_);
  }

  void Answer(const httplib::Request& req, httplib::Response& res, int32_t status, const std::wstring& message,
              const std::vector<const Distribution*>& updates = {}) {
    std::string text = ComposeAnswer(status, message, updates, DownloadBase(req));
    requestNote = "status " + std::to_string(status);
    if (status != 0) requestNote += " (" + WideToUtf8(message) + ")";
    if (!updates.empty()) requestNote += ", " + std::to_string(updates.size()) + " update(s)";
    res.status = 200;
    res.set_header("Vary", "Accept-Encoding");
    if (options_.gzipAnswers && AcceptsGzip(req.get_header_value("Accept-Encoding"))) {
      text = GzipEncode(text);
      res.set_header("Content-Encoding", "gzip");
      requestNote += ", gzip";
    }
    res.set_content(text, kPacketType);
  }

  void WrongMethod(httplib::Response& res, const char* allowed) {
    res.status = 405;
    res.set_header("Allow", allowed);
    requestNote = std::string("(this command takes ") + allowed + ")";
  }

  void HandleCommand(const httplib::Request& req, httplib::Response& res) {
    Pause();
    std::string cmd = req.get_param_value("cmd");
    if (cmd == "PingCmd:Ping") {
      if (req.method != "GET" && req.method != "HEAD") return WrongMethod(res, "GET");
      if (req.get_param_value("module") != "Trellin") {
        return Answer(req, res, kWrongParameter, L"Unknown module: the ping expects module=Trellin");
      }
      return Answer(req, res, options_.pingStatus, Message(options_.pingStatus, L"--ping-status"));
    }
    bool query = cmd == "ContentCmd:Query";
    if (!query && cmd != "ReportCmd:Report") {
      return Answer(req, res, kUnknownCommand, cmd.empty() ? L"No command" : L"Unknown command");
    }
    if (req.method != "POST") return WrongMethod(res, "POST");
    if (req.get_param_value("trellin_version") != "2.0") {
      return Answer(req, res, kWrongParameter, L"Unsupported protocol: trellin_version must be 2.0");
    }
    int32_t forced = query ? options_.queryStatus : options_.reportStatus;
    if (forced != 0) return Answer(req, res, forced, Message(forced, query ? L"--query-status" : L"--report-status"));

    pugi::xml_document document;
    pugi::xml_node body;
    std::wstring problem;
    if (!LoadPacket(req.body, document, body, problem)) return Answer(req, res, kMalformedRequest, problem);
    if (query) return HandleQuery(req, res, body);
    return HandleReport(req, res, document, body);
  }

  static std::wstring Message(int32_t status, const wchar_t* option) {
    return status == 0 ? L"OK" : std::wstring(L"Status set by ") + option;
  }

  // Parses a request packet in any encoding pugixml detects (the client sends UTF-16LE behind a byte
  // order mark) and finds its body.
  static bool LoadPacket(const std::string& bytes, pugi::xml_document& document, pugi::xml_node& body,
                         std::wstring& problem) {
    if (bytes.empty()) {
      problem = L"The request carries no packet";
      return false;
    }
    if (!document.load_buffer(bytes.data(), bytes.size(), pugi::parse_default, pugi::encoding_auto)) {
      problem = L"The request packet is not well-formed XML";
      return false;
    }
    pugi::xml_node root = document.document_element();
    body = root.child(L"body");
    if (std::wstring(root.name()) != L"packet" || !body) {
      problem = L"The request is not a packet with a body";
      return false;
    }
    return true;
  }

  void HandleQuery(const httplib::Request& req, httplib::Response& res, pugi::xml_node body) {
    pugi::xml_node element = body.child(L"contentQuery").child(L"query");
    if (!element) return Answer(req, res, kMalformedRequest, L"The packet holds no contentQuery/query");
    ConditionGroup query;
    std::wstring problem;
    if (!ReadQuery(element, query, problem)) return Answer(req, res, kMalformedRequest, L"Bad query: " + problem);
    std::vector<const Distribution*> matches;
    for (const Distribution& distribution : catalog_.distributions) {
      if (Matches(query, distribution)) matches.push_back(&distribution);
    }
    Answer(req, res, 0, L"OK", matches);
  }

  void HandleReport(const httplib::Request& req, httplib::Response& res, const pugi::xml_document& document,
                    pugi::xml_node body) {
    if (!body.child(L"report")) return Answer(req, res, kMalformedRequest, L"The packet holds no report");
    if (!StoreReport(document, req.remote_addr)) {
      return Answer(req, res, kReportNotStored, L"The report could not be stored");
    }
    Answer(req, res, 0, L"OK");
    requestNote += options_.reportsFile.empty() ? ", report not kept" : ", report stored";
  }

  // Appends the report to the reports file as one document behind a separator line.
  // Serialised without indentation: indenting would add white space to texts that share their element
  // with child elements (a report entry's value), changing what the client sent.
  bool StoreReport(const pugi::xml_document& document, const std::string& remote) {
    if (options_.reportsFile.empty()) return true;
    std::string record =
        "==== report received " + UtcTimestamp() + " from " + remote + " ====\n" + XmlText(document, false) + "\n";
    std::lock_guard<std::mutex> guard(reportLock_);
    return AppendToFile(options_.reportsFile, record);
  }

  void HandleDownload(const httplib::Request& req, httplib::Response& res) {
    Pause();
    std::wstring name;
    const Distribution* distribution = Utf8ToWide(req.matches[1].str(), name) ? catalog_.FindFile(name) : nullptr;
    if (distribution == nullptr) {
      res.status = 404;
      res.set_content("No such file in the catalog\n", "text/plain");
      return;
    }
    auto compressed = compressed_.find(name);
    bool gzip = compressed != compressed_.end() && AcceptsGzip(req.get_header_value("Accept-Encoding"));
    uint64_t size = gzip ? compressed->second.size() : distribution->size;

    uint64_t first = 0;
    uint64_t length = size;
    RangeKind range = ParseRange(req.get_header_value("Range"), size, first, length);
    res.set_header("Accept-Ranges", "bytes");
    if (options_.gzipDownloads) res.set_header("Vary", "Accept-Encoding");
    if (range == RangeKind::Unsatisfiable) {
      res.status = 416;
      res.set_header("Content-Range", "bytes */" + std::to_string(size));
      requestNote = "(range beyond the " + std::to_string(size) + " bytes)";
      return;
    }
    if (gzip) res.set_header("Content-Encoding", "gzip");
    res.status = 200;
    requestNote = std::to_string(length) + " bytes";
    if (range == RangeKind::Partial) {
      res.status = 206;
      std::string span = std::to_string(first) + "-" + std::to_string(first + length - 1) + "/" + std::to_string(size);
      res.set_header("Content-Range", "bytes " + span);
      requestNote = "bytes " + span;
    }
    if (gzip) requestNote += ", gzip";

    if (length == 0) {
      res.set_content(std::string(), kFileType);
      return;
    }
    const uint64_t rate = options_.rateBytesPerSecond;
    // With --cut-once the first body longer than the cut ends there, once for the service's run.
    size_t cut = kWhole;
    if (options_.cutOnceAfter > 0 && length > options_.cutOnceAfter && cutPending_.exchange(false)) {
      cut = static_cast<size_t>(options_.cutOnceAfter);
      requestNote += ", cut after " + std::to_string(cut) + " bytes";
    }
    if (gzip) {
      auto bytes = std::make_shared<std::string>(
          compressed->second.substr(static_cast<size_t>(first), static_cast<size_t>(length)));
      res.set_content_provider(static_cast<size_t>(length), kFileType,
                               [bytes, rate, cut](size_t offset, size_t count, httplib::DataSink& sink) {
                                 count = CutCount(offset, count, cut);
                                 return count > 0 && sink.write(bytes->data() + offset, PacedCount(count, rate));
                               });
      return;
    }
    FileHandle file = OpenForReading(distribution->path);
    if (!file) {
      res.status = 500;
      res.set_content("The file cannot be read\n", "text/plain");
      requestNote = "(file cannot be read)";
      return;
    }
    auto slice = std::make_shared<FileSlice>(std::move(file), first);
    res.set_content_provider(static_cast<size_t>(length), kFileType,
                             [slice, rate, cut](size_t offset, size_t count, httplib::DataSink& sink) {
                               count = CutCount(offset, count, cut);
                               return count > 0 && slice->Provide(offset, PacedCount(count, rate), sink);
                             });
  }

  Catalog catalog_;
  ServiceOptions options_;
  LogSink log_;
  std::map<std::wstring, std::string> compressed_;  // file name -> gzip bytes, with --gzip-downloads
  std::atomic<bool> cutPending_{true};              // no download was cut yet (see --cut-once)
  httplib::Server server_;
  std::mutex logLock_;
  std::mutex reportLock_;

  std::mutex stateLock_;  // over started_ and thread_, for Start, Stop and Wait from different threads
  bool started_ = false;
  std::thread thread_;
  std::mutex finishedLock_;
  std::condition_variable finishedSignal_;
  bool finished_ = false;  // serving ended; under finishedLock_
  int port_ = 0;
};

DistributionService::DistributionService(Catalog catalog, ServiceOptions options, LogSink log)
    : impl_(new Impl(std::move(catalog), std::move(options), std::move(log))) {}

DistributionService::~DistributionService() { Stop(); }

bool DistributionService::Start(std::string& error) { return impl_->Start(error); }
void DistributionService::Stop() { impl_->Stop(); }
void DistributionService::Wait() { impl_->Wait(); }
int DistributionService::port() const { return impl_->port(); }
std::string DistributionService::Url() const { return impl_->Url(); }

}  // namespace service
}  // namespace hv
