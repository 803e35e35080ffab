// The exported standalone runs of the teeth pass over a batch of crops.
// Nothing throws across these calls.
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/le_error.h"
#include "le/le_tessera.h"
#include "tessera/le_bundle_tessera.h"
#include "tessera/le_tessera.h"

namespace {

using le::tessera::FrameResult;
using le::tessera::GeometryStamp;

[[noreturn]] void fail(const std::string& why) { throw std::runtime_error(why); }

void requireArg(const void* p, const char* name) {
  if (!p) fail(std::string("teeth: le_tessera_run given a null ") + name);
}

int runPass(const uint8_t* donors, int n_donors, const double* cent, const double* c_canon, const double* aperture,
            const int32_t* stamp, const uint8_t* head_pt, int head_pt_len, const char* head_json,
            const uint8_t* crops, const uint8_t* masks, const int32_t* shifts, int n_frames, uint8_t* out_windows,
            int32_t* out_passthrough, char* err, int cap) {
  try {
    requireArg(donors, "donors");
    requireArg(cent, "cent");
    requireArg(c_canon, "c_canon");
    requireArg(aperture, "aperture");
    requireArg(stamp, "stamp");
    requireArg(head_pt, "head_pt");
    requireArg(head_json, "head_json");
    if (n_frames < 0) fail("teeth: le_tessera_run given n_frames=" + std::to_string(n_frames));
    if (n_donors < 1 || n_donors > 1024)
      fail("teeth: le_tessera_run given n_donors=" + std::to_string(n_donors) + ", outside 1..1024");
    if (head_pt_len < 0) fail("teeth: le_tessera_run given head_pt_len=" + std::to_string(head_pt_len));
    if (n_frames > 0) {
      requireArg(crops, "crops");
      requireArg(masks, "masks");
      requireArg(out_windows, "out_windows");
      requireArg(out_passthrough, "out_passthrough");
    }

    le::tessera::BankData bank;
    for (int i = 0; i < GeometryStamp::kFields; ++i) bank.stamp.at(i) = stamp[i];
    const GeometryStamp& st = bank.stamp;
    st.validate();
    // The pass refuses canvases and pads beyond its sizes before anything
    // this large is read; the stamp rules then bound the stored patch.
    if (st.canvas_w > 16384 || st.canvas_h > 16384 || st.pad > 16384)
      fail("teeth: stamp " + st.str() + " is beyond what the pass serves (canvas sides and pad at most 16384)");
    const size_t n = size_t(n_donors);
    bank.n_donors = n_donors;
    bank.donors.assign(donors, donors + n * size_t(st.bandH()) * size_t(st.bandW()) * 3);
    bank.cent.assign(cent, cent + 2 * n);
    bank.c_canon = {c_canon[0], c_canon[1]};
    bank.aperture.assign(aperture, aperture + n);
    const le::tessera::ServeConfig config = le::tessera::ServeConfig::fromHeadMemberJson(head_json);
    const le::tessera::HeadWeights weights =
        le::tessera::loadHeadPt(std::vector<uint8_t>(head_pt, head_pt + head_pt_len));
    le::tessera::TeethPass pass(std::move(bank), weights, config);

    const size_t canvas = size_t(st.canvas_w) * size_t(st.canvas_h);
    const size_t window = size_t(st.window_w) * size_t(st.window_h) * 3;
    FrameResult res;
    int emitted = 0;
    auto take = [&](const FrameResult& r) {
      out_passthrough[emitted] = r.passThrough ? 1 : 0;
      if (!r.passThrough) std::memcpy(out_windows + size_t(emitted) * window, r.window.data(), window);
      ++emitted;
    };
    for (int k = 0; k < n_frames; ++k) {
      if (pass.push(k, crops + size_t(k) * canvas * 3, masks + size_t(k) * canvas, shifts ? shifts + 2 * size_t(k) : nullptr,
                    res))
        take(res);
    }
    if (pass.flush(res)) take(res);
    if (emitted != n_frames)
      fail("teeth: emitted " + std::to_string(emitted) + " of " + std::to_string(n_frames) + " frames");
    return 0;
  } catch (const std::exception& e) {
    le::api::copyToBuffer(e.what(), err, cap);
  } catch (...) {
    le::api::copyToBuffer("teeth: unknown failure", err, cap);
  }
  return 1;
}

}  // namespace

extern "C" {

int le_tessera_run_shift(const uint8_t* donors, int n_donors, const double* cent, const double* c_canon,
                         const double* aperture, const int32_t* stamp, const uint8_t* head_pt, int head_pt_len,
                         const char* head_json, const uint8_t* crops, const uint8_t* masks, const int32_t* shifts,
                         int n_frames, uint8_t* out_windows, int32_t* out_passthrough, char* err, int cap) {
  return runPass(donors, n_donors, cent, c_canon, aperture, stamp, head_pt, head_pt_len, head_json, crops, masks,
                 shifts, n_frames, out_windows, out_passthrough, err, cap);
}

int le_tessera_run(const uint8_t* donors, int n_donors, const double* cent, const double* c_canon,
                   const double* aperture, const int32_t* stamp, const uint8_t* head_pt, int head_pt_len,
                   const char* head_json, const uint8_t* crops, const uint8_t* masks, int n_frames,
                   uint8_t* out_windows, int32_t* out_passthrough, char* err, int cap) {
  return runPass(donors, n_donors, cent, c_canon, aperture, stamp, head_pt, head_pt_len, head_json, crops, masks,
                 nullptr, n_frames, out_windows, out_passthrough, err, cap);
}

}  // extern "C"
