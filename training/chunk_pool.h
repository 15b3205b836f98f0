// Threads that share the parts of a batch.
//
// The sum of floating-point numbers depends on the order of the additions. To make a batch's
// gradient the same with any number of threads, the batch is cut into parts whose number and
// bounds do not depend on the thread count; each part's partial result goes into a buffer of its
// own, on whichever thread, and the caller adds the buffers up in a fixed order once all are done.
// The threads never wait for each other within a batch. They live as long as the pool and wait
// between batches without spinning.
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

  // For every part c in [0, count): calls work(c, t) on thread t = c % threads(). Returns when
  // every call has returned. `work` may not throw.
  template <typename Work>
  void Run(std::size_t count, Work& work) {
    Start(
        &work, [](void* f, std::size_t c, unsigned t) { (*static_cast<Work*>(f))(c, t); }, count);
  }

 private:
  using Call = void (*)(void*, std::size_t, unsigned);

  void Start(void* work, Call call, std::size_t count);
  // Thread t's share of the current job.
  void Share(unsigned t);
  void Worker(unsigned t);

  unsigned threads_;
  void* work_ = nullptr;
  Call call_ = nullptr;
  std::size_t count_ = 0;
  std::atomic<std::uint64_t> generation_{0};  // a new value starts a job (or, with stop_, the end)
  std::atomic<unsigned> busy_{0};             // own threads still on the current job
  bool stop_ = false;
  std::vector<std::thread> own_;
};

}  // namespace mplnet::training

#endif  // MPLNET_TRAINING_CHUNK_POOL_H_
