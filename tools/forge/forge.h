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
};

// Writes the whole bundle directory (created if needed); throws std::runtime_error.
void writeBundle(const std::string& dir, const BundleSpec& spec);
// The manifest.json text writeBundle writes for this spec.
std::string manifestText(const BundleSpec& spec);

// Deterministic content helpers shared by the bundle writer and tests.
std::vector<float> pasteTransforms(const BundleSpec& spec);  // nt x 6, on the msrc canvas
std::vector<uint8_t> featheredDisc(int side);                // side x side paste mask

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
// Packs every regular file under dir (recursively, names relative to dir with '/').
void packDir(const std::string& dir, const std::string& imxPath);

// The demo identity: full-size bundle built around a real portrait.
BundleSpec demoSpec(const std::string& portraitPath);

}  // namespace le::forge
