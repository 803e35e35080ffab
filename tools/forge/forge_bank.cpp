// The teeth bank track: donor patches as H.264 frames in MP4, encoded in memory.
#include "forge_bank.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <stdexcept>

extern "C" {
#include <libavutil/pixdesc.h>
}

#include "forge_encode.h"

namespace le::forge {
namespace {

uint8_t clampByte(double v) { return uint8_t(std::clamp(std::lround(v), 0L, 255L)); }

// BT.601 limited range, the matrix a decoder assumes for an untagged or
// SMPTE 170M tagged track.
void rgbToYuv601(double R, double G, double B, double& Y, double& U, double& V) {
  Y = 16.0 + (65.481 * R + 128.553 * G + 24.966 * B) / 255.0;
  U = 128.0 + (-37.797 * R - 74.203 * G + 112.0 * B) / 255.0;
  V = 128.0 + (112.0 * R - 93.786 * G - 18.214 * B) / 255.0;
}

[[noreturn]] void refuse(const std::string& what) { throw std::runtime_error("forge: bank track: " + what); }

}  // namespace

std::vector<uint8_t> bankTrackBytes(const std::vector<uint8_t>& rgbTrackOrder, int w, int h, int n,
                                    const BankTrackOptions& opt) {
  if (w < 1 || h < 1 || w > 4096 || h > 4096) refuse("patch size must be in [1, 4096] each way");
  if (n < 1 || n > 1024) refuse("frame count must be in [1, 1024]");
  const size_t stride = size_t(w) * h * 3;
  if (rgbTrackOrder.size() != stride * size_t(n))
    refuse("expected " + std::to_string(stride * size_t(n)) + " bytes of RGB, got " +
           std::to_string(rgbTrackOrder.size()));
  if (opt.extraFrames < 0 || opt.dropFrames < 0 || opt.extraFrames > 1024)
    refuse("extra / dropped frames out of range");
  if (opt.dropFrames >= n)
    refuse("dropping " + std::to_string(opt.dropFrames) + " of " + std::to_string(n) + " frames leaves none");

  const AVPixelFormat pix = av_get_pix_fmt(opt.pixFmt.c_str());
  const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(pix);
  // RGB goes through the RGB flavour of the encoder, which stores GBR planes:
  // a decoder delivers "gbrp" whether "gbrp" or "rgb24" was asked for. Planar
  // 8-bit Y'CbCr goes through the plain one and comes back as it went in.
  const bool rgb = pix == AV_PIX_FMT_RGB24 || pix == AV_PIX_FMT_GBRP;
  const bool yuv = pix == AV_PIX_FMT_YUV420P || pix == AV_PIX_FMT_YUV422P || pix == AV_PIX_FMT_YUV444P;
  if (!desc || (!rgb && !yuv))
    refuse("pixel format '" + opt.pixFmt + "' is not one the forge writes (yuv444p, yuv422p, yuv420p, gbrp, rgb24)");
  const int sx = yuv ? desc->log2_chroma_w : 0, sy = yuv ? desc->log2_chroma_h : 0;
  if ((w & ((1 << sx) - 1)) || (h & ((1 << sy) - 1)))
    refuse(opt.pixFmt + " needs a patch size divisible by its chroma subsampling, got " + std::to_string(w) + "x" +
           std::to_string(h));

  detail::EncodeJob job;
  job.path = "(bank track in memory)";
  std::vector<uint8_t> out;
  job.memory = &out;
  job.encoder = rgb ? "libx264rgb" : "libx264";
  job.muxer = "mp4";
  job.pix = rgb ? AV_PIX_FMT_RGB24 : pix;
  if (rgb) {
    job.colorspace = AVCOL_SPC_RGB;
    job.range = AVCOL_RANGE_JPEG;
  }
  job.w = w, job.h = h;
  job.frames = n - opt.dropFrames + opt.extraFrames;
  job.codecOpts = {{"preset", "veryfast"}, {"x264-params", "log=-1"}};
  if (opt.lossless)
    job.codecOpts.emplace_back("qp", "0");
  else
    job.codecOpts.emplace_back("crf", "18");

  std::vector<double> Y, U, V;  // full-resolution planes of one frame
  job.fill = [&](int k, AVFrame* f) {
    const uint8_t* src = rgbTrackOrder.data() + stride * size_t(std::min(k, n - 1));
    if (rgb) {
      for (int y = 0; y < h; ++y)
        std::copy_n(src + size_t(y) * w * 3, size_t(w) * 3, f->data[0] + size_t(y) * f->linesize[0]);
      return;
    }
    Y.resize(size_t(w) * h), U.resize(Y.size()), V.resize(Y.size());
    for (size_t i = 0; i < Y.size(); ++i) rgbToYuv601(src[3 * i], src[3 * i + 1], src[3 * i + 2], Y[i], U[i], V[i]);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) f->data[0][size_t(y) * f->linesize[0] + x] = clampByte(Y[size_t(y) * w + x]);
    // Chroma: the mean of each subsampled block (one pixel at 4:4:4).
    const int bw = 1 << sx, bh = 1 << sy;
    for (int cy = 0; cy < h / bh; ++cy)
      for (int cx = 0; cx < w / bw; ++cx) {
        double u = 0, v = 0;
        for (int dy = 0; dy < bh; ++dy)
          for (int dx = 0; dx < bw; ++dx) {
            const size_t i = size_t(cy * bh + dy) * w + size_t(cx * bw + dx);
            u += U[i], v += V[i];
          }
        f->data[1][size_t(cy) * f->linesize[1] + cx] = clampByte(u / (bw * bh));
        f->data[2][size_t(cy) * f->linesize[2] + cx] = clampByte(v / (bw * bh));
      }
  };
  detail::encodeMovie(job);
  // Index first: a track cut short still opens and simply ends early.
  std::string bytes(out.begin(), out.end());
  detail::moveIndexToFront(bytes, job.path);
  return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

void writeBankTrack(const std::string& path, const std::vector<uint8_t>& rgbTrackOrder, int w, int h, int n,
                    const BankTrackOptions& opt) {
  const std::vector<uint8_t> bytes = bankTrackBytes(rgbTrackOrder, w, h, n, opt);
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  if (!f) refuse("cannot write " + path);
  f.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  f.close();
  if (!f) refuse("short write " + path);
}

}  // namespace le::forge
