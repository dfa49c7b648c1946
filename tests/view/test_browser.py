# The page in a real browser (headless Chromium through Selenium) on the emulated boards: the
# load moves, tare zeroes it, an unplug shows as disconnected then reconnected, and a 2 s
# recording is downloaded. Leaves a screenshot in KAVRO_SCREENSHOT (default: the test folder).
import os
import re
import shutil
import time

import pytest
from conftest import View

webdriver = pytest.importorskip("selenium.webdriver", reason="python3-selenium is not installed")
from selenium.webdriver.chrome.service import Service  # noqa: E402
CHROMIUM = shutil.which("chromium")
DRIVER = shutil.which("chromedriver")


def wait_for(what, seconds=20):
    end = time.time() + seconds
    while time.time() < end:
        if what():
            return
        time.sleep(0.05)
    raise AssertionError(f"not seen within {seconds} s")


@pytest.mark.skipif(not CHROMIUM or not DRIVER, reason="chromium and chromium-driver are not installed")
def test_watch_tare_unplug_record_and_download(tmp_path):
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for a in ["--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1100,900"]:
        options.add_argument(a)
    options.add_experimental_option("prefs", {"download.default_directory": str(tmp_path / "dl")})
    browser = webdriver.Chrome(service=Service(DRIVER), options=options)
    view = None
    try:  # the boards are unplugged 2 s after the tool starts, for 1 s
        view = View(tmp_path, before=["--emulator-unplug", "2,1"])
        browser.get(view.url)
        text = lambda i: browser.find_element("id", i).text
        wait_for(lambda: text("v-KAVRO-0001-0")[:1].isdigit())
        first = text("v-KAVRO-0001-0")
        wait_for(lambda: text("v-KAVRO-0001-0") != first)

        # The board's events in the order they came, then the state it is in now.
        wait_for(lambda: "reconnected after" in text("events-KAVRO-0001"))
        assert re.search(r"disconnected \(.*\n.*reconnected after 1\.\d s", text("events-KAVRO-0001"))
        wait_for(lambda: text("conn-KAVRO-0001") == "connected")

        browser.find_element("id", "tare-KAVRO-0009-2").click()
        wait_for(lambda: text("t-KAVRO-0009-2").startswith("tared at"))
        wait_for(lambda: re.fullmatch(r"-?0\.\d+", text("v-KAVRO-0009-2")))  # |load| < 1

        browser.find_element("id", "rec-KAVRO-0001").click()
        wait_for(lambda: "recording to" in text("recstate-KAVRO-0001"))
        time.sleep(2)
        browser.find_element("id", "rec-KAVRO-0001").click()
        wait_for(lambda: text("recordings") != "")
        browser.save_screenshot(os.environ.get("KAVRO_SCREENSHOT", str(tmp_path / "view.png")))
        link = browser.find_element("css selector", "#recordings a")
        got = tmp_path / "dl" / link.get_attribute("download")
        link.click()
        wait_for(got.exists)
        rows = [l for l in got.read_text().splitlines() if not l.startswith("#")]
        assert rows[0].startswith("time,elapsed_s") and 1.8 < float(rows[-1].split(",")[1]) < 6
    finally:
        browser.quit()
        if view:
            view.stop()
