// Threads that share the parts of a batch.
//
// The sum of floating-point numbers depends on the order of the additions. To make a batch's
// gradient the same with any number of threads, the batch is cut into parts whose number and
// bounds do not depend on the thread count; each part's partial result goes into a buffer of its
// own, on whichever thread, and the caller adds the buffers up in a fixed order once all are done.
//
// The threads claim parts one at a time, the caller's thread among them, and never wait for each
// other within a batch: when another program holds the second core, the caller computes every part
// itself instead of waiting for a thread that is not running. The threads live as long as the pool
// and wait between batches without spinning.
#ifndef MPLNET_TRAINING_CHUNK_POOL_H_
#define MPLNET_TRAINING_CHUNK_POOL_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
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
  // returned. `work` may not throw.
  template <typename Work>
  void Run(std::size_t count, Work& work) {
    Start(
        &work, [](void* f, std::size_t c, unsigned t) { (*static_cast<Work*>(f))(c, t); }, count);
  }

 private:
  using Call = void (*)(void*, std::size_t, unsigned);

  void Start(void* work, Call call, std::size_t count);
  // Claims and computes parts of job `job` on thread t until none is left.
  void Share(std::uint32_t job, unsigned t);
  void Worker(unsigned t);

  unsigned threads_;
  std::uint32_t job_ = 0;  // the current job's number; only the caller's thread changes it
  // The job's fields. Atomic because a thread late for an earlier job may read them while the
  // next job is set up; it then fails to claim a part, and never uses what it read.
  std::atomic<void*> work_{nullptr};
  std::atomic<Call> call_{nullptr};
  std::atomic<std::size_t> count_{0};
  // The job's number in the high half, the next part to claim in the low half: a part is claimed
  // by raising the low half, which fails once another job has begun.
  std::atomic<std::uint64_t> claim_{0};
  std::atomic<std::size_t> done_{0};  // parts of the current job computed
  std::atomic<bool> stop_{false};
  std::vector<std::thread> own_;
};

}  // namespace mplnet::training

#endif  // MPLNET_TRAINING_CHUNK_POOL_H_
