// libkernels explore: the page.  It asks the server for maps as float32 arrays and
// paints them itself (explorer.js), so that a slider move costs one kernel call and one
// putImageData.  While a map is being computed, further moves only mark the settings as
// changed; when the answer arrives the latest settings are sent, so the server never
// works through a queue of positions the slider has left (and it drops any it has).
"use strict";

import { ANGLES, MapView, RESIDUAL_LABEL, OrbitalList, OrientationControls,
         ServerSource, SettingsForm, energyFields, gridFields, lightFields, mapExtent,
         showEnergyMode, showModelMap, toImage } from "./explorer.js";

const $ = (id) => document.getElementById(id);
const source = new ServerSource();
const state = {
  info: null, molecule: null, seq: 0, inFlight: false, dirty: false, firstUnserved: null,
  map: null, mapInfo: null, measured: null, residual: null, planeBusy: false, planeDirty: false,
};
// What the tests read: the last map received and the input-to-paint times.
window.__lk = { latencies: [], parts: [], paints: 0, lastMap: null, lastInfo: null, lastSettings: null,
                measuredInfo: null, fitInfo: null, frame: null, table: null, barLabels: null };

let orientation, orbitals, energy, light, grid, model, measuredView, residualView;

// ---- messages ----------------------------------------------------------------------------------
function showMessage(text) {
  $("message").textContent = text || "";
  // the messages start with the setting they refuse: mark its field
  for (const form of [energy, light, grid]) if (form) form.mark(text);
  for (const angle of ANGLES) if (orientation && text && text.startsWith(angle + " ")) orientation.mark(angle);
}
function setStatus(text) { $("status").textContent = text || ""; }
function failure(error) {
  return error instanceof TypeError ? `no answer from the server (${error.message})` : error.message;
}

// ---- settings ------------------------------------------------------------------------------------
function settings() {
  const s = { molecule: state.molecule.name, orbitals: orbitals.get(), orientation: orientation.get(),
              ...energy.get(), ...light.get(), ...grid.get(), plane_height: Number($("plane-height").value) };
  if (orbitals.focus !== null) s.plane_orbital = orbitals.focus;
  if (!s.orbitals.length) throw new Error("select at least one orbital");
  return s;
}

// ---- the map: one request at a time, always for the newest settings -----------------------------------
function changed() {
  $("command").textContent = "libkernels map ..."; $("command-note").textContent = ""; $("copy-command").disabled = true;
  if (state.firstUnserved === null) state.firstUnserved = performance.now();
  state.dirty = true;
  drawMolecule();
  if (!state.inFlight) requestMap();
}

function stale(text) {
  showMessage(text);
  model.setStale(text);  // the map on screen no longer answers the settings
}

async function requestMap() {
  if (!state.dirty) return;
  let s;
  try { s = settings(); } catch (e) { stale(e.message); state.dirty = false; state.firstUnserved = null; return; }
  state.dirty = false;
  const since = state.firstUnserved;
  state.firstUnserved = null;
  s.seq = ++state.seq;
  state.inFlight = true;
  try {
    const sent = performance.now();
    const answer = await source.map(s);
    if (answer) {
      const { data, info } = answer;
      const arrived = performance.now();
      state.map = data; state.mapInfo = info;
      window.__lk.lastMap = data; window.__lk.lastInfo = info; window.__lk.lastSettings = s;
      showMessage("");
      setStatus(`${info.orbitals.join(" + ")}: E_kin ${info.e_kin_ev.map((e) => e.toFixed(2)).join(", ")} eV`);
      $("notes").textContent = (info.notes || []).join("; ");
      drawModel();
      if (since !== null) afterPaint(since, { queued: sent - since, server: info.compute_ms,
        transfer: arrived - sent - info.compute_ms, draw: performance.now() - arrived });
      drawMeasured();
    }
  } catch (e) {
    stale(failure(e));
  } finally {
    state.inFlight = false;
    if (state.dirty) requestMap();
  }
}

function afterPaint(since, parts) {
  // The map is in the canvas; the next animation frame is the one that shows it.
  requestAnimationFrame(() => {
    window.__lk.latencies.push(performance.now() - since);
    window.__lk.parts.push(parts);
    window.__lk.paints += 1;
  });
}

// ---- painting ----------------------------------------------------------------------------------------
function table(signed) { return state.info.colours[signed ? "RdBu_r" : "inferno"]; }

function drawModel() {
  showModelMap(model, state.map, state.mapInfo, state.info.colours, state.molecule.display);
  Object.assign(window.__lk, { frame: model.frame, table: model.table, barLabels: model.bar.labels,
                               barLabel: model.bar.label });
}

function drawMeasured() {
  const m = state.measured, r = state.residual;
  $("measured-view").hidden = !m;
  $("residual-view").hidden = !r;
  $("cards").classList.toggle("comparing", Boolean(m));
  if (!m) return;
  const extent = (info) => state.mapInfo ? mapExtent(state.mapInfo)
    : [Math.min(info.kx[0], info.ky[0]), Math.max(info.kx[0] + info.shape[0] * info.kx[1], info.ky[0] + info.shape[1] * info.ky[1])];
  const show = (view, array, signed, title) => {
    const { data, info } = array, [nx, ny] = info.shape;
    view.show({ values: data, nx, ny, at: (i, j) => i * ny + j, kx: info.kx, ky: info.ky },
              { extent: extent(info), signed, table: table(signed), title, radius: null,
                quantity: signed ? RESIDUAL_LABEL : "measured intensity",
                caption: signed ? "measured − fitted model on the measured pixels" : "the uploaded map on the model's axes" });
  };
  show(measuredView, m, false, `measured: ${m.name}`);
  if (r) {
    show(residualView, r, true, "measured − fitted model");
    window.__lk.residualBarLabel = residualView.bar ? residualView.bar.label : null;
  }
}

// ---- the molecule seen from above, turned as in the experiment ---------------------------------------
function orientationMatrix(a, b, g) {
  // M = Rz(a) Rx(b) Rz(g), rows = the molecule's axes seen from the lab.
  const r = Math.PI / 180, [sa, ca, sb, cb, sc, cc] = [-a, -a, -b, -b, -g, -g]
    .map((v, k) => (k % 2 ? Math.cos(v * r) : Math.sin(v * r)));
  return [[cc * ca - cb * sc * sa, ca * sc + cb * cc * sa, sa * sb],
          [-cc * sa - ca * cb * sc, cb * cc * ca - sa * sc, ca * sb],
          [sc * sb, -cc * sb, cb]];
}

// The canvas's drawing as large as its box, whose height the page's layout sets.
function fitCanvas(canvas) {
  const width = Math.max(120, Math.floor(canvas.clientWidth || 280));
  const height = Math.max(60, Math.floor(canvas.clientHeight || width));
  if (canvas.width !== width || canvas.height !== height) { canvas.width = width; canvas.height = height; }
}

function drawMolecule() {
  const canvas = $("molecule-view"), m = state.molecule;
  if (!m) return;
  fitCanvas(canvas);
  const ctx = canvas.getContext("2d");
  ctx.clearRect(0, 0, canvas.width, canvas.height);
  const M = orientationMatrix(...orientation.peek());
  // The molecule stands in the lab as M^T applied to its own coordinates.
  const lab = m.atoms.map((atom) => [0, 1, 2].map((c) => M[0][c] * atom.xyz[0] + M[1][c] * atom.xyz[1] + M[2][c] * atom.xyz[2]));
  const reach = Math.max(1, ...m.atoms.map((a) => Math.hypot(...a.xyz))) + 1.2;
  const scale = (Math.min(canvas.width, canvas.height) / 2 - 12) / reach;
  const cx = canvas.width / 2, cy = canvas.height / 2;
  const X = (p) => cx + p[0] * scale, Y = (p) => cy - p[1] * scale;
  ctx.strokeStyle = "#ccc"; ctx.fillStyle = "#888"; ctx.font = "11px system-ui";
  ctx.beginPath(); ctx.moveTo(8, cy); ctx.lineTo(canvas.width - 8, cy); ctx.moveTo(cx, canvas.height - 8); ctx.lineTo(cx, 8); ctx.stroke();
  ctx.fillText("x", canvas.width - 14, cy - 4); ctx.fillText("y", cx + 4, 16);
  const azimuth = Number(lightValue("azimuth"));
  if (lightValue("polarisation") !== "none" && Number.isFinite(azimuth)) {
    // The plane of incidence of the light, seen from above: a line at the azimuth.
    const phi = azimuth * Math.PI / 180, r = Math.min(canvas.width, canvas.height) / 2 - 10;
    ctx.save(); ctx.setLineDash([6, 4]); ctx.strokeStyle = "#d08000"; ctx.lineWidth = 1.5;
    ctx.beginPath(); ctx.moveTo(cx - r * Math.cos(phi), cy + r * Math.sin(phi));
    ctx.lineTo(cx + r * Math.cos(phi), cy - r * Math.sin(phi)); ctx.stroke();
    ctx.fillStyle = "#d08000"; ctx.fillText("plane of incidence", 10, canvas.height - 8);
    ctx.restore();
  }
  ctx.strokeStyle = "#666"; ctx.lineWidth = 2.5;
  for (const [i, j] of m.bonds) {
    ctx.beginPath(); ctx.moveTo(X(lab[i]), Y(lab[i])); ctx.lineTo(X(lab[j]), Y(lab[j])); ctx.stroke();
  }
  ctx.lineWidth = 1;
  const order = lab.map((p, k) => k).sort((p, q) => lab[p][2] - lab[q][2]);
  for (const k of order) {
    const atom = m.atoms[k], radius = (atom.symbol === "H" ? 0.25 : 0.38) * scale;
    ctx.beginPath(); ctx.arc(X(lab[k]), Y(lab[k]), Math.max(2, radius), 0, 2 * Math.PI);
    ctx.fillStyle = atom.colour; ctx.fill(); ctx.strokeStyle = "#222"; ctx.stroke();
  }
}

function lightValue(key) { return light.inputs[key].value; }

// ---- the orbital on a real-space plane ------------------------------------------------------------------
async function requestPlane() {
  if (state.planeBusy) { state.planeDirty = true; return; }
  let s;
  try { s = settings(); } catch (e) { return; }
  state.planeBusy = true; state.planeDirty = false;
  try {
    const answer = await source.plane(s);
    if (answer) { state.plane = answer; drawPlane(); }
  } catch (e) { showMessage(failure(e)); }
  finally { state.planeBusy = false; if (state.planeDirty) requestPlane(); }
}

function drawPlane() {
  if (!state.plane) return;
  const { data, info } = state.plane, canvas = $("plane");
  fitCanvas(canvas);
  const ctx = canvas.getContext("2d");
  ctx.clearRect(0, 0, canvas.width, canvas.height);
  const [rows, cols] = info.shape, m = info.max_abs || 1;
  const image = toImage(data, cols, rows, (i, j) => j * cols + i, -m, m, state.info.colours.RdBu_r);
  const width = cols * info.step, height = rows * info.step;
  const scale = Math.min((canvas.width - 8) / width, (canvas.height - 8) / height);
  const x0 = (canvas.width - width * scale) / 2, y0 = (canvas.height - height * scale) / 2;
  ctx.imageSmoothingEnabled = true;
  ctx.drawImage(image, x0, y0, width * scale, height * scale);
  const axis = (c) => "xyz".indexOf(c), [a, b] = info.axes.map(axis);
  const X = (p) => x0 + (p[a] - info.origin[0]) * scale, Y = (p) => y0 + height * scale - (p[b] - info.origin[1]) * scale;
  const atoms = state.molecule.atoms;
  ctx.strokeStyle = "rgba(0,0,0,0.45)"; ctx.lineWidth = 1;
  for (const [i, j] of state.molecule.bonds) {
    ctx.beginPath(); ctx.moveTo(X(atoms[i].xyz), Y(atoms[i].xyz)); ctx.lineTo(X(atoms[j].xyz), Y(atoms[j].xyz)); ctx.stroke();
  }
  for (const atom of atoms) {
    ctx.beginPath(); ctx.arc(X(atom.xyz), Y(atom.xyz), 2.2, 0, 2 * Math.PI); ctx.fillStyle = "#222"; ctx.fill();
  }
  $("plane-caption").textContent = `${info.orbital} on the plane ${info.normal} = ${info.height.toFixed(1)} Å above the molecule's centre (${info.axes[0]} right, ${info.axes[1]} up; red +, blue −)`;
}

// ---- molecules ------------------------------------------------------------------------------------------
function chooseMolecule(name) {
  state.molecule = state.info.molecules.find((m) => m.name === name);
  state.residual = null;  // a measured map stays: it can be compared with any molecule
  orbitals.setMolecule(state.molecule, [[state.molecule.homo, 1]], state.molecule.homo);
  changed();
  requestPlane();
}

// ---- exports --------------------------------------------------------------------------------------------
function download(blob, name) {
  const link = document.createElement("a");
  link.href = URL.createObjectURL(blob); link.download = name;
  document.body.appendChild(link); link.click(); link.remove();
  setTimeout(() => URL.revokeObjectURL(link.href), 10000);
}

function stem() {
  const m = state.mapInfo;
  return `${state.molecule.name}_${(m ? m.orbitals.join("+") : "map").replace(/[^A-Za-z0-9+-]/g, "_")}`;
}

async function exportFile(kind, suffix) {
  let s;
  try { s = settings(); } catch (e) { showMessage(e.message); return null; }
  try {
    const result = await source.exported(kind, s);
    if (kind === "settings") {
      $("command").textContent = result.command; $("command-note").textContent = result.command_note || "";
      $("copy-command").disabled = false;
      return result;
    }
    download(result, stem() + suffix);
    showMessage("");
  } catch (e) { showMessage(failure(e)); }
  return null;
}

async function copyCommand() {
  const text = $("command").textContent;
  try { await navigator.clipboard.writeText(text); setStatus("command copied"); return; }
  catch (e) { /* no clipboard here: select it for the user's own copy */ }
  const range = document.createRange();
  range.selectNodeContents($("command"));
  const selection = window.getSelection();
  selection.removeAllRanges(); selection.addRange(range);
  setStatus(document.execCommand && document.execCommand("copy") ? "command copied" : "command selected: copy it with Ctrl-C");
}

// ---- measured map and fit --------------------------------------------------------------------------------
async function uploadMeasured(file) {
  if (file.size > state.info.limits.upload_bytes) {
    showMessage(`${file.name} is ${file.size} bytes; the server accepts up to ${state.info.limits.upload_bytes}`);
    return;
  }
  try {
    const answer = await source.measured(await file.arrayBuffer());
    state.measured = { ...answer, name: file.name }; state.residual = null;
    window.__lk.measuredInfo = answer.info;
    $("fit").disabled = !state.info.fit;
    if (!state.info.fit) $("fit").title = "fitting is not available in this installation";
    // The fit needs the map's own kinetic energy: from the file, else asked for here.
    const e = answer.info.energies || {};
    $("fit-energy-label").hidden = "kinetic_energy" in e || ("photon_energy" in e && "work_function" in e);
    $("fit-energy").classList.remove("invalid");
    $("fit-report").textContent = "";
    showWarnings([]);
    showMessage("");
    drawMeasured();
  } catch (e) { showMessage(`${file.name}: ${failure(e)}`); }
}

// The kinetic energy the fit is to use: undefined when the file states one, else the one
// entered beside the fit button (null when that is not a positive number).
function fitEnergy() {
  if ($("fit-energy-label").hidden) return undefined;
  const text = $("fit-energy").value.trim(), value = Number(text);
  const good = text !== "" && Number.isFinite(value) && value > 0;
  $("fit-energy").classList.toggle("invalid", !good);
  return good ? value : null;
}

async function fit() {
  let s;
  try { s = settings(); } catch (e) { showMessage(e.message); return; }
  const kinetic = fitEnergy();
  if (kinetic === null) {
    showMessage("the measured map states no kinetic energy: enter the one it was measured at (eV) beside the fit button");
    $("fit-energy").focus();
    return;
  }
  $("fit").disabled = true; $("fit-cancel").hidden = false; setStatus("fitting ...");
  try {
    const { data, info } = await source.fit(s, state.measured.info.id, ["alpha"], kinetic);
    state.residual = { data, info }; window.__lk.fitInfo = info;
    const weights = {};
    info.orbitals.forEach((index, k) => { weights[index] = +info.weights[k].toPrecision(6); });
    orbitals.setWeights(weights);
    orientation.set(info.orientation);
    info.orientation = orientation.get();
    // the model beside the measured map is the fitted one: its weights and angles, and
    // the one kinetic energy the fit gave every orbital (to six digits, as the weights)
    energy.set("energy_mode", "kinetic");
    energy.set("kinetic_energy", +info.kinetic_energy_ev.toPrecision(6));
    showEnergyMode(energy);
    drawMeasured();
    const fmt = (v, digits) => (v === null || v === undefined ? "?" : v.toPrecision(digits));
    $("fit-report").textContent = [
      `weights ${info.weights.map((w, k) => `${fmt(w, 3)} ± ${fmt(info.weight_errors[k], 2)}`).join(", ")}`,
      `α = ${fmt(info.orientation[0], 4)}° ± ${fmt(info.orientation_errors[0], 2)}; R = ${fmt(info.r_factor, 3)}`,
      `χ²_red ${fmt(info.chi2_reduced, 3)} (1 ± ${fmt(info.goodness.expected_spread, 2)} expected)`,
      `E_kin ${fmt(info.kinetic_energy_ev, 4)} eV for all orbitals (${info.energy_source === "file" ? "from the file" : "entered"})`,
      "the model map shows these weights and angles at this E_kin (the background left out)",
    ].join("\n");
    showWarnings(info.warnings || []);
    showMessage("");
    setStatus("");
    changed();
  } catch (e) {
    const text = failure(e);
    if (/cancelled/.test(text)) setStatus("fit cancelled"); else { setStatus(""); showMessage(text); }
  } finally { $("fit").disabled = !state.measured; $("fit-cancel").hidden = true; }
}

function showWarnings(warnings) {
  // the fit's own verdicts ({code, message}): a misfit, angles it cannot separate, ...
  const list = $("fit-warnings");
  list.textContent = "";
  for (const w of warnings) list.append(Object.assign(document.createElement("li"), { textContent: `${w.code}: ${w.message}` }));
  list.hidden = !warnings.length;
}

// ---- building and wiring the page ------------------------------------------------------------------------
function build(info) {
  const d = info.defaults, limits = info.limits;
  orientation = new OrientationControls($("orientation"), { limit: limits.angle, onChange: changed });
  orbitals = new OrbitalList($("orbital-list"), { onChange: changed, onFocus: () => requestPlane(),
                                                 onMessage: showMessage });
  energy = new SettingsForm($("energy"), energyFields(d),
                           { onChange: (key) => { if (key === "energy_mode") showEnergyMode(energy); changed(); } });
  light = new SettingsForm($("light"), lightFields(d, limits), { onChange: changed });
  grid = new SettingsForm($("momentum-grid"), gridFields(d, limits), { onChange: changed });
  model = new MapView($("model-view"), { label: "momentum map", fill: true });
  measuredView = new MapView($("measured-view"), { label: "measured map", fill: true });
  residualView = new MapView($("residual-view"), { label: "measured minus fitted model", fill: true });
  showEnergyMode(energy);
}

function wire() {
  $("plane-height").addEventListener("input", () => {
    $("plane-height-text").textContent = `${Number($("plane-height").value).toFixed(1)} Å`; requestPlane();
  });
  $("molecule").addEventListener("change", () => chooseMolecule($("molecule").value));
  $("export-png").addEventListener("click", () => exportFile("png", ".png"));
  $("export-npy").addEventListener("click", () => exportFile("npy", ".npy"));
  $("export-json").addEventListener("click", async () => {
    const body = await exportFile("settings", ".json");
    if (body) { download(new Blob([JSON.stringify(body, null, 1)], { type: "application/json" }), stem() + ".json"); showMessage(""); }
  });
  $("show-command").addEventListener("click", () => exportFile("settings", ".json"));
  $("copy-command").addEventListener("click", copyCommand);
  $("measured-file").addEventListener("change", () => { const file = $("measured-file").files[0]; if (file) uploadMeasured(file); });
  $("fit").addEventListener("click", fit);
  $("fit-cancel").addEventListener("click", () => source.cancelFit());
  // the molecule's views follow their boxes, which the layout changes (a window resized,
  // a measured map shown beside the model)
  const follow = (canvas, draw) => {
    let seen = "";
    const redraw = () => {
      const now = `${canvas.clientWidth} ${canvas.clientHeight}`;
      if (now !== seen) { seen = now; draw(); }
    };
    if (typeof ResizeObserver !== "undefined") new ResizeObserver(redraw).observe(canvas);
    else window.addEventListener("resize", redraw);
  };
  follow($("molecule-view"), drawMolecule);
  follow($("plane"), drawPlane);
}

async function start() {
  try {
    state.info = await source.info();
  } catch (e) { showMessage(`cannot reach the server (${failure(e)})`); return; }
  for (const m of state.info.molecules) $("molecule").append(Object.assign(document.createElement("option"), { value: m.name, textContent: m.title }));
  build(state.info);
  wire();
  chooseMolecule(state.info.molecules[0].name);
}

start();
