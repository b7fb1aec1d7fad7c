// The overview's sparklines: each tile's return-air temperature over the last
// two hours in minute steps, drawn as SVG (no library; a hall has hundreds of
// tiles). Fetched about once a minute, a few requests at a time, not at every
// poll of the overview. Uses api() and el() of app.js.
"use strict";

const SVG = "http://www.w3.org/2000/svg";
const SPARK_W = 120;
const SPARK_H = 24;
const SPARK_POINT = "indoor_return_air_temperature_measured";
const SPARK_SECONDS = 2 * 3600;
const SPARK_MS = 60000;  // a hall has hundreds of tiles: once a minute, not every poll
const SPARK_FETCHES = 4;  // sparkline requests in flight at once
const sparks = new Map();  // unit name -> { node, at: when fetched (ms) }
let sparksBusy = false;

function svg(tag, attrs) {
  const e = document.createElementNS(SVG, tag);
  for (const [k, v] of Object.entries(attrs)) e.setAttribute(k, v);
  return e;
}

// The path of the minutes' means, broken where a minute has none.
function sparkPath(h, values) {
  const from = Date.parse(h.from) / 1000;
  const span = Math.max(1, Date.parse(h.to) / 1000 - from);
  const shown = values.filter((v) => v !== null);
  const lo = Math.min(...shown);
  const range = Math.max(Math.max(...shown) - lo, 0.5);  // a flat line stays mid-height
  const middle = (Math.max(...shown) + lo) / 2;
  let d = "";
  let pen = false;
  values.forEach((v, i) => {
    if (v === null) { pen = false; return; }
    const x = ((h.unix[i] - from) / span) * SPARK_W;
    const y = SPARK_H / 2 - ((v - middle) / range) * (SPARK_H - 4);
    d += (pen ? "L" : "M") + x.toFixed(1) + " " + y.toFixed(1) + (pen ? "" : "h0");
    pen = true;
  });
  return { d, lo: Math.min(...shown), hi: Math.max(...shown) };
}

function drawSpark(node, h) {
  const p = h.points.find((q) => q.id === SPARK_POINT);
  const values = p ? p.mean : [];
  const line = node.querySelector("path");
  const caption = node.querySelector("figcaption");
  node.dataset.rows = String(values.length);
  node.dataset.drawn = String(values.filter((v) => v !== null).length);
  if (node.dataset.drawn === "0") {
    line.setAttribute("d", "");
    caption.textContent = "return air, 2 h: no data";
    return;
  }
  const { d, lo, hi } = sparkPath(h, values);
  line.setAttribute("d", d);
  caption.textContent = "return air, 2 h: " + text(lo) + (hi > lo ? "–" + text(hi) : "");
}

function sparkNode(name) {
  if (!sparks.has(name)) {
    const picture = svg("svg", { viewBox: "0 0 " + SPARK_W + " " + SPARK_H, preserveAspectRatio: "none",
      role: "img", "aria-label": "return-air temperature of " + name + ", last 2 hours" });
    picture.append(svg("path", { d: "", fill: "none", stroke: "currentColor", "stroke-width": "1.5",
      "stroke-linecap": "round", "stroke-linejoin": "round", "vector-effect": "non-scaling-stroke" }));
    sparks.set(name, { node: el("figure", { class: "spark" }, picture, el("figcaption", {}, "return air, 2 h")),
      at: 0 });
  }
  return sparks.get(name).node;
}

async function fetchSpark(name) {
  const from = Math.floor(Date.now() / 1000) - SPARK_SECONDS;
  const query = new URLSearchParams({ points: SPARK_POINT, from, step: 60 });
  const h = await api("/api/units/" + encodeURIComponent(name) + "/history?" + query);
  drawSpark(sparkNode(name), h);
}

// Brings the sparklines of these units up to date, the stalest first.
async function refreshSparks(names) {
  if (sparksBusy) return;
  names.forEach(sparkNode);
  const now = Date.now();
  const due = names.filter((n) => now - (sparks.get(n) || { at: 0 }).at >= SPARK_MS)
    .sort((a, b) => sparks.get(a).at - sparks.get(b).at);
  if (due.length === 0) return;
  sparksBusy = true;
  const next = () => {
    const name = due.shift();
    if (name === undefined) return Promise.resolve();
    sparks.get(name).at = Date.now();
    return fetchSpark(name).catch(() => {}).then(next);
  };
  try {
    await Promise.all(Array.from({ length: SPARK_FETCHES }, next));
  } finally {
    sparksBusy = false;
  }
}
