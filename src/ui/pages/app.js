"use strict";
// The pages of Kestrelmail: one document, one section per page, kept current by
// asking the program for its status once a second.

const token = document.querySelector('meta[name="kestrel-token"]').content;
const $ = (id) => document.getElementById(id);
let lastNoticeId = 0;
let shownQuestion = null;
let options = null;
let editingPort = null;
let welcomePage = 0;
let listRevision = "";

async function api(method, path, body) {
  const init = { method, headers: { "X-Kestrel-Token": token } };
  if (body !== undefined) {
    init.headers["Content-Type"] = "application/json";
    init.body = JSON.stringify(body);
  }
  const response = await fetch("/api/" + path, init);
  let data = {};
  try {
    data = await response.json();
  } catch (e) {
    data = { error: "no answer" };
  }
  data.httpStatus = response.status;
  return data;
}

function cell(row, text) {
  const td = document.createElement("td");
  td.textContent = text === undefined || text === null ? "" : String(text);
  row.appendChild(td);
  return td;
}

function fillTable(table, rows, makeCells) {
  const body = table.tBodies[0];
  body.replaceChildren();
  for (const item of rows) {
    const tr = document.createElement("tr");
    makeCells(tr, item);
    body.appendChild(tr);
  }
}

function say(element, text, failed) {
  element.textContent = text || "";
  element.classList.toggle("failed", !!failed);
}

// --- Navigation ---

function showPage() {
  const name = (location.hash || "#status").slice(1);
  const page = name.startsWith("add-") ? "add" : name;
  for (const section of document.querySelectorAll(".page")) {
    section.hidden = section.id !== "page-" + page;
  }
  for (const link of document.querySelectorAll("nav a")) {
    link.classList.toggle("current", link.dataset.page === name);
  }
  if (page === "add") openAddPage(name === "add-white" ? "white" : "black");
  if (page === "options") loadOptions();
  if (page === "welcome") loadWelcome();
  if (page === "about") loadAbout();
  if (page === "plugin") loadPluginPages();
}

// --- Status ---

function showStatus(status) {
  const tray = $("tray-state");
  tray.textContent = (status.filteringDisabled ? "Filtering off" : "Filtering on") +
    (status.busy ? " \u2022 busy (" + status.busyCount + ")" : "");
  tray.className = "tray" + (status.filteringDisabled ? " off" : "") + (status.busy ? " busy" : "");
  tray.dataset.icon = status.iconId;
  const toggle = $("filtering-toggle");
  toggle.textContent = status.filteringDisabled ? "Enable filtering" : "Disable filtering";
  toggle.dataset.command = status.filteringDisabled ? "enable-filtering" : "disable-filtering";
  $("update-check").disabled = status.updateCheckRunning;
  $("welcome-link").hidden = !status.welcomeOpen;

  fillTable($("sessions"), status.sessions, (tr, columns) => columns.forEach((c) => cell(tr, c)));
  $("no-sessions").hidden = status.sessions.length > 0;
  fillTable($("listeners"), status.listeners, (tr, l) => {
    [l.address, l.port, l.type, l.server, l.sessions].forEach((c) => cell(tr, c));
  });
  const dayCells = (tr, d) => [d.date, d.filtered, d.spam, d.passed, d.whitelisted].forEach((c) => cell(tr, c));
  fillTable($("days"), status.days || [], dayCells);
  if (status.daysTotal) {
    const total = document.createElement("tr");
    dayCells(total, status.daysTotal);
    $("days").tFoot.replaceChildren(total);
  }
  fillTable($("dnsbl-stats"), status.dnsbl, (tr, row) => {
    cell(tr, row.name);
    for (let i = 1; i < 6; i++) cell(tr, row.cells[i]);
  });
  for (const notice of status.notices) {
    lastNoticeId = Math.max(lastNoticeId, notice.id);
    addNotice(notice.title, notice.text, notice.icon);
  }
  showQuestion(status.questions[0] || null);
}

function addNotice(title, text, icon) {
  const box = document.createElement("div");
  box.className = "notice " + (icon || "information");
  const strong = document.createElement("strong");
  strong.textContent = title + ": ";
  box.appendChild(strong);
  box.appendChild(document.createTextNode(text));
  const close = document.createElement("button");
  close.type = "button";
  close.textContent = "\u00d7";
  close.title = "Dismiss";
  close.addEventListener("click", () => box.remove());
  box.appendChild(close);
  $("notices").appendChild(box);
}

async function poll() {
  try {
    const status = await api("GET", "status?notices_after=" + lastNoticeId);
    if (status.httpStatus === 200) showStatus(status);
  } catch (e) {
    $("tray-state").textContent = "Kestrelmail is not running";
    $("tray-state").className = "tray off";
  }
  setTimeout(poll, 1000);
}

// --- Questions ---

const buttonWords = {
  "ok": ["ok"], "ok-cancel": ["ok", "cancel"], "yes-no": ["yes", "no"],
  "yes-no-cancel": ["yes", "no", "cancel"],
};

function showQuestion(question) {
  const dialog = $("question");
  if (!question) {
    if (shownQuestion && dialog.open) dialog.close();
    shownQuestion = null;
    return;
  }
  if (shownQuestion && shownQuestion.id === question.id) return;
  shownQuestion = question;
  $("question-title").textContent = question.title;
  $("question-text").textContent = question.text;
  const choices = $("question-choices");
  choices.replaceChildren();
  question.choices.forEach((text, i) => choices.add(new Option(text, i)));
  choices.hidden = question.choices.length === 0;
  $("question-check-label").hidden = !question.checkBoxText;
  $("question-check-text").textContent = question.checkBoxText;
  $("question-check").checked = false;
  const buttons = $("question-buttons");
  buttons.replaceChildren();
  for (const word of buttonWords[question.buttons]) {
    const button = document.createElement("button");
    button.type = "button";
    button.dataset.answer = word;
    button.textContent = word.charAt(0).toUpperCase() + word.slice(1);
    button.addEventListener("click", () => answerQuestion(question.id, word));
    buttons.appendChild(button);
  }
  if (!dialog.open) dialog.showModal();
}

async function answerQuestion(id, word) {
  const body = { id, answer: word, checked: $("question-check").checked };
  if (!$("question-choices").hidden) body.choice = Number($("question-choices").value);
  $("question").close();
  await api("POST", "answer", body);
}

// --- Commands ---

async function command(name) {
  const result = await api("POST", "command", { command: name });
  if (result.httpStatus !== 200) addNotice("Kestrelmail", result.error || "refused", "exclamation");
  if (result.exiting) addNotice("Kestrelmail", "Kestrelmail is stopping.", "information");
  return result;
}

// --- Add to list ---

let addMode = "white";

async function openAddPage(mode) {
  addMode = mode;
  $("add-title").textContent = mode === "white" ? "Add to the white list" : "Add to the black list";
  say($("add-result"), "");
  const data = await api("GET", "add-to-list?mode=" + mode);
  const list = $("add-choices");
  list.replaceChildren();
  for (const address of data.choices || []) list.appendChild(new Option(address));
  $("add-entry").focus();
}

async function submitAdd(event) {
  event.preventDefault();
  const entry = $("add-entry").value;
  $("add-ok").disabled = true;
  say($("add-result"), "Adding\u2026");
  try {
    const result = await api("POST", "add-to-list", { mode: addMode, entry });
    say($("add-result"), result.message || result.error, result.result !== "added");
    $("add-result").dataset.result = result.result || "error";
    if (result.result === "added") {
      $("add-entry").value = "";
      if (!$("add-keep-open").checked) location.hash = "#status";
    }
  } finally {
    $("add-ok").disabled = false;
  }
}

// --- Options ---

let currentTab = "general";

// Only the latest load is shown: an earlier answer arriving late would redraw the
// options over ticks made since.
let optionsRequest = 0;

async function loadOptions() {
  const request = ++optionsRequest;
  const answer = await api("GET", "options");
  if (request !== optionsRequest) return;
  options = answer;
  showTab(currentTab);
  document.body.dataset.optionsLoaded = "yes";
}

function showTab(tab) {
  currentTab = tab;
  for (const button of document.querySelectorAll(".tabs button")) {
    button.classList.toggle("current", button.dataset.tab === tab);
  }
  const settingsTab = ["general", "tagging", "logging", "updates"].includes(tab);
  $("tab-settings").hidden = !settingsTab;
  $("tab-ports").hidden = tab !== "ports";
  $("tab-dnsbl").hidden = tab !== "dnsbl";
  $("tab-lists").hidden = tab !== "lists";
  $("tab-plugins").hidden = tab !== "plugins";
  if (!options) return;
  if (settingsTab) renderSettings(tab);
  if (tab === "ports") renderPorts();
  if (tab === "dnsbl") renderDnsbl();
  if (tab === "lists") renderListChoice();
  if (tab === "plugins") renderPlugins();
}

function settingInput(setting) {
  let input;
  if (setting.kind === "flag") {
    input = document.createElement("input");
    input.type = "checkbox";
    input.checked = setting.value === "YES";
  } else if (setting.kind === "choice") {
    input = document.createElement("select");
    for (const choice of setting.choices) input.add(new Option(choice));
    input.value = setting.value;
  } else {
    input = document.createElement("input");
    input.type = setting.kind === "number" ? "number" : "text";
    if (setting.kind === "number") {
      input.min = setting.lowest;
      input.max = setting.highest;
    }
    input.value = setting.value;
  }
  input.name = setting.name;
  input.dataset.kind = setting.kind;
  input.dataset.original = setting.value;
  return input;
}

function inputValue(input) {
  if (input.dataset.kind === "flag") return input.checked ? "YES" : "NO";
  return input.value;
}

function renderSettings(section) {
  const form = $("settings-form");
  form.replaceChildren();
  for (const setting of options.settings.filter((s) => s.section === section)) {
    const label = document.createElement("label");
    label.className = "setting";
    const name = document.createElement("span");
    name.textContent = setting.name;
    label.appendChild(name);
    label.appendChild(settingInput(setting));
    form.appendChild(label);
  }
}

function reportChange(result) {
  const ok = result.httpStatus === 200;
  say($("options-result"), ok ? "Saved." : (result.message || result.error), !ok);
  $("options-result").dataset.status = result.httpStatus;
  return ok;
}

async function saveSettings() {
  const values = {};
  for (const input of $("settings-form").querySelectorAll("[name]")) {
    const value = inputValue(input);
    if (value !== input.dataset.original) values[input.name] = value;
  }
  const result = await api("POST", "options/settings", { revision: options.revision, values });
  if (reportChange(result)) await loadOptions();
}

function renderPorts() {
  fillTable($("ports"), options.ports, (tr, port) => {
    [port.listenPort, port.type, port.serverName].forEach((c) => cell(tr, c));
    const actions = cell(tr, "");
    const edit = document.createElement("button");
    edit.type = "button";
    edit.textContent = "Edit";
    edit.className = "port-edit";
    edit.addEventListener("click", () => openPortForm(port));
    const remove = document.createElement("button");
    remove.type = "button";
    remove.textContent = "Remove";
    remove.className = "port-remove";
    remove.addEventListener("click", () => removePort(port));
    actions.append(edit, " ", remove);
  });
}

const hiddenPortKeys = /^(PORT_TYPE|PORT_\w+_SERVERNAME)$/;

function renderPortKeys(pairs) {
  const box = $("port-keys");
  box.replaceChildren();
  for (const [key, value] of pairs) {
    if (hiddenPortKeys.test(key)) continue;
    const label = document.createElement("label");
    label.className = "setting";
    const name = document.createElement("span");
    name.textContent = key;
    label.appendChild(name);
    const flag = value === "YES" || value === "NO";
    label.appendChild(settingInput({ name: key, kind: flag ? "flag" : "text", value }));
    box.appendChild(label);
  }
}

function showServerField() {
  const type = $("port-type").value;
  $("port-server-label").hidden = type.endsWith("_GENERIC");
}

function openPortForm(port) {
  editingPort = port;
  $("port-form").hidden = false;
  $("port-form-title").textContent = port ? "Port " + port.listenPort : "New port";
  $("port-type").value = port ? port.type : "SMTP_SPECIFIC";
  $("port-number").value = port ? port.listenPort : "";
  $("port-server").value = port ? port.serverName : "";
  renderPortKeys(port ? port.keys : options.portTemplates[$("port-type").value]);
  showServerField();
}

async function savePort(event) {
  event.preventDefault();
  const keys = [];
  for (const input of $("port-keys").querySelectorAll("[name]")) keys.push([input.name, inputValue(input)]);
  const number = Number($("port-number").value);
  const body = {
    revision: options.revision,
    action: editingPort ? "edit" : "add",
    id: editingPort ? editingPort.id : 0,
    type: $("port-type").value,
    listenPort: Number.isInteger(number) ? number : -1,
    serverName: $("port-server").value.trim(),
    keys,
  };
  const result = await api("POST", "options/port", body);
  if (reportChange(result)) {
    $("port-form").hidden = true;
    await loadOptions();
  }
}

async function removePort(port) {
  const result = await api("POST", "options/port", { revision: options.revision, action: "remove", id: port.id });
  if (reportChange(result)) await loadOptions();
}

// A table of tick boxes: the ticked rows first, in `order` (the ticked keys, changed
// in place), each with a button that moves it one place earlier; then the others.
function drawOrderedTicks(table, items, order, keyOf, upTitle, columnsOf) {
  const redraw = () => drawOrderedTicks(table, items, order, keyOf, upTitle, columnsOf);
  const ticked = order.map((key) => items.find((item) => keyOf(item) === key)).filter(Boolean);
  const others = items.filter((item) => !order.includes(keyOf(item)));
  fillTable(table, ticked.concat(others), (tr, item) => {
    const key = keyOf(item);
    const on = order.includes(key);
    const box = document.createElement("input");
    box.type = "checkbox";
    box.checked = on;
    box.dataset.key = key;
    box.addEventListener("change", () => {
      if (box.checked) order.push(key);
      else order.splice(order.indexOf(key), 1);
      redraw();
    });
    cell(tr, "").appendChild(box);
    const place = cell(tr, "");
    if (on) {
      const up = document.createElement("button");
      up.type = "button";
      up.textContent = "\u2191";
      up.title = upTitle;
      up.addEventListener("click", () => {
        const i = order.indexOf(key);
        if (i > 0) [order[i - 1], order[i]] = [order[i], order[i - 1]];
        redraw();
      });
      place.appendChild(up);
    }
    columnsOf(item).forEach((c) => cell(tr, c));
  });
}

let enabledOrder = [];

function renderDnsbl() {
  enabledOrder = options.dnsbl.enabled.slice();
  drawOrderedTicks($("dnsbl-lists"), options.dnsbl.lists, enabledOrder, (list) => list.key,
    "Ask this list earlier", (list) => [list.key, list.name, list.zone]);
}

async function saveDnsbl(body) {
  const result = await api("POST", "options/dnsbl", Object.assign({ revision: options.revision }, body));
  if (reportChange(result)) await loadOptions();
}

let pluginOrder = [];

// The enabled plug-ins in their order, then the others; a tick enables one.
function renderPlugins() {
  pluginOrder = options.plugins.filter((p) => p.enabled).map((p) => p.name);
  $("no-plugins").hidden = options.plugins.length > 0;
  drawOrderedTicks($("plugins"), options.plugins, pluginOrder, (plugin) => plugin.name,
    "Ask this plug-in earlier",
    (plugin) => [plugin.name, plugin.displayName + (plugin.failed ? " (not loaded)" : ""), plugin.version || ""]);
}

async function savePlugins() {
  const result = await api("POST", "options/plugins", { revision: options.revision, enabled: pluginOrder });
  if (reportChange(result)) {
    await loadOptions();
    await refreshPluginLink();
  }
}

function renderListChoice() {
  const select = $("list-file");
  if (select.options.length === 0) {
    for (const name of options.listFiles) select.add(new Option(name));
    loadListFile();
  }
}

async function loadListFile() {
  const data = await api("GET", "lists/" + encodeURIComponent($("list-file").value));
  $("list-text").value = data.text || "";
  listRevision = data.revision || "";
}

async function saveListFile() {
  const name = $("list-file").value;
  const result = await api("POST", "lists/" + encodeURIComponent(name), { text: $("list-text").value, revision: listRevision });
  if (reportChange(result)) listRevision = result.listRevision;
}

// --- Welcome ---

async function loadWelcome() {
  const data = await api("GET", "welcome");
  const list = $("welcome-port-texts");
  list.replaceChildren();
  for (const text of data.portTexts) {
    const item = document.createElement("li");
    item.textContent = text;
    list.appendChild(item);
  }
  for (const radio of document.querySelectorAll('input[name="scheme"]')) radio.checked = radio.value === data.scheme;
  showWelcomeExtras(data.extras);
  say($("welcome-done"), data.open ? "" : "The welcome is finished; change anything later in the options.");
  showWelcomePage();
}

function showWelcomeExtras(extras) {
  $("extra-country-box").checked = extras.countryLists;
  $("extra-pattern").hidden = !extras.patternPluginInstalled;
  $("extra-pattern-box").checked = extras.patternPlugin;
  $("extra-link").hidden = !extras.linkPluginInstalled;
  $("extra-link-box").checked = extras.linkPlugin;
}

function showWelcomePage() {
  $("welcome-ports").hidden = welcomePage !== 0;
  $("welcome-scheme").hidden = welcomePage !== 1;
  $("welcome-extras").hidden = welcomePage !== 2;
  $("welcome-next").disabled = welcomePage === 2;
  $("welcome-finish").disabled = welcomePage !== 2;
}

async function welcomeNext() {
  if (welcomePage === 1) {
    const data = await api("GET", "welcome");
    showWelcomeExtras(data.extras);
  }
  welcomePage = Math.min(2, welcomePage + 1);
  showWelcomePage();
}

async function welcomeFinish() {
  const data = await api("POST", "welcome/finish", {
    countryLists: $("extra-country-box").checked,
    patternPlugin: $("extra-pattern-box").checked,
    linkPlugin: $("extra-link-box").checked,
  });
  say($("welcome-done"), data.open === false ? "All set. Kestrelmail filters your mail now." : data.error, data.open !== false);
  $("welcome-finish").disabled = true;
}

// --- Plug-in pages ---

async function refreshPluginLink() {
  const data = await api("GET", "plugin-pages");
  $("plugin-link").hidden = !(data.pages && data.pages.length);
  return data.pages || [];
}

async function loadPluginPages() {
  const pages = await refreshPluginLink();
  const choice = $("plugin-choice");
  choice.replaceChildren();
  for (const page of pages) {
    const button = document.createElement("button");
    button.type = "button";
    button.textContent = page.displayName;
    button.dataset.plugin = page.name;
    button.addEventListener("click", () => showPluginPage(page.position, button));
    choice.appendChild(button);
  }
  if (choice.firstChild) choice.firstChild.click();
}

// The plug-in's markup runs no script: the frame is sandboxed.
async function showPluginPage(position, button) {
  for (const other of $("plugin-choice").children) other.classList.toggle("current", other === button);
  const data = await api("GET", "plugin-pages/" + position);
  $("plugin-frame").srcdoc = data.html || "";
}

// --- About ---

async function loadAbout() {
  const data = await api("GET", "about");
  $("about-text").textContent = data.text;
  $("about-link").textContent = data.webAddress;
  $("about-link").href = data.webAddress;
}

// --- Wiring ---

document.addEventListener("DOMContentLoaded", () => {
  window.addEventListener("hashchange", showPage);
  $("filtering-toggle").addEventListener("click", (e) => command(e.target.dataset.command));
  $("update-check").addEventListener("click", () => command("check-updates"));
  $("exit").addEventListener("click", () => command("exit"));
  $("add-form").addEventListener("submit", submitAdd);
  $("add-cancel").addEventListener("click", () => { location.hash = "#status"; });
  for (const button of document.querySelectorAll(".tabs button")) {
    button.addEventListener("click", () => showTab(button.dataset.tab));
  }
  $("settings-save").addEventListener("click", saveSettings);
  $("port-add").addEventListener("click", () => openPortForm(null));
  $("port-type").addEventListener("change", () => {
    renderPortKeys(options.portTemplates[$("port-type").value]);
    showServerField();
  });
  $("port-form").addEventListener("submit", savePort);
  $("port-cancel").addEventListener("click", () => { $("port-form").hidden = true; });
  for (const button of document.querySelectorAll("[data-scheme]")) {
    button.addEventListener("click", () => saveDnsbl({ scheme: button.dataset.scheme }));
  }
  $("dnsbl-save").addEventListener("click", () => saveDnsbl({ enabled: enabledOrder }));
  $("plugins-save").addEventListener("click", savePlugins);
  $("list-file").addEventListener("change", loadListFile);
  $("list-save").addEventListener("click", saveListFile);
  for (const radio of document.querySelectorAll('input[name="scheme"]')) {
    radio.addEventListener("change", () => api("POST", "welcome", { scheme: radio.value }));
  }
  $("welcome-next").addEventListener("click", welcomeNext);
  $("welcome-finish").addEventListener("click", welcomeFinish);
  showPage();
  refreshPluginLink();
  poll();
});
