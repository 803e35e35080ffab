// lecore: the library's command-line host. It loads lible_core.so the way an
// application does, through the public C interface only.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "le/le.h"

static int usage() {
  std::fprintf(stderr,
               "usage: lecore info <bundle> [--model KEY] [--threads N] [--ep NAME]\n"
               "  info   open the identity bundle and print what the context reports\n");
  return 2;
}

int main(int argc, char** argv) {
  if (argc < 3 || std::strcmp(argv[1], "info") != 0) return usage();
  const char* bundle = argv[2];
  std::string model = "b1", ep;
  int threads = 0;
  for (int i = 3; i < argc; ++i) {
    auto value = [&](const char* flag) -> const char* {
      if (std::strcmp(argv[i], flag) != 0) return nullptr;
      if (i + 1 >= argc) return nullptr;
      return argv[++i];
    };
    if (const char* v = value("--model")) model = v;
    else if (const char* v2 = value("--threads")) threads = std::atoi(v2);
    else if (const char* v3 = value("--ep")) ep = v3;
    else return usage();
  }
  le_ctx* ctx = le_create(bundle, model.c_str(), threads, ep.empty() ? nullptr : ep.c_str());
  if (!ctx) {
    std::fprintf(stderr, "lecore: %s\n", le_last_error());
    return 1;
  }
  std::printf("bundle        %s\n", bundle);
  std::printf("frames (nt)   %d\n", le_nt(ctx));
  std::printf("frame size    %d x %d\n", le_width(ctx), le_height(ctx));
  std::printf("crop          %d x %d\n", le_crop(ctx), le_crop(ctx));
  std::printf("drive rows    %d\n", le_drive_frames(ctx));
  std::printf("keypoint rows %d\n", le_host_kp_rows());
  le_destroy(ctx);
  return 0;
}
