"""Draws docs/final_states.png and prints the tables of docs/final_states.md.

The figure: pentacene's HOMO at kinetic energies of 20, 35 and 80 eV (columns),
p-polarised light at 65° incidence in the kx-z plane; rows: the plane-wave map
(the library's, times its polarisation factor), the IAC map with the atomic
continuum, their difference (each map scaled to its own maximum), and the IAC
circular dichroism (left - right) / (left + right), where left + right exceeds 5 % of
its maximum.

The tables (Markdown, on standard output): the free-electron limit against the
plane-wave maps, the HFS eigenvalues against measured ionisation energies, the
continuum phases of C and H, and the subshell cross-sections and asymmetry
parameters against Yeh and Lindau's tables, which are read from the erlab wheel
that scripts/install_deps.sh fetches into .cache/erlab (GPL data: read, never
copied into the tree but for the numbers of the table).

    python docs/make_final_states_figure.py > /tmp/tables.md     # about a minute
"""

import glob
import io
import zipfile
from pathlib import Path

import numpy as np

import libkernels as lk
from libkernels.final_state import IACMapCall, Light, atomic_potential, phase_table
from libkernels.final_state.cross_sections import subshell_photoionisation

HERE = Path(__file__).resolve().parent
ENERGIES = (20.0, 35.0, 80.0)
N, K_MAX = 201, 3.0
# first ionisation energies (eV), NIST Atomic Spectra Database
IONISATION = {"H": 13.598, "C": 11.260, "N": 14.534, "O": 13.618, "S": 10.360, "Fe": 7.902,
              "Cu": 7.726, "Zn": 9.394, "Kr": 14.000}


def maps_at(molecule, energy):
    plane = lk.momentum_map_sum(molecule, ["HOMO"], kinetic_energy=energy, n=N, k_max=K_MAX,
                                polarisation="p")
    call = IACMapCall(molecule, ["HOMO"], kinetic_energy_hartree=energy / lk.HARTREE_IN_EV,
                      grid=(N, plane.k_min_bohr, plane.k_step_bohr), light=Light("p"))
    left, right = call.helicity_maps()
    return plane, call.run(), left, right


def figure():
    from matplotlib.figure import Figure

    pentacene = lk.load_example("pentacene")
    fig = Figure(figsize=(11, 14.5), dpi=100, layout="constrained")
    axes = fig.subplots(4, 3)
    rows = ("plane wave × |ε·k|²", "IAC, atomic continuum", "IAC − plane wave",
            "IAC dichroism (L − R)/(L + R)")
    for column, energy in enumerate(ENERGIES):
        plane, iac, left, right = maps_at(pentacene, energy)
        a = plane.data / plane.data.max()
        b = iac / iac.max()
        # the asymmetry only where there is intensity to measure it (5 % of the maximum)
        total = left + right
        shown = total > 0.05 * total.max()
        dichroism = np.where(shown, (left - right) / np.where(shown, total, 1), np.nan)
        print(f"{energy:g} eV: max |IAC - plane wave| = {np.abs(b - a).max():.3f} of the maximum, "
              f"correlation {np.corrcoef(a.ravel(), b.ravel())[0, 1]:.4f}, "
              f"|dichroism| up to {np.nanmax(np.abs(dichroism)):.2f} where L + R > 5 %")
        extent = (plane.kx[0], plane.kx[-1], plane.ky[0], plane.ky[-1])
        for row, (data, cmap, limits) in enumerate(
                ((a, "inferno", (0, 1)), (b, "inferno", (0, 1)),
                 (b - a, "RdBu_r", (-0.3, 0.3)), (dichroism, "RdBu_r", (-1, 1)))):
            ax = axes[row, column]
            image = ax.imshow(data.T, origin="lower", extent=extent, cmap=cmap,
                              vmin=limits[0], vmax=limits[1])
            ax.set_title(f"{rows[row]}, {energy:g} eV", fontsize=9)
            ax.set_xlabel("kx (1/Å)", fontsize=8)
            ax.set_ylabel("ky (1/Å)", fontsize=8)
            ax.tick_params(labelsize=7)
            if column == 2:
                fig.colorbar(image, ax=axes[row, :], shrink=0.9)
    fig.savefig(HERE / "final_states.png")


def free_limit_table():
    pentacene = lk.load_example("pentacene")
    print("| orbital | light | orientation (α, β, γ) | constant | max deviation / max |")
    print("|---|---|---|---|---|")
    for orbital in ("HOMO", "HOMO-1"):
        for polarisation in ("p", "s"):
            for orientation in ((0, 0, 0), (30, 40, 10), (-70, 120, 55)):
                plane = lk.momentum_map_sum(pentacene, [orbital], kinetic_energy=30.0, n=N,
                                            k_max=K_MAX, polarisation=polarisation,
                                            orientation=orientation)
                call = IACMapCall(pentacene, [orbital],
                                  kinetic_energy_hartree=30.0 / lk.HARTREE_IN_EV,
                                  grid=(N, plane.k_min_bohr, plane.k_step_bohr),
                                  light=polarisation, continuum="free")
                found = call.run(orientation).astype(np.float64)
                expected = plane.data.astype(np.float64)
                constant = float(np.sum(expected * found) / np.sum(found * found))
                deviation = np.abs(constant * found - expected).max() / expected.max()
                print(f"| {orbital} | {polarisation} | {orientation} | {constant:.7f} | "
                      f"{deviation:.1e} |")


def eigenvalue_table():
    print("| element | outermost subshell | HFS eigenvalue (eV) | first ionisation energy "
          "(eV) | Latter radius (bohr) |")
    print("|---|---|---|---|---|")
    for symbol, measured in IONISATION.items():
        atom = atomic_potential(symbol)
        (n, l), energy = max(atom.energies.items(), key=lambda item: item[1])
        print(f"| {symbol} | {n}{'spdf'[l]} | {-energy * lk.HARTREE_IN_EV:.3f} | {measured:.3f} "
              f"| {atom.latter_radius:.2f} |")


def phase_tables():
    for symbol in ("C", "H"):
        table = phase_table(symbol, ENERGIES)
        print(f"\n{symbol}: phase σ_l + δ_l (radians, in (−π, π]) and the short-range "
              "part δ_l\n")
        print("| E (eV) | " + " | ".join(f"l' = {l}" for l in range(6)) + " |")
        print("|---|" + "---|" * 6)
        for e, total, short in zip(table["energy_ev"], table["phase"], table["short_range"]):
            print(f"| {e:g} | " + " | ".join(f"{t:+.3f} ({s:+.3f})" for t, s in zip(total, short))
                  + " |")


def yeh_lindau_table():
    wheel = next(iter(sorted(glob.glob(str(HERE.parent / ".cache" / "erlab" / "erlab-*.whl")))),
                 None)
    if wheel is None:
        print("\n(no erlab wheel in .cache/erlab: run scripts/install_deps.sh)")
        return
    with zipfile.ZipFile(wheel) as archive:
        data = np.load(io.BytesIO(archive.read("erlab/analysis/_data/yeh_lindau_1985_pics.npz")))
        tables = {}
        for element, subshell in (("C", "2p"), ("N", "2p"), ("O", "2p"), ("S", "3p")):
            hv = data[f"{element}__{subshell}__hv"].astype(np.float64)
            sigma = data[f"{element}__{subshell}__sigma"].astype(np.float64)
            keep = (hv >= 20) & (hv <= 100)
            tables[(element, subshell)] = (hv[keep], sigma[keep])
    names = list(tables)
    results = {key: subshell_photoionisation(key[0], key[1], tables[key][0]) for key in names}
    print("\n| hν (eV) | " + " | ".join(f"{e} {s}: model / Yeh–Lindau (Mb), β"
                                        for e, s in names) + " |")
    print("|---|" + "---|" * len(names))
    for i, hv in enumerate(tables[names[0]][0]):
        cells = []
        for key in names:
            ref = tables[key][1][i]
            model = results[key].cross_section_mb[i]
            cells.append(f"{model:.4g} / {ref:.4g} ({model / ref - 1:+.2%}), "
                         f"{results[key].beta[i]:.3f}")
        print(f"| {hv:g} | " + " | ".join(cells) + " |")
    for key in names:
        deviation = results[key].cross_section_mb / tables[key][1] - 1
        print(f"\n{key[0]} {key[1]}: deviation {deviation.min():+.2%} to {deviation.max():+.2%}, "
              f"binding energy of the model {results[key].binding_energy_ev:.3f} eV")


if __name__ == "__main__":
    figure()
    free_limit_table()
    print()
    eigenvalue_table()
    phase_tables()
    yeh_lindau_table()
