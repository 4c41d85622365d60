"""`lk.widget`: the explorer's map in a notebook cell.

In this process the widget runs without a kernel (its messages go nowhere): its
settings are checked as the explorer checks them, each change repaints once, its
map is the library's to the bit, and what the view sends is answered, never
raised.  A notebook run by nbclient in a kernel of this environment then makes a
widget, turns it from Python and reads the map back; the state the notebook
recorded for the view holds the same map.  (test_widget_browser.py runs the view.)
"""

import base64
import sys

import numpy as np
import pytest

import libkernels as lk
from libkernels.core.errors import InputError, MissingExtraError

from conftest import requires, tiny_molecule

anywidget = pytest.importorskip("anywidget")
from libkernels.explore import widget as W  # noqa: E402  (needs anywidget)


def library_map(orbitals, **options):
    return lk.momentum_map_sum(lk.load_example("pentacene"), orbitals, **options).data


@pytest.fixture
def pentacene_widget():
    requires("momentum_map_sum")
    return lk.widget("pentacene", ["HOMO", "HOMO-1"], weights=[1, 0.5], resolution=61)


def test_the_map_is_the_library_map_for_every_kind_of_setting(pentacene_widget):
    w = pentacene_widget
    assert w.orbitals == ("HOMO", "HOMO-1") and w.weights == (1.0, 0.5)
    base = dict(k_max=3.0, n=61, weights=[1, 0.5])
    assert np.array_equal(w.map.data, library_map(["HOMO", "HOMO-1"], photon_energy=35,
                                                  work_function=4.5, **base))
    w.orientation = (30, -10, 5)
    w.set(kinetic_energy=25, polarisation="p", incidence=50, azimuth=20, kz_damping=0.5)
    assert w.energy_mode == "kinetic"
    expected = library_map(["HOMO", "HOMO-1"], orientation=(30, -10, 5), kinetic_energy=25,
                           polarisation="p", incidence=50, azimuth=20, kz_imaginary=0.5, **base)
    assert np.array_equal(w.map.data, expected)
    # the arguments it states make the same map, and the view got those bits too
    assert np.array_equal(lk.momentum_map_sum(w.molecule, **w.arguments()).data, expected)
    assert np.array_equal(np.frombuffer(w._map_values, "<f4").reshape(61, 61), expected)
    assert w.map.parameters["orientation"] == (30.0, -10.0, 5.0)
    assert w.map.kx[0] == pytest.approx(-3.0)
    w.set(symmetry="2-fold", polarisation=None, kz_damping=0, orientation=(0, 0, 0))
    assert w.symmetry == 2
    assert np.array_equal(w.map.data, library_map(["HOMO", "HOMO-1"], kinetic_energy=25,
                                                  symmetry=2, **base))


def test_python_changes_repaint_once_and_refusals_name_the_setting(pentacene_widget):
    w = pentacene_widget
    count = w._map_info["count"]
    w.orientation = (12, 0, 0)
    assert w._map_info["count"] == count + 1 and "error" not in w._map_info
    w.set(orientation=(13, 0, 0), k_max=2.5)  # several settings: one map
    assert w._map_info["count"] == count + 2
    refusals = [("orientation", (270, 0, 0), "orientation alpha must lie between -180° and 180°"),
                ("resolution", 5000, "resolution must be at most 1001"),
                ("k_max", 0, "k_max must be positive"),
                ("symmetry", 5, "symmetry must be none, 2, 3 or 4"),
                ("polarisation", "q", "polarisation must be None or one of p, s"),
                ("weights", [1, 2, 3], "weights needs one value per orbital (2)"),
                # what the map needs of the others: this photon leaves no kinetic energy
                ("photon_energy", 5, "photon_energy 5 eV leaves HOMO")]
    for name, value, message in refusals:
        before = getattr(w, name)
        with pytest.raises(InputError, match=message.replace("(", r"\(").replace(")", r"\)")):
            setattr(w, name, value)
        assert getattr(w, name) == before  # nothing kept, nothing repainted
    assert w._map_info["count"] == count + 2
    with pytest.raises(lk.MoleculeError, match="HOMO-99"):
        w.orbitals = ["HOMO-99"]
    # two settings that need each other go together; an unknown one is named
    w.set(photon_energy=10, work_function=2)
    assert w.energy_mode == "photon" and w._map_info["e_kin_ev"][0] == pytest.approx(2.30, 0.01)
    with pytest.raises(InputError, match="n is not a setting of the widget; its settings are "
                                         "orientation, orbitals, weights, energy_mode"):
        w.set(n=101)
    with pytest.raises(InputError, match="kinetic_energy is given with photon_energy"):
        lk.widget("pentacene", kinetic_energy=30, photon_energy=35)
    with pytest.raises(InputError, match="resolution must be at most 1001"):
        lk.widget("pentacene", resolution=10 ** 6)


def test_a_molecule_given_as_an_object_is_titled_by_its_name():
    """The view's title and picture name the molecule: as its file names it, else by the
    file it was read from; "molecule" only for one built from arrays."""
    requires("momentum_map_sum")
    read = lk.load_example("pentacene")
    assert read.name == ""  # its Molden file gives it no name
    assert lk.widget(read, resolution=21)._molecule["display"] == "pentacene"
    read.name = "pentacene (B3LYP)"
    assert lk.widget(read, resolution=21)._molecule["display"] == "pentacene (B3LYP)"
    built = lk.Molecule(**tiny_molecule())
    assert lk.widget(built, orbitals=[0], resolution=21)._molecule["display"] == "molecule"


def test_the_view_is_answered_never_raised_at(pentacene_widget):
    """What the view sends is taken as it is; a refusal comes back as the map's error,
    answering the view's request, so that the view is never left waiting."""
    w = pentacene_widget
    w.set_state({"resolution": 5000, "_request": 7})
    assert w.resolution == 5000
    assert w._map_info["error"] == "resolution must be at most 1001, got 5000"
    assert w._map_info["answer"] == 7
    with pytest.raises(InputError, match="resolution must be at most 1001"):
        w.map
    w.set_state({"resolution": 2.5, "_request": 8})  # not even an integer
    assert "expected an int" in w._map_info["error"] and w._map_info["answer"] == 8
    w.set_state({"resolution": 61, "orientation": [20, 0, 0],
                 "selection": [{"index": 72, "weight": 1}], "_request": 9})
    assert w._map_info["answer"] == 9 and "error" not in w._map_info
    assert w.orientation == (20.0, 0.0, 0.0) and w.orbitals == ("HOMO",)
    assert np.array_equal(w.map.data, library_map(["HOMO"], orientation=(20, 0, 0),
                                                  photon_energy=35, work_function=4.5,
                                                  k_max=3.0, n=61))


def test_its_javascript_is_the_explorers_and_its_style_stays_inside_it():
    explorer = (W.resources.files("libkernels.explore") / "static" / "explorer.js").read_text()
    module = W.MapWidget._esm
    assert module.startswith(explorer) and module.count("class MapView") == 1
    assert "./explorer.js" not in module and "export default { render }" in module
    css = W.scoped_css(":root { --a: 1; }\nhtml, body { margin: 0; }\n/* a, b { } */\n"
                       "td input.weight, [hidden] { width: 5px; }\n"
                       "@media (max-width: 9px) { .x { color: red; } }\n", ".lk")
    assert css.split("\n")[:3] == [".lk {--a: 1; }", ".lk, .lk {margin: 0; }",
                                   ".lk td input.weight, .lk [hidden] {width: 5px; }"]
    assert "@media (max-width: 9px) {\n.lk .x {color: red; }" in css
    style = W.MapWidget._css
    assert ".lk-widget .map-stale" in style and "\nbody" not in style and "\nh2" not in style


def test_the_extra_is_named_when_anywidget_is_missing(monkeypatch):
    monkeypatch.setitem(sys.modules, "anywidget", None)  # import anywidget fails
    with pytest.raises(MissingExtraError, match=r"pip install 'libkernels\[widget\]'"):
        lk.widget("pentacene")


def test_a_notebook_turns_the_widget_from_python_and_reads_back_the_library_map(tmp_path):
    nbformat = pytest.importorskip("nbformat")
    nbclient = pytest.importorskip("nbclient")
    pytest.importorskip("ipykernel")
    requires("momentum_map_sum")
    cells = ["import sys\nimport numpy as np\nimport libkernels as lk\nprint(sys.prefix)",
             "w = lk.widget('pentacene', ['HOMO', 'HOMO-1'], resolution=101)\nw",
             "w.orientation = (30, 0, 0)\n"
             "m = w.map\n"
             "same = lk.momentum_map_sum(w.molecule, ['HOMO', 'HOMO-1'], orientation=(30, 0, 0),\n"
             "                           photon_energy=35, work_function=4.5, n=101)\n"
             "print(w.orientation, m.data.shape, np.array_equal(m.data, same.data))"]
    notebook = nbformat.v4.new_notebook(cells=[nbformat.v4.new_code_cell(c) for c in cells])
    nbclient.NotebookClient(notebook, kernel_name="python3", timeout=60,
                            resources={"metadata": {"path": str(tmp_path)}}).execute()
    printed = ["".join(o.get("text", "") for o in cell.outputs) for cell in notebook.cells]
    assert printed[0].strip() == sys.prefix  # the kernel runs in this environment
    shown = notebook.cells[1].outputs[0]["data"]
    assert {"application/vnd.jupyter.widget-view+json", "image/png"} <= set(shown)
    assert printed[2].strip() == "(30.0, 0.0, 0.0) (101, 101) True"
    # what the view was sent: the turned orientation and its map
    models = notebook.metadata["widgets"]["application/vnd.jupyter.widget-state+json"]["state"]
    model = models[shown["application/vnd.jupyter.widget-view+json"]["model_id"]]
    assert model["state"]["orientation"] == [30.0, 0.0, 0.0]
    (buffer,) = [b for b in model["buffers"] if b["path"] == ["_map_values"]]
    sent = np.frombuffer(base64.b64decode(buffer["data"]), "<f4").reshape(101, 101)
    assert np.array_equal(sent, library_map(["HOMO", "HOMO-1"], orientation=(30, 0, 0),
                                            photon_energy=35, work_function=4.5, n=101))
