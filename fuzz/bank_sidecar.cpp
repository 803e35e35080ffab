// The teeth members loader over a hostile bank sidecar and manifest: any pair
// either loads into a record every consumer can trust or is refused with a
// std::exception.
//
// Input: the sidecar text, one NUL byte, the manifest text (no NUL: the whole
// input is the sidecar and the manifest is empty). Neither member is ever
// meant to hold a NUL, so the separator costs the texts nothing, and unlike a
// length prefix it survives byte insertions and erasures: a mutation edits
// one text instead of moving the split and tearing both. The seeds stay two
// readable JSON texts.
//
// The four members live in one temporary bundle directory per process, made
// at start-up; each execution overwrites the sidecar and the manifest, the
// other three stay the small fixed files written once (the loader checks the
// track is a regular file and reads the head weights and configuration whole,
// parsing neither).
#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "tessera/le_bundle_tessera.h"

namespace {

namespace fs = std::filesystem;

// Larger decoded banks are still checked for their size, but not reordered:
// filling two buffers that big on every execution would stall the run.
constexpr int64_t kReorderCap = int64_t(16) << 20;

std::string gDir;

[[noreturn]] void fail(const char* what, const std::string& detail = {}) {
  std::fprintf(stderr, "bank_sidecar: %s%s%s\n", what, detail.empty() ? "" : ": ", detail.c_str());
  std::abort();
}

void require(bool ok, const char* what) {
  if (!ok) fail(what);
}

void writeMember(const char* name, const void* data, size_t n) {
  const std::string path = gDir + "/" + name;
  // Written over in place and then cut to length: a file truncated to empty
  // and rewritten is flushed on close by some file systems, which would make
  // the disk, not the loader, set the pace.
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) fail("cannot write", path);
  const char* p = static_cast<const char*>(data);
  const off_t length = off_t(n);
  while (n > 0) {
    const ssize_t w = ::write(fd, p, n);
    if (w <= 0) fail("short write", path);
    p += w;
    n -= size_t(w);
  }
  if (::ftruncate(fd, length) != 0) fail("cannot cut to length", path);
  ::close(fd);
}
void writeMember(const char* name, std::string_view s) { writeMember(name, s.data(), s.size()); }

void removeDir() {
  std::error_code ec;
  fs::remove_all(gDir, ec);
}

// What any accepted record must hold, whatever texts it came from.
void checkRecord(const le::TesseraAttachInputs& in, std::string_view manifestText) {
  using le::tessera::GeometryStamp;
  const int32_t n = in.n_donors;
  require(n >= 1 && n <= 1024, "n_donors outside 1..1024");

  require(in.track_order.size() == size_t(n), "track_order is not n long");
  std::vector<bool> seen(size_t(n), false);
  for (const int32_t v : in.track_order) {
    require(v >= 0 && v < n, "track_order entry outside [0,n)");
    require(!seen[size_t(v)], "track_order repeats an entry");
    seen[size_t(v)] = true;
  }
  require(in.cent.size() == 2 * size_t(n), "cent is not 2n long");
  for (const double c : in.cent) require(std::isfinite(c), "cent holds a non-finite value");
  require(in.aperture.size() == size_t(n), "aperture is not n long");
  for (const double a : in.aperture) require(std::isfinite(a), "aperture holds a non-finite value");
  require(std::isfinite(in.c_canon[0]) && std::isfinite(in.c_canon[1]), "c_canon holds a non-finite value");

  require(in.band_w > 0 && in.band_h > 0, "non-positive stored patch");
  require(in.band_h == in.stamp.bandH() && in.band_w == in.stamp.bandW(), "stored patch differs from the stamp's");
  int64_t bytes = 0;
  require(!__builtin_mul_overflow(int64_t(n), int64_t(in.band_h), &bytes) &&
              !__builtin_mul_overflow(bytes, int64_t(in.band_w), &bytes) &&
              !__builtin_mul_overflow(bytes, int64_t(3), &bytes),
          "decoded bank size overflows");
  require(in.bandBytes() == bytes, "bandBytes() differs from n*band_h*band_w*3");
  require(!in.bank_pix_fmt.empty(), "no bank pixel format");
  require(!in.bank_track_path.empty(), "no bank track path");
  require(in.manifest_json == manifestText, "manifest text is not the one written");

  // The loader does not judge the stamp's coherence (the pass does, on its
  // own canvas); asking must either pass or give the one refusal text.
  try {
    in.stamp.validate();
  } catch (const std::runtime_error& e) {
    if (std::string_view(e.what()).substr(0, 32) != "teeth: GeometryStamp incoherent:")
      fail("stamp refusal with another text", e.what());
  }

  // A manifest stamp that reads must be the sidecar's.
  namespace json = le::tessera::json;
  try {
    const json::JVal doc = json::parseDocument(manifestText, "manifest");
    if (const json::JVal* t = doc.find("tessera"); t && t->isObj())
      if (const json::JVal* g = t->find("geometry"); g && g->isObj())
        require(GeometryStamp::fromJson(*g, "manifest") == in.stamp, "manifest stamp disagrees with the record");
  } catch (const std::runtime_error& e) {
    fail("a manifest the loader accepted does not read", e.what());
  }

  if (bytes > kReorderCap) return;
  // Exact-size buffers, so that a write past either end is an ASan report.
  const size_t total = size_t(bytes), stride = total / size_t(n);
  std::unique_ptr<uint8_t[]> track(new uint8_t[total]);
  std::unique_ptr<uint8_t[]> donor(new uint8_t[total]);
  for (int32_t i = 0; i < n; ++i) {
    uint8_t* f = track.get() + size_t(i) * stride;
    std::memset(f, 0x5a ^ (i & 0xff), stride);
    // The frame's index in its first two bytes (a stride is at least 3).
    f[0] = uint8_t(i);
    f[1] = uint8_t(i >> 8);
  }
  std::memset(donor.get(), 0xee, total);
  le::reorderTrackToDonor(in, track.get(), donor.get());
  for (int32_t i = 0; i < n; ++i)
    if (std::memcmp(donor.get() + size_t(in.track_order[size_t(i)]) * stride, track.get() + size_t(i) * stride,
                    stride) != 0)
      fail("reorder left a donor patch that is not its track frame");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::string tmpl = (fs::temp_directory_path() / "le-fuzz-bank-sidecar-XXXXXX").string();
  if (!::mkdtemp(tmpl.data())) fail("cannot make the bundle directory", tmpl);
  gDir = tmpl;
  std::atexit(removeDir);
  const uint8_t track[] = {0, 0, 0, 0x18, 'f', 't', 'y', 'p'};
  writeMember("tessera_bank.v1.mp4", track, sizeof track);
  const uint8_t weights[] = {'P', 'K', 3, 4, 0, 0, 0, 0};
  writeMember("tessera_head.v1.pt", weights, sizeof weights);
  writeMember("tessera_head.v1.json",
              R"({"format": "tessera_head.v1", "retrieval": {"kshort": 512, "aperture_tol": 0.3, "cut": 96, "K": 64}, )"
              R"("temporal": {"hysteresis": 8, "lookahead": 8}, "decode": {"envelope_clamp_255": 12}})");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const size_t nul = input.find('\0');
  const std::string_view sidecar = input.substr(0, nul);
  const std::string_view manifest = nul == std::string_view::npos ? std::string_view() : input.substr(nul + 1);
  writeMember("tessera_bank.v1.json", sidecar);
  writeMember("manifest.json", manifest);
  le::TesseraAttachInputs in;
  try {
    in = le::loadTesseraMembers(gDir);
  } catch (const std::exception&) {
    return 0;  // the refusal path
  }
  try {
    checkRecord(in, manifest);
  } catch (const std::exception& e) {
    // Everything asked of an accepted record must hold without a refusal.
    fail("an accepted record was refused later", e.what());
  }
  return 0;
}
