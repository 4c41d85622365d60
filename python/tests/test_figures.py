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
    assert len(figure.axes[0].child_axes) == 1  # the molecule's outline

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
