// In the emulated-lane build of the library this header takes the place of
// src/simd/lanes_avx512.h: the "AVX-512" kernels are instantiated on 16
// emulated lanes.
#pragma once

#include "lanes_emulated.h"

namespace kernels::simd::avx512 {
using Target = emulated::Target<16>;
}
