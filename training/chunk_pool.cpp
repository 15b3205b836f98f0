#include "training/chunk_pool.h"

namespace mplnet::training {
namespace {

std::uint32_t JobOf(std::uint64_t claim) {
  return static_cast<std::uint32_t>(claim >> 32);
}

}  // namespace

ChunkPool::ChunkPool(unsigned threads) : threads_(threads == 0 ? 1 : threads) {
  own_.reserve(threads_ - 1);
  for (unsigned t = 1; t < threads_; ++t) own_.emplace_back([this, t] { Worker(t); });
}

ChunkPool::~ChunkPool() {
  stop_.store(true, std::memory_order_relaxed);
  claim_.store(static_cast<std::uint64_t>(job_ + 1) << 32, std::memory_order_release);
  claim_.notify_all();
  for (std::thread& thread : own_) thread.join();
}

void ChunkPool::Start(void* work, Call call, std::size_t count) {
  // One part, or one thread: nothing to share.
  if (threads_ == 1 || count <= 1) {
    for (std::size_t c = 0; c < count; ++c) call(work, c, 0);
    return;
  }
  work_.store(work, std::memory_order_relaxed);
  call_.store(call, std::memory_order_relaxed);
  count_.store(count, std::memory_order_relaxed);
  done_.store(0, std::memory_order_relaxed);
  ++job_;
  claim_.store(static_cast<std::uint64_t>(job_) << 32, std::memory_order_release);
  claim_.notify_all();
  Share(job_, 0);
  // Parts claimed by other threads may still be running; the job's fields stay until they end.
  for (std::size_t done; (done = done_.load(std::memory_order_acquire)) != count;) {
    done_.wait(done);
  }
}

void ChunkPool::Share(std::uint32_t job, unsigned t) {
  std::uint64_t claim = claim_.load(std::memory_order_acquire);
  for (;;) {
    if (JobOf(claim) != job) return;
    const std::size_t count = count_.load(std::memory_order_relaxed);
    const auto part = static_cast<std::size_t>(claim & 0xFFFFFFFFU);
    if (part >= count) return;
    // On failure `claim` gets the new value, and the checks run again.
    if (!claim_.compare_exchange_weak(claim, claim + 1, std::memory_order_acq_rel,
                                      std::memory_order_acquire)) {
      continue;
    }
    // The claim succeeded, so the job cannot end before this part does: its fields are this job's.
    call_.load(std::memory_order_relaxed)(work_.load(std::memory_order_relaxed), part, t);
    if (done_.fetch_add(1, std::memory_order_acq_rel) + 1 == count) done_.notify_one();
    claim = claim_.load(std::memory_order_acquire);
  }
}

void ChunkPool::Worker(unsigned t) {
  std::uint32_t seen = 0;
  for (;;) {
    std::uint64_t claim;
    while (JobOf(claim = claim_.load(std::memory_order_acquire)) == seen) claim_.wait(claim);
    if (stop_.load(std::memory_order_relaxed)) return;
    seen = JobOf(claim);
    Share(seen, t);
  }
}

}  // namespace mplnet::training
