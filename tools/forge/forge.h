// The forge: writes synthetic but working identity bundles and IMX containers
// that honour the bundle contracts, for tests (small, fast) and the demo (full size).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace le::forge {

enum class Prior { Raw, FeatSynth, None };  // P.f16, fs_red.f16, or neither

struct BundleSpec {
  int nt = 4;            // frames in the identity loop
  int W = 64;            // full-frame width
  int H = 48;            // full-frame height
  int crop = 32;         // side of the square face crop
  int frames = 6;        // rows of the drive tables
  uint32_t seed = 1;     // everything procedural derives from it
  bool descriptiveNames = false;  // source_frames.f16, idle_loop/..., paste_mask.u8 ...
  Prior prior = Prior::Raw;
  bool withFsRed = false;         // also write fs_red.f16 beside a raw P.f16
  bool stampPasteSpace = true;    // write M_src_w / M_src_h
  int msrcW = 0, msrcH = 0;       // paste-space canvas; 0 means W / H
  bool legacyKeyNames = false;    // frame_count, crop_size, paste_source_width/height
  bool nestedBlocks = false;      // add "tessera" and "unified" blocks (no colliding keys)
  std::string extraRootKeys;      // raw JSON members appended to the root object (no leading comma)
  bool jpegDriver = true;         // target_frames/frame_%06d.jpg
  std::string portrait;           // image file to build frames from; empty: procedural
  // --- additions (v1) ---
  std::string agent;              // manifest "agent"; empty: "forge-synthetic" (or the portrait's stem)
  float amount = 1.3f;            // unsharp amount / sigma / ksize written to the manifest;
  float sigma = 2.0f;             // ksize 0 means 13, or a smaller odd size for crops under 26
  int ksize = 0;
  std::string jpegDirName = "target_frames";  // the JPEG member (manifest key target_frames)
};

// Writes the whole bundle directory (created if needed); throws std::runtime_error.
// Members are (over)written; files already in dir that the bundle does not name are left alone.
// The driver JPEGs hold nt frames (frame_000000.jpg .. frame_%06d of nt-1), quality 92.
void writeBundle(const std::string& dir, const BundleSpec& spec);
// The manifest.json text writeBundle writes for this spec.
std::string manifestText(const BundleSpec& spec);

// Deterministic content helpers shared by the bundle writer and tests.
std::vector<float> pasteTransforms(const BundleSpec& spec);  // nt x 6, on the msrc canvas
std::vector<uint8_t> featheredDisc(int side);                // side x side paste mask

// --- additions (v1): the exact content writeBundle puts into each member ---
// Member file name writeBundle uses for a short (requested) name such as "P.f16"
// or "drive/si.i32": the descriptive alias when spec.descriptiveNames, else the name.
std::string memberFile(const BundleSpec& spec, const std::string& shortName);
// Effective paste-space canvas and unsharp kernel size of a spec.
int msrcWidth(const BundleSpec& spec);
int msrcHeight(const BundleSpec& spec);
int ksizeOf(const BundleSpec& spec);
// Paste transforms on the W x H frame itself (what the loader gets after rescaling).
std::vector<float> pasteTransformsOnFrame(const BundleSpec& spec);  // nt x 6
// Keypoints: 21 x (x, y, z) per set, x and y in normalised crop coordinates
// (-1 = first pixel, +1 = last pixel, as the compose geometry counts), z a small relative depth.
// Rows: 0-2 left brow (outer, mid, inner), 3-5 right brow (inner, mid, outer),
// 6-7 left eye (outer, inner), 8-9 right eye (inner, outer), 10 nose bridge,
// 11 nose tip, 12 left mouth corner, 13 upper lip, 14 right mouth corner,
// 15 lower lip, 16 left jaw, 17 chin left, 18 chin, 19 chin right, 20 right jaw.
constexpr int kKpRows = 21;
constexpr int kKpFloats = 63;
constexpr int kLipRows[4] = {12, 13, 14, 15};
std::vector<float> targetKeypoints(const BundleSpec& spec);  // nt x 63 (xs_target.bin)
struct DriveTables {
  std::vector<float> xs, xd;   // frames x 63
  std::vector<int32_t> si;     // frames, each in [0, nt)
};
DriveTables driveTables(const BundleSpec& spec);
// Driver frame i (0 <= i < nt) as W*H*3 RGB bytes, before JPEG compression.
std::vector<uint8_t> driverFrame(const BundleSpec& spec, int i);
// Source frame i as 3*crop*crop IEEE halves, planes R, G, B in [0, 1] (P.f16 block i).
std::vector<uint16_t> sourceFrame(const BundleSpec& spec, int i);
// The float -> IEEE half conversion the forge writes with (round to nearest even).
uint16_t toHalf(float v);

// One entry of an IMX v2 container. offset/size override what the table of
// contents declares (to forge truncated or overlapping payloads).
struct ImxEntry {
  std::string name;
  std::string data;
  std::optional<uint64_t> offset;
  std::optional<uint64_t> size;
};
struct ImxOptions {
  uint16_t version = 2;
  std::optional<uint16_t> count;        // declared member count (default: entries.size())
  std::optional<uint64_t> truncateTo;   // cut the file to this many bytes
  bool badMagic = false;
};
void writeImx(const std::string& path, const std::vector<ImxEntry>& entries, const ImxOptions& opt = {});
// Packs every regular file under dir (recursively, names relative to dir with '/',
// in sorted order; symbolic links and other non-regular files are skipped).
void packDir(const std::string& dir, const std::string& imxPath);
// The member names packDir would write for dir, in container order.
std::vector<std::string> packList(const std::string& dir);

// The demo identity: full-size bundle built around a real portrait.
BundleSpec demoSpec(const std::string& portraitPath);
// Hand-placed keypoints of the demo portrait (third_party/demo/astronaut.png,
// 512 x 512): 21 x (x, y) in portrait pixel-centre coordinates, rows as above.
extern const float kAstronautKp[21][2];

}  // namespace le::forge
