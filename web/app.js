// The reviewer's side of the helper protocol, by hand: connect, name the shared surface, grant control,
// and drive or draw on a rectangle that stands for the surface. No framework and no build step, so the
// page can be opened from any static server on this machine.
"use strict";

(() => {
  const defaultPort = 47831;
  const inkFade = 2500; // ms; the helper fades finished strokes over the same span
  const logLimit = 500;
  const sentLimit = 2000;

  const $ = (id) => document.getElementById(id);
  const surface = $("surface");
  const inkCanvas = $("ink");
  const ink = inkCanvas.getContext("2d");

  // What tests and curious people can read from the console.
  const record = {
    received: [],
    sent: [],
    connection: "connecting",
  };
  window.velmora = record;

  function helperPort() {
    const text = new URLSearchParams(location.search).get("port");
    if (text === null || !/^\d{1,5}$/.test(text)) return defaultPort;
    const port = Number(text);
    return port >= 1 && port <= 65535 ? port : defaultPort;
  }

  const endpoint = `ws://127.0.0.1:${helperPort()}`;
  $("endpoint").textContent = endpoint;

  // ---- message log --------------------------------------------------------------------------------

  function logEntry(direction, text) {
    const list = $("messages");
    const item = document.createElement("li");
    item.dataset.direction = direction;
    item.textContent = text;
    list.append(item);
    while (list.childElementCount > logLimit) list.firstElementChild.remove();
    list.scrollTop = list.scrollHeight;
  }

  $("clear-log").addEventListener("click", () => $("messages").replaceChildren());

  // ---- connection ---------------------------------------------------------------------------------

  let socket = null;

  function setConnection(state, text) {
    record.connection = state;
    const badge = $("connection-state");
    badge.dataset.state = state;
    badge.textContent = text;
  }

  function connect() {
    if (socket) {
      socket.onopen = socket.onmessage = socket.onclose = socket.onerror = null;
      socket.close();
    }
    setConnection("connecting", "connecting…");
    let opened = false;
    const ws = new WebSocket(endpoint);
    socket = ws;
    ws.onopen = () => {
      opened = true;
      setConnection("open", "connected");
      logEntry("note", `connected to ${endpoint}`);
    };
    ws.onmessage = (event) => receive(event.data);
    ws.onclose = (event) => {
      if (socket !== ws) return;
      socket = null;
      releaseLocalState();
      if (opened) {
        setConnection("closed", `closed (code ${event.code})`);
        logEntry("note", `connection closed, code ${event.code}`);
      } else {
        // The browser does not say why; a refused origin and a helper that is not running look alike.
        setConnection("failed", "failed");
        logEntry("note", "could not connect: the helper is not running or refused this page's origin");
      }
    };
  }

  $("reconnect").addEventListener("click", connect);

  function send(message, { quiet = false } = {}) {
    if (!socket || socket.readyState !== WebSocket.OPEN) return false;
    const text = JSON.stringify(message);
    socket.send(text);
    record.sent.push(message);
    if (record.sent.length > sentLimit) record.sent.splice(0, record.sent.length - sentLimit);
    if (!quiet) logEntry("out", text);
    return true;
  }

  // ---- what the helper says -----------------------------------------------------------------------

  const helper = { version: null, trusted: null, dryRun: null };
  const streams = {
    1: { app: null, error: null, allowed: false, reason: null },
    2: { app: null, error: null, allowed: false, reason: null },
  };

  function receive(text) {
    logEntry("in", text);
    let message;
    try {
      message = JSON.parse(text);
    } catch {
      return;
    }
    record.received.push(message);
    if (message === null || typeof message !== "object") return;
    const stream = streams[message.streamIndex];
    switch (message.type) {
      case "hello":
        helper.version = message.version;
        helper.trusted = message.trusted;
        helper.dryRun = message.dryRun;
        break;
      case "trusted":
        helper.trusted = message.trusted;
        break;
      case "state":
        if (!stream) return;
        stream.allowed = message.allowed === true;
        stream.reason = typeof message.reason === "string" ? message.reason : null;
        break;
      case "target":
        if (!stream) return;
        stream.app = message.ok ? message.app : null;
        stream.error = message.ok ? null : message.error;
        if (!message.ok) stream.allowed = false;
        break;
      default:
        return;
    }
    showSummary();
  }

  const yesNo = (value) => (value === null ? "?" : value ? "yes" : "no");

  function showSummary() {
    $("helper-summary").textContent =
      helper.version === null
        ? "No greeting yet."
        : `Helper ${helper.version} · accessibility permission: ${yesNo(helper.trusted)} · ` +
          `dry run: ${yesNo(helper.dryRun)}`;
    $("stream-summary").textContent = [1, 2]
      .map((index) => {
        const s = streams[index];
        const shared = s.app !== null ? s.app : s.error !== null ? `error: ${s.error}` : "nothing shared";
        const control = s.allowed ? "controlled" : `not controlled${s.reason ? ` (${s.reason})` : ""}`;
        return `${index}: ${shared}, ${control}`;
      })
      .join(" · ");
  }

  // ---- stream, target and control ----------------------------------------------------------------

  function streamIndex() {
    return Number(document.querySelector('input[name="stream"]:checked').value);
  }

  function optionalNumber(input) {
    if (input.value.trim() === "" || !Number.isFinite(input.valueAsNumber)) return undefined;
    return input.valueAsNumber;
  }

  $("send-target").addEventListener("click", () => {
    const message = { type: "target", streamIndex: streamIndex(), label: $("label").value };
    const width = optionalNumber($("width"));
    const height = optionalNumber($("height"));
    if (width !== undefined) message.width = width;
    if (height !== undefined) message.height = height;
    send(message);
  });

  $("clear-target").addEventListener("click", () => {
    send({ type: "target", streamIndex: streamIndex(), label: "" });
    // The helper does not answer an empty label; the stream is simply no longer shared.
    const s = streams[streamIndex()];
    Object.assign(s, { app: null, error: null, allowed: false, reason: null });
    showSummary();
  });

  const allow = (allowed) => send({ type: "allow", streamIndex: streamIndex(), allowed });
  $("grant").addEventListener("click", () => allow(true));
  $("withdraw").addEventListener("click", () => allow(false));

  // ---- the surface --------------------------------------------------------------------------------

  function mode() {
    return document.querySelector('input[name="mode"]:checked').value;
  }

  for (const radio of document.querySelectorAll('input[name="mode"]')) {
    radio.addEventListener("change", () => {
      surface.dataset.mode = mode();
    });
  }

  // Where an event falls on the surface, as fractions from its left and top edges, clamped to it.
  function fractions(event) {
    const box = surface.getBoundingClientRect();
    const clamp = (v) => Math.min(1, Math.max(0, v));
    return {
      x: clamp((event.clientX - box.left - surface.clientLeft) / surface.clientWidth),
      y: clamp((event.clientY - box.top - surface.clientTop) / surface.clientHeight),
    };
  }

  function mods(event) {
    return { shift: event.shiftKey, alt: event.altKey, ctrl: event.ctrlKey, meta: event.metaKey };
  }

  function sendInput(input, event, options) {
    return send({ type: "input", streamIndex: streamIndex(), input, mods: mods(event) }, options);
  }

  const readout = $("pointer-readout");
  function showPointer(point) {
    readout.textContent = `${point.x.toFixed(3)}, ${point.y.toFixed(3)}`;
  }

  // Buttons pressed on the surface. Their release is sent wherever it happens, so the helper never keeps
  // a button held down because the pointer left the rectangle first.
  const pressed = new Set();

  function releaseLocalState() {
    pressed.clear();
    drawing = null;
  }

  surface.addEventListener("mousedown", (event) => {
    event.preventDefault();
    surface.focus({ preventScroll: true });
    const point = fractions(event);
    showPointer(point);
    if (mode() === "ink") {
      if (event.button === 0) startStroke(point);
      return;
    }
    pressed.add(event.button);
    const clicks = Math.min(3, Math.max(1, event.detail || 1));
    sendInput({ kind: "down", x: point.x, y: point.y, button: event.button, clicks }, event);
  });

  window.addEventListener("mouseup", (event) => {
    if (drawing && event.button === 0) {
      endStroke(fractions(event));
      return;
    }
    if (!pressed.delete(event.button)) return;
    const point = fractions(event);
    const clicks = Math.min(3, Math.max(1, event.detail || 1));
    sendInput({ kind: "up", x: point.x, y: point.y, button: event.button, clicks }, event);
  });

  window.addEventListener("mousemove", (event) => {
    const over = surface.contains(event.target);
    if (!over && pressed.size === 0 && !drawing) return;
    const point = fractions(event);
    showPointer(point);
    if (drawing) {
      extendStroke(point);
    } else if (mode() === "control") {
      sendInput({ kind: "move", x: point.x, y: point.y }, event, { quiet: true });
    }
  });

  surface.addEventListener(
    "wheel",
    (event) => {
      event.preventDefault();
      if (mode() !== "control") return;
      // The helper takes pixels; lines and pages are turned into pixels the way a browser scrolls them.
      let scale = 1;
      if (event.deltaMode === WheelEvent.DOM_DELTA_LINE) scale = 16;
      if (event.deltaMode === WheelEvent.DOM_DELTA_PAGE) scale = surface.clientHeight;
      const point = fractions(event);
      const dx = event.deltaX * scale;
      const dy = event.deltaY * scale;
      sendInput({ kind: "wheel", x: point.x, y: point.y, dx, dy }, event);
    },
    { passive: false },
  );

  surface.addEventListener("contextmenu", (event) => event.preventDefault());

  for (const type of ["keydown", "keyup"]) {
    surface.addEventListener(type, (event) => {
      if (mode() !== "control") return;
      // Keys belong to the shared surface while it has focus, Tab and shortcuts included.
      event.preventDefault();
      sendInput(
        { kind: "key", down: type === "keydown", key: event.key, code: event.code, repeat: event.repeat },
        event,
      );
    });
  }

  // ---- ink ----------------------------------------------------------------------------------------

  let drawing = null; // the stroke being drawn: { id, points, color, width, endedAt }
  const strokes = [];
  let strokeCount = 0;

  function strokeWidth() {
    const width = $("ink-width").valueAsNumber;
    return Number.isFinite(width) && width > 0 ? width : 4;
  }

  function startStroke(point) {
    strokeCount += 1;
    const stroke = {
      id: `${Date.now().toString(36)}-${strokeCount}`,
      points: [point],
      color: $("ink-color").value,
      width: strokeWidth(),
      endedAt: null,
    };
    drawing = stroke;
    strokes.push(stroke);
    send({
      type: "stroke",
      streamIndex: streamIndex(),
      id: stroke.id,
      points: [point],
      color: stroke.color,
      width: stroke.width,
    });
    requestDraw();
  }

  function extendStroke(point) {
    drawing.points.push(point);
    send({ type: "stroke", streamIndex: streamIndex(), id: drawing.id, points: [point] }, { quiet: true });
    requestDraw();
  }

  function endStroke(point) {
    const stroke = drawing;
    drawing = null;
    stroke.points.push(point);
    stroke.endedAt = performance.now();
    send({ type: "stroke", streamIndex: streamIndex(), id: stroke.id, points: [point], done: true });
    requestDraw();
  }

  $("clear-ink").addEventListener("click", () => {
    strokes.length = 0;
    drawing = null;
    send({ type: "clear", streamIndex: streamIndex() });
    requestDraw();
  });

  // The page's own copy of the ink, faded like the helper's, so the person sees what they drew.
  let drawRequested = false;
  function requestDraw() {
    if (drawRequested) return;
    drawRequested = true;
    requestAnimationFrame(drawInk);
  }

  function drawInk(now) {
    drawRequested = false;
    const w = inkCanvas.width;
    const h = inkCanvas.height;
    ink.clearRect(0, 0, w, h);
    for (let i = strokes.length - 1; i >= 0; i -= 1) {
      if (strokes[i].endedAt !== null && now - strokes[i].endedAt >= inkFade) strokes.splice(i, 1);
    }
    ink.lineCap = "round";
    ink.lineJoin = "round";
    for (const stroke of strokes) {
      ink.globalAlpha = stroke.endedAt === null ? 1 : Math.max(0, 1 - (now - stroke.endedAt) / inkFade);
      ink.strokeStyle = stroke.color;
      ink.fillStyle = stroke.color;
      // Widths are in points of a surface 1280 wide; the rectangle is narrower.
      ink.lineWidth = (stroke.width * w) / 1280;
      const [first, ...rest] = stroke.points;
      if (rest.length === 0) {
        ink.beginPath();
        ink.arc(first.x * w, first.y * h, ink.lineWidth / 2, 0, 2 * Math.PI);
        ink.fill();
        continue;
      }
      ink.beginPath();
      ink.moveTo(first.x * w, first.y * h);
      for (const p of rest) ink.lineTo(p.x * w, p.y * h);
      ink.stroke();
    }
    ink.globalAlpha = 1;
    if (strokes.some((s) => s.endedAt !== null)) requestDraw();
  }

  showSummary();
  connect();
})();
