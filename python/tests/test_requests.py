"""What the Python functions accept and refuse, in which units they answer, what
memory they may take, how they stop on Ctrl-C, and their labelled output."""

import _thread
import threading
import time

import numpy as np
import pytest

import libkernels as lk
from libkernels import InputError, MemoryLimitError, scan_to_xarray
from libkernels.core.kernels import _orbitals_on_grid
from libkernels.core.memory import parse_size
from libkernels.core.molecule import orbital_rows

MAP = dict(kinetic_energy=20.0, k_max=2.0, n=21)


@pytest.mark.parametrize("call, name, phrase", [
    (lambda m: lk.momentum_map_sum(m, ["HOMO"], photon_energy=float("nan"), work_function=4.5),
     "photon_energy", "finite number, got nan eV"),
    (lambda m: lk.momentum_map_sum(m, ["HOMO"], photon_energy=float("inf"), work_function=4.5),
     "photon_energy", "finite number, got inf eV"),
    (lambda m: lk.momentum_map_sum(m, ["HOMO"], photon_energy=35, work_function=-1),
     "work_function", "must not be negative, got -1 eV"),
    (lambda m: lk.momentum_map_sum(m, ["HOMO"], photon_energy=6, work_function=4.5),
     "photon_energy", "kinetic energy <= 0"),
    (lambda m: lk.momentum_map_sum(m, ["HOMO"], kinetic_energy=-5),
     "kinetic_energy", "must be positive, got -5 eV"),
    (lambda m: lk.momentum_map_sum(m, ["HOMO"], **MAP, orientation=(0, float("nan"), 0)),
     "orientation", "finite number, got nan°"),
    (lambda m: lk.momentum_map_sum(m, ["HOMO"], **MAP, polarisation="linear", s_share=150),
     "s_share", "between 0% and 100%, got 150%"),
    (lambda m: lk.momentum_map_sum(m, ["HOMO"], **MAP, polarisation="p", incidence=95),
     "incidence", "between 0° and 90°, got 95°"),
    (lambda m: lk.momentum_map_sum(m, ["HOMO"], **MAP, polarisation="elliptic"),
     "polarisation", "must be one of"),
    (lambda m: lk.momentum_map(m, "HOMO", kinetic_energy=20, n=1), "n", "at least 2"),
    (lambda m: lk.momentum_map(m, -1, kinetic_energy=20), "orbital", "negative"),
    (lambda m: lk.scan_momentum_maps(m, ["HOMO"], threads=0, **MAP), "threads", "at least 1"),
    (lambda m: lk.scalar_field(m, spacing=0), "spacing", "must be positive, got 0 Å"),
    (lambda m: lk.scalar_field(m, spacing=1e-5), "spacing", "1e-05 Å would make a grid"),
    (lambda m: lk.scalar_field(m, margin=-1), "margin", "must not be negative, got -1 Å"),
    (lambda m: lk.momentum_density(m, k_max=0), "k_max", "must be positive, got 0 1/Å"),
    (lambda m: lk.Grid((0, 0, 0), 0.0, (2, 2, 2), unit="angstrom"), "step", "positive, got 0 Å"),
])
def test_bad_arguments_are_refused_naming_the_argument_in_the_callers_units(
        benzene, call, name, phrase):
    with pytest.raises(InputError) as error:
        call(benzene)
    assert error.value.name == name
    assert phrase in str(error.value)
    assert "bohr" not in str(error.value) and "\n" not in str(error.value)


def test_attributes_are_in_the_callers_units(benzene):
    m = lk.momentum_map_sum(benzene, ["HOMO"], photon_energy=35, work_function=4.5,
                            k_max=2.0, n=21)
    assert m.k_min == pytest.approx(-2.0, rel=1e-6) and m.kx[0] == pytest.approx(-2.0, rel=1e-6)
    assert m.k_step == pytest.approx(0.2, rel=1e-6)
    assert m.k_min_bohr == pytest.approx(-2.0 * lk.BOHR_IN_ANGSTROM, rel=1e-6)
    assert m.parameters["photon_energy"] == 35 and m.parameters["energy_unit"] == "eV"
    homo = benzene.mo_energy[benzene.orbital_index("HOMO")] * lk.HARTREE_IN_EV
    assert m.parameters["kinetic_energy"][0] == pytest.approx(35 - 4.5 + homo, rel=1e-6)
    field = lk.scalar_field(benzene, spacing=0.5, margin=1.0, unit="angstrom")
    assert field.unit == "angstrom" and field.grid.step == 0.5
    assert field.x[1] - field.x[0] == pytest.approx(0.5, rel=1e-6)
    assert field.grid.step_bohr == pytest.approx(0.5 / lk.BOHR_IN_ANGSTROM, rel=1e-6)
    in_bohr = lk.scalar_field(benzene, spacing=0.5, margin=1.0, unit="bohr")
    assert in_bohr.x[1] - in_bohr.x[0] == pytest.approx(0.5, rel=1e-6)


def test_memory_guard_refuses_before_allocating(benzene, monkeypatch):
    assert parse_size("1.5G") == 1.5 * 1024**3 and parse_size("none") is None
    with pytest.raises(MemoryLimitError) as error:
        lk.momentum_map_sum(benzene, ["HOMO"], kinetic_energy=20, n=20000, max_memory="1G")
    message = str(error.value)
    assert "20000 x 20000" in message and "2.98 GB" in message and "lower n" in message
    # the environment variable sets the default; the argument overrides it
    monkeypatch.setenv("LIBKERNELS_MAX_MEMORY", "1M")
    with pytest.raises(MemoryLimitError, match="lower n"):
        lk.momentum_density(benzene, n=101)
    with pytest.raises(MemoryLimitError, match="raise spacing or lower margin"):
        lk.charge_density_sum(benzene, spacing=0.1)
    assert lk.momentum_density(benzene, n=101, max_memory="8M").data.shape == (101,) * 3


def test_interrupt_stops_a_long_call_at_once_and_sums_match_one_call(pentacene):
    grid = lk.Grid.momentum_cube(4.0, 121)  # about 1.5 s of work on one core
    timer = threading.Timer(0.2, _thread.interrupt_main)
    start = time.monotonic()
    timer.start()
    with pytest.raises(KeyboardInterrupt):
        lk.momentum_density(pentacene, "HOMO", grid=grid)
    # back before the kernel call ended (it finishes in the background)
    assert any(t.name == "libkernels-call" and t.is_alive() for t in threading.enumerate())
    assert time.monotonic() - start < 1.5
    # Orbital by orbital on two threads, added in order: the bits of one kernel call.
    small = lk.Grid.around(pentacene, spacing=0.5, margin=2.0)
    rows = orbital_rows(pentacene, "occupied")
    chunked = lk.charge_density_sum(pentacene, rows, grid=small, threads=2)
    one = _orbitals_on_grid("charge_density_sum", pentacene, rows, None, small,
                            None, "", "", one_call=True)
    assert chunked.data.tobytes() == one.data.tobytes()


def test_labelled_output_carries_axes_units_and_parameters(benzene, tmp_path):
    xr = pytest.importorskip("xarray")
    m = lk.momentum_map_sum(benzene, ["HOMO"], photon_energy=35, work_function=4.5, k_max=3.0,
                            n=41, orientation=(30, 0, 0))
    array = m.to_xarray()
    assert array.dims == ("kx", "ky") and array.kx.attrs["units"] == "1/angstrom"
    assert array.kx.values[0] == -3.0 and array.kx.values[1] == -2.85  # no float32 noise
    assert array.attrs["photon_energy"] == 35 and list(array.attrs["orientation"]) == [30, 0, 0]
    array.to_netcdf(tmp_path / "map.nc")
    back = xr.open_dataarray(tmp_path / "map.nc")
    np.testing.assert_array_equal(back.values, m.data)
    assert back.attrs["energy_unit"] == "eV"

    orientations = [(0, 0, 0), (45, 10, 0), (90, 0, 0)]
    maps, call = lk.scan_momentum_maps(benzene, ["HOMO", "HOMO-1"], orientations,
                                       progress=False, **MAP)
    scan = scan_to_xarray(maps, call, orientations)
    assert scan.dims == ("orientation", "orbital", "kx", "ky")
    assert list(scan.orbital.values) == ["HOMO", "HOMO-1"]
    assert list(scan.alpha.values) == [0, 45, 90] and list(scan.beta.values) == [0, 10, 0]
    np.testing.assert_array_equal(scan.sel(orbital="HOMO-1").values[1], maps[1, 1])

    field = lk.momentum_density(benzene, n=11, k_max=2.0)
    cube = field.to_xarray()
    assert cube.dims == ("kz", "ky", "kx") and cube.kx.values[-1] == 2.0
    assert cube.attrs["units"].startswith("bohr^3")
