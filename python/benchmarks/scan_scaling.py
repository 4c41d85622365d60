"""Measures how a momentum-map scan scales from 1 to 2 (or more) threads.

    python python/benchmarks/scan_scaling.py [--maps 24] [--resolution 151]

Scans the pentacene HOMO and HOMO-1 over azimuthal orientations, once per
thread count, and prints the wall time and the speed-up over one thread.
"""

import argparse
import os
import time

import numpy as np

import libkernels as lk


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--maps", type=int, default=24, help="orientations (x 2 orbitals)")
    parser.add_argument("--resolution", type=int, default=151)
    parser.add_argument("--threads", type=int, nargs="+", default=[1, 2])
    args = parser.parse_args()
    molecule = lk.load_example("pentacene")
    orientations = [(a, 10.0, 0.0) for a in np.linspace(0, 180, args.maps, endpoint=False)]
    options = dict(photon_energy=35.0, work_function=4.5, k_max=3.0, n=args.resolution)
    print(f"{os.cpu_count()} CPUs; {2 * args.maps} maps of {args.resolution}^2 pixels")
    reference = None
    base = None
    for threads in args.threads:
        start = time.perf_counter()
        maps, _ = lk.scan_momentum_maps(molecule, ["HOMO", "HOMO-1"], orientations,
                                        threads=threads, progress=False, **options)
        elapsed = time.perf_counter() - start
        base = base or elapsed
        if reference is None:
            reference = maps
        same = np.array_equal(maps, reference)
        print(f"{threads} thread(s): {elapsed:.2f} s, speed-up {base / elapsed:.2f}, "
              f"results identical to 1 thread: {same}")


if __name__ == "__main__":
    main()
