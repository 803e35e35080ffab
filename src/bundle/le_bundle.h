// The identity bundle: manifest.json, members and their resolution,
// the mapped identity tables and the drive keypoint tables.
//
// Bundle location and container unpacking live in le_imx.h; the key
// scanner of manifest.json lives in le_manifest_key.h. Both are included here so
// that this header is the one door to the bundle.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "bundle/le_imx.h"
#include "bundle/le_manifest_key.h"

namespace le {

class DriverCursor;  // driver/le_driver.h; that header needs only a forward Manifest

// ---------------------------------------------------------------- manifest (2.2)

// Parameters of the paste compositor's unsharp filter.
struct Unsharp {
  float amount = 1.3f;
  float sigma = 2.0f;
  std::int32_t ksize = 13;
};

// The parsed manifest.json. The initial values only describe a default-constructed
// record; every successful loadManifest overwrites all of them.
struct Manifest {
  std::string dir;            // the resolved bundle directory
  std::string agent;          // key agent
  std::int32_t nt = 0;        // NT, else frame_count: frames in the identity loop
  std::int32_t H = 0;         // full-frame height in pixels
  std::int32_t W = 0;         // full-frame width in pixels
  std::int32_t msrcW = 0;     // M_src_w, else paste_source_width
  std::int32_t msrcH = 0;     // M_src_h, else paste_source_height
  std::int32_t crop = 512;    // crop, else crop_size: side of the square face crop
  Unsharp unsharp;            // amount, sigma, ksize
  std::int32_t frames = 0;    // rows of the drive tables
  std::string lipTemplate;    // whole text of lip_template.v1.json; empty when absent

  // resolveMember(dir, "model_" + key + ".onnx").
  std::string modelPath(const std::string& key) const;
};

// Resolves the bundle, reads and checks manifest.json. Throws std::runtime_error.
Manifest loadManifest(const std::string& bundle);

// dir + "/.coreml_cache/ort" + the ONNX Runtime version ("unknown" when it gives none).
std::string coremlCacheDir(const std::string& dir);

// Whole file as bytes: "cannot open " + path, "short read " + path.
std::string readText(const std::string& path);

// ------------------------------------------------------ member resolution (2.3)

// The descriptive alias of a requested member name, or name itself when it has none.
std::string memberAlias(const std::string& name);

// The path of a member: dir/name when it can be opened or has no alias, else
// dir/alias when that can be opened, else dir/name. Never throws for a missing file.
std::string resolveMember(const std::string& dir, const std::string& name);

// A read-only, private mapping of a whole file. Move-only; unmaps on destruction.
class MappedTable {
 public:
  MappedTable() = default;
  MappedTable(void* base, std::size_t bytes) : base_(base), bytes_(bytes) {}
  MappedTable(MappedTable&& o) noexcept : base_(o.base_), bytes_(o.bytes_) {
    o.base_ = nullptr;
    o.bytes_ = 0;
  }
  MappedTable& operator=(MappedTable&& o) noexcept;
  MappedTable(const MappedTable&) = delete;
  MappedTable& operator=(const MappedTable&) = delete;
  ~MappedTable();

  const unsigned char* data() const { return static_cast<const unsigned char*>(base_); }
  std::size_t size() const { return bytes_; }
  bool empty() const { return base_ == nullptr; }

 private:
  void* base_ = nullptr;
  std::size_t bytes_ = 0;
};

// Maps path, whose size must be exactly bytes: "cannot open " + path,
// "size mismatch " + path, "mmap failed " + path.
MappedTable mapFile(const std::string& path, std::uint64_t bytes);

// A headerless member opened for one exact-size read: the constructor throws
// "cannot open " + path, or "size mismatch " + path when a regular file's size is
// not exactly bytes (checked before the caller allocates anything); readAll reads
// the bytes and requires end of file ("size mismatch " + path otherwise).
class RawFile {
 public:
  RawFile(const std::string& path, std::uint64_t bytes);
  RawFile(const RawFile&) = delete;
  RawFile& operator=(const RawFile&) = delete;
  ~RawFile();
  void readAll(void* dst);

 private:
  int fd_ = -1;
  std::string path_;
  std::uint64_t bytes_ = 0;
};

// Exactly count elements of T from a headerless member: "cannot open " + path,
// "size mismatch " + path (fewer elements or extra bytes).
template <class T>
std::vector<T> readRaw(const std::string& path, std::size_t count) {
  static_assert(std::is_trivially_copyable_v<T>);
  if (count > SIZE_MAX / sizeof(T)) throw std::runtime_error("size mismatch " + path);
  RawFile f(path, static_cast<std::uint64_t>(count) * sizeof(T));
  std::vector<T> v(count);
  f.readAll(v.data());
  return v;
}

// ------------------------------------------------------------- identity (2.3)

// Refuses a bundle the renderer could not get a warp prior from.
void ensureIdentityMembers(const Manifest& m);

// Brings the paste transforms (nt x 6 floats, row-major 2x3 per frame) from the
// msrcW x msrcH canvas they were authored on to the manifest's W x H.
void rescaleM(std::vector<float>& M, const Manifest& m);

// Per-frame half-float table sizes.
inline constexpr std::size_t kPooledHalves = 65536;    // pooled64.f16 per frame
inline constexpr std::size_t kFsRedHalves = 262144;    // fs_red.f16 per frame

// The mapped per-frame tables of an identity. Frame indices are in [0, nt).
class Identity {
 public:
  explicit Identity(const Manifest& m);
  Identity(const Identity&) = delete;
  Identity& operator=(const Identity&) = delete;
  ~Identity();

  std::int32_t nt() const { return nt_; }
  std::int32_t crop() const { return crop_; }
  const Manifest& manifest() const { return manifest_; }

  bool hasP() const { return !P_.empty(); }
  bool hasFsRed() const { return !fsRed_.empty(); }
  bool priorFromMovie() const { return P_.empty() && !priorMoviePath_.empty(); }
  const std::string& priorMoviePath() const { return priorMoviePath_; }

  // Frame i's 3*crop*crop half floats (planes R, G, B): inside the mapping of
  // P.f16, or the prior cursor's ring slot when frames come from the movie (valid
  // until 12 further prior frames have been pulled). Throws when the bundle has no
  // source frames at all, or the movie fails. Const like the other readers:
  // opening the prior cursor on first use is not a visible change of state.
  const std::uint16_t* P(int i) const;
  // Frame i's 65,536 half floats.
  const std::uint16_t* pooled64(int i) const {
    return reinterpret_cast<const std::uint16_t*>(pooled_.data()) + std::size_t(i) * kPooledHalves;
  }
  // Frame i's 262,144 half floats; nullptr when fs_red.f16 is absent.
  const std::uint16_t* fsRed(int i) const {
    return fsRed_.empty() ? nullptr
                          : reinterpret_cast<const std::uint16_t*>(fsRed_.data()) + std::size_t(i) * kFsRedHalves;
  }
  // Frame i's paste transform, 6 floats, already rescaled to W x H.
  const float* M(int i) const { return M_.data() + std::size_t(i) * 6; }
  const std::vector<float>& transforms() const { return M_; }

  // Positions the movie prior at frame i; nothing when frames are mapped.
  void walkP(int i) const;

  // The prior cursor over the HEVC source movie, opened once (look-ahead 2,
  // history 11) on the first call from any thread. Throws when the frames do
  // not come from a movie, or when the movie cannot be opened.
  DriverCursor& prior() const;

  // "mmap P.f16" when P.f16 is mapped, the prior cursor's decoder description
  // when frames come from the movie, "none" otherwise.
  std::string priorBackend() const;
  // The prior cursor's counters when frames come from the movie, 0 otherwise.
  std::uint64_t priorResidentBytes() const;
  std::uint64_t priorSeeks() const;

  // n IEEE half floats to float with the processor's conversion instruction.
  static void halfToFloat(const std::uint16_t* src, float* dst, std::size_t n);

 private:
  std::int32_t nt_ = 0;
  std::int32_t crop_ = 0;
  MappedTable pooled_;
  MappedTable P_;
  MappedTable fsRed_;
  std::vector<float> M_;
  std::string priorMoviePath_;  // set only when neither P.f16 nor fs_red.f16 exists
  Manifest manifest_;           // opens the prior cursor later
  // The prior cursor is opened once, by the first caller; a failed opening is
  // retried by the next. A mutex rather than a once-flag: a throwing once-flag
  // callable leaves some runtimes' once state stuck, hanging every later call.
  mutable std::mutex priorMutex_;
  mutable std::atomic<DriverCursor*> priorReady_{nullptr};  // set once prior_ is open
  mutable std::unique_ptr<DriverCursor> prior_;  // empty until first needed
};

// ---------------------------------------------------------------- drive (2.4)

inline constexpr int kKpFloats = 63;  // 21 keypoints x 3 floats

struct Drive {
  std::vector<float> xs;        // frames x 63 source keypoints
  std::vector<float> xd;        // frames x 63 driven keypoints
  std::vector<std::int32_t> si; // frames source frame indices, each in [0, nt)
  std::int32_t frames = 0;
};

// Reads drive/xs.f32, drive/xd.f32, drive/si.i32 (or their idle_loop/ aliases).
Drive loadDrive(const Manifest& m);

}  // namespace le
