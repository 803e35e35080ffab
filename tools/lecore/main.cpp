// lecore: the library's command-line host. It loads lible_core.so the way an
// application does, through the public C interface only.
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#define STB_IMAGE_WRITE_STATIC
#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb/stb_image_write.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include "le/le.h"

namespace {

int usage() {
  std::fprintf(stderr,
               "usage: lecore info <bundle> [--model KEY] [--threads N] [--ep NAME]\n"
               "       lecore render <bundle> [--model KEY] [--threads N] [--ep NAME]\n"
               "                     [--frames DIR] [--mp4 FILE] [--rows N]\n"
               "  info    open the identity bundle and print what the context reports\n"
               "  render  render the bundle's recorded drive, paste every crop onto its driver\n"
               "          frame, write the frames as PNG files (default out/demo_drive/) and\n"
               "          as an H.264 movie at 25 fps (default out/demo_drive.mp4);\n"
               "          --rows limits the rows rendered, --frames '' / --mp4 '' skip an output\n");
  return 2;
}

// mkdir -p.
bool makeDirs(const std::string& path) {
  for (size_t i = 1; i <= path.size(); ++i) {
    if (i < path.size() && path[i] != '/') continue;
    const std::string part = path.substr(0, i);
    if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return false;
  }
  return true;
}

std::string parentOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string averr(int e) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {0};
  av_strerror(e, buf, sizeof buf);
  return buf;
}

// H.264 in MP4 from RGBA frames. Odd frame sizes lose their last column or row,
// which 4:2:0 cannot carry.
class Mp4Writer {
 public:
  bool open(const std::string& path, int W, int H, int fps, std::string& err) {
    w_ = W & ~1;
    h_ = H & ~1;
    srcW_ = W;
    if (w_ < 2 || h_ < 2) return fail(err, "frame too small for H.264");
    if (avformat_alloc_output_context2(&oc_, nullptr, "mp4", path.c_str()) < 0 || !oc_)
      return fail(err, "cannot create the MP4 muxer");
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    if (!codec) codec = avcodec_find_encoder(AV_CODEC_ID_H264);
    if (!codec) return fail(err, "no H.264 encoder in this FFmpeg");
    st_ = avformat_new_stream(oc_, nullptr);
    cc_ = avcodec_alloc_context3(codec);
    if (!st_ || !cc_) return fail(err, "out of memory");
    cc_->width = w_;
    cc_->height = h_;
    cc_->pix_fmt = AV_PIX_FMT_YUV420P;
    cc_->time_base = AVRational{1, fps};
    cc_->framerate = AVRational{fps, 1};
    cc_->gop_size = 2 * fps;
    if (oc_->oformat->flags & AVFMT_GLOBALHEADER) cc_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    av_opt_set(cc_->priv_data, "preset", "veryfast", 0);
    av_opt_set(cc_->priv_data, "crf", "18", 0);
    int e = avcodec_open2(cc_, codec, nullptr);
    if (e < 0) return fail(err, "cannot open the encoder: " + averr(e));
    avcodec_parameters_from_context(st_->codecpar, cc_);
    st_->time_base = cc_->time_base;
    if ((e = avio_open(&oc_->pb, path.c_str(), AVIO_FLAG_WRITE)) < 0) return fail(err, "cannot write " + path + ": " + averr(e));
    if ((e = avformat_write_header(oc_, nullptr)) < 0) return fail(err, "MP4 header: " + averr(e));
    frame_ = av_frame_alloc();
    pkt_ = av_packet_alloc();
    if (!frame_ || !pkt_) return fail(err, "out of memory");
    frame_->format = cc_->pix_fmt;
    frame_->width = w_;
    frame_->height = h_;
    if (av_frame_get_buffer(frame_, 0) < 0) return fail(err, "out of memory");
    sws_ = sws_getContext(w_, h_, AV_PIX_FMT_RGBA, w_, h_, AV_PIX_FMT_YUV420P, SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (!sws_) return fail(err, "no RGBA -> YUV 4:2:0 conversion");
    return true;
  }

  bool add(const unsigned char* rgba, std::string& err) {
    if (av_frame_make_writable(frame_) < 0) return fail(err, "frame not writable");
    const uint8_t* src[1] = {rgba};
    const int stride[1] = {4 * srcW_};
    sws_scale(sws_, src, stride, 0, h_, frame_->data, frame_->linesize);
    frame_->pts = next_++;
    return send(frame_, err);
  }

  bool finish(std::string& err) {
    if (!send(nullptr, err)) return false;
    const int e = av_write_trailer(oc_);
    if (e < 0) return fail(err, "MP4 trailer: " + averr(e));
    return true;
  }

  ~Mp4Writer() {
    sws_freeContext(sws_);
    av_packet_free(&pkt_);
    av_frame_free(&frame_);
    avcodec_free_context(&cc_);
    if (oc_ && oc_->pb) avio_closep(&oc_->pb);
    avformat_free_context(oc_);
  }

 private:
  bool fail(std::string& err, const std::string& what) {
    err = what;
    return false;
  }

  bool send(AVFrame* f, std::string& err) {
    int e = avcodec_send_frame(cc_, f);
    if (e < 0) return fail(err, "encoder: " + averr(e));
    while ((e = avcodec_receive_packet(cc_, pkt_)) >= 0) {
      av_packet_rescale_ts(pkt_, cc_->time_base, st_->time_base);
      pkt_->stream_index = st_->index;
      e = av_interleaved_write_frame(oc_, pkt_);
      if (e < 0) return fail(err, "MP4 write: " + averr(e));
    }
    if (e != AVERROR(EAGAIN) && e != AVERROR_EOF) return fail(err, "encoder: " + averr(e));
    return true;
  }

  AVFormatContext* oc_ = nullptr;
  AVStream* st_ = nullptr;
  AVCodecContext* cc_ = nullptr;
  AVFrame* frame_ = nullptr;
  AVPacket* pkt_ = nullptr;
  SwsContext* sws_ = nullptr;
  int w_ = 0, h_ = 0, srcW_ = 0;
  int64_t next_ = 0;
};

int info(le_ctx* ctx, const char* bundle) {
  std::printf("bundle        %s\n", bundle);
  std::printf("frames (nt)   %d\n", le_nt(ctx));
  std::printf("frame size    %d x %d\n", le_width(ctx), le_height(ctx));
  std::printf("crop          %d x %d\n", le_crop(ctx), le_crop(ctx));
  std::printf("drive rows    %d\n", le_drive_frames(ctx));
  std::printf("keypoint rows %d\n", le_host_kp_rows());
  return 0;
}

int render(le_ctx* ctx, const std::string& framesDir, const std::string& mp4, int rows) {
  const int W = le_width(ctx), H = le_height(ctx);
  const int total = rows > 0 && rows < le_drive_frames(ctx) ? rows : le_drive_frames(ctx);
  if (!framesDir.empty() && !makeDirs(framesDir)) {
    std::fprintf(stderr, "lecore: cannot create %s\n", framesDir.c_str());
    return 1;
  }
  Mp4Writer movie;
  std::string err;
  if (!mp4.empty()) {
    const std::string parent = parentOf(mp4);
    if (!parent.empty() && !makeDirs(parent)) {
      std::fprintf(stderr, "lecore: cannot create %s\n", parent.c_str());
      return 1;
    }
    if (!movie.open(mp4, W, H, 25, err)) {
      std::fprintf(stderr, "lecore: %s: %s\n", mp4.c_str(), err.c_str());
      return 1;
    }
  }
  std::vector<unsigned char> rgba(size_t(W) * size_t(H) * 4);
  double renderMs = 0;
  using clock = std::chrono::steady_clock;
  for (int row = 0; row < total; ++row) {
    const auto t0 = clock::now();
    if (!le_render_drive_rgba(ctx, row, rgba.data(), rgba.size())) {
      std::fprintf(stderr, "lecore: row %d: %s\n", row, le_last_error());
      return 1;
    }
    const auto t1 = clock::now();
    if (row > 0) renderMs += std::chrono::duration<double, std::milli>(t1 - t0).count();  // row 0 opens the director
    if (!framesDir.empty()) {
      char name[32];
      std::snprintf(name, sizeof name, "/frame_%06d.png", row);
      const std::string path = framesDir + name;
      if (!stbi_write_png(path.c_str(), W, H, 4, rgba.data(), W * 4)) {
        std::fprintf(stderr, "lecore: cannot write %s\n", path.c_str());
        return 1;
      }
    }
    if (!mp4.empty() && !movie.add(rgba.data(), err)) {
      std::fprintf(stderr, "lecore: %s: %s\n", mp4.c_str(), err.c_str());
      return 1;
    }
  }
  if (!mp4.empty() && !movie.finish(err)) {
    std::fprintf(stderr, "lecore: %s: %s\n", mp4.c_str(), err.c_str());
    return 1;
  }
  std::printf("rendered      %d frames of %d x %d\n", total, W, H);
  if (total > 1) std::printf("render+paste  %.1f ms/frame (after the first)\n", renderMs / (total - 1));
  if (!framesDir.empty()) std::printf("frames        %s/frame_%%06d.png\n", framesDir.c_str());
  if (!mp4.empty()) std::printf("movie         %s\n", mp4.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return usage();
  const std::string cmd = argv[1];
  if (cmd != "info" && cmd != "render") return usage();
  const char* bundle = argv[2];
  std::string model = "b1", ep, framesDir = "out/demo_drive", mp4 = "out/demo_drive.mp4";
  int threads = 0, rows = 0;
  for (int i = 3; i < argc; ++i) {
    auto value = [&](const char* flag) -> const char* {
      if (std::strcmp(argv[i], flag) != 0) return nullptr;
      if (i + 1 >= argc) return nullptr;
      return argv[++i];
    };
    if (const char* v = value("--model")) model = v;
    else if (const char* v2 = value("--threads")) threads = std::atoi(v2);
    else if (const char* v3 = value("--ep")) ep = v3;
    else if (const char* v4 = cmd == "render" ? value("--frames") : nullptr) framesDir = v4;
    else if (const char* v5 = cmd == "render" ? value("--mp4") : nullptr) mp4 = v5;
    else if (const char* v6 = cmd == "render" ? value("--rows") : nullptr) rows = std::atoi(v6);
    else return usage();
  }
  le_ctx* ctx = le_create(bundle, model.c_str(), threads, ep.empty() ? nullptr : ep.c_str());
  if (!ctx) {
    std::fprintf(stderr, "lecore: %s\n", le_last_error());
    return 1;
  }
  const int rc = cmd == "info" ? info(ctx, bundle) : render(ctx, framesDir, mp4, rows);
  le_destroy(ctx);
  return rc;
}
