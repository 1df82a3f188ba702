// The whole way through on the X11 backend: the reviewer page in Debian's Chromium, in a window of the X
// session, shares a window of the X test app or a monitor, hands the label Chromium gave the track to the
// real helper and drives the app, whose own record of events is what is checked. Skipped without an X session.
import assert from "node:assert/strict";
import { after, before, describe, it } from "node:test";

import {
  awaitInPage,
  awaitMessage,
  closeBrowser,
  launchHeadedBrowser,
  openPage,
  serveWeb,
  startHelper,
  startXTestApp,
  surfacePoint,
  waitUntil,
  xAtom,
  xDisplay,
} from "./harness.mjs";

// One CSS pixel of the page's 640-pixel surface is at most a pixel and a half of a monitor.
const slack = 2;

// The first event of the app since it had printed `mark` of them that is `what` and matches.
function awaitAppEvent(app, mark, what, match = () => true) {
  return waitUntil(`${what} from ${app.name}`, () => {
    if (app.exited) throw new Error(`${app.name} ended: ${app.stderr}`);
    return app.events().slice(mark).find((e) => e.event === what && match(e));
  });
}

function assertAt(event, expected, what) {
  const near = Math.abs(event.x - expected.x) <= slack && Math.abs(event.y - expected.y) <= slack;
  assert.ok(near, `${what} at (${event.x}, ${event.y}), expected about (${expected.x}, ${expected.y})`);
}

// The colour (0xRRGGBB) the root window shows at a point of the screen, as composited; the app reads it.
async function pixel(app, { x, y }) {
  const mark = app.events().length;
  app.send(`pixel ${Math.round(x)} ${Math.round(y)}`);
  return (await awaitAppEvent(app, mark, "pixel")).rgb;
}

// The helper on the X11 backend and the reviewer page in a headed Chromium that shares `captureSource`
// (picked without its picker), with control granted. The page names its surface by hand; a button of ours
// does what a real page does first: asks Chromium for a surface (that wants a user gesture) and sends the
// track's label.
async function reviewerSession(captureSource) {
  const session = { stop: [] };
  session.close = async () => {
    for (const stop of session.stop.reverse()) await stop();
  };
  try {
    const helper = (session.helper = await startHelper({ args: ["--backend", "x11"] }));
    session.stop.push(() => helper.stop());
    const web = await serveWeb("127.0.0.1");
    session.stop.push(() => web.stop());
    const browser = await launchHeadedBrowser({ captureSource });
    session.stop.push(() => closeBrowser(browser));
    const page = (session.page = await openPage(browser, `http://127.0.0.1:${web.port}`, helper.port));
    await awaitMessage(page, { type: "hello" });
    await page.evaluate(() => {
      const button = document.body.insertBefore(document.createElement("button"), document.body.firstChild);
      button.id = "share";
      button.onclick = async () => {
        const stream = await navigator.mediaDevices.getDisplayMedia({ video: true }).catch(String);
        window.velmora.shared = typeof stream === "string" ? stream : stream.getVideoTracks()[0].label;
        document.getElementById("label").value = window.velmora.shared;
        document.getElementById("send-target").click();
      };
    });
    await page.click("#share");
    session.label = await (await awaitInPage(page, () => window.velmora.shared)).jsonValue();
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
  const title = "Velmora shared window";
  let app, session, page;
  before(async () => {
    app = await startXTestApp({ title, geometry: "400x300+100+100" });
    session = await reviewerSession(title);
    page = session.page;
  });
  after(async () => {
    await session?.close();
    await app?.stop();
  });
  // Where a fraction of the surface is in the window's own pixels, and on the screen.
  const aim = (fx, fy) => ({ x: fx * 400, y: fy * 300 });
  const onScreen = (fx, fy) => {
    const { x, y } = app.events().findLast((e) => e.event === "configure");
    return { x: x + fx * 400, y: y + fy * 300 };
  };

  it("names the application of the shared window by the label Chromium gave it", () => {
    // Chromium names a window by its client window's id.
    assert.equal(session.label, `window:${app.window}:0`);
    assert.deepEqual(session.target, { type: "target", streamIndex: 1, ok: true, app: "VelmoraXTestApp" });
  });

  for (const { name, fx, fy, moveTo } of [
    { name: "where the page clicked", fx: 0.25, fy: 0.5 },
    { name: "into the window after it moved", fx: 0.75, fy: 0.2, moveTo: { x: 260, y: 380 } },
  ]) {
    it(`clicks ${name}`, async () => {
      if (moveTo) {
        const mark = app.events().length;
        app.send(`move ${moveTo.x} ${moveTo.y}`);
        await awaitAppEvent(app, mark, "configure", (e) => e.x >= moveTo.x && e.y >= moveTo.y);
      }
      const mark = app.events().length;
      await clickSurface(page, fx, fy);
      const press = await awaitAppEvent(app, mark, "press");
      assert.equal(press.button, 1);
      assertAt(press, aim(fx, fy), "press");
      assertAt(await awaitAppEvent(app, mark, "release"), aim(fx, fy), "release");
    });
  }

  it("drags with the first button held, then turns the wheel a step down", async () => {
    const mark = app.events().length;
    const [from, to] = [await surfacePoint(page, 0.2, 0.2), await surfacePoint(page, 0.7, 0.8)];
    await page.mouse.move(from.x, from.y);
    await page.mouse.down();
    await page.mouse.move(to.x, to.y, { steps: 5 });
    await page.mouse.up();
    await page.mouse.wheel(0, 120);
    const step = await awaitAppEvent(app, mark, "press", (e) => e.button === 4 || e.button === 5);
    const events = app.events().slice(mark);
    const [press, release] = ["press", "release"].map((what) => events.findIndex((e) => e.event === what));
    assert.ok(press >= 0 && press < release, JSON.stringify(events));
    assertAt(events[press], aim(0.2, 0.2), "press");
    const drags = events.slice(press, release).filter((e) => e.event === "motion" && e.state & 0x100); // Button1Mask
    assert.ok(drags.length >= 3, `${drags.length} motions with the button held`);
    assertAt(drags.at(-1), aim(0.7, 0.8), "last motion");
    assertAt(events[release], aim(0.7, 0.8), "release");
    assert.equal(step.button, 5);
    assertAt(step, aim(0.7, 0.8), "wheel");
  });

  it("types characters that no key of the keyboard bears", async () => {
    const typed = "a\u00e9\u20ac\u4e2d";
    const mark = app.events().length;
    await page.focus("#surface");
    // What a browser gets from an input method or another layout: a key event with the character and no
    // physical key (Playwright's keyboard knows only the keys of a US keyboard).
    const cdp = await page.context().newCDPSession(page);
    for (const text of typed) {
      for (const type of ["keyDown", "keyUp"]) await cdp.send("Input.dispatchKeyEvent", { type, key: text, text });
    }
    const keys = await waitUntil("the characters typed", () => {
      const seen = app.events().slice(mark).filter((e) => e.event === "key");
      return seen.filter((e) => !e.down).length >= typed.length && seen;
    });
    assert.deepEqual(keys.filter((e) => e.down).map((e) => e.text), [...typed]);
    await cdp.detach();
  });

  it("raises the shared window over one that covers it before clicking", async () => {
    const { x, y } = onScreen(0, 0);
    const cover = await startXTestApp({ title: "Velmora cover", geometry: `500x400+${x - 50}+${y - 50}`, color: "3050a0" });
    try {
      await waitUntil("the cover over the shared window", async () => (await pixel(app, onScreen(0.5, 0.5))) === 0x3050a0);
      const mark = app.events().length;
      await clickSurface(page, 0.5, 0.5);
      assertAt(await awaitAppEvent(app, mark, "press"), aim(0.5, 0.5), "press");
      assert.deepEqual(cover.events().filter((e) => e.event === "press"), []);
    } finally {
      await cover.stop();
    }
  });

  it("draws ink over the window and lets clicks through it", async () => {
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
    const mark = app.events().length;
    await clickSurface(page, 0.5, 0.5);
    assertAt(await awaitAppEvent(app, mark, "press"), aim(0.5, 0.5), "press through the ink");
    await page.evaluate(() => window.inkSocket.send(JSON.stringify({ type: "clear", streamIndex: 1 })));
    await waitUntil("the ink to go", async () => (await pixel(app, onScreen(0.5, 0.5))) === 0xffffff);
  });

  it("lets go of a held button and key when control is withdrawn", async () => {
    const mark = app.events().length;
    const p = await surfacePoint(page, 0.5, 0.5);
    await page.mouse.move(p.x, p.y);
    await page.mouse.down();
    await page.keyboard.down("b");
    await awaitAppEvent(app, mark, "press", (e) => e.button === 1);
    const key = await awaitAppEvent(app, mark, "key", (e) => e.down && e.text === "b");
    await page.evaluate(() => document.getElementById("withdraw").click()); // without the mouse, which is held
    await awaitMessage(page, { type: "state", streamIndex: 1, allowed: false });
    await awaitAppEvent(app, mark, "release", (e) => e.button === 1);
    await awaitAppEvent(app, mark, "key", (e) => !e.down && e.keycode === key.keycode);
    await page.mouse.up();
    await page.keyboard.up("b");
  });
});

// Chromium names a screen "Screen N" in the order the X server lists the monitors (scripts/x-session makes
// two: the right-hand one, where Chromium's window is, 960 wide at x 960), and puts the monitor's name atom in
// the label.
describe("the reviewer page driving a shared X screen", { skip: !xDisplay() && "DISPLAY is not set" }, () => {
  it("clicks the point of the screen the page aimed at", async () => {
    // Below the Chromium window.
    const app = await startXTestApp({ title: "Velmora on Screen 2", geometry: "300x150+1260+880" });
    const session = await reviewerSession("Screen 2").catch(async (error) => {
      await app.stop();
      throw error;
    });
    try {
      assert.equal(session.label, `screen:${xAtom("VELMORA-RIGHT")}:0`);
      assert.deepEqual(session.target, { type: "target", streamIndex: 1, ok: true, app: "VELMORA-RIGHT" });
      const at = app.events().findLast((e) => e.event === "configure");
      const mark = app.events().length;
      await clickSurface(session.page, (at.x + 120 - 960) / 960, (at.y + 90) / 1080);
      assertAt(await awaitAppEvent(app, mark, "press"), { x: 120, y: 90 }, "press");
    } finally {
      await session.close();
      await app.stop();
    }
  });
});
