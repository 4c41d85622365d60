"""Molden files written by other programs: check, correct, convert.

The files come with the qc-iodata wheel (iodata/test/data), or from wherever
LIBKERNELS_MOLDEN_DATA points.  PySCF serves as the independent program: its overlap integrals, its own
Molden reader and its evaluation of the orbitals on grids.
"""

import warnings

import numpy as np
import pytest

import libkernels as lk
from libkernels import DroppedPartsWarning, MoldenCorrectionWarning
from libkernels.basis.overlap import cartesian_powers, overlap_matrix
from libkernels.core.molecule import orbital_rows
from libkernels.cli import main

from conftest import AGREEMENT, molden_data, requires
from reference_harmonics import evaluate_basis, solid_harmonics


DATA = molden_data()

# file: (reading the check must choose, what the file holds beyond pure l <= 4 that
# is left out, what is represented by fitted pure shells of lower degree).  Several
# files write pure functions in Cartesian form: their r^2 parts are rounding only.
EXPECTED = {
    "nh3_molden_pure.molden": ("plain", "", ""),
    "nh3_molden_cart.molden": ("plain", "", "r^2 parts of Cartesian d"),
    "nh3_orca.molden": ("orca", "", ""),
    "nh3_psi4.molden": ("psi4", "", ""),
    "nh3_psi4_1.0.molden": ("plain", "", ""),
    "nh3_molpro2012.molden": ("plain", "", ""),  # pure functions in Cartesian form
    "nh3_turbomole.molden": ("turbomole", "", ""),
    "neon_turbomole_def2-qzvp.molden": ("turbomole", "", ""),
    "h2o_ccpvdz_cfour.molden": ("cfour", "", "r^2 parts of Cartesian d"),
    "h_fonly_sph_cfour.molden": ("cfour", "", ""),
    "h_gonly_sph_cfour.molden": ("cfour", "", ""),
    "orca_zn_cc_pvqz_pure.molden": ("orca", "h functions", ""),
    "psi4_zn_cc_pvqz_pure.molden": ("plain", "h functions", ""),
    "he2_ghost_psi4_1.0.molden": ("plain", "", ""),
    "F.molden": ("psi4", "", ""),
}
# pure functions up to g only: PySCF can read these and evaluate every function
PURE_FILES = ["nh3_molden_pure.molden", "nh3_orca.molden", "nh3_psi4.molden",
              "nh3_psi4_1.0.molden", "F.molden", "he2_ghost_psi4_1.0.molden"]


def _path(name):
    return DATA / name


def _read(name, **options):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        molecule = lk.read_molden(_path(name), **options)
    return molecule, [w for w in caught]


def library_overlap(molecule):
    """Overlap matrix of a Molecule's basis in the library's convention, built
    from the library's harmonic table (not from the reader's own matrices)."""
    shells, transforms = [], []
    shell = prim = 0
    for atom, count in enumerate(molecule.shells_per_atom):
        for _ in range(count):
            l, n = int(molecule.shell_l[shell]), int(molecule.shell_n_prim[shell])
            shells.append((molecule.positions[atom].astype(float), l,
                           molecule.prim_exponent[prim:prim + n].astype(float),
                           molecule.prim_coeff[prim:prim + n].astype(float)))
            # fit the table's harmonics with monomials at random points
            points = np.random.default_rng(l).normal(size=(60, 3))
            monomials = np.prod(points[:, None, :] ** cartesian_powers(l)[None], axis=2)
            table = solid_harmonics(*points.T)[l * l:(l + 1) ** 2].T
            transforms.append(np.linalg.lstsq(monomials, table, rcond=None)[0])
            shell += 1
            prim += n
    size = [t.shape for t in transforms]
    block = np.zeros((sum(s[0] for s in size), sum(s[1] for s in size)))
    r = c = 0
    for t in transforms:
        block[r:r + t.shape[0], c:c + t.shape[1]] = t
        r, c = r + t.shape[0], c + t.shape[1]
    return block.T @ overlap_matrix(shells) @ block


@pytest.mark.parametrize("name", sorted(EXPECTED))
def test_each_file_loads_orthonormal_with_its_writers_correction(name):
    molecule, caught = _read(name)
    reading, dropped, fitted = EXPECTED[name]
    record = molecule.conversion
    assert (record.reading, record.dropped) == (reading, dropped)
    assert any(note.startswith(fitted + " represented") for note in record.notes) if fitted \
        else not any("represented" in note for note in record.notes)
    corrected = [w for w in caught if issubclass(w.category, MoldenCorrectionWarning)]
    assert len(corrected) == (reading != "plain")
    assert (record.error_before > 1e-2) == (reading != "plain")
    assert record.error_after < 1e-4
    # a warning only where something measurable is lost (not for h functions that the
    # orbitals do not use)
    assert any(issubclass(w.category, DroppedPartsWarning) for w in caught) == \
        (bool(dropped) and record.dropped_fraction.max() > 1e-12)
    # the converted orbitals that lose nothing measurable are orthonormal in the
    # library's own convention
    kept = np.flatnonzero(record.dropped_fraction < 1e-8)
    c = molecule.mo_coeff[kept].astype(np.float64)
    s = library_overlap(molecule)
    for spin in (0, 1):
        rows = molecule.mo_spin[kept] == spin
        if rows.any():
            gram = c[rows] @ s @ c[rows].T
            assert np.abs(gram - np.eye(len(gram))).max() < 1e-4
    AGREEMENT[f"Molden {name}"] = (f"{record.reading}: orthonormality error "
                                   f"{record.error_before:.2g} -> {record.error_after:.2g}"
                                   + (f"; left out {dropped}" if dropped else "")
                                   + (f"; fitted {fitted}" if fitted else "")
                                   + (f", up to {record.dropped_fraction.max():.2g} of an "
                                      "orbital's norm not represented"
                                      if dropped or fitted else ""))


def test_spins_ghosts_and_extra_sections_are_read_as_users_expect():
    f, _ = _read("F.molden")
    assert (np.count_nonzero(f.mo_spin == 0), np.count_nonzero(f.mo_spin == 1)) == (30, 30)
    assert f.mo_occ[f.orbital_index("HOMO", "alpha")] == 1.0
    assert f.orbital_index("HOMO", "beta") != f.orbital_index("HOMO", "alpha")
    he2, _ = _read("he2_ghost_psi4_1.0.molden")
    assert list(he2.atomic_numbers) == [0, 2] and list(he2.shells_per_atom) == [2, 2]
    assert "ghost" in he2.conversion.notes[0]
    molpro, _ = _read("nh3_molpro2012.molden")  # [Molpro variables], [Atoms] in angstrom
    assert molpro.n_atoms == 4 and molpro.n_orbitals == 50
    orca, _ = _read("nh3_orca.molden")  # the same geometry, given in bohr
    np.testing.assert_allclose(molpro.positions, orca.positions, atol=2e-6)
    cfour, _ = _read("h2o_ccpvdz_cfour.molden")  # [Molden Format] written twice
    assert cfour.n_orbitals == 15
    assert molpro.mo_symmetry[0] and len(molpro.mo_symmetry) == 50


def _pyscf_reading(name, reading, path=None):
    """PySCF's own reading of a file (or of `path`, a copy of it), with the same
    correction applied to it."""
    pyscf_molden = pytest.importorskip("pyscf.tools.molden")
    from pyscf import gto

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        mol, _, coeff, _, _, _ = pyscf_molden.load(str(path or _path(name)))
    coeff = [np.asarray(coeff)] if np.asarray(coeff).ndim == 2 else list(coeff)
    if reading in ("orca", "psi4"):  # the coefficients carry the primitive normalisation
        basis = {label: [[shell[0]] + [[e, c / gto.gto_norm(shell[0], e)] for e, c in shell[1:]]
                         for shell in shells] for label, shells in mol._basis.items()}
        mol = mol.copy()
        mol.basis = basis
        mol.build()
    if reading == "orca":  # f and g components with |m| = 3, 4 (PySCF lists m = -l..l)
        sign = np.concatenate([[-1.0 if abs(m) >= 3 and l in (3, 4) else 1.0
                                for m in range(-l, l + 1)] for l in
                               (mol.bas_angular(b) for b in range(mol.nbas)
                                for _ in range(mol.bas_nctr(b)))])
        coeff = [c * sign[:, None] for c in coeff]
    return mol, coeff


@pytest.mark.parametrize("name", PURE_FILES)
def test_pure_files_match_pyscfs_evaluation(name):
    requires("scalar_field")
    molecule, _ = _read(name)
    mol, coeff = _pyscf_reading(name, molecule.conversion.reading)
    # PySCF's overlap integrals give the same error for the plain reading
    plain, plain_coeff = _pyscf_reading(name, "plain")
    s = plain.intor("int1e_ovlp_cart" if plain.cart else "int1e_ovlp")
    errors = [np.abs(c.T @ s @ c - np.eye(c.shape[1])).max() for c in plain_coeff]
    assert max(errors) == pytest.approx(molecule.conversion.error_before, rel=1e-6, abs=1e-9)

    grid = lk.Grid((-2.3, -2.1, -1.9), 0.37, (13, 12, 14))
    points = np.stack(np.meshgrid(grid.axis(0), grid.axis(1), grid.axis(2), indexing="ij"),
                      axis=-1).reshape(-1, 3)
    values = mol.eval_gto("GTOval_cart" if mol.cart else "GTOval_sph", points)
    worst = 0.0
    for spin, c in enumerate(coeff):
        for selector in ("HOMO", "LUMO", 0):
            row = molecule.orbital_index(selector, spin)
            column = row - np.flatnonzero(molecule.mo_spin == spin)[0]
            reference = (values @ c[:, column]).reshape(13, 12, 14).transpose(2, 1, 0)
            field = lk.scalar_field(molecule, row, grid=grid).data
            worst = max(worst, np.abs(field - reference).max() / np.abs(reference).max())
    AGREEMENT[f"scalar_field vs PySCF on {name}"] = f"max |diff| / max |psi| = {worst:.2e}"
    assert worst < 5e-6


def _without_h_functions(text):
    """A one-atom Molden file of pure functions ([5D], [7F], [9G]) without its h shells,
    the orbitals' coefficients renumbered."""
    lines = text.splitlines()
    start, stop = lines.index("[GTO]"), next(i for i, l in enumerate(lines)
                                              if l.strip().startswith("[5D"))
    kept, drop, function, i = lines[:start + 1], set(), 0, start + 1
    while i < stop:
        words = lines[i].split()
        if words and words[0].lower() in "spdfgh" and len(words) >= 2 and words[1].isdigit():
            l, primitives = "spdfgh".index(words[0].lower()), int(words[1])
            size = 2 * l + 1
            if l == 5:
                drop.update(range(function + 1, function + size + 1))
            else:
                kept += lines[i:i + primitives + 1]
            function += size
            i += primitives + 1
        else:
            kept.append(lines[i])
            i += 1
    out, number = kept + lines[stop:lines.index("[MO]") + 1], 0
    for line in lines[lines.index("[MO]") + 1:]:
        words = line.split()
        if len(words) == 2 and words[0].isdigit():
            index = int(words[0])
            if index == 1:
                number = 0
            if index in drop:
                continue
            number += 1
            line = f"{number:4d} {words[1]}"
        out.append(line)
    return "\n".join(out) + "\n"


def test_orca_f_and_g_signs_against_an_independent_evaluation(tmp_path):
    """ORCA writes the pure f and g components with |m| = 3, 4 with the opposite sign.
    Orthonormality cannot see that sign when one atom carries the f and g functions, so
    it is checked here: the LUMO of ORCA's zinc file (f and g functions, h left out)
    against PySCF's evaluation of the file with ORCA's signs applied by this test."""
    requires("scalar_field", "momentum_map_sum")
    name = "orca_zn_cc_pvqz_pure.molden"
    molecule, _ = _read(name)
    assert molecule.conversion.reading == "orca"
    # PySCF reads no h functions: the file without them (the library leaves them out too)
    copy = tmp_path / name
    copy.write_text(_without_h_functions(_text(name)))
    mol, (coeff,) = _pyscf_reading(name, "orca", copy)
    grid = lk.Grid((-1.9, -1.7, -1.8), 0.29, (13, 12, 14))
    points = np.stack(np.meshgrid(grid.axis(0), grid.axis(1), grid.axis(2), indexing="ij"),
                      axis=-1).reshape(-1, 3)
    values = mol.eval_gto("GTOval_sph", points)
    lumo = molecule.orbital_index("LUMO")
    reference = (values @ coeff[:, lumo]).reshape(13, 12, 14).transpose(2, 1, 0)
    field = lk.scalar_field(molecule, lumo, grid=grid).data
    worst = np.abs(field - reference).max() / np.abs(reference).max()
    AGREEMENT[f"LUMO (f, g) of {name} vs PySCF"] = f"max |diff| / max |psi| = {worst:.1e}"
    assert worst < 5e-6
    # the f and g functions matter to this orbital's map: without them it differs
    f_and_g = [i for i, l in enumerate(np.repeat(molecule.shell_l, 2 * molecule.shell_l + 1))
               if l in (3, 4)]
    assert np.abs(molecule.mo_coeff[lumo, f_and_g]).max() > 0.1 * np.abs(molecule.mo_coeff[lumo]).max()


def test_cartesian_shells_are_represented_whole_as_a_grid_integral_shows():
    """The r^2 parts of Cartesian d shells, fitted: the orbitals the library holds
    are the file's own (PySCF evaluates the file's Cartesian functions), and what
    the fit leaves out is as small on a grid as the conversion states."""
    gen_grid = pytest.importorskip("pyscf.dft.gen_grid")

    name = "nh3_molden_cart.molden"
    molecule, caught = _read(name)
    assert not any(issubclass(w.category, DroppedPartsWarning) for w in caught)
    mol, (coeff,) = _pyscf_reading(name, "plain")
    grids = gen_grid.Grids(mol)
    grids.level = 4
    grids.build()
    full = mol.eval_gto("GTOval_cart", grids.coords) @ coeff
    held = evaluate_basis(molecule, grids.coords) @ molecule.mo_coeff.T.astype(np.float64)
    w = grids.weights[:, None]
    measured = np.sum(w * (full - held) ** 2, axis=0) / np.sum(w * full ** 2, axis=0)
    stated = molecule.conversion.dropped_fraction
    assert stated.max() < 1e-8
    # (the float32 coefficients the library keeps add about 1e-12 on the grid)
    np.testing.assert_allclose(measured, stated, rtol=0.1, atol=1e-12)
    AGREEMENT[f"Cartesian r^2 parts fitted, {name}"] = (
        f"norm not represented: {stated.max():.1e} stated, {measured.max():.1e} on a grid")
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # nothing is left out: no warning when selecting
        assert orbital_rows(molecule, "HOMO") == [molecule.orbital_index("HOMO")]


def test_diffuse_cartesian_basis_maps_like_pyscfs_orbitals(tmp_path):
    """aug-cc-pVDZ in Cartesian form (PySCF writes the file): its diffuse d shells
    once made the HOMO lose more than 1% of its norm and be refused; now every
    orbital is the file's, as PySCF evaluates it."""
    requires("scalar_field")
    scf = pytest.importorskip("pyscf.scf")
    from pyscf import gto
    from pyscf.tools import molden

    mol = gto.M(atom="O 0 0 0; H 0 0.757 0.587; H 0 -0.757 0.587", basis="aug-cc-pvdz",
                cart=True, verbose=0)
    mf = scf.RHF(mol).run()
    path = tmp_path / "water_cart_aug.molden"
    molden.from_scf(mf, str(path))
    with warnings.catch_warnings():
        warnings.simplefilter("error", DroppedPartsWarning)
        molecule = lk.read(path)
    grid = lk.Grid((-2.3, -2.1, -1.9), 0.37, (13, 12, 14))
    points = np.stack(np.meshgrid(grid.axis(0), grid.axis(1), grid.axis(2), indexing="ij"),
                      axis=-1).reshape(-1, 3)
    values = mol.eval_gto("GTOval_cart", points)
    worst = 0.0
    for selector in ("HOMO", "HOMO-1", "LUMO", "LUMO+5", 0):
        row = molecule.orbital_index(selector)
        reference = (values @ mf.mo_coeff[:, row]).reshape(13, 12, 14).transpose(2, 1, 0)
        field = lk.scalar_field(molecule, row, grid=grid).data
        worst = max(worst, np.abs(field - reference).max() / np.abs(reference).max())
    AGREEMENT["scalar_field vs PySCF, Cartesian aug-cc-pVDZ water"] = \
        f"max |diff| / max |psi| = {worst:.1e}"
    assert worst < 2e-5


def test_h_functions_are_left_out_with_their_norm_fraction():
    molecule, _ = _read("orca_zn_cc_pvqz_pure.molden")
    fraction = molecule.conversion.dropped_fraction
    assert np.sort(fraction)[-2:] == pytest.approx([0.0, 1.0], abs=1e-9)  # one h orbital
    worst = int(np.argmax(fraction))
    with pytest.raises(ValueError, match=r"h functions left out"):
        orbital_rows(molecule, worst)
    relaxed, _ = _read("orca_zn_cc_pvqz_pure.molden", max_dropped_fraction=float("inf"))
    with pytest.warns(DroppedPartsWarning, match="h functions"):
        assert orbital_rows(relaxed, worst) == [worst]


def _text(name):
    return _path(name).read_text()


@pytest.mark.parametrize("edit, message", [
    (lambda t: t[:t.index(" Sym=", t.index(" Sym=") + 10) + 200].rsplit("\n", 1)[0] + "\n",
     "lacks .* coefficients"),
    (lambda t: t.replace(" d    1  1.00", " f    1  1.00", 1), "the counts disagree"),
    (lambda t: t.replace("  2       0.004699616790", "  2       nan", 1),
     "orbital 1 has a non-finite coefficient .* basis function 2"),
    (lambda t: t.replace(" d    1  1.00", " k    1  1.00", 1), "unknown shell type 'k'"),
    (lambda t: t.replace("  1       1.002585573873", "  1       1.012585573873", 1),
     "not orthonormal.*no known writer deviation explains it"),
], ids=["truncated", "counts", "nan", "shell letter", "unexplained"])
def test_malformed_variants_give_one_clear_error(edit, message):
    text = _text("nh3_psi4_1.0.molden")
    edited = edit(text)
    assert edited != text
    with pytest.raises(lk.MoldenError, match=message):
        lk.parse_molden(edited, name="nh3 variant")


@pytest.mark.parametrize("name", sorted(EXPECTED))
def test_cli_renders_a_map_from_each_file(name, tmp_path, capsys):
    requires("momentum_map_sum")
    path = str(_path(name))
    orbital = "LUMO" if "only_sph" in name else "HOMO"  # single-function files: no electrons
    assert main(["map", path, "-O", orbital, "--resolution", "15", "-o", str(tmp_path),
                 "--quiet"]) == 0
    assert len(list(tmp_path.glob("*.png"))) == 1
    if EXPECTED[name][0] != "plain":
        assert "corrected for a known writer deviation" in capsys.readouterr().err


def test_cli_refusals_are_one_line(tmp_path, capsys):
    requires("momentum_map_sum")
    zinc = _path("orca_zn_cc_pvqz_pure.molden")
    h_orbital = int(np.argmax(_read("orca_zn_cc_pvqz_pure.molden")[0].conversion
                              .dropped_fraction))
    assert main(["map", str(zinc), "-O", str(h_orbital), "--max-dropped-norm", "0.5", "-o",
                 str(tmp_path), "--quiet"]) == 2
    error = capsys.readouterr().err.strip().splitlines()[-1]
    assert error.startswith("libkernels map: error:") and "--max-dropped-norm" in error
    assert main(["map", str(_path("h_fonly_sph_cfour.molden")), "-o", str(tmp_path),
                 "--quiet"]) == 2
    assert "no occupied orbital" in capsys.readouterr().err


def test_the_same_molecule_from_every_writer_gives_the_same_map():
    """NH3 in the same geometry and basis, written by six programs: after the
    corrections the HOMO maps agree to the digits the files print (the
    Cartesian-d file has another basis: its pure part differs more)."""
    requires("momentum_map_sum")
    maps = {}
    for name in EXPECTED:
        if name.startswith("nh3_"):
            molecule, _ = _read(name)
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", DroppedPartsWarning)
                maps[name] = lk.momentum_map_sum(molecule, ["HOMO"], kinetic_energy=30.0,
                                                 k_max=2.5, n=41).data
    reference = maps.pop("nh3_molden_pure.molden")
    differences = {n: float(np.abs(m - reference).max() / reference.max())
                   for n, m in maps.items()}
    AGREEMENT["NH3 HOMO maps against the Molden-written pure file"] = ", ".join(
        f"{n}: {d:.1e}" for n, d in differences.items())
    for name, difference in differences.items():
        assert difference < (3e-3 if name == "nh3_molden_cart.molden" else 3e-4), name


@pytest.mark.parametrize("l", range(7))
def test_overlap_and_solid_harmonics_agree_with_pyscf(l):
    """Two-centre overlaps of Cartesian shells and the pure combinations up to
    l = 6, against PySCF's integrals and its Cartesian-to-pure transform."""
    from pyscf import gto

    from libkernels.basis.overlap import pure_from_cartesian

    mol = gto.M(atom="Ne 0 0 0; He 0.3 0.5 1.1", basis={"Ne": [[l, (0.9, 1.0)]],
                "He": [[l, (1.3, 1.0)]]}, cart=True, verbose=0)
    lexicographic = [(i, j, l - i - j) for i in range(l, -1, -1) for j in range(l - i, -1, -1)]
    index = [lexicographic.index(tuple(p)) for p in cartesian_powers(l)]
    n = len(index)
    # PySCF scales every component of a Cartesian shell like x^l, by gto_norm
    # (for s and p with the spherical factor folded in)
    shells = [(mol.atom_coord(a), l, [e], [gto.gto_norm(l, e) * (1 if l > 1 else
               np.sqrt((2 * l + 1) / (4 * np.pi)))]) for a, e in ((0, 0.9), (1, 1.3))]
    ours = overlap_matrix(shells)
    theirs = mol.intor("int1e_ovlp_cart")[np.ix_(index + [n + i for i in index],
                                                    index + [n + i for i in index])]
    np.testing.assert_allclose(ours, theirs, rtol=1e-10, atol=1e-14)
    # PySCF's pure functions (m = -l..l, p as x y z) are our columns in Molden order
    pyscf_m = [l] + [l + s * m for m in range(1, l + 1) for s in (1, -1)] if l > 1 else \
        list(range(2 * l + 1))
    c2s = gto.cart2sph(l, normalized="sp")[index][:, pyscf_m]
    ratio = c2s / np.where(np.abs(pure_from_cartesian(l)) > 1e-12, pure_from_cartesian(l), np.nan)
    ratio = ratio[np.isfinite(ratio)]
    assert np.allclose(ratio, ratio[0], rtol=1e-10) and ratio[0] > 0


def test_tolerance_follows_the_printed_digits():
    """nh3_molden_pure prints six decimals: orthonormal to 3.5e-5, not to 1e-5."""
    with pytest.raises(lk.MoldenError, match="few digits may need a looser tolerance="):
        lk.read_molden(_path("nh3_molden_pure.molden"), tolerance=1e-5)
    molecule, _ = _read("nh3_molden_pure.molden", tolerance=1e-4)
    assert 1e-5 < molecule.conversion.error_after < 1e-4
