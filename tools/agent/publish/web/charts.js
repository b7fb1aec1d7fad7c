// Trends: the unit page's charts of the agent's history, and the overview's
// sparklines. The charts are drawn with Chart.js from Debian's libjs-chart.js,
// which the agent serves at /vendor/chart.min.js; without it the page says so
// and the rest of it works on. Chart.js 3 has no time axis without a date
// adapter, so x is linear on Unix seconds and the ticks are written here, in
// the browser's local time. Uses api() and el() of app.js.
"use strict";

// A range: how far back, the API's step (0 = every round), how often to fetch.
const RANGES = {
  "1h": { label: "1 hour", seconds: 3600, step: 0, refresh: 15000 },
  "6h": { label: "6 hours", seconds: 6 * 3600, step: 60, refresh: 60000 },
  "24h": { label: "24 hours", seconds: 24 * 3600, step: 300, refresh: 60000 },
};
const GROUP_TITLES = {
  temperature: "Temperatures", humidity: "Humidity", pressure: "Pressures", output: "Outputs",
  electrical: "Electrical", set_point: "Set points", state: "State",
};
const COLOURS = ["#1d4e89", "#c0392b", "#1b7a3a", "#8e44ad", "#d35400", "#00838f", "#6d4c41", "#ad1457",
  "#546e7a", "#7cb342"];

const trend = {
  range: "1h",
  point: new URLSearchParams(location.search).get("point"),
  fetched: 0, busy: false, scrolled: false,
  charts: new Map(),  // chart key -> Chart
  hidden: new Set(),  // ids of the points whose lines are hidden
  offline: new WeakMap(),  // Chart -> [[from, to] unix seconds] the unit was offline
};
let clockSkewMs = 0;  // the agent's clock minus the browser's
let chartLib = null;

// The agent's clock, from a time it sent (the unit's "time").
function noteAgentTime(iso) {
  const t = Date.parse(iso);
  if (!Number.isNaN(t)) clockSkewMs = t - Date.now();
}

function loadChartJs() {
  if (!chartLib) chartLib = new Promise((resolve) => {
    const script = el("script", { src: "/vendor/chart.min.js" });
    script.onload = () => resolve(window.Chart || null);
    script.onerror = () => resolve(null);
    document.head.append(script);
  });
  return chartLib;
}

function utcOffset() {
  const m = -new Date().getTimezoneOffset();
  const a = Math.abs(m);
  return "UTC" + (m < 0 ? "−" : "+") + String(Math.floor(a / 60)).padStart(2, "0") + ":" +
    String(a % 60).padStart(2, "0");
}

// Tick spacings to choose from: about six ticks across, whatever the span.
const TICK_STEPS = [1, 2, 5, 10, 30, 60, 300, 600, 1800, 3600, 3 * 3600, 6 * 3600];

function tickText(unix, step) {
  const t = new Date(unix * 1000);
  if (step >= 3600 && t.getHours() === 0 && t.getMinutes() === 0)
    return t.toLocaleDateString([], { month: "short", day: "numeric" });
  return t.toLocaleTimeString([], step < 60 ? { hour: "2-digit", minute: "2-digit", second: "2-digit" }
    : { hour: "2-digit", minute: "2-digit" });
}

// Ticks on whole local minutes or hours, not wherever the range starts.
function timeTicks(axis) {
  const span = axis.max - axis.min;
  const fits = (s) => span / s <= Math.max(2, Math.min(7, axis.width / (s < 60 ? 100 : 80)));
  const step = TICK_STEPS.find(fits) || TICK_STEPS[TICK_STEPS.length - 1];
  const shift = -new Date(axis.min * 1000).getTimezoneOffset() * 60;
  const ticks = [];
  const first = Math.ceil((axis.min + shift) / step) * step - shift;
  for (let t = first; t <= axis.max; t += step) ticks.push({ value: t });
  axis.ticks = ticks;
  axis.tickStep = step;
}

// Where the chart starts: the range's start, or the first row polled when the
// unit's history is younger than the range (a new agent, a new unit).
function firstShown(h) {
  const from = Date.parse(h.from) / 1000;
  const first = h.online.findIndex((o) => o !== null);
  return first < 0 ? from : Math.max(from, h.unix[first]);
}

// The stretches a unit was offline: rows with online false, each lasting its
// bucket, or for single rounds until the next row.
function offlineSpans(h) {
  const spans = [];
  const to = Date.parse(h.to) / 1000;
  h.online.forEach((online, i) => {
    if (online !== false) return;
    const start = h.unix[i];
    const end = h.step > 0 ? start + h.step : i + 1 < h.unix.length ? h.unix[i + 1] : to;
    const last = spans[spans.length - 1];
    if (last && last[1] >= start) last[1] = Math.max(last[1], end);
    else spans.push([start, end]);
  });
  return spans;
}

const shadeOffline = {
  id: "offlineShade",
  beforeDatasetsDraw(chart) {
    const spans = trend.offline.get(chart) || [];
    const { ctx, chartArea: area, scales: { x } } = chart;
    ctx.save();
    ctx.fillStyle = "rgba(95, 99, 104, 0.22)";
    for (const [from, to] of spans) {
      const left = Math.max(area.left, x.getPixelForValue(from));
      const right = Math.min(area.right, x.getPixelForValue(to));
      if (right > left) ctx.fillRect(left, area.top, right - left, area.bottom - area.top);
    }
    ctx.restore();
  },
};

function xy(unix, values) { return values.map((v, i) => ({ x: unix[i], y: v })); }

function alpha(colour) { return colour + "33"; }

// A value with gaps on both sides draws nothing as a line: it gets a dot.
function lonelyDot(c) {
  const d = c.dataset.data;
  const i = c.dataIndex;
  const gap = (j) => j < 0 || j >= d.length || d[j].y === null;
  const lonely = d[i].y !== null && gap(i - 1) && gap(i + 1);
  return c.dataset.role === "mean" && lonely ? 2 : 0;
}

// A point's datasets: its min–max band (when the rows are buckets) under its
// mean line; code points as steps, their line the bucket's highest code.
function pointDatasets(h, p, colour, datasets) {
  const code = Array.isArray(p.labels);
  const common = { pointRadius: lonelyDot, pointHitRadius: 4, spanGaps: false, stepped: code, point: p.id };
  if (h.step > 0) {
    datasets.push({ ...common, label: p.meaning + " (lowest)", role: "min", data: xy(h.unix, p.min),
      borderWidth: 0, fill: false, order: 1 });
    datasets.push({ ...common, label: p.meaning + " (highest)", role: "max", data: xy(h.unix, p.max),
      borderWidth: 0, backgroundColor: alpha(colour), fill: datasets.length - 1, order: 1 });
  }
  datasets.push({ ...common, label: p.meaning, role: "mean", data: xy(h.unix, code ? p.max : p.mean),
    borderColor: colour, backgroundColor: colour, borderWidth: 1.5, fill: false, order: 0 });
}

function valueText(p, v) {
  if (v === null || v === undefined) return "–";
  return Array.isArray(p.labels) && p.labels[v] !== undefined ? p.labels[v] + " (" + v + ")" : text(v);
}

function chartOptions(h, points) {
  const byId = new Map(points.map((p) => [p.id, p]));
  const labels = points.length === 1 && Array.isArray(points[0].labels) ? points[0].labels : null;
  const y = labels ? { min: -0.5, max: labels.length - 0.5, ticks: { callback: (v) => labels[v] ?? v },
    afterBuildTicks: (axis) => { axis.ticks = labels.map((_, code) => ({ value: code })); } } : {};
  return {
    animation: false, responsive: true, maintainAspectRatio: false, normalized: true,
    interaction: { mode: "index", intersect: false, axis: "x" },
    scales: {
      x: { type: "linear", min: firstShown(h), max: Date.parse(h.to) / 1000,
        ticks: { maxRotation: 0, callback(v) { return tickText(v, this.tickStep); } },
        afterBuildTicks: timeTicks },
      y,
    },
    plugins: {
      legend: { display: false },  // the figure's own list, which wraps as text does
      tooltip: {
        filter: (item) => item.dataset.role === "mean",
        callbacks: {
          title: (items) => (items.length ? new Date(items[0].parsed.x * 1000).toLocaleString() : ""),
          label: (item) => item.dataset.label + ": " + valueText(byId.get(item.dataset.point), item.raw.y),
        },
      },
    },
  };
}

// The charts to draw: one per group, each code point alone, or the one point asked for.
function chartPlan(points) {
  const plan = new Map();
  for (const p of points) {
    const key = trend.point ? p.id : Array.isArray(p.labels) ? "state:" + p.id : p.group;
    const title = trend.point || Array.isArray(p.labels) ? p.meaning : GROUP_TITLES[p.group] || p.group;
    if (!plan.has(key)) plan.set(key, { title, points: [] });
    plan.get(key).points.push(p);
  }
  return plan;
}

function figureFor(key, title) {
  let figure = $("charts").querySelector('figure[data-chart="' + CSS.escape(key) + '"]');
  if (!figure) {
    figure = el("figure", { class: "trend", "data-chart": key },
      el("figcaption", {}), el("ul", { class: "legend" }),
      el("div", { class: "chart" }, el("canvas", { role: "img" })));
    $("charts").append(figure);
  }
  figure.querySelector("figcaption").textContent = title;
  figure.querySelector("canvas").setAttribute("aria-label", title + ", " + RANGES[trend.range].label);
  return figure;
}

function drawTrends(Chart, h) {
  const plan = chartPlan(h.points);
  for (const [key, chart] of trend.charts) {
    if (plan.has(key)) continue;
    chart.destroy();
    trend.charts.delete(key);
    $("charts").querySelector('figure[data-chart="' + CSS.escape(key) + '"]').remove();
  }
  for (const [key, { title, points }] of plan) {
    const figure = figureFor(key, title);
    const datasets = [];
    points.forEach((p, i) => pointDatasets(h, p, COLOURS[i % COLOURS.length], datasets));
    let chart = trend.charts.get(key);
    if (chart) {
      chart.data.datasets = datasets;
      chart.options = chartOptions(h, points);
    } else {
      chart = new Chart(figure.querySelector("canvas"), { type: "line", data: { datasets },
        options: chartOptions(h, points), plugins: [shadeOffline] });
      trend.charts.set(key, chart);
    }
    datasets.forEach((d) => { d.hidden = trend.hidden.has(d.point); });
    showLegend(figure, chart, points);
    trend.offline.set(chart, offlineSpans(h));
    chart.update("none");
    figure.dataset.rows = String(h.unix.length);
  }
  $("no-trends").hidden = plan.size > 0;
}

// The points of a chart, each a button that hides or shows its line and band.
function showLegend(figure, chart, points) {
  figure.querySelector(".legend").replaceChildren(...points.map((p, i) => {
    const swatch = el("span", { class: "swatch" });
    swatch.style.background = COLOURS[i % COLOURS.length];  // the DOM's style, which the page's CSP allows
    const button = el("button", { type: "button", title: p.key, "aria-pressed": String(!trend.hidden.has(p.id)) },
      swatch, p.meaning);
    button.addEventListener("click", () => {
      if (!trend.hidden.delete(p.id)) trend.hidden.add(p.id);
      button.setAttribute("aria-pressed", String(!trend.hidden.has(p.id)));
      chart.data.datasets.forEach((d) => { if (d.point === p.id) d.hidden = trend.hidden.has(p.id); });
      chart.update("none");
    });
    return el("li", {}, button);
  }));
}

// Each row of the live table whose point has a history links to its own chart.
function linkRows(points) {
  for (const p of points) {
    const value = document.querySelector('#groups td[data-point="' + CSS.escape(p.id) + '"]');
    const meaning = value && value.previousElementSibling;
    if (!meaning || meaning.querySelector("a")) continue;
    const href = "/units/" + encodeURIComponent(unitName) + "?point=" + encodeURIComponent(p.id) + "#trends";
    meaning.replaceChildren(el("a", { href, title: "Trend of this point" }, meaning.textContent));
  }
}

function historyPath(csv) {
  const range = RANGES[trend.range];
  const to = Math.floor((Date.now() + clockSkewMs) / 1000);
  const query = new URLSearchParams({ from: to - range.seconds, to, step: range.step });
  if (trend.point) query.set("points", trend.point);
  return "/api/units/" + encodeURIComponent(unitName) + "/history" + (csv ? ".csv?" : "?") + query;
}

async function refreshTrends() {
  const Chart = await loadChartJs();
  if (!Chart) {
    $("trend-note").textContent = "Charts need the libjs-chart.js package on the agent's machine; " +
      "the rest of this page works without it.";
    $("trend-note").classList.add("missing");
    return;
  }
  const path = historyPath(false);
  const h = await api(path);
  drawTrends(Chart, h);
  $("charts").dataset.query = path;
  if (!trend.point) linkRows(h.points);
  if (!trend.scrolled && location.hash === "#trends") $("trends").scrollIntoView();
  trend.scrolled = true;
}

// Called at every poll of the unit page; fetches only when the range's data is due.
function showTrends(u) {
  noteAgentTime(u.time);
  $("trends").hidden = false;
  if (trend.busy || Date.now() - trend.fetched < RANGES[trend.range].refresh) return;
  trend.busy = true;
  trend.fetched = Date.now();
  refreshTrends().catch((e) => {
    if (!(e instanceof NeedToken)) $("trend-note").textContent = "The history could not be read; trying again.";
  }).finally(() => { trend.busy = false; });
}

async function downloadCsv() {
  const res = await fetchApi(historyPath(true));
  const link = el("a", { href: URL.createObjectURL(await res.blob()),
    download: unitName + "-" + trend.range + (trend.point ? "-" + trend.point : "") + ".csv" });
  document.body.append(link);
  link.click();
  link.remove();
  setTimeout(() => URL.revokeObjectURL(link.href), 10000);
}

function setUpTrends() {
  if (!unitName) return;
  const ranges = Object.entries(RANGES).map(([key, r]) => el("label", {},
    el("input", { type: "radio", name: "range", value: key }), " " + r.label));
  $("ranges").append(...ranges);
  $("ranges").querySelector('input[value="' + trend.range + '"]').checked = true;
  $("ranges").addEventListener("change", (event) => {
    trend.range = event.target.value;
    trend.fetched = 0;
    refreshTrends().catch(() => {});
  });
  $("trend-csv").addEventListener("click", () => { downloadCsv().catch(() => {}); });
  $("trend-note").textContent = "Times in your browser's local time (" + utcOffset() + "). " +
    "Shaded: the unit was offline; blank: nothing was polled. Bands: lowest to highest in each step.";
  if (trend.point) {
    $("trends-title").textContent = "Trend of one point";
    const href = "/units/" + encodeURIComponent(unitName) + "#trends";
    const all = el("a", { href }, "every trend of this unit");
    $("trend-all").replaceChildren("Back to ", all);
    $("trend-all").hidden = false;
  }
}
