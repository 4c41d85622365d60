"""Figures: what the caption says, which colour map, and that pyplot is left alone."""

import numpy as np
import pytest

import libkernels as lk

matplotlib = pytest.importorskip("matplotlib")
from libkernels.plot.maps import DIVERGING, SEQUENTIAL, map_figure  # noqa: E402


def _texts(figure):
    return [t.get_text() for t in figure.findobj(matplotlib.text.Text)]


def test_caption_names_the_request_and_signed_maps_are_centred_on_zero(benzene):
    backend = matplotlib.get_backend()
    m = lk.momentum_map_sum(benzene, ["HOMO", "HOMO-1"], photon_energy=40, work_function=4.2,
                            n=41, polarisation="linear", s_share=30, symmetry=2,
                            orientation=(30, 10, 0))
    figure = map_figure(m, molecule=benzene, molecule_name="my$benzene")
    text = "\n".join(_texts(figure))
    for phrase in ("my$benzene HOMO+HOMO-1", "photon 40 eV, work function 4.2 eV",
                   "linear light, incidence 65°", "30% s", "2-fold symmetrised",
                   "(α, β, γ) = (30, 10, 0)°", "dashed circle"):
        assert phrase in text, phrase
    assert figure.axes[0].images[0].get_cmap().name == SEQUENTIAL
    assert [a.get_label() for a in figure.axes].count("molecule") == 1  # the outline

    # Without an imaginary kz the dichroism vanishes: a signed map, all zero, drawn
    # with the diverging map around zero (neutral), not as a uniform intensity.
    zero = lk.momentum_map_sum(benzene, ["HOMO"], kinetic_energy=20, n=21,
                               polarisation="dichroism")
    assert np.all(zero.data == 0)
    image = map_figure(zero).axes[0].images[0]
    assert image.get_cmap().name == DIVERGING
    low, high = image.get_clim()
    assert low == -high and high > 0
    assert matplotlib.get_backend() == backend  # drawing switched nothing


def test_huge_maps_are_drawn_thinned(benzene):
    data = np.ones((2500, 2500), dtype=np.float32)
    figure = map_figure(lk.MomentumMap(data, -1.0, 0.001, "1/bohr", {}))
    assert figure.axes[0].images[0].get_array().shape == (834, 834)
    assert "one pixel in 3 per axis" in "\n".join(_texts(figure))


def test_without_matplotlib_the_message_names_the_extra(benzene, monkeypatch):
    monkeypatch.setitem(__import__("sys").modules, "matplotlib.figure", None)
    m = lk.momentum_map_sum(benzene, ["HOMO"], kinetic_energy=20, n=11)  # computing needs none
    with pytest.raises(lk.MissingExtraError, match=r"libkernels\[plot\]"):
        map_figure(m)


def test_the_molecule_sits_beside_the_data_and_the_caption_states_the_energies():
    """ch3_hf_sto3g.fchk: the inset used to cover the map's maximum."""
    from conftest import wheel_data

    path = wheel_data() / "ch3_hf_sto3g.fchk"
    if not path.exists():
        pytest.skip("the qc-iodata wheel's test files are not installed")
    molecule = lk.read(path)
    m = lk.momentum_map_sum(molecule, ["HOMO"], photon_energy=35, work_function=4.5, n=101)
    figure = map_figure(m, molecule=molecule)
    figure.canvas.draw()
    axes = figure.axes[0]
    inset = next(a for a in figure.axes if a.get_label() == "molecule")
    box, outline = axes.get_window_extent(), inset.get_window_extent()
    assert not box.overlaps(outline)
    assert axes.get_title() == "ch3 HOMO (alpha)"  # the file's own name, not ch3_hf_sto3g
    e_b = -float(molecule.mo_energy[molecule.orbital_index("HOMO")]) * lk.HARTREE_IN_EV
    caption = next(t for t in figure.texts if "E_kin" in t.get_text())
    assert f"E_B = {e_b:.2f} eV, E_kin = {35 - 4.5 - e_b:.2f} eV" in caption.get_text()
    assert caption.get_fontsize() >= 9 and axes.title.get_fontsize() >= 11
    # every caption line fits the figure
    assert caption.get_window_extent().x1 <= figure.bbox.x1
