// The upgrade server's dashboard: fetches /api/releases, /api/summary and /api/sessions every few
// seconds and draws them, the plots as SVG made here. Every text from the register goes into the
// page as text (textContent, attribute values), never as markup: device values come from the
// network.
"use strict";

const REFRESH_MS = 5000;
const DAY_MS = 24 * 3600 * 1000;
const SVG_NS = "http://www.w3.org/2000/svg";
// A release's figures: the JSON key, the name shown, the class that colours it.
const SERIES = [
  ["offered", "offered", "offered"],
  ["downloaded", "downloaded", "downloaded"],
  ["installed", "installed", "installed"],
  ["came_back", "came back", "came-back"],
];
const STATES = ["running", "paused", "halted", "done"];

// An element: attributes from an object, then children (nodes, or strings as text).
function make(namespace, tag, attributes, children) {
  const node = namespace ? document.createElementNS(namespace, tag) : document.createElement(tag);
  for (const [name, value] of Object.entries(attributes || {}))
    node.setAttribute(name, String(value));
  for (const child of children || [])
    node.append(child instanceof Node ? child : document.createTextNode(String(child)));
  return node;
}
const html = (tag, attributes, ...children) => make(null, tag, attributes, children);
const svg = (tag, attributes, ...children) => make(SVG_NS, tag, attributes, children);

const pad = (n) => String(n).padStart(2, "0");
function clock(ms) {
  const d = new Date(ms);
  return `${pad(d.getHours())}:${pad(d.getMinutes())}`;
}
function dayAndClock(ms) {
  const d = new Date(ms);
  return `${pad(d.getMonth() + 1)}-${pad(d.getDate())} ${clock(ms)}:${pad(d.getSeconds())}`;
}
function bytes(n) {
  if (n < 1024) return `${n} B`;
  if (n < 1024 * 1024) return `${(n / 1024).toFixed(1)} KiB`;
  if (n < 1024 * 1024 * 1024) return `${(n / 1024 / 1024).toFixed(1)} MiB`;
  return `${(n / 1024 / 1024 / 1024).toFixed(2)} GiB`;
}
// The smallest of 1, 2, 5 times a power of ten that is at least n.
function niceCeiling(n) {
  let step = 1;
  for (;;) {
    for (const m of [1, 2, 5]) if (m * step >= n) return m * step;
    step *= 10;
  }
}
// A value shown in a narrow place: cut, the whole of it on hover.
function shortText(text, most) {
  return text.length > most ? `${text.slice(0, most - 1)}…` : text;
}

// The ticks of an axis from 0 to a ceiling of niceCeiling: whole numbers, at most five steps.
function ticks(ceiling) {
  const steps = ceiling <= 5 ? ceiling : ceiling % 4 === 0 ? 4 : 5;
  return Array.from({ length: steps + 1 }, (_, i) => (ceiling * i) / steps);
}

// Offered, downloaded, installed and came back over time, each a step line (a figure holds until
// the next point) with a dot at each point, and the rollout's changes as dashed lines. Drawn as
// wide as it is shown, so that its text keeps its size on a phone.
function historyPlot(release, nowMs, width) {
  const points = release.history.map((p) => ({ ...p, t: Date.parse(p.at) }));
  const events = release.events.map((e) => ({ ...e, t: Date.parse(e.at) }));
  const times = points.map((p) => p.t).concat(events.map((e) => e.t));
  if (times.length === 0) return html("p", { class: "empty" }, "No figures yet.");
  const height = width < 500 ? 150 : 170;
  const left = 44;
  const right = 12;
  const top = 22;
  const bottom = 22;
  let t0 = Math.min(...times);
  let t1 = Math.max(...times);
  // Up to now while the release is still moving, so that the plot shows how long it has been.
  if (nowMs - t1 < DAY_MS) t1 = Math.max(t1, nowMs);
  if (t1 - t0 < 60000) t0 = t1 - 60000;
  let highest = 1;
  for (const p of points) for (const [key] of SERIES) highest = Math.max(highest, p[key]);
  const ceiling = niceCeiling(highest);
  const x = (t) => left + ((t - t0) / (t1 - t0)) * (width - left - right);
  const y = (v) => top + (1 - v / ceiling) * (height - top - bottom);
  const plot = svg("svg", {
    class: "history",
    viewBox: `0 0 ${width} ${height}`,
    role: "img",
    "aria-label": `${release.type} ${release.version} over time`,
  });
  for (const v of ticks(ceiling)) {
    plot.append(
      svg("line", { class: "grid", x1: left, x2: width - right, y1: y(v), y2: y(v) }),
      svg("text", { class: "axis", x: left - 6, y: y(v) + 4, "text-anchor": "end" }, String(v)),
    );
  }
  const long = t1 - t0 > 2 * DAY_MS;
  for (let i = 0; i <= 3; ++i) {
    const t = t0 + ((t1 - t0) * i) / 3;
    const anchor = i === 0 ? "start" : i === 3 ? "end" : "middle";
    const label = long ? dayAndClock(t).slice(0, 5) : clock(t);
    plot.append(svg("text", { class: "axis", x: x(t), y: height - 6, "text-anchor": anchor }, label));
  }
  for (const e of events) {
    const label =
      e.action === "advance" ? `${e.from_percent}→${e.to_percent}%` : `${e.action} ${e.to_percent}%`;
    plot.append(
      svg("g", { class: "event" },
        svg("line", { x1: x(e.t), x2: x(e.t), y1: top - 4, y2: height - bottom }),
        svg("text", { x: x(e.t) + 3, y: top - 8 }, label),
        svg("title", {}, `${e.action} by the ${e.actor} at ${dayAndClock(e.t)}`)),
    );
  }
  for (const [key, name, css] of SERIES) {
    if (points.length === 0) break;
    let path = "";
    points.forEach((p, i) => {
      if (i > 0) path += `${x(p.t)},${y(points[i - 1][key])} `;
      path += `${x(p.t)},${y(p[key])} `;
    });
    path += `${x(t1)},${y(points[points.length - 1][key])}`;
    plot.append(svg("polyline", { class: `series ${css}`, points: path }));
    const dots = svg("g", { class: `points ${css}`, "data-series": key });
    for (const p of points)
      dots.append(svg("circle", { cx: x(p.t), cy: y(p[key]), r: 2.5 },
        svg("title", {}, `${name} ${p[key]} at ${dayAndClock(p.t)}`)));
    plot.append(dots);
  }
  return plot;
}

function releaseCard(r, nowMs, width) {
  const state = STATES.includes(r.state) ? r.state : "";
  const stage = r.staged
    ? `stage ${r.percent}% of ${r.stages.join(", ")}% · advance=${r.advance} halt=${r.halt}`
    : "no rollout: every device";
  const legend = html("ul", { class: "legend" });
  for (const [key, name, css] of SERIES)
    legend.append(html("li", { class: css }, `${name} `,
      html("span", { class: "figure", "data-figure": key }, r[key])));
  return html("article", { class: "release" },
    html("header", {},
      html("h3", {}, html("span", { class: "type" }, r.type), " ",
        html("span", { class: "version" }, r.version)),
      html("span", { class: `state ${state}` }, r.state),
      html("span", { class: "stage" }, stage)),
    legend,
    historyPlot(r, nowMs, width));
}

// Per device type, a bar for each firmware version its devices announced last.
function versionsPlot(versions, width) {
  if (versions.length === 0) return html("p", { class: "empty" }, "No device yet.");
  const rowHeight = 20;
  const labelWidth = 96;
  const types = [];
  for (const v of versions) {
    if (types.length === 0 || types[types.length - 1].type !== v.type)
      types.push({ type: v.type, versions: [] });
    types[types.length - 1].versions.push(v);
  }
  const most = Math.max(1, ...versions.map((v) => v.devices));
  const rows = types.length + versions.length;
  const plot = svg("svg", {
    class: "versions",
    viewBox: `0 0 ${width} ${rows * rowHeight + 6}`,
    role: "img",
    "aria-label": "the fleet's firmware versions",
  });
  let row = 0;
  for (const t of types) {
    const baseline = (row++ + 1) * rowHeight - 5;
    plot.append(svg("text", { class: "type-label", x: 0, y: baseline },
      svg("tspan", { lang: "zh-CN" }, "设备类型："),
      svg("tspan", { class: "type-name" }, shortText(t.type, 24)),
      svg("title", {}, t.type)));
    for (const v of t.versions) {
      const top = row++ * rowHeight;
      const length = Math.max(2, ((width - labelWidth - 50) * v.devices) / most);
      plot.append(svg("g", { class: "bar" },
        svg("title", { class: "version-name" }, v.version),
        svg("text", { x: 8, y: top + rowHeight - 5 }, v.version === "" ? "(none)" : shortText(v.version, 12)),
        svg("rect", { x: labelWidth, y: top + 4, width: length, height: rowHeight - 8, rx: 2 }),
        svg("text", { class: "count", x: labelWidth + length + 5, y: top + rowHeight - 5 }, v.devices)));
    }
  }
  return plot;
}

function totals(t) {
  const items = [
    ["sessions", "sessions", t.sessions],
    ["all_ok", "ended with AllOK", t.all_ok],
    ["firmware", "offered firmware", t.firmware],
    ["devices", "devices", t.devices],
  ];
  const list = [];
  for (const [key, name, value] of items)
    list.push(html("div", {}, html("dt", {}, name), html("dd", { "data-total": key }, value)));
  list.push(html("div", {}, html("dt", {}, "data sent"),
    html("dd", { "data-total": "bytes_sent", title: `${t.bytes_sent} bytes` }, bytes(t.bytes_sent))));
  return list;
}

function failedRow(s) {
  const value = (name) => s.values[name] ?? "—";
  const cell = (css, text) => html("td", { class: css, title: text }, text);
  return html("tr", {},
    html("td", {}, dayAndClock(Date.parse(s.ended))),
    cell("value type", value("UserName")),
    cell("value device", value("OriginalID")),
    cell("value sver", value("SVer")),
    cell("answer", s.answer),
    cell("cause", s.end));
}

async function getJson(path) {
  const response = await fetch(path, { cache: "no-store" });
  const body = await response.json().catch(() => ({}));
  if (!response.ok) throw new Error(body.error || `${path}: HTTP ${response.status}`);
  return body;
}

// Plots as wide as the place they are shown in (at least a phone's).
const widthOf = (id) => Math.max(300, document.getElementById(id).clientWidth);

let refreshes = 0;
let shown = null;

function render() {
  const { releases, summary, sessions } = shown;
  const nowMs = Date.parse(releases.now);
  const note = document.getElementById("note");
  note.hidden = !releases.note;
  note.textContent = releases.note || "";
  const width = widthOf("releases");
  // The releases that changed last come first: those under way, not those of years ago.
  const recent = [...releases.releases].sort((a, b) => Date.parse(b.updated) - Date.parse(a.updated));
  const cards = recent.map((r) => releaseCard(r, nowMs, width));
  document.getElementById("releases").replaceChildren(
    ...(cards.length ? cards : [html("p", { class: "empty" }, "No release yet.")]));
  document.getElementById("versions").replaceChildren(
    versionsPlot(summary.versions, widthOf("versions")));
  document.getElementById("totals").replaceChildren(...totals(summary.totals));
  document.querySelector("#failed tbody").replaceChildren(...sessions.failed.map(failedRow));
  const status = document.getElementById("status");
  status.className = "";
  status.textContent = `Updated ${dayAndClock(nowMs)} · ${releases.register}`;
}

async function refresh() {
  try {
    const [releases, summary, sessions] = await Promise.all(
      ["/api/releases", "/api/summary", "/api/sessions"].map(getJson));
    shown = { releases, summary, sessions };
    render();
    document.documentElement.dataset.refreshes = String(++refreshes);
  } catch (error) {
    const status = document.getElementById("status");
    status.className = "failing";
    status.textContent = `The server did not answer (${error.message}); trying again every ${REFRESH_MS / 1000} s.`;
  }
  setTimeout(refresh, REFRESH_MS);
}

// Turned to a phone's other side, the plots are drawn again for the new width.
let resizing = false;
window.addEventListener("resize", () => {
  if (resizing || !shown) return;
  resizing = true;
  requestAnimationFrame(() => {
    resizing = false;
    render();
  });
});

refresh();
