// The console page's script, served as /page.js: the page's policy allows no inline script.
"use strict";
const $ = (id) => document.getElementById(id);
const key = (d, g, m) => d + "-" + g + "-" + m;
const units = {};       // key -> unit label
let selected = null;    // {device, gddId, module}
let trend = [];         // recent numbers of the selected value
let pldCount = "?";
let loading = false;    // value changes that come while the table loads wait in `missed`
let missed = [];
// Beyond loopback the console asks for its token: the address printed at its start carries it.
// The page keeps it for the tab and takes it out of the address bar.
const token = new URLSearchParams(location.search).get("token") ||
    sessionStorage.getItem("pldwebToken");
if (token) {
  sessionStorage.setItem("pldwebToken", token);
  history.replaceState(null, "", location.pathname);
}

function text(el, t, cls) { el.textContent = t; el.className = cls || ""; }

async function api(method, path, body) {
  const init = { method, headers: {} };
  if (token) init.headers["X-Console-Token"] = token;
  if (body !== undefined) {
    init.body = JSON.stringify(body);
    init.headers["Content-Type"] = "application/json";
  }
  const res = await fetch(path, init);
  let data = {};
  try { data = await res.json(); } catch (e) { data = { error: "no JSON in the answer" }; }
  return { status: res.status, data };
}

function shownValue(k, value) {
  if (value === null || value === undefined) return "?";
  return units[k] ? value + " " + units[k] : value;
}

async function loadPoints() {
  if (loading) return;
  loading = true;
  missed = [];
  const { status, data } = await api("GET", "/api/devices").finally(() => { loading = false; });
  const body = document.querySelector("#points tbody");
  body.textContent = "";
  if (status !== 200) { text($("status"), "devices: " + data.error, "error"); return; }
  for (const dev of data) {
    for (const p of dev.points) {
      for (const v of p.values) {
        const k = key(p.device, p.gddId, v.module);
        units[k] = p.unit || "";
        const tr = body.insertRow();
        tr.id = "row-" + k;
        const cells = [dev.index + (dev.offline ? " (offline)" : ""), p.gddId,
                       p.label === null ? p.labelError : p.label, v.module,
                       v.value === null ? v.valueError : shownValue(k, v.value),
                       p.attributes.accessRights === 3 ? "rw" : "r"];
        cells.forEach((c, i) => { tr.insertCell().textContent = c; });
        tr.cells[4].className = "value";
        tr.cells[4].id = "v-" + k;
        tr.onclick = () => select(p.device, p.gddId, v.module);
      }
    }
  }
  missed.splice(0).forEach(updateValue);
  document.body.dataset.loaded = "yes";
}

function updateValue(msg) {
  if (loading) { missed.push(msg); return; }
  const k = key(msg.device, msg.gddId, msg.module);
  const cell = $("v-" + k);
  if (cell) {
    cell.textContent = shownValue(k, msg.value);
    cell.classList.remove("changed");
    void cell.offsetWidth;  // restarts the flash
    cell.classList.add("changed");
  }
  if (selected && k === key(selected.device, selected.gddId, selected.module)) {
    const n = parseFloat(msg.value);
    if (!isNaN(n)) { trend.push(n); if (trend.length > 60) trend.shift(); drawTrend(); }
  }
}

async function select(device, gddId, module) {
  document.querySelectorAll("tr.selected").forEach((tr) => tr.classList.remove("selected"));
  const row = $("row-" + key(device, gddId, module));
  if (row) row.classList.add("selected");
  selected = { device, gddId, module };
  const f = $("write");
  f.device.value = device; f.gddId.value = gddId; f.module.value = module;
  const cell = $("v-" + key(device, gddId, module));
  const first = cell ? parseFloat(cell.textContent) : NaN;
  trend = isNaN(first) ? [] : [first];
  text($("trendOf"), "of device " + device + ", GddId " + gddId + ", module " + module);
  drawTrend();
  text($("hierarchyOf"), "of device " + device + ", GddId " + gddId + ", module " + module);
  const list = $("hierarchy");
  const { status, data } = await api("GET",
      "/api/devices/" + device + "/points/" + gddId + "/hierarchy?module=" + module);
  list.textContent = "";
  if (status !== 200) { const li = list.appendChild(document.createElement("li"));
                        text(li, data.error, "error"); return; }
  for (const l of data.levels) {
    const li = list.appendChild(document.createElement("li"));
    li.textContent = "report " + l.gddId + ", module " + l.module + ", auxValue " + l.auxValue +
        ": " + (l.label === null ? l.labelError : "\u201c" + l.label + "\u201d");
  }
}

function drawTrend() {
  const c = $("trend"), g = c.getContext("2d");
  g.clearRect(0, 0, c.width, c.height);
  if (trend.length === 0) return;
  let lo = Math.min(...trend), hi = Math.max(...trend);
  if (hi === lo) { hi += 1; lo -= 1; }
  const x = (i) => 40 + i * (c.width - 50) / 59;
  const y = (v) => c.height - 10 - (v - lo) * (c.height - 20) / (hi - lo);
  g.fillStyle = "#666"; g.font = "11px sans-serif";
  g.fillText(hi.toFixed(1), 2, 14); g.fillText(lo.toFixed(1), 2, c.height - 6);
  g.strokeStyle = "#2a62b8"; g.lineWidth = 2; g.beginPath();
  trend.forEach((v, i) => (i ? g.lineTo(x(i), y(v)) : g.moveTo(x(i), y(v))));
  g.stroke();
}

async function loadEvents() {
  const list = $("events");
  const { status, data } = await api("GET", "/api/events/active");
  list.textContent = "";
  if (status !== 200) { text(list.appendChild(document.createElement("li")), data.error, "error");
                        return; }
  if (data.events.length === 0) list.appendChild(document.createElement("li")).textContent = "none";
  for (const e of data.events) {
    const li = list.appendChild(document.createElement("li"));
    li.dataset.eventId = e.eventId;
    li.textContent = "event " + e.eventId + (e.label ? " (" + e.label + ")" : "") + ", group " +
        e.groupId + ": state " + e.state;
  }
}

$("write").onsubmit = async (ev) => {
  ev.preventDefault();
  const f = ev.target;
  const { status, data } = await api("PUT",
      "/api/devices/" + f.device.value + "/points/" + f.gddId.value + "/value",
      { value: f.value.value, module: Number(f.module.value) });
  const words = data.result ? "result " + data.result : data.error;
  text($("writeResult"), words + (status === 200 ? ", read back " + data.value : ""),
       status === 200 ? "ok" : "error");
};
$("refreshEvents").onclick = loadEvents;

function showStatus(connected) {
  text($("status"), (connected ? "live" : "reconnecting") + ", PLD count " + pldCount,
       connected ? "" : "error");
}

let eventsDue = null;
function connect() {
  const source = new EventSource(
      "/api/stream" + (token ? "?token=" + encodeURIComponent(token) : ""));
  // After a reconnection the table may have missed changes: read it again.
  source.onopen = () => {
    document.body.dataset.stream = "open"; showStatus(true); loadPoints(); loadEvents();
  };
  source.onerror = () => { document.body.dataset.stream = "closed"; showStatus(false); };
  source.addEventListener("value", (e) => updateValue(JSON.parse(e.data)));
  source.addEventListener("count", (e) => {
    pldCount = JSON.parse(e.data).count; showStatus(true); loadPoints();
  });
  source.addEventListener("event", () => {
    clearTimeout(eventsDue); eventsDue = setTimeout(loadEvents, 200);
  });
}

api("GET", "/api/engine").then(({ status, data }) => {
  if (status === 200) { pldCount = data.pldCount; showStatus(true); }
});
connect();
