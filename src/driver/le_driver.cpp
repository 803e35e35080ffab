// Driver video: the JPEG directory source and the decode-ahead cursor.
#include "driver/le_driver.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <thread>
#include <vector>

#include "base/le_env.h"
#include "base/le_file.h"
#include "bundle/le_bundle.h"
#include "bundle/le_manifest_key.h"
#include "compose/le_image.h"

namespace le {


// =================================================================== sources

namespace driver {

Source::~Source() = default;

std::size_t Source::frameBytes() const { return std::size_t(W()) * std::size_t(H()) * 3; }

std::string frameFile(const std::string& dir, int index) {
  char buf[kFrameNameMax];
  const int n = std::snprintf(buf, sizeof buf, "%s/frame_%06d.jpg", dir.c_str(), index);
  if (n < 0 || std::size_t(n) >= sizeof buf)
    throw std::runtime_error("le_driver: the frame file name under " + dir + " is longer than " +
                             std::to_string(kFrameNameMax - 1) +
                             " bytes \xE2\x80\x94 refusing rather than reading a truncated name");
  return std::string(buf, std::size_t(n));
}

std::runtime_error jpgSizeMismatch(const std::string& file, int w, int h, int W, int H) {
  return std::runtime_error("le_driver: " + file + " is " + std::to_string(w) + "x" + std::to_string(h) +
                            ", the manifest says " + std::to_string(W) + "x" + std::to_string(H) +
                            " \xE2\x80\x94 refusing");
}

JpgDirSource::JpgDirSource(std::string dir, int nt, int w, int h) : dir_(std::move(dir)), nt_(nt), w_(w), h_(h) {}

bool JpgDirSource::next(unsigned char* dst) {
  if (index_ >= nt_) return false;
  const std::string file = frameFile(dir_, index_);
  int w = 0, h = 0;
  const std::vector<std::uint8_t> rgb = loadImageRGBSized(file, w_, h_, &w, &h);
  if (w != w_ || h != h_) throw jpgSizeMismatch(file, w, h, w_, h_);
  std::memcpy(dst, rgb.data(), frameBytes());
  ++index_;
  return true;
}

void JpgDirSource::seek(int si) {
  if (si < 0 || si >= nt_) throw std::runtime_error("le_driver: seek outside the member");
  index_ = si;
}

std::unique_ptr<Source> openJpgDir(const std::string& dir, int NT, int W, int H) {
  return std::make_unique<JpgDirSource>(dir, NT, W, H);
}

bool optStr(const std::string& json, const std::string& key, std::string& out) {
  std::string v;
  if (!manifest_key::optStr(json, key, v)) return false;  // absent, not a string, or empty
  out = std::move(v);
  return true;
}

}  // namespace driver

// ==================================================================== cursor

struct DriverCursor::Impl {
  Impl(std::unique_ptr<driver::Source> s, int la, int hist);
  ~Impl();

  void run();
  void fail(const std::string& message);
  unsigned char* take(int* si, bool forWrite);
  void seek(int si);

  std::unique_ptr<driver::Source> src;
  int nt = 0, w = 0, h = 0;
  std::size_t frameBytes = 0;
  std::string srcName;
  int lookAhead = 1, history = 0, slots = 2;

  struct AlignedFree {
    void operator()(unsigned char* p) const { ::operator delete[](p, std::align_val_t(64)); }
  };
  // The ring, allocated once; slotFrame[k] is the frame index slot k holds (-1 empty).
  std::vector<std::unique_ptr<unsigned char[], AlignedFree>> ring;
  std::vector<int> slotFrame;

  mutable std::mutex mu;
  std::condition_variable wakeDecoder, frameReady;
  std::uint64_t taken = 0, filled = 0, mutMark = 0;
  bool busy = false;
  int nextFrame = 0, position = 0, srcPos = 0, seekTo = -1;
  std::uint64_t generation = 0;
  bool stop = false;
  std::string error;
  bool reported = false;  // the consumer has been handed `error`; from then on everything throws it
  std::uint64_t seekCount = 0;
  std::size_t srcResident = 0;  // the source's residentBytes(), refreshed by the thread
  std::uint64_t waitNs = 0;
  std::thread thread;
};

DriverCursor::Impl::Impl(std::unique_ptr<driver::Source> s, int la, int hist) : src(std::move(s)) {
  nt = src->NT();
  w = src->W();
  h = src->H();
  frameBytes = src->frameBytes();
  srcName = src->name();
  // Frame indices wrap modulo NT: an empty loop has nothing to wrap.
  if (nt < 1 || frameBytes == 0)
    throw std::runtime_error("le_driver: " + srcName + " declares NT=" + std::to_string(nt) + " frames of " +
                             std::to_string(frameBytes) + " bytes \xE2\x80\x94 there is no loop to play, refusing");
  lookAhead = std::max(la, 1);
  history = std::max(hist, 0);
  const std::uint64_t want = std::uint64_t(lookAhead) + std::uint64_t(history) + 1;
  if (want > (std::uint64_t(1) << 20) || want > SIZE_MAX / frameBytes)
    throw std::runtime_error("le_driver: a ring of " + std::to_string(want) + " frames of " +
                             std::to_string(frameBytes) + " bytes is beyond reason \xE2\x80\x94 refusing");
  slots = int(want);
  try {
    ring.reserve(std::size_t(slots));
    for (int k = 0; k < slots; ++k)
      ring.emplace_back(static_cast<unsigned char*>(::operator new[](frameBytes, std::align_val_t(64))));
  } catch (const std::bad_alloc&) {
    throw std::runtime_error("le_driver: out of memory for a ring of " + std::to_string(slots) + " frames of " +
                             std::to_string(frameBytes) + " bytes");
  }
  slotFrame.assign(std::size_t(slots), -1);
  srcResident = src->residentBytes();
  thread = std::thread([this] { run(); });
}

DriverCursor::Impl::~Impl() {
  {
    std::lock_guard<std::mutex> lk(mu);
    stop = true;
  }
  wakeDecoder.notify_all();
  frameReady.notify_all();
  if (thread.joinable()) thread.join();
}

void DriverCursor::Impl::fail(const std::string& message) {
  {
    std::lock_guard<std::mutex> lk(mu);
    if (error.empty()) error = message;
  }
  frameReady.notify_all();
}

void DriverCursor::Impl::run() {
  std::unique_lock<std::mutex> lk(mu);
  for (;;) {
    if (stop) return;
    if (seekTo >= 0) {
      const int target = seekTo;
      nextFrame = target;
      seekTo = -1;
      lk.unlock();
      try {
        src->seek(target);
      } catch (const std::exception& e) {
        fail(std::string("le_driver: seek failed: ") + e.what());
        return;
      }
      const std::size_t resident = src->residentBytes();
      lk.lock();
      srcPos = target;
      srcResident = resident;
      continue;
    }
    if (filled - taken < std::uint64_t(lookAhead)) {
      const std::uint64_t gen = generation;
      const int index = nextFrame;
      const int slot = int(filled % std::uint64_t(slots));
      busy = true;
      lk.unlock();
      std::size_t resident = 0;
      try {
        if (srcPos == nt) {  // the loop wraps
          src->rewind();
          srcPos = 0;
        }
        if (!src->next(ring[std::size_t(slot)].get()))
          throw std::runtime_error(srcName + " ended after " + std::to_string(srcPos) + " frames, the manifest says NT=" +
                                   std::to_string(nt) +
                                   " \xE2\x80\x94 a short driver is a session that stops part way through the loop, "
                                   "refusing");
        ++srcPos;
        resident = src->residentBytes();
      } catch (const std::exception& e) {
        fail(std::string("le_driver: ") + e.what());
        return;
      }
      lk.lock();
      busy = false;
      srcResident = resident;
      if (gen == generation) {
        slotFrame[std::size_t(slot)] = index;
        ++filled;
        nextFrame = (index + 1) % nt;
        frameReady.notify_all();
      }
      continue;
    }
    wakeDecoder.wait(lk);
  }
}

unsigned char* DriverCursor::Impl::take(int* si, bool forWrite) {
  std::unique_lock<std::mutex> lk(mu);
  for (;;) {
    // Frames decoded before a failure are still served in order: the consumer
    // meets the failure at the frame that is missing, not lookAhead frames early.
    if (!error.empty() && (reported || taken >= filled)) {
      reported = true;
      throw std::runtime_error(error);
    }
    if (taken < filled) {
      const std::uint64_t p = taken++;
      if (forWrite) mutMark = p + 1;
      wakeDecoder.notify_one();
      const std::size_t slot = std::size_t(p % std::uint64_t(slots));
      const int index = slotFrame[slot];
      if (si) *si = index;
      position = (index + 1) % nt;
      return ring[slot].get();
    }
    const auto t0 = std::chrono::steady_clock::now();
    frameReady.wait(lk);
    waitNs += std::uint64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - t0).count());
  }
}

void DriverCursor::Impl::seek(int si) {
  if (si < 0 || si >= nt)
    throw std::runtime_error("le_driver: seek(" + std::to_string(si) + ") outside [0," + std::to_string(nt) + ")");
  std::unique_lock<std::mutex> lk(mu);
  if (!error.empty() && reported) throw std::runtime_error(error);
  position = si;
  const int upcoming =
      taken < filled ? slotFrame[std::size_t(taken % std::uint64_t(slots))] : (seekTo >= 0 ? seekTo : nextFrame);
  if (upcoming == si) return;
  if (seekTo < 0) {
    const std::uint64_t S = std::uint64_t(slots);
    const std::uint64_t oldest = filled < S ? 0 : filled + (busy ? 1 : 0) - S;
    const std::uint64_t behind = taken <= std::uint64_t(history) + 1 ? 0 : taken - 1 - std::uint64_t(history);
    const std::uint64_t start = std::max({oldest, mutMark, behind});
    for (std::uint64_t p = start; p < filled; ++p) {
      if (slotFrame[std::size_t(p % S)] == si) {
        taken = p;
        lk.unlock();
        wakeDecoder.notify_one();
        return;
      }
    }
    if (nextFrame == si) {
      taken = filled;
      lk.unlock();
      wakeDecoder.notify_one();
      return;
    }
  }
  if (!error.empty()) {  // the thread is gone: nothing can reposition the source
    reported = true;
    throw std::runtime_error(error);
  }
  ++generation;
  ++seekCount;
  taken = filled;
  seekTo = si;
  lk.unlock();
  wakeDecoder.notify_one();
}

// ------------------------------------------------------------- public face

DriverCursor::DriverCursor(std::unique_ptr<driver::Source> source, int lookAhead, int history) {
  if (!source) throw std::runtime_error("le_driver: no source to play");
  nt_ = source->NT();
  w_ = source->W();
  h_ = source->H();
  frameBytes_ = source->frameBytes();
  name_ = source->name();
  impl_ = std::make_unique<Impl>(std::move(source), lookAhead, history);
}

DriverCursor::~DriverCursor() = default;

std::unique_ptr<DriverCursor> DriverCursor::over(std::unique_ptr<driver::Source> source, int lookAhead, int history) {
  return std::unique_ptr<DriverCursor>(new DriverCursor(std::move(source), lookAhead, history));
}

std::unique_ptr<DriverCursor> DriverCursor::open(const Manifest& m, int lookAhead, int history) {
  std::string jpgMember = "target_frames";
  std::string movieMember = "target_frames.mp4";
  const std::string text = readOptionalText(m.dir + "/manifest.json");
  driver::optStr(text, "target_frames", jpgMember);
  driver::optStr(text, "target_frames_mp4", movieMember);

  const std::string jpgDir = memberPath(m.dir, jpgMember);
  const std::string lastJpg = driver::frameFile(jpgDir, m.nt - 1);
  const std::string moviePath = resolveMember(m.dir, movieMember);

  if (env::is("LE_DRIVER_PREFER_MP4", "1") && statExists(moviePath)) {
    if (statExists(lastJpg))
      std::fprintf(stderr,
                   "[le-driver] LE_DRIVER_PREFER_MP4=1 \xE2\x80\x94 %s/ is populated and NOT used; %s is the member "
                   "this consumer reads\n",
                   jpgMember.c_str(), movieMember.c_str());
  } else if (statExists(lastJpg)) {
    std::fprintf(stderr, "[le-driver] %s/ (raw jpg, %d frames) \xE2\x80\x94 read one frame per pull\n",
                 jpgMember.c_str(), m.nt);
    // The ring is sized from the manifest's W x H: compare it with the first
    // frame's header before allocating, so a wrong (or absurd) size is refused
    // here rather than after a ring of that size was attempted.
    const std::string firstJpg = driver::frameFile(jpgDir, 0);
    int w = 0, h = 0;
    if (imageSize(firstJpg, &w, &h) && (w != m.W || h != m.H)) throw driver::jpgSizeMismatch(firstJpg, w, h, m.W, m.H);
    return over(driver::openJpgDir(jpgDir, m.nt, m.W, m.H), lookAhead, history);
  } else if (!statExists(moviePath)) {
    throw std::runtime_error("this bundle carries neither a populated " + jpgMember + "/ nor " + movieMember + " (" +
                             moviePath +
                             ") \xE2\x80\x94 there is no driver video to play. REFUSING to create a session.");
  }
  std::unique_ptr<DriverCursor> c = over(driver::openMp4(moviePath, m.nt, m.W, m.H), lookAhead, history);
  std::fprintf(stderr,
               "[le-driver] %s decoded IN PLACE (%s, %d frames %dx%d, look-ahead %d, history %d) \xE2\x80\x94 no "
               "frame of the driver is expanded ahead of the paste\n",
               movieMember.c_str(), c->name().c_str(), m.nt, m.W, m.H, c->lookAhead(), c->history());
  return c;
}

std::unique_ptr<DriverCursor> DriverCursor::openPrior(const Manifest& m, int lookAhead, int history) {
  std::string member = "P_hevc.mov";
  driver::optStr(readOptionalText(m.dir + "/manifest.json"), "P_hevc", member);
  const std::string path = resolveMember(m.dir, member);
  if (!statExists(path))
    throw std::runtime_error("this bundle carries neither a raw P.f16 nor " + member + " (" + path +
                             ") \xE2\x80\x94 there is no warp prior to play. REFUSING to create a session.");
  std::unique_ptr<DriverCursor> c = over(driver::openPriorHevc(path, m.nt, m.crop), lookAhead, history);
  std::fprintf(stderr,
               "Corvane: identity source ready \xE2\x80\x94 %d frames %dx%d, played straight from %s (%s); nothing "
               "is unpacked to disk\n",
               m.nt, m.crop, m.crop, member.c_str(), c->name().c_str());
  return c;
}

int DriverCursor::pull(unsigned char* dst) {
  std::lock_guard<std::mutex> call(call_);
  impl_->seek(position());
  int si = -1;
  const unsigned char* p = impl_->take(&si, false);
  std::memcpy(dst, p, frameBytes_);
  return si;
}

const unsigned char* DriverCursor::pull(int* si) {
  std::lock_guard<std::mutex> call(call_);
  impl_->seek(position());
  return impl_->take(si, false);
}

unsigned char* DriverCursor::pullMut(int* si) {
  std::lock_guard<std::mutex> call(call_);
  impl_->seek(position());
  return impl_->take(si, true);
}

namespace {
void checkYield(int got, int si) {
  if (got != si)
    throw std::runtime_error("le_driver: cursor yielded frame " + std::to_string(got) + " for si=" + std::to_string(si));
}
}  // namespace

int DriverCursor::pullAt(int si, unsigned char* dst) {
  std::lock_guard<std::mutex> call(call_);
  impl_->seek(si);
  int got = -1;
  const unsigned char* p = impl_->take(&got, false);
  checkYield(got, si);
  std::memcpy(dst, p, frameBytes_);
  return si;
}

const unsigned char* DriverCursor::pullAt(int si, int* out) {
  std::lock_guard<std::mutex> call(call_);
  impl_->seek(si);
  int got = -1;
  const unsigned char* p = impl_->take(&got, false);
  if (out) *out = got;
  checkYield(got, si);
  return p;
}

unsigned char* DriverCursor::pullMutAt(int si, int* out) {
  std::lock_guard<std::mutex> call(call_);
  impl_->seek(si);
  int got = -1;
  unsigned char* p = impl_->take(&got, true);
  if (out) *out = got;
  checkYield(got, si);
  return p;
}

void DriverCursor::seek(int si) {
  std::lock_guard<std::mutex> call(call_);
  impl_->seek(si);
}

int DriverCursor::position() const {
  std::lock_guard<std::mutex> lk(impl_->mu);
  return impl_->position;
}

std::uint64_t DriverCursor::seeks() const {
  std::lock_guard<std::mutex> lk(impl_->mu);
  return impl_->seekCount;
}

std::size_t DriverCursor::residentBytes() const {
  std::lock_guard<std::mutex> lk(impl_->mu);
  return std::size_t(impl_->slots) * frameBytes_ + impl_->srcResident;
}

std::uint64_t DriverCursor::waitNanos() const {
  std::lock_guard<std::mutex> lk(impl_->mu);
  return impl_->waitNs;
}

int DriverCursor::lookAhead() const { return impl_->lookAhead; }
int DriverCursor::history() const { return impl_->history; }

std::unique_ptr<PriorCursor> openIdentityPrior(const Manifest& m) { return DriverCursor::openPrior(m, 2, 11); }

}  // namespace le
