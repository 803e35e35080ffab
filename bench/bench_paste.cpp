// le::Paste::composite of a 512x512 crop onto a 1920x1080 frame (Lanczos
// mode, 13-tap unsharp), against the same work done with OpenCV when the
// build found it (unsharp from GaussianBlur, warpAffine with INTER_LANCZOS4
// and WARP_INVERSE_MAP, bilinear mask warp, per-pixel blend). Both sides use
// the machine's threads. Prints ms per frame and the ratio at the end.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "compose/le_paste.h"
#include "compose/le_pool.h"

#ifdef LE_BENCH_OPENCV
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#endif

namespace {

constexpr int kS = 512, kW = 1920, kH = 1080;
const le::Unsharp kUnsharp{1.3f, 2.0f, 13};

struct Data {
  std::vector<float> crop;  // 3 planes, 0..1
  std::vector<uint8_t> mask, frame;
  float M[6];
  Data() {
    std::mt19937 rng(42);
    std::uniform_real_distribution<float> noise(-0.1f, 0.1f);
    crop.resize(3 * size_t(kS) * kS);
    for (int c = 0; c < 3; ++c)
      for (int y = 0; y < kS; ++y)
        for (int x = 0; x < kS; ++x)
          crop[(size_t(c) * kS + y) * kS + x] = std::clamp(
              0.5f + 0.4f * std::sin(0.05f * x + c) * std::cos(0.03f * y) + noise(rng), 0.0f, 1.0f);
    mask.resize(size_t(kS) * kS);
    for (int y = 0; y < kS; ++y)
      for (int x = 0; x < kS; ++x) {
        const int e = std::min(std::min(x, y), std::min(kS - 1 - x, kS - 1 - y));
        mask[size_t(y) * kS + x] = uint8_t(std::min(255, e * 8));
      }
    frame.resize(size_t(kW) * kH * 3);
    for (auto& b : frame) b = uint8_t(rng());
    // A slightly rotated, slightly enlarged face near the frame centre.
    const double a = 4.0 * 3.14159265358979 / 180, s = 1.1;
    const double c = std::cos(a) * s, n = std::sin(a) * s, h = (kS - 1) / 2.0;
    const double v[6] = {c, -n, 960 - c * h + n * h, n, c, 500 - n * h - c * h};
    for (int i = 0; i < 6; ++i) M[i] = float(v[i]);
  }
};

Data& data() {
  static Data d;
  return d;
}

double g_leMs = 0, g_cvMs = 0;

void BM_PasteLe(benchmark::State& state) {
  unsetenv("LE_PASTE_FAST");
  unsetenv("LE_PASTE_KSIZE");
  Data& d = data();
  le::Paste paste(d.mask, kS, kUnsharp);
  std::vector<uint8_t> frame = d.frame;
  paste.composite(d.crop.data(), 255.0f, d.M, frame.data(), kW, kH);  // warm-up
  const auto t0 = std::chrono::steady_clock::now();
  for (auto _ : state) {
    paste.composite(d.crop.data(), 255.0f, d.M, frame.data(), kW, kH);
    benchmark::DoNotOptimize(frame.data());
  }
  const double ms = std::chrono::duration<double, std::milli>(
                        std::chrono::steady_clock::now() - t0).count();
  g_leMs = ms / double(state.iterations());
  state.counters["ms_per_frame"] = g_leMs;
  state.counters["threads"] = le::pool::threads();
}
BENCHMARK(BM_PasteLe)->Unit(benchmark::kMillisecond)->UseRealTime();

#ifdef LE_BENCH_OPENCV
void BM_PasteOpenCV(benchmark::State& state) {
  Data& d = data();
  std::vector<uint8_t> frameBuf = d.frame;
  cv::Mat frame(kH, kW, CV_8UC3, frameBuf.data());
  cv::Mat mask8(kS, kS, CV_8UC1, d.mask.data());
  cv::Mat maskF;
  mask8.convertTo(maskF, CV_32F, 1.0 / 255);
  cv::Matx23d fwd(d.M[0], d.M[1], d.M[2], d.M[3], d.M[4], d.M[5]);
  // Bounding box of the placed crop, as the compositor visits it.
  float x0 = 1e9f, x1 = -1e9f, y0 = 1e9f, y1 = -1e9f;
  for (float cy : {-4.0f, kS + 3.0f})
    for (float cx : {-4.0f, kS + 3.0f}) {
      const float X = d.M[0] * cx + d.M[1] * cy + d.M[2], Y = d.M[3] * cx + d.M[4] * cy + d.M[5];
      x0 = std::min(x0, X); x1 = std::max(x1, X); y0 = std::min(y0, Y); y1 = std::max(y1, Y);
    }
  const cv::Rect box = cv::Rect(cv::Point(int(std::floor(x0)), int(std::floor(y0))),
                                cv::Point(int(std::ceil(x1)) + 1, int(std::ceil(y1)) + 1)) &
                       cv::Rect(0, 0, kW, kH);
  // Frame -> crop map for the box: inverse of the crop -> frame map, shifted.
  cv::Matx23d shifted = fwd;
  shifted(0, 2) -= box.x;
  shifted(1, 2) -= box.y;
  cv::Matx23d inv;
  cv::invertAffineTransform(shifted, inv);
  cv::Mat planes[3], blur, sharp, colour, colour8, alpha, beta;
  auto once = [&] {
    for (int c = 0; c < 3; ++c) {
      cv::Mat src(kS, kS, CV_32F, const_cast<float*>(d.crop.data()) + size_t(c) * kS * kS);
      src.convertTo(planes[c], CV_32F, 255.0);
      cv::GaussianBlur(planes[c], blur, cv::Size(13, 13), 2.0, 2.0, cv::BORDER_REFLECT_101);
      cv::addWeighted(planes[c], 1.0 + 1.3, blur, -1.3, 0.0, sharp);
      cv::min(cv::max(sharp, 0.0), 255.0, planes[c]);
    }
    cv::merge(planes, 3, sharp);
    cv::warpAffine(sharp, colour, inv, box.size(), cv::INTER_LANCZOS4 | cv::WARP_INVERSE_MAP,
                   cv::BORDER_CONSTANT);
    cv::warpAffine(maskF, alpha, inv, box.size(), cv::INTER_LINEAR | cv::WARP_INVERSE_MAP,
                   cv::BORDER_CONSTANT);
    colour.convertTo(colour8, CV_8U);
    cv::subtract(1.0, alpha, beta);
    cv::Mat roi = frame(box);
    cv::blendLinear(colour8, roi, alpha, beta, roi);
  };
  once();  // warm-up, allocates the scratch matrices
  const auto t0 = std::chrono::steady_clock::now();
  for (auto _ : state) {
    once();
    benchmark::DoNotOptimize(frameBuf.data());
  }
  const double ms = std::chrono::duration<double, std::milli>(
                        std::chrono::steady_clock::now() - t0).count();
  g_cvMs = ms / double(state.iterations());
  state.counters["ms_per_frame"] = g_cvMs;
  state.counters["threads"] = cv::getNumThreads();
}
BENCHMARK(BM_PasteOpenCV)->Unit(benchmark::kMillisecond)->UseRealTime();
#endif

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (g_leMs > 0) std::printf("paste 512 -> 1080p: le::Paste %.2f ms/frame\n", g_leMs);
#ifdef LE_BENCH_OPENCV
  if (g_leMs > 0 && g_cvMs > 0) {
    std::printf("paste 512 -> 1080p: OpenCV baseline %.2f ms/frame; baseline / le::Paste = %.2fx\n",
                g_cvMs, g_cvMs / g_leMs);
  }
#else
  std::printf("paste: OpenCV baseline not built (not found at configure time)\n");
#endif
  return 0;
}
