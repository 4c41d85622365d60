"""Property tests of the front end: whatever it is handed, a clear exception or a
sound result, never a crash, a hang or a silently wrong array.

The Molden reader is fed randomly damaged copies of a correct file (lines cut,
dropped, swapped, doubled, numbers replaced by junk); the Molecule model random
basis arrays, valid and invalid; the kernels random valid molecules whose maps
must be finite, non-negative and zero outside the photoelectron's disc.
"""

import numpy as np
import pytest

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import HealthCheck, given, settings, strategies as st  # noqa: E402

import libkernels  # noqa: E402
from libkernels.formats.molden import parse_molden  # noqa: E402

from conftest import requires, water_like  # noqa: E402

FAST = settings(max_examples=60, deadline=None,
                suppress_health_check=[HealthCheck.function_scoped_fixture,
                                       HealthCheck.too_slow])

JUNK = ["nan", "inf", "-inf", "1e400", "-1e40", "abc", "", "0", "-1", "2147483648", "1.5.2", "[MO]"]


@pytest.fixture(scope="module")
def clean_molden(tmp_path_factory):
    pyscf_molden = pytest.importorskip("pyscf.tools.molden")
    scf = pytest.importorskip("pyscf.scf")
    mol = water_like("6-31g*")
    mf = scf.RHF(mol).run()
    path = tmp_path_factory.mktemp("robust") / "water.molden"
    pyscf_molden.from_scf(mf, str(path))
    return path.read_text().splitlines()


def damage(lines, data):
    """One random kind of damage to a list of lines."""
    lines = list(lines)
    if not lines:
        return lines
    kind = data.draw(st.sampled_from(["cut", "drop", "swap", "double", "junk", "cut-line"]))
    at = data.draw(st.integers(0, len(lines) - 1))
    if kind == "cut":
        return lines[:at]
    if kind == "cut-line":  # the file ends inside a line
        text = "\n".join(lines[:at + 1])
        return text[:data.draw(st.integers(0, len(text)))].split("\n")
    if kind == "drop":
        return lines[:at] + lines[at + 1:]
    if kind == "swap":
        other = data.draw(st.integers(0, len(lines) - 1))
        lines[at], lines[other] = lines[other], lines[at]
        return lines
    if kind == "double":
        return lines[:at + 1] + lines[at:]
    fields = lines[at].split()
    if fields:
        fields[data.draw(st.integers(0, len(fields) - 1))] = data.draw(st.sampled_from(JUNK))
    lines[at] = " ".join(fields)
    return lines


@FAST
@given(data=st.data())
def test_damaged_molden_files_end_in_a_clear_error_or_a_sound_molecule(clean_molden, data):
    lines = clean_molden
    for _ in range(data.draw(st.integers(1, 3))):
        lines = damage(lines, data)
    try:
        molecule = parse_molden(lines)
    except ValueError as error:  # MoldenError, or a model check naming the problem
        assert str(error).strip()
        return
    # Whatever was read is inside the library's data model.
    assert np.all(np.isfinite(molecule.positions))
    assert np.all((molecule.shell_l >= 0) & (molecule.shell_l <= 4))
    assert np.all(molecule.prim_exponent > 0) and np.all(np.isfinite(molecule.prim_coeff))
    assert molecule.mo_coeff.shape[1] == molecule.n_components


@st.composite
def basis_arrays(draw, valid=True):
    n_atoms = draw(st.integers(1, 4))
    shells_per_atom = draw(st.lists(st.integers(1, 3), min_size=n_atoms, max_size=n_atoms))
    n_shells = sum(shells_per_atom)
    shell_l = draw(st.lists(st.integers(0, 4), min_size=n_shells, max_size=n_shells))
    shell_n_prim = draw(st.lists(st.integers(1, 3), min_size=n_shells, max_size=n_shells))
    n_prims = sum(shell_n_prim)
    coordinate = st.floats(-4, 4, width=32)
    arrays = dict(
        atom_x=draw(st.lists(coordinate, min_size=n_atoms, max_size=n_atoms)),
        atom_y=draw(st.lists(coordinate, min_size=n_atoms, max_size=n_atoms)),
        atom_z=draw(st.lists(coordinate, min_size=n_atoms, max_size=n_atoms)),
        shells_per_atom=np.array(shells_per_atom, dtype=np.int32),
        shell_l=np.array(shell_l, dtype=np.int32),
        shell_n_prim=np.array(shell_n_prim, dtype=np.int32),
        prim_exponent=draw(st.lists(st.floats(0.0625, 30, width=32), min_size=n_prims,
                                    max_size=n_prims)),
        prim_coeff=draw(st.lists(st.floats(-2, 2, width=32), min_size=n_prims, max_size=n_prims)))
    n_components = sum(2 * l + 1 for l in shell_l)
    arrays["mo_coeff"] = np.array(draw(st.lists(
        st.floats(-1, 1, width=32), min_size=n_components, max_size=n_components)),
        dtype=np.float32)[None, :]
    arrays["mo_energy"], arrays["mo_occ"] = [-0.4], [2.0]
    if valid:
        return arrays
    # Spoil one thing the model forbids.
    spoil = draw(st.sampled_from(["nan-position", "inf-position", "l5", "l-1", "exponent",
                                  "length", "float-l", "short-mo", "nan-coefficient"]))
    if spoil == "nan-position":
        arrays["atom_y"][0] = float("nan")
    elif spoil == "inf-position":
        arrays["atom_z"][-1] = float("inf")
    elif spoil == "l5":
        arrays["shell_l"][-1] = 5
    elif spoil == "l-1":
        arrays["shell_l"][0] = -1
    elif spoil == "exponent":
        arrays["prim_exponent"][0] = draw(st.sampled_from([0.0, -1.0, float("nan")]))
    elif spoil == "length":
        arrays["prim_coeff"] = arrays["prim_coeff"][:-1]
    elif spoil == "float-l":
        arrays["shell_l"] = arrays["shell_l"].astype(np.float64) + 0.5
    elif spoil == "short-mo":
        arrays["mo_coeff"] = arrays["mo_coeff"][:, :-1]
    else:
        arrays["prim_coeff"][-1] = float("nan")
    return arrays


@FAST
@given(arrays=basis_arrays(valid=False))
def test_model_refuses_arrays_outside_the_library_contract(arrays):
    with pytest.raises(ValueError) as error:
        libkernels.Molecule(**arrays)
    assert str(error.value).strip()


@FAST
@given(arrays=basis_arrays(), e_kin=st.floats(0.2, 3.0),
       angles=st.tuples(*[st.floats(-180, 180)] * 3))
def test_maps_of_valid_molecules_are_finite_and_vanish_outside_the_disc(arrays, e_kin, angles):
    requires("momentum_map")
    molecule = libkernels.Molecule(**arrays)
    result = libkernels.momentum_map(molecule, 0, kinetic_energy=e_kin, energy_unit="hartree",
                                     k_max=2.5, n=17, k_unit="1/bohr", orientation=angles)
    data = result.data
    assert np.all(np.isfinite(data)) and np.all(data >= 0)
    kx, ky = np.meshgrid(result.kx, result.ky, indexing="ij")
    outside = kx ** 2 + ky ** 2 > 2 * e_kin * (1 + 1e-5)
    assert np.all(data[outside] == 0)


@FAST
@given(values=st.lists(st.floats(-1e3, 1e3, width=32), min_size=9, max_size=64))
def test_map_operations_keep_their_contracts(values):
    requires("normalisation", "flip_over_x", "flip_over_y")
    n = int(np.sqrt(len(values)))
    data = np.array(values[:n * n], dtype=np.float32).reshape(n, n)
    grid = libkernels.MomentumMap(data, -1.0, 0.25, "1/bohr", {})
    for flip in (libkernels.flip_over_x, libkernels.flip_over_y):
        twice = flip(flip(grid))
        assert twice.data.tobytes() == data.tobytes()
    scaled = libkernels.normalisation(grid).data
    if data.max() > 0:
        assert abs(scaled.max() - 255) < 1e-3
    else:
        assert scaled.tobytes() == data.tobytes()
