"""Headless Chromium as the page checks drive it."""
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service


def browser(driver_path, chromium, width, height):
    options = webdriver.ChromeOptions()
    options.binary_location = chromium
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                 "--no-first-run", "--disable-background-networking",
                 "--disable-component-update", "--disable-sync", "--hide-scrollbars"):
        options.add_argument(flag)
    driver = webdriver.Chrome(service=Service(driver_path), options=options)
    driver.set_window_size(width, height)
    return driver


def wait_for(test, timeout, what):
    """test's first true value, looked for every 50 ms for `timeout` seconds."""
    deadline = time.time() + timeout
    while time.time() < deadline:
        value = test()
        if value:
            return value
        time.sleep(0.05)
    raise RuntimeError("timed out waiting for " + what)
