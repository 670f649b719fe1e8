#!/usr/bin/env python3
"""Opens the demo page in headless Chromium, types a line, submits the form
and checks that the reply shows where the tag stood.

usage: demo_browser_test.py BINARY_DIR SOURCE_DIR
"""
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait


def main():
    binary_dir, source_dir = sys.argv[1], sys.argv[2]
    work = tempfile.mkdtemp(prefix="corvane-browser-")
    root = os.path.join(work, "wwwroot")
    shutil.copytree(os.path.join(source_dir, "demo", "wwwroot"), root)
    log = open(os.path.join(work, "httpd.log"), "w+")
    httpd = subprocess.Popen(
        [os.path.join(binary_dir, "corvane-httpd"), "--port", "0", "--root", root],
        stderr=log)
    driver = None
    try:
        port = None
        for _ in range(500):
            log.seek(0)
            m = re.search(r"http://127\.0\.0\.1:(\d+)/", log.read())
            if m:
                port = int(m.group(1))
                break
            time.sleep(0.01)
        assert port, "the server named no port"

        # The browser's profile and every other temporary file of the
        # browser and its driver go into the work directory, which is
        # removed at the end, so nothing is left in /tmp.
        profile = os.path.join(work, "profile")
        scratch = os.path.join(work, "tmp")
        os.mkdir(scratch)
        os.environ["TMPDIR"] = scratch
        options = webdriver.ChromeOptions()
        options.binary_location = shutil.which("chromium") or "/usr/bin/chromium"
        for arg in ("--headless=new", "--no-sandbox", "--disable-gpu",
                    "--disable-dev-shm-usage", "--user-data-dir=" + profile):
            options.add_argument(arg)
        driver = webdriver.Chrome(
            service=Service(shutil.which("chromedriver") or "/usr/bin/chromedriver"),
            options=options)
        driver.set_page_load_timeout(30)
        driver.get("http://127.0.0.1:%d/" % port)
        assert driver.title == "Corvane", driver.title
        # The page comes without a reply (a GET does not consult the
        # brain); its script then asks for the greeting, so the bot speaks
        # first.
        WebDriverWait(driver, 20).until(
            lambda d: "welcome to the Corvane Bistro"
            in d.find_element(By.ID, "reply").text)
        greeting = driver.find_element(By.ID, "reply").text
        assert re.search(r"Good (morning|afternoon|evening), and welcome",
                         greeting), greeting

        field = driver.find_element(By.NAME, "T1")
        field.send_keys("hello")
        field.submit()
        WebDriverWait(driver, 20).until(
            lambda d: len(d.find_element(By.ID, "reply").text) > len(greeting) + 10)
        text = driver.find_element(By.ID, "reply").text
        # The greeting was said once, before the first reply, not in it.
        assert text.count("welcome to the Corvane Bistro") == 1, text
        assert "<#" not in driver.page_source
        print("reply:", text)
    finally:
        if driver is not None:
            driver.quit()
        httpd.send_signal(signal.SIGTERM)
        code = httpd.wait(timeout=20)
        log.seek(0)
        sys.stderr.write(log.read())
        shutil.rmtree(work, ignore_errors=True)
    assert code == 0, "corvane-httpd exited with %d" % code


if __name__ == "__main__":
    main()
