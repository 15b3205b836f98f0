#include "training/chunk_pool.h"

namespace mplnet::training {

ChunkPool::ChunkPool(unsigned threads) : threads_(threads == 0 ? 1 : threads) {
  own_.reserve(threads_ - 1);
  for (unsigned t = 1; t < threads_; ++t) own_.emplace_back([this, t] { Worker(t); });
}

ChunkPool::~ChunkPool() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  claimable_.notify_all();
  for (std::thread& thread : own_) thread.join();
}

void ChunkPool::Start(void* work, Call call, std::size_t count) {
  // One part, or one thread: nothing to share.
  if (threads_ == 1 || count <= 1) {
    for (std::size_t c = 0; c < count; ++c) call(work, c, 0);
    return;
  }
  std::unique_lock<std::mutex> lock(mutex_);
  work_ = work;
  call_ = call;
  count_ = count;
  next_ = 0;
  done_ = 0;
  claimable_.notify_all();
  Share(lock, 0);
  // Parts claimed by other threads may still be running; `work` must outlive them.
  finished_.wait(lock, [this] { return done_ == count_; });
}

void ChunkPool::Share(std::unique_lock<std::mutex>& lock, unsigned t) {
  while (next_ < count_) {
    const std::size_t part = next_++;
    void* const work = work_;
    const Call call = call_;
    lock.unlock();
    call(work, part, t);
    lock.lock();
    // The job cannot have changed: its caller waits for this part before starting another.
    if (++done_ == count_) finished_.notify_one();
  }
}

void ChunkPool::Worker(unsigned t) {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    claimable_.wait(lock, [this] { return stop_ || next_ < count_; });
    if (stop_) return;
    Share(lock, t);
  }
}

}  // namespace mplnet::training
