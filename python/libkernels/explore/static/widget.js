// libkernels in a notebook: the explorer's parts (explorer.js) in a notebook cell, as an
// anywidget view.  The settings are the model's traits, named as the explorer's settings;
// the notebook's kernel computes each map and hands it back as float32 bytes (_map_values)
// with its description (_map_info), and the view paints it as the explorer's page does.
//
// One map at a time: a change made while the kernel computes only marks the settings as
// changed, and the newest settings go out when the answer arrives (its `answer` is the
// number of the last request the kernel had seen), so a dragged slider never leaves the
// kernel a queue of positions it has passed.  Settings changed from Python arrive as
// trait changes and move the controls without being sent back.
"use strict";

import { ANGLES, MapView, OrbitalList, OrientationControls, SettingsForm, energyFields,
         gridFields, lightFields, showEnergyMode, showModelMap } from "./explorer.js";

// the settings traits, each shown by one field of a form (the orbitals and the orientation
// have controls of their own)
const FORMS = {
  energy: ["energy_mode", "photon_energy", "work_function", "kinetic_energy"],
  light: ["symmetry", "polarisation", "incidence", "azimuth", "s_share", "kz_damping"],
  grid: ["k_max", "resolution"],
};

function part(tag, className, children = []) {
  const node = document.createElement(tag);
  node.className = className;
  for (const child of children) node.append(child);
  return node;
}

function heading(text) { return Object.assign(part("h2", "lk-heading"), { textContent: text }); }

// the bytes of a map as float32 values: a DataView from the notebook, an ArrayBuffer or a
// typed array from anywhere else
function floats(bytes) {
  if (!bytes) return new Float32Array(0);
  if (bytes instanceof ArrayBuffer) return new Float32Array(bytes.slice(0));
  const view = new Uint8Array(bytes.buffer, bytes.byteOffset, bytes.byteLength);
  return new Float32Array(view.slice().buffer);
}

function sameList(a, b) {
  return a.length === b.length && a.every((v, k) => v === b[k]);
}

function sameSelection(a, b) {
  return a.length === b.length && a.every((o, k) => o.index === b[k].index && o.weight === b[k].weight);
}

function render({ model, el }) {
  const molecule = model.get("_molecule"), limits = model.get("_limits");
  const colours = model.get("_colours");
  const values = {};
  for (const key of Object.values(FORMS).flat()) values[key] = model.get(key);

  const message = part("div", "lk-message");
  message.setAttribute("role", "alert");
  const notes = part("p", "hint notes");
  const boxes = { orbitals: part("div", "lk-orbitals"), orientation: part("div", "lk-orientation"),
                  energy: part("div", "lk-energy"), light: part("div", "lk-light"), grid: part("div", "lk-grid") };
  const controls = part("div", "lk-controls", [
    heading("Orbitals"), boxes.orbitals, heading("Orientation (°)"), boxes.orientation,
    heading("Energy (eV)"), boxes.energy, heading("Symmetry and light"), boxes.light,
    heading("Momentum grid"), boxes.grid]);
  const mapBox = part("div", "lk-map");
  const root = part("div", "lk-widget", [controls, part("div", "lk-view", [message, mapBox, notes])]);
  root.dataset.paints = "0";
  // keys pressed in the controls are theirs: the notebook around the cell would take the
  // arrow keys of a slider for its own (and prevent their default) or a typed letter
  // for a command
  root.addEventListener("keydown", (event) => event.stopPropagation());
  el.append(root);

  const view = new MapView(mapBox, { label: "momentum map", reserve: 260 });
  const orientation = new OrientationControls(boxes.orientation, { limit: limits.angle, onChange: changed });
  const orbitals = new OrbitalList(boxes.orbitals, { onChange: changed, onMessage: stale });
  const forms = {
    energy: new SettingsForm(boxes.energy, energyFields(values), {
      onChange: (key) => { if (key === "energy_mode") showEnergyMode(forms.energy); changed(); } }),
    light: new SettingsForm(boxes.light, lightFields(values, limits), { onChange: changed }),
    grid: new SettingsForm(boxes.grid, gridFields(values, limits), { onChange: changed }),
  };
  showEnergyMode(forms.energy);
  orientation.set(model.get("orientation"));
  const selection = () => model.get("selection").map(({ index, weight }) => [index, weight]);
  orbitals.setMolecule(molecule, selection(), (model.get("selection")[0] || {}).index ?? molecule.homo);

  let inFlight = false, dirty = false, sent = model.get("_request");

  function stale(text) {
    message.textContent = text || "";
    view.setStale(text || null);
    // the messages start with the setting they refuse: mark its field
    for (const form of Object.values(forms)) form.mark(text);
    for (const angle of ANGLES) if (text && text.startsWith(angle + " ")) orientation.mark(angle);
  }

  // the settings as the controls hold them; throws an Error naming a setting not valid
  function collect() {
    const state = { orientation: orientation.get(), selection: orbitals.get() };
    if (!state.selection.length) throw new Error("select at least one orbital");
    for (const form of Object.values(forms)) Object.assign(state, form.get());
    if (!Number.isInteger(state.resolution)) {
      forms.grid.mark("resolution ");
      throw new Error(`resolution must be a whole number of pixels, got ${state.resolution}`);
    }
    return state;
  }

  function changed() {
    if (inFlight) { dirty = true; return; }
    send();
  }

  function send() {
    dirty = false;
    let state;
    try { state = collect(); } catch (error) { stale(error.message); return; }
    let any = false;
    for (const [key, value] of Object.entries(state)) {
      const now = model.get(key);
      const same = key === "orientation" ? sameList(now, value)
        : key === "selection" ? sameSelection(now, value) : now === value;
      if (!same) { model.set(key, value); any = true; }
    }
    if (!any) { stale(model.get("_map_info").error); return; }  // the map shown is of these settings
    sent = model.get("_request") + 1;
    model.set("_request", sent);
    inFlight = true;
    model.save_changes();
  }

  function paint() {
    const info = model.get("_map_info");
    if (inFlight && info.answer >= sent) inFlight = false;
    if (info.error) {
      stale(info.error);
    } else {
      showModelMap(view, floats(model.get("_map_values")), info, colours, molecule.display);
      stale(null);
      notes.textContent = (info.notes || []).join("; ");
      root.dataset.paints = String(Number(root.dataset.paints) + 1);
    }
    if (!inFlight && dirty) send();
  }

  // settings changed from Python: the controls follow (a change the view made itself
  // finds them showing it already)
  const listeners = [["change:_map_info", paint]];
  listeners.push(["change:orientation", () => {
    const angles = model.get("orientation");
    if (!sameList(angles, orientation.peek())) orientation.set(angles);
  }]);
  listeners.push(["change:selection", () => {
    if (!sameSelection(model.get("selection"), orbitals.get())) {
      orbitals.setMolecule(molecule, selection(), orbitals.focus);
    }
  }]);
  for (const [name, keys] of Object.entries(FORMS)) {
    for (const key of keys) {
      listeners.push([`change:${key}`, () => {
        forms[name].set(key, model.get(key));
        if (key === "energy_mode") showEnergyMode(forms.energy);
      }]);
    }
  }
  for (const [event, callback] of listeners) model.on(event, callback);
  paint();
  return () => { for (const [event, callback] of listeners) model.off(event, callback); };
}

export default { render };
