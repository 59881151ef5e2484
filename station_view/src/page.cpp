#include "page.h"

#include <openssl/evp.h>

#include "verdict.h"

namespace {

const char* const kStyle = R"(
body { font-family: "DejaVu Sans", Arial, sans-serif; margin: 0; background: #f4f4f4; color: #1a1a1a }
main { padding: 1rem 1.5rem }
header { display: flex; align-items: baseline; gap: 1.5rem; flex-wrap: wrap }
h1 { font-size: 1.6rem; margin: 0 0 .6rem }
.link { font-size: 1rem; color: #555 }
.note { font-size: 1.2rem; background: #fff3e0; border: 1px solid #e65100; padding: .4rem .8rem }
#boards { display: grid; grid-template-columns: repeat(auto-fit, minmax(22rem, 1fr)); gap: 1rem }
.board { background: #fff; border: 1px solid #ccc; border-radius: .4rem; padding: .8rem 1rem;
         overflow-wrap: break-word }
.socket { font-size: 2rem; margin: 0 }
.serial { font-size: 1.3rem; margin: .2rem 0 .6rem }
.banner { font-size: 3.2rem; font-weight: 800; text-align: center; border-radius: .3rem;
          padding: .2rem; letter-spacing: .05em; color: #fff; background: #0d47a1 }
.now { font-size: 1.5rem; min-height: 1.8rem; margin: .5rem 0 }
table { border-collapse: collapse; width: 100% }
td { border-top: 1px solid #e4e4e4; padding: .25rem .4rem; vertical-align: top; font-size: 1.05rem }
td.verdict { font-weight: 700; white-space: nowrap }
td.time { text-align: right; white-space: nowrap; font-variant-numeric: tabular-nums }
.figure { display: block; font-size: .95rem } .why { font-style: italic }
.report a { font-size: 1.2rem }
.alarms { margin: .4rem 0; padding-left: 1.2rem } .alarm { color: #8a4b00; font-weight: 700 }
.v-RUNNING { background: #0d47a1 } .v-WAITING { background: #4e342e }
tr.v-RUNNING td.verdict { color: #0d47a1 } tr.v-WAITING td.verdict { color: #4e342e }
tr.step { background: none } tr.v-RUNNING { background: #e3f2fd }
.question { background: #fff8e1; border: 3px solid #f57f17; border-radius: .4rem; padding: .6rem .8rem;
            margin: .6rem 0 }
.prompt { font-size: 1.6rem; font-weight: 700; margin: 0 0 .5rem }
.reason { color: #b71c1c; font-size: 1.15rem; margin: 0 0 .5rem }
button { font-size: 1.4rem; padding: .5rem 1.4rem; margin: .2rem .6rem .2rem 0; border-radius: .3rem;
         border: 1px solid #555; background: #fff; cursor: pointer }
button.primary { background: #0d47a1; color: #fff; border-color: #0d47a1 }
button.abort { font-size: 1rem; padding: .3rem .8rem; background: #fff; color: #b71c1c; border-color: #b71c1c }
input.answer, input.serial-in { font-size: 1.4rem; padding: .4rem; width: 12rem; max-width: 60vw }
#start { background: #fff; border: 1px solid #ccc; border-radius: .4rem; padding: .6rem 1rem;
         margin: 0 0 1rem }
#start form { display: flex; flex-wrap: wrap; align-items: center; gap: .6rem; margin: .3rem 0 }
#start label { font-size: 1.4rem; min-width: 6rem }
.sent { opacity: .6 } .said { color: #b71c1c; font-size: 1.1rem }
)";

const char* const kScript = R"(
"use strict";
const boards = document.getElementById("boards");
const link = document.getElementById("link");
const runs = new Map();
// What the page received, for whoever checks it: each event's run, line and
// text, and when each reached the page.
// A run that leaves the view takes its part of these along; the rest is
// bounded too, for a page left open all shift.
const viewer = { events: [], arrivals: {} };
// The operator's session's token, on a page of a view that may act; none on
// a page that only watches.
const tokenTag = document.querySelector('meta[name="control-token"]');
const control = tokenTag ? tokenTag.content : "";
window.viewer = viewer;
const kEventsKept = 20000;
let offset = 0;  // the viewer's clock less this one's

function el(tag, cls, text) {
  const e = document.createElement(tag);
  if (cls) e.className = cls;
  if (text !== undefined) e.textContent = text;
  return e;
}

function board(folder) {
  let r = runs.get(folder);
  if (r) return r;
  const card = el("section", "board");
  card.setAttribute("data-run", folder);
  r = { folder, steps: new Map(), current: null, card,
        socket: el("h2", "socket", folder), serial: el("p", "serial", ""),
        banner: el("div", "banner v-RUNNING", "WAITING"), now: el("p", "now", ""),
        ask: el("div", "ask"), table: el("table", "steps"), alarms: el("ul", "alarms"),
        report: el("p", "report"), actions: el("div", "actions") };
  card.append(r.socket, r.serial, r.banner, r.now, r.ask, r.table, r.alarms, r.report, r.actions);
  const after = [...boards.children].find(c => c.getAttribute("data-run") > folder);
  boards.insertBefore(card, after || null);
  runs.set(folder, r);
  document.getElementById("empty").hidden = true;
  return r;
}

// A run no longer followed, or whose record began anew: its card and what
// the page kept of it go.
function drop(folder) {
  const r = runs.get(folder);
  if (r) r.card.remove();
  runs.delete(folder);
  viewer.events = viewer.events.filter(e => e.run !== folder);
  for (const k of Object.keys(viewer.arrivals)) {
    if (k.startsWith(folder + "\n")) delete viewer.arrivals[k];
  }
  document.getElementById("empty").hidden = runs.size > 0;
}

function step(r, name) {
  let s = r.steps.get(name);
  if (s) return s;
  const row = el("tr", "step");
  row.setAttribute("data-step", name);
  s = { row, verdict: el("td", "verdict", "\u2026"), name: el("td", "name", name),
        time: el("td", "time", ""), figures: el("td", "figures", "") };
  row.append(s.verdict, s.name, s.time, s.figures);
  r.table.append(row);
  r.steps.set(name, s);
  return s;
}

function verdict(s, v) {
  s.verdict.textContent = v;
  s.row.className = "step v-" + v;
}

function banner(r, v) {
  r.banner.textContent = v;
  r.banner.className = "banner v-" + v;
}

// A number as station_run writes it for people, printf's %.10g: ten
// significant digits, an exponent below 1e-4 and from 1e10 on.
function number(v) {
  if (typeof v !== "number") return "none";
  if (v === 0) return Object.is(v, -0) ? "-0" : "0";
  if (!isFinite(v)) return String(v);
  const [digits, power] = v.toExponential(9).split("e");
  const exponent = parseInt(power, 10);
  if (exponent < -4 || exponent >= 10) {
    return digits.replace(/\.?0+$/, "") + "e" + (exponent < 0 ? "-" : "+") +
        String(Math.abs(exponent)).padStart(2, "0");
  }
  const fixed = v.toFixed(9 - exponent);
  return fixed.includes(".") ? fixed.replace(/\.?0+$/, "") : fixed;
}

function figures(s, measurements) {
  const list = [];
  for (const m of measurements) {
    if (m.name === "exit_status" && m.verdict === "PASS") continue;
    let text = m.name + " " + number(m.value) + (m.units ? " " + m.units : "");
    if (typeof m.margin === "number") text += ", margin " + number(m.margin);
    if (m.verdict !== "PASS") text += " \u2014 " + m.verdict + (m.note ? ": " + m.note : "");
    list.push(el("span", "figure", text));
  }
  s.figures.replaceChildren(...list);
}

function tick(r) {
  if (r.current && r.current.lock) {
    const waited = Math.max(0, Math.floor((Date.now() + offset - r.current.since) / 1000));
    r.now.textContent = r.current.step + ": waiting for " + r.current.lock + ", " + waited + " s";
    return;
  }
  if (!r.current || !r.current.timeout) {
    r.now.textContent = r.current ? r.current.step : "";
    return;
  }
  const left = r.current.started + r.current.timeout * 1000 - (Date.now() + offset);
  r.now.textContent = r.current.step + ": " +
      (left > 0 ? Math.ceil(left / 1000) + " s left" : "past its deadline");
}

// Asks station_run, through the view, to act; what it says when it refuses.
function post(what, body, said) {
  body.token = control;
  said.textContent = "";
  return fetch("control/" + what, { method: "POST", credentials: "same-origin",
      headers: { "Content-Type": "application/json" }, body: JSON.stringify(body) })
    .then(r => r.ok ? true : r.text().then(t => { said.textContent = t.trim(); return false; }))
    .catch(() => { said.textContent = "The view cannot be reached"; return false; });
}

// The question a board asks, with a button for each answer it takes.
function question(r, rec) {
  const box = el("div", "question");
  box.setAttribute("data-question", rec.question);
  box.append(el("p", "prompt", rec.step + ": " + rec.prompt));
  if (rec.reason) box.append(el("p", "reason", "Not taken: " + rec.reason));
  r.ask.replaceChildren(box);
  if (!control) {
    box.append(el("p", "said", "Waiting for the operator"));
    return;
  }
  const said = el("p", "said");
  const send = text => post("answer", { run: r.folder, question: rec.question, answer: text }, said)
      .then(ok => { if (ok) box.classList.add("sent"); });
  const form = el("form");
  if (rec.answer === "confirm" || rec.answer === "yes-no") {
    const answers = rec.answer === "confirm" ? [["OK", ""]] : [["Yes", "yes"], ["No", "no"]];
    for (const [name, text] of answers) {
      const b = el("button", "primary", name);
      b.type = "button";
      b.addEventListener("click", () => send(text));
      form.append(b);
    }
  } else {
    const input = el("input", "answer");
    input.name = "answer";
    input.autocomplete = "off";
    if (rec.answer === "number") input.inputMode = "decimal";
    const hint = rec.answer === "number"
        ? "a number" + (rec.units ? " in " + rec.units : "") : "a text";
    input.placeholder = hint;
    const b = el("button", "primary", "Submit");
    b.type = "submit";
    form.append(input, b);
    form.addEventListener("submit", e => { e.preventDefault(); send(input.value); });
    setTimeout(() => input.focus(), 0);
  }
  box.append(form, said);
}

// While a run runs, the operator may abort it from its card.
function abortButton(r) {
  if (!control) return;
  const said = el("span", "said");
  const b = el("button", "abort", "Abort");
  b.type = "button";
  b.addEventListener("click", () => post("abort", { run: r.folder }, said));
  r.actions.replaceChildren(b, said);
}

function apply(run, rec) {
  const r = board(run);
  switch (rec.event) {
    case "run_started":
      r.socket.textContent = rec.socket ? "Socket " + rec.socket : run;
      r.serial.textContent = "Serial " + rec.serial;
      for (const s of rec.steps || []) step(r, s.name);
      banner(r, "RUNNING");
      abortButton(r);
      break;
    case "operator_asked":
      question(r, rec);
      break;
    case "lock_wait":
      verdict(step(r, rec.step), "WAITING");
      r.current = { step: rec.step, lock: rec.lock, since: Date.parse(rec.since) };
      break;
    case "step_started":
      verdict(step(r, rec.step), "RUNNING");
      r.current = { step: rec.step, started: Date.parse(rec.started), timeout: rec.timeout_s };
      break;
    case "attempt_ended": {
      r.ask.replaceChildren();
      const s = step(r, rec.step);
      s.time.textContent = number(rec.duration_s) + " s";
      figures(s, rec.measurements || []);
      if (r.current && r.current.step === rec.step) r.current = null;
      break;
    }
    case "step_ended": {
      const s = step(r, rec.step);
      verdict(s, rec.verdict);
      if (typeof rec.duration_s === "number") s.time.textContent = number(rec.duration_s) + " s";
      // Why it did not pass, as the record's other readers say it.
      const why = rec.note || rec.skip_reason;
      if (why) s.figures.append(el("span", "figure why", why));
      break;
    }
    case "run_resumed":
      banner(r, "RUNNING");
      abortButton(r);
      r.report.replaceChildren();
      r.alarms.replaceChildren();
      for (const name of rec.interrupted || []) verdict(step(r, name), "\u2026");
      break;
    case "alarm":
      // The process's news, beside the board's verdict.
      r.alarms.append(el("li", "alarm", "Alarm: " + rec.step + "/" + rec.measurement +
                                            " broke run rule " + rec.rule));
      break;
    case "run_ended": {
      banner(r, rec.verdict);
      r.current = null;
      r.ask.replaceChildren();
      r.actions.replaceChildren();
      const a = el("a", null, "The run's page");
      a.href = run === "." ? "runs/report.html"
          : "runs/" + run.split("/").map(encodeURIComponent).join("/") + "/report.html";
      r.report.replaceChildren(a);
      break;
    }
  }
  tick(r);
}

const events = new EventSource("events");
events.onopen = () => { link.textContent = "live"; };
events.onerror = () => { link.textContent = "reconnecting\u2026"; };
events.addEventListener("clock", e => { offset = JSON.parse(e.data).now - Date.now(); });
events.addEventListener("gone", e => drop(JSON.parse(e.data).run));
events.addEventListener("folder", e => {
  const note = document.getElementById("note");
  note.textContent = JSON.parse(e.data).note;
  note.hidden = note.textContent === "";
});
events.addEventListener("busy", e => {
  link.textContent = "waiting for a place: " + JSON.parse(e.data).streams +
      " pages follow this station already";
});
events.onmessage = e => {
  const data = e.data;
  const m = JSON.parse(data);
  if (m.line === 1 && runs.has(m.run)) drop(m.run);
  const record = m.record !== undefined;
  const text = record ? data.substring(data.indexOf(',"record":') + 10, data.length - 1) : m.text;
  viewer.events.push({ run: m.run, line: m.line, text });
  if (viewer.events.length > kEventsKept) viewer.events.splice(0, viewer.events.length - kEventsKept);
  if (record && m.record && typeof m.record.event === "string") apply(m.run, m.record);
  viewer.arrivals[m.run + "\n" + m.line] = Date.now();
};
setInterval(() => runs.forEach(tick), 250);

// A loop waiting in the view's folder: a serial field a socket, which a
// scanner types into, and a start button.
let shownLoop = null;
function showLoop(loop) {
  const panel = document.getElementById("start");
  const key = JSON.stringify(loop);
  if (key === shownLoop) return;
  shownLoop = key;
  panel.hidden = false;
  if (!loop) {
    panel.replaceChildren(el("p", null, "No loop waits here for a board: station_run --loop -o this folder starts one"));
    return;
  }
  if (loop.running) {
    panel.replaceChildren(el("p", null, "Testing: the next board is asked for at the end"));
    return;
  }
  const parts = [el("h2", null, "Next board")];
  let focus = null;
  for (const socket of loop.sockets) {
    const form = el("form");
    form.setAttribute("data-socket", socket);
    const input = el("input", "serial-in");
    input.name = "serial";
    input.autocomplete = "off";
    input.placeholder = "serial";
    const given = loop.given && loop.given[socket];
    if (given) { input.value = given; input.disabled = true; }
    const b = el("button", "primary", "Start");
    b.type = "submit";
    b.disabled = !!given;
    const said = el("span", "said");
    form.append(el("label", null, socket ? "Socket " + socket : "Serial"), input, b, said);
    form.addEventListener("submit", e => {
      e.preventDefault();
      post("start", { socket, serial: input.value }, said);
    });
    if (socket === loop.asking) focus = input;
    parts.push(form);
  }
  if (loop.refused) parts.push(el("p", "reason", "Not taken: " + loop.refused));
  panel.replaceChildren(...parts);
  const active = document.activeElement;
  if (focus && !(active && active.tagName === "INPUT" && !active.disabled)) focus.focus();
}
if (control) {
  const look = () => fetch("control/state", { credentials: "same-origin" })
      .then(r => r.ok ? r.json() : null).then(s => showLoop(s ? s.loop : null)).catch(() => {});
  look();
  setInterval(look, 1000);
}
)";

// The page's style: its own, and each verdict's colour from the table every
// page of the suite reads, as a badge and as a step's word.
const std::string& style() {
    static const std::string css = [] {
        std::string out = kStyle + verdict_backgrounds();
        for (const VerdictFacts& f : kVerdicts) {
            out += "tr.v-" + std::string(f.name) + " td.verdict { color: " + f.colour + " }\n";
        }
        return out;
    }();
    return css;
}

std::string base64_sha256(const std::string& text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha256(), nullptr);
    unsigned char encoded[4 * ((EVP_MAX_MD_SIZE + 2) / 3) + 1];
    const int n = EVP_EncodeBlock(encoded, digest, static_cast<int>(length));
    return std::string(reinterpret_cast<const char*>(encoded), static_cast<std::size_t>(n));
}

}  // namespace

std::string view_page(const std::string& token) {
    // The token is hex: nothing in it can leave its attribute.
    const bool hex = token.find_first_not_of("0123456789abcdef") == std::string::npos;
    const std::string tag = token.empty() || !hex
                                ? std::string()
                                : "<meta name=\"control-token\" content=\"" + token + "\">";
    return std::string(
               "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
               "<meta name=\"viewport\" content=\"width=device-width\">") +
           tag + "<title>Station view</title><style>" + style() +
           "</style></head><body><main><header><h1>Station view</h1>"
           "<p id=\"link\" class=\"link\">connecting\u2026</p></header>"
           "<p id=\"note\" class=\"note\" hidden></p><section id=\"start\" hidden></section>"
           "<div id=\"boards\"></div><p id=\"empty\">No run yet.</p></main><script>" +
           kScript + "</script></body></html>\n";
}

const std::string& view_page_policy() {
    static const std::string policy = "default-src 'none'; script-src 'sha256-" +
                                      base64_sha256(kScript) + "'; style-src 'sha256-" +
                                      base64_sha256(style()) +
                                      "'; connect-src 'self'; base-uri 'none'; form-action 'none'";
    return policy;
}
