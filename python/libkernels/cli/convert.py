"""The `libkernels convert` command: measured data to a momentum lattice, as NetCDF;
and the options with which fit and deconvolve take data measured in angles.

    libkernels convert map.ibw --geometry deflector --photon-energy 35 \\
        --work-function 4.5 --dims x=kinetic_energy y=phi z=psi -o converted
"""

from __future__ import annotations

import argparse
from typing import TYPE_CHECKING, Any, List, Mapping

from ..core.extras import NETCDF_WRITER, require_all
from ..kspace.axes import ANGLE_UNIT_CHOICES, ROLES, parse_dims
from ..kspace.geometry import GEOMETRIES
from ..kspace.request import ConvertRequest
from ..kspace.settings import parse_offsets
from .options import Flags, add_request_command, flag, options, pair, request_of, run_flags
from .records import output_directory, output_option

if TYPE_CHECKING:
    from .options import Commands

CONVERSION = "measured in angles (conversion to momentum)"
ENERGIES = "energies (eV; default: the file's)"
DESCRIPTION = (
    "Reads measured data (NeXus NXmpes, NetCDF/HDF5, Zarr, Igor .ibw/.pxp/.pxt), recognises "
    "its dimensions by name and unit, converts angles to parallel momentum for the given "
    "set-up and resamples every energy slice onto one square lattice in kx, ky (1/Å), "
    "carrying each pixel's uncertainty (counts, or the file's sigma).  Writes DIR/NAME_k.nc "
    "(NAME the input's, so the measurement itself is never written over) with intensity "
    "and sigma on (binding_energy,) kx, ky, and the record that makes it again "
    "(--from-record DIR/NAME_k.nc).  Cubes above the memory limit are converted chunk by chunk.")

# the set-up's options, which fit and deconvolve take as convert does
CONVERSION_FLAGS: Flags = options(
    geometry=flag("--geometry", group=CONVERSION, choices=GEOMETRIES,
                  help="the set-up that measured the angles: deflector (slit angle phi and "
                       "deflector angle psi), polar (phi and a polar scan theta), tilt (phi and "
                       "a tilt scan beta), polar-azimuth (emission angles theta from the normal "
                       "and azimuth); data already in momentum need none"),
    angle_offsets=flag("--angle-offsets", group=CONVERSION, nargs="+", metavar="ANGLE=DEG",
                       convert=parse_offsets,
                       help="each angle's reading at normal emission, e.g. phi=0.4 theta=-1.2 "
                            "(fixed manipulator angles alike)"),
    sample_azimuth=flag("--sample-azimuth", group=CONVERSION, type=float, metavar="DEG",
                        help="the sample's rotation about its normal (default: 0)"),
    energy_window=flag("--energy-window", group=CONVERSION, type=float, nargs=2,
                       metavar=("LOW", "HIGH"), convert=pair,
                       help="sum the slices with energies from LOW to HIGH eV (binding energy "
                            "when the photon energy is known, else kinetic) into one map"),
    k_step=flag("--resolution", group=CONVERSION, type=float, metavar="STEP",
                help="the momentum lattice's step in 1/Å, the same in kx and ky (default: the "
                     "finest angle step at normal emission)"),
    angle_unit=flag("--angle-unit", group=CONVERSION, choices=ANGLE_UNIT_CHOICES,
                    help="the unit of every angle axis, where the file states none or over "
                         "what it states (default: the file's units, never guessed)"),
    counts_per=flag("--counts-per", group=CONVERSION, choices=("solid-angle", "k-area"),
                    help="what data already in momentum count per, where the file does not "
                         "say: solid-angle (an angle-resolving analyser) or k-area (a momentum "
                         "microscope); the fit applies the Jacobian K kz accordingly"),
    dims=flag("--dims", group=CONVERSION, nargs="+", metavar="NAME=ROLE", convert=parse_dims,
              help="what the file's dimensions are where their names do not say: "
                   + ", ".join(ROLES)))

FLAGS: Flags = options(
    input=flag("input", help="the measured data: NeXus (NXmpes), NetCDF/HDF5, Zarr or Igor "
                             ".ibw/.pxp/.pxt"),
    **CONVERSION_FLAGS,
    photon_energy=flag("--photon-energy", group=ENERGIES, type=float, metavar="EV"),
    work_function=flag("--work-function", group=ENERGIES, type=float, metavar="EV"),
    kinetic_energy=flag("--kinetic-energy", group=ENERGIES, type=float, metavar="EV",
                        help="the kinetic energy of a map that has no energy axis"),
    inner_potential=flag("--inner-potential", group=ENERGIES, type=float, metavar="V0",
                         help="a photon-energy scan converts to (kz, k_par) with kz = 0.5123 "
                              "sqrt(E_kin cos^2 phi + V0)"),
    **{name: option for name, option in run_flags(threads="").items()
       if name == "max_memory"})


def add_parser(commands: Commands) -> None:
    parser = add_request_command(commands, "convert", ConvertRequest, run, FLAGS,
                                 groups=(CONVERSION, ENERGIES), description=DESCRIPTION,
                                 help="measured data in angles (or momenta) to a momentum "
                                      "lattice for fit and deconvolve")
    output_option(parser, "directory for the converted NAME_k.nc")


def run(args: argparse.Namespace) -> None:
    folder = output_directory(args.output_dir, (".nc", ".h5", ".nxs"),
                              "after the input, as NAME_k.nc")
    request = request_of(args)
    assert isinstance(request, ConvertRequest)
    require_all(NETCDF_WRITER, "lab", "writing the converted NAME_k.nc")
    result = request.run()
    target = result.save(folder)
    dataset = result.dataset
    shape = " x ".join(f"{d} {n}" for d, n in dataset["intensity"].sizes.items())
    print(f"wrote {target}: {shape}, k step {result.record['k_step']:.5g} 1/Å")
    for line in conversion_report(dataset.attrs):
        print(line)


def conversion_report(attrs: Mapping[str, Any]) -> List[str]:
    """What a conversion read from the file, assumed, and summed, one line each."""
    lines = []
    if attrs.get("slices_summed"):
        energies = ", ".join(f"{v:g}" for v in attrs["summed_energies"])
        lines.append(f"summed {attrs['slices_summed']} slices at "
                     f"{attrs['summed_energy_kind']} energies {energies} eV")
    if attrs.get("read_from_file"):
        lines.append(f"read from the file: {attrs['read_from_file']}")
    if attrs.get("assumed"):
        lines.append(f"assumed or overridden: {attrs['assumed']}")
    return lines
