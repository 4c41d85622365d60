// libkernels explore: the page.  It asks the server for maps as float32 arrays
// and paints them itself, so that a slider move costs one kernel call and one
// putImageData.  While a map is being computed, further moves only mark the
// settings as changed; when the answer arrives the latest settings are sent,
// so the server never works through a queue of positions the slider has left.
"use strict";

const $ = (id) => document.getElementById(id);
const state = {
  info: null, molecule: null, client: Math.random().toString(36).slice(2, 12),
  seq: 0, inFlight: false, dirty: false, firstUnserved: null,
  selected: new Map(),  // orbital index -> weight
  focus: null,          // orbital shown in the real-space view
  map: null, mapInfo: null, measured: null, residual: null,
  planeBusy: false, planeDirty: false,
};
// What the tests read: the last map received and the input-to-paint times.
window.__lk = { latencies: [], parts: [], paints: 0, lastMap: null, lastInfo: null, lastSettings: null,
                measuredInfo: null, fitInfo: null };

// ---- messages ----------------------------------------------------------------
function showMessage(text) {
  $("message").textContent = text || "";
  // The server's messages start with the setting they refuse: mark its field.
  for (const [id, [key]] of Object.entries(NUMBERS)) {
    if (text && text.startsWith(key + " ")) $(id).classList.add("invalid");
    else if (!text) $(id).classList.remove("invalid");
  }
}
function setStatus(text) { $("status").textContent = text || ""; }

async function errorText(response) {
  try { const body = await response.json(); if (body && body.error) return body.error; }
  catch (e) { /* not JSON */ }
  return `the server answered ${response.status}`;
}

// ---- settings ------------------------------------------------------------------
const NUMBERS = {  // input id -> [setting, label]
  "photon-energy": ["photon_energy", "photon energy"], "work-function": ["work_function", "work function"],
  "kinetic-energy": ["kinetic_energy", "kinetic energy"], "incidence": ["incidence", "incidence"],
  "azimuth": ["azimuth", "azimuth"], "s-share": ["s_share", "s share"], "k-max": ["k_max", "k max"],
  "resolution": ["resolution", "resolution"],
};

function readNumber(id, label) {
  const input = $(id);
  const text = input.value.trim();
  const value = Number(text);
  if (text === "" || !Number.isFinite(value)) {
    input.classList.add("invalid");
    throw new Error(`${label}: "${input.value}" is not a number`);
  }
  input.classList.remove("invalid");
  return value;
}

function settings() {
  const s = {
    molecule: state.molecule.name, client: state.client,
    orbitals: [...state.selected].map(([index, weight]) => ({ index, weight })),
    orientation: ["alpha", "beta", "gamma"].map((a) => readNumber(`${a}-num`, a)),
    energy_mode: $("energy-mode").value, symmetry: $("symmetry").value,
    polarisation: $("polarisation").value,
    plane_height: Number($("plane-height").value),
  };
  for (const [id, [key, label]] of Object.entries(NUMBERS)) s[key] = readNumber(id, label);
  if (state.focus !== null) s.plane_orbital = state.focus;
  if (!s.orbitals.length) throw new Error("select at least one orbital");
  return s;
}

async function post(path, body, binary) {
  return fetch(path, { method: "POST", body: binary ? body : JSON.stringify(body),
                       headers: { "Content-Type": binary ? "application/octet-stream" : "application/json" } });
}

function arrayOf(response, buffer) {
  return { data: new Float32Array(buffer), info: JSON.parse(response.headers.get("X-LK-Info")) };
}

// ---- the map: one request at a time, always for the newest settings -----------------
function changed() {
  $("command").value = ""; $("command-note").textContent = "";
  if (state.firstUnserved === null) state.firstUnserved = performance.now();
  state.dirty = true;
  drawMolecule();
  if (!state.inFlight) requestMap();
}

async function requestMap() {
  if (!state.dirty) return;
  let s;
  try { s = settings(); } catch (e) { showMessage(e.message); state.dirty = false; state.firstUnserved = null; return; }
  state.dirty = false;
  const since = state.firstUnserved;
  state.firstUnserved = null;
  s.seq = ++state.seq;
  state.inFlight = true;
  try {
    const sent = performance.now();
    const response = await post("api/map", s);
    if (response.status === 200) {
      const { data, info } = arrayOf(response, await response.arrayBuffer());
      const arrived = performance.now();
      state.map = data; state.mapInfo = info;
      window.__lk.lastMap = data; window.__lk.lastInfo = info; window.__lk.lastSettings = s;
      showMessage("");
      setStatus(`${info.orbitals.join(" + ")}: E_kin ${info.e_kin_ev.map((e) => e.toFixed(2)).join(", ")} eV` +
                (info.min === 0 && info.max === 0 ? " (the map is zero everywhere)" : ""));
      drawMap();
      if (since !== null) afterPaint(since, { queued: sent - since, server: info.compute_ms,
        transfer: arrived - sent - info.compute_ms, draw: performance.now() - arrived });
      drawMeasured();
    } else if (response.status !== 204) {
      showMessage(await errorText(response));
    }
  } catch (e) {
    showMessage(`no answer from the server (${e.message})`);
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

// ---- painting -----------------------------------------------------------------------
const MARGIN = { left: 58, right: 92, top: 14, bottom: 44 };

function colourTable(signed) { return state.info.colours[signed ? "RdBu_r" : "inferno"]; }

function toImage(values, nx, ny, at, low, high, table) {
  // at(i, j) -> index into values of the pixel (kx[i], ky[j]); rows go down in ky.
  const image = new ImageData(nx, ny);
  const span = high > low ? high - low : 1;
  for (let r = 0; r < ny; r++) {
    const j = ny - 1 - r;
    for (let i = 0; i < nx; i++) {
      const v = values[at(i, j)];
      const o = 4 * (r * nx + i);
      if (Number.isNaN(v)) { image.data[o + 3] = 0; continue; }
      let t = Math.round(255 * (v - low) / span);
      t = t < 0 ? 0 : t > 255 ? 255 : t;
      const c = table[t];
      image.data[o] = c[0]; image.data[o + 1] = c[1]; image.data[o + 2] = c[2]; image.data[o + 3] = 255;
    }
  }
  const canvas = document.createElement("canvas");
  canvas.width = nx; canvas.height = ny;
  canvas.getContext("2d").putImageData(image, 0, 0);
  return canvas;
}

function frame(canvas, extent, withBar) {
  // Square plot area for the k range `extent` = [lo, hi] (Å⁻¹) on both axes.
  const right = withBar ? MARGIN.right : 14;
  const size = Math.min(canvas.width - MARGIN.left - right, canvas.height - MARGIN.top - MARGIN.bottom);
  const x0 = MARGIN.left, y0 = MARGIN.top;
  const scale = size / (extent[1] - extent[0]);
  return { x0, y0, size, extent, px: (k) => x0 + (k - extent[0]) * scale,
           py: (k) => y0 + size - (k - extent[0]) * scale,
           kx: (x) => extent[0] + (x - x0) / scale, ky: (y) => extent[0] + (y0 + size - y) / scale };
}

function niceStep(span) {
  const raw = span / 6, power = 10 ** Math.floor(Math.log10(raw));
  for (const m of [1, 2, 2.5, 5, 10]) if (m * power >= raw) return m * power;
  return 10 * power;
}

function axes(ctx, f) {
  ctx.strokeStyle = "#333"; ctx.fillStyle = "#333"; ctx.lineWidth = 1;
  ctx.strokeRect(f.x0 + 0.5, f.y0 + 0.5, f.size, f.size);
  ctx.font = "11px system-ui, sans-serif";
  const step = niceStep(f.extent[1] - f.extent[0]);
  for (let k = Math.ceil(f.extent[0] / step) * step; k <= f.extent[1] + 1e-9; k += step) {
    const label = Math.abs(k) < 1e-9 ? "0" : +k.toFixed(3) + "";
    const x = f.px(k), y = f.py(k);
    ctx.beginPath(); ctx.moveTo(x, f.y0 + f.size); ctx.lineTo(x, f.y0 + f.size + 4);
    ctx.moveTo(f.x0, y); ctx.lineTo(f.x0 - 4, y); ctx.stroke();
    ctx.textAlign = "center"; ctx.textBaseline = "top"; ctx.fillText(label, x, f.y0 + f.size + 6);
    ctx.textAlign = "right"; ctx.textBaseline = "middle"; ctx.fillText(label, f.x0 - 6, y);
  }
  ctx.textAlign = "center"; ctx.textBaseline = "alphabetic";
  ctx.fillText("kx (Å⁻¹)", f.x0 + f.size / 2, f.y0 + f.size + 36);
  ctx.save(); ctx.translate(14, f.y0 + f.size / 2); ctx.rotate(-Math.PI / 2);
  ctx.fillText("ky (Å⁻¹)", 0, 0); ctx.restore();
}

function colourBar(ctx, f, low, high, table) {
  const x = f.x0 + f.size + 16, w = 14, h = f.size;
  for (let t = 0; t < 256; t++) {
    const c = table[t];
    ctx.fillStyle = `rgb(${c[0]},${c[1]},${c[2]})`;
    const y0 = f.y0 + h - (t + 1) * h / 256;
    ctx.fillRect(x, y0, w, h / 256 + 1);
  }
  ctx.strokeStyle = "#333"; ctx.strokeRect(x + 0.5, f.y0 + 0.5, w, h);
  ctx.fillStyle = "#333"; ctx.textAlign = "left"; ctx.textBaseline = "middle";
  for (let q = 0; q <= 4; q++) {
    const v = low + (high - low) * q / 4;
    ctx.fillText(v.toPrecision(3), x + w + 4, f.y0 + h - q * h / 4);
  }
}

function mapExtent(info) {
  const half = info.k_step / 2;
  return [info.k_min - half, info.k_min + (info.n - 1) * info.k_step + half];
}

function scaleOf(values, signed) {
  let low = Infinity, high = -Infinity;
  for (const v of values) { if (v < low) low = v; if (v > high) high = v; }
  if (!Number.isFinite(low)) return [0, 1];
  if (signed) { const m = Math.max(Math.abs(low), Math.abs(high)) || 1; return [-m, m]; }
  return [Math.min(0, low), high > 0 ? high : 1];
}

function drawMap() {
  const canvas = $("map"), ctx = canvas.getContext("2d"), info = state.mapInfo, n = info.n;
  ctx.clearRect(0, 0, canvas.width, canvas.height);
  const [low, high] = scaleOf(state.map, info.signed);
  const table = colourTable(info.signed);
  const image = toImage(state.map, n, n, (i, j) => i * n + j, low, high, table);
  const f = frame(canvas, mapExtent(info), true);
  ctx.imageSmoothingEnabled = false;
  ctx.drawImage(image, f.x0, f.y0, f.size, f.size);
  // The edge of the hemisphere of the highest kinetic energy.
  ctx.save(); ctx.beginPath(); ctx.rect(f.x0, f.y0, f.size, f.size); ctx.clip();
  ctx.setLineDash([5, 4]); ctx.strokeStyle = info.signed ? "rgba(0,0,0,0.4)" : "rgba(255,255,255,0.7)";
  ctx.beginPath(); ctx.arc(f.px(0), f.py(0), info.radius * f.size / (f.extent[1] - f.extent[0]), 0, 2 * Math.PI);
  ctx.stroke(); ctx.restore();
  axes(ctx, f);
  colourBar(ctx, f, low, high, table);
  state.mapFrame = f;
  window.__lk.frame = { x0: f.x0, y0: f.y0, size: f.size };
  window.__lk.table = table;
}

function hover(event) {
  if (!state.mapFrame || !state.map) return;
  const rect = event.target.getBoundingClientRect(), f = state.mapFrame, info = state.mapInfo;
  const x = (event.clientX - rect.left) * event.target.width / rect.width;
  const y = (event.clientY - rect.top) * event.target.height / rect.height;
  const kx = f.kx(x), ky = f.ky(y);
  const i = Math.round((kx - info.k_min) / info.k_step), j = Math.round((ky - info.k_min) / info.k_step);
  if (i < 0 || j < 0 || i >= info.n || j >= info.n) { $("readout").textContent = "\u00a0"; return; }
  const v = state.map[i * info.n + j];
  $("readout").textContent = `kx = ${kx.toFixed(3)} Å⁻¹   ky = ${ky.toFixed(3)} Å⁻¹   intensity = ${v.toPrecision(4)}`;
}

// ---- molecule seen from above, turned as in the experiment ---------------------------
function orientationMatrix(a, b, g) {
  // M = Rz(a) Rx(b) Rz(g), rows = the molecule's axes seen from the lab.
  const r = Math.PI / 180, [sa, ca, sb, cb, sc, cc] = [-a, -a, -b, -b, -g, -g]
    .map((v, k) => (k % 2 ? Math.cos(v * r) : Math.sin(v * r)));
  return [[cc * ca - cb * sc * sa, ca * sc + cb * cc * sa, sa * sb],
          [-cc * sa - ca * cb * sc, cb * cc * ca - sa * sc, ca * sb],
          [sc * sb, -cc * sb, cb]];
}

function angles() {
  return ["alpha", "beta", "gamma"].map((a) => { const v = Number($(`${a}-num`).value); return Number.isFinite(v) ? v : 0; });
}

function drawMolecule() {
  const canvas = $("molecule-view"), ctx = canvas.getContext("2d"), m = state.molecule;
  ctx.clearRect(0, 0, canvas.width, canvas.height);
  const M = orientationMatrix(...angles());
  // The molecule stands in the lab as M^T applied to its own coordinates.
  const lab = m.atoms.map((atom) => [0, 1, 2].map((c) => M[0][c] * atom.xyz[0] + M[1][c] * atom.xyz[1] + M[2][c] * atom.xyz[2]));
  const reach = Math.max(1, ...m.atoms.map((a) => Math.hypot(...a.xyz))) + 1.2;
  const scale = (canvas.width / 2 - 12) / reach, cx = canvas.width / 2, cy = canvas.height / 2;
  const X = (p) => cx + p[0] * scale, Y = (p) => cy - p[1] * scale;
  ctx.strokeStyle = "#ccc"; ctx.fillStyle = "#888"; ctx.font = "11px system-ui";
  ctx.beginPath(); ctx.moveTo(8, cy); ctx.lineTo(canvas.width - 8, cy); ctx.moveTo(cx, canvas.height - 8); ctx.lineTo(cx, 8); ctx.stroke();
  ctx.fillText("x", canvas.width - 14, cy - 4); ctx.fillText("y", cx + 4, 16);
  if ($("polarisation").value !== "none") {
    // The plane of incidence of the light, seen from above: a line at the azimuth.
    const phi = Number($("azimuth").value) * Math.PI / 180, r = canvas.width / 2 - 10;
    if (Number.isFinite(phi)) {
      ctx.save(); ctx.setLineDash([6, 4]); ctx.strokeStyle = "#d08000"; ctx.lineWidth = 1.5;
      ctx.beginPath(); ctx.moveTo(cx - r * Math.cos(phi), cy + r * Math.sin(phi));
      ctx.lineTo(cx + r * Math.cos(phi), cy - r * Math.sin(phi)); ctx.stroke();
      ctx.fillStyle = "#d08000"; ctx.fillText("plane of incidence", 10, canvas.height - 8);
      ctx.restore();
    }
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

// ---- the orbital on a real-space plane ---------------------------------------------------
async function requestPlane() {
  if (state.planeBusy) { state.planeDirty = true; return; }
  let s;
  try { s = settings(); } catch (e) { return; }
  state.planeBusy = true; state.planeDirty = false;
  try {
    const response = await post("api/plane", s);
    if (response.ok) {
      const { data, info } = arrayOf(response, await response.arrayBuffer());
      drawPlane(data, info);
    } else showMessage(await errorText(response));
  } catch (e) { showMessage(`no answer from the server (${e.message})`); }
  finally { state.planeBusy = false; if (state.planeDirty) requestPlane(); }
}

function drawPlane(data, info) {
  const canvas = $("plane"), ctx = canvas.getContext("2d");
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

// ---- the orbital list -------------------------------------------------------------------
function fillOrbitals() {
  const m = state.molecule, body = $("orbitals").querySelector("tbody");
  body.textContent = "";
  const spin = $("spin-filter").value;
  $("spin-filter-label").hidden = !m.two_spins;
  for (const cell of document.querySelectorAll(".spin-col")) cell.hidden = !m.two_spins;
  const rows = m.orbitals.filter((o) => !m.two_spins || o.spin === spin)
    .sort((p, q) => (q.energy ?? 0) - (p.energy ?? 0));
  for (const o of rows) {
    const tr = document.createElement("tr");
    tr.dataset.index = o.index;
    if (/^(HOMO|LUMO)( |$)/.test(o.name)) tr.classList.add("frontier");
    const pick = Object.assign(document.createElement("input"), { type: "checkbox", className: "pick", checked: state.selected.has(o.index) });
    const weight = Object.assign(document.createElement("input"), { type: "number", className: "weight", step: "any",
      value: state.selected.get(o.index) ?? 1, disabled: !state.selected.has(o.index) });
    const cells = [pick, o.name, o.index, o.energy === null ? "" : o.energy.toFixed(3), o.occupation.toFixed(2), o.symmetry, o.spin, weight];
    cells.forEach((value, k) => {
      const td = document.createElement("td");
      if (value instanceof Node) td.appendChild(value); else td.textContent = value;
      if (k === 6) { td.className = "spin-col"; td.hidden = !m.two_spins; }
      tr.appendChild(td);
    });
    pick.addEventListener("change", () => {
      if (pick.checked) state.selected.set(o.index, Number(weight.value) || 1);
      else state.selected.delete(o.index);
      weight.disabled = !pick.checked;
      if (pick.checked) focusOrbital(o.index);
      changed();
    });
    weight.addEventListener("input", () => {
      const value = Number(weight.value);
      if (weight.value.trim() === "" || !Number.isFinite(value)) {
        weight.classList.add("invalid"); showMessage(`weight of ${o.name}: "${weight.value}" is not a number`); return;
      }
      weight.classList.remove("invalid");
      if (state.selected.has(o.index)) { state.selected.set(o.index, value); changed(); }
    });
    tr.addEventListener("click", (event) => { if (event.target.tagName !== "INPUT") focusOrbital(o.index); });
    body.appendChild(tr);
  }
  const homo = body.querySelector(`tr[data-index="${state.focus ?? m.homo}"]`);
  if (homo) homo.scrollIntoView({ block: "center" });
  markFocus();
}

function focusOrbital(index) { state.focus = index; markFocus(); requestPlane(); }
function markFocus() {
  for (const tr of $("orbitals").querySelectorAll("tbody tr")) tr.classList.toggle("focus", Number(tr.dataset.index) === state.focus);
}

function chooseMolecule(name) {
  state.molecule = state.info.molecules.find((m) => m.name === name);
  state.selected = new Map([[state.molecule.homo, 1]]);
  state.focus = state.molecule.homo;
  state.residual = null;  // a measured map stays: it can be compared with any molecule
  fillOrbitals();
  changed();
  requestPlane();
}

// ---- exports ------------------------------------------------------------------------------
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

async function exportFile(path, suffix) {
  let s;
  try { s = settings(); } catch (e) { showMessage(e.message); return; }
  try {
    const response = await post(path, s);
    if (!response.ok) { showMessage(await errorText(response)); return; }
    if (suffix === ".json") {
      const body = await response.json();
      $("command").value = body.command; $("command-note").textContent = body.command_note || "";
      return body;
    }
    download(await response.blob(), stem() + suffix);
    showMessage("");
  } catch (e) { showMessage(`no answer from the server (${e.message})`); }
}

// ---- measured map and fit ----------------------------------------------------------------------
async function uploadMeasured(file) {
  if (file.size > state.info.limits.upload_bytes) {
    showMessage(`${file.name} is ${file.size} bytes; the server accepts up to ${state.info.limits.upload_bytes}`);
    return;
  }
  try {
    const response = await post("api/measured", await file.arrayBuffer(), true);
    if (!response.ok) { showMessage(`${file.name}: ${await errorText(response)}`); return; }
    const { data, info } = arrayOf(response, await response.arrayBuffer());
    state.measured = { data, info, name: file.name }; state.residual = null;
    window.__lk.measuredInfo = info;
    $("fit").disabled = !state.info.fit;
    if (!state.info.fit) $("fit").title = "fitting is not available in this installation";
    // The fit needs the map's own kinetic energy: from the file, else asked for here.
    const e = info.energies || {};
    $("fit-energy-label").hidden = "kinetic_energy" in e || ("photon_energy" in e && "work_function" in e);
    $("fit-report").textContent = "";
    showMessage("");
    drawMeasured();
  } catch (e) { showMessage(`no answer from the server (${e.message})`); }
}

function drawGrid(canvas, array, info, signed) {
  // A map on its own pixels (kx, ky axes from info) inside the model map's k frame.
  const ctx = canvas.getContext("2d");
  ctx.clearRect(0, 0, canvas.width, canvas.height);
  if (!array) { canvas.parentElement.hidden = true; return; }
  const [nx, ny] = info.shape, [kx0, dkx] = info.kx, [ky0, dky] = info.ky;
  canvas.parentElement.hidden = false;
  const extent = state.mapInfo ? mapExtent(state.mapInfo) : [Math.min(kx0, ky0), Math.max(kx0 + nx * dkx, ky0 + ny * dky)];
  const f = frame(canvas, extent, true);
  const [low, high] = scaleOf(array, signed);
  const table = colourTable(signed);
  const image = toImage(array, nx, ny, (i, j) => i * ny + j, low, high, table);
  ctx.save(); ctx.beginPath(); ctx.rect(f.x0, f.y0, f.size, f.size); ctx.clip();
  ctx.fillStyle = "#eee"; ctx.fillRect(f.x0, f.y0, f.size, f.size);
  ctx.imageSmoothingEnabled = false;
  const left = f.px(kx0 - dkx / 2), right = f.px(kx0 + (nx - 0.5) * dkx);
  const top = f.py(ky0 + (ny - 0.5) * dky), bottom = f.py(ky0 - dky / 2);
  ctx.drawImage(image, left, top, right - left, bottom - top);
  ctx.restore();
  axes(ctx, f);
  colourBar(ctx, f, low, high, table);
}

function drawMeasured() {
  const m = state.measured;
  $("measured-row").hidden = !m;
  if (!m) return;
  drawGrid($("measured"), m && m.data, m && m.info, false);
  const r = state.residual;
  drawGrid($("residual"), r && r.data, r && r.info, true);
}

async function fit() {
  let s;
  try { s = settings(); } catch (e) { showMessage(e.message); return; }
  $("fit").disabled = true; setStatus("fitting ...");
  try {
    const body = { settings: s, measured: state.measured.info.id, fit_angles: ["alpha"] };
    if (!$("fit-energy-label").hidden) {
      const entered = Number($("fit-energy").value);
      if (!$("fit-energy").value || !(entered > 0)) {
        showMessage("the measured map states no kinetic energy: enter the one it was measured at (eV) beside the fit button");
        $("fit-energy").focus();
        return;
      }
      body.kinetic_energy = entered;
    }
    const response = await post("api/fit", body);
    if (!response.ok) { showMessage(await errorText(response)); return; }
    const { data, info } = arrayOf(response, await response.arrayBuffer());
    state.residual = { data, info }; window.__lk.fitInfo = info;
    drawMeasured();
    info.orbitals.forEach((index, k) => state.selected.set(index, +info.weights[k].toPrecision(6)));
    for (const [k, a] of ["alpha", "beta", "gamma"].entries()) {
      const v = info.orientation[k] - 360 * Math.round(info.orientation[k] / 360);  // into [-180, 180]
      info.orientation[k] = v;
      $(`${a}-num`).value = +v.toFixed(3); $(a).value = v;
    }
    fillOrbitals();
    const fmt = (v, digits) => (v === null || v === undefined ? "?" : v.toPrecision(digits));
    $("fit-report").textContent = `weights ${info.weights.map((w, k) => `${fmt(w, 3)} ± ${fmt(info.weight_errors[k], 2)}`).join(", ")}; ` +
      `α = ${fmt(info.orientation[0], 4)}° ± ${fmt(info.orientation_errors[0], 2)}; R = ${fmt(info.r_factor, 3)}; ` +
      `χ²_red ${fmt(info.chi2_reduced, 3)} (1 ± ${fmt(info.goodness.expected_spread, 2)} expected); ` +
      `E_kin ${fmt(info.kinetic_energy_ev, 4)} eV for all orbitals (${info.energy_source === "file" ? "from the file" : "entered"})` +
      (info.warnings && info.warnings.length ? `; warnings: ${info.warnings.map((w) => `${w.code}: ${w.message}`).join("; ")}` : "");
    showMessage("");
    changed();
  } catch (e) { showMessage(`no answer from the server (${e.message})`); }
  finally { $("fit").disabled = !state.measured; setStatus(""); }
}

// ---- wiring -------------------------------------------------------------------------------
function wire() {
  for (const a of ["alpha", "beta", "gamma"]) {
    $(a).addEventListener("input", () => { $(`${a}-num`).value = $(a).value; changed(); });
    $(`${a}-num`).addEventListener("input", () => { $(a).value = $(`${a}-num`).value; changed(); });
  }
  for (const id of Object.keys(NUMBERS)) $(id).addEventListener("input", changed);
  for (const id of ["symmetry", "polarisation"]) $(id).addEventListener("change", changed);
  $("energy-mode").addEventListener("change", () => {
    const kinetic = $("energy-mode").value === "kinetic";
    for (const el of document.querySelectorAll(".photon")) el.hidden = kinetic;
    for (const el of document.querySelectorAll(".kinetic")) el.hidden = !kinetic;
    changed();
  });
  $("plane-height").addEventListener("input", () => {
    $("plane-height-text").textContent = `${Number($("plane-height").value).toFixed(1)} Å`; requestPlane();
  });
  $("spin-filter").addEventListener("change", fillOrbitals);
  $("molecule").addEventListener("change", () => chooseMolecule($("molecule").value));
  $("map").addEventListener("mousemove", hover);
  $("map").addEventListener("mouseleave", () => { $("readout").textContent = "\u00a0"; });
  $("export-png").addEventListener("click", () => exportFile("api/export/png", ".png"));
  $("export-npy").addEventListener("click", () => exportFile("api/export/npy", ".npy"));
  $("export-json").addEventListener("click", async () => {
    const body = await exportFile("api/export/settings", ".json");
    if (body) { download(new Blob([JSON.stringify(body, null, 1)], { type: "application/json" }), stem() + ".json"); showMessage(""); }
  });
  $("show-command").addEventListener("click", async () => {
    const body = await exportFile("api/export/settings", ".json");
    if (body) {
      $("command").select();
      try { await navigator.clipboard.writeText(body.command); setStatus("command copied"); } catch (e) { /* no clipboard: select it */ }
    }
  });
  $("measured-file").addEventListener("change", () => { const file = $("measured-file").files[0]; if (file) uploadMeasured(file); });
  $("fit").addEventListener("click", fit);
}

async function start() {
  try {
    const response = await fetch("api/info");
    state.info = await response.json();
  } catch (e) { showMessage(`cannot reach the server (${e.message})`); return; }
  for (const m of state.info.molecules) $("molecule").appendChild(Object.assign(document.createElement("option"), { value: m.name, textContent: m.title }));
  $("resolution").max = state.info.limits.resolution;
  wire();
  chooseMolecule(state.info.molecules[0].name);
}

start();
