"""Checks the fleet page of station_run in headless Chromium, from the page
itself: a section for each measurement, its figures shown, its control chart
drawn (the SVG laid out, a circle for every point, the alarms marked, no two
of its labels over each other), and a screenshot. Usage: check_fleet_page.py CHROMEDRIVER CHROMIUM PAGE SCREENSHOT
MEASUREMENTS; prints one JSON object; exit status 0 when all holds."""
import json
import sys

from headless import browser

MEASURE = r"""
return Array.from(document.querySelectorAll('section.measurement')).map(s => {
  const svg = s.querySelector('svg.chart');
  const box = svg ? svg.getBoundingClientRect() : {width: 0, height: 0};
  return {
    title: s.querySelector('h2').textContent,
    figures: Array.from(s.querySelectorAll('table.figures td')).map(td => td.textContent),
    svg_width: box.width, svg_height: box.height,
    points: svg ? svg.querySelectorAll('circle.point').length : 0,
    alarms: svg ? svg.querySelectorAll('circle.alarm').length : 0,
    listed_alarms: s.querySelectorAll('ul.alarms li').length,
    overlapping_labels: (() => {
      const boxes = svg ? Array.from(svg.querySelectorAll('text')).map(t => t.getBBox()) : [];
      let n = 0;
      for (let i = 0; i < boxes.length; i++) {
        for (let k = i + 1; k < boxes.length; k++) {
          const a = boxes[i], b = boxes[k];
          if (a.x < b.x + b.width && b.x < a.x + a.width && a.y < b.y + b.height && b.y < a.y + a.height) n++;
        }
      }
      return n;
    })(),
  };
});
"""


def main():
    driver_path, chromium, page, screenshot, expected = sys.argv[1:6]
    driver = browser(driver_path, chromium, 1280, 2400)
    try:
        driver.get("file://" + page)
        sections = driver.execute_script(MEASURE)
        driver.save_screenshot(screenshot)
    finally:
        driver.quit()
    print(json.dumps(sections))
    ok = len(sections) == int(expected) and all(
        s["svg_width"] > 100 and s["svg_height"] > 30 and s["points"] > 0
        and s["overlapping_labels"] == 0
        and all(f.strip() for f in s["figures"][:4]) for s in sections)
    return 0 if ok else 1


sys.exit(main())
