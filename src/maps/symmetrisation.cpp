// symmetrisation: replaces a map by its average over a group of rotations about
// the centre and mirrors,
//   fourfold (mode 0):  ((S + Y(S)) + X(S + Y(S))) / 16, S = ((m + R90) + R180) + R270
//   twofold  (mode 1):  (S + Y(S)) / 4,                  S = m + R180
//   threefold (other):  (S + Y(S)) / 6,                  S = (m + R120) + R240
// with R_a the rotation of the map as given (edge rule included), Y the row
// mirror and X the row-order mirror of the running sum.  Mode -1 leaves the map
// alone.  Every sum is a float32 element-wise addition in the order written.
//
// Memory: the running sum plus at most one rotated copy or mirror image are held
// at a time.  The map is written only at the very end, so any allocation that
// fails leaves it unchanged (and errno ENOMEM).
#include "maps/symmetrisation.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "libkernels.h"
#include "maps/map_mirror.h"
#include "maps/map_storage.h"
#include "maps/rotation.h"

namespace {

// Adds a term into the running sum element by element.  The order of the two
// operands changes no value; written sum-first, the compiler keeps the running
// sum as the surviving operand in its scalar and vector loops alike, so where
// both are NaN the same payload survives whatever the map size.
void add_into(float *sum, const float *term, int64_t count) {
    for (int64_t e = 0; e < count; ++e) sum[e] = sum[e] + term[e];
}

// Adds a mirror image of the running sum into it; false when the scratch map
// for the image cannot be had.
bool add_mirror_image(int32_t n, float *sum, void (*write_image)(int32_t, const float *, float *)) {
    float *image = kernels::allocate_map(n);
    if (image == nullptr) return false;
    write_image(n, sum, image);
    add_into(sum, image, kernels::map_element_count(n));
    std::free(image);
    return true;
}

}  // namespace

namespace kernels {

void symmetrisation_on(const simd::Dispatch &run, int32_t n, int32_t symmetry_mode, float *map) {
    if (symmetry_mode == -1) return;
    // A negative side describes no map: the rotations would write none of their
    // pixels, so the average would have no meaning.  The map is left alone.
    if (n < 0) return;

    static constexpr float FOURFOLD[] = {90.0f, 180.0f, 270.0f};
    static constexpr float TWOFOLD[] = {180.0f};
    static constexpr float THREEFOLD[] = {120.0f, 240.0f};
    const float *angles = THREEFOLD;
    int rotations = 2;
    if (symmetry_mode == 0) {
        angles = FOURFOLD;
        rotations = 3;
    } else if (symmetry_mode == 1) {
        angles = TWOFOLD;
        rotations = 1;
    }

    const int64_t count = map_element_count(n);
    float *sum = allocate_map(n);
    if (sum == nullptr) return;
    if (n != 0) std::memcpy(sum, map, static_cast<std::size_t>(count) * sizeof(float));

    for (int r = 0; r < rotations; ++r) {
        float *turned = rotated_copy(run, n, map, angles[r]);
        if (turned == nullptr) {
            std::free(sum);
            errno = ENOMEM;
            return;
        }
        add_into(sum, turned, count);
        std::free(turned);
    }

    if (!add_mirror_image(n, sum, write_row_mirror)) {
        std::free(sum);
        errno = ENOMEM;
        return;
    }
    int divisor = 2 * rotations + 2;
    if (symmetry_mode == 0) {
        if (!add_mirror_image(n, sum, write_row_order_mirror)) {
            std::free(sum);
            errno = ENOMEM;
            return;
        }
        divisor *= 2;
    }

    const float terms = static_cast<float>(divisor);
    for (int64_t e = 0; e < count; ++e) map[e] = sum[e] / terms;
    std::free(sum);
}

}  // namespace kernels

extern "C" void symmetrisation(int32_t n, int32_t symmetry_mode, float *map) {
    kernels::symmetrisation_on(kernels::simd::current_dispatch(), n, symmetry_mode, map);
}
