// Shared pieces of the lecore commands.
#pragma once

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

struct le_utt;

namespace lecore {

// A failure the command reports as one line, "lecore: <what>", and exits 1.
struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A malformed command line: the reason, then the usage text; exit 2.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The parsed command line (every command reads only what it knows).
struct Args {
  std::string cmd, bundle, model = "b1", ep, engine, audio, out, sheet;
  std::string framesDir = "out/demo_drive", mp4 = "out/demo_drive.mp4";
  int threads = 0, rows = 0;
  bool clip = false;
  bool teeth = false;
  double interruptAt = -1;
  std::string host = "127.0.0.1";
  int port = 8700;
};

using Clock = std::chrono::steady_clock;
inline double secondsSince(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// FFmpeg's text for an error code.
std::string averr(int e);

// mkdir -p of the directory that holds path (nothing for a bare file name).
void makeParentDirs(const std::string& path);
// mkdir -p.
void makeDirs(const std::string& dir);
bool isDir(const std::string& path);
bool isFile(const std::string& path);

// Checks of what the user named, made before anything loads or is written, so
// that a wrong path costs one line naming it. Each throws Failure.
// A bundle directory, an IMX container, or the stem of one.
void checkBundle(const std::string& path);
// An existing directory (what it holds is the library's to judge).
void checkEngineDir(const std::string& dir);
// An output file (dir: directory) that can be created or replaced: not the
// other kind, below a directory that exists or can be made, and writable.
void checkOutput(const std::string& flag, const std::string& path, bool dir = false);
// Opens and closes the audio engine in dir once, as a pipeline would; returns
// "expression engine" or "motion engine" and its nt, "" when dir holds
// neither kind's first member.
std::string probeEngine(const std::string& dir, int threads, const std::string& ep, int* nt);

// Writes a PNG (channels 3 or 4); throws Failure.
void writePng(const std::string& path, int w, int h, int channels, const unsigned char* pixels);

// A progress line on stderr, redrawn in place; silent unless stderr is a terminal.
class Progress {
 public:
  explicit Progress(int total);
  void update(int done);
  void finish();

 private:
  int total_;
  bool on_;
  bool drawn_ = false;
  Clock::time_point start_ = Clock::now(), last_{};
};

// Frames evenly spaced over total, laid out as a grid and written as PNG.
class ContactSheet {
 public:
  ContactSheet(const std::string& path, int total, int w, int h);
  void add(int index, const unsigned char* rgb);  // rgb: w*h*3; kept only when picked
  // Writes the sheet (nothing when disabled); returns what it shows, in words.
  std::string write() const;
  bool enabled() const { return !path_.empty(); }

 private:
  std::string path_;
  int w_, h_;
  std::vector<int> picks_;
  std::vector<std::vector<unsigned char>> frames_;  // per pick, full size
};

// Waits for a live pipeline's audio engine; throws Failure when it does not load.
void waitReady(le_utt* u, const std::string& engine);

int speak(const Args& a);
int live(const Args& a);
int serve(const Args& a);

}  // namespace lecore
