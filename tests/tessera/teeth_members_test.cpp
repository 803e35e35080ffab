// The teeth members of a forged bundle: carriage, loading with every refusal,
// reordering, and the exported calls over them.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "base/le_file.h"
#include "bundle/le_bundle.h"
#include "forge/forge_head.h"
#include "forge/forge_teeth.h"
#include "le/le_tessera.h"
#include "support/errors.h"
#include "support/files.h"
#include "support/tmpdir.h"
#include "tessera/le_bankdec_ff.h"
#include "tessera/le_bundle_tessera.h"
#include "tessera/le_tessera_pi.h"

namespace {

namespace fs = std::filesystem;
using le::forge::BundleSpec;
using le::forge::TeethSpec;
using le::test::errorOf;
using le::test::readFile;
using le::test::TmpDir;
using le::test::writeFile;

const std::string kDash = " \xE2\x80\x94 ";
const std::string kRefusalTail =
    ". ONE predicate (owner ruling 2026-09-06): all four members present = ARMED on every plane; any missing = "
    "REFUSED on every plane. The borrow is a SWITCH, not a gradient \xE2\x80\x94 there is no rendering mode that "
    "proceeds without them (quenzal-2 IS borrowed teeth). Re-stage the bundle with the bank builder.";
const char* kDefaults[4] = {"tessera_bank.v1.mp4", "tessera_bank.v1.json", "tessera_head.v1.pt",
                            "tessera_head.v1.json"};
const char* kKeys[4] = {"bank_track", "bank_sidecar", "head_weights", "head_config"};

BundleSpec bundleWith(const TeethSpec& t) {
  BundleSpec s;
  s.teeth = t;
  return s;
}

// Replaces the first `from`; a test whose edit misses its text fails instead of passing vacuously.
void sub(std::string& text, const std::string& from, const std::string& to) {
  const size_t at = text.find(from);
  if (at == std::string::npos) throw std::runtime_error("test: edit target not found: " + from);
  text.replace(at, from.size(), to);
}

// One bundle with six donors and the manifest's tessera block, forged once;
// each case stages the manifest and the four members in a directory of its own.
const std::string& master() {
  static const struct Master {
    std::string dir;
    Master() {
      const char* root = std::getenv("LE_TEST_TMP");
      dir = (fs::path(root && *root ? root : "/tmp") / ("teeth-members-" + std::to_string(::getpid()))).string();
      TeethSpec t;
      t.donors = 6;
      le::forge::writeBundle(dir, bundleWith(t));
    }
    ~Master() {
      std::error_code ec;
      fs::remove_all(dir, ec);
    }
  } m;
  return m.dir;
}
TeethSpec masterTeeth() {
  TeethSpec t;
  t.donors = 6;
  return t;
}

using Edit = std::function<void(std::string& sidecar, std::string& manifest)>;

std::string stage(const TmpDir& d, const Edit& edit = {}) {
  std::string sidecar = readFile(master() + "/tessera_bank.v1.json");
  std::string manifest = readFile(master() + "/manifest.json");
  if (edit) edit(sidecar, manifest);
  for (const char* name : {kDefaults[0], kDefaults[2], kDefaults[3]}) fs::copy_file(master() + "/" + name, d / name);
  writeFile(d / "tessera_bank.v1.json", sidecar);
  writeFile(d / "manifest.json", manifest);
  return d.str();
}

std::string stampText(const le::tessera::GeometryStamp& g) {
  std::string s = "{";
  for (int i = 0; i < 12; ++i)
    s += std::string(i ? ", " : "") + le::tessera::GeometryStamp::kKeys[i] + "=" + std::to_string(g.at(i));
  return s + "}";
}

// ------------------------------------------------------------ forged bundles load

class ForgedTeeth : public ::testing::TestWithParam<TeethSpec> {};

TEST_P(ForgedTeeth, LoadsEveryFieldTheForgeWrote) {
  TmpDir d;
  const TeethSpec t = GetParam();
  const BundleSpec spec = bundleWith(t);
  le::forge::writeBundle(d.str(), spec);
  const le::forge::DonorBank bank = le::forge::teethBank(spec, t);

  // The bundle loader reads the manifest with its tessera block.
  const le::Manifest m = le::loadManifest(d.str());
  const le::TesseraAttachInputs in = le::loadTesseraMembers(d.str());
  EXPECT_EQ(in.stamp, bank.stamp);
  EXPECT_EQ(in.stamp.canvas_w, m.crop);
  EXPECT_EQ(in.stamp.canvas_h, m.crop);
  EXPECT_EQ(in.n_donors, bank.n);
  EXPECT_EQ(in.track_order, bank.trackOrder);
  EXPECT_EQ(in.cent, bank.cent);
  EXPECT_EQ(in.aperture, bank.aperture);
  EXPECT_EQ(std::vector<double>(in.c_canon, in.c_canon + 2), bank.cCanon);
  EXPECT_EQ(in.band_w, bank.bandW);
  EXPECT_EQ(in.band_h, bank.bandH);
  le::forge::HeadCheckpoint hc;
  hc.arch = t.candidateOnlyHead ? le::forge::HeadArch::Eight : le::forge::HeadArch::Full;
  hc.seed = t.seed;
  const std::string weights = le::forge::headCheckpointBytes(hc);
  EXPECT_EQ(std::string(in.head_pt.begin(), in.head_pt.end()), weights);
  EXPECT_EQ(in.head_json, le::forge::teethHeadConfigText());
  EXPECT_EQ(in.manifest_json, le::forge::manifestText(spec));
  EXPECT_EQ(in.bank_track_path, d.str() + "/" + le::forge::teethMemberName(t, 0));
  EXPECT_EQ(in.bank_container, "mp4");
  EXPECT_EQ(in.bank_packing, "rgb24_frames");
  EXPECT_EQ(in.bank_codec, "h264");
  EXPECT_EQ(in.bank_pix_fmt, t.pixFmt);
  EXPECT_NO_THROW(le::tessera::ServeConfig::fromHeadMemberJson(in.head_json));

  // c_canon is the canonical centroid of the first corpus geometry over the
  // bundle's own target keypoints, and the stamped window sits on it.
  const auto target = le::test::readArray<float>(d / "xs_target.bin");
  double cx = 0, cy = 0;
  auto pi = le::tessera::UnifiedPi::fromManifestJson(in.manifest_json, m.crop);
  pi.pad_x = le::tessera::kCorpusGeometries[0].pad_x;
  pi.pad_y = le::tessera::kCorpusGeometries[0].pad_y;
  pi.down = le::tessera::kCorpusGeometries[0].down;
  pi.canonicalCentroid(target.data(), int(target.size() / 63), &cx, &cy);
  EXPECT_EQ(in.c_canon[0], cx);
  EXPECT_EQ(in.c_canon[1], cy);
  EXPECT_LE(std::fabs(in.stamp.window_x0 + (in.stamp.window_w - 1) / 2.0 - cx), 0.5);
  EXPECT_LE(std::fabs(in.stamp.window_y0 + (in.stamp.window_h - 1) / 2.0 - cy), 0.5);

  const le::TesseraCarriage c = le::tesseraCarriage(d.str());
  EXPECT_TRUE(c.complete);
  EXPECT_EQ(c.declared, t.declare);
  EXPECT_EQ(c.planes, (t.declare ? std::vector<std::string>{"linux", "ios"} : std::vector<std::string>{}));
  for (int i = 0; i < 4; ++i) EXPECT_EQ(c.paths[i], d.str() + "/" + le::forge::teethMemberName(t, i));

  // The exported calls hand out the same record.
  char err[64] = "";
  le_tessera_members* h = le_tessera_members_open(d.str().c_str(), err, sizeof err);
  ASSERT_NE(h, nullptr) << err;
  EXPECT_EQ(le_tessera_members_n_donors(h), in.n_donors);
  EXPECT_EQ(std::vector<double>(le_tessera_members_cent(h), le_tessera_members_cent(h) + 2 * in.n_donors), in.cent);
  EXPECT_EQ(std::vector<double>(le_tessera_members_aperture(h), le_tessera_members_aperture(h) + in.n_donors),
            in.aperture);
  EXPECT_EQ(le_tessera_members_c_canon(h)[0], in.c_canon[0]);
  EXPECT_EQ(le_tessera_members_c_canon(h)[1], in.c_canon[1]);
  for (int i = 0; i < 12; ++i) EXPECT_EQ(le_tessera_members_stamp(h)[i], in.stamp.at(i)) << i;
  ASSERT_EQ(le_tessera_members_head_pt_len(h), int32_t(weights.size()));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(le_tessera_members_head_pt(h)), weights.size()), weights);
  EXPECT_STREQ(le_tessera_members_head_json(h), in.head_json.c_str());
  EXPECT_STREQ(le_tessera_members_manifest_json(h), in.manifest_json.c_str());
  EXPECT_STREQ(le_tessera_members_bank_track_path(h), in.bank_track_path.c_str());
  EXPECT_STREQ(le_tessera_members_bank_container(h), "mp4");
  EXPECT_STREQ(le_tessera_members_bank_codec(h), "h264");
  EXPECT_STREQ(le_tessera_members_bank_pix_fmt(h), t.pixFmt.c_str());
  EXPECT_STREQ(le_tessera_members_bank_packing(h), "rgb24_frames");
  EXPECT_EQ(le_tessera_members_band_w(h), in.band_w);
  EXPECT_EQ(le_tessera_members_band_h(h), in.band_h);
  EXPECT_EQ(le_tessera_members_band_bytes(h), int64_t(bank.donorRgb.size()));
  le_tessera_members_close(h);
}

TeethSpec variant(bool declare, bool geometry, const char* pixFmt, bool eight, uint32_t seed, bool renamed) {
  TeethSpec t;
  t.donors = 5;
  t.declare = declare;
  t.declareGeometry = geometry;
  t.pixFmt = pixFmt;
  t.candidateOnlyHead = eight;
  t.seed = seed;
  if (renamed) t.names = {"bank/track.mp4", "bank/side.json", "head/w.pt", ""};
  return t;
}

INSTANTIATE_TEST_SUITE_P(Variants, ForgedTeeth,
                         ::testing::Values(variant(true, true, "yuv444p", false, 1, false),
                                           // no block: the codec strings come from the sidecar alone
                                           variant(false, true, "yuv420p", true, 3, false),
                                           variant(true, false, "yuv444p", false, 7, true)));

// ------------------------------------------------------------ refusals

struct Refusal {
  const char* name;
  Edit edit;
  // The message for the staged directory; empty: the bundle loads.
  std::function<std::string(const std::string& dir, const std::string& sidecar)> expected;
};

void PrintTo(const Refusal& r, std::ostream* os) { *os << r.name; }

class SidecarRefusal : public ::testing::TestWithParam<Refusal> {};

TEST_P(SidecarRefusal, ExactMessage) {
  TmpDir d;
  const std::string dir = stage(d, GetParam().edit);
  const std::string want = GetParam().expected(dir, dir + "/tessera_bank.v1.json");
  if (want.empty()) {
    EXPECT_NO_THROW(le::loadTesseraMembers(dir));
    return;
  }
  EXPECT_EQ(errorOf([&] { le::loadTesseraMembers(dir); }), want);
  char err[4096];
  EXPECT_EQ(le_tessera_members_open(dir.c_str(), err, sizeof err), nullptr);
  EXPECT_EQ(std::string(err), want);
}

std::function<std::string(const std::string&, const std::string&)> side(std::string rest) {
  return [rest](const std::string&, const std::string& s) { return s + rest; };
}
std::function<std::string(const std::string&, const std::string&)> text(std::string msg) {
  return [msg](const std::string&, const std::string&) { return msg; };
}
Edit inSidecar(std::string from, std::string to) {
  return [from, to](std::string& s, std::string&) { sub(s, from, to); };
}
Edit inManifest(std::string from, std::string to) {
  return [from, to](std::string&, std::string& m) { sub(m, from, to); };
}
// The first number after `prefix` becomes `value` (the element count stays).
Edit firstNumber(std::string prefix, std::string value) {
  return [prefix, value](std::string& s, std::string&) {
    const size_t at = s.find(prefix);
    if (at == std::string::npos) throw std::runtime_error("test: edit target not found: " + prefix);
    const size_t b = at + prefix.size(), e = s.find_first_not_of("0123456789.-e+", b);
    s.replace(b, e - b, value);
  };
}
Edit inBoth(std::string from, std::string to) {
  return [from, to](std::string& s, std::string& m) { sub(s, from, to), sub(m, from, to); };
}
// A sidecar of n donors (the track itself is not read by the loader).
Edit donors(int n) {
  return [n](std::string& s, std::string&) {
    std::string order, cent, ap;
    for (int i = 0; i < n; ++i) {
      order += (i ? ", " : "") + std::to_string(n - 1 - i);
      cent += std::string(i ? ", " : "") + "[1.5, 2.5]";
      ap += std::string(i ? ", " : "") + "0.5";
    }
    sub(s, "\"n_donors\": 6", "\"n_donors\": " + std::to_string(n));
    s.replace(s.find("\"track_order\": [") + 16, s.find(']', s.find("\"track_order\"")) - s.find("\"track_order\": [") - 16, order);
    const size_t c0 = s.find("\"cent\": [") + 9, c1 = s.find("]],", c0) + 1;
    s.replace(c0, c1 - c0, cent);
    const size_t a0 = s.find("\"aperture\": [") + 13;
    s.replace(a0, s.find(']', a0) - a0, ap);
  };
}

const std::string kCap =
    ", over the owner's cap of 1024 (ruling 2026-08-28). This reader REFUSES rather than capping: the selector is "
    "the bank's BUILD-time cap selector, and a second one here would change which donors reach the mouth while every "
    "count-based check stayed green. Rebuild the bank.";
const std::string kPermutation =
    " appears twice)" + kDash +
    "the inverse permutation would leave a reference slot never written and the pass would blend uninitialised "
    "memory into a real mouth.";

INSTANTIATE_TEST_SUITE_P(
    Edits, SidecarRefusal,
    ::testing::Values(
        Refusal{"Format", inSidecar("tessera_bank.v1\"", "tessera_bank.v2\""),
                side(" declares format 'tessera_bank.v2', not 'tessera_bank.v1'" + kDash +
                     "this reader does not know that generation and will not guess at its keys.")},
        Refusal{"NoGeometry", inSidecar("\"geometry\"", "\"geometrx\""), side(" carries no `geometry` stamp")},
        Refusal{"StampKeyNotNumber", inSidecar("\"pad\": 1", "\"pad\": \"1\""),
                [](const std::string&, const std::string& s) { return "teeth: " + s + ".geometry lacks numeric 'pad'"; }},
        Refusal{"StampKeyPastInt32", inSidecar("\"pad\": 1", "\"pad\": 4e9"),
                [](const std::string&, const std::string& s) { return "teeth: " + s + ".geometry lacks numeric 'pad'"; }},
        Refusal{"ManifestStampKey", inManifest("\"shift_margin\": 1}", "\"shift_margin\": null}"),
                text("teeth: manifest.tessera.geometry lacks numeric 'shift_margin'")},
        Refusal{"Disagreement", inManifest("\"window_x0\": ", "\"window_x0\": 1"),
                [](const std::string&, const std::string& s) {
                  const le::TesseraAttachInputs ok = le::loadTesseraMembers(master());
                  le::tessera::GeometryStamp g = ok.stamp;
                  g.window_x0 = std::stoi("1" + std::to_string(g.window_x0));
                  return "teeth geometry DISAGREES between the manifest and the bank sidecar" + kDash + "manifest " +
                         stampText(g) + " vs " + s + " " + stampText(ok.stamp) +
                         "; refusing to place a window on a rectangle the two halves of the bundle do not agree on.";
                }},
        Refusal{"PatchNotPositive", inBoth("\"band_r1\": 9", "\"band_r1\": 1"),
                text("teeth stamp yields a non-positive stored patch (10x0)")},
        // The margin alone can keep the stored patch positive.
        Refusal{"MarginKeepsPatchPositive", inBoth("\"band_r1\": 9", "\"band_r1\": 2"), text("")},
        Refusal{"NoDonors", inSidecar("\"n_donors\": 6", "\"n_donors\": 0.9"), side(" says n_donors=0")},
        Refusal{"NanDonors", inSidecar("\"n_donors\": 6", "\"n_donors\": nan"), side(" says n_donors=nan")},
        Refusal{"HugeDonors", inSidecar("\"n_donors\": 6", "\"n_donors\": 1e300"), side(" carries n_donors=1e+300" + kCap)},
        Refusal{"Donors1025", donors(1025), side(" carries n_donors=1025" + kCap)},
        Refusal{"Donors1024", donors(1024), text("")},
        Refusal{"DonorsAsText", inSidecar("\"n_donors\": 6", "\"n_donors\": \"6\""),
                [](const std::string&, const std::string& s) { return "teeth: " + s + " lacks numeric 'n_donors'"; }},
        Refusal{"NoApertureArray", inSidecar("\"aperture\"", "\"apertures\""),
                side(" lacks one of track_order/cent/aperture/c_canon as an array")},
        Refusal{"CountMismatch", inSidecar("\"n_donors\": 6", "\"n_donors\": 5"),
                side(" says n_donors=5 but carries track_order=6, cent=6, aperture=6" + kDash +
                     "a count mismatch silently mis-orders the donors.")},
        Refusal{"CanonNotPair", inSidecar("\"c_canon\": [", "\"c_canon\": [0, "), side(" c_canon is not a pair")},
        Refusal{"CanonNan", firstNumber("\"c_canon\": [", "nan"), side(" c_canon is not a pair")},
        Refusal{"OrderPastN", inSidecar("\"track_order\": [4", "\"track_order\": [6"),
                side(" track_order[0]=6 is outside [0,6)")},
        Refusal{"OrderPastInt32", inSidecar("\"track_order\": [4", "\"track_order\": [3000000000"),
                side(" track_order[0]=3000000000 is outside [0,6)")},
        Refusal{"OrderNan", inSidecar("\"track_order\": [4", "\"track_order\": [nan"),
                side(" track_order[0]=nan is outside [0,6)")},
        Refusal{"OrderText", inSidecar("\"track_order\": [4", "\"track_order\": [\"4\""),
                side(" track_order[0] is not a number")},
        Refusal{"OrderRepeats", inSidecar("\"track_order\": [4", "\"track_order\": [0"),
                side(" track_order is not a permutation (reference 0" + kPermutation)},
        Refusal{"CentTriple", inSidecar("\"cent\": [[", "\"cent\": [[7, "), side(" cent[0] is not an (x,y) pair")},
        Refusal{"CentNan", firstNumber("\"cent\": [[", "nan"), side(" cent[0] is not an (x,y) pair")},
        Refusal{"ApertureNan", firstNumber("\"aperture\": [", "nan"), side(" aperture[0] is not a finite number")},
        Refusal{"NoPixelFormat",
                [](std::string& s, std::string& m) {
                  sub(s, "\"pix_fmt\": \"yuv444p\"", "\"pix_fmt\": 444");
                  sub(m, "\"bank_pix_fmt\"", "\"bank_pixfmt\"");
                },
                [](const std::string& dir, const std::string& s) {
                  return dir + ": neither manifest.tessera.bank_pix_fmt nor " + s +
                         ".codec.pix_fmt states the reference track's pixel format. A decoder handed no format "
                         "negotiates one, and the one it settles on is 4:2:0" + kDash +
                         "lossy chroma on reference pixels IS the borrow degrading. Refusing rather than letting it "
                         "guess.";
                }},
        Refusal{"SidecarNotJson", [](std::string& s, std::string&) { s = "\n{\"format\": "; },
                [](const std::string&, const std::string& s) {
                  return "teeth: " + s + " is not readable JSON: teeth: JSON truncated";
                }},
        Refusal{"ManifestNotJson", inManifest("\"NT\": 4,", "\"NT\": 4 4,"),
                [](const std::string& dir, const std::string&) {
                  return "teeth: " + dir + "/manifest.json is not readable JSON: teeth: malformed JSON object";
                }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TeethMembers, StorageStringsComeFromTheManifestBlockFirst) {
  TmpDir d;
  const std::string dir = stage(d, [](std::string& s, std::string& m) {
    sub(m, "\"bank_codec\": \"h264\"",
        "\"bank_codec\": \"hevc\", \"bank_container\": \"mov\", \"bank_packing\": \"planar\"");
    sub(m, "\"bank_pix_fmt\": \"yuv444p\"", "\"bank_pix_fmt\": 7");
    sub(s, "\"pix_fmt\": \"yuv444p\"", "\"pix_fmt\": \"gbrp\"");
  });
  const le::TesseraAttachInputs in = le::loadTesseraMembers(dir);
  EXPECT_EQ(in.bank_codec, "hevc");
  EXPECT_EQ(in.bank_container, "mov");
  EXPECT_EQ(in.bank_packing, "planar");
  EXPECT_EQ(in.bank_pix_fmt, "gbrp");  // a manifest value that is no string falls back to the sidecar's
}

TEST(TeethMembers, ManifestFoundAsMetaJsonAndRefusedWhenAbsent) {
  TmpDir d;
  const std::string dir = stage(d);
  fs::rename(d / "manifest.json", d / "meta.json");
  EXPECT_EQ(le::loadTesseraMembers(dir).manifest_json, readFile(d / "meta.json"));
  fs::remove(d / "meta.json");
  EXPECT_FALSE(le::tesseraCarriage(dir).declared);
  EXPECT_EQ(errorOf([&] { le::loadTesseraMembers(dir); }),
            dir + " carries no manifest.json or meta.json" + kDash +
                "the compose descriptor (unified.pi) the pass places its window by lives there, and placing a "
                "borrow window without it is guessing.");
}

// The weights length is handed out as 32 bits: a longer file is refused
// before anything is read (the file is sparse, so nothing is written either).
TEST(TeethMembers, HeadWeightsPastTwoGiBAreRefused) {
  TmpDir d;
  const std::string dir = stage(d);
  fs::resize_file(d / kDefaults[2], uint64_t(INT32_MAX) + 1);
  EXPECT_EQ(errorOf([&] { le::loadTesseraMembers(dir); }),
            "teeth: head weights " + dir + "/" + kDefaults[2] +
                " are 2147483648 bytes, over the 2 GiB a weights length can state");
}

// Every prefix of the sidecar and of the manifest is read or refused with a
// text, never a crash.
TEST(TeethMembers, EveryPrefixOfTheJsonMembersIsReadOrRefused) {
  TmpDir d;
  const std::string dir = stage(d);
  for (const char* member : {"tessera_bank.v1.json", "manifest.json"}) {
    const std::string whole = readFile(d / member);
    for (size_t n = 0; n <= whole.size(); ++n) {
      writeFile(d / member, whole.substr(0, n));
      try {
        le::loadTesseraMembers(dir);
      } catch (const std::runtime_error& e) {
        ASSERT_GT(std::string(e.what()).size(), 0u);
      }
    }
    writeFile(d / member, whole);
  }
}

// ------------------------------------------------------------ carriage

struct Carried {
  std::vector<int> removed;  // slots whose file is deleted
  bool declared;
};

void PrintTo(const Carried& c, std::ostream* os) { *os << c.removed.size() << " missing"; }

class Carriage : public ::testing::TestWithParam<Carried> {};

TEST_P(Carriage, MissingMembersAreReportedAndRefused) {
  TmpDir d;
  const bool declared = GetParam().declared;
  const std::string dir = stage(d, [&](std::string&, std::string& m) {
    if (!declared) sub(m, "\"tessera\":", "\"tesserae\":");
  });
  std::string list;
  std::vector<std::string> keys;
  for (int s : GetParam().removed) {
    fs::remove(d / kDefaults[s]);
    list += (list.empty() ? "" : ", ") + std::string(kKeys[s]) + " (" + kDefaults[s] + ")";
    keys.push_back(kKeys[s]);
  }
  const le::TesseraCarriage c = le::tesseraCarriage(dir);
  EXPECT_EQ(c.missing, keys);
  EXPECT_EQ(c.complete, keys.empty());
  EXPECT_EQ(c.declared, declared);
  const std::string want = "missing teeth member(s): " + list + kDash + "carries " + std::to_string(4 - keys.size()) +
                           " of 4" + (declared ? " and declares a manifest.tessera block the members do not keep" : "") +
                           kRefusalTail;
  try {
    le::loadTesseraMembers(dir);
    ADD_FAILURE() << "loaded without " << list;
  } catch (const le::MissingTesseraMember& e) {
    EXPECT_EQ(std::string(e.what()), want);
    EXPECT_EQ(e.missing, keys);
  }

  // The exported carriage reports the same.
  le_tessera_carriage* h = le_tessera_carriage_open(dir.c_str());
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(le_tessera_carriage_complete(h), 0);
  EXPECT_EQ(le_tessera_carriage_declared(h), declared ? 1 : 0);
  ASSERT_EQ(le_tessera_carriage_missing_count(h), int(keys.size()));
  for (size_t i = 0; i < keys.size(); ++i) EXPECT_STREQ(le_tessera_carriage_missing(h, int(i)), keys[i].c_str());
  EXPECT_EQ(le_tessera_carriage_missing(h, int(keys.size())), nullptr);
  for (int s = 0; s < 4; ++s) EXPECT_EQ(le_tessera_carriage_path(h, kKeys[s]), c.paths[size_t(s)]);
  EXPECT_STREQ(le_tessera_carriage_path(h, "bank"), "");
  le_tessera_carriage_close(h);
  char err[4096];
  EXPECT_EQ(le_tessera_members_open(dir.c_str(), err, sizeof err), nullptr);
  EXPECT_EQ(std::string(err), want);
}

INSTANTIATE_TEST_SUITE_P(Slots, Carriage,
                         ::testing::Values(Carried{{0}, true}, Carried{{1}, false}, Carried{{2}, true},
                                           Carried{{3}, false}, Carried{{0, 3}, true}, Carried{{0, 1, 2, 3}, false}),
                         [](const auto& info) {
                           std::string n = "Without";
                           for (int s : info.param.removed) n += "_" + std::string(kKeys[s]);
                           return n + (info.param.declared ? "_Declared" : "_Undeclared");
                         });

TEST(TeethCarriage, NamesFromTheManifestAndWhatItCannotSay) {
  TmpDir d;
  // An empty entry keeps the default; a named one is looked for under its name.
  std::string dir = stage(d, [](std::string&, std::string& m) {
    sub(m, "\"bank_track\": \"tessera_bank.v1.mp4\"", "\"bank_track\": \"\"");
    sub(m, "\"head_weights\": \"tessera_head.v1.pt\"", "\"head_weights\": \"w/h.pt\"");
    sub(m, "\"planes\": [\"linux\", ", "\"planes\": [\"linux\", 3, ");
  });
  le::TesseraCarriage c = le::tesseraCarriage(dir);
  EXPECT_EQ(c.names[0], kDefaults[0]);
  EXPECT_EQ(c.names[2], "w/h.pt");
  EXPECT_EQ(c.path("head_weights"), dir + "/w/h.pt");
  EXPECT_EQ(c.missing, std::vector<std::string>{"head_weights"});
  // A directory in a member's place is no member.
  fs::create_directories(fs::path(dir) / "w" / "h.pt");
  EXPECT_EQ(le::tesseraCarriage(dir).missing, std::vector<std::string>{"head_weights"});
  EXPECT_EQ(c.planes, (std::vector<std::string>{"linux", "ios"}));
  EXPECT_EQ(errorOf([&] { (void)c.path("weights"); }), "teeth: no such member slot 'weights'");

  // A malformed manifest declares nothing and throws nothing.
  writeFile(d / "manifest.json", readFile(d / "manifest.json").substr(0, 400));
  c = le::tesseraCarriage(dir);
  EXPECT_FALSE(c.declared);
  EXPECT_TRUE(c.planes.empty());
  EXPECT_EQ(c.names[2], kDefaults[2]);
  EXPECT_TRUE(c.complete);

  // Nothing at all: every slot missing, still no throw.
  c = le::tesseraCarriage(d / "nowhere");
  EXPECT_EQ(c.missing.size(), 4u);
  EXPECT_EQ(le_tessera_slot_key(-1), nullptr);
  EXPECT_EQ(le_tessera_slot_key(4), nullptr);
  for (int s = 0; s < 4; ++s) EXPECT_STREQ(le_tessera_slot_key(s), kKeys[s]);
}

// ------------------------------------------------------------ reorder

TEST(TeethReorder, TrackFramesLandInTheirDonorSlots) {
  const le::TesseraAttachInputs in = le::loadTesseraMembers(master());
  const size_t stride = size_t(in.band_w) * in.band_h * 3;
  std::vector<uint8_t> track(stride * size_t(in.n_donors));
  std::mt19937 rng(5);
  for (auto& b : track) b = uint8_t(rng());
  std::vector<uint8_t> donor(track.size(), 0), viaC(track.size(), 0);
  le::reorderTrackToDonor(in, track.data(), donor.data());
  // Donor slot d holds the track frame whose entry names d.
  for (int d = 0; d < in.n_donors; ++d) {
    int frame = -1;
    for (int i = 0; i < in.n_donors; ++i)
      if (in.track_order[size_t(i)] == d) frame = i;
    ASSERT_GE(frame, 0);
    EXPECT_TRUE(std::equal(donor.begin() + long(d * stride), donor.begin() + long((d + 1) * stride),
                           track.begin() + long(frame * stride)))
        << d;
  }

  char err[64] = "";
  le_tessera_members* h = le_tessera_members_open(master().c_str(), err, sizeof err);
  ASSERT_NE(h, nullptr) << err;
  EXPECT_EQ(le_tessera_members_reorder(h, track.data(), viaC.data(), err, sizeof err), 0);
  EXPECT_EQ(viaC, donor);
  char small[9];
  EXPECT_EQ(le_tessera_members_reorder(h, nullptr, viaC.data(), small, sizeof small), 1);
  EXPECT_STREQ(small, "le_tesse");  // cap - 1 bytes and the NUL
  le_tessera_members_close(h);
}

// The library's own decoder and a host's (any decoder handing back track
// frames, then the reorder call) give one bank: the forged donors.
TEST(TeethReorder, LibraryDecodeEqualsHostDecodeAndReorder) {
  char err[256] = "";
  le_tessera_members* h = le_tessera_members_open(master().c_str(), err, sizeof err);
  ASSERT_NE(h, nullptr) << err;
  const size_t bytes = size_t(le_tessera_members_band_bytes(h));
  std::vector<uint8_t> library(bytes), host(bytes);
  ASSERT_EQ(le_tessera_members_decode_bank(h, library.data(), err, sizeof err), 0) << err;

  const le::TesseraAttachInputs in = le::loadTesseraMembers(master());
  const std::vector<uint8_t> file = le::readBytes(in.bank_track_path);
  std::vector<int32_t> trackOrder(size_t(in.n_donors));
  for (int i = 0; i < in.n_donors; ++i) trackOrder[size_t(i)] = i;
  const std::vector<uint8_t> frames =
      le::decodeBankTrack(file.data(), file.size(), in.n_donors, in.band_h, in.band_w, trackOrder);
  ASSERT_EQ(le_tessera_members_reorder(h, frames.data(), host.data(), err, sizeof err), 0) << err;
  EXPECT_EQ(host, library);

  // 4:4:4 H.264 at quantiser 0: only the colour conversion's rounding remains.
  const le::forge::DonorBank forged = le::forge::teethBank(BundleSpec{}, masterTeeth());
  ASSERT_EQ(forged.donorRgb.size(), bytes);
  int worst = 0;
  for (size_t i = 0; i < bytes; ++i) worst = std::max(worst, std::abs(int(library[i]) - int(forged.donorRgb[i])));
  EXPECT_LE(worst, 2);

  EXPECT_EQ(le_tessera_members_decode_bank(h, nullptr, err, sizeof err), 1);
  EXPECT_STREQ(err, "le_tessera_members_decode_bank: null argument");
  le_tessera_members_close(h);
}

TEST(TeethReorder, RefusesRecordsThatWouldWriteAstray) {
  le::TesseraAttachInputs in;
  in.n_donors = 2;
  in.band_w = in.band_h = 1;
  in.track_order = {1, 0};
  std::vector<uint8_t> a = {1, 2, 3, 4, 5, 6}, b(6);
  le::reorderTrackToDonor(in, a.data(), b.data());
  EXPECT_EQ(b, (std::vector<uint8_t>{4, 5, 6, 1, 2, 3}));
  EXPECT_EQ(errorOf([&] { le::reorderTrackToDonor(in, nullptr, b.data()); }), "teeth: null band buffer");
  in.track_order = {0, 0};
  EXPECT_EQ(errorOf([&] { le::reorderTrackToDonor(in, a.data(), b.data()); }),
            "teeth: track_order is not a permutation (reference 0 appears twice)");
  in.track_order = {0, 2};
  EXPECT_EQ(errorOf([&] { le::reorderTrackToDonor(in, a.data(), b.data()); }),
            "teeth: track_order[1]=2 is outside [0,2)");
  in.track_order = {0};
  EXPECT_EQ(errorOf([&] { le::reorderTrackToDonor(in, a.data(), b.data()); }),
            "teeth: track_order does not match n_donors");
  in.track_order = {1, 0};
  in.band_w = 0;
  EXPECT_EQ(errorOf([&] { le::reorderTrackToDonor(in, a.data(), b.data()); }), "teeth: zero reference stride");
}

}  // namespace
