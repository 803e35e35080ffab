// Reads a movie back with libavformat / libavcodec, independently of the forge:
// what the container declares and every decoded picture's planes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
}

namespace forge_test {

struct Picture {
  std::string pixFmt;
  int w = 0, h = 0;
  std::vector<std::vector<uint8_t>> planes;  // tightly packed rows
  std::vector<int> planeW, planeH;           // bytes per row, rows
};

struct MovieProbe {
  bool opened = false;
  std::string container;  // demuxer name
  std::string codec;      // decoder name
  std::string pixFmt;     // the stream's declared pixel format
  int w = 0, h = 0;
  int64_t nbFrames = -1;  // AVStream::nb_frames
  std::vector<Picture> frames;
  std::string error;      // first failure met while opening or decoding
};

inline std::string probeErr(int e) {
  char b[AV_ERROR_MAX_STRING_SIZE] = {0};
  av_strerror(e, b, sizeof b);
  return b;
}

inline MovieProbe probeMovie(const std::string& path, bool decode = true) {
  MovieProbe p;
  AVFormatContext* fc = nullptr;
  AVCodecContext* dc = nullptr;
  AVPacket* pkt = av_packet_alloc();
  AVFrame* fr = av_frame_alloc();
  auto done = [&](const std::string& err) {
    if (p.error.empty()) p.error = err;
    av_frame_free(&fr);
    av_packet_free(&pkt);
    avcodec_free_context(&dc);
    avformat_close_input(&fc);
    return p;
  };
  int r = avformat_open_input(&fc, path.c_str(), nullptr, nullptr);
  if (r < 0) return done("open: " + probeErr(r));
  if ((r = avformat_find_stream_info(fc, nullptr)) < 0) return done("stream info: " + probeErr(r));
  int si = -1;
  for (unsigned i = 0; i < fc->nb_streams; ++i)
    if (fc->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
      si = int(i);
      break;
    }
  if (si < 0) return done("no video stream");
  p.opened = true;
  const AVStream* st = fc->streams[si];
  p.container = fc->iformat->name;
  p.w = st->codecpar->width;
  p.h = st->codecpar->height;
  p.nbFrames = st->nb_frames;
  const char* pf = av_get_pix_fmt_name(AVPixelFormat(st->codecpar->format));
  p.pixFmt = pf ? pf : "?";
  const AVCodec* codec = avcodec_find_decoder(st->codecpar->codec_id);
  if (!codec) return done("no decoder");
  p.codec = codec->name;
  if (!decode) return done("");
  dc = avcodec_alloc_context3(codec);
  if (!dc || avcodec_parameters_to_context(dc, st->codecpar) < 0) return done("decoder context");
  dc->thread_count = 1;
  if ((r = avcodec_open2(dc, codec, nullptr)) < 0) return done("decoder open: " + probeErr(r));
  bool eof = false;
  for (;;) {
    r = avcodec_receive_frame(dc, fr);
    if (r == 0) {
      Picture pic;
      pic.w = fr->width, pic.h = fr->height;
      const char* n = av_get_pix_fmt_name(AVPixelFormat(fr->format));
      pic.pixFmt = n ? n : "?";
      const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(AVPixelFormat(fr->format));
      const int planes = av_pix_fmt_count_planes(AVPixelFormat(fr->format));
      for (int k = 0; k < planes; ++k) {
        const int bw = av_image_get_linesize(AVPixelFormat(fr->format), fr->width, k);
        const int bh = k == 0 ? fr->height : AV_CEIL_RSHIFT(fr->height, d->log2_chroma_h);
        std::vector<uint8_t> plane(size_t(bw) * bh);
        for (int y = 0; y < bh; ++y)
          std::copy_n(fr->data[k] + size_t(y) * fr->linesize[k], bw, plane.data() + size_t(y) * bw);
        pic.planes.push_back(std::move(plane));
        pic.planeW.push_back(bw);
        pic.planeH.push_back(bh);
      }
      p.frames.push_back(std::move(pic));
      av_frame_unref(fr);
      continue;
    }
    if (r == AVERROR_EOF) break;
    if (r != AVERROR(EAGAIN)) return done("decode: " + probeErr(r));
    if (eof) break;
    r = av_read_frame(fc, pkt);
    if (r == AVERROR_EOF) {
      eof = true;
      avcodec_send_packet(dc, nullptr);
      continue;
    }
    if (r < 0) return done("read: " + probeErr(r));
    if (pkt->stream_index == si) {
      r = avcodec_send_packet(dc, pkt);
      if (r < 0 && r != AVERROR(EAGAIN)) {
        av_packet_unref(pkt);
        return done("send: " + probeErr(r));
      }
    }
    av_packet_unref(pkt);
  }
  return done("");
}

}  // namespace forge_test
