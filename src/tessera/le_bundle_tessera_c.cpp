// The exported teeth-member calls: slots, carriage and loaded members, so that
// a host can find the members, decode the bank track itself and hand the
// pixels back in donor order. Nothing throws across these calls.
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "base/le_error.h"
#include "base/le_file.h"
#include "le/le_tessera.h"
#include "tessera/le_bankdec_ff.h"
#include "tessera/le_bundle_tessera.h"

struct le_tessera_carriage {
  le::TesseraCarriage c;
  std::string pathText;  // the last path handed out
};

struct le_tessera_members {
  le::TesseraAttachInputs in;
  int32_t stamp[le::tessera::GeometryStamp::kFields] = {};  // handed out as one array
};

namespace {

using le::api::copyToBuffer;

// The carriage of a bundle that could not be looked at: default names,
// nothing declared, every slot missing.
void fallbackCarriage(le::TesseraCarriage& c) {
  const le::TesseraSlots defaults;
  for (int i = 0; i < le::kTesseraSlots; ++i) {
    c.names[i] = defaults.at(i);
    c.paths[i].clear();
  }
  c.declared = false;
  c.complete = false;
  c.planes.clear();
  c.missing.assign(le::tesseraSlotKeys().begin(), le::tesseraSlotKeys().end());
}

const char* str(const le_tessera_members* m, const std::string le::TesseraAttachInputs::*field) {
  return m ? (m->in.*field).c_str() : "";
}

}  // namespace

extern "C" {

int le_tessera_slot_count(void) { return le::tesseraSlotCount(); }

const char* le_tessera_slot_key(int index) {
  if (index < 0 || index >= le::kTesseraSlots) return nullptr;
  return le::tesseraSlotKeys()[size_t(index)];
}

le_tessera_carriage* le_tessera_carriage_open(const char* bundle_dir) {
  if (!bundle_dir) return nullptr;
  auto* h = new (std::nothrow) le_tessera_carriage;
  if (!h) return nullptr;
  try {
    h->c = le::tesseraCarriage(bundle_dir);
  } catch (...) {
    try {
      fallbackCarriage(h->c);
    } catch (...) {
      delete h;
      return nullptr;
    }
  }
  return h;
}

void le_tessera_carriage_close(le_tessera_carriage* c) { delete c; }

int le_tessera_carriage_complete(const le_tessera_carriage* c) { return c && c->c.complete ? 1 : 0; }

int le_tessera_carriage_declared(const le_tessera_carriage* c) { return c && c->c.declared ? 1 : 0; }

const char* le_tessera_carriage_path(le_tessera_carriage* c, const char* slot_key) {
  if (!c || !slot_key) return "";
  try {
    c->pathText = c->c.path(slot_key);
    return c->pathText.c_str();
  } catch (...) {
    return "";
  }
}

int le_tessera_carriage_missing_count(const le_tessera_carriage* c) { return c ? int(c->c.missing.size()) : 0; }

const char* le_tessera_carriage_missing(const le_tessera_carriage* c, int index) {
  if (!c || index < 0 || size_t(index) >= c->c.missing.size()) return nullptr;
  // The static key, so the text outlives the handle.
  const int slot = le::tesseraSlotIndex(c->c.missing[size_t(index)]);
  return slot < 0 ? nullptr : le::tesseraSlotKeys()[size_t(slot)];
}

le_tessera_members* le_tessera_members_open(const char* bundle_dir, char* err, int cap) {
  if (!bundle_dir) {
    copyToBuffer("le_tessera_members_open: null bundle_dir", err, cap);
    return nullptr;
  }
  auto* h = new (std::nothrow) le_tessera_members;
  if (!h) {
    copyToBuffer("le_tessera_members_open: out of memory", err, cap);
    return nullptr;
  }
  try {
    h->in = le::loadTesseraMembers(bundle_dir);
    for (int i = 0; i < le::tessera::GeometryStamp::kFields; ++i) h->stamp[i] = h->in.stamp.at(i);
    return h;
  } catch (const std::exception& e) {
    copyToBuffer(e.what(), err, cap);
  } catch (...) {
    copyToBuffer("le_tessera_members_open: unknown failure", err, cap);
  }
  delete h;
  return nullptr;
}

void le_tessera_members_close(le_tessera_members* m) { delete m; }

int le_tessera_members_n_donors(const le_tessera_members* m) { return m ? m->in.n_donors : 0; }

const double* le_tessera_members_cent(const le_tessera_members* m) {
  return m && !m->in.cent.empty() ? m->in.cent.data() : nullptr;
}

const double* le_tessera_members_c_canon(const le_tessera_members* m) { return m ? m->in.c_canon : nullptr; }

const double* le_tessera_members_aperture(const le_tessera_members* m) {
  return m && !m->in.aperture.empty() ? m->in.aperture.data() : nullptr;
}

const int32_t* le_tessera_members_stamp(const le_tessera_members* m) { return m ? m->stamp : nullptr; }

const uint8_t* le_tessera_members_head_pt(const le_tessera_members* m) {
  return m && !m->in.head_pt.empty() ? m->in.head_pt.data() : nullptr;
}

// The loader refuses weights past INT32_MAX bytes, so the length always fits.
int32_t le_tessera_members_head_pt_len(const le_tessera_members* m) {
  return m ? int32_t(m->in.head_pt.size()) : 0;
}

const char* le_tessera_members_head_json(const le_tessera_members* m) {
  return str(m, &le::TesseraAttachInputs::head_json);
}
const char* le_tessera_members_manifest_json(const le_tessera_members* m) {
  return str(m, &le::TesseraAttachInputs::manifest_json);
}
const char* le_tessera_members_bank_track_path(const le_tessera_members* m) {
  return str(m, &le::TesseraAttachInputs::bank_track_path);
}
const char* le_tessera_members_bank_container(const le_tessera_members* m) {
  return str(m, &le::TesseraAttachInputs::bank_container);
}
const char* le_tessera_members_bank_codec(const le_tessera_members* m) {
  return str(m, &le::TesseraAttachInputs::bank_codec);
}
const char* le_tessera_members_bank_pix_fmt(const le_tessera_members* m) {
  return str(m, &le::TesseraAttachInputs::bank_pix_fmt);
}
const char* le_tessera_members_bank_packing(const le_tessera_members* m) {
  return str(m, &le::TesseraAttachInputs::bank_packing);
}

int le_tessera_members_band_w(const le_tessera_members* m) { return m ? m->in.band_w : 0; }
int le_tessera_members_band_h(const le_tessera_members* m) { return m ? m->in.band_h : 0; }
int64_t le_tessera_members_band_bytes(const le_tessera_members* m) { return m ? m->in.bandBytes() : 0; }

int le_tessera_members_reorder(const le_tessera_members* m, const uint8_t* track, uint8_t* donor, char* err,
                               int cap) {
  if (!m || !track || !donor) {
    copyToBuffer("le_tessera_members_reorder: null argument", err, cap);
    return 1;
  }
  try {
    le::reorderTrackToDonor(m->in, track, donor);
    return 0;
  } catch (const std::exception& e) {
    copyToBuffer(e.what(), err, cap);
  } catch (...) {
    copyToBuffer("le_tessera_members_reorder: unknown failure", err, cap);
  }
  return 1;
}

int le_tessera_members_decode_bank(const le_tessera_members* m, uint8_t* donor, char* err, int cap) {
  if (!m || !donor) {
    copyToBuffer("le_tessera_members_decode_bank: null argument", err, cap);
    return 1;
  }
  try {
    const le::TesseraAttachInputs& in = m->in;
    const std::vector<uint8_t> track = le::readBytes(in.bank_track_path);
    const std::vector<uint8_t> bank =
        le::decodeBankTrack(track.data(), track.size(), in.n_donors, in.band_h, in.band_w, in.track_order);
    // decodeBankTrack returns exactly n_donors x band_h x band_w x 3 bytes: band_bytes.
    std::memcpy(donor, bank.data(), bank.size());
    return 0;
  } catch (const std::exception& e) {
    copyToBuffer(e.what(), err, cap);
  } catch (...) {
    copyToBuffer("le_tessera_members_decode_bank: unknown failure", err, cap);
  }
  return 1;
}

}  // extern "C"
