// The forge's movie encoder: one job, FFmpeg's encoder wrappers, a file or an
// in-memory sink, and the index move that makes a cut-short file still open.
#include "forge_encode.h"

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <thread>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
#include <libavutil/opt.h>
}

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
// Output context with its file or its in-memory sink: closes the file (or frees
// the sink's I/O context and its buffer) before freeing the context.
struct Muxer {
  AVFormatContext* oc = nullptr;
  bool opened = false;
  AVIOContext* sink = nullptr;
  ~Muxer() {
    if (oc && opened) avio_closep(&oc->pb);
    if (sink) {
      av_freep(&sink->buffer);
      avio_context_free(&sink);
    }
    avformat_free_context(oc);
  }
};

// A seekable byte sink for the muxer (the mp4 muxer seeks back to patch sizes).
struct MemorySink {
  std::vector<uint8_t>* out = nullptr;
  int64_t pos = 0;
  static int write(void* opaque, uint8_t* buf, int n) {
    auto* s = static_cast<MemorySink*>(opaque);
    if (n < 0) return AVERROR(EINVAL);
    const size_t end = size_t(s->pos) + size_t(n);
    if (end > s->out->size()) s->out->resize(end);
    std::copy_n(buf, n, s->out->data() + s->pos);
    s->pos = int64_t(end);
    return n;
  }
  static int64_t seek(void* opaque, int64_t offset, int whence) {
    auto* s = static_cast<MemorySink*>(opaque);
    const int64_t size = int64_t(s->out->size());
    if (whence & AVSEEK_SIZE) return size;
    int64_t at;
    switch (whence & ~AVSEEK_FORCE) {
      case SEEK_SET: at = offset; break;
      case SEEK_CUR: at = s->pos + offset; break;
      case SEEK_END: at = size + offset; break;
      default: return AVERROR(EINVAL);
    }
    if (at < 0 || at > (int64_t(1) << 40)) return AVERROR(EINVAL);
    s->pos = at;
    return at;
  }
};

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

}  // namespace

namespace detail {

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
  enc->colorspace = job.colorspace;
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
  MemorySink memSink{job.memory, 0};
  if (job.memory) {
    job.memory->clear();
    constexpr int kSinkBuffer = 1 << 16;
    auto* buf = static_cast<uint8_t*>(av_malloc(kSinkBuffer));
    if (!buf) fail("out of memory");
    mux.sink = avio_alloc_context(buf, kSinkBuffer, 1, &memSink, nullptr, &MemorySink::write, &MemorySink::seek);
    if (!mux.sink) {
      av_free(buf);
      fail("out of memory");
    }
    mux.oc->pb = mux.sink;
    mux.oc->flags |= AVFMT_FLAG_CUSTOM_IO;
  } else if (!(mux.oc->oformat->flags & AVFMT_NOFILE)) {
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
  if (mux.sink) {
    avio_flush(mux.sink);
    if (mux.sink->error < 0) fail("muxing failed (" + averr(mux.sink->error) + ")");
  }
}


void moveIndexToFront(std::string& b, const std::string& path) {
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
  b.swap(out);
}

}  // namespace detail

}  // namespace le::forge
