"""The web view in headless Chromium after a lumo-sim run: the device table shows the fleet with
its counts and marks the overdue device, the filter and the device page work, and the plot
holds the stored samples (read back from the page). Without the token nothing is served. A
screenshot is saved beside the test's output (LUMO_WEB_OUTPUT)."""

import os, shutil, struct

import pytest

from conftest import BOUND, FIRST_DIN, TOKEN, din_text, http_get, needs, wait_until

DEVICES, MEASUREMENTS = 12, 2
AGED = din_text(FIRST_DIN + 4)  # made overdue: its last contact moved back in the store


@pytest.fixture
def browser(tmp_path):
    needs("chromium", "chromedriver")
    webdriver = pytest.importorskip("selenium.webdriver",
                                    reason="MISSING-PACKAGE: python3-selenium")
    from selenium.webdriver.chrome.service import Service
    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium")
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                "--window-size=1200,760", f"--user-data-dir={tmp_path}/chromium"):
        options.add_argument(arg)
    service = Service(shutil.which("chromedriver"), log_path=str(tmp_path / "chromedriver.log"))
    driver = webdriver.Chrome(service=service, options=options)
    driver.set_page_load_timeout(BOUND)
    try:
        yield driver
    finally:
        driver.quit()
        if service.process and service.process.poll() is None:
            service.process.kill()  # by its pid, should quit not have ended it


def body_data(driver, name):
    return driver.execute_script("return document.body.dataset[arguments[0]] || null", name)


def text_of(driver, element_id):
    return driver.execute_script("const e = document.getElementById(arguments[0]); "
                                 "return e ? e.textContent : null", element_id)


def test_the_view_shows_the_fleet_and_plots_the_stored_samples(collector, browser):
    c = collector(["--expect-every", "1h"])
    c.play(DEVICES, MEASUREMENTS, extra=["--blocks", "8"])
    with __import__("sqlite3").connect(c.db) as db:  # the test's own fixture: one device aged
        db.execute("UPDATE devices SET last_seen = '2020-01-01T00:00:00.000' WHERE din = ?", (AGED,))

    # Without the token (or with a wrong one) nothing but /healthz answers.
    for path in ("/", "/api/devices", "/app.js", "/metrics"):
        for token in (None, "wrong"):
            status, _, body = http_get(c.url + path, token=token)
            assert status == 401 and AGED.encode() not in body, (path, token, status)
    assert http_get(c.url + "/healthz", token=None)[0] == 200

    browser.execute_cdp_cmd("Network.enable", {})
    browser.execute_cdp_cmd("Network.setExtraHTTPHeaders",
                            {"headers": {"Authorization": f"Bearer {TOKEN}"}})
    browser.get(c.url + "/#/")
    wait_until("the device table", lambda: body_data(browser, "devicesTotal") == str(DEVICES))
    wait_until("the counts", lambda: text_of(browser, "count-overdue"))
    assert text_of(browser, "count-devices") == f"{DEVICES} devices"
    assert text_of(browser, "count-measurements") == f"{DEVICES * MEASUREMENTS} measurements"
    assert text_of(browser, "count-overdue").startswith("1 overdue")
    rows = browser.execute_script(
        "return Array.from(document.querySelectorAll('#devices tbody tr'))"
        ".map(r => [r.dataset.din, r.className, r.cells[0].textContent, r.cells[4].textContent])")
    assert [r[0] for r in rows] == [din_text(FIRST_DIN + i) for i in range(DEVICES)]
    assert [r[0] for r in rows if r[1] == "overdue"] == [AGED]
    assert [r[0] for r in rows if "OVERDUE" in r[2]] == [AGED]
    assert {r[3] for r in rows} == {str(MEASUREMENTS)}
    os.makedirs(os.environ.get("LUMO_WEB_OUTPUT", "."), exist_ok=True)
    shot = os.path.join(os.environ.get("LUMO_WEB_OUTPUT", "."), "web-view.png")
    assert browser.save_screenshot(shot)
    print("screenshot:", shot)

    # The filter is applied by the server: DINs containing "-01" are 010, 011, 012.
    browser.find_element("id", "filter").send_keys("-01")
    wait_until("the filtered table", lambda: body_data(browser, "devicesTotal") == "3")

    (mid, blob), = c.query("SELECT id, samples FROM measurements WHERE din = ? ORDER BY id DESC "
                           "LIMIT 1", AGED)
    stored = list(struct.unpack(f"<{len(blob) // 2}H", blob))
    browser.get(c.url + f"/#/device/{AGED}")
    wait_until("the device page", lambda: text_of(browser, "device-title") == f"Device {AGED}")
    wait_until("its measurements", lambda: text_of(browser, "measurement-count") == f"({MEASUREMENTS})")
    browser.get(c.url + f"/#/measurement/{mid}")
    wait_until("the plot", lambda: body_data(browser, "plotId") == str(mid))
    plotted = browser.execute_script("return Array.from(window.lumoPlot.data[1])")
    assert len(stored) == 8 * 200 and plotted == stored
    assert browser.save_screenshot(os.path.join(os.environ.get("LUMO_WEB_OUTPUT", "."),
                                                "web-plot.png"))
