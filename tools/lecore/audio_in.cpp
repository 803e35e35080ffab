#include "audio_in.h"

#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
}

#include "common.h"

namespace lecore {

namespace {


struct Decoder {
  AVFormatContext* fmt = nullptr;
  AVCodecContext* dec = nullptr;
  SwrContext* swr = nullptr;
  AVPacket* pkt = nullptr;
  AVFrame* frame = nullptr;
  ~Decoder() {
    av_frame_free(&frame);
    av_packet_free(&pkt);
    swr_free(&swr);
    avcodec_free_context(&dec);
    avformat_close_input(&fmt);
  }
};

}  // namespace

std::vector<int16_t> readSpeech(const std::string& path) {
  const std::string who = "audio " + path + ": ";
  if (!isFile(path)) throw Failure(who + (isDir(path) ? "is a directory" : "no such file"));
  Decoder d;
  int e = avformat_open_input(&d.fmt, path.c_str(), nullptr, nullptr);
  if (e < 0) throw Failure(who + "not a readable audio file (" + averr(e) + ")");
  if ((e = avformat_find_stream_info(d.fmt, nullptr)) < 0) throw Failure(who + "cannot read its streams (" + averr(e) + ")");
  const AVCodec* codec = nullptr;
  const int si = av_find_best_stream(d.fmt, AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0);
  if (si == AVERROR_STREAM_NOT_FOUND) throw Failure(who + "holds no audio stream");
  if (si < 0 || !codec) throw Failure(who + "no decoder for its audio stream");
  const AVStream* st = d.fmt->streams[si];
  d.dec = avcodec_alloc_context3(codec);
  d.pkt = av_packet_alloc();
  d.frame = av_frame_alloc();
  if (!d.dec || !d.pkt || !d.frame) throw Failure("out of memory");
  if ((e = avcodec_parameters_to_context(d.dec, st->codecpar)) < 0 || (e = avcodec_open2(d.dec, codec, nullptr)) < 0)
    throw Failure(who + "cannot open its " + codec->name + " decoder (" + averr(e) + ")");
  if (d.dec->sample_rate <= 0) throw Failure(who + "its audio stream declares no sample rate");

  std::vector<int16_t> out;
  int decodeErrors = 0;
  std::string lastDecodeError;
  // The resampler is set up from the first decoded frame: a stream's parameters
  // may only be known once decoding starts.
  auto drain = [&]() {
    while ((e = avcodec_receive_frame(d.dec, d.frame)) >= 0) {
      if (!d.swr) {
        AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO;
        AVChannelLayout in{};
        if (d.frame->ch_layout.nb_channels > 0) av_channel_layout_copy(&in, &d.frame->ch_layout);
        else av_channel_layout_copy(&in, &d.dec->ch_layout);
        if (in.order == AV_CHANNEL_ORDER_UNSPEC) av_channel_layout_default(&in, in.nb_channels);
        const int r = swr_alloc_set_opts2(&d.swr, &mono, AV_SAMPLE_FMT_S16, kRate, &in,
                                          AVSampleFormat(d.frame->format), d.frame->sample_rate, 0, nullptr);
        av_channel_layout_uninit(&in);
        if (r < 0 || (e = swr_init(d.swr)) < 0) throw Failure(who + "cannot convert its audio to 16 kHz mono");
      }
      const int room = swr_get_out_samples(d.swr, d.frame->nb_samples);
      if (room < 0) throw Failure(who + "cannot convert its audio to 16 kHz mono");
      const size_t at = out.size();
      out.resize(at + size_t(room));
      uint8_t* dst = reinterpret_cast<uint8_t*>(out.data() + at);
      const int got = swr_convert(d.swr, &dst, room, const_cast<const uint8_t**>(d.frame->extended_data), d.frame->nb_samples);
      if (got < 0) throw Failure(who + "cannot convert its audio to 16 kHz mono");
      out.resize(at + size_t(got));
      av_frame_unref(d.frame);
    }
    if (e != AVERROR(EAGAIN) && e != AVERROR_EOF) {
      ++decodeErrors;
      lastDecodeError = averr(e);
    }
  };
  for (;;) {
    e = av_read_frame(d.fmt, d.pkt);
    if (e == AVERROR_EOF) break;
    if (e < 0) throw Failure(who + "read error (" + averr(e) + ")");
    if (d.pkt->stream_index == si) {
      // A damaged packet is skipped, as players do; a file with nothing
      // decodable fails below.
      e = avcodec_send_packet(d.dec, d.pkt);
      if (e < 0 && e != AVERROR(EAGAIN)) {
        ++decodeErrors;
        lastDecodeError = averr(e);
      }
      drain();
    }
    av_packet_unref(d.pkt);
  }
  avcodec_send_packet(d.dec, nullptr);
  drain();
  if (d.swr) {
    // What the resampler still holds.
    for (;;) {
      const size_t at = out.size();
      out.resize(at + 4096);
      uint8_t* dst = reinterpret_cast<uint8_t*>(out.data() + at);
      const int got = swr_convert(d.swr, &dst, 4096, nullptr, 0);
      out.resize(at + size_t(got > 0 ? got : 0));
      if (got <= 0) break;
    }
  }
  if (out.empty())
    throw Failure(who + (decodeErrors ? "no decodable audio (" + lastDecodeError + ")" : std::string("holds no audio samples")));
  return out;
}

}  // namespace lecore
