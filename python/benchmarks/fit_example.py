"""What the README's fit example costs: the command it shows, and the same fit with
the instrument's k offset and resolution, and with all three angles.

    python python/benchmarks/fit_example.py [--repeats 3] [--threads 1]

Each case is the README's command line (examples/measured/pentacene_map.npz, the
pentacene HOMO and HOMO-1 at 30 eV, gamma fitted over 0.3 <= |k| <= 2.9 1/Å, errors
`auto`, which takes Poisson for this file's counts) with the options the case adds,
parsed by the command line's own parser and run as `libkernels fit` runs it, without
writing anything.  Printed per case: the model evaluations the fit states (at full
size, and on the subsampled map of the orientation scan), the CPU time of the process
and the wall time, each the least over the repeats after one run that imports scipy
and warms the caches (the first case's first run is printed too), and the whole
command run once as a new process.  numpy's own threads are pinned to one; --threads is the
fit's (the orbital maps).
"""

import argparse
import os
import resource
import subprocess
import sys
import tempfile
import time
import warnings

for _name in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_name, "1")  # before numpy is imported

from libkernels.cli import build_parser  # noqa: E402
from libkernels.cli.options import request_of  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
EXAMPLE = ["fit", os.path.join(ROOT, "examples", "measured", "pentacene_map.npz"),
           "pentacene", "-O", "HOMO", "-O", "HOMO-1", "--kinetic-energy", "30",
           "--fit-angles", "gamma", "--k-range", "0.3", "2.9", "-o", "unused"]
CASES = (
    ("the README's command", []),
    ("with the k offset and the k resolution fitted", ["--fit-k-offset", "--fit-k-resolution"]),
    ("all three angles", ["--fit-angles", "alpha,beta,gamma"]),
)


def request(extra, threads):
    """The fit request of the README's command line with `extra` options."""
    argv = EXAMPLE + extra + ["--quiet", "--threads", str(threads)]
    args, unknown = build_parser().parse_known_args(argv)
    assert not unknown, unknown
    args.argv = argv
    return request_of(args)


def timed(fit):
    cpu, wall = time.process_time(), time.perf_counter()
    result = fit.run()
    return result, time.process_time() - cpu, time.perf_counter() - wall


def measure(fit, repeats):
    """(result, CPU and wall seconds of the first run, least CPU and wall of the rest)."""
    result, first_cpu, first_wall = timed(fit)
    runs = [timed(fit) for _ in range(repeats)]
    return (result, first_cpu, first_wall, min(r[1] for r in runs), min(r[2] for r in runs))


def whole_command(threads):
    """CPU and wall seconds of the README's command as a user runs it: a new process
    that starts Python, imports the package, fits and writes fit.json, model.npy and
    fit.png."""
    with tempfile.TemporaryDirectory() as folder:
        argv = EXAMPLE[:-1] + [folder, "--quiet", "--threads", str(threads)]
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        wall = time.perf_counter()
        subprocess.run([sys.executable, "-m", "libkernels", *argv], check=True,
                       capture_output=True)
        wall = time.perf_counter() - wall
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return cpu, wall


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--threads", type=int, default=1)
    args = parser.parse_args()
    warnings.simplefilter("ignore")  # the fits' verdicts are the example's, known
    print(f"README fit example, {args.threads} thread(s), least of {args.repeats} runs "
          f"(load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} CPUs)")
    for n, (label, extra) in enumerate(CASES):
        result, first_cpu, first_wall, cpu, wall = measure(request(extra, args.threads),
                                                            args.repeats)
        print(f"{label}: {result.n_evaluations} model evaluations at full size "
              f"(+{result.n_scan_evaluations} in the scan), {result.errors} errors, "
              f"R = {result.r_factor:.3g}; {cpu:.2f} s CPU, {wall:.2f} s wall"
              + (f" (the first fit in the process: {first_cpu:.2f} s CPU, "
                 f"{first_wall:.2f} s wall)" if n == 0 else ""))
    cpu, wall = whole_command(args.threads)
    print(f"the README's command as a new process (Python's start, the imports, the fit, "
          f"fit.json, model.npy and fit.png written): {cpu:.2f} s CPU, {wall:.2f} s wall")


if __name__ == "__main__":
    main()
