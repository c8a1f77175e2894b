// Where an exchange's body goes, and what an answer means for it. The session does the HTTP and asks its sink
// at a few points: before anything is sent, when an answer's headers have arrived, for every block of the
// body, and once the body is in. ResponseBody collects an answer in memory; DownloadFile streams a download
// into its file. All on the worker thread; every failure is a thrown hv::StatusError.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "transport/http_answer.h"
#include "transport/stop_signal.h"

namespace hv {

class BodySink {
 public:
  virtual ~BodySink() = default;

  // What the session does next with an answer.
  enum class Next {
    ReadBody,    // read the body into the sink
    Complete,    // the sink has the whole resource already: read nothing
    FetchWhole,  // the answer cannot serve: send one unranged request and hand its answer to TakeWholeAnswer
  };
  // An answer as the sink takes it: what to do, and the counts the progress record shows from now on.
  struct Plan {
    Next next = Next::ReadBody;
    uint64_t received = 0;  // bytes the sink holds already
    uint64_t total = 0;     // the whole resource's length; 0 when unknown
    bool resuming = false;  // the body continues what an earlier run left
  };
  // How the sink ended once the body was in.
  enum class Outcome {
    Finished,  // done
    Refetch,   // what the sink holds is not the server's resource: send the next request for the whole of it
  };
  // Called with the bytes of the finished content checked so far (0 as the check starts).
  using VerifiedCount = std::function<void(uint64_t verified)>;

  // Before anything is sent: refuses what the sink cannot take at all. stop: the exchange's, which the
  // sink's own waits watch.
  virtual void Begin(const StopSignal& /*stop*/) {}
  // Where the next request starts (a "Range: bytes=N-"); 0: the whole resource.
  virtual uint64_t RequestFrom() const { return 0; }
  // For a ranged request: the validator the range must match ("If-Range"); empty: none is sent.
  virtual std::wstring RangeValidator() const { return std::wstring(); }
  // An answer whose headers have arrived; length: its Content-Length, when known and readable.
  virtual Plan TakeAnswer(const HttpAnswer& answer, std::optional<uint64_t> length) = 0;
  // The answer (a 200) to the unranged request that FetchWhole asked for; its plan reads the body.
  virtual Plan TakeWholeAnswer(const HttpAnswer& answer, std::optional<uint64_t> length) {
    return TakeAnswer(answer, length);
  }
  virtual void Write(const char* data, DWORD length) = 0;
  // The body has ended; overran: it went on past the end of the range it announced.
  virtual void EndBody(bool /*overran*/) {}
  // Once the body is in and its request closed: the sink's own work (decoding, checking). Checks stop before
  // every block of that work.
  virtual Outcome Finish(const StopSignal& /*stop*/, const VerifiedCount& /*onVerified*/) { return Outcome::Finished; }
  // Closes what the sink holds open; the session calls it before the final phase shows.
  virtual void Close() {}
  // A download's answer may be left unread (a complete file, an answer that cannot serve), and its URL's
  // cache entry is removed once it finished.
  virtual bool IsDownload() const { return false; }
};

// An answer's body in memory: a gzip-encoded body is decoded as a text (see DecodeGzipText).
class ResponseBody : public BodySink {
 public:
  // out: emptied now and by each answer, which it then receives.
  explicit ResponseBody(std::string& out) : out_(out) { out_.clear(); }

  Plan TakeAnswer(const HttpAnswer& answer, std::optional<uint64_t> length) override;
  void Write(const char* data, DWORD length) override;
  Outcome Finish(const StopSignal& stop, const VerifiedCount& onVerified) override;

 private:
  std::string& out_;
  bool gzip_ = false;
};

}  // namespace hv
