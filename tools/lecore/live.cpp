// lecore live: what a live host sees. Speech goes in at the pace it is spoken,
// frames come out at the pace they are shown, on a thread of their own.
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>

#include "audio_in.h"
#include "common.h"
#include "le/le.h"
#include "le/le_utt.h"

namespace lecore {

namespace {

using namespace std::chrono_literals;
using Ms = std::chrono::duration<double, std::milli>;

constexpr int kPush = kRate / 50;  // 20 ms of speech per push
constexpr auto kTick = 40ms;       // one pull per shown frame at 25 fps

struct Pull {
  double tMs;       // since the start, when the pull happened
  double lateMs;    // how far past its deadline the pull ran
  bool got;
  int kind, tag;
};

struct Puller {
  le_utt* u;
  size_t bytes;
  Clock::time_point start;
  std::atomic<bool> stop{false}, backToIdle{false};
  std::atomic<double> endMs{-1};  // when input ended or was interrupted; -1 before
  std::vector<Pull> pulls;
  std::vector<double> latencies;  // first-frame latency per utterance
  uint64_t utterances = 0;

  void run() {
    std::vector<unsigned char> rgb(bytes);
    for (int64_t k = 0; !stop.load(); ++k) {
      const auto due = start + k * kTick;
      std::this_thread::sleep_until(due);
      const auto now = Clock::now();
      le_utt_frame_info info{};
      const bool got = le_utt_pull_frame(u, rgb.data(), bytes, &info) == 1;
      const double t = Ms(now - start).count();
      pulls.push_back({t, Ms(now - due).count(), got, got ? info.kind : -1, got ? info.tag : -1});
      if (!got) continue;
      if (info.kind == 1) {
        le_utt_stats st{};
        le_utt_get_stats(u, &st);
        if (st.utterances > utterances) {
          utterances = st.utterances;
          latencies.push_back(st.first_frame_latency_ms);
        }
      }
      const double end = endMs.load();
      if (info.kind == 0 && end >= 0 && t > end) backToIdle = true;
    }
  }
};

struct CtxDel {
  void operator()(le_ctx* c) const { le_destroy(c); }
};

}  // namespace

int live(const Args& a) {
  if (a.engine.empty()) throw UsageError("live wants --engine DIR");
  if (a.audio.empty()) throw UsageError("live wants --audio FILE");
  checkEngineDir(a.engine);
  const std::vector<int16_t> audio = readSpeech(a.audio);
  const double audioS = double(audio.size()) / kRate;
  const int expected = int((audio.size() + kHop - 1) / kHop);

  // The pipeline prints its stage report when it is destroyed.
  ::setenv("LE_UTT_STAGE_REPORT", "1", 1);
  std::unique_ptr<le_ctx, CtxDel> ctx(le_create(a.bundle.c_str(), a.model.c_str(), a.threads, a.ep.empty() ? nullptr : a.ep.c_str()));
  if (!ctx) throw Failure(le_last_error());
  le_utt_opts opts{};
  opts.motion_dir = a.engine.c_str();
  opts.threads = a.threads;
  le_utt* u = le_utt_create(ctx.get(), &opts);
  if (!u) throw Failure(le_utt_last_error());
  struct UttGuard {
    le_utt*& u;
    ~UttGuard() { le_utt_destroy(u); }
  } guard{u};
  waitReady(u, a.engine);

  Puller p;
  p.u = u;
  p.bytes = size_t(le_width(ctx.get())) * size_t(le_height(ctx.get())) * 3;
  p.start = Clock::now();
  std::thread puller([&p] { p.run(); });

  // Speech at the pace it is spoken; an interrupt stops it where a listener would.
  double interruptMs = -1, firstPushMs = -1;
  size_t pushed = 0;
  for (int64_t i = 0; pushed < audio.size(); ++i) {
    std::this_thread::sleep_until(p.start + i * 20ms);
    if (a.interruptAt >= 0 && double(pushed) / kRate >= a.interruptAt) {
      le_utt_interrupt(u);
      interruptMs = Ms(Clock::now() - p.start).count();
      break;
    }
    const int n = int(std::min<size_t>(kPush, audio.size() - pushed));
    le_utt_push_audio(u, audio.data() + pushed, n);
    if (firstPushMs < 0) firstPushMs = Ms(Clock::now() - p.start).count();
    pushed += size_t(n);
  }
  if (interruptMs < 0) le_utt_end_utterance(u);
  p.endMs = Ms(Clock::now() - p.start).count();

  // Until the face is back at idle (or clearly never will be), then one more
  // second of idle video.
  const auto until = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(audioS + 60));
  while (!p.backToIdle.load() && Clock::now() < until) std::this_thread::sleep_for(10ms);
  std::this_thread::sleep_for(1s);
  p.stop = true;
  puller.join();

  // What the pulls saw.
  int frames[3] = {0, 0, 0}, missing = 0, missingUtt = 0;
  double maxLate = 0, firstSpeechMs = -1, lastSpeechMs = -1, firstIdleAfterMs = -1;
  int speech = 0, afterInterrupt = 0;
  bool idleAgain = false;
  for (const Pull& q : p.pulls) {
    maxLate = std::max(maxLate, q.lateMs);
    const bool inUtt = firstPushMs >= 0 && q.tMs >= firstPushMs && !idleAgain;
    if (!q.got) {
      ++missing;
      missingUtt += inUtt;
      continue;
    }
    if (q.kind >= 0 && q.kind <= 2) ++frames[q.kind];
    if (q.kind == 1) {
      ++speech;
      if (firstSpeechMs < 0) firstSpeechMs = q.tMs;
      lastSpeechMs = q.tMs;
    }
    if (interruptMs >= 0 && q.tMs > interruptMs && firstIdleAfterMs < 0) {
      if (q.kind == 0) firstIdleAfterMs = q.tMs;
      else ++afterInterrupt;
    }
    if (q.kind == 0 && q.tMs > p.endMs.load()) idleAgain = true;
  }
  const double runS = p.pulls.empty() ? 0 : p.pulls.back().tMs / 1000.0;

  std::printf("live: %.2f s of audio in %d ms pushes, %zu pulls at 25 fps over %.2f s\n", double(pushed) / kRate,
              1000 * kPush / kRate, p.pulls.size(), runS);
  if (p.latencies.empty()) std::printf("first-frame latency: no speech frame was shown\n");
  for (size_t i = 0; i < p.latencies.size(); ++i)
    std::printf("utterance %zu: first-frame latency %.0f ms\n", i + 1, p.latencies[i]);
  std::printf("frames: %d idle, %d speech, %d ramp; %d pulls found no frame (%d of them during the utterance); "
              "pull thread at most %.1f ms late\n",
              frames[0], frames[1], frames[2], missing, missingUtt, maxLate);
  if (speech > 1)
    std::printf("speech: %d frames%s, steady %.1f fps (first to last speech frame)\n", speech,
                interruptMs >= 0 ? "" : (" of " + std::to_string(expected)).c_str(),
                (speech - 1) * 1000.0 / (lastSpeechMs - firstSpeechMs));
  if (interruptMs >= 0) {
    if (firstIdleAfterMs >= 0)
      std::printf("interrupt at %.2f s: %d frames (%.0f ms) to the first idle frame\n", interruptMs / 1000.0,
                  afterInterrupt, firstIdleAfterMs - interruptMs);
    else
      std::printf("interrupt at %.2f s: no idle frame followed\n", interruptMs / 1000.0);
  } else if (a.interruptAt >= 0) {
    std::printf("interrupt: %.2f s is past the end of the audio (%.2f s); not interrupted\n", a.interruptAt, audioS);
  }
  char why[512] = "";
  uint64_t failures = 0;
  if (le_utt_render_status(u, why, sizeof why, &failures) < 0 || failures > 0)
    std::printf("render failures: %llu (latest: %s)\n", (unsigned long long)failures, why);
  le_utt_stats st{};
  le_utt_get_stats(u, &st);
  std::printf("render: %.1f ms per speech frame (running average)\n", st.render_ms_avg);
  std::printf("stage report: on stderr, from the pipeline as it closes\n");
  std::fflush(stdout);
  return 0;
}

}  // namespace lecore
