// The reviewer test page in headless Chromium against the real helper on the sim desktop: the origin
// policy as a browser meets it, and the whole protocol from label to ink to the page going away.
import assert from "node:assert/strict";
import fs from "node:fs";
import path from "node:path";
import { after, before, describe, it } from "node:test";

import { artifactDir, awaitInPage, awaitMessage, closeBrowser, launchBrowser, openPage } from "./harness.mjs";
import { serveWeb, startHelper, surfacePoint, waitUntil } from "./harness.mjs";

// One display and the shared window 4242 of "Slides" alone on it, its application in front.
const slides = { x: 100, y: 120, width: 1200, height: 760 };
const scene = {
  trusted: true,
  frontmostPid: 501,
  displays: [{ id: 1, name: "Built-in Display", bounds: [0, 0, 1512, 982], pixels: [3024, 1964], main: true }],
  windows: [{ id: 4242, pid: 501, owner: "Slides", bounds: Object.values(slides), layer: 0, onScreen: true }],
};
const type = { leftMouseDown: 1, leftMouseUp: 2, leftMouseDragged: 6, keyDown: 10, keyUp: 11, scrollWheel: 22 };

// Where a fraction of the surface lands on the presenter's screen; the page measures in CSS pixels of a
// 640-pixel rectangle, and one of them is under two points here.
function assertAt(event, fx, fy) {
  const [x, y] = [slides.x + fx * slides.width, slides.y + fy * slides.height];
  const near = Math.abs(event.x - x) <= slides.width / 640 && Math.abs(event.y - y) <= slides.width / 640;
  assert.ok(near, `${JSON.stringify(event)}, expected about (${x}, ${y})`);
}

// Presses at one fraction of the surface and moves to another in `steps`, leaving the button down.
async function press(page, [fx, fy], [tx, ty], steps) {
  const [from, to] = [await surfacePoint(page, fx, fy), await surfacePoint(page, tx, ty)];
  await page.mouse.move(from.x, from.y);
  await page.mouse.down();
  await page.mouse.move(to.x, to.y, { steps });
}

// The page is served from http://localhost: the origin a browser sends is admitted. Every other origin is
// the server tests' to decide.
describe("the test page in a real browser", () => {
  let helper, browser, server, page;
  before(async () => {
    [helper, browser, server] = [await startHelper({ scene }), await launchBrowser(), await serveWeb("127.0.0.1")];
    page = await openPage(browser, `http://localhost:${server.port}`, helper.port);
    const hello = { type: "hello", version: "0.1.0", trusted: true, dryRun: false };
    assert.deepEqual(await awaitMessage(page, { type: "hello" }), hello);
  });
  after(async () => {
    await closeBrowser(browser);
    await server.stop();
    await helper.stop();
  });
  const fresh = (before, ...types) => helper.events().slice(before).filter((e) => types.includes(e.type));

  it("resolves a window label, reports a tab label's error and grants control", async () => {
    await page.fill("#label", "window:4242:0");
    await page.click("#send-target");
    const resolved = { type: "target", streamIndex: 1, ok: true, app: "Slides" };
    assert.deepEqual(await awaitMessage(page, { type: "target", streamIndex: 1 }), resolved);
    await page.check('input[name="stream"][value="2"]');
    await page.fill("#label", "tab:12");
    await page.click("#send-target");
    const error = "Only app windows and displays can be controlled \u2014 not browser tabs.";
    const refused = { type: "target", streamIndex: 2, ok: false, error };
    assert.deepEqual(await awaitMessage(page, { type: "target", streamIndex: 2 }), refused);
    await page.check('input[name="stream"][value="1"]');
    await page.click("#grant");
    const granted = { type: "state", streamIndex: 1, allowed: true };
    assert.deepEqual(await awaitMessage(page, { type: "state", streamIndex: 1 }), granted);
  });

  it("presses, drags and releases along the path of the page's drag", async () => {
    const mark = helper.events().length;
    await press(page, [0.1, 0.1], [0.6, 0.7], 5);
    await page.mouse.up();
    const events = await waitUntil("the release", () => {
      const buttons = fresh(mark, type.leftMouseDown, type.leftMouseDragged, type.leftMouseUp);
      return buttons.at(-1)?.type === type.leftMouseUp && buttons;
    });
    const [down, drags, up] = [events[0], events.slice(1, -1), events.at(-1)];
    assert.deepEqual([down.type, down.button, down.clickState], [type.leftMouseDown, 0, 1]);
    assert.ok(drags.length >= 3 && drags.every((e) => e.type === type.leftMouseDragged), JSON.stringify(events));
    for (const [event, fx, fy] of [[down, 0.1, 0.1], [drags.at(-1), 0.6, 0.7], [up, 0.6, 0.7]]) assertAt(event, fx, fy);
  });

  it("types into the surface while it has focus, with modifiers, and scrolls with the wheel", async () => {
    const mark = helper.events().length;
    await page.focus("#surface");
    await page.keyboard.press("KeyA");
    await page.keyboard.press("Shift+KeyB");
    const keys = await waitUntil("four key events", () => {
      const seen = fresh(mark, type.keyDown, type.keyUp);
      return seen.length >= 4 && seen;
    });
    // Shift itself travels only as a flag.
    assert.deepEqual(keys.map((e) => [e.type, e.keyCode, e.keyDown, e.text ?? null, e.flags]), [
      [type.keyDown, 0, true, "a", 0],
      [type.keyUp, 0, false, "a", 0],
      [type.keyDown, 11, true, "B", 0x20000],
      [type.keyUp, 11, false, "B", 0x20000],
    ]);
    const p = await surfacePoint(page, 0.5, 0.5);
    await page.mouse.move(p.x, p.y);
    await page.mouse.wheel(0, 120);
    const scroll = await waitUntil("a scroll event", () => fresh(mark, type.scrollWheel)[0]);
    assert.deepEqual([scroll.wheel1, scroll.wheel2], [-120, 0]);
    assertAt(scroll, 0.5, 0.5);
    // Every posted event carries the tag "Velm", first letter in the top byte.
    for (const event of helper.events()) assert.equal(event.userData, 0x56656c6d, JSON.stringify(event));
  });

  // How ink looks is the ink tests' to decide; here the page's strokes reach the overlay, and a clear takes
  // away even a stroke still being drawn, which could not otherwise go while the button is held.
  it("draws ink on the overlay, posting no input, and clears ink that is still being drawn", async () => {
    await page.check('input[name="mode"][value="ink"]');
    const posted = helper.events().length;
    await press(page, [0.2, 0.3], [0.5, 0.3], 10);
    await waitUntil("the overlay image", () => helper.overlayImages().length === 1);
    await page.mouse.up();
    const sent = await page.evaluate(() => window.velmora.sent.filter((m) => m.type === "stroke"));
    assert.ok(sent.length >= 3);
    assert.equal(new Set(sent.map((m) => m.id)).size, 1, "one stroke id");
    assert.deepEqual([sent[0].color, sent.at(-1).done], ["#ff2d55", true]);
    await press(page, [0.3, 0.8], [0.7, 0.8], 5);
    await waitUntil("the overlay image", () => helper.overlayImages().length === 1);
    // From the keyboard, so that the stroke is never finished.
    await page.focus("#clear-ink");
    await page.keyboard.press("Enter");
    await waitUntil("the ink to go", () => helper.overlayImages().length === 0);
    await page.mouse.up();
    assert.deepEqual(await page.evaluate(() => window.velmora.sent.at(-1)), { type: "clear", streamIndex: 1 });
    assert.equal(helper.events().length, posted, "drawing ink posts no input");
  });

  it("hears the presenter take back control", async () => {
    helper.process.stdin.write("Take back control\n");
    const reason = "presenter took back control";
    const revoked = await awaitMessage(page, { type: "state", streamIndex: 1, allowed: false });
    assert.deepEqual(revoked, { type: "state", streamIndex: 1, allowed: false, reason });
    await helper.waitFor("stderr", `control revoked: ${reason}`);
    await awaitInPage(page, (reason) => document.getElementById("stream-summary").textContent.includes(reason), reason);
    const idle = '[menu] title="" tint=default\n  Velmora Helper — connected, control off\n  Screen one: Slides\n';
    await waitUntil("the idle menu", () => helper.lastMenu() === `${idle}  ----\n  > Quit Velmora Helper [q]\n`);
  });

  // What ends control when a page goes is the program test's; here a closed tab is seen as the page gone.
  it("loses its ink and the menu's page when the page goes away", async () => {
    await press(page, [0.6, 0.6], [0.8, 0.4], 8);
    await waitUntil("the overlay image", () => helper.overlayImages().length === 1);
    // A person can look at the page as the run left it.
    fs.mkdirSync(artifactDir, { recursive: true });
    await page.screenshot({ path: path.join(artifactDir, "test-page.png"), fullPage: true });
    assert.deepEqual(page.errors, []);

    await page.close();
    await waitUntil("the ink to go", () => helper.overlayImages().length === 0);
    const menu = await waitUntil("the menu to show no page", () => {
      const last = helper.lastMenu();
      return last.includes("waiting for") && last;
    });
    assert.ok(!menu.includes("Take back control") && !menu.includes("Screen one"), menu);
  });
});
