// Threads that share the chunks of a batch and then add up their results in chunk order.
//
// The sum of floating-point numbers depends on the order of the additions. To make a batch's
// gradient the same with any number of threads, the batch is cut into chunks of a size that does
// not depend on the thread count, each chunk's partial result is computed on some thread, and the
// partials are added in chunk order: chunk c's addition waits for chunk c − 1's. The threads live
// as long as the pool and wait between batches without spinning.
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

  // For every chunk c in [0, count): calls work(c, t) on thread t = c % threads(), then
  // finish(c, t) on the same thread once finish(c − 1, ·) has returned, so the finishes run one at
  // a time in chunk order. Returns when every chunk is finished. Neither may throw.
  template <typename Work, typename Finish>
  void Run(std::size_t count, Work& work, Finish& finish) {
    Job job;
    job.work = &work;
    job.finish = &finish;
    job.call_work = [](void* f, std::size_t c, unsigned t) { (*static_cast<Work*>(f))(c, t); };
    job.call_finish = [](void* f, std::size_t c, unsigned t) { (*static_cast<Finish*>(f))(c, t); };
    Start(job, count);
  }

 private:
  struct Job {
    void* work = nullptr;
    void* finish = nullptr;
    void (*call_work)(void*, std::size_t, unsigned) = nullptr;
    void (*call_finish)(void*, std::size_t, unsigned) = nullptr;
  };

  void Start(const Job& job, std::size_t count);
  // Thread t's share of the current job.
  void Share(unsigned t);
  void Worker(unsigned t);

  unsigned threads_;
  Job job_;
  std::size_t count_ = 0;
  std::atomic<std::uint64_t> generation_{0};  // a new value starts a job (or, with stop_, the end)
  std::atomic<std::size_t> finished_{0};      // chunks finished of the current job
  std::atomic<unsigned> busy_{0};             // own threads still on the current job
  bool stop_ = false;
  std::vector<std::thread> own_;
};

}  // namespace mplnet::training

#endif  // MPLNET_TRAINING_CHUNK_POOL_H_
