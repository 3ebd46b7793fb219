// The simulated unit's front panel in a real browser: Debian's Chromium driven by Playwright
// installs a package made with kx1 as a person would, touches a soft key on the screen, and
// puts a file that is no package on the stick. BUILD_DIR names the build tree (unitsim, kx1 and
// the loader built); screenshots go to SCREENSHOT_DIR.
import { test, before, after } from "node:test";
import assert from "node:assert/strict";
import { spawn, spawnSync, execFileSync } from "node:child_process";
import { mkdtempSync, mkdirSync, writeFileSync, readFileSync, readdirSync, rmSync } from "node:fs";
import { randomBytes } from "node:crypto";
import path from "node:path";
import { fileURLToPath } from "node:url";
import { chromium } from "playwright-core";

const repository = path.resolve(path.dirname(fileURLToPath(import.meta.url)), "../..");
const buildDir = path.resolve(process.env.BUILD_DIR || path.join(repository, "build/default"));
const screenshotDir = path.resolve(
  process.env.SCREENSHOT_DIR || path.join(buildDir, "tests/panel-screenshots"),
);
const unitsim = path.join(buildDir, "sim/unitsim");
const kx1 = path.join(buildDir, "tools/kx1");
const publicKey = path.join(repository, "assets/loader-development-key.public.pem");
const chromiumFlags = [
  "--headless",
  "--no-sandbox",
  "--disable-gpu",
  "--disable-quic",
  "--no-first-run",
  "--disable-background-networking",
  "--disable-component-update",
  "--disable-sync",
];
// Long enough for a whole install with its Bluetooth download on a busy 2-core machine.
const stepTimeout = 90_000;

// A unit's sockets need a short path: everything lives in one folder under /tmp.
const work = mkdtempSync("/tmp/panel-test-");
let context;
const panels = [];

function run(program, args) {
  return execFileSync(program, args, { encoding: "utf8" });
}

// A package like the demo's: two archives, touch firmware and a Bluetooth firmware whose paced
// download keeps the loading screen up for a while.
function makePackage() {
  const folder = path.join(work, "package");
  for (const sub of ["app/app", "config/config"]) {
    mkdirSync(path.join(folder, sub), { recursive: true });
  }
  writeFileSync(path.join(folder, "app/app/start.sh"), '#!/bin/sh\necho "panel test"\n');
  writeFileSync(path.join(folder, "config/config/unit.cfg"), "volume = 3\n");
  run("tar", ["-C", path.join(folder, "app"), "-czf", path.join(folder, "application.tar.gz"), "app"]);
  run("tar", [
    "-C", path.join(folder, "config"), "-czf", path.join(folder, "configuration.tar.gz"), "config",
  ]);
  writeFileSync(path.join(folder, "touch.bin"), randomBytes(6000));
  writeFileSync(path.join(folder, "bluetooth.bin"), randomBytes(20000));
  run(kx1, [
    "dfu", "make", path.join(folder, "bluetooth.bin"), path.join(folder, "bluetooth.dfu"),
    "--wrap", "--info", "Panel test firmware build 5101",
  ]);
  writeFileSync(
    path.join(folder, "manifest.txt"),
    [
      "hardware-family 1",
      "part-number-lock 61-20-5050",
      "component application 2.9.10600 application.tar.gz",
      "component configuration 2.9.10600 configuration.tar.gz",
      "component touch 1.2.0 touch.bin",
      "component bluetooth 5101 bluetooth.dfu",
      "",
    ].join("\n"),
  );
  const packagePath = path.join(folder, "update-2.9.kx1");
  run(kx1, ["pack", path.join(folder, "manifest.txt"), packagePath, "--key", publicKey]);
  return packagePath;
}

// A new unit and its panel; resolves once the panel has printed its address.
async function startPanel(name) {
  const unit = path.join(work, name);
  run(unitsim, ["make", unit, "--bluetooth-build", "5000"]);
  const panel = spawn(unitsim, ["panel", unit], { stdio: ["ignore", "pipe", "inherit"] });
  panels.push({ panel, unit });
  const address = await new Promise((resolve, reject) => {
    let output = "";
    panel.stdout.on("data", (chunk) => {
      output += chunk;
      const found = output.match(/http:\/\/127\.0\.0\.1:\d+\//);
      if (found) {
        resolve(found[0]);
      }
    });
    panel.on("exit", (code) => reject(new Error("unitsim panel ended with status " + code)));
  });
  return { unit, address };
}

async function openPanel(name) {
  const { unit, address } = await startPanel(name);
  const page = await context.newPage();
  await page.goto(address);
  await page.waitForFunction(() => document.getElementById("state-name").textContent === "off");
  return { unit, page };
}

function stateIs(page, wanted) {
  return page.waitForFunction(
    (state) => document.getElementById("state-name").textContent === state,
    wanted,
    { timeout: stepTimeout },
  );
}

function paneShows(page, pane, text) {
  return page.waitForFunction(
    ([id, wanted]) => document.getElementById(id).textContent.includes(wanted),
    [pane, text],
    { timeout: stepTimeout },
  );
}

function framesShown(page) {
  return page.evaluate(() => Number(document.body.dataset.framesShown || 0));
}

// Waits for a frame after the `count` shown so far, then for the screen to hold still (the
// loader draws some screens in more than one frame).
async function nextScreen(page, count) {
  await page.waitForFunction(
    (seen) => Number(document.body.dataset.framesShown || 0) > seen,
    count,
    { timeout: stepTimeout },
  );
  let shown = await framesShown(page);
  for (;;) {
    await page.waitForTimeout(400);
    const now = await framesShown(page);
    if (now === shown) {
      return now;
    }
    shown = now;
  }
}

async function screenshot(page, name) {
  await page.screenshot({ path: path.join(screenshotDir, name + ".png"), fullPage: true });
}

// The newest frame the unit kept in the panel's capture folder, as the page's data URL.
function lastCapturedFrame(unit) {
  const folder = path.join(unit, "var/sim/panel/frames");
  const last = readdirSync(folder).filter((name) => name.endsWith(".png")).sort().pop();
  return "data:image/png;base64," + readFileSync(path.join(folder, last)).toString("base64");
}

async function clickKey(page, name) {
  await page.click('.key[data-key="' + name + '"]');
}

before(async () => {
  mkdirSync(screenshotDir, { recursive: true });
  context = await chromium.launchPersistentContext(mkdtempSync(path.join(work, "browser-")), {
    executablePath: process.env.CHROMIUM || "/usr/bin/chromium",
    headless: true,
    args: chromiumFlags,
    viewport: { width: 1400, height: 1100 },
  });
});

after(async () => {
  if (context) {
    await context.close();
  }
  for (const { panel, unit } of panels) {
    // Most units are off by now; stop says so and fails.
    spawnSync(unitsim, ["stop", unit], { stdio: "ignore" });
    panel.kill("SIGTERM");
  }
  rmSync(work, { recursive: true, force: true });
});

test("a package put on the stick through the page installs with select and confirm", { timeout: 240_000 }, async () => {
  const packagePath = makePackage();
  const { page } = await openPanel("unit");
  await page.click("#boot");
  await stateIs(page, "waiting");
  let count = await nextScreen(page, 0);
  await screenshot(page, "1-wait");

  await page.setInputFiles("#stick-files", packagePath);
  await page.waitForSelector("#stick-list li >> text=update-2.9.kx1");
  count = await nextScreen(page, count);

  await clickKey(page, "select");
  count = await nextScreen(page, count);
  await screenshot(page, "2-confirm");

  await clickKey(page, "select");
  await stateIs(page, "installing");
  await page.waitForFunction(
    () => /bluetooth \d+%/.test(document.getElementById("state-detail").textContent),
    null,
    { timeout: stepTimeout },
  );
  await screenshot(page, "3-loading");

  await paneShows(page, "log-install", "Installation successful");
  await stateIs(page, "resetting");
  await nextScreen(page, await framesShown(page) - 1);
  await screenshot(page, "4-result");
  await paneShows(page, "record", "2910600 (2.9.10600)");
  const record = await page.textContent("#record");
  assert.match(record, /bluetooth\s+5101/);
  assert.match(record, /touch\s+1200000 \(1\.2\.0\)/);
  assert.match(await page.textContent("#received"), /downloaded 20073 bytes\nbuild 5101/);

  await stateIs(page, "off");
  // The reset went through the power-management IC.
  await paneShows(page, "received", "pmic.log");
  assert.equal(await page.textContent("#state-detail"), "last run: reset");
  const missed = await page.evaluate(() => document.body.dataset.framesMissed);
  assert.equal(missed, "0");
});

test("a touch on the screen's select soft key works like the key", { timeout: 120_000 }, async () => {
  const { unit, page } = await openPanel("touch-unit");
  await page.setInputFiles("#stick-files", makePackage());
  await page.waitForSelector("#stick-list li >> text=update-2.9.kx1");
  await page.click("#boot");
  await stateIs(page, "waiting");
  let count = await nextScreen(page, 0);

  // The select soft key's icon: lower-left corner (375, 20) on the 800 x 480 screen of display
  // type 3, y counted upwards.
  const position = { x: 375 + 30, y: 480 - (20 + 30) };
  await page.click("#screen", { position });
  count = await nextScreen(page, count);
  await page.click("#screen", { position });
  await paneShows(page, "log-install", "Loaded install package");
  assert.match(await page.textContent("#message"), /^touched \(405, (49|50)\)$/);
  await page.click("#power-off");
  await stateIs(page, "off");
  assert.ok(count > 1, "the touch moved the loader to the confirm screen");
  void unit;
});

test("a file that is no package reaches the stick and the loader shows its own error", { timeout: 120_000 }, async () => {
  const { unit, page } = await openPanel("broken-unit");
  const broken = path.join(work, "broken.kx1");
  writeFileSync(broken, randomBytes(4096));
  await page.setInputFiles("#stick-files", broken);
  await page.waitForSelector("#stick-list li >> text=broken.kx1 (4096 bytes)");
  await page.click("#boot");
  await stateIs(page, "waiting");
  let count = await nextScreen(page, 0);

  await page.keyboard.press("Enter");
  count = await nextScreen(page, count);
  await page.keyboard.press("Enter");
  await paneShows(page, "log-install", "Failed to load install package");
  await stateIs(page, "resetting");
  await nextScreen(page, count);
  assert.equal(await page.textContent("#state-detail"), "Failed to load install package");
  // The page shows the loader's own result screen: the last frame it posted.
  assert.equal(await page.getAttribute("#screen", "src"), lastCapturedFrame(unit));
  await screenshot(page, "error");
  await page.click("#power-off");
  await stateIs(page, "off");
});
