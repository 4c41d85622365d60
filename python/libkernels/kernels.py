"""One Python function per C kernel, with keyword arguments and numpy results.

Orbital kernels take a Molecule and orbitals chosen by index or name ('HOMO',
'HOMO-1', 'LUMO+1', ...); energies are given in eV by default (energy_unit=
'hartree' for atomic units) and momenta in inverse angstrom (k_unit='1/bohr'
for atomic units).  Everything is converted here, once, to the library's
float32 arguments in bohr, bohr^-1, hartree and degrees.

Kinetic energies: give `kinetic_energy` (one value, or one per orbital), or a
`photon_energy` and `work_function`, with which each orbital's kinetic energy is
E_kin = photon_energy - work_function - E_B, its binding energy E_B being
`binding_energy` when given and otherwise minus its orbital energy.

The momentum kernels omit the constant factor pi^3 of |FT psi|^2 (the library
does not apply it): momentum_density values are |integral psi(r) e^{-ik.r} d^3r|^2
/ pi^3, so dividing by 8 gives the density normalised to 1 over k space.
"""

import numpy as np

from . import _library
from .grids import Field3D, Grid, MomentumMap
from .conversion import check_selected
from .molecule import Molecule
from .units import energy_to_hartree, momentum_to_bohr

SYMMETRY_MODES = {None: -1, "none": -1, 1: -1, 2: 1, 3: 2, 4: 0}

POLARISATIONS = {
    # name: (polarisation_mode, circular_mode, s share override)
    "p": (0, 0, 0.0),
    "s": (0, 0, 100.0),
    "linear": (0, 0, None),
    "circular+": (1, 0, None),  # (e_p + i e_s)/sqrt(2)
    "circular-": (1, 1, None),  # (e_p - i e_s)/sqrt(2)
    "dichroism": (1, 2, None),  # circular- minus circular+
    "radial": (2, 0, None),
}


def _f32(value, name):
    value = float(value)
    if not np.isfinite(value):
        raise ValueError(f"{name} must be finite, got {value}")
    return value


def symmetry_mode(symmetry):
    """Library code of a symmetry group given as None/'none', 2, 3 or 4 (fold)."""
    key = symmetry
    if isinstance(symmetry, str):
        text = symmetry.strip().lower().replace("-fold", "").replace("fold", "")
        key = "none" if text in ("none", "") else int(text) if text.isdigit() else text
    if key not in SYMMETRY_MODES:
        raise ValueError(f"unknown symmetry {symmetry!r}; use none, 2, 3 or 4 (fold)")
    return SYMMETRY_MODES[key]


def orbital_rows(molecule, orbitals, spin="alpha"):
    """Row indices of `orbitals`: one selector, a list of them, or 'occupied'."""
    if isinstance(orbitals, str) and orbitals.strip().lower() == "occupied":
        rows = molecule.occupied_orbitals()
        if len(rows) == 0:
            raise ValueError("the molecule has no occupied orbital")
        rows = [int(r) for r in rows]
        check_selected(molecule, rows)
        return rows
    if isinstance(orbitals, (str, int, np.integer)):
        orbitals = [orbitals]
    rows = [molecule.orbital_index(o, spin) for o in orbitals]
    if not rows:
        raise ValueError("no orbital selected")
    check_selected(molecule, rows)  # parts a file held beyond the library's basis
    return rows


def kinetic_energies(molecule, rows, *, kinetic_energy=None, photon_energy=None,
                     work_function=None, binding_energy=None, energy_unit="eV"):
    """Kinetic energy of each selected orbital's photoelectron, in hartree."""
    if (kinetic_energy is None) == (photon_energy is None):
        raise ValueError("give either kinetic_energy or photon_energy (with work_function)")
    if kinetic_energy is not None:
        values = np.broadcast_to(np.asarray(kinetic_energy, dtype=np.float64), (len(rows),))
        return energy_to_hartree(values, energy_unit)
    if work_function is None:
        raise ValueError("photon_energy needs work_function as well")
    if binding_energy is None:
        energies = molecule.mo_energy[rows]
        if not np.all(np.isfinite(energies)):
            raise ValueError("the orbitals have no energies; give binding_energy or "
                             "kinetic_energy instead")
        binding = -energies
    else:
        binding = energy_to_hartree(np.broadcast_to(
            np.asarray(binding_energy, dtype=np.float64), (len(rows),)), energy_unit)
    return (energy_to_hartree(float(photon_energy) - float(work_function), energy_unit)
            - binding)


def momentum_grid(k_max=3.0, n=201, k_unit="1/angstrom", k_min=None, k_step=None):
    """(n, k_min, k_step) in bohr^-1: n points from -k_max to +k_max, or explicit."""
    n = int(n)
    if n < 1:
        raise ValueError(f"the map needs n >= 1 pixels per side, got {n}")
    if k_min is not None or k_step is not None:
        if k_min is None or k_step is None:
            raise ValueError("give k_min and k_step together")
        return n, float(momentum_to_bohr(k_min, k_unit)), float(momentum_to_bohr(k_step, k_unit))
    k_max = float(momentum_to_bohr(k_max, k_unit))
    if not k_max > 0:
        raise ValueError("k_max must be positive")
    return n, -k_max, (2 * k_max / (n - 1) if n > 1 else 0.0)


def _orientation(orientation):
    values = tuple(_f32(v, "orientation angle") for v in orientation)
    if len(values) != 3:
        raise ValueError("orientation takes three angles (alpha, beta, gamma) in degrees")
    return values


def _molecule(molecule):
    if not isinstance(molecule, Molecule):
        raise TypeError(f"expected a libkernels.Molecule, got {type(molecule).__name__}")
    return molecule


def _polarisation(polarisation, s_share):
    if polarisation is None or polarisation == "none":
        return None
    key = str(polarisation).strip().lower()
    if key not in POLARISATIONS:
        raise ValueError(f"unknown polarisation {polarisation!r}; use one of "
                         f"{', '.join(POLARISATIONS)}")
    mode, circular, share = POLARISATIONS[key]
    return mode, circular, _f32(s_share if share is None else share, "s_share")


def _coefficient_matrix(molecule, rows):
    return np.ascontiguousarray(molecule.mo_coeff[rows], dtype=np.float32)


# ---- photoemission momentum maps -------------------------------------------

def momentum_map(molecule, orbital="HOMO", *, spin="alpha", kinetic_energy=None,
                 photon_energy=None, work_function=None, binding_energy=None, energy_unit="eV",
                 k_max=3.0, n=201, k_unit="1/angstrom", k_min=None, k_step=None,
                 orientation=(0.0, 0.0, 0.0)):
    """|psi(k)|^2 of one orbital on the kinetic-energy hemisphere (no symmetry, no light)."""
    molecule = _molecule(molecule)
    rows = orbital_rows(molecule, orbital, spin)
    if len(rows) != 1:
        raise ValueError("momentum_map takes one orbital; use momentum_map_sum for several")
    e_kin = kinetic_energies(molecule, rows, kinetic_energy=kinetic_energy,
                             photon_energy=photon_energy, work_function=work_function,
                             binding_energy=binding_energy, energy_unit=energy_unit)[0]
    if not e_kin > 0:
        raise ValueError(f"orbital {molecule.orbital_label(rows[0])} would have a kinetic "
                         "energy <= 0 (raise the photon energy)")
    n, kmin, kstep = momentum_grid(k_max, n, k_unit, k_min, k_step)
    alpha, beta, gamma = _orientation(orientation)
    out = np.empty((n, n), dtype=np.float32)
    _library.function("momentum_map")(
        n, molecule.n_atoms, molecule.shells_per_atom, molecule.atom_x, molecule.atom_y,
        molecule.atom_z, e_kin, kmin, kstep, alpha, beta, gamma, molecule.shell_l,
        molecule.shell_n_prim, molecule.prim_exponent, molecule.prim_coeff,
        _coefficient_matrix(molecule, rows[0]), out)
    return MomentumMap(out, kmin, kstep, k_unit, {
        "orbitals": [molecule.orbital_label(r) for r in rows], "e_kin_hartree": float(e_kin),
        "orientation": (alpha, beta, gamma)})


class MapSumCall:
    """A prepared momentum_map_sum call: everything but the orientation fixed."""

    def __init__(self, molecule, orbitals=("HOMO",), *, spin="alpha", weights=None,
                 kinetic_energy=None, photon_energy=None, work_function=None,
                 binding_energy=None, energy_unit="eV", k_max=3.0, n=201, k_unit="1/angstrom",
                 k_min=None, k_step=None, symmetry=None, polarisation=None,
                 incidence=65.0, azimuth=0.0, s_share=0.0, kz_imaginary=0.0):
        self.molecule = _molecule(molecule)
        self.rows = orbital_rows(molecule, orbitals, spin)
        self.e_kin = np.ascontiguousarray(kinetic_energies(
            molecule, self.rows, kinetic_energy=kinetic_energy, photon_energy=photon_energy,
            work_function=work_function, binding_energy=binding_energy,
            energy_unit=energy_unit), dtype=np.float32)
        if np.any(self.e_kin <= 0):
            bad = [molecule.orbital_label(r) for r, e in zip(self.rows, self.e_kin) if e <= 0]
            raise ValueError(f"orbital(s) {', '.join(bad)} would have a kinetic energy <= 0 "
                             "(raise the photon energy)")
        self.weights = None if weights is None else np.ascontiguousarray(
            np.broadcast_to(np.asarray(weights, dtype=np.float32), (len(self.rows),)))
        self.coeff = _coefficient_matrix(molecule, self.rows)
        self.n, self.k_min, self.k_step = momentum_grid(k_max, n, k_unit, k_min, k_step)
        self.k_unit = k_unit
        self.symmetry_mode = symmetry_mode(symmetry)
        light = _polarisation(polarisation, s_share)
        self.use_polarisation = 0 if light is None else 1
        self.polarisation_mode, self.circular_mode, self.s_share = light or (0, 0, 0.0)
        self.incidence = _f32(incidence, "incidence")
        self.azimuth = _f32(azimuth, "azimuth")
        self.kz_imaginary = np.ascontiguousarray(np.broadcast_to(
            np.asarray(momentum_to_bohr(np.asarray(kz_imaginary, dtype=np.float64), k_unit),
                       dtype=np.float32), (len(self.rows),)))
        self.parameters = {
            "orbitals": [molecule.orbital_label(r) for r in self.rows],
            "e_kin_hartree": [float(e) for e in self.e_kin], "symmetry": symmetry,
            "polarisation": polarisation, "incidence": incidence, "azimuth": azimuth,
            "s_share": self.s_share}
        self._function = _library.function("momentum_map_sum")

    def run(self, orientation=(0.0, 0.0, 0.0), rows=None, out=None):
        """Sums the selected orbitals (or the subset `rows`, positions into self.rows)."""
        alpha, beta, gamma = _orientation(orientation)
        if rows is None:
            coeff, e_kin, weights, kz = self.coeff, self.e_kin, self.weights, self.kz_imaginary
        else:
            take = np.asarray(rows, dtype=np.intp)
            coeff = np.ascontiguousarray(self.coeff[take])
            e_kin = np.ascontiguousarray(self.e_kin[take])
            weights = None if self.weights is None else np.ascontiguousarray(self.weights[take])
            kz = np.ascontiguousarray(self.kz_imaginary[take])
        if out is None:
            out = np.empty((self.n, self.n), dtype=np.float32)
        m = self.molecule
        self._function(
            len(e_kin), e_kin, weights, coeff, self.n, self.symmetry_mode, self.k_min,
            self.k_step, alpha, beta, gamma, self.incidence, self.azimuth, self.s_share,
            self.use_polarisation, self.polarisation_mode, self.circular_mode, kz,
            m.n_atoms, *m.basis_arguments(), out)
        return out


def momentum_map_sum(molecule, orbitals=("HOMO",), *, orientation=(0.0, 0.0, 0.0), **options):
    """Weighted sum of symmetrised, optionally light-weighted momentum maps.

    Options: spin, weights, kinetic_energy | photon_energy + work_function
    [+ binding_energy], energy_unit, k_max, n, k_unit (or k_min + k_step),
    symmetry (None, 2, 3, 4), polarisation (None, 'p', 's', 'linear',
    'circular+', 'circular-', 'dichroism', 'radial'), incidence and azimuth
    (degrees), s_share (percent, for 'linear'), kz_imaginary (in k_unit).
    """
    call = MapSumCall(molecule, orbitals, **options)
    out = call.run(orientation)
    return MomentumMap(out, call.k_min, call.k_step, call.k_unit,
                       {**call.parameters, "orientation": tuple(orientation)})


def polarisation_factor(momentum_map, *, polarisation="p", kinetic_energy, energy_unit="eV",
                        incidence=65.0, azimuth=0.0, s_share=0.0, kz_imaginary=0.0):
    """A new MomentumMap: `momentum_map` times the light-polarisation factor."""
    if not isinstance(momentum_map, MomentumMap):
        raise TypeError("polarisation_factor needs a MomentumMap (it carries the k grid)")
    light = _polarisation(polarisation, s_share)
    if light is None:
        raise ValueError("polarisation_factor needs a polarisation")
    mode, circular, share = light
    data = np.array(momentum_map.data, dtype=np.float32, order="C")
    e_kin = float(energy_to_hartree(float(kinetic_energy), energy_unit))
    if not e_kin > 0:
        raise ValueError("the kinetic energy must be positive")
    kz = float(momentum_to_bohr(float(kz_imaginary), momentum_map.unit))
    _library.function("polarisation_factor")(
        data.shape[0], mode, circular, data, e_kin, momentum_map.k_min, momentum_map.k_step,
        _f32(incidence, "incidence"), _f32(azimuth, "azimuth"), share, kz)
    return momentum_map.with_data(data, polarisation=polarisation)


# ---- real-space fields ------------------------------------------------------

def _real_grid(molecule, grid, spacing, margin, unit):
    if grid is None:
        return Grid.around(molecule, spacing, margin, unit)
    if grid.space != "real":
        raise ValueError("this kernel needs a real-space grid")
    return grid


def _one_orbital_on_grid(function, m, row, grid):
    """Calls scalar_field or momentum_density (the same parameter order) for one orbital."""
    nx, ny, nz = grid.shape
    out = np.empty((nz, ny, nx), dtype=np.float32)
    _library.function(function)(
        nx, ny, nz, m.n_atoms, m.shells_per_atom, m.atom_x, *grid.origin, grid.step,
        m.atom_y, m.atom_z, m.shell_l, m.shell_n_prim, m.prim_exponent, m.prim_coeff,
        _coefficient_matrix(m, row), out)
    return Field3D(out, grid, {"orbitals": [m.orbital_label(row)]})


def _orbitals_on_grid(function, m, rows, weights, grid):
    """Calls charge_density_sum or momentum_density_sum (the same parameter order);
    weights default to the orbitals' occupations."""
    if weights is None:
        weights = m.mo_occ[rows]
    weights = np.ascontiguousarray(np.broadcast_to(np.asarray(weights, dtype=np.float32),
                                                   (len(rows),)))
    nx, ny, nz = grid.shape
    out = np.empty((nz, ny, nx), dtype=np.float32)
    _library.function(function)(
        nx, ny, nz, len(rows), weights, _coefficient_matrix(m, rows), *grid.origin, grid.step,
        m.n_atoms, *m.basis_arguments(), out)
    return Field3D(out, grid, {"orbitals": [m.orbital_label(r) for r in rows]})


def scalar_field(molecule, orbital="HOMO", *, spin="alpha", grid=None, spacing=0.2,
                 margin=4.0, unit="angstrom"):
    """One orbital on a real-space grid; returns a Field3D of shape (nz, ny, nx).

    Without `grid`, a box around the molecule with the given spacing and margin
    (in `unit`) is used.
    """
    molecule = _molecule(molecule)
    rows = orbital_rows(molecule, orbital, spin)
    if len(rows) != 1:
        raise ValueError("scalar_field takes one orbital")
    return _one_orbital_on_grid("scalar_field", molecule, rows[0],
                                _real_grid(molecule, grid, spacing, margin, unit))


def charge_density_sum(molecule, orbitals="occupied", *, spin="alpha", weights=None, grid=None,
                       spacing=0.2, margin=4.0, unit="angstrom"):
    """sum_o w_o psi_o^2 on a real-space grid; by default the electron density
    (all occupied orbitals weighted by their occupations)."""
    molecule = _molecule(molecule)
    return _orbitals_on_grid("charge_density_sum", molecule, orbital_rows(molecule, orbitals, spin),
                             weights, _real_grid(molecule, grid, spacing, margin, unit))


# ---- momentum densities -------------------------------------------------------

def _momentum_grid3d(grid, k_max, n, k_unit):
    if grid is None:
        return Grid.momentum_cube(k_max, n, k_unit)
    if grid.space != "momentum":
        raise ValueError("this kernel needs a momentum grid (Grid.momentum_cube)")
    return grid


def momentum_density(molecule, orbital="HOMO", *, spin="alpha", grid=None, k_max=3.0, n=61,
                     k_unit="1/angstrom"):
    """|psi(k)|^2 / pi^3 of one orbital on a 3D momentum grid (Field3D, (nz, ny, nx))."""
    molecule = _molecule(molecule)
    rows = orbital_rows(molecule, orbital, spin)
    if len(rows) != 1:
        raise ValueError("momentum_density takes one orbital; use momentum_density_sum")
    return _one_orbital_on_grid("momentum_density", molecule, rows[0],
                                _momentum_grid3d(grid, k_max, n, k_unit))


def momentum_density_sum(molecule, orbitals="occupied", *, spin="alpha", weights=None,
                         grid=None, k_max=3.0, n=61, k_unit="1/angstrom"):
    """sum_o w_o |psi_o(k)|^2 / pi^3 on a 3D momentum grid; weights default to the
    occupations."""
    molecule = _molecule(molecule)
    return _orbitals_on_grid("momentum_density_sum", molecule,
                             orbital_rows(molecule, orbitals, spin), weights,
                             _momentum_grid3d(grid, k_max, n, k_unit))


# ---- map post-processing --------------------------------------------------------

def _square_map(momentum_map):
    data = momentum_map.data if isinstance(momentum_map, MomentumMap) else momentum_map
    data = np.asarray(data)
    if data.ndim != 2 or data.shape[0] != data.shape[1]:
        raise ValueError(f"a map must be square (n, n), got shape {data.shape}")
    if data.dtype.kind not in "iuf":
        raise ValueError(f"a map must hold real numbers, got dtype {data.dtype}")
    return np.array(data, dtype=np.float32, order="C")


def _like(momentum_map, data, **parameters):
    if isinstance(momentum_map, MomentumMap):
        return momentum_map.with_data(data, **parameters)
    return data


def rotation(momentum_map, angle):
    """The map turned by `angle` degrees about its centre (a new map)."""
    data = _square_map(momentum_map)
    n = data.shape[0]
    pointer = _library.function("rotation")(n, data, _f32(angle, "angle"))
    return _like(momentum_map, _library.take_malloced_map(pointer, n), rotated=angle)


def flip_over_x(momentum_map):
    """The map with its rows (kx) in reverse order (a new map)."""
    data = _square_map(momentum_map)
    n = data.shape[0]
    return _like(momentum_map, _library.take_malloced_map(
        _library.function("flip_over_x")(n, data), n))


def flip_over_y(momentum_map):
    """The map with every row reversed, i.e. ky mirrored (a new map)."""
    data = _square_map(momentum_map)
    n = data.shape[0]
    return _like(momentum_map, _library.take_malloced_map(
        _library.function("flip_over_y")(n, data), n))


def symmetrisation(momentum_map, symmetry):
    """The map averaged over a rotation-and-mirror group (None, 2, 3, 4); a new map."""
    data = _square_map(momentum_map)
    _library.function("symmetrisation")(data.shape[0], symmetry_mode(symmetry), data)
    return _like(momentum_map, data, symmetry=symmetry)


def normalisation(momentum_map):
    """The map scaled so that its maximum is 255 (a new map)."""
    data = _square_map(momentum_map)
    _library.function("normalisation")(data.shape[0], data)
    return _like(momentum_map, data)
