// le-soak: a long live session against a forged identity, as fast as the
// machine goes. A seeded script of utterances (the speech fixture tiled and cut
// to random lengths), pauses and interrupts (mid-push, before speech, mid-speech,
// during the ramp) is played by one host thread that pushes faster than real
// time and pulls every frame as soon as it is ready. Every frame is checked as
// it arrives; one summary line at the end, exit 1 on the first violation.
//
//   le-soak [--seconds S] [--seed N] [--pipelined] [--single] [--movie]
//           [--max-frames F] [--cut-percent P] [--rss-bound-mib M]
//           [--rss-every U] [--speech PATH] [--work DIR] [--trace]
//
// --seconds: session length (speech pushed plus pauses), default 180.
// --pipelined: the paste thread; --single: no batched director.
// --movie: the driver and the source frames played from movies, as shipped
// identities carry them, instead of JPEG frames and raw source frames.
// --max-frames caps an utterance's length and --cut-percent (default 20) is
// the share of utterances interrupted: more of both in a short session.
// --rss-bound-mib: allowed growth after warm-up (default 8; 0 reports only).
// --trace prints each resident-memory sample as it is taken.
//
// What is checked:
//  - an utterance that runs to its end delivers ceil(samples / 640) speech
//    frames tagged 0..n-1 with nothing else between them, then ramp_frames
//    ramp frames;
//  - an interrupt: counting the frames pulled after le_utt_interrupt returns,
//    the first idle frame is frame R + 1 (R = interrupt_ramp_frames) when the
//    last frame pulled before it was speech or ramp, frame 1 when it was idle;
//    the frames before it are ramp frames, and their source indices walk on
//    from that last frame's. No speech frame comes before that idle frame,
//    and no frame of the interrupted utterance after it;
//  - seq strictly increases; idle and ramp frames step through the loop's
//    source frames one at a time;
//  - VmRSS after warm-up grows by no more than the bound (0: reported only);
//  - le_utt_get_stats: frames and speech frames pulled equal the host's
//    counts; utterances (counted as the first speech frame enters the ring)
//    is the host's count of first frames pulled plus, for interrupted
//    utterances whose first frame was dropped unpulled, at most one each;
//  - no render failure.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "forge/forge.h"
#include "forge/forge_motion.h"
#include "le/le.h"
#include "le/le_utt.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kHop = 640;
constexpr int kRate = 16000;
constexpr int kNt = 24;
constexpr int kRamp = 6;
constexpr int kInterruptRamp = 4;
constexpr double kSilenceEndS = 0.15;
// No frame at all for this long means the pipeline has stopped making them.
constexpr auto kStall = std::chrono::seconds(120);
constexpr int kWarmUtterances = 10;

struct Args {
  double seconds = 180;
  uint32_t seed = 1;
  bool pipelined = false, single = false, movie = false, trace = false;
  double rssBoundMib = 8;
  int rssEvery = 5;
  int maxFrames = 300;
  int cutPercent = 20;
  std::string speech = LE_SOAK_SPEECH;
  std::string work;
};

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "le-soak: FAIL: %s\n", what.c_str());
  std::fflush(stderr);
  std::_Exit(1);
}

Args parse(int argc, char** argv) {
  Args a;
  for (int i = 1; i < argc; ++i) {
    const std::string k = argv[i];
    auto val = [&]() -> std::string {
      if (i + 1 >= argc) fail("missing value after " + k);
      return argv[++i];
    };
    if (k == "--seconds") a.seconds = std::stod(val());
    else if (k == "--seed") a.seed = uint32_t(std::stoul(val()));
    else if (k == "--pipelined") a.pipelined = true;
    else if (k == "--single") a.single = true;
    else if (k == "--trace") a.trace = true;
    else if (k == "--movie") a.movie = true;
    else if (k == "--rss-bound-mib") a.rssBoundMib = std::stod(val());
    else if (k == "--rss-every") a.rssEvery = std::max(1, std::stoi(val()));
    else if (k == "--max-frames") a.maxFrames = std::max(2, std::stoi(val()));
    else if (k == "--cut-percent") a.cutPercent = std::clamp(std::stoi(val()), 0, 100);
    else if (k == "--speech") a.speech = val();
    else if (k == "--work") a.work = val();
    else fail("unknown argument " + k);
  }
  return a;
}

double rssMib() {
  std::ifstream f("/proc/self/status");
  std::string line;
  while (std::getline(f, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
  fail("no VmRSS in /proc/self/status");
}

std::vector<int16_t> loadSpeech(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::vector<float> v;
  float x;
  while (f.read(reinterpret_cast<char*>(&x), sizeof x)) v.push_back(x);
  if (v.size() < size_t(kRate)) fail("speech fixture missing or short: " + path);
  std::vector<int16_t> out(v.size());
  for (size_t i = 0; i < v.size(); ++i) out[i] = int16_t(std::clamp(v[i], -1.f, 1.f) * 32767.f);
  return out;
}

// Where an utterance is cut short.
enum class Cut { None, MidPush, BeforeSpeech, MidSpeech, InRamp };
const char* cutName(Cut c) {
  switch (c) {
    case Cut::None: return "none";
    case Cut::MidPush: return "mid-push";
    case Cut::BeforeSpeech: return "before speech";
    case Cut::MidSpeech: return "mid-speech";
    case Cut::InRamp: return "in the ramp";
  }
  return "?";
}

struct Session {
  le_utt* u = nullptr;
  size_t bytes = 0;
  std::vector<uint8_t> rgb;
  Clock::time_point lastFrame = Clock::now();

  // What the host has seen.
  uint64_t frames = 0, speechFrames = 0, firstFramesPulled = 0, utterances = 0, interrupts = 0;
  uint64_t lastSeq = 0;
  le_utt_frame_info last{};  // the last frame pulled
  bool any = false;
  int maxToIdle = 0;
  // The utterance being spoken: its frame count and the next tag due.
  int uttIndex = -1, want = 0, nextTag = 0;
  bool open = false;  // pushed and not yet through its last speech frame (nor interrupted)
  int rampDue = 0;    // ramp frames still owed after an utterance's last speech frame
  // Interrupt bounds on the stats' utterance count.
  uint64_t droppableFirsts = 0;

  std::string where() const {
    return "utterance " + std::to_string(uttIndex) + ", frame seq " + std::to_string(last.seq);
  }

  // Pulls one frame when one is ready and checks it against the script so far.
  bool pullOne() {
    le_utt_frame_info info{};
    const int r = le_utt_pull_frame(u, rgb.data(), bytes, &info);
    if (r != 1) {
      if (*le_utt_last_error()) fail(std::string("pull: ") + le_utt_last_error());
      if (Clock::now() - lastFrame > kStall) fail("no frame for 120 s at " + where());
      return false;
    }
    lastFrame = Clock::now();
    if (any && info.seq <= lastSeq) fail("seq went from " + std::to_string(lastSeq) + " to " + std::to_string(info.seq));
    lastSeq = info.seq;
    ++frames;
    // Between speech runs the face walks the loop one source frame per frame.
    if (any && info.kind != 1 && info.si != (last.si + 1) % kNt)
      fail("kind " + std::to_string(info.kind) + " frame at source " + std::to_string(info.si) + " after source " +
           std::to_string(last.si) + " at " + where());
    if (rampDue > 0) {
      if (info.kind == 1)
        fail("speech frame tag " + std::to_string(info.tag) + " past the utterance's ceil(samples / 640) = " +
             std::to_string(want) + " at " + where());
      if (info.kind != 2) fail("kind " + std::to_string(info.kind) + " where a ramp frame was due at " + where());
      --rampDue;
    } else if (info.kind == 1) {
      if (!open) fail("speech frame (tag " + std::to_string(info.tag) + ") outside an utterance at " + where());
      if (info.tag != nextTag)
        fail("tag " + std::to_string(info.tag) + " where " + std::to_string(nextTag) + " was due at " + where());
      if (info.tag == 0) ++firstFramesPulled;
      ++speechFrames;
      if (++nextTag == want) {
        open = false;
        rampDue = kRamp;
      }
    } else if (info.kind == 2) {
      if (open && nextTag > 0)
        fail("utterance ended after " + std::to_string(nextTag) + " speech frames, not ceil(samples / 640) = " +
             std::to_string(want) + ", at " + where());
      fail("ramp frame with no ramp due at " + where());
    } else if (info.kind == 0 && open && nextTag > 0) {
      fail("idle frame after speech tag " + std::to_string(nextTag - 1) + " of " + std::to_string(want) + " at " +
           where());
    }
    last = info;
    any = true;
    return true;
  }

  void pullAvailable() {
    while (pullOne()) {
    }
  }

  void pullUntil(const auto& done) {
    while (!done())
      if (!pullOne()) std::this_thread::sleep_for(std::chrono::microseconds(100));
  }

  // Interrupts now and checks the way back to idle, counted from the first
  // frame pulled after the call returns.
  void interrupt() {
    const bool hadMotion = any && (last.kind == 1 || last.kind == 2);
    const int from = last.si;
    if (open && nextTag == 0) ++droppableFirsts;  // its first frame may be in the ring, never pulled
    le_utt_interrupt(u);
    ++interrupts;
    open = false;
    rampDue = 0;
    const int expectRamp = hadMotion ? kInterruptRamp : 0;
    int n = 0;
    for (;;) {
      le_utt_frame_info info{};
      if (le_utt_pull_frame(u, rgb.data(), bytes, &info) != 1) {
        if (Clock::now() - lastFrame > kStall) fail("no frame for 120 s after an interrupt at " + where());
        std::this_thread::sleep_for(std::chrono::microseconds(100));
        continue;
      }
      lastFrame = Clock::now();
      if (info.seq <= lastSeq) fail("seq went back after an interrupt at " + where());
      lastSeq = info.seq;
      ++frames;
      ++n;
      const int si = (from + n) % kNt;
      if (info.kind == 1) fail("speech frame (tag " + std::to_string(info.tag) + ") after an interrupt at " + where());
      if (n <= expectRamp && info.kind != 2)
        fail("frame " + std::to_string(n) + " after an interrupt is kind " + std::to_string(info.kind) +
             ", not ramp, at " + where());
      if (info.si != si)
        fail("frame " + std::to_string(n) + " after an interrupt shows source " + std::to_string(info.si) +
             ", not " + std::to_string(si) + ", at " + where());
      last = info;
      if (info.kind == 0) break;
      if (n > kInterruptRamp + 1) fail("no idle frame within interrupt_ramp_frames + 1 at " + where());
    }
    if (n != expectRamp + 1)
      fail("idle came at frame " + std::to_string(n) + " after an interrupt, not " + std::to_string(expectRamp + 1));
    maxToIdle = std::max(maxToIdle, n);
  }
};

}  // namespace

int main(int argc, char** argv) {
  const Args args = parse(argc, argv);
  const std::vector<int16_t> speech = loadSpeech(args.speech);
  const std::filesystem::path work =
      args.work.empty() ? std::filesystem::temp_directory_path() / ("le-soak-" + std::to_string(::getpid()))
                        : std::filesystem::path(args.work);
  le::forge::BundleSpec spec;
  spec.nt = kNt;
  spec.W = 160;
  spec.H = 120;
  spec.crop = 64;
  spec.frames = 8;
  spec.directorKeys = {"b1", "b4"};
  if (args.movie) {
    spec.jpegDriver = false;
    spec.mp4Driver = true;
    spec.prior = le::forge::Prior::None;
    spec.hevcPrior = true;
  }
  const std::string bundle = (work / "bundle").string(), engine = (work / "engine").string();
  try {
    le::forge::writeBundle(bundle, spec);
    le::forge::MotionDirOptions m;
    m.nt = kNt;
    le::forge::writeMotionDir(engine, m);
  } catch (const std::exception& e) {
    fail(std::string("forging the identity: ") + e.what());
  }
  if (args.pipelined) ::setenv("LE_UTT_PIPELINE_PASTE", "1", 1);
  else ::setenv("LE_UTT_PIPELINE_PASTE", "0", 1);
  ::unsetenv("LE_STEADY_MODEL");

  le_ctx* ctx = le_create(bundle.c_str(), "b1", 1, nullptr);
  if (!ctx) fail(std::string("le_create: ") + le_last_error());
  le_utt_opts o{};
  o.motion_dir = engine.c_str();
  o.threads = 1;
  o.steady_model = args.single ? "-" : "b4";
  o.eager = -1;
  o.silence_end_s = kSilenceEndS;
  o.ramp_frames = kRamp;
  o.interrupt_ramp_frames = kInterruptRamp;
  Session s;
  s.u = le_utt_create(ctx, &o);
  if (!s.u) fail(std::string("le_utt_create: ") + le_utt_last_error());
  while (le_utt_ready(s.u) == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  if (le_utt_ready(s.u) != 1) fail(std::string("audio engine: ") + le_utt_last_error());
  s.bytes = size_t(spec.W) * spec.H * 3;
  s.rgb.resize(s.bytes);

  std::mt19937 rng(args.seed);
  auto uni = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  const Clock::time_point t0 = Clock::now();
  s.pullUntil([&] { return s.frames >= 3; });

  uint64_t samplesPushed = 0, pauseFrames = 0;
  uint64_t cuts[5] = {};
  double rssStart = -1, rssEnd = 0, rssMax = 0;
  std::vector<int16_t> utt;
  auto sessionSeconds = [&] { return double(samplesPushed + pauseFrames * kHop) / kRate; };
  for (int index = 0; sessionSeconds() < args.seconds; ++index) {
    // The script: length (mostly phrases, a few single words and long turns), how it ends, where it is cut.
    const int r = uni(0, 99);
    const int frames = std::min(args.maxFrames, r < 10 ? uni(1, 8) : r < 85 ? uni(20, 125) : uni(126, 300));
    const int n = frames * kHop - uni(0, kHop - 1);
    const int at = uni(0, int(speech.size()) - 1);
    utt.resize(size_t(n));
    for (int i = 0; i < n; ++i) utt[size_t(i)] = speech[size_t(at + i) % speech.size()];
    Cut cut = Cut::None;
    if (uni(0, 99) < args.cutPercent) {
      const int c = uni(0, 19);
      cut = c < 5 ? Cut::MidPush : c < 8 ? Cut::BeforeSpeech : c < 15 ? Cut::MidSpeech : Cut::InRamp;
      if (cut == Cut::MidSpeech && frames < 2) cut = Cut::BeforeSpeech;
    }
    const bool bySilence = cut == Cut::None && uni(0, 4) == 0;
    // Pushed in chunks with every ready frame pulled between them; a
    // silence-ended utterance goes in one push so that no gap can close it early.
    std::vector<int> chunks;
    for (int left = n; left > 0;) {
      const int c = bySilence ? left : std::min(left, uni(160, 9600));
      chunks.push_back(c);
      left -= c;
    }
    const int cutChunk = cut == Cut::MidPush && chunks.size() > 1 ? uni(1, int(chunks.size()) - 1) : -1;
    if (cut == Cut::MidPush && cutChunk < 0) cut = Cut::BeforeSpeech;

    // The previous utterance's input has closed: its last speech frame has been pulled.
    s.uttIndex = index;
    s.want = frames;
    s.nextTag = 0;
    s.open = true;
    ++s.utterances;
    int off = 0;
    bool cutDone = false;
    for (size_t k = 0; k < chunks.size(); ++k) {
      if (int(k) == cutChunk) {
        s.interrupt();
        cutDone = true;
        break;
      }
      if (le_utt_push_audio(s.u, utt.data() + off, chunks[k]) != 1) fail(std::string("push: ") + le_utt_last_error());
      off += chunks[k];
      samplesPushed += uint64_t(chunks[k]);
      s.pullAvailable();
    }
    if (!cutDone) {
      if (!bySilence) le_utt_end_utterance(s.u);
      if (cut == Cut::BeforeSpeech) {
        s.interrupt();
      } else if (cut == Cut::MidSpeech) {
        const int m = uni(1, frames - 1);
        s.pullUntil([&] { return s.nextTag >= m; });
        s.interrupt();
      } else {
        s.pullUntil([&] { return !s.open; });  // every speech frame is in
        if (cut == Cut::InRamp) {
          const int left = uni(1, kRamp);  // ramp frames still owed when it comes
          s.pullUntil([&] { return s.rampDue <= left; });
          s.interrupt();
        }
      }
    }
    ++cuts[int(cut)];
    if (cut != Cut::None && s.open) fail(std::string("utterance still open after an interrupt ") + cutName(cut));

    // A pause: idle frames at the host's pace (none at all: the next
    // utterance's audio arrives during this one's ramp).
    const int pause = uni(0, 3) == 0 ? 0 : uni(1, 50);
    if (pause > 0) {
      s.pullUntil([&] { return s.rampDue == 0; });
      const uint64_t until = s.frames + uint64_t(pause);
      s.pullUntil([&] { return s.frames >= until; });
      pauseFrames += uint64_t(pause);
    }

    if ((index + 1) % args.rssEvery == 0) {
      const double rss = rssMib();
      if (args.trace)
        std::fprintf(stderr, "le-soak: utterance %d, %.0f s of session, %.1f s wall, RSS %.1f MiB\n", index + 1,
                     sessionSeconds(), std::chrono::duration<double>(Clock::now() - t0).count(), rss);
      if (index + 1 >= kWarmUtterances) {
        if (rssStart < 0) rssStart = rss;
        rssEnd = rss;
        rssMax = std::max(rssMax, rss);
        if (args.rssBoundMib > 0 && rss - rssStart > args.rssBoundMib)
          fail("resident memory grew " + std::to_string(rss - rssStart) + " MiB after warm-up (bound " +
               std::to_string(args.rssBoundMib) + " MiB) at utterance " + std::to_string(index));
      }
    }
  }
  s.pullUntil([&] { return s.rampDue == 0; });

  le_utt_stats st{};
  le_utt_get_stats(s.u, &st);
  if (st.frames_pulled != s.frames)
    fail("stats frames_pulled " + std::to_string(st.frames_pulled) + " != " + std::to_string(s.frames) + " pulled");
  if (st.speech_frames_pulled != s.speechFrames)
    fail("stats speech_frames_pulled " + std::to_string(st.speech_frames_pulled) + " != " +
         std::to_string(s.speechFrames) + " speech frames pulled");
  if (st.utterances < s.firstFramesPulled || st.utterances > s.firstFramesPulled + s.droppableFirsts)
    fail("stats utterances " + std::to_string(st.utterances) + " outside [" + std::to_string(s.firstFramesPulled) +
         ", " + std::to_string(s.firstFramesPulled + s.droppableFirsts) + "]");
  uint64_t failures = 0;
  char text[256] = "";
  if (le_utt_render_status(s.u, text, sizeof text, &failures) != 0 || failures != 0)
    fail("render failures: " + std::to_string(failures) + " " + text);
  le_utt_destroy(s.u);
  le_destroy(ctx);
  const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
  std::error_code ec;
  std::filesystem::remove_all(work, ec);  // kept only when a check failed

  std::printf(
      "le-soak: OK session %.1f s audio (%.1f s speech), %llu frames, %llu speech frames, %llu utterances "
      "(%llu first frames pulled, stats %llu), %llu interrupts (mid-push %llu, before speech %llu, mid-speech "
      "%llu, in the ramp %llu), max interrupt-to-idle %d frames, RSS MiB start %.1f end %.1f max %.1f, wall %.1f s "
      "(%.1fx real time)%s%s%s\n",
      sessionSeconds(), double(samplesPushed) / kRate, (unsigned long long)s.frames,
      (unsigned long long)s.speechFrames, (unsigned long long)s.utterances, (unsigned long long)s.firstFramesPulled,
      (unsigned long long)st.utterances, (unsigned long long)s.interrupts, (unsigned long long)cuts[1],
      (unsigned long long)cuts[2], (unsigned long long)cuts[3], (unsigned long long)cuts[4], s.maxToIdle, rssStart, rssEnd, rssMax,
      wall, sessionSeconds() / wall, args.pipelined ? ", pipelined" : "", args.single ? ", single" : "",
      args.movie ? ", movie" : "");
  return 0;
}
