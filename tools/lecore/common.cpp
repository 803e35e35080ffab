#include "common.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#define STB_IMAGE_WRITE_STATIC
#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb/stb_image_write.h>

extern "C" {
#include <libavutil/error.h>
}

#include "le/le_a2x.h"
#include "le/le_motion.h"

namespace lecore {

std::string averr(int e) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {0};
  av_strerror(e, buf, sizeof buf);
  return buf;
}

void makeDirs(const std::string& dir) {
  for (size_t i = 1; i <= dir.size(); ++i) {
    if (i < dir.size() && dir[i] != '/') continue;
    const std::string part = dir.substr(0, i);
    if (::mkdir(part.c_str(), 0755) == 0) continue;
    if (errno != EEXIST) throw Failure("cannot create " + part + ": " + std::strerror(errno));
    if (!isDir(part)) throw Failure("cannot create " + dir + ": " + part + " is not a directory");
  }
}

void makeParentDirs(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0) makeDirs(path.substr(0, slash));
}

bool isDir(const std::string& path) {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool isFile(const std::string& path) {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

namespace {

std::string parentOf(const std::string& path) {
  const size_t end = path.find_last_not_of('/');
  if (end == std::string::npos) return "/";
  const size_t slash = path.rfind('/', end);
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// 1: the first bytes are an IMX version 2 header; 0: they are not (or the file
// is too short); -1 with errno: the file cannot be opened.
int imxHeader(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  unsigned char h[6] = {};
  const ssize_t n = ::read(fd, h, sizeof h);
  ::close(fd);
  return n == 6 && std::memcmp(h, "IMX\0", 4) == 0 && h[4] == 2 && h[5] == 0;
}

}  // namespace

void checkBundle(const std::string& path) {
  const std::string who = "bundle " + path + ": ";
  std::string stem = path;
  while (stem.size() > 1 && stem.back() == '/') stem.pop_back();
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0) {
    const int why = errno;
    if (isFile(stem + ".imx")) return;  // the stem of a container
    throw Failure(who + (why == ENOENT || why == ENOTDIR ? "no such file or directory" : std::strerror(why)));
  }
  if (S_ISDIR(st.st_mode)) return;  // the library names what a directory lacks
  const int own = S_ISREG(st.st_mode) ? imxHeader(path) : 0;
  if (own < 0) throw Failure(who + std::strerror(errno));
  if (own == 0 && imxHeader(stem + ".imx") != 1)
    throw Failure(who + "neither a bundle directory nor an IMX container");
}

void checkEngineDir(const std::string& dir) {
  struct stat st{};
  if (::stat(dir.c_str(), &st) != 0)
    throw Failure("engine " + dir + ": " + (errno == ENOENT || errno == ENOTDIR ? "no such directory" : std::strerror(errno)));
  if (!S_ISDIR(st.st_mode)) throw Failure("engine " + dir + ": not a directory");
}

void checkOutput(const std::string& flag, const std::string& path, bool dir) {
  const std::string who = flag + " " + path + ": ";
  struct stat st{};
  std::string at = path;
  if (::stat(at.c_str(), &st) == 0) {
    if (bool(S_ISDIR(st.st_mode)) != dir) throw Failure(who + (dir ? "not a directory" : "is a directory"));
  } else {
    // What does not exist yet is made in its nearest existing ancestor.
    do {
      at = parentOf(at);
    } while (::stat(at.c_str(), &st) != 0 && at != "/" && at != ".");
    if (!S_ISDIR(st.st_mode)) throw Failure(who + at + " is not a directory");
  }
  if (::access(at.c_str(), W_OK) != 0)
    throw Failure(who + "cannot write " + (at == path ? "it" : "in " + at) + " (" + std::strerror(errno) + ")");
}

std::string probeEngine(const std::string& dir, int threads, const std::string& ep, int* nt) {
  // Whatever stands under a member's name decides the kind: a directory there
  // is the engine's to refuse.
  auto there = [&](const char* member) {
    struct stat st{};
    return ::stat((dir + "/" + member).c_str(), &st) == 0;
  };
  if (there("a2x_enc_stream.onnx")) {
    le_a2x* e = le_a2x_create(dir.c_str(), threads);
    if (!e) throw Failure("engine " + dir + ": " + le_a2x_last_error());
    *nt = le_a2x_nt(e);
    le_a2x_destroy(e);
    return "expression engine";
  }
  if (there("meta.json")) {
    le_motion* m = le_motion_create(dir.c_str(), threads, ep.empty() ? nullptr : ep.c_str());
    if (!m) throw Failure("engine " + dir + ": " + le_motion_last_error());
    *nt = le_motion_nt(m);
    le_motion_destroy(m);
    return "motion engine";
  }
  return {};
}

void writePng(const std::string& path, int w, int h, int channels, const unsigned char* pixels) {
  makeParentDirs(path);
  if (!stbi_write_png(path.c_str(), w, h, channels, pixels, w * channels)) throw Failure("cannot write " + path);
}

Progress::Progress(int total) : total_(total), on_(::isatty(2) == 1) {}

void Progress::update(int done) {
  if (!on_) return;
  const auto now = Clock::now();
  // A redraw at most every 100 ms, and always for the last frame.
  if (drawn_ && done < total_ && now - last_ < std::chrono::milliseconds(100)) return;
  last_ = now;
  drawn_ = true;
  const double s = std::chrono::duration<double>(now - start_).count();
  const double fps = s > 0 ? done / s : 0;
  const int width = 30, fill = total_ > 0 ? std::min(width, done * width / total_) : 0;
  char eta[32] = "--";
  if (fps > 0 && done > 0) std::snprintf(eta, sizeof eta, "%.1f s", (total_ - done) / fps);
  std::fprintf(stderr, "\r[%.*s%*s] %d/%d frames  %.1f fps  ETA %s   ", fill, "##############################",
               width - fill, "", done, total_, fps, eta);
  std::fflush(stderr);
}

void Progress::finish() {
  if (on_ && drawn_) std::fputc('\n', stderr);
  drawn_ = false;
}

ContactSheet::ContactSheet(const std::string& path, int total, int w, int h) : path_(path), w_(w), h_(h) {
  if (path_.empty() || total < 1) return;
  const int k = std::min(6, total);
  for (int j = 0; j < k; ++j) picks_.push_back(k == 1 ? 0 : int((long long)j * (total - 1) / (k - 1)));
  picks_.erase(std::unique(picks_.begin(), picks_.end()), picks_.end());
  frames_.resize(picks_.size());
}

void ContactSheet::add(int index, const unsigned char* rgb) {
  const auto it = std::find(picks_.begin(), picks_.end(), index);
  if (it == picks_.end()) return;
  frames_[size_t(it - picks_.begin())].assign(rgb, rgb + size_t(w_) * size_t(h_) * 3);
}

namespace {

struct Box {
  int x0, y0, x1, y1;  // [x0, x1) x [y0, y1)
};

// Region (x, y, bw, bh) of an rgb frame of width w scaled into a cell of cw x ch
// at (cx, cy) of the sheet (width sw): box average when shrinking, nearest
// pixel when enlarging.
void blit(const unsigned char* rgb, int w, Box b, unsigned char* sheet, int sw, int cx, int cy, int cw, int ch) {
  const double sx = double(b.x1 - b.x0) / cw, sy = double(b.y1 - b.y0) / ch;
  for (int y = 0; y < ch; ++y) {
    const int ya = b.y0 + int(y * sy), yb = std::max(ya + 1, b.y0 + int((y + 1) * sy));
    for (int x = 0; x < cw; ++x) {
      const int xa = b.x0 + int(x * sx), xb = std::max(xa + 1, b.x0 + int((x + 1) * sx));
      for (int c = 0; c < 3; ++c) {
        int sum = 0;
        for (int v = ya; v < yb; ++v)
          for (int u = xa; u < xb; ++u) sum += rgb[(size_t(v) * size_t(w) + size_t(u)) * 3 + size_t(c)];
        const int n = (yb - ya) * (xb - xa);
        sheet[(size_t(cy + y) * size_t(sw) + size_t(cx + x)) * 3 + size_t(c)] = uint8_t((sum + n / 2) / n);
      }
    }
  }
}

}  // namespace

std::string ContactSheet::write() const {
  if (!enabled() || picks_.empty()) return {};
  const int n = int(picks_.size());
  for (const auto& f : frames_)
    if (f.empty()) throw Failure("contact sheet: a picked frame never arrived");
  // Cells at most 640 pixels wide.
  const int scale = std::max(1, (w_ + 639) / 640);
  const int cw = w_ / scale, ch = h_ / scale, gap = 4;
  const int cols = n <= 3 ? n : (n + 1) / 2, rows = (n + cols - 1) / cols;
  const int sw = cols * cw + (cols - 1) * gap, sh = rows * ch + (rows - 1) * gap;
  std::vector<unsigned char> sheet(size_t(sw) * size_t(sh) * 3, 255);
  for (int k = 0; k < n; ++k) {
    const int cx = (k % cols) * (cw + gap), row = k / cols;
    blit(frames_[size_t(k)].data(), w_, Box{0, 0, w_, h_}, sheet.data(), sw, cx, row * (ch + gap), cw, ch);
  }
  writePng(path_, sw, sh, 3, sheet.data());
  std::string said = "frames";
  for (int p : picks_) said += " " + std::to_string(p);
  return said;
}

}  // namespace lecore
