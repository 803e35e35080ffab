#include "ops/int8conv_vnni.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "compose/le_pool.h"
#include "onnxruntime_cxx_api.h"
#include "ops/int8conv_internal.h"
#include "ops/le_custom_op.h"

namespace le {

namespace int8conv {

void emit(const Epilogue& e, int64_t m0, int mCount, int64_t pix0, int pixCount, const int32_t* acc, int accStride,
          const int32_t* wsum) __attribute__((noinline));

void emit(const Epilogue& e, int64_t m0, int mCount, int64_t pix0, int pixCount, const int32_t* acc, int accStride,
          const int32_t* wsum) {
  for (int i = 0; i < mCount; ++i) {
    const int64_t m = m0 + i;
    const float mul = e.mul[m], b = e.bias[m];
    // zp*wsum can pass the int32 range even where acc does not.
    const int64_t corr = int64_t(e.zp) * wsum[i];
    float* dst = e.y + m * e.plane + pix0;
    for (int p = 0; p < pixCount; ++p) dst[p] = float(int64_t(acc[p * accStride + i]) - corr) * mul + b;
  }
}

}  // namespace int8conv

namespace {

using int8conv::Epilogue;
using int8conv::Geometry;
using int8conv::Weights;

const char kWho[] = "com.corvane.int8::Int8ConvVNNI: ";

[[noreturn]] void refuse(const std::string& why) { throw std::runtime_error(kWho + why); }

std::string shapeText(const std::vector<int64_t>& s) {
  std::string t = "[";
  for (size_t i = 0; i < s.size(); ++i) {
    if (i) t += ',';
    t += std::to_string(s[i]);
  }
  return t + "]";
}

// Every int32 sum stays exact while the taps times the channels of one output
// stay at or below this: 255 * 128 * 65536 < 2^31.
constexpr int64_t kMaxTapChannels = 65536;
// Attribute values above this are no convolution anyone means, and keeping
// them small keeps all index arithmetic far from int64 overflow.
constexpr int64_t kMaxAttr = int64_t(1) << 24;

// ---- processor paths ---------------------------------------------------------

std::atomic<int> gForced{int(Int8ConvPath::Auto)};

bool cpuHas(Int8ConvPath p) {
  static const bool avx2 = __builtin_cpu_supports("avx2");
  static const bool avxVnni = avx2 && __builtin_cpu_supports("avxvnni");
  static const bool avx512Vnni = avx2 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
                                 __builtin_cpu_supports("avx512vnni");
  switch (p) {
    case Int8ConvPath::Avx2: return avx2;
    case Int8ConvPath::AvxVnni: return avxVnni;
    case Int8ConvPath::Avx512Vnni: return avx512Vnni;
    default: return true;
  }
}

Int8ConvPath resolve(Int8ConvPath want) {
  // Best first; a pinned path starts the search at itself.
  static constexpr Int8ConvPath order[] = {Int8ConvPath::Avx512Vnni, Int8ConvPath::AvxVnni, Int8ConvPath::Avx2,
                                           Int8ConvPath::Portable};
  bool started = want == Int8ConvPath::Auto;
  for (Int8ConvPath p : order) {
    started = started || p == want;
    if (started && cpuHas(p)) return p;
  }
  return Int8ConvPath::Portable;
}

int8conv::SpanFn spanOf(Int8ConvPath p) {
  switch (p) {
    case Int8ConvPath::Avx2: return int8conv::spanAvx2;
    case Int8ConvPath::AvxVnni: return int8conv::spanAvxVnni;
    case Int8ConvPath::Avx512Vnni: return int8conv::spanAvx512Vnni;
    default: return nullptr;
  }
}

// ---- attributes -----------------------------------------------------------------

// An attribute's ints, or nothing when the node does not carry it. A present
// attribute of another type is refused rather than taken as absent.
std::optional<std::vector<int64_t>> intsAttr(const OrtKernelInfo* info, const char* name) {
  const OrtApi& api = Ort::GetApi();
  size_t n = 0;
  OrtStatus* st = api.KernelInfoGetAttributeArray_int64(info, name, nullptr, &n);
  if (st) {
    const std::string msg = api.GetErrorMessage(st);
    api.ReleaseStatus(st);
    if (msg.rfind("No attribute", 0) == 0) return std::nullopt;
    refuse(std::string("attribute ") + name + " must be a list of ints (" + msg + ")");
  }
  std::vector<int64_t> v(n);
  if (n) Ort::ThrowOnError(api.KernelInfoGetAttributeArray_int64(info, name, v.data(), &n));
  return v;
}

std::optional<int64_t> intAttr(const OrtKernelInfo* info, const char* name) {
  const OrtApi& api = Ort::GetApi();
  int64_t v = 0;
  OrtStatus* st = api.KernelInfoGetAttribute_int64(info, name, &v);
  if (st) {
    const std::string msg = api.GetErrorMessage(st);
    api.ReleaseStatus(st);
    if (msg.rfind("No attribute", 0) == 0) return std::nullopt;
    refuse(std::string("attribute ") + name + " must be an int (" + msg + ")");
  }
  return v;
}

std::optional<std::string> stringAttr(const OrtKernelInfo* info, const char* name) {
  const OrtApi& api = Ort::GetApi();
  size_t n = 0;
  OrtStatus* st = api.KernelInfoGetAttribute_string(info, name, nullptr, &n);
  if (st) {
    api.ReleaseStatus(st);
    return std::nullopt;
  }
  std::string s(n, '\0');
  Ort::ThrowOnError(api.KernelInfoGetAttribute_string(info, name, s.data(), &n));
  s.resize(n > 0 ? n - 1 : 0);  // the count includes the terminating zero
  return s;
}

std::vector<int64_t> listAttr(const OrtKernelInfo* info, const char* name, size_t count, int64_t def, int64_t lo) {
  const auto v = intsAttr(info, name);
  if (!v) return std::vector<int64_t>(count, def);
  if (v->size() != count)
    refuse(std::string("attribute ") + name + " needs " + std::to_string(count) +
           " values for a 2-D convolution, got " + shapeText(*v));
  for (int64_t x : *v)
    if (x < lo || x > kMaxAttr)
      refuse(std::string("attribute ") + name + " " + shapeText(*v) + " holds a value outside [" + std::to_string(lo) +
             ", " + std::to_string(kMaxAttr) + "]");
  return *v;
}

// ---- per-call steps ---------------------------------------------------------------

// The taps t in [0, k) with 0 <= i0 + t*step < size, as [lo, hi).
inline void validTaps(int64_t i0, int64_t step, int64_t k, int64_t size, int64_t& lo, int64_t& hi) {
  lo = i0 >= 0 ? 0 : (-i0 + step - 1) / step;
  hi = i0 > size - 1 ? 0 : std::min(k, (size - 1 - i0) / step + 1);
  if (hi < lo) hi = lo;
}

inline int32_t dot(const uint8_t* a, const int8_t* w, int64_t n) {
  int32_t s0 = 0, s1 = 0, s2 = 0, s3 = 0;
  for (int64_t i = 0; i < n; i += 4) {  // n is a multiple of 4
    s0 += int32_t(a[i]) * w[i];
    s1 += int32_t(a[i + 1]) * w[i + 1];
    s2 += int32_t(a[i + 2]) * w[i + 2];
    s3 += int32_t(a[i + 3]) * w[i + 3];
  }
  return s0 + s1 + s2 + s3;
}

// One output pixel, all output channels, only the taps inside the image.
void scalarPixel(const Geometry& g, const uint8_t* act, const Weights& w, int64_t oy, int64_t ox, const Epilogue& e) {
  const int64_t iy = oy * g.sH - g.pT, ix = ox * g.sW - g.pL;
  int64_t ky0, ky1, kx0, kx1;
  validTaps(iy, g.dH, g.kH, g.H, ky0, ky1);
  validTaps(ix, g.dW, g.kW, g.W, kx0, kx1);
  const int64_t pw = g.kW + 1, pstride = (g.kH + 1) * pw;
  constexpr int kChunk = 64;
  int32_t acc[kChunk], wsum[kChunk];
  for (int64_t m0 = 0; m0 < g.M; m0 += kChunk) {
    const int cnt = int(std::min<int64_t>(kChunk, g.M - m0));
    for (int i = 0; i < cnt; ++i) {
      const int64_t m = m0 + i, grp = m / g.Mg;
      const int8_t* wm = w.rows.data() + m * g.T * g.Cgp;
      const uint8_t* ag = act + grp * g.Cgp;
      int32_t s = 0;
      for (int64_t ky = ky0; ky < ky1; ++ky) {
        const uint8_t* arow = ag + (iy + ky * g.dH) * g.W * g.Ps;
        for (int64_t kx = kx0; kx < kx1; ++kx)
          s += dot(arow + (ix + kx * g.dW) * g.Ps, wm + (ky * g.kW + kx) * g.Cgp, g.Cgp);
      }
      const int32_t* P = w.prefix.data() + m * pstride;
      acc[i] = s;
      wsum[i] = P[ky1 * pw + kx1] - P[ky0 * pw + kx1] - P[ky1 * pw + kx0] + P[ky0 * pw + kx0];
    }
    int8conv::emit(e, m0, cnt, oy * g.Wo + ox, 1, acc, 1, wsum);
  }
}

Weights prepare(const Geometry& g, const int8_t* W, const std::vector<int64_t>& shape) {
  Weights w;
  w.shape = shape;
  w.rows.assign(size_t(g.M * g.T * g.Cgp), 0);
  w.blocks.assign(size_t(g.G * g.MB * g.T * g.C4 * 32), 0);
  const int64_t pw = g.kW + 1, pstride = (g.kH + 1) * pw;
  w.prefix.assign(size_t(g.M * pstride), 0);
  w.full.assign(size_t(g.M), 0);
  for (int64_t m = 0; m < g.M; ++m) {
    const int64_t grp = m / g.Mg, mg = m % g.Mg, b = mg / 8, lane = mg % 8;
    int32_t* P = w.prefix.data() + m * pstride;
    for (int64_t ky = 0; ky < g.kH; ++ky)
      for (int64_t kx = 0; kx < g.kW; ++kx) {
        const int64_t tap = ky * g.kW + kx;
        int32_t tapSum = 0;
        for (int64_t c = 0; c < g.Cg; ++c) {
          const int8_t v = W[((m * g.Cg + c) * g.kH + ky) * g.kW + kx];
          tapSum += v;
          w.rows[size_t((m * g.T + tap) * g.Cgp + c)] = v;
          w.blocks[size_t(((((grp * g.MB + b) * g.T + tap) * g.C4 + c / 4) * 8 + lane) * 4 + c % 4)] = v;
        }
        P[(ky + 1) * pw + kx + 1] = tapSum + P[ky * pw + kx + 1] + P[(ky + 1) * pw + kx] - P[ky * pw + kx];
      }
    w.full[size_t(m)] = P[g.kH * pw + g.kW];
  }
  return w;
}

void range(const float* x, size_t n, bool vector, float& lo, float& hi) {
  std::mutex mu;
  float l = 0.0f, h = 0.0f;
  bool finite = true;
  pool::parallelRange(n, 4096, [&](size_t b, size_t e) {
    float a = 0.0f, c = 0.0f;
    bool ok = true;
    if (vector) {
      ok = int8conv::rangeAvx(x + b, e - b, a, c);
    } else {
      for (size_t i = b; i < e; ++i) {
        const float v = x[i];
        ok = ok && (v - v == 0.0f);
        a = std::min(a, v);
        c = std::max(c, v);
      }
    }
    std::lock_guard<std::mutex> lk(mu);
    l = std::min(l, a);
    h = std::max(h, c);
    finite = finite && ok;
  });
  if (!finite)
    refuse("X holds a NaN or an infinity; an int8 convolution has no quantisation for it. Check the layer feeding it.");
  lo = l;
  hi = h;
}

// Nearest integer, ties to even, for |v| <= 2^22: adding and removing 1.5*2^23
// leaves the sum in a range whose spacing is exactly 1.
inline float roundEven(float v) {
  const float magic = 12582912.0f;
  return (v + magic) - magic;
}

void quantise(const Geometry& g, const float* x, float sx, int32_t zp, uint8_t* act) {
  const int64_t HW = g.H * g.W;
  const size_t pixels = size_t(g.N * HW);
  const float zpf = float(zp);
  pool::parallelRange(pixels, 1024, [&](size_t b, size_t e) {
    // Blocks of 64 pixels keep the strided byte writes inside the L1 cache
    // while the float reads run along each channel plane.
    for (size_t p0 = b; p0 < e;) {
      const int64_t n = int64_t(p0) / HW, pin = int64_t(p0) % HW;
      const int64_t len = std::min<int64_t>({int64_t(e - p0), 64, HW - pin});
      uint8_t* dst = act + p0 * size_t(g.Ps);
      for (int64_t ch = 0; ch < g.C; ++ch) {
        const int64_t grp = ch / g.Cg, c = ch % g.Cg;
        const float* src = x + (n * g.C + ch) * HW + pin;
        uint8_t* d = dst + grp * g.Cgp + c;
        for (int64_t p = 0; p < len; ++p) {
          // |x / sx| <= 255 by construction; the clamp only keeps the rounding
          // trick in its range.
          const float v = std::min(std::max(src[p] / sx, -512.0f), 512.0f);
          const float q = std::min(std::max(roundEven(v) + zpf, 0.0f), 255.0f);
          d[p * g.Ps] = uint8_t(int32_t(q));
        }
      }
      if (g.Cgp != g.Cg)
        for (int64_t p = 0; p < len; ++p)
          for (int64_t grp = 0; grp < g.G; ++grp)
            std::memset(dst + p * g.Ps + grp * g.Cgp + g.Cg, int(zp), size_t(g.Cgp - g.Cg));
      p0 += size_t(len);
    }
  });
}

// ---- the kernel ------------------------------------------------------------------

struct Attrs {
  int64_t sH = 1, sW = 1, dH = 1, dW = 1, pT = 0, pL = 0, pB = 0, pR = 0, group = 1;
  std::optional<std::vector<int64_t>> kernelShape;
};

class Int8ConvKernel {
 public:
  explicit Int8ConvKernel(const OrtKernelInfo* info) {
    const auto s = listAttr(info, "strides", 2, 1, 1);
    const auto p = listAttr(info, "pads", 4, 0, 0);
    const auto d = listAttr(info, "dilations", 2, 1, 1);
    a_.sH = s[0], a_.sW = s[1], a_.dH = d[0], a_.dW = d[1];
    a_.pT = p[0], a_.pL = p[1], a_.pB = p[2], a_.pR = p[3];
    a_.group = intAttr(info, "group").value_or(1);
    if (a_.group < 1 || a_.group > kMaxAttr)
      refuse("attribute group=" + std::to_string(a_.group) + " must be at least 1");
    a_.kernelShape = intsAttr(info, "kernel_shape");
    if (a_.kernelShape && a_.kernelShape->size() != 2)
      refuse("attribute kernel_shape " + shapeText(*a_.kernelShape) + " must hold 2 values");
    // Padding is spelt out by `pads`; an automatic rule would be silently ignored.
    const auto autoPad = stringAttr(info, "auto_pad");
    if (autoPad && *autoPad != "NOTSET" && !autoPad->empty())
      refuse("attribute auto_pad=" + *autoPad + " is not supported; give the padding in pads");
    // Weights that are not a constant of the model may change between runs, so
    // only constant ones are prepared once and kept.
    try {
      int isConst = 0;
      Ort::ConstKernelInfo(info).GetTensorConstantInput(1, &isConst);
      constWeights_ = isConst != 0;
    } catch (const Ort::Exception&) {
      constWeights_ = false;
    }
  }

  void Compute(OrtKernelContext* context) {
    Ort::KernelContext ctx(context);
    const Ort::ConstValue X = ctx.GetInput(0), Wt = ctx.GetInput(1), S = ctx.GetInput(2), B = ctx.GetInput(3);
    const auto xs = X.GetTensorTypeAndShapeInfo().GetShape();
    const auto ws = Wt.GetTensorTypeAndShapeInfo().GetShape();
    const auto ss = S.GetTensorTypeAndShapeInfo().GetShape();
    const auto bs = B.GetTensorTypeAndShapeInfo().GetShape();
    const Geometry g = geometry(xs, ws, ss, bs);

    Ort::UnownedValue Y = ctx.GetOutput(0, std::vector<int64_t>{g.N, g.M, g.Ho, g.Wo});
    if (g.N == 0 || g.M == 0 || g.Ho == 0 || g.Wo == 0) return;

    const int8_t* wdata = Wt.GetTensorData<int8_t>();
    Weights local;
    const Weights* w = &local;
    if (constWeights_) {
      std::call_once(prepared_, [&] { weights_ = prepare(g, wdata, ws); });
      if (weights_.shape != ws) refuse("W changed shape from " + shapeText(weights_.shape) + " to " + shapeText(ws));
      w = &weights_;
    } else {
      local = prepare(g, wdata, ws);
    }

    const Int8ConvPath path = resolve(Int8ConvPath(gForced.load(std::memory_order_relaxed)));
    const float* x = X.GetTensorData<float>();
    float lo = 0.0f, hi = 0.0f;
    range(x, size_t(g.N * g.C * g.H * g.W), path != Int8ConvPath::Portable && cpuHasAvx(), lo, hi);
    float sx = (hi - lo) / 255.0f;
    if (!(sx > 0.0f)) sx = 1.0f;
    if (!std::isfinite(sx))
      refuse("the range of X [" + std::to_string(lo) + ", " + std::to_string(hi) + "] is too wide to quantise");
    const int32_t zp = int32_t(std::min(std::max(std::nearbyint(-lo / sx), 0.0f), 255.0f));

    // One call at a time uses the kernel's scratch; a concurrent run of the same
    // session gets buffers of its own rather than waiting.
    std::unique_lock<std::mutex> lk(scratchMu_, std::try_to_lock);
    std::vector<uint8_t> ownAct;
    std::vector<float> ownMul;
    std::vector<uint8_t>& actBuf = lk.owns_lock() ? act_ : ownAct;
    std::vector<float>& mulBuf = lk.owns_lock() ? mul_ : ownMul;
    const size_t actBytes = size_t(g.N * g.H * g.W * g.Ps);
    if (actBuf.size() < actBytes) actBuf.resize(actBytes);
    if (mulBuf.size() < size_t(g.M)) mulBuf.resize(size_t(g.M));
    uint8_t* act = actBuf.data();
    quantise(g, x, sx, zp, act);

    const float* scale = S.GetTensorData<float>();
    for (int64_t m = 0; m < g.M; ++m) mulBuf[size_t(m)] = sx * scale[m];
    Epilogue base;
    base.zp = zp;
    base.mul = mulBuf.data();
    base.bias = B.GetTensorData<float>();
    base.plane = g.Ho * g.Wo;
    float* y = Y.GetTensorMutableData<float>();

    const int8conv::SpanFn span = spanOf(path);
    const size_t rows = size_t(g.N * g.Ho);
    pool::parallelRange(rows, 1, [&](size_t r0, size_t r1) {
      for (size_t r = r0; r < r1; ++r) {
        const int64_t n = int64_t(r) / g.Ho, oy = int64_t(r) % g.Ho;
        const uint8_t* actN = act + size_t(n * g.H * g.W * g.Ps);
        Epilogue e = base;
        e.y = y + n * g.M * base.plane;
        int64_t vx0 = 0, vx1 = 0;  // the columns the vector kernel takes
        if (span && oy >= g.oy0 && oy < g.oy1 && g.ox0 < g.ox1) vx0 = g.ox0, vx1 = g.ox1;
        for (int64_t ox = 0; ox < vx0; ++ox) scalarPixel(g, actN, *w, oy, ox, e);
        if (vx1 > vx0) span(g, actN, *w, oy, vx0, vx1, e);
        for (int64_t ox = vx1; ox < g.Wo; ++ox) scalarPixel(g, actN, *w, oy, ox, e);
      }
    });
  }

  OrtStatusPtr ComputeV2(OrtKernelContext* context) { return computeToStatus(*this, context); }

 private:
  static bool cpuHasAvx() {
    static const bool has = __builtin_cpu_supports("avx");
    return has;
  }

  Geometry geometry(const std::vector<int64_t>& xs, const std::vector<int64_t>& ws, const std::vector<int64_t>& ss,
                    const std::vector<int64_t>& bs) const {
    if (xs.size() != 4) refuse("X must be [N,C,H,W], got " + shapeText(xs));
    if (ws.size() != 4) refuse("W must be [M,C/group,kH,kW], got " + shapeText(ws));
    Geometry g;
    g.N = xs[0], g.C = xs[1], g.H = xs[2], g.W = xs[3];
    g.M = ws[0], g.Cg = ws[1], g.kH = ws[2], g.kW = ws[3];
    g.G = a_.group;
    if (ss.size() != 1 || ss[0] != g.M)
      refuse("weight scales must be [M] = [" + std::to_string(g.M) + "], one per output channel, got " + shapeText(ss));
    if (bs.size() != 1 || bs[0] != g.M)
      refuse("bias must be [M] = [" + std::to_string(g.M) + "], one per output channel, got " + shapeText(bs));
    if (g.Cg < 1 || g.kH < 1 || g.kW < 1) refuse("W " + shapeText(ws) + " has an empty channel or kernel axis");
    if (g.C % g.G != 0)
      refuse("X has C=" + std::to_string(g.C) + " channels, which group=" + std::to_string(g.G) + " does not divide");
    if (g.C / g.G != g.Cg)
      refuse("W " + shapeText(ws) + " takes " + std::to_string(g.Cg) + " channels per group, X has C/group=" +
             std::to_string(g.C / g.G));
    if (g.M % g.G != 0)
      refuse("W has M=" + std::to_string(g.M) + " output channels, which group=" + std::to_string(g.G) +
             " does not divide");
    if (a_.kernelShape && ((*a_.kernelShape)[0] != g.kH || (*a_.kernelShape)[1] != g.kW))
      refuse("attribute kernel_shape " + shapeText(*a_.kernelShape) + " disagrees with W " + shapeText(ws));
    if (g.kH > kMaxAttr || g.kW > kMaxAttr || g.Cg * g.kH * g.kW > kMaxTapChannels)
      refuse("W " + shapeText(ws) + " sums " + std::to_string(g.Cg * g.kH * g.kW) +
             " products per output, more than the " + std::to_string(kMaxTapChannels) + " an int32 sum holds exactly");
    g.Mg = g.M / g.G;
    g.T = g.kH * g.kW;
    g.sH = a_.sH, g.sW = a_.sW, g.dH = a_.dH, g.dW = a_.dW, g.pT = a_.pT, g.pL = a_.pL;
    const int64_t spanH = g.H + a_.pT + a_.pB - g.dH * (g.kH - 1) - 1;
    const int64_t spanW = g.W + a_.pL + a_.pR - g.dW * (g.kW - 1) - 1;
    if (spanH < 0 || spanW < 0)
      refuse("the kernel " + shapeText({g.kH, g.kW}) + " with dilations " + shapeText({g.dH, g.dW}) +
             " is larger than the padded input " + shapeText(xs));
    g.Ho = spanH / g.sH + 1;
    g.Wo = spanW / g.sW + 1;
    g.Cgp = (g.Cg + 3) / 4 * 4;
    g.C4 = g.Cgp / 4;
    g.MB = (g.Mg + 7) / 8;
    g.Ps = g.G * g.Cgp;
    // Buffers this call would need, in elements; a hostile shape is refused
    // before anything is allocated or indexed.
    const double outElems = double(g.N) * double(g.M) * double(g.Ho) * double(g.Wo);
    const double actBytes = double(g.N) * double(g.H) * double(g.W) * double(g.Ps);
    if (outElems > 0x1p40 || actBytes > 0x1p40) refuse("output " + shapeText({g.N, g.M, g.Ho, g.Wo}) + " is too large");
    // Interior: iy = oy*sH - pT >= 0 and iy + dH*(kH-1) <= H-1, likewise for x.
    auto interior = [](int64_t pad, int64_t stride, int64_t reach, int64_t size, int64_t out, int64_t& o0,
                       int64_t& o1) {
      o0 = std::min(out, (pad + stride - 1) / stride);
      const int64_t top = size - 1 - reach + pad;
      o1 = top < 0 ? o0 : std::min(out, top / stride + 1);
      if (o1 < o0) o1 = o0;
    };
    interior(g.pT, g.sH, g.dH * (g.kH - 1), g.H, g.Ho, g.oy0, g.oy1);
    interior(g.pL, g.sW, g.dW * (g.kW - 1), g.W, g.Wo, g.ox0, g.ox1);
    return g;
  }

  Attrs a_;
  bool constWeights_ = false;
  std::once_flag prepared_;
  Weights weights_;
  std::mutex scratchMu_;
  std::vector<uint8_t> act_;
  std::vector<float> mul_;
};

struct Int8ConvOp : Ort::CustomOpBase<Int8ConvOp, Int8ConvKernel, true> {
  OrtStatusPtr CreateKernelV2(const OrtApi&, const OrtKernelInfo* info, void** kernel) const {
    try {
      *kernel = new Int8ConvKernel(info);
      return nullptr;
    } catch (const Ort::Exception& e) {
      return Ort::GetApi().CreateStatus(e.GetOrtErrorCode(), e.what());
    } catch (const std::exception& e) {
      return Ort::GetApi().CreateStatus(ORT_INVALID_ARGUMENT, e.what());
    }
  }
  const char* GetName() const { return "Int8ConvVNNI"; }
  const char* GetExecutionProviderType() const { return "CPUExecutionProvider"; }
  size_t GetInputTypeCount() const { return 4; }
  ONNXTensorElementDataType GetInputType(size_t i) const {
    return i == 1 ? ONNX_TENSOR_ELEMENT_DATA_TYPE_INT8 : ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT;
  }
  size_t GetOutputTypeCount() const { return 1; }
  ONNXTensorElementDataType GetOutputType(size_t) const { return ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT; }
};

Ort::CustomOpDomain& int8Domain() {
  // The operator outlives the domain that points at it (statics die in reverse).
  static Int8ConvOp op;
  static Ort::CustomOpDomain domain = [] {
    Ort::CustomOpDomain d("com.corvane.int8");
    d.Add(&op);
    return d;
  }();
  return domain;
}

}  // namespace

void registerInt8ConvVNNI(Ort::SessionOptions& so) { so.Add(int8Domain()); }

void int8ConvForcePath(Int8ConvPath path) { gForced.store(int(path), std::memory_order_relaxed); }

void int8ConvForcePortable(bool on) { int8ConvForcePath(on ? Int8ConvPath::Portable : Int8ConvPath::Auto); }

Int8ConvPath int8ConvActivePath() { return resolve(Int8ConvPath(gForced.load(std::memory_order_relaxed))); }

const char* int8ConvPathName(Int8ConvPath path) {
  switch (path) {
    case Int8ConvPath::Portable: return "portable";
    case Int8ConvPath::Avx2: return "avx2";
    case Int8ConvPath::AvxVnni: return "avx-vnni";
    case Int8ConvPath::Avx512Vnni: return "avx512-vnni";
    default: return "auto";
  }
}

}  // namespace le
