// What Debian's Chromium, in a window of the X session, names the surfaces it shares: the label of the
// video track getDisplayMedia gives for a window of the X test app and for each monitor. The helper
// resolves these labels, so they are checked here against the real browser. Skipped without an X session.
import assert from "node:assert/strict";
import { after, before, describe, it } from "node:test";

import { closeBrowser, launchHeadedBrowser, serveHtml, startXTestApp, xAtom, xDisplay } from "./harness.mjs";

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
