"""The SCF through PySCF: the molecule, the method, estimates, progress and limits.

`method` is "hf" (RHF for a closed shell, UHF for an open one; "rhf", "uhf" and
"rohf" choose one) or any exchange-correlation functional PySCF's libxc knows
("b3lyp", "pbe0", "wb97x", ...: RKS or UKS as the spin asks).  Density fitting
(def2-universal-jkfit) is on unless asked off: it takes a fraction of the time
and changes total energies by about 1e-5 hartree.

Before it starts, the memory is estimated from the basis size (the fitted
three-index integrals dominate) and checked against the memory guard
(core/memory.py); the time is estimated from a measured calibration.  While it
runs, a line on stderr shows the cycle, the energy and its change.
"""

from __future__ import annotations

import contextlib
import io
from importlib import metadata
import sys
import time
from typing import TYPE_CHECKING, Any, Dict, Iterator, List, Optional, Tuple

import numpy as np

from ..core.errors import ComputationError, InputError, MissingExtraError
from ..core.extras import install_hint, require
from ..core.memory import check, format_size, memory_limit
from ..core.progress import LOG_INTERVAL, on_terminal
from ..formats.pyscf import irrep_labels
from .structure import EXTRA

if TYPE_CHECKING:
    from ..core.types import MemorySize
    from .structure import Structure

HF_NAMES = ("hf", "rhf", "uhf", "rohf")
CONV_TOL = 1e-9
MAX_CYCLE = 100
BASE_MEMORY = 300 * 1024**2   # the interpreter, PySCF and its work arrays
# The peak resident size measured for thiophene, benzene, bithiophene, naphthalene and
# terthiophene (B3LYP/def2-SVP) was 0.7 to 1.0 times twice the arrays counted below
# (the rest: PySCF's DFT grid blocks and temporary arrays).
PEAK_FACTOR = 2.0
# The time of an SCF on one core of the reference machine (a shared 2-core
# workstation): the integrals and diagonalisations grow as the cube of the basis,
# the DFT grid with the atoms.  Calibrated on benzene and naphthalene with
# B3LYP/def2-SVP and density fitting, and benzene in STO-3G (mostly the grid).
SECONDS_AT_100 = 8.0
TIME_EXPONENT = 3.0
GRID_SECONDS_PER_ATOM = 0.6


def pyscf_version() -> str:
    """PySCF's version from its metadata: a cache hit needs no import of PySCF (which
    takes seconds)."""
    try:
        return metadata.version("pyscf")
    except metadata.PackageNotFoundError:
        raise MissingExtraError(f"computing orbitals needs PySCF: {install_hint(EXTRA)}") \
            from None


def method_name(method: str) -> str:
    """The method's name as the cache and PySCF take it: lower case, checked only for
    being there (check_method knows the functionals)."""
    text = str(method).strip().lower()
    if not text:
        raise InputError("method", "is empty: give 'hf' or a functional such as 'b3lyp'")
    return text


def check_method(method: str) -> str:
    """`method` when it is Hartree-Fock or a functional PySCF's libxc knows."""
    text = method_name(method)
    if text in HF_NAMES:
        return text
    libxc = require("pyscf.dft.libxc", EXTRA, "computing orbitals", "PySCF")
    try:
        libxc.parse_xc(text)
    except Exception:
        raise InputError("method", f"{method!r} is neither Hartree-Fock ('hf', 'rhf', 'uhf', "
                                   "'rohf') nor a functional PySCF knows (such as 'b3lyp', "
                                   "'pbe0', 'pbe')") from None
    return text


def build_mole(structure: Structure, basis: str, symmetry: bool,
               max_memory: Optional[int] = None) -> Any:
    """PySCF's Mole of the structure (pure functions, angstrom)."""
    gto = require("pyscf.gto", EXTRA, "computing orbitals", "PySCF")
    try:
        mol = gto.M(atom=structure.pyscf_atoms(), basis=basis, charge=structure.charge,
                    spin=structure.spin, unit="Angstrom", cart=False, symmetry=symmetry,
                    verbose=0, max_memory=(max_memory or 4000 * 1024**2) / 1024**2)
    except Exception as error:
        text = str(error).strip().splitlines()[0] if str(error).strip() else \
            type(error).__name__
        if "basis" in text.lower() or isinstance(error, (KeyError, FileNotFoundError)):
            raise InputError("basis", f"{basis!r} is not a basis PySCF has for "
                                      f"{structure.formula} ({text[:80]})") from None
        raise ComputationError(f"PySCF cannot set up {structure.name or structure.formula} "
                               f"({text[:120]})") from None
    return mol


def mean_field(mol: Any, method: str, density_fit: bool) -> Any:
    """The SCF object for `method` and the molecule's spin."""
    scf = require("pyscf.scf", EXTRA, "computing orbitals", "PySCF")
    dft = require("pyscf.dft", EXTRA, "computing orbitals", "PySCF")
    open_shell = mol.spin != 0
    if method in HF_NAMES:
        kind = {"hf": "UHF" if open_shell else "RHF", "rhf": "RHF", "uhf": "UHF",
                "rohf": "ROHF"}[method]
        if kind == "RHF" and open_shell:
            raise InputError("method", f"'rhf' needs a closed shell, the molecule has spin "
                                       f"{mol.spin}: use 'uhf' or 'rohf'")
        mf = getattr(scf, kind)(mol)
    else:
        mf = (dft.UKS if open_shell else dft.RKS)(mol, xc=method)
    if density_fit:
        mf = mf.density_fit(auxbasis="def2-universal-jkfit")
    mf.conv_tol = CONV_TOL
    mf.max_cycle = MAX_CYCLE
    mf.chkfile = None   # nothing written beside the cache
    mf.verbose = 0
    return mf


def estimate(mol: Any, density_fit: bool, dft: bool = True) -> Dict[str, Any]:
    """Memory (bytes) and time (seconds on one core) the SCF will roughly take."""
    nao = int(mol.nao_nr())
    pairs = nao * (nao + 1) // 2
    matrices = 40 * nao * nao * 8  # Fock, densities, DIIS history, grids' blocks
    memory = BASE_MEMORY + matrices
    naux = 0
    if density_fit:
        addons = require("pyscf.df.addons", EXTRA, "computing orbitals", "PySCF")
        naux = int(addons.make_auxmol(mol, "def2-universal-jkfit").nao_nr())
        memory += naux * pairs * 8
    memory = int(memory * PEAK_FACTOR)
    seconds = SECONDS_AT_100 * (nao / 100.0) ** TIME_EXPONENT + \
        (GRID_SECONDS_PER_ATOM * int(mol.natm) if dft else 0.0)
    return {"basis_functions": nao, "auxiliary_functions": naux,
            "memory_bytes": int(memory), "seconds_one_core": float(seconds)}


def check_memory(estimated: Dict[str, Any], what: str, max_memory: MemorySize,
                 density_fit: bool) -> None:
    hint = "choose a smaller {basis}" + (", pass {density_fit}=False (slower, far less "
                                         "memory)" if density_fit else "")
    check(estimated["memory_bytes"], what, hint, max_memory)


@contextlib.contextmanager
def pyscf_threads(threads: Optional[int]) -> Iterator[None]:
    """PySCF's OpenMP threads set to `threads` inside, restored after (None: as set)."""
    if threads is None:
        yield
        return
    if isinstance(threads, bool) or not isinstance(threads, int) or threads < 1:
        raise InputError("threads", f"must be a positive integer, got {threads!r}")
    lib = require("pyscf.lib", EXTRA, "computing orbitals", "PySCF")
    before = lib.num_threads()
    lib.num_threads(threads)
    try:
        yield
    finally:
        lib.num_threads(before)


class ScfProgress:
    """The SCF's cycles on stderr, as core/progress.py draws counters: redrawn in place
    on a terminal, into a log a line every LOG_INTERVAL seconds and a last one."""

    def __init__(self, description: str, enabled: bool = True) -> None:
        self.description = description
        self.enabled = enabled
        self.terminal = on_terminal()
        self.start = time.monotonic()
        self._last = -1e9 if self.terminal else self.start
        self._lines = 0
        self._text = ""
        self.cycles = 0

    def __call__(self, envs: Dict[str, Any]) -> None:
        """PySCF's callback: its kernel's local variables after each cycle."""
        self.cycles = int(envs.get("cycle", self.cycles - 1)) + 1
        energy = envs.get("e_tot")
        last = envs.get("last_hf_e")
        change = "" if energy is None or last is None else f", dE = {energy - last:+.2e}"
        self._text = (f"{self.description}: cycle {self.cycles}"
                      + ("" if energy is None else f", E = {float(energy):.8f} Eh") + change)
        if not self.enabled:
            return
        now = time.monotonic()
        if now - self._last >= (0.2 if self.terminal else LOG_INTERVAL):
            self._draw(now)

    def message(self, text: str) -> None:
        """A line of its own (the estimate before the SCF starts)."""
        if self.enabled:
            sys.stderr.write(text + "\n")
            sys.stderr.flush()

    def _draw(self, now: float) -> None:
        self._last = now
        self._lines += 1
        text = f"{self._text} ({now - self.start:.0f} s)"
        sys.stderr.write(f"\r{text}\033[K" if self.terminal else f"{text}\n")
        sys.stderr.flush()

    def close(self, outcome: str = "") -> None:
        if not self.enabled:
            return
        if self._text and (self.terminal or self._lines):
            self._draw(time.monotonic())
        if self.terminal and self._lines:
            sys.stderr.write("\n")
        if outcome:
            sys.stderr.write(outcome + "\n")
        sys.stderr.flush()


def run(mf: Any, progress: ScfProgress) -> Tuple[float, int]:
    """Runs the SCF to convergence (a second-order solver takes over when DIIS has
    not converged after MAX_CYCLE cycles); returns the energy and the cycles."""
    mf.callback = progress
    mf.kernel()
    cycles = progress.cycles
    if not mf.converged:
        progress.description += " (second-order)"
        second = mf.newton()
        second.callback = progress
        second.max_cycle = 50
        second.kernel(mf.mo_coeff, mf.mo_occ)
        for name in ("mo_coeff", "mo_energy", "mo_occ", "e_tot", "converged"):
            setattr(mf, name, getattr(second, name))
        cycles = progress.cycles + cycles
    if not mf.converged:
        raise ComputationError(f"the SCF did not converge in {cycles} cycles (last energy "
                               f"{float(mf.e_tot):.8f} Eh); try another method, basis or spin")
    return float(mf.e_tot), cycles


def molden_text(mf: Any, title: str) -> str:
    """The SCF's orbitals as a Molden file, with their irreducible representations."""
    molden = require("pyscf.tools.molden", EXTRA, "writing orbitals", "PySCF")
    mol = mf.mol
    out = io.StringIO()
    out.write(f"[Title]\n {title}\n")
    molden.header(mol, out)
    labels = irrep_labels(mol, mf.mo_coeff, mf)
    coeff = np.asarray(mf.mo_coeff)
    if coeff.ndim == 3:
        n = coeff.shape[2]
        for s, spin in enumerate(("Alpha", "Beta")):
            molden.orbital_coeff(mol, out, coeff[s], spin=spin, ene=mf.mo_energy[s],
                                 occ=mf.mo_occ[s], symm=_or_a(labels, s * n, n))
    else:
        molden.orbital_coeff(mol, out, coeff, spin="Alpha", ene=mf.mo_energy, occ=mf.mo_occ,
                             symm=_or_a(labels, 0, coeff.shape[1]))
    return out.getvalue()


def _or_a(labels: Optional[List[str]], start: int, n: int) -> List[str]:
    return labels[start:start + n] if labels is not None else ["A"] * n


def describe_estimate(estimated: Dict[str, Any], threads: Optional[int],
                      max_memory: MemorySize) -> str:
    limit = memory_limit(max_memory)
    cores = threads or 1
    seconds = estimated["seconds_one_core"] / cores
    shown = f"{seconds:.0f} s" if seconds < 120 else f"{seconds / 60:.0f} min" \
        if seconds < 7200 else f"{seconds / 3600:.1f} h"
    return (f"{estimated['basis_functions']} basis functions: about "
            f"{format_size(estimated['memory_bytes'])} of memory"
            + (f" (limit {format_size(limit)})" if limit else "")
            + f", roughly {shown} on {cores} core{'s' if cores > 1 else ''}")
