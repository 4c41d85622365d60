"""Orbitals from structures: the catalogue, the orientation, symmetry, the cache and
its safety against killed processes, limits, and what a front end means by a molecule.

SCFs here are Hartree-Fock in small bases on one thread (a second at most); the
tests that kill a process run their own interpreter."""

import os
import signal
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest

import libkernels as lk
from libkernels.core.cache import atomic_write_bytes, cache_directory
from libkernels.core.errors import (InputError, MemoryLimitError,
                                    MissingExtraError, MoleculeError, OutputError, ReadError)
from libkernels.structures import compute, entries, store
from libkernels.structures.frame import masses, standard_orientation
from libkernels.structures.structure import Structure, read_xyz
from libkernels.structures.symmetry import symmetrise

pyscf = pytest.importorskip("pyscf")
Chem = pytest.importorskip("rdkit.Chem")

from catalogue_graphs import GRAPHS  # noqa: E402

WATER = [("O", (0.0, 0.0, 0.12)), ("H", (0.0, 0.76, -0.47)), ("H", (0.0, -0.76, -0.47))]
REQUIRED = """benzene naphthalene anthracene tetracene pentacene perylene coronene PTCDA NTCDA
    p-sexiphenyl rubrene bisanthene pentacenequinone sexithiophene bithiophene terthiophene
    C60 CuPc ZnPc""".split()


def _benzene_atoms():
    mol = lk.load_example("benzene")
    return mol.symbols, mol.positions.astype(np.float64) * lk.BOHR_IN_ANGSTROM


def _random_rotation(seed):
    q, r = np.linalg.qr(np.random.default_rng(seed).normal(size=(3, 3)))
    q = q * np.sign(np.diag(r))
    return q if np.linalg.det(q) > 0 else -q


# ---- the catalogue ---------------------------------------------------------------------------

def test_every_catalogue_smiles_gives_its_formula_and_rings():
    from rdkit.Chem.rdMolDescriptors import CalcMolFormula
    names = {e.name for e in lk.catalogue()}
    assert set(REQUIRED) <= names
    for entry in lk.catalogue():
        mol = Chem.MolFromSmiles(entry.smiles)
        assert mol is not None, entry.name
        assert CalcMolFormula(mol) == entry.formula, entry.name
        heavy = Chem.RemoveHs(mol)
        assert heavy.GetNumBonds() - heavy.GetNumAtoms() + 1 == entry.rings, entry.name
        electrons = sum(a.GetAtomicNum() for a in Chem.AddHs(mol).GetAtoms()) - entry.charge
        assert (electrons - entry.spin) % 2 == 0, entry.name   # the spin fits the electrons
        assert entry.description and entry.status in ("computes", "expensive",
                                                      "not converging"), entry.name


def test_the_long_smiles_are_the_molecules_their_bond_graphs_describe():
    for name, build in GRAPHS.items():
        expected = Chem.MolToSmiles(build())
        assert Chem.MolToSmiles(Chem.MolFromSmiles(entries.entry(name).smiles)) == expected, name


def test_names_and_aliases_find_one_entry_in_any_case_and_misspellings_get_a_hint():
    assert entries.entry("6T").name == "sexithiophene"
    assert entries.entry("ptcda").name == "PTCDA"
    assert entries.entry("Copper  Phthalocyanine").name == "CuPc"
    all_names = [n.lower() for e in lk.catalogue() for n in e.names()]
    assert len(all_names) == len(set(all_names))
    with pytest.raises(InputError, match=r"'PTCDAx' is not in the catalogue .*did you mean PTCDA"):
        entries.entry("PTCDAx")


# ---- structures and the orientation ----------------------------------------------------------

def test_the_orientation_puts_the_plane_in_xy_the_long_axis_along_x_whatever_the_input():
    pentacene = lk.load_example("pentacene")
    symbols = pentacene.symbols
    reference = pentacene.positions.astype(np.float64) * lk.BOHR_IN_ANGSTROM
    results = []
    for seed in range(4):
        turn = _random_rotation(seed)
        given = reference @ turn.T + np.array([1.0, -2.0, 3.0]) * seed
        orientation = standard_orientation(symbols, given)
        assert np.allclose(orientation.rotation @ orientation.rotation.T, np.eye(3))
        assert np.linalg.det(orientation.rotation) == pytest.approx(1.0)
        placed = orientation.apply(given)
        assert np.abs(masses(symbols) @ placed).max() < 1e-9         # centre of mass at 0
        assert np.abs(placed[:, 2]).max() < 1e-9                     # the plane is xy
        extent = np.ptp(placed, axis=0)
        assert extent[0] > 2 * extent[1]                             # long axis along x
        results.append(placed)
    # the same positions every time, as a set of atoms
    for placed in results[1:]:
        assert np.allclose(np.sort(np.round(placed, 6), axis=0), np.sort(np.round(results[0], 6),
                                                                         axis=0), atol=1e-6)


def test_equal_moments_are_resolved_by_the_atoms_so_benzene_always_lands_alike():
    symbols, reference = _benzene_atoms()
    placed = [standard_orientation(symbols, reference @ _random_rotation(s).T).apply(
        reference @ _random_rotation(s).T) for s in range(5)]
    for p in placed:
        carbons = p[np.array(symbols) == "C"]
        assert np.abs(p[:, 2]).max() < 1e-9
        # an atom on the y axis: the built-in benzene's convention
        assert np.min(np.abs(carbons[:, 0])) < 1e-6
        assert np.allclose(np.sort(np.round(p, 6), axis=0), np.sort(np.round(placed[0], 6),
                                                                   axis=0), atol=1e-6)


def test_structures_refuse_what_is_not_a_molecule(tmp_path):
    with pytest.raises(InputError, match="spin 0 .* does not fit 7 electrons"):
        Structure.from_atoms(["N"], [[0, 0, 0]])
    with pytest.raises(MoleculeError, match="atoms 1 .* and 2 .* apart"):
        Structure.from_atoms(["H", "H"], [[0, 0, 0], [0, 0, 0.1]])
    with pytest.raises(MoleculeError, match="'Qx' is not an element"):
        Structure.from_atoms(["Qx"], [[0, 0, 0]])
    with pytest.raises(InputError, match="not a SMILES string RDKit can read"):
        Structure.from_smiles("c1cccc")
    cut = tmp_path / "cut.xyz"
    cut.write_text("3\nwater\nO 0 0 0.12\nH 0 0.76 -0.47\n")
    with pytest.raises(ReadError, match="announces 3 atoms but lists 2"):
        read_xyz(cut)
    bad = tmp_path / "bad.xyz"
    bad.write_text("1\n\nO 0 zero 0\n")
    with pytest.raises(ReadError, match="line 3: expected 'symbol x y z'"):
        read_xyz(bad)


def test_a_structure_file_reads_through_ase_as_through_the_xyz_reader(tmp_path):
    ase_io = pytest.importorskip("ase.io")
    from ase import Atoms
    xyz = tmp_path / "water.xyz"
    xyz.write_text("3\nwater\n" + "".join(f"{s} {x} {y} {z}\n" for s, (x, y, z) in WATER))
    pdb = tmp_path / "water.pdb"
    ase_io.write(str(pdb), Atoms([s for s, _ in WATER], positions=[p for _, p in WATER]))
    a, b = Structure.from_file(xyz), Structure.from_file(pdb)
    assert a.symbols == b.symbols == ("O", "H", "H")
    assert np.allclose(a.positions, b.positions, atol=1e-3)


def test_smiles_give_the_same_coordinates_every_time():
    one, two = Structure.from_smiles("c1ccc2ccccc2c1"), Structure.from_smiles("c1ccc2ccccc2c1")
    assert np.array_equal(one.positions, two.positions) and one.formula == "C10H8"
    assert Structure.from_smiles("[Cu+2]").spin == 1   # an odd count of electrons


def test_symmetry_within_the_tolerance_is_made_exact_and_pyscf_then_finds_it():
    symbols, reference = _benzene_atoms()
    rng = np.random.default_rng(3)
    shaken = Structure.from_atoms(symbols, reference @ _random_rotation(7).T
                                  + rng.normal(scale=1e-3, size=reference.shape))
    assert pyscf.M(atom=shaken.pyscf_atoms(), symmetry=True, verbose=0).topgroup == "C1"
    exact, record = symmetrise(shaken)
    assert record["exact"] == "D2h" and 0 < record["largest_move_angstrom"] < 0.005
    assert pyscf.M(atom=exact.pyscf_atoms(), symmetry=True, verbose=0).groupname == "D2h"
    again, record = symmetrise(exact)
    assert record["largest_move_angstrom"] < 1e-12   # exact symmetry stays as it is
    # a real distortion (0.1 angstrom) is no symmetry to make exact
    bent = reference.copy()
    bent[0, 2] += 0.1
    kept, record = symmetrise(Structure.from_atoms(symbols, bent))
    assert record["exact"] != "D2h" and record["largest_move_angstrom"] < 1e-2


# ---- the cache folder and whole-or-nothing writes --------------------------------------------

def test_the_cache_folder_follows_the_variables(monkeypatch, tmp_path):
    monkeypatch.setenv("HOME", str(tmp_path / "home"))
    monkeypatch.delenv("LIBKERNELS_CACHE_DIR", raising=False)
    monkeypatch.delenv("XDG_CACHE_HOME", raising=False)
    assert cache_directory("orbitals") == tmp_path / "home" / ".cache" / "libkernels" / "orbitals"
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path / "xdg"))
    assert cache_directory("orbitals") == tmp_path / "xdg" / "libkernels" / "orbitals"
    monkeypatch.setenv("LIBKERNELS_CACHE_DIR", str(tmp_path / "own"))
    assert cache_directory("maps") == tmp_path / "own" / "maps"
    assert (tmp_path / "own" / "maps").is_dir()
    with pytest.raises(OutputError, match="not a plain folder name"):
        cache_directory("../elsewhere")


def test_a_failed_write_leaves_the_old_file_and_no_temporary_one(tmp_path, monkeypatch):
    target = tmp_path / "entry.json"
    atomic_write_bytes(target, b"old")

    def broken(descriptor):
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(os, "fsync", broken)
    with pytest.raises(OutputError, match="cannot write .*No space left"):
        atomic_write_bytes(target, b"new")
    assert target.read_bytes() == b"old"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["entry.json"]


# ---- compute_orbitals -------------------------------------------------------------------------

def test_orbitals_from_coordinates_are_cached_and_read_back_bit_for_bit(tmp_path):
    first = lk.compute_orbitals(WATER, method="hf", basis="sto-3g", cache_dir=tmp_path,
                                threads=1, progress=False)
    assert first.computation["point_group"] == "C2v" and first.spin_restricted
    assert set(first.mo_symmetry) <= {"A1", "A2", "B1", "B2"} and "" not in first.mo_symmetry
    homo = first.orbital_index("HOMO")
    assert first.mo_occ[homo] == 2 and first.mo_energy[homo] < 0
    turn = compute.orientation_of(first)
    given = np.array([p for _, p in WATER])
    placed = first.positions.astype(np.float64) * lk.BOHR_IN_ANGSTROM
    assert np.allclose(turn.apply(given), placed, atol=1e-5)   # the record states the turn
    start = time.perf_counter()
    again = lk.compute_orbitals(WATER, method="hf", basis="sto-3g", cache_dir=tmp_path,
                                progress=False)
    assert time.perf_counter() - start < 2.0
    assert np.array_equal(first.mo_coeff, again.mo_coeff)
    assert again.computation["key"] == first.computation["key"]
    fresh = lk.compute_orbitals(WATER, method="hf", basis="sto-3g", cache_dir=tmp_path,
                                recompute=True, progress=False)
    assert np.allclose(np.abs(fresh.mo_coeff), np.abs(first.mo_coeff), atol=1e-4)
    other = lk.compute_orbitals(WATER, method="pbe", basis="sto-3g", cache_dir=tmp_path,
                                progress=False)
    assert other.computation["key"] != first.computation["key"]


def test_open_shells_take_the_unrestricted_or_restricted_open_method(tmp_path):
    radical = [("O", (0.0, 0.0, 0.0)), ("H", (0.0, 0.0, 0.97))]
    u = lk.compute_orbitals(radical, method="hf", basis="sto-3g", spin=1, cache_dir=tmp_path,
                            progress=False)
    assert u.computation["scf"].startswith("SymAdaptedUHF") or "UHF" in u.computation["scf"]
    assert not u.spin_restricted and u.orbital_label(u.orbital_index("HOMO")) == "HOMO (alpha)"
    ro = lk.compute_orbitals(radical, method="rohf", basis="sto-3g", spin=1, cache_dir=tmp_path,
                             progress=False)
    assert ro.spin_restricted and sorted(set(ro.mo_occ)) == [0, 1, 2]


def test_refusals_come_before_any_work_in_one_line(tmp_path, monkeypatch):
    def one_line(error):
        assert "\n" not in str(error.value)

    with pytest.raises(InputError, match="'b3lpy' is neither Hartree-Fock") as error:
        lk.compute_orbitals(WATER, method="b3lpy", cache_dir=tmp_path)
    one_line(error)
    with pytest.raises(InputError, match="'no-such-basis' is not a basis PySCF has") as error:
        lk.compute_orbitals(WATER, basis="no-such-basis", cache_dir=tmp_path, progress=False)
    one_line(error)
    with pytest.raises(MemoryLimitError, match="would need about .* more than the limit of "
                                               "1 MB .*density_fit=False") as error:
        lk.compute_orbitals(WATER, basis="def2-svp", max_memory="1M", cache_dir=tmp_path,
                            progress=False)
    one_line(error)
    with pytest.raises(InputError, match="give a structure or smiles=..., one of them"):
        lk.compute_orbitals("benzene", smiles="c1ccccc1", cache_dir=tmp_path)
    with pytest.raises(ReadError, match="unknown molecule 'c1ccccc1': .*smiles="):
        lk.compute_orbitals("c1ccccc1", cache_dir=tmp_path)
    assert not list((tmp_path).glob("*.molden"))   # nothing was computed

    import importlib
    import importlib.util
    real = importlib.import_module

    def without_tblite(name, *args):
        if name.startswith("tblite"):
            raise ImportError(name)
        return real(name, *args)

    monkeypatch.setattr(importlib, "import_module", without_tblite)
    real_spec = importlib.util.find_spec
    monkeypatch.setattr(importlib.util, "find_spec",
                        lambda name, *a: None if name.startswith("tblite") else real_spec(name, *a))
    with pytest.raises(MissingExtraError, match=r"the geometry optimisation needs tblite: pip "
                                                r"install 'libkernels\[pyscf\]'"):
        lk.compute_orbitals(smiles="O", cache_dir=tmp_path, progress=False)


def test_the_progress_line_and_the_estimate_go_to_stderr(tmp_path, capsys):
    lk.compute_orbitals(WATER, method="hf", basis="6-31g", cache_dir=tmp_path, threads=1)
    err = capsys.readouterr().err
    assert "basis functions: about" in err and "converged in" in err
    lines = [line for line in err.splitlines() if line.strip()]
    assert all("\r" not in line for line in lines)   # into a log: no carriage returns


def test_a_structure_from_smiles_is_optimised_and_kept_so_a_hit_is_instant(tmp_path):
    pytest.importorskip("tblite.interface")
    first = lk.compute_orbitals(smiles="C#C", method="hf", basis="sto-3g", cache_dir=tmp_path,
                                progress=False)
    record = first.computation
    assert record["optimisation"]["method"] == "GFN2-xTB" and record["point_group"] == "Dooh"
    positions = first.positions.astype(np.float64)
    assert np.abs(positions[:, 1:]).max() < 1e-6        # linear, along x
    start = time.perf_counter()
    lk.compute_orbitals(smiles="C#C", method="hf", basis="sto-3g", cache_dir=tmp_path,
                        progress=False)
    assert time.perf_counter() - start < 1.0            # neither RDKit nor xTB again


# ---- killed processes leave nothing that is read ----------------------------------------------

CHILD = textwrap.dedent("""
    import os, sys, time
    import libkernels as lk
    from libkernels.structures import store
    stage = sys.argv[1]
    if stage == "write":
        real = os.fsync
        calls = []
        def slow_fsync(descriptor):
            calls.append(descriptor)
            if len(calls) == 2:          # the record's temporary file, after the Molden file
                sys.stderr.write("writing the record\\n"); sys.stderr.flush()
                time.sleep(60)
            real(descriptor)
        os.fsync = slow_fsync
    lk.compute_orbitals({atoms!r}, method="hf", basis=sys.argv[2], cache_dir=sys.argv[3],
                        threads=1, progress=True)
""")


def _kill_when(tmp_path, stage, basis, marker):
    atoms = [(s, tuple(float(v) for v in p)) for s, p in zip(*_benzene_atoms())]
    env = {**os.environ, "OMP_NUM_THREADS": "1", "PYTHONUNBUFFERED": "1"}
    child = subprocess.Popen([sys.executable, "-c", CHILD.format(atoms=atoms), stage, basis,
                              str(tmp_path)], stderr=subprocess.PIPE, text=True, env=env)
    seen = []
    try:
        for line in child.stderr:
            seen.append(line)
            if marker in line:
                time.sleep(0.3)
                break
        child.send_signal(signal.SIGKILL)
        child.wait(30)
    finally:
        if child.poll() is None:
            child.kill()
    assert child.returncode == -signal.SIGKILL, "".join(seen)
    return atoms


def test_a_scf_killed_half_way_leaves_no_entry_and_the_next_call_computes(tmp_path):
    atoms = _kill_when(tmp_path, "scf", "6-31g", "basis functions: about")
    assert not list(tmp_path.glob("*.molden")) and not [
        p for p in tmp_path.glob("*.json") if not p.name.startswith("geometry-")]
    mol = lk.compute_orbitals(atoms, method="hf", basis="6-31g", cache_dir=tmp_path, threads=1,
                              progress=False)
    assert mol.computation["cycles"] > 0 and len(list(tmp_path.glob("*.molden"))) == 1


def test_a_process_killed_while_writing_leaves_nothing_that_is_read(tmp_path):
    atoms = _kill_when(tmp_path, "write", "sto-3g", "writing the record")
    moldens = list(tmp_path.glob("*.molden"))
    assert len(moldens) == 1                      # the Molden file was complete ...
    key = moldens[0].stem
    assert not (tmp_path / f"{key}.json").exists()  # ... its record was not
    assert store.load(key, tmp_path) is None
    mol = lk.compute_orbitals(atoms, method="hf", basis="sto-3g", cache_dir=tmp_path,
                              progress=False)
    assert mol.computation["key"] == key and (tmp_path / f"{key}.json").exists()
    # an entry whose Molden file changed since its record was written is not read either
    moldens[0].write_text(moldens[0].read_text().replace("Occup=", "Occup= "))
    assert store.load(key, tmp_path) is None


def test_an_interrupt_during_the_scf_leaves_no_entry(tmp_path, monkeypatch):
    def interrupted(mf, progress):
        progress({"cycle": 0, "e_tot": -75.0, "last_hf_e": -74.0})
        raise KeyboardInterrupt

    monkeypatch.setattr(compute, "run", interrupted)
    with pytest.raises(KeyboardInterrupt):
        lk.compute_orbitals(WATER, method="hf", basis="sto-3g", cache_dir=tmp_path,
                            progress=False)
    assert not list(tmp_path.glob("*.molden"))


# ---- what a front end means by a molecule -----------------------------------------------------

def test_resolve_molecule_reads_files_examples_and_the_catalogue_in_that_order(tmp_path):
    from libkernels.structures import resolve_molecule
    assert resolve_molecule("benzene").title.endswith("benzene.molden")   # the example
    assert resolve_molecule(lk.example_path("pentacene")).n_atoms == 36   # a Molden file
    xyz = tmp_path / "water.xyz"
    xyz.write_text("3\nwater\n" + "".join(f"{s} {x} {y} {z}\n" for s, (x, y, z) in WATER))
    computed = resolve_molecule(str(xyz), method="hf", basis="sto-3g", cache_dir=tmp_path,
                                progress=False)
    assert computed.computation["origin"] == "file"
    with pytest.raises(ReadError, match=r"^unknown molecule 'PTCDAx': not a file, an example "
                                        r"or a catalogue entry \(libkernels molecules lists "
                                        r"them\); did you mean PTCDA\?$"):
        resolve_molecule("PTCDAx")
    other = tmp_path / "notes.txt"
    other.write_text("nothing\n")
    with pytest.raises(ReadError, match="neither a wavefunction file .* nor a structure file"):
        resolve_molecule(str(other))


# ---- orbitals by their own names -------------------------------------------------------------

def test_orbitals_with_names_are_selected_by_them_and_names_must_be_unambiguous():
    from conftest import tiny_molecule
    arguments = tiny_molecule()
    n = np.asarray(arguments["mo_coeff"]).shape[0]
    names = [f"IP{k + 1}" for k in range(n)]
    mol = lk.Molecule(**arguments, mo_name=names)
    assert mol.orbital_index("ip2") == 1 and mol.orbital_label(1) == "IP2"
    assert mol.orbital_index("HOMO") == mol.orbital_index(mol.orbital_label(
        mol.orbital_index("HOMO")))
    with pytest.raises(MoleculeError, match="own names \\(IP1"):
        mol.orbital_index("IPX")
    with pytest.raises(MoleculeError, match="two orbitals of the same spin are named 'IP1'"):
        lk.Molecule(**arguments, mo_name=["IP1"] * n)
    with pytest.raises(MoleculeError, match="would read as an index or as a name relative"):
        lk.Molecule(**arguments, mo_name=["HOMO-1"] + [""] * (n - 1))


def test_the_shipped_benzene_is_reproduced_from_its_own_coordinates(tmp_path, benzene):
    """The shipped example is RHF/def2-SVP (density fitting): computed again from its
    coordinates, turned into the library's frame (a symmetry operation of benzene
    here), the map of the degenerate HOMO pair agrees to 1e-3 of its maximum."""
    symbols, positions = _benzene_atoms()
    mol = lk.compute_orbitals(list(zip(symbols, positions.tolist())), method="hf",
                              basis="def2-svp", threads=1, progress=False, cache_dir=tmp_path)
    settings = dict(photon_energy=35, work_function=4.5, k_max=2.5, n=61, weights=[1, 1])
    ours = lk.momentum_map_sum(mol, ["HOMO", "HOMO-1"], **settings).data
    shipped = lk.momentum_map_sum(benzene, ["HOMO", "HOMO-1"], **settings).data
    assert np.abs(ours - shipped).max() < 1e-3 * shipped.max()
    homo = mol.orbital_index("HOMO")
    assert mol.mo_energy[homo] == pytest.approx(benzene.mo_energy[benzene.orbital_index("HOMO")],
                                                abs=1e-6)


def test_every_command_takes_a_catalogue_name_smiles_or_structure_file(tmp_path, capsys,
                                                                        monkeypatch):
    """The command line computes orbitals where a molecule is named by the catalogue, a
    structure file or --smiles; a second run reads the cache, and the record makes the
    same map again."""
    from libkernels.cli import main

    monkeypatch.setenv("LIBKERNELS_CACHE_DIR", str(tmp_path / "cache"))
    quick = ["--method", "hf", "--basis", "sto-3g", "--resolution", "21", "--quiet"]
    assert main(["map", "--smiles", "C=O", "--no-optimise", *quick, "-o",
                 str(tmp_path / "a")]) == 0
    made = sorted(p.name for p in (tmp_path / "a").iterdir() if p.suffix == ".json")
    record = __import__("json").loads((tmp_path / "a" / made[0]).read_text())
    assert record["request"]["smiles"] == "C=O" and record["molecule_sha256"]
    clock = time.perf_counter()
    assert main(["map", "--from-record", str(tmp_path / "a" / made[0]), "--quiet", "-o",
                 str(tmp_path / "b")]) == 0
    assert time.perf_counter() - clock < 5  # the cache, not another SCF
    npy = made[0].replace(".json", ".npy")
    assert (tmp_path / "a" / npy).read_bytes() == (tmp_path / "b" / npy).read_bytes()

    xyz = tmp_path / "water.xyz"
    xyz.write_text("3\nwater\n" + "".join(f"{s} {x} {y} {z}\n" for s, (x, y, z) in WATER))
    assert main(["map", str(xyz), *quick, "-o", str(tmp_path / "c")]) == 0
    assert (tmp_path / "c" / "water_HOMO.npy").exists()
    capsys.readouterr()
    assert main(["orbitals", str(xyz), "--method", "hf", "--basis", "sto-3g", "--around",
                 "1"]) == 0
    listing = capsys.readouterr().out
    assert "HOMO" in listing and ("B1" in listing or "B2" in listing)  # point-group labels

    assert main(["molecules"]) == 0
    assert "PTCDA" in capsys.readouterr().out
    assert main(["map", "PTCDX", "-o", str(tmp_path / "d")]) == 2
    error = capsys.readouterr().err
    assert error.count("\n") == 1 and "unknown molecule 'PTCDX'" in error and "PTCDA" in error
    assert main(["map", "pentacene", "--smiles", "C", "-o", str(tmp_path / "e")]) == 2
    assert "exclude each other" in capsys.readouterr().err


def test_dyson_orbitals_weigh_maps_by_their_pole_strengths(tmp_path, monkeypatch):
    """-O IP1 names a Dyson orbital; its map is weighed by its pole strength."""
    pytest.importorskip("pyscf.cc")
    monkeypatch.setenv("LIBKERNELS_CACHE_DIR", str(tmp_path / "cache"))
    request = lk.MapRequest(molecule=None, smiles="[H][H]", method="eom-ip-ccsd",
                            basis="6-31g", optimise=False, orbitals=["IP1"],
                            kinetic_energy=20.0, n=15, progress=False)
    m = request.run()[0]
    molecule = request.read_molecule(lk.requests.base.Inputs(request))  # the cache now
    strength = float(molecule.mo_occ[molecule.orbital_index("IP1")])
    assert 0.8 < strength < 1.0 and m.parameters["weights"] == [pytest.approx(strength)]
