"""The IAC map's time against the plane-wave map with polarisation, as one ratio.

    python python/benchmarks/final_state_speed.py [--n 201] [--calls 40] [--orbital HOMO]

Pentacene's orbital at 30 eV on an n x n grid to 3 1/Å, p-polarised light:
- plane wave: lk.momentum_map_sum(..., polarisation="p") (the one-shot call), and
  the prepared MapSumCall.run;
- IAC: lk.momentum_map_sum(..., final_state="iac", polarisation="p") (the
  one-shot call: the request, the model's preparation and the map), and the
  prepared IACMapCall.run with the atomic continuum (float32, the default), and
  with precision float64;
at a flat orientation (0, 0, 0) and a tilted one (30, 40, 10), the calls of all
cases interleaved and repeated; each figure is a median (the minimum beside
it), the ratio that of the medians.  On one thread, as scripts/bench.sh runs
the library's benchmarks (BLAS threads would compete with the other cases).
The continuum tables are computed (or read from the cache) before timing.
"""

import os

for variable in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(variable, "1")

import argparse  # noqa: E402
import statistics  # noqa: E402
import time  # noqa: E402

import libkernels as lk  # noqa: E402
from libkernels.core.map_sum_call import MapSumCall  # noqa: E402
from libkernels.final_state import IACMapCall  # noqa: E402


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=201)
    parser.add_argument("--calls", type=int, default=40)
    parser.add_argument("--orbital", default="HOMO")
    args = parser.parse_args()
    molecule = lk.load_example("pentacene")
    energy = 30.0
    prepared = MapSumCall(molecule, [args.orbital], kinetic_energy=energy, n=args.n,
                          k_max=3.0, polarisation="p")
    grid = (args.n, prepared.k_min_bohr, prepared.k_step_bohr)
    start = time.perf_counter()
    iac = IACMapCall(molecule, [args.orbital], kinetic_energy_hartree=energy / lk.HARTREE_IN_EV,
                     grid=grid, light="p")
    preparation = time.perf_counter() - start
    iac64 = IACMapCall(molecule, [args.orbital], kinetic_energy_hartree=energy / lk.HARTREE_IN_EV,
                       grid=grid, light="p", precision="float64")
    print(f"pentacene {args.orbital}, {energy:g} eV, {args.n} x {args.n}, p light; "
          f"IACMapCall prepared in {preparation * 1e3:.0f} ms "
          f"({len(iac.groups[0].pixels)} pixels on the hemisphere)")
    for orientation in ((0.0, 0.0, 0.0), (30.0, 40.0, 10.0)):
        cases = {
            "plane wave, momentum_map_sum": lambda: lk.momentum_map_sum(
                molecule, [args.orbital], kinetic_energy=energy, n=args.n, k_max=3.0,
                polarisation="p", orientation=orientation),
            "plane wave, MapSumCall.run": lambda: prepared.run(orientation),
            "IAC, momentum_map_sum": lambda: lk.momentum_map_sum(
                molecule, [args.orbital], kinetic_energy=energy, n=args.n, k_max=3.0,
                polarisation="p", orientation=orientation, final_state="iac"),
            "IAC, IACMapCall.run (float32)": lambda: iac.run(orientation),
            "IAC, IACMapCall.run (float64)": lambda: iac64.run(orientation),
        }
        times = {name: [] for name in cases}
        for case in cases.values():
            case()
        for _ in range(args.calls):
            for name, case in cases.items():
                begin = time.perf_counter()
                case()
                times[name].append(time.perf_counter() - begin)
        medians = {name: statistics.median(t) for name, t in times.items()}
        reference = medians["plane wave, momentum_map_sum"]
        print(f"orientation {orientation}:")
        for name, t in times.items():
            print(f"  {name:32s} median {medians[name] * 1e3:7.2f} ms  min {min(t) * 1e3:7.2f} ms"
                  f"  ratio {medians[name] / reference:5.2f}")


if __name__ == "__main__":
    main()
