#include "transport/content_digest.h"

#include <optional>
#include <utility>

#include "support/md5.h"
#include "support/status.h"

namespace hv {

ContentDigest::ContentDigest(const StopSignal& stop) : stop_(stop) {
  thread_.reset(CreateThread(nullptr, 0, &Entry, this, 0, nullptr));
  if (!thread_) Throw(PELK_E_UNEXPECTED, GetLastError());
}

ContentDigest::~ContentDigest() {
  {
    LockGuard guard(lock_);
    quit_ = true;
    queue_.clear();
  }
  changed_.WakeAll();
  WaitForSingleObject(thread_.get(), INFINITE);
}

DWORD WINAPI ContentDigest::Entry(void* self) {
  static_cast<ContentDigest*>(self)->Run();
  return 0;
}

void ContentDigest::Run() {
  std::optional<Md5> md5;
  uint64_t md5Generation = 0;
  bool failed = false;
  for (;;) {
    Job job;
    uint64_t generation = 0;
    {
      LockGuard guard(lock_);
      while (!quit_ && queue_.empty()) changed_.Wait(lock_, INFINITE);
      if (quit_) return;
      job = std::move(queue_.front());
      queue_.pop_front();
      queuedBytes_ -= job.block.size();
      // Restart empties the queue: a job taken belongs to the current generation.
      generation = generation_;
    }
    changed_.WakeAll();  // the queue has room
    if (!md5 || md5Generation != generation) {
      md5.emplace();
      md5Generation = generation;
      failed = false;
    }
    if (job.digest) {
      const std::wstring digest = failed ? std::wstring() : md5->HexDigest();
      md5.reset();
      LockGuard guard(lock_);
      if (generation == generation_) {
        digest_ = digest;
        digestReady_ = true;
      }
    } else if (!job.path.empty()) {
      uint64_t counted = 0;
      const bool whole = md5->AddFile(job.path, job.length, [&](uint64_t hashed) {
        const uint64_t bytes = hashed - counted;
        counted = hashed;
        return Count(generation, bytes);
      });
      if (!whole) failed = true;
    } else {
      md5->Add(job.block.data(), job.block.size());
      Count(generation, job.block.size());
      LockGuard guard(lock_);
      spare_.push_back(std::move(job.block));  // the next Add copies into it: no allocation per block
    }
    changed_.WakeAll();
  }
}

bool ContentDigest::Count(uint64_t generation, uint64_t bytes) {
  // A stopped exchange needs no digest: a worker still waiting in WinINet leaves the file alone.
  if (stop_.Requested()) return false;
  LockGuard guard(lock_);
  if (quit_ || generation != generation_) return false;
  hashed_ += bytes;
  return true;
}

void ContentDigest::Queue(Job job) {
  {
    LockGuard guard(lock_);
    queuedBytes_ += job.block.size();
    queue_.push_back(std::move(job));
  }
  changed_.WakeAll();
}

void ContentDigest::Restart() {
  {
    LockGuard guard(lock_);
    ++generation_;
    queue_.clear();
    queuedBytes_ = 0;
    hashed_ = 0;
    digestReady_ = false;
    digest_.clear();
  }
  changed_.WakeAll();
}

void ContentDigest::AddFile(const std::wstring& path, uint64_t length) {
  Job job;
  job.path = path;
  job.length = length;
  Queue(std::move(job));
}

bool ContentDigest::Add(const void* data, size_t size) {
  // The queue is full only while the thread reads a file's existing part or falls behind: the wait ends
  // with the thread's next block, or at a stop.
  Job job;
  for (;;) {
    if (stop_.Requested()) return false;
    LockGuard guard(lock_);
    if (queuedBytes_ < kQueuedBytes) {
      if (!spare_.empty()) {
        job.block = std::move(spare_.back());
        spare_.pop_back();
      }
      break;
    }
    changed_.Wait(lock_, kWaitMs);
  }
  const auto* bytes = static_cast<const char*>(data);
  job.block.assign(bytes, bytes + size);
  Queue(std::move(job));
  return true;
}

std::wstring ContentDigest::Finish(const std::function<void(uint64_t hashed)>& progress) {
  Job job;
  job.digest = true;
  Queue(std::move(job));
  for (;;) {
    uint64_t hashed = 0;
    std::optional<std::wstring> digest;
    {
      LockGuard guard(lock_);
      if (!digestReady_) changed_.Wait(lock_, kWaitMs);
      hashed = hashed_;
      if (digestReady_) digest = digest_;
    }
    progress(hashed);
    if (digest) return *digest;
    stop_.ThrowIfRequested();
  }
}

}  // namespace hv
