// Reference bank track decoding: FFmpeg over a custom in-memory input, every
// object owned by a holder so that each refusal (and any exception) frees all.
#include "tessera/le_bankdec_ff.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/mem.h>
#include <libswscale/swscale.h>
}

namespace le {
namespace {

const std::string kDash = "\xE2\x80\x94";

[[noreturn]] void fail(const std::string& m) { throw std::runtime_error(m); }

constexpr int kIoBuffer = 65536;
// Limits on what a sidecar may ask the decoder to allocate: the owner's donor
// cap, a patch side no compose canvas comes near, and 1 GiB in all.
constexpr int kMaxDonors = 1024;
constexpr int kMaxSide = 8192;
constexpr int64_t kMaxBankBytes = int64_t(1) << 30;

// The track's bytes as a read-only, seekable input.
struct MemoryInput {
  const uint8_t* data = nullptr;
  int64_t size = 0;
  int64_t pos = 0;

  static int read(void* opaque, uint8_t* buf, int want) {
    auto* in = static_cast<MemoryInput*>(opaque);
    const int64_t n = std::min<int64_t>(std::max(want, 0), in->size - in->pos);
    if (n <= 0) return AVERROR_EOF;
    std::memcpy(buf, in->data + in->pos, size_t(n));
    in->pos += n;
    return int(n);
  }
  static int64_t seek(void* opaque, int64_t offset, int whence) {
    auto* in = static_cast<MemoryInput*>(opaque);
    if (whence == AVSEEK_SIZE) return in->size;
    int64_t at;
    switch (whence & ~AVSEEK_FORCE) {
      case SEEK_SET:
        at = offset;
        break;
      case SEEK_CUR:
        at = in->pos + offset;
        break;
      case SEEK_END:
        at = in->size + offset;
        break;
      default:
        return -1;
    }
    if (at < 0 || at > in->size) return -1;
    in->pos = at;
    return at;
  }
};

// The I/O context and its buffer. The context may swap the buffer for another
// of its own, so the one to free is always the context's current one.
struct IoHolder {
  uint8_t* buffer = nullptr;  // ours until the context takes it
  AVIOContext* io = nullptr;
  ~IoHolder() {
    if (io) {
      av_freep(&io->buffer);
      avio_context_free(&io);
    } else {
      av_freep(&buffer);
    }
  }
};

// A format context is freed by avformat_open_input itself when opening fails
// (the pointer comes back null); once open it is closed, never merely freed.
struct FormatHolder {
  AVFormatContext* fc = nullptr;
  bool open = false;
  ~FormatHolder() {
    if (open)
      avformat_close_input(&fc);
    else
      avformat_free_context(fc);
  }
};

struct DictHolder {
  AVDictionary* d = nullptr;
  ~DictHolder() { av_dict_free(&d); }
};

struct CodecFree {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct PacketFree {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct FrameFree {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct SwsFree {
  void operator()(SwsContext* s) const { sws_freeContext(s); }
};
// Releases a received picture whichever way its handling leaves.
struct FrameUnref {
  AVFrame* f;
  ~FrameUnref() { av_frame_unref(f); }
};
struct PacketUnref {
  AVPacket* p;
  ~PacketUnref() { av_packet_unref(p); }
};

std::string sizeMismatch(int w, int h, int band_w, int band_h) {
  return "reference bank track is " + std::to_string(w) + "x" + std::to_string(h) + ", the geometry stamp says " +
         std::to_string(band_w) + "x" + std::to_string(band_h) + " " + kDash + " geometry mismatch, refusing to serve";
}

int firstVideoStream(const AVFormatContext* fc) {
  for (unsigned i = 0; i < fc->nb_streams; ++i)
    if (fc->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) return int(i);
  return -1;
}

}  // namespace

std::vector<uint8_t> decodeBankTrack(const uint8_t* bytes, size_t size, int n_donors, int band_h, int band_w,
                                     const std::vector<int32_t>& track_order) {
  if (!bytes || size == 0) fail("reference bank track is empty " + kDash + " refusing to serve");
  if (band_w < 1 || band_h < 1 || n_donors < 1)
    fail("reference bank geometry is not positive " + kDash + " refusing to serve");
  if (track_order.size() != size_t(n_donors))
    fail("reference bank sidecar track_order has " + std::to_string(track_order.size()) + " entries, expected " +
         std::to_string(n_donors) + " " + kDash + " sidecar/track mismatch, refusing to serve");
  // The bank is allocated from these numbers: bound them (all in 64 bits) before
  // anything is, so a hostile sidecar can neither wrap the size nor ask for terabytes.
  if (n_donors > kMaxDonors || band_w > kMaxSide || band_h > kMaxSide ||
      int64_t(band_w) * band_h * 3 * n_donors > kMaxBankBytes)
    fail("reference bank geometry " + std::to_string(n_donors) + " x " + std::to_string(band_w) + "x" +
         std::to_string(band_h) + " is beyond the decoder's limits (at most " + std::to_string(kMaxDonors) +
         " donors, patch sides of " + std::to_string(kMaxSide) + ", 1 GiB in all) " + kDash + " refusing to serve");
  if (size > size_t(INT64_MAX))
    fail("reference bank track is not a readable container " + kDash + " refusing to serve");
  const int64_t stride = int64_t(band_w) * band_h * 3;

  MemoryInput input{bytes, int64_t(size), 0};
  IoHolder io;
  FormatHolder fmt;
  io.buffer = static_cast<uint8_t*>(av_malloc(kIoBuffer));
  if (!io.buffer) fail("reference bank decode: out of memory");
  io.io = avio_alloc_context(io.buffer, kIoBuffer, 0, &input, &MemoryInput::read, nullptr, &MemoryInput::seek);
  if (!io.io) fail("reference bank decode: avio_alloc_context failed");
  io.buffer = nullptr;
  fmt.fc = avformat_alloc_context();
  if (!fmt.fc) fail("reference bank decode: avformat_alloc_context failed");
  fmt.fc->pb = io.io;
  fmt.fc->flags |= AVFMT_FLAG_CUSTOM_IO;

  if (avformat_open_input(&fmt.fc, nullptr, nullptr, nullptr) < 0)
    fail("reference bank track is not a readable container " + kDash + " refusing to serve");
  fmt.open = true;
  // The container states the picture size before any decoder runs: refuse a
  // mismatch here, before probing decodes (and allocates for) a single frame.
  int vs = firstVideoStream(fmt.fc);
  if (vs >= 0) {
    const AVCodecParameters* par = fmt.fc->streams[vs]->codecpar;
    if ((par->width > 0 || par->height > 0) && (par->width != band_w || par->height != band_h))
      fail(sizeMismatch(par->width, par->height, band_w, band_h));
  }
  // Every decoder, the probing ones included, refuses a picture beyond this
  // before allocating it. They check their padded picture (rows aligned for
  // vector code), hence the margin beyond the patch.
  const int64_t maxPixels = (int64_t(band_w) + 256) * (int64_t(band_h) + 256);
  {
    const unsigned ns = fmt.fc->nb_streams;
    std::vector<DictHolder> opts(ns);
    std::vector<AVDictionary*> raw(ns, nullptr);
    for (unsigned i = 0; i < ns; ++i) {
      av_dict_set_int(&opts[i].d, "max_pixels", maxPixels, 0);
      raw[i] = opts[i].d;
    }
    const int r = avformat_find_stream_info(fmt.fc, ns ? raw.data() : nullptr);
    // The call may replace each dictionary (with the options it did not use).
    for (unsigned i = 0; i < ns; ++i) opts[i].d = raw[i];
    if (r < 0) fail("reference bank track carries no stream info " + kDash + " refusing to serve");
  }
  vs = firstVideoStream(fmt.fc);
  if (vs < 0) fail("reference bank track has no video stream " + kDash + " refusing to serve");
  const AVCodecParameters* par = fmt.fc->streams[vs]->codecpar;
  if (par->width != band_w || par->height != band_h) fail(sizeMismatch(par->width, par->height, band_w, band_h));

  const AVCodec* codec = avcodec_find_decoder(par->codec_id);
  if (!codec)
    fail("no decoder for the reference bank track " + kDash +
         " this build must carry the h264 decoder (see build_ffmpeg_android.sh); refusing to serve");
  std::unique_ptr<AVCodecContext, CodecFree> dec(avcodec_alloc_context3(codec));
  if (!dec) fail("reference bank decode: avcodec_alloc_context3 failed");
  if (avcodec_parameters_to_context(dec.get(), par) < 0)
    fail("reference bank decode: avcodec_parameters_to_context failed");
  dec->max_pixels = maxPixels;
  dec->thread_count = 1;  // patches are small; one thread keeps the decoder's footprint to one picture
  if (avcodec_open2(dec.get(), codec, nullptr) < 0)
    fail("reference bank decode: could not open the decoder " + kDash + " refusing to serve");
  std::unique_ptr<AVPacket, PacketFree> pkt(av_packet_alloc());
  std::unique_ptr<AVFrame, FrameFree> frame(av_frame_alloc());
  // The converter's vector paths (4:2:0 and 4:2:2 sources among them) store past
  // the end of a row, up to the padding FFmpeg's own pictures carry: converting
  // straight into a packed slot would overwrite the next donor (or, for the
  // last, the heap). So each picture is converted into one padded RGB picture
  // and its rows copied into the slot.
  std::unique_ptr<AVFrame, FrameFree> rgb(av_frame_alloc());
  if (!pkt || !frame || !rgb) fail("reference bank decode: out of memory");
  rgb->format = AV_PIX_FMT_RGB24;
  rgb->width = band_w;
  rgb->height = band_h;
  if (av_frame_get_buffer(rgb.get(), 0) < 0) fail("reference bank decode: out of memory");
  std::vector<uint8_t> bank;
  try {
    bank.assign(size_t(stride) * size_t(n_donors), 0);
  } catch (const std::bad_alloc&) {
    fail("reference bank decode: out of memory");
  }

  for (const int32_t slot : track_order)
    if (slot < 0 || slot >= n_donors)
      fail("reference bank track_order is out of range " + kDash + " refusing to serve");
  {
    std::vector<bool> seen(size_t(n_donors), false);
    for (const int32_t slot : track_order) {
      if (seen[size_t(slot)]) fail("reference bank track_order is not a permutation " + kDash + " refusing to serve");
      seen[size_t(slot)] = true;
    }
  }

  std::unique_ptr<SwsContext, SwsFree> sws;
  int swsFormat = AV_PIX_FMT_NONE;
  int count = 0;
  // Takes every picture the decoder has ready into its donor slot.
  auto receive = [&]() {
    for (;;) {
      const int r = avcodec_receive_frame(dec.get(), frame.get());
      // A picture the decoder could not make is simply missing: the count decides.
      if (r < 0) return;
      FrameUnref release{frame.get()};
      if (frame->width != band_w || frame->height != band_h)
        fail("reference bank frame changed size mid-track " + kDash + " refusing to serve");
      if (!sws) {
        sws.reset(sws_getContext(band_w, band_h, AVPixelFormat(frame->format), band_w, band_h, AV_PIX_FMT_RGB24,
                                 SWS_BILINEAR, nullptr, nullptr, nullptr));
        if (!sws) fail("reference bank decode: no rgb24 conversion " + kDash + " refusing to serve");
        swsFormat = frame->format;
      } else if (frame->format != swsFormat) {
        // The converter reads the planes of the format it was made for.
        fail("reference bank frame changed pixel format mid-track " + kDash + " refusing to serve");
      }
      if (count >= n_donors)
        fail("bank track carries more frames than the sidecar's n_donors " + kDash +
             " sidecar/track mismatch, refusing to serve");
      if (sws_scale(sws.get(), frame->data, frame->linesize, 0, band_h, rgb->data, rgb->linesize) != band_h)
        fail("reference bank decode: no rgb24 conversion " + kDash + " refusing to serve");
      uint8_t* slot = bank.data() + size_t(track_order[size_t(count)]) * size_t(stride);
      const size_t row = size_t(band_w) * 3;
      for (int y = 0; y < band_h; ++y)
        std::memcpy(slot + size_t(y) * row, rgb->data[0] + size_t(y) * rgb->linesize[0], row);
      ++count;
    }
  };
  auto send = [&](const AVPacket* p) {
    // A packet the decoder refuses leaves its picture missing: the count decides.
    if (avcodec_send_packet(dec.get(), p) == AVERROR(EAGAIN)) {
      receive();
      avcodec_send_packet(dec.get(), p);
    }
    receive();
  };
  for (;;) {
    if (av_read_frame(fmt.fc, pkt.get()) < 0) break;
    PacketUnref release{pkt.get()};
    if (pkt->stream_index == vs) send(pkt.get());
  }
  send(nullptr);

  if (count != n_donors)
    fail("bank track decoded to " + std::to_string(count) + " frames, expected " + std::to_string(n_donors) + " " +
         kDash + " geometry/N mismatch, refusing to serve");
  return bank;
}

std::string bankDecoderBuild() {
  // The library actually loaded, which need not be the one compiled against.
  const unsigned v = avcodec_version();
  return "libavcodec " + std::to_string(AV_VERSION_MAJOR(v)) + "." + std::to_string(AV_VERSION_MINOR(v)) + "." +
         std::to_string(AV_VERSION_MICRO(v)) + " / " + avcodec_configuration();
}

}  // namespace le
