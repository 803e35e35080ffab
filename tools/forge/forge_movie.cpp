// Movie members: the H.264 driver movie and the HEVC 4:4:4 source-frame movie,
// encoded with FFmpeg's libx264 / libx265 wrappers, plus file-damage helpers.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <stdexcept>
#include <thread>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

#include "forge_internal.h"

namespace fs = std::filesystem;

namespace le::forge {
namespace {

std::string averr(int e) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {0};
  av_strerror(e, buf, sizeof buf);
  return buf;
}

struct CodecCtxFree {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameFree {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFree {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct DictFree {
  AVDictionary* d = nullptr;
  ~DictFree() { av_dict_free(&d); }
};
// Output context with its file: closes the file before freeing the context.
struct Muxer {
  AVFormatContext* oc = nullptr;
  bool opened = false;
  ~Muxer() {
    if (oc && opened) avio_closep(&oc->pb);
    avformat_free_context(oc);
  }
};

// One encode: `frames` pictures of w x h in `pix`, produced by fill(k, frame).
struct EncodeJob {
  std::string path;
  const char* encoder = nullptr;
  const char* muxer = nullptr;
  AVPixelFormat pix = AV_PIX_FMT_YUV420P;
  AVColorRange range = AVCOL_RANGE_MPEG;
  int w = 0, h = 0, fps = 25, frames = 0, gop = 0;
  std::vector<std::pair<std::string, std::string>> codecOpts, muxOpts;
  std::function<void(int, AVFrame*)> fill;
};

void encodeMovie(const EncodeJob& job) {
  const std::string& path = job.path;
  auto fail = [&](const std::string& what) -> void {
    throw std::runtime_error("forge: cannot write movie " + path + ": " + what);
  };
  if (job.frames < 1) fail("it needs at least one frame");
  if (job.fps < 1 || job.fps > 1000) fail("fps must be in [1, 1000]");
  const AVCodec* codec = avcodec_find_encoder_by_name(job.encoder);
  if (!codec) fail(std::string("this FFmpeg build has no encoder ") + job.encoder);

  std::unique_ptr<AVCodecContext, CodecCtxFree> enc(avcodec_alloc_context3(codec));
  if (!enc) fail("out of memory");
  enc->width = job.w;
  enc->height = job.h;
  enc->pix_fmt = job.pix;
  enc->color_range = job.range;
  enc->colorspace = AVCOL_SPC_SMPTE170M;
  enc->color_primaries = AVCOL_PRI_SMPTE170M;
  enc->color_trc = AVCOL_TRC_SMPTE170M;
  enc->time_base = AVRational{1, job.fps};
  enc->framerate = AVRational{job.fps, 1};
  enc->sample_aspect_ratio = AVRational{1, 1};
  if (job.gop > 0) enc->gop_size = job.gop;
  // The wrappers print their settings at info level: push this context's lines below
  // the default threshold (errors still show) instead of changing the process-wide level.
  enc->log_level_offset = AV_LOG_DEBUG - AV_LOG_INFO;
  enc->thread_count = int(std::clamp(std::thread::hardware_concurrency(), 1u, 8u));

  Muxer mux;
  int r = avformat_alloc_output_context2(&mux.oc, nullptr, job.muxer, path.c_str());
  if (r < 0 || !mux.oc) fail(std::string("no ") + job.muxer + " muxer (" + averr(r) + ")");
  if (mux.oc->oformat->flags & AVFMT_GLOBALHEADER) enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;

  {
    DictFree opts;
    for (auto& [k, v] : job.codecOpts) av_dict_set(&opts.d, k.c_str(), v.c_str(), 0);
    if ((r = avcodec_open2(enc.get(), codec, &opts.d)) < 0) fail(std::string(job.encoder) + " refused the settings (" + averr(r) + ")");
  }
  AVStream* st = avformat_new_stream(mux.oc, nullptr);
  if (!st) fail("out of memory");
  if ((r = avcodec_parameters_from_context(st->codecpar, enc.get())) < 0) fail("stream parameters (" + averr(r) + ")");
  st->time_base = enc->time_base;
  st->avg_frame_rate = enc->framerate;
  if (!(mux.oc->oformat->flags & AVFMT_NOFILE)) {
    if ((r = avio_open(&mux.oc->pb, path.c_str(), AVIO_FLAG_WRITE)) < 0) fail("cannot open the file (" + averr(r) + ")");
    mux.opened = true;
  }
  {
    DictFree opts;
    for (auto& [k, v] : job.muxOpts) av_dict_set(&opts.d, k.c_str(), v.c_str(), 0);
    if ((r = avformat_write_header(mux.oc, &opts.d)) < 0) fail("container header (" + averr(r) + ")");
  }

  std::unique_ptr<AVFrame, FrameFree> frame(av_frame_alloc());
  std::unique_ptr<AVPacket, PacketFree> pkt(av_packet_alloc());
  if (!frame || !pkt) fail("out of memory");
  frame->format = job.pix;
  frame->width = job.w;
  frame->height = job.h;
  frame->color_range = job.range;
  if ((r = av_frame_get_buffer(frame.get(), 0)) < 0) fail("frame buffer (" + averr(r) + ")");

  auto drain = [&]() {
    for (;;) {
      int e = avcodec_receive_packet(enc.get(), pkt.get());
      if (e == AVERROR(EAGAIN) || e == AVERROR_EOF) return;
      if (e < 0) fail(std::string(job.encoder) + " failed (" + averr(e) + ")");
      av_packet_rescale_ts(pkt.get(), enc->time_base, st->time_base);
      pkt->stream_index = st->index;
      e = av_interleaved_write_frame(mux.oc, pkt.get());
      av_packet_unref(pkt.get());
      if (e < 0) fail("muxing failed (" + averr(e) + ")");
    }
  };
  for (int k = 0; k < job.frames; ++k) {
    if ((r = av_frame_make_writable(frame.get())) < 0) fail("frame buffer (" + averr(r) + ")");
    job.fill(k, frame.get());
    frame->pts = k;
    if ((r = avcodec_send_frame(enc.get(), frame.get())) < 0) fail(std::string(job.encoder) + " refused frame " + std::to_string(k) + " (" + averr(r) + ")");
    drain();
  }
  if ((r = avcodec_send_frame(enc.get(), nullptr)) < 0) fail("encoder flush (" + averr(r) + ")");
  drain();
  if ((r = av_write_trailer(mux.oc)) < 0) fail("container trailer (" + averr(r) + ")");
}

// Big-endian box fields of an ISO media file.
uint64_t be(const std::string& b, size_t at, int n) {
  uint64_t v = 0;
  for (int i = 0; i < n; ++i) v = v << 8 | uint8_t(b[at + i]);
  return v;
}
void putBe(std::string& b, size_t at, int n, uint64_t v) {
  for (int i = n - 1; i >= 0; --i, v >>= 8) b[at + i] = char(v & 0xff);
}
struct Box {
  size_t at = 0, size = 0, header = 8;
  std::string type;
};
// The boxes laid out in b[from, to); throws on a malformed layout.
std::vector<Box> boxesIn(const std::string& b, size_t from, size_t to, const std::string& path) {
  std::vector<Box> out;
  for (size_t at = from; at < to;) {
    if (to - at < 8) throw std::runtime_error("forge: " + path + ": truncated box header");
    Box x;
    x.at = at;
    x.type = b.substr(at + 4, 4);
    uint64_t size = be(b, at, 4);
    if (size == 1) {
      if (to - at < 16) throw std::runtime_error("forge: " + path + ": truncated box header");
      size = be(b, at + 8, 8), x.header = 16;
    } else if (size == 0) {
      size = to - at;
    }
    if (size < x.header || size > to - at) throw std::runtime_error("forge: " + path + ": bad size of box " + x.type);
    x.size = size_t(size);
    out.push_back(x);
    at += x.size;
  }
  return out;
}
// Adds delta to every chunk offset (stco / co64) below a moov box.
void shiftChunkOffsets(std::string& b, const Box& parent, uint64_t delta, const std::string& path) {
  for (const Box& x : boxesIn(b, parent.at + parent.header, parent.at + parent.size, path)) {
    if (x.type == "trak" || x.type == "mdia" || x.type == "minf" || x.type == "stbl") {
      shiftChunkOffsets(b, x, delta, path);
    } else if (x.type == "stco" || x.type == "co64") {
      const int w = x.type == "stco" ? 4 : 8;
      const size_t body = x.at + x.header;
      const uint64_t n = be(b, body + 4, 4);
      if (body + 8 + n * w > x.at + x.size) throw std::runtime_error("forge: " + path + ": bad " + x.type + " box");
      for (uint64_t i = 0; i < n; ++i) {
        const uint64_t v = be(b, body + 8 + i * w, w) + delta;
        if (w == 4 && v > 0xffffffffull) throw std::runtime_error("forge: " + path + ": chunk offsets overflow stco");
        putBe(b, body + 8 + i * w, w, v);
      }
    }
  }
}
// Moves the index (moov) in front of the media data, so that a movie cut short
// still opens and ends early instead of losing its index. Done here rather than by
// the muxer's own second pass, which reports itself on standard error.
void moveIndexToFront(const std::string& path) {
  std::string b;
  {
    std::ifstream f(path, std::ios::binary);
    if (!f) throw std::runtime_error("forge: cannot read back " + path);
    b.assign(std::istreambuf_iterator<char>(f), {});
  }
  const std::vector<Box> top = boxesIn(b, 0, b.size(), path);
  auto find = [&](const char* t) {
    for (size_t i = 0; i < top.size(); ++i)
      if (top[i].type == t) return int(i);
    return -1;
  };
  const int moov = find("moov"), mdat = find("mdat");
  if (moov < 0 || mdat < 0) throw std::runtime_error("forge: " + path + " has no moov or mdat box");
  if (moov < mdat) return;
  std::string index = b.substr(top[moov].at, top[moov].size);
  Box ib = top[moov];
  ib.at = 0;
  shiftChunkOffsets(index, ib, index.size(), path);
  std::string out;
  out.reserve(b.size());
  for (int i = 0; i < int(top.size()); ++i) {
    if (i == moov) continue;
    if (i == mdat) out += index;
    out.append(b, top[i].at, top[i].size);
  }
  detail::writeFile(path, out.data(), out.size());
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
  EncodeJob job;
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
  encodeMovie(job);
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
  EncodeJob job;
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
  encodeMovie(job);
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
