// Worker pool. See le_pool.h.
#include "compose/le_pool.h"

#include "base/le_env.h"

#include <atomic>
#include <climits>
#include <cstdlib>
#include <memory>

namespace le {
namespace pool {
namespace detail {

namespace {
thread_local bool t_inside = false;
std::atomic<int> g_liveWorkers{0};

// Sets the thread's inside flag and restores it, also on exceptions.
struct InsideScope {
  const bool prev = t_inside;
  InsideScope() { t_inside = true; }
  ~InsideScope() { t_inside = prev; }
};
}  // namespace

int threadsFromEnv(const char* coreThreads, const char* pasteThreads,
                   unsigned hardwareThreads) {
  const char* v = (coreThreads && *coreThreads) ? coreThreads : pasteThreads;
  long cap = 4;
  if (v && *v) {
    cap = std::strtol(v, nullptr, 10);
    if (cap <= 0) cap = 1;  // also text that does not parse (strtol gives 0)
    // A guard: a huge value (strtol saturates at LONG_MAX) on a platform that
    // reports no hardware count must not overflow int.
    if (cap > 1024) cap = 1024;
  }
  const long hc = static_cast<long>(hardwareThreads);
  return static_cast<int>((hc > 0 && hc < cap) ? hc : cap);
}

int partsFor(size_t count, size_t minChunk, int threads) {
  if (threads < 2) return 1;
  const size_t m = minChunk ? minChunk : 1;
  const size_t q = count / m;
  if (q < 2) return 1;
  return q < static_cast<size_t>(threads) ? static_cast<int>(q) : threads;
}

Range partRange(size_t count, int p, int k) {
  const size_t parts = p > 0 ? static_cast<size_t>(p) : 1;
  const size_t chunk = count / parts + (count % parts != 0);  // ceil, no overflow
  const size_t kk = static_cast<size_t>(k);
  Range r;
  // k*chunk < count <=> k < ceil(count / chunk); avoid overflowing k*chunk.
  if (chunk == 0 || kk >= count / chunk + (count % chunk != 0)) {
    r.begin = r.end = count;  // empty
    return r;
  }
  r.begin = kk * chunk;
  r.end = (count - r.begin > chunk) ? r.begin + chunk : count;
  return r;
}

Pool::Pool(int n) : n_(n < 1 ? 1 : n) {
  workers_.reserve(static_cast<size_t>(n_ - 1));
  try {
    for (int k = 1; k < n_; ++k) {
      workers_.emplace_back([this, k] { workerLoop(k); });
    }
  } catch (...) {
    {
      std::lock_guard<std::mutex> lk(mu_);
      stop_ = true;
      ++generation_;
    }
    work_.notify_all();
    for (auto& t : workers_) t.join();
    throw;
  }
}

Pool::~Pool() {
  {
    std::lock_guard<std::mutex> lk(mu_);
    stop_ = true;
    ++generation_;
  }
  work_.notify_all();
  for (auto& t : workers_) {
    if (t.joinable()) t.join();
  }
}

void Pool::workerLoop(int k) {
  g_liveWorkers.fetch_add(1);
  uint64_t served = 0;  // generation_ is 0 before the first job
  std::unique_lock<std::mutex> lk(mu_);
  for (;;) {
    work_.wait(lk, [&] { return generation_ != served; });
    if (stop_) break;
    served = generation_;
    const auto* fn = job_;
    const size_t count = count_;
    const int p = parts_;
    lk.unlock();
    if (k < p) {
      const Range r = partRange(count, p, k);
      if (!r.empty()) {
        try {
          (*fn)(r.begin, r.end);
        } catch (...) {
          // Never let it escape a worker (std::terminate): hand it over.
          std::lock_guard<std::mutex> g(mu_);
          if (!error_) error_ = std::current_exception();
        }
      }
    }
    lk.lock();
    if (--pending_ == 0) done_.notify_one();
  }
  lk.unlock();
  g_liveWorkers.fetch_sub(1);
}

void Pool::run(size_t count, int p,
               const std::function<void(size_t, size_t)>& fn) {
  if (p > n_) p = n_;
  InsideScope inside;
  if (p < 2) {
    fn(0, count);
    return;
  }
  {
    std::lock_guard<std::mutex> lk(mu_);
    job_ = &fn;
    count_ = count;
    parts_ = p;
    ++generation_;
    pending_ = n_ - 1;  // every worker reports, also those without a part
    error_ = nullptr;
  }
  work_.notify_all();

  const Range r0 = partRange(count, p, 0);
  if (!r0.empty()) {
    try {
      fn(r0.begin, r0.end);
    } catch (...) {
      std::lock_guard<std::mutex> g(mu_);
      if (!error_) error_ = std::current_exception();
    }
  }

  std::exception_ptr err;
  {
    std::unique_lock<std::mutex> lk(mu_);
    done_.wait(lk, [&] { return pending_ == 0; });
    job_ = nullptr;
    err = error_;  // the first one recorded, by any part
    error_ = nullptr;
  }
  if (err) std::rethrow_exception(err);
}

bool inside() { return t_inside; }

int liveWorkers() { return g_liveWorkers.load(); }

namespace {
// The calling thread's pool; its destructor (at thread exit) stops and joins
// the workers.
thread_local std::unique_ptr<Pool> t_pool;

Pool& threadPool() {
  if (!t_pool) t_pool = std::make_unique<Pool>(threads());
  return *t_pool;
}
}  // namespace

}  // namespace detail

int threads() {
  static const int n = detail::threadsFromEnv(
      env::text("LE_CORE_THREADS"), env::text("LE_PASTE_THREADS"),
      std::thread::hardware_concurrency());
  return n;
}

bool available() { return true; }

int parts(size_t count, size_t minChunk) {
  return detail::partsFor(count, minChunk, threads());
}

void parallelRange(size_t count, size_t minChunk,
                   const std::function<void(size_t, size_t)>& fn) {
  if (detail::inside()) {
    fn(0, count);
    return;
  }
  const int p = parts(count, minChunk);
  if (p < 2) {
    fn(0, count);
    return;
  }
  detail::threadPool().run(count, p, fn);
}

}  // namespace pool
}  // namespace le
