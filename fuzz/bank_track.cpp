// The reference bank track decoder over a fixed small bank: any bytes either
// decode to a whole bank or are refused with a serving refusal.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string_view>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "bank_geometry.h"
#include "tessera/le_bankdec_ff.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The demuxer and decoder describe every damaged unit; the fuzzer's own
  // output is the one worth reading.
  av_log_set_level(AV_LOG_QUIET);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace le::fuzz;
  try {
    const std::vector<uint8_t> bank = le::decodeBankTrack(data, size, kBankDonors, kBankH, kBankW, kBankOrder);
    if (bank.size() != size_t(kBankDonors) * kBankH * kBankW * 3) {
      std::fprintf(stderr, "decoded a bank of %zu bytes\n", bank.size());
      std::abort();
    }
  } catch (const std::runtime_error& e) {
    const std::string_view m = e.what();
    if (m.find("refusing to serve") == std::string_view::npos && m.substr(0, 22) != "reference bank decode:") {
      std::fprintf(stderr, "unexpected refusal: %s\n", e.what());
      std::abort();
    }
  }
  return 0;
}
