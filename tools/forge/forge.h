// The forge: writes synthetic but working identity bundles and IMX containers
// that honour the bundle contracts, for tests (small, fast) and the demo (full size).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace le::forge {

enum class Prior { Raw, FeatSynth, None };  // P.f16, fs_red.f16, or neither

// --- additions (v2): movie members ---
// Whether a movie's container declares its frame count (AVStream::nb_frames).
enum class FrameCount {
  Declared,  // MP4 / MOV: the stream declares exactly the frames written
  Absent,    // Matroska content (whatever the member is called): nb_frames reads back 0
};
// Pixel format handed to the H.264 encoder for a driver movie.
enum class DriverPixFmt {
  Yuv420p,   // limited range BT.601, what a driver is authored in
  Yuvj420p,  // full range (the decoder reports yuvj420p): a driver the library must refuse
  Nv12,      // the encoder is fed semi-planar 4:2:0 (limited range); the decoder still reports yuv420p
};

struct DriverMovieOptions {
  int frames = 0;     // frames written; 0 means spec.nt. Frame k shows driverFrame(spec, k % nt), so
                      // nt + 1 forges an honest container whose count disagrees with the manifest
  FrameCount count = FrameCount::Declared;
  DriverPixFmt pixFmt = DriverPixFmt::Yuv420p;
  int crf = 18;           // ignored when lossless
  bool lossless = false;  // qp 0: decoded planes equal driverYuv() exactly
  int fps = 25;
  int gop = 0;            // key-frame interval; 0 means the encoder's default
  bool faststart = true;  // MP4 only: index before the media data, so a cut file still opens
};

struct PriorMovieOptions {
  int frames = 0;           // 0 means spec.nt; frame k shows source frame k % nt
  FrameCount count = FrameCount::Declared;  // Declared: QuickTime (.mov) container
  bool lossless = true;     // x265 lossless: decoded planes equal priorYuv() exactly
  int qp = 4;               // when not lossless
  bool subsampled = false;  // encode yuv420p instead of yuv444p (a prior the library must refuse)
  int fps = 25;
};

// --- additions (v4): the lip contour template (lip_template.v1.json) ---
enum class LipTemplate {
  None,    // no template: the director keeps its own ellipse
  Plain,   // u_canon scaled by the lip spread of the anchor rows 12..15
  Mapped,  // the same polygon through an anchor-linear lip_map
};

// --- additions (v6): the teeth members ---
// The four members of the borrowed-teeth pass (bank track, bank sidecar, head
// weights, head configuration) and how the manifest declares them.
struct TeethSpec {
  int donors = 8;                  // donor mouths in the bank, 1..1024
  uint32_t seed = 1;               // donors and head weights derive from it
  std::string pixFmt = "yuv444p";  // the bank track's pixel format, stated by the sidecar and the manifest
  // Member file per slot (bank_track, bank_sidecar, head_weights, head_config);
  // empty: the default name. The manifest's "members" names the files it was given.
  std::array<std::string, 4> names;
  bool declare = true;             // the manifest carries a "tessera" block
  bool declareGeometry = true;     // ... and the block carries the geometry stamp
  bool candidateOnlyHead = false;  // head weights of the candidate-only architecture
};

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
  // --- additions (v2) ---
  bool mp4Driver = false;  // also (or, with jpegDriver false, only) write the driver movie
  std::string mp4Name = "target_frames.mp4";  // another name goes to the manifest key target_frames_mp4
  DriverMovieOptions mp4;
  bool hevcPrior = false;  // write the HEVC source-frame movie; with Prior::None the bundle's only prior
  std::string hevcName = "P_hevc.mov";  // manifest key P_hevc; the file is memberFile(spec, hevcName)
  PriorMovieOptions hevc;
  // --- additions (v3): director models ---
  // Keys of the directors to write ("b1", "b4", "b24_fp32", ...): model_<key>.onnx each
  // (render_model.batch<N>[.<suffix>].onnx with descriptiveNames), batch = the number after 'b'.
  std::vector<std::string> directorKeys;
  bool directorLegacyBlend = false;  // their pooled blend as the legacy MatMul "/s2/blend"
  // --- additions (v4) ---
  LipTemplate lipTemplate = LipTemplate::None;
  // --- additions (v6) ---
  // The teeth members (forge_teeth.h). With it the manifest carries the
  // "unified" block and, when teeth->declare, the teeth's own "tessera" block
  // in place of the one nestedBlocks writes.
  std::optional<TeethSpec> teeth;
};

// The lip contour template: the canonical lip polygon (kLipVertices vertices,
// (x, y) in units of the lip spread around the mean of kLipRows, y down),
// anchored to kLipRows. The Mapped form's lip_map reproduces the Plain polygon
// on the rest pose (target frame 0): vertex x follows half the corner-to-corner
// offset, vertex y the upper-to-lower lip offset, around the anchors' mean (b = 0).
constexpr int kLipVertices = 14;
extern const double kLipCanon[kLipVertices][2];
// The text writeBundle writes as lip_template.v1.json (canvas = crop,
// feather max(1, crop / 64) px); throws for LipTemplate::None.
std::string lipTemplateText(const BundleSpec& spec);
// The same from target keypoints already at hand (nt x 63, frame 0 used).
std::string lipTemplateText(const BundleSpec& spec, const std::vector<float>& target);

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

// --- additions (v2): movies ---
// 8-bit planes of one picture as handed to an encoder. 4:2:0 planes have
// chroma (w+1)/2 x (h+1)/2; 4:4:4 planes are all w x h. Planar even for nv12.
struct YuvPlanes {
  int w = 0, h = 0, cw = 0, ch = 0;
  std::vector<uint8_t> y, u, v;
};
// Driver movie: H.264 through libx264, spec.W x spec.H at opt.fps; throws std::runtime_error.
// Works at any size the encoder takes (full HD included); the member is written in place.
void writeDriverMp4(const std::string& path, const BundleSpec& spec, const DriverMovieOptions& opt = {});
// The planes the driver writer encodes for movie frame k (driverFrame(spec, k % nt) converted with
// BT.601: limited range for Yuv420p / Nv12, full range for Yuvj420p; chroma = mean of each 2x2 block).
YuvPlanes driverYuv(const BundleSpec& spec, int k, DriverPixFmt fmt = DriverPixFmt::Yuv420p);

// Prior movie: HEVC through libx265, spec.crop x spec.crop, 4:4:4 (or 4:2:0 when opt.subsampled).
void writePriorHevc(const std::string& path, const BundleSpec& spec, const PriorMovieOptions& opt = {});
// 8-bit planar R, G, B (3 x S x S) of source frame k % nt: each half rounded to the nearest of 0..255.
std::vector<uint8_t> priorRgb(const BundleSpec& spec, int k);
// The 4:4:4 planes encoded for prior frame k: priorRgb inverted through the decoder's fixed-point
// conversion (below), so that decoding gives back priorRgb within a level or two.
YuvPlanes priorYuv(const BundleSpec& spec, int k);
// The library's fixed-point limited-range BT.601 conversion of one 4:4:4 pixel to R, G, B.
void priorPixelToRgb(uint8_t Y, uint8_t U, uint8_t V, uint8_t rgb[3]);
// What a prior decoder must deliver for frame k of a lossless movie: 3 x S x S halves,
// planes R, G, B, each value toHalf(c / 255) of priorPixelToRgb applied to priorYuv.
std::vector<uint16_t> priorExpectedFrame(const BundleSpec& spec, int k);

// Damage helpers for refusal tests; both throw std::runtime_error on I/O failure.
void truncateFile(const std::string& path, uint64_t bytes);  // keep the first `bytes` bytes
// Overwrite `count` bytes from `offset` (clipped to the file) with seeded noise.
void corruptFile(const std::string& path, uint64_t offset, uint64_t count, uint32_t seed = 1);

// The demo identity: full-size bundle built around a real portrait.
BundleSpec demoSpec(const std::string& portraitPath);
// Hand-placed keypoints of the demo portrait (third_party/demo/astronaut.png,
// 512 x 512): 21 x (x, y) in portrait pixel-centre coordinates, rows as above.
extern const float kAstronautKp[21][2];

}  // namespace le::forge

#include "forge_director.h"
#include "forge/forge_motion.h"
