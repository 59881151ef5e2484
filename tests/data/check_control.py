"""Drives station_view --control in headless Chromium as an operator does.
Prints one JSON object; exit status 0 when all holds.

check_control.py DRIVER CHROMIUM VIEW RUN PORT DIR SEQUENCE STATION SCREENSHOT
    A loop of station_run (RUN) over the sockets of STATION waits in DIR;
    the view (VIEW) is started there with --control and its link opened. The
    page starts a board in each socket, answers each question as it comes
    (the two boards asking in turn: never two at once), takes SCREENSHOT
    during the first yes-or-no question, and shows each board's verdict; each answer's record
    says it came from the view, and each run that the view started it."""
import json
import os
import re
import signal
import subprocess
import sys

from selenium.webdriver.common.by import By

from headless import browser, wait_for

QUESTIONS = """
return Array.from(document.querySelectorAll('section.board .question:not(.sent)')).map(q => ({
  run: q.closest('section.board').getAttribute('data-run'),
  prompt: q.querySelector('.prompt').textContent,
  buttons: Array.from(q.querySelectorAll('button')).map(b => b.textContent),
}));
"""
BANNERS = """
return Object.fromEntries(Array.from(document.querySelectorAll('section.board')).map(
    b => [b.getAttribute('data-run'), b.querySelector('.banner').textContent]));
"""
ANSWERS = {"Is the LED green?": "Yes", "Read the meter": "15"}




def main():
    driver_path, chromium, view, run, port, folder, sequence, station, shot = sys.argv[1:10]
    loop = subprocess.Popen([run, "--loop", "--station-file", station, "-o", folder,
                             "--operator", "ann", "--history", "h.sqlite", sequence],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    wait_for(lambda: os.path.exists(os.path.join(folder, ".control", "loop.json")), 30,
             "the loop to wait")
    viewer = subprocess.Popen([view, "--control", "127.0.0.1:%s" % port, folder],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    viewer.stdout.readline()
    link = re.search(r"http://\S+secret=[0-9a-f]+", viewer.stdout.readline()).group(0)
    driver = browser(driver_path, chromium, 1200, 900)
    result = {"questions": [], "most_at_once": 0}
    try:
        driver.get(link)
        for socket, serial in (("A", "SN-1"), ("B", "SN-2")):
            form = wait_for(lambda: driver.find_elements(
                By.CSS_SELECTOR, '#start form[data-socket="%s"] input:not([disabled])' % socket),
                30, "socket %s's serial field" % socket)[0]
            form.send_keys(serial + "\n")  # as a scanner types it, Enter and all
            wait_for(lambda: driver.find_elements(
                By.CSS_SELECTOR, '#start form[data-socket="%s"] input[disabled]' % socket)
                or driver.find_elements(By.CSS_SELECTOR, "section.board"), 30,
                "socket %s's serial taken" % socket)
        shot_taken = False
        while len(result["questions"]) < 6:
            asked = wait_for(lambda: driver.execute_script(QUESTIONS), 60, "a question")
            result["most_at_once"] = max(result["most_at_once"], len(asked))
            q = asked[0]
            if not shot_taken and "Yes" in q["buttons"]:
                driver.save_screenshot(shot)
                shot_taken = True
            result["questions"].append(q)
            box = driver.find_element(
                By.CSS_SELECTOR, 'section.board[data-run="%s"] .question:not(.sent)' % q["run"])
            prompt = q["prompt"].split(": ", 1)[1]
            if prompt in ANSWERS and ANSWERS[prompt] in q["buttons"]:
                box.find_element(By.XPATH, ".//button[text()='%s']" % ANSWERS[prompt]).click()
            elif prompt in ANSWERS:
                box.find_element(By.CSS_SELECTOR, "input.answer").send_keys(
                    ANSWERS[prompt] + "\n")
            else:
                box.find_element(By.XPATH, ".//button[text()='OK']").click()
            wait_for(lambda: not driver.find_elements(
                By.CSS_SELECTOR,
                'section.board[data-run="%s"] .question:not(.sent)' % q["run"]) or
                driver.execute_script(QUESTIONS) != asked, 30, "the answer taken")
        banners = wait_for(lambda: (lambda b: b if len(b) == 2 and all(
            v in ("PASS", "FAIL") for v in b.values()) else None)(
                driver.execute_script(BANNERS)), 60, "the verdicts")
        result["banners"] = banners
    finally:
        driver.quit()
        viewer.send_signal(signal.SIGTERM)
        viewer.wait()
        out, _ = loop.communicate(timeout=60)  # its input ends: so does the loop
    result["loop_exit"] = loop.returncode
    result["loop_output_tail"] = out.splitlines()[-6:]
    sources, started = set(), set()
    for r in result["banners"]:
        with open(os.path.join(folder, r, "record.json")) as f:
            record = json.load(f)
        for step in record["steps"]:
            for a in step["attempts"]:
                sources.add(a.get("answer_source"))
        for a in record.get("operator_actions", []):
            started.add((a["action"], a["source"]))
    result["answer_sources"] = sorted(s or "none" for s in sources)
    result["actions"] = sorted("%s %s" % a for a in started)
    runs_asked = [q["run"] for q in result["questions"]]
    ok = (result["most_at_once"] == 1 and sorted(set(runs_asked)) == sorted(result["banners"])
          and all(v == "PASS" for v in result["banners"].values())
          and result["answer_sources"] == ["view"] and result["actions"] == ["start view"]
          and result["loop_exit"] == 0)
    print(json.dumps(result))
    return 0 if ok else 1


sys.exit(main())
