/* Both public headers compile as C and the library links from a C program. */
#include "le/le.h"
#include "le/le_a2x.h"
#include "le/le_motion.h"
#include "le/le_fca.h"

#include <stdio.h>
#include <string.h>

int main(void) {
  le_ctx* ctx;
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
  printf("c header ok\n");
  return 0;
}
