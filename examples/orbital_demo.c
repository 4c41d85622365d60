/*
 * A caller's first program: the bonding orbital of H2 in a minimal basis,
 * evaluated on a small grid with scalar_field, printed as a slice through the
 * bond.  Build against the installed library with
 *   cc orbital_demo.c $(pkg-config --cflags --libs libkernels) -o orbital_demo
 */
#include <libkernels.h>

#include <stdio.h>
#include <stdlib.h>

int main(void) {
    /* Two hydrogen atoms 1.4 bohr apart on the z axis, one s shell each made of
     * three Gaussians (exponents in bohr^-2, normalised contraction). */
    const int32_t n_atoms = 2;
    const int32_t shells_per_atom[2] = {1, 1};
    const float atom_x[2] = {0.0f, 0.0f}, atom_y[2] = {0.0f, 0.0f};
    const float atom_z[2] = {-0.7f, 0.7f};
    const int32_t shell_l[2] = {0, 0};
    const int32_t shell_n_prim[2] = {3, 3};
    const float prim_exponent[6] = {3.42525091f, 0.62391373f, 0.16885540f,
                                    3.42525091f, 0.62391373f, 0.16885540f};
    /* Contraction coefficients times the primitive normalisation (2a/pi)^(3/4),
     * divided by the s harmonic 1/(2 sqrt(pi)) which the library multiplies in. */
    float prim_coeff[6];
    const float d[3] = {0.15432897f, 0.53532814f, 0.44463454f};
    const float norm[3] = {1.79444183f, 0.50032649f, 0.18773546f};
    for (int p = 0; p < 6; ++p) prim_coeff[p] = d[p % 3] * norm[p % 3] / 0.2820948f;
    /* sigma_g = (1s_A + 1s_B) / sqrt(2 + 2 S), S = 0.6593 */
    const float mo_coeff[2] = {0.5489f, 0.5489f};

    /* A 9 x 1 x 13 grid in the xz plane, 0.5 bohr apart. */
    const int32_t nx = 9, ny = 1, nz = 13;
    const float x_min = -2.0f, y_min = 0.0f, z_min = -3.0f, step = 0.5f;
    float *psi = malloc(sizeof(float) * (size_t)(nx * ny * nz));
    if (!psi) return 1;
    scalar_field(nx, ny, nz, n_atoms, shells_per_atom, atom_x, x_min, y_min, z_min, step, atom_y,
                 atom_z, shell_l, shell_n_prim, prim_exponent, prim_coeff, mo_coeff, psi);

    printf("H2 sigma_g orbital in the xz plane (rows z, columns x, bohr^-3/2)\n");
    printf("   z \\ x");
    for (int i = 0; i < nx; ++i) printf(" %6.2f", x_min + i * step);
    printf("\n");
    for (int k = 0; k < nz; ++k) {
        printf("%8.2f", z_min + k * step);
        for (int i = 0; i < nx; ++i) printf(" %6.3f", psi[k * nx + i]);
        printf("\n");
    }
    free(psi);
    return 0;
}
