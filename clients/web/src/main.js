// The robot in a browser: the dashboard subscribes to one robot's topics on the broker (through its
// WebSockets listener) and calls the control's methods on the robot's call topic. Everything it
// shows comes from the bridge (trevask-mqtt); nothing here talks to the robot directly.
import mqtt from "mqtt";
import uPlot from "uplot";

const $ = (id) => document.getElementById(id);
const HISTORY = 200; // points kept per plot
const CALL_TIMEOUT_MS = 5000;

let client = null;
let root = "";
let nextCallId = 1;
const pending = new Map(); // call id -> {resolve, reject, timer}

function setStatus(text) {
  $("status").textContent = text;
}

function setControlsEnabled(on) {
  for (const button of document.querySelectorAll("#controls button, #take-photo")) button.disabled = !on;
}

// Plots ------------------------------------------------------------------------------------------

function makePlot(element, label, count, stem) {
  const series = [{}];
  const colours = ["#1f77b4", "#ff7f0e", "#2ca02c", "#d62728", "#9467bd", "#8c564b"];
  for (let i = 1; i <= count; ++i) series.push({ label: `${label} ${i}`, stroke: colours[i - 1], width: 1.5 });
  const data = [[]];
  for (let i = 0; i < count; ++i) data.push([]);
  const width = Math.max(280, (element.clientWidth || 420) - 8);
  const plot = new uPlot({ width, height: 180, series, axes: [{ show: false }, {}], legend: { live: false } },
    data, element);
  return { plot, data, stem, count, element, n: 0, readings: 0 };
}

let sonarPlot, currentPlot, encoderPlot;

function addToPlot(p, reading) {
  p.data[0].push(p.n++);
  let held = false;
  for (let i = 1; i <= p.count; ++i) {
    const value = reading[`${p.stem}${i}`];
    held ||= typeof value === "number";
    p.data[i].push(typeof value === "number" ? value : null);
  }
  if (p.data[0].length > HISTORY) for (const column of p.data) column.shift();
  p.plot.setData(p.data);
  if (held) p.element.dataset.readings = String(++p.readings); // readings that held the plot's fields
}

// Readings ---------------------------------------------------------------------------------------

function showReading(table, reading) {
  const body = table.tBodies[0];
  for (const [name, value] of Object.entries(reading)) {
    if (name === "raw") continue;
    let row = body.querySelector(`tr[data-field="${name}"]`);
    if (!row) {
      row = body.insertRow();
      row.dataset.field = name;
      row.insertCell().textContent = name;
      row.insertCell().className = "value";
    }
    row.cells[1].textContent = String(value);
  }
}

// A picture or a sound in its element; the one it replaces is let go.
function showMedia(element, payload, type) {
  if (element.dataset.url) URL.revokeObjectURL(element.dataset.url);
  element.dataset.url = URL.createObjectURL(new Blob([payload], { type }));
  element.src = element.dataset.url;
}

// Messages ---------------------------------------------------------------------------------------

function onLink(text) {
  let state = "unknown";
  let quality = null;
  try {
    const link = JSON.parse(text);
    state = String(link.state ?? "unknown");
    quality = typeof link.quality === "number" ? link.quality : null;
  } catch {
    state = "unknown";
  }
  const badge = $("link-state");
  badge.dataset.state = state;
  badge.textContent = { up: "link up", down: "link down", "no-relay": "no relay", "no-bridge": "no bridge" }[state] ??
    state;
  $("link-quality").textContent = quality === null ? "" : `readings received: ${Math.round(quality * 100)} %`;
}

function onMessage(topic, payload) {
  const sub = topic.slice(root.length);
  if (sub === "link") return onLink(new TextDecoder().decode(payload));
  if (sub.startsWith("sensors/")) {
    let reading;
    try {
      reading = JSON.parse(new TextDecoder().decode(payload));
    } catch {
      return;
    }
    const kind = sub.slice("sensors/".length);
    const table = $(kind);
    if (table) showReading(table, reading);
    if (kind === "standard") addToPlot(sonarPlot, reading);
    if (kind === "motor") {
      addToPlot(currentPlot, reading);
      addToPlot(encoderPlot, reading);
    }
    return;
  }
  if (sub === "camera") return showMedia($("camera"), payload, "image/jpeg");
  if (sub === "camera/info") {
    try {
      const info = JSON.parse(new TextDecoder().decode(payload));
      $("camera-info").textContent = `picture ${info.sequence}, ${info.width} × ${info.height}, ${info.bytes} bytes`;
    } catch {
      /* a picture without its caption */
    }
    return;
  }
  if (sub === "voice") return showMedia($("voice"), payload, "audio/wav");
  if (sub.startsWith("reply/")) {
    const id = sub.slice("reply/".length);
    const call = pending.get(id);
    if (!call) return;
    pending.delete(id);
    clearTimeout(call.timer);
    try {
      call.resolve(JSON.parse(new TextDecoder().decode(payload)));
    } catch (e) {
      call.reject(e);
    }
  }
}

// Calls ------------------------------------------------------------------------------------------

function call(method, args = []) {
  return new Promise((resolve, reject) => {
    if (!client || !client.connected) return reject(new Error("not connected to the broker"));
    const id = `web${nextCallId++}`;
    const timer = setTimeout(() => {
      pending.delete(id);
      reject(new Error(`${method}: no reply (is the bridge running, may this user call?)`));
    }, CALL_TIMEOUT_MS);
    pending.set(id, { resolve, reject, timer });
    client.publish(`${root}call`, JSON.stringify({ id, method, args }), { qos: 1 });
  });
}

async function run(method, args) {
  try {
    const reply = await call(method, args);
    $("last-reply").textContent = reply.error
      ? `${method}: ${reply.error.message}`
      : `${method}${reply.result === null ? "" : ` = ${reply.result}`}`;
  } catch (e) {
    $("last-reply").textContent = e.message;
  }
}

// Connecting -------------------------------------------------------------------------------------

function connect(broker, robot, user, password) {
  if (client) client.end(true);
  root = `talvenor/${robot}/`;
  $("robot-name").textContent = robot;
  setStatus(`connecting to ${broker} …`);
  client = mqtt.connect(broker, {
    username: user || undefined,
    password: password || undefined,
    protocolVersion: 5,
    clientId: `web-${Math.random().toString(16).slice(2, 10)}`,
    reconnectPeriod: 2000,
    connectTimeout: 5000,
  });
  client.on("connect", () => {
    setStatus(`connected to ${broker} as ${user || "anonymous"}`);
    client.subscribe(`${root}#`, { qos: 1 });
    setControlsEnabled(true);
  });
  client.on("close", () => setControlsEnabled(false));
  client.on("error", (e) => setStatus(`broker: ${e.message}`));
  client.on("message", onMessage);
}

function setUp() {
  const params = new URLSearchParams(location.search);
  const defaultBroker = location.protocol.startsWith("http") ? `ws://${location.host}` : "ws://127.0.0.1:9001";
  $("broker").value = params.get("broker") ?? defaultBroker;
  $("robot").value = params.get("robot") ?? "";
  $("user").value = params.get("user") ?? "";
  $("password").value = params.get("password") ?? "";
  for (const id of ["motor-channel", "servo-channel"])
    for (let c = 0; c < 6; ++c) $(id).add(new Option(String(c + 1), String(c)));
  sonarPlot = makePlot($("plot-sonar"), "sonar", 6, "sonar");
  currentPlot = makePlot($("plot-current"), "current", 6, "current");
  encoderPlot = makePlot($("plot-encoder"), "encoder speed", 2, "encoder_speed");
  setControlsEnabled(false);

  $("login").addEventListener("submit", (e) => {
    e.preventDefault();
    connect($("broker").value, $("robot").value, $("user").value, $("password").value);
  });
  $("motor-pwm").addEventListener("input", () => ($("motor-pwm-value").textContent = $("motor-pwm").value));
  $("servo-position").addEventListener("input",
    () => ($("servo-position-value").textContent = $("servo-position").value));
  $("take-photo").addEventListener("click", () => run("TakePhoto"));
  $("sensors-on").addEventListener("click", () => run("EnableAllSensorSending"));
  $("sensors-off").addEventListener("click", () => run("DisableAllSensorSending"));
  $("motor-apply").addEventListener("click",
    () => run("DcMotorPwmNonTimeCtr", [Number($("motor-channel").value), Number($("motor-pwm").value)]));
  $("motor-stop").addEventListener("click", () => {
    $("motor-pwm").value = "0";
    $("motor-pwm-value").textContent = "0";
    run("DcMotorPwmNonTimeCtr", [Number($("motor-channel").value), 0]);
  });
  $("servo-apply").addEventListener("click",
    () => run("servoNonTimeCtr", [Number($("servo-channel").value), Number($("servo-position").value)]));
  $("sound-play").addEventListener("click", () => run("PlayAudioFile", [$("sound-file").value]));
  $("sound-stop").addEventListener("click", () => run("StopAudioPlay"));
  $("record-start").addEventListener("click", () => run("StartRecord", [1]));
  $("record-stop").addEventListener("click", () => run("StopRecord"));

  if ($("robot").value && $("user").value)
    connect($("broker").value, $("robot").value, $("user").value, $("password").value);
}

setUp();
