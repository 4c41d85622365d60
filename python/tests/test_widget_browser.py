"""The notebook widget's view in a real headless browser (Debian's Chromium driven by
Playwright), without Jupyter: a small page loads the module the widget ships
(explorer.js with widget.js) and hands its `render` a model object as anywidget
does (get, set, on, off, save_changes, send).  The model's kernel is a real
`lk.widget` in this process: what the view saves goes to its set_state, and the
traits that changes then are sent back, bytes as bytes, as a notebook does.
Screenshots go to test-output/widget/ (or $LIBKERNELS_SCREENSHOTS).

Skipped without Playwright or Chromium unless LIBKERNELS_REQUIRE_BROWSER=1, as in CI.
"""

import base64
import json
import os
import pathlib

import numpy as np
import pytest

import libkernels as lk

from conftest import chromium, requires

anywidget = pytest.importorskip("anywidget")
SHOTS = pathlib.Path(os.environ.get("LIBKERNELS_SCREENSHOTS",
                                    pathlib.Path(__file__).resolve().parents[2]
                                    / "test-output")) / "widget"
SLIDER = ".lk-orientation input[type=range][data-angle=%s]"
ANGLE = ".lk-orientation input[type=number][data-angle=%s]"

# The page: a notebook cell's output area, and a model as anywidget hands one to a view.
# Its kernel (window.kernel, from Playwright) answers a save with the traits it changed;
# window.slowKernel holds answers back that many ms, as a busy kernel would.  Around the
# cell, arrow keys are taken, as JupyterLab's notebook takes them.
HARNESS = """<!DOCTYPE html><html><head><meta charset="utf-8"><style id="css"></style></head>
<body style="font: 13px sans-serif"><div id="cell" style="width: 900px"></div><script>
// JupyterLab's notebook takes the arrow keys for itself: keys must stay in the view
document.addEventListener("keydown", (event) => {
  if (event.key.startsWith("Arrow")) event.preventDefault();
});
function decode(value) {
  if (value && value.$bytes !== undefined) {
    const bytes = Uint8Array.from(atob(value.$bytes), (c) => c.charCodeAt(0));
    return new DataView(bytes.buffer);
  }
  return value;
}
class Model {
  constructor(state) {
    this.state = {}; this.handlers = {}; this.changed = {}; this.saves = 0; this.sent = [];
    for (const [k, v] of Object.entries(state)) this.state[k] = decode(v);
  }
  get(key) { return this.state[key]; }
  set(key, value) {
    this.state[key] = value; this.changed[key] = value; this.emit("change:" + key);
  }
  on(event, callback) { (this.handlers[event] = this.handlers[event] || []).push(callback); }
  off(event, callback) {
    this.handlers[event] = (this.handlers[event] || []).filter((c) => c !== callback);
  }
  emit(event) { for (const callback of [...(this.handlers[event] || [])]) callback(); }
  send(message) { this.sent.push(message); }
  save_changes() {
    const changes = this.changed; this.changed = {}; this.saves += 1;
    window.kernel(JSON.stringify(changes)).then((answer) =>
      setTimeout(() => this.receive(JSON.parse(answer)), window.slowKernel || 0));
  }
  receive(update) {
    for (const [k, v] of Object.entries(update)) this.state[k] = decode(v);
    for (const k of Object.keys(update)) this.emit("change:" + k);
  }
}
window.start = async (state) => {
  window.model = new Model(state);
  document.getElementById("css").textContent = state._css;
  const url = URL.createObjectURL(new Blob([state._esm], { type: "text/javascript" }));
  const widget = (await import(url)).default;
  window.cleanup = widget.render({ model: window.model, el: document.getElementById("cell") });
};
window.paints = () => Number(document.querySelector(".lk-widget").dataset.paints);
window.mapBytes = () => {
  const view = window.model.get("_map_values");
  let text = "";
  for (const b of new Uint8Array(view.buffer, view.byteOffset, view.byteLength)) {
    text += String.fromCharCode(b);
  }
  return btoa(text);
};
window.canvas = () => document.querySelector(".lk-widget canvas").toDataURL();
</script></body></html>"""


def _encoded(state):
    return {k: {"$bytes": base64.b64encode(bytes(v)).decode()}
            if isinstance(v, (bytes, bytearray, memoryview)) else v for k, v in state.items()}


class Kernel:
    """The widget's side of the notebook: the view's changes in, the changed traits out."""

    def __init__(self, widget):
        self.widget = widget
        self.shown = widget.get_state()
        self.requests = []

    def changes(self):
        now = self.widget.get_state()
        changed = {k: v for k, v in now.items() if self.shown.get(k) != v}
        self.shown = now
        return _encoded(changed)

    def __call__(self, text):
        sent = json.loads(text)
        self.requests.append(sent)
        self.widget.set_state(sent)
        self.shown.update(sent)  # the view has what it sent
        return json.dumps(self.changes())


@pytest.fixture(scope="module")
def harness():
    requires("momentum_map_sum")
    SHOTS.mkdir(parents=True, exist_ok=True)
    widget = lk.widget("pentacene", ["HOMO", "HOMO-1"], resolution=101)
    kernel = Kernel(widget)
    with chromium() as browser:
        page = browser.new_page(viewport={"width": 1000, "height": 800})
        errors = []
        page.on("pageerror", lambda error: errors.append(str(error)))
        page.expose_function("kernel", kernel)
        page.set_content(HARNESS)
        page.evaluate("state => window.start(state)", _encoded(kernel.shown))
        page.wait_for_function("window.paints() >= 1", timeout=10000)
        yield page, widget, kernel
    assert not errors, errors


def shown_map(page, n):
    return np.frombuffer(base64.b64decode(page.evaluate("window.mapBytes()")),
                         "<f4").reshape(n, n)


def settle(page):
    """Waits until the view's last request is answered and painted."""
    page.wait_for_function("window.model.get('_map_info').answer === window.model.get('_request')",
                           timeout=10000)


def test_a_slider_move_turns_the_kernels_widget_and_repaints(harness):
    page, widget, kernel = harness
    assert page.locator(".lk-orbitals tr.focus").count() == 1
    picture, paints = page.evaluate("window.canvas()"), page.evaluate("window.paints()")
    page.locator(SLIDER % "alpha").focus()
    for _ in range(5):
        page.keyboard.press("ArrowRight")
    page.wait_for_function("window.model.get('orientation')[0] === 5")
    settle(page)
    assert widget.orientation == (5.0, 0.0, 0.0)  # the kernel's widget was turned
    assert kernel.requests[-1]["orientation"] == [5, 0, 0]
    assert page.evaluate("window.paints()") > paints
    assert page.evaluate("window.canvas()") != picture  # a new picture
    assert page.locator(".lk-message").inner_text() == ""
    expected = lk.momentum_map_sum(widget.molecule, ["HOMO", "HOMO-1"], orientation=(5, 0, 0),
                                   photon_energy=35, work_function=4.5, n=101).data
    np.testing.assert_array_equal(shown_map(page, 101), expected)
    page.screenshot(path=str(SHOTS / "widget.png"))


def test_a_drag_while_the_kernel_computes_sends_only_the_newest_setting(harness):
    page, widget, kernel = harness
    page.evaluate("window.slowKernel = 300")
    saves = page.evaluate("window.model.saves")
    page.locator(SLIDER % "beta").focus()
    for _ in range(12):
        page.keyboard.press("ArrowRight")
    page.wait_for_function("window.model.get('orientation')[1] === 12", timeout=10000)
    settle(page)
    page.evaluate("window.slowKernel = 0")
    assert widget.orientation[1] == 12.0
    assert page.evaluate("window.model.saves") - saves <= 3  # the first, then the newest


def test_python_turns_the_view_and_refusals_show_in_it(harness):
    page, widget, kernel = harness
    paints = page.evaluate("window.paints()")
    widget.orientation = (30, 0, 0)  # from Python: the traits that changed go to the view
    page.evaluate("update => window.model.receive(update)", kernel.changes())
    assert page.locator(SLIDER % "alpha").input_value() == "30"
    assert page.locator(ANGLE % "alpha").input_value() == "30"
    assert page.evaluate("window.paints()") == paints + 1
    assert page.evaluate("window.model.saves") == len(kernel.requests)  # nothing sent back

    saves = page.evaluate("window.model.saves")
    page.locator(ANGLE % "gamma").fill("500")  # refused by the view itself
    assert page.locator(".lk-message").inner_text() == \
        "gamma (orientation) must lie between -180° and 180°, got 500°"
    assert page.evaluate("window.model.saves") == saves
    page.locator(ANGLE % "gamma").fill("0")
    assert page.locator(".lk-message").inner_text() == ""

    page.locator(".lk-grid [data-setting=resolution]").fill("5000")  # refused by the kernel
    page.wait_for_function("document.querySelector('.lk-message').textContent !== ''")
    assert page.locator(".lk-message").inner_text() == "resolution must be at most 1001, got 5000"
    assert page.locator(".lk-widget .map-view.stale").count() == 1
    page.screenshot(path=str(SHOTS / "widget_refused.png"))
    page.locator(".lk-grid [data-setting=resolution]").fill("101")
    settle(page)
    assert page.locator(".lk-widget .map-view.stale").count() == 0
