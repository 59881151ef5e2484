"""Drives station_view's page in headless Chromium. Prints one JSON object;
exit status 0 when all holds.

check_view.py run DRIVER CHROMIUM VIEW PORT DIR SCREENSHOT RUNS
    While a station runs the runs RUNS (comma-separated folders under DIR):
    a screenshot mid-run, the viewer killed and started again mid-run, the
    waits for a lock the page showed, and at the end the page's events for
    each run equal its record.jsonl line by line, and each step's verdict in
    the page is the record's.
check_view.py latency DRIVER CHROMIUM VIEW PORT DIR COUNT BOUND_MS
    Writes COUNT record lines into DIR/latency/record.jsonl, each flushed to
    the disk, and measures how long each takes to reach the page's DOM: all
    of them, the 95th percentile within BOUND_MS.
check_view.py reuse DRIVER CHROMIUM VIEW PORT DIR
    A run that ended in DIR/A, its folder emptied and used again by another
    run while the page is open: the page shows one card for A, the new
    run's serial and no verdict of the old one.
check_view.py numbers DRIVER CHROMIUM VIEW PORT DIR VALUES
    The page's text of each of VALUES (a JSON list of numbers), as it shows
    a measurement's value.
check_view.py hostile DRIVER CHROMIUM VIEW PORT DIR SERIAL
    A finished run whose serial and notes hold markup: shown as text, in the
    live page and in the run's own page, and nothing runs."""
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time

from headless import browser, wait_for

EVENTS = "return window.viewer ? window.viewer.events : [];"
STATE = r"""
return Array.from(document.querySelectorAll('section.board')).map(b => ({
  run: b.getAttribute('data-run'),
  banner: b.querySelector('.banner').textContent,
  serial: b.querySelector('.serial').textContent,
  steps: Object.fromEntries(Array.from(b.querySelectorAll('tr.step')).map(
      r => [r.getAttribute('data-step'), r.querySelector('td.verdict').textContent])),
  why: Object.fromEntries(Array.from(b.querySelectorAll('tr.step')).map(
      r => [r.getAttribute('data-step'),
            Array.from(r.querySelectorAll('.why')).map(w => w.textContent).join(' ')])),
  running: b.querySelectorAll('tr.v-RUNNING').length,
}));
"""


NOW = "return Array.from(document.querySelectorAll('.now')).map(n => n.textContent);"


def start_viewer(view, port, folder):
    process = subprocess.Popen([view, "127.0.0.1:%s" % port, folder], stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True)
    line = process.stdout.readline()
    if not line.startswith("Serving"):
        raise RuntimeError("the viewer did not start: %s %s" % (line, process.stderr.read()))
    return process




def record_lines(path):
    with open(path, "rb") as f:
        text = f.read().decode("utf-8")
    return text.split("\n")[:-1]


def run_mode(driver, view, port, folder, screenshot, runs):
    viewer = start_viewer(view, port, folder)
    url = "http://127.0.0.1:%s/" % port
    driver.get(url)
    # Mid-run: one board on a step, another step already over.
    wait_for(lambda: any(b["running"] for b in driver.execute_script(STATE))
             and len(driver.execute_script(EVENTS)) > 8, 60, "a board on a step")
    driver.save_screenshot(screenshot)
    ended = lambda: all(any('"event":"run_ended"' in line for line in
                            record_lines(os.path.join(folder, r, "record.jsonl")))
                        for r in runs)
    if ended():
        raise RuntimeError("the runs ended before the viewer could be killed")
    before = len(driver.execute_script(EVENTS))
    viewer.send_signal(signal.SIGKILL)
    viewer.wait()
    time.sleep(0.5)
    down = len(driver.execute_script(EVENTS))
    viewer = start_viewer(view, port, folder)
    waits = set()

    def ended_watching_waits():
        for text in driver.execute_script(NOW):
            if "waiting for" in text:
                waits.add(re.sub(r"[0-9]+ s$", "N s", text))
        return ended()
    try:
        wait_for(ended_watching_waits, 120, "the runs to end")

        def complete():
            events = driver.execute_script(EVENTS)
            return all(sum(1 for e in events if e["run"] == r)
                       >= len(record_lines(os.path.join(folder, r, "record.jsonl")))
                       for r in runs)
        wait_for(complete, 30, "every line in the page")
        time.sleep(0.5)  # anything more would be a line twice
        events = driver.execute_script(EVENTS)
        state = {b["run"]: b for b in driver.execute_script(STATE)}
    finally:
        viewer.send_signal(signal.SIGTERM)
        viewer.wait()
    result = {"events_before_kill": before, "events_while_down": down - before,
              "events_after_restart": len(events) - down, "events": len(events),
              "waits_shown": sorted(waits), "runs": {}}
    ok = True
    for r in runs:
        lines = record_lines(os.path.join(folder, r, "record.jsonl"))
        got = [e for e in events if e["run"] == r]
        same = [e["text"] for e in got] == lines and [e["line"] for e in got] == list(
            range(1, len(lines) + 1))
        verdicts = {}
        for line in lines:
            event = json.loads(line)
            if event["event"] == "step_ended":
                verdicts[event["step"]] = event["verdict"]
            if event["event"] == "run_ended":
                verdicts["run"] = event["verdict"]
        shown = dict(state[r]["steps"], run=state[r]["banner"])
        result["runs"][r] = {"record_lines": len(lines), "page_events": len(got),
                             "same_lines_in_order": same, "verdicts": verdicts,
                             "verdicts_shown": shown, "why_shown": state[r]["why"]}
        ok = ok and same and all(shown.get(k) == v for k, v in verdicts.items())
    return result, ok and result["events_while_down"] == 0


def latency_mode(driver, view, port, folder, count, bound_ms):
    run = os.path.join(folder, "latency")
    os.makedirs(run)
    path = os.path.join(run, "record.jsonl")
    record = open(path, "a")

    def write(event):
        record.write(json.dumps(event, separators=(",", ":")) + "\n")
        record.flush()
        os.fsync(record.fileno())
        return time.time() * 1000

    write({"event": "run_started", "serial": "LAT-1", "started": "2026-12-09T08:00:00.000Z",
           "steps": [{"name": "s%d" % i, "argv": ["true"]} for i in range(count)]})
    viewer = start_viewer(view, port, folder)
    try:
        driver.get("http://127.0.0.1:%s/" % port)
        wait_for(lambda: driver.execute_script(EVENTS), 30, "the first line")
        written = {}
        for i in range(count):
            event = {"event": "step_started", "step": "s%d" % i, "attempt": 1,
                     "started": "2026-12-09T08:00:01.000Z", "timeout_s": 60}
            written[i + 2] = write(event)
            time.sleep(0.02 + 0.06 * ((i * 7) % 10) / 10)
        arrivals = wait_for(
            lambda: (lambda a: a if len(a) >= count + 1 else None)(
                driver.execute_script("return window.viewer.arrivals;")), 30, "every line")
    finally:
        viewer.send_signal(signal.SIGTERM)
        viewer.wait()
        record.close()
    delays = sorted(arrivals["latency\n%d" % line] - at for line, at in written.items())
    pick = lambda q: delays[min(len(delays) - 1, int(q * len(delays)))]
    result = {"lines": len(delays), "p50_ms": pick(0.5), "p95_ms": pick(0.95),
              "max_ms": delays[-1], "min_ms": delays[0]}
    return result, result["p95_ms"] <= bound_ms


def reuse_mode(driver, view, port, folder):
    run = os.path.join(folder, "A")

    def start(serial, started, ended):
        os.makedirs(run)
        with open(os.path.join(run, "record.jsonl"), "w") as record:
            record.write(json.dumps({"event": "run_started", "serial": serial, "started": started,
                                     "steps": [{"name": "s", "argv": ["true"]}]}) + "\n")
            if ended:
                record.write(json.dumps({"event": "run_ended", "verdict": "FAIL",
                                         "exit_status": 1, "ended": started}) + "\n")

    start("SN-OLD", "2026-12-09T08:00:00.000Z", True)
    viewer = start_viewer(view, port, folder)
    try:
        driver.get("http://127.0.0.1:%s/" % port)
        wait_for(lambda: [b for b in driver.execute_script(STATE) if b["banner"] == "FAIL"], 30,
                 "the old run's verdict")
        shutil.rmtree(run)
        start("SN-NEW", "2026-12-09T09:00:00.000Z", False)
        state = wait_for(lambda: (lambda s: s if any(b["serial"] == "Serial SN-NEW" for b in s)
                                  else None)(driver.execute_script(STATE)), 30, "the new run")
        time.sleep(1.5)  # a second scan: nothing of the old run comes back
        state = driver.execute_script(STATE)
    finally:
        viewer.send_signal(signal.SIGTERM)
        viewer.wait()
    cards = [b for b in state if b["run"] == "A"]
    result = {"cards": cards}
    return result, len(cards) == 1 and cards[0]["serial"] == "Serial SN-NEW" and \
        cards[0]["banner"] == "RUNNING"


def numbers_mode(driver, view, port, folder, values):
    viewer = start_viewer(view, port, folder)
    try:
        driver.get("http://127.0.0.1:%s/" % port)
        texts = driver.execute_script("return arguments[0].map(v => number(v));", values)
    finally:
        viewer.send_signal(signal.SIGTERM)
        viewer.wait()
    return texts, True


def hostile_mode(driver, view, port, folder, serial):
    viewer = start_viewer(view, port, folder)
    try:
        driver.get("http://127.0.0.1:%s/" % port)
        state = wait_for(lambda: [b for b in driver.execute_script(STATE)
                                  if b["banner"] not in ("WAITING", "RUNNING")], 30, "the run")
        injected = driver.execute_script(
            "return document.querySelectorAll('#boards img, #boards script, #boards b').length;")
        pwned = driver.execute_script("return window.__pwned === 1;")
        notes = driver.execute_script(
            "return Array.from(document.querySelectorAll('.figure')).map(e => e.textContent);")
        driver.find_element("css selector", ".report a").click()
        wait_for(lambda: driver.execute_script("return document.readyState") == "complete"
                 and "report.html" in driver.current_url, 30, "the run's page")
        report_heading = driver.execute_script("return document.querySelector('h1').textContent;")
        report_injected = driver.execute_script(
            "return document.querySelectorAll('main img, script, b').length;")
        pwned = pwned or driver.execute_script("return window.__pwned === 1;")
    finally:
        viewer.send_signal(signal.SIGTERM)
        viewer.wait()
    shown = state[0]["serial"]
    result = {"serial_shown": shown, "notes": notes, "injected_elements": injected,
              "report_heading": report_heading, "report_injected": report_injected,
              "script_ran": pwned}
    ok = shown == "Serial " + serial and injected == 0 and not pwned and \
        serial in report_heading and report_injected == 0
    return result, ok


def main():
    mode, driver_path, chromium, view, port, folder = sys.argv[1:7]
    driver = browser(driver_path, chromium, 1400, 1000)
    try:
        if mode == "run":
            result, ok = run_mode(driver, view, port, folder, sys.argv[7], sys.argv[8].split(","))
        elif mode == "numbers":
            result, ok = numbers_mode(driver, view, port, folder, json.loads(sys.argv[7]))
        elif mode == "reuse":
            result, ok = reuse_mode(driver, view, port, folder)
        elif mode == "latency":
            result, ok = latency_mode(driver, view, port, folder, int(sys.argv[7]),
                                      float(sys.argv[8]))
        else:
            result, ok = hostile_mode(driver, view, port, folder, sys.argv[7])
    finally:
        driver.quit()
    print(json.dumps(result))
    return 0 if ok else 1


sys.exit(main())
