#!/usr/bin/python3
"""The web view of `tarvo serve` in a real browser (headless Chromium through Selenium): the page
shows the simulated PLC's values as they change, the station with its Korean description, and a
write from the page reaches the PLC and comes back as the tag's value.

    serve_browser_test.py BIN_DIR SCREENSHOT.png

Skips (77) where Chromium, its driver or Selenium is missing."""
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

SKIP = 77
try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
except ImportError:
    print("SKIP: python3-selenium is not installed")
    sys.exit(SKIP)

CONFIG = {"stations": [{"name": "LINE", "description": "1라인 프레스", "cpu": "Master K-200",
                        "stationNo": 1,
                        "blocks": [{"address": "D0100", "words": 8, "periodMs": 100}]}]}
SCENARIO = {"stations": [{"name": "LINE", "number": 1, "cpu": "K-200",
                          "memory": {"D0104": 40, "D0106": "AB12"},
                          "generators": [{"address": "D0100", "kind": "counter",
                                          "periodMs": 200}]}]}
TAGS = ("Count, DLU.LINE, D0100, UINT16\n"
        "Setpoint, DLU.LINE, D0104, SINT16, , rw\n"
        "Name, DLU.LINE, D0106, STRING, 4\n")


def wait_for(what, check, seconds=20):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        try:
            value = check()
            if value:
                return value
        except Exception:  # the page may be rebuilding the element
            pass
        time.sleep(0.1)
    raise AssertionError("timed out waiting for " + what)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def main():
    bin_dir, screenshot = sys.argv[1], sys.argv[2]
    chromium = shutil.which("chromium")
    chromedriver = shutil.which("chromedriver")
    if not chromium or not chromedriver:
        print("SKIP: chromium and chromium-driver are needed")
        return SKIP
    work = tempfile.mkdtemp(prefix="qx-browser.")
    procs = []
    browser = None
    try:
        env = dict(os.environ, QX_DEVICE_DIR=work)
        for name, data in (("plant.json", json.dumps(CONFIG, ensure_ascii=False)),
                           ("scenario.json", json.dumps(SCENARIO)), ("plant.tags", TAGS)):
            with open(os.path.join(work, name), "w", encoding="utf-8") as f:
                f.write(data)
        subprocess.run([bin_dir + "/tarvo", "cfg", "import", work + "/plant.json",
                        work + "/plant.cfg"], check=True, env=env, stdout=subprocess.DEVNULL)
        log = open(os.path.join(work, "log"), "w")
        procs.append(subprocess.Popen([bin_dir + "/tvioctrld", "--simulate",
                                       work + "/scenario.json", "--ready-file", work + "/ready"],
                                      env=env, stdout=log, stderr=log))
        wait_for("tvioctrld", lambda: os.path.exists(work + "/ready"))
        port = free_port()
        serve_out = os.path.join(work, "serve.out")
        procs.append(subprocess.Popen(
            [bin_dir + "/tarvo", "serve", work + "/plant.cfg", work + "/plant.tags",
             "--broker", "mqtt://127.0.0.1:%d" % free_port(), "--prefix", "line1",
             "--http", "127.0.0.1:%d" % port, "--writes"],
            env=env, stdout=open(serve_out, "w"), stderr=subprocess.STDOUT))
        wait_for("the web view", lambda: "web view on port" in open(serve_out).read())

        options = webdriver.ChromeOptions()
        options.binary_location = chromium
        for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=1280,560",
                    "--lang=ko-KR"):
            options.add_argument(arg)
        browser = webdriver.Chrome(service=Service(chromedriver), options=options)
        browser.get("http://127.0.0.1:%d/" % port)

        def cell(tag, column):
            row = browser.find_element(By.XPATH, "//tbody[@id='tags']/tr[td[1]='%s']" % tag)
            return row.find_elements(By.TAG_NAME, "td")[column].text

        wait_for("the live link", lambda: browser.find_element(By.ID, "link").text == "실시간")
        first = wait_for("a count", lambda: cell("Count", 4))
        wait_for("the count to change", lambda: cell("Count", 4) not in ("", first))
        assert cell("Name", 4) == '"AB12"', cell("Name", 4)
        wait_for("the station", lambda: "1라인 프레스" in browser.find_element(By.ID, "stations").text
                 and "정상" in browser.find_element(By.ID, "stations").text)
        assert not browser.find_elements(By.CSS_SELECTOR, "input[name='Count']"), "Count is not rw"

        box = browser.find_element(By.CSS_SELECTOR, "input[name='Setpoint']")
        box.send_keys("123")
        box.find_element(By.XPATH, "following-sibling::button").click()
        wait_for("the write's result", lambda: "queued" in cell("Setpoint", 6))
        wait_for("the written value back from the PLC", lambda: cell("Setpoint", 4) == "123")
        box.clear()
        box.send_keys("99999")
        box.find_element(By.XPATH, "following-sibling::button").click()
        wait_for("the refusal", lambda: "out of range" in cell("Setpoint", 6))
        wait_for("a driver message", lambda: "통신시작" in browser.find_element(By.ID, "messages").text)
        time.sleep(0.7)  # the change marks fade
        browser.save_screenshot(screenshot)
        print("web view checked; screenshot " + screenshot)
        return 0
    finally:
        if browser:
            browser.quit()
        for p in reversed(procs):
            p.send_signal(signal.SIGTERM)
            try:
                p.wait(10)
            except subprocess.TimeoutExpired:
                p.kill()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
