// Exported entry: weighted charge density rho = sum_o w_o psi_o^2 on a
// real-space grid.  Each orbital is evaluated into one scratch grid and its
// weighted square added in orbital order: out = (w * psi) * psi + out.  Both
// steps run on the path the call reads once at its start (the widest
// instruction-set path of the CPU, chosen once per process).
// An orbital whose evaluation cannot get memory adds nothing and the sum goes
// on; errno is then ENOMEM on return.
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/allocation.h"
#include "libkernels.h"
#include "real_space/orbital_grid.h"

extern "C" void charge_density_sum(int32_t nx, int32_t ny, int32_t nz, int32_t n_orbitals,
                                   const float *orbital_weight, const float *mo_coeff, float x_min,
                                   float y_min, float z_min, float grid_step, int32_t n_atoms,
                                   const int32_t *shells_per_atom, const float *atom_x,
                                   const float *atom_y, const float *atom_z,
                                   const int32_t *shell_l, const int32_t *shell_n_prim,
                                   const float *prim_exponent, const float *prim_coeff,
                                   float *out_grid) {
    using namespace kernels;
    const simd::Dispatch run = simd::current_dispatch();
    const RealGrid grid{nx, ny, nz, x_min, y_min, z_min, grid_step};
    const BasisArrays basis{n_atoms, shells_per_atom, atom_x,        atom_y,    atom_z,
                            shell_l, shell_n_prim,    prim_exponent, prim_coeff};
    const int64_t points = grid.points();
    const std::size_t bytes = static_cast<std::size_t>(points) * sizeof(float);
    if (points != 0) std::memset(out_grid, 0, bytes);

    // Row length of the orbital matrix, every shell counted.
    const int32_t n_components = count_components(n_atoms, shells_per_atom, shell_l);

    float *orbital = static_cast<float *>(allocate(bytes));
    if (orbital == nullptr) {
        errno = ENOMEM;
        return;
    }

    bool out_of_memory = false;
    for (int32_t o = 0; o < n_orbitals; ++o) {
        // A row length <= 0 leaves no shell inside the row, so nothing is read
        // from it; the matrix start is passed rather than an offset before it.
        const float *row =
            n_components > 0 ? mo_coeff + static_cast<int64_t>(o) * n_components : mo_coeff;
        if (!evaluate_orbital_on_grid(run, grid, basis, row, orbital)) out_of_memory = true;
        const float weight = orbital_weight != nullptr ? orbital_weight[o] : 1.0f;
        run.kernels->add_weighted_square(weight, orbital, out_grid, points);
    }
    std::free(orbital);
    // Later orbitals' expf calls may have set errno since.
    if (out_of_memory) errno = ENOMEM;
}
