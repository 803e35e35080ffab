// The teeth pass per frame on a 512 canvas with a realistic mouth window
// (160 x 112 at (176, 261), pad 8, shift margin 4, band 80 x 56 in its
// middle) and the default serving configuration (kshort 512, cut 96, K 64,
// hysteresis 8, look-ahead 8), over 64, 256 and 1024 forged donors:
//   BM_TeethPush      one push: retrieval of the new frame + emission of the held one
//   BM_TeethRetrieve  retrieval alone (prepare, coarse, exact over the short list, select)
//   BM_TeethEmit      emission alone (list, windows, candidate head, blend) of K candidates
// Real time (the pass works on the worker pool).
#include <benchmark/benchmark.h>

#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "forge/forge_donors.h"
#include "forge/forge_head.h"
#include "tessera/le_tessera.h"

namespace {

constexpr int kCanvas = 512;
constexpr int kFrames = 8;

le::tessera::GeometryStamp benchStamp() {
  le::tessera::GeometryStamp s;
  s.canvas_w = s.canvas_h = kCanvas;
  s.window_w = 160;
  s.window_h = 112;
  s.window_x0 = (kCanvas - s.window_w) / 2;
  s.window_y0 = 261;
  s.pad = 8;
  s.band_r0 = 28;
  s.band_r1 = 84;
  s.band_c0 = 40;
  s.band_c1 = 120;
  s.shift_margin = 4;
  return s;
}

struct Data {
  le::forge::DonorBank bank;
  le::tessera::HeadWeights weights;
  std::vector<std::vector<uint8_t>> crops, masks;

  explicit Data(int n) {
    le::forge::DonorSpec spec;
    spec.n = n;
    spec.canvas = kCanvas;
    spec.seed = 11;
    spec.stamp = benchStamp();
    bank = le::forge::forgeDonors(spec);
    le::forge::HeadCheckpoint hc;
    hc.arch = le::forge::HeadArch::Eight;
    const std::string hb = le::forge::headCheckpointBytes(hc);
    weights = le::tessera::loadHeadPt(std::vector<uint8_t>(hb.begin(), hb.end()));
    // Frames: a donor's canonical window on a skin-toned crop, the mouth
    // moving by a pixel or two, the delivery mask over the moved window.
    auto pass = makePass();
    const auto& st = bank.stamp;
    std::vector<uint8_t> win(size_t(st.window_w) * st.window_h * 3);
    for (int k = 0; k < kFrames; ++k) {
      const int32_t d = (k * 37) % n;
      const int dy = k % 3 - 1, dx = (k * 2) % 5 - 2;
      pass->gatherWindowsU8(&d, 1, 0, 0, win.data());
      std::vector<uint8_t> crop(size_t(kCanvas) * kCanvas * 3), mask(size_t(kCanvas) * kCanvas, 0);
      for (size_t i = 0; i < crop.size(); i += 3) {
        crop[i] = 196;
        crop[i + 1] = 150;
        crop[i + 2] = 128;
      }
      for (int r = 0; r < st.window_h; ++r)
        for (int c = 0; c < st.window_w; ++c) {
          const size_t at = size_t(st.window_y0 + dy + r) * kCanvas + size_t(st.window_x0 + dx + c);
          std::memcpy(&crop[at * 3], &win[(size_t(r) * st.window_w + c) * 3], 3);
          mask[at] = 255;
        }
      crops.push_back(std::move(crop));
      masks.push_back(std::move(mask));
    }
  }

  std::unique_ptr<le::tessera::TeethPass> makePass(int K = 64) const {
    le::tessera::BankData b;
    b.donors = bank.donorRgb;
    b.cent = bank.cent;
    b.c_canon = {bank.cCanon[0], bank.cCanon[1]};
    b.aperture = bank.aperture;
    b.stamp = bank.stamp;
    b.n_donors = bank.n;
    le::tessera::ServeConfig config;
    config.K = K;
    return std::make_unique<le::tessera::TeethPass>(std::move(b), weights, config);
  }
};

Data& data(int n) {
  static std::map<int, std::unique_ptr<Data>> cache;
  auto& d = cache[n];
  if (!d) d = std::make_unique<Data>(n);
  return *d;
}

void BM_TeethPush(benchmark::State& state) {
  Data& d = data(int(state.range(0)));
  auto pass = d.makePass(int(state.range(1)));
  le::tessera::FrameResult out;
  int f = 0;
  pass->push(f, d.crops[0].data(), d.masks[0].data(), nullptr, out);
  for (auto _ : state) {
    ++f;
    pass->push(f, d.crops[size_t(f % kFrames)].data(), d.masks[size_t(f % kFrames)].data(), nullptr, out);
    benchmark::DoNotOptimize(out.window.data());
  }
  state.counters["composited"] = double(pass->stats().frames);
}

void BM_TeethRetrieve(benchmark::State& state) {
  Data& d = data(int(state.range(0)));
  auto pass = d.makePass();
  std::vector<int32_t> cands;
  int f = 0;
  for (auto _ : state) {
    const size_t k = size_t(f++ % kFrames);
    const int dy = int(k) % 3 - 1, dx = (int(k) * 2) % 5 - 2;
    pass->retrieve(d.crops[k].data(), d.masks[k].data(), dy, dx, cands);
    benchmark::DoNotOptimize(cands.data());
  }
}

void BM_TeethEmit(benchmark::State& state) {
  Data& d = data(int(state.range(0)));
  auto pass = d.makePass();
  le::tessera::Pending p;
  p.crop = d.crops[1];
  p.mask = d.masks[1];
  p.shiftValid = true;
  p.shiftRows = 0;
  p.shiftCols = 0;
  pass->retrieve(p.crop.data(), p.mask.data(), 0, 0, p.candidates);
  std::vector<int32_t> ahead;
  pass->retrieve(d.crops[2].data(), d.masks[2].data(), 1, 2, ahead);
  le::tessera::FrameResult out;
  int f = 0;
  for (auto _ : state) {
    p.frameIndex = f++;
    pass->emit(p, &ahead, out);
    benchmark::DoNotOptimize(out.window.data());
  }
  state.counters["candidates"] = double(out.candidates);
}

// Second argument: K, the candidates the head weighs (64 the default, 16 what forged banks serve).
BENCHMARK(BM_TeethPush)
    ->ArgsProduct({{64, 256, 1024}, {16, 64}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_TeethRetrieve)->Arg(64)->Arg(256)->Arg(1024)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_TeethEmit)->Arg(64)->Arg(256)->Arg(1024)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
