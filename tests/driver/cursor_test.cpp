// DriverCursor over an in-memory source: ring reuse, wrap-around, repositioning,
// sticky failures, shutdown in every thread state, concurrent callers.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <random>
#include <stdexcept>
#include <thread>
#include <vector>

#include "driver/le_driver.h"
#include "support/errors.h"

namespace {

using le::test::errorOf;

constexpr int kW = 5, kH = 3;
constexpr std::size_t kFrame = kW * kH * 3;

// What the source did, readable while the cursor's thread drives it.
struct Stats {
  explicit Stats(int nt) : decodes(nt) {}
  std::vector<std::atomic<int>> decodes;  // next() calls that produced frame i
  std::atomic<int> nexts{0}, rewinds{0}, seeks{0};
  std::atomic<bool> destroyed{false};
  // Slow frame: next() of this frame blocks until release is set.
  std::atomic<int> slowFrame{-1};
  std::atomic<bool> inSlow{false}, release{false}, slowReturned{false};
};

unsigned char pixel(int frame, std::size_t byte) { return static_cast<unsigned char>(frame * 31 + byte * 7 + 1); }

bool holds(const unsigned char* p, int frame) {
  for (std::size_t b = 0; b < kFrame; ++b)
    if (p[b] != pixel(frame, b)) return false;
  return true;
}

class FakeSource : public le::driver::Source {
 public:
  FakeSource(int nt, std::shared_ptr<Stats> st) : nt_(nt), st_(std::move(st)) {}
  ~FakeSource() override { st_->destroyed = true; }
  int NT() const override { return nt_; }
  int W() const override { return kW; }
  int H() const override { return kH; }
  bool next(unsigned char* dst) override {
    ++st_->nexts;
    if (pos_ == failAt) throw std::runtime_error("fake fault at " + std::to_string(pos_));
    if (pos_ >= endsAfter) return false;
    if (pos_ == st_->slowFrame) {
      st_->inSlow = true;
      while (!st_->release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      st_->slowReturned = true;
    }
    for (std::size_t b = 0; b < kFrame; ++b) dst[b] = pixel(pos_, b);
    ++st_->decodes[std::size_t(pos_)];
    ++pos_;
    return true;
  }
  void rewind() override {
    ++st_->rewinds;
    pos_ = 0;
  }
  void seek(int si) override {
    ++st_->seeks;
    if (failSeek) throw std::runtime_error("fake cannot seek");
    pos_ = si;
  }
  std::string name() const override { return "fake/mem"; }
  std::size_t residentBytes() const override { return 1000; }

  int failAt = -1;          // next() throws at this frame
  int endsAfter = 1 << 30;  // next() returns false from this frame on
  bool failSeek = false;

 private:
  int nt_;
  int pos_ = 0;
  std::shared_ptr<Stats> st_;
};

struct Made {
  std::unique_ptr<le::DriverCursor> cursor;
  std::shared_ptr<Stats> stats;
};

template <class Tweak>
Made make(int nt, int lookAhead, int history, Tweak tweak) {
  auto st = std::make_shared<Stats>(nt);
  auto src = std::make_unique<FakeSource>(nt, st);
  tweak(*src);
  return {le::DriverCursor::over(std::move(src), lookAhead, history), st};
}
Made make(int nt, int lookAhead = 2, int history = 11) {
  return make(nt, lookAhead, history, [](FakeSource&) {});
}

TEST(DriverCursor, SequentialPullsAndRingReuse) {
  Made m = make(40);
  le::DriverCursor& c = *m.cursor;
  EXPECT_EQ(c.NT(), 40);
  EXPECT_EQ(c.W(), kW);
  EXPECT_EQ(c.H(), kH);
  EXPECT_EQ(c.frameBytes(), kFrame);
  EXPECT_EQ(c.name(), "fake/mem");
  EXPECT_EQ(c.residentBytes(), 14 * kFrame + 1000);

  std::vector<unsigned char> buf(kFrame);
  for (int i = 0; i <= 20; ++i) {
    ASSERT_EQ(c.pull(buf.data()), i);
    ASSERT_TRUE(holds(buf.data(), i)) << i;
  }
  EXPECT_EQ(c.position(), 21);

  // Steps back within the history come from the ring: no repositioning, no decode.
  int got = -1;
  const unsigned char* p = c.pullAt(15, &got);
  EXPECT_EQ(got, 15);
  EXPECT_TRUE(holds(p, 15));
  p = c.pullAt(9, &got);  // 12 behind the next frame: the far edge of the window
  EXPECT_TRUE(holds(p, 9));
  EXPECT_EQ(c.seeks(), 0u);
  EXPECT_EQ(m.stats->decodes[15].load(), 1);
  EXPECT_EQ(m.stats->decodes[9].load(), 1);
  EXPECT_EQ(m.stats->seeks.load(), 0);
  // Sequential play continues after the frame just served.
  EXPECT_EQ(c.pull(buf.data()), 10);
  EXPECT_TRUE(holds(buf.data(), 10));

  // A forward jump within the look-ahead needs no repositioning either.
  const std::uint64_t before = c.seeks();
  c.pullAt(11, &got);
  c.pullAt(12, &got);
  EXPECT_EQ(c.seeks(), before);

  // Outside the window: one repositioning, the frame is decoded again.
  p = c.pullAt(2, &got);
  EXPECT_TRUE(holds(p, 2));
  EXPECT_EQ(c.seeks(), before + 1);
  EXPECT_EQ(m.stats->decodes[2].load(), 2);
  EXPECT_EQ(c.position(), 3);

  // seek() to the frame that comes next anyway costs nothing.
  c.seek(3);
  EXPECT_EQ(c.seeks(), before + 1);
  EXPECT_EQ(c.pull(buf.data()), 3);
}

TEST(DriverCursor, PointerFramesSurviveHistoryPulls) {
  Made m = make(64);
  le::DriverCursor& c = *m.cursor;
  int si = -1;
  const unsigned char* first = c.pull(&si);
  ASSERT_EQ(si, 0);
  std::vector<unsigned char> keep(first, first + kFrame);
  std::vector<unsigned char> buf(kFrame);
  for (int i = 1; i <= 11; ++i) c.pull(buf.data());  // history further frames: still intact
  EXPECT_EQ(std::memcmp(first, keep.data(), kFrame), 0);
}

TEST(DriverCursor, LoopWrapsWithARewind) {
  Made m = make(8);
  le::DriverCursor& c = *m.cursor;
  std::vector<unsigned char> buf(kFrame);
  EXPECT_EQ(c.pullAt(7, buf.data()), 7);
  EXPECT_TRUE(holds(buf.data(), 7));
  EXPECT_EQ(c.pull(buf.data()), 0);
  EXPECT_TRUE(holds(buf.data(), 0));
  EXPECT_GE(m.stats->rewinds.load(), 1);
  // Three full loops, in order, without a seek.
  for (int i = 1; i < 24; ++i) ASSERT_EQ(c.pull(buf.data()), i % 8);
  EXPECT_EQ(m.stats->seeks.load(), 1);  // only the pullAt(7)
}

TEST(DriverCursor, MutatedFrameIsNeverServedAgain) {
  Made m = make(30);
  le::DriverCursor& c = *m.cursor;
  std::vector<unsigned char> buf(kFrame);
  for (int i = 0; i < 5; ++i) c.pull(buf.data());
  int got = -1;
  unsigned char* w = c.pullMutAt(5, &got);
  ASSERT_EQ(got, 5);
  std::memset(w, 0xEE, kFrame);
  const std::uint64_t before = c.seeks();
  const unsigned char* p = c.pullAt(5, &got);
  EXPECT_EQ(c.seeks(), before + 1);
  EXPECT_TRUE(holds(p, 5));
  EXPECT_EQ(m.stats->decodes[5].load(), 2);

  // pullMut (sequential) has the same effect on the ring.
  w = c.pullMut(&got);
  ASSERT_EQ(got, 6);
  std::memset(w, 0, kFrame);
  p = c.pullAt(6, &got);
  EXPECT_TRUE(holds(p, 6));
  EXPECT_EQ(c.seeks(), before + 2);
}

TEST(DriverCursor, SeekBoundsLeaveTheCursorUsable) {
  Made m = make(10);
  le::DriverCursor& c = *m.cursor;
  EXPECT_EQ(errorOf([&] { c.seek(10); }), "le_driver: seek(10) outside [0,10)");
  EXPECT_EQ(errorOf([&] { c.seek(-1); }), "le_driver: seek(-1) outside [0,10)");
  std::vector<unsigned char> buf(kFrame);
  EXPECT_EQ(errorOf([&] { c.pullAt(10, buf.data()); }), "le_driver: seek(10) outside [0,10)");
  EXPECT_EQ(c.pull(buf.data()), 0);
  EXPECT_TRUE(holds(buf.data(), 0));
  EXPECT_EQ(c.pullAt(9, buf.data()), 9);
}

TEST(DriverCursor, LookAheadAndHistoryAreClamped) {
  Made m = make(10, 0, -3);
  le::DriverCursor& c = *m.cursor;
  EXPECT_EQ(c.lookAhead(), 1);
  EXPECT_EQ(c.history(), 0);
  EXPECT_EQ(c.residentBytes(), 2 * kFrame + 1000);
  std::vector<unsigned char> buf(kFrame);
  EXPECT_EQ(c.pullAt(4, buf.data()), 4);
  EXPECT_TRUE(holds(buf.data(), 4));
  // With no history only the frame just taken can be taken again.
  EXPECT_EQ(c.pullAt(4, buf.data()), 4);
  EXPECT_EQ(c.seeks(), 1u);
  EXPECT_EQ(c.pullAt(3, buf.data()), 3);
  EXPECT_EQ(c.seeks(), 2u);
  // One frame of look-ahead: the source never runs more than one frame ahead.
  const int loopStart = m.stats->decodes[0].load();
  for (int i = 4; i < 9; ++i) ASSERT_EQ(c.pull(buf.data()), i);
  for (int spin = 0; spin < 1000 && m.stats->decodes[9].load() == 0; ++spin)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(m.stats->decodes[0].load(), loopStart);  // frame 0 of the next loop is two ahead
}

TEST(DriverCursor, SourceFailureIsSticky) {
  Made m = make(10, 2, 11, [](FakeSource& s) { s.failAt = 3; });
  le::DriverCursor& c = *m.cursor;
  std::vector<unsigned char> buf(kFrame);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(c.pull(buf.data()), i);
  const std::string e = errorOf([&] { c.pull(buf.data()); });
  EXPECT_EQ(e, "le_driver: fake fault at 3");
  int got = -1;
  EXPECT_EQ(errorOf([&] { c.pull(buf.data()); }), e);
  EXPECT_EQ(errorOf([&] { c.pullAt(0, &got); }), e);  // even a frame still in the ring
  EXPECT_EQ(errorOf([&] { c.seek(1); }), e);
  EXPECT_EQ(errorOf([&] { c.pullMut(&got); }), e);
}

TEST(DriverCursor, ShortSourceStopsTheLoop) {
  Made m = make(8, 2, 11, [](FakeSource& s) { s.endsAfter = 5; });
  le::DriverCursor& c = *m.cursor;
  std::vector<unsigned char> buf(kFrame);
  for (int i = 0; i < 5; ++i) ASSERT_EQ(c.pull(buf.data()), i);
  const std::string e = errorOf([&] { c.pull(buf.data()); });
  EXPECT_EQ(e,
            "le_driver: fake/mem ended after 5 frames, the manifest says NT=8 \xE2\x80\x94 a short driver is a "
            "session that stops part way through the loop, refusing");
  EXPECT_EQ(errorOf([&] { c.pullAt(2, buf.data()); }), e);
}

TEST(DriverCursor, SeekFailureIsSticky) {
  Made m = make(50, 2, 11, [](FakeSource& s) { s.failSeek = true; });
  le::DriverCursor& c = *m.cursor;
  std::vector<unsigned char> buf(kFrame);
  EXPECT_EQ(c.pull(buf.data()), 0);
  const std::string e = errorOf([&] { c.pullAt(30, buf.data()); });
  EXPECT_EQ(e, "le_driver: seek failed: fake cannot seek");
  EXPECT_EQ(errorOf([&] { c.pull(buf.data()); }), e);
}

TEST(DriverCursor, DestructorJoinsInEveryState) {
  {  // thread waiting for room in the ring
    Made m = make(10);
    std::vector<unsigned char> buf(kFrame);
    m.cursor->pull(buf.data());
    while (m.stats->nexts.load() < 3) std::this_thread::yield();
    m.cursor.reset();
    EXPECT_TRUE(m.stats->destroyed.load());
  }
  {  // thread ended by a failure
    Made m = make(10, 2, 11, [](FakeSource& s) { s.failAt = 0; });
    std::vector<unsigned char> buf(kFrame);
    EXPECT_FALSE(errorOf([&] { m.cursor->pull(buf.data()); }).empty());
    m.cursor.reset();
    EXPECT_TRUE(m.stats->destroyed.load());
  }
  {  // thread inside a slow next()
    auto st = std::make_shared<Stats>(10);
    st->slowFrame = 1;
    auto cursor = le::DriverCursor::over(std::make_unique<FakeSource>(10, st), 2, 11);
    while (!st->inSlow.load()) std::this_thread::yield();
    std::thread releaser([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
      st->release = true;
    });
    cursor.reset();  // must wait for next() to return, then free the source
    EXPECT_TRUE(st->slowReturned.load());
    EXPECT_TRUE(st->destroyed.load());
    releaser.join();
  }
  {  // never pulled at all
    Made m = make(3);
    m.cursor.reset();
    EXPECT_TRUE(m.stats->destroyed.load());
  }
}

TEST(DriverCursor, ConcurrentCallersGetWholeFrames) {
  Made m = make(24);
  le::DriverCursor& c = *m.cursor;
  std::atomic<int> bad{0};
  std::vector<std::thread> callers;
  for (int t = 0; t < 4; ++t)
    callers.emplace_back([&, t] {
      std::mt19937 rng(unsigned(t + 1));
      std::vector<unsigned char> buf(kFrame);
      for (int n = 0; n < 150; ++n) {
        const int want = int(rng() % 24);
        if (t % 2 == 0) {
          if (c.pullAt(want, buf.data()) != want || !holds(buf.data(), want)) ++bad;
        } else {
          const int got = c.pull(buf.data());
          if (got < 0 || got >= 24 || !holds(buf.data(), got)) ++bad;
        }
        (void)c.position();
        (void)c.seeks();
      }
    });
  for (auto& th : callers) th.join();
  EXPECT_EQ(bad.load(), 0);
}

TEST(DriverCursor, RefusesAnEmptyLoop) {
  auto st = std::make_shared<Stats>(1);
  EXPECT_EQ(errorOf([&] { le::DriverCursor::over(std::make_unique<FakeSource>(0, st), 2, 11); }),
            "le_driver: fake/mem declares NT=0 frames of 45 bytes \xE2\x80\x94 there is no loop to play, refusing");
  EXPECT_EQ(errorOf([&] { le::DriverCursor::over(nullptr, 2, 11); }), "le_driver: no source to play");
}

}  // namespace
