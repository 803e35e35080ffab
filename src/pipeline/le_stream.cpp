// The clip pipeline behind le_stream_*: a whole speech clip becomes keypoint
// deltas in one call, then a render thread turns them into crops while the
// calling thread pastes each crop onto its driver frame and hands it out.
//
// The two threads share the context, each on its own part of it: the render
// thread only calls le_render_kp_crop (renderer, lastCrop), the caller only
// le_paste_crop (driver cursor, compositor).
#include <condition_variable>
#include <cstddef>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "audio/le_fca.h"
#include "base/le_error.h"
#include "base/le_file.h"
#include "bundle/le_bundle.h"
#include "capi/le_ctx.h"
#include "le/le.h"
#include "le/le_fca.h"
#include "le/le_utt.h"

namespace le::api {
// The clip pipeline's family (le_stream_*).
struct StreamFamily {};
}  // namespace le::api

using le::api::guarded;
using le::api::StreamFamily;

namespace {
constexpr int kRing = 4;  // crops the renderer may run ahead of the paster
}  // namespace

struct le_stream {
  le_ctx* ctx = nullptr;
  le_fca* fca = nullptr;
  int nt = 0, W = 0, H = 0, S = 0;
  int skip = 0;
  float gain = 1.f;
  std::vector<float> xsTarget;  // nt x 63 identity keypoints

  le_stream() = default;
  le_stream(const le_stream&) = delete;
  le_stream& operator=(const le_stream&) = delete;
  // The delta engine first, then the context; the table goes with the object.
  ~le_stream() {
    le_fca_destroy(fca);
    le_destroy(ctx);
  }

  int run(const float* audio, int n, le_stream_frame_fn fn, void* user);
};

namespace {

// The hand-off between the render thread and the paster, for one run.
struct Handoff {
  std::mutex mu;
  std::condition_variable room;   // the render thread waits for a free slot
  std::condition_variable ready;  // the paster waits for a crop
  int produced = 0, consumed = 0;
  bool done = false, failed = false, stop = false;
};

// Tells the render thread to stop and joins it on every way out of a run, so
// it is never left waiting for ring room nor outlives the buffers it writes.
struct RenderJoin {
  Handoff& h;
  std::thread& th;
  void finish() {
    {
      std::lock_guard<std::mutex> lk(h.mu);
      h.stop = true;
    }
    h.room.notify_all();
    if (th.joinable()) th.join();
  }
  ~RenderJoin() { finish(); }
};

}  // namespace

int le_stream::run(const float* audio, int n, le_stream_frame_fn fn, void* user) {
  const int T = int(le::fca::frames(n));
  std::vector<float> xd(size_t(T) * le::fca::kKp);
  if (le_fca_deltas(fca, audio, n, xd.data(), T) != T) throw std::runtime_error(le_fca_last_error());
  const int first = skip > 0 ? skip : 0;
  const int count = T - first;
  if (count < 1) return 0;

  // The source walk steps once per frame, skipped ones included: frame t uses
  // source t mod NT. The deltas become driving keypoints in place.
  auto source = [&](int t) { return nt < 2 ? 0 : t % nt; };
  for (int t = first; t < T; ++t) {
    const float* xs = xsTarget.data() + size_t(source(t)) * le::fca::kKp;
    float* d = xd.data() + size_t(t) * le::fca::kKp;
    for (int j = 0; j < le::fca::kKp; ++j) d[j] = gain * d[j] + xs[j];
  }

  const size_t cropFloats = size_t(S) * size_t(S) * 3;
  const size_t rgbBytes = size_t(W) * size_t(H) * 3;
  std::vector<float> ring(cropFloats * kRing);
  std::vector<unsigned char> rgb(rgbBytes);
  Handoff h;
  std::thread th;
  RenderJoin join{h, th};

  th = std::thread([&] {
    try {
      for (int k = 0; k < count; ++k) {
        const int t = k + first, si = source(t);
        const float* crop = le_render_kp_crop(ctx, si, xsTarget.data() + size_t(si) * le::fca::kKp,
                                              xd.data() + size_t(t) * le::fca::kKp);
        std::unique_lock<std::mutex> lk(h.mu);
        if (!crop) {
          h.failed = true;
          break;
        }
        h.room.wait(lk, [&] { return h.stop || h.failed || h.produced - h.consumed < kRing; });
        if (h.stop || h.failed) break;
        const int slot = h.produced % kRing;
        lk.unlock();
        // The paster reads only slots below `produced`, none of which is this one.
        std::memcpy(ring.data() + size_t(slot) * cropFloats, crop, cropFloats * sizeof(float));
        lk.lock();
        ++h.produced;
        lk.unlock();
        h.ready.notify_one();
      }
    } catch (...) {
      std::lock_guard<std::mutex> lk(h.mu);
      h.failed = true;
    }
    {
      std::lock_guard<std::mutex> lk(h.mu);
      h.done = true;
    }
    h.ready.notify_one();
  });

  int delivered = 0;
  for (int k = 0; k < count; ++k) {
    {
      std::unique_lock<std::mutex> lk(h.mu);
      h.ready.wait(lk, [&] { return h.produced > k || h.done || h.failed; });
      if (h.failed || h.produced <= k) break;
    }
    const int si = source(k + first);
    if (!le_paste_crop(ctx, si, ring.data() + size_t(k % kRing) * cropFloats, rgb.data(), rgbBytes)) {
      std::lock_guard<std::mutex> lk(h.mu);
      h.failed = true;
      break;
    }
    {
      std::lock_guard<std::mutex> lk(h.mu);
      ++h.consumed;
    }
    h.room.notify_one();
    fn(user, k, rgb.data(), W, H);
    ++delivered;
  }

  join.finish();
  if (h.failed) throw std::runtime_error("render/paste failed");
  return delivered;
}

extern "C" {

LE_API le_stream* le_stream_create(const char* bundle, const char* extractor_path, int threads, int skip,
                                   float gain) {
  return guarded<StreamFamily>("le_stream_create", static_cast<le_stream*>(nullptr), [&]() -> le_stream* {
    auto s = std::make_unique<le_stream>();
    s->ctx = le_create(bundle, "render", threads, "");
    if (!s->ctx) throw std::runtime_error(le_last_error());
    s->nt = le_nt(s->ctx);
    s->W = le_width(s->ctx);
    s->H = le_height(s->ctx);
    s->S = le_crop(s->ctx);
    s->skip = skip;
    s->gain = gain;
    s->fca = le_fca_create(extractor_path, (s->ctx->manifest.dir + "/fca_stream.onnx").c_str(), threads);
    if (!s->fca) throw std::runtime_error(le_fca_last_error());
    try {
      s->xsTarget = le::readRaw<float>(le::resolveMember(s->ctx->manifest.dir, "xs_target.bin"),
                                       size_t(s->nt) * le::fca::kKp);
    } catch (const std::exception&) {
      throw std::runtime_error("cannot read xs_target.bin (NT*63 f32)");
    }
    return s.release();
  });
}

LE_API int le_stream_run(le_stream* s, const float* audio, int n, le_stream_frame_fn fn, void* user) {
  return guarded<StreamFamily>("le_stream_run", -1, [&]() -> int {
    if (!s || (n > 0 && (!audio || !fn))) throw std::runtime_error("bad args");
    if (n < 1) return 0;
    return s->run(audio, n, fn, user);
  });
}

LE_API int le_stream_width(const le_stream* s) { return s ? s->W : 0; }
LE_API int le_stream_height(const le_stream* s) { return s ? s->H : 0; }

LE_API const char* le_stream_last_error(void) { return le::api::errorText<StreamFamily>().c_str(); }

// Cannot fail, so it leaves the error text alone.
LE_API void le_stream_destroy(le_stream* s) { delete s; }

}  // extern "C"
