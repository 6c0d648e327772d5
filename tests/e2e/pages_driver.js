"use strict";
// Drives the program's pages in headless Chromium, one scenario per run, as a
// user would: clicks, typing and answers to the questions the pages show. Prints
// what it observed as one JSON line; a failed step ends it with exit code 1.
//   node pages_driver.js '{"address": ..., "steps": [[scenario, {arguments}], ...],
//                          "dataDir": ..., "screenshots": ...}'
// The steps run one after the other in the same page; each one's observations
// go under its own number.

const fs = require("fs");
const path = require("path");
const { chromium } = require(process.env.KESTREL_PLAYWRIGHT);

const task = JSON.parse(process.argv[2]);
let args = {};
let observed = {};
const observations = [];

function check(condition, what) {
  if (!condition) throw new Error("check failed: " + what);
}

function dataFile(name) {
  try {
    return fs.readFileSync(path.join(task.dataDir, name), "latin1");
  } catch (e) {
    return "";
  }
}

async function shot(page, name) {
  if (!task.screenshots) return;
  fs.mkdirSync(task.screenshots, { recursive: true });
  await page.screenshot({ path: path.join(task.screenshots, name + ".png") });
}

// Waits until the data file holds the text (the program writes it meanwhile).
async function fileHolds(page, name, text) {
  for (let i = 0; i < 200; i++) {
    if (dataFile(name).includes(text)) return;
    await page.waitForTimeout(50);
  }
  throw new Error(name + " never held " + JSON.stringify(text) + ": " + dataFile(name));
}

// Opens the options on a tab once they are loaded afresh.
async function openOptions(page, tab) {
  await page.goto(task.address.replace(/\/\?.*$/, "/#status"));
  await page.evaluate(() => { document.body.dataset.optionsLoaded = ""; });
  await page.goto(task.address.replace(/\/\?.*$/, "/#options"));
  await page.waitForFunction(() => document.body.dataset.optionsLoaded === "yes");
  await page.locator('.tabs button[data-tab="' + tab + '"]').click();
}

// Clicks a button of the options and waits for the answer to that click.
async function saveOptions(page, button) {
  await page.evaluate(() => { document.getElementById("options-result").dataset.status = ""; });
  await page.locator(button).click();
  await page.waitForFunction(() => document.getElementById("options-result").dataset.status);
  return {
    status: await page.locator("#options-result").getAttribute("data-status"),
    message: await page.locator("#options-result").textContent(),
  };
}

async function answerQuestion(page, answer, tick) {
  const dialog = page.locator("#question");
  await dialog.waitFor({ state: "visible" });
  observed.questions = observed.questions || [];
  observed.questions.push(await page.locator("#question-text").textContent());
  if (tick) await page.locator("#question-check").check();
  await page.locator('#question-buttons button[data-answer="' + answer + '"]').click();
  await dialog.waitFor({ state: "hidden" });
}

const scenarios = {
  // A live session in the connections table, and the tray state.
  async status(page) {
    const row = page.locator("#sessions tbody tr", { hasText: args.sessionText });
    await row.first().waitFor();
    observed.sessionRow = await row.first().locator("td").allTextContents();
    observed.tray = await page.locator("#tray-state").textContent();
    observed.listeners = await page.locator("#listeners tbody tr").allTextContents();
    observed.dnsbl = await page.locator("#dnsbl-stats tbody tr").allTextContents();
    await page.waitForFunction(() => document.querySelector("#days tbody tr td:nth-child(2)") &&
      document.querySelector("#days tbody tr td:nth-child(2)").textContent !== "0");
    observed.today = await page.locator("#days tbody tr").first().locator("td").allTextContents();
    await shot(page, "status");
  },

  async filtering(page) {
    const tray = page.locator("#tray-state");
    await page.locator("#filtering-toggle", { hasText: "Disable filtering" }).click();
    await page.locator("#tray-state", { hasText: "Filtering off" }).waitFor();
    await fileHolds(page, "config.dat", "FILTERING_DISABLED YES\n");
    observed.off = await tray.textContent();
    observed.offIcon = await tray.getAttribute("data-icon");
    await page.locator("#filtering-toggle", { hasText: "Enable filtering" }).click();
    await page.locator("#tray-state", { hasText: "Filtering on" }).waitFor();
    for (let i = 0; i < 200 && dataFile("config.dat").includes("FILTERING_DISABLED YES"); i++) {
      await page.waitForTimeout(50);
    }
    observed.on = await tray.textContent();
    observed.onIcon = await tray.getAttribute("data-icon");
  },

  // Adds an entry; the contradiction questions are answered in order.
  async add(page) {
    await page.goto(task.address.replace(/\/\?.*$/, "/#add-" + args.mode));
    await page.locator("#add-title").waitFor();
    observed.choices = await page.locator("#add-choices option").evaluateAll(
      (options) => options.map((o) => o.value));
    await page.locator("#add-entry").fill(args.entry);
    await page.locator("#add-ok").click();
    let first = true;
    for (const answer of args.answers || []) {
      if (first && task.screenshots) {
        await page.locator("#question").waitFor({ state: "visible" });
        await shot(page, "add-to-list");
      }
      first = false;
      await answerQuestion(page, answer);
    }
    await page.waitForFunction(() => document.getElementById("add-result").dataset.result);
    observed.result = await page.locator("#add-result").getAttribute("data-result");
    observed.message = await page.locator("#add-result").textContent();
  },

  // Adds a port in the options; it is listed once the program listens on it.
  async addPort(page) {
    await openOptions(page, "ports");
    await page.locator("#port-add").click();
    await page.locator("#port-type").selectOption(args.type);
    await page.locator("#port-number").fill(String(args.port));
    if (args.server) await page.locator("#port-server").fill(args.server);
    await shot(page, "options-ports");
    Object.assign(observed, await saveOptions(page, "#port-save"));
    if (observed.status !== "200") return;
    observed.ports = await page.locator("#ports tbody tr").allTextContents();
    await page.locator('nav a[data-page="status"]').click();
    await page.locator("#listeners tbody tr", { hasText: String(args.port) }).waitFor();
    observed.listening = true;
  },

  async settings(page) {
    await openOptions(page, "tagging");
    await page.locator('#settings-form [name="SUBJECT_TAG_STRING"]').fill(args.tag);
    Object.assign(observed, await saveOptions(page, "#settings-save"));
    check(observed.status === "200", "the setting was not saved: " + observed.message);
    await fileHolds(page, "config.dat", "SUBJECT_TAG_STRING " + args.tag + "\n");
    await shot(page, "options-tagging");
  },

  async enablePlugin(page) {
    await openOptions(page, "plugins");
    const box = page.locator('#plugins input[data-key="' + args.name + '"]');
    await box.check();
    Object.assign(observed, await saveOptions(page, "#plugins-save"));
    await openOptions(page, "plugins");
    observed.enabled = await page.locator('#plugins input[data-key="' + args.name + '"]').isChecked();
    await shot(page, "options-plugins");
  },

  // The page an enabled plug-in renders for itself.
  async pluginPage(page) {
    await page.goto(task.address.replace(/\/\?.*$/, "/#status"));
    await page.reload();
    await page.locator("#plugin-link").waitFor({ state: "visible" });
    await page.locator("#plugin-link").click();
    const frame = page.frameLocator("#plugin-frame");
    await frame.locator("h2").waitFor();
    observed.heading = await frame.locator("h2").textContent();
    observed.text = await frame.locator("body").textContent();
    await shot(page, "plugin-page");
  },

  async welcome(page) {
    await page.locator("#welcome-link").waitFor({ state: "visible" });
    await page.locator("#welcome-link").click();
    await page.locator("#welcome-port-texts li").first().waitFor();
    observed.portTexts = await page.locator("#welcome-port-texts li").allTextContents();
    await shot(page, "welcome");
    await page.locator("#welcome-next").click();
    await page.locator('input[name="scheme"][value="' + args.scheme + '"]').check();
    await page.locator("#welcome-next").click();
    await page.locator("#welcome-extras").waitFor({ state: "visible" });
    observed.countryTicked = await page.locator("#extra-country-box").isChecked();
    observed.patternOffered = await page.locator("#extra-pattern").isVisible();
    observed.patternTicked = await page.locator("#extra-pattern-box").isChecked();
    observed.linkOffered = await page.locator("#extra-link").isVisible();
    await shot(page, "welcome-extras");
    await page.locator("#welcome-finish").click();
    await page.locator("#welcome-done", { hasText: "All set" }).waitFor();
    await page.locator("#welcome-link").waitFor({ state: "hidden" });
  },

  async about(page) {
    await page.locator('nav a[data-page="about"]').click();
    await page.locator("#about-text", { hasText: "Kestrelmail" }).waitFor();
    observed.text = await page.locator("#about-text").textContent();
    await shot(page, "about");
  },

  // The exit command with its confirmation: No with "do not ask again" ticked,
  // then an exit that asks nothing.
  async exit(page) {
    await page.locator("#exit").click();
    await answerQuestion(page, "no", true);
    await fileHolds(page, "config.dat", "ALWAYS_CONFIRM_EXIT NO\n");
    await page.locator("#exit").click();
    await page.locator(".notice", { hasText: "stopping" }).waitFor();
  },
};

(async () => {
  const browser = await chromium.launch({
    executablePath: process.env.KESTREL_CHROMIUM,
    args: ["--no-sandbox", "--disable-gpu"],
  });
  let failed = null;
  try {
    const page = await browser.newPage({ viewport: { width: 1180, height: 760 } });
    page.setDefaultTimeout(15000);
    const errors = [];
    page.on("pageerror", (error) => errors.push(error.message));
    await page.goto(task.address);
    await page.locator("#tray-state", { hasText: "Filtering" }).waitFor();
    for (const [scenario, stepArguments] of task.steps) {
      args = stepArguments || {};
      observed = {};
      observations.push(observed);
      await scenarios[scenario](page);
    }
    check(errors.length === 0, "script errors in the page: " + errors.join("; "));
  } catch (error) {
    failed = error;
  } finally {
    await browser.close();
  }
  if (failed) {
    console.log(JSON.stringify(observations));
    console.error(failed.stack || String(failed));
    process.exit(1);
  }
  console.log(JSON.stringify(observations));
})();
