// The one small bank the bank track harness decodes against, shared with the
// seed writer so that its seed tracks match and reach the decode loop.
#pragma once

#include <cstdint>
#include <vector>

namespace le::fuzz {

constexpr int kBankDonors = 3, kBankW = 16, kBankH = 16;
inline const std::vector<int32_t> kBankOrder = {2, 0, 1};

}  // namespace le::fuzz
