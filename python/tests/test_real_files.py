"""Measured data that no one here made, read right or refused; and files written here
to the pattern of faults found with PTCDA files (energies, windows, units, what momentum
data count per, sizes that lie).

The real files come from PyPI packages of the field (docs/instruments.md lists
them with their checksums), fetched by scripts/install_deps.sh into .cache/real-files:
the arpes 3.0.1 wheel's example data and the xarpes 1.0.2 source distribution's SES
waves.  They are GPL-licensed data and never committed.  Missing, these tests fail in
CI (CI set) and are skipped elsewhere, saying how to fetch them.

The k extents are computed here from the files' own angles and energies with the
free-electron formula, written independently of kspace/:

    K = sqrt(2 m_e E_kin) / hbar   (0.5123 1/Å at 1 eV),   k = K sin(angle)

fermi_surface.nc is a polar scan in the field's xarray layout (slit orientation alpha =
pi/2: the slit along the polar axis): phi runs along the slit, theta is the
manipulator's polar angle, both in radians (the layout's convention).  At normal tilt
the slit's momentum is K sin(phi) (ky), the polar scan's K sin(theta) along kx.  This
package's polar set-up turns the sample by +theta about y, so that a positive theta
looks at negative kx (kspace/geometry.py); the layout's theta turns the other way and
is negated on reading, so that kx spans K sin(theta_file_min) ... K sin(theta_file_max),
about -1.07 ... 2.41 1/Å.
"""

import math
import os
import subprocess
import sys
import tarfile
import textwrap
import time
import zipfile
from pathlib import Path

import numpy as np
import pytest

import libkernels as lk
from libkernels.cli import main

xr = pytest.importorskip("xarray")
h5py = pytest.importorskip("h5py")

ROOT = Path(__file__).resolve().parents[2]
CACHE = Path(os.environ.get("LIBKERNELS_REAL_FILES", ROOT / ".cache" / "real-files"))
K_PER_SQRT_EV = math.sqrt(2 * 9.1093837015e-31 * 1.602176634e-19) / 1.054571817e-34 * 1e-10
ARCHIVES = {
    "arpes-3.0.1-py3-none-any.whl": ("arpes/example_data/", ("fermi_surface.nc",
                                                           "photon_energy.nc", "cut.fits")),
    "xarpes-1.0.2.tar.gz": ("examples/", ("graphene_152.ibw", "STO_2_0010STO_2_.ibw")),
}


def _k(kinetic_energy):
    return K_PER_SQRT_EV * math.sqrt(kinetic_energy)


@pytest.fixture(scope="module")
def real(tmp_path_factory):
    """{name: path} of the real files, taken out of their archives."""
    folder = tmp_path_factory.mktemp("real")
    found = {}
    for archive, (where, names) in ARCHIVES.items():
        path = CACHE / archive
        if not path.exists():
            message = (f"{path} is missing: scripts/install_deps.sh fetches it (pip download "
                       "--no-deps; set LIBKERNELS_REAL_FILES to another folder)")
            if os.environ.get("CI"):
                pytest.fail(message)
            pytest.skip(message)
        if archive.endswith(".whl"):
            with zipfile.ZipFile(path) as wheel:
                for name in names:
                    (folder / name).write_bytes(wheel.read(where + name))
        else:
            with tarfile.open(path) as sdist:
                for member in sdist.getmembers():
                    if member.isfile() and os.path.basename(member.name) in names:
                        (folder / os.path.basename(member.name)).write_bytes(
                            sdist.extractfile(member).read())
        for name in names:
            found[name] = folder / name
    return found


def _one_line_refusal(args, capsys, *expected):
    assert main(args) == 2
    error = capsys.readouterr().err
    assert error.count("\n") == 1, error
    for text in expected:
        assert text in error, error
    return error


def test_fermi_surface_in_the_field_layout_reads_radians_and_its_photon_energy(real, capsys):
    from libkernels.formats import measured
    path = real["fermi_surface.nc"]
    raw = measured.read(str(path))
    assert raw.attrs["layout"] == "field_netcdf"
    assert dict(raw.intensity.sizes) == {"theta": 81, "eV": 150, "phi": 111}
    assert raw.theta.attrs["units"] == "rad" and raw.phi.attrs["units"] == "rad"
    theta, phi, ev = (np.asarray(raw[n].values) for n in ("theta", "phi", "eV"))
    raw.close()
    # no photon_energy given: the file's hv; the Fermi level's slice alone
    out = lk.to_momentum(str(path), "polar", work_function=4.4, energy_window=(-0.005, 0.005))
    assert out.attrs["photon_energy"] == 105.0 and out.attrs["slices_summed"] == 1
    fermi = ev[np.argmin(np.abs(ev))]
    big_k = _k(105.0 - 4.4 + fermi)
    kx0, kx1, ky0, ky1 = out.attrs["k_extent"]
    assert abs(kx0 - (-big_k * math.sin(theta.max()))) < 1e-3
    assert abs(kx1 - (-big_k * math.sin(theta.min()))) < 1e-3
    assert abs(ky0 - big_k * math.sin(phi.min())) < 1e-3
    assert abs(ky1 - big_k * math.sin(phi.max())) < 1e-3
    print(f"fermi_surface.nc: kx {kx0:.4f} ... {kx1:.4f}, ky {ky0:.4f} ... {ky1:.4f} 1/Å")
    assert -1.08 < kx0 < -1.06 and 2.40 < kx1 < 2.42  # radians, not degrees (0.04 1/Å)
    assert theta[0] < theta[-1] and "theta negated" in out.attrs["read_from_file"] + \
        str(out.attrs.get("angle_sense", ""))
    finite = np.isfinite(out.intensity.values)
    step = float(out.kx[1] - out.kx[0])
    covered = out.kx.values[finite.any(axis=1)]
    assert kx0 - step <= covered.min() <= kx0 + step and kx1 - step <= covered.max() <= kx1
    # what was read and what was assumed go into the converted file
    assert "photon_energy: 105 (from coordinate hv)" in out.attrs["read_from_file"]
    assert "lens_mode: Angular30" in out.attrs["read_from_file"]
    assert out.attrs["temperature"] == pytest.approx(20.04)
    assert "angle_offsets: none applied" in out.attrs["assumed"]
    _one_line_refusal(["convert", str(path), "--geometry", "polar", "-o", "out"], capsys,
                      "--work-function is missing", "records no work function")


def test_photon_energy_scan_converts_to_kz_with_the_inner_potential(real, tmp_path):
    path = real["photon_energy.nc"]
    with xr.open_dataset(path) as raw:
        hv, phi, ev = (np.asarray(raw[n].values) for n in ("hv", "phi", "eV"))
    assert main(["convert", str(path), "--work-function", "4.4", "--inner-potential", "10",
                 "--energy-window", "-0.01", "0.01", "-o", str(tmp_path)]) == 0
    with xr.open_dataset(tmp_path / "photon_energy_k.nc") as out:
        assert out.intensity.dims == ("kz", "k_par")
        record = lk.read_record(str(tmp_path / "photon_energy_k.nc"))
        assert record["request"]["inner_potential"] == 10.0
        assert record["inner_potential"] == 10.0 and record["slices_summed"] == 3
        binding = -ev[np.abs(ev) <= 0.01]
        e_low, e_high = hv.min() - 4.4 - binding.max(), hv.max() - 4.4 - binding.min()
        kz_high = K_PER_SQRT_EV * math.sqrt(e_high + 10)
        kz_low = K_PER_SQRT_EV * math.sqrt(e_low * math.cos(np.abs(phi).max()) ** 2 + 10)
        finite = np.isfinite(out.intensity.values)
        kz = out.kz.values[finite.any(axis=1)]
        step = float(out.kz[1] - out.kz[0])
        assert kz_low - step <= kz.min() <= kz_low + step
        assert kz_high - step <= kz.max() <= kz_high + step
        k_par = out.k_par.values[finite.any(axis=0)]
        assert abs(k_par.max() - _k(e_high) * math.sin(phi.max())) < 2 * step


def test_ses_waves_read_their_labels_and_note_and_cuts_convert_to_k_par(real, tmp_path):
    from libkernels.formats import measured
    graphene = measured.read(str(real["graphene_152.ibw"]))
    assert tuple(graphene.intensity.dims) == ("kinetic_energy", "phi")
    assert graphene.kinetic_energy.attrs["units"] == "Kinetic Energy [eV]"
    assert graphene.attrs["photon_energy"] == 36.0 and graphene.attrs["lens_mode"] == \
        "S01Ang30_C"
    phi = np.radians(graphene.phi.values)
    kinetic = graphene.kinetic_energy.values
    out = lk.to_momentum(str(real["graphene_152.ibw"]))
    assert out.intensity.dims == ("kinetic_energy", "k_par")  # no work function: kinetic
    big_k = _k(kinetic.max())
    assert abs(out.attrs["k_extent"][0] - big_k * math.sin(phi.min())) < 1e-3
    assert abs(out.attrs["k_extent"][1] - big_k * math.sin(phi.max())) < 1e-3
    row = np.isfinite(out.intensity.values[0])
    assert abs(out.k_par.values[row].min() - _k(kinetic[0]) * math.sin(phi.min())) < \
        float(out.k_par[1] - out.k_par[0])
    # the cut as a file, named after its input; with a work function, on binding energy
    assert main(["convert", str(real["graphene_152.ibw"]), "--work-function", "4.5",
                 "-o", str(tmp_path)]) == 0
    with xr.open_dataset(tmp_path / "graphene_152_k.nc") as cut:
        assert cut.intensity.dims == ("binding_energy", "k_par")
        np.testing.assert_allclose(cut.binding_energy.values, 36 - 4.5 - kinetic)
    # the model along the cut, at each slice's own kinetic energy (a few slices)
    with xr.open_dataset(tmp_path / "graphene_152_k.nc") as cut:
        cut.isel(binding_energy=slice(0, 468, 117)).to_netcdf(tmp_path / "few_k.nc",
                                                             engine="h5netcdf")
    assert main(["map", "pentacene", "-O", "HOMO", "--cut", str(tmp_path / "few_k.nc"),
                 "--quiet", "-o", str(tmp_path / "model")]) == 0
    with xr.open_dataset(tmp_path / "model" / "few_model.nc") as model:
        assert model.model.dims == ("binding_energy", "k_par") and model.model.shape == (4, 393)
        # at k_perp = 0 along ky the model is the map's own column at each energy
        m = lk.momentum_map_sum(lk.load_example("pentacene"), ["HOMO"],
                                kinetic_energy=float(model.kinetic_energy[0]), k_max=0.8,
                                n=161)
        column = np.interp(model.k_par.values, m.ky, m.data[80])
        inside = np.isfinite(model.model.values[0])  # NaN where the slice measured nothing
        assert inside.sum() > 350
        np.testing.assert_allclose(model.model.values[0][inside], column[inside], rtol=0.02,
                                   atol=0.02 * column.max())
    sto = measured.read(str(real["STO_2_0010STO_2_.ibw"]))
    assert sto.attrs["manipulator_polar"] == 2.998 and sto.attrs["manipulator_tilt"] == -1.64


def test_fits_cut_is_read_and_refused_for_its_uncalibrated_angles(real, capsys):
    from libkernels.formats import measured
    cut = measured.read(str(real["cut.fits"]))
    assert dict(cut.intensity.sizes) == {"pixels": 240, "energy": 240}
    assert cut.attrs["photon_energy"] == 5.9
    np.testing.assert_allclose(cut.energy.values[[0, -1]], [-0.4255814, 0.1302326], atol=1e-6)
    _one_line_refusal(["convert", str(real["cut.fits"]), "-o", "out"], capsys,
                      "the axis pixels counts detector pixels",
                      "no angle scale")


def _ses_zip(path, counts, energies, slit, deflector, photon=35.0, scale="Kinetic"):
    spectrum = textwrap.dedent(f"""\
        [spectrum]
        name=map
        width={energies.size}
        height={slit.size}
        depth={deflector.size}
        byteperpoint=4
        widthoffset={energies[0]}
        widthdelta={energies[1] - energies[0]}
        widthlabel=Energy [eV]
        heightoffset={slit[0]}
        heightdelta={slit[1] - slit[0]}
        heightlabel=Thetax [deg]
        depthoffset={deflector[0]}
        depthdelta={deflector[1] - deflector[0]}
        depthlabel=Thetay [deg]
        """)
    region = (f"[SES]\nExcitation Energy={photon}\nEnergy Scale={scale}\nLens Mode=DA30L_01\n"
              "Pass Energy=20\n[Manipulator]\nP=1.5\nT=-0.5\nA=12\n")
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as archive:
        archive.writestr("Spectrum_map.ini", spectrum)
        archive.writestr("Spectrum_map.bin", np.asarray(counts, "<f4").tobytes())
        archive.writestr("map.ini", region)
        archive.writestr("viewer.ini", "[viewer]\n")


def test_ses_deflector_map_zip_is_read_by_its_members(tmp_path, capsys):
    energies = np.array([30.0, 30.1, 30.2])
    slit = np.linspace(-15, 15, 31)
    deflector = np.linspace(-10, 10, 21)
    counts = np.random.default_rng(2).poisson(20, (deflector.size, slit.size, energies.size))
    path = tmp_path / "map.zip"
    _ses_zip(path, counts, energies, slit, deflector)
    from libkernels.formats import measured
    data = measured.read(str(path))
    assert dict(data.intensity.sizes) == {"psi": 21, "phi": 31, "kinetic_energy": 3}
    np.testing.assert_array_equal(data.intensity.values, counts)
    assert data.attrs["photon_energy"] == 35.0 and data.attrs["manipulator_azimuth"] == 12
    header = measured.read_header(str(path))
    assert header.arrays[0].shape == (21, 31, 3)
    out = lk.to_momentum(str(path), "deflector", work_function=4.5)
    assert out.intensity.dims == ("binding_energy", "kx", "ky")
    np.testing.assert_allclose(out.binding_energy.values, 35 - 4.5 - energies)
    big_k = _k(energies.max())
    assert abs(out.attrs["k_extent"][3] - big_k * math.sin(math.radians(15))) < 1e-3
    # an .npz is a zip too: told apart by its members
    np.savez(tmp_path / "m.npz", intensity=np.ones((3, 3)), kx=np.arange(3.0),
             ky=np.arange(3.0))
    assert lk.load_measured(str(tmp_path / "m.npz")).intensity.shape == (3, 3)
    _ses_zip(tmp_path / "short.zip", counts[:-1], energies, slit, deflector)
    _one_line_refusal(["convert", str(tmp_path / "short.zip"), "--geometry", "deflector",
                       "-o", str(tmp_path / "o")], capsys, "Spectrum_map.bin holds")


# ---- units: never guessed -----------------------------------------------------------------

def _angles_file(path, phi, psi, units=None, attrs=None):
    coords = {"phi": ("phi", phi, {} if units is None else {"units": units}),
              "psi": ("psi", psi, {} if units is None else {"units": units})}
    xr.Dataset({"intensity": (("phi", "psi"), np.full((phi.size, psi.size), 10.0))},
               coords=coords, attrs=attrs or {}).to_netcdf(path, engine="h5netcdf")


def test_no_angle_unit_is_ever_guessed(tmp_path, capsys, monkeypatch):
    """A radian axis with no units is refused (no k comes out), one labelled deg with a
    span of radians is refused, an unscaled Igor wave's indices are refused; stating
    the unit converts, and the result scales as radians."""
    from libkernels.kspace import resample
    made = []
    real_convert = resample.Resampler.convert

    def counted(self, *args, **kwargs):
        made.append(1)
        return real_convert(self, *args, **kwargs)

    monkeypatch.setattr(resample.Resampler, "convert", counted)
    radians = np.linspace(-0.3, 0.3, 31)
    plain = tmp_path / "plain.nc"
    _angles_file(plain, radians, radians)
    args = ["convert", str(plain), "--geometry", "deflector", "--kinetic-energy", "30"]
    _one_line_refusal(args + ["-o", str(tmp_path / "o1")], capsys,
                      "the angle axis phi (-0.3 to 0.3) states no unit", "--angle-unit")
    labelled = tmp_path / "labelled.nc"
    _angles_file(labelled, radians, radians, "deg")
    _one_line_refusal(["convert", str(labelled), "--geometry", "deflector", "--kinetic-energy",
                       "30", "-o", str(tmp_path / "o2")], capsys,
                      "labelled 'deg' but spans only 0.6 degrees", "--angle-unit rad")
    assert not made  # no k was computed from a guess
    out = lk.to_momentum(str(plain), "deflector", kinetic_energy=30, angle_unit="rad")
    assert out.attrs["k_extent"][3] == pytest.approx(_k(30) * math.sin(0.3), abs=1e-3)
    confirmed = lk.to_momentum(str(labelled), "deflector", kinetic_energy=30, angle_unit="deg")
    assert confirmed.attrs["k_extent"][3] == pytest.approx(_k(30) * math.sin(math.radians(0.3)),
                                                           abs=1e-4)
    made.clear()
    # NeXus: radians labelled deg, refused the same way
    nexus = tmp_path / "map.nxs"
    with h5py.File(nexus, "w") as f:
        entry = f.create_group("entry")
        entry.attrs["NX_class"] = "NXentry"
        data = entry.create_group("data")
        data.attrs.update(NX_class="NXdata", signal="counts", axes=["angular0", "angular1"])
        data["counts"] = np.full((31, 31), 10.0)
        for name in ("angular0", "angular1"):
            data[name] = radians
            data[name].attrs["units"] = "deg"
    _one_line_refusal(["convert", str(nexus), "--geometry", "deflector", "--kinetic-energy",
                       "30", "-o", str(tmp_path / "o3")], capsys, "spans only 0.6 degrees")
    igorwriter = pytest.importorskip("igorwriter")
    wave = igorwriter.IgorWave(np.full((40, 40), 10.0, np.float32), name="scan")
    wave.save(str(tmp_path / "scan.ibw"))  # no scaling: indices
    _one_line_refusal(["convert", str(tmp_path / "scan.ibw"), "--geometry", "deflector",
                       "--dims", "x=phi", "y=psi", "--kinetic-energy", "30",
                       "-o", str(tmp_path / "o4")], capsys, "the Igor wave has no scaling",
                      "holds indices")
    assert not made


# ---- PTCDA-like files: energies, windows, what momentum data count per ---------------------

def _nxmpes_cube(path, binding, photon=35.0, work=4.0, kinetic_axis=False, units="counts"):
    """An NXmpes cube in momentum with the beam's incident energy and the analyser's
    work function: a pentacene HOMO whose weight peaks at 2 eV binding energy."""
    mol = lk.load_example("pentacene")
    k = np.linspace(-2.0, 2.0, 41)
    cube = np.empty((binding.size, k.size, k.size))
    for i, eb in enumerate(binding):
        m = lk.momentum_map_sum(mol, ["HOMO"], kinetic_energy=photon - work - eb, k_max=2.0,
                                n=41)
        cube[i] = 200 * m.data / m.data.max() * math.exp(-(eb - 2.0) ** 2 / 0.5) + 5
    cube = np.random.default_rng(4).poisson(cube).astype(np.float32)
    with h5py.File(path, "w") as f:
        entry = f.create_group("entry")
        entry.attrs.update(NX_class="NXentry", default="data")
        entry["definition"] = "NXmpes"
        instrument = entry.create_group("instrument")
        instrument.attrs["NX_class"] = "NXinstrument"
        beam = instrument.create_group("beam_probe")
        beam.attrs["NX_class"] = "NXbeam"
        beam["incident_energy"] = photon
        beam["incident_energy"].attrs["units"] = "eV"
        analyser = instrument.create_group("electronanalyser")
        analyser.attrs["NX_class"] = "NXelectronanalyser"
        analyser["work_function"] = work
        analyser["work_function"].attrs["units"] = "eV"
        data = entry.create_group("data")
        data.attrs.update(NX_class="NXdata", signal="data", axes=["energy", "kx", "ky"])
        data["data"] = cube
        data["data"].attrs["units"] = units
        axis = photon - work - binding if kinetic_axis else binding
        for name, values, unit in (("energy", axis, "eV"), ("kx", k, "1/angstrom"),
                                   ("ky", k, "1/angstrom")):
            data[name] = values
            data[name].attrs["units"] = unit
        data["energy"].attrs["type"] = "kinetic" if kinetic_axis else "binding"


def test_the_files_energies_reach_deconvolve_and_a_contradiction_is_named(tmp_path, capsys):
    binding = np.round(np.arange(1.5, 2.55, 0.25), 6)
    path = tmp_path / "ptcda.nxs"
    _nxmpes_cube(path, binding, units="counts/sr")
    out = tmp_path / "plain"
    assert main(["deconvolve", str(path), "pentacene", "-O", "HOMO", "--quiet",
                 "-o", str(out)]) == 0
    text = capsys.readouterr().out
    assert "photon_energy: 35" in text and "work_function: 4" in text
    record = lk.read_record(str(out / "deconvolution.json"))
    np.testing.assert_allclose(record["kinetic_energy_ev"], 35 - 4.0 - binding)
    assert "photon_energy" in record["read_from_file"]
    # the photon energy alone: the file's work function, not a default
    result = lk.deconvolve(str(path), "pentacene", ["HOMO"], photon_energy=35.0, progress=False)
    np.testing.assert_allclose(result.kinetic_energy_ev, 35 - 4.0 - binding)
    # a command-line value contradicting the file's is used, and named
    assert main(["deconvolve", str(path), "pentacene", "-O", "HOMO", "--work-function",
                 "4.5", "--quiet", "-o", str(tmp_path / "given")]) == 0
    text = capsys.readouterr().out
    assert "work_function: 4.5 eV as given, over the file's 4 eV" in text
    record = lk.read_record(str(tmp_path / "given" / "deconvolution.json"))
    assert "work_function" in record["assumed"]
    np.testing.assert_allclose(record["kinetic_energy_ev"], 35 - 4.5 - binding)


@pytest.mark.parametrize("kinetic_axis", [False, True])
def test_a_window_sums_every_slice_of_the_files_axis_inside_it_and_says_so(
        tmp_path, capsys, kinetic_axis):
    binding = np.arange(1.5, 4.35, 0.1)  # 3.2 and 3.6 not exact in binary, as files hold them
    path = tmp_path / "cube.nxs"
    _nxmpes_cube(path, binding, kinetic_axis=kinetic_axis, units="counts/sr")
    assert main(["convert", str(path), "--energy-window", "3.2", "3.6",
                 "-o", str(tmp_path / "k")]) == 0
    text = capsys.readouterr().out
    assert "summed 5 slices at binding energies 3.2, 3.3, 3.4, 3.5, 3.6 eV" in text, text
    with xr.open_dataset(tmp_path / "k" / "cube_k.nc") as converted:
        assert converted.attrs["slices_summed"] == 5
    assert main(["fit", str(path), "pentacene", "-O", "HOMO", "--energy-window", "3.2", "3.6",
                 "--quiet", "-o", str(tmp_path / "fit")]) == 0
    assert "summed 5 slices" in capsys.readouterr().out
    record = lk.read_record(str(tmp_path / "fit" / "fit.json"))
    np.testing.assert_allclose(record["summed_energies"], [3.2, 3.3, 3.4, 3.5, 3.6])


def test_counts_per_k_area_take_the_jacobian_and_raw_momentum_counts_must_say(tmp_path,
                                                                             capsys):
    """A momentum microscope counts per d2k = K kz dOmega: with --counts-per k-area the
    fit (radial transmission on) recovers the weight within 2 sigma; taken per solid
    angle it comes out far low.  Raw counts in momentum from another writer that do not
    say what they count per are refused."""
    mol = lk.load_example("pentacene")
    energy = 30.0
    m = lk.momentum_map_sum(mol, ["HOMO"], kinetic_energy=energy, k_max=2.4, n=81)
    big_k = _k(energy)
    k2 = m.kx[:, None] ** 2 + m.ky[None, :] ** 2
    jacobian = np.where(k2 < 0.9 * big_k ** 2, big_k / np.sqrt(np.abs(big_k ** 2 - k2)), np.nan)
    scale = 200 / m.data.max()
    rate = (scale * m.data + 10.0) * jacobian
    counts = np.where(np.isfinite(rate), np.random.default_rng(0).poisson(
        np.nan_to_num(rate)), np.nan)
    path = tmp_path / "microscope.npz"
    np.savez(path, intensity=counts, kx=m.kx, ky=m.ky, kinetic_energy=energy)
    results = {}
    for counted in ("solid-angle", "k-area"):
        out = tmp_path / counted
        assert main(["fit", str(path), "pentacene", "-O", "HOMO", "--fit-transmission",
                     "radial2", "--counts-per", counted, "--quiet", "-o", str(out)]) == 0
        results[counted] = lk.read_record(str(out / "fit.json"))
    weight, error = (results["k-area"][key][0] / scale for key in ("weights", "weight_errors"))
    assert abs(weight - 1.0) < 2 * error, (weight, error)
    low = results["solid-angle"]["weights"][0] / scale
    assert abs(low - 1.0) > 10 * error, low
    assert results["k-area"]["counts_per"] == "k-area"
    nexus = tmp_path / "raw.nxs"
    _nxmpes_cube(nexus, np.array([1.5, 1.75]))
    capsys.readouterr()
    _one_line_refusal(["convert", str(nexus), "-o", str(tmp_path / "o")], capsys,
                      "--counts-per is missing", "per solid angle")


# ---- files that lie about their size --------------------------------------------------------

SIZE_SCRIPT = textwrap.dedent("""
    import sys, time
    import libkernels as lk
    from libkernels.cli import main
    from libkernels.explore.uploads import read_measured
    import xarray, h5py, scipy.optimize
    kind, path = sys.argv[1:3]
    clock = time.perf_counter()
    if kind == "load_measured":
        try:
            lk.load_measured(path)
        except lk.LibkernelsError as error:
            print(error, file=sys.stderr)
    elif kind == "explorer":
        try:
            read_measured(open(path, "rb").read())
        except lk.LibkernelsError as error:
            print(error, file=sys.stderr)
    else:
        code = main(sys.argv[3:])
        assert code == 2, code
    seconds = time.perf_counter() - clock
    with open("/proc/self/status") as f:
        peak = next(int(l.split()[1]) for l in f if l.startswith("VmHWM:"))
    print(seconds, peak * 1024)
""")


def test_a_small_file_declaring_3_gb_is_refused_at_once_by_every_reader(tmp_path):
    path = tmp_path / "huge.nxs"
    with h5py.File(path, "w") as f:
        entry = f.create_group("entry")
        entry.attrs.update(NX_class="NXentry", default="data")
        beam = entry.create_group("instrument/beam_probe")
        beam.attrs["NX_class"] = "NXbeam"
        beam["incident_energy"] = 35.0
        data = entry.create_group("data")
        data.attrs.update(NX_class="NXdata", signal="data", axes=["energy", "kx", "ky"])
        data.create_dataset("data", (750, 1000, 1000), np.float32, chunks=(1, 1000, 1000))
        for name, size, unit in (("energy", 750, "eV"), ("kx", 1000, "1/angstrom"),
                                 ("ky", 1000, "1/angstrom")):
            data[name] = np.linspace(-2, 2, size)
            data[name].attrs["units"] = unit
        data["energy"].attrs["type"] = "binding"
    assert os.path.getsize(path) < 50_000
    commands = {
        "convert": ["convert", str(path), "-o", str(tmp_path / "c")],
        "fit": ["fit", str(path), "pentacene", "-O", "HOMO", "-o", str(tmp_path / "f")],
        "deconvolve": ["deconvolve", str(path), "pentacene", "-O", "HOMO", "-o",
                       str(tmp_path / "d")],
        "reconstruct": ["reconstruct", str(path), "--kinetic-energy", "30", "--molecule",
                        "pentacene", "-o", str(tmp_path / "r")],
        "load_measured": [], "explorer": []}
    for kind, args in commands.items():
        result = subprocess.run([sys.executable, "-c", SIZE_SCRIPT, kind, str(path), *args],
                                capture_output=True, text=True, timeout=120)
        assert result.returncode == 0, result.stderr
        seconds, peak = map(float, result.stdout.split())
        message = result.stderr.strip()
        print(f"{kind}: refused in {seconds:.3f} s, peak {peak / 2**20:.0f} MB: {message}")
        assert message.count("\n") == 0 and ("holds no written data" in message or
                                             "2.79 GB" in message), message
        assert seconds < 1.0 and peak < 200 * 2**20, (kind, seconds, peak)
        assert not any((tmp_path / d).exists() for d in "cfdr")


def test_declared_sizes_are_held_to_the_limit_before_reading(tmp_path):
    from libkernels.formats import measured
    big = tmp_path / "big.nc"
    xr.Dataset({"intensity": (("kinetic_energy", "phi", "psi"),
                              np.zeros((20, 200, 200), np.float32))},
               coords={"kinetic_energy": np.linspace(20, 21, 20),
                       "phi": ("phi", np.linspace(-10, 10, 200), {"units": "deg"}),
                       "psi": ("psi", np.linspace(-10, 10, 200), {"units": "deg"})}
               ).to_netcdf(big, engine="h5netcdf")
    with pytest.raises(lk.MemoryLimitError, match=r"reading .*big.nc .*intensity: 20 x 200 x "
                                                  r"200 float32, 3.05 MB.* more than the limit"):
        measured.read(str(big), max_memory="2M")
    # in chunks, one slice counts
    assert measured.read(str(big), max_memory="2M", chunked=True).intensity.shape[0] == 20
    archive = tmp_path / "big.npz"
    np.savez_compressed(archive, intensity=np.zeros((3000, 3000)), kx=np.arange(3000.0),
                        ky=np.arange(3000.0))
    from libkernels.kspace.settings import Conversion
    with pytest.raises(lk.MemoryLimitError, match="68.7 MB"):
        lk.load_measured(str(archive), conversion=Conversion(max_memory="16M"))


GIGABYTE_SCRIPT = textwrap.dedent("""
    import os, sys
    from libkernels.kspace.request import ConvertRequest
    source, out, limit = sys.argv[1:4]
    # every slice read, each resampled onto a lattice four angle steps apart (the
    # conversion's arithmetic is not what is measured here, its memory is)
    result = ConvertRequest(input=source, geometry="deflector", max_memory=limit,
                            k_step=0.08).run()
    result.name = os.path.basename(out)
    result.save(os.path.dirname(out))
    with open("/proc/self/status") as f:
        print(next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmHWM:")))
""")


def test_a_real_1_gb_chunked_cube_converts_under_256m(tmp_path):
    """Peak resident memory of the whole process, imports included, measured."""
    ne, n = 256, 1024  # 256 x 1024 x 1024 float32 = 1 GiB
    angles = np.linspace(-12, 12, n)
    source = tmp_path / "cube.h5"
    with h5py.File(source, "w") as f:
        f.attrs["photon_energy"] = 35.0
        f.attrs["work_function"] = 4.5
        for name, values in (("kinetic_energy", np.linspace(25, 30, ne)), ("phi", angles),
                             ("psi", angles)):
            f[name] = values
            f[name].make_scale(name)
            f[name].attrs["units"] = "eV" if name == "kinetic_energy" else "deg"
        cube = f.create_dataset("intensity", (ne, n, n), np.float32, chunks=(1, n, n))
        for i, name in enumerate(("kinetic_energy", "phi", "psi")):
            cube.dims[i].attach_scale(f[name])
        rng = np.random.default_rng(1)
        block = rng.poisson(30, (8, n, n)).astype(np.float32)
        for s in range(0, ne, 8):
            cube[s:s + 8] = block
    assert os.path.getsize(source) >= 2**30
    out = tmp_path / "out.nc"
    clock = time.perf_counter()
    result = subprocess.run([sys.executable, "-c", GIGABYTE_SCRIPT, str(source), str(out),
                             "256M"], capture_output=True, text=True, timeout=900)
    assert result.returncode == 0, result.stderr
    peak = int(result.stdout.split()[-1])
    print(f"1 GiB chunked cube converted under --max-memory 256M in "
          f"{time.perf_counter() - clock:.0f} s, peak RSS {peak / 2**20:.0f} MB")
    assert peak < 300 * 2**20, f"{peak / 2**20:.0f} MB"
    with xr.open_dataset(out) as converted:
        assert converted.intensity.shape[0] == ne
