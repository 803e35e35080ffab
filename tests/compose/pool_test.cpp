// Worker pool.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <functional>
#include <mutex>
#include <new>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "compose/le_pool.h"
#include "support/env.h"
#include "support/tmpdir.h"

extern char** environ;

// The replacement operator new below hands out malloc memory and the
// replacement delete frees it; GCC cannot see that they pair up.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

// ---- Allocation counter (whole test binary), used to check "no allocation per
// job". Counting is off except inside a measured window.
namespace {
std::atomic<bool> g_countAllocs{false};
std::atomic<long> g_allocs{0};
}  // namespace

void* operator new(std::size_t n) {
  if (g_countAllocs.load(std::memory_order_relaxed)) g_allocs.fetch_add(1);
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

using le::pool::detail::partRange;
using le::pool::detail::partsFor;
using le::pool::detail::Pool;
using le::pool::detail::Range;
using le::pool::detail::threadsFromEnv;

using Calls = std::vector<std::pair<size_t, size_t>>;

// ---------------------------------------------------------------------------
// threads(): the environment rule, through the pure helper.

TEST(PoolThreads, DefaultCapIsFourClampedToHardware) {
  EXPECT_EQ(threadsFromEnv(nullptr, nullptr, 16), 4);
  EXPECT_EQ(threadsFromEnv(nullptr, nullptr, 2), 2);
  EXPECT_EQ(threadsFromEnv(nullptr, nullptr, 4), 4);
  EXPECT_EQ(threadsFromEnv(nullptr, nullptr, 1), 1);
  EXPECT_EQ(threadsFromEnv("", "", 16), 4);
  // Hardware count unknown (0): the cap stands.
  EXPECT_EQ(threadsFromEnv(nullptr, nullptr, 0), 4);
  EXPECT_EQ(threadsFromEnv("12", nullptr, 0), 12);
}

TEST(PoolThreads, ZeroNegativeAndGarbageGiveOne) {
  EXPECT_EQ(threadsFromEnv("0", nullptr, 16), 1);
  EXPECT_EQ(threadsFromEnv("abc", nullptr, 16), 1);
  EXPECT_EQ(threadsFromEnv("-3", nullptr, 16), 1);
  EXPECT_EQ(threadsFromEnv(nullptr, "0", 16), 1);
  EXPECT_EQ(threadsFromEnv(nullptr, "xyz", 16), 1);
  // A set but unparsable LE_CORE_THREADS does not fall back.
  EXPECT_EQ(threadsFromEnv("abc", "8", 16), 1);
}

TEST(PoolThreads, CoreThreadsWinsEmptyFallsBackToPasteThreads) {
  EXPECT_EQ(threadsFromEnv("8", "3", 16), 8);
  EXPECT_EQ(threadsFromEnv("", "3", 16), 3);
  EXPECT_EQ(threadsFromEnv(nullptr, "3", 16), 3);
  EXPECT_EQ(threadsFromEnv("", "", 16), 4);
  EXPECT_EQ(threadsFromEnv("1", "8", 16), 1);
  // strtol, base 10: leading blanks and trailing text are fine; no octal.
  EXPECT_EQ(threadsFromEnv(" 6", nullptr, 16), 6);
  EXPECT_EQ(threadsFromEnv("7x", nullptr, 16), 7);
  EXPECT_EQ(threadsFromEnv("010", nullptr, 16), 10);
}

TEST(PoolThreads, ClampedToHardware) {
  EXPECT_EQ(threadsFromEnv("100", nullptr, 16), 16);
  EXPECT_EQ(threadsFromEnv("16", nullptr, 16), 16);
  EXPECT_EQ(threadsFromEnv("3", nullptr, 2), 2);
  EXPECT_EQ(threadsFromEnv(nullptr, "64", 8), 8);
  EXPECT_EQ(threadsFromEnv("99999999999999999999", nullptr, 8), 8);
}

TEST(PoolThreads, OncePerProcessAndAvailable) {
  EXPECT_TRUE(le::pool::available());
  const int n = le::pool::threads();
  EXPECT_GE(n, 1);
  {
    le::test::ScopedEnv other("LE_CORE_THREADS", n == 1 ? "2" : "1");
    EXPECT_EQ(le::pool::threads(), n);  // computed once, environment ignored now
  }
  const unsigned hc = std::thread::hardware_concurrency();
  if (hc > 0) {
    EXPECT_LE(n, static_cast<int>(hc));
  }
}

// threads() for real, in a fresh process: this binary re-run with a filter that
// selects PoolChild.Report, which writes what it sees to a file.
struct ChildResult {
  bool ran = false;
  int status = -1;
  int threads = -1;
  int workersAfter = -1;
  long calls = -1;
  std::string log;  // the child's output, kept when it failed
};

ChildResult runChild(const std::vector<std::pair<std::string, const char*>>& env,
                     const std::string& outFile) {
  std::vector<std::string> envStore;
  const char* drop[] = {"LE_CORE_THREADS", "LE_PASTE_THREADS", "LE_POOL_CHILD_OUT"};
  for (char** e = environ; *e; ++e) {
    std::string s = *e;
    bool skip = false;
    for (const char* d : drop) {
      if (s.rfind(std::string(d) + "=", 0) == 0) skip = true;
    }
    if (!skip) envStore.push_back(s);
  }
  for (auto& [k, v] : env) {
    if (v) envStore.push_back(k + "=" + v);
  }
  envStore.push_back("LE_POOL_CHILD_OUT=" + outFile);
  std::vector<char*> envp;
  for (auto& s : envStore) envp.push_back(s.data());
  envp.push_back(nullptr);

  std::string self = "/proc/self/exe";
  std::string filter = "--gtest_filter=PoolChild.Report";
  std::vector<char*> argv = {self.data(), filter.data(), nullptr};
  ChildResult r;
  // The child's gtest report goes to a log beside the result file.
  const std::string log = outFile + ".log";
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&fa, 1, 2);
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, "/proc/self/exe", &fa, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&fa);
  if (rc != 0) return r;
  int st = 0;
  if (waitpid(pid, &st, 0) != pid) return r;
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + (WIFSIGNALED(st) ? WTERMSIG(st) : 0);
  std::ifstream in(outFile);
  if (in >> r.threads >> r.workersAfter >> r.calls) r.ran = true;
  if (!r.ran || r.status != 0) {
    std::ifstream l(log);
    r.log.assign(std::istreambuf_iterator<char>(l), std::istreambuf_iterator<char>());
  }
  return r;
}

TEST(PoolChild, Report) {
  const char* out = std::getenv("LE_POOL_CHILD_OUT");
  if (!out) GTEST_SKIP() << "only runs as the child of PoolThreads.InFreshProcess";
  const int n = le::pool::threads();
  std::atomic<long> calls{0};
  std::vector<std::atomic<int>> seen(1000);
  le::pool::parallelRange(1000, 1, [&](size_t b, size_t e) {
    calls.fetch_add(1);
    for (size_t i = b; i < e; ++i) seen[i].fetch_add(1);
  });
  for (auto& s : seen) ASSERT_EQ(s.load(), 1);
  std::ofstream(out) << n << " " << le::pool::detail::liveWorkers() << " "
                     << calls.load() << "\n";
}

TEST(PoolThreads, InFreshProcess) {
  le::test::TmpDir tmp;
  const int hc = static_cast<int>(std::thread::hardware_concurrency());
  auto clampHw = [&](int v) { return (hc > 0 && hc < v) ? hc : v; };
  struct Case {
    const char* core;
    const char* paste;
    int expect;
  };
  const Case cases[] = {
      {nullptr, nullptr, clampHw(4)},
      {"1", nullptr, 1},
      {"0", nullptr, 1},
      {"abc", nullptr, 1},
      {"", "2", clampHw(2)},
      {nullptr, "3", clampHw(3)},
      {"2", "1", clampHw(2)},
      {"1000", nullptr, clampHw(1000)},
  };
  int i = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("LE_CORE_THREADS=") + (c.core ? c.core : "(unset)") +
                 " LE_PASTE_THREADS=" + (c.paste ? c.paste : "(unset)"));
    const ChildResult r = runChild({{"LE_CORE_THREADS", c.core}, {"LE_PASTE_THREADS", c.paste}},
                                   tmp.str("child" + std::to_string(i++) + ".txt"));
    ASSERT_TRUE(r.ran) << "child status " << r.status << "\n" << r.log;
    EXPECT_EQ(r.status, 0) << r.log;
    EXPECT_EQ(r.threads, c.expect);
    if (c.expect == 1) {
      // threads() 1: fn(0, count) inline, no worker ever started.
      EXPECT_EQ(r.calls, 1);
      EXPECT_EQ(r.workersAfter, 0);
    } else {
      EXPECT_EQ(r.calls, c.expect);
      EXPECT_EQ(r.workersAfter, c.expect - 1);
    }
  }
}

// ---------------------------------------------------------------------------
// parts() and part boundaries.

TEST(PoolParts, Rule) {
  EXPECT_EQ(partsFor(100, 60, 4), 1);   // one chunk of 60 leaves no second part
  EXPECT_EQ(partsFor(1000, 1, 4), 4);
  EXPECT_EQ(partsFor(120, 60, 4), 2);
  EXPECT_EQ(partsFor(119, 60, 4), 1);
  EXPECT_EQ(partsFor(3, 1, 4), 3);
  EXPECT_EQ(partsFor(2, 1, 4), 2);
  EXPECT_EQ(partsFor(1, 1, 4), 1);
  EXPECT_EQ(partsFor(0, 1, 4), 1);
  EXPECT_EQ(partsFor(10, 0, 4), 4);     // minChunk 0 counts as 1
  EXPECT_EQ(partsFor(1000, 1, 1), 1);   // one thread: always 1
  EXPECT_EQ(partsFor(1000, 1, 0), 1);
  EXPECT_EQ(partsFor(SIZE_MAX, 1, 8), 8);
  for (size_t c : {size_t(0), size_t(5), size_t(1000)}) {
    for (size_t m : {size_t(0), size_t(1), size_t(7)}) {
      EXPECT_EQ(le::pool::parts(c, m), partsFor(c, m, le::pool::threads()));
    }
  }
}

std::vector<Range> nonEmptyParts(size_t count, int p) {
  std::vector<Range> out;
  for (int k = 0; k < p; ++k) {
    const Range r = partRange(count, p, k);
    if (!r.empty()) out.push_back(r);
  }
  return out;
}

TEST(PoolParts, CeilingChunksShortenOrEmptyTheLastParts) {
  auto r = nonEmptyParts(10, 4);
  ASSERT_EQ(r.size(), 4u);
  EXPECT_EQ(r[0].begin, 0u); EXPECT_EQ(r[0].end, 3u);
  EXPECT_EQ(r[1].begin, 3u); EXPECT_EQ(r[1].end, 6u);
  EXPECT_EQ(r[2].begin, 6u); EXPECT_EQ(r[2].end, 9u);
  EXPECT_EQ(r[3].begin, 9u); EXPECT_EQ(r[3].end, 10u);

  EXPECT_TRUE(partRange(5, 4, 3).empty());  // chunk 2: part 3 starts at 6 >= 5
  r = nonEmptyParts(5, 4);
  ASSERT_EQ(r.size(), 3u);
  EXPECT_EQ(r[0].begin, 0u); EXPECT_EQ(r[0].end, 2u);
  EXPECT_EQ(r[1].begin, 2u); EXPECT_EQ(r[1].end, 4u);
  EXPECT_EQ(r[2].begin, 4u); EXPECT_EQ(r[2].end, 5u);
}

TEST(PoolParts, PartsTileTheRangeInOrder) {
  for (size_t count = 0; count <= 300; ++count) {
    for (int p = 1; p <= 9; ++p) {
      const size_t chunk = (count + p - 1) / p;
      size_t next = 0;
      for (int k = 0; k < p; ++k) {
        const Range r = partRange(count, p, k);
        if (k * chunk >= count) {
          EXPECT_TRUE(r.empty()) << count << "/" << p << " k=" << k;
          continue;
        }
        ASSERT_EQ(r.begin, next) << count << "/" << p << " k=" << k;
        ASSERT_EQ(r.begin, k * chunk);
        ASSERT_GT(r.end, r.begin);
        next = r.end;
      }
      ASSERT_EQ(next, count) << count << "/" << p;
    }
  }
}

TEST(PoolParts, HugeCountDoesNotOverflow) {
  for (int p : {2, 3, 4, 7, 16}) {
    size_t next = 0;
    for (int k = 0; k < p; ++k) {
      const Range r = partRange(SIZE_MAX, p, k);
      ASSERT_FALSE(r.empty());
      ASSERT_EQ(r.begin, next);
      next = r.end;
    }
    EXPECT_EQ(next, SIZE_MAX);
  }
}

// ---------------------------------------------------------------------------
// A pool of a given size.

struct Recorder {
  std::mutex mu;
  std::vector<std::pair<size_t, size_t>> calls;
  std::vector<std::thread::id> who;
  void operator()(size_t b, size_t e) {
    std::lock_guard<std::mutex> lk(mu);
    calls.emplace_back(b, e);
    who.push_back(std::this_thread::get_id());
  }
};

TEST(PoolRun, TenOverFourThreads) {
  Pool pool(4);
  Recorder rec;
  std::function<void(size_t, size_t)> fn = std::ref(rec);
  pool.run(10, le::pool::detail::partsFor(10, 1, pool.size()), fn);
  auto calls = rec.calls;
  std::sort(calls.begin(), calls.end());
  EXPECT_EQ(calls, (Calls{{0, 3}, {3, 6}, {6, 9}, {9, 10}}));
  // Part 0 on the caller, the others on three distinct workers.
  std::set<std::thread::id> others;
  for (size_t i = 0; i < rec.calls.size(); ++i) {
    if (rec.calls[i].first == 0) {
      EXPECT_EQ(rec.who[i], std::this_thread::get_id());
    } else {
      EXPECT_NE(rec.who[i], std::this_thread::get_id());
      others.insert(rec.who[i]);
    }
  }
  EXPECT_EQ(others.size(), 3u);
}

TEST(PoolRun, FiveOverFourSkipsTheEmptyPart) {
  Pool pool(4);
  Recorder rec;
  std::function<void(size_t, size_t)> fn = std::ref(rec);
  pool.run(5, le::pool::detail::partsFor(5, 1, pool.size()), fn);
  auto calls = rec.calls;
  std::sort(calls.begin(), calls.end());
  EXPECT_EQ(calls, (Calls{{0, 2}, {2, 4}, {4, 5}}));
}

TEST(PoolRun, FewerPartsThanWorkersAndReuse) {
  Pool pool(4);
  for (int round = 0; round < 200; ++round) {
    const size_t count = static_cast<size_t>(round % 37);
    const int p = std::max(2, std::min(4, round % 5));
    std::vector<std::atomic<int>> seen(count);
    std::atomic<int> calls{0};
    pool.run(count, p, [&](size_t b, size_t e) {
      calls.fetch_add(1);
      for (size_t i = b; i < e; ++i) seen[i].fetch_add(1);
    });
    for (size_t i = 0; i < count; ++i) ASSERT_EQ(seen[i].load(), 1) << round << " " << i;
    ASSERT_EQ(calls.load(), static_cast<int>(nonEmptyParts(count, p).size()));
  }
}

TEST(PoolRun, ManyConcurrentCallersEachIndexOnce) {
  // Each caller thread has its own pool: concurrent jobs must never mix.
  const int kCallers = 8;
  std::atomic<int> failures{0};
  std::vector<std::thread> callers;
  for (int t = 0; t < kCallers; ++t) {
    callers.emplace_back([t, &failures] {
      Pool own(4);
      for (int round = 0; round < 150; ++round) {
        const size_t count = 1 + static_cast<size_t>((round * 7919 + t * 104729) % 5000);
        std::vector<std::atomic<int>> seen(count);
        const std::function<void(size_t, size_t)> fn = [&](size_t b, size_t e) {
          for (size_t i = b; i < e; ++i) seen[i].fetch_add(1, std::memory_order_relaxed);
        };
        // Alternate between the thread's implicit pool and an explicit 4-pool.
        if (round % 2) {
          le::pool::parallelRange(count, 1 + round % 3, fn);
        } else {
          own.run(count, partsFor(count, 1, 4), fn);
        }
        for (size_t i = 0; i < count; ++i) {
          if (seen[i].load() != 1) failures.fetch_add(1);
        }
      }
    });
  }
  for (auto& c : callers) c.join();
  EXPECT_EQ(failures.load(), 0);
}

TEST(PoolRun, NestedCallOnTheCallingThreadRunsInline) {
  Pool pool(4);
  std::mutex mu;
  Calls inner;
  std::vector<std::thread::id> innerWho;
  bool insideSeen = false;
  const auto caller = std::this_thread::get_id();
  EXPECT_FALSE(le::pool::detail::inside());
  pool.run(1000, 4, [&](size_t b, size_t e) {
    if (b != 0) return;  // part 0: the calling thread
    insideSeen = le::pool::detail::inside();
    le::pool::parallelRange(500, 1, [&](size_t ib, size_t ie) {
      std::lock_guard<std::mutex> lk(mu);
      inner.emplace_back(ib, ie);
      innerWho.push_back(std::this_thread::get_id());
    });
  });
  EXPECT_TRUE(insideSeen);
  EXPECT_EQ(inner, (Calls{{0, 500}}));
  ASSERT_EQ(innerWho.size(), 1u);
  EXPECT_EQ(innerWho[0], caller);
  EXPECT_FALSE(le::pool::detail::inside());
}

TEST(PoolRun, NestedCallThroughParallelRangeRunsInline) {
  if (le::pool::threads() < 2) GTEST_SKIP() << "threads() is 1";
  Calls inner;
  std::atomic<int> outer{0};
  le::pool::parallelRange(1000, 1, [&](size_t b, size_t) {
    outer.fetch_add(1);
    if (b != 0) return;
    le::pool::parallelRange(77, 1, [&](size_t ib, size_t ie) { inner.emplace_back(ib, ie); });
  });
  EXPECT_EQ(outer.load(), le::pool::threads());
  EXPECT_EQ(inner, (Calls{{0, 77}}));
}

TEST(PoolRun, ExceptionFromAWorkerPartReachesTheCaller) {
  Pool pool(4);
  std::vector<std::atomic<int>> seen(100);
  try {
    pool.run(100, 4, [&](size_t b, size_t e) {
      for (size_t i = b; i < e; ++i) seen[i].fetch_add(1);
      if (b <= 60 && 60 < e) throw std::runtime_error("part with 60 failed");
    });
    FAIL() << "no exception";
  } catch (const std::runtime_error& ex) {
    EXPECT_STREQ(ex.what(), "part with 60 failed");
  }
  // Every part still ran to completion before the rethrow.
  for (auto& s : seen) EXPECT_EQ(s.load(), 1);
  EXPECT_FALSE(le::pool::detail::inside());
  // The pool still works afterwards.
  std::atomic<int> calls{0};
  pool.run(100, 4, [&](size_t, size_t) { calls.fetch_add(1); });
  EXPECT_EQ(calls.load(), 4);
}

TEST(PoolRun, ExceptionFromPartZeroAndFromSeveralParts) {
  Pool pool(4);
  EXPECT_THROW(pool.run(40, 4, [&](size_t b, size_t) {
                 if (b == 0) throw std::logic_error("zero");
               }),
               std::logic_error);
  try {
    pool.run(40, 4, [&](size_t b, size_t) { throw std::runtime_error(std::to_string(b)); });
    FAIL() << "no exception";
  } catch (const std::runtime_error& ex) {
    const std::string m = ex.what();
    EXPECT_TRUE(m == "0" || m == "10" || m == "20" || m == "30") << m;
  }
  std::atomic<int> calls{0};
  pool.run(40, 4, [&](size_t, size_t) { calls.fetch_add(1); });
  EXPECT_EQ(calls.load(), 4);
}

TEST(PoolRun, ExceptionThroughParallelRange) {
  EXPECT_THROW(le::pool::parallelRange(1000, 1,
                                       [](size_t, size_t e) {
                                         if (e == 1000) throw std::out_of_range("last");
                                       }),
               std::out_of_range);
  EXPECT_FALSE(le::pool::detail::inside());
  // Inline path too.
  EXPECT_THROW(le::pool::parallelRange(1, 1, [](size_t, size_t) { throw std::out_of_range("x"); }),
               std::out_of_range);
  size_t got = 99;
  le::pool::parallelRange(0, 1, [&](size_t b, size_t e) { got = e - b; });
  EXPECT_EQ(got, 0u);
}

bool waitFor(const std::function<bool()>& cond) {
  for (int i = 0; i < 2000; ++i) {
    if (cond()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return cond();
}

TEST(PoolLifecycle, PoolJoinsItsWorkers) {
  const int base = le::pool::detail::liveWorkers();
  {
    Pool pool(4);
    EXPECT_TRUE(waitFor([&] { return le::pool::detail::liveWorkers() == base + 3; }));
  }
  EXPECT_EQ(le::pool::detail::liveWorkers(), base);
}

TEST(PoolLifecycle, ThreadPoolIsTornDownAtThreadExit) {
  if (le::pool::threads() < 2) GTEST_SKIP() << "threads() is 1";
  const int base = le::pool::detail::liveWorkers();
  int during = -1;
  std::thread t([&] {
    le::pool::parallelRange(1000, 1, [](size_t, size_t) {});
    during = le::pool::detail::liveWorkers();
    le::pool::parallelRange(1000, 1, [](size_t, size_t) {});  // same pool again
    during = std::min(during, le::pool::detail::liveWorkers());
  });
  t.join();
  EXPECT_GE(during, base + le::pool::threads() - 1);
  EXPECT_EQ(le::pool::detail::liveWorkers(), base);  // joined at thread exit
}

TEST(PoolLifecycle, NestedCallOnAWorkerGetsThatWorkersOwnPool) {
  if (le::pool::threads() < 2) GTEST_SKIP() << "threads() is 1";
  const int base = le::pool::detail::liveWorkers();
  std::vector<std::atomic<int>> seen(1000);
  std::thread::id innerThread, workerThread;
  std::atomic<int> innerCalls{0};
  std::mutex mu;
  std::set<std::thread::id> innerWho;
  {
    Pool pool(2);
    pool.run(2, 2, [&](size_t b, size_t) {
      if (b != 1) return;  // part 1: the worker
      workerThread = std::this_thread::get_id();
      EXPECT_FALSE(le::pool::detail::inside());
      le::pool::parallelRange(1000, 1, [&](size_t ib, size_t ie) {
        innerCalls.fetch_add(1);
        {
          std::lock_guard<std::mutex> lk(mu);
          innerWho.insert(std::this_thread::get_id());
        }
        for (size_t i = ib; i < ie; ++i) seen[i].fetch_add(1);
      });
    });
    EXPECT_EQ(innerCalls.load(), le::pool::threads());
    EXPECT_EQ(innerWho.size(), static_cast<size_t>(le::pool::threads()));
    EXPECT_TRUE(innerWho.count(workerThread));
    // The pool's worker and that worker's own pool.
    EXPECT_EQ(le::pool::detail::liveWorkers(), base + 1 + (le::pool::threads() - 1));
  }
  for (auto& s : seen) EXPECT_EQ(s.load(), 1);
  // Joining the worker tore its own pool down with it.
  EXPECT_EQ(le::pool::detail::liveWorkers(), base);
}

TEST(PoolLifecycle, NoAllocationPerJob) {
  Pool pool(4);
  std::atomic<size_t> sum{0};
  const std::function<void(size_t, size_t)> fn = [&](size_t b, size_t e) {
    sum.fetch_add(e - b, std::memory_order_relaxed);
  };
  pool.run(1000, 4, fn);  // warm up
  if (le::pool::threads() >= 2) le::pool::parallelRange(1000, 1, fn);
  g_allocs = 0;
  g_countAllocs = true;
  for (int i = 0; i < 500; ++i) {
    pool.run(1000, 4, fn);
    if (le::pool::threads() >= 2) le::pool::parallelRange(1000, 1, fn);
  }
  g_countAllocs = false;
  EXPECT_EQ(g_allocs.load(), 0);
  EXPECT_GT(sum.load(), 0u);
}

}  // namespace
