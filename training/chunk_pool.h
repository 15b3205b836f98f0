// Threads that share the parts of a batch.
//
// The sum of floating-point numbers depends on the order of the additions. To make a batch's
// gradient the same with any number of threads, the batch is cut into parts whose number and
// bounds do not depend on the thread count; each part's partial result goes into a buffer of its
// own, on whichever thread, and the caller adds the buffers up in a fixed order once all are done.
//
// The threads claim parts one at a time, the caller's thread among them: when another program
// holds the second core, the caller computes every part itself instead of waiting for a thread
// that is not running. The threads live as long as the pool and wait between batches without
// spinning.
//
// Every field of a job is read and written under one mutex, and a part is claimed under it too: a
// thread sees a job whole or not at all. The parts are large (a few per batch), so taking the lock
// once per part costs nothing next to computing it.
#ifndef MPLNET_TRAINING_CHUNK_POOL_H_
#define MPLNET_TRAINING_CHUNK_POOL_H_

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <thread>
#include <vector>

namespace mplnet::training {

class ChunkPool {
 public:
  // A pool of `threads` threads in all: the caller of Run and threads − 1 of its own.
  explicit ChunkPool(unsigned threads);
  ~ChunkPool();
  ChunkPool(const ChunkPool&) = delete;
  ChunkPool& operator=(const ChunkPool&) = delete;

  unsigned threads() const { return threads_; }

  // For every part c in [0, count): calls work(c, t) once, on whichever thread t (in [0,
  // threads())) claims it; no two calls at once have the same t. Returns when every call has
  // returned. `work` may not throw. One caller at a time.
  template <typename Work>
  void Run(std::size_t count, Work& work) {
    Start(
        &work, [](void* f, std::size_t c, unsigned t) { (*static_cast<Work*>(f))(c, t); }, count);
  }

 private:
  using Call = void (*)(void*, std::size_t, unsigned);

  void Start(void* work, Call call, std::size_t count);
  // With `lock` held: claims and computes parts of the current job on thread t until none is
  // left unclaimed, releasing the lock while a part is computed.
  void Share(std::unique_lock<std::mutex>& lock, unsigned t);
  void Worker(unsigned t);

  unsigned threads_;
  std::mutex mutex_;
  std::condition_variable claimable_;  // a job with unclaimed parts has begun, or the pool stops
  std::condition_variable finished_;   // every part of the current job has been computed
  // The current job, all under mutex_. Between jobs next_ == count_: nothing to claim.
  void* work_ = nullptr;
  Call call_ = nullptr;
  std::size_t count_ = 0;
  std::size_t next_ = 0;  // the next part to claim
  std::size_t done_ = 0;  // parts computed
  bool stop_ = false;
  std::vector<std::thread> own_;
};

}  // namespace mplnet::training

#endif  // MPLNET_TRAINING_CHUNK_POOL_H_
