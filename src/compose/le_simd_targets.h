// The x86 targets every vector kernel of the library is compiled for, best
// first: AVX3_DL, AVX3, AVX2, SSE4 and SSSE3 (also the fallback). Newer
// targets (AVX10_2, AVX3_SPR, AVX3_ZEN4) would lead the list, but Highway 1.0.3
// (Debian's libhwy-dev, the one we build against) has none of them.
//
// Highway 1.0.3 defines HWY_TARGETS unconditionally in detect_targets.h, so a
// user definition of HWY_TARGETS would just be overridden. We get the set
// through the two knobs 1.0.3 does offer:
//  - HWY_WANT_AVX3_DL: AVX3_DL is only "attainable" on request;
//  - HWY_BASELINE_TARGETS = HWY_SSSE3: makes SSSE3 the static (fallback)
//    target, so HWY_TARGETS = attainable targets at least as good as SSSE3 =
//    AVX3_DL | AVX3 | AVX2 | SSE4 | SSSE3 (no SCALAR/EMU128). The SSSE3 code is
//    compiled under Highway's per-target attributes like every other target,
//    so no -mssse3 is needed for the translation unit.
// Include this first in a kernel unit, before hwy/foreach_target.h; each unit
// checks the outcome with a static_assert on HWY_TARGETS.
#pragma once

#ifndef HWY_WANT_AVX3_DL
#define HWY_WANT_AVX3_DL
#endif
#ifndef HWY_BASELINE_TARGETS
#define HWY_BASELINE_TARGETS HWY_SSSE3
#endif
