// The motion engine's own arithmetic against plain re-implementations: FFT, mel
// energies and window analysis against a direct DFT; chunk cross-fade, smoothing
// and clamping against the generator run directly through ONNX Runtime.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <random>

#include "audio/le_motion.h"
#include "audio/motion_util.h"
#include "forge/forge_motion.h"
#include "onnxruntime_cxx_api.h"
#include "support/env.h"
#include "support/ort.h"
#include "support/tmpdir.h"

namespace {

using namespace le::motion;

std::vector<double> directMagnitudes(const float* x, const float* w) {
  std::vector<double> mag(kBins);
  for (int b = 0; b < kBins; ++b) {
    std::complex<double> s = 0;
    for (int n = 0; n < kFft; ++n) s += double(x[n]) * w[n] * std::polar(1.0, -2 * M_PI * b * n / kFft);
    mag[b] = std::abs(s);
  }
  return mag;
}

TEST(MotionAnalysis, FftMelAndWindowMatchDirectDft) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> u(-1.f, 1.f);
  std::vector<float> x(kWinSamples), w(kFft), binmat(size_t(kBins) * kMel);
  for (float& v : x) v = u(rng);
  for (float& v : w) v = 0.5f + 0.5f * u(rng);
  for (float& v : binmat) v = std::max(0.f, u(rng));
  const auto tw = fftTwiddles();
  ASSERT_EQ(tw.size(), 256u);

  std::vector<std::complex<float>> scratch(kFft);
  std::vector<float> mag(kBins), mel(kMel);
  magnitudes(x.data() + 100, w.data(), tw.data(), scratch.data(), mag.data());
  const auto ref = directMagnitudes(x.data() + 100, w.data());
  for (int b = 0; b < kBins; ++b) ASSERT_NEAR(mag[b], ref[b], 1e-3 * (1 + ref[b])) << "bin " << b;

  melEnergies(mag.data(), binmat.data(), mel.data());
  for (int k = 0; k < kMel; ++k) {
    double s = 0;
    for (int b = 0; b < kBins; ++b) s += ref[b] * binmat[size_t(b) * kMel + k];
    ASSERT_NEAR(mel[k], s, 1e-4 * (1 + s)) << "band " << k;
  }

  // Whole window: reflect padding at both ends, 21 frames 320 apart, band-major log.
  std::vector<float> padded(kPadded), out(size_t(kMel) * kMelFrames), mag2(kBins);
  analyseWindow(x.data(), w.data(), binmat.data(), tw.data(), padded.data(), scratch.data(), mag2.data(), out.data());
  std::vector<float> pad(kPadded);
  for (int i = 0; i < kPadded; ++i) {
    int j = i - kReflect;
    if (j < 0) j = -j;
    if (j >= kWinSamples) j = 2 * (kWinSamples - 1) - j;
    pad[i] = x[j];
  }
  for (int t : {0, 7, 20}) {
    const auto m = directMagnitudes(pad.data() + 320 * t, w.data());
    for (int k = 0; k < kMel; k += 13) {
      double s = 0;
      for (int b = 0; b < kBins; ++b) s += m[b] * binmat[size_t(b) * kMel + k];
      ASSERT_NEAR(out[size_t(k) * kMelFrames + t], std::log(s + 1e-8), 1e-4) << "frame " << t << " band " << k;
    }
  }
}

TEST(MotionAnalysis, PoseRotationAndWalk) {
  float logits[kPoseBins];
  for (int b = 0; b < kPoseBins; ++b) logits[b] = b == 40 ? 50.f : 0.f;  // nearly one-hot: 40*3 - 97.5
  EXPECT_NEAR(decodeAngle(logits), 22.5f, 1e-3);
  for (int b = 0; b < kPoseBins; ++b) logits[b] = 1000.f - float((b - 10) * (b - 10));  // huge logits stay finite
  EXPECT_NEAR(decodeAngle(logits), 10 * 3 - 97.5, 1e-2);

  float R[9];
  rotation(0, 0, 0, R);
  for (int i = 0; i < 9; ++i) EXPECT_NEAR(R[i], i % 4 == 0 ? 1.f : 0.f, 1e-6);
  rotation(20, -35, 50, R);  // orthonormal rows
  for (int a = 0; a < 3; ++a)
    for (int b = 0; b < 3; ++b) {
      float d = 0;
      for (int c = 0; c < 3; ++c) d += R[3 * a + c] * R[3 * b + c];
      EXPECT_NEAR(d, a == b ? 1.f : 0.f, 1e-5);
    }
  rotation(0, 90, 0, R);  // yaw alone: first row (cy cr, cy sr, -sy)
  EXPECT_NEAR(R[2], -1.f, 1e-6);

  Walk bounce{3, 1, false};
  std::vector<int> got;
  for (int i = 0; i < 9; ++i) got.push_back(bounce.next(5));
  EXPECT_EQ(got, (std::vector<int>{3, 4, 3, 2, 1, 0, 1, 2, 3}));
  Walk wrap{0, -1, true};
  got.clear();
  for (int i = 0; i < 4; ++i) got.push_back(wrap.next(5));
  EXPECT_EQ(got, (std::vector<int>{0, 4, 3, 2}));
  Walk single{0, -1, false};
  EXPECT_EQ(single.next(1), 0);
  EXPECT_EQ(single.next(1), 0);
}

// The generator's recorded output, blended by a plain re-implementation of the
// chunk rules, must equal the engine's final sequence.
TEST(MotionAnalysis, ChunkBlendSmoothAndClampMatchOracle) {
  le::test::TmpDir tmp;
  const std::string dir = tmp.str("motion"), dumpDir = tmp.str("dump");
  std::filesystem::create_directories(dumpDir);
  le::forge::writeMotionDir(dir);
  std::vector<float> audio = le::test::speechFixture();
  const std::vector<float> clip = audio;
  for (int r = 0; r < 2; ++r) audio.insert(audio.end(), clip.begin(), clip.end());  // 3+ chunks

  le_motion* m = nullptr;
  {
    le::test::ScopedEnv dump("LE_MOTION_DUMP", dumpDir.c_str());
    m = le_motion_create(dir.c_str(), 1, nullptr);
  }
  ASSERT_NE(m, nullptr) << le_motion_last_error();
  const auto frames = le::test::runOffline(m, audio);
  const int total = le_motion_total(m);
  ASSERT_EQ(total, int((audio.size() + 639) / 640));
  ASSERT_EQ(frames.count(), total);
  le_motion_destroy(m);

  const std::vector<float> cond = le::test::readArray<float>(dumpDir + "/cond.bin");
  const std::vector<float> fin = le::test::readArray<float>(dumpDir + "/final.bin");
  const std::vector<float> mm = le::test::readArray<float>(dir + "/v_min_max.bin");
  const std::vector<float> ch = le::test::readArray<float>(dir + "/ch_xs_info.bin");
  const int nFeat = int(cond.size() / kCond);
  ASSERT_GE(nFeat, total);
  ASSERT_EQ(fin.size(), size_t(total) * kMot);

  Ort::SessionOptions so;
  so.SetIntraOpNumThreads(1);
  Ort::Session gen(le::test::ortEnv(), (dir + "/lmdm.onnx").c_str(), so);
  auto mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);

  std::vector<float> ref = le::forge::motionCharacterVector(ch);

  auto smooth = [](std::vector<float>& seq, int from, int to) {  // inclusive, from unsmoothed values
    const std::vector<float> src = seq;
    const int len = int(seq.size() / kMot);
    for (int i = from; i <= to; ++i)
      for (int q = 0; q < kSmooth; ++q) {
        float s = 0;
        int n = 0;
        for (int j = std::max(i - 1, 0); j <= std::min(i + 1, len - 1); ++j, ++n) s += src[size_t(j) * kMot + q];
        seq[size_t(i) * kMot + q] = s / float(n);
      }
  };

  std::vector<float> seq;
  int chunks = 0;
  for (int c = 0; kStride * c < std::min(total, nFeat); ++c, ++chunks) {
    std::vector<float> in(size_t(kChunk) * kCond), out(size_t(kChunk) * kMot);
    for (int r = 0; r < kChunk; ++r) {
      const int f = std::min(kStride * c + r, nFeat - 1);
      std::copy_n(&cond[size_t(f) * kCond], kCond, &in[size_t(r) * kCond]);
    }
    const int64_t rs[2] = {1, kMot}, cs[3] = {1, kChunk, kCond};
    Ort::Value ins[2] = {Ort::Value::CreateTensor<float>(mem, ref.data(), ref.size(), rs, 2),
                         Ort::Value::CreateTensor<float>(mem, in.data(), in.size(), cs, 3)};
    const char* inNames[2] = {kGenRef, kGenCond};
    const char* outNames[1] = {kGenOut};
    auto res = gen.Run(Ort::RunOptions{nullptr}, inNames, ins, 2, outNames, 1);
    const float* o = res[0].GetTensorData<float>();
    std::copy(o, o + out.size(), out.begin());
    if (c == 0) {
      seq = out;
      smooth(seq, 0, kChunk - 1);
    } else {
      const int old = int(seq.size() / kMot);
      for (int k = 0; k < kFade; ++k)
        for (int q = 0; q < kMot; ++q) {
          float& v = seq[size_t(old - kFade + k) * kMot + q];
          v = v * (1 - k / float(kFade)) + out[size_t(k) * kMot + q] * (k / float(kFade));
        }
      seq.insert(seq.end(), out.begin() + kFade * kMot, out.end());
      smooth(seq, old - kFade, old);
    }
    const int len = int(seq.size() / kMot);
    std::copy_n(&seq[size_t(len - kFade - 1) * kMot], kMot, ref.begin());
  }
  ASSERT_GE(chunks, 3);
  seq.resize(size_t(total) * kMot);
  smooth(seq, 0, total - 1);
  int clamped = 0;
  for (int i = 0; i < total; ++i)
    for (int q = 0; q < kMot; ++q) {
      float& v = seq[size_t(i) * kMot + q];
      const float c = std::min(std::max(v, mm[q]), mm[kMot + q]);
      clamped += c != v;
      v = c;
    }
  EXPECT_GT(clamped, 0) << "the clip should reach the forged motion limits";
  for (size_t i = 0; i < seq.size(); ++i) ASSERT_NEAR(fin[i], seq[i], 1e-5) << "frame " << i / kMot << " comp " << i % kMot;
}

}  // namespace
