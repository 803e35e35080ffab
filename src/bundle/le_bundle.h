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

#include "base/le_file.h"
#include "base/le_member.h"
#include "bundle/le_imx.h"
#include "bundle/le_manifest_key.h"
#include "compose/le_paste.h"

namespace le {

struct Manifest;

// Source frames played from a movie member and handed out by index. The
// driver's cursor is the one implementation; the bundle only holds it.
class PriorCursor {
 public:
  virtual ~PriorCursor() = default;
  // Frame si by pointer into the cursor's ring; its index through out.
  virtual const unsigned char* pullAt(int si, int* out) = 0;
  virtual const std::string& name() const = 0;       // the decoder description
  virtual std::size_t residentBytes() const = 0;
  virtual std::uint64_t seeks() const = 0;
};

// Opens the prior cursor of a bundle whose source frames come from a movie.
using PriorOpener = std::unique_ptr<PriorCursor> (*)(const Manifest& m);

// ---------------------------------------------------------------- manifest

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

// ------------------------------------------------------------- identity

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
  // openPrior plays the source movie of a bundle that maps no source frames;
  // without it such a bundle's frames cannot be handed out.
  explicit Identity(const Manifest& m, PriorOpener openPrior = nullptr);
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

  // Held while a source frame from P() is read: the movie prior hands out ring
  // slots and is one cursor, so threads that convert frames (a renderer's
  // prefetch thread, another renderer) take turns.
  std::unique_lock<std::mutex> lockSourceFrames() const { return std::unique_lock<std::mutex>(sourceMutex_); }

  // Positions the movie prior at frame i (under the source-frame lock);
  // nothing when frames are mapped.
  void walkP(int i) const;

  // The prior cursor over the HEVC source movie, opened once on the first call
  // from any thread. Throws when the frames do not come from a movie, when no
  // opener was given, or when the movie cannot be opened.
  PriorCursor& prior() const;

  // "mmap P.f16" when P.f16 is mapped, the prior cursor's decoder description
  // when frames come from the movie, "none" otherwise.
  std::string priorBackend() const;
  // The prior cursor's counters when frames come from the movie, 0 otherwise.
  std::uint64_t priorResidentBytes() const;
  std::uint64_t priorSeeks() const;

 private:
  std::int32_t nt_ = 0;
  std::int32_t crop_ = 0;
  MappedTable pooled_;
  MappedTable P_;
  MappedTable fsRed_;
  std::vector<float> M_;
  std::string priorMoviePath_;  // set only when neither P.f16 nor fs_red.f16 exists
  Manifest manifest_;           // opens the prior cursor later
  PriorOpener openPrior_ = nullptr;
  // The prior cursor is opened once, by the first caller; a failed opening is
  // retried by the next. A mutex rather than a once-flag: a throwing once-flag
  // callable leaves some runtimes' once state stuck, hanging every later call.
  mutable std::mutex priorMutex_;
  mutable std::mutex sourceMutex_;
  mutable std::atomic<PriorCursor*> priorReady_{nullptr};  // set once prior_ is open
  mutable std::unique_ptr<PriorCursor> prior_;  // empty until first needed
};

// ---------------------------------------------------------------- drive

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
