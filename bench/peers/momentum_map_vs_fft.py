"""A photoemission momentum map two ways, single threaded, same molecule,
orbital and k grid: the library's momentum_map (the orbital's Fourier
transform evaluated analytically at each pixel of the hemisphere) against the
traditional route: the orbital on a real-space cube, zero-padded so that the
FFT's k spacing equals the map's, a 3D FFT with numpy (real-to-complex, the
last axis z so that only kz >= 0 is kept), |psi(k)|^2, and linear
interpolation onto the hemisphere |k| = sqrt(2 E_kin).

The cube is evaluated with the library's scalar_field (the fastest evaluator
at hand; its time is listed apart).  Accuracy is the largest difference of
the two maps inside the disc, each scaled to maximum 1, against the library's
map (which agrees with the analytic transform to float32 rounding).

    python3 bench/peers/momentum_map_vs_fft.py [--smoke] [--n N] [--spacing H] [--oversample F]
"""

import argparse

import peer_common as pc  # first: pins numpy to one thread

import numpy as np  # noqa: E402
import scipy.fft  # noqa: E402
from scipy.ndimage import map_coordinates  # noqa: E402

HOMO_KINETIC_EV = 30.0
MARGIN = 6.0  # bohr around the atoms, as the benchmark's real-space grids


def fft_route(molecule, n_map, k_min, k_step, e_kin, spacing, oversample, timings):
    """The map by the FFT route; fills timings (CPU seconds per stage) and returns
    the (n_map, n_map) map and the FFT size."""
    import time
    f32 = np.float32
    # Cube around the molecule at the given spacing.
    low = np.array([min(v) for v in (molecule.atom_x, molecule.atom_y, molecule.atom_z)]) - MARGIN
    high = np.array([max(v) for v in (molecule.atom_x, molecule.atom_y, molecule.atom_z)]) + MARGIN
    counts = [int(np.ceil((h - l) / spacing)) + 1 for l, h in zip(low, high)]
    # FFT spacing 2 pi / (N h) equal to the map's k step (divided by oversample).
    size = scipy.fft.next_fast_len(int(np.ceil(2 * np.pi * oversample / (k_step * spacing))), real=True)
    dk = 2 * np.pi / (size * spacing)

    start = time.process_time()
    cube = pc.scalar_field(molecule, 0, counts, low.astype(f32).tolist(), f32(spacing))  # (nz, ny, nx)
    timings["orbital on the cube (libkernels scalar_field)"] = time.process_time() - start

    start = time.process_time()
    padded = np.zeros((size, size, size), dtype=np.float32)  # [ix, iy, iz]
    nx, ny, nz = counts
    padded[:nx, :ny, :nz] = cube.transpose(2, 1, 0)
    del cube
    spectrum = np.fft.rfftn(padded)  # complex64, kz >= 0 only
    del padded
    density = np.abs(spectrum) ** 2
    del spectrum
    timings[f"zero-padded {size}^3 real FFT and |psi|^2"] = time.process_time() - start

    start = time.process_time()
    k = k_min + k_step * np.arange(n_map, dtype=np.float64)
    kx, ky = np.meshgrid(k, k, indexing="ij")  # map[i, j] at (kx_i, ky_j)
    kz2 = 2.0 * e_kin - kx**2 - ky**2
    inside = kz2 >= 0
    kz = np.sqrt(np.where(inside, kz2, 0.0))
    # Fractional FFT indices; negative kx, ky wrap around.
    points = np.stack([(kx[inside] / dk) % size, (ky[inside] / dk) % size, kz[inside] / dk])
    values = map_coordinates(density, points, order=1, mode="grid-wrap")
    result = np.zeros((n_map, n_map), dtype=np.float32)
    result[inside] = values
    timings["linear interpolation onto the hemisphere"] = time.process_time() - start
    return result, size


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--smoke", action="store_true", help="map n = 32, coarse cube")
    parser.add_argument("--molecule", default="pentacene")
    parser.add_argument("--n", type=int, default=128, help="map side")
    parser.add_argument("--spacing", type=float, default=0.5, help="cube spacing (bohr)")
    parser.add_argument("--oversample", type=float, default=1.0,
                        help="FFT k spacing = map k step / oversample")
    args = parser.parse_args()
    n = 32 if args.smoke else args.n
    spacing = 0.6 if args.smoke else args.spacing

    molecule, labels = pc.read_molecule(args.molecule)
    f32 = np.float32
    e_kin = f32(HOMO_KINETIC_EV / pc.HARTREE_IN_EV)
    k_max = np.sqrt(f32(2) * e_kin)
    k_min, k_step = -k_max, f32(2) * k_max / f32(n - 1)

    ours, our_seconds, our_peak = pc.measure(
        lambda: pc.momentum_map(molecule, 0, n, e_kin, k_min, k_step))
    timings = {}
    (theirs, size), fft_seconds, fft_peak = pc.measure(
        lambda: fft_route(molecule, n, float(k_min), float(k_step), float(e_kin), spacing,
                          args.oversample, timings), repeats=1)

    inside = ours > 0
    error = np.max(np.abs(ours / ours.max() - theirs / theirs.max())[inside])
    print(f"\nmomentum_map vs the FFT route: {args.molecule} {labels[0]}, E_kin "
          f"{HOMO_KINETIC_EV:.1f} eV, {n}x{n} map, k step {k_step:.4f} 1/bohr, one thread")
    print(f"{'route':<52} {'CPU s':>9} {'peak MB':>9}")
    print(f"{'libkernels momentum_map':<52} {our_seconds:9.3f} {pc.megabytes(our_peak):9.1f}")
    print(f"{'FFT route: cube spacing %.2f bohr, FFT k step %.4f' % (spacing, 2 * np.pi / (size * spacing)):<52} "
          f"{fft_seconds:9.3f} {pc.megabytes(fft_peak):9.1f}")
    for stage, seconds in timings.items():
        print(f"  {stage:<50} {seconds:9.3f}")
    print(f"FFT route / library: {fft_seconds / our_seconds:.0f}x the time, "
          f"{fft_peak / max(our_peak, 1):.0f}x the memory; FFT map's largest difference from the "
          f"library's: {error:.2e} of the maximum")


if __name__ == "__main__":
    main()
