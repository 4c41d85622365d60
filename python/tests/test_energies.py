"""The photoelectron's energies: one rule, E_kin = photon energy - work function - E_B,
followed by every front end, the file's energies completing the caller's, and a record
that states each energy once, as given."""

import json

import numpy as np
import pytest

import libkernels as lk
from libkernels.core import energies as energy_rule
from libkernels.core.energies import Energies
from libkernels.explore.fitting import fit_energy
from libkernels.explore.molecules import Entry
from libkernels.fit.request import DeconvolutionRequest, FitRequest
from libkernels.kspace.convert import Conversion, _energies
from libkernels.kspace.axes import place
from libkernels.tomography.data import load_series

from conftest import requires


def test_given_energies_win_and_the_file_fills_in_only_what_is_left_open():
    stated = Energies.stated({"photon_energy": 40.0, "work_function": 4.0,
                              "kinetic_energy": 27.0, "binding_energy": 9.0})
    # nothing given: the file's own kinetic energy
    assert Energies().over(stated).kinetic()[0] == 27.0
    # a photon energy given: the file's kinetic energy would contradict it and goes
    merged = Energies(photon_energy=35.0).over(stated)
    assert merged.kinetic()[0] == 35.0 - 4.0 - 9.0
    assert merged.provenance() == {"photon_energy": "given", "work_function": "file",
                                   "binding_energy": "file"}
    assert merged.conflicts(stated) == {"photon_energy": (35.0, 40.0)}
    # a work function alone drops the file's kinetic energy too: never mixed silently
    assert Energies(work_function=4.5).over(stated).kinetic()[0] == 40.0 - 4.5 - 9.0
    # a kinetic energy given stands alone
    assert Energies(kinetic_energy=12.5).over(stated).settings() == {"kinetic_energy": 12.5}
    with pytest.raises(lk.InputError, match="binding_energy is missing"):
        Energies(photon_energy=35.0, work_function=4.5).kinetic()
    with pytest.raises(lk.InputError, match="must be positive, got -3 eV"):
        Energies(kinetic_energy=-3)
    with pytest.raises(lk.InputError, match="needs one value or one per orbital"):
        Energies(kinetic_energy=[20, 21, 22]).kinetic(2)


def test_a_map_record_states_each_energy_once_as_given(benzene, tmp_path):
    requires("momentum_map_sum")
    m = lk.momentum_map_sum(benzene, ["HOMO"], kinetic_energy=30.0, n=11)
    m.save(tmp_path)
    record = json.loads((tmp_path / "benzene_HOMO.json").read_text())
    assert record["request"]["kinetic_energy"] == 30.0 and record["kinetic_energy"] == [30.0]
    assert '"kinetic_energy": 30.0' in (tmp_path / "benzene_HOMO.json").read_text()
    photon = lk.momentum_map_sum(benzene, ["HOMO"], photon_energy=35.0, work_function=4.5,
                                 n=11)
    homo = -benzene.mo_energy[benzene.orbital_index("HOMO")] * lk.HARTREE_IN_EV
    # computed in eV, as the rule writes it, not through hartree and back
    assert photon.parameters["kinetic_energy"][0] == 35.0 - 4.5 - homo
    assert photon.parameters["binding_energy"][0] == homo


def _planted(photon_energy, work_function, binding_energy):
    """Another rule: one caller with a fallback of its own would not follow it."""
    return photon_energy - work_function - binding_energy + 1.0


def test_every_front_end_follows_the_one_rule(benzene, monkeypatch):
    """Plants a different rule in core/energies.py: every front end's kinetic energy must
    move by exactly the planted eV, or it computes the energy itself."""
    requires("momentum_map_sum")
    xr = pytest.importorskip("xarray")
    axis = np.linspace(-2.0, 2.0, 21)
    counts = np.ones((21, 21))
    stack = np.ones((3, 21, 21))
    binding = np.array([1.5, 1.6, 1.7])

    def energies():
        homo = -benzene.mo_energy[benzene.orbital_index("HOMO")] * lk.HARTREE_IN_EV
        values = {
            "map": lk.MapRequest(molecule=benzene, photon_energy=35.0, work_function=4.5,
                                 n=11, progress=False).call(benzene).parameters[
                "kinetic_energy"][0] - (35.0 - 4.5 - homo),
            "fit": FitRequest(measured=(counts, axis, axis), molecule=benzene,
                              orbitals=["HOMO"], photon_energy=35.0, work_function=4.5,
                              binding_energy=2.0).kinetic_energy_of(
                lk.load_measured((counts, axis, axis))) - 28.5,
            "reconstruction": load_series((counts, axis, axis), photon_energy=35.0,
                                          work_function=4.5, binding_energy=2.0)
            .kinetic_energy[0] - 28.5,
            "explorer": fit_energy((counts.astype(np.float32), axis, axis,
                                    {"photon_energy": 35.0, "work_function": 4.5,
                                     "binding_energy": 2.0}),
                                   Entry("benzene", "benzene", benzene), [0], None)[0] - 28.5,
        }
        cube = xr.Dataset({"intensity": (("binding_energy", "kx", "ky"), stack)},
                          coords={"binding_energy": binding, "kx": axis, "ky": axis},
                          attrs={"photon_energy": 35.0, "work_function": 4.5})
        placed = place(cube, None, "cube")
        values["conversion"] = _energies(placed, Conversion(), "cube").kinetic[0] - 29.0
        # the stack states its photon energy and work function: they reach the slices
        measured = lk.load_measured(cube.assign_coords(kx=axis, ky=axis))
        request = DeconvolutionRequest(stack=measured, molecule=benzene, orbitals=["HOMO"])
        values["deconvolution"] = request.slice_energies(measured)[1][0] - 29.0
        # a photon-energy scan: its kz lattice follows the kinetic energies of the rule
        scan = xr.Dataset({"intensity": (("hv", "phi"), np.ones((5, 21)))},
                          coords={"hv": ("hv", np.linspace(30, 40, 5), {"units": "eV"}),
                                  "phi": ("phi", np.linspace(-10, 10, 21), {"units": "deg"})})
        converted = lk.to_momentum(scan, work_function=4.5, inner_potential=0.0)
        values["photon-energy scan"] = converted.attrs["kinetic_energy_range"][1] - 35.5
        return values

    before = energies()
    assert all(abs(v) < 1e-9 for v in before.values()), before
    monkeypatch.setattr(energy_rule, "kinetic_energy", _planted)
    after = energies()
    assert {name: round(v, 9) for name, v in after.items()} == \
        {name: 1.0 for name in after}, after
