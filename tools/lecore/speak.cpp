// lecore speak: one speech file in, one talking movie out.
#include <cmath>
#include <cstdio>
#include <memory>
#include <thread>

#include "audio_in.h"
#include "common.h"
#include "le/le.h"
#include "le/le_tessera.h"
#include "le/le_utt.h"
#include "mp4_out.h"

namespace lecore {

namespace {

using namespace std::chrono_literals;

struct CtxDel {
  void operator()(le_ctx* c) const { le_destroy(c); }
};
struct UttDel {
  void operator()(le_utt* u) const { le_utt_destroy(u); }
};
struct StreamDel {
  void operator()(le_stream* s) const { le_stream_destroy(s); }
};

struct MembersDel {
  void operator()(le_tessera_members* m) const { le_tessera_members_close(m); }
};

// Arms the teeth stage with the bundle's own four members; the library
// decodes the bank track.
void attachTeeth(le_utt* u, const std::string& bundle) {
  char err[2048] = "";
  std::unique_ptr<le_tessera_members, MembersDel> m(le_tessera_members_open(bundle.c_str(), err, sizeof err));
  if (!m) throw Failure(std::string("--teeth: ") + err);
  std::vector<uint8_t> bank(size_t(le_tessera_members_band_bytes(m.get())));
  if (le_tessera_members_decode_bank(m.get(), bank.data(), err, sizeof err) != 0)
    throw Failure(std::string("--teeth: ") + err);
  if (le_utt_tessera_attach(u, bank.data(), le_tessera_members_n_donors(m.get()), le_tessera_members_cent(m.get()),
                            le_tessera_members_c_canon(m.get()), le_tessera_members_aperture(m.get()),
                            le_tessera_members_stamp(m.get()), le_tessera_members_head_pt(m.get()),
                            int(le_tessera_members_head_pt_len(m.get())), le_tessera_members_head_json(m.get()),
                            le_tessera_members_manifest_json(m.get()), err, sizeof err) != 0)
    throw Failure(std::string("--teeth: ") + err);
}

struct Outcome {
  int frames = 0, w = 0, h = 0;
  double firstFrameMs = 0, loadS = 0, workS = 0;
  bool padded = false;
  std::string sheetSays, teethSays;
};

Outcome speakLive(const Args& a, const std::vector<int16_t>& audio, int total) {
  Outcome o;
  const auto t0 = Clock::now();
  std::unique_ptr<le_ctx, CtxDel> ctx(le_create(a.bundle.c_str(), a.model.c_str(), a.threads, a.ep.empty() ? nullptr : a.ep.c_str()));
  if (!ctx) throw Failure(le_last_error());
  o.w = le_width(ctx.get());
  o.h = le_height(ctx.get());
  le_utt_opts opts{};
  opts.motion_dir = a.engine.c_str();
  opts.threads = a.threads;
  std::unique_ptr<le_utt, UttDel> u(le_utt_create(ctx.get(), &opts));
  if (!u) throw Failure(le_utt_last_error());
  waitReady(u.get(), a.engine);
  if (a.teeth) attachTeeth(u.get(), a.bundle);
  o.loadS = secondsSince(t0);

  Mp4Writer movie(a.out, o.w, o.h, 3, 25, audio);
  o.padded = movie.padded();
  ContactSheet sheet(a.sheet, total, o.w, o.h);
  Progress progress(total);
  const size_t bytes = size_t(o.w) * size_t(o.h) * 3;
  std::vector<unsigned char> rgb(bytes);

  const auto start = Clock::now();
  // Offline: the whole utterance goes in at once, the pipeline paces nothing.
  constexpr size_t kChunk = 3200;
  for (size_t at = 0; at < audio.size(); at += kChunk) {
    const int n = int(std::min(kChunk, audio.size() - at));
    if (!le_utt_push_audio(u.get(), audio.data() + at, n)) throw Failure(le_utt_last_error());
  }
  le_utt_end_utterance(u.get());

  auto lastFrame = Clock::now();
  while (o.frames < total) {
    le_utt_frame_info info{};
    if (le_utt_pull_frame(u.get(), rgb.data(), bytes, &info) != 1) {
      if (*le_utt_last_error()) throw Failure(le_utt_last_error());
      char why[512] = "";
      uint64_t failures = 0;
      if (le_utt_render_status(u.get(), why, sizeof why, &failures) < 0)
        throw Failure(std::string("rendering failed after ") + std::to_string(o.frames) + " frames: " + why);
      if (Clock::now() - lastFrame > 120s)
        throw Failure("no frame for 120 s after " + std::to_string(o.frames) + " of " + std::to_string(total) + " speech frames");
      std::this_thread::sleep_for(1ms);
      continue;
    }
    lastFrame = Clock::now();
    if (info.kind != 1) {
      if (o.frames == 0) continue;  // the idle video before the utterance starts
      throw Failure("the utterance ended after " + std::to_string(o.frames) + " of " + std::to_string(total) +
                    " speech frames");
    }
    movie.addFrame(rgb.data());
    sheet.add(o.frames, rgb.data());
    ++o.frames;
    progress.update(o.frames);
  }
  progress.finish();
  movie.finish();
  o.workS = secondsSince(start);
  le_utt_stats st{};
  le_utt_get_stats(u.get(), &st);
  o.firstFrameMs = st.first_frame_latency_ms;
  o.sheetSays = sheet.write();
  if (a.teeth) {
    uint64_t composed = 0, passed = 0;
    char text[1024] = "";
    const int health = le_utt_tessera_stats(u.get(), &composed, &passed, text, sizeof text);
    o.teethSays = std::to_string(composed) + " frames with borrowed teeth, " + std::to_string(passed) +
                  " passed through" + (health < 0 ? std::string(" (the stage failed: ") + text + ")" : "");
  }
  return o;
}

struct ClipSink {
  Mp4Writer* movie = nullptr;
  ContactSheet* sheet = nullptr;
  Progress* progress = nullptr;
  int frames = 0;
  Clock::time_point start, first{};
  std::string error;
  static void take(void* user, int index, const unsigned char* rgb, int, int) {
    auto* s = static_cast<ClipSink*>(user);
    if (!s->error.empty()) return;
    // Nothing may unwind through the library: a failure is kept for after the run.
    try {
      if (s->frames == 0) s->first = Clock::now();
      s->movie->addFrame(rgb);
      s->sheet->add(index, rgb);
      ++s->frames;
      s->progress->update(s->frames);
    } catch (const std::exception& e) {
      s->error = e.what();
    }
  }
};

Outcome speakClip(const Args& a, const std::vector<int16_t>& audio, int total) {
  Outcome o;
  const std::string extractor = a.engine + "/fca_extractor.onnx";
  if (!isFile(extractor))
    throw Failure("engine " + a.engine + ": no fca_extractor.onnx (the clip pipeline's speech feature extractor)");
  const auto t0 = Clock::now();
  std::unique_ptr<le_stream, StreamDel> s(le_stream_create(a.bundle.c_str(), extractor.c_str(), a.threads, 0, 1.0f));
  if (!s) throw Failure(le_stream_last_error());
  // The pipeline reports a director it cannot open only as a failed render.
  char where[4096];
  if (le_bundle_resolve_member(a.bundle.c_str(), "model_render.onnx", where, sizeof where) == 0)
    throw Failure("bundle " + a.bundle + ": no model_render.onnx (the clip pipeline's director)");
  o.loadS = secondsSince(t0);
  o.w = le_stream_width(s.get());
  o.h = le_stream_height(s.get());
  std::vector<float> pcm(audio.size());
  for (size_t i = 0; i < audio.size(); ++i) pcm[i] = float(audio[i]) / 32768.0f;

  Mp4Writer movie(a.out, o.w, o.h, 3, 25, audio);
  o.padded = movie.padded();
  ContactSheet sheet(a.sheet, total, o.w, o.h);
  Progress progress(total);
  ClipSink sink;
  sink.movie = &movie;
  sink.sheet = &sheet;
  sink.progress = &progress;
  sink.start = Clock::now();
  const int n = le_stream_run(s.get(), pcm.data(), int(pcm.size()), &ClipSink::take, &sink);
  progress.finish();
  if (!sink.error.empty()) throw Failure(sink.error);
  if (n < 0) throw Failure(le_stream_last_error());
  if (n != total) throw Failure("the clip pipeline delivered " + std::to_string(n) + " of " + std::to_string(total) + " frames");
  movie.finish();
  o.workS = secondsSince(sink.start);
  o.frames = n;
  o.firstFrameMs = n > 0 ? std::chrono::duration<double, std::milli>(sink.first - sink.start).count() : 0;
  o.sheetSays = sheet.write();
  return o;
}

}  // namespace

void waitReady(le_utt* u, const std::string& engine) {
  const auto until = Clock::now() + 600s;
  for (int r; (r = le_utt_ready(u)) != 1;) {
    if (r < 0) throw Failure("engine " + engine + ": " + le_utt_last_error());
    if (Clock::now() > until) throw Failure("engine " + engine + ": still loading after 600 s");
    std::this_thread::sleep_for(2ms);
  }
}

int speak(const Args& a) {
  if (a.engine.empty()) throw UsageError("speak wants --engine DIR");
  if (a.audio.empty()) throw UsageError("speak wants --audio FILE");
  if (a.out.empty()) throw UsageError("speak wants --out FILE.mp4");
  if (a.teeth && a.clip) throw UsageError("--teeth works with the live pipeline, not --clip");
  checkEngineDir(a.engine);
  checkOutput("--out", a.out);
  if (!a.sheet.empty()) checkOutput("--sheet", a.sheet);
  const std::vector<int16_t> audio = readSpeech(a.audio);
  const int total = int((audio.size() + kHop - 1) / kHop);
  const Outcome o = a.clip ? speakClip(a, audio, total) : speakLive(a, audio, total);

  const double audioS = double(audio.size()) / kRate;
  std::printf("%s: %d frames %dx%d%s, %.1f fps, first frame %.0f ms, real-time factor %.2f (%.2f s of audio in %.2f s; "
              "loading %.2f s)\n",
              a.out.c_str(), o.frames, o.w, o.h, o.padded ? " (padded to even)" : "",
              o.workS > 0 ? o.frames / o.workS : 0.0, o.firstFrameMs, o.workS > 0 ? audioS / o.workS : 0.0, audioS,
              o.workS, o.loadS);
  if (!o.sheetSays.empty()) std::printf("%s: %s\n", a.sheet.c_str(), o.sheetSays.c_str());
  if (!o.teethSays.empty()) std::printf("teeth: %s\n", o.teethSays.c_str());
  return 0;
}

}  // namespace lecore
