"""`libkernels explore` in a real headless browser (Debian's Chromium driven by
Playwright): the painted map is the library's map, a slider move repaints in time,
drags skip superseded settings, every export works, bad values give a message
and the page keeps working.  Screenshots go to test-output/explore/ (or
$LIBKERNELS_SCREENSHOTS).

Skipped without Playwright or Chromium unless LIBKERNELS_REQUIRE_BROWSER=1, as in CI.
"""

import io
import json
import os
import pathlib
import re
import shlex
import signal
import statistics
import subprocess

import numpy as np
import pytest

import libkernels as lk
from libkernels import cli

from conftest import chromium, requires, start_explorer

SHOTS = pathlib.Path(os.environ.get("LIBKERNELS_SCREENSHOTS",
                                    pathlib.Path(__file__).resolve().parents[2]
                                    / "test-output" / "explore"))
MOVES = 25  # slider steps timed
SLIDER = "#orientation input[type=range][data-angle=%s]"
ANGLE = "#orientation input[type=number][data-angle=%s]"
FIELD = "[data-setting=%s]"


@pytest.fixture(scope="module")
def server():
    """`libkernels explore --threads 1` in a subprocess; stopped with Ctrl-C (SIGINT)."""
    requires("momentum_map_sum", "scalar_field")
    process, address = start_explorer("pentacene", "benzene", "--threads", "1")
    assert re.fullmatch(r"http://127\.0\.0\.1:\d+/", address), address
    yield address
    process.send_signal(signal.SIGINT)
    try:
        code = process.wait(timeout=10)
    except subprocess.TimeoutExpired:
        process.kill()
        pytest.fail("Ctrl-C did not stop the server within 10 s")
    out, err = process.stdout.read(), process.stderr.read()
    assert code == 0 and "stopped" in out and "Traceback" not in err, (code, out, err)


@pytest.fixture(scope="module")
def page(server):
    SHOTS.mkdir(parents=True, exist_ok=True)
    with chromium() as browser:
        context = browser.new_context(viewport={"width": 1480, "height": 980},
                                      accept_downloads=True)
        tab = context.new_page()
        errors = []
        tab.on("pageerror", lambda error: errors.append(str(error)))
        tab.goto(server)
        tab.wait_for_function("window.__lk.paints >= 1", timeout=20000)
        tab.errors = errors
        yield tab
    assert not errors, errors


def paints(page):
    return page.evaluate("window.__lk.paints")


def wait_for(page, condition, timeout=15000):
    """Waits for a JavaScript condition; a timeout fails with the page's message line."""
    try:
        page.wait_for_function(condition, timeout=timeout)
    except Exception as error:
        if "Timeout" not in type(error).__name__:
            raise
        pytest.fail(f"waited {timeout} ms for {condition}; the page says "
                    f"{page.inner_text('#message')!r}")


def wait_paint(page, after):
    wait_for(page, f"window.__lk.paints > {after}")


def library_map(molecule, s):
    """The map for the page's settings `s`, straight from the library."""
    options = dict(k_max=s["k_max"], n=s["resolution"], orientation=tuple(s["orientation"]),
                   weights=[o["weight"] for o in s["orbitals"]],
                   kz_imaginary=s.get("kz_damping", 0.0),
                   symmetry=None if s["symmetry"] == "none" else int(s["symmetry"]),
                   polarisation=None if s["polarisation"] == "none" else s["polarisation"],
                   incidence=s["incidence"], azimuth=s["azimuth"], s_share=s["s_share"])
    if s["energy_mode"] == "kinetic":
        options["kinetic_energy"] = s["kinetic_energy"]
    else:
        options.update(photon_energy=s["photon_energy"], work_function=s["work_function"])
    return lk.momentum_map_sum(molecule, [o["index"] for o in s["orbitals"]], **options).data


def received(page):
    data, settings = page.evaluate("[Array.from(window.__lk.lastMap), window.__lk.lastSettings]")
    n = settings["resolution"]
    return np.asarray(data, dtype=np.float32).reshape(n, n), settings


def row(page, index):
    return page.locator(f'#orbital-list tr[data-index="{index}"]')


def test_pick_turn_and_compare(page, pentacene):
    homo, homo1 = pentacene.orbital_index("HOMO"), pentacene.orbital_index("HOMO-1")
    assert row(page, homo).locator("input.pick").is_checked()
    before = paints(page)
    row(page, homo1).locator("input.pick").check()
    wait_paint(page, before)
    before = paints(page)
    row(page, homo1).locator("input.weight").fill("0.5")
    wait_paint(page, before)

    # Slider moves, one step at a time, each timed from the input event to the
    # animation frame that shows the new map.
    page.evaluate("window.__lk.latencies = []; window.__lk.parts = []")
    page.locator(SLIDER % "alpha").focus()
    for _ in range(MOVES):
        before = paints(page)
        page.keyboard.press("ArrowRight")
        wait_paint(page, before)
    latencies, parts = page.evaluate("[window.__lk.latencies, window.__lk.parts]")
    assert len(latencies) == MOVES
    median, worst = statistics.median(latencies), max(latencies)
    (SHOTS / "repaint_ms.json").write_text(json.dumps(
        {"moves": MOVES, "median_ms": median, "max_ms": worst, "all_ms": latencies,
         "median_parts_ms": {k: statistics.median(p[k] for p in parts) for k in parts[0]},
         "load_average": os.getloadavg()}, indent=1))
    print(f"\nrepaint after a slider move, n = 201, 1 worker: median {median:.1f} ms, "
          f"max {worst:.1f} ms over {MOVES} moves")
    # The goal is a median of 50 ms and a worst of 150 ms (met on this project's
    # machine at one or two runnable processes per core); the test allows twice that.
    # With several runnable processes per core the figure measures the other
    # processes; it is recorded, not judged.
    busy = os.getloadavg()[0] / (os.cpu_count() or 1)
    if busy < 3:
        assert median < 100 and worst < 300, latencies
    else:
        print(f"load average {busy:.1f} per core: repaint time not judged")

    data, settings = received(page)
    assert settings["orientation"] == [MOVES, 0, 0] and len(settings["orbitals"]) == 2
    np.testing.assert_array_equal(data, library_map(pentacene, settings))
    # The canvas shows those numbers: pixel centres carry the colour-table entry of their value.
    pixels = page.evaluate("""(() => {
        const f = window.__lk.frame, n = window.__lk.lastInfo.n;
        const ctx = document.querySelector('#model-view canvas').getContext('2d'), out = [];
        for (const [i, j] of [[100, 100], [60, 130], [150, 40], [0, 0], [130, 77]]) {
          const x = Math.floor(f.x0 + (i + 0.5) * f.size / n);
          const y = Math.floor(f.y0 + f.size - (j + 0.5) * f.size / n);
          out.push([i, j, Array.from(ctx.getImageData(x, y, 1, 1).data.slice(0, 3))]);
        }
        return out; })()""")
    table = page.evaluate("window.__lk.table")
    top = float(data.max())
    for i, j, colour in pixels:
        assert colour == table[min(255, int(np.floor(255 * float(data[i, j]) / top + 0.5)))], (i, j)

    page.mouse.move(*centre_of(page, "#model-view canvas"))
    assert "kx = " in page.locator("#model-view .readout").inner_text()
    page.screenshot(path=str(SHOTS / "explore.png"))


def centre_of(page, selector):
    box = page.locator(selector).bounding_box()
    return box["x"] + box["width"] * 0.45, box["y"] + box["height"] * 0.45


def test_drag_computes_only_the_latest_setting(page, pentacene):
    requests = []
    page.on("request", lambda r: requests.append(r.url) if r.url.endswith("/api/map") else None)
    page.evaluate("""(() => { const s = document.querySelector('#orientation input[type=range][data-angle=alpha]');
        for (let v = 31; v <= 90; v++) { s.value = v; s.dispatchEvent(new Event('input')); }
        })()""")
    wait_for(page, "window.__lk.lastSettings.orientation[0] === 90", 10000)
    page.wait_for_timeout(300)
    assert len(requests) <= 3, len(requests)  # 60 input events
    data, settings = received(page)
    np.testing.assert_array_equal(data, library_map(pentacene, settings))


def test_exports(page, pentacene, tmp_path):
    homo1 = pentacene.orbital_index("HOMO-1")
    before = paints(page)
    row(page, homo1).locator("input.weight").fill("0.3")  # the command line carries weights
    wait_paint(page, before)
    data, settings = received(page)

    files = {}
    for button, suffix in (("#export-png", ".png"), ("#export-npy", ".npy"),
                           ("#export-json", ".json")):
        with page.expect_download() as download:
            page.click(button)
        path = tmp_path / ("page" + suffix)
        download.value.save_as(path)
        assert download.value.suggested_filename.endswith(suffix)
        files[suffix] = path
    assert files[".png"].read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    import matplotlib.image
    assert matplotlib.image.imread(files[".png"]).shape[0] > 400
    np.testing.assert_array_equal(np.load(files[".npy"]), data)
    exported = json.loads(files[".json"].read_text())
    assert exported["settings"]["orientation"] == settings["orientation"]

    page.click("#show-command")
    wait_for(page, "document.getElementById('command').textContent.startsWith('libkernels map ')"
                   " && !document.getElementById('command').textContent.includes('...')")
    command = page.locator("#command").inner_text()
    assert command == exported["command"] and not exported["command_note"]
    assert "--sum --weights 0.5 0.3 " in command or "--sum --weights 1 0.3 " in command
    # The command line draws the same map.
    words = shlex.split(command)
    assert words[:2] == ["libkernels", "map"]
    assert cli.main(words[1:] + ["-o", str(tmp_path / "cli"), "--quiet"]) == 0
    (written,) = (tmp_path / "cli").glob("*.npy")
    np.testing.assert_array_equal(np.load(written), data)


def test_invalid_values_show_a_message_and_the_page_recovers(page):
    message = page.locator("#message")
    for field, bad, words, good in (("resolution", "5000", "resolution must be at most", "101"),
                                    ("photon_energy", "1", "kinetic energy", "35"),
                                    ("k_max", "", "not a number", "2.5"),
                                    ("incidence", "120", "incidence", "65")):
        field = FIELD % field
        page.fill(field, bad)
        wait_for(page, f"document.getElementById('message').textContent.includes({words!r})")
        if "resolution" in field:
            page.screenshot(path=str(SHOTS / "explore_invalid.png"))
        before = paints(page)
        page.fill(field, good)
        wait_paint(page, before)
        assert message.inner_text().strip() == ""
    assert page.evaluate("window.__lk.lastInfo.n") == 101


def test_measured_map_fit_and_residual(page, pentacene, tmp_path):
    homo = pentacene.orbital_index("HOMO")
    e_kin = 35.0 - 4.5 + float(pentacene.mo_energy[homo]) * lk.HARTREE_IN_EV
    truth = lk.momentum_map_sum(pentacene, ["HOMO", "HOMO-1"], weights=[2.0, 1.0],
                                kinetic_energy=e_kin, k_max=2.5, n=101, orientation=(25, 0, 0))
    kx = truth.kx
    path = tmp_path / "measured.npz"
    # The file states the energy it was measured at: the fit takes it, asking nothing.
    np.savez(path, intensity=truth.data[10:90, 5:95], kx=kx[10:90], ky=kx[5:95],
             kinetic_energy=e_kin)
    page.set_input_files("#measured-file", str(path))
    wait_for(page, "window.__lk.measuredInfo !== null", 10000)
    assert page.evaluate("window.__lk.measuredInfo.shape") == [80, 90]
    assert page.locator("#measured-view canvas").is_visible()
    assert not page.locator("#fit-energy-label").is_visible()

    page.click("#fit")
    wait_for(page, "window.__lk.fitInfo !== null", 90000)
    fitted = page.evaluate("window.__lk.fitInfo")
    assert fitted["r_factor"] < 1e-4, fitted
    assert fitted["weights"][0] / fitted["weights"][1] == pytest.approx(2.0, rel=0.02)
    assert (fitted["orientation"][0] - 25.0) % 180.0 == pytest.approx(0.0, abs=0.5) or \
        (fitted["orientation"][0] - 25.0) % 180.0 == pytest.approx(180.0, abs=0.5)
    assert page.locator("#residual-view canvas").is_visible() and "R = " in page.inner_text("#fit-report")
    assert fitted["kinetic_energy_ev"] == pytest.approx(e_kin) and \
        "from the file" in page.inner_text("#fit-report")
    assert page.locator("#fit-warnings li").count() == len(fitted["warnings"])
    wait_for(page, "window.__lk.lastSettings.orientation[0] !== 90", 10000)
    page.wait_for_timeout(200)
    page.screenshot(path=str(SHOTS / "explore_measured.png"), full_page=True)
    # model, measured and residual side by side at one size
    boxes = [page.locator(f"#{v}-view canvas").bounding_box() for v in ("model", "measured",
                                                                          "residual")]
    assert len({round(b["width"]) for b in boxes}) == 1 and len({round(b["y"]) for b in boxes}) == 1
    assert boxes[0]["x"] < boxes[1]["x"] < boxes[2]["x"]

    # the fitted weights are in the exported command line, which draws the same map
    data, settings = received(page)
    assert [o["weight"] for o in settings["orbitals"]] == [
        float(f"{w:.6g}") for w in fitted["weights"]]
    page.click("#show-command")
    wait_for(page, "document.getElementById('command').textContent.includes('--weights')")
    words = shlex.split(page.locator("#command").inner_text())
    assert cli.main(words[1:] + ["-o", str(tmp_path / "fitted"), "--quiet"]) == 0
    (written,) = (tmp_path / "fitted").glob("*.npy")
    np.testing.assert_array_equal(np.load(written), data)

    junk = tmp_path / "junk.npz"
    junk.write_bytes(b"this is not an archive")
    page.set_input_files("#measured-file", str(junk))
    wait_for(page, "document.getElementById('message').textContent.includes('junk.npz')")
    before = paints(page)
    page.fill(FIELD % "k_max", "3")
    wait_paint(page, before)
    assert page.locator("#message").inner_text().strip() == ""


def test_second_molecule(page):
    benzene = lk.load_example("benzene")
    before = paints(page)
    page.select_option("#molecule", "benzene")
    wait_paint(page, before)
    data, settings = received(page)
    assert settings["molecule"] == "benzene"
    assert settings["orbitals"] == [{"index": benzene.orbital_index("HOMO"), "weight": 1}]
    np.testing.assert_array_equal(data, library_map(benzene, settings))
    assert page.locator("#orbital-list tbody tr").count() == benzene.n_orbitals
    assert page.locator("#measured-view canvas").is_visible()  # the measured map stays


def test_a_stale_map_is_greyed_with_the_message_over_it(page):
    page.select_option("#molecule", "pentacene")
    wait_for(page, "window.__lk.lastSettings.molecule === 'pentacene'")
    view = page.locator("#model-view .map-view")
    fresh = _saturation(page.locator("#model-view canvas").screenshot())
    for field, bad, words in ((FIELD % "resolution", "1000000000", "resolution must be at most"),
                              (ANGLE % "alpha", "1000", "between -180° and 180°")):
        good = page.input_value(field)
        page.fill(field, bad)
        wait_for(page, f"document.querySelector('#model-view .map-stale').textContent"
                       f".includes({words!r})")
        assert "stale" in view.get_attribute("class")
        assert page.locator("#model-view .map-stale").is_visible()
        assert _saturation(page.locator("#model-view canvas").screenshot()) < fresh / 4
        before = paints(page)
        page.fill(field, good)
        wait_paint(page, before)
        assert "stale" not in view.get_attribute("class")
        assert not page.locator("#model-view .map-stale").is_visible()
    # no orbital ticked
    homo = page.evaluate("window.__lk.lastSettings.orbitals[0].index")
    for ticked in page.locator("#orbital-list input.pick:checked").all():
        ticked.uncheck()
    wait_for(page, "document.querySelector('#model-view .map-stale').textContent"
                   ".includes('select at least one orbital')")
    before = paints(page)
    row(page, homo).locator("input.pick").check()
    wait_paint(page, before)


def _saturation(png):
    """Mean colourfulness (max - min of R, G, B) of a screenshot."""
    import matplotlib.image
    pixels = matplotlib.image.imread(io.BytesIO(png), format="png")[..., :3]
    return float(np.mean(pixels.max(axis=2) - pixels.min(axis=2)))


def test_the_map_is_labelled_as_the_exported_figure(page, pentacene):
    page.select_option("#molecule", "pentacene")
    wait_for(page, "window.__lk.lastSettings.molecule === 'pentacene'")
    title = page.inner_text("#model-view .map-title")
    assert title.startswith("pentacene HOMO") and "E_kin" in title and "eV" in title
    assert page.evaluate("window.__lk.barLabel") == "|FT ψ|²/π³ (bohr³)"
    assert "largest parallel momentum" in page.inner_text("#model-view .map-caption")
    # large numbers: ticks without exponents, the power of ten in the bar's label
    homo = pentacene.orbital_index("HOMO")
    before = paints(page)
    row(page, homo).locator("input.weight").fill("5000")
    wait_paint(page, before)
    labels, label = page.evaluate("[window.__lk.barLabels, window.__lk.barLabel]")
    assert label.startswith("|FT ψ|²/π³ (bohr³) ×10") and not any("e" in t for t in labels)
    before = paints(page)
    row(page, homo).locator("input.weight").fill("1")
    wait_paint(page, before)
    # one range for the sliders and the typed angles
    for angle in ("alpha", "beta", "gamma"):
        limits = [page.get_attribute(SLIDER % angle, "max"), page.get_attribute(ANGLE % angle, "max"),
                  page.get_attribute(SLIDER % angle, "min"), page.get_attribute(ANGLE % angle, "min")]
        assert limits == ["180", "180", "-180", "-180"], limits
    # E_kin on one line; the command line wrapped inside its box, with a copy button
    page.select_option(FIELD % "energy_mode", "kinetic")
    name = page.locator("label.kinetic .field-name")
    assert name.evaluate("e => e.getClientRects().length") == 1
    assert name.bounding_box()["height"] < 24
    page.select_option(FIELD % "energy_mode", "photon")
    page.click("#show-command")
    wait_for(page, "!document.getElementById('command').textContent.includes('...')")
    box = page.locator("#command")
    assert box.evaluate("e => e.scrollWidth <= e.clientWidth")
    page.click("#copy-command")
    wait_for(page, "document.getElementById('status').textContent.startsWith('command')")


def test_degenerate_orbitals_are_listed_in_energy_order(page):
    benzene = lk.load_example("benzene")
    page.select_option("#molecule", "benzene")
    wait_for(page, "window.__lk.lastSettings.molecule === 'benzene'")
    order = [int(i) for i in page.eval_on_selector_all(
        "#orbital-list tbody tr", "rows => rows.map(r => r.dataset.index)")]
    names = [benzene.orbital_label(i) for i in order]
    assert names.index("HOMO") < names.index("HOMO-1") < names.index("HOMO-2")
    assert names.index("LUMO+1") < names.index("LUMO")
    energies = benzene.mo_energy[order]
    assert np.all(np.diff(energies) <= 0)


def test_dichroism_needs_damping_and_the_page_says_so(page, pentacene):
    page.select_option("#molecule", "pentacene")
    wait_for(page, "window.__lk.lastSettings.molecule === 'pentacene'")
    before = paints(page)
    page.select_option(FIELD % "polarisation", "dichroism")
    wait_paint(page, before)
    assert "zero" in page.inner_text("#notes") and "damp" in page.inner_text("#notes")
    assert page.evaluate("window.__lk.lastInfo.max") == 0
    before = paints(page)
    page.fill(FIELD % "kz_damping", "0.4")
    wait_paint(page, before)
    assert page.inner_text("#notes").strip() == ""
    data, settings = received(page)
    assert settings["kz_damping"] == 0.4 and data.min() < 0 < data.max()
    np.testing.assert_array_equal(data, library_map(pentacene, settings))
    assert page.evaluate("window.__lk.barLabel") == "difference (bohr³)"
    before = paints(page)
    page.select_option(FIELD % "polarisation", "none")
    wait_paint(page, before)
    assert "changes nothing" in page.inner_text("#notes")  # damping acts through the light
    before = paints(page)
    page.fill(FIELD % "kz_damping", "0")
    wait_paint(page, before)


def _fits_the_window(small, when):
    """Nothing of the page beyond 1280 x 720, either way: the window never scrolls, every
    card and control lies inside it, and the controls' panel shows all its fields."""
    extent = small.evaluate("[document.scrollingElement.scrollWidth, "
                            "document.scrollingElement.scrollHeight]")
    assert extent[0] <= 1280 and extent[1] <= 720, (when, extent)
    for part in ("header", ".controls", "#momentum-grid", ".exports", "#command",
                 "#model-view", "#molecule-card", "#plane-card", "#measured-card",
                 "#measured-file", "#fit"):
        box = small.locator(part).bounding_box()
        assert box["x"] >= 0 and box["x"] + box["width"] <= 1280, (when, part, box)
        assert box["y"] >= 0 and box["y"] + box["height"] <= 720, (when, part, box)
    controls = small.evaluate("(() => { const c = document.querySelector('.controls');"
                              " return [c.scrollHeight, c.clientHeight]; })()")
    assert controls[0] <= controls[1], (when, controls)


def test_the_page_fits_1280_by_720(page, server):
    """No scrolling either way and nothing cut off at 1280 x 720, before and after a
    measured map is loaded and fitted, the measured map beside the model at one size."""
    context = page.context.browser.new_context(viewport={"width": 1280, "height": 720})
    small = context.new_page()
    try:
        small.goto(server)
        small.wait_for_function("window.__lk.paints >= 1", timeout=20000)
        small.wait_for_timeout(300)
        _fits_the_window(small, "at the start")
        assert small.locator("#model-view canvas").bounding_box()["width"] > 500
        measured = io.BytesIO()
        axis = np.linspace(-2.0, 2.0, 41)
        np.savez(measured, intensity=np.outer(np.cos(axis), np.cos(axis)) ** 2, kx=axis, ky=axis)
        small.set_input_files("#measured-file", files=[{"name": "m.npz", "mimeType":
                                                        "application/octet-stream",
                                                        "buffer": measured.getvalue()}])
        small.wait_for_function("window.__lk.measuredInfo !== null", timeout=10000)
        small.wait_for_timeout(300)
        small.screenshot(path=str(SHOTS / "explore_1280x720.png"))
        _fits_the_window(small, "with a measured map")
        for card in ("#model-view", "#measured-view", "#molecule-card", "#plane-card",
                     ".controls"):
            box = small.locator(card).bounding_box()
            assert box["x"] >= 0 and box["x"] + box["width"] <= 1280, (card, box)
        model, measured_box = (small.locator(f"{v} canvas").bounding_box()
                               for v in ("#model-view", "#measured-view"))
        assert abs(model["width"] - measured_box["width"]) < 1
        assert abs(model["y"] - measured_box["y"]) < 1 and measured_box["x"] > model["x"]
        assert model["width"] > 280

        # The file states no energy: the field beside the fit button asks for it, and the
        # fit is not sent without it.
        assert small.locator("#fit-energy-label").is_visible()
        small.click("#fit")
        small.wait_for_function("document.getElementById('message').textContent"
                                ".includes('states no kinetic energy')", timeout=5000)
        assert small.evaluate("window.__lk.fitInfo") is None
        assert "invalid" in small.get_attribute("#fit-energy", "class")
        small.fill("#fit-energy", "24.5")
        small.click("#fit")
        small.wait_for_function("window.__lk.fitInfo !== null", timeout=90000)
        fitted = small.evaluate("window.__lk.fitInfo")
        assert fitted["kinetic_energy_ev"] == 24.5 and fitted["energy_source"] == "entered"
        report = small.inner_text("#fit-report")
        assert "χ²_red" in report and "24.50 eV for all orbitals (entered)" in report
        # the model beside the measured map is the fitted one, at the fit's energy (the
        # page's photon energy gave the HOMO 24.80 eV), and the residual is in counts, not
        # in the model's bohr³
        small.wait_for_function("window.__lk.lastSettings.energy_mode === 'kinetic'",
                                timeout=10000)
        wait_for(small, "window.__lk.lastInfo.e_kin_ev[0] === 24.5")
        assert "E_kin 24.50 eV" in small.inner_text("#model-view .map-title")
        settings = small.evaluate("window.__lk.lastSettings")
        assert settings["kinetic_energy"] == 24.5
        assert [o["weight"] for o in settings["orbitals"]] == [
            float(f"{w:.6g}") for w in fitted["weights"]]
        assert small.evaluate("window.__lk.residualBarLabel") == "measured − model"
        # the wrong model for this map: the fit says so, and the page shows each warning
        assert fitted["warnings"], fitted
        shown = small.locator("#fit-warnings li").all_inner_texts()
        assert shown == [f"{w['code']}: {w['message']}" for w in fitted["warnings"]]
        small.wait_for_timeout(300)
        small.screenshot(path=str(SHOTS / "explore_1280x720_fitted.png"))
        # the fit's controls, report and warnings sit in the free cell beside the views,
        # on the screen, none over another
        parts = ["#measured-file", "#fit", "#fit-energy-label", "#fit-report", "#fit-warnings"]
        boxes = {part: small.locator(part).bounding_box() for part in parts}
        for part, box in boxes.items():
            assert 0 <= box["x"] and box["x"] + box["width"] <= 1280, (part, box)
            # on the first screen (the warnings at least begin there: their text varies)
            assert (box["y"] if part == "#fit-warnings" else box["y"] + box["height"]) <= 720, \
                (part, box)
        for n, first in enumerate(parts):
            for second in parts[n + 1:]:
                a, b = boxes[first], boxes[second]
                apart = (a["x"] + a["width"] <= b["x"] or b["x"] + b["width"] <= a["x"]
                         or a["y"] + a["height"] <= b["y"] or b["y"] + b["height"] <= a["y"])
                assert apart, (first, a, second, b)
        cards = [small.locator(card).bounding_box() for card in (
            "#model-view", "#measured-view", "#residual-view", "#molecule-card", "#plane-card",
            "#measured-card")]
        for n, a in enumerate(cards):
            for b in cards[n + 1:]:
                assert (a["x"] + a["width"] <= b["x"] + 0.5 or b["x"] + b["width"] <= a["x"] + 0.5
                        or a["y"] + a["height"] <= b["y"] + 0.5
                        or b["y"] + b["height"] <= a["y"] + 0.5), (a, b)
        _fits_the_window(small, "after the fit")
    finally:
        context.close()
