// Movie members: the H.264 driver movie and the HEVC 4:4:4 source-frame movie,
// encoded with FFmpeg's libx264 / libx265 wrappers, plus file-damage helpers.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "forge_encode.h"
#include "forge_internal.h"

namespace fs = std::filesystem;

namespace le::forge {
namespace {

// Moves the index of the file at path in front of its media data. Done here rather
// than by the muxer's own second pass, which reports itself on standard error.
void moveIndexToFront(const std::string& path) {
  std::string b;
  {
    std::ifstream f(path, std::ios::binary);
    if (!f) throw std::runtime_error("forge: cannot read back " + path);
    b.assign(std::istreambuf_iterator<char>(f), {});
  }
  detail::moveIndexToFront(b, path);
  detail::writeFile(path, b.data(), b.size());
}

void ensureParentDir(const std::string& path) {
  fs::path p(path);
  if (p.has_parent_path()) {
    std::error_code ec;
    fs::create_directories(p.parent_path(), ec);
    if (ec) throw std::runtime_error("forge: cannot create " + p.parent_path().string() + " (" + ec.message() + ")");
  }
}

uint8_t clampByte(double v) { return uint8_t(std::clamp(std::lround(v), 0L, 255L)); }

// BT.601 RGB -> Y'CbCr, limited (16..235 / 16..240) or full range.
void rgbToYuv(double R, double G, double B, bool full, double& Y, double& U, double& V) {
  if (full) {
    Y = 0.299 * R + 0.587 * G + 0.114 * B;
    U = 128.0 - 0.168736 * R - 0.331264 * G + 0.5 * B;
    V = 128.0 + 0.5 * R - 0.418688 * G - 0.081312 * B;
  } else {
    Y = 16.0 + (65.481 * R + 128.553 * G + 24.966 * B) / 255.0;
    U = 128.0 + (-37.797 * R - 74.203 * G + 112.0 * B) / 255.0;
    V = 128.0 + (112.0 * R - 93.786 * G - 18.214 * B) / 255.0;
  }
}

// 4:2:0 planes of an interleaved RGB picture; chroma from the mean colour of each 2x2 block.
YuvPlanes yuv420Of(const uint8_t* rgb, int w, int h, bool full) {
  YuvPlanes p;
  p.w = w, p.h = h, p.cw = (w + 1) / 2, p.ch = (h + 1) / 2;
  p.y.resize(size_t(w) * h);
  p.u.resize(size_t(p.cw) * p.ch);
  p.v.resize(p.u.size());
  double Y, U, V;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const uint8_t* s = rgb + (size_t(y) * w + x) * 3;
      rgbToYuv(s[0], s[1], s[2], full, Y, U, V);
      p.y[size_t(y) * w + x] = clampByte(Y);
    }
  for (int cy = 0; cy < p.ch; ++cy)
    for (int cx = 0; cx < p.cw; ++cx) {
      double acc[3] = {0, 0, 0};
      int n = 0;
      for (int dy = 0; dy < 2; ++dy)
        for (int dx = 0; dx < 2; ++dx) {
          const int x = 2 * cx + dx, y = 2 * cy + dy;
          if (x >= w || y >= h) continue;
          const uint8_t* s = rgb + (size_t(y) * w + x) * 3;
          for (int k = 0; k < 3; ++k) acc[k] += s[k];
          ++n;
        }
      rgbToYuv(acc[0] / n, acc[1] / n, acc[2] / n, full, Y, U, V);
      p.u[size_t(cy) * p.cw + cx] = clampByte(U);
      p.v[size_t(cy) * p.cw + cx] = clampByte(V);
    }
  return p;
}

void copyPlane(const std::vector<uint8_t>& src, int w, int h, uint8_t* dst, int stride) {
  for (int y = 0; y < h; ++y) std::copy_n(&src[size_t(y) * w], w, dst + size_t(y) * stride);
}

// The 8-bit RGB of source frame k from an already built scene.
std::vector<uint8_t> priorRgbOf(const detail::Scene& sc, int k) {
  const std::vector<float> src = detail::decodeHalves(sc.sourceFrame(k % sc.spec.nt));
  std::vector<uint8_t> out(src.size());
  for (size_t i = 0; i < src.size(); ++i) out[i] = clampByte(double(src[i]) * 255.0);
  return out;
}

// Inverts the decoder's fixed-point conversion: start from the exact inverse, then
// take the neighbour (Y, U, V within 2 codes) whose decoded colour is closest.
void invertPixel(const uint8_t rgb[3], uint8_t& Yo, uint8_t& Uo, uint8_t& Vo) {
  double Y, U, V;
  rgbToYuv(rgb[0], rgb[1], rgb[2], false, Y, U, V);
  const int y0 = int(std::lround(Y)), u0 = int(std::lround(U)), v0 = int(std::lround(V));
  int best = 1 << 30, bestSq = 1 << 30;
  for (int dy = -2; dy <= 2; ++dy)
    for (int du = -2; du <= 2; ++du)
      for (int dv = -2; dv <= 2; ++dv) {
        const int y = y0 + dy, u = u0 + du, v = v0 + dv;
        if (y < 0 || y > 255 || u < 0 || u > 255 || v < 0 || v > 255) continue;
        uint8_t c[3];
        priorPixelToRgb(uint8_t(y), uint8_t(u), uint8_t(v), c);
        int worst = 0, sq = 0;
        for (int k = 0; k < 3; ++k) {
          const int d = std::abs(int(c[k]) - int(rgb[k]));
          worst = std::max(worst, d);
          sq += d * d;
        }
        if (worst < best || (worst == best && sq < bestSq)) {
          best = worst, bestSq = sq;
          Yo = uint8_t(y), Uo = uint8_t(u), Vo = uint8_t(v);
        }
      }
}

YuvPlanes priorYuvOf(const detail::Scene& sc, int k) {
  const int S = sc.spec.crop;
  const size_t plane = size_t(S) * S;
  const std::vector<uint8_t> rgb = priorRgbOf(sc, k);
  YuvPlanes p;
  p.w = p.h = p.cw = p.ch = S;
  p.y.resize(plane), p.u.resize(plane), p.v.resize(plane);
  for (size_t i = 0; i < plane; ++i) {
    const uint8_t c[3] = {rgb[i], rgb[plane + i], rgb[2 * plane + i]};
    invertPixel(c, p.y[i], p.u[i], p.v[i]);
  }
  return p;
}

void checkMovieSpec(const BundleSpec& spec, int frames, const char* what) {
  detail::validateSpec(spec);
  if (frames < 0 || frames > 1000000) throw std::runtime_error(std::string("forge: ") + what + " frames must be in [0, 1000000]");
}

}  // namespace


void priorPixelToRgb(uint8_t Y, uint8_t U, uint8_t V, uint8_t rgb[3]) {
  const int y = 76312 * int(Y) - 1220992, u = int(U) - 128, v = int(V) - 128;
  const int c[3] = {(y + 104600 * v + 32768) >> 16, (y - 25672 * u - 53280 * v + 32768) >> 16,
                    (y + 132200 * u + 32768) >> 16};
  for (int k = 0; k < 3; ++k) rgb[k] = uint8_t(std::clamp(c[k], 0, 255));
}

YuvPlanes driverYuv(const BundleSpec& spec, int k, DriverPixFmt fmt) {
  if (k < 0) throw std::runtime_error("forge: driverYuv frame index must be >= 0");
  const detail::Scene sc(spec);
  const auto rgb = sc.driverFrame(k % spec.nt);
  return yuv420Of(rgb.data(), spec.W, spec.H, fmt == DriverPixFmt::Yuvj420p);
}

std::vector<uint8_t> priorRgb(const BundleSpec& spec, int k) {
  if (k < 0) throw std::runtime_error("forge: priorRgb frame index must be >= 0");
  return priorRgbOf(detail::Scene(spec), k);
}

YuvPlanes priorYuv(const BundleSpec& spec, int k) {
  if (k < 0) throw std::runtime_error("forge: priorYuv frame index must be >= 0");
  return priorYuvOf(detail::Scene(spec), k);
}

std::vector<uint16_t> priorExpectedFrame(const BundleSpec& spec, int k) {
  const YuvPlanes p = priorYuv(spec, k);
  const size_t plane = p.y.size();
  std::vector<uint16_t> out(3 * plane);
  for (size_t i = 0; i < plane; ++i) {
    uint8_t c[3];
    priorPixelToRgb(p.y[i], p.u[i], p.v[i], c);
    for (int ch = 0; ch < 3; ++ch) out[ch * plane + i] = toHalf(float(c[ch]) / 255.0f);
  }
  return out;
}

void writeDriverMp4(const std::string& path, const BundleSpec& spec, const DriverMovieOptions& opt) {
  checkMovieSpec(spec, opt.frames, "driver movie");
  if (spec.W % 2 || spec.H % 2)
    throw std::runtime_error("forge: a 4:2:0 driver movie needs an even width and height, got " +
                             std::to_string(spec.W) + "x" + std::to_string(spec.H));
  if (opt.crf < 0 || opt.crf > 51) throw std::runtime_error("forge: crf must be in [0, 51]");
  const detail::Scene sc(spec);
  ensureParentDir(path);
  detail::EncodeJob job;
  job.path = path;
  job.encoder = "libx264";
  job.w = spec.W, job.h = spec.H, job.fps = opt.fps, job.gop = opt.gop;
  job.frames = opt.frames > 0 ? opt.frames : spec.nt;
  const bool full = opt.pixFmt == DriverPixFmt::Yuvj420p;
  job.pix = full ? AV_PIX_FMT_YUVJ420P : opt.pixFmt == DriverPixFmt::Nv12 ? AV_PIX_FMT_NV12 : AV_PIX_FMT_YUV420P;
  job.range = full ? AVCOL_RANGE_JPEG : AVCOL_RANGE_MPEG;
  job.codecOpts = {{"preset", "veryfast"}, {"x264-params", "log=-1"}};
  if (opt.lossless) job.codecOpts.emplace_back("qp", "0");
  else job.codecOpts.emplace_back("crf", std::to_string(opt.crf));
  if (opt.count == FrameCount::Declared) {
    job.muxer = "mp4";
  } else {
    job.muxer = "matroska";  // probed by content, so any member name still opens
  }
  const bool nv12 = opt.pixFmt == DriverPixFmt::Nv12;
  job.fill = [&](int k, AVFrame* f) {
    const auto rgb = sc.driverFrame(k % spec.nt);
    const YuvPlanes p = yuv420Of(rgb.data(), spec.W, spec.H, full);
    copyPlane(p.y, p.w, p.h, f->data[0], f->linesize[0]);
    if (nv12) {
      for (int y = 0; y < p.ch; ++y) {
        uint8_t* d = f->data[1] + size_t(y) * f->linesize[1];
        for (int x = 0; x < p.cw; ++x) {
          d[2 * x] = p.u[size_t(y) * p.cw + x];
          d[2 * x + 1] = p.v[size_t(y) * p.cw + x];
        }
      }
    } else {
      copyPlane(p.u, p.cw, p.ch, f->data[1], f->linesize[1]);
      copyPlane(p.v, p.cw, p.ch, f->data[2], f->linesize[2]);
    }
  };
  detail::encodeMovie(job);
  if (opt.count == FrameCount::Declared && opt.faststart) moveIndexToFront(path);
}

void writePriorHevc(const std::string& path, const BundleSpec& spec, const PriorMovieOptions& opt) {
  checkMovieSpec(spec, opt.frames, "prior movie");
  const int S = spec.crop;
  if (opt.subsampled && S % 2)
    throw std::runtime_error("forge: a 4:2:0 prior movie needs an even crop, got " + std::to_string(S));
  if (opt.qp < 0 || opt.qp > 51) throw std::runtime_error("forge: qp must be in [0, 51]");
  const detail::Scene sc(spec);
  ensureParentDir(path);
  detail::EncodeJob job;
  job.path = path;
  job.encoder = "libx265";
  job.w = job.h = S;
  job.fps = opt.fps;
  job.frames = opt.frames > 0 ? opt.frames : spec.nt;
  job.pix = opt.subsampled ? AV_PIX_FMT_YUV420P : AV_PIX_FMT_YUV444P;
  // No B-frames: every packet decodes in display order (and short runs get sane dts).
  std::string params = "log-level=none:bframes=0";
  if (opt.lossless) params += ":lossless=1";
  else params += ":qp=" + std::to_string(opt.qp);
  job.codecOpts = {{"preset", "ultrafast"}, {"x265-params", params}};
  job.muxer = opt.count == FrameCount::Declared ? "mov" : "matroska";
  job.fill = [&](int k, AVFrame* f) {
    YuvPlanes p = priorYuvOf(sc, k);
    copyPlane(p.y, S, S, f->data[0], f->linesize[0]);
    if (opt.subsampled) {
      const int c = S / 2;
      for (int y = 0; y < c; ++y)
        for (int x = 0; x < c; ++x) {
          auto avg = [&](const std::vector<uint8_t>& q) {
            const size_t i = size_t(2 * y) * S + 2 * x;
            return uint8_t((q[i] + q[i + 1] + q[i + S] + q[i + S + 1] + 2) / 4);
          };
          f->data[1][size_t(y) * f->linesize[1] + x] = avg(p.u);
          f->data[2][size_t(y) * f->linesize[2] + x] = avg(p.v);
        }
    } else {
      copyPlane(p.u, S, S, f->data[1], f->linesize[1]);
      copyPlane(p.v, S, S, f->data[2], f->linesize[2]);
    }
  };
  detail::encodeMovie(job);
}

void truncateFile(const std::string& path, uint64_t bytes) {
  std::error_code ec;
  const uint64_t size = fs::file_size(path, ec);
  if (ec) throw std::runtime_error("forge: cannot truncate " + path + " (" + ec.message() + ")");
  if (bytes > size) throw std::runtime_error("forge: cannot truncate " + path + " to " + std::to_string(bytes) +
                                             " bytes, it holds only " + std::to_string(size));
  fs::resize_file(path, bytes, ec);
  if (ec) throw std::runtime_error("forge: cannot truncate " + path + " (" + ec.message() + ")");
}

void corruptFile(const std::string& path, uint64_t offset, uint64_t count, uint32_t seed) {
  std::error_code ec;
  const uint64_t size = fs::file_size(path, ec);
  if (ec) throw std::runtime_error("forge: cannot corrupt " + path + " (" + ec.message() + ")");
  if (offset >= size) return;
  count = std::min(count, size - offset);
  std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out);
  if (!f) throw std::runtime_error("forge: cannot open " + path + " for writing");
  detail::Rng rng(seed, 11);
  std::vector<char> noise(count);
  for (auto& c : noise) c = char(rng.next() & 0xff);
  f.seekp(std::streamoff(offset));
  f.write(noise.data(), std::streamsize(count));
  f.flush();
  if (!f) throw std::runtime_error("forge: short write " + path);
}

}  // namespace le::forge
