// Shared pieces of the transport tests: range-aware handlers for the local HTTP server, a way to run one
// exchange and get its status, and the diagnostic log's lines (sample bytes and gzip: common/bytes.h).
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "common/scratch.h"
#include "common/test_server.h"
#include "transport/body_sink.h"
#include "transport/download_file.h"
#include "transport/http_session.h"

namespace hvtest {

// Serves data with its length and honours a single Range ("bytes=S-") with 206, as download servers do.
// With cutAt set, the connection is closed once the body has reached that offset.
inline void ServeBytes(httplib::Response& res, const std::shared_ptr<const std::string>& data,
                       const std::string& type = "application/octet-stream", size_t cutAt = std::string::npos) {
  res.set_content_provider(data->size(), type, [data, cutAt](size_t offset, size_t length, httplib::DataSink& sink) {
    const size_t end = std::min(offset + length, cutAt);
    if (end > offset) sink.write(data->data() + offset, end - offset);
    return end == offset + length;  // false drops the connection in the middle of the body
  });
}

// A server that ignores Range: httplib would apply the ranges itself, so the handler forgets them.
inline void IgnoreRange(const httplib::Request& req) { const_cast<httplib::Request&>(req).ranges.clear(); }

// Runs exchanges on the test's thread as a worker does: a fresh HttpSession and stop signal for each, the
// request configured beforehand, the body in memory or, after StreamToFile, into a DownloadFile. The progress
// record is the last exchange's.
class Exchanges {
 public:
  void SetNoPrompt(bool noPrompt) { request_.noPrompt = noPrompt; }
  void SetAcceptEncoding(bool acceptGzip) { request_.acceptGzip = acceptGzip; }
  void AddUserAgentToken(const std::wstring& token) { request_.userAgentTokens.push_back(token); }
  void SetReceiveTimeout(DWORD timeoutMs) { request_.receiveTimeoutMs = timeoutMs; }
  // Later exchanges stream into targetPath (verified against the checksum unless it is empty).
  void StreamToFile(const std::wstring& targetPath, const std::wstring& expectedChecksum) {
    target_ = targetPath;
    checksum_ = expectedChecksum;
    toFile_ = true;
  }
  void StreamToMemory() { toFile_ = false; }

  // 0 on success, else the status the exchange threw; response: the body of a memory exchange.
  hv::StatusCode Submit(const std::wstring& url, const std::wstring& body, std::string& response) {
    hv::ExchangeRequest request = request_;
    request.url = url;
    request.body = body;
    hv::StopSignal stop;
    running_ = &stop;
    const hv::StatusCode status = hv::StatusOf([&] {
      hv::HttpSession session(stop, progress_);
      if (toFile_) {
        hv::DownloadFile file(target_, checksum_);
        static_cast<void>(session.Submit(request, file));
      } else {
        hv::ResponseBody memory(response);
        if (!session.Submit(request, memory)) response.clear();
      }
    });
    running_ = nullptr;
    return status;
  }
  // Stops the exchange that runs (from inside it: a credentials dialog the test stands in for).
  void Stop() { running_->Request(); }
  hv::TransferProgress Progress() const { return progress_.Read(); }

 private:
  hv::ExchangeRequest request_;
  bool toFile_ = false;
  std::wstring target_;
  std::wstring checksum_;
  hv::PublishedProgress progress_;
  hv::StopSignal* running_ = nullptr;
};

inline hv::StatusCode SubmitStatus(Exchanges& session, const std::wstring& url, const std::wstring& body,
                                   std::string& response) {
  return session.Submit(url, body, response);
}

inline hv::StatusCode SubmitStatus(Exchanges& session, const std::wstring& url) {
  std::string response;
  return SubmitStatus(session, url, L"", response);
}

// The log's lines without their "[MM/DD/YY HH:MM:SS]: " prefix; the file is UTF-16LE with a byte order
// mark and LF line ends.
inline std::vector<std::wstring> LogLines(const std::wstring& path) {
  const std::string bytes = hvtest::ReadFileBytes(path);
  std::wstring text(bytes.size() / 2, L'\0');
  for (size_t i = 0; i < text.size(); ++i) {
    text[i] = static_cast<wchar_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                   (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
  }
  EXPECT_EQ(L'\xFEFF', text.empty() ? 0 : text[0]);
  std::vector<std::wstring> lines;
  std::wstringstream stream(text.empty() ? std::wstring() : text.substr(1));
  std::wstring line;
  while (std::getline(stream, line)) {
    const size_t prefix = line.rfind(L"]: ", 20);
    if (!line.empty() && line[0] == L'[' && prefix != std::wstring::npos) line.erase(0, prefix + 3);
    lines.push_back(line);
  }
  return lines;
}

}  // namespace hvtest
