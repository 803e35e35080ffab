// The manifest reader over a hostile manifest.json: any text either loads into
// a record whose every field is what the key rule reads from the text, or is
// refused with a std::runtime_error. The key scanner's own answers are checked
// against each other on every key the library reads.
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "bundle/le_bundle.h"
#include "fuzz_util.h"

namespace {

namespace mk = le::manifest_key;
using le::fuzz::fail;

std::string gDir;

const char* const kKeys[] = {"format",  "agent",  "NT",      "frame_count", "H",          "W",
                             "crop",    "crop_size", "amount", "sigma",      "ksize",      "frames",
                             "M_src_w", "M_src_h", "paste_source_width",    "paste_source_height",
                             "P_rgb",   "P_hevc", "target_frames",          "target_frames_mp4"};

void checkKey(const std::string& text, const char* name) {
  for (const mk::KeyHit& h : mk::keyHits(text, name)) {
    if (h.pos > text.size()) fail("manifest", std::string("a hit past the end for ") + name);
    const bool scalar = h.pos < text.size() && text[h.pos] != '{' && text[h.pos] != '[';
    if (h.scalar != scalar) fail("manifest", std::string("scalar flag wrong for ") + name);
  }
  size_t pos;
  try {
    pos = mk::scalarValuePos(text, name);
  } catch (const std::runtime_error& e) {
    if (std::string_view(e.what()).rfind("manifest: key \"", 0) != 0) fail("manifest", e.what());
    return;
  }
  if (pos == std::string::npos) return;
  if (pos > text.size()) fail("manifest", std::string("a value past the end for ") + name);
  // A quoted value reads the same through both string readers.
  std::string opt;
  if (mk::optStr(text, name, opt) && mk::strField(text, name) != opt)
    fail("manifest", std::string("optStr and strField disagree on ") + name);
  (void)mk::numberAt(text, pos);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  gDir = le::fuzz::makeScratch("manifest");
  ::unsetenv("QUENZAL2_MSRC_MISSING_OK");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  for (const char* k : kKeys) checkKey(text, k);

  le::fuzz::writeWhole(gDir + "/manifest.json", text);
  le::Manifest m;
  try {
    m = le::loadManifest(gDir);
  } catch (const std::runtime_error&) {
    return 0;  // the refusal path
  }
  // Accepted: every field is the key rule's reading of the text.
  auto num = [&](const char* a, const char* b) { return mk::toInt32(mk::numFieldEither(text, a, b)); };
  if (m.dir != gDir || m.agent != mk::strField(text, "agent") || m.nt != num("NT", "frame_count") ||
      m.H != mk::toInt32(mk::numField(text, "H")) || m.W != mk::toInt32(mk::numField(text, "W")) ||
      m.crop != num("crop", "crop_size") || m.frames != mk::toInt32(mk::numField(text, "frames")) ||
      m.unsharp.ksize != mk::toInt32(mk::numField(text, "ksize")))
    fail("manifest", "a field differs from its key");
  if (m.nt < 1 || m.H < 1 || m.W < 1 || m.crop < 1 || m.msrcW < 1 || m.msrcH < 1)
    fail("manifest", "accepted a non-positive dimension");
  // The identity's own reading of the members the manifest names.
  try {
    le::ensureIdentityMembers(m);
  } catch (const std::runtime_error&) {
  }
  return 0;
}
