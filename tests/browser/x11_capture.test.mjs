// The whole way through on the X11 backend: the reviewer page in Debian's Chromium, in a window of the X
// session, shares a window of the X test app or a monitor, hands the label Chromium gave the track to the
// real helper and drives the app, whose own record of events is what is checked. Skipped without an X session.
import assert from "node:assert/strict";
import { after, before, describe, it } from "node:test";

import { awaitMessage, closeBrowser, launchHeadedBrowser, openPage, serveWeb, startHelper } from "./harness.mjs";
import { startXTestApp, surfacePoint, waitUntil, xAtom, xDisplay } from "./harness.mjs";

// The first event of the app since it had printed `mark` of them that is `what` and matches.
function awaitAppEvent(app, mark, what, match = () => true) {
  return waitUntil(`${what} from ${app.name}`, () => {
    if (app.exited) throw new Error(`${app.name} ended: ${app.stderr}`);
    return app.events().slice(mark).find((e) => e.event === what && match(e));
  });
}

// One CSS pixel of the page's 640-pixel surface is at most a pixel and a half of a monitor.
function assertAt(event, expected, what = event.event) {
  const near = Math.abs(event.x - expected.x) <= 2 && Math.abs(event.y - expected.y) <= 2;
  assert.ok(near, `${what} at (${event.x}, ${event.y}), expected about (${expected.x}, ${expected.y})`);
}

// The colour (0xRRGGBB) the root window shows at a point of the screen, as composited; the app reads it.
async function pixel(app, { x, y }) {
  const mark = app.events().length;
  app.send(`pixel ${Math.round(x)} ${Math.round(y)}`);
  return (await awaitAppEvent(app, mark, "pixel")).rgb;
}

// Into `session`: the helper on the X11 backend and the reviewer page in a headed Chromium that shares
// `captureSource` (no picker), control granted; like a real page, it asks for a surface in a user gesture and
// sends the track's label. `session.stops` ends what was started, newest first, even after a failed start.
async function share(session, captureSource) {
  const stops = (session.stops = []);
  const helper = (session.helper = await startHelper({ args: ["--backend", "x11"] }));
  stops.unshift(() => helper.stop());
  const web = await serveWeb("127.0.0.1");
  stops.unshift(() => web.stop());
  const browser = await launchHeadedBrowser({ captureSource });
  stops.unshift(() => closeBrowser(browser));
  const page = (session.page = await openPage(browser, `http://127.0.0.1:${web.port}`, helper.port));
  await awaitMessage(page, { type: "hello" });
  session.label = await page.evaluate(async () => {
    const stream = await navigator.mediaDevices.getDisplayMedia({ video: true });
    document.getElementById("label").value = stream.getVideoTracks()[0].label;
    document.getElementById("send-target").click();
    return stream.getVideoTracks()[0].label;
  });
  session.target = await awaitMessage(page, { type: "target", streamIndex: 1 });
  await page.click("#grant");
  await awaitMessage(page, { type: "state", streamIndex: 1, allowed: true });
  await page.locator("#surface").scrollIntoViewIfNeeded();
}

describe("the reviewer page driving a shared X window", { skip: !xDisplay() && "DISPLAY is not set" }, () => {
  const [session, screen] = [{ stops: [] }, { stops: [] }];
  let app, page, cover;
  before(async () => {
    app = await startXTestApp({ title: "Velmora shared window" }); // 400x300 at 100,100
    await share(session, "Velmora shared window");
    page = session.page;
  });
  after(async () => {
    for (const stop of [...screen.stops, ...session.stops, () => cover?.stop(), () => app?.stop()]) await stop();
  });
  // Where a fraction of the surface is in the window's own pixels, and on the screen (as the app last said).
  const aim = (fx, fy) => ({ x: fx * 400, y: fy * 300 });
  const origin = () => app.events().findLast((e) => e.event === "configure");
  const onScreen = (fx, fy) => ({ x: origin().x + fx * 400, y: origin().y + fy * 300 });
  const move = async (x, y) => {
    const mark = app.events().length;
    app.send(`move ${x} ${y}`);
    await awaitAppEvent(app, mark, "configure", (e) => e.x >= x);
  };
  // Clicks a fraction of the surface on page `on`; the app's window must get the press at `expected`.
  const click = async (on, fx, fy, expected = aim(fx, fy), what) => {
    const [mark, p] = [app.events().length, await surfacePoint(on, fx, fy)];
    await on.mouse.click(p.x, p.y);
    assertAt(await awaitAppEvent(app, mark, "press", (e) => e.button === 1), expected, what);
    return mark;
  };

  it("names the shared window's application by its label, clicks where aimed also after it moved, types", async () => {
    // Chromium names a window by its client window's id.
    assert.equal(session.label, `window:${app.window}:0`);
    assert.deepEqual(session.target, { type: "target", streamIndex: 1, ok: true, app: "VelmoraXTestApp" });
    assertAt(await awaitAppEvent(app, await click(page, 0.25, 0.5), "release"), aim(0.25, 0.5));
    await move(260, 380);
    assertAt(await awaitAppEvent(app, await click(page, 0.75, 0.2), "release"), aim(0.75, 0.2));
    const mark = app.events().length;
    await page.focus("#surface");
    // As from an input method: a key event with the character and no physical key (Playwright has US keys only).
    const cdp = await page.context().newCDPSession(page);
    for (const text of "aé€中")
      for (const type of ["keyDown", "keyUp"]) await cdp.send("Input.dispatchKeyEvent", { type, key: text, text });
    const typed = () => app.events().slice(mark).filter((e) => e.event === "key" && e.down);
    await waitUntil("aé€中 typed", () => typed().map((e) => e.text).join("") === "aé€中");
  });

  it("raises the shared window over one covering it before clicking, and draws ink that clicks pass", async () => {
    const { x, y } = onScreen(0, 0);
    cover = await startXTestApp({ title: "Velmora cover", geometry: `500x400+${x - 50}+${y - 50}`, color: "3050a0" });
    await waitUntil("the cover over the window", async () => (await pixel(app, onScreen(0.5, 0.5))) === 0x3050a0);
    await click(page, 0.5, 0.5);
    assert.deepEqual(cover.events().filter((e) => e.event === "press"), []);
    // From a second connection, so that the stroke stays unfinished, and unfaded, while the page's own
    // pointer clicks through it. Control and ink belong to the helper, not to a connection.
    await page.evaluate(async (port) => {
      const socket = (window.inkSocket = new WebSocket(`ws://127.0.0.1:${port}`));
      await new Promise((resolve, reject) => Object.assign(socket, { onopen: resolve, onerror: reject }));
      const points = [{ x: 0.1, y: 0.5 }, { x: 0.9, y: 0.5 }];
      socket.send(JSON.stringify({ type: "stroke", streamIndex: 1, id: "e2e", points, color: "#ff2d55", width: 16 }));
    }, session.helper.port);
    const isInk = (rgb) => rgb >> 16 > 200 && ((rgb >> 8) & 255) < 120 && (rgb & 255) < 150;
    await waitUntil("ink over the window", async () => isInk(await pixel(app, onScreen(0.5, 0.5))));
    assert.equal(await pixel(app, onScreen(0.5, 0.8)), 0xffffff, "the window away from the stroke");
    await click(page, 0.5, 0.5, aim(0.5, 0.5), "press through the ink");
    await page.evaluate(() => window.inkSocket.send(JSON.stringify({ type: "clear", streamIndex: 1 })));
    await waitUntil("the ink to go", async () => (await pixel(app, onScreen(0.5, 0.5))) === 0xffffff);
  });

  it("turns the wheel a step, drags, and lets go of the button and a key held when control is withdrawn", async () => {
    const mark = app.events().length;
    const [from, to] = [await surfacePoint(page, 0.2, 0.2), await surfacePoint(page, 0.7, 0.8)];
    await page.mouse.move(from.x, from.y);
    await page.mouse.wheel(0, 120);
    await page.mouse.down();
    await page.mouse.move(to.x, to.y, { steps: 5 });
    await page.keyboard.down("b");
    const key = await awaitAppEvent(app, mark, "key", (e) => e.down && e.text === "b");
    await page.evaluate(() => document.getElementById("withdraw").click()); // without the mouse, which is held
    await awaitMessage(page, { type: "state", streamIndex: 1, allowed: false });
    await awaitAppEvent(app, mark, "key", (e) => !e.down && e.keycode === key.keycode);
    const release = await awaitAppEvent(app, mark, "release", (e) => e.button === 1);
    const events = app.events().slice(mark);
    const step = events.find((e) => e.event === "press" && e.button !== 1);
    const press = events.findIndex((e) => e.event === "press" && e.button === 1);
    const drags = events.slice(press).filter((e) => e.event === "motion" && e.state & 0x100); // button 1 held
    assert.ok(step?.button === 5 && press >= 0 && drags.length >= 3, JSON.stringify(events));
    for (const event of [step, events[press]]) assertAt(event, aim(0.2, 0.2));
    for (const event of [drags.at(-1), release]) assertAt(event, aim(0.7, 0.8));
  });

  // Chromium names a screen "Screen N" in the order the X server lists the monitors (scripts/x-session makes
  // two: the second, 960 wide at x 960, holds Chromium's window), with the monitor's name atom in the label.
  it("resolves a shared screen by its label and clicks the point of it the page aimed at", async () => {
    await move(1260, 880); // below Chromium's window
    await share(screen, "Screen 2");
    assert.equal(screen.label, `screen:${xAtom("VELMORA-RIGHT")}:0`);
    assert.deepEqual(screen.target, { type: "target", streamIndex: 1, ok: true, app: "VELMORA-RIGHT" });
    const { x, y } = onScreen(0, 0);
    await click(screen.page, (x + 120 - 960) / 960, (y + 90) / 1080, { x: 120, y: 90 });
  });
});
