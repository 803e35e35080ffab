/* le_core: borrowed teeth (le_tessera_).
 *
 * A bundle that borrows teeth carries four members besides its manifest: a
 * bank track (a video of donor mouths), its JSON sidecar, the blend head's
 * weights and the head's JSON configuration. All four present: the pass is
 * armed; any one missing: refused. These calls find and load the members
 * (so a host can decode the bank track with its own decoder and hand the
 * pixels back in donor order), decode the track with the library's own
 * decoder, and run the whole pass over a batch of crops.
 *
 * Handles, threads and NULL handles follow the contract at the top of
 * le/le.h, with one difference: these calls keep no per-thread error text.
 * A call that can fail copies its message into the caller's buffer (at most
 * cap - 1 bytes and a terminating NUL; nothing when the buffer is NULL or
 * cap <= 0). */
#ifndef LE_LE_TESSERA_H
#define LE_LE_TESSERA_H

#include <stdint.h>

#include "le/le.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Member slots ------------------------------------------------------ */

/* 4: "bank_track", "bank_sidecar", "head_weights", "head_config". */
LE_API int le_tessera_slot_count(void);
/* The slot key (static), or NULL when index < 0 or >= 4. */
LE_API const char* le_tessera_slot_key(int index);

/* ---- Carriage: what a bundle carries, without loading anything --------- */

typedef struct le_tessera_carriage le_tessera_carriage;

/* NULL only for a NULL directory or when memory runs out; a bundle without a
 * readable manifest still gives a handle (default names, nothing declared). */
LE_API le_tessera_carriage* le_tessera_carriage_open(const char* bundle_dir);
LE_API void le_tessera_carriage_close(le_tessera_carriage* c);
/* 1 when all four members can be opened, else 0 (0 for NULL). */
LE_API int le_tessera_carriage_complete(const le_tessera_carriage* c);
/* 1 when the manifest carries a "tessera" object, else 0. */
LE_API int le_tessera_carriage_declared(const le_tessera_carriage* c);
/* The slot's resolved path; "" for a NULL argument or an unknown key. The
 * text lives in the handle until the next call or close. */
LE_API const char* le_tessera_carriage_path(le_tessera_carriage* c, const char* slot_key);
LE_API int le_tessera_carriage_missing_count(const le_tessera_carriage* c);
/* The index-th missing slot key (static), or NULL when out of range. */
LE_API const char* le_tessera_carriage_missing(const le_tessera_carriage* c, int index);

/* ---- Members: the four loaded and checked ------------------------------ */

typedef struct le_tessera_members le_tessera_members;

/* NULL on failure, with the message in err. */
LE_API le_tessera_members* le_tessera_members_open(const char* bundle_dir, char* err, int cap);
LE_API void le_tessera_members_close(le_tessera_members* m);

/* Getters: 0, NULL or "" for a NULL handle; pointers live as long as the handle. */
LE_API int le_tessera_members_n_donors(const le_tessera_members* m);
LE_API const double* le_tessera_members_cent(const le_tessera_members* m);     /* 2n: x, y per donor */
LE_API const double* le_tessera_members_c_canon(const le_tessera_members* m);  /* x, y */
LE_API const double* le_tessera_members_aperture(const le_tessera_members* m); /* n */
/* The geometry stamp: canvas_w, canvas_h, window_x0, window_y0, window_w,
 * window_h, pad, band_r0, band_r1, band_c0, band_c1, shift_margin. */
LE_API const int32_t* le_tessera_members_stamp(const le_tessera_members* m);
LE_API const uint8_t* le_tessera_members_head_pt(const le_tessera_members* m);
LE_API int32_t le_tessera_members_head_pt_len(const le_tessera_members* m);
LE_API const char* le_tessera_members_head_json(const le_tessera_members* m);
LE_API const char* le_tessera_members_manifest_json(const le_tessera_members* m);
LE_API const char* le_tessera_members_bank_track_path(const le_tessera_members* m);
LE_API const char* le_tessera_members_bank_container(const le_tessera_members* m);
LE_API const char* le_tessera_members_bank_codec(const le_tessera_members* m);
LE_API const char* le_tessera_members_bank_pix_fmt(const le_tessera_members* m);
LE_API const char* le_tessera_members_bank_packing(const le_tessera_members* m);
/* One stored donor patch is band_w x band_h RGB pixels; the decoded bank is
 * band_bytes = band_h * n_donors * band_w * 3 bytes, patches in donor order. */
LE_API int le_tessera_members_band_w(const le_tessera_members* m);
LE_API int le_tessera_members_band_h(const le_tessera_members* m);
LE_API int64_t le_tessera_members_band_bytes(const le_tessera_members* m);

/* Copies a host-decoded track (n_donors frames of band_w x band_h RGB, in
 * track order) into donor order (band_bytes at `donor`). 0 on success, 1 on
 * failure with the message in err. */
LE_API int le_tessera_members_reorder(const le_tessera_members* m, const uint8_t* track, uint8_t* donor,
                                      char* err, int cap);

/* Decodes the bank track at bank_track_path with the library's own decoder
 * straight into donor order (band_bytes at `donor`). 0 on success, 1 on
 * failure with the message in err. */
LE_API int le_tessera_members_decode_bank(const le_tessera_members* m, uint8_t* donor, char* err, int cap);

/* ---- The whole pass over a batch of crops ------------------------------ */

/* donors: the decoded bank in donor order (n_donors * band_h * band_w * 3
 * bytes, sizes from the stamp); cent 2n, c_canon 2, aperture n doubles;
 * stamp twelve int32 as above; head_pt/head_pt_len the head weights file;
 * head_json its configuration. crops: n_frames canvas_w x canvas_h RGB crops;
 * masks: n_frames delivery masks of canvas_w x canvas_h bytes; shifts: two
 * int32 per frame (rows, columns) or NULL to derive each from its mask.
 * Writes, per frame k, out_passthrough[k] (1 when the frame was left as it
 * was) and, when 0, the new mouth window (window_h x window_w RGB) at
 * out_windows + k * window_h * window_w * 3. 0 on success, 1 on failure with
 * the message in err. */
LE_API int le_tessera_run_shift(const uint8_t* donors, int n_donors, const double* cent, const double* c_canon,
                                const double* aperture, const int32_t* stamp, const uint8_t* head_pt,
                                int head_pt_len, const char* head_json, const uint8_t* crops, const uint8_t* masks,
                                const int32_t* shifts, int n_frames, uint8_t* out_windows,
                                int32_t* out_passthrough, char* err, int cap);
/* le_tessera_run_shift with every shift derived from its mask. */
LE_API int le_tessera_run(const uint8_t* donors, int n_donors, const double* cent, const double* c_canon,
                          const double* aperture, const int32_t* stamp, const uint8_t* head_pt, int head_pt_len,
                          const char* head_json, const uint8_t* crops, const uint8_t* masks, int n_frames,
                          uint8_t* out_windows, int32_t* out_passthrough, char* err, int cap);

#ifdef __cplusplus
}
#endif

#endif /* LE_LE_TESSERA_H */
