#!/usr/bin/env python3
"""The demo page as a chat in headless Chromium, against corvane-httpd
--sessions: two browser contexts (separate profiles, so separate cookies)
hold separate conversations, each page shows its own history, a reload
shows it again without posting anything, the input is cleared and keeps
the focus, "café" round-trips, and a visitor's macro text shows literally.

usage: session_browser_test.py BINARY_DIR SOURCE_DIR
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
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import WebDriverWait


def start_browser(profile):
    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium") or "/usr/bin/chromium"
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu",
                "--disable-dev-shm-usage", "--user-data-dir=" + profile,
                "--window-size=400,800"):
        options.add_argument(arg)
    driver = webdriver.Chrome(
        service=Service(shutil.which("chromedriver") or "/usr/bin/chromedriver"),
        options=options)
    driver.set_page_load_timeout(30)
    return driver


def lines(driver):
    return [e.text for e in driver.find_elements(By.CSS_SELECTOR, "#reply .line")]


def say(driver, text):
    before = len(lines(driver))
    field = driver.find_element(By.ID, "T1")
    field.send_keys(text)
    field.send_keys(Keys.ENTER)
    # The visitor's line, then the reply.
    WebDriverWait(driver, 20).until(lambda d: len(lines(d)) >= before + 2)
    WebDriverWait(driver, 20).until(
        lambda d: d.find_element(By.ID, "thinking").get_attribute("hidden"))
    assert field.get_attribute("value") == "", "the input was not cleared"
    assert driver.switch_to.active_element.get_attribute("id") == "T1", \
        "the input lost the focus"
    got = lines(driver)
    assert got[-2].endswith(text), got[-2]
    return got[-1]


def main():
    binary_dir, source_dir = sys.argv[1], sys.argv[2]
    work = tempfile.mkdtemp(prefix="corvane-session-browser-")
    root = os.path.join(work, "wwwroot")
    shutil.copytree(os.path.join(source_dir, "demo", "wwwroot"), root)
    with open(os.path.join(root, "CorvWebDemo.clf"), "rb") as f:
        authors_file = f.read()
    log_path = os.path.join(work, "httpd.log")
    log = open(log_path, "w+")
    httpd = subprocess.Popen(
        [os.path.join(binary_dir, "corvane-httpd"), "--port", "0", "--root",
         root, "--sessions"], stderr=log)
    drivers = []
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
        url = "http://127.0.0.1:%d/" % port

        anna = start_browser(os.path.join(work, "profile-anna"))
        drivers.append(anna)
        bob = start_browser(os.path.join(work, "profile-bob"))
        drivers.append(bob)
        # Each visitor is greeted first, by a conversation of their own.
        for d in drivers:
            d.get(url)
            assert d.title == "Corvane", d.title
            WebDriverWait(d, 20).until(lambda d: len(lines(d)) == 1)
            WebDriverWait(d, 20).until(
                lambda d: d.find_element(By.ID, "thinking").get_attribute("hidden"))
            assert "welcome to the Corvane Bistro" in lines(d)[0], lines(d)

        assert "Anna" in say(anna, "my name is Anna")
        reply = say(bob, "what is my name")
        assert "haven't told me" in reply, reply
        assert "You're Anna" in say(anna, "what is my name")
        assert "Anna" not in " ".join(lines(bob)), lines(bob)
        reply = say(bob, "my name is Zoë café")
        assert "Zoë café" in reply, reply
        assert "You're Zoë café" in say(bob, "what is my name")
        reply = say(anna, "my name is ^Members{Bookings}")
        assert "\u02c6Members{Bookings}" in reply, reply

        # Each page shows its own conversation, newest at the bottom.
        assert len(lines(anna)) == 7 and len(lines(bob)) == 7
        assert lines(anna)[1].endswith("my name is Anna")
        assert lines(bob)[1].endswith("what is my name")

        # A reload shows the conversation again and posts nothing.
        log.seek(0)
        posts = log.read().count("POST ")
        shown = lines(anna)
        anna.refresh()
        WebDriverWait(anna, 20).until(lambda d: len(lines(d)) == len(shown))
        assert lines(anna) == shown
        time.sleep(0.3)
        log.seek(0)
        assert log.read().count("POST ") == posts, "the reload posted again"

        # The chat fits a 400 px window without sideways scrolling.
        width = anna.execute_script(
            "return document.documentElement.scrollWidth")
        inner = anna.execute_script("return window.innerWidth")
        assert width <= inner, (width, inner)
        print("anna:", lines(anna))
        print("bob:", lines(bob))
    finally:
        for d in drivers:
            d.quit()
        httpd.send_signal(signal.SIGTERM)
        code = httpd.wait(timeout=20)
        log.seek(0)
        sys.stderr.write(log.read())
        with open(os.path.join(root, "CorvWebDemo.clf"), "rb") as f:
            unchanged = f.read() == authors_file
        shutil.rmtree(work, ignore_errors=True)
    assert code == 0, "corvane-httpd exited with %d" % code
    assert unchanged, "the author's file was written"


if __name__ == "__main__":
    main()
