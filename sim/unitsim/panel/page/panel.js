// The front panel's page: the unit's screen and keys, its stick slot, its power and its logs.
"use strict";

const keyboardKeys = { Escape: "cancel", Enter: "select", ArrowUp: "up", ArrowDown: "down" };
const keyLabels = { cancel: "Esc", select: "Enter", up: "\u2191", down: "\u2193" };
// Room around the screen for the keys beside it.
const sideRoom = 90;
const topRoom = 20;
const bottomRoom = 70;

const screen = document.getElementById("screen");
const bezel = document.getElementById("bezel");
let view = null;
let displayShown = "";
let frameRun = "";
let lastFrame = -1;
let framesShown = 0;
let framesMissed = 0;
let inputQueue = Promise.resolve();

function element(id) {
  return document.getElementById(id);
}

function say(text, isError) {
  const message = element("message");
  message.textContent = text;
  message.classList.toggle("error", Boolean(isError));
}

async function request(method, url, body) {
  let response;
  try {
    response = await fetch(url, { method, body });
  } catch (error) {
    say("The panel cannot be reached: " + error.message, true);
    return false;
  }
  let answer = {};
  try {
    answer = await response.json();
  } catch (error) {
    answer = { error: "HTTP " + response.status };
  }
  say(answer.message || answer.error || "", !response.ok);
  return response.ok;
}

// Key and touch requests go one after another, so that a release never overtakes its press.
function queueInput(url) {
  inputQueue = inputQueue.then(() => request("POST", url));
  return inputQueue;
}

function pressKey(name, button) {
  if (button.classList.contains("held")) {
    return;
  }
  button.classList.add("held");
  queueInput("/api/keys/" + name + "/press");
}

function releaseKey(name, button) {
  if (!button.classList.contains("held")) {
    return;
  }
  button.classList.remove("held");
  queueInput("/api/keys/" + name + "/release");
}

function keyButton(name) {
  return document.querySelector('.key[data-key="' + name + '"]');
}

// Places the screen at its size and each hardware key beside its soft key, on the side of the
// screen that the soft key is nearest to.
function layOut(display, width, height) {
  bezel.style.width = width + 2 * sideRoom + "px";
  bezel.style.height = height + topRoom + bottomRoom + "px";
  screen.style.left = sideRoom + "px";
  screen.style.top = topRoom + "px";
  screen.width = width;
  screen.height = height;
  for (const old of bezel.querySelectorAll(".key")) {
    old.remove();
  }
  for (const key of display.keys) {
    const button = document.createElement("button");
    button.type = "button";
    button.className = "key";
    button.dataset.key = key.name;
    button.title = key.role + " (" + keyLabels[key.name] + ")";
    button.innerHTML = key.role + "<small>" + keyLabels[key.name] + "</small>";
    // Soft key corners count y upwards from the bottom edge.
    const centreX = key.x + key.size / 2;
    const centreRow = height - (key.y + key.size / 2);
    const toLeft = key.x;
    const toRight = width - (key.x + key.size);
    const toBottom = key.y;
    if (toBottom < Math.min(toLeft, toRight)) {
      button.style.left = sideRoom + centreX - 32 + "px";
      button.style.top = topRoom + height + 15 + "px";
    } else {
      button.style.left = (toLeft <= toRight ? 13 : sideRoom + width + 13) + "px";
      button.style.top = topRoom + centreRow - 20 + "px";
    }
    button.addEventListener("pointerdown", (event) => {
      event.preventDefault();
      pressKey(key.name, button);
    });
    for (const ending of ["pointerup", "pointerleave", "pointercancel"]) {
      button.addEventListener(ending, () => releaseKey(key.name, button));
    }
    bezel.appendChild(button);
  }
}

function showDisplay(display) {
  const shown = JSON.stringify(display);
  if (shown === displayShown) {
    return;
  }
  displayShown = shown;
  layOut(display, screen.naturalWidth || display.width, screen.naturalHeight || display.height);
}

function stateDetail(state) {
  const install = state.install;
  if (state.state === "off") {
    return state.outcome ? "last run: " + state.outcome : "";
  }
  if (state.state === "installing" && install) {
    const what = install.phase === "checking" ? "checking the package" : install.component;
    return (what || "") + (install.percent === null ? "" : " " + install.percent + "%");
  }
  if (state.state === "resetting") {
    if (install && (install.phase === "succeeded" || install.phase === "failed")) {
      return install.phase === "succeeded" ? "after a successful install" : install.step;
    }
    return state.shutdownRequested ? "shutdown requested" : "";
  }
  return "";
}

function showState(state) {
  view = state;
  element("unit-root").textContent = state.unit;
  const badge = element("state");
  badge.className = "state state-" + state.state;
  element("state-name").textContent = state.state;
  element("state-detail").textContent = stateDetail(state);
  element("boot").disabled = state.state !== "off";
  element("power-off").disabled = state.state === "off";
  element("shutdown-request").textContent = state.shutdownRequested
    ? "Lower shutdown request"
    : "Raise shutdown request";
  showDisplay(state.display);

  const list = element("stick-list");
  list.replaceChildren();
  element("stick-state").textContent = state.stick.inserted
    ? state.stick.files.length + " file(s) on the stick"
    : "No stick";
  let hasInstallLog = false;
  for (const file of state.stick.files) {
    const item = document.createElement("li");
    item.textContent = file.name + " (" + file.size + " bytes)";
    list.appendChild(item);
    hasInstallLog = hasInstallLog || file.name === "install.log";
  }
  element("install-log-download").hidden = !hasInstallLog;
  element("remove-stick").disabled = !state.stick.inserted;
  element("record").textContent = state.record || "No installed record yet.";
  element("received").textContent = state.received || "Nothing yet.";
  element("screen-note").textContent = state.everyFrame
    ? ""
    : "This run keeps no capture folder: frames that replace each other quickly may be missed.";
}

function showLog(change) {
  const pane = element("log-" + change.pane);
  const atEnd = pane.scrollTop + pane.clientHeight >= pane.scrollHeight - 4;
  pane.textContent = change.restart ? change.text : pane.textContent + change.text;
  if (atEnd) {
    pane.scrollTop = pane.scrollHeight;
  }
}

// Frame ids are "RUN/NUMBER" when every frame is kept; a number that skips one is a missed frame.
function showFrame(event) {
  const slash = event.lastEventId.lastIndexOf("/");
  const run = event.lastEventId.slice(0, slash);
  const number = Number(event.lastEventId.slice(slash + 1));
  if (run !== frameRun) {
    frameRun = run;
  } else if (Number.isInteger(number) && lastFrame >= 0 && number !== lastFrame + 1) {
    framesMissed += Math.max(0, number - lastFrame - 1);
  }
  lastFrame = Number.isInteger(number) ? number : -1;
  framesShown += 1;
  screen.src = "data:image/png;base64," + event.data;
  document.body.dataset.frame = event.lastEventId;
  document.body.dataset.framesShown = framesShown;
  document.body.dataset.framesMissed = framesMissed;
}

screen.addEventListener("load", () => {
  if (view && (screen.naturalWidth !== screen.width || screen.naturalHeight !== screen.height)) {
    layOut(view.display, screen.naturalWidth, screen.naturalHeight);
  }
});

// A click on the screen is a touch at that pixel, in the unit's coordinates (y upwards).
screen.addEventListener("click", (event) => {
  const box = screen.getBoundingClientRect();
  const width = screen.naturalWidth || screen.width;
  const height = screen.naturalHeight || screen.height;
  const x = Math.floor(((event.clientX - box.left) * width) / box.width);
  const row = Math.floor(((event.clientY - box.top) * height) / box.height);
  queueInput("/api/touch?x=" + x + "&y=" + (height - 1 - row));
});

document.addEventListener("keydown", (event) => {
  const name = keyboardKeys[event.key];
  if (!name || event.target.tagName === "INPUT" || event.repeat) {
    return;
  }
  event.preventDefault();
  const button = keyButton(name);
  if (button) {
    pressKey(name, button);
  }
});

document.addEventListener("keyup", (event) => {
  const name = keyboardKeys[event.key];
  const button = name && keyButton(name);
  if (button) {
    event.preventDefault();
    releaseKey(name, button);
  }
});

async function putOnStick(files) {
  for (const file of files) {
    if (view && file.size > view.uploadLimit) {
      say(file.name + " is larger than the panel takes (" + view.uploadLimit + " bytes)", true);
      continue;
    }
    await request("POST", "/api/stick/files?name=" + encodeURIComponent(file.name), file);
  }
}

const slot = element("slot");
slot.addEventListener("dragover", (event) => {
  event.preventDefault();
  slot.classList.add("dragging");
});
slot.addEventListener("dragleave", () => slot.classList.remove("dragging"));
slot.addEventListener("drop", (event) => {
  event.preventDefault();
  slot.classList.remove("dragging");
  putOnStick(event.dataTransfer.files);
});
element("stick-files").addEventListener("change", async (event) => {
  await putOnStick(event.target.files);
  event.target.value = "";
});
element("remove-stick").addEventListener("click", () => request("DELETE", "/api/stick"));
element("boot").addEventListener("click", () => request("POST", "/api/boot"));
element("power-off").addEventListener("click", () => request("POST", "/api/power-off"));
element("shutdown-request").addEventListener("click", () =>
  request(
    "POST",
    "/api/shutdown-request?level=" + (view && view.shutdownRequested ? "low" : "high"),
  ),
);

const frames = new EventSource("/events/frames");
frames.addEventListener("frame", showFrame);
const unit = new EventSource("/events/unit");
unit.addEventListener("state", (event) => showState(JSON.parse(event.data)));
unit.addEventListener("log", (event) => showLog(JSON.parse(event.data)));
