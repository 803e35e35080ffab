// The lecore command as a user runs it: speech files in, movies out, checked by
// demuxing and decoding them here; and one readable line for each way it fails.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "forge/forge.h"
#include "forge/forge_fca.h"
#include "forge/forge_motion.h"
#include "cli.h"
#include "support/files.h"
#include "support/tmpdir.h"

namespace fs = std::filesystem;
using le::test::lecorePath;
using le::test::quote;
using le::test::speech16k;
using le::test::TmpDir;
using le::test::writeWav;

namespace {

constexpr int kNt = 6;

// A small identity that both pipelines can drive, with an engine directory
// holding the motion engine and the clip pipeline's feature extractor.
struct Identity {
  le::forge::BundleSpec spec;
  std::string bundle, engine;
  explicit Identity(const TmpDir& t) {
    spec.nt = kNt;
    spec.W = 64;
    spec.H = 48;
    spec.crop = 32;
    spec.directorKeys = {"b1", "b4"};
    bundle = t.str("bundle");
    engine = t.str("engine");
    le::forge::writeBundle(bundle, spec);
    le::forge::writeDirector(bundle + "/model_render.onnx", spec);
    le::forge::MotionDirOptions m;
    m.nt = kNt;
    le::forge::writeMotionDir(engine, m);
    const auto fca = le::forge::writeFcaModels(engine);
    fs::copy_file(fca.model, bundle + "/fca_stream.onnx");
  }
};

struct Outcome {
  int code = -1;
  std::string out, err;
  // stderr without the library's own diagnostic lines ("[le...").
  std::vector<std::string> errLines() const {
    std::vector<std::string> v;
    std::istringstream in(err);
    for (std::string line; std::getline(in, line);)
      if (!line.empty() && line.rfind("[le", 0) != 0) v.push_back(line);
    return v;
  }
};

Outcome lecore(const TmpDir& t, const std::vector<std::string>& args) {
  EXPECT_TRUE(fs::exists(lecorePath())) << lecorePath() << ": build the lecore target";
  std::string cmd = quote(lecorePath());
  for (const std::string& a : args) cmd += " " + quote(a);
  cmd += " >" + quote(t.str("stdout")) + " 2>" + quote(t.str("stderr"));
  const int st = std::system(cmd.c_str());
  Outcome r;
  r.code = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  r.out = le::test::readFile(t.str("stdout"));
  r.err = le::test::readFile(t.str("stderr"));
  return r;
}

struct Movie {
  int videoStreams = 0, audioStreams = 0, w = 0, h = 0;
  bool h264 = false, aac = false;
  AVRational rate{0, 1};
  int64_t videoPackets = 0, audioSamples = 0;
  int audioRate = 0;
  double audioDeclaredS = 0;
  double worstStepBackS = 0;  // in file order, how far a packet's time falls behind the one before it
};

Movie demux(const std::string& path) {
  Movie m;
  AVFormatContext* fmt = nullptr;
  if (avformat_open_input(&fmt, path.c_str(), nullptr, nullptr) < 0) {
    ADD_FAILURE() << "cannot open " << path;
    return m;
  }
  EXPECT_GE(avformat_find_stream_info(fmt, nullptr), 0);
  int vi = -1, ai = -1;
  for (unsigned i = 0; i < fmt->nb_streams; ++i) {
    const AVStream* st = fmt->streams[i];
    if (st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
      ++m.videoStreams, vi = int(i);
      m.h264 = st->codecpar->codec_id == AV_CODEC_ID_H264;
      m.w = st->codecpar->width, m.h = st->codecpar->height;
      m.rate = st->avg_frame_rate;
    } else if (st->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) {
      ++m.audioStreams, ai = int(i);
      m.aac = st->codecpar->codec_id == AV_CODEC_ID_AAC;
      m.audioRate = st->codecpar->sample_rate;
      m.audioDeclaredS = double(st->duration) * av_q2d(st->time_base);
    }
  }
  // The audio as a player hears it: decoded, with the encoder's priming dropped.
  AVCodecContext* dec = nullptr;
  if (ai >= 0) {
    const AVCodec* c = avcodec_find_decoder(fmt->streams[ai]->codecpar->codec_id);
    dec = avcodec_alloc_context3(c);
    avcodec_parameters_to_context(dec, fmt->streams[ai]->codecpar);
    dec->pkt_timebase = fmt->streams[ai]->time_base;
    EXPECT_GE(avcodec_open2(dec, c, nullptr), 0);
  }
  AVPacket* pkt = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  std::vector<std::pair<int64_t, double>> order;  // (file position, time)
  auto drain = [&] {
    while (avcodec_receive_frame(dec, frame) >= 0) m.audioSamples += frame->nb_samples;
  };
  while (av_read_frame(fmt, pkt) >= 0) {
    const AVStream* st = fmt->streams[pkt->stream_index];
    order.emplace_back(pkt->pos, double(pkt->dts) * av_q2d(st->time_base));
    if (pkt->stream_index == vi) ++m.videoPackets;
    if (pkt->stream_index == ai) {
      avcodec_send_packet(dec, pkt);
      drain();
    }
    av_packet_unref(pkt);
  }
  if (dec) {
    avcodec_send_packet(dec, nullptr);
    drain();
  }
  std::sort(order.begin(), order.end());
  for (size_t i = 1; i < order.size(); ++i) m.worstStepBackS = std::max(m.worstStepBackS, order[i - 1].second - order[i].second);
  av_frame_free(&frame);
  av_packet_free(&pkt);
  avcodec_free_context(&dec);
  avformat_close_input(&fmt);
  return m;
}

// One H.264 stream of the identity's size at 25 fps with `frames` frames, one
// AAC stream as long as the speech (within a frame), the two interleaved.
void expectMovie(const std::string& path, const Identity& id, int64_t frames, double speechS) {
  const Movie m = demux(path);
  EXPECT_EQ(m.videoStreams, 1);
  EXPECT_EQ(m.audioStreams, 1);
  EXPECT_TRUE(m.h264);
  EXPECT_TRUE(m.aac);
  EXPECT_EQ(m.w, id.spec.W);
  EXPECT_EQ(m.h, id.spec.H);
  EXPECT_EQ(av_cmp_q(m.rate, AVRational{25, 1}), 0) << m.rate.num << "/" << m.rate.den;
  EXPECT_EQ(m.videoPackets, frames);
  ASSERT_GT(m.audioRate, 0);
  EXPECT_NEAR(m.audioDeclaredS, speechS, 0.04) << "declared audio duration";
  // Decoders hand out whole AAC frames (1024 samples); the declared duration
  // trims the last one. All of the speech is there, and no more than a frame of padding.
  const double decodedS = double(m.audioSamples) / m.audioRate;
  EXPECT_GE(decodedS, speechS - 1.0 / m.audioRate) << "decoded audio";
  EXPECT_LT(decodedS, speechS + 1024.0 / m.audioRate) << "decoded audio";
  EXPECT_LT(m.worstStepBackS, 1.0) << "audio and video are not interleaved";
}

// Live pipeline from a 44.1 kHz stereo file (the resampler's work), and the
// clip pipeline from a 16 kHz mono one: exactly ceil(samples_16k / 640) frames.
TEST(LecoreSpeak, WritesOneFramePerHopOfSpeechWithTheSpeechAsAac) {
  TmpDir t;
  const Identity id(t);

  // 48320 samples at 16 kHz (75.5 frames: a resampler that is off by a few
  // samples still gives 76) as 133182 at 44.1 kHz, left and right differing.
  const std::vector<int16_t> mono = speech16k(48320);
  const size_t n44 = 133182;
  std::vector<int16_t> stereo(2 * n44);
  for (size_t i = 0; i < n44; ++i) {
    const double x = double(i) * 16000.0 / 44100.0;
    const size_t k = std::min(size_t(x), mono.size() - 2);
    const double v = mono[k] + (x - double(k)) * (mono[k + 1] - mono[k]);
    stereo[2 * i] = int16_t(std::lround(v));
    stereo[2 * i + 1] = int16_t(std::lround(v * 0.5));
  }
  writeWav(t.str("stereo.wav"), stereo, 44100, 2);
  const Outcome live = lecore(t, {"speak", id.bundle, "--engine", id.engine, "--audio", t.str("stereo.wav"), "--out",
                              t.str("live.mp4"), "--threads", "1", "--sheet", t.str("sheet.png")});
  ASSERT_EQ(live.code, 0) << live.err;
  expectMovie(t.str("live.mp4"), id, 76, 48320 / 16000.0);
  // Six frames, three across, 4-pixel gaps.
  int w = 0, h = 0;
  const std::string png = le::test::readFile(t.str("sheet.png"));
  ASSERT_GT(png.size(), 24u);
  for (int i = 0; i < 4; ++i) w = w << 8 | uint8_t(png[16 + size_t(i)]), h = h << 8 | uint8_t(png[20 + size_t(i)]);
  EXPECT_EQ(w, 3 * id.spec.W + 8);
  EXPECT_EQ(h, 2 * id.spec.H + 4);

  const std::vector<int16_t> clip = speech16k(32000 + 100);  // 51 frames, the last one short
  writeWav(t.str("mono.wav"), clip, 16000, 1);
  const Outcome c = lecore(t, {"speak", id.bundle, "--engine", id.engine, "--audio", t.str("mono.wav"), "--out",
                           t.str("clip.mp4"), "--threads", "1", "--clip"});
  ASSERT_EQ(c.code, 0) << c.err;
  expectMovie(t.str("clip.mp4"), id, 51, 32100 / 16000.0);
}

// Each failure: a non-zero exit and exactly one line of its own on stderr,
// naming what failed.
TEST(LecoreSpeak, EachFailureIsOneLineNamingItsCause) {
  TmpDir t;
  const Identity id(t);
  writeWav(t.str("ok.wav"), speech16k(6400), 16000, 1);
  const std::string wav = le::test::readFile(t.str("ok.wav"));
  le::test::writeFile(t.str("text.wav"), "this is not audio at all\n");
  le::test::writeFile(t.str("empty.wav"), "");
  le::test::writeFile(t.str("cut.wav"), wav.substr(0, 30));
  fs::create_directories(t.str("broken"));
  fs::copy(id.engine, t.str("broken"), fs::copy_options::recursive);
  le::test::writeFile(t.str("broken/meta.json"), "{");

  struct Case {
    std::string bundle, engine, audio, names;
  };
  const std::vector<Case> cases = {
      {t.str("nowhere"), id.engine, t.str("ok.wav"), "nowhere"},
      {id.bundle, id.engine, t.str("text.wav"), "text.wav"},
      {id.bundle, id.engine, t.str("empty.wav"), "empty.wav"},
      {id.bundle, id.engine, t.str("cut.wav"), "cut.wav"},
      {id.bundle, id.engine, t.str("missing.wav"), "missing.wav"},
      {id.bundle, t.str("broken"), t.str("ok.wav"), "broken"},
      {id.bundle, t.str("no-engine"), t.str("ok.wav"), "no-engine"},
  };
  for (const Case& k : cases) {
    for (const bool clip : {false, true}) {
      if (clip && k.names == "broken") continue;  // the clip pipeline does not read the motion engine
      std::vector<std::string> args = {"speak", k.bundle, "--engine", k.engine, "--audio", k.audio, "--out", t.str("x.mp4")};
      if (clip) args.push_back("--clip");
      const Outcome r = lecore(t, args);
      const std::vector<std::string> lines = r.errLines();
      EXPECT_NE(r.code, 0) << k.names << (clip ? " --clip" : "");
      ASSERT_EQ(lines.size(), 1u) << k.names << (clip ? " --clip" : "") << ":\n" << r.err;
      EXPECT_EQ(lines[0].rfind("lecore: ", 0), 0u) << lines[0];
      EXPECT_NE(lines[0].find(k.names), std::string::npos) << lines[0];
    }
  }
}

// info tells which audio engine a directory holds.
TEST(LecoreInfo, NamesTheAudioEngine) {
  TmpDir t;
  const Identity id(t);
  fs::create_directories(t.str("empty"));
  const Outcome motion = lecore(t, {"info", id.bundle, "--engine", id.engine});
  ASSERT_EQ(motion.code, 0) << motion.err;
  EXPECT_NE(motion.out.find("audio engine  motion engine (meta.json), nt 6: matches"), std::string::npos) << motion.out;
  EXPECT_NE(motion.out.find("\nrewrites:\n"), std::string::npos) << motion.out;
  const Outcome none = lecore(t, {"info", id.bundle, "--engine", t.str("empty")});
  ASSERT_EQ(none.code, 0) << none.err;
  EXPECT_NE(none.out.find("audio engine  none"), std::string::npos) << none.out;
}

}  // namespace
