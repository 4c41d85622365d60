"""A kernel that cannot get its scratch memory raises MemoryError instead of
returning the all-zero result it leaves behind."""

import os
import subprocess
import sys
import textwrap

import pytest

# Run in a child whose address space is capped a little above what it uses:
# the momentum density's radial table (4 KiB per shell) then cannot be had,
# while the tiny output grid can.
CHILD = textwrap.dedent("""
    import resource, sys
    import numpy as np
    import libkernels

    def molecule(n_shells):
        return libkernels.Molecule(
            atom_x=[0.0], atom_y=[0.0], atom_z=[0.0], shells_per_atom=[n_shells],
            shell_l=[0] * n_shells, shell_n_prim=[1] * n_shells,
            prim_exponent=[1.0] * n_shells, prim_coeff=[1.0] * n_shells,
            mo_coeff=np.ones((1, n_shells), dtype=np.float32))

    small, large = molecule(4), molecule(1 << 17)  # radial tables of 16 KiB and 512 MiB
    with open("/proc/self/status") as status:
        used = next(int(line.split()[1]) for line in status if line.startswith("VmSize"))
    resource.setrlimit(resource.RLIMIT_AS, ((used << 10) + (256 << 20), resource.RLIM_INFINITY))
    field = libkernels.momentum_density(small, 0, n=3)
    assert float(field.data.max()) > 0.0
    try:
        libkernels.momentum_density(large, 0, n=3)
    except MemoryError as error:
        print("MemoryError:", error)
    else:
        print("no error")
""")


@pytest.mark.skipif(not os.path.exists("/proc/self/status"), reason="needs /proc")
def test_failed_scratch_allocation_raises_memory_error():
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1")
    done = subprocess.run([sys.executable, "-c", CHILD], capture_output=True, text=True, env=env,
                          timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("MemoryError: libkernels momentum_density()"), done.stdout
