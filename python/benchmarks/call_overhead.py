"""Python-to-library overhead per momentum-map call, against the kernel's own time.

    python python/benchmarks/call_overhead.py [--molecule benzene] [--calls 400]

For n = 64 and n = 201 maps of one orbital (HOMO at 30 eV), on one thread:
- kernel: the C function (momentum_map; momentum_map_sum for the prepared
  call) through ctypes with every argument already a raw pointer or a C
  scalar (the least a Python caller can pay);
- momentum_map(): the public one-shot function (argument checks, unit
  conversion, array preparation, result object);
- MapSumCall.run(): a prepared call, the form a fit or a live view repeats
  with a new orientation each time (also with a preallocated output).
Overhead = the call's time minus the kernel's, as a share of the kernel's.
Each figure is the median of many calls, interleaved.
"""

import argparse
import ctypes
import statistics
import time

import numpy as np

import libkernels
from libkernels import MapSumCall
from libkernels.core import library


def raw_function(name):
    """The C function with every array argument declared as a raw pointer."""
    fn = getattr(ctypes.CDLL(library.library_path()), name)
    restype, argtypes = library.SIGNATURES[name]
    fn.argtypes = [t if t in (ctypes.c_int32, ctypes.c_float) else ctypes.c_void_p
                   for t in argtypes]
    fn.restype = restype
    return fn


def raw_call(name, *values):
    """fn(*values) with arrays passed as prepared raw pointers (None stays NULL)."""
    fn = raw_function(name)
    args = [ctypes.c_void_p(v.ctypes.data) if isinstance(v, np.ndarray) else v for v in values]
    return lambda: (fn(*args), values)


def median_seconds(fn, calls):
    times = []
    for _ in range(calls):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--molecule", default="benzene")
    parser.add_argument("--calls", type=int, default=400)
    args = parser.parse_args()
    molecule = libkernels.load_example(args.molecule)
    print(f"{args.molecule}, {molecule.n_atoms} atoms, HOMO at 30 eV, {args.calls} calls each")
    print(f"{'n':>4} {'kernel µs':>10} {'momentum_map() µs':>18} {'overhead':>9} "
          f"{'sum kernel':>11} {'MapSumCall.run':>16} {'overhead':>9} {'run(out=)':>13} "
          f"{'overhead':>9}")
    for n in (64, 201):
        call = MapSumCall(molecule, ["HOMO"], kinetic_energy=30.0, n=n, k_max=2.5)
        m = molecule
        out = np.empty((n, n), dtype=np.float32)
        single = raw_call("momentum_map", n, m.n_atoms, m.shells_per_atom, m.atom_x, m.atom_y,
                          m.atom_z, float(call.e_kin[0]), call.k_min_bohr, call.k_step_bohr,
                          0.0, 10.0, 0.0, m.shell_l, m.shell_n_prim, m.prim_exponent,
                          m.prim_coeff, call.coeff[0].copy(), out)
        summed = raw_call("momentum_map_sum", 1, call.e_kin, None, call.coeff, n, -1,
                          call.k_min_bohr, call.k_step_bohr, 0.0, 10.0, 0.0, call.incidence,
                          call.azimuth, call.s_share, 0, 0, 0, call.kz_imaginary, m.n_atoms,
                          *m.basis_arguments(), out)
        cases = {
            "kernel": single,
            "one-shot": lambda: libkernels.momentum_map(molecule, "HOMO", kinetic_energy=30.0,
                                                        n=n, k_max=2.5, orientation=(0, 10, 0)),
            "sum kernel": summed,
            "prepared": lambda: call.run((0.0, 10.0, 0.0)),
            "prepared-out": lambda: call.run((0.0, 10.0, 0.0), out=out),
        }
        for fn in cases.values():  # warm up
            fn()
        times = {name: [] for name in cases}
        for _ in range(5):  # interleaved rounds against drifting machine load
            for name, fn in cases.items():
                times[name].append(median_seconds(fn, max(1, args.calls // 5)))
        t = {name: min(v) for name, v in times.items()}
        base = {"kernel": "kernel", "one-shot": "kernel", "sum kernel": "sum kernel",
                "prepared": "sum kernel", "prepared-out": "sum kernel"}
        share = {name: (t[name] - t[base[name]]) / t[base[name]] for name in t}
        print(f"{n:>4} {t['kernel'] * 1e6:>10.1f} {t['one-shot'] * 1e6:>18.1f} "
              f"{share['one-shot']:>9.1%} {t['sum kernel'] * 1e6:>11.1f} "
              f"{t['prepared'] * 1e6:>16.1f} {share['prepared']:>9.1%} "
              f"{t['prepared-out'] * 1e6:>13.1f} {share['prepared-out']:>9.1%}")

if __name__ == "__main__":
    main()
