#!/usr/bin/env python3
"""Opens the bilingual demo (a UTF-8 knowledge base) in headless Chromium,
in session mode on a conversation store, types lines in several scripts
and checks that each comes back exactly: in the visitor's line of the chat
and inside the bot's reply. Then the page is reloaded and the server
restarted, and the name the bot learnt is still known.

usage: bilingual_browser_test.py BINARY_DIR SOURCE_DIR
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

TEXTS = ["Zoë", "Łukasz", "Привет", "你好", "😀"]


def fallback(text):
    return ("“%s” – sorry, I don't understand that yet. Przepraszam, jeszcze "
            "tego nie rozumiem. Try “help” or „pomoc”." % text)


def start(binary_dir, root, store, log):
    log.seek(0, os.SEEK_END)
    offset = log.tell()  # What earlier servers wrote is not looked at.
    httpd = subprocess.Popen(
        [os.path.join(binary_dir, "corvane-httpd"), "--port", "0", "--root",
         root, "--sessions", "--store", "sqlite:" + store],
        stderr=log)
    for _ in range(1000):
        log.seek(offset)
        found = re.search(r"http://127\.0\.0\.1:(\d+)/", log.read())
        if found:
            return httpd, int(found.group(1))
        if httpd.poll() is not None:
            break
        time.sleep(0.01)
    raise AssertionError("the server named no port")


def stop(httpd):
    httpd.send_signal(signal.SIGTERM)
    code = httpd.wait(timeout=20)
    assert code == 0, "corvane-httpd exited with %d" % code


def lines(driver, who):
    """The texts of the chat's lines of `who` ("visitor" or "host"), without
    the label each line begins with."""
    out = []
    for item in driver.find_elements(By.CSS_SELECTOR, "#reply .line." + who):
        label = item.find_element(By.CLASS_NAME, "who").text
        out.append(item.text[len(label):].strip())
    return out


def say(driver, text):
    before = len(lines(driver, "host"))
    field = driver.find_element(By.NAME, "T1")
    if all(ord(c) <= 0xFFFF for c in text):
        field.send_keys(text)
    else:
        # The driver types only characters of the Basic Multilingual
        # Plane; an emoji is put into the field as a paste would.
        driver.execute_script("arguments[0].value = arguments[1];", field, text)
    driver.find_element(By.CSS_SELECTOR, "#chat-form button").click()
    WebDriverWait(driver, 20).until(
        lambda d: len(lines(d, "host")) > before
        and not d.find_element(By.CSS_SELECTOR, "#chat-form button")
        .get_attribute("disabled"))
    return lines(driver, "host")[-1]


def main():
    binary_dir, source_dir = sys.argv[1], sys.argv[2]
    work = tempfile.mkdtemp(prefix="corvane-bilingual-")
    root = os.path.join(work, "wwwroot")
    shutil.copytree(os.path.join(source_dir, "demo", "bilingual"), root)
    store = os.path.join(work, "conversations.db")
    log = open(os.path.join(work, "httpd.log"), "w+")
    httpd = None
    driver = None
    try:
        httpd, port = start(binary_dir, root, store, log)
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
        assert driver.title == "Corvane – English · polski", driver.title
        WebDriverWait(driver, 20).until(lambda d: len(lines(d, "host")) >= 1)
        assert lines(driver, "host")[0].startswith("Hello! Dzień dobry!"), \
            lines(driver, "host")

        for text in TEXTS:
            reply = say(driver, text)
            assert lines(driver, "visitor")[-1] == text, (text, lines(driver, "visitor"))
            assert reply == fallback(text), (text, reply)
        assert say(driver, "mam na imię Łukasz 😀") == "Miło mi, Łukasz 😀!"

        # A reload shows the conversation again, from the tab's storage.
        driver.refresh()
        WebDriverWait(driver, 20).until(
            lambda d: len(lines(d, "visitor")) == len(TEXTS) + 1)
        assert lines(driver, "visitor")[:len(TEXTS)] == TEXTS, lines(driver, "visitor")

        # A restart: the conversation comes back from the store.
        stop(httpd)
        httpd, port = start(binary_dir, root, store, log)
        # Cookies do not depend on the port: the browser names the same
        # session at the new address.
        driver.get("http://127.0.0.1:%d/" % port)
        WebDriverWait(driver, 20).until(
            lambda d: not d.find_element(By.CSS_SELECTOR, "#chat-form button")
            .get_attribute("disabled"))
        assert say(driver, "JAK MAM NA IMIĘ") == "Masz na imię Łukasz 😀."
        print("replies:", lines(driver, "host"))
    finally:
        if driver is not None:
            driver.quit()
        if httpd is not None and httpd.poll() is None:
            stop(httpd)
        log.seek(0)
        sys.stderr.write(log.read())
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
