// In the emulated-lane build of the library this header takes the place of
// src/simd/lanes_avx2.h: the "AVX2" kernels are instantiated on 4 emulated lanes.
#pragma once

#include "lanes_emulated.h"

namespace kernels::simd::avx2 {
using Target = emulated::Target<4>;
}
