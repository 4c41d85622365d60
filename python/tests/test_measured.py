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
