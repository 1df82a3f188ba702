// What the browser tests drive: the real helper binary on a sim scene, the real scripts/serve-web, and
// Debian's Chromium through playwright-core. Everything listens on loopback addresses only.
import { execFileSync, spawn } from "node:child_process";
import fs from "node:fs";
import net from "node:net";
import os from "node:os";
import path from "node:path";
import { fileURLToPath } from "node:url";

import { chromium } from "playwright-core";

export const sourceDir = path.resolve(path.dirname(fileURLToPath(import.meta.url)), "..", "..");
export const helperBinary = process.env.VELMORA_HELPER_BINARY ?? path.join(sourceDir, "build", "velmora-helper");
export const artifactDir = process.env.VELMORA_ARTIFACT_DIR ?? path.join(sourceDir, "build", "browser-artifacts");
const xTestAppBinary = process.env.VELMORA_X_TEST_APP ?? path.join(path.dirname(helperBinary), "velmora-x-test-app");

// Awaits a condition by asking again on every turn of a short poll, failing with `what` after `timeout`.
export async function waitUntil(what, condition, timeout = 10_000) {
  const deadline = Date.now() + timeout;
  for (;;) {
    const value = await condition();
    if (value) return value;
    if (Date.now() > deadline) throw new Error(`timed out waiting for ${what}`);
    await new Promise((resolve) => setTimeout(resolve, 20));
  }
}

const jsonLines = (text) => text.split("\n").filter(Boolean).map((line) => JSON.parse(line));
const tempDir = (prefix) => fs.mkdtempSync(path.join(os.tmpdir(), `velmora-${prefix}-`));

const freePort = () =>
  new Promise((resolve, reject) => {
    const server = net.createServer().once("error", reject);
    server.listen(0, "127.0.0.1", () => server.close(resolve.bind(null, server.address().port)));
  });

// A child process whose output is collected as it comes, so that tests can await a line in it.
class Child {
  constructor(name, command, args, options = {}) {
    Object.assign(this, { name, stdout: "", stderr: "", exited: null });
    this.process = spawn(command, args, { stdio: ["pipe", "pipe", "pipe"], ...options });
    for (const out of ["stdout", "stderr"]) this.process[out].setEncoding("utf8").on("data", (t) => (this[out] += t));
    this.process.on("exit", (code, signal) => (this.exited = { code, signal }));
    this.process.on("error", (error) => (this.exited = { error }));
  }

  // Awaits `pattern` (a string or a regular expression) in what the process printed on `stream`.
  async waitFor(stream, pattern, timeout) {
    const check = () => {
      if (this.exited) throw new Error(`${this.name} ended (${JSON.stringify(this.exited)}):\n${this.stderr}`);
      return typeof pattern === "string" ? this[stream].includes(pattern) : pattern.test(this[stream]);
    };
    try {
      return await waitUntil(`${pattern} on ${stream} of ${this.name}`, check, timeout);
    } catch (error) {
      error.message += `; it printed:\n${this[stream].slice(-4000)}`;
      throw error;
    }
  }

  // Ends the process; fails when a sanitizer reported anything on its way (in a sanitized build).
  async stop() {
    if (!this.exited) {
      const ended = new Promise((resolve) => this.process.once("exit", resolve));
      this.process.kill("SIGTERM");
      await ended;
    }
    const report = /(Address|Leak|UndefinedBehavior)Sanitizer|runtime error:/.exec(this.stderr);
    if (report) throw new Error(`${this.name} reported a fault:\n${this.stderr.slice(report.index, report.index + 4000)}`);
  }
}

// The helper on a sim desktop described by `scene` (written to a scene file in a fresh directory, with the
// event trace and the overlay images beside it), or without a scene on whatever `args` choose, such as
// `["--backend", "x11"]`. `events()` reads the trace, `overlayImages()` the overlay images, `lastMenu()`
// the last block the terminal menu printed.
export async function startHelper({ scene, args = [] }) {
  const dir = tempDir("helper");
  const [trace, overlays, port] = [path.join(dir, "events.jsonl"), path.join(dir, "overlays"), await freePort()];
  fs.mkdirSync(overlays);
  if (scene) {
    const sceneFile = path.join(dir, "scene.json");
    fs.writeFileSync(sceneFile, JSON.stringify({ ...scene, eventTrace: trace, overlayImages: overlays }));
    args = [...args, "--sim-scene", sceneFile];
  }
  const helper = new Child("velmora-helper", helperBinary, ["--port", String(port), ...args]);
  Object.assign(helper, {
    port,
    events: () => (fs.existsSync(trace) ? jsonLines(fs.readFileSync(trace, "utf8")) : []),
    overlayImages: () => fs.readdirSync(overlays).filter((n) => n.endsWith(".png")).map((n) => path.join(overlays, n)),
    lastMenu: () => helper.stdout.split("[end]\n").filter((block) => block.includes("[menu]")).at(-1) ?? "",
  });
  await helper.waitFor("stderr", `listening on ws://127.0.0.1:${port}`);
  return helper;
}

// scripts/serve-web on `host`, on a free port of its choosing.
export async function serveWeb(host) {
  const server = new Child("serve-web", path.join(sourceDir, "scripts", "serve-web"), ["--host", host, "--port", "0"]);
  await server.waitFor("stdout", /http:\/\/\S+:\d+\//);
  server.port = Number(/:(\d+)\/\s*$/m.exec(server.stdout)[1]);
  return server;
}

async function launch(options, args = []) {
  const profile = tempDir("chromium");
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: "/usr/bin/chromium",
    ...options,
    args: ["--no-sandbox", "--disable-gpu", "--no-first-run", "--disable-background-networking",
      "--disable-component-update", "--disable-sync", ...args],
  });
  context.profile = profile;
  return context;
}

export const launchBrowser = () => launch({ headless: true, viewport: { width: 1280, height: 900 } }, ["--headless"]);

// Chromium in a window of the X session, not headless, on the right-hand monitor, clear of test windows
// placed on the left. When asked for a screen or window to share, it picks, without showing its picker,
// the source whose name is `captureSource`: a window's title, or a screen's name as the picker lists it.
export const launchHeadedBrowser = ({ captureSource }) =>
  launch({ headless: false, viewport: { width: 900, height: 700 }, env: { ...process.env, DISPLAY: xDisplay() } }, [
    "--ozone-platform=x11",
    "--window-position=960,0",
    `--auto-select-desktop-capture-source=${captureSource}`,
  ]);

export async function closeBrowser(context) {
  await context.close();
  fs.rmSync(context.profile, { recursive: true, force: true });
}

// The X session the X tests run in: $DISPLAY, or nothing when there is none. Without one the X tests are
// skipped, unless VELMORA_REQUIRE_X11=1 promised one (scripts/test does), which makes its absence a failure.
export function xDisplay() {
  const display = process.env.DISPLAY;
  if (!display && process.env.VELMORA_REQUIRE_X11 === "1") throw new Error("VELMORA_REQUIRE_X11=1 without DISPLAY");
  return display || null;
}

// The number of the atom `name` on the X session's display (a monitor's name is one), or null.
export function xAtom(name) {
  const [env, stdio] = [{ ...process.env, DISPLAY: xDisplay() }, ["ignore", "pipe", "ignore"]];
  const listed = execFileSync("xlsatoms", ["-name", name], { env, stdio, encoding: "utf8" });
  const match = /^(\d+)\t/.exec(listed);
  return match ? Number(match[1]) : null;
}

// The recording X test application (tests/support/apps/x_test_app.cpp) with a window titled `title`, filled
// with `color`: `events()` are the JSON lines it printed so far, `send` gives it a command ("move X Y",
// "iconify", or "pixel X Y", which prints the screen's colour there as an event "pixel"; it ends when its
// input does). Resolves once the window is mapped, with its id in `window`.
export async function startXTestApp({ title, geometry = "400x300+100+100", color = "ffffff" }) {
  const env = { ...process.env, DISPLAY: xDisplay() };
  const args = ["--title", title, "--geometry", geometry, "--color", color];
  const app = new Child("velmora-x-test-app", xTestAppBinary, args, { env });
  app.events = () => jsonLines(app.stdout.slice(0, app.stdout.lastIndexOf("\n") + 1));
  app.send = (command) => app.process.stdin.write(`${command}\n`);
  await app.waitFor("stdout", /"event":"ready","window":\d+}\n/);
  app.window = app.events().find((e) => e.event === "ready").window;
  return app;
}

// Opens the test page from `origin` aimed at the helper's port; page errors are kept for a final check.
export async function openPage(context, origin, helperPort) {
  const page = await context.newPage();
  page.errors = [];
  page.on("pageerror", (error) => page.errors.push(error));
  await page.goto(`${origin}/?port=${helperPort}`);
  return page;
}

// Waits poll on a timer: requestAnimationFrame, Playwright's default, stops in a page that is not in front.
export const awaitInPage = (page, predicate, arg) => page.waitForFunction(predicate, arg, { polling: 50 });

// The first received message that has every member of `fields`, once there is one.
export async function awaitMessage(page, fields) {
  const matches = (wanted) =>
    window.velmora.received.find((m) =>
      Object.keys(wanted).every((key) => JSON.stringify(m[key]) === JSON.stringify(wanted[key])),
    );
  return (await awaitInPage(page, matches, fields)).jsonValue();
}

// The page's own pointer position for a fraction of the surface rectangle, in viewport pixels.
export async function surfacePoint(page, fx, fy) {
  const box = await page.evaluate(() => {
    const surface = document.getElementById("surface");
    const r = surface.getBoundingClientRect();
    const [x, y] = [r.left + surface.clientLeft, r.top + surface.clientTop];
    return { x, y, w: surface.clientWidth, h: surface.clientHeight };
  });
  return { x: box.x + fx * box.w, y: box.y + fy * box.h };
}
