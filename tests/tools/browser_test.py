#!/usr/bin/python3
"""The agent's live view in headless Chromium, driven by Selenium, against an
agent polling simulators on loopback. Run with Debian's /usr/bin/python3
(python3-selenium); ctest passes the programs and directories:

  browser_test.py AGENT SIM SCREENSHOT_DIR DOCS_DIR

QUILLARK_UPDATE_DOCS=1 also copies the screenshots into DOCS_DIR.
"""
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.error
import urllib.request

AGENT, SIM, SHOTS, DOCS = sys.argv[1:5] if len(sys.argv) >= 5 else ("", "", "", "")
CHROMEDRIVER = "/usr/bin/chromedriver"
INTERVAL = 0.5  # seconds between a unit's rounds
ROUND = 46  # requests in one complete round
SLACK = 2.0  # seconds for a loaded machine: process start-up, scheduling
TOKEN = "s3cret-token"
ALARM_BIT = 182  # high pressure


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(what, limit, step=0.05):
    end = time.monotonic() + limit
    while time.monotonic() < end:
        value = what()
        if value:
            return value
        time.sleep(step)
    return what()


class Process:
    """A child with its stderr in a file, stopped by its pid."""

    def __init__(self, argv, log):
        self.log = log
        with open(log, "w") as err:
            self.proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                         stderr=err)

    def err(self):
        with open(self.log, encoding="utf-8", errors="replace") as f:
            return f.read()

    def stop(self):
        if self.proc.poll() is None:
            os.kill(self.proc.pid, signal.SIGTERM)
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                os.kill(self.proc.pid, signal.SIGKILL)
                self.proc.wait()


class LiveView(unittest.TestCase):
    """One scenario in steps that share the processes and the browser."""

    @classmethod
    def setUpClass(cls):
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service

        cls.dir = tempfile.mkdtemp(prefix="quillark-browser-")
        cls.procs = []
        cls.sims = {
            "calm": cls.sim("calm", []),
            # The alarm comes at the start of round 21, the silence at round 41.
            "hot": cls.sim("hot", ["--raise-after", str(ROUND * 20), "--raise-bit", str(ALARM_BIT)]),
            "quiet": cls.sim("quiet", ["--mute-after", str(ROUND * 40), "--mute-for", "8"]),
        }
        with open(os.path.join(cls.dir, "token"), "w") as f:
            f.write(TOKEN + "\n")
        cls.port = free_port()
        cls.base = "http://127.0.0.1:%d" % cls.port
        config = '[http]\nlisten = "127.0.0.1:%d"\ntoken_file = "%s"\n' % (
            cls.port, os.path.join(cls.dir, "token"))
        for name, (proc, port) in cls.sims.items():
            config += ('[[link]]\nname = "%s"\ntcp = "127.0.0.1:%d"\ntimeout_ms = 200\nretries = 0\n'
                       '[[unit]]\nname = "%s"\nlink = "%s"\nunit_id = 1\ninterval = %s\n'
                       % (name, port, name, name, INTERVAL))
        cls.config = os.path.join(cls.dir, "agent.toml")
        with open(cls.config, "w") as f:
            f.write(config)
        cls.agent = cls.start_agent()

        options = webdriver.ChromeOptions()
        options.binary_location = "/usr/bin/chromium"
        for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                     "--disable-background-networking", "--disable-component-update", "--disable-sync",
                     "--window-size=1280,900", "--lang=en-GB",
                     "--user-data-dir=" + tempfile.mkdtemp(dir=cls.dir)):
            options.add_argument(flag)
        options.set_capability("goog:loggingPrefs", {"browser": "ALL", "performance": "ALL"})
        cls.browser = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)

    @classmethod
    def tearDownClass(cls):
        cls.browser.quit()
        for p in cls.procs:
            p.stop()
        shutil.rmtree(cls.dir, ignore_errors=True)

    @classmethod
    def sim(cls, name, args):
        port_file = os.path.join(cls.dir, name + ".port")
        proc = Process([SIM, "--tcp", "127.0.0.1:0", "--port-file", port_file, "--steady", "--verbose"] + args,
                       os.path.join(cls.dir, name + ".err"))
        cls.procs.append(proc)
        assert wait_for(lambda: os.path.exists(port_file), 15), proc.err()
        with open(port_file) as f:
            return proc, int(f.read())

    @classmethod
    def start_agent(cls):
        proc = Process([AGENT, "--config", cls.config], os.path.join(cls.dir, "agent.err"))
        cls.procs.append(proc)
        assert wait_for(lambda: "live view on" in proc.err(), 15), proc.err()
        return proc

    # ---- helpers ----------------------------------------------------------

    def get(self, path, token=None):
        request = urllib.request.Request(self.base + path)
        if token:
            request.add_header("Authorization", "Bearer " + token)
        try:
            with urllib.request.urlopen(request, timeout=5) as r:
                return r.status
        except urllib.error.HTTPError as e:
            return e.code

    def run_js(self, script):
        return self.browser.execute_script(script)

    def tiles(self):
        """name -> (class, badge text), in the order shown."""
        return self.run_js("""return [...document.querySelectorAll('#tiles li')].map(
            li => [li.dataset.unit, li.className, li.querySelector('.badge').textContent]);""")

    def tile_class(self, name):
        for unit, cls, _ in self.tiles():
            if unit == name:
                return cls
        return None

    def first_line_time(self, sim, text):
        """When the simulator first wrote a line with text, or None yet."""
        return text in self.sims[sim][0].err() and time.monotonic()

    def drain(self, allowed_status, allowed_console):
        """Checks the page requests and console since the last drain."""
        statuses = []
        for entry in self.browser.get_log("performance"):
            message = json.loads(entry["message"])["message"]
            if message["method"] == "Network.responseReceived":
                response = message["params"]["response"]
                if response["url"].startswith(self.base):
                    statuses.append((response["status"], response["url"]))
        for status, url in statuses:
            self.assertIn(status, allowed_status, url)
        errors = [e["message"] for e in self.browser.get_log("browser") if e["level"] == "SEVERE"]
        for message in errors:
            self.assertTrue(any(a in message for a in allowed_console), message)
        return statuses, errors

    def shoot(self, name):
        os.makedirs(SHOTS, exist_ok=True)
        path = os.path.join(SHOTS, name)
        self.browser.save_screenshot(path)
        if os.environ.get("QUILLARK_UPDATE_DOCS") == "1":
            shutil.copy(path, os.path.join(DOCS, name))

    # ---- the scenario -----------------------------------------------------

    def test_1_token_is_asked_for_once(self):
        self.assertEqual(self.get("/api/units"), 401)
        self.assertEqual(self.get("/metrics", "wrong"), 401)
        self.assertEqual(self.get("/metrics", TOKEN), 200)
        self.browser.get(self.base + "/")
        self.assertTrue(wait_for(lambda: self.run_js("return !document.getElementById('login').hidden"), 10))
        self.browser.find_element("id", "token").send_keys(TOKEN)
        self.browser.find_element("css selector", "#login button").click()
        self.assertTrue(wait_for(lambda: len(self.tiles()) == 3, 10), self.tiles())
        self.assertEqual(self.run_js("return localStorage.getItem('quillark-token')"), TOKEN)
        statuses, _ = self.drain({200, 401}, ["401"])
        self.assertIn(401, [s for s, _ in statuses])
        # Kept in the browser: a reload asks no more.
        self.browser.refresh()
        self.assertTrue(wait_for(lambda: len(self.tiles()) == 3, 10))
        self.assertTrue(self.run_js("return document.getElementById('login').hidden"))
        self.drain({200}, [])

    def test_2_alarm_stands_out_and_is_listed(self):
        raised = wait_for(lambda: self.first_line_time("hot", "input bit %d raised" % ALARM_BIT), 30)
        self.assertTrue(raised, self.sims["hot"][0].err())
        self.assertTrue(wait_for(lambda: self.tile_class("hot") == "tile alarm", 2 * INTERVAL + INTERVAL + SLACK),
                        self.tiles())
        self.assertLess(time.monotonic() - raised, 2 * INTERVAL + INTERVAL + SLACK)
        tiles = self.tiles()
        self.assertEqual(tiles[0][0], "hot")  # alarms first
        self.assertIn("⚠ 1 alarm", tiles[0][2])
        self.shoot("agent-overview.png")

        self.browser.find_element("link text", "hot").click()
        row = "#alarms tr[data-alarm='alarm_high_pressure']"
        self.assertTrue(wait_for(lambda: self.run_js("return document.querySelector(\"%s\") !== null" % row), 10))
        self.assertEqual(self.run_js("return document.querySelector(\"%s td\").textContent" % row), "高压告警")
        # Every group of the point table, in its order, every networked unit in numeric order.
        self.assertEqual(self.run_js("return [...document.querySelectorAll('#groups h2')].map(h => h.textContent)"),
                         ["state inputs (18)", "networked units (32)", "alarms (56)",
                          "measurements and set points (34)", "modes (2)"])
        keys = self.run_js("return [...document.querySelectorAll('#groups tbody tr td:first-child')]"
                           ".map(td => td.textContent)")
        units = [k for k in keys if k.startswith("#")]
        self.assertEqual(units[:3], ["#1组网机组通讯状态", "#2组网机组通讯状态", "#3组网机组通讯状态"])
        self.shoot("agent-unit-alarm.png")
        self.browser.find_element("css selector", "#raw summary").click()
        self.assertTrue(wait_for(lambda: "AlertArray" in self.run_js("return document.querySelector('#raw pre').textContent"), 5))
        self.browser.back()
        self.assertTrue(wait_for(lambda: len(self.tiles()) == 3, 10))
        self.drain({200}, [])

    def test_3_silent_unit_goes_offline_and_comes_back(self):
        silent = wait_for(lambda: self.first_line_time("quiet", "ignored"), 30)
        self.assertTrue(silent, self.sims["quiet"][0].err())
        self.assertTrue(wait_for(lambda: self.tile_class("quiet") == "tile offline", 3 * INTERVAL + INTERVAL + SLACK),
                        self.tiles())
        self.assertLess(time.monotonic() - silent, 3 * INTERVAL + INTERVAL + SLACK)
        self.assertIn("✕ offline", dict((t[0], t[2]) for t in self.tiles())["quiet"])
        self.assertTrue(wait_for(lambda: self.tile_class("quiet") == "tile ok", 15), self.tiles())
        self.drain({200}, [])

    def test_4_page_says_when_the_agent_is_away_and_reconnects(self):
        banner = "return document.getElementById('banner').hidden ? '' : document.getElementById('banner').textContent"
        type(self).agent.stop()
        self.assertTrue(wait_for(lambda: "does not answer" in self.run_js(banner), 10))
        type(self).agent = self.start_agent()
        self.assertTrue(wait_for(lambda: self.run_js(banner) == "" and len(self.tiles()) == 3, 15))
        self.drain({200}, ["ERR_CONNECTION_REFUSED", "ERR_EMPTY_RESPONSE", "ERR_CONNECTION_RESET"])


class Refusals(unittest.TestCase):
    def test_listening_beyond_loopback_needs_a_token(self):
        run = subprocess.run([AGENT, "--listen", "0.0.0.0:0"], capture_output=True, text=True, timeout=15)
        self.assertEqual(run.returncode, 2, run.stderr)
        self.assertIn("needs a token_file", run.stderr)


if __name__ == "__main__":
    if not os.path.exists(CHROMEDRIVER):
        print("skipped: chromium-driver is not installed (scripts/bootstrap installs it)")
        sys.exit(77)
    unittest.main(argv=sys.argv[:1], verbosity=2)
