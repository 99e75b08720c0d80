#!/usr/bin/python3
"""The store console in headless Chromium, as one story against `qor-host --demo`.

Opens the console, checks the wallet, completes the platform configuration and sees the waiting
gift's toast, searches the catalog, buys a skin and sees the wallet, the order notification and
the event log change without a reload, sees the refusal of a second purchase, and finds no error
in the browser's console; then stops the host and sees the page say so.

Usage: console_browser_test.py QOR_HOST SCREENSHOT_PATH
"""
import base64
import os
import re
import subprocess
import sys
import tempfile

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

PASSWORD = "console-test"
SKIN_ID = "2003"  # Sky Pirate Brisa, 1350 VP; the demo player has 1600 VP


def start_host(binary, folder):
    host = subprocess.Popen(
        [binary, "--demo", "--listen", "127.0.0.1:0", "--password", PASSWORD,
         "--credentials", os.path.join(folder, "credentials.json"), "--log-level", "none"],
        stdout=subprocess.PIPE, text=True)
    for line in host.stdout:
        found = re.search(r"serving qor-store at (http://\S+)", line)
        if found:
            return host, found.group(1)
    host.kill()
    sys.exit("qor-host printed no URL")


def start_browser(folder):
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                 "--disable-background-networking", "--window-size=1400,1000",
                 "--user-data-dir=" + os.path.join(folder, "profile")):
        options.add_argument(flag)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    # Basic authentication on every request of the page, the event stream included.
    token = base64.b64encode(("qor:" + PASSWORD).encode()).decode()
    driver.execute_cdp_cmd("Network.enable", {})
    driver.execute_cdp_cmd("Network.setExtraHTTPHeaders",
                           {"headers": {"Authorization": "Basic " + token}})
    return driver


def main():
    binary, screenshot = sys.argv[1], sys.argv[2]
    with tempfile.TemporaryDirectory() as folder:
        host, url = start_host(binary, folder)
        driver = None
        try:
            driver = start_browser(folder)
            wait = WebDriverWait(driver, 20)
            # Read and clicked by selector each time: the page redraws its lists as events come.
            def text_of(selector):
                return driver.execute_script(
                    "const n = document.querySelector(arguments[0]);"
                    "return n ? n.textContent : null", selector)

            def count_of(testid):
                return driver.execute_script(
                    "return document.querySelectorAll(arguments[0]).length",
                    f'[data-testid="{testid}"]')

            def click(selector):
                wait.until(lambda d: driver.execute_script(
                    "const n = document.querySelector(arguments[0]); n && n.click(); return !!n",
                    selector))

            wallet = lambda: (text_of('[data-testid="wallet-ip"]'),
                              text_of('[data-testid="wallet-vp"]'))
            item = f'[data-testid="catalog-item"][data-item-id="{SKIN_ID}"]'
            result = lambda: text_of(item + ' [data-testid="purchase-result"]')

            driver.get(url + "/")
            wait.until(lambda d: wallet() == ("4800", "1600"))
            wait.until(lambda d: count_of("catalog-item") > 300)
            wait.until(lambda d: text_of("#status") == "Live")
            driver.execute_script("window.notReloaded = true")
            events_before = count_of("event")
            orders_before = count_of("order-notification")

            # The gift waiting in the scenario becomes a toast once the configuration is complete.
            click('input[data-uri="/qor-platform-config/v1/initial-configuration-complete"]')
            wait.until(lambda d: "from Marrow" in (text_of('[data-testid="toast"]') or ""))

            driver.find_element(By.CSS_SELECTOR, '[data-testid="search"]').send_keys("Sky Pirate")
            wait.until(lambda d: 0 < count_of("catalog-item") < 30)
            assert driver.execute_script(
                "return [...document.querySelectorAll('[data-testid=\"catalog-item\"] .name')]"
                ".every((n) => n.textContent.includes('Sky Pirate'))")
            assert text_of(item + ' [data-testid="buy"]') == "Buy 1350 VP"
            click(item + ' [data-testid="buy"]')

            wait.until(lambda d: (result() or "").startswith("Bought"))
            wait.until(lambda d: wallet() == ("4800", "250"))
            wait.until(lambda d: count_of("order-notification") > orders_before)
            wait.until(lambda d: count_of("event") > events_before)
            wait.until(lambda d: text_of(item + " .owned") == "Owned")
            assert "COMPLETED" in text_of('[data-testid="order-notification"]')
            driver.save_screenshot(screenshot)

            click(item + ' [data-testid="buy"]')
            wait.until(lambda d: result() == "You already own this skin.")
            assert wallet() == ("4800", "250")
            assert driver.execute_script("return window.notReloaded === true")

            # The browser reports the refused purchase's status itself; nothing else may err.
            refusal = f"/qor-store/v1/skins/{SKIN_ID}/purchase - Failed to load resource"
            errors = [entry for entry in driver.get_log("browser")
                      if entry["level"] == "SEVERE" and not (
                          entry.get("source") == "network" and refusal in entry["message"])]
            assert not errors, errors

            # The host stops: the page says so (its failed reconnections are expected errors).
            host.terminate()
            host.wait(timeout=20)
            wait.until(lambda d: "qor-host has stopped" in text_of("#status"))
            print("console story passed; screenshot in", screenshot)
        finally:
            if driver is not None:
                driver.quit()
            host.terminate()
            host.wait(timeout=20)


if __name__ == "__main__":
    main()
