// lecore: the library's command-line host. It loads lible_core.so the way an
// application does, through the public C interface only.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "common.h"
#include "le/le.h"
#include "mp4_out.h"

namespace lecore {

namespace {

const char* kUsage =
    "usage: lecore <command> <bundle> [options]\n"
    "\n"
    "  lecore speak <bundle> --engine DIR --audio FILE --out FILE.mp4 [--clip] [--sheet FILE.png] [--teeth]\n"
    "      Turn a speech file (any format FFmpeg reads; resampled to 16 kHz mono) into a\n"
    "      talking movie: H.264 at 25 fps in the bundle's frame size, with the speech as AAC.\n"
    "      Default: the live pipeline with the audio engine in DIR (an expression engine\n"
    "      when DIR holds a2x_enc_stream.onnx, else a motion engine), all speech pushed at\n"
    "      once; the movie holds exactly the speech frames, ceil(samples / 640).\n"
    "      --clip: the whole-clip pipeline instead; the bundle needs the director\n"
    "      model_render.onnx and fca_stream.onnx, DIR the feature extractor fca_extractor.onnx.\n"
    "      --sheet: also a PNG contact sheet of six evenly spaced speech frames.\n"
    "      --teeth: borrow teeth from the bundle's donor bank (its four teeth members;\n"
    "      the bank track is decoded by the library). Live pipeline only.\n"
    "  lecore live <bundle> --engine DIR --audio FILE [--interrupt-at SECONDS]\n"
    "      Play a live host: speech pushed in 20 ms pieces at the pace it is spoken, frames\n"
    "      pulled at 25 fps on a thread of their own, optionally interrupted. Reports the\n"
    "      first-frame latency, pulls that found no frame, the steady frame rate, the frames\n"
    "      from an interrupt to idle, and the pipeline's stage report (on stderr).\n"
    "  lecore serve <bundle> --engine DIR [--port N] [--host ADDR]\n"
    "      A live avatar in the browser: open the printed address, speak into the microphone\n"
    "      or pick an audio file, and the talking frames come back as a WebRTC stream.\n"
    "      Listens on 127.0.0.1:8700 by default (--port 0: any free port); one browser\n"
    "      at a time. GET /status gives the live statistics as JSON.\n"
    "  lecore info <bundle> [--engine DIR]\n"
    "      What the bundle holds, which audio engine DIR holds, and the load-time rewrites\n"
    "      applied to the director (it renders one frame to find out).\n"
    "  lecore render <bundle> [--frames DIR] [--mp4 FILE] [--rows N]\n"
    "      Render the bundle's recorded drive to PNG files (default out/demo_drive/) and an\n"
    "      H.264 movie (default out/demo_drive.mp4); --frames '' / --mp4 '' skip an output,\n"
    "      --rows limits the rows rendered.\n"
    "\n"
    "  every command: --model KEY (director, default b1) --threads N (0: the library's choice)\n"
    "                 --ep NAME (execution provider; default the CPU)\n";

std::string oneLine(std::string s) {
  for (char& c : s)
    if (c == '\n' || c == '\r') c = ' ';
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

struct CtxDel {
  void operator()(le_ctx* c) const { le_destroy(c); }
};
using Ctx = std::unique_ptr<le_ctx, CtxDel>;

Ctx open(const Args& a) {
  Ctx ctx(le_create(a.bundle.c_str(), a.model.c_str(), a.threads, a.ep.empty() ? nullptr : a.ep.c_str()));
  if (!ctx) throw Failure(le_last_error());
  return ctx;
}

// Runs f with fd 2 sent to a temporary file and returns what was written there:
// the library reports its load-time decisions on stderr, and a host has no other
// way to see them.
template <class F>
std::string captureStderr(F&& f) {
  std::fflush(stderr);
  FILE* tmp = std::tmpfile();
  if (!tmp) {
    f();
    return {};
  }
  const int saved = ::dup(2);
  ::dup2(::fileno(tmp), 2);
  struct Restore {
    int saved;
    ~Restore() {
      std::fflush(stderr);
      ::dup2(saved, 2);
      ::close(saved);
    }
  };
  std::string text;
  {
    Restore r{saved};
    try {
      f();
    } catch (...) {
      std::fclose(tmp);
      throw;
    }
  }
  std::rewind(tmp);
  char buf[4096];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, tmp)) > 0;) text.append(buf, n);
  std::fclose(tmp);
  return text;
}

bool mentionsRewrite(const std::string& line) {
  if (line.rfind("[le]", 0) != 0) return false;
  for (const char* k : {"GridSample", "warp", "hoist", "head cubic", "student blend", "lip contour"})
    if (line.find(k) != std::string::npos) return true;
  return false;
}

void describeEngine(const Args& a, int bundleNt) {
  const std::string& dir = a.engine;
  checkEngineDir(dir);
  int nt = 0;
  const std::string kind = probeEngine(dir, a.threads, a.ep, &nt);
  if (kind.empty()) {
    std::printf("audio engine  none (%s holds neither a2x_enc_stream.onnx nor meta.json)\n", dir.c_str());
    return;
  }
  std::printf("audio engine  %s (%s), nt %d: %s the bundle's\n", kind.c_str(),
              kind == "motion engine" ? "meta.json" : "a2x_enc_stream.onnx", nt,
              nt == bundleNt ? "matches" : "differs from");
}

int info(const Args& a) {
  Ctx c = open(a);
  le_ctx* ctx = c.get();
  std::printf("bundle        %s\n", a.bundle.c_str());
  std::printf("director      %s\n", a.model.c_str());
  std::printf("frames (nt)   %d\n", le_nt(ctx));
  std::printf("frame size    %d x %d\n", le_width(ctx), le_height(ctx));
  std::printf("crop          %d x %d\n", le_crop(ctx), le_crop(ctx));
  std::printf("drive rows    %d\n", le_drive_frames(ctx));
  std::printf("keypoint rows %d\n", le_host_kp_rows());
  if (!a.engine.empty()) describeEngine(a, le_nt(ctx));
  std::fflush(stdout);

  if (le_drive_frames(ctx) < 1) {
    std::printf("rewrites:\n  not checked: the bundle has no recorded drive to render\n");
    return 0;
  }
  // The first render opens the director; that is when the rewrites happen.
  std::vector<unsigned char> rgba(size_t(le_width(ctx)) * size_t(le_height(ctx)) * 4);
  bool ok = false;
  std::string err;
  const std::string said = captureStderr([&] {
    ok = le_render_drive_rgba(ctx, 0, rgba.data(), rgba.size()) == 1;
    if (!ok) err = le_last_error();
  });
  std::vector<std::string> rewrites;
  std::string rest;
  for (size_t at = 0; at < said.size();) {
    const size_t nl = std::min(said.find('\n', at), said.size());
    const std::string line = said.substr(at, nl - at);
    if (mentionsRewrite(line)) rewrites.push_back(line);
    else if (!line.empty()) rest += line + "\n";
    at = nl + 1;
  }
  std::fputs(rest.c_str(), stderr);  // whatever else was said goes where it was meant to
  if (!ok) throw Failure("rendering the first frame: " + err);
  std::printf("rewrites:\n");
  if (rewrites.empty()) std::printf("  none reported\n");
  for (const std::string& r : rewrites) std::printf("  %s\n", r.c_str());
  return 0;
}

int render(const Args& a) {
  if (!a.framesDir.empty()) checkOutput("--frames", a.framesDir, true);
  if (!a.mp4.empty()) checkOutput("--mp4", a.mp4);
  Ctx c = open(a);
  le_ctx* ctx = c.get();
  const int W = le_width(ctx), H = le_height(ctx);
  const int total = a.rows > 0 && a.rows < le_drive_frames(ctx) ? a.rows : le_drive_frames(ctx);
  std::unique_ptr<Mp4Writer> movie;
  std::vector<unsigned char> rgba(size_t(W) * size_t(H) * 4);
  double renderMs = 0;
  Progress progress(total);
  for (int row = 0; row < total; ++row) {
    const auto t0 = Clock::now();
    if (!le_render_drive_rgba(ctx, row, rgba.data(), rgba.size()))
      throw Failure("row " + std::to_string(row) + ": " + le_last_error());
    if (row > 0) renderMs += secondsSince(t0) * 1000.0;  // row 0 opens the director
    // The outputs only once the director has rendered: a bundle that cannot
    // render leaves nothing behind.
    if (row == 0 && !a.framesDir.empty()) makeDirs(a.framesDir);
    if (row == 0 && !a.mp4.empty()) movie = std::make_unique<Mp4Writer>(a.mp4, W, H, 4, 25);
    if (!a.framesDir.empty()) {
      char name[32];
      std::snprintf(name, sizeof name, "/frame_%06d.png", row);
      writePng(a.framesDir + name, W, H, 4, rgba.data());
    }
    if (movie) movie->addFrame(rgba.data());
    progress.update(row + 1);
  }
  progress.finish();
  if (movie) movie->finish();
  std::printf("rendered      %d frames of %d x %d\n", total, W, H);
  if (total > 1) std::printf("render+paste  %.1f ms/frame (after the first)\n", renderMs / (total - 1));
  if (!a.framesDir.empty()) std::printf("frames        %s/frame_%%06d.png\n", a.framesDir.c_str());
  if (movie) std::printf("movie         %s%s\n", a.mp4.c_str(), movie->padded() ? " (padded to even size)" : "");
  return 0;
}

int toInt(const std::string& flag, const std::string& v) {
  char* end = nullptr;
  const long n = std::strtol(v.c_str(), &end, 10);
  if (v.empty() || *end || n < 0 || n > 1000000) throw UsageError(flag + " wants a whole number, got '" + v + "'");
  return int(n);
}

double toSeconds(const std::string& flag, const std::string& v) {
  char* end = nullptr;
  const double s = std::strtod(v.c_str(), &end);
  if (v.empty() || *end || !(s >= 0) || s > 1e6) throw UsageError(flag + " wants seconds (>= 0), got '" + v + "'");
  return s;
}

Args parse(int argc, char** argv) {
  Args a;
  std::vector<std::string> v(argv + 1, argv + argc);
  if (v.empty()) throw UsageError("no command given");
  a.cmd = v[0];
  if (a.cmd != "info" && a.cmd != "render" && a.cmd != "speak" && a.cmd != "live" &&
      a.cmd != "serve")
    throw UsageError("unknown command '" + a.cmd + "'");
  if (v.size() < 2 || v[1].rfind("--", 0) == 0) throw UsageError(a.cmd + " wants a bundle");
  a.bundle = v[1];
  const bool speakOrLive = a.cmd == "speak" || a.cmd == "live";
  const bool serving = a.cmd == "serve";
  for (size_t i = 2; i < v.size(); ++i) {
    const std::string& o = v[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= v.size()) throw UsageError(o + " wants a value");
      return v[++i];
    };
    if (o == "--model") a.model = value();
    else if (o == "--threads") a.threads = toInt(o, value());
    else if (o == "--ep") a.ep = value();
    else if (o == "--engine" && (speakOrLive || serving || a.cmd == "info")) a.engine = value();
    else if (o == "--audio" && speakOrLive) a.audio = value();
    else if (o == "--out" && a.cmd == "speak") a.out = value();
    else if (o == "--sheet" && a.cmd == "speak") a.sheet = value();
    else if (o == "--clip" && a.cmd == "speak") a.clip = true;
    else if (o == "--teeth" && a.cmd == "speak") a.teeth = true;
    else if (o == "--interrupt-at" && a.cmd == "live") a.interruptAt = toSeconds(o, value());
    else if (o == "--port" && serving) a.port = toInt(o, value());
    else if (o == "--host" && serving) a.host = value();
    else if (o == "--frames" && a.cmd == "render") a.framesDir = value();
    else if (o == "--mp4" && a.cmd == "render") a.mp4 = value();
    else if (o == "--rows" && a.cmd == "render") a.rows = toInt(o, value());
    else throw UsageError("unknown option '" + o + "' for " + a.cmd);
  }
  if (a.model.empty()) throw UsageError("--model wants a key such as b1");
  return a;
}

}  // namespace

}  // namespace lecore

int main(int argc, char** argv) {
  using namespace lecore;
  for (int i = 1; i < argc; ++i)
    if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h") || (i == 1 && !std::strcmp(argv[i], "help"))) {
      std::fputs(kUsage, stdout);
      return 0;
    }
  av_log_set_level(AV_LOG_ERROR);  // the encoders' chatter is not for users
  try {
    const Args a = parse(argc, argv);
    checkBundle(a.bundle);
    if (a.cmd == "info") return info(a);
    if (a.cmd == "render") return render(a);
    if (a.cmd == "speak") return speak(a);
    if (a.cmd == "serve") return serve(a);
    return live(a);
  } catch (const UsageError& e) {
    std::fprintf(stderr, "lecore: %s (lecore --help shows the usage)\n", oneLine(e.what()).c_str());
    return 2;
  } catch (const std::exception& e) {
    std::fflush(stdout);
    std::string what = oneLine(e.what());
    // A container unpacks beside itself; on a read-only mount it needs another place.
    if (what.find("cannot create unwrap dir") != std::string::npos && !std::getenv("LE_IMX_UNWRAP_ROOT"))
      what += " (a read-only place? LE_IMX_UNWRAP_ROOT names a writable directory to unpack into)";
    std::fprintf(stderr, "lecore: %s\n", what.c_str());
    return 1;
  }
}
