#include "training/chunk_pool.h"

namespace mplnet::training {

ChunkPool::ChunkPool(unsigned threads) : threads_(threads == 0 ? 1 : threads) {
  own_.reserve(threads_ - 1);
  for (unsigned t = 1; t < threads_; ++t) own_.emplace_back([this, t] { Worker(t); });
}

ChunkPool::~ChunkPool() {
  stop_ = true;
  generation_.fetch_add(1, std::memory_order_release);
  generation_.notify_all();
  for (std::thread& thread : own_) thread.join();
}

void ChunkPool::Start(void* work, Call call, std::size_t count) {
  work_ = work;
  call_ = call;
  count_ = count;
  // One part, or one thread: nothing to share.
  if (threads_ == 1 || count <= 1) {
    for (std::size_t c = 0; c < count; ++c) call(work, c, 0);
    return;
  }
  busy_.store(threads_ - 1, std::memory_order_relaxed);
  generation_.fetch_add(1, std::memory_order_release);
  generation_.notify_all();
  Share(0);
  // The job's fields stay untouched until every own thread has let go of them.
  for (unsigned busy; (busy = busy_.load(std::memory_order_acquire)) != 0;) busy_.wait(busy);
}

void ChunkPool::Share(unsigned t) {
  for (std::size_t c = t; c < count_; c += threads_) call_(work_, c, t);
}

void ChunkPool::Worker(unsigned t) {
  std::uint64_t seen = 0;
  for (;;) {
    std::uint64_t g;
    while ((g = generation_.load(std::memory_order_acquire)) == seen) generation_.wait(g);
    seen = g;
    if (stop_) return;
    Share(t);
    if (busy_.fetch_sub(1, std::memory_order_acq_rel) == 1) busy_.notify_one();
  }
}

}  // namespace mplnet::training
