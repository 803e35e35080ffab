// The reference bank track: what the forge encodes comes back through the
// in-memory decoder in donor order, and every mismatched, short, long,
// foreign or damaged track is refused with its text, never read out of bounds.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "forge/forge_bank.h"
#include "forge/movie_probe.h"
#include "support/errors.h"
#include "support/tmpdir.h"
#include "tessera/le_bankdec_ff.h"

namespace {

using le::forge::BankTrackOptions;
using le::test::errorOf;

constexpr int kW = 24, kH = 16, kN = 3;
const std::vector<int32_t> kOrder = {2, 0, 1};  // track frame 0 holds donor 2

// n patches in track order: a gradient per frame, a colour stripe that moves
// channel by channel from column to column (so chroma changes at every pixel)
// and a little seeded noise.
std::vector<uint8_t> trackPatches(int n, int w, int h, uint32_t seed = 1) {
  std::vector<uint8_t> rgb(size_t(n) * h * w * 3);
  uint32_t s = seed * 2654435761u + 1;
  for (int k = 0; k < n; ++k)
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x)
        for (int c = 0; c < 3; ++c) {
          s = s * 1664525u + 1013904223u;
          const int v = 30 + 40 * k + 2 * x + 3 * y * (c + 1) + ((x + c) % 3 == 0 ? 70 : 0) + int(s >> 28);
          rgb[((size_t(k) * h + y) * w + x) * 3 + c] = uint8_t(std::min(v, 255));
        }
  return rgb;
}

std::vector<uint8_t> track(const BankTrackOptions& opt = {}, int w = kW, int h = kH, int n = kN) {
  return le::forge::bankTrackBytes(trackPatches(n, w, h), w, h, n, opt);
}

std::vector<uint8_t> decode(const std::vector<uint8_t>& b, int n = kN, int h = kH, int w = kW,
                            const std::vector<int32_t>& order = kOrder) {
  return le::decodeBankTrack(b.data(), b.size(), n, h, w, order);
}

struct PixCase {
  const char* pixFmt;
  const char* delivered;  // what the decoder hands the converter
  int vsSource;           // per byte against the source; < 0: chroma subsampled, not compared
  int vsPlanes;           // per byte against the decoded planes converted here; < 0: not compared
};

// The decoded planes of one picture as RGB, by the textbook BT.601 limited-range
// inverse (Y'CbCr) or by reordering the planes (GBR), rounded to nearest.
std::vector<uint8_t> referenceRgb(const forge_test::Picture& p) {
  const size_t n = size_t(p.w) * p.h;
  std::vector<uint8_t> rgb(n * 3);
  auto clamp8 = [](double v) { return uint8_t(std::lround(std::clamp(v, 0.0, 255.0))); };
  for (size_t i = 0; i < n; ++i) {
    if (p.pixFmt == "gbrp") {
      rgb[3 * i] = p.planes[2][i], rgb[3 * i + 1] = p.planes[0][i], rgb[3 * i + 2] = p.planes[1][i];
    } else {
      const double y = 255.0 / 219.0 * (p.planes[0][i] - 16.0), u = 255.0 / 224.0 * (p.planes[1][i] - 128.0),
                   v = 255.0 / 224.0 * (p.planes[2][i] - 128.0);
      rgb[3 * i] = clamp8(y + 1.402 * v);
      rgb[3 * i + 1] = clamp8(y - 0.344136 * u - 0.714136 * v);
      rgb[3 * i + 2] = clamp8(y + 1.772 * u);
    }
  }
  return rgb;
}

class BankDecode : public ::testing::TestWithParam<PixCase> {};

// What the decoder delivers is probed independently; the bank matches both the
// source and an exact conversion of the decoded planes within the stated
// tolerances, and a permuted track order gives exactly the identity order's
// patches moved to their slots (which also catches a conversion that spills
// over into a neighbouring slot).
TEST_P(BankDecode, FramesLandInDonorOrder) {
  const PixCase pc = GetParam();
  BankTrackOptions opt;
  opt.pixFmt = pc.pixFmt;
  const std::vector<uint8_t> inTrack = trackPatches(kN, kW, kH);
  const std::vector<uint8_t> bytes = le::forge::bankTrackBytes(inTrack, kW, kH, kN, opt);

  le::test::TmpDir dir;
  le::forge::writeBankTrack(dir / "bank.mp4", inTrack, kW, kH, kN, opt);
  const forge_test::MovieProbe probe = forge_test::probeMovie(dir / "bank.mp4");
  ASSERT_EQ(probe.error, "");
  ASSERT_EQ(probe.frames.size(), size_t(kN));

  const std::vector<uint8_t> bank = decode(bytes);
  const std::vector<uint8_t> plain = decode(bytes, kN, kH, kW, {0, 1, 2});
  ASSERT_EQ(bank.size(), inTrack.size());
  const size_t stride = size_t(kW) * kH * 3;
  int vsSource = 0, vsPlanes = 0;
  for (int k = 0; k < kN; ++k) {
    EXPECT_EQ(probe.frames[size_t(k)].pixFmt, pc.delivered);
    const size_t slot = size_t(kOrder[size_t(k)]) * stride, frame = size_t(k) * stride;
    EXPECT_TRUE(std::equal(plain.begin() + frame, plain.begin() + frame + stride, bank.begin() + slot)) << k;
    const std::vector<uint8_t> ref = pc.vsPlanes >= 0 ? referenceRgb(probe.frames[size_t(k)]) : std::vector<uint8_t>();
    for (size_t i = 0; i < stride; ++i) {
      vsSource = std::max(vsSource, std::abs(int(bank[slot + i]) - int(inTrack[frame + i])));
      if (!ref.empty()) vsPlanes = std::max(vsPlanes, std::abs(int(bank[slot + i]) - int(ref[i])));
    }
  }
  if (pc.vsSource >= 0) {
    EXPECT_LE(vsSource, pc.vsSource);
  }
  if (pc.vsPlanes >= 0) {
    EXPECT_LE(vsPlanes, pc.vsPlanes);
  }
}

// RGB stored as RGB comes back exactly; 4:4:4 Y'CbCr within the rounding of
// 8-bit limited-range codes against the source (worst 2 measured on this
// pattern) and of the converter's fixed-point arithmetic against the exact
// inverse (worst 1 measured).
INSTANTIATE_TEST_SUITE_P(PixFmts, BankDecode,
                         ::testing::Values(PixCase{"gbrp", "gbrp", 0, 0}, PixCase{"rgb24", "gbrp", 0, 0},
                                           PixCase{"yuv444p", "yuv444p", 2, 1}, PixCase{"yuv420p", "yuv420p", -1, -1}),
                         [](const auto& i) { return std::string(i.param.pixFmt); });

struct Refusal {
  const char* name;
  std::vector<uint8_t> bytes;
  int n, h, w;
  std::vector<int32_t> order;
  std::string text;
};

TEST(BankDecodeRefusal, EachRefusalHasItsText) {
  const std::string d = "\xE2\x80\x94";
  const std::vector<uint8_t> good = track();
  BankTrackOptions shorter, longer;
  shorter.dropFrames = 1;
  longer.extraFrames = 1;
  std::vector<uint8_t> noise(4096);
  uint32_t s = 7;
  for (uint8_t& b : noise) b = uint8_t((s = s * 1664525u + 1013904223u) >> 24);

  const std::vector<int32_t> two = {0, 1}, beyond = {0, 1, 3}, negative = {0, -1, 1}, twice = {1, 0, 1};
  const std::vector<int32_t> one = {0}, many(1024, 0), none;
  const std::string serve = " " + d + " refusing to serve";
  const std::string limits = " is beyond the decoder's limits (at most 1024 donors, patch sides of 8192, 1 GiB in all)";
  const std::vector<Refusal> cases = {
      // Emptiness comes first, whatever else is wrong.
      {"empty", {}, 0, 0, 0, none, "reference bank track is empty" + serve},
      {"no donors", good, 0, kH, kW, none, "reference bank geometry is not positive" + serve},
      {"no rows", good, kN, 0, kW, kOrder, "reference bank geometry is not positive" + serve},
      {"negative width", good, kN, kH, -1, kOrder, "reference bank geometry is not positive" + serve},
      {"short order", good, kN, kH, kW, two,
       "reference bank sidecar track_order has 2 entries, expected 3 " + d +
           " sidecar/track mismatch, refusing to serve"},
      {"absurd", good, 1, INT_MAX, INT_MAX, one, "reference bank geometry 1 x 2147483647x2147483647" + limits + serve},
      {"too much in all", good, 1024, 8192, 8192, many, "reference bank geometry 1024 x 8192x8192" + limits + serve},
      {"noise", noise, kN, kH, kW, kOrder, "reference bank track is not a readable container" + serve},
      {"size", track({}, 64, 48), kN, 40, 64, kOrder,
       "reference bank track is 64x48, the geometry stamp says 64x40 " + d + " geometry mismatch, refusing to serve"},
      {"order out of range", good, kN, kH, kW, beyond, "reference bank track_order is out of range" + serve},
      {"order negative", good, kN, kH, kW, negative, "reference bank track_order is out of range" + serve},
      {"order repeats", good, kN, kH, kW, twice, "reference bank track_order is not a permutation" + serve},
      {"n-1 frames", track(shorter), kN, kH, kW, kOrder,
       "bank track decoded to 2 frames, expected 3 " + d + " geometry/N mismatch, refusing to serve"},
      {"n+1 frames", track(longer), kN, kH, kW, kOrder,
       "bank track carries more frames than the sidecar's n_donors " + d +
           " sidecar/track mismatch, refusing to serve"},
  };
  for (const Refusal& c : cases)
    EXPECT_EQ(errorOf([&] {
                le::decodeBankTrack(c.bytes.empty() ? nullptr : c.bytes.data(), c.bytes.size(), c.n, c.h, c.w, c.order);
              }),
              c.text)
        << c.name;
  // A non-null pointer with no bytes is empty too.
  EXPECT_EQ(errorOf([&] { le::decodeBankTrack(good.data(), 0, kN, kH, kW, kOrder); }),
            "reference bank track is empty " + d + " refusing to serve");
}

// Cut short or with bytes overwritten, a track either still decodes to a whole
// bank or is refused with a serving refusal; nothing else (the sanitizer
// builds make "nothing else" include out-of-bounds access).
TEST(BankDecodeRefusal, CutAndDamagedTracksNeverCrash) {
  const std::vector<uint8_t> good = track();
  // The demuxer and decoder complain about every damaged unit; keep the log readable.
  const int level = av_log_get_level();
  av_log_set_level(AV_LOG_QUIET);
  struct Restore {
    int level;
    ~Restore() { av_log_set_level(level); }
  } restore{level};
  auto survives = [&](const std::vector<uint8_t>& b, const std::string& what) {
    try {
      EXPECT_EQ(decode(b).size(), size_t(kN) * kH * kW * 3) << what;
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find("refusing to serve"), std::string::npos) << what << ": " << e.what();
    }
  };
  for (size_t len = 1; len < good.size(); len += 7)
    survives(std::vector<uint8_t>(good.begin(), good.begin() + std::ptrdiff_t(len)), "prefix " + std::to_string(len));
  uint32_t s = 11;
  for (int k = 0; k < 60; ++k) {
    std::vector<uint8_t> bad = good;
    for (int j = 0; j < 6; ++j) {
      s = s * 1664525u + 1013904223u;
      bad[(s >> 8) % bad.size()] = uint8_t(s >> 24);
    }
    survives(bad, "damage " + std::to_string(k));
  }
}

TEST(BankDecodeBuild, NamesTheLinkedDecoder) {
  // The version the headers were compiled against; Debian links the same one.
  EXPECT_EQ(le::bankDecoderBuild(),
            std::string("libavcodec ") + (LIBAVCODEC_IDENT + 4) + " / " + avcodec_configuration());
}

}  // namespace
