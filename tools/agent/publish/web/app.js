// The live view: polls the agent's JSON API at the units' interval and
// updates the page in place. Plain browser APIs, no libraries.
"use strict";

const TOKEN_KEY = "quillark-token";
const RETRY_MS = 2000;
const EVENT_LIMIT = 200;  // events shown at once, newest first
const unitName = location.pathname.startsWith("/units/")
  ? decodeURIComponent(location.pathname.slice("/units/".length)) : null;
const eventsPage = location.pathname === "/events";
const $ = (id) => document.getElementById(id);
const shown = new Map();  // point id -> value shown, to mark what changed

class NeedToken extends Error {}
class Missing extends Error {}

async function fetchApi(path) {
  const headers = {};
  const token = localStorage.getItem(TOKEN_KEY);
  if (token) headers.Authorization = "Bearer " + token;
  const res = await fetch(path, { headers, cache: "no-store" });
  if (res.status === 401) throw new NeedToken();
  if (res.status === 404) throw new Missing();
  if (!res.ok) throw new Error("HTTP " + res.status);
  return res;
}

async function api(path) { return (await fetchApi(path)).json(); }

function el(tag, attrs, ...children) {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs || {})) e.setAttribute(k, v);
  for (const c of children) e.append(c);
  return e;
}

function text(value) {
  if (value === null || value === undefined) return "–";
  if (typeof value === "number") return String(Math.round(value * 1000) / 1000);
  return String(value);
}

function duration(seconds) {
  if (seconds === null || seconds === undefined) return "";
  const s = Math.max(0, Math.round(seconds));
  if (s < 60) return s + " s";
  if (s < 3600) return Math.floor(s / 60) + " min";
  if (s < 86400) return Math.floor(s / 3600) + " h " + Math.floor((s % 3600) / 60) + " min";
  return Math.floor(s / 86400) + " d " + Math.floor((s % 86400) / 3600) + " h";
}

// Today's times without the date.
function clock(iso) {
  if (!iso) return "none yet";
  const t = new Date(iso);
  return t.toDateString() === new Date().toDateString() ? t.toLocaleTimeString() : t.toLocaleString();
}

// The word and class a unit stands out by: never colour alone.
function standing(u) {
  if (u.alarms_raised > 0) {
    const word = "⚠ " + u.alarms_raised + (u.alarms_raised === 1 ? " alarm" : " alarms");
    return { cls: "alarm", word: u.online ? word : word + " · ✕ offline" };
  }
  if (!u.online) return { cls: "offline", word: "✕ offline" };
  return { cls: "ok", word: "✓ online" };
}

function facts(dl, pairs) {
  dl.replaceChildren(...pairs.flatMap(([k, v]) => [el("dt", {}, k), el("dd", {}, v)]));
}

function tile(u) {
  const s = standing(u);
  const since = u.online_for === null ? "" : (u.online ? "online for " : "offline for ") + duration(u.online_for);
  const dl = el("dl");
  facts(dl, [
    ["link", u.link + " · unit " + u.unit_id],
    ["link state", since || (u.online ? "online" : "not answered yet")],
    ["unit state", text(u.unit_state)],
    ["working mode", text(u.working_mode)],
    ["return-air temperature, measured", text(u.indoor_return_air_temperature_measured)],
    ["return-air humidity, measured", text(u.indoor_return_air_humidity_measured)],
    ["last round", clock(u.last_round)],
  ]);
  return el("li", { class: "tile " + s.cls, "data-unit": u.name },
    el("h2", {}, el("a", { href: "/units/" + encodeURIComponent(u.name) }, u.name)),
    el("span", { class: "badge " + s.cls }, s.word), dl, sparkNode(u.name));
}

function rank(u) { return u.alarms_raised > 0 ? 0 : u.online ? 2 : 1; }

async function showOverview() {
  const units = await api("/api/units");
  const filter = $("filter").value.trim().toLowerCase();
  const list = units.filter((u) => u.name.toLowerCase().includes(filter))
    .sort((a, b) => rank(a) - rank(b) || (a.name < b.name ? -1 : a.name > b.name ? 1 : 0));
  $("tiles").replaceChildren(...list.map(tile));
  $("none").hidden = list.length > 0 || units.length === 0;
  $("where").textContent = units.length + (units.length === 1 ? " unit" : " units");
  $("overview").hidden = false;
  refreshSparks(list.map((u) => u.name));
  const intervals = units.map((u) => u.interval).filter((i) => i > 0);
  return intervals.length ? Math.min(...intervals) * 1000 : RETRY_MS;
}

function setValue(td, id, value) {
  const shownText = text(value);
  if (shown.has(id) && shown.get(id) !== shownText) {
    td.classList.remove("changed");
    void td.offsetWidth;  // restarts the mark's animation
    td.classList.add("changed");
  }
  shown.set(id, shownText);
  td.textContent = shownText;
  td.classList.toggle("raised", value === "告警");
}

function address(p) { return p.address === null ? p.source : p.source + " " + p.address; }

function showGroups(groups) {
  const box = $("groups");
  if (!box.firstChild) {
    for (const g of groups) {
      const rows = g.points.map((p) => el("tr", {},
        el("td", { lang: "zh" }, p.key), el("td", {}, p.meaning),
        el("td", { class: "value", "data-point": p.id }), el("td", {}, address(p))));
      box.append(el("section", {}, el("h2", {}, g.name + " (" + g.points.length + ")"),
        el("div", { class: "scroll" }, el("table", {},
          el("thead", {}, el("tr", {}, el("th", {}, "Key"), el("th", {}, "Meaning"),
            el("th", {}, "Value"), el("th", {}, "Address"))),
          el("tbody", {}, ...rows)))));
    }
  }
  for (const g of groups)
    for (const p of g.points)
      setValue(box.querySelector('td[data-point="' + p.id + '"]'), p.id, p.value);
}

async function showUnit() {
  const u = await api("/api/units/" + encodeURIComponent(unitName));
  const s = standing(u);
  document.title = u.name + " · quillark";
  $("unit-name").textContent = u.name;
  $("unit-badge").className = "badge " + s.cls;
  $("unit-badge").textContent = s.word;
  $("unit-facts").textContent = "Link " + u.link + " · unit " + u.unit_id + " · polled every " +
    u.interval + " s · " + (u.online_since ? (u.online ? "online" : "offline") + " since " +
    clock(u.online_since) + " (" + duration(u.online_for) + ")" : "not answered yet");
  $("alarms").tBodies[0].replaceChildren(...u.alarms.map((a) => el("tr", { "data-alarm": a.id },
    el("td", { lang: "zh" }, a.key), el("td", {}, a.meaning),
    el("td", {}, clock(a.since)), el("td", {}, "input bit " + a.address))));
  $("alarms").hidden = u.alarms.length === 0;
  $("no-alarms").hidden = u.alarms.length > 0;
  facts($("health"), [
    ["last complete round", clock(u.last_round)],
    ["last round took", u.last_round_duration === null ? "–" : u.last_round_duration.toFixed(3) + " s"],
    ["rounds complete", text(u.rounds_complete)],
    ["rounds failed", text(u.rounds_failed)],
    ["retries on the link", text(u.retries)],
    ["reconnects of the link", text(u.reconnects)],
  ]);
  showGroups(u.groups);
  showTrends(u);
  const history = await api("/api/units/" + encodeURIComponent(unitName) +
    "/events?kind=alarm_raised,alarm_cleared&limit=" + EVENT_LIMIT);
  showHistory(alarmStretches(history), Date.parse(u.time));
  $("unit-events").href = "/events?unit=" + encodeURIComponent(u.name);
  $("unit").hidden = false;
  if ($("raw").open) {
    const doc = await api("/api/units/" + encodeURIComponent(unitName) + "/status").catch(() => null);
    $("raw").querySelector("pre").textContent = doc ? JSON.stringify(doc, null, 2) : "No complete round yet.";
  }
  return u.interval * 1000;
}

// What each kind of event is called on the page.
const KINDS = {
  alarm_raised: "alarm raised", alarm_cleared: "alarm cleared", unit_offline: "unit offline",
  unit_online: "unit online", link_down: "link down", link_up: "link up",
  link_overloaded: "link overloaded", write: "write", config_reloaded: "configuration reloaded",
  agent_started: "agent started", agent_stopped: "agent stopped",
  events_dropped: "events not sent to MQTT",
};

function detail(e) {
  const t = (v) => (v === undefined || v === null ? "" : String(v));
  switch (e.kind) {
    case "alarm_raised": return t(e.key) + " · " + t(e.meaning);
    case "alarm_cleared": return t(e.key) + " · " + t(e.meaning) + " · lasted " + duration(e.lasted_s);
    case "link_down": return t(e.cause);
    case "link_overloaded": return "its units' rounds take " + text(e.load) + " s per second";
    case "write": return "register " + t(e.register) + " = " + t(e.value) + ": " + t(e.result);
    case "config_reloaded": return t(e.summary);
    case "events_dropped": return t(e.count) + " events the broker missed were not sent";
    default: return "";
  }
}

// An alarm_raised is marked while its alarm is raised on a unit still polled.
function eventRow(e, polled) {
  const raised = e.still_raised === true && polled.has(e.unit);
  const what = el("td", {}, KINDS[e.kind] || e.kind);
  if (raised) what.append(" ", el("span", { class: "badge alarm" }, "⚠ still raised"));
  return el("tr", { class: raised ? "raised" : "", "data-kind": e.kind, "data-seq": String(e.seq) },
    el("td", { class: "when" }, clock(e.time)),
    el("td", {}, e.unit ? el("a", { href: "/units/" + encodeURIComponent(e.unit) }, e.unit)
      : e.link ? "link " + e.link : "agent"),
    what, el("td", {}, detail(e)));
}

// The options after the first ("every ..."), rebuilt only when they change,
// so that a list open in the browser stays open; the chosen one kept even
// when it is gone from the list (a unit taken out of the configuration).
function fillSelect(select, pairs, chosen) {
  if (chosen && !pairs.some(([value]) => value === chosen)) pairs = [...pairs, [chosen, chosen]];
  const wanted = JSON.stringify(pairs);
  if (select.dataset.options !== wanted) {
    select.replaceChildren(select.options[0], ...pairs.map(([value, label]) => el("option", { value }, label)));
    select.dataset.options = wanted;
  }
  select.value = chosen;
}

async function showEvents() {
  const chosen = new URLSearchParams(location.search);
  const query = new URLSearchParams({ limit: EVENT_LIMIT });
  for (const name of ["unit", "kind"]) if (chosen.get(name)) query.set(name, chosen.get(name));
  const [units, events] = await Promise.all([api("/api/units"), api("/api/events?" + query)]);
  fillSelect($("event-unit"), units.map((u) => [u.name, u.name]), chosen.get("unit") || "");
  fillSelect($("event-kind"), Object.entries(KINDS), chosen.get("kind") || "");
  const polled = new Set(units.map((u) => u.name));
  $("event-list").tBodies[0].replaceChildren(...events.map((e) => eventRow(e, polled)));
  $("event-list").hidden = events.length === 0;
  $("no-events").hidden = events.length > 0;
  $("where").textContent = events.length + (events.length === 1 ? " event" : " events") +
    (events.length === EVENT_LIMIT ? " (the newest)" : "");
  document.title = "Events · quillark";
  $("events").hidden = false;
  const intervals = units.map((u) => u.interval).filter((i) => i > 0);
  return Math.max(RETRY_MS, intervals.length ? Math.min(...intervals) * 1000 : RETRY_MS);
}

function filterEvents() {
  const chosen = new URLSearchParams();
  if ($("event-unit").value) chosen.set("unit", $("event-unit").value);
  if ($("event-kind").value) chosen.set("kind", $("event-kind").value);
  history.replaceState(null, "", "/events" + (chosen.toString() ? "?" + chosen : ""));
  showEvents().catch(() => {});
}

// Each stretch of an alarm, newest first: when raised, when cleared (a
// clearing whose raising is beyond the events fetched tells it by how long
// it lasted) or still raised.
function alarmStretches(events) {
  const open = new Map();
  const rows = [];
  for (const e of [...events].reverse()) {
    if (e.kind === "alarm_raised") {
      const row = { e, raised: Date.parse(e.time), cleared: null, lasted: null, still: e.still_raised === true };
      rows.push(row);
      open.set(e.point, row);
      continue;
    }
    const row = open.get(e.point);
    open.delete(e.point);
    if (row) Object.assign(row, { cleared: Date.parse(e.time), lasted: e.lasted_s });
    else rows.push({ e, raised: Date.parse(e.time) - e.lasted_s * 1000, cleared: Date.parse(e.time),
      lasted: e.lasted_s, still: false });
  }
  return rows.reverse();
}

function showHistory(rows, now) {
  const when = (ms) => clock(new Date(ms).toISOString());
  $("history").tBodies[0].replaceChildren(...rows.map((r) => el("tr",
    { "data-alarm": r.e.point || "", class: r.still ? "raised" : "" },
    el("td", { lang: "zh" }, r.e.key || ""), el("td", {}, r.e.meaning || ""), el("td", {}, when(r.raised)),
    el("td", {}, r.cleared !== null ? when(r.cleared) : r.still ? "⚠ still raised" : "–"),
    el("td", {}, r.lasted !== null ? duration(r.lasted)
      : r.still ? duration((now - r.raised) / 1000) + " so far" : "–"))));
  $("history").hidden = rows.length === 0;
  $("no-history").hidden = rows.length > 0;
}

function banner(message) {
  $("banner").hidden = !message;
  $("banner").textContent = message || "";
}

function askToken() {
  $("overview").hidden = true;
  $("unit").hidden = true;
  $("events").hidden = true;
  $("login-why").textContent = localStorage.getItem(TOKEN_KEY)
    ? "The agent did not accept the stored token; enter it again."
    : "This agent asks for its access token.";
  $("login").hidden = false;
  $("token").focus();
}

async function tick() {
  let next = RETRY_MS;
  try {
    const show = eventsPage ? showEvents : unitName ? showUnit : showOverview;
    next = Math.min(Math.max(await show(), 500), 60000);
    banner(null);
  } catch (e) {
    if (e instanceof NeedToken) return askToken();
    banner(e instanceof Missing ? "The agent has no unit named " + unitName + "."
      : "The agent does not answer; trying again.");
  }
  setTimeout(tick, next);
}

$("login").addEventListener("submit", (event) => {
  event.preventDefault();
  localStorage.setItem(TOKEN_KEY, $("token").value.trim());
  $("token").value = "";
  $("login").hidden = true;
  tick();
});
setUpTrends();
$("filter").addEventListener("input", () => { showOverview().catch(() => {}); });
$("event-unit").addEventListener("change", filterEvents);
$("event-kind").addEventListener("change", filterEvents);
$("raw").addEventListener("toggle", () => { if ($("raw").open) showUnit().catch(() => {}); });
tick();
