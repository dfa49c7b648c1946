// The page kavro view serves. Per board: each channel's load in large digits with its tare,
// tare buttons and the sampling-rate code; a plot of the last minute where each pixel column
// is drawn from the lowest to the highest value it covers (a spike never falls between
// pixels); the connection state and its events; the board's details and calibration; and its
// recording. Below, the recordings to download.
#include "web/page.h"

namespace kavro::tool::web {

const char kPage[] = R"PAGE(<!doctype html>
<html lang="en"><head><meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>kavro view</title>
<style>
body { font: 14px system-ui, sans-serif; margin: 0; background: #f3f4f6; color: #111; }
header { background: #1f2937; color: #fff; padding: 8px 16px; display: flex; gap: 16px; align-items: baseline; }
header h1 { font-size: 18px; margin: 0; }
#link { font-size: 12px; color: #cbd5e1; }
main { padding: 12px 16px; display: grid; gap: 12px; }
.board { background: #fff; border-radius: 6px; padding: 10px 14px; box-shadow: 0 1px 2px #0002; }
.board h2 { font-size: 16px; margin: 0 8px 6px 0; display: inline-block; }
.conn { padding: 1px 8px; border-radius: 9px; font-size: 12px; color: #fff; background: #16a34a; }
.conn.down { background: #dc2626; }
.channels { display: flex; flex-wrap: wrap; gap: 10px; }
.channel { border: 1px solid #e5e7eb; border-radius: 6px; padding: 6px 10px; min-width: 200px; }
.value { font: 600 40px ui-monospace, monospace; text-align: right; }
.value.bad { color: #b91c1c; font-size: 22px; }
.unit, .tarestate { font-size: 12px; color: #555; }
button, select { font: inherit; margin: 2px 2px 0 0; }
canvas { width: 100%; height: 180px; background: #fafafa; border: 1px solid #e5e7eb; margin-top: 8px; }
.plotbar { font-size: 12px; display: flex; gap: 10px; align-items: center; margin-top: 4px; }
.events { font-size: 12px; max-height: 80px; overflow: auto; color: #444; margin: 4px 0; padding-left: 18px; }
details { font-size: 12px; }
table { border-collapse: collapse; } td, th { padding: 1px 6px; text-align: right; }
.rec { margin-top: 6px; }
.recording { color: #dc2626; font-weight: 600; }
#status { font-size: 12px; margin-left: auto; }
#message { font-size: 12px; color: #fca5a5; }
</style></head>
<body>
<header><h1>kavro view</h1><span id="link"></span><span id="message"></span><span id="status">connecting</span></header>
<main id="boards"></main>
<main><div class="board"><h2>Recordings</h2> <span id="folder"></span><ul id="recordings"></ul></div></main>
<script>
"use strict";
const token = "__KAVRO_TOKEN__";
const colors = ["#2563eb", "#dc2626", "#16a34a", "#9333ea", "#ea580c", "#0891b2"];
const boards = {};  // serial -> {state, points: [[t, min, max]...] per channel, paused, span}
let lastT = 0;

function el(tag, attrs, ...kids) {
  const e = document.createElement(tag);
  for (const k in attrs || {}) {
    if (k.startsWith("on")) e.addEventListener(k.slice(2), attrs[k]); else e.setAttribute(k, attrs[k]);
  }
  for (const kid of kids) e.append(kid);
  return e;
}
function id(x) { return document.getElementById(x); }
async function post(path, params) {
  const q = new URLSearchParams(params).toString();
  const r = await fetch(path + "?" + q, {method: "POST", headers: {"X-Kavro-Token": token}});
  const body = await r.json().catch(() => ({}));
  id("message").textContent = r.ok ? "" : `${path}: ${body.error || r.status}`;
  return body;
}
async function get(path) {
  const r = await fetch(path, {headers: {"X-Kavro-Token": token}});
  return r.json();
}

function buildBoard(b) {
  const s = b.serial;
  const chans = el("div", {class: "channels"});
  b.channels.forEach((c, i) => {
    const rates = el("select", {id: `rate-${s}-${i}`, title: "sampling-rate code",
      onchange: e => post("/api/rate", {serial: s, channel: i, rate: e.target.value})});
    for (let r = 0; r < 16; r++) rates.append(el("option", {value: r}, String(r)));
    chans.append(el("div", {class: "channel"},
      el("div", {class: "unit"}, `channel ${i}`, el("span", {style: `color:${colors[i % 6]}`}, " \u25A0")),
      el("div", {class: "value", id: `v-${s}-${i}`}, "\u2013"),
      el("div", {class: "unit", id: `u-${s}-${i}`}),
      el("div", {class: "tarestate", id: `t-${s}-${i}`}),
      el("button", {id: `tare-${s}-${i}`, onclick: () => post("/api/tare", {serial: s, channel: i})}, "Tare"),
      el("button", {id: `clear-${s}-${i}`, onclick: () => post("/api/cleartare", {serial: s, channel: i})}, "Clear tare"),
      " rate ", rates));
  });
  const span = el("select", {id: `span-${s}`}, ...[60, 30, 10, 5].map(n => el("option", {value: n}, `${n} s`)));
  const pause = el("input", {type: "checkbox", id: `pause-${s}`});
  const format = el("select", {id: `format-${s}`}, ...["csv", "json", "table"].map(f => el("option", {value: f}, f)));
  const cal = el("table", {}, el("tr", {}, ...["ch", "offset reading", "full-scale reading",
    "offset load", "full-scale load", "unit code", "decimals"].map(h => el("th", {}, h))));
  b.calibration.forEach((c, i) => cal.append(el("tr", {}, el("td", {}, String(i)),
    ...(c.error ? [el("td", {colspan: 6}, c.error)] : ["offset_reading", "fullscale_reading",
      "offset_load", "fullscale_load", "unit_code", "decimal_point"].map(k => el("td", {}, String(c[k])))))));
  const card = el("section", {class: "board", id: `board-${s}`},
    el("h2", {}, s), el("span", {class: "conn", id: `conn-${s}`}, "connected"),
    el("div", {class: "unit"}, `type ${b.type}, version ${b.version}, ${b.link}`),
    chans,
    el("canvas", {id: `plot-${s}`, width: 900, height: 180}),
    el("div", {class: "plotbar"}, "span ", span, el("label", {}, pause, " pause"),
      el("span", {id: `rate-${s}`})),
    el("div", {class: "rec"}, "record to a file: ", format,
      el("button", {id: `rec-${s}`, onclick: () => toggleRecording(s)}, "Start recording"),
      el("span", {id: `recstate-${s}`})),
    el("ul", {class: "events", id: `events-${s}`}),
    el("details", {}, el("summary", {}, "calibration"), cal));
  id("boards").append(card);
  boards[s] = {points: b.channels.map(() => []), state: b, digits: b.channels.map(c => c.digits),
    events: new Map()};
}

function showState(st) {
  for (const b of st.boards) {
    if (!boards[b.serial]) buildBoard(b);
    const x = boards[b.serial];
    x.state = b;
    b.channels.forEach((c, i) => {
      const cal = b.calibration[i] || {};
      const unit = cal.error ? "calibration not read at the start" : `unit code ${cal.unit_code}`;
      id(`u-${b.serial}-${i}`).textContent = unit;
      id(`t-${b.serial}-${i}`).textContent = c.tare === null ? "no tare" : `tared at ${c.tare.toFixed(c.digits)}`;
      if (c.rate >= 0) id(`rate-${b.serial}-${i}`).value = c.rate;
    });
    showConnected(b.serial, b.connected);
    addEvents(b.serial, b.events);
    const rec = b.recording;
    id(`rec-${b.serial}`).textContent = rec ? "Stop recording" : "Start recording";
    id(`recstate-${b.serial}`).textContent = rec ? ` recording to ${rec.name}` : (b.last_recording_error ? ` ${b.last_recording_error}` : "");
    id(`recstate-${b.serial}`).className = rec ? "recording" : "";
    id("link").textContent = b.link;
  }
}
// Events come from the state and from the stream, in either order: kept by time and kind, and
// listed in the order they happened.
function addEvents(s, list) {
  const x = boards[s];
  if (!x) return;
  for (const e of list) x.events.set(e.at + e.kind, e);
  const all = [...x.events.values()].sort((a, b) => (a.at < b.at ? -1 : a.at > b.at ? 1 : 0));
  id(`events-${s}`).replaceChildren(...all.slice(-50).map(eventItem));
}
function eventItem(e) {
  const text = e.kind === "disconnected" ? `disconnected (${e.error})` :
    `${e.kind} after ${e.gap_s.toFixed(1)} s`;
  return el("li", {}, `${e.at.slice(11, 19)} ${text}`);
}
function showConnected(s, up) {
  const c = id(`conn-${s}`);
  c.textContent = up ? "connected" : "disconnected";
  c.className = up ? "conn" : "conn down";
}
async function toggleRecording(s) {
  if (boards[s].state.recording) await post("/api/record/stop", {serial: s});
  else await post("/api/record/start", {serial: s, format: id(`format-${s}`).value});
  refresh();
}
async function refresh() {
  showState(await get("/api/state"));
  const r = await get("/api/recordings");
  id("folder").textContent = `in ${r.folder} on the server`;
  id("recordings").replaceChildren(...r.files.map(f => el("li", {},
    el("a", {href: `/recordings/${encodeURIComponent(f.name)}?token=${token}`, download: f.name}, f.name),
    ` ${f.size} bytes`)));
}

function onReadings(u) {
  lastT = u.t;
  for (const s in u.boards) {
    const x = boards[s];
    if (!x) continue;
    const b = u.boards[s];
    showConnected(s, b.connected);
    b.channels.forEach((c, i) => {
      const v = id(`v-${s}-${i}`);
      if (c.last !== undefined) {
        v.textContent = c.last.toFixed(x.digits[i]);
        v.className = "value";
        x.points[i].push([u.t, c.min, c.max]);
      } else if (c.state !== "ok") {
        v.textContent = c.state === "failed" ? "no reading" : c.state;
        v.className = "value bad";
        v.title = c.error || "";
      }
      while (x.points[i].length && x.points[i][0][0] < u.t - 61) x.points[i].shift();
    });
    id(`rate-${s}`).textContent = `${b.readings} readings` + (b.recording_rows ? `, ${b.recording_rows} rows recorded` : "");
  }
}

function draw() {
  for (const s in boards) {
    const x = boards[s];
    const cv = id(`plot-${s}`);
    if (id(`pause-${s}`).checked) continue;
    const w = cv.width = cv.clientWidth || 900, h = cv.height;
    const g = cv.getContext("2d");
    const span = Number(id(`span-${s}`).value), t1 = lastT, t0 = t1 - span;
    let lo = Infinity, hi = -Infinity;
    for (const pts of x.points) for (const p of pts) if (p[0] >= t0) { lo = Math.min(lo, p[1]); hi = Math.max(hi, p[2]); }
    g.clearRect(0, 0, w, h);
    if (lo > hi) continue;
    if (hi - lo < 1e-9) { lo -= 1; hi += 1; }
    const pad = (hi - lo) * 0.08; lo -= pad; hi += pad;
    const Y = v => h - (v - lo) / (hi - lo) * h;
    g.fillStyle = "#666"; g.font = "11px sans-serif";
    g.fillText(hi.toFixed(x.digits[0]), 4, 12); g.fillText(lo.toFixed(x.digits[0]), 4, h - 4);
    x.points.forEach((pts, i) => {
      // Each pixel column: the lowest and highest value of the readings it covers.
      const cols = new Array(w);
      for (const p of pts) {
        if (p[0] < t0) continue;
        const c = Math.min(w - 1, Math.floor((p[0] - t0) / span * w));
        const m = cols[c];
        cols[c] = m ? [Math.min(m[0], p[1]), Math.max(m[1], p[2])] : [p[1], p[2]];
      }
      g.strokeStyle = colors[i % 6]; g.lineWidth = 1; g.beginPath();
      let prev = null;
      for (let c = 0; c < w; c++) {
        const m = cols[c];
        if (!m) continue;
        if (prev) { g.moveTo(c - 0.5, Y(prev)); g.lineTo(c + 0.5, Y((m[0] + m[1]) / 2)); }
        g.moveTo(c + 0.5, Y(m[0])); g.lineTo(c + 0.5, Y(m[1]) - 0.5);
        prev = (m[0] + m[1]) / 2;
      }
      g.stroke();
    });
  }
  requestAnimationFrame(draw);
}

function listen() {
  const es = new EventSource(`/api/events?token=${token}`);
  es.addEventListener("open", () => { id("status").textContent = "live"; refresh(); });
  es.addEventListener("error", () => { id("status").textContent = "server unreachable, retrying"; });
  es.addEventListener("readings", e => onReadings(JSON.parse(e.data)));
  es.addEventListener("board", e => {
    const ev = JSON.parse(e.data);
    showConnected(ev.serial, ev.kind === "reconnected");
    addEvents(ev.serial, [ev]);
  });
  es.addEventListener("state", () => refresh());
}
refresh().then(() => { listen(); requestAnimationFrame(draw); });
setInterval(refresh, 5000);
</script></body></html>
)PAGE";

}  // namespace kavro::tool::web
