// Driver sources over FFmpeg: the MP4 driver (4:2:0 to packed RGB) and the HEVC
// 4:4:4 warp prior (to planar half floats). Decoded in place, one frame per next().
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/pixdesc.h>
}

#include "base/le_env.h"
#include "compose/le_simd.h"
#include "driver/le_driver.h"

namespace le {

namespace {

const char* const kDash = "\xE2\x80\x94";
const char* const kHwDecoder = "h264_cuvid";

std::string avErr(int code) {
  char buf[64];
  if (av_strerror(code, buf, sizeof buf) < 0) std::snprintf(buf, sizeof buf, "error %d", code);
  return buf;
}

std::string avcodecBuildVersion() {
  return std::to_string(LIBAVCODEC_VERSION_MAJOR) + "." + std::to_string(LIBAVCODEC_VERSION_MINOR) + "." +
         std::to_string(LIBAVCODEC_VERSION_MICRO);
}

[[noreturn]] void fail(const std::string& m) { throw std::runtime_error(m); }

class FfSource final : public driver::Source {
 public:
  FfSource(int kind, std::string path, int nt, int w, int h) : sourceKind(kind), path(std::move(path)), nt(nt), w(w), h(h) {
    if (sourceKind == 1)
      for (int i = 0; i < 256; ++i) f16Lut[i] = f32ToF16(float(i) / 255.0f);
    try {
      openAll();
    } catch (...) {
      closeAll();
      throw;
    }
  }
  ~FfSource() override { closeAll(); }

  int NT() const override { return nt; }
  int W() const override { return w; }
  int H() const override { return h; }
  std::size_t frameBytes() const override {
    return std::size_t(w) * std::size_t(h) * 3 * (sourceKind == 1 ? 2 : 1);
  }
  bool next(unsigned char* dst) override;
  void rewind() override;
  void seek(int si) override;
  std::string name() const override { return desc; }
  std::size_t residentBytes() const override {
    const std::size_t px = std::size_t(w) * std::size_t(h);
    const std::size_t F = sourceKind == 1 ? px * 3 : px * 3 / 2;
    const std::size_t n = (dec && dec->thread_count > 0) ? std::size_t(dec->thread_count) + 5 : 6;
    return F * n + std::size_t(maxPacket);
  }

 private:
  void openAll();
  void closeAll();
  bool openHardware(const AVCodecParameters* par);
  void openSoftware(const AVCodecParameters* par);
  void convert(unsigned char* dst);

  int sourceKind = 0;
  std::string path;
  int nt = 0, w = 0, h = 0;
  std::uint16_t f16Lut[256] = {};
  AVFormatContext* fmt = nullptr;
  AVCodecContext* dec = nullptr;
  AVPacket* pkt = nullptr;
  AVFrame* frame = nullptr;
  int streamIndex = -1;
  bool eof = false;
  int decoded = 0;
  int maxPacket = 0;
  std::string desc;
  std::vector<unsigned char> scratch;  // seek's discard target, made on the first seek
};

void FfSource::closeAll() {
  av_frame_free(&frame);
  av_packet_free(&pkt);
  avcodec_free_context(&dec);
  avformat_close_input(&fmt);
  streamIndex = -1;
}

bool FfSource::openHardware(const AVCodecParameters* par) {
  const AVCodec* hw = avcodec_find_decoder_by_name(kHwDecoder);
  if (!hw) return false;
  AVCodecContext* ctx = avcodec_alloc_context3(hw);
  bool ok = ctx && avcodec_parameters_to_context(ctx, par) >= 0;
  if (ok) {
    ctx->thread_count = 1;
    ok = avcodec_open2(ctx, hw, nullptr) >= 0;
  }
  if (!ok) {
    avcodec_free_context(&ctx);
    std::fprintf(stderr, "[le-driver] %s refused %s %s falling back to the software h264 decoder (same samples, more CPU)\n",
                 kHwDecoder, path.c_str(), kDash);
    return false;
  }
  dec = ctx;
  return true;
}

void FfSource::openSoftware(const AVCodecParameters* par) {
  const AVCodec* codec = avcodec_find_decoder(par->codec_id);
  if (!codec) fail("le_driver: no decoder for " + path + " (codec id " + std::to_string(int(par->codec_id)) + ")");
  dec = avcodec_alloc_context3(codec);
  if (!dec) fail("le_driver: avcodec_alloc_context3 failed");
  if (avcodec_parameters_to_context(dec, par) < 0) fail("le_driver: avcodec_parameters_to_context failed");
  dec->thread_count = 4;
  dec->thread_type = FF_THREAD_FRAME;
  if (avcodec_open2(dec, codec, nullptr) < 0) fail("le_driver: could not open the decoder for " + path);
}

void FfSource::openAll() {
  if (avformat_open_input(&fmt, path.c_str(), nullptr, nullptr) < 0)
    fail("le_driver: " + path + " is not a readable container");
  if (avformat_find_stream_info(fmt, nullptr) < 0) fail("le_driver: " + path + " carries no stream info");
  streamIndex = -1;
  for (unsigned i = 0; i < fmt->nb_streams; ++i)
    if (fmt->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
      streamIndex = int(i);
      break;
    }
  if (streamIndex < 0) fail("le_driver: " + path + " has no video stream");
  const AVStream* st = fmt->streams[streamIndex];
  const AVCodecParameters* par = st->codecpar;
  if (par->width != w || par->height != h)
    fail("le_driver: " + path + " is " + std::to_string(par->width) + "x" + std::to_string(par->height) +
         ", the manifest says " + std::to_string(w) + "x" + std::to_string(h) + " " + kDash +
         " refusing to rescale the driver");
  if (st->nb_frames >= 1 && st->nb_frames != nt)
    fail("le_driver: " + path + " carries " + std::to_string(st->nb_frames) + " frames, the manifest says NT=" +
         std::to_string(nt) + " " + kDash + " member/manifest mismatch, refusing");

  bool hardware = false;
  if (env::is("LE_DRIVER_HWDEC", "0")) {
    std::fprintf(stderr,
                 "[le-driver] LE_DRIVER_HWDEC=0 %s %s not attempted; the software decoder is the one decoder on this "
                 "fleet (same samples)\n",
                 kDash, kHwDecoder);
  } else if (sourceKind == 0 && par->codec_id == AV_CODEC_ID_H264) {
    hardware = openHardware(par);
  }
  if (!hardware) openSoftware(par);

  pkt = av_packet_alloc();
  frame = av_frame_alloc();
  if (!pkt || !frame) fail("le_driver: out of memory");
  eof = false;
  decoded = 0;
  desc = std::string(sourceKind == 1 ? "hevc444/libavcodec " : "mp4/libavcodec ") + avcodecBuildVersion() + " " +
         dec->codec->name;
}

void FfSource::convert(unsigned char* dst) {
  const int pf = frame->format;
  const char* pfName = av_get_pix_fmt_name(AVPixelFormat(pf));
  const std::string pfText = pfName ? pfName : "?";
  if (sourceKind == 1) {
    if (pf != AV_PIX_FMT_YUV444P)
      fail("le_driver: " + path + " decoded to " + pfText + ", not the yuv444p a warp prior is authored in " + kDash +
           " a subsampled prior is a different mouth, refusing");
    const std::size_t plane = std::size_t(w) * std::size_t(h);
    auto* out = reinterpret_cast<std::uint16_t*>(dst);
    for (int r = 0; r < h; ++r) {
      const std::uint8_t* Y = frame->data[0] + std::ptrdiff_t(r) * frame->linesize[0];
      const std::uint8_t* U = frame->data[1] + std::ptrdiff_t(r) * frame->linesize[1];
      const std::uint8_t* V = frame->data[2] + std::ptrdiff_t(r) * frame->linesize[2];
      std::uint16_t* R = out + std::size_t(r) * std::size_t(w);
      std::uint16_t* G = R + plane;
      std::uint16_t* B = G + plane;
      for (int x = 0; x < w; ++x) {
        const int y = 76312 * int(Y[x]) - 1220992, u = int(U[x]) - 128, v = int(V[x]) - 128;
        const int r8 = (y + 104600 * v + 32768) >> 16;
        const int g8 = (y - 25672 * u - 53280 * v + 32768) >> 16;
        const int b8 = (y + 132200 * u + 32768) >> 16;
        R[x] = f16Lut[std::clamp(r8, 0, 255)];
        G[x] = f16Lut[std::clamp(g8, 0, 255)];
        B[x] = f16Lut[std::clamp(b8, 0, 255)];
      }
    }
    return;
  }
  const bool planar = pf == AV_PIX_FMT_YUV420P;
  if (!planar && pf != AV_PIX_FMT_NV12)
    fail("le_driver: " + path + " decoded to " + pfText +
         ", not the 4:2:0 layout the canvas conversion is written for (yuv420p / nv12) " + kDash +
         " refusing rather than pasting onto a different pixel domain");
  const std::size_t rowBytes = std::size_t(w) * 3;
  for (int r = 0; r < h; ++r) {
    const std::uint8_t* Y = frame->data[0] + std::ptrdiff_t(r) * frame->linesize[0];
    const std::uint8_t* U = frame->data[1] + std::ptrdiff_t(r / 2) * frame->linesize[1];
    const std::uint8_t* V = planar ? frame->data[2] + std::ptrdiff_t(r / 2) * frame->linesize[2] : U + 1;
    simd::yuv420RowToRgb24(Y, U, V, w, planar ? 1 : 2, dst + std::size_t(r) * rowBytes);
  }
}

bool FfSource::next(unsigned char* dst) {
  // Only a reopen that failed part way leaves the source without a decoder.
  if (!fmt || !dec || !pkt || !frame) fail("le_driver: " + path + " is not open (an earlier reopen failed)");
  for (;;) {
    int rc = avcodec_receive_frame(dec, frame);
    if (rc == 0) {
      if (frame->width != w || frame->height != h) {
        av_frame_unref(frame);
        fail("le_driver: " + path + " changed size mid-stream " + kDash + " refusing");
      }
      try {
        convert(dst);
      } catch (...) {
        av_frame_unref(frame);
        throw;
      }
      av_frame_unref(frame);
      ++decoded;
      return true;
    }
    if (rc == AVERROR_EOF) return false;
    if (rc != AVERROR(EAGAIN)) fail("le_driver: " + path + " decode fault at frame " + std::to_string(decoded) + " (" + avErr(rc) + ")");
    if (eof) return false;
    rc = av_read_frame(fmt, pkt);
    if (rc == AVERROR_EOF) {
      eof = true;
      avcodec_send_packet(dec, nullptr);  // drain what the decoder still holds
      continue;
    }
    if (rc < 0) fail("le_driver: " + path + " read fault (" + avErr(rc) + ")");
    if (pkt->stream_index != streamIndex) {
      av_packet_unref(pkt);
      continue;
    }
    maxPacket = std::max(maxPacket, pkt->size);
    rc = avcodec_send_packet(dec, pkt);
    av_packet_unref(pkt);
    if (rc < 0 && rc != AVERROR(EAGAIN)) fail("le_driver: " + path + " packet refused (" + avErr(rc) + ")");
  }
}

void FfSource::rewind() {
  if (fmt && dec && av_seek_frame(fmt, streamIndex, 0, AVSEEK_FLAG_BACKWARD) >= 0) {
    avcodec_flush_buffers(dec);
    eof = false;
  } else {
    closeAll();
    openAll();
  }
  decoded = 0;
}

void FfSource::seek(int si) {
  if (si < 0 || si >= nt) fail("le_driver: seek outside the member");
  if (si < decoded) rewind();
  if (decoded < si && scratch.size() != frameBytes()) scratch.resize(frameBytes());
  while (decoded < si)
    if (!next(scratch.data()))
      fail("le_driver: " + path + " ended at frame " + std::to_string(decoded) + " while seeking to " + std::to_string(si));
}

}  // namespace

namespace driver {

std::unique_ptr<Source> openMp4(const std::string& path, int NT, int W, int H) {
  return std::make_unique<FfSource>(0, path, NT, W, H);
}

std::unique_ptr<Source> openPriorHevc(const std::string& path, int NT, int S) {
  return std::make_unique<FfSource>(1, path, NT, S, S);
}

}  // namespace driver

}  // namespace le
