/* Every public header compiles as C and the library links from a C program. */
#include "le/le.h"
#include "le/le_a2x.h"
#include "le/le_motion.h"
#include "le/le_fca.h"
#include "le/le_tel.h"
#include "le/le_tessera.h"
#include "le/le_utt.h"

#include <stdio.h>
#include <string.h>

int main(void) {
  le_ctx* ctx;
  const le_ctx* cctx = NULL;
  const le_prior* cprior = NULL;
  const le_motion* cmotion = NULL;
  char version[32];
  if (le_host_kp_rows() != 21) {
    fprintf(stderr, "le_host_kp_rows() = %d\n", le_host_kp_rows());
    return 1;
  }
  ctx = le_create(NULL, "b1", 0, NULL);
  if (ctx != NULL || strcmp(le_last_error(), "le_create: NULL bundle_dir/model_key") != 0) {
    fprintf(stderr, "unexpected: %s\n", le_last_error());
    return 1;
  }
  if (le_nt(NULL) != 0 || le_width(NULL) != 0) return 1;
  /* Read-only getters take const handles without a cast. */
  if (le_height(cctx) != 0 || le_prior_row_bytes(cprior) != 0 || strcmp(le_prior_backend(cprior), "") != 0 ||
      le_motion_nt(cmotion) != 0)
    return 1;
  /* The library in use is the one this header describes; asking never touches the error text. */
  sprintf(version, "%d.%d.%d", LE_VERSION_MAJOR, LE_VERSION_MINOR, LE_VERSION_PATCH);
  if (strcmp(le_version(), version) != 0) {
    fprintf(stderr, "le_version() = %s, header %s\n", le_version(), version);
    return 1;
  }
  if (strcmp(le_last_error(), "le_create: NULL bundle_dir/model_key") != 0) {
    fprintf(stderr, "le_version touched the error text: %s\n", le_last_error());
    return 1;
  }
  /* The pipeline families from C: options zeroed by the host mean every default. */
  {
    le_utt_opts opts;
    le_utt_frame_info info;
    memset(&opts, 0, sizeof opts);
    if (le_utt_create(NULL, &opts) != NULL || strcmp(le_utt_last_error(), "le_utt_create: NULL ctx/opts") != 0) return 1;
    if (le_utt_pull_frame(NULL, NULL, 0, &info) != 0 || le_stream_width(NULL) != 0) return 1;
    if (le_tel_record(NULL, 1.0) != 0 || le_tel_pending_json(NULL, 0) == 0) return 1;
  }
  /* The teeth members from C: NULL handles answer without touching memory; errors go to the caller's buffer. */
  {
    char err[8];
    const le_tessera_members* cm = NULL;
    const le_tessera_carriage* cc = NULL;
    memset(err, 'x', sizeof err);
    if (le_tessera_slot_count() != 4 || le_tessera_slot_key(4) != NULL ||
        strcmp(le_tessera_slot_key(3), "head_config") != 0)
      return 1;
    if (le_tessera_carriage_open(NULL) != NULL || le_tessera_carriage_complete(cc) != 0 ||
        le_tessera_carriage_missing(cc, 0) != NULL || strcmp(le_tessera_carriage_path(NULL, "bank_track"), "") != 0)
      return 1;
    if (le_tessera_members_open(NULL, err, (int)sizeof err) != NULL || strcmp(err, "le_tess") != 0) return 1;
    if (le_tessera_members_n_donors(cm) != 0 || le_tessera_members_stamp(cm) != NULL ||
        le_tessera_members_band_bytes(cm) != 0 || strcmp(le_tessera_members_bank_pix_fmt(cm), "") != 0 ||
        le_tessera_members_reorder(cm, NULL, NULL, NULL, 0) != 1)
      return 1;
    le_tessera_members_close(NULL);
    le_tessera_carriage_close(NULL);
  }
  printf("c header ok\n");
  return 0;
}
