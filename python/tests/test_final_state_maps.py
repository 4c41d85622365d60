"""The IAC final state as a setting of the map requests: MapRequest.call and its
interface, domains, the dichroism asymmetry of both final states, the refusals, the
command line, records made again to the bit, the scans and the explorer."""

import json
import shlex
import warnings

import numpy as np
import pytest

import libkernels as lk
from libkernels.cli import main
from libkernels.cli.maps import command_of
from libkernels.core.errors import InputError, RequestError
from libkernels.core.map_sum_call import MapSumCall, compute_maps
from libkernels.explore import settings as explorer
from libkernels.explore.molecules import Entry
from libkernels.final_state.map_call import IACMapSumCall
from conftest import requires

pytestmark = pytest.mark.filterwarnings("ignore::libkernels.DroppedPartsWarning")

GRID = dict(kinetic_energy=30.0, n=61, k_max=2.5)
TILTED = (10.0, 20.0, 5.0)


@pytest.fixture(autouse=True, scope="module")
def cache_folder(tmp_path_factory):
    """The continuum tables of these tests go to a fresh cache folder."""
    patch = pytest.MonkeyPatch()
    patch.setenv("LIBKERNELS_CACHE_DIR", str(tmp_path_factory.mktemp("cache")))
    yield
    patch.undo()


def relative(a, b, inside=slice(None)):
    return float(np.abs(np.asarray(a) - np.asarray(b))[inside].max() / np.abs(b).max())


def test_the_request_gives_the_iac_call_whose_free_limit_is_the_plane_wave(pentacene):
    """Through MapRequest.call, with photon energies, symmetry and every light: the free
    continuum is the plane-wave map times its polarisation factor.  The library turns
    the picture (its edge rule moves the outer pixels, and threefold turns interpolate)
    where the IAC model turns the molecule, so domains agree inside the square, exactly
    for two- and fourfold and to the interpolation's error for threefold."""
    requires("momentum_map_sum")
    inner = (slice(3, -3), slice(3, -3))
    energies = dict(photon_energy=35.0, work_function=4.5, n=61, k_max=2.5)
    for symmetry, polarisation in ((None, "p"), (2, "s"), (4, "circular-left"),
                                   (None, "radial"), (4, "linear")):
        request = lk.MapRequest(molecule=pentacene, orbitals=["HOMO", "HOMO-1"],
                                symmetry=symmetry, polarisation=polarisation, s_share=30.0,
                                orientation=TILTED, **energies)
        plane = request.call(pentacene)
        iac = lk.MapRequest(molecule=pentacene, orbitals=["HOMO", "HOMO-1"],
                            symmetry=symmetry, polarisation=polarisation, s_share=30.0,
                            final_state="iac", continuum="free", **energies).call(pentacene)
        assert isinstance(plane, MapSumCall) and isinstance(iac, IACMapSumCall)
        assert iac.parameters["kinetic_energy"] == plane.parameters["kinetic_energy"]
        assert np.array_equal(iac.e_kin, plane.e_kin)
        assert relative(iac.run(TILTED), plane.run(TILTED), inner) < 2e-5, \
            (symmetry, polarisation)
    threefold = dict(GRID, polarisation="p", symmetry=3)
    k = np.linspace(-2.5, 2.5, 61)
    disc = np.hypot(k[:, None], k[None, :]) < 2.3
    plane = MapSumCall(pentacene, ["HOMO"], **threefold).run(TILTED)
    iac = IACMapSumCall(pentacene, ["HOMO"], continuum="free", **threefold).run(TILTED)
    assert 1e-4 < relative(iac, plane, disc) < 3e-2


def test_the_iac_call_sums_orbitals_writes_into_out_and_keeps_the_weights(pentacene):
    call = IACMapSumCall(pentacene, ["HOMO", "HOMO-1"], weights=[1.0, 0.5],
                         polarisation="p", **GRID)
    out = np.zeros((61, 61), dtype=np.float32)
    assert call.run(TILTED, out=out) is out
    parts = call.run(TILTED, rows=[0]) + call.run(TILTED, rows=[1])
    assert relative(parts, out) < 1e-6
    single = IACMapSumCall(pentacene, ["HOMO-1"], polarisation="p", **GRID).run(TILTED)
    assert relative(call.run(TILTED, rows=[1]), 0.5 * single) < 1e-6
    with pytest.raises(InputError, match="out must be a writeable C-contiguous float32"):
        call.run(TILTED, out=np.zeros((61, 61)))
    maps = compute_maps(call, [TILTED, (0.0, 0.0, 0.0)], [[0], None], threads=2)
    assert maps.shape == (2, 2, 61, 61) and np.array_equal(maps[0, 1], out)


def test_the_dichroism_asymmetry_of_both_final_states(pentacene):
    """--dichroism is (L - R)/(L + R); the polarisation 'dichroism' stays L - R.  The IAC
    asymmetry changes sign under the mirror ky -> -ky of the flat molecule in the plane of
    incidence; the plane wave's is zero without a damping (with a warning) and, damped,
    its numerator is the library's dichroism."""
    requires("momentum_map_sum")
    left = lk.momentum_map_sum(pentacene, ["HOMO"], final_state="iac",
                               polarisation="circular-left", **GRID).data
    right = lk.momentum_map_sum(pentacene, ["HOMO"], final_state="iac",
                                polarisation="circular-right", **GRID).data
    difference = lk.momentum_map_sum(pentacene, ["HOMO"], final_state="iac",
                                     polarisation="dichroism", **GRID)
    asymmetry = lk.momentum_map_sum(pentacene, ["HOMO"], final_state="iac", dichroism=True,
                                    **GRID)
    assert relative(difference.data, left - right) < 1e-5
    shown = left + right > 1e-3 * (left + right).max()
    assert np.allclose(asymmetry.data[shown], (left - right)[shown] / (left + right)[shown],
                       atol=1e-5)
    assert 0.5 < np.abs(asymmetry.data).max() <= 1.0
    assert np.allclose(asymmetry.data[shown], -asymmetry.data[:, ::-1][shown], atol=1e-4)
    assert asymmetry.parameters["dichroism"] and asymmetry.record["request"]["dichroism"]
    assert "dimensionless" in asymmetry.record["units"]

    with pytest.warns(lk.MapWarning, match="zero in the plane-wave final state"):
        flat = lk.momentum_map_sum(pentacene, ["HOMO"], dichroism=True, **GRID)
    assert not np.any(flat.data)
    damped = dict(GRID, kz_imaginary=0.3, orientation=TILTED)
    ratio = lk.momentum_map_sum(pentacene, ["HOMO"], dichroism=True, **damped).data
    numerator = lk.momentum_map_sum(pentacene, ["HOMO"], polarisation="dichroism",
                                    **damped).data
    total = sum(lk.momentum_map_sum(pentacene, ["HOMO"], polarisation=p, **damped).data
                for p in ("circular-left", "circular-right"))
    shown = total > 1e-3 * total.max()
    assert np.abs(ratio).max() > 0.05
    assert np.allclose(ratio[shown], numerator[shown] / total[shown], atol=1e-5)
    # the hands by name are the library's helicities
    assert np.array_equal(
        lk.momentum_map_sum(pentacene, ["HOMO"], polarisation="circular-left", **GRID).data,
        lk.momentum_map_sum(pentacene, ["HOMO"], polarisation="circular-", **GRID).data)


def test_settings_that_contradict_the_final_state_are_refused(pentacene):
    base = dict(molecule=pentacene, kinetic_energy=30.0)
    refused = [
        (dict(continuum="free"), "continuum belongs to the IAC final state"),
        (dict(partial_waves={"C 2": [0.5, 0.0]}), "partial_waves belong to the IAC"),
        (dict(final_state="iac"), "polarisation is needed by the IAC final state"),
        (dict(final_state="iac", polarisation="p", kz_imaginary=0.2),
         "kz_imaginary has no place in the IAC final state"),
        (dict(final_state="iac", dichroism=True, polarisation="p"),
         "dichroism is the asymmetry of the two circular helicities"),
        (dict(final_state="iac", polarisation="p", partial_waves={"C 2": [-1.0, 0.0]}),
         "amplitude of C 2 must be >= 0"),
        (dict(final_state="iac", polarisation="p", partial_waves={"Q 2": [1.0, 0.0]}),
         "names a channel as 'element l''"),
        (dict(final_state="exact"), "final_state must be one of plane-wave, iac"),
    ]
    for settings, message in refused:
        with pytest.raises(InputError, match=message):
            lk.MapRequest(**base, **settings)
    request = lk.MapRequest(**base, final_state="iac", polarisation="p",
                            partial_waves={"N 1": [0.5, 0.0]})
    with pytest.raises(InputError, match="names N 1, not among this map's channels"):
        request.call(pentacene)
    with pytest.raises(InputError, match="atomic continuum"):
        lk.MapRequest(**dict(base, kinetic_energy=1.0), final_state="iac",
                      polarisation="p").call(pentacene)


def test_the_command_line_makes_an_iac_map_and_its_record_makes_it_again(tmp_path, capsys,
                                                                          pentacene):
    """--final-state iac, --continuum, --partial-wave and circular-right on the command
    line; the record holds them (and the channels), and --from-record, and the command
    line the explorer exports for the same request, give the same bits."""
    first = tmp_path / "first"
    assert main(["map", "pentacene", "--kinetic-energy", "30", "--resolution", "41",
                 "--final-state", "iac", "--polarisation", "circular-right",
                 "--partial-wave", "C2", "0.8", "0.3", "--orientation", "10", "20", "5",
                 "-o", str(first), "--quiet"]) == 0
    record = json.loads((first / "pentacene_HOMO.json").read_text())
    assert {k: record["request"][k] for k in ("final_state", "continuum", "partial_waves")} \
        == {"final_state": "iac", "continuum": "atomic", "partial_waves": {"C 2": [0.8, 0.3]}}
    assert "C 2" in record["channels"] and record["potential"] and record["final_state"] == "iac"
    again = tmp_path / "again"
    assert main(["map", "--from-record", str(first / "pentacene_HOMO.json"), "-o", str(again),
                 "--quiet"]) == 0
    data = np.load(first / "pentacene_HOMO.npy")
    assert np.array_equal(np.load(again / "pentacene_HOMO.npy").view(np.uint32),
                          data.view(np.uint32))
    request = lk.MapRequest.from_record(first / "pentacene_HOMO.json")
    command, _ = command_of(request, pentacene, "pentacene")
    assert "--final-state iac --continuum atomic --partial-wave 'C 2' 0.8 0.3" in command
    exported = tmp_path / "exported"
    assert main(shlex.split(command)[1:] + ["-o", str(exported), "--quiet"]) == 0
    assert np.array_equal(np.load(exported / "pentacene_HOMO.npy"), data)

    for flags, message in ((["--continuum", "free"], "--continuum belongs to the IAC"),
                           (["--final-state", "iac"], "--polarisation is needed"),
                           (["--final-state", "iac", "--polarisation", "p",
                             "--partial-wave", "C2", "x", "0"], "AMPLITUDE and PHASE")):
        assert main(["map", "pentacene", "-o", str(tmp_path / "bad"), "--quiet", *flags]) == 2
        error = capsys.readouterr().err
        assert message in error and error.count("\n") == 1, error


def test_orientation_scans_and_the_explorer_take_the_final_state(pentacene):
    orientations = [(0.0, 0.0, 0.0), TILTED]
    maps, call = lk.scan_momentum_maps(pentacene, ["HOMO"], orientations, progress=False,
                                       final_state="iac", polarisation="s", threads=1, **GRID)
    one = lk.momentum_map_sum(pentacene, ["HOMO"], orientation=TILTED, final_state="iac",
                              polarisation="s", **GRID)
    assert call.final_state == "iac" and np.array_equal(maps[1, 0], one.data)

    entry = Entry("pentacene", "pentacene", pentacene)
    body = {"molecule": "pentacene", "orbitals": [{"index": pentacene.orbital_index("HOMO")},
                                                  {"index": pentacene.orbital_index("HOMO-1")}],
            "energy_mode": "kinetic", "kinetic_energy": 30.0, "resolution": 41,
            "final_state": "iac", "dichroism": True}
    settings, _ = explorer.parse_settings(body, {"pentacene": entry})
    data, info, _ = explorer.compute_map(settings, entry)
    both = lk.momentum_map_sum(pentacene, ["HOMO", "HOMO-1"], final_state="iac",
                               dichroism=True, kinetic_energy=30.0, n=41)
    assert info["signed"] and info["final_state"] == "iac"
    assert np.array_equal(data, both.data)  # one ratio of the sums, not a sum of ratios
    for field, value in (("final_state", "exact"), ("continuum", "bound"), ("dichroism", 1)):
        with pytest.raises(RequestError, match=field):
            explorer.parse_settings(dict(body, **{field: value}), {"pentacene": entry})
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        explorer.parse_settings(dict(body, final_state="plane-wave", dichroism=False),
                                {"pentacene": entry})
