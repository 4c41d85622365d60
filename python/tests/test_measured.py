"""Measured maps: per-pixel standard deviations and the energies a file states,
from every kind of source, through slicing and summing of stacks."""

import numpy as np
import pytest

import libkernels as lk

K = np.linspace(-1.0, 1.0, 21)


def _data(seed=0, shape=(21, 21)):
    rng = np.random.default_rng(seed)
    return rng.poisson(50.0, shape).astype(float), rng.uniform(1.0, 2.0, shape)


def test_sigma_and_energies_from_npz_netcdf_and_xarray(tmp_path):
    xr = pytest.importorskip("xarray")
    pytest.importorskip("h5netcdf")
    intensity, sigma = _data()
    np.savez(tmp_path / "m.npz", intensity=intensity, sigma=sigma, kx=K, ky=K,
             photon_energy=35.0, work_function=4.5)
    from_npz = lk.load_measured(str(tmp_path / "m.npz"))
    np.testing.assert_array_equal(from_npz.sigma, sigma)
    assert from_npz.energies == {"photon_energy": 35.0, "work_function": 4.5}
    assert from_npz.kinetic_energy is None
    # NetCDF: sigma a variable on the intensity's axes, stored in another order
    dataset = xr.Dataset(
        {"intensity": (("kx", "ky"), intensity), "sigma": (("ky", "kx"), sigma.T)},
        coords={"kx": K, "ky": K}, attrs={"kinetic_energy": 30.0})
    dataset.to_netcdf(tmp_path / "m.nc", engine="h5netcdf")
    from_nc = lk.load_measured(str(tmp_path / "m.nc"))
    np.testing.assert_array_equal(from_nc.sigma, sigma)
    assert from_nc.kinetic_energy == 30.0
    # a Dataset in memory, and what MeasuredMap writes reads back the same
    again = lk.load_measured(from_npz.to_dataset())
    np.testing.assert_array_equal(again.sigma, sigma)
    assert again.energies == from_npz.energies
    # keywords replace what the source states
    given = lk.load_measured(str(tmp_path / "m.npz"), sigma=2 * sigma, kinetic_energy=28.0)
    np.testing.assert_array_equal(given.sigma, 2 * sigma)
    assert given.kinetic_energy == 28.0 and given.photon_energy == 35.0
    plain = lk.load_measured(intensity, kx=K, ky=K, sigma=sigma)
    np.testing.assert_array_equal(plain.sigma, sigma)


def test_a_pixel_without_an_error_is_masked_and_bad_errors_are_refused():
    intensity, sigma = _data(1)
    sigma[3, 4] = np.nan
    intensity[5, 6] = np.nan
    measured = lk.load_measured(intensity, kx=K, ky=K, sigma=sigma)
    assert np.isnan(measured.intensity[3, 4]) and np.isnan(measured.sigma[5, 6])
    for bad, message in [(sigma[:, :20], "sigma has shape"), (-sigma, "sigma must be positive"),
                         (np.where(sigma > 1.5, 0.0, sigma), "sigma must be positive")]:
        with pytest.raises(lk.MeasuredDataError, match=message):
            lk.load_measured(intensity, kx=K, ky=K, sigma=bad)
    with pytest.raises(lk.MeasuredDataError, match="kinetic_energy must be positive"):
        lk.load_measured(intensity, kx=K, ky=K, kinetic_energy=-3.0)
    with pytest.raises(lk.MeasuredDataError, match="photon_energy must be one number"):
        lk.load_measured({"intensity": intensity, "kx": K, "ky": K, "photon_energy": [1, 2]})


def test_stack_slices_keep_their_errors_and_the_sum_adds_them_in_quadrature():
    intensity, sigma = _data(2, (3, 21, 21))
    intensity[1, 7, 8] = np.nan  # missing in one slice only
    stack = lk.load_measured((intensity, K, K, [5.0, 6.0, 7.0]), sigma=sigma,
                             photon_energy=35.0, work_function=4.5)
    one = stack.slice(2)
    np.testing.assert_array_equal(one.sigma, sigma[2])
    assert one.binding_energy == 7.0 and one.photon_energy == 35.0
    total = stack.summed()
    # the pixel missing from one slice stays out of the sum, whatever the others hold
    assert np.isnan(total.intensity[7, 8]) and np.isnan(total.sigma[7, 8])
    np.testing.assert_allclose(total.sigma[0, 0], np.sqrt(np.sum(sigma[:, 0, 0] ** 2)))
    np.testing.assert_allclose(total.intensity[0, 0], intensity[:, 0, 0].sum())


# ---- files: one layout each, recognised by content, each opened once per use --------------

def _files(folder):
    """One momentum map in each layout: .npz, NetCDF-4, NeXus, Igor (as far as the
    writers are installed), each stating a photon energy."""
    xr = pytest.importorskip("xarray")
    h5py = pytest.importorskip("h5py")
    intensity, _ = _data(3)
    files = {}
    files["npz"] = folder / "map.npz"
    np.savez(files["npz"], intensity=intensity, kx=K, ky=K, photon_energy=35.0)
    files["netcdf"] = folder / "map.nc"
    xr.Dataset({"intensity": (("kx", "ky"), intensity)}, coords={"kx": K, "ky": K},
               attrs={"photon_energy": 35.0}).to_netcdf(files["netcdf"], engine="h5netcdf")
    files["nexus"] = folder / "map.h5"  # a NeXus file need not say so in its name
    with h5py.File(files["nexus"], "w") as handle:
        entry = handle.create_group("entry")
        entry.attrs["NX_class"] = "NXentry"
        beam = entry.create_group("instrument/beam_probe")
        beam.attrs["NX_class"] = "NXbeam"
        beam["incident_energy"] = 35.0
        beam["incident_energy"].attrs["units"] = "eV"
        data = entry.create_group("data")
        data.attrs.update({"NX_class": "NXdata", "signal": "counts", "axes": ["kx", "ky"]})
        data["counts"] = intensity
        data["counts"].attrs["units"] = "counts/sr"  # what a momentum file counts per
        for name in ("kx", "ky"):
            data[name] = K
            data[name].attrs["units"] = "1/angstrom"
    igorwriter = pytest.importorskip("igorwriter")
    wave = igorwriter.IgorWave(intensity.astype(np.float32), name="map")
    for dim, label in enumerate(("kx", "ky")):
        wave.set_dimscale("xy"[dim], K[0], K[1] - K[0], "1/Å")
        wave.set_dimlabel(dim, -1, label)
    wave.set_note("Excitation Energy=35")
    wave.set_datascale("counts/sr")
    files["igor"] = folder / "map.ibw"
    wave.save(str(files["igor"]))
    return files, intensity


def test_each_file_is_opened_once_for_its_head_and_once_by_its_reader(tmp_path, monkeypatch):
    """load_measured, to_momentum and the explorer's upload read a file's first bytes
    once, and its reader works from one open handle: the layout's sniff, the upload's
    header check and the data share it."""
    import builtins

    import h5py
    import xarray as xr

    from libkernels.explore.uploads import read_measured
    files, intensity = _files(tmp_path)
    opens = []
    real_open, real_load, real_open_dataset = builtins.open, np.load, xr.open_dataset

    def counted(kind, real):
        def opener(target, *args, **kwargs):
            if isinstance(target, (str, bytes, type(tmp_path))) or hasattr(target, "read"):
                if kind != "open" or str(target).startswith(str(tmp_path)):
                    opens.append((kind, str(target)))
            return real(target, *args, **kwargs)
        return opener

    class CountedFile(h5py.File):
        def __init__(self, name, *args, **kwargs):
            opens.append(("h5py.File", str(name)))
            super().__init__(name, *args, **kwargs)

    monkeypatch.setattr(builtins, "open", counted("open", real_open))
    monkeypatch.setattr(np, "load", counted("np.load", real_load))
    monkeypatch.setattr(xr, "open_dataset", counted("xr.open_dataset", real_open_dataset))
    monkeypatch.setattr(h5py, "File", CountedFile)
    for kind, path in files.items():
        for use in ("load_measured", "to_momentum", "upload"):
            opens.clear()
            if use == "load_measured":
                measured = lk.load_measured(path)
                np.testing.assert_allclose(measured.intensity, intensity, rtol=1e-6)
                assert measured.photon_energy == 35.0, kind
            elif use == "to_momentum" and kind == "npz":
                with pytest.raises(lk.MeasuredDataError, match="needs no conversion"):
                    lk.to_momentum(path)
            elif use == "to_momentum":
                assert float(lk.to_momentum(path).attrs["photon_energy"]) == 35.0
            else:
                with real_open(path, "rb") as handle:
                    raw = handle.read()
                opens.clear()
                assert read_measured(raw)[3]["photon_energy"] == 35.0
            # np.load and xarray open a path through open or h5py.File, counted there
            files_opened = [target for opener, target in opens
                            if opener in ("open", "h5py.File") and target == str(path)]
            # the head, then one reader's handle (none after a refusal; none for bytes)
            expected = 0 if use == "upload" else 1 if kind == "npz" and use == "to_momentum" \
                else 2
            assert len(files_opened) == expected, (kind, use, opens)
            assert len([o for o in opens if o[0] in ("h5py.File", "np.load")]) <= 1, opens
            assert not [o for o in opens if o[0] == "xr.open_dataset" and o[1] == str(path)]


def test_layouts_by_content_and_their_headers_without_the_data(tmp_path):
    from libkernels.formats import measured
    files, intensity = _files(tmp_path)
    for kind, path in files.items():
        assert measured.layout_of(path).__name__.rsplit(".", 1)[1] == kind
        header = measured.read_header(path)
        assert header.layout == kind
        shapes = {array.name.rsplit("/", 1)[-1]: array.shape for array in header.arrays}
        signal = {"npz": "intensity", "netcdf": "intensity", "nexus": "counts",
                  "igor": "map"}[kind]
        assert shapes[signal] == intensity.shape, (kind, shapes)
    # what the headers state: the .npz's numbers, NetCDF and NeXus attributes, Igor units
    assert measured.read_header(files["npz"]).attrs["photon_energy"] == 35.0
    assert measured.read_header(files["netcdf"]).attrs["photon_energy"] == 35.0
    assert measured.read_header(files["nexus"]).attrs["photon_energy"] == 35.0
    igor = measured.read_header(files["igor"]).arrays[0]
    assert igor.dtype == np.float32 and igor.attrs["units"] == ["1/Å", "1/Å"]
    assert measured.read_header(files["igor"]).attrs["photon_energy"] == 35.0
    # content before the name; a damaged file goes to the reader its name names
    renamed = tmp_path / "map.dat"
    renamed.write_bytes(files["netcdf"].read_bytes())
    assert lk.load_measured(renamed).photon_energy == 35.0
    (tmp_path / "cut.nc").write_bytes(files["netcdf"].read_bytes()[:4])
    with pytest.raises(lk.MeasuredDataError, match="cut.nc: cannot be read as NetCDF/HDF5"):
        lk.load_measured(tmp_path / "cut.nc")
    (tmp_path / "bad.npz").write_bytes(b"PK\x03\x04" + b"\0" * 40)
    with pytest.raises(lk.MeasuredDataError, match="bad.npz: not a readable .npz file"):
        lk.load_measured(tmp_path / "bad.npz")
    # a classic NetCDF file: its header parsed here, and now loaded by load_measured too
    classic = tmp_path / "classic.nc"
    xr = pytest.importorskip("xarray")
    pytest.importorskip("scipy")
    xr.Dataset({"intensity": (("kx", "ky"), intensity.astype(np.float32),
                              {"units": "counts"})}, coords={"kx": K, "ky": K},
               attrs={"kinetic_energy": 30.0, "title": "map"}).to_netcdf(classic,
                                                                       engine="scipy")
    header = measured.read_header(classic)
    assert header.attrs == {"kinetic_energy": 30.0, "title": "map"}
    arrays = {array.name: array for array in header.arrays}
    assert arrays["intensity"].shape == (21, 21) and arrays["intensity"].dtype == ">f4"
    assert arrays["intensity"].attrs["units"] == "counts"
    assert lk.load_measured(classic).kinetic_energy == 30.0
