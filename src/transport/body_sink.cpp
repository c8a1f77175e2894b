#include "transport/body_sink.h"

#include "transport/gzip.h"

namespace hv {

BodySink::Plan ResponseBody::TakeAnswer(const HttpAnswer& answer, std::optional<uint64_t> length) {
  out_.clear();
  gzip_ = answer.IsGzip();
  Plan plan;
  plan.total = length.value_or(0);
  return plan;
}

void ResponseBody::Write(const char* data, DWORD length) { out_.append(data, length); }

BodySink::Outcome ResponseBody::Finish(const StopSignal&, const VerifiedCount&) {
  if (gzip_) out_ = DecodeGzipText(out_);
  return Outcome::Finished;
}

}  // namespace hv
