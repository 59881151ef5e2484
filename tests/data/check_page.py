"""Checks a page of station_run in headless Chromium, measured from the page
itself: at each width no horizontal scroll, a <main> landmark, a scope on
every header cell, every text at WCAG AA contrast against what lies behind
it (4.5:1; 3:1 for large text), no short word of a table broken over lines,
and every region that scrolls reachable from the keyboard.
Usage: check_page.py CHROMEDRIVER CHROMIUM PAGE SCREENSHOT_PREFIX WIDTH...
Prints one JSON object a width; exit status 0 when every check holds."""
import json
import sys

from headless import browser

MEASURE = r"""
function channel(c) { c /= 255; return c <= 0.04045 ? c / 12.92 : Math.pow((c + 0.055) / 1.055, 2.4); }
function luminance(rgb) { return 0.2126 * channel(rgb[0]) + 0.7152 * channel(rgb[1]) + 0.0722 * channel(rgb[2]); }
function parse(colour) {
  const m = colour.match(/rgba?\(([^)]+)\)/);
  if (!m) return null;
  const v = m[1].split(',').map(x => parseFloat(x));
  return {rgb: v.slice(0, 3), alpha: v.length > 3 ? v[3] : 1};
}
function behind(element) {
  for (let e = element; e; e = e.parentElement) {
    const c = parse(getComputedStyle(e).backgroundColor);
    if (c && c.alpha > 0) return c.rgb;
  }
  return [255, 255, 255];
}
const faults = [];
let texts = 0;
for (const e of document.querySelectorAll('body *')) {
  const own = Array.from(e.childNodes).some(n => n.nodeType === 3 && n.textContent.trim() !== '');
  if (!own || e.getClientRects().length === 0) continue;
  const style = getComputedStyle(e);
  if (style.visibility === 'hidden') continue;
  texts++;
  const fg = parse(style.color).rgb, bg = behind(e);
  const l1 = luminance(fg), l2 = luminance(bg);
  const ratio = (Math.max(l1, l2) + 0.05) / (Math.min(l1, l2) + 0.05);
  const size = parseFloat(style.fontSize), bold = parseInt(style.fontWeight) >= 700;
  const large = size >= 24 || (bold && size >= 18.66);
  if (ratio < (large ? 3 : 4.5)) {
    faults.push(e.tagName + '.' + e.className + ' "' + e.textContent.trim().slice(0, 30) +
                '": contrast ' + ratio.toFixed(2));
  }
}
const unscoped = Array.from(document.querySelectorAll('th')).filter(th => !th.hasAttribute('scope'));
const badges = Array.from(document.querySelectorAll('.verdict, .banner')).map(e => {
  const l1 = luminance(parse(getComputedStyle(e).color).rgb), l2 = luminance(behind(e));
  return [e.textContent, (Math.max(l1, l2) + 0.05) / (Math.min(l1, l2) + 0.05)];
});
// A word of a cell (short, no space) drawn on more than one line.
const broken = [];
for (const cell of document.querySelectorAll('td, th')) {
  if (cell.getClientRects().length === 0) continue;
  const walk = document.createTreeWalker(cell, NodeFilter.SHOW_TEXT);
  for (let node = walk.nextNode(); node; node = walk.nextNode()) {
    const text = node.textContent.trim();
    if (text === '' || /\s/.test(text) || text.length > 12) continue;
    const range = document.createRange();
    range.selectNodeContents(node);
    const tops = Array.from(range.getClientRects()).map(r => r.top);
    if (tops.length > 1 && Math.max(...tops) - Math.min(...tops) > 2) broken.push(text);
  }
}
const unreachable = Array.from(document.querySelectorAll('.scroll')).filter(
  e => e.scrollWidth > e.clientWidth && e.tabIndex < 0).length;
return {
  broken_words: broken,
  unreachable_scrolls: unreachable,
  scroll_width: document.documentElement.scrollWidth,
  view_width: window.innerWidth,
  main: document.querySelectorAll('main').length,
  unscoped_headers: unscoped.length,
  texts: texts,
  contrast_faults: faults,
  badges: badges,
};
"""


def main():
    driver_path, chromium, page, prefix = sys.argv[1:5]
    widths = [int(w) for w in sys.argv[5:]]
    driver = browser(driver_path, chromium, 1280, 900)
    ok = True
    try:
        for width in widths:
            driver.set_window_size(width, 900)
            # The window's inner width is what a phone of that width shows.
            inner = driver.execute_script("return window.innerWidth")
            driver.set_window_size(width + (width - inner), 900)
            driver.get("file://" + page)
            result = driver.execute_script(MEASURE)
            result["width"] = width
            driver.save_screenshot("%s-%d.png" % (prefix, width))
            print(json.dumps(result))
            ok = ok and result["scroll_width"] <= result["view_width"] and result["main"] == 1 \
                and result["unscoped_headers"] == 0 and not result["contrast_faults"] \
                and result["texts"] > 0 and not result["broken_words"] \
                and result["unreachable_scrolls"] == 0
    finally:
        driver.quit()
    return 0 if ok else 1


sys.exit(main())
