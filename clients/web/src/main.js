// The robot in a browser: the dashboard subscribes to one robot's topics on the broker (through its
// WebSockets listener) and calls the control's methods on the user's own call topic. Everything it
// shows comes from the bridge (trevask-mqtt); nothing here talks to the robot directly.
import mqtt from "mqtt";
import uPlot from "uplot";

const $ = (id) => document.getElementById(id);
const WINDOW_S = 60; // the plots show the last minute
const MIN_SPAN_S = 10; // and at least this much time while the first minute fills
const CALL_TIMEOUT_MS = 5000;
const RATE_WINDOW_MS = 5000; // readings and pictures a second, measured over this much time

let client = null;
let root = "";
let callTopic = "";
let nextCallId = 1;
let mayCommand = false;
const pending = new Map(); // call id -> {resolve, reject, timer}

function setStatus(text, error = false) {
  $("status").textContent = text;
  if (error) $("status").dataset.error = "";
  else delete $("status").dataset.error;
}

function setReply(text, error = false) {
  $("last-reply").textContent = text;
  if (error) $("last-reply").dataset.error = "";
  else delete $("last-reply").dataset.error;
}

// Controls are live only while the broker is there and this user may command the robot.
function updateControls() {
  const on = Boolean(client && client.connected && mayCommand);
  for (const element of document.querySelectorAll(".command")) element.disabled = !on;
  if (!on) $("camera-live").checked = false;
}

// The chain -------------------------------------------------------------------------------------
// What the page reaches, link by link: the broker (this page's own connection), the bridge, the
// relay and the robot (from the bridge's retained link state). A link after one that is down is
// not known.

const chain = { broker: "unknown", link: "unknown" };

function chip(id, state, text) {
  $(id).dataset.state = state;
  $(id).textContent = text;
}

function showChain() {
  const broker = chain.broker;
  chip("state-broker", broker === "up" ? "good" : broker === "connecting" ? "waiting" : "bad",
    `broker: ${{ up: "connected", connecting: "connecting", down: "unreachable", unknown: "not connected" }[broker]}`);
  const link = broker === "up" ? chain.link : "unknown";
  const bridge = link === "unknown" ? ["unknown", "–"] : link === "no-bridge" ? ["bad", "gone"] : ["good", "serving"];
  const relay = ["unknown", "no-bridge"].includes(link) ? ["unknown", "–"]
    : link === "no-relay" ? ["bad", "none serves this robot"] : ["good", "serving"];
  const robot = link === "up" ? ["good", "answering"]
    : link === "not-answering" ? ["waiting", "not answering"]
    : link === "down" ? ["waiting", "link being made"] : ["unknown", "–"];
  chip("state-bridge", bridge[0], `bridge: ${bridge[1]}`);
  chip("state-relay", relay[0], `relay: ${relay[1]}`);
  chip("state-robot", robot[0], `robot: ${robot[1]}`);
  showRate();
}

// Readings a second over the last few seconds, shown only while they can come.
const readingTimes = [];
function showRate() {
  const now = Date.now();
  while (readingTimes.length && readingTimes[0] < now - RATE_WINDOW_MS) readingTimes.shift();
  const live = chain.broker === "up" && chain.link === "up";
  $("link-quality").textContent = live && readingTimes.length
    ? `readings: ${(readingTimes.length * 1000 / RATE_WINDOW_MS).toFixed(1)} a second` : "";
}
setInterval(showRate, 1000);

// Plots ------------------------------------------------------------------------------------------

function makePlot(element, count, stem) {
  const series = [{}];
  const colours = ["#1f77b4", "#ff7f0e", "#2ca02c", "#d62728", "#9467bd", "#8c564b"];
  // Each line is named after the reading's field (sonar1 is channel 0's, as in the tables).
  for (let i = 1; i <= count; ++i) series.push({ label: `${stem}${i}`, stroke: colours[i - 1], width: 1.5 });
  const data = [[]];
  for (let i = 0; i < count; ++i) data.push([]);
  const size = () => ({ width: Math.max(240, element.clientWidth - 8), height: 180 });
  // Time runs along the bottom, up to now: the last minute, or while the first minute fills, the
  // time since the first reading (at least ten seconds), so the lines use the width from the start.
  const scales = {
    x: {
      time: true,
      range: (u) => {
        const now = Date.now() / 1000;
        const first = u.data[0].length ? u.data[0][0] : now;
        return [Math.max(now - WINDOW_S, Math.min(first, now - MIN_SPAN_S)), now];
      },
    },
  };
  const plot = new uPlot({ ...size(), series, scales, legend: { live: false } }, data, element);
  new ResizeObserver(() => plot.setSize(size())).observe(element);
  return { plot, data, stem, count, element, readings: 0 };
}

let sonarPlot, currentPlot, encoderPlot;

function addToPlot(p, reading, at) {
  p.data[0].push(at);
  let held = false;
  for (let i = 1; i <= p.count; ++i) {
    const value = reading[`${p.stem}${i}`];
    held ||= typeof value === "number";
    p.data[i].push(typeof value === "number" ? value : null);
  }
  while (p.data[0].length && p.data[0][0] < at - WINDOW_S) for (const column of p.data) column.shift();
  p.plot.setData(p.data);
  if (held) p.element.dataset.readings = String(++p.readings); // readings that held the plot's fields
  $("plot-hint").hidden = true;
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

// Sound ------------------------------------------------------------------------------------------
// A recording is every voice segment between Start and Stop, played as one WAV file.

let recording = null; // PCM chunks while recording, else null

function wavSamples(payload) {
  // The bridge's WAV files: "RIFF" header, then the chunks; the samples are the "data" chunk's.
  const bytes = new Uint8Array(payload);
  const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
  for (let at = 12; at + 8 <= bytes.length;) {
    const size = view.getUint32(at + 4, true);
    if (String.fromCharCode(...bytes.subarray(at, at + 4)) === "data") return bytes.subarray(at + 8, at + 8 + size);
    at += 8 + size + (size & 1);
  }
  return new Uint8Array(0);
}

function wavFile(chunks) {
  const length = chunks.reduce((n, c) => n + c.length, 0);
  const out = new Uint8Array(44 + length);
  const view = new DataView(out.buffer);
  const text = (at, s) => [...s].forEach((ch, i) => (out[at + i] = ch.charCodeAt(0)));
  text(0, "RIFF"); view.setUint32(4, 36 + length, true); text(8, "WAVEfmt ");
  view.setUint32(16, 16, true); view.setUint16(20, 1, true); view.setUint16(22, 1, true);
  view.setUint32(24, 8000, true); view.setUint32(28, 16000, true); view.setUint16(32, 2, true);
  view.setUint16(34, 16, true); text(36, "data"); view.setUint32(40, length, true);
  let at = 44;
  for (const c of chunks) out.set(c, at), (at += c.length);
  return out;
}

function onVoice(payload) {
  if (recording) {
    recording.push(wavSamples(payload));
    const seconds = recording.reduce((n, c) => n + c.length, 0) / 16000;
    $("record-info").textContent = `recording: ${seconds.toFixed(1)} s`;
  } else {
    showMedia($("voice"), payload, "audio/wav");
  }
}

// Camera -----------------------------------------------------------------------------------------
// Live: a picture asked for at the chosen rate, the next one once the last has come (or after a
// while without it).

const pictureTimes = [];
let livePicture = null; // resolves when a picture arrives

function onPicture(payload) {
  showMedia($("camera"), payload, "image/jpeg");
  const now = Date.now();
  pictureTimes.push(now);
  while (pictureTimes.length && pictureTimes[0] < now - RATE_WINDOW_MS) pictureTimes.shift();
  if ($("camera-live").checked)
    $("camera-rate-seen").textContent = `${(pictureTimes.length * 1000 / RATE_WINDOW_MS).toFixed(1)} a second`;
  if (livePicture) livePicture();
}

async function liveCamera() {
  while ($("camera-live").checked) {
    const started = Date.now();
    const arrived = new Promise((resolve) => (livePicture = resolve));
    call("TakePhoto").catch(() => {});
    await Promise.race([arrived, new Promise((r) => setTimeout(r, 2000))]);
    livePicture = null;
    const wait = 1000 / Number($("camera-rate").value) - (Date.now() - started);
    if (wait > 0) await new Promise((r) => setTimeout(r, wait));
  }
  $("camera-rate-seen").textContent = "";
}

// Messages ---------------------------------------------------------------------------------------

function onMessage(topic, payload) {
  const sub = topic.slice(root.length);
  if (sub === "link") {
    try {
      chain.link = String(JSON.parse(new TextDecoder().decode(payload)).state ?? "unknown");
    } catch {
      chain.link = "unknown";
    }
    return showChain();
  }
  if (sub.startsWith("sensors/")) {
    let reading;
    try {
      reading = JSON.parse(new TextDecoder().decode(payload));
    } catch {
      return;
    }
    readingTimes.push(Date.now());
    const at = Date.now() / 1000;
    const kind = sub.slice("sensors/".length);
    const table = $(kind);
    if (table) showReading(table, reading);
    if (kind === "standard") addToPlot(sonarPlot, reading, at);
    if (kind === "motor") {
      addToPlot(currentPlot, reading, at);
      addToPlot(encoderPlot, reading, at);
    }
    return;
  }
  if (sub === "camera") return onPicture(payload);
  if (sub === "camera/info") {
    try {
      const info = JSON.parse(new TextDecoder().decode(payload));
      $("camera-info").textContent = `picture ${info.sequence}, ${info.width} × ${info.height}, ${info.bytes} bytes`;
    } catch {
      /* a picture without its caption */
    }
    return;
  }
  if (sub === "voice") return onVoice(payload);
  if (sub.startsWith("reply/")) {
    const id = sub.slice("reply/".length);
    const waiting = pending.get(id);
    if (!waiting) return;
    pending.delete(id);
    clearTimeout(waiting.timer);
    try {
      waiting.resolve(JSON.parse(new TextDecoder().decode(payload)));
    } catch (e) {
      waiting.reject(e);
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
      reject(new Error(`${method}: no reply (is the bridge running?)`));
    }, CALL_TIMEOUT_MS);
    pending.set(id, { resolve, reject, timer });
    client.publish(callTopic, JSON.stringify({ id, method, args }), { qos: 1 }, (error) => {
      if (!error) return;
      pending.delete(id);
      clearTimeout(timer);
      reject(new Error(`${method}: this user may not command the robot`));
    });
  });
}

// Calls one method after another, stopping at the first error; shows how the last one went.
async function run(...calls) {
  let method = "";
  try {
    for (const [name, args = []] of calls) {
      method = name;
      const reply = await call(name, args);
      if (reply.error) return setReply(`${name}: ${reply.error.message}`, true);
      if (calls.length === 1 && reply.result !== null) return setReply(`${name} = ${reply.result}`);
    }
    setReply(calls.length === 1 ? method : `${calls[0][0]} … ${method}: done`);
  } catch (e) {
    setReply(e.message, true);
  }
}

// The robot stops as a program's stop does (the control's StopMotors): PWM and velocity 0 on every
// motor, then every motor and servo disabled.
function stopEverything() {
  $("motor-pwm").value = "0";
  $("motor-pwm-value").textContent = "0";
  const calls = [["DcMotorPwmNonTimeCtrAll", [0, 0, 0, 0, 0, 0]], ["DcMotorVelocityNonTimeCtrAll", [0, 0, 0, 0, 0, 0]]];
  for (let c = 0; c < 6; ++c) calls.push(["DisableDcMotor", [c]]);
  for (let c = 0; c < 6; ++c) calls.push(["DisableServo", [c]]);
  return run(...calls);
}

// Whether this user may command the robot: a harmless call, which the broker refuses to a viewer.
function probeRole() {
  mayCommand = false;
  updateControls();
  call("test").then(() => {
    mayCommand = true;
    $("role-note").hidden = true;
    updateControls();
  }, (e) => {
    $("role-note").hidden = !/may not command/.test(e.message);
  });
}

// Connecting -------------------------------------------------------------------------------------

function connect(broker, robot, user, password) {
  if (client) client.end(true);
  root = `talvenor/${robot}/`;
  callTopic = `${root}call/${user}`;
  $("robot-name").textContent = robot;
  setStatus(`connecting to ${broker} …`);
  chain.broker = "connecting";
  chain.link = "unknown";
  showChain();
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
    setReply("");
    chain.broker = "up";
    showChain();
    client.subscribe(`${root}#`, { qos: 1 });
    probeRole();
  });
  client.on("close", () => {
    chain.broker = "down";
    showChain();
    updateControls();
  });
  client.on("error", (e) => setStatus(`broker: ${e.message}`, true));
  client.on("message", onMessage);
}

function setUp() {
  const params = new URLSearchParams(location.search);
  const defaultBroker = location.protocol.startsWith("http") ? `ws://${location.host}` : "ws://127.0.0.1:9001";
  $("broker").value = params.get("broker") ?? defaultBroker;
  $("robot").value = params.get("robot") ?? "";
  $("user").value = params.get("user") ?? "";
  $("password").value = params.get("password") ?? "";
  // Channels counted from 0, as the control and its programs count them.
  for (const id of ["motor-channel", "servo-channel"])
    for (let c = 0; c < 6; ++c) $(id).add(new Option(String(c), String(c)));
  sonarPlot = makePlot($("plot-sonar"), 6, "sonar");
  currentPlot = makePlot($("plot-current"), 6, "current");
  encoderPlot = makePlot($("plot-encoder"), 2, "encoder_speed");
  updateControls();
  showChain();

  $("login").addEventListener("submit", (e) => {
    e.preventDefault();
    connect($("broker").value, $("robot").value, $("user").value, $("password").value);
  });
  $("motor-pwm").addEventListener("input", () => ($("motor-pwm-value").textContent = $("motor-pwm").value));
  $("servo-position").addEventListener("input",
    () => ($("servo-position-value").textContent = $("servo-position").value));
  $("take-photo").addEventListener("click", () => run(["TakePhoto"]));
  $("camera-live").addEventListener("change", () => $("camera-live").checked && liveCamera());
  $("sensors-on").addEventListener("click", () => run(["EnableAllSensorSending"]));
  $("sensors-off").addEventListener("click", () => run(["DisableAllSensorSending"]));
  $("motor-apply").addEventListener("click", () => {
    const channel = Number($("motor-channel").value);
    run(["EnableDcMotor", [channel]], ["DcMotorPwmNonTimeCtr", [channel, Number($("motor-pwm").value)]]);
  });
  $("stop-all").addEventListener("click", stopEverything);
  $("servo-apply").addEventListener("click", () => {
    const channel = Number($("servo-channel").value);
    run(["EnableServo", [channel]], ["servoNonTimeCtr", [channel, Number($("servo-position").value)]]);
  });
  $("sound-play").addEventListener("click", () => run(["PlayAudioFile", [$("sound-file").value]]));
  $("sound-stop").addEventListener("click", () => run(["StopAudioPlay"]));
  $("record-start").addEventListener("click", () => {
    recording = [];
    $("record-info").textContent = "recording …";
    run(["StartRecord", [1]]);
  });
  $("record-stop").addEventListener("click", async () => {
    await run(["StopRecord"]);
    if (!recording) return;
    const chunks = recording;
    recording = null;
    const seconds = chunks.reduce((n, c) => n + c.length, 0) / 16000;
    $("record-info").textContent = `recorded ${seconds.toFixed(1)} s`;
    showMedia($("voice"), wavFile(chunks), "audio/wav");
  });

  if ($("robot").value && $("user").value)
    connect($("broker").value, $("robot").value, $("user").value, $("password").value);
  // ?live=1: the camera starts live as soon as this user may command it.
  if (params.get("live") === "1") {
    const start = setInterval(() => {
      if ($("camera-live").disabled) return;
      clearInterval(start);
      $("camera-live").checked = true;
      liveCamera();
    }, 200);
  }
}

setUp();
