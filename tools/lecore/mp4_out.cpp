#include "mp4_out.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include "audio_in.h"
#include "common.h"

namespace lecore {

namespace {


}  // namespace

struct Mp4Writer::Impl {
  std::string path;
  AVFormatContext* oc = nullptr;
  AVStream *vst = nullptr, *ast = nullptr;
  AVCodecContext *vcc = nullptr, *acc = nullptr;
  AVFrame *vframe = nullptr, *aframe = nullptr;
  AVPacket* pkt = nullptr;
  SwsContext* sws = nullptr;
  int srcW = 0, srcH = 0, w = 0, h = 0, channels = 3, fps = 25;
  int64_t nextVideo = 0;
  std::vector<unsigned char> pad;  // the padded picture, for odd sizes
  std::vector<int16_t> audio;
  size_t audioFed = 0;
  bool opened = false, headerWritten = false, finished = false, complete = false;

  [[noreturn]] void fail(const std::string& what) const { throw Failure(path + ": " + what); }

  ~Impl() {
    sws_freeContext(sws);
    av_packet_free(&pkt);
    av_frame_free(&vframe);
    av_frame_free(&aframe);
    avcodec_free_context(&vcc);
    avcodec_free_context(&acc);
    if (oc && oc->pb) avio_closep(&oc->pb);
    avformat_free_context(oc);
    // A movie without its index plays nowhere: a failed run leaves none behind.
    if (opened && !complete) std::remove(path.c_str());
  }

  void openVideo() {
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    if (!codec) codec = avcodec_find_encoder(AV_CODEC_ID_H264);
    if (!codec) fail("no H.264 encoder in this FFmpeg");
    vst = avformat_new_stream(oc, nullptr);
    vcc = avcodec_alloc_context3(codec);
    if (!vst || !vcc) fail("out of memory");
    vcc->width = w;
    vcc->height = h;
    vcc->pix_fmt = AV_PIX_FMT_YUV420P;
    vcc->time_base = AVRational{1, fps};
    vcc->framerate = AVRational{fps, 1};
    vcc->gop_size = 2 * fps;
    if (oc->oformat->flags & AVFMT_GLOBALHEADER) vcc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    av_opt_set(vcc->priv_data, "preset", "veryfast", 0);
    av_opt_set(vcc->priv_data, "crf", "18", 0);
    int e = avcodec_open2(vcc, codec, nullptr);
    if (e < 0) fail("cannot open the H.264 encoder: " + averr(e));
    avcodec_parameters_from_context(vst->codecpar, vcc);
    vst->time_base = vcc->time_base;
    vst->avg_frame_rate = vcc->framerate;
    vframe = av_frame_alloc();
    if (!vframe) fail("out of memory");
    vframe->format = vcc->pix_fmt;
    vframe->width = w;
    vframe->height = h;
    if (av_frame_get_buffer(vframe, 0) < 0) fail("out of memory");
    sws = sws_getContext(w, h, channels == 4 ? AV_PIX_FMT_RGBA : AV_PIX_FMT_RGB24, w, h, AV_PIX_FMT_YUV420P,
                         SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (!sws) fail("no RGB -> YUV 4:2:0 conversion");
  }

  void openAudio() {
    const AVCodec* codec = avcodec_find_encoder_by_name("aac");
    if (!codec) fail("no AAC encoder in this FFmpeg");
    ast = avformat_new_stream(oc, nullptr);
    acc = avcodec_alloc_context3(codec);
    if (!ast || !acc) fail("out of memory");
    acc->sample_fmt = AV_SAMPLE_FMT_FLTP;
    acc->sample_rate = kRate;
    AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO;
    av_channel_layout_copy(&acc->ch_layout, &mono);
    acc->bit_rate = 64000;
    acc->time_base = AVRational{1, kRate};
    if (oc->oformat->flags & AVFMT_GLOBALHEADER) acc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    int e = avcodec_open2(acc, codec, nullptr);
    if (e < 0) fail("cannot open the AAC encoder: " + averr(e));
    avcodec_parameters_from_context(ast->codecpar, acc);
    ast->time_base = acc->time_base;
    aframe = av_frame_alloc();
    if (!aframe) fail("out of memory");
  }

  void send(AVCodecContext* cc, AVStream* st, AVFrame* f) {
    int e = avcodec_send_frame(cc, f);
    if (e < 0) fail("encoder: " + averr(e));
    while ((e = avcodec_receive_packet(cc, pkt)) >= 0) {
      av_packet_rescale_ts(pkt, cc->time_base, st->time_base);
      pkt->stream_index = st->index;
      e = av_interleaved_write_frame(oc, pkt);
      if (e < 0) fail("write: " + averr(e));
    }
    if (e != AVERROR(EAGAIN) && e != AVERROR_EOF) fail("encoder: " + averr(e));
  }

  // Encodes audio up to sample `upTo`; whole encoder frames only unless `last`.
  void feedAudio(size_t upTo, bool last) {
    if (!acc) return;
    upTo = std::min(upTo, audio.size());
    const size_t fs = acc->frame_size > 0 ? size_t(acc->frame_size) : 1024;
    const bool smallLast = acc->codec->capabilities & AV_CODEC_CAP_SMALL_LAST_FRAME;
    while (audioFed < upTo && (upTo - audioFed >= fs || last)) {
      const size_t n = std::min(fs, upTo - audioFed);
      av_frame_unref(aframe);
      aframe->format = acc->sample_fmt;
      aframe->sample_rate = acc->sample_rate;
      av_channel_layout_copy(&aframe->ch_layout, &acc->ch_layout);
      // Without small-last-frame support the tail is padded with silence.
      aframe->nb_samples = int(smallLast ? n : fs);
      if (av_frame_get_buffer(aframe, 0) < 0) fail("out of memory");
      float* dst = reinterpret_cast<float*>(aframe->data[0]);
      for (size_t i = 0; i < size_t(aframe->nb_samples); ++i)
        dst[i] = i < n ? float(audio[audioFed + i]) / 32768.0f : 0.0f;
      aframe->pts = int64_t(audioFed);
      send(acc, ast, aframe);
      audioFed += n;
    }
  }
};

Mp4Writer::Mp4Writer(const std::string& path, int w, int h, int channels, int fps, const std::vector<int16_t>& audio)
    : p_(std::make_unique<Impl>()) {
  Impl& m = *p_;
  m.path = path;
  m.srcW = w;
  m.srcH = h;
  m.w = w + (w & 1);
  m.h = h + (h & 1);
  m.channels = channels;
  m.fps = fps;
  m.audio = audio;
  if (w < 1 || h < 1) m.fail("no frame size");
  makeParentDirs(path);
  if (avformat_alloc_output_context2(&m.oc, nullptr, "mp4", path.c_str()) < 0 || !m.oc)
    m.fail("cannot create the MP4 muxer");
  m.pkt = av_packet_alloc();
  if (!m.pkt) m.fail("out of memory");
  m.openVideo();
  if (!audio.empty()) m.openAudio();
  int e = avio_open(&m.oc->pb, path.c_str(), AVIO_FLAG_WRITE);
  if (e < 0) m.fail("cannot write: " + averr(e));
  m.opened = true;
  if ((e = avformat_write_header(m.oc, nullptr)) < 0) m.fail("MP4 header: " + averr(e));
  m.headerWritten = true;
  if (padded()) m.pad.resize(size_t(m.w) * size_t(m.h) * size_t(channels));
}

// The Impl cleans up, also after a constructor that threw.
Mp4Writer::~Mp4Writer() = default;

bool Mp4Writer::padded() const { return p_->w != p_->srcW || p_->h != p_->srcH; }
int Mp4Writer::width() const { return p_->w; }
int Mp4Writer::height() const { return p_->h; }

void Mp4Writer::addFrame(const unsigned char* pixels) {
  Impl& m = *p_;
  const unsigned char* src = pixels;
  if (padded()) {
    const size_t c = size_t(m.channels), srcRow = size_t(m.srcW) * c, row = size_t(m.w) * c;
    for (int y = 0; y < m.h; ++y) {
      unsigned char* d = m.pad.data() + size_t(y) * row;
      std::memcpy(d, pixels + size_t(std::min(y, m.srcH - 1)) * srcRow, srcRow);
      if (m.w != m.srcW) std::memcpy(d + srcRow, d + srcRow - c, c);
    }
    src = m.pad.data();
  }
  if (av_frame_make_writable(m.vframe) < 0) m.fail("frame not writable");
  const uint8_t* planes[1] = {src};
  const int stride[1] = {m.channels * m.w};
  sws_scale(m.sws, planes, stride, 0, m.h, m.vframe->data, m.vframe->linesize);
  m.vframe->pts = m.nextVideo++;
  m.send(m.vcc, m.vst, m.vframe);
  // The audio this frame spans, so that the muxer interleaves as it goes.
  m.feedAudio(size_t(m.nextVideo) * size_t(kRate) / size_t(m.fps), false);
}

void Mp4Writer::finish() {
  Impl& m = *p_;
  if (m.finished) return;
  m.finished = true;
  m.send(m.vcc, m.vst, nullptr);
  if (m.acc) {
    m.feedAudio(m.audio.size(), true);
    m.send(m.acc, m.ast, nullptr);
  }
  const int e = av_write_trailer(m.oc);
  if (e < 0) m.fail("MP4 trailer: " + averr(e));
  m.complete = true;
}

}  // namespace lecore
