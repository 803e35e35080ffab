// Vector kernels, bit-exact against independent scalar references at
// every compiled target this processor supports.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "compose/le_simd.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace {

using le::simd::compiledTargets;
using le::simd::ScopedTarget;
using le::simd::targetName;

uint32_t bitsOf(float f) {
  uint32_t b;
  std::memcpy(&b, &f, 4);
  return b;
}
float floatOf(uint32_t b) {
  float f;
  std::memcpy(&f, &b, 4);
  return f;
}

// ---- Independent references (double arithmetic, rint, ldexp) ---------------

// Half -> float. NaN: quiet, sign and payload kept (the F16C rule).
float refHalfToFloat(uint16_t h) {
  const bool neg = h & 0x8000;
  const int e = (h >> 10) & 0x1F;
  const int m = h & 0x3FF;
  if (e == 31) {
    return floatOf((neg ? 0x80000000u : 0u) | 0x7F800000u | (uint32_t(m) << 13) |
                   (m ? 0x400000u : 0u));
  }
  const double mag = e == 0 ? std::ldexp(double(m), -24) : std::ldexp(1.0 + m / 1024.0, e - 15);
  return static_cast<float>(neg ? -mag : mag);
}

// Float -> half, round to nearest even. keepNaN: NaN -> quiet NaN with the top
// payload bits (vector rule); otherwise NaN -> infinity (le::f32ToF16).
uint16_t refFloatToHalf(float f, bool keepNaN) {
  const uint32_t b = bitsOf(f);
  const uint16_t sign = (b >> 16) & 0x8000;
  if (std::isnan(f)) {
    return keepNaN ? uint16_t(sign | 0x7E00 | ((b >> 13) & 0x3FF)) : uint16_t(sign | 0x7C00);
  }
  const double a = std::fabs(double(f));
  if (a >= 65520.0) return sign | 0x7C00;  // also infinity
  if (a < std::ldexp(1.0, -14)) {
    const double q = std::rint(a * std::ldexp(1.0, 24));  // default mode: ties to even
    return static_cast<uint16_t>(sign | static_cast<uint16_t>(q));  // 1024 = min normal
  }
  int E;
  std::frexp(a, &E);  // a = f * 2^E, f in [0.5, 1)
  const int e = E - 1;  // a in [2^e, 2^(e+1)), e in [-14, 15]
  const double q = std::rint(a * std::ldexp(1.0, 10 - e));  // in [1024, 2048]
  return static_cast<uint16_t>(sign | (((e + 15) << 10) + (static_cast<int>(q) - 1024)));
}

void refYuvPixel(int Y, int U, int V, uint8_t* o) {
  const int C = Y - 16, D = U - 128, E = V - 128;
  int R = (298 * C + 409 * E + 128) >> 8;
  int G = (298 * C - 100 * D - 208 * E + 128) >> 8;
  int B = (298 * C + 516 * D + 128) >> 8;
  auto cl = [](int v) { return uint8_t(v < 0 ? 0 : v > 255 ? 255 : v); };
  o[0] = cl(R);
  o[1] = cl(G);
  o[2] = cl(B);
}

void refYuvRow(const uint8_t* y, const uint8_t* u, const uint8_t* v, int w, int step,
               uint8_t* rgb) {
  for (int x = 0; x < w; ++x) refYuvPixel(y[x], u[step * (x / 2)], v[step * (x / 2)], rgb + 3 * x);
}

#if defined(__x86_64__)
__attribute__((target("f16c"))) uint16_t hwFloatToHalf(float f) {
  return static_cast<uint16_t>(_cvtss_sh(f, 0));
}
__attribute__((target("f16c"))) float hwHalfToFloat(uint16_t h) { return _cvtsh_ss(h); }
// n: a multiple of 8.
__attribute__((target("avx,f16c"))) void hwFloatsToHalves(const float* f, uint16_t* h, size_t n) {
  for (size_t i = 0; i < n; i += 8) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(h + i),
                     _mm256_cvtps_ph(_mm256_loadu_ps(f + i), _MM_FROUND_TO_NEAREST_INT));
  }
}
bool haveF16C() { return __builtin_cpu_supports("f16c"); }
#else
bool haveF16C() { return false; }
#endif

// A buffer whose last byte is followed by an inaccessible page, so a kernel
// that reads or writes one byte too far faults.
class Guarded {
 public:
  explicit Guarded(size_t bytes) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    const size_t dataPages = (bytes + page - 1) / page + 1;
    total_ = (dataPages + 1) * page;
    base_ = static_cast<uint8_t*>(
        mmap(nullptr, total_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    if (base_ == MAP_FAILED) throw std::runtime_error("mmap");
    mprotect(base_ + dataPages * page, page, PROT_NONE);
    data_ = base_ + dataPages * page - bytes;
  }
  ~Guarded() { munmap(base_, total_); }
  uint8_t* data() { return data_; }

 private:
  uint8_t* base_ = nullptr;
  uint8_t* data_ = nullptr;
  size_t total_ = 0;
};

std::vector<int64_t> targetsOrSkip() {
  auto t = compiledTargets();
  EXPECT_FALSE(t.empty());
  return t;
}

// ---------------------------------------------------------------------------

TEST(SimdDispatch, TargetsAndNames) {
  const auto ts = compiledTargets();
  ASSERT_FALSE(ts.empty());
  const std::vector<std::string> known = {"AVX3_DL", "AVX3", "AVX2", "SSE4", "SSSE3"};
  for (size_t i = 0; i < ts.size(); ++i) {
    EXPECT_NE(std::find(known.begin(), known.end(), targetName(ts[i])), known.end())
        << targetName(ts[i]);
    if (i) {
      EXPECT_LT(ts[i - 1], ts[i]);  // best (lowest bit) first
    }
  }
  // Every x86-64 processor we run on has SSSE3, our fallback.
  EXPECT_EQ(std::string(targetName(ts.back())), "SSSE3");
  // Without an override the wrappers take the best one, and target() names it.
  EXPECT_EQ(le::simd::dispatchedTarget(), ts.front());
  EXPECT_EQ(std::string(le::simd::target()), targetName(ts.front()));
  // Highway 1.0.3 would pick AVX3_DL on a processor with the Ice Lake set.
  if (__builtin_cpu_supports("avx512vbmi2") && __builtin_cpu_supports("avx512bitalg") &&
      __builtin_cpu_supports("avx512vpopcntdq") && __builtin_cpu_supports("vpclmulqdq") &&
      __builtin_cpu_supports("vaes")) {
    EXPECT_EQ(std::string(le::simd::target()), "AVX3_DL");
  }
}

TEST(SimdDispatch, ScopedTargetForcesAndRestores) {
  const auto ts = compiledTargets();
  for (int64_t t : ts) {
    {
      ScopedTarget st(t);
      EXPECT_EQ(le::simd::dispatchedTarget(), t) << targetName(t);
      EXPECT_EQ(std::string(le::simd::target()), targetName(t));
    }
    EXPECT_EQ(le::simd::dispatchedTarget(), ts.front());
  }
  EXPECT_THROW(ScopedTarget(0), std::invalid_argument);
  EXPECT_THROW(ScopedTarget(int64_t(1) << 62), std::invalid_argument);  // SCALAR: not compiled
  EXPECT_THROW(ScopedTarget(ts.front() | ts.back()), std::invalid_argument);
}

// ---------------------------------------------------------------------------
// Scalar le::f32ToF16 and the reference itself.

TEST(SimdScalar, OverflowSubnormalAndTieEdges) {
  EXPECT_EQ(le::f32ToF16(65520.0f), 0x7C00);
  EXPECT_EQ(le::f32ToF16(65504.0f), 0x7BFF);
  EXPECT_EQ(le::f32ToF16(65519.996f), 0x7BFF);
  EXPECT_EQ(le::f32ToF16(-65520.0f), 0xFC00);
  EXPECT_EQ(le::f32ToF16(65536.0f), 0x7C00);
  EXPECT_EQ(le::f32ToF16(1e30f), 0x7C00);
  EXPECT_EQ(le::f32ToF16(std::ldexp(1.0f, -25)), 0x0000);
  EXPECT_EQ(le::f32ToF16(-std::ldexp(1.0f, -25)), 0x8000);
  EXPECT_EQ(le::f32ToF16(3 * std::ldexp(1.0f, -26)), 0x0001);
  EXPECT_EQ(le::f32ToF16(std::ldexp(1.0f, -24)), 0x0001);
  EXPECT_EQ(le::f32ToF16(std::ldexp(1.0f, -14)), 0x0400);
  EXPECT_EQ(le::f32ToF16(1.0f), 0x3C00);
  EXPECT_EQ(le::f32ToF16(-2.0f), 0xC000);
  EXPECT_EQ(le::f32ToF16(0.0f), 0x0000);
  EXPECT_EQ(le::f32ToF16(-0.0f), 0x8000);
  EXPECT_EQ(le::f32ToF16(1e-30f), 0x0000);
  EXPECT_EQ(le::f32ToF16(1.0f + std::ldexp(1.0f, -11)), 0x3C00);  // tie -> even
  EXPECT_EQ(le::f32ToF16(1.0f + 3 * std::ldexp(1.0f, -11)), 0x3C02);  // tie -> even (up)
  EXPECT_EQ(le::f32ToF16(INFINITY), 0x7C00);
  EXPECT_EQ(le::f32ToF16(-INFINITY), 0xFC00);
  // NaN becomes infinity of the NaN's sign, unlike the vector kernel.
  EXPECT_EQ(le::f32ToF16(std::nanf("")), 0x7C00);
  EXPECT_EQ(le::f32ToF16(-std::nanf("")), 0xFC00);
  EXPECT_EQ(le::f32ToF16(floatOf(0x7F800001u)), 0x7C00);
  EXPECT_EQ(le::f32ToF16(floatOf(0xFFC12345u)), 0xFC00);
}

// Every float in a sweep: stride through all 2^32 bit patterns plus values
// at and around every rounding boundary of every exponent.
std::vector<float> sweepFloats() {
  std::vector<float> v;
  for (uint64_t b = 0; b < (uint64_t(1) << 32); b += 251) v.push_back(floatOf(uint32_t(b)));
  std::mt19937 rng(7);
  for (uint32_t sign = 0; sign < 2; ++sign) {
    for (uint32_t e = 0; e < 256; ++e) {
      for (int rep = 0; rep < 3; ++rep) {
        const uint32_t base = rng() & 0x7FFFFFu;
        for (int k = 0; k < 23; ++k) {
          const uint32_t above = base & ~((2u << k) - 1) & 0x7FFFFFu;
          for (uint32_t odd : {0u, 2u << k}) {
            const uint32_t hi = (above ^ odd) & 0x7FFFFFu;
            for (uint32_t low : {1u << k, (1u << k) - 1, (1u << k) + 1, 0u, (2u << k) - 1}) {
              v.push_back(floatOf((sign << 31) | (e << 23) | ((hi | low) & 0x7FFFFFu)));
            }
          }
        }
      }
    }
  }
  for (float f : {65504.f, 65519.f, 65520.f, 65535.f, 65536.f, 1e-8f, 5.96046e-8f}) {
    v.push_back(f);
    v.push_back(-f);
  }
  return v;
}

TEST(SimdScalar, ScalarMatchesReferenceOnTheSweep) {
  const auto fs = sweepFloats();
  size_t bad = 0;
  for (float f : fs) {
    if (le::f32ToF16(f) != refFloatToHalf(f, false)) {
      if (++bad < 10) ADD_FAILURE() << std::hex << bitsOf(f);
    }
    if (le::simd::scalar::f32ToF16(f) != refFloatToHalf(f, true)) {
      if (++bad < 10) ADD_FAILURE() << "keepNaN " << std::hex << bitsOf(f);
    }
  }
  EXPECT_EQ(bad, 0u);
}

TEST(SimdScalar, ReferenceAgreesWithHardwareF16C) {
  if (!haveF16C()) GTEST_SKIP() << "no F16C";
#if defined(__x86_64__)
  size_t bad = 0;
  for (float f : sweepFloats()) {
    if (hwFloatToHalf(f) != refFloatToHalf(f, true) && ++bad < 10) {
      ADD_FAILURE() << std::hex << bitsOf(f);
    }
  }
  for (uint32_t h = 0; h < 65536; ++h) {
    if (bitsOf(hwHalfToFloat(uint16_t(h))) != bitsOf(refHalfToFloat(uint16_t(h))) && ++bad < 20) {
      ADD_FAILURE() << std::hex << h;
    }
  }
  EXPECT_EQ(bad, 0u);
#endif
}

// ---------------------------------------------------------------------------
// Conversions at every target.

TEST(SimdKernels, F16ToF32AllHalvesEveryTarget) {
  std::vector<uint16_t> all(65536);
  for (uint32_t i = 0; i < 65536; ++i) all[i] = uint16_t(i);
  std::vector<uint32_t> want(65536);
  for (uint32_t i = 0; i < 65536; ++i) want[i] = bitsOf(refHalfToFloat(uint16_t(i)));
  EXPECT_EQ(refHalfToFloat(0x0001), std::ldexp(1.0f, -24));
  EXPECT_EQ(refHalfToFloat(0x3C00), 1.0f);
  for (int64_t t : targetsOrSkip()) {
    ScopedTarget st(t);
    SCOPED_TRACE(targetName(t));
    std::vector<float> got(65536 + 1, 123.0f);
    le::simd::f16ToF32(all.data(), got.data(), 65536);
    size_t bad = 0;
    for (uint32_t i = 0; i < 65536; ++i) {
      if (bitsOf(got[i]) != want[i] && ++bad < 10) {
        ADD_FAILURE() << std::hex << "half " << i << " got " << bitsOf(got[i]) << " want "
                      << want[i];
      }
    }
    EXPECT_EQ(bad, 0u);
    EXPECT_EQ(got[65536], 123.0f);  // nothing written past n
    // The smallest subnormal and one.
    const uint16_t ex[2] = {0x0001, 0x3C00};
    float o[2];
    le::simd::f16ToF32(ex, o, 2);
    EXPECT_EQ(o[0], std::ldexp(1.0f, -24));
    EXPECT_EQ(o[1], 1.0f);
  }
}

TEST(SimdKernels, F32ToF16SweepEveryTarget) {
  const auto fs = sweepFloats();
  std::vector<uint16_t> want(fs.size());
  for (size_t i = 0; i < fs.size(); ++i) want[i] = refFloatToHalf(fs[i], true);
  for (int64_t t : targetsOrSkip()) {
    ScopedTarget st(t);
    SCOPED_TRACE(targetName(t));
    std::vector<uint16_t> got(fs.size() + 1, 0xABCD);
    le::simd::f32ToF16(fs.data(), got.data(), fs.size());
    size_t bad = 0;
    for (size_t i = 0; i < fs.size(); ++i) {
      if (got[i] != want[i] && ++bad < 10) {
        ADD_FAILURE() << std::hex << "float " << bitsOf(fs[i]) << " got " << got[i] << " want "
                      << want[i];
      }
    }
    EXPECT_EQ(bad, 0u);
    EXPECT_EQ(got[fs.size()], 0xABCD);
  }
}

// All 2^32 floats at every target against the processor's own F16C
// conversion. Opt-in (about half a minute): LE_TEST_EXHAUSTIVE=1.
TEST(SimdKernels, F32ToF16ExhaustiveEveryTarget) {
  if (!std::getenv("LE_TEST_EXHAUSTIVE")) GTEST_SKIP() << "set LE_TEST_EXHAUSTIVE=1";
  if (!haveF16C() || !__builtin_cpu_supports("avx")) GTEST_SKIP() << "no F16C/AVX";
#if defined(__x86_64__)
  const size_t kChunk = size_t(1) << 22;
  std::vector<float> f(kChunk);
  std::vector<uint16_t> want(kChunk), got(kChunk);
  const auto targets = compiledTargets();
  size_t bad = 0;
  for (uint64_t start = 0; start < (uint64_t(1) << 32); start += kChunk) {
    for (size_t i = 0; i < kChunk; ++i) f[i] = floatOf(uint32_t(start + i));
    hwFloatsToHalves(f.data(), want.data(), kChunk);
    for (int64_t t : targets) {
      ScopedTarget st(t);
      le::simd::f32ToF16(f.data(), got.data(), kChunk);
      if (got != want) {
        for (size_t i = 0; i < kChunk; ++i) {
          if (got[i] != want[i] && ++bad < 10) {
            ADD_FAILURE() << targetName(t) << std::hex << " float " << (start + i) << " got "
                          << got[i] << " want " << want[i];
          }
        }
      }
    }
    // The scalar rules too.
    for (size_t i = 0; i < kChunk; i += 1) {
      if (le::simd::scalar::f32ToF16(f[i]) != want[i] && ++bad < 10) {
        ADD_FAILURE() << "scalar " << std::hex << (start + i);
      }
    }
  }
  EXPECT_EQ(bad, 0u);
#endif
}

TEST(SimdKernels, F32ToF16EdgeCasesEveryTarget) {
  // Padded to 37 elements so each value goes through vector lanes AND, at
  // the end, through the scalar remainder.
  const float vals[] = {65520.f, 65504.f, std::ldexp(1.f, -25), 3 * std::ldexp(1.f, -26),
                        -65520.f, INFINITY, -INFINITY, std::nanf(""), -std::nanf(""),
                        floatOf(0x7F800001u), floatOf(0xFFBFFFFFu), -0.0f, 1.0f,
                        65519.996f, std::ldexp(1.f, -24), std::ldexp(1.f, -14)};
  const uint16_t want[] = {0x7C00, 0x7BFF, 0x0000, 0x0001, 0xFC00, 0x7C00, 0xFC00};
  for (int64_t t : targetsOrSkip()) {
    ScopedTarget st(t);
    SCOPED_TRACE(targetName(t));
    for (size_t pos : {size_t(0), size_t(5), size_t(36)}) {
      for (float v : vals) {
        std::vector<float> in(37, 0.5f);
        in[pos] = v;
        std::vector<uint16_t> out(37);
        le::simd::f32ToF16(in.data(), out.data(), in.size());
        EXPECT_EQ(out[pos], refFloatToHalf(v, true)) << std::hex << bitsOf(v) << " at " << pos;
      }
      std::vector<float> in(37, 0.5f);
      std::copy(std::begin(vals), std::begin(vals) + 7, in.begin());
      std::vector<uint16_t> out(37);
      le::simd::f32ToF16(in.data(), out.data(), in.size());
      for (int i = 0; i < 7; ++i) EXPECT_EQ(out[i], want[i]) << i;
    }
    // NaN stays a NaN in the vector kernel, with its sign.
    float nanIn[16];
    for (auto& f : nanIn) f = -std::nanf("");
    uint16_t h[16];
    le::simd::f32ToF16(nanIn, h, 16);
    for (uint16_t x : h) {
      EXPECT_EQ(x & 0x7C00, 0x7C00);
      EXPECT_NE(x & 0x3FF, 0);
      EXPECT_EQ(x & 0x8000, 0x8000);
    }
  }
}

TEST(SimdKernels, RemaindersAndEmptyEveryTarget) {
  std::mt19937 rng(11);
  for (int64_t t : targetsOrSkip()) {
    ScopedTarget st(t);
    SCOPED_TRACE(targetName(t));
    for (size_t n = 0; n <= 70; ++n) {
      std::vector<float> f(n + 1), b(n + 1);
      std::vector<uint16_t> h(n + 1);
      for (size_t i = 0; i < n; ++i) {
        f[i] = floatOf(rng());
        if (i % 3 == 0) f[i] = std::ldexp(float(int(rng() % 2000) - 1000), int(rng() % 40) - 30);
        h[i] = uint16_t(rng());
        b[i] = std::ldexp(float(int(rng() % 2000) - 1000), int(rng() % 20) - 10);
      }
      // f32 -> f16
      std::vector<uint16_t> oh(n + 1, 0x5A5A);
      le::simd::f32ToF16(f.data(), oh.data(), n);
      for (size_t i = 0; i < n; ++i) ASSERT_EQ(oh[i], refFloatToHalf(f[i], true)) << n << " " << i;
      ASSERT_EQ(oh[n], 0x5A5A) << n;
      // f16 -> f32
      std::vector<float> of(n + 1, 7.0f);
      le::simd::f16ToF32(h.data(), of.data(), n);
      for (size_t i = 0; i < n; ++i) ASSERT_EQ(bitsOf(of[i]), bitsOf(refHalfToFloat(h[i]))) << n;
      ASSERT_EQ(of[n], 7.0f);
      // roundF16Mul
      std::vector<float> om(n + 1, 7.0f);
      le::simd::roundF16Mul(f.data(), b.data(), om.data(), n);
      for (size_t i = 0; i < n; ++i) {
        const float want = refHalfToFloat(refFloatToHalf(f[i], true)) * b[i];
        if (std::isnan(want)) {
          ASSERT_TRUE(std::isnan(om[i]));
        } else {
          ASSERT_EQ(bitsOf(om[i]), bitsOf(want)) << n << " " << i;
        }
      }
      ASSERT_EQ(om[n], 7.0f);
    }
    // n = 0 with null pointers touches nothing.
    le::simd::f32ToF16(nullptr, nullptr, 0);
    le::simd::f16ToF32(nullptr, nullptr, 0);
    le::simd::roundF16Mul(nullptr, nullptr, nullptr, 0);
    le::simd::rgb8ToPlanarF16(nullptr, nullptr, 0, 0);
  }
}

TEST(SimdKernels, KernelsStayInsideTheirBuffers) {
  for (int64_t t : targetsOrSkip()) {
    ScopedTarget st(t);
    SCOPED_TRACE(targetName(t));
    for (size_t n : {size_t(1), size_t(3), size_t(17), size_t(63), size_t(64), size_t(65)}) {
      Guarded src(n * 4), dst(n * 4), b(n * 4), rgb(n * 3), planes(n * 3 * 2);
      std::memset(src.data(), 0x3C, n * 4);
      std::memset(b.data(), 0x3F, n * 4);
      std::memset(rgb.data(), 0x80, n * 3);
      le::simd::f32ToF16(reinterpret_cast<float*>(src.data()),
                         reinterpret_cast<uint16_t*>(dst.data() + n * 2), n);
      le::simd::f16ToF32(reinterpret_cast<uint16_t*>(src.data() + n * 2),
                         reinterpret_cast<float*>(dst.data()), n);
      le::simd::roundF16Mul(reinterpret_cast<float*>(src.data()),
                            reinterpret_cast<float*>(b.data()),
                            reinterpret_cast<float*>(dst.data()), n);
      le::simd::rgb8ToPlanarF16(rgb.data(), reinterpret_cast<uint16_t*>(planes.data()), n, n);
    }
  }
}

TEST(SimdKernels, RoundF16MulSpecificValues) {
  const float a[] = {1.0f, 65520.f, 3 * std::ldexp(1.f, -26), 1.0f + std::ldexp(1.f, -11),
                     0.1f, -0.1f, 2049.f, 1e-9f};
  const float b[] = {2.0f, 1.0f, 1.0f, 1.0f, 3.0f, 3.0f, 1.0f, 5.0f};
  for (int64_t t : targetsOrSkip()) {
    ScopedTarget st(t);
    SCOPED_TRACE(targetName(t));
    float out[8];
    le::simd::roundF16Mul(a, b, out, 8);
    EXPECT_EQ(out[0], 2.0f);
    EXPECT_EQ(out[1], INFINITY);
    EXPECT_EQ(out[2], std::ldexp(1.f, -24));
    EXPECT_EQ(out[3], 1.0f);
    EXPECT_EQ(out[4], refHalfToFloat(0x2E66) * 3.0f);  // half(0.1) = 0x2E66
    EXPECT_EQ(out[5], -refHalfToFloat(0x2E66) * 3.0f);
    EXPECT_EQ(out[6], 2048.f);  // 2049 ties to even 2048 at half precision
    EXPECT_EQ(out[7], 0.0f);
  }
}

TEST(SimdKernels, Rgb8ToPlanarF16EveryTarget) {
  uint16_t lut[256];
  for (int v = 0; v < 256; ++v) lut[v] = refFloatToHalf(float(v) / 255.0f, true);
  EXPECT_EQ(lut[0], 0x0000);
  EXPECT_EQ(lut[255], 0x3C00);
  std::mt19937 rng(3);
  for (int64_t t : targetsOrSkip()) {
    ScopedTarget st(t);
    SCOPED_TRACE(targetName(t));
    for (size_t n : {size_t(0), size_t(1), size_t(5), size_t(15), size_t(16), size_t(17),
                     size_t(63), size_t(64), size_t(65), size_t(130), size_t(256),
                     size_t(1000)}) {
      std::vector<uint8_t> rgb(3 * n);
      for (size_t i = 0; i < 3 * n; ++i) rgb[i] = uint8_t(n == 256 ? (i / 3 + i % 3 * 85) : rng());
      const size_t stride = n + 9;
      std::vector<uint16_t> dst(3 * stride, 0xEEEE);
      le::simd::rgb8ToPlanarF16(rgb.data(), dst.data(), stride, n);
      for (size_t c = 0; c < 3; ++c) {
        for (size_t i = 0; i < stride; ++i) {
          const uint16_t want = i < n ? lut[rgb[3 * i + c]] : 0xEEEE;
          ASSERT_EQ(dst[c * stride + i], want) << "n=" << n << " c=" << c << " i=" << i;
        }
      }
    }
  }
}

// ---------------------------------------------------------------------------
// YUV 4:2:0 row to RGB24.

TEST(SimdYuv, BlackWhiteAndRedEveryTarget) {
  for (int64_t t : targetsOrSkip()) {
    ScopedTarget st(t);
    SCOPED_TRACE(targetName(t));
    struct Px {
      uint8_t Y, U, V, R, G, B;
    };
    const Px px[] = {{16, 128, 128, 0, 0, 0}, {235, 128, 128, 255, 255, 255},
                     {81, 90, 240, 255, 0, 0}};
    for (const Px& p : px) {
      for (int w : {1, 2, 4, 5, 8, 16, 33, 64}) {
        std::vector<uint8_t> y(w, p.Y), u((w + 1) / 2, p.U), v((w + 1) / 2, p.V);
        std::vector<uint8_t> rgb(3 * w, 0x11);
        le::simd::yuv420RowToRgb24(y.data(), u.data(), v.data(), w, 1, rgb.data());
        for (int x = 0; x < w; ++x) {
          EXPECT_EQ(rgb[3 * x + 0], p.R) << int(p.Y) << " w=" << w << " x=" << x;
          EXPECT_EQ(rgb[3 * x + 1], p.G);
          EXPECT_EQ(rgb[3 * x + 2], p.B);
        }
      }
    }
  }
}

TEST(SimdYuv, AllYUVCombinationsEveryTarget) {
  // Row v: pixel x has Y = x & 255 and U = x >> 8 (pairs share U), V = row.
  const int w = 65536;
  std::vector<uint8_t> y(w), u(w / 2), uv(w);
  for (int x = 0; x < w; ++x) y[x] = uint8_t(x & 255);
  for (int j = 0; j < w / 2; ++j) u[j] = uint8_t((2 * j) >> 8);
  std::vector<std::vector<uint8_t>> want(256);
  for (int V = 0; V < 256; ++V) {
    std::vector<uint8_t> v(w / 2, uint8_t(V));
    want[V].resize(3 * w);
    refYuvRow(y.data(), u.data(), v.data(), w, 1, want[V].data());
  }
  for (int64_t t : targetsOrSkip()) {
    ScopedTarget st(t);
    SCOPED_TRACE(targetName(t));
    std::vector<uint8_t> rgb(3 * w);
    for (int V = 0; V < 256; ++V) {
      std::vector<uint8_t> v(w / 2, uint8_t(V));
      le::simd::yuv420RowToRgb24(y.data(), u.data(), v.data(), w, 1, rgb.data());
      ASSERT_EQ(rgb, want[V]) << "planar V=" << V;
      // The same through an interleaved (NV12) chroma row.
      for (int j = 0; j < w / 2; ++j) {
        uv[2 * j] = u[j];
        uv[2 * j + 1] = uint8_t(V);
      }
      le::simd::yuv420RowToRgb24(y.data(), uv.data(), uv.data() + 1, w, 2, rgb.data());
      ASSERT_EQ(rgb, want[V]) << "nv12 V=" << V;
    }
  }
}

TEST(SimdYuv, WidthsRemaindersLayoutsAndBoundsEveryTarget) {
  std::mt19937 rng(5);
  for (int64_t t : targetsOrSkip()) {
    ScopedTarget st(t);
    SCOPED_TRACE(targetName(t));
    // Up to two full groups of the widest vectors and every remainder.
    for (int w = 0; w <= 200; ++w) {
      const int cw = (w + 1) / 2;
      std::vector<uint8_t> yv(w), uvals(cw), vvals(cw);
      for (auto& b : yv) b = uint8_t(rng());
      for (auto& b : uvals) b = uint8_t(rng());
      for (auto& b : vvals) b = uint8_t(rng());
      std::vector<uint8_t> want(3 * w);
      refYuvRow(yv.data(), uvals.data(), vvals.data(), w, 1, want.data());
      // Inputs end right before an inaccessible page: no over-read.
      Guarded gy(w), gu(cw), gv(cw), gnv(2 * cw), gsu(2 * cw - (cw ? 1 : 0)),
          gsv(2 * cw - (cw ? 1 : 0)), out(3 * w);
      std::copy(yv.begin(), yv.end(), gy.data());
      std::copy(uvals.begin(), uvals.end(), gu.data());
      std::copy(vvals.begin(), vvals.end(), gv.data());
      for (int j = 0; j < cw; ++j) {
        gnv.data()[2 * j] = uvals[j];
        gnv.data()[2 * j + 1] = vvals[j];
        gsu.data()[2 * j] = uvals[j];  // separate planes with a step of 2,
        gsv.data()[2 * j] = vvals[j];  // the last sample is the last byte
        if (j + 1 < cw) gsu.data()[2 * j + 1] = gsv.data()[2 * j + 1] = 0xCC;
      }
      // Planar.
      std::fill_n(out.data(), 3 * w, uint8_t(0));
      le::simd::yuv420RowToRgb24(gy.data(), gu.data(), gv.data(), w, 1, out.data());
      ASSERT_TRUE(std::equal(want.begin(), want.end(), out.data())) << "planar w=" << w;
      // NV12 (v = u + 1).
      std::fill_n(out.data(), 3 * w, uint8_t(0));
      le::simd::yuv420RowToRgb24(gy.data(), gnv.data(), gnv.data() + 1, w, 2, out.data());
      ASSERT_TRUE(std::equal(want.begin(), want.end(), out.data())) << "nv12 w=" << w;
      // Step 2, separate buffers.
      std::fill_n(out.data(), 3 * w, uint8_t(0));
      le::simd::yuv420RowToRgb24(gy.data(), gsu.data(), gsv.data(), w, 2, out.data());
      ASSERT_TRUE(std::equal(want.begin(), want.end(), out.data())) << "step2 w=" << w;
      // The scalar loop gives the same (width 5: 4 vector pixels + 1 scalar).
      std::vector<uint8_t> sc(3 * w);
      le::simd::scalar::yuv420RowToRgb24(yv.data(), uvals.data(), vvals.data(), w, 1, sc.data());
      ASSERT_EQ(sc, want) << w;
    }
    // Nothing written past 3*width.
    std::vector<uint8_t> y(8, 100), u(4, 60), v(4, 200), rgb(3 * 8, 0x77);
    le::simd::yuv420RowToRgb24(y.data(), u.data(), v.data(), 5, 1, rgb.data());
    for (int i = 15; i < 24; ++i) EXPECT_EQ(rgb[i], 0x77) << i;
    le::simd::yuv420RowToRgb24(y.data(), u.data(), v.data(), 0, 1, rgb.data());
    le::simd::yuv420RowToRgb24(y.data(), u.data(), v.data(), -3, 1, rgb.data());
    for (int i = 15; i < 24; ++i) EXPECT_EQ(rgb[i], 0x77) << i;
  }
}

TEST(SimdYuv, Width5VectorPlusScalarEqualsScalar) {
  const uint8_t y[5] = {16, 81, 235, 128, 200};
  const uint8_t u[3] = {90, 128, 240};
  const uint8_t v[3] = {240, 128, 16};
  uint8_t scalarOut[15], ref[15];
  le::simd::scalar::yuv420RowToRgb24(y, u, v, 5, 1, scalarOut);
  refYuvRow(y, u, v, 5, 1, ref);
  EXPECT_EQ(0, std::memcmp(scalarOut, ref, 15));
  for (int64_t t : targetsOrSkip()) {
    ScopedTarget st(t);
    uint8_t out[15];
    le::simd::yuv420RowToRgb24(y, u, v, 5, 1, out);
    EXPECT_EQ(0, std::memcmp(out, ref, 15)) << targetName(t);
    EXPECT_EQ(out[3], 255);  // Y 81 U 90 V 240 -> red
    EXPECT_EQ(out[4], 0);
    EXPECT_EQ(out[5], 0);
  }
}

TEST(SimdYuv, OtherChromaStepsUseTheScalarRule) {
  const uint8_t y[9] = {16, 50, 90, 130, 170, 210, 235, 20, 240};
  uint8_t u[15], v[15];
  for (int i = 0; i < 15; ++i) {
    u[i] = uint8_t(20 * i);
    v[i] = uint8_t(250 - 15 * i);
  }
  uint8_t ref[27], out[27];
  refYuvRow(y, u, v, 9, 3, ref);
  for (int64_t t : targetsOrSkip()) {
    ScopedTarget st(t);
    le::simd::yuv420RowToRgb24(y, u, v, 9, 3, out);
    EXPECT_EQ(0, std::memcmp(out, ref, 27)) << targetName(t);
  }
}


// ---------------------------------------------------------------------------
// Teeth retrieval terms and the 3x3 convolution.

// The retrieval term of one pixel with the test's own half rounding.
float refRoundHalf(float v) { return refHalfToFloat(refFloatToHalf(v, true)); }
float refTerm(const std::vector<uint16_t>& a, const std::vector<uint16_t>& b, size_t n, size_t i,
              float w) {
  float s = 0.0f;
  for (size_t c = 0; c < 3; ++c) {
    const float d = refRoundHalf(std::fabs(refHalfToFloat(a[c * n + i]) - refHalfToFloat(b[c * n + i])));
    s = c == 0 ? d : s + d;
  }
  return refRoundHalf(refRoundHalf(s / 3.0f) * w);
}
// The documented order: 16 partials, term i into partial (i - first) % 16, then 0..15.
float refTermSum(const std::vector<uint16_t>& a, const std::vector<uint16_t>& b,
                 const std::vector<float>& w, size_t n, size_t first, size_t end) {
  float lanes[16] = {};
  for (size_t i = first; i < end; ++i) lanes[(i - first) % 16] += refTerm(a, b, n, i, w[i]);
  float total = lanes[0];
  for (int k = 1; k < 16; ++k) total += lanes[k];
  return total;
}
// A half in (-2, 2), subnormals included.
uint16_t smallHalf(std::mt19937& rng) {
  const uint16_t h = uint16_t(rng());
  return uint16_t((h & 0x83FF) | ((h >> 10) % 16) << 10);
}

TEST(SimdTeeth, RetrievalTermsBitExactEveryTargetAndScalar) {
  std::mt19937 rng(21);
  for (size_t n : {size_t(0), size_t(1), size_t(7), size_t(15), size_t(16), size_t(17), size_t(33),
                   size_t(64), size_t(100), size_t(1120)}) {
    std::vector<uint16_t> a(3 * n), b(3 * n), w16(n);
    std::vector<float> w16f(n), w32(n);
    for (size_t i = 0; i < 3 * n; ++i) {
      a[i] = smallHalf(rng);
      b[i] = i % 5 == 0 ? a[i] : smallHalf(rng);
    }
    for (size_t i = 0; i < n; ++i) {
      w16[i] = refFloatToHalf(float(rng() % 1000) / 700.0f, true);
      w16f[i] = refHalfToFloat(w16[i]);
      w32[i] = i % 4 == 0 ? 0.0f : float(rng() % 1000) / 999.0f;
    }
    const size_t first = n / 3, end = n - n / 5;
    const float pooled = refTermSum(a, b, w16f, n, 0, n);
    const float exact = refTermSum(a, b, w32, n, 0, n);
    const float range = refTermSum(a, b, w32, n, first, end);
    EXPECT_EQ(bitsOf(le::simd::scalar::retrieveTermPooled(a.data(), b.data(), w16.data(), n)), bitsOf(pooled));
    EXPECT_EQ(bitsOf(le::simd::scalar::retrieveTermExact(a.data(), b.data(), w32.data(), n)), bitsOf(exact));
    EXPECT_EQ(bitsOf(le::simd::scalar::retrieveTermExactRange(a.data(), b.data(), w32.data(), n, first, end)),
              bitsOf(range));
    for (int64_t t : targetsOrSkip()) {
      ScopedTarget st(t);
      SCOPED_TRACE(std::string(targetName(t)) + " n=" + std::to_string(n));
      EXPECT_EQ(bitsOf(le::simd::retrieveTermPooled(a.data(), b.data(), w16.data(), n)), bitsOf(pooled));
      EXPECT_EQ(bitsOf(le::simd::retrieveTermExact(a.data(), b.data(), w32.data(), n)), bitsOf(exact));
      EXPECT_EQ(bitsOf(le::simd::retrieveTermExactRange(a.data(), b.data(), w32.data(), n, first, end)),
                bitsOf(range));
    }
  }
  // A pixel whose channel differences are 0.5, 0.25, 0.125 with weight 1:
  // mean 0.875/3 at half precision (0x34AB).
  const std::vector<uint16_t> a = {0x3C00, 0x3C00, 0x3C00}, b = {0x3800, 0x3A00, 0x3B00};
  const std::vector<float> one = {1.0f};
  EXPECT_EQ(le::simd::retrieveTermExact(a.data(), b.data(), one.data(), 1), refHalfToFloat(0x34AB));
}

// Direct 3x3 convolution in double; also the sum of |terms| for the error bound.
void refConv(const std::vector<float>& in, size_t batch, size_t ip, size_t h, size_t w,
             const std::vector<float>& wt, const std::vector<float>& bias, size_t op,
             std::vector<double>& out, std::vector<double>& mag) {
  out.assign(batch * op * h * w, 0.0);
  mag.assign(out.size(), 0.0);
  for (size_t bb = 0; bb < batch; ++bb)
    for (size_t o = 0; o < op; ++o)
      for (size_t y = 0; y < h; ++y)
        for (size_t x = 0; x < w; ++x) {
          double s = bias[o], m = std::fabs(bias[o]);
          for (size_t c = 0; c < ip; ++c)
            for (int ky = 0; ky < 3; ++ky)
              for (int kx = 0; kx < 3; ++kx) {
                const long yy = long(y) + ky - 1, xx = long(x) + kx - 1;
                if (yy < 0 || xx < 0 || yy >= long(h) || xx >= long(w)) continue;
                const double t = double(wt[((o * ip + c) * 3 + ky) * 3 + kx]) *
                                 in[((bb * ip + c) * h + size_t(yy)) * w + size_t(xx)];
                s += t;
                m += std::fabs(t);
              }
          const size_t k = ((bb * op + o) * h + y) * w + x;
          out[k] = s;
          mag[k] = m;
        }
}

TEST(SimdTeeth, Conv3x3RangeMatchesDirectConvolution) {
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  const size_t batch = 2, ip = 3, op = 6;  // items 1..10: groups of four planes and single ones
  // Widths around one and two vectors (plus the two edge columns) of 4, 8
  // and 16 lanes, and wider rows with every kind of remainder.
  const struct { size_t h, w; } sizes[] = {{1, 1},  {2, 3},  {3, 2},  {5, 6},  {5, 7},  {3, 10}, {4, 18}, {9, 17},
                                           {2, 34}, {3, 33}, {4, 40}, {6, 35}, {13, 70}, {3, 81}};
  for (const auto& sz : sizes) {
    const size_t plane = sz.h * sz.w;
    std::vector<float> in(batch * ip * plane), wt(op * ip * 9), bias(op);
    for (auto& v : in) v = dist(rng);
    for (auto& v : wt) v = dist(rng);
    for (auto& v : bias) v = dist(rng);
    std::vector<double> ref, mag;
    refConv(in, batch, ip, sz.h, sz.w, wt, bias, op, ref, mag);
    // Items 1..6 of 8: items 0 and 7 stay as they were.
    auto check = [&](const std::vector<float>& out, const std::string& who) {
      for (size_t k = 0; k < out.size(); ++k) {
        const size_t item = k / plane;
        if (item == 0 || item == batch * op - 1) {
          ASSERT_EQ(out[k], -7.0f) << who << " item " << item;
          continue;
        }
        // Each path's recursive float sum is within (taps + 1) * 2^-24 * sum|terms|.
        const double tol = double(ip * 9 + 2) * std::ldexp(1.0, -24) * mag[k];
        ASSERT_NEAR(out[k], ref[k], tol) << who << " " << sz.h << "x" << sz.w << " k=" << k;
      }
    };
    std::vector<float> out(batch * op * plane, -7.0f);
    le::simd::scalar::conv3x3Range(in.data(), batch, ip, sz.h, sz.w, wt.data(), bias.data(), op, out.data(), 1,
                                   batch * op - 1);
    check(out, "scalar");
    for (int64_t t : targetsOrSkip()) {
      ScopedTarget st(t);
      std::fill(out.begin(), out.end(), -7.0f);
      le::simd::conv3x3Range(in.data(), batch, ip, sz.h, sz.w, wt.data(), bias.data(), op, out.data(), 1,
                             batch * op - 1);
      check(out, targetName(t));
    }
  }
}

}  // namespace
