// What Debian's Chromium, in a window of the X session, names the surfaces it shares: the label of the
// video track getDisplayMedia gives for a window of the X test app and for each monitor. The helper
// resolves these labels, so they are checked here against the real browser. Then the whole way through on
// the X11 backend: the reviewer page in that Chromium shares a window or a screen, hands the real label to
// the real helper and drives the X test app, whose own record of events is what is checked. Skipped without
// an X session.
import assert from "node:assert/strict";
import { execFileSync } from "node:child_process";
import { after, before, describe, it } from "node:test";

import {
  awaitInPage,
  awaitMessage,
  closeBrowser,
  launchHeadedBrowser,
  openPage,
  serveHtml,
  serveWeb,
  startHelper,
  startXTestApp,
  surfacePoint,
  waitUntil,
  xAtom,
  xDisplay,
} from "./harness.mjs";

// Shares what Chromium picks when the button is pressed (getDisplayMedia wants a user gesture) and shows
// the track's label, or the error.
const capturePage = `<!doctype html>
<meta charset="utf-8">
<title>Velmora capture</title>
<button id="share">Share</button>
<output id="label"></output>
<script>
  document.getElementById("share").addEventListener("click", async () => {
    const out = document.getElementById("label");
    try {
      const stream = await navigator.mediaDevices.getDisplayMedia({ video: true });
      out.textContent = stream.getVideoTracks()[0].label;
      out.dataset.state = "shared";
    } catch (error) {
      out.textContent = String(error);
      out.dataset.state = "failed";
    }
  });
</script>`;

async function sharedLabel(browser, origin) {
  const page = await browser.newPage();
  await page.goto(origin);
  await page.click("#share");
  await page.waitForSelector("#label[data-state]");
  const label = await page.textContent("#label");
  await page.close();
  return label;
}

describe("labels of shared X surfaces in Chromium", { skip: !xDisplay() && "DISPLAY is not set" }, () => {
  let server;
  let app;
  before(async () => {
    server = await serveHtml(capturePage);
    app = await startXTestApp({ title: "Velmora capture target", geometry: "400x300+100+100" });
  });
  after(async () => {
    if (app) await app.stop();
    if (server) await server.stop();
  });

  // Chromium names a window by its title and a screen "Screen N", in the order the X server lists the
  // monitors (scripts/x-session makes two). The label holds the client window's id, or the monitor's
  // name atom, in decimal.
  const cases = [
    { source: "Velmora capture target", expected: () => `window:${app.window}:0` },
    { source: "Screen 1", expected: () => `screen:${xAtom("VELMORA-LEFT")}:0` },
    { source: "Screen 2", expected: () => `screen:${xAtom("VELMORA-RIGHT")}:0` },
  ];
  for (const { source, expected } of cases) {
    it(`labels the share picked as "${source}"`, async () => {
      const browser = await launchHeadedBrowser({ captureSource: source });
      try {
        assert.equal(await sharedLabel(browser, server.origin), expected());
      } finally {
        await closeBrowser(browser);
      }
    });
  }
});

// ---- the reviewer page on the X11 backend ------------------------------------------------------------

const sharedTitle = "Velmora shared window";
const appSize = { width: 400, height: 300 };
// One CSS pixel of the page's 640-pixel surface is at most a pixel and a half of a monitor.
const slack = 2;
const button1Mask = 0x100;
const appColor = [0xf0, 0xf0, 0xf0]; // the X test app's default background

const xEnv = () => ({ ...process.env, DISPLAY: xDisplay() });

// Pixels of the screen as composited, [r, g, b] at each point: the root window's image. No screenshot tool
// is installed; Xlib gives it through Python's ctypes.
const pixelScript = `
import ctypes, sys
x = ctypes.CDLL("libX11.so.6")
x.XOpenDisplay.restype = ctypes.c_void_p
x.XOpenDisplay.argtypes = [ctypes.c_char_p]
x.XDefaultRootWindow.restype = ctypes.c_ulong
x.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
x.XGetImage.restype = ctypes.c_void_p
x.XGetImage.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_int, ctypes.c_uint,
                        ctypes.c_uint, ctypes.c_ulong, ctypes.c_int]
x.XGetPixel.restype = ctypes.c_ulong
x.XGetPixel.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_int]
display = x.XOpenDisplay(None)
for px, py in zip(sys.argv[1::2], sys.argv[2::2]):
    image = x.XGetImage(display, x.XDefaultRootWindow(display), int(px), int(py), 1, 1, 0xffffffff, 2)
    pixel = x.XGetPixel(image, 0, 0)  # a ZPixmap of all planes, 0xRRGGBB at depth 24
    print(pixel >> 16 & 255, pixel >> 8 & 255, pixel & 255)
`;
function rootPixels(points) {
  const args = points.flatMap(({ x, y }) => [String(Math.round(x)), String(Math.round(y))]);
  const out = execFileSync("python3", ["-c", pixelScript, ...args], { env: xEnv(), encoding: "utf8" });
  return out
    .trim()
    .split("\n")
    .map((line) => line.split(" ").map(Number));
}

// The managed windows, bottom first.
function stacking() {
  const out = execFileSync("xprop", ["-root", "_NET_CLIENT_LIST_STACKING"], { env: xEnv(), encoding: "utf8" });
  return [...out.matchAll(/0x[0-9a-f]+/g)].map((m) => Number(m[0]));
}

// Where the app's window is on the screen, from the last configure it reported.
function appOrigin(app) {
  const { x, y } = app.events().findLast((e) => e.event === "configure");
  return { x, y };
}

// The first event of the app since it had printed `mark` of them that is `what` and matches.
function awaitAppEvent(app, mark, what, match = () => true) {
  return waitUntil(`${what} from ${app.name}`, () => {
    if (app.exited) throw new Error(`${app.name} ended: ${app.stderr}`);
    return app.events().slice(mark).find((e) => e.event === what && match(e));
  });
}

function assertAt(event, expected, what) {
  assert.ok(
    Math.abs(event.x - expected.x) <= slack && Math.abs(event.y - expected.y) <= slack,
    `${what} at (${event.x}, ${event.y}), expected about (${expected.x}, ${expected.y})`,
  );
}

// The reviewer page names its surface by hand; this gives it what a real page does first: a button that
// asks Chromium for a surface (getDisplayMedia wants a user gesture) and sends the track's label.
async function shareSurface(page) {
  await page.evaluate(() => {
    const button = document.createElement("button");
    button.id = "share";
    button.textContent = "Share";
    button.addEventListener("click", async () => {
      try {
        const stream = await navigator.mediaDevices.getDisplayMedia({ video: true });
        window.velmora.shared = stream.getVideoTracks()[0].label;
        document.getElementById("label").value = window.velmora.shared;
        document.getElementById("send-target").click();
      } catch (error) {
        window.velmora.shared = String(error);
      }
    });
    document.body.prepend(button);
  });
  await page.click("#share");
  return (await awaitInPage(page, () => window.velmora.shared)).jsonValue();
}

// The helper on the X11 backend and the reviewer page in a headed Chromium that shared `captureSource`,
// with control granted; `target` is the helper's answer to the label.
async function reviewerSession(captureSource) {
  const session = { stop: [] };
  const started = (what, stop) => {
    session.stop.unshift(stop);
    return what;
  };
  session.close = async () => {
    for (const stop of session.stop) await stop();
  };
  try {
    session.helper = started(await startHelper({ args: ["--backend", "x11"] }), () => session.helper.stop());
    const web = started(await serveWeb("127.0.0.1"), () => web.stop());
    const browser = started(await launchHeadedBrowser({ captureSource }), () => closeBrowser(browser));
    const page = await openPage(browser, `http://127.0.0.1:${web.port}`, session.helper.port);
    session.page = page;
    await awaitMessage(page, { type: "hello" });
    session.label = await shareSurface(page);
    if (!/^(window|screen):/.test(session.label)) throw new Error(`Chromium shared nothing: ${session.label}`);
    session.target = await awaitMessage(page, { type: "target", streamIndex: 1 });
    await page.click("#grant");
    await awaitMessage(page, { type: "state", streamIndex: 1, allowed: true });
    await page.locator("#surface").scrollIntoViewIfNeeded();
    return session;
  } catch (error) {
    await session.close();
    throw error;
  }
}

async function clickSurface(page, fx, fy) {
  const p = await surfacePoint(page, fx, fy);
  await page.mouse.click(p.x, p.y);
}

describe("the reviewer page driving a shared X window", { skip: !xDisplay() && "DISPLAY is not set" }, () => {
  let app;
  let session;
  let page;
  before(async () => {
    app = await startXTestApp({ title: sharedTitle, geometry: `${appSize.width}x${appSize.height}+100+100` });
    session = await reviewerSession(sharedTitle);
    page = session.page;
  });
  after(async () => {
    if (session) await session.close();
    if (app) await app.stop();
  });

  // Where a fraction of the surface is in the window's own pixels.
  const aim = (fx, fy) => ({ x: fx * appSize.width, y: fy * appSize.height });

  it("names the application of the shared window", () => {
    assert.equal(session.label, `window:${app.window}:0`);
    assert.deepEqual(session.target, { type: "target", streamIndex: 1, ok: true, app: "VelmoraXTestApp" });
  });

  const clicks = [
    { name: "where the page clicked", fx: 0.25, fy: 0.5 },
    { name: "into the window after it moved", fx: 0.75, fy: 0.2, moveTo: { x: 260, y: 380 } },
  ];
  for (const { name, fx, fy, moveTo } of clicks) {
    it(`clicks ${name}`, async () => {
      if (moveTo) {
        const mark = app.events().length;
        app.send(`move ${moveTo.x} ${moveTo.y}`);
        await awaitAppEvent(app, mark, "configure", (e) => e.x >= moveTo.x && e.y >= moveTo.y);
      }
      const mark = app.events().length;
      await clickSurface(page, fx, fy);
      const press = await awaitAppEvent(app, mark, "press");
      const release = await awaitAppEvent(app, mark, "release");
      assert.equal(press.button, 1);
      assertAt(press, aim(fx, fy), "press");
      assertAt(release, aim(fx, fy), "release");
    });
  }

  it("drags with the first button held", async () => {
    const mark = app.events().length;
    const from = await surfacePoint(page, 0.2, 0.2);
    const to = await surfacePoint(page, 0.7, 0.8);
    await page.mouse.move(from.x, from.y);
    await page.mouse.down();
    await page.mouse.move(to.x, to.y, { steps: 5 });
    await page.mouse.up();
    await awaitAppEvent(app, mark, "release");
    const events = app.events().slice(mark);
    const press = events.findIndex((e) => e.event === "press");
    const release = events.findIndex((e) => e.event === "release");
    assert.ok(press >= 0 && press < release, JSON.stringify(events));
    assertAt(events[press], aim(0.2, 0.2), "press");
    const drags = events.slice(press, release).filter((e) => e.event === "motion" && e.state & button1Mask);
    assert.ok(drags.length >= 3, `${drags.length} motions with the button held`);
    assertAt(drags.at(-1), aim(0.7, 0.8), "last motion");
    assertAt(events[release], aim(0.7, 0.8), "release");
  });

  it("turns the wheel a step down", async () => {
    const mark = app.events().length;
    const p = await surfacePoint(page, 0.5, 0.5);
    await page.mouse.move(p.x, p.y);
    await page.mouse.wheel(0, 120);
    const step = await awaitAppEvent(app, mark, "press", (e) => e.button === 4 || e.button === 5);
    assert.equal(step.button, 5);
    assertAt(step, aim(0.5, 0.5), "wheel");
  });

  it("types characters that no key of the keyboard bears", async () => {
    const typed = "a\u00e9\u20ac\u4e2d";
    const mark = app.events().length;
    await page.focus("#surface");
    // Playwright knows only the keys of a US keyboard; the others are what a browser gets from an input
    // method or another layout: a key event with the character and no physical key.
    const cdp = await page.context().newCDPSession(page);
    for (const character of typed) {
      if (character === "a") {
        await page.keyboard.press("a");
        continue;
      }
      await cdp.send("Input.dispatchKeyEvent", { type: "keyDown", key: character, text: character });
      await cdp.send("Input.dispatchKeyEvent", { type: "keyUp", key: character });
    }
    const keys = await waitUntil("the characters typed", () => {
      const seen = app.events().slice(mark).filter((e) => e.event === "key");
      return seen.filter((e) => !e.down).length >= typed.length && seen;
    });
    assert.deepEqual(
      keys.filter((e) => e.down).map((e) => e.text),
      [...typed],
    );
    await cdp.detach();
  });

  it("raises the shared window over one that covers it before clicking", async () => {
    const at = appOrigin(app);
    const cover = await startXTestApp({
      title: "Velmora cover",
      geometry: `${appSize.width + 100}x${appSize.height + 100}+${at.x - 50}+${at.y - 50}`,
      windowClass: "VelmoraCover",
      color: "3050a0",
    });
    try {
      const above = (a, b) => stacking().indexOf(a) > stacking().indexOf(b);
      await waitUntil("the cover over the shared window", () => above(cover.window, app.window));
      const mark = app.events().length;
      await clickSurface(page, 0.5, 0.5);
      assertAt(await awaitAppEvent(app, mark, "press"), aim(0.5, 0.5), "press");
      assert.ok(above(app.window, cover.window), "the shared window raised over the cover");
      assert.deepEqual(
        cover.events().filter((e) => e.event === "press"),
        [],
      );
    } finally {
      await cover.stop();
    }
  });

  it("draws ink over the window and lets clicks through it", async () => {
    const at = appOrigin(app);
    const onScreen = (fx, fy) => ({ x: at.x + aim(fx, fy).x, y: at.y + aim(fx, fy).y });
    // From a second connection, so that the stroke stays unfinished, and unfaded, while the page's own
    // pointer clicks through it. Control and ink belong to the helper, not to a connection.
    await page.evaluate(async (port) => {
      const socket = new WebSocket(`ws://127.0.0.1:${port}`);
      await new Promise((resolve, reject) => {
        socket.onopen = resolve;
        socket.onerror = reject;
      });
      const points = [
        { x: 0.1, y: 0.5 },
        { x: 0.9, y: 0.5 },
      ];
      socket.send(JSON.stringify({ type: "stroke", streamIndex: 1, id: "e2e", points, color: "#ff2d55", width: 16 }));
      window.inkSocket = socket;
    }, session.helper.port);
    const isInk = ([r, g, b]) => r > 200 && g < 120 && b < 150;
    const isApp = (pixel) => pixel.every((v, i) => Math.abs(v - appColor[i]) <= 8);
    const probes = [onScreen(0.5, 0.5), onScreen(0.5, 0.8)];
    const [, away] = await waitUntil("ink over the window", () => {
      const pixels = rootPixels(probes);
      return isInk(pixels[0]) && pixels;
    });
    assert.ok(isApp(away), `${away} away from the stroke`);

    const mark = app.events().length;
    await clickSurface(page, 0.5, 0.5);
    assertAt(await awaitAppEvent(app, mark, "press"), aim(0.5, 0.5), "press through the ink");

    await page.evaluate(() => window.inkSocket.send(JSON.stringify({ type: "clear", streamIndex: 1 })));
    await waitUntil("the ink to go", () => isApp(rootPixels([onScreen(0.5, 0.5)])[0]));
  });

  it("lets go of a held button and key when control is withdrawn", async () => {
    const mark = app.events().length;
    const p = await surfacePoint(page, 0.5, 0.5);
    await page.mouse.move(p.x, p.y);
    await page.mouse.down();
    await page.keyboard.down("b");
    await awaitAppEvent(app, mark, "press", (e) => e.button === 1);
    const key = await awaitAppEvent(app, mark, "key", (e) => e.down && e.text === "b");
    // Without the mouse, which is held.
    await page.evaluate(() => document.getElementById("withdraw").click());
    await awaitMessage(page, { type: "state", streamIndex: 1, allowed: false });
    await awaitAppEvent(app, mark, "release", (e) => e.button === 1);
    await awaitAppEvent(app, mark, "key", (e) => !e.down && e.keycode === key.keycode);
    await page.mouse.up();
    await page.keyboard.up("b");
  });
});

describe("the reviewer page driving a shared X screen", { skip: !xDisplay() && "DISPLAY is not set" }, () => {
  let app;
  let session;
  before(async () => {
    app = await startXTestApp({ title: "Velmora on screen", geometry: "400x300+300+400" });
    session = await reviewerSession("Screen 1");
  });
  after(async () => {
    if (session) await session.close();
    if (app) await app.stop();
  });

  it("clicks the point of the screen the page aimed at", async () => {
    assert.equal(session.label, `screen:${xAtom("VELMORA-LEFT")}:0`);
    assert.deepEqual(session.target, { type: "target", streamIndex: 1, ok: true, app: "VELMORA-LEFT" });
    // The left monitor is 960 by 1080 at the origin; aimed at a point inside the app's window.
    const inside = { x: 120, y: 90 };
    const at = appOrigin(app);
    const mark = app.events().length;
    await clickSurface(session.page, (at.x + inside.x) / 960, (at.y + inside.y) / 1080);
    assertAt(await awaitAppEvent(app, mark, "press"), inside, "press");
  });
});
