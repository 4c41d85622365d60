"""A molecule's atoms and coordinates before it has orbitals: `Structure`.

A structure comes from a SMILES string (RDKit builds 3D coordinates: ETKDG with a
fixed seed, then its force field, so the same SMILES always gives the same
coordinates), from a structure file (.xyz read here; .mol, .sdf, .pdb, .cif and
everything else ASE reads through ASE), or from symbols and coordinates in
memory.  Positions are kept in angstrom.  `spin` counts unpaired electrons
(2S, PySCF's convention): 0 for a singlet, 1 for a doublet, 2 for a triplet.
"""

from __future__ import annotations

import os
from dataclasses import dataclass, field, replace
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Sequence, Tuple

import numpy as np

from ..core.errors import InputError, MoleculeError, ReadError
from ..core.extras import require
from ..core.molecule import ELEMENTS
from ..core.units import BOHR_IN_ANGSTROM

if TYPE_CHECKING:
    from numpy.typing import ArrayLike

    from ..core.types import Float64Array, LengthUnit, PathLike

EXTRA = "pyscf"  # the pip extra that brings PySCF, RDKit, tblite and ASE
EMBED_SEED = 20240613  # RDKit's random seed: the same SMILES gives the same coordinates
EMBED_ATTEMPTS = 50    # ETKDG's tries before the spectral start (C60 defeats every one)
XYZ_ENDINGS = (".xyz",)
# endings ASE reads as a single molecule (any other ending is still tried with ASE)
ASE_ENDINGS = (".mol", ".sdf", ".mol2", ".pdb", ".cif", ".gen", ".cml", ".gjf", ".com",
               ".in", ".vasp", ".extxyz", ".traj", ".json")
STRUCTURE_ENDINGS = XYZ_ENDINGS + ASE_ENDINGS


@dataclass(eq=False)
class Structure:
    """Atoms (element symbols) at positions in angstrom, with a charge and a spin.

    `name` names the molecule, `smiles` the SMILES it was built from ("" when
    none), `source` where the coordinates came from ("SMILES", a file's path,
    "coordinates"), `notes` what was done to them (optimised, symmetrised).
    Build one with `from_smiles`, `from_file` or `from_atoms`.
    """

    symbols: Tuple[str, ...]
    positions: Float64Array
    charge: int = 0
    spin: int = 0
    name: str = ""
    smiles: str = ""
    source: str = "coordinates"
    notes: Tuple[str, ...] = field(default_factory=tuple)

    def __post_init__(self) -> None:
        symbols = tuple(_element(s) for s in self.symbols)
        positions = np.array(self.positions, dtype=np.float64)
        if positions.ndim != 2 or positions.shape[1] != 3:
            raise MoleculeError(f"positions must be an (n_atoms, 3) array, got shape "
                                f"{positions.shape}")
        if len(symbols) != len(positions):
            raise MoleculeError(f"{len(symbols)} element symbols for {len(positions)} positions")
        if not symbols:
            raise MoleculeError("the structure has no atom")
        if not np.all(np.isfinite(positions)):
            raise MoleculeError("the structure has a non-finite coordinate")
        close = _closest_pair(positions)
        if close is not None and close[2] < 0.3:
            i, j, distance = close
            raise MoleculeError(f"atoms {i + 1} ({symbols[i]}) and {j + 1} ({symbols[j]}) are "
                                f"{distance:.3g} angstrom apart: not a molecule")
        self.symbols = symbols
        self.positions = positions
        self.charge = _integer(self.charge, "charge")
        self.spin = _integer(self.spin, "spin")
        electrons = sum(ELEMENTS.index(s) for s in symbols) - self.charge
        if electrons < 1:
            raise InputError("charge", f"{self.charge} leaves no electron")
        if self.spin < 0 or self.spin > electrons or (electrons - self.spin) % 2:
            raise InputError("spin", f"{self.spin} (unpaired electrons) does not fit "
                                     f"{electrons} electrons: give an "
                                     f"{'even' if electrons % 2 == 0 else 'odd'} number "
                                     f"from 0 to {electrons}")

    # -- constructors ------------------------------------------------------------------------
    @classmethod
    def from_atoms(cls, symbols: Sequence[Any], positions: ArrayLike, *,
                   unit: LengthUnit = "angstrom", charge: int = 0, spin: int = 0,
                   name: str = "") -> Structure:
        """From element symbols (or atomic numbers) and (n, 3) coordinates in `unit`."""
        scale = {"angstrom": 1.0, "å": 1.0, "bohr": BOHR_IN_ANGSTROM,
                 "au": BOHR_IN_ANGSTROM}.get(str(unit).strip().lower())
        if scale is None:
            raise InputError("unit", f"must be 'angstrom' or 'bohr', got {unit!r}")
        return cls(tuple(symbols), np.asarray(positions, dtype=np.float64) * scale,
                   charge=charge, spin=spin, name=name, source="coordinates")

    @classmethod
    def from_smiles(cls, smiles: str, *, name: str = "", charge: Optional[int] = None,
                    spin: Optional[int] = None) -> Structure:
        """3D coordinates from a SMILES string through RDKit: ETKDG (fixed seed) and its
        force field (MMFF94, or UFF for elements MMFF has no parameters for, such as the
        metals of phthalocyanines).  `charge` defaults to the SMILES' formal charges,
        `spin` to its radical electrons (or 1 where their count does not fit the number
        of electrons, as for a metal's open shell)."""
        Chem = require("rdkit.Chem", EXTRA, "a structure from SMILES", "RDKit")
        AllChem = require("rdkit.Chem.AllChem", EXTRA, "a structure from SMILES", "RDKit")
        text = str(smiles).strip()
        if not text or len(text.split()) != 1:
            raise InputError("smiles", f"must be one SMILES string, got {smiles!r}")
        logger: Any = require("rdkit.RDLogger", EXTRA, "a structure from SMILES", "RDKit")
        logger.DisableLog("rdApp.*")  # quiet: a refused SMILES is reported in one line below
        try:
            mol = Chem.MolFromSmiles(text)
        finally:
            logger.EnableLog("rdApp.*")
        if mol is None:
            raise InputError("smiles", f"{text!r} is not a SMILES string RDKit can read")
        mol = Chem.AddHs(mol)
        parameters = AllChem.ETKDGv3()
        parameters.randomSeed = EMBED_SEED
        parameters.maxIterations = EMBED_ATTEMPTS  # a count, not a time: reproducible
        embedding = "ETKDG"
        if AllChem.EmbedMolecule(mol, parameters) != 0:
            parameters.useRandomCoords = True  # macrocycles embed from random starts
            if AllChem.EmbedMolecule(mol, parameters) != 0:
                _spectral_embedding(mol, Chem)  # cages such as C60 defeat ETKDG
                embedding = "the bond graph's spectral embedding"
        field_name = _relax(mol, AllChem)
        symbols = tuple(atom.GetSymbol() for atom in mol.GetAtoms())
        positions = mol.GetConformer().GetPositions()
        formal = sum(atom.GetFormalCharge() for atom in mol.GetAtoms())
        radicals = sum(atom.GetNumRadicalElectrons() for atom in mol.GetAtoms())
        electrons = sum(a.GetAtomicNum() for a in mol.GetAtoms()) - (
            formal if charge is None else charge)
        if (electrons - radicals) % 2:  # a metal's open shell RDKit does not count
            radicals = electrons % 2
        return cls(symbols, positions, charge=formal if charge is None else charge,
                   spin=radicals if spin is None else spin, name=name or text, smiles=text,
                   source="SMILES", notes=(f"3D coordinates from RDKit ({embedding}, seed "
                                           f"{EMBED_SEED}, {field_name})",))

    @classmethod
    def from_file(cls, path: PathLike, *, charge: int = 0, spin: int = 0) -> Structure:
        """The first molecule of a structure file: .xyz read here, other formats (.mol,
        .sdf, .pdb, .cif, ...) through ASE (the `pyscf` extra brings it)."""
        name = os.fspath(path)
        if not os.path.isfile(name):
            raise ReadError(f"{name}: no such file")
        if name.lower().endswith(XYZ_ENDINGS):
            symbols, positions, title = read_xyz(name)
        else:
            symbols, positions, title = _read_with_ase(name)
        return cls(tuple(symbols), positions, charge=charge, spin=spin,
                   name=title or os.path.splitext(os.path.basename(name))[0], source=name)

    # -- derived ------------------------------------------------------------------------------
    @property
    def n_atoms(self) -> int:
        return len(self.symbols)

    @property
    def atomic_numbers(self) -> List[int]:
        return [ELEMENTS.index(s) for s in self.symbols]

    @property
    def formula(self) -> str:
        """Hill formula: C and H first, then the other elements alphabetically."""
        counts: Dict[str, int] = {}
        for s in self.symbols:
            counts[s] = counts.get(s, 0) + 1
        order = ([h for h in ("C", "H") if h in counts] if "C" in counts else []) + sorted(
            s for s in counts if not ("C" in counts and s in ("C", "H")))
        return "".join(s + (str(counts[s]) if counts[s] > 1 else "") for s in order)

    def with_positions(self, positions: ArrayLike, note: str = "") -> Structure:
        """The same structure at other positions (angstrom), with a note saying why."""
        notes = self.notes + ((note,) if note else ())
        return replace(self, positions=np.asarray(positions, dtype=np.float64), notes=notes)

    def pyscf_atoms(self) -> List[Tuple[str, Tuple[float, float, float]]]:
        """The atoms as PySCF's gto.M(atom=...) takes them, in angstrom."""
        return [(s, (float(x), float(y), float(z))) for s, (x, y, z) in
                zip(self.symbols, self.positions)]

    def xyz(self) -> str:
        """The structure as the text of an .xyz file."""
        lines = [str(self.n_atoms), self.name.replace("\n", " ")]
        lines += [f"{s:2s} {x:15.8f} {y:15.8f} {z:15.8f}" for s, (x, y, z) in
                  zip(self.symbols, self.positions)]
        return "\n".join(lines) + "\n"

    def __repr__(self) -> str:
        return (f"Structure({self.name!r}: {self.formula}, charge {self.charge}, "
                f"spin {self.spin}, from {self.source})")


def _element(symbol: Any) -> str:
    if isinstance(symbol, (int, np.integer)) and not isinstance(symbol, bool):
        if 0 < int(symbol) < len(ELEMENTS):
            return ELEMENTS[int(symbol)]
        raise MoleculeError(f"atomic number {symbol} is not an element the package knows "
                            f"(1 to {len(ELEMENTS) - 1})")
    text = str(symbol).strip()
    letters = "".join(c for c in text if c.isalpha())  # 'C1', 'H12' as some files write them
    if text.isdigit():
        return _element(int(text))
    candidate = letters[:2].capitalize()
    if candidate in ELEMENTS[1:]:
        return candidate
    if letters[:1].upper() in ELEMENTS[1:]:
        return letters[:1].upper()
    raise MoleculeError(f"{symbol!r} is not an element symbol the package knows "
                        f"(H to {ELEMENTS[-1]})")


def _integer(value: object, name: str) -> int:
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
        try:
            number = float(value)  # type: ignore[arg-type]
        except (TypeError, ValueError):
            raise InputError(name, f"must be an integer, got {value!r}") from None
        if not number.is_integer():
            raise InputError(name, f"must be an integer, got {value!r}")
        return int(number)
    return int(value)


def _closest_pair(positions: Float64Array) -> Optional[Tuple[int, int, float]]:
    if len(positions) < 2:
        return None
    distances = np.linalg.norm(positions[:, None, :] - positions[None, :, :], axis=2)
    np.fill_diagonal(distances, np.inf)
    i, j = np.unravel_index(int(np.argmin(distances)), distances.shape)
    return int(min(i, j)), int(max(i, j)), float(distances[i, j])


def _spectral_embedding(mol: Any, Chem: Any) -> None:
    """Starting coordinates from the bond graph alone: the Laplacian's three lowest
    non-constant eigenvectors, scaled to 1.4 angstrom bonds.  For a fullerene they
    draw the cage itself, where distance-geometry embedding finds no start."""
    n = mol.GetNumAtoms()
    laplacian = np.zeros((n, n))
    bonds = [(b.GetBeginAtomIdx(), b.GetEndAtomIdx()) for b in mol.GetBonds()]
    for i, j in bonds:
        laplacian[i, j] = laplacian[j, i] = -1.0
        laplacian[i, i] += 1.0
        laplacian[j, j] += 1.0
    if n < 4 or not bonds:
        raise MoleculeError("RDKit cannot build 3D coordinates for the molecule")
    _, vectors = np.linalg.eigh(laplacian)
    xyz = vectors[:, 1:4].copy()
    lengths = [np.linalg.norm(xyz[i] - xyz[j]) for i, j in bonds]
    xyz *= 1.4 / max(float(np.mean(lengths)), 1e-12)
    conformer = Chem.Conformer(n)
    for i, (x, y, z) in enumerate(xyz):
        conformer.SetAtomPosition(i, (float(x), float(y), float(z)))
    mol.RemoveAllConformers()
    mol.AddConformer(conformer, assignId=True)


def _relax(mol: Any, AllChem: Any) -> str:
    """Relaxes RDKit's embedded coordinates with MMFF94, or UFF where MMFF has no
    parameters; returns the force field's name."""
    if AllChem.MMFFHasAllMoleculeParams(mol):
        AllChem.MMFFOptimizeMolecule(mol, maxIters=2000)
        return "MMFF94"
    if AllChem.UFFHasAllMoleculeParams(mol):
        AllChem.UFFOptimizeMolecule(mol, maxIters=2000)
        return "UFF"
    return "no force field (RDKit has no parameters for it)"


def read_xyz(path: PathLike) -> Tuple[List[str], Float64Array, str]:
    """The first frame of an .xyz file: symbols, positions (angstrom), comment line."""
    name = os.fspath(path)
    try:
        with open(name, "r", errors="strict") as handle:
            lines = handle.read().splitlines()
    except (OSError, UnicodeDecodeError) as error:
        raise ReadError(f"{name}: cannot read the file ({error})") from None
    if not lines or not lines[0].strip().isdigit():
        raise ReadError(f"{name}: an .xyz file starts with the number of atoms, found "
                        f"{(lines[0] if lines else '')[:40]!r}")
    n = int(lines[0].strip())
    if n < 1:
        raise ReadError(f"{name}: the file announces {n} atoms")
    if len(lines) < n + 2:
        raise ReadError(f"{name}: the file announces {n} atoms but lists "
                        f"{max(len(lines) - 2, 0)} (truncated file?)")
    symbols: List[str] = []
    positions: List[List[float]] = []
    for number, line in enumerate(lines[2:n + 2], start=3):
        fields = line.split()
        try:
            if len(fields) < 4:
                raise ValueError
            xyz = [float(f) for f in fields[1:4]]
            symbols.append(_element(fields[0]))
        except ValueError:
            raise ReadError(f"{name}, line {number}: expected 'symbol x y z', found "
                            f"{line.strip()[:60]!r}") from None
        except MoleculeError as error:
            raise ReadError(f"{name}, line {number}: {error}") from None
        positions.append(xyz)
    return symbols, np.array(positions, dtype=np.float64), lines[1].strip()


def _read_with_ase(path: str) -> Tuple[List[str], Float64Array, str]:
    ase_io = require("ase.io", EXTRA, f"reading {os.path.basename(path)}", "ASE")
    try:
        atoms = ase_io.read(path, index=0)
    except Exception as error:  # ASE raises many kinds: one line naming the file
        detail = str(error).strip().splitlines()[0] if str(error).strip() else \
            type(error).__name__
        raise ReadError(f"{path}: ASE cannot read it as a structure ({detail[:120]})") from None
    if getattr(atoms, "pbc", np.zeros(3)).any() and len(atoms) > 500:
        raise ReadError(f"{path}: a periodic structure of {len(atoms)} atoms, not a molecule")
    return (list(atoms.get_chemical_symbols()), np.asarray(atoms.get_positions(), np.float64),
            str(atoms.info.get("name", "")) if hasattr(atoms, "info") else "")


def smiles_formula(smiles: str) -> str:
    """The molecular formula a SMILES string describes (RDKit), or '' when RDKit cannot
    read it (its refusal comes, in one line, when the structure is built)."""
    try:
        Chem = require("rdkit.Chem", EXTRA, "a structure from SMILES", "RDKit")
        descriptors = require("rdkit.Chem.rdMolDescriptors", EXTRA, "a structure from SMILES",
                              "RDKit")
    except ImportError:
        return ""
    mol = Chem.MolFromSmiles(str(smiles).strip()) if str(smiles).strip() else None
    return "" if mol is None else str(descriptors.CalcMolFormula(mol))
