// The reviewer test page in headless Chromium against the real helper on the sim desktop: the origin
// policy as a browser meets it, and the whole protocol from label to ink to the page going away.
import assert from "node:assert/strict";
import fs from "node:fs";
import path from "node:path";
import { after, before, describe, it } from "node:test";

import {
  artifactDir,
  awaitConnection,
  awaitInPage,
  awaitMessage,
  closeBrowser,
  launchBrowser,
  lastMenu,
  openPage,
  overlayImages,
  pngPixels,
  serveWeb,
  startHelper,
  surfacePoint,
  tracedEvents,
  velmTag,
  waitUntil,
} from "./harness.mjs";

// One display and the shared window 4242 of "Slides" alone on it, its application in front.
const slides = { x: 100, y: 120, width: 1200, height: 760 };
const scene = {
  trusted: true,
  frontmostPid: 501,
  displays: [{ id: 1, name: "Built-in Display", bounds: [0, 0, 1512, 982], pixels: [3024, 1964], main: true }],
  windows: [
    {
      id: 4242,
      pid: 501,
      owner: "Slides",
      bounds: [slides.x, slides.y, slides.width, slides.height],
      layer: 0,
      onScreen: true,
    },
  ],
};

// Where a fraction of the surface lands on the presenter's screen.
const onScreen = (fx, fy) => ({ x: slides.x + fx * slides.width, y: slides.y + fy * slides.height });

const eventType = {
  leftMouseDown: 1,
  leftMouseUp: 2,
  mouseMoved: 5,
  leftMouseDragged: 6,
  keyDown: 10,
  keyUp: 11,
  scrollWheel: 22,
};
const shiftFlag = 0x20000;

function assertAt(event, expected, what) {
  // The page measures in CSS pixels of a 640-pixel rectangle; one of them is under two points here.
  const slack = slides.width / 640;
  assert.ok(
    Math.abs(event.x - expected.x) <= slack && Math.abs(event.y - expected.y) <= slack,
    `${what} at (${event.x}, ${event.y}), expected about (${expected.x}, ${expected.y})`,
  );
}

async function clickSurface(page, fx, fy) {
  const p = await surfacePoint(page, fx, fy);
  await page.mouse.click(p.x, p.y);
}

describe("origin policy in a real browser", () => {
  let helper;
  let browser;
  const servers = [];

  before(async () => {
    helper = await startHelper({ scene });
    browser = await launchBrowser();
  });
  after(async () => {
    if (browser) await closeBrowser(browser);
    for (const server of servers) await server.stop();
    if (helper) await helper.stop();
  });

  for (const host of ["127.0.0.1", "localhost"]) {
    it(`admits the page served from http://${host} and greets it`, async () => {
      const server = await serveWeb("127.0.0.1");
      servers.push(server);
      const page = await openPage(browser, `http://${host}:${server.port}`, helper.port);
      await awaitConnection(page, "open");
      const hello = await awaitMessage(page, { type: "hello" });
      assert.deepEqual(hello, { type: "hello", version: "0.1.0", trusted: true, dryRun: false });
      assert.deepEqual(page.errors, []);
      await page.close();
    });
  }

  it("refuses the same page served from another loopback address", async () => {
    const server = await serveWeb("127.0.0.2");
    servers.push(server);
    const origin = `http://127.0.0.2:${server.port}`;
    const page = await openPage(browser, origin, helper.port);
    await awaitConnection(page, "failed");
    await helper.waitForStderr(`rejected connection from origin ${origin}\n`);
    assert.deepEqual(await page.evaluate(() => window.velmora.received), []);
    await page.close();
  });
});

describe("driving the sim desktop from the page", () => {
  let helper;
  let browser;
  let server;
  let page;
  let scratch; // a second page, for decoding PNGs with the browser's own decoder

  before(async () => {
    helper = await startHelper({ scene });
    browser = await launchBrowser();
    server = await serveWeb("127.0.0.1");
    scratch = await browser.newPage();
    page = await openPage(browser, `http://127.0.0.1:${server.port}`, helper.port);
    await awaitMessage(page, { type: "hello" });
  });
  after(async () => {
    if (browser) await closeBrowser(browser);
    if (server) await server.stop();
    if (helper) await helper.stop();
  });

  it("resolves a window label and reports a tab label's error", async () => {
    await page.fill("#label", "window:4242:0");
    await page.click("#send-target");
    assert.deepEqual(await awaitMessage(page, { type: "target", streamIndex: 1 }), {
      type: "target",
      streamIndex: 1,
      ok: true,
      app: "Slides",
    });

    await page.check('input[name="stream"][value="2"]');
    await page.fill("#label", "tab:12");
    await page.click("#send-target");
    const refused = await awaitMessage(page, { type: "target", streamIndex: 2 });
    assert.equal(refused.ok, false);
    assert.equal(refused.error, "Only app windows and displays can be controlled \u2014 not browser tabs.");
    await page.check('input[name="stream"][value="1"]');
  });

  it("grants control", async () => {
    await page.click("#grant");
    assert.deepEqual(await awaitMessage(page, { type: "state", streamIndex: 1 }), {
      type: "state",
      streamIndex: 1,
      allowed: true,
    });
    await waitUntil("the menu to offer taking control back", () => lastMenu(helper).includes("> Take back control"));
  });

  it("clicks where the page was clicked", async () => {
    await clickSurface(page, 0.25, 0.5);
    const up = await waitUntil("the click's release", () =>
      tracedEvents(helper).find((e) => e.type === eventType.leftMouseUp),
    );
    const down = tracedEvents(helper).find((e) => e.type === eventType.leftMouseDown);
    assertAt(down, onScreen(0.25, 0.5), "press");
    assertAt(up, onScreen(0.25, 0.5), "release");
    assert.equal(down.button, 0);
    assert.equal(down.clickState, 1);
  });

  it("drags along the path of the page's drag", async () => {
    const from = await surfacePoint(page, 0.1, 0.1);
    const to = await surfacePoint(page, 0.6, 0.7);
    const before = tracedEvents(helper).length;
    await page.mouse.move(from.x, from.y);
    await page.mouse.down();
    await page.mouse.move(to.x, to.y, { steps: 5 });
    await page.mouse.up();
    const events = await waitUntil("the drag's release", () => {
      const fresh = tracedEvents(helper).slice(before);
      return fresh.some((e) => e.type === eventType.leftMouseUp) && fresh;
    });
    const kinds = events.map((e) => e.type).filter((t) => t !== eventType.mouseMoved);
    assert.equal(kinds[0], eventType.leftMouseDown);
    assert.equal(kinds.at(-1), eventType.leftMouseUp);
    const drags = events.filter((e) => e.type === eventType.leftMouseDragged);
    assert.ok(drags.length >= 3, `${drags.length} drag events`);
    assertAt(events.find((e) => e.type === eventType.leftMouseDown), onScreen(0.1, 0.1), "drag start");
    assertAt(drags.at(-1), onScreen(0.6, 0.7), "last drag");
    assertAt(events.at(-1), onScreen(0.6, 0.7), "drag end");
  });

  it("types into the surface while it has focus, with modifiers", async () => {
    const before = tracedEvents(helper).length;
    await page.focus("#surface");
    await page.keyboard.press("KeyA");
    await page.keyboard.press("Shift+KeyB");
    const keys = await waitUntil("four key events", () => {
      const fresh = tracedEvents(helper)
        .slice(before)
        .filter((e) => e.type === eventType.keyDown || e.type === eventType.keyUp);
      return fresh.length >= 4 && fresh;
    });
    // Shift itself travels only as a flag.
    assert.deepEqual(
      keys.map((e) => [e.type, e.keyCode, e.keyDown, e.text ?? null, e.flags]),
      [
        [eventType.keyDown, 0, true, "a", 0],
        [eventType.keyUp, 0, false, "a", 0],
        [eventType.keyDown, 11, true, "B", shiftFlag],
        [eventType.keyUp, 11, false, "B", shiftFlag],
      ],
    );
  });

  it("scrolls with the wheel over the surface", async () => {
    const p = await surfacePoint(page, 0.5, 0.5);
    await page.mouse.move(p.x, p.y);
    await page.mouse.wheel(0, 120);
    const scroll = await waitUntil("a scroll event", () =>
      tracedEvents(helper).find((e) => e.type === eventType.scrollWheel),
    );
    assert.equal(scroll.wheel1, -120);
    assert.equal(scroll.wheel2, 0);
    assertAt(scroll, onScreen(0.5, 0.5), "scroll");
  });

  it("tags every posted event", () => {
    const events = tracedEvents(helper);
    assert.ok(events.length > 0);
    for (const event of events) assert.equal(event.userData, velmTag, JSON.stringify(event));
  });

  it("draws ink on the overlay where the page drew it", async () => {
    await page.check('input[name="mode"][value="ink"]');
    const posted = tracedEvents(helper).length;
    const from = await surfacePoint(page, 0.2, 0.3);
    const to = await surfacePoint(page, 0.5, 0.3);
    await page.mouse.move(from.x, from.y);
    await page.mouse.down();
    await page.mouse.move(to.x, to.y, { steps: 10 });
    // Still held, so the stroke is not fading while it is looked at.
    const image = await waitUntil("the overlay image", () => overlayImages(helper)[0]);
    const probes = [
      { x: 0.2, y: 0.3 },
      { x: 0.35, y: 0.3 },
      { x: 0.5, y: 0.3 },
      { x: 0.35, y: 0.7 }, // well away from the stroke
    ];
    const shown = await waitUntil("ink along the stroke", async () => {
      if (!fs.existsSync(image)) return false;
      const result = await pngPixels(scratch, image, probes);
      return result.pixels.slice(0, 3).every(([, , , alpha]) => alpha > 128) && result;
    });
    assert.equal(shown.width, slides.width);
    assert.equal(shown.height, slides.height);
    const [r, g, b] = shown.pixels[1];
    assert.ok(r > 200 && g < 120 && b < 150, `ink colour ${shown.pixels[1]}, expected the page's #ff2d55`);
    assert.equal(shown.pixels[3][3], 0, "no ink away from the stroke");
    fs.mkdirSync(artifactDir, { recursive: true });
    fs.copyFileSync(image, path.join(artifactDir, "overlay.png"));

    await page.mouse.up();
    const sent = await page.evaluate(() => window.velmora.sent.filter((m) => m.type === "stroke"));
    assert.ok(sent.length >= 3);
    assert.equal(new Set(sent.map((m) => m.id)).size, 1, "one stroke id");
    assert.equal(sent[0].color, "#ff2d55");
    assert.equal(sent.at(-1).done, true);
    assert.equal(tracedEvents(helper).length, posted, "drawing ink posts no input");
    // Finished ink fades, after which the overlay is hidden and its image goes.
    await waitUntil("the finished stroke to fade", () => overlayImages(helper).length === 0, 15_000);
  });

  it("clears ink that is still being drawn", async () => {
    const from = await surfacePoint(page, 0.3, 0.8);
    const to = await surfacePoint(page, 0.7, 0.8);
    await page.mouse.move(from.x, from.y);
    await page.mouse.down();
    await page.mouse.move(to.x, to.y, { steps: 5 });
    await waitUntil("the overlay image", () => overlayImages(helper).length === 1);
    // From the keyboard, so the stroke is never finished and only the clear can take it away.
    await page.focus("#clear-ink");
    await page.keyboard.press("Enter");
    await waitUntil("the ink to go", () => overlayImages(helper).length === 0);
    await page.mouse.up();
    const last = await page.evaluate(() => window.velmora.sent.at(-1));
    assert.deepEqual(last, { type: "clear", streamIndex: 1 });
  });

  it("hears the presenter take back control", async () => {
    helper.process.stdin.write("Take back control\n");
    const state = await awaitMessage(page, { type: "state", streamIndex: 1, allowed: false });
    assert.equal(state.reason, "presenter took back control");
    await helper.waitForStderr("control revoked: presenter took back control");
    await awaitInPage(page, () =>
      document.getElementById("stream-summary").textContent.includes("presenter took back control"),
    );
  });

  it("loses control and ink when the page goes away", async () => {
    await page.check('input[name="mode"][value="control"]');
    await page.click("#grant");
    await awaitInPage(page, () =>
      window.velmora.received.filter((m) => m.type === "state" && m.allowed === true).length === 2,
    );
    await waitUntil("the menu to offer taking control back", () => lastMenu(helper).includes("> Take back control"));
    await page.check('input[name="mode"][value="ink"]');
    const from = await surfacePoint(page, 0.6, 0.6);
    const to = await surfacePoint(page, 0.8, 0.4);
    await page.mouse.move(from.x, from.y);
    await page.mouse.down();
    await page.mouse.move(to.x, to.y, { steps: 8 });
    await waitUntil("the overlay image", () => overlayImages(helper).length === 1);

    // A person can look at the page as the run left it.
    fs.mkdirSync(artifactDir, { recursive: true });
    await page.screenshot({ path: path.join(artifactDir, "test-page.png"), fullPage: true });
    assert.deepEqual(page.errors, []);

    await page.close();
    await helper.waitForStderr("control revoked: Velmora disconnected");
    await waitUntil("the ink to go", () => overlayImages(helper).length === 0);
    const menu = await waitUntil("the menu to show no page", () => {
      const last = lastMenu(helper);
      return last.includes("waiting for") && last;
    });
    assert.ok(!menu.includes("Take back control"), menu);
    assert.ok(!menu.includes("Screen one"), menu);
  });
});

describe("dry run from the page", () => {
  let helper;
  let browser;
  let server;

  before(async () => {
    helper = await startHelper({ scene: { ...scene, trusted: false }, dryRun: true });
    browser = await launchBrowser();
    server = await serveWeb("127.0.0.1");
  });
  after(async () => {
    if (browser) await closeBrowser(browser);
    if (server) await server.stop();
    if (helper) await helper.stop();
  });

  it("logs the events instead of posting them", async () => {
    const page = await openPage(browser, `http://127.0.0.1:${server.port}`, helper.port);
    const hello = await awaitMessage(page, { type: "hello" });
    assert.deepEqual(hello, { type: "hello", version: "0.1.0", trusted: false, dryRun: true });
    await page.fill("#label", "window:4242");
    await page.click("#send-target");
    await awaitMessage(page, { type: "target", streamIndex: 1, ok: true });
    await page.click("#grant");
    await awaitMessage(page, { type: "state", streamIndex: 1, allowed: true });

    await clickSurface(page, 0.5, 0.25);
    await helper.waitForStderr(/dry-run: left-up at /);
    const logged = [...helper.stderr.matchAll(/dry-run: (left-down|left-up) at \((-?\d+), (-?\d+)\) flags=(\d+)\n/g)];
    assert.deepEqual(
      logged.map((m) => [m[1], m[4]]),
      [
        ["left-down", "0"],
        ["left-up", "0"],
      ],
    );
    for (const m of logged) assertAt({ x: Number(m[2]), y: Number(m[3]) }, onScreen(0.5, 0.25), m[1]);
    assert.deepEqual(tracedEvents(helper), [], "nothing is posted in a dry run");
    assert.deepEqual(page.errors, []);
  });
});
