// libkernels explore: the parts of the page, each drawn into a container element it is
// given and told about changes through callbacks, so that any host can use them: the
// explorer's page (app.js, maps fetched from its server by ServerSource) or another one
// that hands over maps its own way.  No part reads the page's ids or calls fetch itself.
//
//   MapView          a momentum map (or a measured one) on its k axes: colour bar with its
//                    unit, title, the dashed circle explained, hover read-out, greyed with
//                    a message over it while the settings it showed are not valid
//   OrientationControls  the α, β, γ sliders with typed values, one range for both
//   OrbitalList      the orbitals in energy order, ticked with a weight each
//   SettingsForm     energies, symmetry and light, the momentum grid: labelled fields
//                    (energyFields, lightFields, gridFields: the fields both hosts show)
//   showModelMap     a computed map with its information, as MapView shows it
//   ServerSource     maps and the rest from the explorer's server (fetch)
"use strict";

// ---- small helpers ---------------------------------------------------------------------------
function element(tag, properties = {}, children = []) {
  const node = Object.assign(document.createElement(tag), properties);
  for (const child of children) node.append(child);
  return node;
}

export function niceStep(span, count = 6) {
  const raw = span / count, power = 10 ** Math.floor(Math.log10(raw));
  for (const m of [1, 2, 2.5, 5, 10]) if (m * power >= raw * (1 - 1e-9)) return m * power;
  return 10 * power;
}

export function niceTicks(low, high, count = 6) {
  if (!(high > low)) return [low];
  const step = niceStep(high - low, count), ticks = [];
  for (let k = Math.ceil(low / step - 1e-9); k * step <= high + step * 1e-9; k++) ticks.push(k * step);
  return ticks;
}

// Tick labels without exponents: a common power of ten goes into the axis label instead
// ("×10³"), the digits follow the spacing of the ticks.
const SUPERSCRIPT = { "-": "⁻", 0: "⁰", 1: "¹", 2: "²", 3: "³", 4: "⁴", 5: "⁵", 6: "⁶", 7: "⁷", 8: "⁸", 9: "⁹" };
export function tickLabels(ticks) {
  const top = Math.max(...ticks.map(Math.abs));
  const exponent = top > 0 ? Math.floor(Math.log10(top)) : 0;
  const power = exponent >= 4 || exponent <= -3 ? exponent : 0;
  const scale = 10 ** power;
  const step = ticks.length > 1 ? Math.abs(ticks[1] - ticks[0]) / scale : 1;
  const digits = Math.max(0, Math.min(6, -Math.floor(Math.log10(step) + 1e-9)));
  const labels = ticks.map((t) => {
    const v = t / scale;
    return Math.abs(v) < step * 1e-6 ? "0" : v.toFixed(digits);
  });
  const factor = power ? `×10${String(power).split("").map((c) => SUPERSCRIPT[c]).join("")}` : "";
  return { labels, factor };
}

export function scaleOf(values, signed) {
  let low = Infinity, high = -Infinity;
  for (const v of values) { if (v < low) low = v; if (v > high) high = v; }
  if (!Number.isFinite(low)) return [0, 1];
  if (signed) { const m = Math.max(Math.abs(low), Math.abs(high)) || 1; return [-m, m]; }
  return [Math.min(0, low), high > 0 ? high : 1];
}

// A grid of values as an image: at(i, j) is the index of the pixel (kx[i], ky[j]) in
// `values`; rows go down in ky.  NaN pixels are transparent.
export function toImage(values, nx, ny, at, low, high, table) {
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

// ---- a map on its k axes ----------------------------------------------------------------------
const MARGIN = { left: 44, right: 86, top: 8, bottom: 36 };
export const INTENSITY_LABEL = "|FT ψ|²/π³ (bohr³)";
export const DIFFERENCE_LABEL = "difference (bohr³)";  // a dichroism map's
// a fit's residual, in the measured map's own units (counts, or whatever the file holds)
export const RESIDUAL_LABEL = "measured − model";

export class MapView {
  // options: colours ({name: 256 rgb rows}), quantity (the colour bar's label), caption
  // (a line under the map), onHover(text) when the read-out changes, fill: the map as
  // large as its container's box allows (a box of a height set by the page's layout),
  // else as wide as the container and no taller than the window leaves room for
  // (reserve: the height of what is shown above and below it).
  constructor(container, options = {}) {
    this.options = options;
    this.title = element("div", { className: "map-title" });
    this.canvas = element("canvas", { className: "map-canvas" });
    this.canvas.setAttribute("aria-label", options.label || "momentum map");
    this.stale = element("div", { className: "map-stale", hidden: true, role: "status" });
    this.stage = element("div", { className: "map-stage" }, [this.canvas, this.stale]);
    this.caption = element("div", { className: "map-caption" });
    this.readout = element("div", { className: "readout" }, ["\u00a0"]);
    this.root = element("div", { className: options.fill ? "map-view fill" : "map-view" },
                        [this.title, this.stage, this.caption, this.readout]);
    container.append(this.root);
    this.shown = null;
    this.canvas.addEventListener("mousemove", (event) => this.hover(event));
    this.canvas.addEventListener("mouseleave", () => { this.readout.textContent = "\u00a0"; });
    if (typeof ResizeObserver !== "undefined") {
      let seen = "";
      new ResizeObserver(() => {
        const now = `${this.stage.clientWidth} ${options.fill ? this.stage.clientHeight : ""}`;
        if (this.stage.clientWidth && now !== seen) { seen = now; this.redraw(); }
      }).observe(this.stage);
    }
  }

  // map: {values, nx, ny, at(i, j), kx: [first, step], ky: [first, step]}; view: {extent:
  // [lo, hi] (both axes), signed, table, title, radius (the dashed circle, or null), quantity}
  show(map, view) {
    this.shown = { map, view };
    this.setStale(null);
    this.redraw();
  }

  clear() { this.shown = null; this.canvas.getContext("2d").clearRect(0, 0, this.canvas.width, this.canvas.height); }

  setStale(message) {
    this.root.classList.toggle("stale", Boolean(message));
    this.stale.hidden = !message;
    this.stale.textContent = message || "";
  }

  size() {
    // the plot area is square: a canvas `width` wide is width - across + down high
    const across = MARGIN.left + MARGIN.right, down = MARGIN.top + MARGIN.bottom;
    let width;
    if (this.options.fill) {
      // the stage's box, whose height the page's layout sets
      const room = (this.stage.clientHeight || 320) + across - down;
      width = Math.max(160, Math.floor(Math.min(this.stage.clientWidth || 320, room)));
    } else {
      // as wide as the stage, and no taller than the window leaves room for
      const room = window.innerHeight - (this.options.reserve ?? 150) + across - down;
      width = Math.max(200, Math.floor(Math.min(this.stage.clientWidth || 320, Math.max(260, room))));
    }
    return { width, height: width - across + down };
  }

  redraw() {
    if (!this.shown) return;
    const { map, view } = this.shown;
    const { width, height } = this.size();
    const ratio = window.devicePixelRatio || 1;
    const canvas = this.canvas;
    if (canvas.width !== Math.round(width * ratio) || canvas.height !== Math.round(height * ratio)) {
      canvas.width = Math.round(width * ratio); canvas.height = Math.round(height * ratio);
      canvas.style.width = `${width}px`; canvas.style.height = `${height}px`;
    }
    const ctx = canvas.getContext("2d");
    ctx.setTransform(ratio, 0, 0, ratio, 0, 0);
    ctx.clearRect(0, 0, width, height);
    const size = Math.min(width - MARGIN.left - MARGIN.right, height - MARGIN.top - MARGIN.bottom);
    const f = frame(MARGIN.left, MARGIN.top, size, view.extent);
    const [low, high] = scaleOf(map.values, view.signed);
    const image = toImage(map.values, map.nx, map.ny, map.at, low, high, view.table);
    ctx.save(); ctx.beginPath(); ctx.rect(f.x0, f.y0, f.size, f.size); ctx.clip();
    ctx.fillStyle = "#eee"; ctx.fillRect(f.x0, f.y0, f.size, f.size);
    ctx.imageSmoothingEnabled = false;
    const [kx0, dkx] = map.kx, [ky0, dky] = map.ky;
    const left = f.px(kx0 - dkx / 2), right = f.px(kx0 + (map.nx - 0.5) * dkx);
    const top = f.py(ky0 + (map.ny - 0.5) * dky), bottom = f.py(ky0 - dky / 2);
    ctx.drawImage(image, left, top, right - left, bottom - top);
    if (view.radius) {
      // the edge of the hemisphere of the highest kinetic energy
      ctx.setLineDash([5, 4]); ctx.lineWidth = 1;
      ctx.strokeStyle = view.signed ? "rgba(0,0,0,0.45)" : "rgba(255,255,255,0.75)";
      ctx.beginPath(); ctx.arc(f.px(0), f.py(0), view.radius * f.scale, 0, 2 * Math.PI); ctx.stroke();
    }
    ctx.restore();
    axes(ctx, f);
    const bar = colourBar(ctx, f, low, high, view.table, view.quantity || this.options.quantity || INTENSITY_LABEL);
    this.title.textContent = view.title || "";
    this.caption.textContent = view.radius ? "- - -  largest parallel momentum, |k| = √(2m E_kin)/ħ (emission at 90°)" : (view.caption || "\u00a0");
    // what the page's tests read: the plot area in canvas pixels, the colours, the bar
    this.frame = { x0: f.x0 * ratio, y0: f.y0 * ratio, size: f.size * ratio };
    this.table = view.table;
    this.bar = bar;
    this.geometry = f;
  }

  hover(event) {
    if (!this.shown || !this.geometry) return;
    const { map } = this.shown, f = this.geometry;
    const rect = this.canvas.getBoundingClientRect();
    const kx = f.kx(event.clientX - rect.left), ky = f.ky(event.clientY - rect.top);
    const i = Math.round((kx - map.kx[0]) / map.kx[1]), j = Math.round((ky - map.ky[0]) / map.ky[1]);
    let text = "\u00a0";
    if (i >= 0 && j >= 0 && i < map.nx && j < map.ny) {
      const v = map.values[map.at(i, j)];
      text = `kx = ${kx.toFixed(3)} Å⁻¹   ky = ${ky.toFixed(3)} Å⁻¹   ` +
             (Number.isNaN(v) ? "no value" : `intensity = ${v.toPrecision(4)} bohr³`);
    }
    this.readout.textContent = text;
    if (this.options.onHover) this.options.onHover(text);
  }
}

function frame(x0, y0, size, extent) {
  // A square plot area for the k range `extent` = [lo, hi] (Å⁻¹) on both axes.
  const scale = size / (extent[1] - extent[0]);
  return { x0, y0, size, extent, scale, px: (k) => x0 + (k - extent[0]) * scale,
           py: (k) => y0 + size - (k - extent[0]) * scale,
           kx: (x) => extent[0] + (x - x0) / scale, ky: (y) => extent[0] + (y0 + size - y) / scale };
}

function axes(ctx, f) {
  ctx.strokeStyle = "#333"; ctx.fillStyle = "#333"; ctx.lineWidth = 1; ctx.setLineDash([]);
  ctx.strokeRect(f.x0 + 0.5, f.y0 + 0.5, f.size, f.size);
  ctx.font = "11px system-ui, sans-serif";
  const ticks = niceTicks(f.extent[0], f.extent[1], Math.max(3, Math.round(f.size / 60)));
  const { labels } = tickLabels(ticks);
  ticks.forEach((k, n) => {
    const x = f.px(k), y = f.py(k);
    ctx.beginPath(); ctx.moveTo(x, f.y0 + f.size); ctx.lineTo(x, f.y0 + f.size + 4);
    ctx.moveTo(f.x0, y); ctx.lineTo(f.x0 - 4, y); ctx.stroke();
    ctx.textAlign = "center"; ctx.textBaseline = "top"; ctx.fillText(labels[n], x, f.y0 + f.size + 6);
    ctx.textAlign = "right"; ctx.textBaseline = "middle"; ctx.fillText(labels[n], f.x0 - 6, y);
  });
  ctx.textAlign = "center"; ctx.textBaseline = "alphabetic";
  ctx.fillText("kx (Å⁻¹)", f.x0 + f.size / 2, f.y0 + f.size + 32);
  ctx.save(); ctx.translate(12, f.y0 + f.size / 2); ctx.rotate(-Math.PI / 2);
  ctx.fillText("ky (Å⁻¹)", 0, 0); ctx.restore();
}

function colourBar(ctx, f, low, high, table, quantity) {
  const x = f.x0 + f.size + 10, w = 12, h = f.size;
  for (let t = 0; t < 256; t++) {
    const c = table[t];
    ctx.fillStyle = `rgb(${c[0]},${c[1]},${c[2]})`;
    ctx.fillRect(x, f.y0 + h - (t + 1) * h / 256, w, h / 256 + 1);
  }
  ctx.strokeStyle = "#333"; ctx.strokeRect(x + 0.5, f.y0 + 0.5, w, h);
  ctx.fillStyle = "#333"; ctx.textAlign = "left"; ctx.textBaseline = "middle";
  const ticks = niceTicks(low, high, Math.max(3, Math.round(h / 50)));
  const { labels, factor } = tickLabels(ticks);
  const y = (v) => f.y0 + h - (v - low) / (high - low || 1) * h;
  ticks.forEach((v, n) => {
    ctx.beginPath(); ctx.moveTo(x + w, y(v)); ctx.lineTo(x + w + 3, y(v)); ctx.stroke();
    ctx.fillText(labels[n], x + w + 5, y(v));
  });
  const label = factor ? `${quantity} ${factor}` : quantity;
  ctx.save(); ctx.translate(f.x0 + f.size + MARGIN.right - 6, f.y0 + h / 2); ctx.rotate(-Math.PI / 2);
  ctx.textAlign = "center"; ctx.textBaseline = "alphabetic"; ctx.fillText(label, 0, 0); ctx.restore();
  return { labels, label };
}

// ---- the orientation -----------------------------------------------------------------------------
export const ANGLES = ["alpha", "beta", "gamma"];
const GREEK = { alpha: "α", beta: "β", gamma: "γ" };

export class OrientationControls {
  // limit: the largest angle either way, for the sliders and the typed values alike
  constructor(container, { limit = 180, onChange = () => {} } = {}) {
    this.limit = limit;
    this.inputs = {};
    for (const angle of ANGLES) {
      const range = element("input", { type: "range", min: -limit, max: limit, step: 1, value: 0 });
      const number = element("input", { type: "number", min: -limit, max: limit, step: "any", value: 0 });
      range.dataset.angle = number.dataset.angle = angle;
      range.setAttribute("aria-label", `${angle} (slider)`);
      number.setAttribute("aria-label", `${angle} in degrees`);
      range.addEventListener("input", () => { number.value = range.value; number.classList.remove("invalid"); onChange(); });
      number.addEventListener("input", () => { range.value = number.value; onChange(); });
      container.append(element("div", { className: "slider" }, [element("label", { textContent: GREEK[angle] }), range, number]));
      this.inputs[angle] = { range, number };
    }
  }

  // [alpha, beta, gamma] in degrees; throws an Error naming the angle when one is not valid
  get() {
    return ANGLES.map((angle) => {
      const input = this.inputs[angle].number, text = input.value.trim(), value = Number(text);
      const bad = text === "" || !Number.isFinite(value) ? `"${input.value}" is not a number`
        : Math.abs(value) > this.limit ? `must lie between -${this.limit}° and ${this.limit}°, got ${value}°` : null;
      input.classList.toggle("invalid", Boolean(bad));
      if (bad) throw new Error(`${angle} (orientation) ${bad}`);
      return value;
    });
  }

  // sets the angles (folded into the range) without calling onChange
  set(values) {
    ANGLES.forEach((angle, k) => {
      const v = values[k] - 360 * Math.round(values[k] / 360);
      this.inputs[angle].number.value = +v.toFixed(3); this.inputs[angle].range.value = v;
      this.inputs[angle].number.classList.remove("invalid");
    });
  }

  // the angles as typed so far, 0 where not a number (for drawings that follow the typing)
  peek() {
    return ANGLES.map((a) => { const v = Number(this.inputs[a].number.value); return Number.isFinite(v) ? v : 0; });
  }

  mark(angle) { if (this.inputs[angle]) this.inputs[angle].number.classList.add("invalid"); }
}

// ---- the orbitals -----------------------------------------------------------------------------------
export class OrbitalList {
  // onChange() when the ticked orbitals or their weights change, onFocus(index) when an
  // orbital is picked for the real-space view, onMessage(text) for a weight not a number
  constructor(container, { onChange = () => {}, onFocus = () => {}, onMessage = () => {} } = {}) {
    this.callbacks = { onChange, onFocus, onMessage };
    this.spin = element("select", {}, [element("option", { value: "alpha", textContent: "alpha" }),
                                       element("option", { value: "beta", textContent: "beta" })]);
    this.spinLabel = element("label", { className: "inline", hidden: true }, ["spin ", this.spin]);
    this.body = element("tbody");
    const head = element("tr", {}, ["", "name", "#", "E (eV)", "occ", "sym", "spin", "weight"].map(
      (text, k) => element("th", { textContent: text, className: k === 6 ? "spin-col" : "" })));
    this.table = element("table", { className: "orbitals" }, [element("thead", {}, [head]), this.body]);
    this.box = element("div", { className: "orbital-table" }, [this.table]);
    container.append(this.spinLabel, this.box);
    this.spin.addEventListener("change", () => this.fill());
    this.selected = new Map();  // orbital index -> weight
    this.focus = null;
    this.molecule = null;
  }

  setMolecule(molecule, selected, focus) {
    this.molecule = molecule;
    this.selected = new Map(selected);
    this.focus = focus;
    this.fill();
  }

  // the ticked orbitals as [{index, weight}] in the order they were ticked
  get() { return [...this.selected].map(([index, weight]) => ({ index, weight })); }

  setWeights(weights) {  // {index: weight} of ticked orbitals
    for (const [index, weight] of Object.entries(weights)) if (this.selected.has(+index)) this.selected.set(+index, weight);
    this.fill();
  }

  fill() {
    const m = this.molecule, body = this.body;
    if (!m) return;
    body.textContent = "";
    const twoSpins = m.two_spins, spin = this.spin.value;
    this.spinLabel.hidden = !twoSpins;
    for (const cell of this.table.querySelectorAll(".spin-col")) cell.hidden = !twoSpins;
    // highest energy first; among degenerate orbitals the one named higher (HOMO above
    // HOMO-1) first, as the names count them
    const rows = m.orbitals.filter((o) => !twoSpins || o.spin === spin)
      .sort((p, q) => ((q.energy ?? -Infinity) - (p.energy ?? -Infinity)) || (q.index - p.index));
    for (const o of rows) body.append(this.row(o, twoSpins));
    const shown = body.querySelector(`tr[data-index="${this.focus ?? m.homo}"]`);
    if (shown) this.reveal(shown);
    this.markFocus();
  }

  // the row in the middle of the table's own scroll box, never scrolling the page around
  // it (in a notebook the reader stays where they are); once the box is laid out
  reveal(row) {
    const box = this.box;
    const place = () => { box.scrollTop = row.offsetTop - (box.clientHeight - row.offsetHeight) / 2; };
    if (box.clientHeight || typeof ResizeObserver === "undefined") { place(); return; }
    const watch = new ResizeObserver(() => { if (box.clientHeight) { watch.disconnect(); place(); } });
    watch.observe(box);
  }

  row(o, twoSpins) {
    const tr = element("tr");
    tr.dataset.index = o.index;
    if (/^(HOMO|LUMO)( |$)/.test(o.name)) tr.classList.add("frontier");
    const pick = element("input", { type: "checkbox", className: "pick", checked: this.selected.has(o.index) });
    pick.setAttribute("aria-label", `use ${o.name}`);
    const weight = element("input", { type: "number", className: "weight", step: "any",
                                      value: this.selected.get(o.index) ?? 1, disabled: !this.selected.has(o.index) });
    weight.setAttribute("aria-label", `weight of ${o.name}`);
    const cells = [pick, o.name, o.index, o.energy === null ? "" : o.energy.toFixed(3), o.occupation.toFixed(2), o.symmetry, o.spin, weight];
    cells.forEach((value, k) => {
      const td = element("td");
      td.append(value instanceof Node ? value : String(value));
      if (k === 6) { td.className = "spin-col"; td.hidden = !twoSpins; }
      tr.append(td);
    });
    pick.addEventListener("change", () => {
      if (pick.checked) this.selected.set(o.index, Number(weight.value) || 1);
      else this.selected.delete(o.index);
      weight.disabled = !pick.checked;
      if (pick.checked) this.setFocus(o.index);
      this.callbacks.onChange();
    });
    weight.addEventListener("input", () => {
      const value = Number(weight.value);
      if (weight.value.trim() === "" || !Number.isFinite(value)) {
        weight.classList.add("invalid"); this.callbacks.onMessage(`weight of ${o.name}: "${weight.value}" is not a number`); return;
      }
      weight.classList.remove("invalid");
      if (this.selected.has(o.index)) { this.selected.set(o.index, value); this.callbacks.onChange(); }
    });
    tr.addEventListener("click", (event) => { if (event.target.tagName !== "INPUT") this.setFocus(o.index); });
    return tr;
  }

  setFocus(index) { this.focus = index; this.markFocus(); this.callbacks.onFocus(index); }

  markFocus() {
    for (const tr of this.body.querySelectorAll("tr")) tr.classList.toggle("focus", Number(tr.dataset.index) === this.focus);
  }
}

// ---- labelled settings ---------------------------------------------------------------------------------
// fields: [{key, label (HTML allowed: E<sub>kin</sub>), choices: [[value, text], ...] or
// number limits, value, group: a class that shows or hides the field, wide}]
export class SettingsForm {
  constructor(container, fields, { onChange = () => {} } = {}) {
    this.inputs = {};
    this.fields = {};
    const grid = element("div", { className: "grid2" });
    for (const field of fields) {
      const input = field.choices
        ? element("select", {}, field.choices.map(([value, text]) => element("option", { value, textContent: text })))
        : element("input", { type: "number", step: field.step ?? "any" });
      if (field.min !== undefined) input.min = field.min;
      if (field.max !== undefined) input.max = field.max;
      input.value = field.value;
      input.dataset.setting = field.key;
      const caption = element("span", { className: "field-name", innerHTML: field.label });
      const label = element("label", { className: field.group || "" }, [caption, input]);
      grid.append(label);
      input.addEventListener(field.choices ? "change" : "input", () => onChange(field.key));
      this.inputs[field.key] = input;
      this.fields[field.key] = { ...field, label };
    }
    container.append(grid);
  }

  // {key: value} of every field; numbers checked to be numbers (Error naming the field)
  get() {
    const values = {};
    for (const [key, input] of Object.entries(this.inputs)) {
      if (this.fields[key].choices) { values[key] = input.value; continue; }
      const text = input.value.trim(), value = Number(text);
      const bad = text === "" || !Number.isFinite(value);
      input.classList.toggle("invalid", bad);
      if (bad) throw new Error(`${this.fields[key].name || key.replace(/_/g, " ")}: "${input.value}" is not a number`);
      values[key] = value;
    }
    return values;
  }

  set(key, value) { if (this.inputs[key]) this.inputs[key].value = value; }

  // shows the fields of `group` only where `shown` is true
  show(group, shown) { for (const f of Object.values(this.fields)) if (f.group === group) f.label.hidden = !shown; }

  // marks the field a message starts with ("resolution must be at most ...")
  mark(message) {
    for (const [key, input] of Object.entries(this.inputs)) {
      if (message && message.startsWith(key + " ")) input.classList.add("invalid");
      else if (!message) input.classList.remove("invalid");
    }
  }
}

// The fields of the settings, given the starting values `d` (the explorer's setting names)
// and the limits of the host.
export function energyFields(d) {
  return [
    { key: "energy_mode", label: "set", choices: [["photon", "photon energy"], ["kinetic", "kinetic energy"]], value: d.energy_mode },
    { key: "photon_energy", label: "hν", name: "photon energy", group: "photon", value: d.photon_energy },
    { key: "work_function", label: "work function", name: "work function", group: "photon", value: d.work_function },
    { key: "kinetic_energy", label: "E<sub>kin</sub>", name: "kinetic energy", group: "kinetic", value: d.kinetic_energy },
  ];
}

export function lightFields(d, limits) {
  return [
    { key: "symmetry", label: "symmetry", choices: [["none", "none"], ["2", "2-fold"], ["3", "3-fold"], ["4", "4-fold"]], value: d.symmetry },
    { key: "polarisation", label: "polarisation", choices: [["none", "none"], ["p", "p"], ["s", "s"], ["linear", "linear (p + s)"],
      ["circular+", "circular +"], ["circular-", "circular −"], ["dichroism", "dichroism"], ["radial", "radial"]], value: d.polarisation },
    { key: "incidence", label: "incidence (°)", name: "incidence", min: 0, max: 90, value: d.incidence },
    { key: "azimuth", label: "azimuth (°)", name: "azimuth", value: d.azimuth },
    { key: "s_share", label: "s share (%)", name: "s share", min: 0, max: 100, value: d.s_share },
    { key: "kz_damping", label: "kz damping (Å⁻¹)", name: "kz damping", min: 0, max: limits.kz_damping, value: d.kz_damping },
  ];
}

export function gridFields(d, limits) {
  return [
    { key: "k_max", label: "k max (Å⁻¹)", name: "k max", value: d.k_max },
    { key: "resolution", label: "resolution", name: "resolution", step: 1, min: 2, max: limits.resolution, value: d.resolution },
  ];
}

// shows the photon-energy fields or the kinetic-energy one, as the energy form's mode says
export function showEnergyMode(energy) {
  const kinetic = energy.inputs.energy_mode.value === "kinetic";
  energy.show("photon", !kinetic); energy.show("kinetic", kinetic);
}

// ---- a computed map ----------------------------------------------------------------------------------
// The k range a map of `info` covers, pixel edges included (Å⁻¹).
export function mapExtent(info) {
  const half = info.k_step / 2;
  return [info.k_min - half, info.k_min + (info.n - 1) * info.k_step + half];
}

// Shows a map the explorer's settings computed: `values` row-major (n, n), data[i, j] at
// (kx[i], ky[j]); `info` as settings.py's map_info describes it; `colours` the tables by name;
// `display` the molecule's name for the title.
export function showModelMap(view, values, info, colours, display) {
  const n = info.n;
  const energies = info.e_kin_ev.map((e) => e.toFixed(2)).join(", ");
  view.show({ values, nx: n, ny: n, at: (i, j) => i * n + j,
              kx: [info.k_min, info.k_step], ky: [info.k_min, info.k_step] },
            { extent: mapExtent(info), signed: info.signed, table: colours[info.signed ? "RdBu_r" : "inferno"],
              title: `${display} ${info.orbitals.join(" + ")} · E_kin ${energies} eV`,
              radius: info.radius, quantity: info.signed ? DIFFERENCE_LABEL : INTENSITY_LABEL });
}

// ---- maps from the explorer's server ---------------------------------------------------------------------
// Every method resolves to {data: Float32Array, info} (null when the server dropped a
// request a newer one replaced), or throws an Error with the server's one-line message.
export class ServerSource {
  constructor(base = "", client = Math.random().toString(36).slice(2, 12)) {
    this.base = base;
    this.client = client;
  }

  async post(path, body, binary) {
    return fetch(this.base + path, {
      method: "POST", body: binary ? body : JSON.stringify(body),
      headers: { "Content-Type": binary ? "application/octet-stream" : "application/json", "X-LK-Client": this.client } });
  }

  async array(path, body, binary) {
    const response = await this.post(path, body, binary);
    if (response.status === 204) return null;
    if (!response.ok) throw new Error(await errorText(response));
    return { data: new Float32Array(await response.arrayBuffer()), info: JSON.parse(response.headers.get("X-LK-Info")) };
  }

  async info() { const response = await fetch(this.base + "api/info"); if (!response.ok) throw new Error(await errorText(response)); return response.json(); }
  map(settings) { return this.array("api/map", { ...settings, client: this.client }); }
  plane(settings) { return this.array("api/plane", { ...settings, client: this.client }); }
  measured(bytes) { return this.array("api/measured", bytes, true); }
  // kineticEnergy: the measured map's, in eV, where its file states none (else undefined)
  fit(settings, measured, angles, kineticEnergy) {
    const body = { settings: { ...settings, client: this.client }, measured, fit_angles: angles };
    if (kineticEnergy !== undefined && kineticEnergy !== null) body.kinetic_energy = kineticEnergy;
    return this.array("api/fit", body);
  }
  async cancelFit() { await this.post("api/fit/cancel", { client: this.client }); }

  async exported(kind, settings) {
    const response = await this.post(`api/export/${kind}`, { ...settings, client: this.client });
    if (!response.ok) throw new Error(await errorText(response));
    return kind === "settings" ? response.json() : response.blob();
  }
}

export async function errorText(response) {
  try { const body = await response.json(); if (body && body.error) return body.error; }
  catch (e) { /* not JSON */ }
  return `the server answered ${response.status}`;
}
