// Worker pool.
//
// parallelRange splits [0, count) into contiguous parts and runs them on the
// calling thread's own pool (built on the thread's first parallel call, torn
// down when the thread exits). A call made while the same thread is already
// inside parallelRange runs inline.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace le {
namespace pool {

// The pool size, at least 1: computed once per process from LE_CORE_THREADS
// (else LE_PASTE_THREADS; default cap 4), clamped to the hardware threads.
int threads();

// Always true.
bool available();

// How many parts a job of `count` indices gets with threads() threads.
int parts(size_t count, size_t minChunk);

// Calls fn(begin, end) on disjoint half-open ranges that together cover
// [0, count) and returns when all have returned. Part 0 runs on the calling
// thread. fn is called from several threads at once. If fn throws, the other
// parts still run to completion and the first exception caught is rethrown
// on the calling thread.
void parallelRange(size_t count, size_t minChunk,
                   const std::function<void(size_t, size_t)>& fn);

// ---- Pure helpers and the pool itself, exposed for tests -----------------
namespace detail {

// The threads() rule for given variable values (nullptr = unset) and a
// hardware thread count (0 = unknown).
int threadsFromEnv(const char* coreThreads, const char* pasteThreads,
                   unsigned hardwareThreads);

// The parts() rule for a given thread count.
int partsFor(size_t count, size_t minChunk, int threads);

struct Range {
  size_t begin = 0;
  size_t end = 0;
  bool empty() const { return begin >= end; }
};

// Part k of a job of `count` indices in p parts: chunk = ceil(count / p),
// [k*chunk, min(count, (k+1)*chunk)); empty when k*chunk >= count.
Range partRange(size_t count, int p, int k);

// A pool of n threads: the caller plus n - 1 workers (worker k runs part k).
// parallelRange keeps one per calling thread (thread_local); tests may build
// their own to exercise a given size. One job at a time: run() is not to be
// called concurrently on the same pool (a pool serves the thread owning it).
class Pool {
 public:
  explicit Pool(int n);
  ~Pool();  // stops and joins the workers
  Pool(const Pool&) = delete;
  Pool& operator=(const Pool&) = delete;

  int size() const { return n_; }

  // Runs fn over [0, count) in p parts (2 <= p <= size()), part 0 on the
  // calling thread. Sets the thread's `inside` flag for the duration.
  // Rethrows the first exception of any part after all parts finished.
  void run(size_t count, int p, const std::function<void(size_t, size_t)>& fn);

 private:
  void workerLoop(int k);

  const int n_;
  std::vector<std::thread> workers_;
  std::mutex mu_;
  std::condition_variable work_;
  std::condition_variable done_;
  const std::function<void(size_t, size_t)>* job_ = nullptr;
  size_t count_ = 0;
  int parts_ = 0;
  int pending_ = 0;
  uint64_t generation_ = 0;
  bool stop_ = false;
  std::exception_ptr error_;
};

// Whether the calling thread is inside parallelRange / Pool::run.
bool inside();

// Worker threads currently alive in the process (all pools), for tests.
int liveWorkers();

}  // namespace detail
}  // namespace pool
}  // namespace le
