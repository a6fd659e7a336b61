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
let denied = null;      // the console's refusal of a page opened without its token
// The console's token never reaches this script: the address printed at the console's start
// carries it once, and the console answers with a cookie that no script reads and that the
// browser sends with this page's requests only (the event stream's too).

function text(el, t, cls) { el.textContent = t; el.className = cls || ""; }

async function api(method, path, body) {
  const init = { method, headers: {} };
  if (body !== undefined) {
    init.body = JSON.stringify(body);
    init.headers["Content-Type"] = "application/json";
  }
  const res = await fetch(path, init);
  let data = {};
  try { data = await res.json(); } catch (e) { data = { error: "no JSON in the answer" }; }
  if (res.status === 401) denied = data.error;
  return { status: res.status, data };
}

function shownValue(k, value) {
  if (value === null || value === undefined) return "?";
  return units[k] ? value + " " + units[k] : value;
}

// The table is read again when asked while it loads: what changed meanwhile is not lost.
let reloadWanted = false;
async function loadPoints() {
  if (loading) { reloadWanted = true; return; }
  loading = true;
  missed = [];
  const { status, data } = await api("GET", "/api/devices").finally(() => { loading = false; });
  if (reloadWanted) { reloadWanted = false; loadPoints(); return; }
  const body = document.querySelector("#points tbody");
  if (status !== 200) {
    text($("status"), "devices: " + data.error, "error");
    // A stalled or unreachable engine: the rows stay, each showing that it has no answer.
    for (const tr of body.rows) {
      tr.classList.add("unanswered");
      tr.cells[4].textContent = data.error;
    }
    return;
  }
  showStatus(document.body.dataset.stream === "open");
  body.textContent = "";
  for (const dev of data) {
    const offline = dev.offline || simOffline.has(dev.index);
    for (const p of dev.points) {
      for (const v of p.values) {
        const k = key(p.device, p.gddId, v.module);
        units[k] = p.unit || "";
        const tr = body.insertRow();
        tr.id = "row-" + k;
        const cells = [dev.index + (offline ? " (offline)" : ""), p.gddId,
                       p.label === null ? p.labelError : p.label, v.module,
                       v.value === null ? v.valueError : shownValue(k, v.value),
                       p.attributes.accessRights === 3 ? "rw" : "r"];
        cells.forEach((c, i) => { tr.insertCell().textContent = c; });
        // A value that does not read: of a device offline, else of a point failing.
        if (v.value === null) tr.className = offline ? "offline" : "failing";
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
    cell.parentElement.classList.remove("failing", "unanswered");
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
  if (denied) { text($("status"), denied, "error"); return; }
  text($("status"), (connected ? "live" : "reconnecting") + ", PLD count " + pldCount,
       connected ? "" : "error");
}

let eventsDue = null;
function connect() {
  const source = new EventSource("/api/stream");
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
  source.addEventListener("sim", loadSim);
}

// The Simulation panel. What is in force is read at the start, after each command (every open
// page is told of a command given through the console) and every two seconds, for the commands
// other clients of the engine give; the table is read again when it changed.
let simOffline = new Set();
let simShown = null;   // what is in force, as last compared
let simPolled = false;
const simFields = {    // each button's fields; "?": left out when empty
  offline: ["device"], online: ["device"],
  fail: ["device", "point", "status", "on", "count?"],
  delay: ["ms", "device?"], delayRange: ["min_ms", "max_ms", "device?"],
  stall: ["device?"], release: [],
  notify: ["action", "kind?", "count?"],
  plant: ["device", "point", "module", "signal", "min", "max", "period_ms", "update_ms?",
          "steps?"],
  event: ["id", "state"], reset: [], resetCatalogue: [],
};
// Buttons whose command is not their name alone.
const simCommands = {
  delayRange: { do: "delay" }, resetCatalogue: { do: "reset", catalogue: true },
};

async function loadSim() {
  const { status, data } = await api("GET", "/api/sim/status");
  if (status !== 200) {
    // No control at all (a device's engine, or --no-simulation): no panel.
    if (simShown !== null) text($("simNow"), data.error, "error");
    return;
  }
  $("sim").hidden = false;
  if (!simPolled) { simPolled = true; setInterval(loadSim, 2000); }
  simOffline = new Set(data.offline);
  const list = $("simNow");
  list.textContent = "";
  const add = (t) => { const li = list.appendChild(document.createElement("li"));
                       li.textContent = t; return li; };
  add("seed " + data.seed + "; offline: " + (data.offline.join(", ") || "none") +
      "; answers held: " + data.held);
  for (const c of data.controls) {
    const params = Object.entries(c).filter(([k]) => k !== "name" && k !== "do" && k !== "left")
        .map(([k, v]) => k + " " + v).join(", ");
    const li = add(c.name + ": " + c.do + (params ? " (" + params + ")" : "") +
                   (c.left !== undefined ? ", " + c.left + " left" : ""));
    li.dataset.control = c.name;
    const clear = li.appendChild(document.createElement("button"));
    clear.textContent = "Clear";
    clear.onclick = () => simSend({ do: "clear", name: c.name });
  }
  // Calls left of a counted fault go down with every read: not a change to read the table for.
  const now = JSON.stringify([data.offline,
                              data.controls.map((c) => ({ ...c, left: undefined }))]);
  if (now !== simShown && (simShown !== null || data.offline.length > 0)) loadPoints();
  simShown = now;
}

async function simSend(command) {
  const { status, data } = await api("POST", "/api/sim", command);
  text($("simResult"), status === 200 ? data.done : data.error, status === 200 ? "ok" : "error");
  loadSim();
}

for (const form of document.querySelectorAll("#sim form")) {
  form.onsubmit = (ev) => {
    ev.preventDefault();
    const verb = ev.submitter.value;
    const command = { do: verb, ...simCommands[verb] };
    for (const field of simFields[verb]) {
      const name = field.replace("?", "");
      const value = form.elements[name].value.trim();
      if (value === "" && field.endsWith("?")) continue;
      command[name] = /^-?[0-9]+(\.[0-9]+)?$/.test(value) ? Number(value) : value;
    }
    simSend(command);
  };
}

// The journal view: the engine's last calls (`journalWindow` of them), counts per operation and
// their times' percentiles, and the newest `journalRows` in a table. A refresh asks for the calls
// after the window's start as last seen: one request, and a second from the newest call's
// number only when more calls came meanwhile than the window holds. An answer stays within
// about 80 KB, and one request at a time goes to the panel's worker, shared with the commands.
const journalWindow = 200, journalRows = 50;
let journalLast = 0;    // the newest call's number, as the last answer gave it
let journalBusy = false, journalAgain = false;  // a refresh asked for during one comes after it

async function loadJournal() {
  if (journalBusy) { journalAgain = true; return; }
  journalBusy = true;
  try {
    const ask = (since) => api("POST", "/api/sim", { do: "journal", since, limit: journalWindow });
    const since = Math.max(0, journalLast - journalWindow);
    let { status, data } = await ask(since);
    // More calls came than the window holds, or a restarted daemon numbers from 1 again.
    if (status === 200 && (data.count > data.entries.length || data.last < since)) {
      ({ status, data } = await ask(Math.max(0, data.last - journalWindow)));
    }
    if (status !== 200) { text($("journalSummary"), data.error, "error"); return; }
    journalLast = data.last;
    showJournal(data);
  } finally {
    journalBusy = false;
    if (journalAgain) { journalAgain = false; loadJournal(); }
  }
}

// What the engine names (operations, controls, clients) is shown as text, never as markup.
function showJournal(data) {
  const n = data.entries.length, ms = data.ms;
  text($("journalSummary"), (n === 0 ? "no calls" : "the last " + n + " calls") +
       (ms ? ": p50 " + ms.p50 + " ms, p95 " + ms.p95 + " ms, max " + ms.max + " ms" : "") +
       "; the journal holds " + data.size + " of " + data.capacity);
  const counts = new Map();
  for (const e of data.entries) counts.set(e.op, (counts.get(e.op) || 0) + 1);
  const list = $("journalCounts");
  list.textContent = "";
  for (const [op, count] of [...counts].sort((a, b) => b[1] - a[1] || (a[0] < b[0] ? -1 : 1))) {
    const li = list.appendChild(document.createElement("li"));
    li.dataset.op = op;
    li.textContent = op + ": " + count;
  }
  const body = $("journal").tBodies[0];
  body.textContent = "";
  for (const e of data.entries.slice(-journalRows).reverse()) {
    const where = [e.device, e.point, e.module, e.aux].filter((v) => v !== undefined).join("/");
    const took = e.ms !== undefined ? e.ms : e.held ? "held" : "dropped";
    const tr = body.insertRow();
    tr.dataset.seq = e.seq;
    [(e.at_ms / 1000).toFixed(3), e.client === "in-process" ? e.client : "#" + e.client +
     " (pid " + e.pid + ")", e.op, where, e.status, took, (e.controls || []).join(", ")]
        .forEach((c) => { tr.insertCell().textContent = c; });
  }
}

$("journalView").ontoggle = () => { if ($("journalView").open) loadJournal(); };
$("journalRefresh").onclick = loadJournal;
$("journalClear").onclick = async () => { await simSend({ do: "journal_clear" }); loadJournal(); };
setInterval(() => {
  const shown = $("journalView").open && !$("sim").hidden && !document.hidden;
  if (shown && $("journalAuto").checked) loadJournal();
}, 2000);

api("GET", "/api/engine").then(({ status, data }) => {
  if (status === 200) { pldCount = data.pldCount; showStatus(true); }
});
connect();
loadSim();
