// The tests that run models directly share the library's one runtime environment.
#pragma once

#include "base/le_ort.h"

namespace le::test {

inline Ort::Env& ortEnv() { return le::ort::env(); }

}  // namespace le::test
